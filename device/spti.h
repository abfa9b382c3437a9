// The Windows SCSI pass-through-direct records and the one send through them. The records
// are Windows' own layouts for the build's pointer size (natural alignment of fixed-width
// fields and one pointer), so the translation also builds and is tested on Linux.
#ifndef KORVA_DEVICE_SPTI_H
#define KORVA_DEVICE_SPTI_H

#include <cstddef>
#include <cstdint>

#include "korva/aspi.h"

namespace korva {

class DevicePlatform;

// Control codes: IOCTL_SCSI_PASS_THROUGH_DIRECT and IOCTL_SCSI_GET_ADDRESS.
constexpr uint32_t kIoctlScsiPassThroughDirect = 0x4D014;
constexpr uint32_t kIoctlScsiGetAddress = 0x41018;

// SCSI_PASS_THROUGH_DIRECT.DataIn values.
constexpr uint8_t kSptiDataOut = 0;
constexpr uint8_t kSptiDataIn = 1;
constexpr uint8_t kSptiDataUnspecified = 2;

struct TSCSI_PASS_THROUGH_DIRECT {
  uint16_t Length; // size of this record
  uint8_t ScsiStatus;
  uint8_t PathId;
  uint8_t TargetId;
  uint8_t Lun;
  uint8_t CdbLength;
  uint8_t SenseInfoLength;
  uint8_t DataIn;
  uint32_t DataTransferLength;
  uint32_t TimeOutValue; // seconds
  void *DataBuffer;
  uint32_t SenseInfoOffset; // from the start of this record
  uint8_t Cdb[16];
};

struct TSCSI_PASS_THROUGH_DIRECT_WITH_BUFFER {
  TSCSI_PASS_THROUGH_DIRECT Sptd;
  uint32_t Filler;
  uint8_t SenseBuffer[32];
};

// 44 and 80 bytes with 32-bit pointers (sense at 48), 56 and 96 with 64-bit ones (sense at 60).
constexpr size_t kPointer = sizeof(void *);
static_assert(offsetof(TSCSI_PASS_THROUGH_DIRECT, DataIn) == 8);
static_assert(offsetof(TSCSI_PASS_THROUGH_DIRECT, DataTransferLength) == 12);
static_assert(offsetof(TSCSI_PASS_THROUGH_DIRECT, TimeOutValue) == 16);
static_assert(offsetof(TSCSI_PASS_THROUGH_DIRECT, DataBuffer) == (kPointer == 8 ? 24 : 20));
static_assert(offsetof(TSCSI_PASS_THROUGH_DIRECT, SenseInfoOffset) == (kPointer == 8 ? 32 : 24));
static_assert(offsetof(TSCSI_PASS_THROUGH_DIRECT, Cdb) == (kPointer == 8 ? 36 : 28));
static_assert(sizeof(TSCSI_PASS_THROUGH_DIRECT) == (kPointer == 8 ? 56 : 44));
static_assert(offsetof(TSCSI_PASS_THROUGH_DIRECT_WITH_BUFFER, Filler) == (kPointer == 8 ? 56 : 44));
static_assert(offsetof(TSCSI_PASS_THROUGH_DIRECT_WITH_BUFFER, SenseBuffer) ==
              (kPointer == 8 ? 60 : 48));
static_assert(sizeof(TSCSI_PASS_THROUGH_DIRECT_WITH_BUFFER) == (kPointer == 8 ? 96 : 80));

// One send of a request block on the open Handle (or, when it is not open, none: the block
// fails with open_error as LastOSError). Builds the record from the block, issues the
// pass-through-direct control code with it as input and output, keeps the system's error in
// LastOSError, and answers the block: completed on SCSI status 0, else error with the first
// 24 sense bytes and the SCSI status.
void SendThroughSpti(TSCSIDevice *device, DevicePlatform &platform, TSRB_ExecSCSICmd *srb,
                     uint32_t open_error);

// The address query of an open drive (8-byte record out). 0, or -(the system's error).
int QueryAddressThroughIoControl(DevicePlatform &platform, int handle, TSCSI_ADDRESS *address);

} // namespace korva

#endif
