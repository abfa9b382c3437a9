// The tree part of the check's walk: directories from the root, the entries they name and
// the blocks those entries claim. Repair must never lose a sound file to damage elsewhere,
// so a damaged directory entry costs only itself (the walk picks up again at the next valid
// entry), a verdict on a file entry depends on that entry and the kind of name reaching it,
// and blocks two entries claim go to the consistent claim: a block holding an entry's own
// file entry or descriptor chain is that entry's, and data two files claim is copied so that
// each keeps its bytes (as e2fsck clones blocks claimed several times).
#include <algorithm>
#include <cstring>

#include "udf/byte_order.h"
#include "udf/descriptors.h"
#include "udf/tag.h"
#include "udf/utf8.h"
#include "volume/check/fsck_walker.h"

namespace korva::fsck {
namespace {

constexpr uint32_t kMinFid = kMinFidLength;

// A directory entry of exactly `length` bytes (at least kMinFid) naming nothing, or the
// parent entry when `parent` is set; the rest of its length is implementation use.
void BuildFiller(uint8_t *dst, uint32_t length, uint32_t location, bool parent, uint32_t icb) {
  std::memset(dst, 0, length);
  StoreLE16(dst + 16, 1); // file version number
  dst[18] = parent ? (kFidParent | kFidDirectory) : kFidDeleted;
  if (parent) {
    StoreLE32(dst + 20, kBlockSize);
    StoreLE32(dst + 24, icb);
  }
  StoreLE16(dst + 36, static_cast<uint16_t>(length - 38));
  FillTagAt(dst, kTagFileIdentifier, static_cast<uint16_t>(length - 16), location);
}

// How much of `rest` bytes of damage the next filler covers: at most a block, never leaving
// less than a whole entry behind.
uint32_t FillerPiece(uint64_t rest) {
  if (rest <= kBlockSize) return static_cast<uint32_t>(rest);
  return rest - kBlockSize < kMinFid ? static_cast<uint32_t>(rest - kMinFid) : kBlockSize;
}

// Why a stored name cannot address its entry through a path; null when it can.
const char *UnusableName(FidEntry &fid) {
  if (fid.RawNameLength == 0) return "it is empty";
  const uint8_t id = fid.RawName[0];
  if (id == 16 && fid.RawNameLength % 2 == 0) return "it ends in half a character";
  const std::u16string &name = fid.DecodedName();
  if (name.empty())
    return id == 8 || id == 16 ? "it is empty" : "its character encoding is unknown";
  if (name == u"." || name == u"..") return "it is . or ..";
  if (name.find(u'\0') != std::u16string::npos) return "it holds a NUL character";
  if (name.find(u'/') != std::u16string::npos) return "it holds a /";
  return nullptr;
}

std::u16string Widen(const std::string &ascii) { return std::u16string(ascii.begin(), ascii.end()); }

// A name no entry of the directory holds: `base` itself when `bare` and free, otherwise
// `base` with "~N" appended, shortened to what one identifier can hold.
std::u16string FreeName(const std::u16string &base, bool bare,
                        const std::unordered_set<std::u16string> &taken) {
  if (bare && !taken.count(base)) return base;
  const bool wide = std::any_of(base.begin(), base.end(), [](char16_t c) { return c > 0xFF; });
  const size_t limit = wide ? 127 : 254;
  for (uint32_t n = 2;; ++n) {
    const std::u16string suffix = u"~" + Widen(std::to_string(n));
    std::u16string name = base.substr(0, limit - suffix.size()) + suffix;
    if (!taken.count(name)) return name;
  }
}

} // namespace

uint32_t FirstUsed(const std::vector<uint8_t> &used, uint32_t first, uint32_t count) {
  // Whole bytes at a time, so a hostile entry claiming the whole partition costs little.
  uint32_t b = first;
  const uint32_t end = first + count;
  while (b < end) {
    if (b % 8 == 0 && end - b >= 8 && used[b / 8] == 0) {
      b += 8;
      continue;
    }
    if (used[b / 8] & (1u << (b % 8))) return b;
    ++b;
  }
  return end;
}

void MarkUsed(std::vector<uint8_t> &used, uint32_t first, uint32_t count, bool set) {
  uint32_t b = first;
  const uint32_t end = first + count;
  auto bit = [&](uint32_t x) {
    if (set)
      used[x / 8] |= uint8_t(1u << (x % 8));
    else
      used[x / 8] &= uint8_t(~(1u << (x % 8)));
  };
  for (; b < end && b % 8; ++b)
    bit(b);
  if (end - b >= 8) {
    std::memset(&used[b / 8], set ? 0xFF : 0, (end - b) / 8);
    b += (end - b) / 8 * 8;
  }
  for (; b < end; ++b)
    bit(b);
}

bool Walker::GatherRanges(uint32_t block, const DescriptorList &list, EntryVerdict &out) {
  Range own;
  own.First = block;
  own.Count = 1;
  own.Descriptor = true;
  out.Ranges.push_back(own);
  if (list.Embedded()) out.ExtentBytes = list.EmbeddedLength;
  for (uint32_t b : list.Extensions) {
    own.First = b;
    out.Ranges.push_back(own);
  }
  for (const ADSlot &s : list.Extents) {
    out.ExtentBytes += s.AD.Length();
    // Extents that are not allocated take no blocks.
    if (s.AD.Type() == kExtentNotAllocated || s.AD.Length() == 0) continue;
    const uint32_t count = (s.AD.Length() + kBlockSize - 1) / kBlockSize;
    if (s.AD.Type() == kExtentRecorded) out.RecordedBlocks += count;
    out.AllocatedBlocks += count;
    out.Ranges.push_back({s.AD.Block, count, false, s.SlotBlock, s.SlotOffset});
  }
  std::vector<Range> sorted = out.Ranges;
  std::sort(sorted.begin(), sorted.end(),
            [](const Range &a, const Range &b) { return a.First < b.First; });
  for (size_t i = 1; i < sorted.size(); ++i) {
    const Range &a = sorted[i - 1];
    if (uint64_t(a.First) + a.Count > sorted[i].First) {
      out.Kind = KORVA_FINDING_CLAIMED_TWICE;
      out.Reason = "the file entry claims " + RunText(sorted[i].First, 1) + " twice";
      return false;
    }
  }
  return true;
}

void Walker::ClaimVolumeBlocks() {
  s_.Used.assign(SpaceBitmapBytes(g_.PartitionLength), 0);
  // The volume's own blocks in the partition: the bitmap and the file set descriptor.
  for (const auto &[first, count] : {std::pair{g_.BitmapBlock, g_.BitmapBlocks},
                                     std::pair{fileSetBlock_, uint32_t(1)}}) {
    if (count == 0) continue;
    owners_[first] = {first + count, kVolumeOwner, 0};
    MarkUsed(s_.Used, first, count);
    s_.UsedBlocks += count;
  }
}

void Walker::ClaimRange(uint32_t entry, uint32_t index) {
  const Range &r = entries_[entry].Ranges[index];
  owners_[r.First] = {r.First + r.Count, entry, index};
  MarkUsed(s_.Used, r.First, r.Count);
  s_.UsedBlocks += r.Count;
}

void Walker::ReleaseRange(uint32_t entry, uint32_t index) {
  const Range &r = entries_[entry].Ranges[index];
  const auto it = owners_.find(r.First);
  if (it == owners_.end() || it->second.Entry != entry || it->second.RangeIndex != index) return;
  owners_.erase(it);
  MarkUsed(s_.Used, r.First, r.Count, false);
  s_.UsedBlocks -= r.Count;
}

// Settles one range of a new entry against the runs it overlaps.
void Walker::PlanRange(const EntryVerdict &e, bool directory, size_t index, ClaimPlan &plan) {
  const Range &r = e.Ranges[index];
  if (FirstUsed(s_.Used, r.First, r.Count) == r.First + r.Count) return;
  const uint64_t end = uint64_t(r.First) + r.Count;
  auto it = owners_.upper_bound(r.First);
  if (it != owners_.begin()) --it;
  bool copyMine = false;
  for (; it != owners_.end() && it->first < end && !plan.Refused; ++it) {
    const Owner &o = it->second;
    if (o.End <= r.First) continue;
    const uint32_t at = std::max(r.First, it->first);
    plan.Reason = "the entry claims " + RunText(at, 1);
    if (o.Entry == kVolumeOwner) {
      plan.Refused = true;
      plan.Reason += ", which holds the volume's own structures";
      break;
    }
    const TreeEntry &t = entries_[o.Entry];
    if (t.Ranges[o.RangeIndex].Descriptor) {
      // The block holds another entry's own descriptor: this claim is the damaged one.
      plan.Refused = true;
      plan.Reason += ", which holds the entry of " + t.Name.Path;
    } else if (r.Descriptor) {
      // This entry's own descriptor lies in the other's data: the other is damaged.
      if (t.Directory || t.Names > 1) {
        plan.Refused = true;
        plan.Reason += ", which the data of " + t.Name.Path + " claims";
      } else if (std::find(plan.Evict.begin(), plan.Evict.end(), o.Entry) == plan.Evict.end()) {
        plan.Evict.push_back(o.Entry);
      }
    } else if (!directory) {
      copyMine = true;
    } else if (!t.Directory) {
      plan.CloneTheirs.emplace_back(o.Entry, o.RangeIndex);
    } else {
      plan.Refused = true;
      plan.Reason += ", which the directory " + t.Name.Path + " holds";
    }
  }
  if (copyMine && !plan.Refused) plan.CloneMine.push_back(index);
}

void Walker::PlanClaims(const EntryVerdict &e, bool directory, ClaimPlan &plan) {
  for (size_t i = 0; i < e.Ranges.size() && !plan.Refused; ++i)
    PlanRange(e, directory, i, plan);
}

void Walker::Drop(const NamePlace &place, uint32_t block, int32_t kind,
                  const std::string &text) {
  ScanFinding f;
  f.Kind = kind;
  f.Block = block;
  f.Path = place.Path;
  f.Text = text + "; the entry is dropped";
  f.Action = Mend::DropEntry;
  f.Directory = place.Directory;
  f.Offset = place.Offset;
  f.FidLength = place.Length;
  s_.Findings.push_back(f);
}

// Takes back an entry found damaged after it was taken: its blocks, its count, its mends.
void Walker::Evict(uint32_t entry, int32_t kind, const std::string &text) {
  TreeEntry &t = entries_[entry];
  if (t.Evicted) return;
  t.Evicted = true;
  for (uint32_t i = 0; i < t.Ranges.size(); ++i)
    ReleaseRange(entry, i);
  --(t.Directory ? s_.Directories : s_.Files);
  walk_->Release(t.Block);
  auto &fs = s_.Findings;
  fs.erase(std::remove_if(fs.begin(), fs.end(),
                          [&](const ScanFinding &f) { return f.Entry == t.Block; }),
           fs.end());
  Drop(t.Name, t.Block, kind, text);
}

// Takes a valid entry into the tree: its blocks, its count, its ID, its length.
uint32_t Walker::Accept(const EntryVerdict &e, bool directory, uint32_t block,
                        const NamePlace &name) {
  const uint32_t index = static_cast<uint32_t>(entries_.size());
  TreeEntry t;
  t.Block = block;
  t.Directory = directory;
  t.LinkCount = e.LinkCount;
  t.Name = name;
  t.Ranges = e.Ranges;
  entries_.push_back(std::move(t));
  ++(directory ? s_.Directories : s_.Files);
  s_.MaxUniqueID = std::max(s_.MaxUniqueID, e.Info.UniqueID);
  // The mount looks for this library's identifier (or the Linux kernel's, which it records
  // when it adds entries) in the root's entry, which repair records.
  const UDF_EntityID &id = e.Info.ImplementationIdentifier;
  const bool accepted = AcceptEntryImplementation(id);
  if (!IsOurImplementation(id) &&
      (!accepted || (block == g_.RootBlock && !IsLinuxKernelImplementation(id)))) {
    ScanFinding f;
    f.Kind = KORVA_FINDING_FOREIGN_ENTRY;
    f.Block = block;
    f.Path = name.Path;
    f.Text = "the entry was written by \"" + IdentifierText(e.Info.ImplementationIdentifier) + "\"";
    s_.Findings.push_back(f);
    if (!accepted) s_.ForeignEntries = true;
  }
  if (e.Info.InformationLength > e.ExtentBytes) {
    ScanFinding f;
    f.Kind = KORVA_FINDING_LENGTH;
    f.Block = block;
    f.Entry = block;
    f.Path = name.Path;
    f.Text = "the file entry records " + std::to_string(e.Info.InformationLength) +
             " bytes but its extents hold " + std::to_string(e.ExtentBytes);
    f.Action = Mend::SetLength;
    f.NewLength = e.ExtentBytes;
    f.NewBlocks = e.RecordedBlocks;
    s_.Findings.push_back(f);
  } else {
    CompareBlocksRecorded(e, block, name.Path);
  }
  if (e.BlocksPastLength > 0) {
    ScanFinding f;
    f.Kind = KORVA_FINDING_LENGTH;
    f.Block = block;
    f.Path = name.Path;
    f.Text = "the directory's extents hold " + std::to_string(e.BlocksPastLength) +
             " whole blocks past its length of " + std::to_string(e.Info.InformationLength) +
             " bytes";
    f.Action = Mend::TrimDirectory;
    s_.Findings.push_back(f);
  }
  return index;
}

// Writers count a file's blocks with or without its extension blocks, and with or without
// blocks allocated but not yet recorded: a count between the fewest and the most is sound.
void Walker::CompareBlocksRecorded(const EntryVerdict &e, uint32_t block,
                                   const std::string &path) {
  // The file entry's own block is not counted by anyone.
  const uint64_t extensions =
      std::count_if(e.Ranges.begin(), e.Ranges.end(), [](const Range &r) { return r.Descriptor; }) -
      1;
  const uint64_t recorded = e.Info.BlocksRecorded;
  if (recorded >= e.RecordedBlocks && recorded <= e.AllocatedBlocks + extensions) return;
  ScanFinding f;
  f.Kind = KORVA_FINDING_BLOCKS_RECORDED;
  f.Block = block;
  f.Entry = block;
  f.Path = path;
  f.Text = "the file entry records " + std::to_string(recorded) + " blocks, but its extents hold " +
           std::to_string(e.AllocatedBlocks);
  f.Action = Mend::SetLength;
  f.NewLength = e.Info.InformationLength;
  f.NewBlocks = e.AllocatedBlocks;
  s_.Findings.push_back(f);
}

// Finds `count` blocks in a row that nothing claims and no copy reads or takes.
bool FindRoom(const std::vector<uint8_t> &used, const std::vector<uint8_t> &reserved,
              uint32_t length, uint32_t count, uint32_t &first) {
  uint32_t run = 0;
  for (uint32_t b = 0; b < length; ++b) {
    const bool taken = (used[b / 8] | reserved[b / 8]) & (1u << (b % 8));
    run = taken ? 0 : run + 1;
    if (run == count) {
      first = b + 1 - count;
      return true;
    }
  }
  return false;
}

bool Walker::CloneRange(uint32_t entry, uint32_t index, std::vector<uint8_t> &reserved) {
  TreeEntry &t = entries_[entry];
  Range &r = t.Ranges[index];
  uint32_t target = 0;
  if (!FindRoom(s_.Used, reserved, g_.PartitionLength, r.Count, target)) return false;
  MarkUsed(reserved, target, r.Count);
  ScanFinding f;
  f.Kind = KORVA_FINDING_CLAIMED_TWICE;
  f.Block = r.First;
  f.Path = t.Name.Path;
  f.Text = RunText(r.First, r.Count) + " of the entry are claimed by another entry too; " +
           "the entry gets a copy at block " + std::to_string(target);
  f.Action = Mend::CopyBlocks;
  f.Directory = r.SlotBlock;
  f.Offset = r.SlotOffset;
  f.Entry = t.Block;
  f.Source = r.First;
  f.Target = target;
  f.Count = r.Count;
  s_.Findings.push_back(f);
  return true;
}

// Gives every entry that shares data with another a copy of its own, once the whole tree is
// known (and so which blocks are free). An entry for which no room is left loses its name.
void Walker::FinishClones() {
  if (clones_.empty()) return;
  std::vector<uint8_t> reserved(s_.Used.size(), 0);
  for (const PendingClone &c : clones_) {
    const Range &r = entries_[c.Entry].Ranges[c.RangeIndex];
    MarkUsed(reserved, r.First, r.Count);
  }
  for (const PendingClone &c : clones_) {
    if (entries_[c.Entry].Evicted || CloneRange(c.Entry, c.RangeIndex, reserved)) continue;
    Evict(c.Entry, KORVA_FINDING_CLAIMED_TWICE,
          "the entry shares blocks with another and there is no room to copy them");
  }
}

namespace {
NamePlace PlaceOf(const TreeName &name) {
  return {name.Directory, name.Fid.Offset, name.Fid.Length, name.Path};
}
} // namespace

bool Walker::OnOutside(TreeName &name) {
  if (name.Root) return false; // the file set's root lies in the partition
  Drop(PlaceOf(name), KORVA_NO_BLOCK, KORVA_FINDING_BAD_ENTRY,
       "the entry points outside the partition");
  return true;
}

bool Walker::OnLink(TreeName &name, uint32_t cookie, bool &kept) {
  TreeEntry &t = entries_[cookie];
  const bool directory = name.IsDirectory();
  const NamePlace place = PlaceOf(name);
  // Another name of a file that records several (a hard link another system made).
  if (!directory && !t.Directory && t.LinkCount > 1) {
    ++t.Names;
    kept = true;
    return NameKept(name, place);
  }
  const bool loop = directory && t.Directory;
  Drop(place, name.Fid.ICBBlock, loop ? KORVA_FINDING_LOOP : KORVA_FINDING_CLAIMED_TWICE,
       loop ? "the entry leads back to a directory already reached"
            : "the entry's file entry is reached by another name already");
  return true;
}

bool Walker::OnRefused(TreeName &name, uint32_t cookie) {
  const Refusal &r = refusals_[cookie];
  Drop(PlaceOf(name), name.Fid.ICBBlock, r.Kind, r.Reason);
  return true;
}

// Judges the file entry a name reaches and, when it is sound and its claims settle, takes it
// into the tree. A damaged root leaves no tree to walk.
bool Walker::OnEntry(TreeName &name, Verdict &verdict, uint32_t &cookie) {
  const bool directory = name.IsDirectory();
  const uint32_t block = name.Fid.ICBBlock;
  EntryVerdict e;
  if (!Inspect(block, directory, e)) return false;
  ClaimPlan plan;
  if (e.Valid) PlanClaims(e, directory, plan);
  if (name.Root && (!e.Valid || plan.Refused))
    return Structure("root directory: " + (e.Valid ? plan.Reason : e.Reason), block);
  const NamePlace place = PlaceOf(name);
  if (!e.Valid) {
    Drop(place, block, e.Kind, e.Reason);
    cookie = static_cast<uint32_t>(refusals_.size());
    refusals_.push_back({e.Kind, e.Reason});
    verdict = Verdict::Refuse;
    return true;
  }
  if (plan.Refused) {
    // Claims may settle otherwise for a later name, once an entry is evicted.
    Drop(place, block, KORVA_FINDING_CLAIMED_TWICE, plan.Reason);
    verdict = Verdict::Leave;
    return true;
  }
  cookie = Take(e, directory, block, place, plan);
  verdict = directory ? Verdict::Descend : Verdict::Take;
  return NameKept(name, place);
}

// Takes a sound entry with its settled claims: the entries it shows damaged are evicted,
// the data it shares gets copied.
uint32_t Walker::Take(const EntryVerdict &e, bool directory, uint32_t block,
                      const NamePlace &place, const ClaimPlan &plan) {
  for (uint32_t victim : plan.Evict)
    Evict(victim, KORVA_FINDING_CLAIMED_TWICE,
          "the entry's data claims the file entry of " + place.Path);
  for (const auto &[entry, range] : plan.CloneTheirs) {
    ReleaseRange(entry, range);
    clones_.push_back({entry, range});
  }
  const uint32_t index = Accept(e, directory, block, place);
  for (uint32_t i = 0; i < entries_[index].Ranges.size(); ++i) {
    if (std::find(plan.CloneMine.begin(), plan.CloneMine.end(), i) == plan.CloneMine.end())
      ClaimRange(index, i);
    else
      clones_.push_back({index, i});
  }
  return index;
}

// A sound name read from its directory is kept: its name is noted, its partition reference
// mended. Salvaged names are mended whole by the walk that salvaged them.
bool Walker::NameKept(TreeName &name, const NamePlace &place) {
  if (!name.Stream) return true;
  const size_t renamed = dirRenames_.size();
  NoteName(name.Fid, place, name.Parent);
  return name.Fid.ICBPartition == 0 || dirRenames_.size() != renamed ||
         MendPartition(*name.Stream, name.Fid, place);
}

// Entries of exactly `length` bytes for directory data from `offset` naming nothing (the
// parent entry first where the directory starts), so that every reader passes over damage.
std::vector<uint8_t> Walker::RebuildEntries(DirectoryStream &dir, uint64_t offset,
                                            uint64_t length, uint32_t parent) {
  std::vector<uint8_t> bytes(length, 0);
  for (uint64_t pos = 0; pos < length;) {
    const bool isParent = offset + pos == 0;
    const uint64_t rest = length - pos;
    const uint32_t piece = isParent && rest >= 2 * kMinFid ? kMinFid : FillerPiece(rest);
    DirectoryStream::Place at;
    dir.Locate(offset + pos, at);
    BuildFiller(&bytes[pos], piece, at.Block, isParent, parent);
    pos += piece;
  }
  return bytes;
}

// A damaged entry whose fields still name a file entry is followed after every sound name,
// so that a sound name always takes its file entry first. Its tag is rewritten when its
// length matches the gap to the next valid entry; otherwise its name cannot be trusted and
// it gets one made from its file entry's block.
bool Walker::SalvageEntry(DirectoryStream &dir, uint64_t offset, uint64_t next,
                          const TreeDirectory &d) {
  const uint64_t gap = next - offset;
  DamagedEntry damaged;
  if (!DamagedEntryNames(dir, g_.PartitionLength, offset, next, damaged)) return false;
  std::vector<uint8_t> &raw = damaged.Raw;
  UDF_FileIdentifierDescriptorHeader &h = damaged.Header;
  Salvage s;
  s.Fid = std::move(damaged.Fid);
  const uint32_t lfi = h.LengthofFileIdentifier, liu = h.LengthofImplementationUse;
  if (gap <= kBlockSize && FidLength(lfi, liu) == gap) {
    s.Fid.RawNameLength = static_cast<uint8_t>(lfi);
    std::memcpy(s.Fid.RawName, &raw[sizeof h + liu], lfi);
    h.ICB.Location.PartitionReferenceNumber = 0; // the one partition
    std::memcpy(raw.data(), &h, sizeof h);
    FillTagAt(raw.data(), kTagFileIdentifier, static_cast<uint16_t>(gap - 16), damaged.AtBlock);
    s.Bytes = raw;
  } else {
    // Named after its file entry's block, at the end of the directory after repair.
    const std::string name = "#" + std::to_string(s.Fid.ICBBlock);
    s.Fid.RawName[0] = 8;
    std::memcpy(s.Fid.RawName + 1, name.data(), name.size());
    s.Fid.RawNameLength = static_cast<uint8_t>(name.size() + 1);
    s.Relink = true;
  }
  s.Fill = RebuildEntries(dir, offset, gap, d.Parent);
  s.Fid.Length = static_cast<uint32_t>(gap);
  s.Place = {dir.FEBlock(), offset, static_cast<uint32_t>(gap), d.Path + "/" + ShownName(s.Fid)};
  s.Depth = d.Depth + 1;
  walk_->Defer(static_cast<uint32_t>(salvaged_.size()));
  salvaged_.push_back(std::move(s));
  return true;
}

ScanFinding Walker::EntriesFinding(uint32_t directory, uint64_t offset, std::vector<uint8_t> bytes,
                                   const std::string &path, const std::string &text) {
  ScanFinding f;
  f.Kind = KORVA_FINDING_DIRECTORY_DATA;
  f.Block = directory;
  f.Path = path.empty() ? "/" : path;
  f.Text = text;
  f.Action = Mend::WriteEntries;
  f.Directory = directory;
  f.Offset = offset;
  f.Bytes = std::move(bytes);
  return f;
}

// Damage from `offset` to the next valid entry at `next`, at least a whole entry long: the
// entry there is salvaged when its fields still name a file entry, otherwise the bytes are
// covered by entries naming nothing.
void Walker::DamageUpTo(DirectoryStream &dir, uint64_t offset, uint64_t next,
                        const TreeDirectory &d) {
  if (SalvageEntry(dir, offset, next, d)) return;
  s_.Findings.push_back(EntriesFinding(
      dir.FEBlock(), offset, RebuildEntries(dir, offset, next - offset, d.Parent), d.Path,
      "the directory data is damaged from byte " + std::to_string(offset) + " to " +
          std::to_string(next) + "; what follows is kept"));
}

bool Walker::OnDamage(DirectoryStream &dir, const TreeDirectory &d, uint64_t offset,
                      uint64_t &next) {
  if (!dir.NextValidFid(offset, next)) return false;
  if (next - offset >= kMinFid) {
    DamageUpTo(dir, offset, next, d);
    return true;
  }
  ScanFinding f;
  f.Kind = KORVA_FINDING_DIRECTORY_DATA;
  f.Block = dir.FEBlock();
  f.Path = d.Path.empty() ? "/" : d.Path;
  f.Text = "the directory data is damaged after byte " + std::to_string(offset) +
           "; the directory is cut there";
  f.Action = Mend::CutDirectory;
  f.Directory = dir.FEBlock();
  f.NewLength = offset;
  f.NewBlocks = dir.Entry().BlocksRecorded;
  s_.Findings.push_back(f);
  return true;
}

bool Walker::OnDeferred(uint32_t tag) { return FollowSalvaged(salvaged_[tag]); }

// Follows a salvaged entry. Kept, its rebuilt bytes are written; dropped, the damage is
// covered by entries naming nothing (its own length cannot be trusted to mark it deleted).
bool Walker::FollowSalvaged(Salvage &s) {
  bool kept = false;
  const size_t findings = s_.Findings.size();
  TreeName name;
  name.Directory = s.Place.Directory;
  name.Depth = s.Depth;
  name.Path = s.Place.Path;
  name.Fid = s.Fid;
  if (!walk_->Follow(name, kept)) return false;
  if (!kept && s_.Findings.size() > findings) {
    ScanFinding &drop = s_.Findings.back();
    drop.Action = Mend::WriteEntries;
    drop.Bytes = std::move(s.Fill);
    return true;
  }
  ScanFinding f = EntriesFinding(
      s.Place.Directory, s.Place.Offset, std::move(s.Relink ? s.Fill : s.Bytes), s.Place.Path,
      s.Relink ? "the directory entry is damaged beyond its name; it is given a new one"
               : "the directory entry is damaged; it is rewritten");
  if (s.Relink) {
    f.Relink = true;
    f.Entry = s.Fid.ICBBlock;
    f.Characteristics = s.Fid.Characteristics;
    f.NewName = s.Fid.DecodedName();
  }
  s_.Findings.push_back(std::move(f));
  return true;
}

bool Walker::LengthHolds(DirectoryStream &dir, const TreeDirectory &d, const FidEntry &fid,
                         bool &holds, uint64_t &next) {
  holds = EntryLengthHolds(dir, fid.Offset, fid.Length, next);
  if (!holds) DamageUpTo(dir, fid.Offset, next, d);
  return true;
}

void Walker::OnDirectoryStart(DirectoryStream &, const TreeDirectory &) {
  names_.clear();
  dirRenames_.clear();
}

// New names are chosen once every name of the directory is known, so none clashes.
bool Walker::OnDirectoryEnd(DirectoryStream &dir, const TreeDirectory &d) {
  for (Rename &r : dirRenames_) {
    const bool unusable = r.Kind == KORVA_FINDING_NAME;
    r.NewName = FreeName(unusable ? u"#" + Widen(std::to_string(r.Block)) : r.NewName,
                         unusable, names_);
    names_.insert(r.NewName);
    r.Fill = RebuildEntries(dir, r.Place.Offset, r.Place.Length, d.Parent);
    renames_.push_back(std::move(r));
  }
  dirRenames_.clear();
  return true;
}

// The volume has one partition, so an entry addressed in another is read by this library
// (which looks only at the block) and by no other reader: the reference is set to 0.
bool Walker::MendPartition(DirectoryStream &dir, const FidEntry &fid, const NamePlace &place) {
  std::vector<uint8_t> raw(fid.Length);
  bool io = false;
  DirectoryStream::Place at;
  if (!dir.ReadBytes(fid.Offset, raw.data(), raw.size(), io)) return !io;
  if (!dir.Locate(fid.Offset, at)) return true;
  UDF_FileIdentifierDescriptorHeader h;
  std::memcpy(&h, raw.data(), sizeof h);
  h.ICB.Location.PartitionReferenceNumber = 0;
  std::memcpy(raw.data(), &h, sizeof h);
  FillTagAt(raw.data(), kTagFileIdentifier, static_cast<uint16_t>(raw.size() - 16), at.Block);
  s_.Findings.push_back(EntriesFinding(
      place.Directory, fid.Offset, std::move(raw), place.Path,
      "the entry addresses its file entry in partition " + std::to_string(fid.ICBPartition) +
          ", but the volume has only partition 0; the reference is set to 0"));
  s_.Findings.back().Block = fid.ICBBlock;
  return true;
}

// Keeps `fid`'s name in `names`, or notes that it must change: a name that cannot be used,
// or one that an earlier entry of the directory holds (a reader would only ever find that
// one, and copying both out would overwrite the first with the second).
void Walker::NoteName(FidEntry &fid, const NamePlace &place, uint32_t parent) {
  Rename r;
  if (const char *why = UnusableName(fid)) {
    r.Kind = KORVA_FINDING_NAME;
    r.Why = std::string("the name cannot be used: ") + why;
  } else if (!names_.insert(fid.DecodedName()).second) {
    r.Kind = KORVA_FINDING_DUPLICATE_NAME;
    r.Why = "an earlier entry of the directory has the same name";
    r.NewName = fid.DecodedName();
  } else {
    return;
  }
  r.Place = place;
  r.Parent = parent;
  r.Block = fid.ICBBlock;
  r.Characteristics = fid.Characteristics & (kFidDirectory | kFidHidden);
  dirRenames_.push_back(std::move(r));
}

// The old name goes and the entry is named anew once the repaired volume is mounted, as a
// salvaged entry is. An entry found damaged after its name was noted keeps only the drop.
void Walker::RenameEntries() {
  for (Rename &r : renames_) {
    uint32_t entry = 0;
    if (!walk_->Taken(r.Block, entry) || entries_[entry].Evicted) continue;
    std::string shown;
    if (!Utf16ToUtf8(r.NewName.data(), r.NewName.size(), shown)) shown = "?";
    ScanFinding f = EntriesFinding(r.Place.Directory, r.Place.Offset, std::move(r.Fill),
                                   r.Place.Path, r.Why + "; it is renamed \"" + shown + "\"");
    f.Kind = r.Kind;
    f.Block = r.Block;
    f.Relink = true;
    f.Entry = r.Block;
    f.Characteristics = r.Characteristics;
    f.NewName = std::move(r.NewName);
    s_.Findings.push_back(std::move(f));
  }
}

bool Walker::WalkTree() {
  ClaimVolumeBlocks();
  if (IsUsed(g_.RootBlock)) return Structure("the root directory lies in the volume's own blocks");
  auto reader = [this](uint32_t b, uint8_t *buf) { return ReadBlock(b, buf); };
  walk_.emplace(reader, g_.PartitionLength, static_cast<TreeVisitor &>(*this));
  if (!walk_->Run(g_.RootBlock)) return false;
  FinishClones();
  RenameEntries();
  CompareLinkCounts();
  return true;
}

// A file entry records how many names reach it: one that records more than the walk found
// would never be freed by removing them, one that records fewer would be freed too early.
void Walker::CompareLinkCounts() {
  for (const TreeEntry &t : entries_) {
    if (t.Evicted || t.Directory || t.LinkCount == t.Names) continue;
    ScanFinding f;
    f.Kind = KORVA_FINDING_LINK_COUNT;
    f.Block = t.Block;
    f.Entry = t.Block;
    f.Path = t.Name.Path;
    f.Text = "the file entry records " + std::to_string(t.LinkCount) + " links, but " +
             std::to_string(t.Names) + (t.Names == 1 ? " name reaches" : " names reach") + " it";
    f.Action = Mend::SetLinks;
    f.NewLength = t.Names;
    s_.Findings.push_back(f);
  }
}

} // namespace korva::fsck
