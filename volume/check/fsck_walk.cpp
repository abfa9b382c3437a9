// The check's walk over a volume. Everything read is hostile: each location is checked
// against the medium or the partition before it is read, each file entry is judged at most
// once, and blocks are claimed at most once, so the walk is bounded by the partition size.
#include "volume/check/fsck_walk.h"
#include "volume/check/fsck_walker.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <set>
#include <unordered_map>
#include <unordered_set>

#include "udf/byte_order.h"
#include "udf/tag.h"
#include "udf/utf8.h"
#include "volume/engine.h"
#include "volume/fs/fs_dir.h"
#include "volume/medium/sparing.h"
#include "volume/medium/volume_sequence.h"

namespace korva {

bool AcceptEntryImplementation(const UDF_EntityID &) {
  // Entries other implementations wrote on volumes formatted here are read in every form
  // they record, and changed only after being rewritten in this library's form (or refused
  // with error 30), so they are taken on like our own.
  return true;
}

namespace fsck {

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

// The readers below still report through LastError; the failure is taken from there when
// it happens (a read that failed without a number is a read error).
bool Walker::Unreadable(const std::string &text, uint32_t block) {
  s_.ReadFailure = v_.LastError ? Status(v_.LastError) : Status(KORVA_E_READ);
  ScanFinding f;
  f.Kind = KORVA_FINDING_UNREADABLE;
  f.Block = block;
  f.Text = text;
  s_.Findings.push_back(f);
  return false;
}

bool Walker::ReadAbsolute(uint32_t sector, uint8_t *buf) {
  if (KeepInLastError(v_, ReadSector(v_, sector, buf))) return true;
  return Unreadable("sector " + std::to_string(sector) + " cannot be read");
}

// The anchors and descriptor sequences, through the reader the mount shares: a damaged copy
// the volume survives is reported, and repair writes it again from the good one.
bool Walker::ReadVolumeStructure() {
  const SequenceReading r = ReadVolumeSequence(v_);
  switch (r.Result) {
  case SequenceReading::Ok:
    break;
  case SequenceReading::ReadFailed:
    return Unreadable(r.Why);
  case SequenceReading::Foreign: {
    ScanFinding f;
    f.Kind = KORVA_FINDING_FOREIGN_VOLUME;
    f.Text = r.Why;
    s_.Findings.push_back(f);
    s_.Foreign = true;
    return false;
  }
  case SequenceReading::Damaged:
    return Structure(r.Why);
  }
  static_cast<VolumeGeometry &>(g_) = r.Geometry;
  fileSetBlock_ = g_.FileSetBlock;
  for (const SequenceViolation &bad : r.Violations) {
    ScanFinding f;
    f.Kind = KORVA_FINDING_DESCRIPTOR;
    f.Text = bad.Text;
    f.Action = Mend::WriteSectors;
    f.Source = bad.Sector;
    f.Count = bad.Count;
    f.Bytes = bad.Bytes;
    f.NewLength = bad.MediumSectors;
    s_.Findings.push_back(std::move(f));
  }
  return true;
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
  const SparingLayout l = SparingLayoutOf(g_);
  switch (LoadSparingMap(v_, l, !v_.Compatible)) {
  case SparingLoad::Ok: {
    SparingRewrite stale;
    if (!StaleSparingCopy(v_, l, stale)) return true;
    ScanFinding f;
    f.Kind = KORVA_FINDING_DESCRIPTOR;
    f.Text = std::string("the ") + (stale.Sector == l.Table1 ? "first" : "second") +
             " copy of the sparing table, at sector " + std::to_string(stale.Sector) +
             ", is damaged or out of date; it is written again from the other";
    f.Action = Mend::WriteSectors;
    f.Source = stale.Sector;
    f.Count = static_cast<uint32_t>(stale.Bytes.size() / kSectorSize);
    f.Bytes = std::move(stale.Bytes);
    s_.Findings.push_back(std::move(f));
    return true;
  }
  case SparingLoad::ReadFailed:
    return Unreadable("the sparing tables cannot be read");
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
  const uint32_t first = g_.PartitionStart + g_.BitmapBlock;
  if (!KeepInLastError(v_, ReadSectors(v_, first, sectors, buf.data(), good)))
    return Unreadable("the space bitmap cannot be read", g_.BitmapBlock + good);
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
  out.LinkCount = h.Head.FileLinkCount;
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
  if (directory) LeaveOutPastLength(list, out);
  out.Valid = true;
  return true;
}

namespace {

// What stays of a directory's descriptor list cut where its length ends: the extents up to
// the one holding the end, that one only as far as the length goes, and the extension
// blocks up to the one holding it.
class LengthCut {
public:
  LengthCut(const DescriptorList &list, uint64_t length) : list_(list) {
    uint64_t start = 0;
    size_t k = 0;
    while (k + 1 < list.Extents.size() && start + list.Extents[k].AD.Length() < length)
      start += list.Extents[k++].AD.Length();
    cut_ = &list.Extents[k];
    for (size_t i = 0; i <= k; ++i)
      kept_.insert({list.Extents[i].SlotBlock, list.Extents[i].SlotOffset});
    auto at = std::find(list.Extensions.begin(), list.Extensions.end(), cut_->SlotBlock);
    chainKept_.insert(list.Extensions.begin(),
                      at == list.Extensions.end() ? list.Extensions.begin() : at + 1);
    keepInCut_ = uint32_t((length - start + kBlockSize - 1) / kBlockSize);
  }

  // The blocks of one claimed range that stay.
  uint32_t Keep(const Range &r) const {
    if (r.Descriptor) {
      const bool extension =
          std::count(list_.Extensions.begin(), list_.Extensions.end(), r.First) != 0;
      const bool gone = extension && r.First != cut_->SlotBlock && !chainKept_.count(r.First);
      return gone ? 0 : r.Count;
    }
    if (!kept_.count({r.SlotBlock, r.SlotOffset})) return 0;
    const bool inCut = r.SlotBlock == cut_->SlotBlock && r.SlotOffset == cut_->SlotOffset;
    return inCut ? std::min(r.Count, keepInCut_) : r.Count;
  }

private:
  const DescriptorList &list_;
  const ADSlot *cut_ = nullptr;
  uint32_t keepInCut_ = 0;
  std::set<std::pair<uint32_t, uint16_t>> kept_;
  std::set<uint32_t> chainKept_;
};

} // namespace

// Whole blocks a directory's extents hold past its length (a writer killed while adding
// entries leaves them) hold nothing a reader sees: they are not claimed, and repair cuts the
// list where the length ends, as the engine's cut of a file does.
void Walker::LeaveOutPastLength(const DescriptorList &list, EntryVerdict &out) {
  const uint64_t length = out.Info.InformationLength;
  const uint64_t blocksOfLength = (length + kBlockSize - 1) / kBlockSize;
  if (list.Embedded() || length == 0 || list.Extents.empty() ||
      out.ExtentBytes < (blocksOfLength + 1) * kBlockSize)
    return;
  const LengthCut cut(list, length);
  std::vector<Range> ranges;
  for (Range r : out.Ranges) {
    const uint32_t kept = cut.Keep(r);
    out.BlocksPastLength += r.Count - kept;
    r.Count = kept;
    if (r.Count) ranges.push_back(r);
  }
  out.Ranges = std::move(ranges);
}

bool Walker::Run() {
  if (!ReadVolumeStructure()) return false;
  if (!ReadIntegrity() || !ReadSparing() || !ReadBitmap() || !ReadFileSet()) return false;
  return WalkTree();
}

} // namespace fsck

namespace {

using fsck::RunText;

// One finding for a run of blocks that disagree the same way (none for kind 0).
void AddBitmapRun(VolumeScan &scan, int32_t kind, uint32_t start, uint32_t end) {
  if (!kind) return;
  ScanFinding f;
  f.Kind = kind;
  f.Block = start;
  f.Text = RunText(start, end - start) +
           (kind == KORVA_FINDING_USED_MARKED_FREE
                ? (end - start == 1 ? " is" : " are") + std::string(" in use but marked free")
                : std::string(" marked used but unused"));
  scan.Findings.push_back(f);
}

// How block b's bitmap bit disagrees with the walk: in use but free, unused but not free,
// or not at all (0).
int32_t BitmapDisagreement(const VolumeScan &scan, const uint8_t *free, size_t bytes, uint32_t b) {
  const size_t i = b / 8;
  const bool used = scan.Used[i] & (1u << (b % 8));
  const bool isFree = i < bytes && (free[i] & (1u << (b % 8)));
  if (used && isFree) return KORVA_FINDING_USED_MARKED_FREE;
  return !used && !isFree ? KORVA_FINDING_LEAKED : 0;
}

// Appends one finding per run of blocks whose bitmap bit disagrees with the walk.
void CompareBitmap(VolumeScan &scan, const uint8_t *free, size_t bytes) {
  const uint32_t n = scan.Geometry.PartitionLength;
  const size_t need = std::min(size_t(SpaceBitmapBytes(n)), bytes);
  int32_t runKind = 0;
  uint32_t runStart = 0;
  for (uint32_t b = 0; b < n; ++b) {
    // Whole bytes that agree are passed over at once.
    const size_t i = b / 8;
    if (!runKind && b % 8 == 0 && b + 8 <= n && i < need &&
        uint8_t(scan.Used[i] ^ free[i]) == 0xFF) {
      b += 7;
      continue;
    }
    const int32_t kind = BitmapDisagreement(scan, free, bytes, b);
    if (kind != runKind) {
      AddBitmapRun(scan, runKind, runStart, b);
      runKind = kind;
      runStart = b;
    }
  }
  AddBitmapRun(scan, runKind, runStart, n);
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
  if (r.IntegrityType != itOpen && r.IntegrityType != itClose) {
    ScanFinding f;
    f.Kind = KORVA_FINDING_DESCRIPTOR;
    f.Text = "the integrity descriptor records type " + std::to_string(r.IntegrityType) +
             ", neither open nor closed";
    scan.Findings.push_back(f);
  }
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
  // The last ID recorded as the next one means every ID is used: the engine then refuses new
  // entries (it never wraps), so there is nothing repair could do better.
  if (r.NextUniqueID <= scan.MaxUniqueID && r.NextUniqueID != UINT64_MAX) {
    ScanFinding f;
    f.Kind = KORVA_FINDING_UNIQUE_ID;
    f.Text = "the next unique ID " + std::to_string(r.NextUniqueID) +
             " is not above the highest in use, " + std::to_string(scan.MaxUniqueID);
    scan.Findings.push_back(f);
  }
}

uint64_t RepairedNextUniqueID(const VolumeScan &scan) {
  if (scan.MaxUniqueID == UINT64_MAX) return UINT64_MAX;
  uint64_t next = std::max<uint64_t>(16, scan.MaxUniqueID + 1);
  if (scan.IntegrityValid) next = std::max(next, scan.Recorded.NextUniqueID);
  return next;
}

} // namespace korva
