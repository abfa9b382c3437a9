// A device platform whose drive letters are virtual drives, so that the pass-through
// transport and discovery run their real code against emulated hardware.
#ifndef KORVA_DEVICE_VDRIVE_VDRIVE_PLATFORM_H
#define KORVA_DEVICE_VDRIVE_VDRIVE_PLATFORM_H

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "device/platform.h"
#include "vdrive/vdrive.h"

namespace korva::vdrive {

class VDrivePlatform : public DevicePlatform {
public:
  VDrivePlatform() = default;

  // Builds drives from a KORVA_VDRIVE-style text; they get the letters "D", "E", ... and
  // the addresses 1:0:0, 2:0:0, ... Null with the reason on a bad text or file.
  static std::unique_ptr<VDrivePlatform> FromConfig(const std::string &text, std::string *error);

  // Maps a letter to a drive (not owned; it must outlive the platform's use). The address
  // query reports `host`:`target`:`lun`; `address_query_fails` makes that query fail.
  void AddDrive(char letter, VirtualDrive *drive, uint8_t host, uint8_t target = 0, uint8_t lun = 0,
                bool address_query_fails = false);
  // The drive of a letter, or null.
  VirtualDrive *Drive(char letter) const;

  // Sleeps are recorded; they really wait only when `real` is set (the default).
  void SetRealSleep(bool real) { real_sleep_ = real; }
  // With real sleep off, lets the clock (MonotonicMs) advance by the sleeps taken, so waits
  // bounded by time end without anyone waiting. The drives' clocks advance by the same
  // sleeps, so their formats and blanks take as long on that clock as their timings say.
  // Off by default: everything runs in real time.
  void SetClockFollowsSleeps(bool follow) { clock_follows_sleeps_ = follow; }
  uint64_t SleptMs() const { return slept_ms_; }
  unsigned SleepCount() const { return sleeps_; }
  // Environment values seen by the library through this layer (others come from getenv).
  void SetEnvironment(const std::string &name, const std::string &value);
  // While set, the drive's node is held by another user: opening it for writing (which is
  // exclusive) fails with EBUSY, opening it for reading still works.
  void SetHeldByOther(char letter, bool held);
  // Descriptors handed out and not yet closed.
  size_t OpenHandles() const;

  std::string OpticalDriveLetters() override;
  int OpenDrive(char letter, bool writable) override;
  int CloseDrive(int handle) override;
  // SG_IO on Linux; on Windows it fails and the pass-through comes through IoControl.
  int SendSgIo(int handle, sg_io_hdr_t *header) override;
  // The pass-through-direct control code (the Windows transport's path; on Linux it serves
  // the record translation's tests).
  int IoControl(int handle, uint32_t code, void *in, uint32_t in_length, void *out,
                uint32_t out_length, uint32_t *returned) override;
  int QueryAddress(int handle, TSCSI_ADDRESS *address) override;
  void *LoadModule(const char *file_name) override;
  void *ModuleSymbol(void *module, const char *name) override;
  void UnloadModule(void *module) override;
  const char *Environment(const char *name) override;
  void SleepMs(uint32_t milliseconds) override;
  uint64_t MonotonicMs() override;

private:
  struct Slot {
    char letter;
    VirtualDrive *drive;
    uint8_t host, target, lun;
    bool address_query_fails;
  };
  const Slot *SlotOf(int handle) const;
  VirtualDrive *DriveOf(int handle) const;

  mutable std::mutex mu_;
  std::vector<Slot> slots_;
  std::map<int, char> handles_;
  std::string held_;
  int next_handle_ = 1000;
  std::map<std::string, std::string> environment_;
  std::vector<std::unique_ptr<VirtualDrive>> owned_;
  std::atomic<bool> real_sleep_{true};
  std::atomic<bool> clock_follows_sleeps_{false};
  std::atomic<uint64_t> slept_ms_{0};
  std::atomic<unsigned> sleeps_{0};
};

} // namespace korva::vdrive

#endif
