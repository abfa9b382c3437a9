#include "vdrive/vdrive_platform.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#if !defined(_WIN32)
#include <dlfcn.h>
#endif

#include "device/spti.h"
#include "vdrive/config.h"

namespace korva::vdrive {

namespace {

// The failures of the system calls this layer stands in for, as each system reports them:
// errno values on Linux, system error codes on Windows.
#if defined(_WIN32)
constexpr int kNoSuchDrive = 2;   // ERROR_FILE_NOT_FOUND
constexpr int kBadHandle = 6;     // ERROR_INVALID_HANDLE
constexpr int kHeld = 32;         // ERROR_SHARING_VIOLATION
constexpr int kBadRequest = 87;   // ERROR_INVALID_PARAMETER
constexpr int kNoSuchCall = 1;    // ERROR_INVALID_FUNCTION
constexpr int kBadBuffer = 998;   // ERROR_NOACCESS
#else
constexpr int kNoSuchDrive = ENOENT;
constexpr int kBadHandle = EBADF;
constexpr int kHeld = EBUSY;
constexpr int kBadRequest = EINVAL;
constexpr int kNoSuchCall = ENOTTY;
constexpr int kBadBuffer = EFAULT;
#endif

DataDirection SptiDirection(uint8_t data_in, uint32_t length) {
  if (length == 0) return DataDirection::kNone;
  return data_in == kSptiDataOut ? DataDirection::kOut : DataDirection::kIn;
}

} // namespace

std::unique_ptr<VDrivePlatform> VDrivePlatform::FromConfig(const std::string &text,
                                                           std::string *error) {
  std::vector<DriveConfig> configs;
  if (!ParseDriveConfigs(text, &configs, error)) return nullptr;
  if (configs.size() > 23) {
    if (error) *error = "at most 23 drives (letters D to Z)";
    return nullptr;
  }
  auto platform = std::make_unique<VDrivePlatform>();
  for (size_t i = 0; i < configs.size(); ++i) {
    auto drive = MakeDrive(configs[i], error);
    if (!drive) return nullptr;
    platform->AddDrive(static_cast<char>('D' + i), drive.get(), static_cast<uint8_t>(i + 1));
    platform->owned_.push_back(std::move(drive));
  }
  return platform;
}

void VDrivePlatform::AddDrive(char letter, VirtualDrive *drive, uint8_t host, uint8_t target,
                              uint8_t lun, bool address_query_fails) {
  std::lock_guard<std::mutex> lock(mu_);
  letter = static_cast<char>(std::toupper(static_cast<unsigned char>(letter)));
  slots_.erase(std::remove_if(slots_.begin(), slots_.end(),
                              [&](const Slot &s) { return s.letter == letter; }),
               slots_.end());
  slots_.push_back({letter, drive, host, target, lun, address_query_fails});
}

VirtualDrive *VDrivePlatform::Drive(char letter) const {
  std::lock_guard<std::mutex> lock(mu_);
  for (const Slot &s : slots_)
    if (s.letter == letter) return s.drive;
  return nullptr;
}

void VDrivePlatform::SetEnvironment(const std::string &name, const std::string &value) {
  std::lock_guard<std::mutex> lock(mu_);
  environment_[name] = value;
}

size_t VDrivePlatform::OpenHandles() const {
  std::lock_guard<std::mutex> lock(mu_);
  return handles_.size();
}

const VDrivePlatform::Slot *VDrivePlatform::SlotOf(int handle) const {
  auto h = handles_.find(handle);
  if (h == handles_.end()) return nullptr;
  for (const Slot &s : slots_)
    if (s.letter == h->second) return &s;
  return nullptr;
}

std::string VDrivePlatform::OpticalDriveLetters() {
  std::lock_guard<std::mutex> lock(mu_);
  std::string letters;
  for (const Slot &s : slots_)
    letters.push_back(s.letter);
  return letters;
}

void VDrivePlatform::SetHeldByOther(char letter, bool held) {
  std::lock_guard<std::mutex> lock(mu_);
  const size_t at = held_.find(letter);
  if (held && at == std::string::npos) held_.push_back(letter);
  if (!held && at != std::string::npos) held_.erase(at, 1);
}

int VDrivePlatform::OpenDrive(char letter, bool writable) {
  std::lock_guard<std::mutex> lock(mu_);
  for (const Slot &s : slots_) {
    if (s.letter != letter) continue;
    if (writable && held_.find(letter) != std::string::npos) return -kHeld;
    const int handle = next_handle_++;
    if (next_handle_ <= 0) next_handle_ = 1000;
    handles_[handle] = letter;
    return handle;
  }
  return -kNoSuchDrive;
}

int VDrivePlatform::CloseDrive(int handle) {
  std::lock_guard<std::mutex> lock(mu_);
  return handles_.erase(handle) ? 0 : -kBadHandle;
}

int VDrivePlatform::QueryAddress(int handle, TSCSI_ADDRESS *address) {
  std::lock_guard<std::mutex> lock(mu_);
  const Slot *s = SlotOf(handle);
  if (!s) return -kBadHandle;
  if (s->address_query_fails) return -kNoSuchCall;
  if (!address) return -kBadBuffer;
  address->Length = sizeof *address;
  address->PortNumber = s->host;
  address->PathId = 0;
  address->TargetId = s->target;
  address->Lun = s->lun;
  return 0;
}

VirtualDrive *VDrivePlatform::DriveOf(int handle) const {
  std::lock_guard<std::mutex> lock(mu_);
  const Slot *s = SlotOf(handle);
  return s ? s->drive : nullptr;
}

// The pass-through-direct control code as Windows' storage port driver answers it: the
// record in and out, the moved length in DataTransferLength, sense after a check condition.
int VDrivePlatform::IoControl(int handle, uint32_t code, void *in, uint32_t in_length, void *out,
                              uint32_t out_length, uint32_t *returned) {
  if (code != kIoctlScsiPassThroughDirect) return -kNoSuchCall;
  VirtualDrive *drive = DriveOf(handle);
  if (!drive) return -kBadHandle;
  auto *sptd = static_cast<TSCSI_PASS_THROUGH_DIRECT *>(in);
  if (!sptd || in != out || in_length < sizeof *sptd || out_length < in_length ||
      sptd->Length != sizeof *sptd || sptd->CdbLength == 0 || sptd->CdbLength > 16 ||
      (sptd->DataTransferLength != 0 && !sptd->DataBuffer))
    return -kBadRequest;
  const DataDirection dir = SptiDirection(sptd->DataIn, sptd->DataTransferLength);
  const uint32_t length = dir == DataDirection::kNone ? 0 : sptd->DataTransferLength;
  const CommandResult r = drive->Execute(sptd->Cdb, sptd->CdbLength, dir,
                                         static_cast<uint8_t *>(sptd->DataBuffer), length);
  sptd->ScsiStatus = r.status;
  sptd->DataTransferLength = length - std::min(r.residual, length);
  const uint32_t sense_end = sptd->SenseInfoOffset + sptd->SenseInfoLength;
  if (r.status != kStatusGood && sptd->SenseInfoOffset >= sizeof *sptd && sense_end <= in_length) {
    const size_t n = std::min<size_t>(sptd->SenseInfoLength, r.sense.size());
    std::memcpy(static_cast<uint8_t *>(in) + sptd->SenseInfoOffset, r.sense.data(), n);
  } else {
    sptd->SenseInfoLength = 0;
  }
  if (returned) *returned = in_length;
  return 0;
}

#if defined(_WIN32)
int VDrivePlatform::SendSgIo(int, sg_io_hdr_t *) {
  return -kNoSuchCall; // Windows has no SG_IO: its transport comes through IoControl
}
#else
int VDrivePlatform::SendSgIo(int handle, sg_io_hdr_t *h) {
  VirtualDrive *drive = DriveOf(handle);
  if (!drive) return -EBADF;
  if (!h || h->interface_id != 'S' || h->iovec_count != 0) return -EINVAL;
  if (!h->cmdp || h->cmd_len == 0 || h->cmd_len > 16) return -EINVAL;
  DataDirection dir;
  switch (h->dxfer_direction) {
  case SG_DXFER_NONE:
    dir = DataDirection::kNone;
    break;
  case SG_DXFER_TO_DEV:
    dir = DataDirection::kOut;
    break;
  case SG_DXFER_FROM_DEV:
  case SG_DXFER_TO_FROM_DEV:
    dir = DataDirection::kIn;
    break;
  default:
    return -EINVAL;
  }
  uint8_t *data = static_cast<uint8_t *>(h->dxferp);
  const uint32_t length = data && dir != DataDirection::kNone ? h->dxfer_len : 0;
  const CommandResult r = drive->Execute(h->cmdp, h->cmd_len, dir, data, length);
  h->status = r.status;
  h->masked_status = static_cast<unsigned char>((r.status >> 1) & 0x7F);
  h->msg_status = 0;
  h->host_status = 0;
  h->driver_status = 0;
  h->sb_len_wr = 0;
  h->resid = static_cast<int>(r.residual);
  h->duration = 0;
  h->info = 0;
  if (r.status != kStatusGood) {
    h->info = SG_INFO_CHECK;
    if (h->sbp && h->mx_sb_len > 0) {
      const size_t n = std::min<size_t>(h->mx_sb_len, r.sense.size());
      std::memcpy(h->sbp, r.sense.data(), n);
      h->sb_len_wr = static_cast<unsigned char>(n);
      h->driver_status = 0x08; // sense data is valid
    }
  }
  return 0;
}

#endif

// Modules are the system's own: loading one is never what the virtual drives stand in for.
#if defined(_WIN32)
void *VDrivePlatform::LoadModule(const char *file_name) {
  return WindowsDevicePlatform().LoadModule(file_name);
}

void *VDrivePlatform::ModuleSymbol(void *module, const char *name) {
  return WindowsDevicePlatform().ModuleSymbol(module, name);
}

void VDrivePlatform::UnloadModule(void *module) {
  WindowsDevicePlatform().UnloadModule(module);
}
#else
void *VDrivePlatform::LoadModule(const char *file_name) {
  return file_name ? ::dlopen(file_name, RTLD_NOW | RTLD_LOCAL) : nullptr;
}

void *VDrivePlatform::ModuleSymbol(void *module, const char *name) {
  return module && name ? ::dlsym(module, name) : nullptr;
}

void VDrivePlatform::UnloadModule(void *module) {
  if (module) ::dlclose(module);
}
#endif

const char *VDrivePlatform::Environment(const char *name) {
  if (!name) return nullptr;
  std::lock_guard<std::mutex> lock(mu_);
  auto it = environment_.find(name);
  if (it != environment_.end()) return it->second.c_str();
  return std::getenv(name);
}

uint64_t VDrivePlatform::MonotonicMs() {
  return DevicePlatform::MonotonicMs() + (clock_follows_sleeps_ ? slept_ms_.load() : 0);
}

void VDrivePlatform::SleepMs(uint32_t milliseconds) {
  slept_ms_ += milliseconds;
  ++sleeps_;
  if (real_sleep_) std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
  if (!clock_follows_sleeps_) return;
  // The drives live on the same clock as the caller: a format the caller waits out for
  // hours of this clock has had those hours on the drive too, however fast the wait ran.
  std::lock_guard<std::mutex> lock(mu_);
  for (const Slot &slot : slots_) slot.drive->AdvanceClock(std::chrono::milliseconds(milliseconds));
}

} // namespace korva::vdrive
