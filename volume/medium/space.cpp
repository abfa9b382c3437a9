// The in-memory space bitmap: first-fit runs, marking, loading at mount and storing at
// dismount, and the two space statistics.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "udf/byte_order.h"
#include "volume/engine.h"
#include "volume/medium/partition_map.h"
#include "volume/medium/packet_cache.h"

namespace korva {

namespace {

// Notes a run that FindFreeRun marked, for the write-ahead of the bitmap.
bool Taken(TUDFRewritableVolume &v, bool marked, uint32_t first, uint32_t length) {
  if (marked) NoteBlocksTaken(v, first, length);
  return true;
}

} // namespace

// The first-fit scan, without waiting for frees.
bool FindFreeRunNow(TUDFRewritableVolume &v, uint32_t hint, uint32_t wanted, bool mark,
                    uint32_t &first, uint32_t &length);

Status FindFreeRun(TUDFRewritableVolume &v, uint32_t hint, uint32_t wanted, bool mark,
                   uint32_t &first, uint32_t &length) {
  // Every caller has run the walk that marks the tree's blocks used (TreeBlocksMarkedUsed).
  TrustBitmapForWrites(v);
  if (FindFreeRunNow(v, hint, wanted, mark, first, length)) return Status::Ok();
  length = 0;
  // Blocks freed but not yet given back: once their frees are durable they are free, also
  // before the hint, where the caller may have looked already.
  if (!HasDeferredFrees(v)) return Status::Ok();
  if (Status s = FlushPacketCache(v, true); !s.IsOk()) return s;
  if (!FindFreeRunNow(v, hint, wanted, mark, first, length) &&
      !FindFreeRunNow(v, 0, wanted, mark, first, length))
    length = 0;
  return Status::Ok();
}

namespace {

// A run of free blocks as the scan finds it.
struct FreeRun {
  bool Found = false;
  uint32_t First = 0;
  uint32_t Length = 0;
};

// Scans one byte of the bitmap (byte `index`) for the run: when none is started yet, the
// lowest free bit from `from` on starts it; then it grows while bits are free, each marked
// used when asked. True when the run ends in this byte, at a used bit or at `wanted` blocks.
bool ScanByte(uint8_t &byte, uint32_t index, int from, uint32_t wanted, bool mark, FreeRun &r) {
  int bit = from;
  if (!r.Found) {
    while (bit < 8 && !(byte & (1u << bit)))
      ++bit;
    if (bit == 8) return false;
    r = {true, index * 8 + static_cast<uint32_t>(bit), 1};
    if (mark) byte = static_cast<uint8_t>(byte & ~(1u << bit));
    if (r.Length == wanted) return true;
    ++bit;
  }
  for (; bit < 8; ++bit) {
    if (!(byte & (1u << bit))) return true;
    if (mark) byte = static_cast<uint8_t>(byte & ~(1u << bit));
    if (++r.Length == wanted) return true;
  }
  return false;
}

} // namespace

bool FindFreeRunNow(TUDFRewritableVolume &v, uint32_t hint, uint32_t wanted, bool mark,
                    uint32_t &first, uint32_t &length) {
  first = 0;
  length = 0;
  if (!v.SpaceBitmap || wanted == 0) return false;
  const uint32_t bytes = std::min(v.SpaceBitmapBytes, BitmapBytesFor(v.PartitionLength));
  if (bytes == 0) return false;
  const uint32_t lastByte = bytes - 1;
  if (hint / 8 > lastByte) return false;
  FreeRun r;
  bool ended = false;
  for (uint32_t i = hint / 8; i <= lastByte && !ended; ++i) {
    // Lowest eligible free bit of the hint's byte: the hint's own.
    const int from = i == hint / 8 ? static_cast<int>(hint % 8) : 0;
    ended = ScanByte(v.SpaceBitmap[i], i, from, wanted, mark, r);
  }
  first = r.First;
  length = r.Length;
  return r.Found ? Taken(v, mark, first, length) : false;
}

bool MarkRun(TUDFRewritableVolume &v, uint32_t first, uint32_t count, bool used) {
  // A free waits until the write that stopped referring to the blocks is durable.
  if (!used && v.SpaceBitmap && DeferFree(v, first, count)) return true;
  return MarkRunNow(v, first, count, used);
}

bool MarkRunNow(TUDFRewritableVolume &v, uint32_t first, uint32_t count, bool used) {
  if (!v.SpaceBitmap) return true;
  const uint64_t end =
      std::min<uint64_t>(uint64_t(first) + count,
                         std::min<uint64_t>(v.PartitionLength, uint64_t(v.SpaceBitmapBytes) * 8));
  for (uint64_t b = first; b < end; ++b) {
    uint8_t &byte = v.SpaceBitmap[b / 8];
    const uint8_t bit = static_cast<uint8_t>(1u << (b % 8));
    byte = used ? static_cast<uint8_t>(byte & ~bit) : static_cast<uint8_t>(byte | bit);
  }
  if (used && end > first) NoteBlocksTaken(v, first, static_cast<uint32_t>(end - first));
  return true;
}

void ReleaseSpaceBitmap(TUDFRewritableVolume &v) {
  std::free(v.SpaceBitmap);
  v.SpaceBitmap = nullptr;
  v.SpaceBitmapBytes = 0;
  ReleaseBitmapPending(v);
}

// An all-free bitmap of the partition but its first `used` blocks; error 10 when the record
// holds no partition or the memory for it is not there.
Status BuildFreshSpaceBitmap(TUDFRewritableVolume &v, uint32_t used) {
  ReleaseSpaceBitmap(v);
  const uint32_t bytes = BitmapBytesFor(v.PartitionLength);
  if (bytes == 0) return KORVA_E_NOT_COMPATIBLE;
  v.SpaceBitmap = static_cast<uint8_t *>(std::calloc(bytes, 1));
  if (!v.SpaceBitmap) return KORVA_E_NOT_COMPATIBLE;
  v.SpaceBitmapBytes = bytes;
  MarkRun(v, 0, v.PartitionLength, false);
  if (used > 0) MarkRun(v, 0, used, true);
  StartBitmapPending(v);
  return Status::Ok();
}

} // namespace korva

extern "C" {

KORVA_API uint32_t UDF_GetTotalBlocksOfLogicalVolume(TUDFRewritableVolume *volume) {
  if (!volume || !korva::RequireCompatible(*volume)) return 0;
  // Blocks, not engine blocks: a block larger than a sector takes several of these.
  return korva::BlockSpaceOf(*volume).Length;
}

KORVA_API uint32_t UDF_GetFreeBlocksOfLogicalVolume(TUDFRewritableVolume *volume) {
  return korva::CompatibleCount(volume, &TUDFRewritableVolume::FreeBlocks);
}

} // extern "C"
