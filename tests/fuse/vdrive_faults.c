/* Preloaded into a korva process that uses the virtual drive module: when the file named by
 * KORVA_FAULT_FILE appears, its first line goes to KorvaVDriveControl of drive 0 (for example
 * "fail-next 2A 1000"), so a test can inject a drive fault into a running mount. */
#include <dlfcn.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static void *Watch(void *arg) {
  (void)arg;
  const char *file = getenv("KORVA_FAULT_FILE");
  const char *module = getenv("KORVA_FAULT_MODULE");
  if (!file || !module) return NULL;
  for (;;) {
    usleep(20000);
    FILE *f = fopen(file, "r");
    if (!f) continue;
    char line[256] = "";
    const int got = fgets(line, sizeof line, f) != NULL;
    fclose(f);
    if (!got) continue;
    line[strcspn(line, "\n")] = 0;
    void *handle = dlopen(module, RTLD_NOW | RTLD_NOLOAD);
    int (*control)(int, const char *) = NULL;
    /* POSIX's way to take a function from dlsym without an object-to-function cast. */
    if (handle) *(void **)(&control) = dlsym(handle, "KorvaVDriveControl");
    const int result = control ? control(0, line) : -1;
    char done[300];
    snprintf(done, sizeof done, "%s.done", file);
    FILE *d = fopen(done, "w");
    if (d) {
      fprintf(d, "%d\n", result);
      fclose(d);
    }
    unlink(file);
  }
  return NULL;
}

__attribute__((constructor)) static void Start(void) {
  if (!getenv("KORVA_FAULT_FILE")) return;
  pthread_t t;
  if (pthread_create(&t, NULL, Watch, NULL) == 0) pthread_detach(t);
}
