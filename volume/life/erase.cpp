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
bool WriteZeroPackets(TUDFRewritableVolume &v, uint32_t count) {
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
    if (!ok) return false;
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
      if (!FormatDvdPlusRw(v)) return false;
      if (!WaitWhileInProgress(v, ReadyPoll::kDiscInformation, false)) return false;
    }
    const bool ok = WriteZeroPackets(v, quick ? 256 / p + 1 : 65536 / p);
    FlushCache(d);
    // The lead-out written after the zeros, so that other drives see an empty disc.
    return StopBackgroundFormat(v) && ok;
  }
  // DVD-RAM.
  if (quick) {
    const bool ok = WriteZeroPackets(v, 256 / p + 1);
    FlushCache(d);
    return ok;
  }
  if (!FormatDvdRamFully(v)) return false;
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
  // A disc just loaded is identified first (becoming ready); the answer that ends the wait
  // is judged by what follows.
  WaitForReadyDrive(&v.Device, kEraseReadyLimitMs, 500);
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
