// The check's walker, shared by the files that hold its parts: the volume-level reading
// (fsck_walk.cpp) and the tree with its claims and directory data (fsck_tree.cpp).
#ifndef KORVA_VOLUME_CHECK_FSCK_WALKER_H
#define KORVA_VOLUME_CHECK_FSCK_WALKER_H

#include <map>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "volume/check/fsck_walk.h"
#include "volume/engine.h"
#include "volume/fs/fs_dir.h"
#include "volume/fs/tree_walk.h"
#include "volume/medium/volume_sequence.h"

namespace korva::fsck {

std::string RunText(uint32_t first, uint32_t count);
// The first block of [first, first + count) set in `used`, or first + count when none is.
uint32_t FirstUsed(const std::vector<uint8_t> &used, uint32_t first, uint32_t count);
void MarkUsed(std::vector<uint8_t> &used, uint32_t first, uint32_t count, bool set = true);

// An extent of blocks an entry uses.
struct Range {
  uint32_t First = 0;
  uint32_t Count = 0;
  bool Descriptor = false; // the entry's own file entry or a block of its descriptor chain
  uint32_t SlotBlock = 0;  // where a data extent is recorded (file entry or extension block)
  uint16_t SlotOffset = 0;
};

// What the walk learnt about one file entry.
struct EntryVerdict {
  bool Valid = false;
  int32_t Kind = KORVA_FINDING_BAD_ENTRY;
  std::string Reason;
  FileEntryInfo Info;
  std::vector<Range> Ranges;
  uint64_t ExtentBytes = 0;
  uint64_t RecordedBlocks = 0;  // in recorded extents
  uint64_t AllocatedBlocks = 0; // in recorded and allocated extents
  uint16_t LinkCount = 0;
  uint64_t BlocksPastLength = 0; // of a directory, left out of Ranges
};

// Where a directory entry lies.
struct NamePlace {
  uint32_t Directory = 0; // file entry block of the directory holding it
  uint64_t Offset = 0;
  uint32_t Length = 0;
  std::string Path;
};

// An entry taken into the tree.
struct TreeEntry {
  uint32_t Block = 0;
  bool Directory = false;
  bool Evicted = false; // found damaged after it was taken; its name is dropped
  uint16_t LinkCount = 0;
  uint32_t Names = 1;
  NamePlace Name; // the name that reached it first
  std::vector<Range> Ranges;
};

// Who holds a run of claimed blocks.
struct Owner {
  uint32_t End = 0;
  uint32_t Entry = 0; // index into the tree's entries; kVolumeOwner for the volume's own
  uint32_t RangeIndex = 0;
};
inline constexpr uint32_t kVolumeOwner = 0xFFFFFFFFu;

// A directory entry whose tag is damaged but whose fields hang together: it is followed
// after every sound name, so that a sound name always takes its file entry first.
struct Salvage {
  NamePlace Place;
  std::vector<uint8_t> Bytes; // what is written when the entry is kept
  std::vector<uint8_t> Fill;  // what is written when it is dropped (or given a new name)
  bool Relink = false;        // its name cannot be trusted: a new one is appended
  FidEntry Fid;
  uint32_t Depth = 0; // of the entry it names
};

// How a new entry's claims are settled against those already taken.
struct ClaimPlan {
  bool Refused = false;
  std::string Reason;
  std::vector<uint32_t> Evict;                          // entries found damaged
  std::vector<size_t> CloneMine;                        // ranges of the new entry to copy
  std::vector<std::pair<uint32_t, uint32_t>> CloneTheirs; // (entry, range) to copy
};

// A name that must change before its entry can be addressed: it cannot be used, or an
// earlier entry of its directory holds it already.
struct Rename {
  NamePlace Place;
  uint32_t Parent = 0;
  uint32_t Block = 0; // the file entry it names
  uint8_t Characteristics = 0;
  int32_t Kind = 0;
  std::string Why;
  std::u16string NewName;
  std::vector<uint8_t> Fill; // entries naming nothing, written over the old name
};

struct PendingClone {
  uint32_t Entry = 0;
  uint32_t RangeIndex = 0;
};

// Why a file entry was refused for one kind of name.
struct Refusal {
  int32_t Kind = 0;
  std::string Reason;
};

// The check visits the tree through the shared traversal: it judges each file entry a name
// reaches, settles its claims and notes what repair must mend.
class Walker : private TreeVisitor {
public:
  Walker(TUDFRewritableVolume &v, VolumeScan &s) : v_(v), s_(s), g_(s.Geometry) {}
  bool Run();

private:
  // Volume level.
  bool Structure(const std::string &text, uint32_t block = KORVA_NO_BLOCK);
  // A read failed: the walk stops with the read's failure and a finding that says what could
  // not be read. Returns false.
  bool Unreadable(const std::string &text, uint32_t block = KORVA_NO_BLOCK);
  bool ReadAbsolute(uint32_t sector, uint8_t *buf);
  bool ReadVolumeStructure();
  bool ReadIntegrity();
  bool ReadSparing();
  bool ReadBitmap();
  bool ReadFileSet();
  // Entries.
  bool ReadBlock(uint32_t block, uint8_t *buf);
  bool Inspect(uint32_t block, bool directory, EntryVerdict &out);
  bool GatherRanges(uint32_t block, const DescriptorList &list, EntryVerdict &out);
  void LeaveOutPastLength(const DescriptorList &list, EntryVerdict &out);
  // Claims.
  void ClaimVolumeBlocks();
  void ClaimRange(uint32_t entry, uint32_t index);
  void ReleaseRange(uint32_t entry, uint32_t index);
  void PlanClaims(const EntryVerdict &e, bool directory, ClaimPlan &plan);
  void PlanRange(const EntryVerdict &e, bool directory, size_t index, ClaimPlan &plan);
  void Evict(uint32_t entry, int32_t kind, const std::string &text);
  void FinishClones();
  void CompareLinkCounts();
  void CompareBlocksRecorded(const EntryVerdict &e, uint32_t block, const std::string &path);
  bool CloneRange(uint32_t entry, uint32_t index, std::vector<uint8_t> &reserved);
  bool IsUsed(uint32_t block) const { return s_.Used[block / 8] & (1u << (block % 8)); }
  uint32_t Accept(const EntryVerdict &e, bool directory, uint32_t block, const NamePlace &name);
  // Tree: the traversal's callbacks.
  bool WalkTree();
  bool OnEntry(TreeName &name, Verdict &verdict, uint32_t &cookie) override;
  bool OnLink(TreeName &name, uint32_t cookie, bool &kept) override;
  bool OnRefused(TreeName &name, uint32_t cookie) override;
  bool OnOutside(TreeName &name) override;
  bool OnDamage(DirectoryStream &dir, const TreeDirectory &d, uint64_t offset,
                uint64_t &next) override;
  bool LengthHolds(DirectoryStream &dir, const TreeDirectory &d, const FidEntry &fid,
                   bool &holds, uint64_t &next) override;
  void OnDirectoryStart(DirectoryStream &dir, const TreeDirectory &d) override;
  bool OnDirectoryEnd(DirectoryStream &dir, const TreeDirectory &d) override;
  bool OnDeferred(uint32_t tag) override;
  uint32_t Take(const EntryVerdict &e, bool directory, uint32_t block, const NamePlace &place,
                const ClaimPlan &plan);
  bool NameKept(TreeName &name, const NamePlace &place);
  void DamageUpTo(DirectoryStream &dir, uint64_t offset, uint64_t next, const TreeDirectory &d);
  bool SalvageEntry(DirectoryStream &dir, uint64_t offset, uint64_t next, const TreeDirectory &d);
  std::vector<uint8_t> RebuildEntries(DirectoryStream &dir, uint64_t offset, uint64_t length,
                                      uint32_t parent);
  ScanFinding EntriesFinding(uint32_t directory, uint64_t offset, std::vector<uint8_t> bytes,
                             const std::string &path, const std::string &text);
  bool FollowSalvaged(Salvage &s);
  void Drop(const NamePlace &place, uint32_t block, int32_t kind, const std::string &text);
  void NoteName(FidEntry &fid, const NamePlace &place, uint32_t parent);
  void RenameEntries();
  bool MendPartition(DirectoryStream &dir, const FidEntry &fid, const NamePlace &place);

  TUDFRewritableVolume &v_;
  VolumeScan &s_;
  ScanGeometry &g_;
  uint32_t fileSetBlock_ = 0;
  std::optional<TreeWalk> walk_; // its cookies index entries_ (taken) or refusals_
  std::vector<TreeEntry> entries_;
  std::vector<Refusal> refusals_;
  std::map<uint32_t, Owner> owners_; // first block of a claimed run
  std::vector<PendingClone> clones_;
  std::vector<Salvage> salvaged_; // deferred: the walk's tag indexes them
  std::unordered_set<std::u16string> names_; // of the directory being scanned
  std::vector<Rename> dirRenames_;           // of the directory being scanned
  std::vector<Rename> renames_;
};

} // namespace korva::fsck

#endif
