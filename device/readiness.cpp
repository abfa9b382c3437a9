// Waiting for a drive to become ready: what a mount does after a disc was loaded or the
// drive was reset, before it asks anything about the medium.
#include "device/device_internal.h"
#include "device/platform.h"

namespace korva {
namespace {

constexpr uint8_t kKeyNotReady = 0x02;
constexpr uint8_t kKeyUnitAttention = 0x06;
constexpr uint8_t kAscNotReady = 0x04;
constexpr uint8_t kAscNoMedium = 0x3A;
// A drive reports one unit attention per cause; more in a row than this is a fault.
constexpr int kMaxAttentionsInARow = 8;

} // namespace

bool IsBusyNotReady(const SenseFields &s) {
  // 04/01 becoming ready, 04/04 format, 04/07 operation, 04/08 long write in progress.
  return s.key == kKeyNotReady && s.asc == kAscNotReady &&
         (s.ascq == 0x01 || s.ascq == 0x04 || s.ascq == 0x07 || s.ascq == 0x08);
}

DriveReadiness WaitForReadyDrive(TSCSIDevice *device, uint32_t bound_ms, uint32_t poll_ms) {
  DevicePlatform &platform = PlatformOf(device);
  const uint64_t start = platform.MonotonicMs();
  int attentions = 0;
  for (;;) {
    if (TestUnitReady(device)) return DriveReadiness::kReady;
    const SenseFields s = LastSenseFields(device);
    if (s.key == kKeyUnitAttention && ++attentions <= kMaxAttentionsInARow) continue;
    if (s.key == kKeyNotReady && s.asc == kAscNoMedium) return DriveReadiness::kNoMedium;
    if (!IsBusyNotReady(s)) return DriveReadiness::kFailed;
    if (platform.MonotonicMs() - start >= bound_ms) return DriveReadiness::kTimedOut;
    platform.SleepMs(poll_ms);
  }
}

} // namespace korva
