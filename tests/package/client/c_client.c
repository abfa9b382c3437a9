/* The C interface from C: format an image, count, dismount. */
#include <stdio.h>
#include <stdlib.h>

#include <korva/korva.h>

static void on_done(void *context, void *sender, int32_t failed) {
  (void)sender;
  *(int32_t *)context = failed;
}

int main(int argc, char **argv) {
  if (argc != 2) return 2;
  TUDFRewritableVolume *v = calloc(1, sizeof *v);
  if (v == NULL) return 1;
  int32_t failed = 1;
  printf("%s\n", GetKORVAVersion());
  if (!UDF_MountImage(v, argv[1], 8) || !UDF_FormatVolume(v, "C", 0, on_done, &failed)) return 1;
  UDF_WaitForBackgroundOperation(v);
  if (failed || UDF_GetDirCount(v) != 1 || !UDF_CreateDirectory(v, "\\", "dir") ||
      UDF_GetDirCount(v) != 2 || !UDF_DismountVolume(v))
    return 1;
  UDF_ReleaseVolume(v);
  free(v);
  printf("c client ok\n");
  return 0;
}
