// Files: create, open, close, delete; and find.
#include <algorithm>
#include <cstring>

#include "korva/files.h"
#include "udf/narrow.h"
#include "volume/engine.h"
#include "volume/fs/fs_internal.h"
#include "volume/fs/fs_path.h"
#include "volume/fs/fs_records.h"
#include "volume/medium/partition_map.h"

namespace korva {

Status LiveHandle(TUDFRewritableVolume &v, UDF_HANDLE handle, uint32_t access,
                  OpenFileInformation *&f) {
  OpenFileList *files = OpenFilesOf(v);
  OpenFileInformation *found = files ? files->Find(handle) : nullptr;
  f = nullptr;
  if (!found || found->Invalidated) return KORVA_E_BAD_FILE_HANDLE;
  if (access && !(found->Access & access)) return KORVA_E_ACCESS;
  f = found;
  return Status::Ok();
}

uint32_t EntryBytesOf(const TUDFRewritableVolume &v) {
  return std::max(BlockBytesOf(v), kBlockSize); // as BlockSpace::DescriptorBytes()
}

Status ReadEntry(TUDFRewritableVolume &v, uint32_t block, uint8_t *fe) {
  // Every block of a sector or less: the engine block is the entry's (no map to consult).
  if (BlockBytesOf(v) <= kBlockSize) return LoadBlock(v, block, fe);
  // The reader keeps its failure in LastError.
  if (!ReadEntryBlock(ReaderOf(v), BlockSpaceOf(v), block, fe)) return StatusFromLastError(v);
  return Status::Ok();
}

Status LoadFile(TUDFRewritableVolume &v, OpenFileInformation &f, FileView &view) {
  if (f.Invalidated) return KORVA_E_BAD_FILE_HANDLE;
  if (Status s = ReadEntry(v, f.FEBlock, view.FE); !s.IsOk()) return s;
  const uint32_t length = EntryBytesOf(v);
  // The block may have been freed and reused by another entry since the handle was made.
  if (!ReadEntryFields(view.FE, f.FEBlock, view.Info, length) ||
      view.Info.FileType != kFileTypeFile ||
      view.Info.UniqueID != f.UniqueID || !BlockInUse(v, f.FEBlock)) {
    f.Invalidated = true;
    return KORVA_E_BAD_FILE_HANDLE;
  }
  if (!ReadDescriptorList(ReaderOf(v), BlockSpaceOf(v), f.FEBlock, view.FE, view.List, length))
    return StatusFromLastError(v);
  if (view.List.Corrupt || view.List.TotalBytes() < view.Info.InformationLength)
    return ReadFailure(v);
  return Status::Ok();
}

void SyncHandle(OpenFileInformation &f, const FileView &view) {
  f.Size = view.Info.InformationLength;
  if (f.Position > f.Size) f.Position = f.Size;
}

} // namespace korva

using namespace korva;

