// Defaults of the device layer that every system shares.
#include "device/platform.h"

#include <cerrno>
#include <chrono>

namespace korva {

uint32_t DevicePlatform::DriveType(char letter) {
  const std::string letters = OpticalDriveLetters();
  if (letter != 0 && letters.find(letter) != std::string::npos) return KORVA_DRIVE_CDROM;
  return 1;
}

void DevicePlatform::UnloadModule(void *) {}

uint64_t DevicePlatform::MonotonicMs() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

int DevicePlatform::KeepDoorLocked(int, bool) {
  return -ENOTTY;
}

int DevicePlatform::IoControl(int, uint32_t, void *, uint32_t, void *, uint32_t, uint32_t *returned) {
  if (returned != nullptr) *returned = 0;
  return -ENOSYS;
}

} // namespace korva
