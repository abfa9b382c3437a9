// Path resolution, growing directories, creating and removing directories.
#include <algorithm>
#include <cstring>
#include <functional>
#include <optional>
#include <vector>

#include "korva/files.h"
#include "udf/narrow.h"
#include "udf/unicode.h"
#include "volume/engine.h"
#include "volume/fs/fs_claims.h"
#include "volume/fs/fs_internal.h"
#include "volume/fs/fs_path.h"
#include "volume/fs/fs_records.h"
#include "volume/medium/partition_map.h"

namespace korva {

Status BeginFsOperation(TUDFRewritableVolume &v) {
  if (!RequireCompatible(v)) return StatusFromLastError(v);
  v.WrittenInOperation = 0;
  return Status::Ok();
}

Status LoadBlock(TUDFRewritableVolume &v, uint32_t block, uint8_t *buffer) {
  if (block >= v.PartitionLength) return ReadFailure(v);
  return ReadSector(v, v.PartitionStart + block, buffer);
}

Status StoreBlock(TUDFRewritableVolume &v, uint32_t block, const uint8_t *buffer,
                  WriteOrder order) {
  if (block >= v.PartitionLength) return ReadFailure(v);
  return WriteSector(v, v.PartitionStart + block, buffer, order);
}

bool ReadBlock(TUDFRewritableVolume &v, uint32_t block, uint8_t *buffer) {
  return KeepInLastError(v, LoadBlock(v, block, buffer));
}

bool WriteBlock(TUDFRewritableVolume &v, uint32_t block, const uint8_t *buffer, WriteOrder order) {
  return KeepInLastError(v, StoreBlock(v, block, buffer, order));
}

BlockReadFn ReaderOf(TUDFRewritableVolume &v) {
  return [&v](uint32_t block, uint8_t *buffer) {
    return KeepInLastError(v, LoadBlock(v, block, buffer));
  };
}

uint32_t RootBlock(const TUDFRewritableVolume &v) {
  return v.RootICBSector - v.PartitionStart;
}

Status TakeBlock(TUDFRewritableVolume &v, uint32_t hint, uint32_t &block) {
  uint32_t len = 0;
  if (Status s = TreeBlocksMarkedUsed(v); !s.IsOk()) return s;
  if (Status s = FindFreeRun(v, hint, 1, true, block, len); !s.IsOk() || len > 0) return s;
  // Metadata blocks are the lowest free ones; a hint past every free block starts over.
  if (hint != 0)
    if (Status s = FindFreeRun(v, 0, 1, true, block, len); !s.IsOk() || len > 0) return s;
  return KORVA_E_NO_SPACE;
}

bool BlockInUse(const TUDFRewritableVolume &v, uint32_t block) {
  if (block >= v.PartitionLength) return false;
  // Another writer's volume is only read, without its bitmap: what the tree names is used.
  if (!v.SpaceBitmap) return HasPartitionMap(v);
  return (v.SpaceBitmap[block / 8] & (1u << (block % 8))) == 0;
}

Status TakeUniqueID(TUDFRewritableVolume &v, uint64_t &id) {
  if (v.NextUniqueID == UINT64_MAX) return KORVA_E_NO_SPACE;
  id = v.NextUniqueID++;
  return Status::Ok();
}

Status CommitIntegrity(TUDFRewritableVolume &v, int64_t freeDelta, int fileDelta, int dirDelta,
                       uint64_t recordedNextID) {
  IntegrityCounts counts;
  const Status s = ChangeIntegrity(v, [&](UDF_LogicalVolumeIntegrityDescriptor &d) {
    counts = UpdateIntegrity(d, freeDelta, fileDelta, dirDelta,
                             recordedNextID ? recordedNextID : v.NextUniqueID);
  });
  if (!s.IsOk()) return s;
  v.FreeBlocks = counts.FreeBlocks;
  v.FileCount = counts.Files;
  v.DirCount = counts.Dirs;
  return Status::Ok();
}

namespace {

// Whether the entry's name is component. A stand-in in the component matches a backslash
// stored in the name, which a path could not carry otherwise.
bool NameIs(FidEntry &fid, std::u16string_view component) {
  if (fid.NameEquals(component)) return true;
  if (component.find(kBackslashStandIn) == std::u16string_view::npos) return false;
  const std::u16string &name = fid.DecodedName();
  if (name.size() != component.size()) return false;
  for (size_t i = 0; i < name.size(); ++i)
    if (name[i] != component[i] && !(component[i] == kBackslashStandIn && name[i] == u'\\'))
      return false;
  return true;
}

bool Matches(FidEntry &fid, bool skip, bool includeHidden, bool includeDeleted,
             FileSystemObjectType kind, std::u16string_view component, NameMatch mode) {
  if (skip) return false;
  const uint8_t c = fid.Characteristics;
  if ((c & kFidHidden) && !includeHidden) return false;
  if ((c & kFidDeleted) && !includeDeleted) return false;
  if (c & kFidParent) return false;
  switch (kind) {
  case IsDirectory:
    if (!(c & kFidDirectory)) return false;
    break;
  case IsFile:
    if (c & kFidDirectory) return false;
    break;
  case IsDirectoryOrFile:
    break;
  }
  if (mode == NameMatch::Exact) return NameIs(fid, component);
  if (component == u"*") return true;
  if (component.find_first_of(u"*?") != std::u16string_view::npos) return false;
  return NameIs(fid, component);
}

void StoreResult(DirectoryStream &dir, const FidEntry &fid, DirectoryInformation &di) {
  di.DirOffset = fid.Offset;
  di.FIDLength = fid.Length;
  di.EntryICB = fid.ICBBlock;
  di.Characteristics = fid.Characteristics;
  size_t n = std::min<size_t>(fid.Name.size(), 256);
  std::memcpy(di.Name, fid.Name.data(), n * sizeof(char16_t));
  di.Name[n] = 0;
  DirectoryStream::Place start;
  // Entries embedded in the directory's file entry have no descriptor to record.
  const bool embedded = dir.List().Embedded();
  if (embedded && dir.Locate(fid.Offset, start)) {
    di.ADBlock = start.Block;
    di.ADOffset = start.Offset;
    di.AD = {};
    di.BlockOffset = start.Offset;
  } else if (dir.Locate(fid.Offset, start)) {
    const ADSlot &s = dir.List().Extents[start.Extent];
    di.ADBlock = s.SlotBlock;
    di.ADOffset = s.SlotOffset;
    di.AD = s.AD;
    di.BlockOffset = start.Offset;
  }
  di.HasResult = true;
}

enum class IndexHint { Scan, At, Absent };

// Where a scan for the live entry named `name` starts: straight at it by the directory's
// name index (At), nowhere because no live entry has that name (Absent), or at the start
// (Scan, when there is no index or it disagrees with the medium). Walking a directory of n
// entries by name then costs O(n) reads, not O(n^2).
Status IndexedStart(TUDFRewritableVolume &v, DirectoryStream &dir, std::u16string_view name,
                    uint64_t &offset, IndexHint &hint) {
  hint = IndexHint::Scan;
  offset = 0;
  // The index holds names as stored; a stand-in for a stored backslash is matched by a scan.
  if (name.find(kBackslashStandIn) != std::u16string_view::npos) return Status::Ok();
  const DirectoryNames *names = nullptr;
  if (Status s = IndexedNames(v, dir.FEBlock(), dir.Entry(), names); !s.IsOk() || !names) return s;
  auto at = names->Live.find(std::u16string(name));
  if (at == names->Live.end()) {
    hint = IndexHint::Absent;
    return Status::Ok();
  }
  FidEntry fid;
  const DirectoryStream::Status st = dir.ReadFid(at->second, fid, false);
  if (st == DirectoryStream::IoError) return StatusFromLastError(v);
  if (st == DirectoryStream::Ok && fid.NameEquals(name)) {
    hint = IndexHint::At;
    offset = at->second;
  }
  return Status::Ok();
}

void ResetScan(DirectoryInformation &di) {
  di.DirSize = 0;
  di.ADBlock = di.DirICB;
  di.ADOffset = kFEFirstSlot;
  di.AD = {};
  di.BlockOffset = 0;
  di.DirOffset = 0;
  di.FIDLength = 0;
  di.EntryICB = 0;
  di.Characteristics = 0;
  di.Name[0] = 0;
  di.HasResult = false;
}

// The scan reached the end of a directory of size bytes without a match.
Status EndWithoutMatch(uint64_t size, DirectoryInformation &di) {
  di.DirOffset = size;
  di.HasResult = false;
  return Status::Ok();
}

} // namespace

// Followed, walkers would never end and a removal would reach outside the tree it was
// given; the kernel answers ELOOP for such a directory.
Status LeadsBackUp(const std::vector<uint32_t> &above, uint32_t block) {
  if (std::find(above.begin(), above.end(), block) == above.end()) return Status::Ok();
  return KORVA_E_LOOP;
}

namespace {

// How the scan of one directory for one path component ended.
enum class Scan { Failed, NoMatch, Matched };

// Reads a directory's entries from `offset` until one matches `part` and passes the full
// check, CRC included; `offset` stays at it. The first entry looked at is passed over when
// `skip` says it was found already.
Scan ScanComponent(DirectoryStream &dir, uint64_t &offset, FidEntry &fid, bool &skip,
                   const LocateOptions &options, bool last, const std::u16string &part) {
  for (;;) {
    DirectoryStream::Status st = dir.ReadFid(offset, fid, false);
    if (st == DirectoryStream::IoError) return Scan::Failed;
    if (st == DirectoryStream::End) return Scan::NoMatch;
    // Only the last component can be a pattern; the directories above it are named
    // exactly, so a directory called "*" is that directory and no other.
    const bool m = Matches(fid, skip, options.IncludeHidden, options.IncludeDeleted,
                           last ? options.Kind : IsDirectory, part,
                           last ? options.LastMatch : NameMatch::Exact);
    skip = false;
    if (!m) {
      offset += fid.Length;
      continue;
    }
    st = dir.ReadFid(offset, fid, true);
    if (st == DirectoryStream::IoError) return Scan::Failed;
    return st == DirectoryStream::End ? Scan::NoMatch : Scan::Matched;
  }
}

// The last component matched: the result. A listing shows the name; looking it up is what
// fails when it leads back up the path.
Status TakeResult(DirectoryStream &dir, const FidEntry &fid, bool exact,
                  std::vector<uint32_t> &above, const LocateOptions &options,
                  DirectoryInformation &di, bool &found) {
  if (exact && (fid.Characteristics & kFidDirectory)) {
    if (Status s = LeadsBackUp(above, fid.ICBBlock); !s.IsOk()) return s;
    if (options.Above) {
      *options.Above = std::move(above);
      options.Above->push_back(fid.ICBBlock);
    }
  }
  StoreResult(dir, fid, di);
  found = true;
  return Status::Ok();
}

// Whether a path component names one entry: the last one when the lookup wants that, or one
// without wildcards.
bool IsExact(const LocateOptions &options, bool last, const std::u16string &part) {
  return (last && options.LastMatch == NameMatch::Exact) ||
         part.find_first_of(u"*?") == std::u16string::npos;
}

// Where the scan for an exact name starts: at the entry the index points to, unless the
// lookup resumes or counts deleted entries. `absent` when the index knows there is none.
Status StartOffset(TUDFRewritableVolume &v, DirectoryStream &dir, const std::u16string &part,
                   bool useIndex, uint64_t &offset, bool &absent) {
  absent = false;
  if (!useIndex) return Status::Ok();
  IndexHint hint = IndexHint::Scan;
  if (Status s = IndexedStart(v, dir, part, offset, hint); !s.IsOk()) return s;
  absent = hint == IndexHint::Absent;
  return Status::Ok();
}

} // namespace

Status LocatePath(TUDFRewritableVolume &v, std::u16string_view path, DirectoryInformation &di,
                  bool &found, const LocateOptions &options) {
  const bool resume = options.Resume;
  found = false;
  if (!resume) ResetScan(di);
  std::vector<std::u16string> parts = SplitPath(path);
  if (parts.empty()) {
    found = true;
    return Status::Ok();
  }
  DirectoryStream dir(ReaderOf(v), BlockSpaceOf(v));
  bool skip = options.SkipFirst;
  uint64_t offset = resume ? di.DirOffset : 0;
  std::vector<uint32_t> above{di.DirICB}; // the directories the path went through
  for (size_t i = 0; i < parts.size(); ++i) {
    const bool last = i + 1 == parts.size();
    const DirectoryStream::Status st = dir.Open(di.DirICB);
    if (st == DirectoryStream::IoError) return StatusFromLastError(v);
    if (st == DirectoryStream::End) return Status::Ok();
    di.DirSize = dir.Size();
    const bool exact = IsExact(options, last, parts[i]);
    bool absent = false;
    if (Status s = StartOffset(v, dir, parts[i], !resume && !options.IncludeDeleted && exact,
                               offset, absent);
        !s.IsOk())
      return s;
    FidEntry fid;
    const Scan scan =
        absent ? Scan::NoMatch : ScanComponent(dir, offset, fid, skip, options, last, parts[i]);
    if (scan == Scan::Failed) return StatusFromLastError(v);
    if (scan == Scan::NoMatch) return EndWithoutMatch(dir.Size(), di);
    if (last) return TakeResult(dir, fid, exact, above, options, di, found);
    // Any other component is the directory the next one is looked up in.
    if (Status s = LeadsBackUp(above, fid.ICBBlock); !s.IsOk()) return s;
    above.push_back(fid.ICBBlock);
    ResetScan(di);
    di.DirICB = fid.ICBBlock;
    di.ADBlock = fid.ICBBlock;
    offset = 0;
  }
  return Status::Ok();
}

Status ResolveParent(TUDFRewritableVolume &v, std::u16string_view parent, bool hasParent,
                     uint32_t &dirBlock, std::vector<uint32_t> *above) {
  dirBlock = RootBlock(v);
  if (above) *above = {dirBlock};
  if (!hasParent) return Status::Ok();
  switch (ClassifyParent(parent)) {
  case ParentKind::Root:
    return Status::Ok();
  case ParentKind::Invalid:
    return KORVA_E_PARENT_NOT_REACHABLE;
  case ParentKind::Components:
    break;
  }
  DirectoryInformation di;
  di.DirICB = RootBlock(v);
  bool found = false;
  if (Status s = LocatePath(v, parent, di, found,
                            {.Kind = IsDirectory, .LastMatch = NameMatch::Exact, .Above = above});
      !s.IsOk())
    return s;
  if (!found) return KORVA_E_PARENT_NOT_REACHABLE;
  dirBlock = di.EntryICB;
  return Status::Ok();
}

namespace {

// Where the new identifier goes: into the last data block, across its end, or into a new
// block, and which slot of the list changes.
void PlanSlots(const DescriptorList &list, AppendPlan &plan) {
  const uint32_t L = list.Extents.empty() ? 0 : list.Extents.back().AD.Length();
  if (L % kBlockSize == 0) {
    plan.NewBlock = true;
    plan.SlotBlock = list.EndBlock;
    plan.SlotOffset = list.EndOffset;
    plan.Extension = list.EndOffset == kLastSlot;
    return;
  }
  const ADSlot &last = list.Extents.back();
  plan.SlotBlock = last.SlotBlock;
  plan.SlotOffset = last.SlotOffset;
  plan.LastAD = last.AD;
  plan.LastDataBlock = last.AD.Block + L / kBlockSize;
  plan.UsedInLast = L % kBlockSize;
  if (plan.UsedInLast + plan.FidLength > kBlockSize) {
    plan.Split = true;
    plan.NewBlock = true;
    plan.Extension = last.SlotOffset + 8 == kLastSlot;
  }
}

// A list that ends in an extension block is copied on change; the old chain is freed
// afterwards, so no other entry may claim it. The change must lie in the chain's last block,
// as in every list this engine writes.
Status PlanChainCopy(TUDFRewritableVolume &v, const DescriptorList &list, AppendPlan &plan) {
  if (plan.ListInEntry()) return Status::Ok();
  if (list.Extensions.empty() || plan.SlotBlock != list.Extensions.back())
    return KORVA_E_UNSUPPORTED;
  plan.Chain = list.Extensions;
  std::vector<BlockRun> runs;
  for (uint32_t b : plan.Chain)
    runs.push_back({b, 1});
  return ClaimedOnlyOnce(v, runs);
}

// Points the continuation descriptor of a list block (file entry or extension) that names
// `from` at `to`. False when the block holds no such descriptor.
bool RepointContinuation(uint8_t *block, uint32_t from, uint32_t to) {
  const std::optional<DescriptorArea> area = DescriptorAreaOf(block, kBlockSize);
  if (!area) return false;
  for (uint32_t o = area->First; o + kShortADBytes <= area->First + area->Length;
       o += kShortADBytes) {
    ShortADValue ad = LoadADAt(block + o);
    if (ad.Type() == kExtentTypeContinuation && ad.Block == from) {
      ad.Block = to;
      StoreAD(block + o, ad);
      return true;
    }
  }
  return false;
}

// Writes the copy of the extension chain, its last block (already changed, in `last`) first
// and each earlier one pointing at the copy of the next, so that every block is on the
// medium before anything points at it. The old chain stays as it was.
Status WriteChainCopy(TUDFRewritableVolume &v, const AppendPlan &plan, uint8_t *last) {
  uint8_t sector[kBlockSize];
  for (size_t i = plan.Chain.size(); i-- > 0;) {
    uint8_t *block = last;
    if (i + 1 < plan.Chain.size()) {
      block = sector;
      if (Status s = LoadBlock(v, plan.Chain[i], block); !s.IsOk()) return s;
      if (!RepointContinuation(block, plan.Chain[i + 1], plan.NewChain[i + 1]))
        return ReadFailure(v);
    }
    RefillListBlockTag(block, plan.NewChain[i], false);
    if (Status s = StoreBlock(v, plan.NewChain[i], block); !s.IsOk()) return s;
  }
  return Status::Ok();
}

} // namespace

namespace {

// The pieces in which `n` bytes from directory offset `at` lie in recorded extents of the
// list. False when they do not all lie in them.
bool PiecesAt(const DescriptorList &list, uint64_t at, uint32_t n,
              std::vector<AppendPlan::Piece> &pieces) {
  pieces.clear();
  uint64_t start = 0;
  for (const ADSlot &s : list.Extents) {
    const uint64_t end = start + s.AD.Length();
    while (n > 0 && at >= start && at < end) {
      if (s.AD.Type() != kExtentRecorded) return false;
      const uint64_t in = at - start;
      const uint32_t off = uint32_t(in % kBlockSize);
      const uint32_t bytes = uint32_t(std::min<uint64_t>({n, kBlockSize - off, end - at}));
      pieces.push_back({s.AD.Block + uint32_t(in / kBlockSize), uint16_t(off), uint16_t(bytes)});
      at += bytes;
      n -= bytes;
    }
    start = end;
  }
  return n == 0;
}

// Reads a directory's file entry and descriptor list as they are on the medium. False with
// error 32 when the list is damaged or holds less than the directory's length.
Status ReadDirectoryList(TUDFRewritableVolume &v, uint32_t block, EntryFields &info,
                         DescriptorList &list) {
  uint8_t fe[kBlockSize];
  if (Status s = LoadBlock(v, block, fe); !s.IsOk()) return s;
  if (!ReadEntryFields(fe, block, info) || info.FileType != kFileTypeDirectory)
    return ReadFailure(v);
  if (!ReadDescriptorList(ReaderOf(v), BlockSpaceOf(v), block, fe, list))
    return StatusFromLastError(v);
  if (list.Corrupt || (!list.Embedded() && list.TotalBytes() < info.InformationLength))
    return KORVA_E_DAMAGED;
  return Status::Ok();
}

// Whether the directory's entries end exactly at its length: a length that cuts an entry is
// damage, not room. False with error 32 when they do not, or with a read error.
Status EntriesEndAtLength(TUDFRewritableVolume &v, uint32_t dirBlock) {
  DirectoryStream dir(ReaderOf(v), v.PartitionLength);
  if (dir.Open(dirBlock) != DirectoryStream::Ok) return ReadFailure(v);
  uint64_t at = 0;
  FidEntry fid;
  DirectoryStream::Status s = DirectoryStream::Ok;
  while (at < dir.Size() && (s = dir.ReadFid(at, fid, false)) == DirectoryStream::Ok)
    at += fid.Length;
  if (s == DirectoryStream::IoError) return StatusFromLastError(v);
  if (at == dir.Size() && at == dir.Entry().InformationLength) return Status::Ok();
  return KORVA_E_DAMAGED;
}

// Plans an append after extents that run `room` bytes past the directory's length, too
// little for the entry: the last extent is cut back to the length and the entry continues
// there, so the room must lie in that extent and end it inside a block, and the entries
// must end where the length does.
Status PlanAfterRoom(TUDFRewritableVolume &v, DescriptorList list, uint64_t room,
                     AppendPlan &plan) {
  if (Status s = EntriesEndAtLength(v, plan.ParentBlock); !s.IsOk()) return s;
  ShortADValue &last = list.Extents.back().AD;
  const uint32_t keep = last.Length() > room ? uint32_t(last.Length() - room) : 0;
  if (keep == 0 || keep % kBlockSize == 0) return KORVA_E_UNSUPPORTED;
  last.LengthWord = (last.LengthWord & 0xC0000000u) | keep;
  PlanSlots(list, plan);
  return Status::Ok();
}

} // namespace

Status PlanEntryAppend(TUDFRewritableVolume &v, uint32_t parentBlock, std::u16string_view name,
                       AppendPlan &plan) {
  plan = AppendPlan();
  plan.ParentBlock = parentBlock;
  plan.FidLength = FidLength(static_cast<uint32_t>(CompressedNameLength(name.size(), name.data())));
  EntryFields info;
  DescriptorList list;
  // Everything that can refuse the append is checked on the list as recorded, before the
  // list changes form.
  if (Status s = ReadDirectoryList(v, parentBlock, info, list); !s.IsOk()) return s;
  const uint64_t total = list.Embedded() ? info.InformationLength : list.TotalBytes();
  if (total >= info.InformationLength + plan.FidLength &&
      PiecesAt(list, info.InformationLength, plan.FidLength, plan.InRoom))
    return EntriesEndAtLength(v, parentBlock);
  plan.InRoom.clear();
  // A directory another writer embedded or described with long descriptors takes the form
  // this engine appends to first.
  if (Status s = MakeShortForm(v, parentBlock); !s.IsOk()) return s;
  if (Status s = ReadDirectoryList(v, parentBlock, info, list); !s.IsOk()) return s;
  // Every slot taken and no continuation: not a list this engine writes.
  if (list.EndOffset > kLastSlot) return KORVA_E_UNSUPPORTED;
  const uint64_t room = list.TotalBytes() - info.InformationLength;
  if (room == 0) {
    PlanSlots(list, plan);
  } else if (Status s = PlanAfterRoom(v, list, room, plan); !s.IsOk()) {
    return s;
  }
  return PlanChainCopy(v, list, plan);
}

Status PlanAppendWithRoom(TUDFRewritableVolume &v, uint32_t parentBlock,
                          std::u16string_view name, uint64_t ownBlocks, AppendPlan &plan) {
  if (Status s = PlanEntryAppend(v, parentBlock, name, plan); !s.IsOk()) return s;
  if (v.FreeBlocks < ownBlocks + plan.BlocksNeeded()) return KORVA_E_NO_SPACE;
  return Status::Ok();
}

Status TakeAppendBlocks(TUDFRewritableVolume &v, AppendPlan &plan, uint32_t hint) {
  if (plan.BlocksTaken) return Status::Ok();
  if (plan.NewBlock) {
    if (Status s = TakeBlock(v, hint, plan.NewBlockNo); !s.IsOk()) return s;
  }
  if (plan.Extension) {
    if (Status s = TakeBlock(v, plan.NewBlockNo + 1, plan.ExtBlockNo); !s.IsOk()) return s;
  }
  plan.NewChain.clear();
  for (size_t i = 0; !plan.ListInEntry() && i < plan.Chain.size(); ++i) {
    uint32_t block = 0;
    if (Status s = TakeBlock(v, hint, block); !s.IsOk()) return s;
    plan.NewChain.push_back(block);
  }
  plan.BlocksTaken = true;
  return Status::Ok();
}

namespace {

// Reads a directory's file entry and its fields.
Status ReadParentEntry(TUDFRewritableVolume &v, uint32_t block, uint8_t *fe, EntryFields &info) {
  if (Status s = LoadBlock(v, block, fe); !s.IsOk()) return s;
  if (!ReadEntryFields(fe, block, info)) return ReadFailure(v);
  return Status::Ok();
}

// The directory's entry records a length that takes in `grow` more bytes, and a new
// subdirectory's link to it.
Status GrowDirectoryEntry(TUDFRewritableVolume &v, uint32_t block, uint32_t grow,
                          bool isDirectory, uint64_t &oldLength) {
  uint8_t fe[kBlockSize];
  EntryFields info;
  if (Status s = ReadParentEntry(v, block, fe, info); !s.IsOk()) return s;
  oldLength = info.InformationLength;
  UpdateFileEntry(fe, block, oldLength + grow, info.BlocksRecorded, isDirectory ? 1 : 0, true);
  return StoreBlock(v, block, fe);
}

// Writes the new entry into extents the directory holds past its length; then the length
// takes it in. Before that no reader looks there.
Status AppendInRoom(TUDFRewritableVolume &v, const AppendPlan &plan, uint8_t characteristics,
                    uint32_t entryBlock, std::u16string_view name, bool isDirectory) {
  NameIndexUpdate names(v, plan.ParentBlock);
  uint8_t fid[FidLength(255)];
  BuildFid(fid, characteristics, entryBlock, name, plan.InRoom.front().Block);
  uint32_t done = 0;
  uint8_t sector[kBlockSize];
  for (const AppendPlan::Piece &p : plan.InRoom) {
    if (Status s = LoadBlock(v, p.Block, sector); !s.IsOk()) return s;
    std::memcpy(sector + p.Offset, fid + done, p.Bytes);
    if (Status s = StoreBlock(v, p.Block, sector, WriteOrder::Loose); !s.IsOk()) return s;
    done += p.Bytes;
  }
  uint64_t oldLength = 0;
  if (Status s = GrowDirectoryEntry(v, plan.ParentBlock, plan.FidLength, isDirectory, oldLength);
      !s.IsOk())
    return s;
  names.Added(name, oldLength, oldLength + plan.FidLength);
  return Status::Ok();
}

// Writes the FID's bytes that go into blocks nothing refers to yet: the new block, the part
// past the recorded length of the last block (the first `first` bytes), and the extension
// block that describes the new one.
Status WriteFidBytes(TUDFRewritableVolume &v, const AppendPlan &plan, const uint8_t *fid,
                     uint32_t first, bool inPlace) {
  const uint32_t n = plan.FidLength;
  uint8_t sector[kBlockSize];
  if (plan.NewBlock) {
    std::memset(sector, 0, sizeof sector);
    std::memcpy(sector, fid + first, n - first);
    if (Status s = StoreBlock(v, plan.NewBlockNo, sector); !s.IsOk()) return s;
  }
  if (inPlace) {
    if (Status s = LoadBlock(v, plan.LastDataBlock, sector); !s.IsOk()) return s;
    std::memcpy(sector + plan.UsedInLast, fid, first);
    // Past the recorded length: nothing refers to it until the parent's entry is written.
    if (Status s = StoreBlock(v, plan.LastDataBlock, sector, WriteOrder::Loose); !s.IsOk())
      return s;
  }
  // The descriptor list: the new block goes into the next slot, or into a new extension.
  if (!plan.Extension) return Status::Ok();
  BuildAllocationExtent(sector, plan.ExtBlockNo);
  AppendListAD(sector, kAEDFirstSlot, {n - first, plan.NewBlockNo});
  RefillListBlockTag(sector, plan.ExtBlockNo, false);
  return StoreBlock(v, plan.ExtBlockNo, sector);
}

// Changes the list block in memory: the last extent takes the FID's first bytes, and the
// new block gets a descriptor, or the extension that holds it one.
void ExtendDirectoryList(uint8_t *listBlock, const AppendPlan &plan, uint32_t first,
                         bool inPlace) {
  if (inPlace) {
    ShortADValue ad = plan.LastAD;
    ad.LengthWord += first;
    StoreAD(listBlock + plan.SlotOffset, ad);
  }
  if (!plan.NewBlock) return;
  if (plan.Extension) {
    AppendListAD(listBlock, kLastSlot,
                 {(kExtentTypeContinuation << 30) | kBlockSize, plan.ExtBlockNo});
    return;
  }
  const uint16_t slot = plan.Split ? plan.SlotOffset + 8 : plan.SlotOffset;
  AppendListAD(listBlock, slot, {plan.FidLength - first, plan.NewBlockNo});
}

// A list continued in extension blocks changes in a copy of the chain; the file entry's one
// write then points at the copy and records the new length, so a failure before it leaves
// the directory as it was.
Status PointAtChainCopy(TUDFRewritableVolume &v, const AppendPlan &plan, uint8_t *fe,
                        uint8_t *aed) {
  if (Status s = WriteChainCopy(v, plan, aed); !s.IsOk()) return s;
  if (!RepointContinuation(fe, plan.Chain[0], plan.NewChain[0])) return ReadFailure(v);
  return Status::Ok();
}

// The parent's entry records the new length, and its list the new bytes; a list continued in
// extension blocks then points at the copy of its chain and the old chain is freed.
Status UpdateParent(TUDFRewritableVolume &v, const AppendPlan &plan, uint32_t first,
                    bool inPlace, bool isDirectory, NameIndexUpdate &names,
                    std::u16string_view name) {
  // The parent's entry, read before its descriptor list (which it may hold) changes.
  uint8_t fe[kBlockSize];
  EntryFields info;
  if (Status s = ReadParentEntry(v, plan.ParentBlock, fe, info); !s.IsOk()) return s;
  const bool listInFE = plan.ListInEntry();
  uint8_t aed[kBlockSize];
  if (!listInFE) {
    if (Status s = LoadBlock(v, plan.SlotBlock, aed); !s.IsOk()) return s;
  }
  ExtendDirectoryList(listInFE ? fe : aed, plan, first, inPlace);
  if (!listInFE) {
    if (Status s = PointAtChainCopy(v, plan, fe, aed); !s.IsOk()) return s;
  }
  const uint32_t n = plan.FidLength;
  UpdateFileEntry(fe, plan.ParentBlock, info.InformationLength + n,
                  info.BlocksRecorded + (plan.NewBlock ? 1 : 0), isDirectory ? 1 : 0, true);
  if (Status s = StoreBlock(v, plan.ParentBlock, fe); !s.IsOk()) return s;
  names.Added(name, info.InformationLength, info.InformationLength + n);
  for (size_t i = 0; !listInFE && i < plan.Chain.size(); ++i)
    MarkRun(v, plan.Chain[i], 1, false);
  return Status::Ok();
}

} // namespace

Status AppendDirectoryEntry(TUDFRewritableVolume &v, const AppendPlan &planned,
                            uint8_t characteristics, uint32_t entryBlock,
                            std::u16string_view name, uint32_t hint, bool isDirectory) {
  if (!planned.InRoom.empty())
    return AppendInRoom(v, planned, characteristics, entryBlock, name, isDirectory);
  NameIndexUpdate names(v, planned.ParentBlock);
  AppendPlan plan = planned;
  if (Status s = TakeAppendBlocks(v, plan, hint); !s.IsOk()) return s;
  // The FID, its tag located at the block where it starts; its first `first` bytes go into
  // the last block.
  uint8_t fid[FidLength(255)];
  const bool inPlace = !plan.NewBlock || plan.Split;
  BuildFid(fid, characteristics, entryBlock, name,
           inPlace ? plan.LastDataBlock : plan.NewBlockNo);
  uint32_t first = inPlace ? plan.FidLength : 0;
  if (plan.Split) first = kBlockSize - plan.UsedInLast;
  if (Status s = WriteFidBytes(v, plan, fid, first, inPlace); !s.IsOk()) return s;
  return UpdateParent(v, plan, first, inPlace, isDirectory, names, name);
}

namespace {
// Frees, in memory, the blocks of an entry no name refers to any more. When its entry or
// list cannot be read the blocks stay taken (repair gives them back): a read failure, or 32
// for an entry that is no longer one.
Status FreeOrphan(TUDFRewritableVolume &v, uint32_t entry, int64_t &freed) {
  uint8_t fe[kBlockSize];
  EntryFields info;
  DescriptorList list;
  if (Status s = LoadBlock(v, entry, fe); !s.IsOk()) return s;
  if (!ReadEntryFields(fe, entry, info)) return KORVA_E_DAMAGED;
  if (!ReadDescriptorList(ReaderOf(v), BlockSpaceOf(v), entry, fe, list))
    return StatusFromLastError(v);
  if (list.Corrupt) return KORVA_E_DAMAGED;
  freed += FreeEntryBlocks(v, entry, list, false);
  return Status::Ok();
}
} // namespace

Status ReleaseOrphanIfClosed(TUDFRewritableVolume &v, uint32_t feBlock) {
  OpenFileList *files = OpenFilesOf(v);
  if (!files || !files->Orphans.count(feBlock) || files->IsOpen(feBlock)) return Status::Ok();
  files->Orphans.erase(feBlock);
  if (Status s = BeginFsOperation(v); !s.IsOk()) return s;
  if (Status s = CheckWritable(v); !s.IsOk()) return s;
  int64_t freed = 0;
  if (Status s = FreeOrphan(v, feBlock, freed); !s.IsOk()) return s;
  return CommitIntegrity(v, freed, 0, 0);
}

// Entries that lost a name while recording others and that no name reaches any more (their
// link count was too high) are freed like orphans, and stop counting as files.
void ReleaseUnnamed(TUDFRewritableVolume &v, OpenFileList &files) {
  if (files.MaybeUnnamed.empty()) return;
  std::vector<uint32_t> unnamed;
  const bool walked = UnnamedEntries(v, files.MaybeUnnamed, unnamed).IsOk();
  files.MaybeUnnamed.clear();
  if (!walked || unnamed.empty()) return;
  int64_t freed = 0;
  int count = 0;
  for (uint32_t entry : unnamed)
    if (!files.IsOpen(entry) && FreeOrphan(v, entry, freed).IsOk()) ++count;
  // Best effort at the end of an operation: a failure stays in LastError as the old way did.
  KeepInLastError(v, CommitIntegrity(v, freed, -count, 0));
}

void ReleaseOrphans(TUDFRewritableVolume &v) {
  OpenFileList *files = OpenFilesOf(v);
  if (!files) return;
  ReleaseUnnamed(v, *files);
  int64_t freed = 0;
  // At the dismount an orphan that cannot be freed keeps its blocks until repair.
  for (uint32_t entry : files->Orphans)
    (void)FreeOrphan(v, entry, freed);
  files->Orphans.clear();
}

void InvalidateHandlesOn(TUDFRewritableVolume &v, uint32_t feBlock) {
  if (OpenFileList *files = OpenFilesOf(v))
    files->ForEach([feBlock](OpenFileInformation &f) {
      if (f.FEBlock == feBlock) f.Invalidated = true;
    });
}

bool WidenArgument(TUDFRewritableVolume &v, const char *s, std::u16string &out) {
  out.clear();
  if (!s) return true;
  if (!NarrowToUtf16(s, std::strlen(s), out)) {
    SetError(v, KORVA_E_INVALID_NAME);
    return false;
  }
  return true;
}

bool WidenArguments(TUDFRewritableVolume &v, std::initializer_list<const char *> args,
                    std::u16string *out) {
  if (!RequireCompatible(v)) return false;
  for (const char *a : args)
    if (!a) {
      SetError(v, KORVA_E_INVALID_PARAMETER);
      return false;
    }
  for (const char *a : args)
    if (!WidenArgument(v, a, *out++)) return false;
  return true;
}

void FreeRun(TUDFRewritableVolume &v, uint32_t first, uint64_t count, int64_t &freed) {
  for (uint64_t i = 0; i < count && first + i < v.PartitionLength; ++i) {
    const uint32_t b = static_cast<uint32_t>(first + i);
    if (BlockInUse(v, b)) {
      MarkRun(v, b, 1, false);
      ++freed;
    }
  }
}

namespace {

// Whether a directory holds any live entry besides its parent entry. False on a read error.
bool DirectoryHasEntries(TUDFRewritableVolume &v, uint32_t dirBlock, bool &hasEntries) {
  hasEntries = false;
  // The scan stops at the first live entry; only a read failure ends it without one.
  const bool readThrough =
      ForEachLiveEntry(ReaderOf(v), BlockSpaceOf(v), dirBlock, [&](FidEntry &, uint64_t) {
        hasEntries = true;
        return false;
      });
  return readThrough || hasEntries;
}

uint64_t BlocksOf(const ShortADValue &ad) {
  return (uint64_t(ad.Length()) + kBlockSize - 1) / kBlockSize;
}

// Whether a delete may free these blocks. On a damaged volume an entry can claim blocks that
// belong to something else; freeing them would let the next write destroy it. So every
// block must lie in the partition, be marked used, be claimed once by the entry, and be none
// of the volume's own structures nor the parent directory's (other entries' claims are
// ClaimedOnlyOnce's to find).
bool SafeToFree(const TUDFRewritableVolume &v, std::vector<BlockRun> runs,
                std::vector<BlockRun> forbidden) {
  forbidden.push_back({v.SpaceBitmapSector - v.PartitionStart, v.SpaceBitmapBlocks});
  forbidden.push_back({v.FileSetSector - v.PartitionStart, 1});
  forbidden.push_back({RootBlock(v), 1});
  std::sort(runs.begin(), runs.end(),
            [](const BlockRun &a, const BlockRun &b) { return a.First < b.First; });
  for (size_t i = 0; i < runs.size(); ++i) {
    const BlockRun &r = runs[i];
    if (r.First + r.Count > v.PartitionLength) return false;
    if (i > 0 && runs[i - 1].Overlaps(r)) return false;
    for (const BlockRun &f : forbidden)
      if (r.Overlaps(f)) return false;
    for (uint64_t b = r.First; b < r.First + r.Count; ++b)
      if (!BlockInUse(v, static_cast<uint32_t>(b))) return false;
  }
  return true;
}

// Frees the blocks of a run that are in use; the count says how many changed.
void FreeRuns(TUDFRewritableVolume &v, const std::vector<BlockRun> &runs, int64_t &freed) {
  for (const BlockRun &r : runs)
    FreeRun(v, static_cast<uint32_t>(r.First), r.Count, freed);
}

} // namespace

// The blocks an entry holds: its file entry, descriptor extensions and allocated extents.
std::vector<BlockRun> HeldBlocks(uint32_t feBlock, const DescriptorList &list) {
  std::vector<BlockRun> runs{{feBlock, 1}};
  for (const ADSlot &s : list.Extents)
    if (s.AD.Type() != kExtentNotAllocated) runs.push_back({s.AD.Block, BlocksOf(s.AD)});
  for (uint32_t b : list.Extensions)
    runs.push_back({b, 1});
  return runs;
}

Status MayFreeEntryBlocks(TUDFRewritableVolume &v, uint32_t entry, const DescriptorList &list,
                          std::optional<uint32_t> parentDir) {
  std::vector<BlockRun> forbidden;
  if (parentDir) {
    DirectoryStream dir(ReaderOf(v), BlockSpaceOf(v));
    if (dir.Open(*parentDir) != DirectoryStream::Ok) return ReadFailure(v);
    if (dir.List().Corrupt) return KORVA_E_DAMAGED;
    forbidden = HeldBlocks(*parentDir, dir.List());
  }
  // The file entry is checked even where it is kept: a second directory entry leading to it
  // would see its replacement as well.
  const std::vector<BlockRun> held = HeldBlocks(entry, list);
  if (list.Corrupt || !SafeToFree(v, held, std::move(forbidden))) return KORVA_E_DAMAGED;
  return ClaimedOnlyOnce(v, held);
}

int64_t FreeEntryBlocks(TUDFRewritableVolume &v, uint32_t entry, const DescriptorList &list,
                        bool keepEntry) {
  std::vector<BlockRun> runs = HeldBlocks(entry, list);
  if (keepEntry) runs.erase(runs.begin()); // the file entry's own run comes first
  // An entry freed is no longer one the dismount looks for: its block may be anything next.
  if (OpenFileList *files = OpenFilesOf(v); files && !keepEntry) files->MaybeUnnamed.erase(entry);
  int64_t freed = 0;
  FreeRuns(v, runs, freed);
  return freed;
}

namespace {

// A piece of a FID that lies in one block.
struct FidPart {
  uint32_t Block;
  uint16_t Offset;
  uint32_t From, Length;
};

// The pieces of the FID at `at` (`length` bytes) whose bytes differ between `fid` and `old`.
std::vector<FidPart> ChangedParts(DirectoryStream &dir, uint64_t at, uint32_t length,
                                  const uint8_t *fid, const uint8_t *old) {
  std::vector<FidPart> parts;
  for (uint32_t done = 0; done < length;) {
    DirectoryStream::Place p;
    if (!dir.Locate(at + done, p)) break;
    const uint32_t chunk = std::min<uint32_t>(length - done, kBlockSize - p.Offset);
    if (std::memcmp(fid + done, old + done, chunk) != 0)
      parts.push_back({p.Block, p.Offset, done, chunk});
    done += chunk;
  }
  return parts;
}

// Two pieces in one packet go out in one write, so that no moment leaves half a FID on the
// medium; others one block at a time.
Status WriteFidParts(TUDFRewritableVolume &v, const std::vector<FidPart> &parts,
                     const uint8_t *fid) {
  const auto sectorOf = [&](const FidPart &p) { return v.PartitionStart + p.Block; };
  if (parts.size() == 2 && parts[0].Block < v.PartitionLength &&
      parts[1].Block < v.PartitionLength &&
      PacketStartOf(v, sectorOf(parts[0])) == PacketStartOf(v, sectorOf(parts[1]))) {
    const uint32_t packet = PacketStartOf(v, sectorOf(parts[0]));
    if (Status s = ReadPacket(v, packet); !s.IsOk()) return s;
    for (const FidPart &p : parts)
      std::memcpy(SlotOf(v, sectorOf(p)) + p.Offset, fid + p.From, p.Length);
    return WritePacket(v, packet);
  }
  for (const FidPart &p : parts) {
    uint8_t sector[kBlockSize];
    if (Status s = LoadBlock(v, p.Block, sector); !s.IsOk()) return s;
    std::memcpy(sector + p.Offset, fid + p.From, p.Length);
    if (Status s = StoreBlock(v, p.Block, sector); !s.IsOk()) return s;
  }
  return Status::Ok();
}

} // namespace

Status RewriteFid(TUDFRewritableVolume &v, const DirectoryInformation &di,
                  const std::function<void(uint8_t *, uint32_t, uint32_t, uint32_t)> &change) {
  DirectoryStream dir(ReaderOf(v), BlockSpaceOf(v));
  if (dir.Open(di.DirICB) != DirectoryStream::Ok) return ReadFailure(v);
  uint8_t fid[FidLength(255, 0xFFFF)];
  uint8_t old[sizeof fid];
  bool io = false;
  DirectoryStream::Place start;
  if (!dir.ReadBytes(di.DirOffset, fid, di.FIDLength, io) || !dir.Locate(di.DirOffset, start))
    return ReadFailure(v);
  std::memcpy(old, fid, di.FIDLength);
  const uint32_t head = std::min<uint32_t>(di.FIDLength, kBlockSize - start.Offset);
  change(fid, di.FIDLength, start.Block, head);
  // Entries embedded in the directory's file entry lie in one block, with that entry's tag.
  if (dir.List().Embedded()) return StoreDirectoryBytes(v, dir, di.DirOffset, fid, di.FIDLength);
  // The FID may lie over two blocks. Only the parts that changed are written.
  return WriteFidParts(v, ChangedParts(dir, di.DirOffset, di.FIDLength, fid, old), fid);
}

Status DirectoryLostName(TUDFRewritableVolume &v, uint32_t dirBlock, int linkDelta) {
  uint8_t fe[kBlockSize];
  EntryFields info;
  if (Status s = ReadParentEntry(v, dirBlock, fe, info); !s.IsOk()) return s;
  UpdateFileEntry(fe, dirBlock, info.InformationLength, info.BlocksRecorded, linkDelta, true);
  return StoreBlock(v, dirBlock, fe);
}

namespace {

// Finds the entry a removal names exactly. Unnumbered when there is none.
Status LocateExact(TUDFRewritableVolume &v, std::u16string_view path, FileSystemObjectType kind,
                   DirectoryInformation &di) {
  di.DirICB = RootBlock(v);
  bool found = false;
  if (SplitPath(path).empty()) return Status::Unnumbered();
  if (Status s = LocatePath(v, path, di, found, {.Kind = kind, .LastMatch = NameMatch::Exact});
      !s.IsOk())
    return s;
  return found ? Status::Ok() : Status::Unnumbered();
}

// Reads the entry a directory entry leads to and checks that it may go. It must be a file
// entry of its own kind; anything else is damage that check and repair must look at, not
// something to free. An entry without write or delete permission is refused by the
// operating-system error alone.
Status CheckRemovable(TUDFRewritableVolume &v, uint32_t entry, FileSystemObjectType kind,
                      uint8_t *fe, EntryFields &info) {
  if (Status s = LoadBlock(v, entry, fe); !s.IsOk()) return s;
  if (!ReadEntryFields(fe, entry, info) ||
      (info.FileType == kFileTypeDirectory) != (kind == IsDirectory))
    return KORVA_E_DAMAGED;
  if ((info.Permissions & kPermWriteOrDelete) == 0) {
    KorvaSetLastOSError(KORVA_ERROR_ACCESS_DENIED);
    return Status::Unnumbered();
  }
  if (kind != IsDirectory) return Status::Ok();
  bool hasEntries = false;
  if (!DirectoryHasEntries(v, entry, hasEntries)) return StatusFromLastError(v);
  return hasEntries ? Status(KORVA_E_DIR_NOT_EMPTY) : Status::Ok();
}

// Marks the directory entry deleted, then records the change in the directory's own entry.
Status UnlinkName(TUDFRewritableVolume &v, const DirectoryInformation &di,
                  FileSystemObjectType kind) {
  if (Status s =
          RewriteFid(v, di,
                     [](uint8_t *fid, uint32_t length, uint32_t location, uint32_t head) {
                       // Clearing the ICB of a FID that crosses into the next block within it
                       // would change both blocks; the ICB of a deleted entry means nothing,
                       // so it is kept there.
                       MarkFidDeleted(fid, length, location, head >= kFidICBEnd);
                     });
      !s.IsOk())
    return s;
  return DirectoryLostName(v, di.DirICB, kind == IsDirectory ? -1 : 0);
}

// What becomes of an entry whose name is gone: a file with other names loses a link, a file
// still open keeps its entry and blocks until its last handle closes, anything else is freed.
Status ReleaseEntry(TUDFRewritableVolume &v, uint32_t entry, FileSystemObjectType kind,
                    uint8_t *fe, const EntryFields &info, const DescriptorList &list,
                    const std::function<void()> &nameGone) {
  OpenFileList *files = OpenFilesOf(v);
  const auto commit = [&v](int64_t freed, int fileDelta, int dirDelta, uint64_t next) {
    return CommitIntegrity(v, freed, fileDelta, dirDelta, next);
  };
  if (kind == IsFile && info.LinkCount > 1) {
    UpdateFileEntry(fe, entry, info.InformationLength, info.BlocksRecorded, -1, false);
    if (Status s = StoreBlock(v, entry, fe); !s.IsOk()) return s;
    if (files) files->MaybeUnnamed.insert(entry);
    nameGone();
    return commit(0, 0, 0, 0);
  }
  if (kind == IsFile && files && files->IsOpen(entry)) {
    files->Orphans.insert(entry);
    nameGone();
    return commit(0, -1, 0, 0);
  }
  const int64_t freed = FreeEntryBlocks(v, entry, list, false);
  InvalidateHandlesOn(v, entry);
  if (kind == IsDirectory) ForgetDirectoryNames(v, entry);
  nameGone();
  // The most recent ID is recorded as the next one, so a remount gives it out again.
  uint64_t recordedNext = 0;
  if (info.UniqueID != 0 && v.NextUniqueID - 1 == info.UniqueID) recordedNext = info.UniqueID;
  return commit(freed, kind == IsDirectory ? 0 : -1, kind == IsDirectory ? -1 : 0, recordedNext);
}

} // namespace

Status RemoveEntry(TUDFRewritableVolume &v, std::u16string_view path, FileSystemObjectType kind) {
  DirectoryInformation di;
  if (Status s = LocateExact(v, path, kind, di); !s.IsOk()) return s;
  const uint32_t entry = di.EntryICB;
  NameIndexUpdate names(v, di.DirICB);
  uint8_t fe[kBlockSize];
  EntryFields info;
  if (Status s = CheckRemovable(v, entry, kind, fe, info); !s.IsOk()) return s;
  DescriptorList list;
  if (!ReadDescriptorList(ReaderOf(v), BlockSpaceOf(v), entry, fe, list))
    return StatusFromLastError(v);
  if (Status s = MayFreeEntryBlocks(v, entry, list, di.DirICB); !s.IsOk()) return s;
  // The entry is gone before anything else changes; its blocks become free only after that.
  if (Status s = UnlinkName(v, di, kind); !s.IsOk()) return s;
  return ReleaseEntry(v, entry, kind, fe, info, list,
                      [&] { names.Removed(std::u16string_view(di.Name, WideLength(di.Name))); });
}

KBOOL RemovePath(TUDFRewritableVolume *volume, const KWCHAR *path, FileSystemObjectType kind) {
  if (!volume) return KFALSE;
  TUDFRewritableVolume &v = *volume;
  if (!path) {
    if (RequireCompatible(v)) SetError(v, KORVA_E_INVALID_PARAMETER);
    return KFALSE;
  }
  if (Status s = BeginFsOperation(v); !s.IsOk()) return Report(v, s);
  Status s = CheckWritable(v);
  if (s.IsOk()) s = RemoveEntry(v, std::u16string_view(path, WideLength(path)), kind);
  return Report(v, s);
}

namespace {

// Reads every live name of a directory. False on a read failure.
bool CollectNames(TUDFRewritableVolume &v, uint32_t dirBlock, DirectoryNames &out) {
  return ForEachLiveEntry(ReaderOf(v), BlockSpaceOf(v), dirBlock,
                          [&out](FidEntry &fid, uint64_t offset) {
                            out.Live.emplace(fid.DecodedName(), offset);
                            return true;
                          });
}

} // namespace

Status IndexedNames(TUDFRewritableVolume &v, uint32_t dirBlock, const EntryFields &info,
                    const DirectoryNames *&out) {
  out = nullptr;
  FindHandleList *state = FindHandlesOf(v);
  if (!state) return Status::Ok();
  auto it = state->Names.find(dirBlock);
  if (it == state->Names.end() || it->second.UniqueID != info.UniqueID ||
      it->second.InformationLength != info.InformationLength) {
    DirectoryNames names;
    names.UniqueID = info.UniqueID;
    names.InformationLength = info.InformationLength;
    if (!CollectNames(v, dirBlock, names)) return StatusFromLastError(v);
    it = state->Names.insert_or_assign(dirBlock, std::move(names)).first;
  }
  out = &it->second;
  return Status::Ok();
}

Status NameTaken(TUDFRewritableVolume &v, uint32_t dirBlock, std::u16string_view name, bool &taken,
                 DirectoryInformation &di) {
  di = DirectoryInformation();
  di.DirICB = dirBlock;
  taken = false;
  // A name the index does not hold is free; one it holds is looked up for its details.
  uint8_t fe[kBlockSize];
  EntryFields info;
  if (Status s = LoadBlock(v, dirBlock, fe); !s.IsOk()) return s;
  // The index holds names as stored; one written elsewhere is looked up in full.
  if (ReadEntryFields(fe, dirBlock, info) && info.FileType == kFileTypeDirectory &&
      IsStorableName(name)) {
    const DirectoryNames *names = nullptr;
    if (Status s = IndexedNames(v, dirBlock, info, names); !s.IsOk()) return s;
    if (names && !names->Live.count(std::u16string(name))) return Status::Ok();
  }
  return LocatePath(v, name, di, taken, {.LastMatch = NameMatch::Exact});
}

NameIndexUpdate::NameIndexUpdate(TUDFRewritableVolume &v, uint32_t dirBlock)
    : v_(v), dir_(dirBlock) {}

NameIndexUpdate::~NameIndexUpdate() {
  FindHandleList *state = FindHandlesOf(v_);
  if (!state) return;
  auto it = state->Names.find(dir_);
  if (it == state->Names.end()) return;
  if (!done_) {
    state->Names.erase(it);
    return;
  }
  if (added_) {
    if (it->second.InformationLength != oldLength_) {
      state->Names.erase(it);
      return;
    }
    it->second.InformationLength = newLength_;
    it->second.Live.emplace(name_, oldLength_); // appended at the old end of the data
  } else {
    it->second.Live.erase(name_);
  }
}

void NameIndexUpdate::Added(std::u16string_view name, uint64_t oldLength, uint64_t newLength) {
  done_ = added_ = true;
  name_ = std::u16string(name);
  oldLength_ = oldLength;
  newLength_ = newLength;
}

void NameIndexUpdate::Removed(std::u16string_view name) {
  done_ = true;
  added_ = false;
  name_ = std::u16string(name);
}

void ForgetDirectoryNames(TUDFRewritableVolume &v, uint32_t dirBlock) {
  if (FindHandleList *state = FindHandlesOf(v)) state->Names.erase(dirBlock);
}

} // namespace korva