namespace {

Status MakeHandle(TUDFRewritableVolume &v, uint32_t feBlock, uint32_t access, UDF_HANDLE &h) {
  auto rec = std::make_unique<OpenFileInformation>();
  rec->Access = access;
  rec->FEBlock = feBlock;
  FileView view;
  // Identity first: LoadFile compares it with the entry.
  EntryBuffer fe;
  if (Status s = ReadEntry(v, feBlock, fe); !s.IsOk()) return s;
  EntryFields info;
  if (!ReadEntryFields(fe, feBlock, info, EntryBytesOf(v)) || info.FileType != kFileTypeFile)
    return ReadFailure(v);
  rec->UniqueID = info.UniqueID;
  if (Status s = LoadFile(v, *rec, view); !s.IsOk()) {
    // The entry just read no longer matching is a read that made no sense.
    if (s.Error() == KORVA_E_BAD_FILE_HANDLE) return ReadFailure(v);
    return s;
  }
  SyncHandle(*rec, view);
  OpenFileList *files = OpenFilesOf(v);
  if (!files) return KORVA_E_NOT_COMPATIBLE;
  h = files->Add(std::move(rec));
  return Status::Ok();
}

// Writes a new, empty file entry at a block just taken.
Status WriteNewFileEntry(TUDFRewritableVolume &v, uint32_t feBlock, uint32_t attributes) {
  NewFileEntry e;
  e.FileType = kFileTypeFile;
  e.Permissions =
      (attributes & UDF_FILE_ATTRIBUTE_READONLY) ? kPermissionsReadOnlyFile : kPermissionsFile;
  if (attributes & UDF_FILE_ATTRIBUTE_SYSTEM) e.ICBFlags |= kICBFlagSystem;
  if (attributes & UDF_FILE_ATTRIBUTE_ARCHIVE) e.ICBFlags |= kICBFlagArchive;
  if (Status s = TakeUniqueID(v, e.UniqueID); !s.IsOk()) return s;
  uint8_t sector[kBlockSize];
  MakeFileEntry(sector, feBlock, e);
  if (Status s = StoreBlock(v, feBlock, sector); !s.IsOk()) return s;
  return Status::Ok();
}

// Whether the file entry at entry is linked from more than one directory entry.
Status HasOtherNames(TUDFRewritableVolume &v, uint32_t entry, bool &shared) {
  shared = false;
  uint8_t fe[kBlockSize];
  if (Status s = LoadBlock(v, entry, fe); !s.IsOk()) return s;
  EntryFields info;
  shared = ReadEntryFields(fe, entry, info) && info.LinkCount > 1;
  return Status::Ok();
}

// The file entry at `entry` read for replacing: a file's, whose permissions allow it, with
// its descriptor list and blocks that may be freed.
Status ReadReplaceable(TUDFRewritableVolume &v, const DirectoryInformation &di,
                       DescriptorList &list) {
  const uint32_t entry = di.EntryICB;
  uint8_t fe[kBlockSize];
  if (Status s = LoadBlock(v, entry, fe); !s.IsOk()) return s;
  EntryFields info;
  // A directory entry that leads to anything but a file entry is damage to check and repair.
  if (!ReadEntryFields(fe, entry, info) || info.FileType != kFileTypeFile)
    return KORVA_E_DAMAGED;
  if ((info.Permissions & kPermWriteOrDelete) == 0) {
    KorvaSetLastOSError(KORVA_ERROR_ACCESS_DENIED);
    return Status::Unnumbered();
  }
  if (!ReadDescriptorList(ReaderOf(v), BlockSpaceOf(v), entry, fe, list))
    return StatusFromLastError(v);
  return MayFreeEntryBlocks(v, entry, list, di.DirICB);
}

// Replaces an existing file by an empty one of the same name. The file entry is rewritten in
// place, one sector: a failure at any moment leaves either the old file or the new one, never
// neither. The old file's blocks are freed only after that.
Status ReplaceFile(TUDFRewritableVolume &v, const DirectoryInformation &di, uint32_t access,
                   uint32_t attributes, UDF_HANDLE &h) {
  const uint32_t entry = di.EntryICB;
  DescriptorList list;
  if (Status s = ReadReplaceable(v, di, list); !s.IsOk()) return s;
  if (Status s = WriteNewFileEntry(v, entry, attributes); !s.IsOk()) return s;
  const uint8_t hidden = (attributes & UDF_FILE_ATTRIBUTE_HIDDEN) ? kFidHidden : 0;
  if ((di.Characteristics & kFidHidden) != hidden) {
    const uint8_t chars = static_cast<uint8_t>((di.Characteristics & ~kFidHidden) | hidden);
    if (Status s = RewriteFid(v, di,
                              [&](uint8_t *fid, uint32_t length, uint32_t location, uint32_t) {
                                SetFidCharacteristics(fid, length, location, chars);
                              });
        !s.IsOk())
      return s;
  }
  InvalidateHandlesOn(v, entry);
  const int64_t freed = FreeEntryBlocks(v, entry, list, true);
  if (Status s = CommitIntegrity(v, freed, 0, 0); !s.IsOk()) return s;
  return MakeHandle(v, entry, access, h);
}

Status CreateNewFile(TUDFRewritableVolume &v, uint32_t parentBlock, std::u16string_view name,
                     uint32_t access, uint32_t attributes, UDF_HANDLE &h) {
  if (Status s = CheckWritable(v); !s.IsOk()) return s;
  AppendPlan plan;
  if (Status s = PlanAppendWithRoom(v, parentBlock, name, 1, plan); !s.IsOk()) return s;
  const uint32_t needed = 1 + plan.ExtraBlocks();
  uint32_t feBlock = 0;
  if (Status s = TakeBlock(v, 0, feBlock); !s.IsOk()) return s;
  if (Status s = TakeAppendBlocks(v, plan, feBlock + 1); !s.IsOk()) return s;
  if (Status s = WriteNewFileEntry(v, feBlock, attributes); !s.IsOk()) return s;
  const uint8_t chars = (attributes & UDF_FILE_ATTRIBUTE_HIDDEN) ? kFidHidden : 0;
  if (Status s = AppendDirectoryEntry(v, plan, chars, feBlock, name, feBlock + 1, false);
      !s.IsOk())
    return s;
  if (Status s = CommitIntegrity(v, -int64_t(needed), 1, 0); !s.IsOk()) return s;
  return MakeHandle(v, feBlock, access, h);
}

// The checks before the parent is looked up: the arguments, a writable volume where the call
// may write, a name fit for the disposition, the depth. Opening for reading is all a
// read-only volume allows; a missing file under OPEN_ALWAYS is refused where it would be
// created.
Status CheckCreate(TUDFRewritableVolume &v, const KWCHAR *path, uint32_t access,
                   uint32_t disposition, ParentAndName &pn) {
  if (!path || disposition < UDF_CREATE_NEW || disposition > UDF_OPEN_ALWAYS)
    return KORVA_E_INVALID_PARAMETER;
  const bool creates = disposition == UDF_CREATE_NEW || disposition == UDF_CREATE_ALWAYS;
  if (creates || (access & UDF_GENERIC_WRITE)) {
    if (Status s = CheckWritable(v); !s.IsOk()) return s;
  }
  pn = SplitParent(std::u16string_view(path, WideLength(path)));
  // An existing entry is found by any name it may hold; a new one needs a storable name.
  if (!IsLookupName(pn.Name) || (creates && !IsStorableName(pn.Name)))
    return KORVA_E_INVALID_NAME;
  if (SplitPath(pn.Parent).size() + 1 > KORVA_MAX_DEPTH) return KORVA_E_TOO_DEEP;
  return Status::Ok();
}

// CREATE_ALWAYS over an existing file: an empty file takes its place.
Status RecreateFile(TUDFRewritableVolume &v, const ParentAndName &pn, uint32_t parentBlock,
                    const DirectoryInformation &di, uint32_t access, uint32_t attributes,
                    UDF_HANDLE &h) {
  bool shared = false;
  if (Status s = HasOtherNames(v, di.EntryICB, shared); !s.IsOk()) return s;
  Status s;
  if (!shared) {
    s = ReplaceFile(v, di, access, attributes, h);
  } else if (Status removed = RemoveEntry(v, pn.Parent + pn.Name, IsFile); removed.IsOk()) {
    // The file keeps its other names: only this one goes, and a new file takes it.
    s = CreateNewFile(v, parentBlock, pn.Name, access, attributes, h);
  } else if (removed.Error() != 0) {
    return removed;
  } else {
    // The name vanished between the lookup and the removal: a read that made no sense; a
    // refusal keeps its operating-system error alone.
    return KorvaGetLastOSError() == KORVA_ERROR_ACCESS_DENIED ? Status::Unnumbered()
                                                              : ReadFailure(v);
  }
  if (s.IsOk()) KorvaSetLastOSError(KORVA_ERROR_ALREADY_EXISTS);
  return s;
}

// What the disposition does with the entry the name already has.
Status OpenOrReplace(TUDFRewritableVolume &v, const ParentAndName &pn, uint32_t parentBlock,
                     const DirectoryInformation &di, uint32_t access, uint32_t disposition,
                     uint32_t attributes, UDF_HANDLE &h) {
  if (di.Characteristics & kFidDirectory)
    return disposition == UDF_OPEN_EXISTING ? KORVA_E_FILE_NOT_FOUND : KORVA_E_FILE_EXISTS;
  if (disposition == UDF_CREATE_NEW) return KORVA_E_FILE_EXISTS;
  if (disposition == UDF_CREATE_ALWAYS)
    return RecreateFile(v, pn, parentBlock, di, access, attributes, h);
  Status s = MakeHandle(v, di.EntryICB, access, h);
  if (s.IsOk() && disposition == UDF_OPEN_ALWAYS) KorvaSetLastOSError(KORVA_ERROR_ALREADY_EXISTS);
  return s;
}

Status CreateFile(TUDFRewritableVolume &v, const KWCHAR *path, uint32_t access,
                  uint32_t disposition, uint32_t attributes, UDF_HANDLE &h) {
  ParentAndName pn;
  if (Status s = CheckCreate(v, path, access, disposition, pn); !s.IsOk()) return s;
  uint32_t parentBlock = 0;
  bool taken = false;
  DirectoryInformation di;
  if (Status s = ResolveParent(v, pn.Parent, pn.HasSeparator, parentBlock); !s.IsOk()) return s;
  if (Status s = NameTaken(v, parentBlock, pn.Name, taken, di); !s.IsOk()) return s;
  if (taken) return OpenOrReplace(v, pn, parentBlock, di, access, disposition, attributes, h);
  if (disposition == UDF_OPEN_EXISTING) return KORVA_E_FILE_NOT_FOUND;
  if (!IsStorableName(pn.Name)) return KORVA_E_INVALID_NAME;
  Status s = CreateNewFile(v, parentBlock, pn.Name, access, attributes, h);
  if (s.IsOk()) KorvaSetLastOSError(KORVA_ERROR_SUCCESS);
  return s;
}

} // namespace

