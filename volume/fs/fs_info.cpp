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
#include "udf/narrow.h"
#include "udf/path_components.h"
#include "udf/tag.h"
#include "udf/timestamp.h"
#include "udf/utf8.h"
#include "volume/engine.h"
#include "volume/fs/fs_internal.h"
#include "volume/fs/fs_lookup.h"
#include "volume/fs/fs_path.h"
#include "volume/fs/fs_records.h"
#include "volume/medium/partition_map.h"

namespace korva {

namespace {
// File time of 1970-01-01 00:00:00 UTC.
constexpr uint64_t kUnixEpochFileTime = 116444736000000000ull;
constexpr uint32_t kPermissionBits = 0x7FFF;
constexpr uint32_t kSpecialBits =
    UDF_PERMISSION_SETUID | UDF_PERMISSION_SETGID | UDF_PERMISSION_STICKY;
// The ICB flags that hold the set-user-ID, set-group-ID and sticky bits.
constexpr uint16_t kICBFlagSetUid = 0x0040, kICBFlagSetGid = 0x0080, kICBFlagSticky = 0x0100;
uint32_t SpecialBitsOf(uint16_t icbFlags) {
  return ((icbFlags & kICBFlagSetUid) ? UDF_PERMISSION_SETUID : 0) |
         ((icbFlags & kICBFlagSetGid) ? UDF_PERMISSION_SETGID : 0) |
         ((icbFlags & kICBFlagSticky) ? UDF_PERMISSION_STICKY : 0);
}
uint16_t ICBFlagsWith(uint16_t icbFlags, uint32_t permissions) {
  icbFlags &= uint16_t(~(kICBFlagSetUid | kICBFlagSetGid | kICBFlagSticky));
  if (permissions & UDF_PERMISSION_SETUID) icbFlags |= kICBFlagSetUid;
  if (permissions & UDF_PERMISSION_SETGID) icbFlags |= kICBFlagSetGid;
  if (permissions & UDF_PERMISSION_STICKY) icbFlags |= kICBFlagSticky;
  return icbFlags;
}
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

Status ResolveEntry(TUDFRewritableVolume &v, std::u16string_view path, EntryRef &out) {
  out = EntryRef();
  out.Parts = SplitPath(path);
  if (out.Parts.empty()) {
    out.IsRoot = true;
    out.DirBlock = out.EntryBlock = RootBlock(v);
    return Status::Ok();
  }
  const std::u16string &name = out.Parts.back();
  if (!IsLookupName(name)) return KORVA_E_INVALID_NAME;
  const std::u16string parent = JoinPath(out.Parts, out.Parts.size() - 1);
  std::vector<uint32_t> above;
  bool taken = false;
  if (Status s = ResolveParent(v, parent, true, out.DirBlock, &above); !s.IsOk()) return s;
  if (Status s = NameTaken(v, out.DirBlock, name, taken, out.At); !s.IsOk()) return s;
  if (!taken) return KORVA_E_FILE_NOT_FOUND;
  out.EntryBlock = out.At.EntryICB;
  return out.IsDirectory() ? LeadsBackUp(above, out.EntryBlock) : Status::Ok();
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
// `fe` has room for any entry (an EntryBuffer).
Status LoadEntry(TUDFRewritableVolume &v, const EntryRef &e, uint8_t *fe, EntryFields &info) {
  if (Status s = ReadEntry(v, e.EntryBlock, fe); !s.IsOk()) return s;
  if (!ReadEntryFields(fe, e.EntryBlock, info, EntryBytesOf(v))) return ReadFailure(v);
  return Status::Ok();
}

Status GetInfo(TUDFRewritableVolume &v, std::u16string_view path, KorvaFileInfo &out) {
  std::memset(&out, 0, sizeof out);
  EntryRef e;
  if (Status s = ResolveEntry(v, path, e); !s.IsOk()) return s;
  EntryBuffer fe;
  EntryFields info;
  if (Status s = LoadEntry(v, e, fe, info); !s.IsOk()) return s;
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
  out.Permissions = (info.Permissions & kPermissionBits) | SpecialBitsOf(info.ICBFlags);
  out.LinkCount = info.LinkCount;
  out.FileType = info.FileType;
  out.Uid = info.Uid;
  out.Gid = info.Gid;
  if (info.FileType == kFileTypeBlockDevice || info.FileType == kFileTypeCharDevice) {
    if (const auto dev = FindDeviceSpecification(fe + info.ExtendedAttributesOffset(),
                                                    info.ExtendedAttributesLength)) {
      out.DeviceMajor = dev->Major;
      out.DeviceMinor = dev->Minor;
    }
  }
  return Status::Ok();
}

// Longest symbolic link data read: far beyond any path a system resolves.
constexpr uint64_t kMaxLinkBytes = 65536;

// The target of the symbolic link at path.
Status ReadLinkTarget(TUDFRewritableVolume &v, std::u16string_view path,
                      std::u16string &target) {
  EntryRef e;
  if (Status s = ResolveEntry(v, path, e); !s.IsOk()) return s;
  DirectoryStream data(ReaderOf(v), BlockSpaceOf(v));
  const DirectoryStream::Status st = data.Open(e.EntryBlock, kFileTypeSymlink);
  if (st == DirectoryStream::IoError) return StatusFromLastError(v);
  if (st != DirectoryStream::Ok) return KORVA_E_INVALID_PARAMETER;
  const uint64_t size = data.Entry().InformationLength;
  if (size > kMaxLinkBytes || data.Size() < size) return KORVA_E_DAMAGED;
  std::vector<uint8_t> bytes(size_t(size), 0);
  bool ioError = false;
  if (size && !data.ReadBytes(0, bytes.data(), bytes.size(), ioError))
    return ioError ? ReadFailure(v) : Status(KORVA_E_DAMAGED);
  const std::optional<std::u16string> p = PathFromComponents(bytes.data(), bytes.size());
  if (!p) return KORVA_E_DAMAGED;
  target = *p;
  return Status::Ok();
}

// Copies a terminated result of `units` units into the caller's room, or fails with 25.
template <class Char>
Status HandOut(const Char *units, size_t count, Char *dst, uint32_t room, uint32_t *length) {
  if (length) *length = static_cast<uint32_t>(count);
  if (!dst || count >= room) return KORVA_E_INVALID_PARAMETER;
  std::copy(units, units + count, dst);
  dst[count] = 0;
  return Status::Ok();
}

// Changes fields of an entry's file entry in place (times, permissions) and writes it back.
template <class Change>
Status ChangeEntry(TUDFRewritableVolume &v, std::u16string_view path, Change change) {
  EntryRef e;
  if (Status s = ResolveEntry(v, path, e); !s.IsOk()) return s;
  EntryBuffer fe;
  EntryFields info;
  if (Status s = LoadEntry(v, e, fe, info); !s.IsOk()) return s;
  std::optional<MutableEntryRecord> record = MutableEntryRecord::Of(fe, kBlockSize);
  change(*record);
  record->SetAttributeTime(StampNow());
  RefillEntryTag(fe, e.EntryBlock);
  if (Status s = StoreBlock(v, e.EntryBlock, fe); !s.IsOk()) return s;
  return Status::Ok();
}

bool BeginPathOperation(TUDFRewritableVolume &v, const KWCHAR *path) {
  if (!KeepInLastError(v, BeginFsOperation(v))) return false;
  if (!path) {
    SetError(v, KORVA_E_INVALID_PARAMETER);
    return false;
  }
  return true;
}

// Begins an operation on the file of a handle opened with one of the `access` rights (any
// when 0), loaded into view.
Status BeginOnHandle(TUDFRewritableVolume &v, UDF_HANDLE handle, uint32_t access, FileView &view,
                     OpenFileInformation *&f) {
  if (Status s = BeginFsOperation(v); !s.IsOk()) return s;
  if (Status s = LiveHandle(v, handle, access, f); !s.IsOk()) return s;
  return LoadFile(v, *f, view);
}

// Cuts a file with embedded data to `size` bytes: the bytes beyond are cleared.
Status ShrinkEmbedded(TUDFRewritableVolume &v, OpenFileInformation &f, FileView &view,
                      uint64_t size) {
  const std::optional<DescriptorArea> area = DescriptorAreaOf(view.FE, kBlockSize);
  if (!area || size > area->Length) return ReadFailure(v);
  std::memset(view.FE + area->First + size, 0, area->Length - size);
  StoreLE32(view.FE + area->LengthField, static_cast<uint32_t>(size));
  UpdateFileEntry(view.FE, f.FEBlock, size, view.Info.BlocksRecorded, 0, true);
  if (Status s = StoreBlock(v, f.FEBlock, view.FE); !s.IsOk()) return s;
  return CommitIntegrity(v, 0, 0, 0);
}

// Ends the list in `block` (the file entry or an extension block) after the descriptor at
// `offset`, which becomes `ad`.
void EndListAt(uint8_t *block, uint16_t offset, ShortADValue ad, uint32_t adBytes) {
  StoreAD(block + offset, ad);
  const std::optional<DescriptorArea> area = DescriptorAreaOf(block, kBlockSize);
  if (!area) return;
  const uint32_t end = offset + adBytes;
  if (area->First + area->Length > end)
    std::memset(block + end, 0, area->First + area->Length - end);
  StoreLE32(block + area->LengthField, end - area->First);
}

} // namespace

namespace korva {

Status CutDescriptorList(TUDFRewritableVolume &v, uint32_t feBlock, uint8_t *fe,
                         const DescriptorList &list, uint64_t size, ListCut &out) {
  const std::vector<ADSlot> &ext = list.Extents;
  out = ListCut();
  if (ext.empty()) return Status::Ok();
  uint64_t start = 0;
  size_t k = 0;
  while (k + 1 < ext.size() && start + ext[k].AD.Length() < size)
    start += ext[k++].AD.Length();
  const ADSlot cut = ext[k];
  const uint32_t keep = static_cast<uint32_t>(std::min<uint64_t>(size - start, cut.AD.Length()));
  ShortADValue ad = cut.AD;
  ad.LengthWord = (ad.LengthWord & 0xC0000000u) | keep;
  const uint32_t adBytes = list.Form == kDescriptorsLong ? kLongADBytes : kShortADBytes;
  const bool inEntry = cut.SlotBlock == feBlock;
  if (!inEntry) {
    uint8_t aed[kBlockSize];
    if (Status s = LoadBlock(v, cut.SlotBlock, aed); !s.IsOk()) return s;
    EndListAt(aed, cut.SlotOffset, ad, adBytes);
    RefillListBlockTag(aed, cut.SlotBlock, false, adBytes);
    if (Status s = StoreBlock(v, cut.SlotBlock, aed); !s.IsOk()) return s;
  } else {
    EndListAt(fe, cut.SlotOffset, ad, adBytes);
  }
  // What goes: the tail of the cut extent, every later extent and later extension block.
  auto blocksOf = [](uint64_t bytes) { return (bytes + kBlockSize - 1) / kBlockSize; };
  if (cut.AD.Type() != kExtentNotAllocated && blocksOf(cut.AD.Length()) > blocksOf(keep))
    out.Data.push_back({cut.AD.Block + uint32_t(blocksOf(keep)),
                        blocksOf(cut.AD.Length()) - blocksOf(keep)});
  for (size_t i = k + 1; i < ext.size(); ++i)
    if (ext[i].AD.Type() != kExtentNotAllocated)
      out.Data.push_back({ext[i].AD.Block, blocksOf(ext[i].AD.Length())});
  const auto &chain = list.Extensions;
  auto after = inEntry ? chain.begin() : std::find(chain.begin(), chain.end(), cut.SlotBlock);
  if (after != chain.end() && !inEntry) ++after;
  out.Chain.assign(after, chain.end());
  return Status::Ok();
}

Status TrimDirectoryToLength(TUDFRewritableVolume &v, uint32_t feBlock) {
  uint8_t fe[kBlockSize];
  EntryFields info;
  DescriptorList list;
  if (Status s = LoadBlock(v, feBlock, fe); !s.IsOk()) return s;
  if (!ReadEntryFields(fe, feBlock, info) ||
      !ReadDescriptorList(ReaderOf(v), v.PartitionLength, feBlock, fe, list) || list.Corrupt)
    return ReadFailure(v);
  if (list.Embedded() || info.InformationLength == 0 ||
      list.TotalBytes() <= info.InformationLength)
    return Status::Ok();
  ListCut cut;
  if (Status s = CutDescriptorList(v, feBlock, fe, list, info.InformationLength, cut); !s.IsOk())
    return s;
  uint64_t dropped = 0;
  for (auto &r : cut.Data)
    dropped += r.second;
  const uint64_t recorded = info.BlocksRecorded > dropped ? info.BlocksRecorded - dropped : 0;
  UpdateFileEntry(fe, feBlock, info.InformationLength, recorded, 0, false);
  return StoreBlock(v, feBlock, fe);
}

} // namespace korva

namespace {

// Cuts a file to `size` bytes (0 < size < its length): the extent holding the new last byte
// is shortened and ends the list; what lay beyond is freed once the entry no longer refers to
// it. A cut inside an extension block writes that block first: a crash before the file entry
// follows leaves an entry longer than its list, which repair shortens to the cut.
Status ShrinkFile(TUDFRewritableVolume &v, OpenFileInformation &f, FileView &view,
                  uint64_t size) {
  if (Status s = MayFreeEntryBlocks(v, f.FEBlock, view.List, std::nullopt); !s.IsOk()) return s;
  if (view.List.Embedded()) return ShrinkEmbedded(v, f, view, size);
  ListCut cut;
  if (Status s = CutDescriptorList(v, f.FEBlock, view.FE, view.List, size, cut); !s.IsOk())
    return s;
  int64_t freedData = 0;
  for (auto &r : cut.Data)
    for (uint64_t b = 0; b < r.second; ++b)
      freedData += BlockInUse(v, uint32_t(r.first + b)) ? 1 : 0;
  const uint64_t recorded = view.Info.BlocksRecorded;
  UpdateFileEntry(view.FE, f.FEBlock, size,
                  recorded > uint64_t(freedData) ? recorded - uint64_t(freedData) : 0, 0, true);
  if (Status s = StoreBlock(v, f.FEBlock, view.FE); !s.IsOk()) return s;
  int64_t freed = 0;
  for (auto &r : cut.Data)
    FreeRun(v, r.first, r.second, freed);
  for (uint32_t b : cut.Chain)
    FreeRun(v, b, 1, freed);
  return CommitIntegrity(v, freed, 0, 0);
}

// Empties a file. The entry stops referring to the blocks before they are given back, so
// that nothing on the medium ever points at a free block. It keeps its form (short, long or
// embedded), now with nothing in it; extension blocks of its list are freed with the data.
Status EmptyFile(TUDFRewritableVolume &v, OpenFileInformation &f, FileView &view) {
  if (Status s = MayFreeEntryBlocks(v, f.FEBlock, view.List, std::nullopt); !s.IsOk()) return s;
  const std::optional<DescriptorArea> area = DescriptorAreaOf(view.FE, kBlockSize);
  if (!area) return ReadFailure(v);
  std::memset(view.FE + area->First, 0, area->Length);
  StoreDescriptorLength(view.FE, *area, 0);
  UpdateFileEntry(view.FE, f.FEBlock, 0, 0, 0, true);
  if (Status s = StoreBlock(v, f.FEBlock, view.FE); !s.IsOk()) return s;
  const int64_t freed = FreeEntryBlocks(v, f.FEBlock, view.List, true);
  if (Status s = CommitIntegrity(v, freed, 0, 0); !s.IsOk()) return s;
  f.Position = 0;
  view.Info.InformationLength = 0;
  view.List = DescriptorList();
  view.List.EndBlock = f.FEBlock;
  view.List.EndOffset = static_cast<uint16_t>(area->First);
  SyncHandle(f, view);
  return Status::Ok();
}

// Moves the handle's position within the file.
Status MovePointer(TUDFRewritableVolume &v, UDF_HANDLE handle, uint64_t position) {
  OpenFileInformation *f = nullptr;
  FileView view;
  if (Status s = BeginOnHandle(v, handle, 0, view, f); !s.IsOk()) return s;
  if (position > view.Info.InformationLength) return KORVA_E_INVALID_PARAMETER;
  f->Position = position;
  SyncHandle(*f, view);
  return Status::Ok();
}

// Lengthens a file to `size` bytes with zeros written at its end; the position stays.
bool GrowFile(TUDFRewritableVolume &v, UDF_HANDLE handle, OpenFileInformation &f, uint64_t size) {
  static const std::vector<uint8_t> zeros(1u << 20);
  const uint64_t position = f.Position;
  if (!UDF_SetFilePointer(&v, handle, f.Size)) return false;
  for (uint64_t at = f.Size; at < size;) {
    const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(zeros.size(), size - at));
    uint32_t done = 0;
    if (!UDF_WriteFile(&v, handle, zeros.data(), n, &done)) return false;
    at += n;
  }
  return UDF_SetFilePointer(&v, handle, position) != 0;
}

} // namespace

KORVA_API KBOOL UDF_SetFileSize(TUDFRewritableVolume *volume, UDF_HANDLE handle, uint64_t size) {
  if (!volume) return KFALSE;
  TUDFRewritableVolume &v = *volume;
  FileView view;
  OpenFileInformation *f = nullptr;
  if (Status s = BeginOnHandle(v, handle, UDF_GENERIC_WRITE, view, f); !s.IsOk())
    return Report(v, s);
  const uint64_t length = view.Info.InformationLength;
  if (size == length) return Report(v, Status::Ok());
  if (size == 0) return UDF_TruncateFile(volume, handle);
  SyncHandle(*f, view);
  // Growing goes through the exported write, which reports for itself.
  if (size > length) return GrowFile(v, handle, *f, size) ? KTRUE : KFALSE;
  if (Status s = ShrinkFile(v, *f, view, size); !s.IsOk()) return Report(v, s);
  FileView fresh;
  if (Status s = LoadFile(v, *f, fresh); !s.IsOk()) return Report(v, s);
  SyncHandle(*f, fresh);
  return Report(v, Status::Ok());
}

KORVA_API KBOOL UDF_GetFileInfoW(TUDFRewritableVolume *volume, const KWCHAR *path,
                                 KorvaFileInfo *info) {
  if (!volume) return KFALSE;
  TUDFRewritableVolume &v = *volume;
  if (!BeginPathOperation(v, path)) return KFALSE;
  if (!info) return Report(v, KORVA_E_INVALID_PARAMETER);
  return Report(v, GetInfo(v, std::u16string_view(path, WideLength(path)), *info));
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
  Status s = ReadLinkTarget(v, std::u16string_view(path, WideLength(path)), t);
  if (s.IsOk()) s = HandOut<KWCHAR>(t.data(), t.size(), target, targetChars, length);
  return Report(v, s);
}

KORVA_API KBOOL UDF_ReadLink(TUDFRewritableVolume *volume, const char *path, char *target,
                            uint32_t targetChars, uint32_t *length) {
  if (!volume) return KFALSE;
  TUDFRewritableVolume &v = *volume;
  std::u16string p, t;
  if (!WidenArguments(v, {path}, &p) || !BeginPathOperation(v, p.c_str())) return KFALSE;
  if (Status s = ReadLinkTarget(v, p, t); !s.IsOk()) return Report(v, s);
  std::string narrow;
  if (!Utf16ToNarrow(t.data(), t.size(), narrow)) return Report(v, KORVA_E_INVALID_NAME);
  return Report(v, HandOut<char>(narrow.data(), narrow.size(), target, targetChars, length));
}

KORVA_API KBOOL UDF_SetFileTimesW(TUDFRewritableVolume *volume, const KWCHAR *path,
                                  const uint64_t *access_time, const uint64_t *modification_time) {
  if (!volume) return KFALSE;
  TUDFRewritableVolume &v = *volume;
  if (!BeginPathOperation(v, path)) return KFALSE;
  UDF_TimeStamp access{}, modified{};
  if ((access_time && !FileTimeToStamp(*access_time, access)) ||
      (modification_time && !FileTimeToStamp(*modification_time, modified)))
    return Report(v, KORVA_E_INVALID_PARAMETER);
  return Report(v, ChangeEntry(v, std::u16string_view(path, WideLength(path)),
                               [&](MutableEntryRecord &fe) {
                                 if (access_time) fe.SetAccessTime(access);
                                 if (modification_time) fe.SetModificationTime(modified);
                               }));
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
  if (permissions & ~(kPermissionBits | kSpecialBits))
    return Report(v, KORVA_E_INVALID_PARAMETER);
  return Report(v, ChangeEntry(v, std::u16string_view(path, WideLength(path)),
                               [&](MutableEntryRecord &fe) {
                                 fe.SetPermissions(permissions & kPermissionBits);
                                 fe.SetICBFlags(ICBFlagsWith(fe.ICBFlags(), permissions));
                               }));
}

KORVA_API KBOOL UDF_SetFileOwnerW(TUDFRewritableVolume *volume, const KWCHAR *path, uint32_t uid,
                                  uint32_t gid) {
  if (!volume) return KFALSE;
  TUDFRewritableVolume &v = *volume;
  if (!BeginPathOperation(v, path) || !RequireWritable(v)) return KFALSE;
  return Report(v, ChangeEntry(v, std::u16string_view(path, WideLength(path)),
                               [&](MutableEntryRecord &fe) { fe.SetOwner(uid, gid); }));
}

KORVA_API KBOOL UDF_SetFileOwner(TUDFRewritableVolume *volume, const char *path, uint32_t uid,
                                 uint32_t gid) {
  std::u16string p;
  if (!volume || !WidenArguments(*volume, {path}, &p)) return KFALSE;
  return UDF_SetFileOwnerW(volume, p.c_str(), uid, gid);
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
  return Report(v, MovePointer(v, handle, position));
}

KORVA_API KBOOL UDF_TruncateFile(TUDFRewritableVolume *volume, UDF_HANDLE handle) {
  if (!volume) return KFALSE;
  TUDFRewritableVolume &v = *volume;
  FileView view;
  OpenFileInformation *f = nullptr;
  Status s = BeginOnHandle(v, handle, UDF_GENERIC_WRITE, view, f);
  if (s.IsOk()) s = EmptyFile(v, *f, view);
  return Report(v, s);
}
