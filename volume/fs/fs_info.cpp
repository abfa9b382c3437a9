// Information about one entry, changing its times and permissions, and the handle
// operations beyond sequential transfer: moving the position and emptying a file.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "korva/files.h"
#include "udf/byte_order.h"
#include "udf/descriptors.h"
#include "udf/entry_record.h"
#include "udf/path_components.h"
#include "udf/tag.h"
#include "udf/timestamp.h"
#include "udf/utf8.h"
#include "volume/engine.h"
#include "volume/fs/fs_internal.h"
#include "volume/fs/fs_lookup.h"
#include "volume/fs/fs_path.h"
#include "volume/fs/fs_records.h"

namespace korva {

namespace {
// File time of 1970-01-01 00:00:00 UTC.
constexpr uint64_t kUnixEpochFileTime = 116444736000000000ull;
constexpr uint32_t kPermissionBits = 0x7FFF;
} // namespace

bool EntryRef::IsDirectory() const {
  return IsRoot || (At.Characteristics & kFidDirectory) != 0;
}

std::u16string JoinPath(const std::vector<std::u16string> &parts, size_t count) {
  std::u16string out(1, kPathSeparator);
  for (size_t i = 0; i < count && i < parts.size(); ++i) {
    if (i) out += kPathSeparator;
    out += parts[i];
  }
  return out;
}

bool ResolveEntry(TUDFRewritableVolume &v, std::u16string_view path, EntryRef &out) {
  out = EntryRef();
  out.Parts = SplitPath(path);
  if (out.Parts.empty()) {
    out.IsRoot = true;
    out.DirBlock = out.EntryBlock = RootBlock(v);
    return true;
  }
  const std::u16string &name = out.Parts.back();
  if (!IsLookupName(name)) {
    SetError(v, KORVA_E_INVALID_NAME);
    return false;
  }
  const std::u16string parent = JoinPath(out.Parts, out.Parts.size() - 1);
  if (!ResolveParent(v, parent, true, out.DirBlock)) return false;
  bool taken = false;
  if (!NameTaken(v, out.DirBlock, name, taken, out.At)) return false;
  if (!taken) {
    SetError(v, KORVA_E_FILE_NOT_FOUND);
    return false;
  }
  out.EntryBlock = out.At.EntryICB;
  return true;
}

bool FileTimeToStamp(uint64_t fileTime, UDF_TimeStamp &stamp) {
  const int64_t units = int64_t(fileTime / 10) - int64_t(kUnixEpochFileTime / 10);
  int64_t seconds = units / 1000000;
  int64_t micro = units % 1000000;
  if (micro < 0) {
    micro += 1000000;
    --seconds;
  }
  return udf_time_to_stamp(&stamp, seconds, static_cast<int32_t>(micro));
}

uint64_t StampToFineFileTime(const UDF_TimeStamp &stamp) {
  const uint64_t coarse = StampToFileTime(stamp);
  if (coarse == 0) return 0;
  const uint32_t hundreds = stamp.HundredsofMicroseconds < 100 ? stamp.HundredsofMicroseconds : 0;
  const uint32_t micro = stamp.Microseconds < 100 ? stamp.Microseconds : 0;
  return coarse + (uint64_t(hundreds) * 100 + micro) * 10;
}

} // namespace korva

using namespace korva;

