// Erasing the disc in the selected drive: blanking, or for overwritable media writing zero
// packets over the volume structure (and a full format for DVD-RAM).
#include <cstring>
#include <new>

#include "device/device_internal.h"
#include "korva/scsi.hpp"
#include "udf/byte_order.h"
#include "volume/life/background.h"
#include "volume/engine.h"

namespace korva {
namespace {

constexpr uint32_t kEraseReadyLimitMs = 60000;

// Writes count zero packets from sector 0, stopping at the first failure.
Status WriteZeroPackets(TUDFRewritableVolume &v, uint32_t count) {
  const uint32_t p = v.PacketBlocks;
  std::memset(v.PacketBuffer, 0, sizeof(v.PacketBuffer));
  BusyWait busy(v);
  for (uint32_t i = 0; i < count; ++i) {
    auto write = [&] {
      return Write10(&v.Device, i * p, static_cast<uint16_t>(p), v.PacketBuffer, p * kSectorSize);
    };
    bool ok = write();
    while (!ok && busy.WaitedOut())
      ok = write();
    if (!ok) return Status::Unnumbered();
  }
  return Status::Ok();
}

// DVD+RW: formatted first when it is not, then zeros over the volume structure and the
// lead-out after them, so that other drives see an empty disc.
Status EraseDvdPlusRw(TUDFRewritableVolume &v, bool quick) {
  TSCSIDevice *d = &v.Device;
  const uint32_t p = v.PacketBlocks;
  if (!CheckMediumFormatted(v)) {
    GetFormatCapacity(d);
    if (const uint8_t *count = FindFormattableCapacity(v, 0x26)) v.TotalSectors = LoadBE32(count);
    if (Status s = DriveCommand(FormatDvdPlusRw(v)); !s.IsOk()) return s;
    if (Status s = WaitWhileInProgress(v, ReadyPoll::kDiscInformation, false); !s.IsOk())
      return s;
  }
  const Status zeros = WriteZeroPackets(v, quick ? 256 / p + 1 : 65536 / p);
  FlushCache(d);
  if (Status s = StopBackgroundFormat(v); !s.IsOk()) return s;
  return zeros;
}

Status EraseMedium(TUDFRewritableVolume &v, bool quick) {
  TSCSIDevice *d = &v.Device;
  RefreshMediumInfo(v);
  const uint8_t medium = d->Medium;
  if (medium == mtDVDPLUSRW || medium == mtDVDRAM) {
    v.PacketBlocks = 16;
    v.PacketBytes = 32768;
  }
  if (medium != mtDVDRAM && medium != mtDVDPLUSRW) {
    if (!Erase(d, quick)) return Status::Unnumbered();
    return WaitWhileInProgress(v, ReadyPoll::kDiscInformation, false);
  }
  if (medium == mtDVDPLUSRW) return EraseDvdPlusRw(v, quick);
  // DVD-RAM.
  if (quick) {
    const Status zeros = WriteZeroPackets(v, 256 / v.PacketBlocks + 1);
    FlushCache(d);
    return zeros;
  }
  if (Status s = DriveCommand(FormatDvdRamFully(v)); !s.IsOk()) return s;
  // Some drives answer TEST UNIT READY while they still format; they report progress on
  // READ DISC INFORMATION as on anything else.
  return WaitWhileInProgress(v, ReadyPoll::kDiscInformation, false);
}

} // namespace

bool EraseDiscOperation(TUDFRewritableVolume &v, bool quick) {
  v.LastError = 0;
  // The thread's caller reads the result from LastError after the completion event.
  return Report(v, EraseMedium(v, quick)) != KFALSE;
}

} // namespace korva

using namespace korva;

namespace {

// Whether the drive may be erased now: a drive selected (18) holding an erasable disc (12),
// no drive volume mounted on it (19), and the drive held for writing (36).
Status CheckErasable(TUDFRewritableVolume &v) {
  if (!v.DeviceSelected) return KORVA_E_NO_DEVICE;
  // A disc just loaded is identified first (becoming ready); the answer that ends the wait
  // is judged by what follows.
  WaitForReadyDrive(&v.Device, kEraseReadyLimitMs, 500);
  if (!Erasable(&v.Device)) return KORVA_E_NO_MEDIA;
  if (v.VolumeOpen && !v.ImageMode) return KORVA_E_VOLUME_MOUNTED;
  return HoldDriveForWriting(v);
}

} // namespace

extern "C" KORVA_API KBOOL EraseDisc(TUDFRewritableVolume *volume, KBOOL quick,
                                     TEraseDoneEvent on_done, void *context) {
  if (!volume) return KFALSE;
  TUDFRewritableVolume &v = *volume;
  if (RefuseWhileBusy(v)) return KFALSE;
  if (!Report(v, CheckErasable(v))) return KFALSE;
  // From the start on, LastError is the thread's: it reports the erase's result there.
  auto *thread = new (std::nothrow) TUDFThread(v, toEraseDisc);
  if (!thread) return KFALSE;
  thread->QuickErase = quick != 0;
  thread->EraseHandler = on_done;
  thread->Context = context;
  return StartBackgroundOperation(v, thread) ? KTRUE : KFALSE;
}
