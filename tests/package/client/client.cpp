// Formats an image with the TKorva component, writes a file, reads it back after a remount.
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>

#include <korva/TKorva.hpp>

static int Fail(TKorva &korva, const char *what) {
  const char *why = korva.UDF_GetLastErrorDescription();
  std::printf("%s failed: %s\n", what, why != nullptr ? why : "?");
  return 1;
}

int main(int argc, char **argv) {
  if (argc != 2) return 2;
  TKorva korva;
  std::printf("%s\n", korva.Version().c_str());
  if (!korva.UDF_MountImage(argv[1], 8)) return 1;
  std::mutex m;
  std::condition_variable cv;
  bool done = false, failed = true;
  korva.OnFormatDone = [&](TKorva *, bool f) {
    std::lock_guard<std::mutex> lock(m);
    done = true;
    failed = f;
    cv.notify_all();
  };
  if (!korva.UDF_FormatVolume("CLIENT", 0)) return 1;
  {
    std::unique_lock<std::mutex> lock(m);
    cv.wait(lock, [&] { return done; });
  }
  if (failed) return 1;
  const char text[] = "written by a client";
  UDF_HANDLE h = korva.UDF_CreateFile("\\hello.txt", UDF_GENERIC_WRITE, UDF_CREATE_NEW, 0);
  uint32_t n = 0;
  if (h == UDF_INVALID_HANDLE || !korva.UDF_WriteFile(h, text, sizeof text, &n)) return 1;
  korva.UDF_CloseHandle(h);
  if (!korva.UDF_DismountVolume() || !korva.UDF_MountImage(argv[1], 8) ||
      !korva.UDF_GetVolumeCompatibility())
    return Fail(korva, "remount");
  char back[64] = {};
  h = korva.UDF_CreateFile("\\hello.txt", UDF_GENERIC_READ, UDF_OPEN_EXISTING, 0);
  if (h == UDF_INVALID_HANDLE || !korva.UDF_ReadFile(h, back, sizeof back, &n) ||
      n != sizeof text || std::memcmp(back, text, n) != 0)
    return Fail(korva, "read back");
  korva.UDF_CloseHandle(h);
  // Left mounted on purpose: the component closes the volume when it is destroyed.
  std::printf("client ok\n");
  return 0;
}
