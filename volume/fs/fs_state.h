// File-system state kept on a mounted volume: the records behind file handles, find
// handles and the runs planned by a running write, and the lists that own them.
#ifndef KORVA_VOLUME_FS_STATE_H
#define KORVA_VOLUME_FS_STATE_H

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

struct TUDFRewritableVolume;

namespace korva {

// What the last component of a path must name.
enum FileSystemObjectType { IsDirectory, IsFile, IsDirectoryOrFile };

// A short allocation descriptor as stored: extent length word (type in the top two bits)
// and the first block of the extent.
struct ShortADValue {
  uint32_t LengthWord = 0;
  uint32_t Block = 0;
  uint32_t Length() const { return LengthWord & 0x3FFFFFFFu; }
  uint32_t Type() const { return LengthWord >> 30; }
};

// A directory scan position and its result; also the record behind a find handle.
struct DirectoryInformation {
  std::u16string Pattern; // find pattern (last path component), find handles only
  uint32_t DirICB = 0;    // file entry block of the directory being scanned
  uint64_t DirSize = 0;   // information length of that directory
  // Where the found FID starts: the descriptor slot describing its block and the offset
  // inside that block.
  uint32_t ADBlock = 0;
  uint16_t ADOffset = 0;
  ShortADValue AD;
  uint16_t BlockOffset = 0;
  uint64_t DirOffset = 0; // bytes of the directory before the found FID
  uint32_t FIDLength = 0; // at most one block, but the stored lengths add up to more
  uint32_t EntryICB = 0;
  uint8_t Characteristics = 0;
  char16_t Name[257] = {};
  bool HasResult = false; // a FID was found and the position stands at it
};

// The record behind a file handle. Its size is refreshed from the file entry at the start
// of every transfer, so several handles on one file agree.
struct FileView;

struct OpenFileInformation {
  uint32_t Access = 0;
  uint64_t Size = 0;
  uint32_t FEBlock = 0;
  uint64_t Position = 0;
  uint64_t UniqueID = 0;    // identity of the file entry the handle was opened on
  bool Invalidated = false; // the file was deleted or replaced: every transfer fails
  // The file as last read from the medium, and the volume's write count at that time: while
  // nothing has been written since, reads need not load the entry again.
  std::shared_ptr<const FileView> View;
  uint32_t ViewGeneration = 0;
};

// One planned run of a file write.
struct ExtentInformation {
  uint64_t Bytes = 0; // bytes the run will describe
  uint32_t Block = 0;
  uint32_t Blocks = 0;
};

// Maps 32-bit handle values to owned records. -1 is never handed out; a value stays valid
// exactly while its record is in the table.
template <class T> class HandleTable {
public:
  // Adds the record and returns its new handle value.
  int32_t Add(std::unique_ptr<T> record) {
    for (;;) {
      int32_t id = next_;
      next_ = next_ == INT32_MAX ? 1 : next_ + 1;
      if (id == -1 || id == 0 || items_.count(id)) continue;
      items_.emplace(id, std::move(record));
      return id;
    }
  }
  T *Find(int32_t id) const {
    auto it = items_.find(id);
    return it == items_.end() ? nullptr : it->second.get();
  }
  bool Remove(int32_t id) { return items_.erase(id) != 0; }
  size_t Count() const { return items_.size(); }
  template <class F> void ForEach(F f) {
    for (auto &kv : items_)
      f(*kv.second);
  }

private:
  std::unordered_map<int32_t, std::unique_ptr<T>> items_;
  int32_t next_ = 1;
};

// The live names of a directory with the offset of each one's file identifier (the first,
// should a damaged directory hold a name twice), so that neither the uniqueness check of a
// create nor a look-up by exact name scans the whole directory each time. An entry is trusted
// only while the directory's file entry still has the unique ID and information length it
// was built from; every change made by this engine updates or drops it.
struct DirectoryNames {
  uint64_t UniqueID = 0;
  uint64_t InformationLength = 0;
  std::unordered_map<std::u16string, uint64_t> Live;
};

// What the walk for blocks claimed twice found (see fs_claims.h): a bit per partition block, set
// when the block is claimed twice.
struct ContestedBlocks {
  bool Built = false;
  std::vector<uint8_t> Bits;
  std::vector<uint8_t> Claimed; // every block the walk found in use
  bool BitmapUnioned = false;   // Claimed was marked used in the in-memory bitmap
  bool Has(uint64_t block) const {
    return block / 8 < Bits.size() && (Bits[block / 8] & (1u << (block % 8)));
  }
};

// The file handles, and the file entries whose last name was removed while handles were open
// on them: such an entry keeps its blocks until its last handle closes (or the volume is
// dismounted). Nothing on the medium refers to it meanwhile, so after a crash repair finds its
// blocks unclaimed and gives them back.
struct OpenFileList : HandleTable<OpenFileInformation> {
  std::unordered_set<uint32_t> Orphans; // file entry blocks
  // File entries that lost a name while recording more links: on a volume whose link count
  // is too high the last name may be gone, which the dismount finds out with one walk.
  std::unordered_set<uint32_t> MaybeUnnamed;
  bool IsOpen(uint32_t feBlock) {
    bool open = false;
    ForEach([&](OpenFileInformation &f) { open = open || (f.FEBlock == feBlock && !f.Invalidated); });
    return open;
  }
};
// The find handles, with the name index of the directories looked into, and the blocks
// claimed twice (found at the first free of the mount).
struct FindHandleList : HandleTable<DirectoryInformation> {
  std::unordered_map<uint32_t, DirectoryNames> Names; // by file entry block
  ContestedBlocks Contested;
};
struct PendingExtentList : std::vector<ExtentInformation> {
  using std::vector<ExtentInformation>::vector;
};

// Creates the three lists of a volume whose mount begins (any previous lists are freed).
void CreateFileSystemState(TUDFRewritableVolume &v);
// Frees the three lists and every record in them; handles still open become invalid.
void ReleaseFileSystemState(TUDFRewritableVolume &v);

// The lists of a volume; null when no mount created them.
OpenFileList *OpenFilesOf(TUDFRewritableVolume &v);
FindHandleList *FindHandlesOf(TUDFRewritableVolume &v);
PendingExtentList *PendingExtentsOf(TUDFRewritableVolume &v);

} // namespace korva

#endif