using namespace korva;

namespace {

// Finds the directory a new one goes into and checks the new name: storable, within the
// depth, not taken.
Status ParentForNewDirectory(TUDFRewritableVolume &v, std::u16string_view par,
                             std::u16string_view nm, uint32_t &parentBlock) {
  if (!IsStorableName(nm)) return KORVA_E_INVALID_NAME;
  if (SplitPath(par).size() + 1 > KORVA_MAX_DEPTH) return KORVA_E_TOO_DEEP;
  if (ClassifyParent(par) != ParentKind::Root && SplitPath(par).empty())
    return KORVA_E_PARENT_NOT_REACHABLE;
  bool taken = false;
  DirectoryInformation di;
  if (Status s = ResolveParent(v, par, true, parentBlock); !s.IsOk()) return s;
  if (Status s = NameTaken(v, parentBlock, nm, taken, di); !s.IsOk()) return s;
  return taken ? Status(KORVA_E_FILE_EXISTS) : Status::Ok();
}

// Writes a new directory's one data block, holding the entry of its parent, and its file
// entry, at blocks just taken.
Status WriteNewDirectory(TUDFRewritableVolume &v, uint32_t dataBlock, uint32_t feBlock,
                         uint32_t parentBlock) {
  uint8_t sector[kBlockSize] = {};
  const uint32_t parentFid =
      BuildFid(sector, kFidDirectory | kFidParent, parentBlock, u"", dataBlock);
  if (Status s = StoreBlock(v, dataBlock, sector); !s.IsOk()) return s;
  NewFileEntry e;
  e.FileType = kFileTypeDirectory;
  e.Permissions = kPermissionsDirectory;
  e.InformationLength = parentFid;
  e.BlocksRecorded = 1;
  if (Status s = TakeUniqueID(v, e.UniqueID); !s.IsOk()) return s;
  e.FirstAD = {parentFid, dataBlock};
  MakeFileEntry(sector, feBlock, e);
  return StoreBlock(v, feBlock, sector);
}

// Takes the new directory's two blocks and those its parent's list grows by, writes the
// directory and then its name into the parent.
Status MakeNewDirectory(TUDFRewritableVolume &v, uint32_t parentBlock, std::u16string_view nm) {
  AppendPlan plan;
  if (Status s = PlanAppendWithRoom(v, parentBlock, nm, 2, plan); !s.IsOk()) return s;
  const uint32_t needed = 2 + plan.ExtraBlocks();
  uint32_t dataBlock = 0, feBlock = 0;
  if (Status s = TakeBlock(v, 0, dataBlock); !s.IsOk()) return s;
  if (Status s = TakeBlock(v, dataBlock + 1, feBlock); !s.IsOk()) return s;
  if (Status s = TakeAppendBlocks(v, plan, feBlock + 1); !s.IsOk()) return s;
  if (Status s = WriteNewDirectory(v, dataBlock, feBlock, parentBlock); !s.IsOk()) return s;
  if (Status s = AppendDirectoryEntry(v, plan, kFidDirectory, feBlock, nm, feBlock + 1, true);
      !s.IsOk())
    return s;
  return CommitIntegrity(v, -int64_t(needed), 0, 1);
}

} // namespace

