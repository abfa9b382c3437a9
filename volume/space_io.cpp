// Loading the space bitmap from its descriptor at mount and storing it back at dismount.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "udf/descriptors.h"
#include "udf/tag.h"
#include "volume/engine.h"

namespace korva {

namespace {

constexpr uint32_t kBitmapHeader = 24;

} // namespace

bool LoadSpaceBitmap(TUDFRewritableVolume &v) {
  ReleaseSpaceBitmap(v);
  const uint32_t p = v.PacketBlocks;
  const uint32_t packetBytes = p * kSectorSize;
  // The descriptor starts a packet and its extent must lie inside the partition.
  if (p == 0 || v.SpaceBitmapSector % p != 0) return false;
  if (!ReadPacket(v, v.SpaceBitmapSector)) return false;
  const uint8_t *d = v.PacketBuffer;
  const auto header =
      ParseSpaceBitmapHeader(d, kSectorSize, v.SpaceBitmapSector - v.PartitionStart);
  if (!header) return false;
  // Never trust the recorded sizes beyond what the partition needs.
  const uint32_t need = BitmapBytesFor(v.PartitionLength);
  if (uint32_t(header->NumberOfBits) != v.PartitionLength ||
      uint32_t(header->NumberOfBytes) != need)
    return false;
  if (uint64_t(need) + kBitmapHeader > uint64_t(v.SpaceBitmapBlocks) * kSectorSize) return false;
  v.SpaceBitmap = static_cast<uint8_t *>(std::calloc(need ? need : 1, 1));
  if (!v.SpaceBitmap) return false;
  v.SpaceBitmapBytes = need;
  uint32_t copied = std::min(need, packetBytes - kBitmapHeader);
  std::memcpy(v.SpaceBitmap, d + kBitmapHeader, copied);
  uint32_t sector = v.SpaceBitmapSector;
  while (copied < need) {
    sector += p;
    if (!ReadPacket(v, sector)) {
      ReleaseSpaceBitmap(v);
      return false;
    }
    const uint32_t n = std::min(need - copied, packetBytes);
    std::memcpy(v.SpaceBitmap + copied, v.PacketBuffer, n);
    copied += n;
  }
  // Bits past the partition end must read as used.
  if (v.PartitionLength % 8) {
    v.SpaceBitmap[need - 1] &= static_cast<uint8_t>((1u << (v.PartitionLength % 8)) - 1);
  }
  return true;
}

bool StoreSpaceBitmap(TUDFRewritableVolume &v) {
  if (!v.SpaceBitmap) return false;
  const uint32_t p = v.PacketBlocks;
  const uint32_t packetBytes = p * kSectorSize;
  const uint32_t bytes = BitmapBytesFor(v.PartitionLength);
  if (bytes > v.SpaceBitmapBytes) return false;
  if (!ReadPacket(v, v.SpaceBitmapSector)) return false;
  uint8_t *d = v.PacketBuffer;
  BuildSpaceBitmapHeader(d, kBitmapHeader, v.SpaceBitmapSector - v.PartitionStart,
                         v.PartitionLength);
  uint32_t copied = std::min(bytes, packetBytes - kBitmapHeader);
  std::memcpy(d + kBitmapHeader, v.SpaceBitmap, copied);
  // Zero the tail of the sector in which the copied bytes end.
  auto zeroTail = [&](uint32_t endOffset) {
    const uint32_t sectorEnd = (endOffset + kSectorSize - 1) / kSectorSize * kSectorSize;
    if (sectorEnd > endOffset) std::memset(v.PacketBuffer + endOffset, 0, sectorEnd - endOffset);
  };
  zeroTail(kBitmapHeader + copied);
  if (!WritePacket(v, v.SpaceBitmapSector)) return false;
  uint32_t sector = v.SpaceBitmapSector;
  while (copied < bytes) {
    sector += p;
    if (!ReadPacket(v, sector)) return false;
    const uint32_t n = std::min(bytes - copied, packetBytes);
    std::memcpy(v.PacketBuffer, v.SpaceBitmap + copied, n);
    zeroTail(n);
    copied += n;
    if (!WritePacket(v, sector)) return false;
  }
  return true;
}

} // namespace korva
