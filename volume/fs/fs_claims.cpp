#include "volume/fs/fs_claims.h"

#include <algorithm>

#include "udf/descriptors.h"
#include "volume/engine.h"
#include "volume/fs/fs_dir.h"
#include "volume/fs/fs_internal.h"
#include "volume/fs/tree_walk.h"

namespace korva {

namespace {

// Counts claims on blocks: the first claim marks a block seen, any later one contested.
class ClaimCounter {
public:
  ClaimCounter(uint32_t blocks, std::vector<uint8_t> &contested, std::vector<uint8_t> &seen)
      : blocks_(blocks), seen_(seen), contested_(contested) {
    seen_.assign((size_t(blocks) + 7) / 8, 0);
    contested_.assign(seen_.size(), 0);
  }

  // Whole bytes at a time, so that a hostile extent over the whole partition costs little.
  void Claim(uint64_t first, uint64_t count) {
    if (first >= blocks_) return;
    const uint64_t end = std::min<uint64_t>(first + count, blocks_);
    uint64_t b = first;
    for (; b < end && (b % 8 || end - b < 8); ++b)
      ClaimByte(b / 8, uint8_t(1u << (b % 8)));
    for (; end - b >= 8; b += 8)
      ClaimByte(b / 8, 0xFF);
    for (; b < end; ++b)
      ClaimByte(b / 8, uint8_t(1u << (b % 8)));
  }
  void Contest(uint32_t block) {
    if (block < blocks_) contested_[block / 8] |= uint8_t(1u << (block % 8));
  }

private:
  void ClaimByte(size_t i, uint8_t mask) {
    contested_[i] |= seen_[i] & mask;
    seen_[i] |= mask;
  }

  uint32_t blocks_;
  std::vector<uint8_t> &seen_;
  std::vector<uint8_t> &contested_;
};

// Deletes ask for the claims: names are read quickly (tags, not CRCs) and not decoded.
TreeWalkOptions QuickNames() {
  TreeWalkOptions o;
  o.CheckCrc = false;
  o.Paths = false;
  return o;
}

// Claims what each file entry the walk reaches holds: the file entry, its descriptor
// extension blocks and extents.
class ClaimWalk : public TreeVisitor {
public:
  ClaimWalk(TUDFRewritableVolume &v, ContestedBlocks &out)
      : v_(v), claims_(v.PartitionLength, out.Bits, out.Claimed),
        walk_(ReaderOf(v), v.PartitionLength, *this, QuickNames()) {}

  bool Run() {
    claims_.Claim(v_.SpaceBitmapSector - v_.PartitionStart, v_.SpaceBitmapBlocks);
    claims_.Claim(v_.FileSetSector - v_.PartitionStart, 1);
    return walk_.Run(RootBlock(v_));
  }
  bool Reached(uint32_t block) const {
    uint32_t cookie = 0;
    return walk_.Taken(block, cookie);
  }

private:
  bool OnEntry(TreeName &name, Verdict &verdict, uint32_t &cookie) override;
  bool OnLink(TreeName &name, uint32_t severalLinks, bool &kept) override;
  bool OnDamage(DirectoryStream &dir, const TreeDirectory &d, uint64_t offset,
                uint64_t &next) override;
  bool LengthHolds(DirectoryStream &dir, const TreeDirectory &d, const FidEntry &fid,
                   bool &holds, uint64_t &next) override;
  bool FollowDamaged(DirectoryStream &dir, const TreeDirectory &d, uint64_t offset,
                     uint64_t next);

