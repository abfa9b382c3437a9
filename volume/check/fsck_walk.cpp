// The check's walk over a volume. Everything read is hostile: each location is checked
// against the medium or the partition before it is read, each file entry is judged at most
// once, and blocks are claimed at most once, so the walk is bounded by the partition size.
#include "volume/check/fsck_walk.h"

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

// An extent of blocks an entry uses.
struct Range {
  uint32_t First;
  uint32_t Count;
};

// What the walk learnt about one file entry.
struct EntryVerdict {
  bool Valid = false;
  int32_t Kind = KORVA_FINDING_BAD_ENTRY;
  std::string Reason;
  FileEntryInfo Info;
  std::vector<Range> Ranges;
  uint64_t ExtentBytes = 0;
  uint64_t RecordedBlocks = 0;
  uint16_t LinkCount = 0;
};

class Walker {
public:
  Walker(TUDFRewritableVolume &v, VolumeScan &s) : v_(v), s_(s), g_(s.Geometry) {}
  bool Run();

private:
  // Volume level.
  bool Structure(const std::string &text, uint32_t block = KORVA_NO_BLOCK);
  bool ReadAbsolute(uint32_t sector, uint8_t *buf);
  bool ReadRecognition();
  bool ReadAnchor(uint32_t &vds, uint32_t &vdsSectors);
  bool ReadSequence(uint32_t vds, uint32_t vdsSectors);
  bool Foreign(const UDF_EntityID &id, const char *what);
  bool CheckGeometry();
  bool IntegrityOverlaps() const;
  bool ReadIntegrity();
  bool ReadSparing();
  bool ReadBitmap();
  bool ReadFileSet();
  // Tree.
  bool ReadBlock(uint32_t block, uint8_t *buf);
  bool Inspect(uint32_t block, bool directory, EntryVerdict &out);
  bool GatherRanges(uint32_t block, const DescriptorList &list, EntryVerdict &out);
  bool ConflictFree(EntryVerdict &out);
  void Claim(const EntryVerdict &e);
  bool IsUsed(uint32_t block) const { return s_.Used[block / 8] & (1u << (block % 8)); }
  void Accept(const EntryVerdict &e, bool directory, uint32_t block, const std::string &path);
  bool ScanDirectory(uint32_t block, const std::string &path);
  bool VisitChild(uint32_t dirBlock, FidEntry &fid, const std::string &path);

  TUDFRewritableVolume &v_;
  VolumeScan &s_;
  ScanGeometry &g_;
  uint32_t fileSetBlock_ = 0;
  uint32_t vdsSectors_ = 0;
  std::unordered_set<uint32_t> directories_;     // directory entries reached
  std::unordered_map<uint32_t, uint16_t> files_; // file entries reached, with their link counts
  std::unordered_map<uint32_t, EntryVerdict> rejected_;  // entries judged invalid
  std::deque<std::pair<uint32_t, std::string>> pending_; // directories still to scan
};

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
  const auto h = ParseSpaceBitmapHeader(buf.data(), buf.size(), g_.BitmapBlock);
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

bool Walker::GatherRanges(uint32_t block, const DescriptorList &list, EntryVerdict &out) {
  out.Ranges.push_back({block, 1});
  if (list.Embedded()) out.ExtentBytes = list.EmbeddedLength;
  for (uint32_t b : list.Extensions)
    out.Ranges.push_back({b, 1});
  for (const ADSlot &s : list.Extents) {
    out.ExtentBytes += s.AD.Length();
    // Extents that are not allocated take no blocks.
    if (s.AD.Type() == kExtentNotAllocated || s.AD.Length() == 0) continue;
    const uint32_t count = (s.AD.Length() + kBlockSize - 1) / kBlockSize;
    if (s.AD.Type() == kExtentRecorded) out.RecordedBlocks += count;
    out.Ranges.push_back({s.AD.Block, count});
  }
  std::sort(out.Ranges.begin(), out.Ranges.end(),
            [](const Range &a, const Range &b) { return a.First < b.First; });
  for (size_t i = 1; i < out.Ranges.size(); ++i) {
    const Range &a = out.Ranges[i - 1];
    if (uint64_t(a.First) + a.Count > out.Ranges[i].First) {
      out.Kind = KORVA_FINDING_CLAIMED_TWICE;
      out.Reason = "the file entry claims " + RunText(out.Ranges[i].First, 1) + " twice";
      return false;
    }
  }
  return true;
}

