// Entries beyond files and directories: hard links (another name for a file entry), symbolic
// links (file type 12, the target as path components in the entry's data) and special files
// (FIFOs, sockets, block and character devices; a device records its numbers in a device
// specification extended attribute), recorded as ECMA-167 describes them so that other
// systems read them back as the same kinds.
#include <cstring>
#include <vector>

#include "korva/files.h"
#include "udf/descriptors.h"
#include "udf/entry_record.h"
#include "udf/tag.h"
#include "udf/path_components.h"
#include "volume/engine.h"
#include "volume/fs/fs_internal.h"
#include "volume/fs/fs_lookup.h"
#include "volume/fs/fs_path.h"
#include "volume/fs/fs_records.h"

namespace korva {
namespace {

// A target's path components take at most this many blocks (a 4095-character path of
// one-character names takes 12 KiB).
constexpr uint32_t kMaxLinkBlocks = 8;

// The parent and name of a new entry's path, checked as a create checks them.
Status ResolveNew(TUDFRewritableVolume &v, const KWCHAR *path, uint32_t &parentBlock,
                  std::u16string &name) {
  if (!path) return KORVA_E_INVALID_PARAMETER;
  ParentAndName pn = SplitParent(std::u16string_view(path, WideLength(path)));
  if (!IsStorableName(pn.Name)) return KORVA_E_INVALID_NAME;
  if (SplitPath(pn.Parent).size() + 1 > KORVA_MAX_DEPTH) return KORVA_E_TOO_DEEP;
  bool taken = false;
  DirectoryInformation di;
  if (Status s = ResolveParent(v, pn.Parent, pn.HasSeparator, parentBlock); !s.IsOk()) return s;
  if (Status s = NameTaken(v, parentBlock, pn.Name, taken, di); !s.IsOk()) return s;
  if (taken) return KORVA_E_FILE_EXISTS;
  name = pn.Name;
  return Status::Ok();
}

// Writes `data` to blocks just taken; one short descriptor per block.
Status WriteDataBlocks(TUDFRewritableVolume &v, const std::vector<uint8_t> &data,
                       const std::vector<uint32_t> &blocks, NewFileEntry &e,
                       std::vector<ShortADValue> &extents) {
  for (size_t i = 0; i < blocks.size(); ++i) {
    uint8_t block[kBlockSize] = {};
    const size_t at = i * kBlockSize;
    const size_t n = std::min<size_t>(kBlockSize, data.size() - at);
    std::memcpy(block, data.data() + at, n);
    if (Status s = StoreBlock(v, blocks[i], block); !s.IsOk()) return s;
    extents.push_back({uint32_t(n), blocks[i]});
  }
  e.InformationLength = data.size();
  e.BlocksRecorded = blocks.size();
  return Status::Ok();
}

// Puts the device specification attribute into a new entry's extended attribute space.
bool AddDeviceAttribute(uint8_t *fe, uint32_t feBlock, uint32_t major, uint32_t minor) {
  uint8_t ea[kDeviceAttributesBytes];
  auto record = MutableEntryRecord::Of(fe, kBlockSize);
  if (!record || !BuildDeviceAttributes(ea, sizeof ea, feBlock, {major, minor}) ||
      !record->InsertExtendedAttributes(ea, sizeof ea, kBlockSize))
    return false;
  RefillEntryTag(fe, feBlock);
  return true;
}

struct NewEntry {
  uint8_t FileType = kFileTypeFile;
  std::vector<uint8_t> Data;    // recorded in blocks of its own
  bool Device = false;
  uint32_t Major = 0, Minor = 0;
};

// Takes a block for the file entry and then one for each block of data, each after the one
// before.
Status TakeEntryBlocks(TUDFRewritableVolume &v, uint32_t &feBlock, std::vector<uint32_t> &blocks) {
  Status s = TakeBlock(v, 0, feBlock);
  for (uint32_t i = 0; s.IsOk() && i < blocks.size(); ++i)
    s = TakeBlock(v, (i ? blocks[i - 1] : feBlock) + 1, blocks[i]);
  return s;
}

// Writes the entry's data into its blocks, then builds its file entry in `fe`.
Status BuildTypedEntry(TUDFRewritableVolume &v, const NewEntry &n, uint32_t feBlock,
                       const std::vector<uint32_t> &blocks, uint8_t *fe) {
  NewFileEntry e;
  e.FileType = n.FileType;
  e.UniqueID = v.NextUniqueID++;
  std::vector<ShortADValue> extents;
  if (Status s = WriteDataBlocks(v, n.Data, blocks, e, extents); !s.IsOk()) return s;
  MakeFileEntry(fe, feBlock, e);
  for (size_t i = 0; i < extents.size(); ++i)
    AppendListAD(fe, uint16_t(176 + i * kShortADBytes), extents[i]);
  RefillEntryTag(fe, feBlock);
  // A new entry always has the room.
  if (n.Device && !AddDeviceAttribute(fe, feBlock, n.Major, n.Minor))
    return KORVA_E_INVALID_PARAMETER;
  return Status::Ok();
}

// Creates an entry of any type but directory: blocks taken first, then its data, its file
// entry and its name, then the integrity descriptor.
Status CreateTyped(TUDFRewritableVolume &v, const KWCHAR *path, const NewEntry &n) {
  uint32_t parentBlock = 0;
  std::u16string name;
  if (Status s = ResolveNew(v, path, parentBlock, name); !s.IsOk()) return s;
  const uint32_t dataBlocks = uint32_t((n.Data.size() + kBlockSize - 1) / kBlockSize);
  AppendPlan plan;
  if (Status s = PlanAppendWithRoom(v, parentBlock, name, 1 + uint64_t(dataBlocks), plan);
      !s.IsOk())
    return s;
  uint32_t feBlock = 0;
  std::vector<uint32_t> blocks(dataBlocks);
  if (Status s = TakeEntryBlocks(v, feBlock, blocks); !s.IsOk()) return s;
  const uint32_t hint = dataBlocks ? blocks.back() + 1 : feBlock + 1;
  if (Status s = TakeAppendBlocks(v, plan, hint); !s.IsOk()) return s;
  uint8_t fe[kBlockSize];
  if (Status s = BuildTypedEntry(v, n, feBlock, blocks, fe); !s.IsOk()) return s;
  if (Status s = StoreBlock(v, feBlock, fe); !s.IsOk()) return s;
  if (Status s = AppendDirectoryEntry(v, plan, 0, feBlock, name, hint, false); !s.IsOk())
    return s;
  return CommitIntegrity(v, -int64_t(1 + dataBlocks + plan.ExtraBlocks()), 1, 0);
}

// Reads the entry a hard link is to name, which must be a file's with room for one more
// link: directories have one name each; the link count is 16 bits.
Status ReadLinkable(TUDFRewritableVolume &v, const EntryRef &source, uint8_t *fe,
                    EntryFields &info) {
  if (Status s = LoadBlock(v, source.EntryBlock, fe); !s.IsOk()) return s;
  if (!ReadEntryFields(fe, source.EntryBlock, info)) return ReadFailure(v);
  if (source.IsDirectory() || info.FileType == kFileTypeDirectory || info.LinkCount == 0xFFFF)
    return KORVA_E_ACCESS;
  return Status::Ok();
}

// A new name for the file entry `existing` leads to.
Status Link(TUDFRewritableVolume &v, const KWCHAR *existing, const KWCHAR *path) {
  if (!existing) return KORVA_E_INVALID_PARAMETER;
  EntryRef source;
  const std::u16string_view from(existing, WideLength(existing));
  if (Status s = ResolveEntry(v, from, source); !s.IsOk()) return s;
  uint8_t fe[kBlockSize];
  EntryFields info;
  if (Status s = ReadLinkable(v, source, fe, info); !s.IsOk()) return s;
  uint32_t parentBlock = 0;
  std::u16string name;
  if (Status s = ResolveNew(v, path, parentBlock, name); !s.IsOk()) return s;
  AppendPlan plan;
  if (Status s = PlanAppendWithRoom(v, parentBlock, name, 0, plan); !s.IsOk()) return s;
  if (Status s = TakeAppendBlocks(v, plan, 0); !s.IsOk()) return s;
  // The count first: a crash before the name leaves one link counted too many, which
  // check reports and repair corrects, never a name the count does not know.
  UpdateFileEntry(fe, source.EntryBlock, info.InformationLength, info.BlocksRecorded, 1, false);
  if (Status s = StoreBlock(v, source.EntryBlock, fe); !s.IsOk()) return s;
  if (Status s = AppendDirectoryEntry(v, plan, 0, source.EntryBlock, name, 0, false); !s.IsOk())
    return s;
  return CommitIntegrity(v, -int64_t(plan.ExtraBlocks()), 0, 0);
}

// The checks every create here starts with; LastError is set by them.
bool Begin(TUDFRewritableVolume *volume) {
  return volume && KeepInLastError(*volume, BeginFsOperation(*volume)) && RequireWritable(*volume);
}

} // namespace
} // namespace korva

