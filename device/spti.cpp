// Request blocks through Windows' SCSI pass-through-direct control code.
#include "device/spti.h"

#include <algorithm>
#include <cstring>

#include "device/platform.h"

namespace korva {

namespace {

constexpr size_t kSenseCopied = 24;

uint8_t DirectionOf(uint8_t flags) {
  if (flags & SRB_DIR_IN) return kSptiDataIn;
  if (flags & SRB_DIR_OUT) return kSptiDataOut;
  return kSptiDataUnspecified;
}

void BuildRecord(const TSRB_ExecSCSICmd *srb, uint32_t timeout_seconds,
                 TSCSI_PASS_THROUGH_DIRECT_WITH_BUFFER *record) {
  std::memset(record, 0, sizeof *record);
  TSCSI_PASS_THROUGH_DIRECT &sptd = record->Sptd;
  sptd.Length = sizeof(TSCSI_PASS_THROUGH_DIRECT);
  sptd.DataIn = DirectionOf(srb->SRB_Flags);
  sptd.CdbLength = std::min<uint8_t>(srb->SRB_CDBLen, sizeof sptd.Cdb);
  sptd.SenseInfoLength = std::min<uint8_t>(srb->SRB_SenseLen, sizeof record->SenseBuffer);
  sptd.DataTransferLength = srb->SRB_BufPointer != nullptr ? srb->SRB_BufLen : 0;
  sptd.DataBuffer = sptd.DataTransferLength != 0 ? srb->SRB_BufPointer : nullptr;
  sptd.TimeOutValue = timeout_seconds;
  sptd.SenseInfoOffset = offsetof(TSCSI_PASS_THROUGH_DIRECT_WITH_BUFFER, SenseBuffer);
  std::memcpy(sptd.Cdb, srb->CDBByte, sptd.CdbLength);
}

// The driver lowers the data length to what moved; a short read leaves no stale bytes behind.
void ClearMissingTail(TSCSIDevice *device, const TSCSI_PASS_THROUGH_DIRECT &asked,
                      uint32_t transferred) {
  if (asked.DataIn != kSptiDataIn || asked.DataBuffer == nullptr) return;
  const uint32_t missing =
      transferred < asked.DataTransferLength ? asked.DataTransferLength - transferred : 0;
  device->LastResidual = missing;
  if (missing != 0)
    std::memset(static_cast<uint8_t *>(asked.DataBuffer) + transferred, 0, missing);
}

} // namespace

void SendThroughSpti(TSCSIDevice *device, DevicePlatform &platform, TSRB_ExecSCSICmd *srb,
                     uint32_t open_error) {
  TSCSI_PASS_THROUGH_DIRECT_WITH_BUFFER record;
  BuildRecord(srb, device->LastTimeoutSeconds, &record);
  const TSCSI_PASS_THROUGH_DIRECT asked = record.Sptd;
  bool sent = false;
  device->LastResidual = 0;
  if (device->Handle > 0) {
    uint32_t returned = 0;
    const int result = platform.IoControl(device->Handle, kIoctlScsiPassThroughDirect, &record,
                                          sizeof record, &record, sizeof record, &returned);
    device->LastOSError = result < 0 ? static_cast<uint32_t>(-result) : 0;
    sent = result == 0;
    if (sent) ClearMissingTail(device, asked, record.Sptd.DataTransferLength);
  } else {
    device->LastOSError = open_error;
  }
  if (sent && record.Sptd.ScsiStatus == 0) {
    srb->SRB_Status = SS_COMP;
    return;
  }
  srb->SRB_Status = SS_ERR;
  std::memcpy(srb->SenseArea, record.SenseBuffer, kSenseCopied);
  std::memset(srb->SenseArea + kSenseCopied, 0, sizeof srb->SenseArea - kSenseCopied);
  srb->SRB_TargStat = sent ? record.Sptd.ScsiStatus : 0;
}

int QueryAddressThroughIoControl(DevicePlatform &platform, int handle, TSCSI_ADDRESS *address) {
  std::memset(address, 0, sizeof *address);
  address->Length = sizeof *address;
  uint32_t returned = 0;
  return platform.IoControl(handle, kIoctlScsiGetAddress, nullptr, 0, address, sizeof *address,
                            &returned);
}

} // namespace korva
