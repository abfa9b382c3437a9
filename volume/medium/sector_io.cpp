// The sector I/O routines. Every on-disc read and write of the engine passes through
// them: to the image file through the image layer, or to the drive with READ(10)/WRITE(10).
// Callers name sectors as the volume lays them out; packets that the sparing table
// relocated are read and written where the table says, here and nowhere else.
#include <algorithm>
#include <cstring>
#include <vector>

#include "device/platform.h"
#include "korva/scsi.hpp"
#include "volume/engine.h"
#include "volume/medium/packet_cache.h"
#include "volume/medium/partition_map.h"
#include "volume/medium/sparing.h"
#include "volume/medium/volume_sequence.h"

namespace korva {
namespace {

constexpr int kDriveAttempts = 3;
// Larger requests gain no throughput, and a failed one costs more to narrow down.
constexpr uint32_t kMaxRequestSectors = (4u << 20) / kSectorSize;

// Waits through the drive's platform layer, so tests of virtual drives need not sleep.
void Pause(TUDFRewritableVolume &v) {
  PlatformOf(&v.Device).SleepMs(RetryDelay(v));
}

// The bytes of the open image file; 0 when its size cannot be told.
uint64_t ImageFileBytes(const TUDFRewritableVolume &v) {
  const KorvaImageIO &io = ImageIOOf(v);
  uint64_t size = 0;
  return v.ImageFileOpen && io.Size(io.Context, v.ImageFile, &size) == 0 ? size : 0;
}

// The image may end inside a packet (another writer's image need not be whole packets), or
// inside a sector (one of 512-byte blocks need not be whole sectors): a read that starts
// inside it returns the bytes that exist and zeros past its end; a read that starts past its
// end fails.
bool ImageRead(TUDFRewritableVolume &v, uint32_t sector, uint8_t *dest, uint32_t bytes) {
  if (!v.ImageFileOpen) return false;
  const uint64_t at = uint64_t(sector) * kSectorSize;
  uint64_t end = uint64_t(v.TotalSectors) * kSectorSize;
  if (at + bytes > end) end = std::max(end, ImageFileBytes(v));
  if (at >= end) return false;
  if (end - at < bytes) {
    std::memset(dest + (end - at), 0, bytes - (end - at));
    bytes = static_cast<uint32_t>(end - at);
  }
  const KorvaImageIO &io = ImageIOOf(v);
  return io.ReadAt(io.Context, v.ImageFile, dest, bytes, at) == 0;
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

// Reads take no SYNCHRONIZE CACHE first: the packet cache answers for what it wrote. Only a
// packet written since the last barrier and let go of since is read back after one
// (BarrierBeforeRead, in ReadRun): not every drive answers reads from its write cache.
bool DriveRead(TUDFRewritableVolume &v, uint32_t sector, uint8_t *dest, uint32_t blocks) {
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

// Reads n consecutive blocks of `bytes` (smaller than a sector) from the medium's block
// `block`, each into a sector of dest of its own, zeros after it.
bool ReadSmallBlocks(TUDFRewritableVolume &v, uint32_t block, uint32_t bytes, uint8_t *dest,
                     uint32_t n) {
  const uint64_t at = uint64_t(block) * bytes;
  const uint32_t first = static_cast<uint32_t>(at / kSectorSize);
  const uint32_t sectors =
      static_cast<uint32_t>((at + uint64_t(n) * bytes + kSectorSize - 1) / kSectorSize - first);
  std::vector<uint8_t> run(size_t(sectors) * kSectorSize);
  if (!ReadPhysical(v, first, run.data(), sectors)) return false;
  const size_t skip = static_cast<size_t>(at % kSectorSize);
  for (uint32_t i = 0; i < n; ++i) {
    uint8_t *d = dest + size_t(i) * kSectorSize;
    std::memcpy(d, run.data() + skip + size_t(i) * bytes, bytes);
    std::memset(d + bytes, 0, kSectorSize - bytes);
  }
  return true;
}

// Reads count sectors from sector, each piece from where it is recorded.
bool ReadRun(TUDFRewritableVolume &v, uint32_t sector, uint8_t *dest, uint32_t count) {
  // A failed barrier leaves its mark in the volume's flags, where ReadFailed finds it.
  if (!v.ImageMode && !BarrierBeforeRead(v, sector, count).IsOk()) return false;
  return ForEachRecordedPiece(v, sector, count, [&](uint32_t physical, size_t at, uint32_t n) {
    // A block no partition maps holds nothing yet.
    if (physical == kUnmappedSector) {
      std::memset(dest + at, 0, size_t(n) * kSectorSize);
      return true;
    }
    if (const uint32_t bytes = SmallBlockBytes(v, sector + uint32_t(at / kSectorSize)))
      return ReadSmallBlocks(v, physical, bytes, dest + at, n);
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
  // Blocks of another size than a sector are another writer's, and only ever read.
  return ForEachRecordedPiece(v, sector, count, [&](uint32_t physical, size_t at, uint32_t n) {
    return physical != kUnmappedSector &&
           !InOtherBlockSize(v, sector + uint32_t(at / kSectorSize)) &&
           WritePhysical(v, physical, src + at, n);
  });
}

// A read failed: the medium changed, a barrier before it failed, or the medium did.
Status ReadFailed(TUDFRewritableVolume &v) {
  if (v.MediumChanged) return MediumChangeStop(v);
  if (v.CacheFlushFailed) return KORVA_E_CACHE_FLUSH;
  return ReadFailure(v);
}

// A write or barrier failed: what the medium holds now is unknown.
Status WriteFailed(TUDFRewritableVolume &v) {
  if (v.MediumChanged) return MediumChangeStop(v);
  if (v.CacheFlushFailed) return KORVA_E_CACHE_FLUSH;
  if (!v.WrittenInOperation) return KORVA_E_WRITE;
  EnterFailed(v, true);
  return KORVA_E_WRITE_DIRTY;
}

// Reads the sectors from the medium in large requests; good counts those that arrived.
bool ReadMediumSectors(TUDFRewritableVolume &v, uint32_t first, uint32_t count, uint8_t *dest,
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
    if (n <= inFirstPacket) return false;
    while (good < end) {
      const uint32_t piece = std::min(end - good, pb - (first + good) % pb);
      if (!ReadRun(v, first + good, dest + size_t(good) * kSectorSize, piece)) return false;
      good += piece;
    }
  }
  return true;
}

// Sectors up to the end of sector's packet, at most count.
uint32_t InPacket(const TUDFRewritableVolume &v, uint32_t sector, uint32_t count) {
  return std::min(count, PacketBlocksOf(v) - sector % PacketBlocksOf(v));
}

// Loads the packet at start into the cache and into dest. For a write, a packet that holds
// nothing is not read: zeros stand for it.
bool LoadPacket(TUDFRewritableVolume &v, uint32_t start, uint8_t *dest, bool forWrite) {
  if (ReadCachedSectors(v, start, PacketBlocksOf(v), dest)) return true;
  if (forWrite && PacketHoldsNothing(v, start))
    std::memset(dest, 0, size_t(PacketBlocksOf(v)) * kSectorSize);
  else if (!ReadRun(v, start, dest, PacketBlocksOf(v)))
    return false;
  KeepReadPacket(v, start, dest);
  return true;
}

// Sectors past the end of an image do not exist, even where a packet read that ended with
// the file left zeros for them in the cache. (Another writer's partitions are addressed
// above the medium's sectors and mapped back onto it.)
bool PastImageEnd(const TUDFRewritableVolume &v, uint32_t sector, uint32_t count) {
  return v.ImageMode && !HasPartitionMap(v) && uint64_t(sector) + count > v.TotalSectors;
}

} // namespace

uint64_t MediumBytes(const TUDFRewritableVolume &v) {
  const uint64_t sectors = uint64_t(v.TotalSectors) * kSectorSize;
  return v.ImageMode ? std::max(sectors, ImageFileBytes(v)) : sectors;
}

// Every write of the engine passes CheckWritable: whatever entry point forgot to refuse, a
// read-only volume is never written.
Status WritePacketToMedium(TUDFRewritableVolume &v, uint32_t sector, const uint8_t *src) {
  if (Status s = CheckWritable(v); !s.IsOk()) return s;
  if (WriteRun(v, sector, src, PacketBlocksOf(v))) {
    v.WrittenInOperation = 1;
    return Status::Ok();
  }
  return WriteFailed(v);
}

Status SynchronizeDriveCache(TUDFRewritableVolume &v) {
  if (v.ImageMode || v.CacheSynchronized) return Status::Ok();
  if (MediumChangedSinceMount(v)) return MediumChangeStop(v);
  BusyWait busy(v);
  bool flushed = FlushCache(&v.Device);
  while (!flushed && busy.WaitedOut())
    flushed = FlushCache(&v.Device);
  if (flushed) {
    v.CacheSynchronized = 1;
    return Status::Ok();
  }
  if (MediumChangedSinceMount(v)) return MediumChangeStop(v);
  // What the cache held may never reach the medium: the volume is not closed over it.
  EnterCacheFlushFailed(v);
  EnterFailed(v, false);
  return KORVA_E_CACHE_FLUSH;
}

Status SyncMedium(TUDFRewritableVolume &v) {
  if (!v.ImageMode) return SynchronizeDriveCache(v);
  const KorvaImageIO &io = ImageIOOf(v);
  if (v.ImageFileOpen && (!io.Flush || io.Flush(io.Context, v.ImageFile) == 0)) return Status::Ok();
  // Writes before the barrier may be lost: as a failed write after others.
  return WriteFailed(v);
}

Status ReadImageTail(TUDFRewritableVolume &v, uint32_t sector, uint8_t *dest) {
  return v.ImageMode && ImageRead(v, sector, dest, kSectorSize) ? Status::Ok() : ReadFailed(v);
}

Status ReadPacket(TUDFRewritableVolume &v, uint32_t sector) {
  if (sector % PacketBlocksOf(v) == 0)
    return LoadPacket(v, sector, v.PacketBuffer, true) ? Status::Ok() : ReadFailed(v);
  uint32_t good = 0;
  return ReadSectors(v, sector, PacketBlocksOf(v), v.PacketBuffer, good);
}

Status ReadSector(TUDFRewritableVolume &v, uint32_t sector, uint8_t *dest) {
  if (PastImageEnd(v, sector, 1)) return ReadFailed(v);
  if (ReadCachedSectors(v, sector, 1, dest)) return Status::Ok();
  // The whole packet: the sectors next to this one are read next, as a rule.
  std::vector<uint8_t> packet(size_t(PacketBlocksOf(v)) * kSectorSize);
  const uint32_t start = PacketStartOf(v, sector);
  if (LoadPacket(v, start, packet.data(), false)) {
    std::memcpy(dest, packet.data() + size_t(sector - start) * kSectorSize, kSectorSize);
    return Status::Ok();
  }
  // On a drive the packet is the unit that fails; an image's sector may read on its own.
  return v.ImageMode && ReadRun(v, sector, dest, 1) ? Status::Ok() : ReadFailed(v);
}

Status ReadSectors(TUDFRewritableVolume &v, uint32_t first, uint32_t count, uint8_t *dest,
                   uint32_t &good) {
  good = 0;
  if (PastImageEnd(v, first, count)) {
    // What lies before the end is read (and counted); the rest does not exist.
    const uint32_t before = first < v.TotalSectors ? v.TotalSectors - first : 0;
    if (before > 0)
      if (Status s = ReadSectors(v, first, before, dest, good); !s.IsOk()) return s;
    return ReadFailed(v);
  }
  // Packets the cache holds come from there, the runs between them from the medium.
  while (good < count) {
    const uint32_t at = first + good;
    const uint32_t n = InPacket(v, at, count - good);
    uint8_t *to = dest + size_t(good) * kSectorSize;
    if (ReadCachedSectors(v, at, n, to)) {
      good += n;
      continue;
    }
    uint32_t run = n;
    while (good + run < count && !PacketCached(v, at + run))
      run += InPacket(v, at + run, count - good - run);
    uint32_t got = 0;
    const bool ok = ReadMediumSectors(v, at, run, to, got);
    good += got;
    if (!ok) return ReadFailed(v);
  }
  return Status::Ok();
}

Status WriteRawPacket(TUDFRewritableVolume &v, uint32_t sector, const uint8_t *src) {
  if (Status s = CheckWritable(v); !s.IsOk()) return s;
  return CacheWrite(v, sector, 0, PacketBlocksOf(v), src, WriteOrder::Loose);
}

Status WritePacket(TUDFRewritableVolume &v, uint32_t sector, WriteOrder order) {
  if (Status s = CheckWritable(v); !s.IsOk()) return s;
  // Blocks this packet may refer to are marked used on the medium first.
  if (Status s = PrepareSpaceBitmapFor(v, sector, v.PacketBuffer); !s.IsOk()) return s;
  // Counted before the attempt: even a failed write may have changed the medium.
  ++v.WriteGeneration;
  if (sector % PacketBlocksOf(v) != 0) {
    // Not on the packet grid (never done by the engine): straight out, after what is pending.
    if (Status s = FlushPacketCache(v, false); !s.IsOk()) return s;
    return WritePacketToMedium(v, sector, v.PacketBuffer);
  }
  return CacheWrite(v, sector, 0, PacketBlocksOf(v), v.PacketBuffer, order);
}

Status WriteSector(TUDFRewritableVolume &v, uint32_t sector, const uint8_t *src, WriteOrder order) {
  const uint32_t start = PacketStartOf(v, sector);
  if (Status s = CheckWritable(v); !s.IsOk()) return s;
  if (sector >= v.SpaceBitmapSector && v.SpaceBitmapSector != 0 &&
      sector < v.SpaceBitmapSector + v.SpaceBitmapBlocks + PacketBlocksOf(v)) {
    // A packet the bitmap shares gets the bitmap's bytes: the whole-packet path.
    if (Status s = ReadPacket(v, start); !s.IsOk()) return s;
    std::memcpy(SlotOf(v, sector), src, kSectorSize);
    return WritePacket(v, start, order);
  }
  // The bitmap's write-ahead first: it may push packets out of the cache.
  if (Status s = PrepareSpaceBitmapFor(v, start, nullptr); !s.IsOk()) return s;
  std::vector<uint8_t> packet(size_t(PacketBlocksOf(v)) * kSectorSize);
  if (!PacketCached(v, start) && !LoadPacket(v, start, packet.data(), true)) return ReadFailed(v);
  ++v.WriteGeneration;
  return CacheWrite(v, start, sector - start, 1, src, order);
}

Status FlushVolume(TUDFRewritableVolume &v) {
  return FlushPacketCache(v, true);
}

} // namespace korva