namespace {

// Reads the file entry of a resolved entry; false (read error) when it is not a valid one.
bool LoadEntry(TUDFRewritableVolume &v, const EntryRef &e, uint8_t *fe, EntryFields &info) {
  if (!ReadBlock(v, e.EntryBlock, fe)) return false;
  if (!ReadEntryFields(fe, e.EntryBlock, info)) {
    FailRead(v);
    return false;
  }
  return true;
}

bool GetInfo(TUDFRewritableVolume &v, std::u16string_view path, KorvaFileInfo &out) {
  std::memset(&out, 0, sizeof out);
  EntryRef e;
  if (!ResolveEntry(v, path, e)) return false;
  uint8_t fe[kBlockSize];
  EntryFields info;
  if (!LoadEntry(v, e, fe, info)) return false;
  const bool dir = info.FileType == kFileTypeDirectory;
  out.Kind = dir ? KORVA_ENTRY_DIRECTORY : KORVA_ENTRY_FILE;
  uint32_t attr = 0;
  if ((info.Permissions & kPermWriteOrDelete) == 0) attr |= UDF_FILE_ATTRIBUTE_READONLY;
  if (!e.IsRoot && (e.At.Characteristics & kFidHidden)) attr |= UDF_FILE_ATTRIBUTE_HIDDEN;
  if (info.ICBFlags & kICBFlagSystem) attr |= UDF_FILE_ATTRIBUTE_SYSTEM;
  if (dir) attr |= UDF_FILE_ATTRIBUTE_DIRECTORY;
  if (info.ICBFlags & kICBFlagArchive) attr |= UDF_FILE_ATTRIBUTE_ARCHIVE;
  out.Attributes = attr ? attr : UDF_FILE_ATTRIBUTE_NORMAL;
  out.Size = info.InformationLength;
  out.BlocksRecorded = info.BlocksRecorded;
  out.AccessTime = StampToFineFileTime(info.AccessTime);
  out.ModificationTime = StampToFineFileTime(info.ModificationTime);
  out.AttributeTime = StampToFineFileTime(info.AttributeTime);
  out.UniqueID = info.UniqueID;
  out.Permissions = info.Permissions;
  out.LinkCount = info.LinkCount;
  out.FileType = info.FileType;
  out.Uid = info.Uid;
  out.Gid = info.Gid;
  if (info.FileType == kFileTypeBlockDevice || info.FileType == kFileTypeCharDevice) {
    if (const auto dev = FindDeviceSpecification(fe + info.EAOffset, info.EALength)) {
      out.DeviceMajor = dev->Major;
      out.DeviceMinor = dev->Minor;
    }
  }
  return true;
}

// Longest symbolic link data read: far beyond any path a system resolves.
constexpr uint64_t kMaxLinkBytes = 65536;

// The target of the symbolic link at path.
bool ReadLinkTarget(TUDFRewritableVolume &v, std::u16string_view path, std::u16string &target) {
  EntryRef e;
  if (!ResolveEntry(v, path, e)) return false;
  DirectoryStream data(ReaderOf(v), v.PartitionLength);
  const DirectoryStream::Status st = data.Open(e.EntryBlock, kFileTypeSymlink);
  if (st == DirectoryStream::IoError) return false;
  if (st != DirectoryStream::Ok) {
    SetError(v, KORVA_E_INVALID_PARAMETER);
    return false;
  }
  const uint64_t size = data.Entry().InformationLength;
  if (size > kMaxLinkBytes || data.Size() < size) {
    SetError(v, KORVA_E_DAMAGED);
    return false;
  }
  std::vector<uint8_t> bytes(size_t(size), 0);
  bool ioError = false;
  if (size && !data.ReadBytes(0, bytes.data(), bytes.size(), ioError)) {
    if (ioError)
      FailRead(v);
    else
      SetError(v, KORVA_E_DAMAGED);
    return false;
  }
  const std::optional<std::u16string> p = PathFromComponents(bytes.data(), bytes.size());
  if (!p) {
    SetError(v, KORVA_E_DAMAGED);
    return false;
  }
  target = *p;
  return true;
}

// Copies a terminated result of `units` units into the caller's room, or fails with 25.
template <class Char>
bool HandOut(TUDFRewritableVolume &v, const Char *units, size_t count, Char *dst, uint32_t room,
             uint32_t *length) {
  if (length) *length = static_cast<uint32_t>(count);
  if (!dst || count >= room) {
    SetError(v, KORVA_E_INVALID_PARAMETER);
    return false;
  }
  std::copy(units, units + count, dst);
  dst[count] = 0;
  return true;
}

// Changes fields of an entry's file entry in place (times, permissions) and writes it back.
template <class Change>
bool ChangeEntry(TUDFRewritableVolume &v, std::u16string_view path, Change change) {
  EntryRef e;
  if (!ResolveEntry(v, path, e)) return false;
  uint8_t fe[kBlockSize];
  EntryFields info;
  if (!LoadEntry(v, e, fe, info)) return false;
  std::optional<MutableEntryRecord> record = MutableEntryRecord::Of(fe, kBlockSize);
  change(*record);
  record->SetAttributeTime(StampNow());
  RefillEntryTag(fe, e.EntryBlock);
  return WriteBlock(v, e.EntryBlock, fe);
}

bool BeginPathOperation(TUDFRewritableVolume &v, const KWCHAR *path) {
  if (!BeginFsOperation(v)) return false;
  if (!path) {
    SetError(v, KORVA_E_INVALID_PARAMETER);
    return false;
  }
  return true;
}

OpenFileInformation *WritableHandle(TUDFRewritableVolume &v, UDF_HANDLE handle, FileView &view) {
  if (!BeginFsOperation(v)) return nullptr;
  OpenFileInformation *f = LiveHandle(v, handle, UDF_GENERIC_WRITE);
  if (!f || !LoadFile(v, *f, view)) return nullptr;
  return f;
}

} // namespace

