// The Windows device layer. Its system calls are virtual, so that tests can stand in for
// GetDriveTypeA, CreateFileA and DeviceIoControl and check what reaches them while the rest
// of the layer (the address query through its control code, events, modules) stays real.
// Events (manual-reset, CreateEventA) and the trace's time of day (GetSystemTime) are the
// defaults every layer of the Windows build inherits.
#ifndef KORVA_DEVICE_PLATFORM_WINDOWS_H
#define KORVA_DEVICE_PLATFORM_WINDOWS_H

#if defined(_WIN32)

#include "device/platform.h"

namespace korva {

class WindowsPlatform : public DevicePlatform {
public:
  // Letters "C" to "Z" whose drive type is 5.
  std::string OpticalDriveLetters() override;
  // GetDriveTypeA of "X:\".
  uint32_t DriveType(char letter) override;
  // CreateFileA of "\\.\X:": reading and writing, sharing both, existing only, normal
  // attributes; or reading only, sharing reading, no attributes. A handle (> 0), or
  // -(GetLastError()).
  int OpenDrive(char letter, bool writable) override;
  int CloseDrive(int handle) override;
  // Windows has no SG_IO.
  int SendSgIo(int handle, sg_io_hdr_t *header) override;
  int IoControl(int handle, uint32_t code, void *in, uint32_t in_length, void *out,
                uint32_t out_length, uint32_t *returned) override;
  // The address query: IoControl with IOCTL_SCSI_GET_ADDRESS.
  int QueryAddress(int handle, TSCSI_ADDRESS *address) override;
  // LoadLibraryA, GetProcAddress, FreeLibrary.
  void *LoadModule(const char *file_name) override;
  void *ModuleSymbol(void *module, const char *name) override;
  void UnloadModule(void *module) override;
  const char *Environment(const char *name) override;
  void SleepMs(uint32_t milliseconds) override;
};

} // namespace korva

#endif
#endif
