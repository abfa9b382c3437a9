// The operating-system layer of the device transports and of discovery. Every system call
// they make (drive letters and types, opening and closing a drive, SG_IO pass-through, the
// address query, loading an ASPI-style module, the environment, sleeping, completion
// events) goes through one DevicePlatform, so tests and the virtual drive can stand in for
// the system. A record picks its layer through TSCSIDevice::Platform (null: the system's).
#ifndef KORVA_DEVICE_PLATFORM_H
#define KORVA_DEVICE_PLATFORM_H

#include <cstdint>
#include <string>

#if defined(_WIN32)
// Windows has no SG_IO; its pass-through goes through IoControl below.
struct sg_io_hdr;
typedef struct sg_io_hdr sg_io_hdr_t;
#else
#include <scsi/sg.h>
#endif

#include "korva/aspi.h"

// windows.h, which the standard thread headers may bring in first, makes CreateEvent a macro
// that would rename the method below in that file alone.
#if defined(_WIN32) && defined(CreateEvent)
#undef CreateEvent
#endif

namespace korva {

class DevicePlatform {
public:
  virtual ~DevicePlatform() = default;

  // Upper-case letters "C" to "Z" that name optical drives, in any order.
  virtual std::string OpticalDriveLetters() = 0;

  // Drive type of "X:": KORVA_DRIVE_CDROM (5) for an optical drive letter, else 1 (no such
  // drive). The default asks OpticalDriveLetters.
  virtual uint32_t DriveType(char letter);

  // Opens the drive of a letter ("\\.\X:"): for reading and writing, exclusively when
  // writable (Linux: O_EXCL, refused with -EBUSY while the disc is mounted or another program
  // holds the node so; Windows: sharing reading only, refused with -32 while another program
  // writes), else for reading only. Returns a descriptor > 0, or -errno (Windows: -the system
  // error code). Never returns 0, so that 0 in a fresh record's Handle means "not open".
  virtual int OpenDrive(char letter, bool writable) = 0;

  // Closes a descriptor from OpenDrive. Returns 0 or -errno.
  virtual int CloseDrive(int handle) = 0;

  // ioctl(handle, SG_IO, header). Returns 0 when the call itself succeeded (the SCSI, host
  // and driver status in the header tell about the command), or -errno.
  virtual int SendSgIo(int handle, sg_io_hdr_t *header) = 0;

  // DeviceIoControl on a handle from OpenDrive (Windows: the pass-through-direct and
  // address-query control codes). Returns 0 when the call succeeded, with the bytes
  // returned in *returned, or -(the system's error code). The default has no such call.
  virtual int IoControl(int handle, uint32_t code, void *in, uint32_t in_length, void *out,
                        uint32_t out_length, uint32_t *returned);

  // Address of the drive: port number = host, path id = channel, target id, logical unit.
  // Returns 0 or -errno.
  virtual int QueryAddress(int handle, TSCSI_ADDRESS *address) = 0;

  // dlopen / dlsym of an ASPI-style module. Null on failure.
  virtual void *LoadModule(const char *file_name) = 0;
  virtual void *ModuleSymbol(void *module, const char *name) = 0;
  // dlclose of a module from LoadModule. The default keeps it loaded.
  virtual void UnloadModule(void *module);

  // getenv. Null when unset.
  virtual const char *Environment(const char *name) = 0;

  virtual void SleepMs(uint32_t milliseconds) = 0;
  // A monotonic clock in milliseconds, for bounding waits on the drive. The default reads
  // the system's steady clock.
  virtual uint64_t MonotonicMs();

  // Completion events of ASPI commands: an eventfd descriptor (>= 0), or -errno. Wait blocks
  // until a module has written to it, for at most timeout_ms (then -ETIMEDOUT): a module
  // that never answers must not hold the caller for ever. The defaults use the real eventfd.
  virtual int CreateEvent();
  virtual int WaitEvent(int event, uint32_t timeout_ms);
  virtual void CloseEvent(int event);
  // Whether a module has written to the event; never blocks. The default polls it.
  virtual bool EventSignalled(int event);

  // Asks the operating system to keep the tray of an open drive locked (or not) beyond the
  // last close of the drive: Linux's CD-ROM layer otherwise unlocks it then. Returns 0, or
  // -errno (-ENOTTY where the node or layer has no such request; the default).
  virtual int KeepDoorLocked(int handle, bool locked);

  // Current UTC time of day for the trace log. The default reads the system clock.
  virtual void UtcTimeOfDay(int *minute, int *second, int *millisecond);
};

#if !defined(_WIN32)
// The Linux layer: optical drives from /sys/class/block/sr* (numeric order) get the letters
// "D", "E", ...; the environment variable KORVA_DRIVES ("E=/dev/sr1,F=/dev/sr0") replaces
// that map. Drives are opened O_RDWR|O_EXCL|O_NONBLOCK (else O_RDONLY|O_NONBLOCK).
DevicePlatform &LinuxDevicePlatform();
#else

// The Windows layer: drive letters of type 5 (GetDriveTypeA), "\\.\X:" opened with
// CreateFileA, DeviceIoControl, LoadLibraryA, Win32 events (device/platform_windows.h).
DevicePlatform &WindowsDevicePlatform();
#endif

// The layer of a record: its Platform, or the system's layer when that is null.
DevicePlatform &PlatformOf(const TSCSIDevice *device);

} // namespace korva

#endif