KORVA_API UDF_HANDLE UDF_CreateFileW(TUDFRewritableVolume *volume, const KWCHAR *path,
                                     uint32_t desired_access, uint32_t creation_disposition,
                                     uint32_t attributes) {
  if (!volume) return UDF_INVALID_HANDLE;
  TUDFRewritableVolume &v = *volume;
  if (Status s = BeginFsOperation(v); !s.IsOk()) return ReportHandle(v, s, UDF_INVALID_HANDLE);
  UDF_HANDLE h = UDF_INVALID_HANDLE;
  const Status s = CreateFile(v, path, desired_access, creation_disposition, attributes, h);
  return ReportHandle(v, s, h);
}

KORVA_API UDF_HANDLE UDF_CreateFile(TUDFRewritableVolume *volume, const char *path,
                                    uint32_t desired_access, uint32_t creation_disposition,
                                    uint32_t attributes) {
  std::u16string p;
  if (!volume || !WidenArguments(*volume, {path}, &p)) return UDF_INVALID_HANDLE;
  return UDF_CreateFileW(volume, p.c_str(), desired_access, creation_disposition, attributes);
}

KORVA_API KBOOL UDF_CloseHandle(TUDFRewritableVolume *volume, UDF_HANDLE handle) {
  if (!volume || RefuseWhileBusy(*volume)) return KFALSE;
  volume->LastError = 0;
  OpenFileList *files = OpenFilesOf(*volume);
  OpenFileInformation *f = files ? files->Find(handle) : nullptr;
  if (!f) return KFALSE;
  const uint32_t entry = f->FEBlock;
  files->Remove(handle);
  return Report(*volume, ReleaseOrphanIfClosed(*volume, entry));
}

