#include "volume/medium/volume_sequence.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <optional>

#include "udf/byte_order.h"
#include "udf/descriptors.h"
#include "udf/tag.h"
#include "volume/engine.h"

namespace korva {

std::string IdentifierText(const UDF_EntityID &id) {
  std::string s;
  for (uint8_t c : id.Identifier) {
    if (c == 0) break;
    s += (c >= 0x20 && c < 0x7F) ? char(c) : '?';
  }
  return s;
}

namespace {

std::string SectorText(uint32_t s) { return "sector " + std::to_string(s); }

// One descriptor sequence as read: what it says and the sectors it was read from.
struct Sequence {
  SequenceReading::Outcome Result = SequenceReading::Damaged;
  std::string Why;
  uint32_t WhySector = 0;
  VolumeGeometry Geometry;
  std::vector<uint8_t> Sectors; // up to and with the terminating descriptor
};

class SequenceReader {
public:
  explicit SequenceReader(TUDFRewritableVolume &v) : v_(v), n_(v.TotalSectors) {}
  SequenceReading Read();

private:
  bool ReadAt(uint32_t sector, uint8_t *buf, SequenceReading::Outcome &fail);
  bool Recognition(SequenceReading &out);
  int RecognitionAt(uint32_t stride, SequenceReading &out);
  bool Anchors(SequenceReading &out, std::vector<uint8_t> &anchor);
  void OtherBlockSize(SequenceReading &out);
  Sequence ReadOne(uint32_t start, uint32_t sectors);
  bool Descriptor(const uint8_t *d, uint32_t s, unsigned &seen, Sequence &q);
  bool Fits(SequenceReading &out);
  bool Overlaps(const VolumeGeometry &g) const;
  void BackupAnchor(SequenceReading &out, const std::vector<uint8_t> &anchor);
  void RestoreLength(SequenceReading &out, const std::vector<uint8_t> &anchor);
  void Mend(SequenceReading &out, const Sequence &bad, const Sequence &good, uint32_t at,
            const char *which);

