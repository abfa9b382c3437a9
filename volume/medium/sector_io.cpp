// The sector I/O routines. Every on-disc read and write of the engine passes through
// them: to the image file through the image layer, or to the drive with READ(10)/WRITE(10).
// Callers name sectors as the volume lays them out; packets that the sparing table
// relocated are read and written where the table says, here and nowhere else.
#include <algorithm>
#include <cstring>

#include "device/platform.h"
#include "korva/scsi.hpp"
#include "volume/engine.h"
#include "volume/medium/sparing.h"

namespace korva {
namespace {

constexpr int kDriveAttempts = 3;
// Larger requests gain no throughput, and a failed one costs more to narrow down.
constexpr uint32_t kMaxRequestSectors = (4u << 20) / kSectorSize;

// Waits through the drive's platform layer, so tests of virtual drives need not sleep.
void Pause(TUDFRewritableVolume &v) {
  PlatformOf(&v.Device).SleepMs(RetryDelay(v));
}

bool ImageRead(TUDFRewritableVolume &v, uint32_t sector, uint8_t *dest, uint32_t bytes) {
  if (!v.ImageFileOpen) return false;
  const KorvaImageIO &io = ImageIOOf(v);
  return io.ReadAt(io.Context, v.ImageFile, dest, bytes, uint64_t(sector) * kSectorSize) == 0;
}

// Drive I/O attempts; a unit attention ends them at once: retrying would read or write
// whatever disc the drive holds now.
template <class Command>
bool DriveAttempts(TUDFRewritableVolume &v, Command command) {
  BusyWait busy(v);
  for (int attempt = 0; attempt < kDriveAttempts;) {
    if (MediumChangedSinceMount(v)) return false;
    if (command()) return !MediumChangedSinceMount(v);
    // A drive busy with a long write or a format is waited out; that costs no attempt.
    if (busy.WaitedOut()) continue;
    if (++attempt < kDriveAttempts) Pause(v);
  }
  return false;
}

bool DriveRead(TUDFRewritableVolume &v, uint32_t sector, uint8_t *dest, uint32_t blocks) {
  // A drive that caches writes returns the data just written only after SYNCHRONIZE CACHE.
  if (!SynchronizeDriveCache(v)) return false;
  return DriveAttempts(
      v, [&] { return Read10(&v.Device, sector, static_cast<int32_t>(blocks), dest); });
}

// Sectors per READ(10): the CDB's 16-bit count, and no more than the drive buffers. Without
// a known buffer size, one packet, which every drive takes.
uint32_t DriveRequestSectors(const TUDFRewritableVolume &v) {
  const uint32_t buffered = v.Device.BufferLength / kSectorSize;
  return std::min({std::max(buffered, PacketBlocksOf(v)), 0xFFFFu, kMaxRequestSectors});
}

bool ReadPhysical(TUDFRewritableVolume &v, uint32_t sector, uint8_t *dest, uint32_t count) {
  return v.ImageMode ? ImageRead(v, sector, dest, count * kSectorSize)
                     : DriveRead(v, sector, dest, count);
}

// Calls io(physical, byte offset, sectors) for each piece of count sectors from sector, in
// order, with the piece where it is recorded; stops at the first piece that fails.
template <class IO>
bool ForEachRecordedPiece(const TUDFRewritableVolume &v, uint32_t sector, uint32_t count, IO io) {
  for (uint32_t done = 0; done < count;) {
    uint32_t physical = 0;
    const uint32_t n = ResolveSectors(v, sector + done, count - done, physical);
    if (!io(physical, size_t(done) * kSectorSize, n)) return false;
    done += n;
  }
  return true;
}

// Reads count sectors from sector, each piece from where it is recorded.
bool ReadRun(TUDFRewritableVolume &v, uint32_t sector, uint8_t *dest, uint32_t count) {
  return ForEachRecordedPiece(v, sector, count, [&](uint32_t physical, size_t at, uint32_t n) {
    return ReadPhysical(v, physical, dest + at, n);
  });
}

bool WritePhysical(TUDFRewritableVolume &v, uint32_t sector, const uint8_t *src, uint32_t count) {
  const uint32_t bytes = count * kSectorSize;
  if (v.ImageMode) {
    if (!v.ImageFileOpen) return false;
    const KorvaImageIO &io = ImageIOOf(v);
    return io.WriteAt(io.Context, v.ImageFile, src, bytes, uint64_t(sector) * kSectorSize) == 0;
  }
  return DriveAttempts(v, [&] {
    if (!Write10(&v.Device, sector, static_cast<uint16_t>(count), src, bytes)) return false;
    v.CacheSynchronized = 0;
    return true;
  });
}

// Writes count sectors from sector, each piece where it is recorded. A relocated packet is
// whole packets on both sides (the mount checks it), so a drive still gets whole packets.
bool WriteRun(TUDFRewritableVolume &v, uint32_t sector, const uint8_t *src, uint32_t count) {
  return ForEachRecordedPiece(v, sector, count, [&](uint32_t physical, size_t at, uint32_t n) {
    return WritePhysical(v, physical, src + at, n);
  });
}

bool ReadFailed(TUDFRewritableVolume &v) {
  if (v.MediumChanged) {
    StopForMediumChange(v);
  } else if (v.CacheFlushFailed) {
    SetError(v, KORVA_E_CACHE_FLUSH);
  } else {
    FailRead(v);
  }
  return false;
}

} // namespace

bool SynchronizeDriveCache(TUDFRewritableVolume &v) {
  if (v.ImageMode || v.CacheSynchronized) return true;
  if (MediumChangedSinceMount(v)) {
    StopForMediumChange(v);
    return false;
  }
  BusyWait busy(v);
  bool flushed = FlushCache(&v.Device);
  while (!flushed && busy.WaitedOut())
    flushed = FlushCache(&v.Device);
  if (flushed) {
    v.CacheSynchronized = 1;
    return true;
  }
  if (MediumChangedSinceMount(v)) {
    StopForMediumChange(v);
    return false;
  }
  // What the cache held may never reach the medium: the volume is not closed over it.
  v.CacheFlushFailed = 1;
  v.Compatible = 0;
  v.CloseAfterFailure = 0;
  SetError(v, KORVA_E_CACHE_FLUSH);
  return false;
}

bool ReadPacket(TUDFRewritableVolume &v, uint32_t sector) {
  return ReadRun(v, sector, v.PacketBuffer, PacketBlocksOf(v)) ? true : ReadFailed(v);
}

bool ReadSector(TUDFRewritableVolume &v, uint32_t sector, uint8_t *dest) {
  return ReadRun(v, sector, dest, 1) ? true : ReadFailed(v);
}

bool ReadSectors(TUDFRewritableVolume &v, uint32_t first, uint32_t count, uint8_t *dest,
                 uint32_t &good) {
  good = 0;
  const uint32_t pb = PacketBlocksOf(v);
  uint32_t limit = v.ImageMode ? kMaxRequestSectors : DriveRequestSectors(v);
  limit = std::max(pb, limit - limit % pb);
  while (good < count) {
    // Requests after the first start on a packet boundary.
    const uint32_t n = std::min(count - good, limit - (first + good) % pb);
    if (ReadRun(v, first + good, dest + size_t(good) * kSectorSize, n)) {
      good += n;
      continue;
    }
    // Read the failed request again packet by packet, so that what precedes the bad packet
    // still counts as read.
    const uint32_t end = good + n;
    const uint32_t inFirstPacket = pb - (first + good) % pb;
    if (n <= inFirstPacket) return ReadFailed(v);
    while (good < end) {
      const uint32_t piece = std::min(end - good, pb - (first + good) % pb);
      if (!ReadRun(v, first + good, dest + size_t(good) * kSectorSize, piece)) return ReadFailed(v);
      good += piece;
    }
  }
  return true;
}

bool WriteRawPacket(TUDFRewritableVolume &v, uint32_t sector, const uint8_t *src) {
  // Every write of the engine passes here: whatever entry point forgot to refuse, a
  // read-only volume is never written.
  if (v.ReadOnly) {
    SetError(v, KORVA_E_READ_ONLY);
    return false;
  }
  if (WriteRun(v, sector, src, PacketBlocksOf(v))) {
    v.WrittenInOperation = 1;
    return true;
  }
  if (v.MediumChanged) {
    StopForMediumChange(v);
  } else if (v.CacheFlushFailed) {
    SetError(v, KORVA_E_CACHE_FLUSH);
  } else if (v.WrittenInOperation) {
    LoseCompatibility(v, KORVA_E_WRITE_DIRTY);
  } else {
    SetError(v, KORVA_E_WRITE);
  }
  return false;
}

bool WritePacket(TUDFRewritableVolume &v, uint32_t sector) {
  // Blocks this packet may refer to are marked used on the medium first.
  if (!PrepareSpaceBitmapFor(v, sector, v.PacketBuffer)) return false;
  // Counted before the attempt: even a failed write may have changed the medium.
  ++v.WriteGeneration;
  return WriteRawPacket(v, sector, v.PacketBuffer);
}

bool WriteSector(TUDFRewritableVolume &v, uint32_t sector, const uint8_t *src) {
  const uint32_t start = sector - sector % PacketBlocksOf(v);
  if (!ReadPacket(v, start)) return false;
  std::memcpy(v.PacketBuffer + (sector - start) * kSectorSize, src, kSectorSize);
  return WritePacket(v, start);
}

} // namespace korva