KORVA_API KBOOL UDF_DeleteFileW(TUDFRewritableVolume *volume, const KWCHAR *path) {
  return RemovePath(volume, path, IsFile);
}

KORVA_API KBOOL UDF_DeleteFile(TUDFRewritableVolume *volume, const char *path) {
  std::u16string p;
  if (!volume || !WidenArguments(*volume, {path}, &p)) return KFALSE;
  return UDF_DeleteFileW(volume, p.c_str());
}

// Find ------------------------------------------------------------------------------------

namespace {

// Fills a wide find record from the entry the scan stands at.
Status FillFindData(TUDFRewritableVolume &v, const DirectoryInformation &di,
                    _UDF_FIND_DATAW &d) {
  std::memset(&d, 0, sizeof d);
  EntryBuffer fe;
  if (Status s = ReadEntry(v, di.EntryICB, fe); !s.IsOk()) return s;
  EntryFields info;
  const bool valid = ReadEntryFields(fe, di.EntryICB, info, EntryBytesOf(v));
  uint32_t attr = 0;
  const bool dir = di.Characteristics & kFidDirectory;
  if (valid && (info.Permissions & kPermWriteOrDelete) == 0) attr |= UDF_FILE_ATTRIBUTE_READONLY;
  if (di.Characteristics & kFidHidden) attr |= UDF_FILE_ATTRIBUTE_HIDDEN;
  if (valid && (info.ICBFlags & kICBFlagSystem)) attr |= UDF_FILE_ATTRIBUTE_SYSTEM;
  if (dir) attr |= UDF_FILE_ATTRIBUTE_DIRECTORY;
  if (valid && (info.ICBFlags & kICBFlagArchive)) attr |= UDF_FILE_ATTRIBUTE_ARCHIVE;
  if (attr == 0) attr = UDF_FILE_ATTRIBUTE_NORMAL;
  d.dwFileAttributes = attr;
  if (valid) {
    if (!dir) {
      d.nFileSizeHigh = static_cast<uint32_t>(info.InformationLength >> 32);
      d.nFileSizeLow = static_cast<uint32_t>(info.InformationLength);
    }
    const uint64_t access = StampToFileTime(info.AccessTime);
    const uint64_t modified = StampToFileTime(info.ModificationTime);
    d.ftCreationTime = {static_cast<uint32_t>(access), static_cast<uint32_t>(access >> 32)};
    d.ftLastAccessTime = d.ftCreationTime;
    d.ftLastWriteTime = {static_cast<uint32_t>(modified), static_cast<uint32_t>(modified >> 32)};
  }
  size_t n = std::min<size_t>(WideLength(di.Name), 259);
  std::memcpy(d.cFileName, di.Name, n * sizeof(KWCHAR));
  return Status::Ok();
}

// The 8-bit record of a wide one: error 22 for a name without an 8-bit form that fits.
Status NarrowFindData(const _UDF_FIND_DATAW &w, _UDF_FIND_DATAA &a) {
  std::memset(&a, 0, sizeof a);
  std::string name;
  if (!Utf16ToNarrow(w.cFileName, WideLength(w.cFileName), name) ||
      name.size() >= sizeof a.cFileName)
    return KORVA_E_INVALID_NAME;
  a.dwFileAttributes = w.dwFileAttributes;
  a.ftCreationTime = w.ftCreationTime;
  a.ftLastAccessTime = w.ftLastAccessTime;
  a.ftLastWriteTime = w.ftLastWriteTime;
  a.nFileSizeHigh = w.nFileSizeHigh;
  a.nFileSizeLow = w.nFileSizeLow;
  std::memcpy(a.cFileName, name.data(), name.size());
  return Status::Ok();
}

// The first entry that matches the pattern, and a find handle standing at it. A pattern
// that matches nothing fails unnumbered.
Status FindFirst(TUDFRewritableVolume &v, std::u16string_view p, _UDF_FIND_DATAW &data,
                 UDF_HANDLE &h) {
  auto di = std::make_unique<DirectoryInformation>();
  di->Pattern = SplitParent(p).Name;
  di->DirICB = RootBlock(v);
  bool found = false;
  if (Status s = LocatePath(v, p, *di, found); !s.IsOk()) return s;
  if (!found) return Status::Unnumbered();
  if (Status s = FillFindData(v, *di, data); !s.IsOk()) return s;
  FindHandleList *list = FindHandlesOf(v);
  if (!list) return KORVA_E_NOT_COMPATIBLE;
  h = list->Add(std::move(di));
  return Status::Ok();
}

// The next entry that matches the pattern of a find handle; at the end, unnumbered with
// the operating system's "no more files".
Status FindNext(TUDFRewritableVolume &v, DirectoryInformation &di, _UDF_FIND_DATAW &data) {
  bool found = false;
  if (di.HasResult) {
    if (Status s = LocatePath(v, di.Pattern, di, found, {.Resume = true, .SkipFirst = true});
        !s.IsOk())
      return s;
  }
  if (!found) {
    KorvaSetLastOSError(KORVA_ERROR_NO_MORE_FILES);
    return Status::Unnumbered();
  }
  return FillFindData(v, di, data);
}

} // namespace

