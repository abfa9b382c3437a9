// Shared steps of the directory, file, find and data operations.
#ifndef KORVA_VOLUME_FS_INTERNAL_H
#define KORVA_VOLUME_FS_INTERNAL_H

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

#include "korva/files.h"
#include "korva/volume.h"
#include "volume/engine.h"
#include "volume/fs/fs_dir.h"
#include "volume/fs/fs_state.h"

namespace korva {

// Checks the volume and clears the written flag: error 10 when no compatible volume is
// mounted, 26 while background work runs.
Status BeginFsOperation(TUDFRewritableVolume &v);

// Block-level I/O inside the partition. A block outside it is a read error (13/14).
Status LoadBlock(TUDFRewritableVolume &v, uint32_t block, uint8_t *buffer);
Status StoreBlock(TUDFRewritableVolume &v, uint32_t block, const uint8_t *buffer,
                  WriteOrder order = WriteOrder::Auto);
// The same for code still reporting through LastError: false with the failure stored.
bool ReadBlock(TUDFRewritableVolume &v, uint32_t block, uint8_t *buffer);
bool WriteBlock(TUDFRewritableVolume &v, uint32_t block, const uint8_t *buffer,
                WriteOrder order = WriteOrder::Auto);
// A block reader for the directory and list readers, which report a bare failure: the
// read's own failure is kept in LastError for the caller to take.
BlockReadFn ReaderOf(TUDFRewritableVolume &v);

uint32_t RootBlock(const TUDFRewritableVolume &v);

// Takes the lowest free block at or after hint: error 3 when there is none, the failure's
// own number when the walk that marks the tree's blocks or the search itself failed.
Status TakeBlock(TUDFRewritableVolume &v, uint32_t hint, uint32_t &block);
// Whether block is used in the in-memory bitmap.
bool BlockInUse(const TUDFRewritableVolume &v, uint32_t block);

// Takes the next unique ID for a new entry. The last ID is never handed out (the next one
// would wrap and repeat IDs in use): error 3 (no space) once it is reached.
Status TakeUniqueID(TUDFRewritableVolume &v, uint64_t &id);

// Rewrites the integrity descriptor with the changes of one operation and copies the
// counts into the record. The next unique ID recorded is the record's unless
// recordedNextID is given.
Status CommitIntegrity(TUDFRewritableVolume &v, int64_t freeDelta, int fileDelta, int dirDelta,
                       uint64_t recordedNextID = 0);

// How the last component of a path is compared.
enum class NameMatch { Pattern, Exact };

// How LocatePath resolves a path. Call sites name what they change:
// LocatePath(v, path, di, found, {.Kind = IsDirectory, .LastMatch = NameMatch::Exact}).
struct LocateOptions {
  FileSystemObjectType Kind = IsDirectoryOrFile; // what the last component must be
  NameMatch LastMatch = NameMatch::Pattern;      // components above it always match exactly
  bool IncludeHidden = true;
  bool IncludeDeleted = false;
  bool Resume = false;    // go on from di.DirOffset in di.DirICB (find next)
  bool SkipFirst = false; // the entry there was found already: skip it
  // When set and the path resolved to a directory, the directories from di.DirICB down to
  // it (so that a later lookup below it can tell a way back up the tree).
  std::vector<uint32_t> *Above = nullptr;
};

// Resolves a path from di.DirICB (the caller sets it; Resume continues from the record);
// found says whether the path resolved. Fails when a read failed, or with error 39 when an
// exactly named directory on the path is one the path already went through.
Status LocatePath(TUDFRewritableVolume &v, std::u16string_view path, DirectoryInformation &di,
                  bool &found, const LocateOptions &options = {});

// Resolves a parent path given to a create into the block of a directory's file entry:
// error 1 when it names no directory. `above`, when given, receives the directories from
// the root down to it.
Status ResolveParent(TUDFRewritableVolume &v, std::u16string_view parent, bool hasParent,
                     uint32_t &dirBlock, std::vector<uint32_t> *above = nullptr);
// A directory entry leading to `block`, a directory already on a path through `above`, is a
// way back up the tree: error 39.
Status LeadsBackUp(const std::vector<uint32_t> &above, uint32_t block);

// Appends a FID for a new entry to a directory. The caller has checked space with
// AppendCost and written the entry's own blocks; `hint` is where block taking goes on.
struct AppendPlan {
  uint32_t ParentBlock = 0;
  uint32_t FidLength = 0;
  bool NewBlock = false;
  bool Extension = false;
  bool Split = false;
  // The slot of the directory's last extent (when InPlace or Split), or of the empty slot
  // where the list ends (when a new block starts the data).
  uint32_t SlotBlock = 0;
  uint16_t SlotOffset = 0;
  ShortADValue LastAD;
  uint32_t LastDataBlock = 0; // block holding the end of the data
  uint32_t UsedInLast = 0;    // bytes used in that block
  // Extents that run past the directory's length with room for the new entry (left by
  // another writer): the entry goes there, in these pieces (block, offset, bytes), and only
  // the length changes. Nothing else of the plan applies then.
  struct Piece {
    uint32_t Block;
    uint16_t Offset;
    uint16_t Bytes;
  };
  std::vector<Piece> InRoom;
  // The blocks taken for the new directory block and the extension (TakeAppendBlocks).
  bool BlocksTaken = false;
  uint32_t NewBlockNo = 0, ExtBlockNo = 0;
  // When the list's end lies in an extension block, the chain of extension blocks is written
  // anew (Chain: where it is, NewChain: where its copy goes) and the old one freed once the
  // file entry points at the copy: the file entry's one write then changes list and length.
  std::vector<uint32_t> Chain, NewChain;
  bool ListInEntry() const { return SlotBlock == ParentBlock; }
  // Blocks the directory keeps: the new data block and extension block.
  uint32_t ExtraBlocks() const { return (NewBlock ? 1u : 0u) + (Extension ? 1u : 0u); }
  // Blocks that must be free for the append: also those of the chain's copy.
  uint32_t BlocksNeeded() const {
    return ExtraBlocks() + (ListInEntry() ? 0u : uint32_t(Chain.size()));
  }
};
Status PlanEntryAppend(TUDFRewritableVolume &v, uint32_t parentBlock, std::u16string_view name,
                       AppendPlan &plan);
// The same, refused with error 3 unless the volume has the plan's blocks free and ownBlocks
// more (those of the new entry itself).
Status PlanAppendWithRoom(TUDFRewritableVolume &v, uint32_t parentBlock,
                          std::u16string_view name, uint64_t ownBlocks, AppendPlan &plan);
// Takes the blocks the plan needs, from hint on. Callers take every block of an operation
// before its first write, so that the bitmap's write-ahead costs one write per packet.
Status TakeAppendBlocks(TUDFRewritableVolume &v, AppendPlan &plan, uint32_t hint);
// Writes the planned entry into the directory, then the directory's entry and list.
Status AppendDirectoryEntry(TUDFRewritableVolume &v, const AppendPlan &plan,
                            uint8_t characteristics, uint32_t entryBlock, std::u16string_view name,
                            uint32_t hint, bool isDirectory);

// Whether the blocks an entry holds (file entry, extents, extension blocks) may be freed: a
// list read whole, every block in the partition, marked used, none of the volume's own
// structures nor of the parent directory (when given), and none claimed by another entry.
// Error 32 for damage, or a read error.
Status MayFreeEntryBlocks(TUDFRewritableVolume &v, uint32_t entry, const DescriptorList &list,
                          std::optional<uint32_t> parentDir);

// What a cut of a descriptor list leaves unreferenced: runs of data blocks (first, count) and
// extension blocks.
struct ListCut {
  std::vector<std::pair<uint32_t, uint64_t>> Data;
  std::vector<uint32_t> Chain;
};
// Cuts the descriptor list of the entry in `fe` (at feBlock) to `size` bytes (size > 0): the
// extent holding the last byte is shortened and ends the list. A cut inside an extension block
// writes that block; the entry changes in `fe` only (the caller writes it).
Status CutDescriptorList(TUDFRewritableVolume &v, uint32_t feBlock, uint8_t *fe,
                         const DescriptorList &list, uint64_t size, ListCut &out);
// Cuts the extents of a directory that run past its length back to it, and writes its entry.
// The blocks that no longer belong to it are left to the caller (repair rebuilds the bitmap).
// An entry or list that does not read as one is a read failure.
Status TrimDirectoryToLength(TUDFRewritableVolume &v, uint32_t feBlock);

// Frees, in memory, the blocks of a run that are in use and counts them in freed.
void FreeRun(TUDFRewritableVolume &v, uint32_t first, uint64_t count, int64_t &freed);

// Frees, in memory, the blocks of an entry that nothing on the medium refers to any more: its
// file entry (unless keepEntry), extents and extension blocks. Returns how many were in use.
int64_t FreeEntryBlocks(TUDFRewritableVolume &v, uint32_t entry, const DescriptorList &list,
                        bool keepEntry = false);

// Reads the FID found by a lookup, lets change rework it (FID, length, tag location, bytes of
// the FID in its first block) and writes back the part(s) that changed.
Status RewriteFid(TUDFRewritableVolume &v, const DirectoryInformation &di,
                  const std::function<void(uint8_t *, uint32_t, uint32_t, uint32_t)> &change);

// A directory lost a name: its link count changes by linkDelta (a subdirectory's parent
// entry went with it) and its modification and attribute times move to now.
Status DirectoryLostName(TUDFRewritableVolume &v, uint32_t dirBlock, int linkDelta);

// Removes a path's entry of the given kind; the shared work of removing directories,
// deleting files and replacing an entry. Part of an operation the caller has begun
// (BeginFsOperation) on a writable volume: what the operation wrote so far stays counted.
// A path that names no such entry, and an entry without write or delete permission (the
// operating-system error says which), fail unnumbered.
Status RemoveEntry(TUDFRewritableVolume &v, std::u16string_view path, FileSystemObjectType kind);
// The same as a call of its own: checks the volume and the path, begins the operation.
KBOOL RemovePath(TUDFRewritableVolume *volume, const KWCHAR *path, FileSystemObjectType kind);

// The name index of the directory at dirBlock whose file entry holds info, built when
// missing or stale; `out` stays null without mount state. Fails when a read failed.
Status IndexedNames(TUDFRewritableVolume &v, uint32_t dirBlock, const EntryFields &info,
                    const DirectoryNames *&out);

// Whether name is held by a live entry of any kind in the directory at dirBlock; di holds
// the entry found.
Status NameTaken(TUDFRewritableVolume &v, uint32_t dirBlock, std::u16string_view name, bool &taken,
                 DirectoryInformation &di);

// Keeps the name index of one directory in step with a change: the change reports what it
// did once it is on the medium; a change that ends without reporting drops the index.
class NameIndexUpdate {
public:
  NameIndexUpdate(TUDFRewritableVolume &v, uint32_t dirBlock);
  ~NameIndexUpdate();
  NameIndexUpdate(const NameIndexUpdate &) = delete;
  NameIndexUpdate &operator=(const NameIndexUpdate &) = delete;
  void Added(std::u16string_view name, uint64_t oldLength, uint64_t newLength);
  void Removed(std::u16string_view name);

private:
  TUDFRewritableVolume &v_;
  uint32_t dir_;
  bool done_ = false, added_ = false;
  std::u16string name_;
  uint64_t oldLength_ = 0, newLength_ = 0;
};
// Drops the name index of a directory (when it is removed).
void ForgetDirectoryNames(TUDFRewritableVolume &v, uint32_t dirBlock);

// Rewrites an entry recorded with long descriptors or with embedded data in the form this
// engine changes: short descriptors (embedded data moves to a block of its own). A list
// continued in extension blocks moves to a new chain, written before the entry, and the old
// chain is freed after it. Nothing happens to an entry in short form already. Directories
// take this form before they change; files keep long descriptors.
Status MakeShortForm(TUDFRewritableVolume &v, uint32_t feBlock);

// Writes bytes over directory data from `offset` (where they may cross blocks, or lie in the
// directory's own file entry).
Status StoreDirectoryBytes(TUDFRewritableVolume &v, DirectoryStream &dir, uint64_t offset,
                           const uint8_t *bytes, uint32_t length);

// Frees the entry of a removed file once its last handle is closed, and records the space in
// the integrity descriptor. Success when there is nothing to do; 32 when the entry can no
// longer be read as one (its blocks stay taken until repair).
Status ReleaseOrphanIfClosed(TUDFRewritableVolume &v, uint32_t feBlock);
// Frees, in memory, every removed file still held open (the volume is being dismounted: the
// bitmap stored next gives the space back).
void ReleaseOrphans(TUDFRewritableVolume &v);

// Marks every handle open on the file entry at feBlock unusable.
void InvalidateHandlesOn(TUDFRewritableVolume &v, uint32_t feBlock);

// Converts an 8-bit (UTF-8) argument; false when it does not convert (error 22 set).
bool WidenArgument(TUDFRewritableVolume &v, const char *s, std::u16string &out);
// The checks every 8-bit form makes, in this order, before it calls its wide form: a
// compatible volume, no argument missing (error 25), each one valid UTF-8 (22). out[i] then
// holds args[i] widened.
bool WidenArguments(TUDFRewritableVolume &v, std::initializer_list<const char *> args,
                    std::u16string *out);

} // namespace korva

