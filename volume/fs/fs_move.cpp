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
bool DeleteIdentifier(TUDFRewritableVolume &v, const DirectoryInformation &at) {
  DirectoryStream dir(ReaderOf(v), BlockSpaceOf(v));
  if (dir.Open(at.DirICB) != DirectoryStream::Ok) {
    FailRead(v);
    return false;
  }
  uint8_t fid[FidLength(255, 0xFFFF)];
  bool io = false;
  DirectoryStream::Place start;
  if (!dir.ReadBytes(at.DirOffset, fid, at.FIDLength, io) || !dir.Locate(at.DirOffset, start)) {
    FailRead(v);
    return false;
  }
  MarkFidDeleted(fid, at.FIDLength, start.Block);
  return WriteDirectoryBytes(v, dir, at.DirOffset, fid, at.FIDLength);
}

// Points the parent entry (the first identifier) of a moved directory at its new parent.
bool RepointParentEntry(TUDFRewritableVolume &v, uint32_t dirBlock, uint32_t newParent) {
  DirectoryStream dir(ReaderOf(v), BlockSpaceOf(v));
  FidEntry first;
  DirectoryStream::Place at;
  uint8_t fid[FidLength(255, 0xFFFF)];
  bool io = false;
  if (dir.Open(dirBlock) != DirectoryStream::Ok ||
      dir.ReadFid(0, first, true) != DirectoryStream::Ok || !(first.Characteristics & kFidParent) ||
      !dir.Locate(0, at) || !dir.ReadBytes(0, fid, first.Length, io)) {
    FailRead(v);
    return false;
  }
  UDF_FileIdentifierDescriptorHeader h;
  std::memcpy(&h, fid, sizeof h);
  h.ICB.Location.LogicalBlockNumber = newParent;
  std::memcpy(fid, &h, sizeof h);
  FillTagAt(fid, kTagFileIdentifier, static_cast<uint16_t>(first.Length - 16), at.Block);
  return WriteDirectoryBytes(v, dir, 0, fid, first.Length);
}

bool StartsWith(const std::vector<std::u16string> &parts, const std::vector<std::u16string> &head) {
  return parts.size() >= head.size() && std::equal(head.begin(), head.end(), parts.begin());
}

// An existing target is replaced as rename(2) replaces it: a file by a file, an empty
// directory by a directory. Error 6 when the kinds differ, 23 when the directory holds
// entries, 8 when the target may not be deleted.
bool ReplaceTarget(TUDFRewritableVolume &v, const EntryRef &source, const std::u16string &target,
                   const DirectoryInformation &found) {
  const bool targetDir = (found.Characteristics & kFidDirectory) != 0;
  if (targetDir != source.IsDirectory()) {
    SetError(v, KORVA_E_FILE_EXISTS);
    return false;
  }
  if (!RequireWritable(v)) return false;
  KorvaSetLastOSError(KORVA_ERROR_SUCCESS);
  if (RemoveEntry(v, target, targetDir ? IsDirectory : IsFile)) return true;
  if (v.LastError == 0)
    SetError(v, KorvaGetLastOSError() == KORVA_ERROR_ACCESS_DENIED ? KORVA_E_ACCESS
                                                                   : KORVA_E_FILE_NOT_FOUND);
  return false;
}

// Whether the target can take the source: a path with a storable last name, not the root's,
// and for a directory not inside the source itself.
bool CheckTarget(TUDFRewritableVolume &v, const EntryRef &source,
                 const std::vector<std::u16string> &target) {
  if (!IsStorableName(target.back())) {
    SetError(v, KORVA_E_INVALID_NAME);
    return false;
  }
  if (source.IsDirectory() && StartsWith(target, source.Parts)) {
    SetError(v, KORVA_E_BAD_MOVE);
    return false;
  }
  return true;
}

// Gives the entry its new name, then takes the old one away. The new name first: a failure
// in between leaves the entry reachable under both names rather than under none.
bool Relink(TUDFRewritableVolume &v, const EntryRef &source, const AppendPlan &plan,
            const std::u16string &name, uint32_t newParent) {
  const bool isDir = source.IsDirectory();
  const uint8_t chars = source.At.Characteristics & (kFidHidden | kFidDirectory);
  if (!AppendEntry(v, plan, chars, source.EntryBlock, name, 0, isDir)) return false;
  {
    NameIndexUpdate names(v, source.DirBlock);
    if (!DeleteIdentifier(v, source.At)) return false;
    names.Removed(source.Parts.back());
  }
  if (!DirectoryLostName(v, source.DirBlock, isDir ? -1 : 0)) return false;
  return !isDir || newParent == source.DirBlock ||
         RepointParentEntry(v, source.EntryBlock, newParent);
}

bool Move(TUDFRewritableVolume &v, std::u16string_view from, std::u16string_view to) {
  EntryRef source;
  if (!ResolveEntry(v, from, source)) return false;
  const std::vector<std::u16string> target = SplitPath(to);
  if (source.IsRoot || target.empty()) {
    SetError(v, KORVA_E_INVALID_PARAMETER);
    return false;
  }
  if (target == source.Parts) return true;
  if (!CheckTarget(v, source, target)) return false;
  const std::u16string &name = target.back();
  uint32_t newParent = 0;
  if (!ResolveParent(v, JoinPath(target, target.size() - 1), true, newParent)) return false;
  // Plan and check space before anything changes; replacing a target only adds free space
  // and leaves the directory's length and list alone, so the plan stays valid.
  AppendPlan plan;
  if (!PlanAppendWithRoom(v, newParent, name, 0, plan)) return false;
  bool taken = false;
  DirectoryInformation found;
  if (!NameTaken(v, newParent, name, taken, found)) return false;
  if (taken && !ReplaceTarget(v, source, JoinPath(target, target.size()), found)) return false;
  v.WrittenInOperation = 1;
  if (!Relink(v, source, plan, name, newParent)) return false;
  return CommitIntegrity(v, -int64_t(plan.ExtraBlocks()), 0, 0);
}

} // namespace

KORVA_API KBOOL UDF_MoveFileW(TUDFRewritableVolume *volume, const KWCHAR *from, const KWCHAR *to) {
  if (!volume) return KFALSE;
  TUDFRewritableVolume &v = *volume;
  if (!BeginFsOperation(v)) return KFALSE;
  if (!from || !to) {
    SetError(v, KORVA_E_INVALID_PARAMETER);
    return KFALSE;
  }
  return Move(v, std::u16string_view(from, WideLength(from)),
              std::u16string_view(to, WideLength(to)))
             ? KTRUE
             : KFALSE;
}

KORVA_API KBOOL UDF_MoveFile(TUDFRewritableVolume *volume, const char *from, const char *to) {
  std::u16string w[2];
  if (!volume || !WidenArguments(*volume, {from, to}, w)) return KFALSE;
  return UDF_MoveFileW(volume, w[0].c_str(), w[1].c_str());
}