KORVA_API KBOOL UDF_GetFileInfoW(TUDFRewritableVolume *volume, const KWCHAR *path,
                                 KorvaFileInfo *info) {
  if (!volume) return KFALSE;
  TUDFRewritableVolume &v = *volume;
  if (!BeginPathOperation(v, path)) return KFALSE;
  if (!info) {
    SetError(v, KORVA_E_INVALID_PARAMETER);
    return KFALSE;
  }
  return GetInfo(v, std::u16string_view(path, WideLength(path)), *info) ? KTRUE : KFALSE;
}

KORVA_API KBOOL UDF_GetFileInfo(TUDFRewritableVolume *volume, const char *path,
                                KorvaFileInfo *info) {
  std::u16string p;
  if (!volume || !WidenArguments(*volume, {path}, &p)) return KFALSE;
  return UDF_GetFileInfoW(volume, p.c_str(), info);
}

KORVA_API KBOOL UDF_ReadLinkW(TUDFRewritableVolume *volume, const KWCHAR *path, KWCHAR *target,
                             uint32_t targetChars, uint32_t *length) {
  if (!volume) return KFALSE;
  TUDFRewritableVolume &v = *volume;
  if (!BeginPathOperation(v, path)) return KFALSE;
  std::u16string t;
  if (!ReadLinkTarget(v, std::u16string_view(path, WideLength(path)), t)) return KFALSE;
  return HandOut<KWCHAR>(v, t.data(), t.size(), target, targetChars, length) ? KTRUE : KFALSE;
}

KORVA_API KBOOL UDF_ReadLink(TUDFRewritableVolume *volume, const char *path, char *target,
                            uint32_t targetChars, uint32_t *length) {
  if (!volume) return KFALSE;
  TUDFRewritableVolume &v = *volume;
  std::u16string p, t;
  if (!WidenArguments(v, {path}, &p) || !BeginPathOperation(v, p.c_str())) return KFALSE;
  if (!ReadLinkTarget(v, p, t)) return KFALSE;
  std::string narrow;
  if (!Utf16ToUtf8(t, narrow)) {
    SetError(v, KORVA_E_INVALID_NAME);
    return KFALSE;
  }
  return HandOut<char>(v, narrow.data(), narrow.size(), target, targetChars, length) ? KTRUE
                                                                                     : KFALSE;
}

KORVA_API KBOOL UDF_SetFileTimesW(TUDFRewritableVolume *volume, const KWCHAR *path,
                                  const uint64_t *access_time, const uint64_t *modification_time) {
  if (!volume) return KFALSE;
  TUDFRewritableVolume &v = *volume;
  if (!BeginPathOperation(v, path)) return KFALSE;
  UDF_TimeStamp access{}, modified{};
  if ((access_time && !FileTimeToStamp(*access_time, access)) ||
      (modification_time && !FileTimeToStamp(*modification_time, modified))) {
    SetError(v, KORVA_E_INVALID_PARAMETER);
    return KFALSE;
  }
  return ChangeEntry(v, std::u16string_view(path, WideLength(path)),
                     [&](MutableEntryRecord &fe) {
                       if (access_time) fe.SetAccessTime(access);
                       if (modification_time) fe.SetModificationTime(modified);
                     })
             ? KTRUE
             : KFALSE;
}