KORVA_API UDF_HANDLE UDF_FindFirstFileW(TUDFRewritableVolume *volume, const KWCHAR *path,
                                        _UDF_FIND_DATAW *data) {
  if (!volume) return UDF_INVALID_HANDLE;
  TUDFRewritableVolume &v = *volume;
  if (RefuseWhileBusy(v)) return UDF_INVALID_HANDLE;
  if (!v.Compatible) {
    SetError(v, KORVA_E_NOT_COMPATIBLE);
    return UDF_INVALID_HANDLE;
  }
  // A path naming a directory rather than a pattern finds nothing and leaves the error alone.
  const size_t len = WideLength(path);
  if (len == 0 || path[len - 1] == kPathSeparator) return UDF_INVALID_HANDLE;
  if (!data) return ReportHandle(v, KORVA_E_INVALID_PARAMETER, UDF_INVALID_HANDLE);
  if (Status s = BeginFsOperation(v); !s.IsOk()) return ReportHandle(v, s, UDF_INVALID_HANDLE);
  UDF_HANDLE h = UDF_INVALID_HANDLE;
  const Status s = FindFirst(v, std::u16string_view(path, len), *data, h);
  return ReportHandle(v, s, h);
}

KORVA_API KBOOL UDF_FindNextFileW(TUDFRewritableVolume *volume, UDF_HANDLE handle,
                                  _UDF_FIND_DATAW *data) {
  if (!volume) return KFALSE;
  TUDFRewritableVolume &v = *volume;
  if (!RequireCompatible(v)) return KFALSE;
  FindHandleList *list = FindHandlesOf(v);
  DirectoryInformation *di = list ? list->Find(handle) : nullptr;
  if (!di) return Report(v, KORVA_E_BAD_FIND_HANDLE);
  if (!data) return Report(v, KORVA_E_INVALID_PARAMETER);
  if (Status s = BeginFsOperation(v); !s.IsOk()) return Report(v, s);
  return Report(v, FindNext(v, *di, *data));
}