KORVA_API KBOOL UDF_CreateDirectoryW(TUDFRewritableVolume *volume, const KWCHAR *parent,
                                     const KWCHAR *name) {
  if (!volume) return KFALSE;
  TUDFRewritableVolume &v = *volume;
  if (Status s = BeginFsOperation(v); !s.IsOk()) return Report(v, s);
  if (Status s = CheckWritable(v); !s.IsOk()) return Report(v, s);
  if (!parent || !name) return Report(v, KORVA_E_INVALID_PARAMETER);
  std::u16string_view nm(name, WideLength(name));
  uint32_t parentBlock = 0;
  Status s =
      ParentForNewDirectory(v, std::u16string_view(parent, WideLength(parent)), nm, parentBlock);
  if (s.IsOk()) s = MakeNewDirectory(v, parentBlock, nm);
  return Report(v, s);
}

KORVA_API KBOOL UDF_CreateDirectory(TUDFRewritableVolume *volume, const char *parent,
                                    const char *name) {
  std::u16string w[2];
  if (!volume || !WidenArguments(*volume, {parent, name}, w)) return KFALSE;
  return UDF_CreateDirectoryW(volume, w[0].c_str(), w[1].c_str());
}

KORVA_API KBOOL UDF_RemoveDirectoryW(TUDFRewritableVolume *volume, const KWCHAR *path) {
  return RemovePath(volume, path, IsDirectory);
}

KORVA_API KBOOL UDF_RemoveDirectory(TUDFRewritableVolume *volume, const char *path) {
  std::u16string p;
  if (!volume || !WidenArguments(*volume, {path}, &p)) return KFALSE;
  return UDF_RemoveDirectoryW(volume, p.c_str());
}
