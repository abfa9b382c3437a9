// The write parameters page (05h) for fixed-packet media. Drives forget it at power-on and
// often at a medium change or reset, and refuse packet writes (64/00) without it, so it is
// set from the track as the drive reports it before the first write of every mount, the
// way the Linux packet-writing driver does.
#include <algorithm>
#include <cstring>

#include "korva/scsi.hpp"
#include "udf/byte_order.h"
#include "volume/engine.h"

namespace korva {
namespace {

constexpr uint32_t kSenseLength = 512;
constexpr uint8_t kBlockMode1 = 8;  // data block type: mode 1, 2048 bytes
constexpr uint8_t kBlockMode2 = 10; // mode 2 form 1, 2048 bytes

// Media the drive writes in fixed packets that the host describes: CD-RW formatted for
// them and restricted-overwrite DVD-RW. DVD+RW, DVD-RAM and MRW take any writes as they are.
// An MRW disc is told apart by its background-format status, which only MRW CD-RW has.
bool NeedsWriteParameters(const TUDFRewritableVolume &v) {
  const uint8_t medium = v.Device.Medium;
  const uint8_t background = v.Device.DiscInfo.ValidFlags & 3;
  return (medium == mtCDRW && background == 0) || medium == mtDVDRWRO;
}

// Changes the page in place as the track says: packet writing, fixed packets of the
// track's size, its track mode and data mode. False when the track's data mode is neither
// mode 1, mode 2 nor unknown (the page would describe something the drive does not hold).
bool FillFromTrack(uint8_t *page, uint32_t pageBytes, const TTrackInformation &track, bool cd) {
  // Some firmware reports 0Fh (unknown) for a track it formatted: the medium's own mode.
  uint8_t dataMode = track.DataMode & 0x0F;
  if (dataMode == 0x0F) dataMode = cd ? 2 : 1;
  if (dataMode != 1 && dataMode != 2) return false;
  const bool fixed = (track.DataMode & 0x10) != 0;
  page[0] &= 0x3F; // PS is reserved in MODE SELECT
  page[2] &= 0x40; // write type 0 (packet), no test write, no link size; BUFE kept
  page[3] = static_cast<uint8_t>((page[3] & 0x10) | (fixed ? 0x20 : 0) | (track.TrackMode & 0x0F));
  page[4] = dataMode == 1 ? kBlockMode1 : kBlockMode2;
  page[8] = dataMode == 1 ? 0x00 : 0x20; // session format: CD-DA/CD-ROM, or CD-ROM XA
  StoreBE32(page + 10, track.FixedPacketSize);
  // Sub-header byte 2 (the submode), where the page is long enough to hold it.
  if (pageBytes > 50) page[50] = dataMode == 1 ? 0x20 : 0x08;
  return true;
}

} // namespace

namespace {

// Reads the drive's page, fills it from track 1 (which holds the whole formatted disc) and
// sends it back; error 38 when the drive refuses any of it or the page makes no sense.
Status SendPageFromTrack(TUDFRewritableVolume &v) {
  TSCSIDevice *d = &v.Device;
  uint8_t *r = d->DataBuffer;
  std::memset(r, 0, kSenseLength);
  bool ok = ReadTrackInformation(d, 1) && ModeSense10(d, r, kSenseLength, 0x05, false);
  const uint32_t header = 8 + LoadBE16(r + 6); // header and block descriptors
  const uint32_t pageBytes = header + 2 <= kSenseLength ? r[header + 1] + 2u : 0;
  ok = ok && header + pageBytes <= kSenseLength && (r[header] & 0x3F) == 0x05 && pageBytes >= 16 &&
       FillFromTrack(r + header, pageBytes, d->TrackInfo, d->Medium == mtCDRW);
  if (!ok) return KORVA_E_WRITE_PARAMETERS;
  r[0] = r[1] = 0; // the mode data length is reserved in MODE SELECT
  std::memcpy(&d->WriteParameters, r + header, std::min<size_t>(pageBytes, sizeof d->WriteParameters));
  if (!ModeSelect(d, r, static_cast<uint16_t>(header + pageBytes))) return KORVA_E_WRITE_PARAMETERS;
  return Status::Ok();
}

Status ChooseWriteParameters(TUDFRewritableVolume &v) {
  if (!v.ImageMode)
    if (Status s = SetMrwAddressSpace(v); !s.IsOk()) return s;
  if (v.ImageMode || !NeedsWriteParameters(v)) return Status::Ok();
  return SendPageFromTrack(v);
}

} // namespace

Status SetWriteParameters(TUDFRewritableVolume &v) {
  const Status s = ChooseWriteParameters(v);
  v.WriteParametersSet = s.IsOk() ? 1 : 0;
  return s;
}

} // namespace korva