KORVA_API KBOOL UDF_FindClose(TUDFRewritableVolume *volume, UDF_HANDLE handle) {
  if (!volume || RefuseWhileBusy(*volume)) return KFALSE;
  volume->LastError = 0;
  FindHandleList *list = FindHandlesOf(*volume);
  return list && list->Remove(handle) ? KTRUE : KFALSE;
}

KORVA_API KBOOL UDF_FindEntryLocation(TUDFRewritableVolume *volume, UDF_HANDLE handle,
                                      uint32_t *block) {
  if (!volume) return KFALSE;
  volume->LastError = 0;
  FindHandleList *list = FindHandlesOf(*volume);
  const DirectoryInformation *di = list ? list->Find(handle) : nullptr;
  if (!di || !di->HasResult) return Report(*volume, KORVA_E_BAD_FIND_HANDLE);
  if (!block) return Report(*volume, KORVA_E_INVALID_PARAMETER);
  *block = di->EntryICB;
  return KTRUE;
}

KORVA_API UDF_HANDLE UDF_FindFirstFile(TUDFRewritableVolume *volume, const char *path,
                                       _UDF_FIND_DATAA *data) {
  if (!volume) return UDF_INVALID_HANDLE;
  if (!RequireCompatible(*volume)) return UDF_INVALID_HANDLE;
  std::u16string p;
  if (!path) return UDF_INVALID_HANDLE;
  if (!WidenArgument(*volume, path, p)) return UDF_INVALID_HANDLE;
  if (!data) return ReportHandle(*volume, KORVA_E_INVALID_PARAMETER, UDF_INVALID_HANDLE);
  _UDF_FIND_DATAW w;
  UDF_HANDLE h = UDF_FindFirstFileW(volume, p.c_str(), &w);
  if (h == UDF_INVALID_HANDLE) return h;
  const Status s = NarrowFindData(w, *data);
  if (!s.IsOk()) UDF_FindClose(volume, h);
  return ReportHandle(*volume, s, h);
}

KORVA_API KBOOL UDF_FindNextFile(TUDFRewritableVolume *volume, UDF_HANDLE handle,
                                 _UDF_FIND_DATAA *data) {
  if (!volume) return KFALSE;
  if (!data) {
    if (RequireCompatible(*volume)) SetError(*volume, KORVA_E_INVALID_PARAMETER);
    return KFALSE;
  }
  _UDF_FIND_DATAW w;
  if (!UDF_FindNextFileW(volume, handle, &w)) return KFALSE;
  return Report(*volume, NarrowFindData(w, *data));
}