KORVA_API KBOOL UDF_SetFileTimes(TUDFRewritableVolume *volume, const char *path,
                                 const uint64_t *access_time, const uint64_t *modification_time) {
  std::u16string p;
  if (!volume || !WidenArguments(*volume, {path}, &p)) return KFALSE;
  return UDF_SetFileTimesW(volume, p.c_str(), access_time, modification_time);
}

KORVA_API KBOOL UDF_SetFilePermissionsW(TUDFRewritableVolume *volume, const KWCHAR *path,
                                        uint32_t permissions) {
  if (!volume) return KFALSE;
  TUDFRewritableVolume &v = *volume;
  if (!BeginPathOperation(v, path)) return KFALSE;
  if (permissions & ~kPermissionBits) {
    SetError(v, KORVA_E_INVALID_PARAMETER);
    return KFALSE;
  }
  return ChangeEntry(v, std::u16string_view(path, WideLength(path)),
                     [&](MutableEntryRecord &fe) { fe.SetPermissions(permissions); })
             ? KTRUE
             : KFALSE;
}

KORVA_API KBOOL UDF_SetFilePermissions(TUDFRewritableVolume *volume, const char *path,
                                       uint32_t permissions) {
  std::u16string p;
  if (!volume || !WidenArguments(*volume, {path}, &p)) return KFALSE;
  return UDF_SetFilePermissionsW(volume, p.c_str(), permissions);
}

KORVA_API KBOOL UDF_SetFilePointer(TUDFRewritableVolume *volume, UDF_HANDLE handle,
                                   uint64_t position) {
  if (!volume) return KFALSE;
  TUDFRewritableVolume &v = *volume;
  if (!BeginFsOperation(v)) return KFALSE;
  OpenFileInformation *f = LiveHandle(v, handle, 0);
  FileView view;
  if (!f || !LoadFile(v, *f, view)) return KFALSE;
  if (position > view.Info.InformationLength) {
    SetError(v, KORVA_E_INVALID_PARAMETER);
    return KFALSE;
  }
  f->Position = position;
  SyncHandle(*f, view);
  return KTRUE;
}

KORVA_API KBOOL UDF_TruncateFile(TUDFRewritableVolume *volume, UDF_HANDLE handle) {
  if (!volume) return KFALSE;
  TUDFRewritableVolume &v = *volume;
  FileView view;
  OpenFileInformation *f = WritableHandle(v, handle, view);
  if (!f || !MayFreeEntryBlocks(v, f->FEBlock, view.List, std::nullopt)) return KFALSE;
  // The entry stops referring to the blocks before they are given back, so that nothing on
  // the medium ever points at a free block. It keeps its form (short, long or embedded), now
  // with nothing in it; extension blocks of its list are freed with the data.
  const std::optional<DescriptorArea> area = DescriptorAreaOf(view.FE, kBlockSize);
  if (!area) {
    FailRead(v);
    return KFALSE;
  }
  std::memset(view.FE + area->First, 0, area->Length);
  StoreDescriptorLength(view.FE, *area, 0);
  UpdateFileEntry(view.FE, f->FEBlock, 0, 0, 0, true);
  if (!WriteBlock(v, f->FEBlock, view.FE)) return KFALSE;
  const int64_t freed = FreeEntryBlocks(v, f->FEBlock, view.List, true);
  if (!CommitIntegrity(v, freed, 0, 0)) return KFALSE;
  f->Position = 0;
  view.Info.InformationLength = 0;
  view.List = DescriptorList();
  view.List.EndBlock = f->FEBlock;
  view.List.EndOffset = static_cast<uint16_t>(area->First);
  SyncHandle(*f, view);
  return KTRUE;
}