using namespace korva;

KORVA_API KBOOL UDF_CreateSymbolicLinkW(TUDFRewritableVolume *volume, const KWCHAR *path,
                                        const KWCHAR *target) {
  if (!Begin(volume)) return KFALSE;
  NewEntry n;
  n.FileType = kFileTypeSymlink;
  std::optional<std::vector<uint8_t>> data;
  if (target) data = ComponentsFromPath(std::u16string_view(target, WideLength(target)));
  if (data) n.Data = std::move(*data);
  if (n.Data.empty() || n.Data.size() > kMaxLinkBlocks * kBlockSize)
    return Report(*volume, target ? KORVA_E_INVALID_NAME : KORVA_E_INVALID_PARAMETER);
  return Report(*volume, CreateTyped(*volume, path, n));
}

KORVA_API KBOOL UDF_CreateSymbolicLink(TUDFRewritableVolume *volume, const char *path,
                                       const char *target) {
  std::u16string w[2];
  if (!volume || !WidenArguments(*volume, {path, target}, w)) return KFALSE;
  return UDF_CreateSymbolicLinkW(volume, w[0].c_str(), w[1].c_str());
}

KORVA_API KBOOL UDF_CreateSpecialFileW(TUDFRewritableVolume *volume, const KWCHAR *path,
                                       uint32_t fileType, uint32_t major, uint32_t minor) {
  if (!Begin(volume)) return KFALSE;
  NewEntry n;
  n.FileType = uint8_t(fileType);
  n.Device = fileType == KORVA_FILE_TYPE_BLOCK_DEVICE || fileType == KORVA_FILE_TYPE_CHAR_DEVICE;
  n.Major = major;
  n.Minor = minor;
  if (!n.Device && fileType != KORVA_FILE_TYPE_FIFO && fileType != KORVA_FILE_TYPE_SOCKET)
    return Report(*volume, KORVA_E_INVALID_PARAMETER);
  return Report(*volume, CreateTyped(*volume, path, n));
}

KORVA_API KBOOL UDF_CreateSpecialFile(TUDFRewritableVolume *volume, const char *path,
                                      uint32_t fileType, uint32_t major, uint32_t minor) {
  std::u16string w[1];
  if (!volume || !WidenArguments(*volume, {path}, w)) return KFALSE;
  return UDF_CreateSpecialFileW(volume, w[0].c_str(), fileType, major, minor);
}

KORVA_API KBOOL UDF_CreateHardLinkW(TUDFRewritableVolume *volume, const KWCHAR *existing,
                                    const KWCHAR *path) {
  if (!Begin(volume)) return KFALSE;
  return Report(*volume, Link(*volume, existing, path));
}

KORVA_API KBOOL UDF_CreateHardLink(TUDFRewritableVolume *volume, const char *existing,
                                   const char *path) {
  std::u16string w[2];
  if (!volume || !WidenArguments(*volume, {existing, path}, w)) return KFALSE;
  return UDF_CreateHardLinkW(volume, w[0].c_str(), w[1].c_str());
}
