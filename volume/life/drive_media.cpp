// What each rewritable medium needs from its drive beyond reads and writes, done the way
// the Linux kernel's CD-ROM layer, cdrwtool and dvd+rw-tools do it on real drives: the
// CD-RW fixed-packet format, the DVD+RW and MRW background format (stopped and closed at
// the end of a mount, restarted at the next), the MRW address space, and the DVD-RAM full
// format from the capacity the drive reports.
#include <cstring>

#include "device/device_internal.h"
#include "device/platform.h"
#include "korva/scsi.hpp"
#include "udf/byte_order.h"
#include "volume/engine.h"

namespace korva {
namespace {

constexpr uint8_t kFormatData = 0x10;  // FORMAT UNIT byte 1: a parameter list follows
constexpr uint8_t kImmediate = 0x02;   // format list header byte 1: return at once
constexpr uint8_t kRestart = 0x01;     // type-dependent byte 3: go on with a stopped format
constexpr uint8_t kMrwModePage = 0x03; // address space; drives before MMC-4 use 2Ch
constexpr uint8_t kMrwModePageOld = 0x2C;
// How long a drive that says it is busy (long write, format or operation in progress,
// becoming ready) is waited out during sector I/O before the command counts as failed.
constexpr uint64_t kBusyLimitMs = 120000;

uint8_t BackgroundStatus(const TUDFRewritableVolume &v) {
  return v.Device.DiscInfo.ValidFlags & 3;
}

bool IsMrw(const TUDFRewritableVolume &v) {
  return v.Device.Medium == mtCDRW && BackgroundStatus(v) != 0;
}

// A 12-byte FORMAT UNIT list: immediate, one descriptor of the given type and count.
void BuildFormatList(uint8_t (&list)[12], const uint8_t *blocks, uint8_t type, uint32_t param) {
  std::memset(list, 0, sizeof list);
  list[1] = kImmediate;
  list[3] = 8;
  if (blocks)
    std::memcpy(list + 4, blocks, 4);
  else
    std::memset(list + 4, 0xFF, 4);
  list[8] = static_cast<uint8_t>(type << 2);
  list[9] = static_cast<uint8_t>(param >> 16);
  list[10] = static_cast<uint8_t>(param >> 8);
  list[11] = static_cast<uint8_t>(param);
}

bool IllegalRequest(const TUDFRewritableVolume &v) {
  return LastSenseFields(&v.Device).key == 0x05;
}

// CLOSE TRACK/SESSION with the immediate bit, then polled until the drive is done. Drives
// may answer TEST UNIT READY while they close, so the poll reads the disc information.
Status CloseAndWait(TUDFRewritableVolume &v, uint8_t function) {
  if (!CloseDVDTrack(&v.Device, true, function, 0, 0, 0)) return Status::Unnumbered();
  return WaitWhileInProgress(v, ReadyPoll::kDiscInformation, false);
}

} // namespace

bool FormatCdRwForFixedPackets(TUDFRewritableVolume &v) {
  TSCSIDevice *d = &v.Device;
  uint8_t list[12];
  BuildFormatList(list, v.CdRwFormatBlocks, 0x10, 32);
  if (FormatUnit(d, kFormatData | 1, list, sizeof list)) return true;
  // Older drives know only the CD-RW format descriptor of format code 7.
  if (!IllegalRequest(v)) return false;
  uint8_t old[16] = {0x00, kImmediate, 0x00, 0x08};
  std::memcpy(old + 12, v.CdRwFormatBlocks, 4);
  return FormatUnit(d, kFormatData | 7, old, sizeof old);
}

bool FormatMrw(TUDFRewritableVolume &v) {
  uint8_t list[12];
  BuildFormatList(list, nullptr, 0x24, 0);
  return FormatUnit(&v.Device, kFormatData | 1, list, sizeof list);
}

bool FormatDvdPlusRw(TUDFRewritableVolume &v) {
  uint8_t list[12];
  BuildFormatList(list, nullptr, 0x26, 0);
  return FormatUnit(&v.Device, kFormatData | 1, list, sizeof list);
}

bool FormatDvdRamFully(TUDFRewritableVolume &v) {
  TSCSIDevice *d = &v.Device;
  // 4.7 GB, 2.6 GB and 8 cm discs differ: the drive says what this one holds.
  if (!GetFormatCapacity(d)) return false;
  const uint8_t *count = FindFormattableCapacity(v, 0x00);
  if (!count) return false;
  uint8_t list[12];
  BuildFormatList(list, count, 0x00, kSectorSize);
  list[1] |= 0x80; // format options valid: certification as the drive's default
  return FormatUnit(d, kFormatData | 1, list, sizeof list);
}

Status RestartBackgroundFormat(TUDFRewritableVolume &v) {
  TSCSIDevice *d = &v.Device;
  const bool plus = d->Medium == mtDVDPLUSRW;
  if ((!plus && !IsMrw(v)) || BackgroundStatus(v) != 1) return Status::Ok();
  uint8_t list[12];
  const uint8_t *count = nullptr;
  if (plus && GetFormatCapacity(d)) count = FindFormattableCapacity(v, 0x26);
  BuildFormatList(list, count, plus ? 0x26 : 0x24, kRestart);
  if (!FormatUnit(d, kFormatData | 1, list, sizeof list)) return Status::Unnumbered();
  return WaitWhileInProgress(v, ReadyPoll::kDiscInformation, false);
}

Status StopBackgroundFormat(TUDFRewritableVolume &v) {
  TSCSIDevice *d = &v.Device;
  if (d->Medium == mtDVDPLUSRW) {
    ReadDiscInformation(d, &d->DiscInfo, 42);
    if (BackgroundStatus(v) == 0 || BackgroundStatus(v) == 3) return Status::Ok();
    // Stop the background format, then write the lead-in and a temporary lead-out so that
    // other drives read the disc.
    if (Status s = CloseAndWait(v, 0); !s.IsOk()) return s;
    return CloseAndWait(v, 2);
  }
  if (d->Medium != mtCDRW) return Status::Ok();
  ReadDiscInformation(d, &d->DiscInfo, 42);
  return BackgroundStatus(v) == 2 ? CloseAndWait(v, 2) : Status::Ok();
}

Status SetMrwAddressSpace(TUDFRewritableVolume &v) {
  if (!IsMrw(v)) return Status::Ok();
  TSCSIDevice *d = &v.Device;
  uint8_t *r = d->DataBuffer;
  // The drive keeps the address space another program chose; the volume lives in the
  // defect-managed area.
  for (uint8_t page : {kMrwModePage, kMrwModePageOld}) {
    std::memset(r, 0, 32);
    if (!ModeSense10(d, r, 32, page, false)) continue;
    const uint32_t at = 8 + LoadBE16(r + 6);
    if (at + 4 > 32 || (r[at] & 0x3F) != page) continue;
    const uint32_t length = at + 2 + r[at + 1];
    if (length > 32) continue;
    r[0] = r[1] = 0;
    r[at] &= 0x3F;
    r[at + 3] &= 0xFE;
    if (ModeSelect(d, r, static_cast<uint16_t>(length))) return Status::Ok();
    break;
  }
  return KORVA_E_WRITE_PARAMETERS;
}

bool BusyWait::WaitedOut() {
  const SenseFields s = LastSenseFields(&v_.Device);
  if (!IsBusyNotReady(s)) return false;
  DevicePlatform &platform = PlatformOf(&v_.Device);
  const uint64_t now = platform.MonotonicMs();
  if (start_ == 0) start_ = now + 1;
  if (now + 1 - start_ >= kBusyLimitMs) return false;
  platform.SleepMs(RetryDelay(v_) < 500 ? RetryDelay(v_) : 500);
  return true;
}

} // namespace korva
