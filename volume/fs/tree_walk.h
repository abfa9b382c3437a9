// One traversal of a volume's tree, shared by everything that walks it: the check (and so
// repair, which acts on the check's findings) and the claims walk deletes and allocations
// consult. The walk owns the order and the bounds; a visitor judges what it meets.
//
// From the root it scans each directory taken into the tree, breadth first, once, reading
// its data entry by entry and handing every live name (neither deleted nor the parent) to
// the visitor. The walk remembers which file entries the visitor took: a name reaching one
// again is a further link (OnLink), never a second walk, so a directory cycle ends and the
// walk is bounded by the partition. A file entry the visitor refused is not judged again
// for the same kind of name (directory or not): later such names go to OnRefused. Names the
// visitor defers (salvaged from damaged data) are followed after every sound name, each with
// the directories it leads to, so that a sound name always takes its file entry first.
#ifndef KORVA_VOLUME_FS_TREE_WALK_H
#define KORVA_VOLUME_FS_TREE_WALK_H

#include <cstdint>
#include <deque>
#include <string>
#include <unordered_map>
#include <vector>

#include "udf/descriptors.h"

#include "volume/fs/fs_dir.h"

namespace korva {

// A directory the walk scans.
struct TreeDirectory {
  uint32_t Block = 0;  // its file entry
  uint32_t Parent = 0; // the directory holding its name; the root is its own parent
  uint32_t Depth = 0;  // 0 for the root
  std::string Path;    // "" for the root
};

// A live name met by the walk, or the root.
struct TreeName {
  bool Root = false;
  uint32_t Directory = 0; // file entry of the directory holding the name (0 for the root)
  uint32_t Parent = 0;    // that directory's parent
  uint32_t Depth = 0;     // of the entry the name reaches: the root's children are at 1
  std::string Path;       // the directory's path, "/" and the name (only with paths on)
  FidEntry Fid;           // ICBBlock is the file entry the name reaches
  DirectoryStream *Stream = nullptr; // the directory being scanned; null for deferred names
  bool IsDirectory() const { return (Fid.Characteristics & kFidDirectory) != 0; }
};

class TreeVisitor {
public:
  // What the visitor makes of a file entry reached for the first time.
  enum class Verdict {
    Refuse,  // not taken: a later name of the same kind goes to OnRefused
    Leave,   // not taken, and judged again when a later name reaches it
    Take,    // taken: later names go to OnLink
    Descend, // taken, and a directory whose entries the walk scans
  };

  virtual ~TreeVisitor() = default;
  // Every callback returns false when a read failed; the walk then ends and fails.
  // A name reaching a file entry not taken yet. `cookie` is handed back with later names.
  virtual bool OnEntry(TreeName &name, Verdict &verdict, uint32_t &cookie) = 0;
  // A name reaching a file entry taken already; `kept` when the visitor keeps the name.
  virtual bool OnLink(TreeName &name, uint32_t cookie, bool &kept) = 0;
  // A name of the kind the visitor refused its file entry for before.
  virtual bool OnRefused(TreeName &, uint32_t /*cookie*/) { return true; }
  // A name reaching a block outside the partition.
  virtual bool OnOutside(TreeName &) { return true; }
  // Directory data at `offset` holds no valid entry: `next` is where reading goes on.
  // By default the damage is passed over to the next valid entry.
  virtual bool OnDamage(DirectoryStream &dir, const TreeDirectory &, uint64_t offset,
                        uint64_t &next) {
    return dir.NextValidFid(offset, next);
  }
  // Whether a valid entry's length holds (`holds`); when not, the visitor has dealt with
  // the damage and reading goes on at `next`. By default every length is taken as it is.
  virtual bool LengthHolds(DirectoryStream &, const TreeDirectory &, const FidEntry &, bool &holds,
                           uint64_t & /*next*/) {
    holds = true;
    return true;
  }
  virtual void OnDirectoryStart(DirectoryStream &, const TreeDirectory &) {}
  virtual bool OnDirectoryEnd(DirectoryStream &, const TreeDirectory &) { return true; }
  // A name deferred with TreeWalk::Defer is due: the visitor follows it (TreeWalk::Follow).
  virtual bool OnDeferred(uint32_t /*tag*/) { return true; }
};

struct TreeWalkOptions {
  bool CheckCrc = true; // a directory entry whose CRC fails is damage (else only its tag)
  bool Paths = true;    // build each name's path
};

class TreeWalk {
public:
  TreeWalk(BlockReadFn read, BlockSpace space, TreeVisitor &visitor, TreeWalkOptions options = {});

  // Walks from the root directory's file entry. False when a read failed (or a callback
  // returned false); true when the whole tree was walked or the visitor stopped it.
  bool Run(uint32_t rootBlock);

  // For the visitor, during the walk:
  // Ends the walk after the current callback; Run returns true.
  void Stop() { stopped_ = true; }
  // Forgets that a file entry was taken: the next name reaching it is judged anew.
  void Release(uint32_t block) { taken_.erase(block); }
  // Follows `tag` (OnDeferred) once every directory reached so far is scanned.
  void Defer(uint32_t tag) { deferred_.push_back(tag); }
  // Follows one name as the walk follows those it reads; `kept` when it was taken or kept
  // as a link.
  bool Follow(TreeName &name, bool &kept);

  // Whether the visitor took the file entry at `block`, and with what cookie.
  bool Taken(uint32_t block, uint32_t &cookie) const;
  uint32_t PartitionLength() const { return partitionLength_; }

private:
  bool ScanDirectory(const TreeDirectory &d);
  bool FollowRead(DirectoryStream &dir, const TreeDirectory &d, FidEntry &fid);

  BlockReadFn read_;
  BlockSpace space_;
  uint32_t partitionLength_;
  TreeVisitor &visitor_;
  TreeWalkOptions options_;
  bool stopped_ = false;
  std::unordered_map<uint32_t, uint32_t> taken_;   // file entry block -> cookie
  std::unordered_map<uint64_t, uint32_t> refused_; // (block, kind of name) -> cookie
  std::deque<TreeDirectory> directories_;          // taken, not yet scanned
  std::deque<uint32_t> deferred_;
};

// The name of a directory entry as a path shows it ("?" when it cannot be decoded).
std::string ShownName(FidEntry &fid);

// How entries are framed in damaged directory data, for visitors that read past damage.
// The smallest directory entry: a header without name or implementation use, padded.
inline constexpr uint32_t kMinFidLength = 40;
// A valid entry whose length field is damaged (its tag refilled by whoever damaged it)
// either swallows the entries after it or stops short of the next one. Either way a valid
// entry starts where no entry of that length could leave one: inside it, or less than a
// whole entry after its end. False then, with `next` where that entry starts.
bool EntryLengthHolds(DirectoryStream &dir, uint64_t offset, uint32_t length, uint64_t &next);
// A damaged directory entry as far as it can be read.
struct DamagedEntry {
  std::vector<uint8_t> Raw; // its bytes, at most a block
  UDF_FileIdentifierDescriptorHeader Header{};
  FidEntry Fid;         // its offset, characteristics and file entry
  uint32_t AtBlock = 0; // the block it starts in
};
// Whether the damaged entry at `offset` (up to the valid one at `next`) still names a file
// entry: its header is there, it is neither deleted nor the parent, and it addresses a block
// of the partition.
bool DamagedEntryNames(DirectoryStream &dir, uint32_t partitionLength, uint64_t offset,
                       uint64_t next, DamagedEntry &out);

} // namespace korva

#endif
