// The ordered packet cache between the file system and the sector I/O.
//
// Packets read once are served from memory; a write changes the cached packet and is then
// sent to the medium at once (write-through, the default) or kept until a sync point, memory
// pressure or an order rule forces it out (write-behind, `WriteBehind` in the record).
//
// The medium may reorder the writes between two barriers (an image's pages between
// fdatasync calls, a drive's write cache until SYNCHRONIZE CACHE), so every write is one of
// two kinds:
//  - loose: nothing on the medium refers yet to what it changes (blocks taken since the last
//    commit went out, directory bytes past the recorded length, file data in place, the
//    integrity counts of an open volume, the bitmap's taken bits). Loose writes may land in
//    any order among themselves;
//  - commit: it changes what the medium refers to. It goes out only after a barrier, so
//    everything written before it has landed; commits keep the order they were made in.
// A free waits until the commit that stopped referring to the blocks has passed a barrier:
// write-through issues that barrier at the free; write-behind keeps the free until the next
// flush has written the commit and its barrier.
#ifndef KORVA_VOLUME_MEDIUM_PACKET_CACHE_H
#define KORVA_VOLUME_MEDIUM_PACKET_CACHE_H

#include <cstdint>

#include "volume/engine.h"

namespace korva {

// Default bound of the cache's memory.
constexpr uint32_t kDefaultPacketCacheBytes = 4u << 20;

// Copies count sectors from first out of the cache when their packet is held.
bool ReadCachedSectors(TUDFRewritableVolume &v, uint32_t first, uint32_t count, uint8_t *dest);
// Whether the packet at start is held.
bool PacketCached(TUDFRewritableVolume &v, uint32_t start);
// Whether nothing in the packet at start matters: every block of it free, or taken since
// no commit could refer to it and not written since. It need not be read before a write.
// Never before TrustBitmapForWrites: until then the bitmap may call blocks free that
// another system used without recording them.
bool PacketHoldsNothing(TUDFRewritableVolume &v, uint32_t start);
// An allocation found free blocks, after the walk that marks every block of the tree used.
void TrustBitmapForWrites(TUDFRewritableVolume &v);
// Keeps a packet just read from the medium (start is a packet start).
void KeepReadPacket(TUDFRewritableVolume &v, uint32_t start, const uint8_t *data);
// Changes count sectors of the packet at start, from index first of the packet, to src; the
// packet must be held (read first). Writes out whatever the order rules and the memory bound
// ask for.
Status CacheWrite(TUDFRewritableVolume &v, uint32_t start, uint32_t first, uint32_t count,
                  const uint8_t *src, WriteOrder order);
// A drive's cache may answer a read of what it holds with the disc's older copy: a read of a
// packet written since the last barrier takes a barrier first, and fails when it does.
Status BarrierBeforeRead(TUDFRewritableVolume &v, uint32_t first, uint32_t count);
// Writes everything pending in safe order; with durable, ends with a barrier.
Status FlushPacketCache(TUDFRewritableVolume &v, bool durable);
// Drops everything held, written or not (mount, release, after a failure).
void ReleasePacketCache(TUDFRewritableVolume &v);
// Blocks just taken: writes that change only them are loose.
void NoteFreshBlocks(TUDFRewritableVolume &v, uint32_t first, uint32_t count);
// Queues a free until the medium's lack of reference to the blocks is durable; false when
// the blocks may be freed now.
bool DeferFree(TUDFRewritableVolume &v, uint32_t first, uint32_t count);
bool HasDeferredFrees(const TUDFRewritableVolume &v);

// The medium's barrier: fdatasync of an image, SYNCHRONIZE CACHE of a drive (sector_io.cpp).
Status SyncMedium(TUDFRewritableVolume &v);
// One packet straight to the medium, with the error handling of every write.
Status WritePacketToMedium(TUDFRewritableVolume &v, uint32_t sector, const uint8_t *src);

} // namespace korva

#endif