namespace korva {

// The file entry behind a handle with its descriptor list, read fresh for each transfer.
struct FileView {
  EntryBuffer FE; // EntryBytesOf(v) bytes of it hold the entry
  EntryFields Info;
  DescriptorList List;
};
// The bytes of a file entry of the volume: a whole logical block, or the sector that holds a
// smaller one.
uint32_t EntryBytesOf(const TUDFRewritableVolume &v);
// Reads the file entry at `block` whole into `fe` (EntryBytesOf(v) bytes).
Status ReadEntry(TUDFRewritableVolume &v, uint32_t block, uint8_t *fe);
// The open file of a handle that is still valid and was opened with one of the `access` rights
// (any rights when 0), in f. Error 7 for an unknown or invalidated handle, 8 without the
// rights.
Status LiveHandle(TUDFRewritableVolume &v, UDF_HANDLE handle, uint32_t access,
                  OpenFileInformation *&f);
// Loads the file of a handle. Error 7 when the handle's file is gone (deleted, replaced, or
// its entry no longer valid), or a read error.
Status LoadFile(TUDFRewritableVolume &v, OpenFileInformation &f, FileView &view);
// Sets the handle's size from a loaded file; a position beyond it moves back to the end.
void SyncHandle(OpenFileInformation &f, const FileView &view);

} // namespace korva

#endif