// The first block of [first, first + count) that is used, or count when none is: whole bytes
// at a time, so a hostile entry claiming the whole partition costs little to turn down.
uint32_t FirstUsed(const std::vector<uint8_t> &used, uint32_t first, uint32_t count) {
  uint32_t b = first;
  const uint32_t end = first + count;
  while (b < end) {
    if (b % 8 == 0 && end - b >= 8) {
      if (used[b / 8] == 0) {
        b += 8;
        continue;
      }
    }
    if (used[b / 8] & (1u << (b % 8))) return b;
    ++b;
  }
  return end;
}

void MarkUsed(std::vector<uint8_t> &used, uint32_t first, uint32_t count) {
  uint32_t b = first;
  const uint32_t end = first + count;
  for (; b < end && b % 8; ++b)
    used[b / 8] |= uint8_t(1u << (b % 8));
  if (end - b >= 8) {
    std::memset(&used[b / 8], 0xFF, (end - b) / 8);
    b += (end - b) / 8 * 8;
  }
  for (; b < end; ++b)
    used[b / 8] |= uint8_t(1u << (b % 8));
}

bool Walker::ConflictFree(EntryVerdict &out) {
  for (const Range &r : out.Ranges) {
    const uint32_t b = FirstUsed(s_.Used, r.First, r.Count);
    if (b == r.First + r.Count) continue;
    out.Kind = KORVA_FINDING_CLAIMED_TWICE;
    out.Reason = "the entry claims " + RunText(b, 1) + ", which is already in use";
    return false;
  }
  return true;
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
  if (info->FileType != (directory ? kFileTypeDirectory : kFileTypeFile)) {
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
  if (!GatherRanges(block, list, out) || !ConflictFree(out)) return true;
  out.Valid = true;
  return true;
}

void Walker::Claim(const EntryVerdict &e) {
  for (const Range &r : e.Ranges) {
    MarkUsed(s_.Used, r.First, r.Count);
    s_.UsedBlocks += r.Count;
  }
}

// Takes a valid entry into the tree: its blocks, its count, its ID, its length.
void Walker::Accept(const EntryVerdict &e, bool directory, uint32_t block,
                    const std::string &path) {
  Claim(e);
  if (directory) {
    ++s_.Directories;
    directories_.insert(block);
    pending_.emplace_back(block, path);
  } else {
    ++s_.Files;
    files_[block] = e.LinkCount;
  }
  s_.MaxUniqueID = std::max(s_.MaxUniqueID, e.Info.UniqueID);
  // The mount looks for this library's identifier in the root's entry, which repair records.
  const bool accepted = AcceptEntryImplementation(e.Info.ImplementationIdentifier);
  if (!IsOurImplementation(e.Info.ImplementationIdentifier) &&
      (!accepted || block == g_.RootBlock)) {
    ScanFinding f;
    f.Kind = KORVA_FINDING_FOREIGN_ENTRY;
    f.Block = block;
    f.Path = path;
    f.Text = "the entry was written by \"" + IdentifierText(e.Info.ImplementationIdentifier) + "\"";
    s_.Findings.push_back(f);
    if (!accepted) s_.ForeignEntries = true;
  }
  if (e.Info.InformationLength > e.ExtentBytes) {
    ScanFinding f;
    f.Kind = KORVA_FINDING_LENGTH;
    f.Block = block;
    f.Path = path;
    f.Text = "the file entry records " + std::to_string(e.Info.InformationLength) +
             " bytes but its extents hold " + std::to_string(e.ExtentBytes);
    f.Action = Mend::SetLength;
    f.NewLength = e.ExtentBytes;
    f.NewBlocks = e.RecordedBlocks;
    s_.Findings.push_back(f);
  }
}

bool Walker::VisitChild(uint32_t dirBlock, FidEntry &fid, const std::string &path) {
  const bool directory = (fid.Characteristics & kFidDirectory) != 0;
  const uint32_t block = fid.ICBBlock;
  ScanFinding drop;
  drop.Block = block;
  drop.Path = path;
  drop.Action = Mend::DropEntry;
  drop.Directory = dirBlock;
  drop.Offset = fid.Offset;
  drop.FidLength = fid.Length;
  if (block >= g_.PartitionLength) {
    drop.Kind = KORVA_FINDING_BAD_ENTRY;
    drop.Block = KORVA_NO_BLOCK;
    drop.Text = "the entry points outside the partition";
  } else if (!directory && files_.count(block) && files_[block] > 1) {
    // Another name of a file that records several (a hard link another system made).
    return true;
  } else if (IsUsed(block)) {
    const bool loop = directory && directories_.count(block);
    drop.Kind = loop ? KORVA_FINDING_LOOP : KORVA_FINDING_CLAIMED_TWICE;
    drop.Text = loop ? "the entry leads back to a directory already reached"
                     : "the entry's file entry is in a block already in use";
  } else {
    auto it = rejected_.find(block);
    if (it == rejected_.end()) {
      EntryVerdict e;
      if (!Inspect(block, directory, e)) return false;
      if (e.Valid) {
        Accept(e, directory, block, path);
        return true;
      }
      it = rejected_.emplace(block, std::move(e)).first;
    }
    drop.Kind = it->second.Kind;
    drop.Text = it->second.Reason;
  }
  drop.Text += "; the entry is dropped";
  s_.Findings.push_back(drop);
  return true;
}

std::string NameOf(FidEntry &fid) {
  std::string name;
  const std::u16string &wide = fid.DecodedName();
  if (wide.empty() || !Utf16ToUtf8(wide.data(), wide.size(), name)) return "?";
  return name;
}

bool Walker::ScanDirectory(uint32_t block, const std::string &path) {
  auto reader = [this](uint32_t b, uint8_t *buf) { return ReadBlock(b, buf); };
  DirectoryStream dir(reader, g_.PartitionLength);
  const DirectoryStream::Status st = dir.Open(block);
  if (st == DirectoryStream::IoError) return false;
  if (st == DirectoryStream::End) return true; // judged valid before; nothing to read
  for (uint64_t offset = 0; offset < dir.Size();) {
    FidEntry fid;
    const DirectoryStream::Status r = dir.ReadFid(offset, fid, true);
    if (r == DirectoryStream::IoError) return false;
    if (r == DirectoryStream::End) {
      ScanFinding f;
      f.Kind = KORVA_FINDING_DIRECTORY_DATA;
      f.Block = block;
      f.Path = path.empty() ? "/" : path;
      f.Text = "the directory data is damaged after byte " + std::to_string(offset) +
               "; the directory is cut there";
      f.Action = Mend::CutDirectory;
      f.Directory = block;
      f.NewLength = offset;
      f.NewBlocks = dir.Entry().BlocksRecorded;
      s_.Findings.push_back(f);
      return true;
    }
    offset += fid.Length;
    if (fid.Characteristics & (kFidDeleted | kFidParent)) continue;
    if (!VisitChild(block, fid, path + "/" + NameOf(fid))) return false;
  }
  return true;
}

bool Walker::Run() {
  uint32_t vds = 0, vdsSectors = 0;
  if (!ReadRecognition() || !ReadAnchor(vds, vdsSectors) || !ReadSequence(vds, vdsSectors))
    return false;
  if (!ReadIntegrity() || !ReadSparing() || !ReadBitmap() || !ReadFileSet()) return false;
  s_.Used.assign(SpaceBitmapBytes(g_.PartitionLength), 0);
  // The volume's own blocks in the partition: the bitmap and the file set descriptor.
  EntryVerdict meta;
  meta.Ranges = {{g_.BitmapBlock, g_.BitmapBlocks}, {fileSetBlock_, 1}};
  Claim(meta);
  EntryVerdict root;
  if (IsUsed(g_.RootBlock)) return Structure("the root directory lies in the volume's own blocks");
  if (!Inspect(g_.RootBlock, true, root)) return false;
  if (!root.Valid) return Structure("root directory: " + root.Reason, g_.RootBlock);
  Accept(root, true, g_.RootBlock, "");
  while (!pending_.empty()) {
    auto [block, path] = pending_.front();
    pending_.pop_front();
    if (!ScanDirectory(block, path)) return false;
  }
  return true;
}

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
  Walker w(v, scan);
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