  TUDFRewritableVolume &v_;
  ClaimCounter claims_;
  TreeWalk walk_;
};

// Every entry reached is taken, readable or not: its cookie says whether it is a file
// recording several links.
bool ClaimWalk::OnEntry(TreeName &name, Verdict &verdict, uint32_t &cookie) {
  const uint32_t block = name.Fid.ICBBlock;
  uint8_t fe[kBlockSize];
  if (!ReadBlock(v_, block, fe)) return false;
  EntryFields info;
  const bool valid = ReadEntryFields(fe, block, info);
  cookie = valid && info.FileType != kFileTypeDirectory && info.LinkCount > 1;
  verdict = Verdict::Take;
  claims_.Claim(block, 1);
  if (!valid) return true; // a delete refuses it: nothing to free
  DescriptorList list;
  if (!ReadDescriptorList(ReaderOf(v_), v_.PartitionLength, block, fe, list)) return false;
  for (uint32_t b : list.Extensions)
    claims_.Claim(b, 1);
  for (const ADSlot &s : list.Extents)
    if (s.AD.Type() != kExtentNotAllocated)
      claims_.Claim(s.AD.Block, (uint64_t(s.AD.Length()) + kBlockSize - 1) / kBlockSize);
  if (info.FileType == kFileTypeDirectory) verdict = Verdict::Descend;
  return true;
}

// Another name of a file that records several keeps it; any other second way to an entry
// means freeing it for one name pulls it from under the other.
bool ClaimWalk::OnLink(TreeName &name, uint32_t severalLinks, bool &kept) {
  if (!severalLinks) claims_.Contest(name.Fid.ICBBlock);
  kept = true;
  return true;
}

// Damaged directory data is framed as the check frames it, so that every name the check
// follows (and repair keeps) holds its blocks here too: an entry whose fields still name a
// file entry is followed, and valid entries a damaged length swallows are read.
bool ClaimWalk::OnDamage(DirectoryStream &dir, const TreeDirectory &d, uint64_t offset,
                         uint64_t &next) {
  if (!dir.NextValidFid(offset, next)) return false;
  return next - offset < kMinFidLength || FollowDamaged(dir, d, offset, next);
}

bool ClaimWalk::LengthHolds(DirectoryStream &dir, const TreeDirectory &d, const FidEntry &fid,
                            bool &holds, uint64_t &next) {
  holds = EntryLengthHolds(dir, fid.Offset, fid.Length, next);
  return holds || FollowDamaged(dir, d, fid.Offset, next);
}

bool ClaimWalk::FollowDamaged(DirectoryStream &dir, const TreeDirectory &d, uint64_t offset,
                              uint64_t next) {
  DamagedEntry damaged;
  if (!DamagedEntryNames(dir, v_.PartitionLength, offset, next, damaged)) return true;
  TreeName name;
  name.Fid = std::move(damaged.Fid);
  name.Directory = d.Block;
  name.Parent = d.Parent;
  name.Depth = d.Depth + 1;
  bool kept = false;
  return walk_.Follow(name, kept);
}

} // namespace

// The walk's visitor and readers keep a read's failure in LastError.
Status FindContestedBlocks(TUDFRewritableVolume &v, ContestedBlocks &out) {
  out = ContestedBlocks();
  ClaimWalk walk(v, out);
  if (!walk.Run()) return StatusFromLastError(v);
  out.Built = true;
  return Status::Ok();
}

namespace {
bool AnyClaimed(const std::vector<uint8_t> &claimed, uint64_t first, uint64_t count) {
  for (uint64_t b = first; b < first + count; ++b)
    if (b / 8 < claimed.size() && (claimed[b / 8] & (1u << (b % 8)))) return true;
  return false;
}

// Whether an entry's file entry, extension blocks and extents are readable and all outside
// what the walk found in use.
bool OnlyItsOwn(TUDFRewritableVolume &v, uint32_t block, const std::vector<uint8_t> &claimed) {
  uint8_t fe[kBlockSize];
  EntryFields info;
  DescriptorList list;
  if (block >= v.PartitionLength || !LoadBlock(v, block, fe).IsOk() ||
      !ReadEntryFields(fe, block, info) ||
      !ReadDescriptorList(ReaderOf(v), v.PartitionLength, block, fe, list) || list.Corrupt)
    return false;
  for (const BlockRun &r : HeldBlocks(block, list))
    if (AnyClaimed(claimed, r.First, r.Count)) return false;
  return true;
}
} // namespace

Status UnnamedEntries(TUDFRewritableVolume &v, const std::unordered_set<uint32_t> &entries,
                      std::vector<uint32_t> &out) {
  ContestedBlocks claims;
  ClaimWalk walk(v, claims);
  if (!walk.Run()) return StatusFromLastError(v);
  for (uint32_t block : entries)
    if (!walk.Reached(block) && OnlyItsOwn(v, block, claims.Claimed)) out.push_back(block);
  return Status::Ok();
}

namespace {
// The claims of the mount's volume, walked the first time they are asked for.
Status ClaimsOf(TUDFRewritableVolume &v, ContestedBlocks *&out) {
  FindHandleList *state = FindHandlesOf(v);
  if (!state) return KORVA_E_DAMAGED;
  out = &state->Contested;
  return out->Built ? Status::Ok() : FindContestedBlocks(v, *out);
}
} // namespace

Status TreeBlocksMarkedUsed(TUDFRewritableVolume &v) {
  FindHandleList *state = FindHandlesOf(v);
  if (!state || !v.SpaceBitmap) return KORVA_E_DAMAGED;
  if (state->Contested.BitmapUnioned) return Status::Ok();
  // Walked now: claims kept from an earlier free of this mount may name blocks freed since.
  ContestedBlocks *claims = &state->Contested;
  if (Status s = FindContestedBlocks(v, *claims); !s.IsOk()) return s;
  const size_t bytes = std::min<size_t>(claims->Claimed.size(), v.SpaceBitmapBytes);
  for (size_t i = 0; i < bytes; ++i) {
    const uint8_t wrong = v.SpaceBitmap[i] & claims->Claimed[i];
    if (!wrong) continue;
    MarkSpaceBitmapSuspect(v);
    v.SpaceBitmap[i] = static_cast<uint8_t>(v.SpaceBitmap[i] & ~wrong);
    // Stored with the next write, as any block taken is.
    NoteBlocksTaken(v, static_cast<uint32_t>(i * 8), 8);
  }
  claims->BitmapUnioned = true;
  return Status::Ok();
}

Status ClaimedOnlyOnce(TUDFRewritableVolume &v, const std::vector<BlockRun> &runs) {
  ContestedBlocks *contested = nullptr;
  if (Status s = ClaimsOf(v, contested); !s.IsOk()) return s;
  for (const BlockRun &r : runs)
    for (uint64_t b = r.First; b < r.First + r.Count; ++b)
      if (contested->Has(b)) return KORVA_E_DAMAGED;
  return Status::Ok();
}

} // namespace korva
