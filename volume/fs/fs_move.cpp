// Moving an entry: a new identifier in the target directory names the same file entry, then
// the old identifier is marked deleted. The entry itself, its data and open handles on it
// stay as they are.
#include <algorithm>
#include <cstring>

#include "korva/files.h"
#include "udf/descriptors.h"
#include "udf/tag.h"
#include "volume/engine.h"
#include "volume/fs/fs_internal.h"
#include "volume/fs/fs_lookup.h"
#include "volume/fs/fs_path.h"
#include "volume/fs/fs_records.h"
#include "volume/medium/partition_map.h"

using namespace korva;

namespace {

// Marks the identifier found at `at` deleted where it lies, possibly over two blocks.
Status DeleteIdentifier(TUDFRewritableVolume &v, const DirectoryInformation &at) {
  DirectoryStream dir(ReaderOf(v), BlockSpaceOf(v));
  if (dir.Open(at.DirICB) != DirectoryStream::Ok) return ReadFailure(v);
  uint8_t fid[FidLength(255, 0xFFFF)];
  bool io = false;
  DirectoryStream::Place start;
  if (!dir.ReadBytes(at.DirOffset, fid, at.FIDLength, io) || !dir.Locate(at.DirOffset, start))
    return ReadFailure(v);
  MarkFidDeleted(fid, at.FIDLength, start.Block);
  return StoreDirectoryBytes(v, dir, at.DirOffset, fid, at.FIDLength);
}

// Points the parent entry (the first identifier) of a moved directory at its new parent.
Status RepointParentEntry(TUDFRewritableVolume &v, uint32_t dirBlock, uint32_t newParent) {
  DirectoryStream dir(ReaderOf(v), BlockSpaceOf(v));
  FidEntry first;
  DirectoryStream::Place at;
  uint8_t fid[FidLength(255, 0xFFFF)];
  bool io = false;
  if (dir.Open(dirBlock) != DirectoryStream::Ok ||
      dir.ReadFid(0, first, true) != DirectoryStream::Ok || !(first.Characteristics & kFidParent) ||
      !dir.Locate(0, at) || !dir.ReadBytes(0, fid, first.Length, io))
    return ReadFailure(v);
  UDF_FileIdentifierDescriptorHeader h;
  std::memcpy(&h, fid, sizeof h);
  h.ICB.Location.LogicalBlockNumber = newParent;
  std::memcpy(fid, &h, sizeof h);
  FillTagAt(fid, kTagFileIdentifier, static_cast<uint16_t>(first.Length - 16), at.Block);
  return StoreDirectoryBytes(v, dir, 0, fid, first.Length);
}

bool StartsWith(const std::vector<std::u16string> &parts, const std::vector<std::u16string> &head) {
  return parts.size() >= head.size() && std::equal(head.begin(), head.end(), parts.begin());
}

// An existing target is replaced as rename(2) replaces it: a file by a file, an empty
// directory by a directory. Error 6 when the kinds differ, 23 when the directory holds
// entries, 8 when the target may not be deleted.
Status ReplaceTarget(TUDFRewritableVolume &v, const EntryRef &source,
                     const std::u16string &target, const DirectoryInformation &found) {
  const bool targetDir = (found.Characteristics & kFidDirectory) != 0;
  if (targetDir != source.IsDirectory()) return KORVA_E_FILE_EXISTS;
  if (Status s = CheckWritable(v); !s.IsOk()) return s;
  KorvaSetLastOSError(KORVA_ERROR_SUCCESS);
  const Status removed = RemoveEntry(v, target, targetDir ? IsDirectory : IsFile);
  // A refusal of the removal itself comes as an operating-system error only.
  if (removed.IsOk() || removed.Error() != 0) return removed;
  return KorvaGetLastOSError() == KORVA_ERROR_ACCESS_DENIED ? KORVA_E_ACCESS
                                                            : KORVA_E_FILE_NOT_FOUND;
}

// Whether the target can take the source: a path with a storable last name, not the root's,
// and for a directory not inside the source itself.
Status CheckTarget(const EntryRef &source, const std::vector<std::u16string> &target) {
  if (!IsStorableName(target.back())) return KORVA_E_INVALID_NAME;
  if (source.IsDirectory() && StartsWith(target, source.Parts)) return KORVA_E_BAD_MOVE;
  return Status::Ok();
}

// Gives the entry its new name, then takes the old one away. The new name first: a failure
// in between leaves the entry reachable under both names rather than under none.
Status Relink(TUDFRewritableVolume &v, const EntryRef &source, const AppendPlan &plan,
              const std::u16string &name, uint32_t newParent) {
  const bool isDir = source.IsDirectory();
  const uint8_t chars = source.At.Characteristics & (kFidHidden | kFidDirectory);
  if (Status s = AppendDirectoryEntry(v, plan, chars, source.EntryBlock, name, 0, isDir);
      !s.IsOk())
    return s;
  {
    NameIndexUpdate names(v, source.DirBlock);
    if (Status s = DeleteIdentifier(v, source.At); !s.IsOk()) return s;
    names.Removed(source.Parts.back());
  }
  if (Status s = DirectoryLostName(v, source.DirBlock, isDir ? -1 : 0); !s.IsOk()) return s;
  if (!isDir || newParent == source.DirBlock) return Status::Ok();
  return RepointParentEntry(v, source.EntryBlock, newParent);
}

// Where the source goes: the target's parent directory, a plan for the new identifier with
// its space checked, and whether the name is taken there (found: by what).
struct MoveTarget {
  uint32_t Parent = 0;
  AppendPlan Plan;
  bool Taken = false;
  DirectoryInformation Found;
};

Status PlanTarget(TUDFRewritableVolume &v, const std::vector<std::u16string> &target,
                  MoveTarget &out) {
  const std::u16string &name = target.back();
  if (Status s = ResolveParent(v, JoinPath(target, target.size() - 1), true, out.Parent); !s.IsOk())
    return s;
  // Plan and check space before anything changes; replacing a target only adds free space
  // and leaves the directory's length and list alone, so the plan stays valid.
  if (Status s = PlanAppendWithRoom(v, out.Parent, name, 0, out.Plan); !s.IsOk()) return s;
  return NameTaken(v, out.Parent, name, out.Taken, out.Found);
}

Status Move(TUDFRewritableVolume &v, std::u16string_view from, std::u16string_view to) {
  EntryRef source;
  if (Status s = ResolveEntry(v, from, source); !s.IsOk()) return s;
  const std::vector<std::u16string> target = SplitPath(to);
  if (source.IsRoot || target.empty()) return KORVA_E_INVALID_PARAMETER;
  if (target == source.Parts) return Status::Ok();
  if (Status s = CheckTarget(source, target); !s.IsOk()) return s;
  MoveTarget at;
  if (Status s = PlanTarget(v, target, at); !s.IsOk()) return s;
  if (at.Taken) {
    Status s = ReplaceTarget(v, source, JoinPath(target, target.size()), at.Found);
    if (!s.IsOk()) return s;
  }
  v.WrittenInOperation = 1;
  if (Status s = Relink(v, source, at.Plan, target.back(), at.Parent); !s.IsOk()) return s;
  return CommitIntegrity(v, -int64_t(at.Plan.ExtraBlocks()), 0, 0);
}

} // namespace

KORVA_API KBOOL UDF_MoveFileW(TUDFRewritableVolume *volume, const KWCHAR *from, const KWCHAR *to) {
  if (!volume) return KFALSE;
  TUDFRewritableVolume &v = *volume;
  if (Status s = BeginFsOperation(v); !s.IsOk()) return Report(v, s);
  if (!from || !to) return Report(v, KORVA_E_INVALID_PARAMETER);
  return Report(v, Move(v, std::u16string_view(from, WideLength(from)),
                        std::u16string_view(to, WideLength(to))));
}

KORVA_API KBOOL UDF_MoveFile(TUDFRewritableVolume *volume, const char *from, const char *to) {
  std::u16string w[2];
  if (!volume || !WidenArguments(*volume, {from, to}, w)) return KFALSE;
  return UDF_MoveFileW(volume, w[0].c_str(), w[1].c_str());
}
