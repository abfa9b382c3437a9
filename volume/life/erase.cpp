// Erasing the disc in the selected drive: blanking, or for overwritable media writing zero
// packets over the volume structure (and a full format for DVD-RAM).
#include <cstring>
#include <new>

#include "korva/scsi.hpp"
#include "udf/byte_order.h"
#include "volume/life/background.h"
#include "volume/engine.h"

namespace korva {
namespace {

const uint8_t kDvdRamList[12] = {0x00, 0x82, 0x00, 0x08, 0x00, 0x22,
                                 0x21, 0x20, 0x00, 0x00, 0x08, 0x00};

// Writes count zero packets from sector 0, stopping at the first failure.
bool WriteZeroPackets(TUDFRewritableVolume &v, uint32_t count) {
  const uint32_t p = v.PacketBlocks;
  std::memset(v.PacketBuffer, 0, sizeof(v.PacketBuffer));
  for (uint32_t i = 0; i < count; ++i) {
    if (!Write10(&v.Device, i * p, static_cast<uint16_t>(p), v.PacketBuffer, p * kSectorSize))
      return false;
  }
  return true;
}

} // namespace

bool EraseDiscOperation(TUDFRewritableVolume &v, bool quick) {
  v.LastError = 0;
  TSCSIDevice *d = &v.Device;
  RefreshMediumInfo(v);
  const uint8_t medium = d->Medium;
  if (medium == mtDVDPLUSRW || medium == mtDVDRAM) {
    v.PacketBlocks = 16;
    v.PacketBytes = 32768;
  }
  if (medium != mtDVDRAM && medium != mtDVDPLUSRW) {
    if (!Erase(d, quick)) return false;
    return WaitWhileInProgress(v, ReadyPoll::kDiscInformation, false);
  }
  const uint32_t p = v.PacketBlocks;
  if (medium == mtDVDPLUSRW) {
    if (!CheckMediumFormatted(v)) {
      GetFormatCapacity(d);
      if (const uint8_t *count = FindFormattableCapacity(v, 0x26)) v.TotalSectors = LoadBE32(count);
      if (!FormatUnit(d, 0x11, kDvdPlusRwFormatList, sizeof(kDvdPlusRwFormatList))) return false;
      if (!WaitWhileInProgress(v, ReadyPoll::kDiscInformation, false)) return false;
    }
    const bool ok = WriteZeroPackets(v, quick ? 256 / p + 1 : 65536 / p);
    FlushCache(d);
    if (quick) CloseDVDTrack(d, false, 3, 0, 0, 0);
    return ok;
  }
  // DVD-RAM.
  if (quick) {
    const bool ok = WriteZeroPackets(v, 256 / p + 1);
    FlushCache(d);
    return ok;
  }
  if (!FormatUnit(d, 0x11, kDvdRamList, sizeof(kDvdRamList))) return false;
  // Some drives answer TEST UNIT READY while they still format; they report progress on
  // READ DISC INFORMATION as on anything else.
  return WaitWhileInProgress(v, ReadyPoll::kDiscInformation, false);
}

} // namespace korva

using namespace korva;

extern "C" KORVA_API KBOOL EraseDisc(TUDFRewritableVolume *volume, KBOOL quick,
                                     TEraseDoneEvent on_done, void *context) {
  if (!volume) return KFALSE;
  TUDFRewritableVolume &v = *volume;
  if (RefuseWhileBusy(v)) return KFALSE;
  v.LastError = 0;
  if (!v.DeviceSelected) {
    SetError(v, KORVA_E_NO_DEVICE);
    return KFALSE;
  }
  if (!Erasable(&v.Device)) {
    SetError(v, KORVA_E_NO_MEDIA);
    return KFALSE;
  }
  if (v.VolumeOpen && !v.ImageMode) {
    SetError(v, KORVA_E_VOLUME_MOUNTED);
    return KFALSE;
  }
  if (!HoldDriveForWriting(v)) return KFALSE;
  auto *thread = new (std::nothrow) TUDFThread(v, toEraseDisc);
  if (!thread) return KFALSE;
  thread->QuickErase = quick != 0;
  thread->EraseHandler = on_done;
  thread->Context = context;
  return StartBackgroundOperation(v, thread) ? KTRUE : KFALSE;
}
