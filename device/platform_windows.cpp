// The Windows device layer: drive letters, "\\.\X:" handles, DeviceIoControl, ASPI modules
// through LoadLibraryA, Win32 events.
#include "device/platform_windows.h"

#include <cerrno>
#include <cstdlib>
#include <string>

#include <windows.h>
#undef CreateEvent
#include <winioctl.h>
#include <ntddscsi.h>

#include <cstddef>

#include "device/spti.h"

namespace korva {

// The records the transports fill in are the system's own, for this build's pointer size.
static_assert(kIoctlScsiPassThroughDirect == IOCTL_SCSI_PASS_THROUGH_DIRECT);
static_assert(kIoctlScsiGetAddress == IOCTL_SCSI_GET_ADDRESS);
static_assert(sizeof(TSCSI_PASS_THROUGH_DIRECT) == sizeof(SCSI_PASS_THROUGH_DIRECT));
static_assert(offsetof(TSCSI_PASS_THROUGH_DIRECT, DataTransferLength) ==
              offsetof(SCSI_PASS_THROUGH_DIRECT, DataTransferLength));
static_assert(offsetof(TSCSI_PASS_THROUGH_DIRECT, DataBuffer) ==
              offsetof(SCSI_PASS_THROUGH_DIRECT, DataBuffer));
static_assert(offsetof(TSCSI_PASS_THROUGH_DIRECT, SenseInfoOffset) ==
              offsetof(SCSI_PASS_THROUGH_DIRECT, SenseInfoOffset));
static_assert(offsetof(TSCSI_PASS_THROUGH_DIRECT, Cdb) == offsetof(SCSI_PASS_THROUGH_DIRECT, Cdb));
static_assert(sizeof(TSCSI_ADDRESS) == sizeof(SCSI_ADDRESS));
static_assert(offsetof(TSCSI_ADDRESS, Lun) == offsetof(SCSI_ADDRESS, Lun));

namespace {

// Kernel handles keep to 32 significant bits, so they fit the record's 32-bit fields.
HANDLE ToHandle(int value) {
  return LongToHandle(value);
}

int FromHandle(HANDLE handle) {
  return HandleToLong(handle);
}

int LastErrorCode() {
  const DWORD code = GetLastError();
  return code != 0 ? -static_cast<int>(code & 0x7FFFFFFF) : -static_cast<int>(ERROR_GEN_FAILURE);
}

} // namespace

std::string WindowsPlatform::OpticalDriveLetters() {
  std::string letters;
  for (char letter = 'C'; letter <= 'Z'; ++letter)
    if (DriveType(letter) == KORVA_DRIVE_CDROM) letters.push_back(letter);
  return letters;
}

uint32_t WindowsPlatform::DriveType(char letter) {
  const char root[4] = {letter, ':', '\\', 0};
  return GetDriveTypeA(root);
}

int WindowsPlatform::OpenDrive(char letter, bool writable) {
  const char path[7] = {'\\', '\\', '.', '\\', letter, ':', 0};
  // Windows' counterpart of an exclusive open: a writer shares reading only, so a second
  // writer is refused (ERROR_SHARING_VIOLATION) while readers, who share writing, still get in.
  const HANDLE handle =
      writable ? CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)
               : CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return LastErrorCode();
  const int value = FromHandle(handle);
  if (value <= 0) {
    // Not a value the record can hold; never hand it out.
    CloseHandle(handle);
    return -static_cast<int>(ERROR_INVALID_HANDLE);
  }
  return value;
}

int WindowsPlatform::CloseDrive(int handle) {
  return CloseHandle(ToHandle(handle)) ? 0 : LastErrorCode();
}

int WindowsPlatform::SendSgIo(int, sg_io_hdr_t *) {
  return -static_cast<int>(ERROR_NOT_SUPPORTED);
}

int WindowsPlatform::IoControl(int handle, uint32_t code, void *in, uint32_t in_length, void *out,
                               uint32_t out_length, uint32_t *returned) {
  DWORD count = 0;
  const BOOL ok =
      DeviceIoControl(ToHandle(handle), code, in, in_length, out, out_length, &count, nullptr);
  if (returned != nullptr) *returned = count;
  return ok ? 0 : LastErrorCode();
}

int WindowsPlatform::QueryAddress(int handle, TSCSI_ADDRESS *address) {
  return QueryAddressThroughIoControl(*this, handle, address);
}

void *WindowsPlatform::LoadModule(const char *file_name) {
  return reinterpret_cast<void *>(LoadLibraryA(file_name));
}

void *WindowsPlatform::ModuleSymbol(void *module, const char *name) {
  return reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(module), name));
}

void WindowsPlatform::UnloadModule(void *module) {
  if (module != nullptr) FreeLibrary(static_cast<HMODULE>(module));
}

const char *WindowsPlatform::Environment(const char *name) {
  return std::getenv(name);
}

void WindowsPlatform::SleepMs(uint32_t milliseconds) {
  Sleep(milliseconds);
}

int DevicePlatform::CreateEvent() {
  const HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (event == nullptr) return LastErrorCode();
  return FromHandle(event);
}

int DevicePlatform::WaitEvent(int event, uint32_t timeout_ms) {
  // INFINITE is 0xFFFFFFFF: a wait that long is bounded by one millisecond less.
  const DWORD limit = timeout_ms == INFINITE ? INFINITE - 1 : timeout_ms;
  switch (WaitForSingleObject(ToHandle(event), limit)) {
  case WAIT_OBJECT_0:
    ResetEvent(ToHandle(event));
    return 0;
  case WAIT_TIMEOUT:
    return -ETIMEDOUT;
  default:
    return LastErrorCode();
  }
}

void DevicePlatform::CloseEvent(int event) {
  if (event > 0) CloseHandle(ToHandle(event));
}

bool DevicePlatform::EventSignalled(int event) {
  return WaitForSingleObject(ToHandle(event), 0) == WAIT_OBJECT_0;
}

void DevicePlatform::UtcTimeOfDay(int *minute, int *second, int *millisecond) {
  SYSTEMTIME now;
  GetSystemTime(&now);
  *minute = now.wMinute;
  *second = now.wSecond;
  *millisecond = now.wMilliseconds;
}

DevicePlatform &WindowsDevicePlatform() {
  static WindowsPlatform platform;
  return platform;
}

DevicePlatform &PlatformOf(const TSCSIDevice *device) {
  if (device != nullptr && device->Platform != nullptr)
    return *static_cast<DevicePlatform *>(device->Platform);
  return WindowsDevicePlatform();
}

} // namespace korva
