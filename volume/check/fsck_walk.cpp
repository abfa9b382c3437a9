// The check's walk over a volume. Everything read is hostile: each location is checked
// against the medium or the partition before it is read, each file entry is judged at most
// once, and blocks are claimed at most once, so the walk is bounded by the partition size.
#include "volume/check/fsck_walk.h"
#include "volume/check/fsck_walker.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <unordered_map>
#include <unordered_set>

#include "udf/byte_order.h"
#include "udf/tag.h"
#include "udf/utf8.h"
#include "volume/engine.h"
#include "volume/fs/fs_dir.h"
#include "volume/medium/sparing.h"

namespace korva {

bool AcceptEntryImplementation(const UDF_EntityID &) {
  // Entries other implementations wrote on volumes formatted here are read in every form
  // they record, and changed only after being rewritten in this library's form (or refused
  // with error 30), so they are taken on like our own.
  return true;
}

namespace {

constexpr uint32_t kAnchorSector = 256;
constexpr uint32_t kVdsMaxSectors = 16;

} // namespace

namespace fsck {

std::string IdentifierText(const UDF_EntityID &id) {
  std::string s;
  for (uint8_t c : id.Identifier) {
    if (c == 0) break;
    s += (c >= 0x20 && c < 0x7F) ? char(c) : '?';
  }
  return s;
}

std::string RunText(uint32_t first, uint32_t count) {
  if (count == 1) return "block " + std::to_string(first);
  return "blocks " + std::to_string(first) + "-" + std::to_string(first + count - 1);
}

bool Walker::Structure(const std::string &text, uint32_t block) {
  ScanFinding f;
  f.Kind = KORVA_FINDING_VOLUME_STRUCTURE;
  f.Block = block;
  f.Text = text;
  s_.Findings.push_back(f);
  s_.Structural = true;
  return false;
}

bool Walker::ReadAbsolute(uint32_t sector, uint8_t *buf) {
  if (ReadSector(v_, sector, buf)) return true;
  s_.ReadFailed = true;
  ScanFinding f;
  f.Kind = KORVA_FINDING_UNREADABLE;
  f.Text = "sector " + std::to_string(sector) + " cannot be read";
  s_.Findings.push_back(f);
  return false;
}

bool Walker::ReadRecognition() {
  static const char *const kIds[3] = {"BEA01", "NSR02", "TEA01"};
  uint8_t buf[kSectorSize];
  for (uint32_t i = 0; i < 3; ++i) {
    if (!ReadAbsolute(16 + i, buf)) return false;
    if (!IsVolumeStructure(buf, sizeof buf, kIds[i]))
      return Structure("the volume recognition sequence is missing or damaged");
  }
  return true;
}

bool Walker::ReadAnchor(uint32_t &vds, uint32_t &vdsSectors) {
  uint8_t buf[kSectorSize];
  if (v_.TotalSectors <= kAnchorSector) return Structure("the medium is too small for a volume");
  if (!ReadAbsolute(kAnchorSector, buf)) return false;
  const auto anchor = ParseAnchor(buf, sizeof buf, kAnchorSector);
  if (!anchor) return Structure("the anchor volume descriptor pointer is damaged", KORVA_NO_BLOCK);
  vds = anchor->MainVolumeDescriptorSequenceExtent.Location;
  vdsSectors = std::min<uint32_t>(anchor->MainVolumeDescriptorSequenceExtent.Length / kSectorSize,
                                  kVdsMaxSectors);
  g_.MainVDS = vds;
  vdsSectors_ = vdsSectors;
  g_.ReserveVDS = anchor->ReserveVolumeDescriptorSequenceExtent.Location;
  if (vdsSectors == 0 || uint64_t(vds) + vdsSectors > v_.TotalSectors)
    return Structure("the anchor points outside the medium");
  return true;
}

bool Walker::Foreign(const UDF_EntityID &id, const char *what) {
  if (IsOurImplementation(id)) return false;
  ScanFinding f;
  f.Kind = KORVA_FINDING_FOREIGN_VOLUME;
  f.Text = std::string("the volume was not formatted by this library (") + what + " written by \"" +
           IdentifierText(id) + "\")";
  s_.Findings.push_back(f);
  s_.Foreign = true;
  return true;
}

bool Walker::ReadSequence(uint32_t vds, uint32_t vdsSectors) {
  enum { kPrimary = 1, kImplUse = 2, kPartition = 4, kLogical = 8, kUnalloc = 16, kTerm = 32 };
  unsigned seen = 0;
  uint8_t buf[kSectorSize];
  for (uint32_t s = vds; s < vds + vdsSectors && !(seen & kTerm); ++s) {
    if (!ReadAbsolute(s, buf)) return false;
    const uint16_t id = LoadLE16(buf);
    bool ok = true;
    if (id == kTagPrimaryVolume) {
      const auto d = ParsePrimaryVolumeDescriptor(buf, sizeof buf, s);
      if (d && Foreign(d->ImplementationIdentifier, "primary volume descriptor")) return false;
      ok = d.has_value();
      seen |= kPrimary;
    } else if (id == kTagImplementationUse) {
      const auto d = ParseImplementationUseVolumeDescriptor(buf, sizeof buf, s);
      if (d && Foreign(d->ImplementationID, "implementation use volume descriptor")) return false;
      ok = d.has_value();
      seen |= kImplUse;
    } else if (id == kTagPartition) {
      const auto d = ParsePartitionDescriptor(buf, sizeof buf, s);
      if (d && Foreign(d->ImplementationIdentifier, "partition descriptor")) return false;
      if ((ok = d.has_value())) {
        g_.PartitionStart = d->PartitionStartingLocation;
        g_.PartitionLength = d->PartitionLength;
        const UDF_ShortAD &bm = d->PartitionContentsUse.UnallocatedSpaceBitmap;
        g_.BitmapBlock = bm.Position;
        g_.BitmapBlocks = ExtentLength(bm) / kSectorSize;
      }
      seen |= kPartition;
    } else if (id == kTagLogicalVolume) {
      const auto d = ParseLogicalVolumeDescriptor(buf, sizeof buf, s);
      if (d && Foreign(d->Descriptor.ImplementationIdentifier, "logical volume descriptor"))
        return false;
      if ((ok = d.has_value() && d->HasSparableMap)) {
        fileSetBlock_ = d->Descriptor.LogicalVolumeContentsUse.Location.LogicalBlockNumber;
        g_.IntegritySector = d->Descriptor.IntegritySequenceExtent.Location;
        g_.SparingTable1 = d->Descriptor.PartitionMap.LocationsofSparingTables[0];
        g_.SparingTable2 = d->Descriptor.PartitionMap.LocationsofSparingTables[1];
        g_.SparingTableBytes = d->Descriptor.PartitionMap.SizeofEachSparingTable;
        g_.SparingPacketLength = d->Descriptor.PartitionMap.PacketLength;
      }
      seen |= kLogical;
    } else if (id == kTagUnallocatedSpace || id == kTagTerminating) {
      ok = IsSectorTagValid(id, buf, s);
      seen |= id == kTagTerminating ? kTerm : kUnalloc;
    }
    if (!ok) return Structure("volume descriptor in sector " + std::to_string(s) + " is damaged");
  }
  if (seen != (kPrimary | kImplUse | kPartition | kLogical | kUnalloc | kTerm))
    return Structure("the main volume descriptor sequence is incomplete");
  return CheckGeometry();
}

bool Walker::CheckGeometry() {
  const uint32_t n = v_.TotalSectors;
  const uint32_t p = PacketBlocksOf(v_);
  const uint64_t end = uint64_t(g_.PartitionStart) + g_.PartitionLength;
  if (g_.PartitionLength == 0 || end > n) return Structure("the partition lies outside the medium");
  if (g_.BitmapBlocks < SpaceBitmapSectors(g_.PartitionLength) ||
      uint64_t(g_.BitmapBlock) + g_.BitmapBlocks > g_.PartitionLength ||
      (g_.PartitionStart + g_.BitmapBlock) % p != 0)
    return Structure("the space bitmap extent does not fit the partition");
  if (fileSetBlock_ >= g_.PartitionLength ||
      (fileSetBlock_ >= g_.BitmapBlock && fileSetBlock_ < g_.BitmapBlock + g_.BitmapBlocks))
    return Structure("the file set descriptor lies outside the partition");
  if (g_.IntegritySector >= n || g_.IntegritySector % p == p - 1 ||
      (g_.IntegritySector >= g_.PartitionStart && g_.IntegritySector < end) || IntegrityOverlaps())
    return Structure("the integrity sequence lies outside the volume area");
  if (g_.SparingTable1 >= n) return Structure("the sparing table lies outside the medium");
  g_.FileSetBlock = fileSetBlock_;
  return true;
}

// Whether the two integrity sectors would land on another volume structure: repair rewrites
// them, and must never overwrite the anchor, a descriptor sequence or a sparing table.
bool Walker::IntegrityOverlaps() const {
  const uint64_t a = g_.IntegritySector, b = a + 2;
  auto hits = [&](uint64_t first, uint64_t count) { return a < first + count && first < b; };
  return hits(16, 3) || hits(kAnchorSector, 1) || hits(g_.MainVDS, vdsSectors_) ||
         hits(g_.ReserveVDS, kVdsMaxSectors) || hits(g_.SparingTable1, 1) ||
         hits(g_.SparingTable2, 1);
}

bool Walker::ReadIntegrity() {
  uint8_t buf[kSectorSize];
  if (!ReadAbsolute(g_.IntegritySector, buf)) return false;
  const auto d = ParseIntegrityDescriptor(buf, sizeof buf, g_.IntegritySector);
  bool terminated = false;
  if (d) {
    s_.IntegrityValid = true;
    s_.Recorded.IntegrityType = d->IntegrityType;
    s_.Recorded.NextUniqueID = d->NextUniqueID;
    s_.Recorded.FreeBlocks = d->FreeSpaceTable;
    s_.Recorded.PartitionLength = d->SizeTable;
    s_.Recorded.Files = d->NumberOfFiles;
    s_.Recorded.Directories = d->NumberOfDirectories;
    // Another implementation that changed the volume records itself here; the mount
    // looks for this library's identifier, which repair records.
    if (!IsOurImplementation(d->ImplementationID)) {
      ScanFinding f;
      f.Kind = KORVA_FINDING_FOREIGN_ENTRY;
      f.Text =
          "the integrity descriptor was written by \"" + IdentifierText(d->ImplementationID) + "\"";
      s_.Findings.push_back(f);
    }
    if (!ReadAbsolute(g_.IntegritySector + 1, buf)) return false;
    terminated = IsSectorTagValid(kTagTerminating, buf, g_.IntegritySector + 1);
  }
  if (!d || !terminated) {
    ScanFinding f;
    f.Kind = KORVA_FINDING_DESCRIPTOR;
    f.Text = d ? "the integrity sequence is not terminated"
               : "the logical volume integrity descriptor is damaged";
    s_.Findings.push_back(f);
  }
  return true;
}

// Packets the sparing table relocated are read where it says from here on (the engine's
// sector I/O resolves them), so the walk sees what every reader sees.
bool Walker::ReadSparing() {
  SparingLayout l;
  l.Table1 = g_.SparingTable1;
  l.Table2 = g_.SparingTable2;
  l.TableBytes = g_.SparingTableBytes;
  l.PacketLength = g_.SparingPacketLength;
  l.PartitionStart = g_.PartitionStart;
  l.PartitionLength = g_.PartitionLength;
  l.MainVDS = g_.MainVDS;
  l.ReserveVDS = g_.ReserveVDS;
  l.Integrity = g_.IntegritySector;
  switch (LoadSparingMap(v_, l, !v_.Compatible)) {
  case SparingLoad::Ok:
    return true;
  case SparingLoad::ReadFailed: {
    s_.ReadFailed = true;
    ScanFinding f;
    f.Kind = KORVA_FINDING_UNREADABLE;
    f.Text = "the sparing tables cannot be read";
    s_.Findings.push_back(f);
    return false;
  }
  case SparingLoad::BadEntry:
    return Structure("the sparing table relocates a packet outside the spare area");
  case SparingLoad::Damaged:
    break;
  }
  return Structure("the sparing tables are damaged");
}

bool Walker::ReadBitmap() {
  const uint32_t sectors = SpaceBitmapSectors(g_.PartitionLength);
  std::vector<uint8_t> buf(size_t(sectors) * kSectorSize);
  uint32_t good = 0;
  if (!ReadSectors(v_, g_.PartitionStart + g_.BitmapBlock, sectors, buf.data(), good)) {
    s_.ReadFailed = true;
    ScanFinding f;
    f.Kind = KORVA_FINDING_UNREADABLE;
    f.Block = g_.BitmapBlock + good;
    f.Text = "the space bitmap cannot be read";
    s_.Findings.push_back(f);
    return false;
  }
  // Bits another system changed under a CRC that covered them are still compared with the
  // tree; a CRC alone is no damage.
  bool crcFailed = false;
  const auto h = ParseSpaceBitmapHeader(buf.data(), buf.size(), g_.BitmapBlock, &crcFailed);
  if (h && h->NumberOfBits == g_.PartitionLength) {
    s_.BitmapValid = true;
    const size_t bytes = SpaceBitmapBytes(g_.PartitionLength);
    s_.RecordedFree.assign(buf.begin() + sizeof(UDF_SpaceBitmapHeader),
                           buf.begin() + sizeof(UDF_SpaceBitmapHeader) + bytes);
  } else if (!(v_.Compatible && v_.SpaceBitmap)) {
    // While mounted compatible the engine keeps the bitmap in memory and stores it itself.
    ScanFinding f;
    f.Kind = KORVA_FINDING_DESCRIPTOR;
    f.Block = g_.BitmapBlock;
    f.Text = "the space bitmap descriptor is damaged";
    s_.Findings.push_back(f);
  }
  return true;
}

bool Walker::ReadFileSet() {
  uint8_t buf[kSectorSize];
  if (!ReadBlock(g_.FileSetBlock, buf)) return false;
  const auto fsd = ParseFileSetDescriptor(buf, sizeof buf, g_.FileSetBlock);
  if (!fsd) return Structure("the file set descriptor is damaged", g_.FileSetBlock);
  g_.RootBlock = fsd->RootDirectoryICB.Location.LogicalBlockNumber;
  if (g_.RootBlock >= g_.PartitionLength)
    return Structure("the root directory lies outside the partition", g_.FileSetBlock);
  return true;
}

bool Walker::ReadBlock(uint32_t block, uint8_t *buf) {
  if (block >= g_.PartitionLength) return false;
  return ReadAbsolute(g_.PartitionStart + block, buf);
}

// Judges the file entry at block. False only when a read failed.
bool Walker::Inspect(uint32_t block, bool directory, EntryVerdict &out) {
  uint8_t fe[kBlockSize];
  if (!ReadBlock(block, fe)) return false;
  const auto info = ParseFileEntry(fe, sizeof fe, block);
  if (!info) {
    out.Reason = "the file entry is unreadable (tag, checksum or CRC)";
    return true;
  }
  out.Info = *info;
  UDF_FileEntryHeader h;
  std::memcpy(&h, fe, sizeof h);
  out.LinkCount = h.FileLinkCount;
  // Any type but a directory may stand behind a plain entry: links, devices, FIFOs and
  // sockets other systems record are kept as they are.
  if ((info->FileType == kFileTypeDirectory) != directory) {
    out.Reason = "the file entry's type does not match its directory entry";
    return true;
  }
  DescriptorList list;
  auto reader = [this](uint32_t b, uint8_t *buf) { return ReadBlock(b, buf); };
  if (!ReadDescriptorList(reader, g_.PartitionLength, block, fe, list)) return false;
  if (list.Corrupt) {
    out.Reason = "the file entry's allocation descriptors are damaged";
    return true;
  }
  if (!GatherRanges(block, list, out)) return true;
  out.Valid = true;
  return true;
}

bool Walker::Run() {
  uint32_t vds = 0, vdsSectors = 0;
  if (!ReadRecognition() || !ReadAnchor(vds, vdsSectors) || !ReadSequence(vds, vdsSectors))
    return false;
  if (!ReadIntegrity() || !ReadSparing() || !ReadBitmap() || !ReadFileSet()) return false;
  return WalkTree();
}

} // namespace fsck

namespace {

using fsck::RunText;

// Appends one finding per run of blocks whose bitmap bit disagrees with the walk.
void CompareBitmap(VolumeScan &scan, const uint8_t *free, size_t bytes) {
  const uint32_t n = scan.Geometry.PartitionLength;
  const size_t need = SpaceBitmapBytes(n);
  int32_t runKind = 0;
  uint32_t runStart = 0;
  auto close = [&](uint32_t end) {
    if (!runKind) return;
    ScanFinding f;
    f.Kind = runKind;
    f.Block = runStart;
    f.Text = RunText(runStart, end - runStart) +
             (runKind == KORVA_FINDING_USED_MARKED_FREE
                  ? (end - runStart == 1 ? " is" : " are") + std::string(" in use but marked free")
                  : std::string(" marked used but unused"));
    scan.Findings.push_back(f);
    runKind = 0;
  };
  for (uint32_t b = 0; b < n; ++b) {
    const size_t i = b / 8;
    // Whole bytes that agree are passed over at once.
    if (!runKind && b % 8 == 0 && b + 8 <= n && i < bytes && i < need &&
        uint8_t(scan.Used[i] ^ free[i]) == 0xFF) {
      b += 7;
      continue;
    }
    const bool used = scan.Used[i] & (1u << (b % 8));
    const bool isFree = i < bytes && (free[i] & (1u << (b % 8)));
    const int32_t kind = used && isFree     ? KORVA_FINDING_USED_MARKED_FREE
                         : !used && !isFree ? KORVA_FINDING_LEAKED
                                            : 0;
    if (kind != runKind) {
      close(b);
      runKind = kind;
      runStart = b;
    }
  }
  close(n);
}

void AddCount(VolumeScan &scan, const char *what, uint32_t recorded, uint32_t actual) {
  if (recorded == actual) return;
  ScanFinding f;
  f.Kind = KORVA_FINDING_COUNTS;
  f.Text = std::string("the integrity descriptor records ") + std::to_string(recorded) + " " +
           what + ", the volume has " + std::to_string(actual);
  scan.Findings.push_back(f);
}

} // namespace

bool ScanVolume(TUDFRewritableVolume &v, VolumeScan &scan) {
  scan = VolumeScan();
  fsck::Walker w(v, scan);
  return w.Run();
}

void CompareAccounting(VolumeScan &scan, const uint8_t *bitmap, size_t bitmapBytes,
                       bool expectOpen) {
  if (bitmap) CompareBitmap(scan, bitmap, bitmapBytes);
  if (!scan.IntegrityValid) return;
  const IntegrityInfo &r = scan.Recorded;
  if (r.IntegrityType == itOpen && !expectOpen) {
    ScanFinding f;
    f.Kind = KORVA_FINDING_LEFT_OPEN;
    f.Text = "the volume was left open by a session that did not end";
    scan.Findings.push_back(f);
  }
  AddCount(scan, "free blocks", r.FreeBlocks, scan.Geometry.PartitionLength - scan.UsedBlocks);
  AddCount(scan, "files", r.Files, scan.Files);
  AddCount(scan, "directories", r.Directories, scan.Directories);
  if (r.PartitionLength != scan.Geometry.PartitionLength)
    AddCount(scan, "partition blocks", r.PartitionLength, scan.Geometry.PartitionLength);
  if (r.NextUniqueID <= scan.MaxUniqueID) {
    ScanFinding f;
    f.Kind = KORVA_FINDING_UNIQUE_ID;
    f.Text = "the next unique ID " + std::to_string(r.NextUniqueID) +
             " is not above the highest in use, " + std::to_string(scan.MaxUniqueID);
    scan.Findings.push_back(f);
  }
}

uint64_t RepairedNextUniqueID(const VolumeScan &scan) {
  uint64_t next = std::max<uint64_t>(16, scan.MaxUniqueID + 1);
  if (scan.IntegrityValid) next = std::max(next, scan.Recorded.NextUniqueID);
  return next;
}

} // namespace korva