  TUDFRewritableVolume &v_;
  uint32_t n_;
  std::vector<uint32_t> anchorSectors_;
};

bool SequenceReader::ReadAt(uint32_t sector, uint8_t *buf, SequenceReading::Outcome &fail) {
  if (sector < n_ && KeepInLastError(v_, ReadSector(v_, sector, buf))) return true;
  fail = sector < n_ ? SequenceReading::ReadFailed : SequenceReading::Damaged;
  return false;
}

// BEA01, NSR02 or NSR03 (the descriptor of UDF 2.00 and later), TEA01 in consecutive
// descriptors from byte 32768; other writers may put further structures (an ISO 9660
// bridge, a boot descriptor) before the extended area or inside it. Each descriptor takes a
// sector, or a block where blocks are larger (another writer's 4096-byte blocks).
bool SequenceReader::Recognition(SequenceReading &out) {
  for (const uint32_t stride : {1u, 2u}) {
    const int found = RecognitionAt(stride, out);
    if (found >= 0) return found == 1;
  }
  out.Result = SequenceReading::Damaged;
  out.Why = "the volume recognition sequence is missing or damaged";
  return false;
}

// 1: the sequence is there with descriptors `stride` sectors apart; 0: a read failed (out
// says so); -1: not found.
int SequenceReader::RecognitionAt(uint32_t stride, SequenceReading &out) {
  constexpr uint32_t kLastRecognitionSector = 16 + 64;
  uint8_t buf[kSectorSize];
  enum { kBefore, kInArea, kHasNsr } state = kBefore;
  for (uint32_t s = 16; s < kLastRecognitionSector; s += stride) {
    if (!ReadAt(s, buf, out.Result)) {
      out.Why = SectorText(s) + " cannot be read";
      return 0;
    }
    // Every volume structure descriptor carries version 1 and an identifier at byte 1.
    if (buf[6] != 1) break;
    if (IsVolumeStructure(buf, sizeof buf, "BEA01")) {
      state = kInArea;
    } else if (state != kBefore && (IsVolumeStructure(buf, sizeof buf, "NSR02") ||
                                    IsVolumeStructure(buf, sizeof buf, "NSR03"))) {
      state = kHasNsr;
    } else if (IsVolumeStructure(buf, sizeof buf, "TEA01")) {
      if (state == kHasNsr) return 1;
      state = kBefore;
    }
  }
  return -1;
}

// The first valid anchor of 256, N - 256 and N; the damaged ones among those this library
// writes (256, and N - 256 on an image) are violations, mended from the valid one.
bool SequenceReader::Anchors(SequenceReading &out, std::vector<uint8_t> &anchor) {
  if (n_ <= kMainAnchorSector) {
    out.Why = "the medium is too small for a volume";
    OtherBlockSize(out); // of smaller blocks it may still hold one
    return false;
  }
  uint8_t buf[kSectorSize];
  for (uint32_t s : {kMainAnchorSector, n_ - 257, n_ - 1}) {
    if (s < kMainAnchorSector || std::find(anchorSectors_.begin(), anchorSectors_.end(), s) !=
                                     anchorSectors_.end())
      continue;
    anchorSectors_.push_back(s);
    SequenceReading::Outcome fail;
    if (!anchor.empty() || !ReadAt(s, buf, fail) || !ParseAnchor(buf, sizeof buf, s)) continue;
    anchor.assign(buf, buf + sizeof buf);
    out.Geometry.AnchorSector = s;
  }
  if (anchor.empty()) {
    out.Why = "the anchor volume descriptor pointers are damaged (sectors 256, N - 256, N)";
    OtherBlockSize(out);
    return false;
  }
  if (out.Geometry.AnchorSector != kMainAnchorSector) {
    SequenceViolation bad;
    bad.Sector = kMainAnchorSector;
    bad.Text = "the anchor volume descriptor pointer in sector 256 is damaged; the one in " +
               SectorText(out.Geometry.AnchorSector) + " is used";
    bad.Count = 1;
    bad.Bytes = anchor;
    FillTagAt(bad.Bytes.data(), kTagAnchor, LoadLE16(&bad.Bytes[10]), kMainAnchorSector);
    out.Violations.push_back(std::move(bad));
  }
  return true;
}

// Another writer may use logical blocks of another size (mkudffs does 512 on an image file
// unless told otherwise, and takes 4096): its anchor then lies at block 256 of that size, or
// at the last block (N - 256 is tried too).
void SequenceReader::OtherBlockSize(SequenceReading &out) {
  for (const uint32_t size : {512u, 1024u, 4096u}) {
    const uint64_t blocks = MediumBlocks(v_, size);
    for (const uint64_t at : {uint64_t(kMainAnchorSector), blocks - 1, blocks - 257}) {
      uint8_t buf[kMaxBlockBytes];
      if (blocks <= kMainAnchorSector || at < kMainAnchorSector || at >= blocks ||
          !ReadMediumBlock(v_, size, at, buf))
        continue;
      if (!IsTagValid(kTagAnchor, buf, size, static_cast<uint32_t>(at))) continue;
      out.Result = SequenceReading::Foreign;
      out.Why.clear();
      out.Geometry.AnchorSector = static_cast<uint32_t>(at);
      out.Geometry.BlockBytes = size;
      return;
    }
  }
}

bool SequenceReader::Descriptor(const uint8_t *d, uint32_t s, unsigned &seen, Sequence &q) {
  enum { kPrimary = 1, kImplUse = 2, kPartition = 4, kLogical = 8, kUnalloc = 16, kTerm = 32 };
  VolumeGeometry &g = q.Geometry;
  // A copy: the parsed descriptors live only inside their case.
  std::optional<UDF_EntityID> impl;
  const char *what = "";
  bool ok = true;
  switch (LoadLE16(d)) {
  case kTagPrimaryVolume: {
    const auto pvd = ParsePrimaryVolumeDescriptor(d, kSectorSize, s);
    if ((ok = pvd.has_value())) {
      impl = pvd->ImplementationIdentifier;
      std::memcpy(g.VolumeIdentifier, pvd->VolumeIdentifier, sizeof g.VolumeIdentifier);
    }
    what = "primary volume descriptor";
    seen |= kPrimary;
    break;
  }
  case kTagImplementationUse: {
    const auto iuvd = ParseImplementationUseVolumeDescriptor(d, kSectorSize, s);
    if ((ok = iuvd.has_value())) impl = iuvd->ImplementationID;
    what = "implementation use volume descriptor";
    seen |= kImplUse;
    break;
  }
  case kTagPartition: {
    const auto pd = ParsePartitionDescriptor(d, kSectorSize, s);
    if ((ok = pd.has_value())) {
      impl = pd->ImplementationIdentifier;
      g.PartitionStart = pd->PartitionStartingLocation;
      g.PartitionLength = pd->PartitionLength;
      // The whole length word: a bitmap extent of another type fails the size checks.
      const UDF_ShortAD &bm = pd->PartitionContentsUse.UnallocatedSpaceBitmap;
      g.BitmapBlock = bm.Position;
      g.BitmapBlocks = uint32_t(bm.Length) / kSectorSize;
    }
    what = "partition descriptor";
    seen |= kPartition;
    break;
  }
  case kTagLogicalVolume: {
    const auto lvd = ParseLogicalVolumeDescriptor(d, kSectorSize, s);
    if ((ok = lvd.has_value())) {
      const UDF_LogicalVolumeDescriptor &l = lvd->Descriptor;
      impl = l.ImplementationIdentifier;
      ok = lvd->HasSparableMap || !IsOurImplementation(*impl);
      g.FileSetBlock = l.LogicalVolumeContentsUse.Location.LogicalBlockNumber;
      g.IntegritySector = l.IntegritySequenceExtent.Location;
      g.SparingTable1 = l.PartitionMap.LocationsofSparingTables[0];
      g.SparingTable2 = l.PartitionMap.LocationsofSparingTables[1];
      g.SparingTableBytes = l.PartitionMap.SizeofEachSparingTable;
      g.SparingPacketLength = l.PartitionMap.PacketLength;
    }
    what = "logical volume descriptor";
    seen |= kLogical;
    break;
  }
  case kTagUnallocatedSpace:
  case kTagTerminating:
    ok = IsSectorTagValid(LoadLE16(d), d, s);
    seen |= LoadLE16(d) == kTagTerminating ? kTerm : kUnalloc;
    break;
  default:
    break;
  }
  if (impl && !IsOurImplementation(*impl)) {
    q.Result = SequenceReading::Foreign;
    q.Why = std::string("the volume was not formatted by this library (") + what +
            " written by \"" + IdentifierText(*impl) + "\")";
    return false;
  }
  if (!ok) {
    q.Why = "volume descriptor in " + SectorText(s) + " is damaged";
    q.WhySector = s;
  }
  return ok;
}

Sequence SequenceReader::ReadOne(uint32_t start, uint32_t sectors) {
  constexpr unsigned kAll = 63, kTerm = 32;
  Sequence q;
  unsigned seen = 0;
  uint8_t buf[kSectorSize];
  for (uint32_t s = start; s < start + sectors && !(seen & kTerm); ++s) {
    if (!ReadAt(s, buf, q.Result)) {
      q.Why = SectorText(s) + " cannot be read";
      q.WhySector = s;
      return q;
    }
    q.Sectors.insert(q.Sectors.end(), buf, buf + sizeof buf);
    if (!Descriptor(buf, s, seen, q)) return q;
  }
  if (seen != kAll) {
    q.Why = "the volume descriptor sequence in " + SectorText(start) + " is incomplete";
    q.WhySector = start;
    return q;
  }
  q.Result = SequenceReading::Ok;
  return q;
}

// Whether the two integrity sectors would land on another volume structure: repair rewrites
// them, and must never overwrite the anchor, a descriptor sequence or a sparing table.
bool SequenceReader::Overlaps(const VolumeGeometry &g) const {
  const uint64_t a = g.IntegritySector, b = a + 2;
  auto hits = [&](uint64_t first, uint64_t count) { return a < first + count && first < b; };
  for (uint32_t s : anchorSectors_)
    if (hits(s, 1)) return true;
  return hits(16, 3) || hits(g.MainVDS, g.MainVDSSectors) ||
         hits(g.ReserveVDS, g.ReserveVDSSectors) || hits(g.SparingTable1, 1) ||
         hits(g.SparingTable2, 1);
}

// Why the space bitmap or the file set descriptor does not fit the partition; null when
// both do.
const char *PartitionMisfit(const VolumeGeometry &g, uint32_t packetBlocks) {
  if (g.BitmapBlocks < SpaceBitmapSectors(g.PartitionLength) ||
      uint64_t(g.BitmapBlock) + g.BitmapBlocks > g.PartitionLength ||
      (g.PartitionStart + g.BitmapBlock) % packetBlocks != 0)
    return "the space bitmap extent does not fit the partition";
  if (g.FileSetBlock >= g.PartitionLength ||
      (g.FileSetBlock >= g.BitmapBlock && g.FileSetBlock < g.BitmapBlock + g.BitmapBlocks))
    return "the file set descriptor lies outside the partition";
  return nullptr;
}

// Nothing read from the medium is used before it is checked against the medium's size.
bool SequenceReader::Fits(SequenceReading &out) {
  VolumeGeometry &g = out.Geometry;
  const uint32_t p = PacketBlocksOf(v_);
  const uint64_t end = uint64_t(g.PartitionStart) + g.PartitionLength;
  const uint64_t bitmapEnd = uint64_t(g.PartitionStart) + g.BitmapBlock + g.BitmapBlocks;
  auto fail = [&](const char *why) {
    out.Result = SequenceReading::Damaged;
    out.Why = why;
    return false;
  };
  // An image cut short after its last used block is read; blocks past its end read as
  // never written.
  g.Shortened = end > n_ && v_.ImageMode && bitmapEnd <= n_;
  if (g.PartitionLength == 0 || (end > n_ && !g.Shortened))
    return fail("the partition lies outside the medium");
  if (const char *why = PartitionMisfit(g, p)) return fail(why);
  if (g.IntegritySector >= n_ || g.IntegritySector % p == p - 1 ||
      (g.IntegritySector >= g.PartitionStart && g.IntegritySector < end) || Overlaps(g))
    return fail("the integrity sequence lies outside the volume area");
  if (g.SparingTable1 >= n_) return fail("the sparing table lies outside the medium");
  return true;
}

// An image carries a second anchor at N - 256, past its partition; a missing or damaged one
// is written again from the one read.
void SequenceReader::BackupAnchor(SequenceReading &out, const std::vector<uint8_t> &anchor) {
  const VolumeGeometry &g = out.Geometry;
  if (v_.ImageMode && g.Shortened) return RestoreLength(out, anchor);
  const uint32_t at = n_ - 257;
  if (!v_.ImageMode || at < uint64_t(g.PartitionStart) + g.PartitionLength ||
      at == g.AnchorSector)
    return;
  uint8_t buf[kSectorSize];
  SequenceReading::Outcome fail;
  if (ReadAt(at, buf, fail) && ParseAnchor(buf, sizeof buf, at)) return;
  SequenceViolation bad;
  bad.Sector = at;
  bad.Text = "the second anchor volume descriptor pointer (" + SectorText(at) +
             ") is missing or damaged";
  bad.Count = 1;
  bad.Bytes = anchor;
  FillTagAt(bad.Bytes.data(), kTagAnchor, LoadLE16(&bad.Bytes[10]), at);
  out.Violations.push_back(std::move(bad));
}

// An image cut short after its last used block gets back the length its partition needs:
// the shortest that keeps the partition where it is, whole packets, with the second anchor
// 256 sectors before its end and zeros after it.
void SequenceReader::RestoreLength(SequenceReading &out, const std::vector<uint8_t> &anchor) {
  const VolumeGeometry &g = out.Geometry;
  const uint32_t p = PacketBlocksOf(v_);
  const uint64_t end = uint64_t(g.PartitionStart) + g.PartitionLength + 257;
  const uint64_t n = (end + p - 1) / p * p;
  if (n > UINT32_MAX) return;
  SequenceViolation bad;
  bad.Sector = static_cast<uint32_t>(n - 257);
  bad.Count = 257;
  bad.MediumSectors = static_cast<uint32_t>(n);
  bad.Text = "the image holds " + std::to_string(n_) + " sectors, fewer than its partition " +
             "needs; it is extended to " + std::to_string(n) + " with its second anchor";
  bad.Bytes.assign(size_t(bad.Count) * kSectorSize, 0);
  std::memcpy(bad.Bytes.data(), anchor.data(), std::min<size_t>(anchor.size(), kSectorSize));
  FillTagAt(bad.Bytes.data(), kTagAnchor, LoadLE16(&bad.Bytes[10]), bad.Sector);
  out.Violations.push_back(std::move(bad));
}

// A damaged sequence is written again from the good one, each descriptor tagged where it
// then lies.
void SequenceReader::Mend(SequenceReading &out, const Sequence &bad, const Sequence &good,
                          uint32_t at, const char *which) {
  SequenceViolation m;
  m.Sector = at;
  m.Text = std::string("the ") + which + " volume descriptor sequence is damaged (" + bad.Why +
           ")";
  m.Bytes = good.Sectors;
  m.Count = static_cast<uint32_t>(m.Bytes.size() / kSectorSize);
  for (uint32_t i = 0; i < m.Count; ++i) {
    uint8_t *d = &m.Bytes[size_t(i) * kSectorSize];
    if (LoadLE16(d) != 0) FillTagAt(d, LoadLE16(d), LoadLE16(d + 10), at + i);
  }
  out.Violations.push_back(std::move(m));
}

SequenceReading SequenceReader::Read() {
  SequenceReading out;
  std::vector<uint8_t> anchorBytes;
  if (!Recognition(out) || !Anchors(out, anchorBytes)) return out;
  const auto anchor = ParseAnchor(anchorBytes.data(), anchorBytes.size(), out.Geometry.AnchorSector);
  const UDF_ExtentAD &mainExt = anchor->MainVolumeDescriptorSequenceExtent;
  const UDF_ExtentAD &reserveExt = anchor->ReserveVolumeDescriptorSequenceExtent;
  const uint32_t mainSectors = std::min<uint32_t>(mainExt.Length / kSectorSize, kMaxSequenceSectors);
  const uint32_t reserveSectors =
      std::min<uint32_t>(reserveExt.Length / kSectorSize, kMaxSequenceSectors);
  const Sequence main = ReadOne(mainExt.Location, mainSectors);
  const Sequence reserve = ReadOne(reserveExt.Location, reserveSectors);
  const Sequence &used = main.Result == SequenceReading::Ok ? main : reserve;
  if (main.Result == SequenceReading::Foreign || used.Result != SequenceReading::Ok) {
    // Neither sequence will do (or the volume is another's): the main one says why.
    out.Result = main.Result;
    out.Why = main.Why;
    out.WhySector = main.WhySector;
    return out;
  }
  const uint32_t anchorSector = out.Geometry.AnchorSector;
  out.Geometry = used.Geometry;
  out.Geometry.AnchorSector = anchorSector;
  out.Geometry.MainVDS = mainExt.Location;
  out.Geometry.MainVDSSectors = mainSectors;
  out.Geometry.ReserveVDS = reserveExt.Location;
  out.Geometry.ReserveVDSSectors = reserveSectors;
  out.Geometry.FromReserve = &used == &reserve;
  if (!Fits(out)) return out;
  if (main.Result != SequenceReading::Ok) Mend(out, main, reserve, mainExt.Location, "main");
  if (reserve.Result == SequenceReading::Damaged)
    Mend(out, reserve, main, reserveExt.Location, "reserve");
  BackupAnchor(out, anchorBytes);
  out.Result = SequenceReading::Ok;
  return out;
}

} // namespace

SequenceReading ReadVolumeSequence(TUDFRewritableVolume &v) { return SequenceReader(v).Read(); }

namespace {

constexpr uint16_t kTagVolumePointer = 3;
// Bounds on what another writer's sequence may make the reader walk.
constexpr uint32_t kMaxForeignSectors = 256;
constexpr uint32_t kMaxPointerHops = 8;

// Takes one descriptor of a foreign sequence; a later one of the same kind replaces an
// earlier (a sequence records updates that way). Returns false on a terminating descriptor.
bool TakeForeign(const uint8_t *d, uint32_t s, ForeignDescriptors &f, bool &haveLogical,
                 UDF_ExtentAD &next) {
  const size_t kBlock = f.BlockBytes; // descriptors are read one block at a time
  switch (LoadLE16(d)) {
  case kTagPrimaryVolume:
    if (const auto pvd = ParsePrimaryVolumeDescriptor(d, kBlock, s))
      std::memcpy(f.VolumeIdentifier, pvd->VolumeIdentifier, sizeof f.VolumeIdentifier);
    break;
  case kTagPartition:
    if (const auto pd = ParsePartitionDescriptor(d, kBlock, s)) {
      auto same = std::find_if(f.Partitions.begin(), f.Partitions.end(), [&](const auto &p) {
        return p.PartitionNumber == pd->PartitionNumber;
      });
      if (same != f.Partitions.end()) *same = *pd;
      else f.Partitions.push_back(*pd);
    }
    break;
  case kTagLogicalVolume:
    if (const auto lvd = ParseLogicalVolumeDescriptor(d, kBlock, s)) {
      const UDF_LogicalVolumeDescriptor &l = lvd->Descriptor;
      constexpr size_t kTable = offsetof(UDF_LogicalVolumeDescriptor, PartitionMap);
      const auto maps = ParsePartitionMaps(d + kTable, kBlock - kTable, l.NumberofPartitionMaps);
      if (!maps || l.LogicalBlockSize != f.BlockBytes) break;
      f.Maps = *maps;
      f.FileSet = l.LogicalVolumeContentsUse;
      f.Integrity = l.IntegritySequenceExtent;
      f.Revision = DomainRevision(l.DomainIdentifier);
      f.Writer = IdentifierText(l.ImplementationIdentifier);
      haveLogical = true;
    }
    break;
  case kTagVolumePointer:
    if (IsTagValid(kTagVolumePointer, d, kBlock, s)) std::memcpy(&next, d + 20, sizeof next);
    return false;
  case kTagTerminating:
    return !IsTagValid(kTagTerminating, d, kBlock, s);
  default:
    break;
  }
  return true;
}

// One sequence from `extent`, following pointers to its continuations.
bool ReadForeignSequence(TUDFRewritableVolume &v, UDF_ExtentAD extent, ForeignDescriptors &f) {
  bool haveLogical = false;
  uint32_t read = 0;
  uint8_t buf[kMaxBlockBytes];
  for (uint32_t hop = 0; hop < kMaxPointerHops && extent.Length >= f.BlockBytes; ++hop) {
    const uint32_t first = extent.Location, count = extent.Length / f.BlockBytes;
    extent = UDF_ExtentAD{};
    for (uint32_t s = first; s - first < count && read < kMaxForeignSectors; ++s, ++read) {
      if (!ReadMediumBlock(v, f.BlockBytes, s, buf)) return false;
      if (!TakeForeign(buf, s, f, haveLogical, extent)) break;
    }
  }
  return haveLogical && !f.Partitions.empty();
}

} // namespace

bool ReadMediumBytes(TUDFRewritableVolume &v, uint64_t at, size_t n, uint8_t *dst) {
  if (n == 0) return true;
  if (at + n > MediumBytes(v)) return false;
  const uint64_t first = at / kSectorSize;
  const uint64_t end = (at + n + kSectorSize - 1) / kSectorSize;
  // An image may end inside its last sector (another writer's blocks of 512 bytes): that
  // sector is read apart from the whole ones.
  const uint64_t whole = std::min<uint64_t>(end, v.TotalSectors);
  std::vector<uint8_t> sectors(size_t(end - first) * kSectorSize);
  uint32_t good = 0;
  const uint32_t from = static_cast<uint32_t>(first);
  if (whole > first &&
      !KeepInLastError(
          v, ReadSectors(v, from, static_cast<uint32_t>(whole - first), sectors.data(), good)))
    return false;
  uint8_t *tail = sectors.data() + size_t(whole - first) * kSectorSize;
  if (end > whole && !KeepInLastError(v, ReadImageTail(v, static_cast<uint32_t>(whole), tail)))
    return false;
  std::memcpy(dst, sectors.data() + at % kSectorSize, n);
  return true;
}

bool ReadMediumBlock(TUDFRewritableVolume &v, uint32_t blockBytes, uint64_t block, uint8_t *buf) {
  std::memset(buf, 0, std::max(blockBytes, kSectorSize));
  return blockBytes <= kMaxBlockBytes && block < MediumBlocks(v, blockBytes) &&
         ReadMediumBytes(v, block * blockBytes, blockBytes, buf);
}

uint64_t MediumBlocks(const TUDFRewritableVolume &v, uint32_t blockBytes) {
  return blockBytes ? MediumBytes(v) / blockBytes : 0;
}

std::optional<ForeignDescriptors> ReadForeignDescriptors(TUDFRewritableVolume &v,
                                                         uint32_t anchorBlock,
                                                         uint32_t blockBytes, std::string &why) {
  uint8_t buf[kMaxBlockBytes];
  if (!ReadMediumBlock(v, blockBytes, anchorBlock, buf)) {
    why = "block " + std::to_string(anchorBlock) + " cannot be read";
    return std::nullopt;
  }
  const auto anchor = ParseAnchor(buf, blockBytes, anchorBlock);
  if (!anchor) {
    why = "the anchor volume descriptor pointer is damaged";
    return std::nullopt;
  }
  for (const UDF_ExtentAD &e : {anchor->MainVolumeDescriptorSequenceExtent,
                                anchor->ReserveVolumeDescriptorSequenceExtent}) {
    ForeignDescriptors f;
    f.BlockBytes = blockBytes;
    if (ReadForeignSequence(v, e, f)) return f;
  }
  why = "neither volume descriptor sequence holds a logical volume of " +
        std::to_string(blockBytes) + "-byte blocks with its partitions";
  return std::nullopt;
}

} // namespace korva
