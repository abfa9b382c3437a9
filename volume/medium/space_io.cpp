// The space bitmap on the medium: loading it at mount, writing ahead the packets whose blocks
// were taken, and storing it whole at dismount.
//
// The bitmap on the medium never marks free a block that anything on the medium refers to:
// a block is only ever freed in memory once nothing on the medium refers to it any more, and
// every packet of the bitmap that holds a newly taken block is written before any other
// packet (which may refer to that block). Frees reach the medium with the next write of their
// packet or at dismount; a crash in between only leaks blocks.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "udf/descriptors.h"
#include "udf/tag.h"
#include "volume/engine.h"
#include "volume/engine_state.h"
#include "volume/medium/packet_cache.h"

namespace korva {

struct BitmapPending {
  std::vector<uint8_t> Dirty; // one flag per packet of the descriptor
  uint32_t DirtyCount = 0;
  std::vector<uint8_t> Buffer; // one packet, so that PacketBuffer stays the caller's
  bool Suspect = false;        // the bits were read under a CRC that failed
};

void DestroyPart(BitmapPending *part) { delete part; }

namespace {

constexpr uint32_t kBitmapHeader = 24;

BitmapPending *PendingOf(const TUDFRewritableVolume &v) {
  return PartOf(v, &EngineState::SpaceBitmapPending);
}

// Bytes of the descriptor: header and bitmap.
uint64_t DescriptorBytes(const TUDFRewritableVolume &v) {
  return kBitmapHeader + uint64_t(BitmapBytesFor(v.PartitionLength));
}

uint32_t DescriptorPackets(const TUDFRewritableVolume &v) {
  const uint64_t packetBytes = uint64_t(PacketBlocksOf(v)) * kSectorSize;
  return static_cast<uint32_t>((DescriptorBytes(v) + packetBytes - 1) / packetBytes);
}

void CreatePending(TUDFRewritableVolume &v) {
  const bool suspect = PendingOf(v) && PendingOf(v)->Suspect;
  EnginePart<BitmapPending> p(new BitmapPending());
  p->Suspect = suspect;
  p->Dirty.assign(DescriptorPackets(v), 0);
  p->Buffer.assign(size_t(PacketBlocksOf(v)) * kSectorSize, 0);
  EngineOf(v).SpaceBitmapPending = std::move(p);
}

// Puts the descriptor's bytes that fall into packet `index` into `packet` (the sectors past
// the descriptor's last one are left as they are) and, in the first packet, the header whose
// CRC covers what that packet holds.
void FillBitmapPacket(TUDFRewritableVolume &v, uint32_t index, uint8_t *packet) {
  const uint32_t packetBytes = PacketBlocksOf(v) * kSectorSize;
  const uint64_t from = uint64_t(index) * packetBytes;
  const uint64_t end = std::min<uint64_t>(from + packetBytes, DescriptorBytes(v));
  const uint64_t mapFrom = std::max<uint64_t>(from, kBitmapHeader);
  if (end > mapFrom)
    std::memcpy(packet + (mapFrom - from), v.SpaceBitmap + (mapFrom - kBitmapHeader),
                size_t(end - mapFrom));
  // Zero the tail of the sector in which the descriptor ends.
  const uint64_t used = end - from;
  const uint64_t sectorEnd = (used + kSectorSize - 1) / kSectorSize * kSectorSize;
  if (end == DescriptorBytes(v) && sectorEnd > used)
    std::memset(packet + used, 0, size_t(sectorEnd - used));
  if (index == 0)
    BuildSpaceBitmapHeader(packet, packetBytes, v.SpaceBitmapSector - v.PartitionStart,
                           v.PartitionLength);
}

// Writes packet `index` of the bitmap from memory. Sectors of the packet past the descriptor
// hold other structures and are read first.
Status WriteBitmapPacket(TUDFRewritableVolume &v, BitmapPending &p, uint32_t index) {
  const uint32_t blocks = PacketBlocksOf(v);
  const uint32_t sector = v.SpaceBitmapSector + index * blocks;
  const uint64_t descriptorSectors = (DescriptorBytes(v) + kSectorSize - 1) / kSectorSize;
  if (uint64_t(index + 1) * blocks > descriptorSectors) {
    uint32_t good = 0;
    if (Status s = ReadSectors(v, sector, blocks, p.Buffer.data(), good); !s.IsOk()) return s;
  }
  FillBitmapPacket(v, index, p.Buffer.data());
  if (Status s = WriteRawPacket(v, sector, p.Buffer.data()); !s.IsOk()) return s;
  if (p.Dirty[index]) {
    p.Dirty[index] = 0;
    --p.DirtyCount;
  }
  return Status::Ok();
}

// Writes the packets of the bitmap that hold blocks taken since they were written, but
// `own` (the packet the caller is about to write itself).
Status WriteTakenPackets(TUDFRewritableVolume &v, BitmapPending &p, uint32_t own) {
  // The bitmap's own writes do not count as the operation's: a failure of the operation's
  // first real write still means that nothing it refers to reached the medium.
  const uint8_t written = v.WrittenInOperation;
  for (uint32_t i = 0; i < p.Dirty.size() && p.DirtyCount > 0; ++i) {
    if (!p.Dirty[i] || i == own) continue;
    if (Status s = WriteBitmapPacket(v, p, i); !s.IsOk()) return s;
  }
  v.WrittenInOperation = written;
  return Status::Ok();
}

// Reads the descriptor whole, so that its CRC can be checked over any length it records.
Status ReadDescriptor(TUDFRewritableVolume &v, std::vector<uint8_t> &desc) {
  const uint32_t p = v.PacketBlocks;
  const uint32_t packetBytes = p * kSectorSize;
  for (size_t copied = 0, sector = v.SpaceBitmapSector; copied < desc.size(); sector += p) {
    if (Status s = ReadPacket(v, static_cast<uint32_t>(sector)); !s.IsOk()) return s;
    const size_t n = std::min<size_t>(desc.size() - copied, packetBytes);
    std::memcpy(desc.data() + copied, v.PacketBuffer, n);
    copied += n;
  }
  return Status::Ok();
}

} // namespace

// The bitmap of the mounted volume into memory; error 32 when the medium holds none that
// fits the partition.
Status LoadSpaceBitmap(TUDFRewritableVolume &v) {
  ReleaseSpaceBitmap(v);
  const uint32_t p = v.PacketBlocks;
  // The descriptor starts a packet and its extent must lie inside the partition.
  if (p == 0 || v.SpaceBitmapSector % p != 0) return KORVA_E_DAMAGED;
  // Never trust the recorded sizes beyond what the partition needs.
  const uint32_t need = BitmapBytesFor(v.PartitionLength);
  if (uint64_t(need) + kBitmapHeader > uint64_t(v.SpaceBitmapBlocks) * kSectorSize)
    return KORVA_E_DAMAGED;
  std::vector<uint8_t> desc(size_t(need) + kBitmapHeader);
  if (Status s = ReadDescriptor(v, desc); !s.IsOk()) return s;
  const uint32_t location = v.SpaceBitmapSector - v.PartitionStart;
  // A CRC that fails over the bits (an older volume of ours whose CRC covered them, changed by
  // another system since) is no reason to refuse the volume: the bits are taken as recorded
  // and the bitmap is marked suspect. Allocation never trusts them alone.
  bool crcFailed = false;
  const auto header = ParseSpaceBitmapHeader(desc.data(), desc.size(), location, &crcFailed);
  if (!header || uint32_t(header->NumberOfBits) != v.PartitionLength ||
      uint32_t(header->NumberOfBytes) != need)
    return KORVA_E_DAMAGED;
  v.SpaceBitmap = static_cast<uint8_t *>(std::calloc(need ? need : 1, 1));
  if (!v.SpaceBitmap) return KORVA_E_DAMAGED;
  v.SpaceBitmapBytes = need;
  std::memcpy(v.SpaceBitmap, desc.data() + kBitmapHeader, need);
  // Bits past the partition end must read as used.
  if (v.PartitionLength % 8) {
    v.SpaceBitmap[need - 1] &= static_cast<uint8_t>((1u << (v.PartitionLength % 8)) - 1);
  }
  CreatePending(v);
  PendingOf(v)->Suspect = crcFailed;
  return Status::Ok();
}

// The whole bitmap onto the medium; error 10 without a bitmap in memory that covers the
// partition.
Status StoreSpaceBitmap(TUDFRewritableVolume &v) {
  if (!v.SpaceBitmap || BitmapBytesFor(v.PartitionLength) > v.SpaceBitmapBytes)
    return KORVA_E_NOT_COMPATIBLE;
  if (!PendingOf(v) || PendingOf(v)->Dirty.size() != DescriptorPackets(v)) CreatePending(v);
  BitmapPending &p = *PendingOf(v);
  for (uint32_t i = 0; i < p.Dirty.size(); ++i)
    if (Status s = WriteBitmapPacket(v, p, i); !s.IsOk()) return s;
  return Status::Ok();
}

void NoteBlocksTaken(TUDFRewritableVolume &v, uint32_t first, uint32_t count) {
  NoteFreshBlocks(v, first, count);
  BitmapPending *p = PendingOf(v);
  if (!p || count == 0 || p->Dirty.empty()) return;
  const uint64_t packetBytes = uint64_t(PacketBlocksOf(v)) * kSectorSize;
  const uint64_t lo = (kBitmapHeader + first / 8) / packetBytes;
  const uint64_t hi = (kBitmapHeader + (uint64_t(first) + count - 1) / 8) / packetBytes;
  for (uint64_t i = lo; i <= hi && i < p->Dirty.size(); ++i) {
    if (!p->Dirty[i]) {
      p->Dirty[i] = 1;
      ++p->DirtyCount;
    }
  }
}

Status PrepareSpaceBitmapFor(TUDFRewritableVolume &v, uint32_t sector, uint8_t *packet) {
  BitmapPending *p = PendingOf(v);
  if (!p || !v.SpaceBitmap) return Status::Ok();
  const uint32_t blocks = PacketBlocksOf(v);
  const bool inBitmap = sector >= v.SpaceBitmapSector &&
                        (sector - v.SpaceBitmapSector) / blocks < p->Dirty.size() &&
                        (sector - v.SpaceBitmapSector) % blocks == 0;
  const uint32_t own = inBitmap ? (sector - v.SpaceBitmapSector) / blocks : UINT32_MAX;
  if (p->DirtyCount > 0)
    if (Status s = WriteTakenPackets(v, *p, own); !s.IsOk()) return s;
  if (inBitmap) {
    // A packet shared with other structures always carries the current bitmap.
    FillBitmapPacket(v, own, packet);
    if (p->Dirty[own]) {
      p->Dirty[own] = 0;
      --p->DirtyCount;
    }
  }
  return Status::Ok();
}

void ReleaseBitmapPending(TUDFRewritableVolume &v) {
  DropPart(v, &EngineState::SpaceBitmapPending);
}

void StartBitmapPending(TUDFRewritableVolume &v) {
  CreatePending(v);
}

bool SpaceBitmapSuspect(const TUDFRewritableVolume &v) {
  const BitmapPending *p = PendingOf(v);
  return p && p->Suspect;
}

void MarkSpaceBitmapSuspect(TUDFRewritableVolume &v) {
  if (!PendingOf(v)) CreatePending(v);
  PendingOf(v)->Suspect = true;
}

uint32_t CountFreeBlocks(const TUDFRewritableVolume &v) {
  if (!v.SpaceBitmap) return 0;
  const uint32_t bytes = std::min(v.SpaceBitmapBytes, BitmapBytesFor(v.PartitionLength));
  uint64_t free = 0;
  for (uint32_t i = 0; i < bytes; ++i)
    free += static_cast<uint32_t>(__builtin_popcount(v.SpaceBitmap[i]));
  return static_cast<uint32_t>(std::min<uint64_t>(free, v.PartitionLength));
}

} // namespace korva
