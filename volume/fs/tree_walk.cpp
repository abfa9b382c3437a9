#include "volume/fs/tree_walk.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "udf/utf8.h"

namespace korva {

namespace {
// A file entry may be judged differently for a directory's name than for a file's.
uint64_t RefusalKey(uint32_t block, bool directory) {
  return uint64_t(block) << 1 | directory;
}
} // namespace

std::string ShownName(FidEntry &fid) {
  std::string name;
  const std::u16string &wide = fid.DecodedName();
  if (wide.empty() || !Utf16ToUtf8(wide.data(), wide.size(), name)) return "?";
  return name;
}

namespace {
bool ValidFidAt(DirectoryStream &dir, uint64_t offset) {
  FidEntry probe;
  return dir.ReadFid(offset, probe, false) == DirectoryStream::Ok &&
         dir.ReadFid(offset, probe, true) == DirectoryStream::Ok;
}
} // namespace

bool EntryLengthHolds(DirectoryStream &dir, uint64_t offset, uint32_t length, uint64_t &next) {
  const uint64_t end = offset + length;
  for (uint64_t at = offset + kMinFidLength; at < end; at += 4)
    if (ValidFidAt(dir, at)) {
      next = at;
      return false;
    }
  if (end >= dir.Size() || ValidFidAt(dir, end)) return true;
  for (uint64_t at = end + 4; at < end + kMinFidLength && at < dir.Size(); at += 4)
    if (ValidFidAt(dir, at)) {
      next = at;
      return false;
    }
  return true;
}

bool DamagedEntryNames(DirectoryStream &dir, uint32_t partitionLength, uint64_t offset,
                       uint64_t next, DamagedEntry &out) {
  std::vector<uint8_t> &raw = out.Raw;
  UDF_FileIdentifierDescriptorHeader &h = out.Header;
  raw.assign(std::min<uint64_t>(next - offset, kBlockSize), 0);
  bool io = false;
  DirectoryStream::Place at;
  if (raw.size() < sizeof h) return false;
  if (!dir.ReadBytes(offset, raw.data(), raw.size(), io) || !dir.Locate(offset, at)) return false;
  std::memcpy(&h, raw.data(), sizeof h);
  if (h.FileCharacteristics & (kFidDeleted | kFidParent)) return false;
  out.Fid.Offset = offset;
  out.Fid.Characteristics = h.FileCharacteristics & (kFidDirectory | kFidHidden);
  out.Fid.ICBBlock = h.ICB.Location.LogicalBlockNumber;
  out.AtBlock = at.Block;
  return out.Fid.ICBBlock < partitionLength;
}

TreeWalk::TreeWalk(BlockReadFn read, BlockSpace space, TreeVisitor &visitor,
                   TreeWalkOptions options)
    : read_(std::move(read)), space_(std::move(space)), partitionLength_(space_.Length),
      visitor_(visitor), options_(options) {}

bool TreeWalk::Taken(uint32_t block, uint32_t &cookie) const {
  const auto it = taken_.find(block);
  if (it == taken_.end()) return false;
  cookie = it->second;
  return true;
}

bool TreeWalk::Follow(TreeName &name, bool &kept) {
  kept = false;
  const uint32_t block = name.Fid.ICBBlock;
  if (block >= partitionLength_) return visitor_.OnOutside(name);
  if (const auto it = taken_.find(block); it != taken_.end())
    return visitor_.OnLink(name, it->second, kept);
  const uint64_t key = RefusalKey(block, name.IsDirectory());
  if (const auto it = refused_.find(key); it != refused_.end())
    return visitor_.OnRefused(name, it->second);
  TreeVisitor::Verdict verdict = TreeVisitor::Verdict::Refuse;
  uint32_t cookie = 0;
  if (!visitor_.OnEntry(name, verdict, cookie)) return false;
  if (verdict == TreeVisitor::Verdict::Refuse) refused_.emplace(key, cookie);
  if (verdict == TreeVisitor::Verdict::Refuse || verdict == TreeVisitor::Verdict::Leave)
    return true;
  taken_[block] = cookie;
  kept = true;
  if (verdict == TreeVisitor::Verdict::Descend) {
    // The root is its own parent.
    const uint32_t parent = name.Root ? block : name.Directory;
    directories_.push_back({block, parent, name.Depth, name.Path});
  }
  return true;
}

// Follows one entry read from a directory's data, unless it is deleted or the parent.
bool TreeWalk::FollowRead(DirectoryStream &dir, const TreeDirectory &d, FidEntry &fid) {
  if (fid.Characteristics & (kFidDeleted | kFidParent)) return true;
  TreeName name;
  name.Directory = d.Block;
  name.Parent = d.Parent;
  name.Depth = d.Depth + 1;
  if (options_.Paths) name.Path = d.Path + "/" + ShownName(fid);
  name.Fid = std::move(fid);
  name.Stream = &dir;
  bool kept = false;
  return Follow(name, kept);
}

bool TreeWalk::ScanDirectory(const TreeDirectory &d) {
  DirectoryStream dir(read_, space_);
  const DirectoryStream::Status st = dir.Open(d.Block);
  if (st == DirectoryStream::IoError) return false;
  if (st == DirectoryStream::End) return true; // no readable directory data
  visitor_.OnDirectoryStart(dir, d);
  for (uint64_t offset = 0; offset < dir.Size() && !stopped_;) {
    FidEntry fid;
    const DirectoryStream::Status r = dir.ReadFid(offset, fid, options_.CheckCrc);
    if (r == DirectoryStream::IoError) return false;
    if (r == DirectoryStream::End) {
      if (!visitor_.OnDamage(dir, d, offset, offset)) return false;
      continue;
    }
    uint64_t resume = 0;
    bool holds = true;
    if (!visitor_.LengthHolds(dir, d, fid, holds, resume)) return false;
    if (!holds) {
      offset = resume;
      continue;
    }
    offset += fid.Length;
    if (!FollowRead(dir, d, fid)) return false;
  }
  return stopped_ || visitor_.OnDirectoryEnd(dir, d);
}

bool TreeWalk::Run(uint32_t rootBlock) {
  TreeName root;
  root.Root = true;
  root.Fid.ICBBlock = rootBlock;
  root.Fid.Characteristics = kFidDirectory;
  bool kept = false;
  if (!Follow(root, kept)) return false;
  while (!stopped_ && (!directories_.empty() || !deferred_.empty())) {
    if (!directories_.empty()) {
      const TreeDirectory d = std::move(directories_.front());
      directories_.pop_front();
      if (!ScanDirectory(d)) return false;
      continue;
    }
    const uint32_t tag = deferred_.front();
    deferred_.pop_front();
    if (!visitor_.OnDeferred(tag)) return false;
  }
  return true;
}

} // namespace korva
