#include "volume/fs/fs_dir.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "udf/byte_order.h"
#include "udf/descriptors.h"
#include "udf/entry_record.h"
#include "udf/tag.h"
#include "udf/unicode.h"
#include "volume/fs/fs_records.h"

namespace korva {

static_assert(kFEFirstSlot == sizeof(UDF_FileEntryHeader));
static_assert(kAEDFirstSlot == sizeof(UDF_AllocationExtentDescriptorHeader));
static_assert(FidLength(255, 17) == FileIdentifierDescriptorLength(255, 17));

uint64_t DescriptorList::TotalBytes() const {
  if (Form == kDescriptorsEmbedded) return EmbeddedLength;
  uint64_t total = 0;
  for (const ADSlot &s : Extents)
    total += s.AD.Length();
  return total;
}

bool ReadEntryFields(const uint8_t *sector, uint32_t block, EntryFields &info) {
  std::optional<FileEntryInfo> fe = ParseFileEntry(sector, kBlockSize, block);
  if (!fe) return false;
  info = std::move(*fe);
  return true;
}

namespace {
// The end of the descriptor area of a list block: the recorded length, within the block.
// A length the block cannot hold is damage (0), not an empty list.
uint32_t ListLimit(const uint8_t *block, uint32_t &first) {
  const std::optional<DescriptorArea> area = DescriptorAreaOf(block, kBlockSize);
  if (!area) return 0;
  first = area->First;
  return area->First + area->Length;
}

// The blocks one entry's list has claimed so far. A block belongs to one extent: a list
// that names a block twice (in its extents or extension blocks) is damaged.
class ClaimedBlocks {
public:
  // False when any of the blocks is claimed already. Lists name their extents in ascending
  // order as a rule: those are appended to a vector (every lookup in a directory reads its
  // list); the rest, and the extension blocks (taken later, elsewhere), go to a map.
  bool Claim(uint64_t first, uint64_t count, bool extension = false) {
    if (count == 0) return true;
    const uint64_t end = first + count;
    if (Overlaps(ascending_, first, end) || Overlaps(others_, first, end)) return false;
    if (!extension && (ascending_.empty() || ascending_.back().second <= first))
      ascending_.emplace_back(first, end);
    else
      others_.emplace(first, end);
    return true;
  }

private:
  // next: the first run at or after first.
  template <class Runs, class It>
  static bool Overlaps(const Runs &runs, It next, uint64_t first, uint64_t end) {
    if (next != runs.end() && next->first < end) return true;
    return next != runs.begin() && std::prev(next)->second > first;
  }
  static bool Overlaps(const std::vector<std::pair<uint64_t, uint64_t>> &runs, uint64_t first,
                       uint64_t end) {
    auto next = std::lower_bound(runs.begin(), runs.end(), std::make_pair(first, uint64_t(0)));
    return Overlaps(runs, next, first, end);
  }
  static bool Overlaps(const std::map<uint64_t, uint64_t> &runs, uint64_t first, uint64_t end) {
    return Overlaps(runs, runs.lower_bound(first), first, end);
  }

  std::vector<std::pair<uint64_t, uint64_t>> ascending_; // (first block, end), by first
  std::map<uint64_t, uint64_t> others_;                  // first block -> end
};
} // namespace

namespace {
// One walk of an entry's descriptor list, slot by slot, through its continuations into
// allocation extent descriptors. Damage ends the list (Corrupt); only a read failure fails it.
class ListWalk {
public:
  ListWalk(const BlockReadFn &read, const BlockSpace &space, uint32_t feBlock,
           const uint8_t *feSector, DescriptorList &out)
      : read_(read), space_(space), out_(out), cur_(feSector), curBlock_(feBlock),
        visited_{feBlock} {}
  bool Run();

private:
  enum class Step { More, End, Damage, ReadFailed };
  bool Finish(bool corrupt);
  Step Next();
  bool Decode(ShortADValue &ad) const;
  Step Continue(uint32_t block);
  Step Take(const ShortADValue &ad);

  const BlockReadFn &read_;
  const BlockSpace &space_;
  DescriptorList &out_;
  const uint8_t *cur_;
  uint32_t curBlock_;
  uint32_t off_ = kFEFirstSlot;
  uint32_t limit_ = 0;
  uint32_t stride_ = 0;
  std::unordered_set<uint32_t> visited_;
  uint64_t listBlocks_ = 0;
  ClaimedBlocks claimed_;
  uint8_t ext_[kBlockSize];
};

// Bytes of one descriptor of the form; 0 for a form that records none.
uint32_t SlotBytes(uint8_t form) {
  switch (form) {
  case kDescriptorsShort:
    return 8;
  case kDescriptorsLong:
    return 16;
  case kDescriptorsExtended:
    return kExtendedADBytes;
  default:
    return 0;
  }
}

bool ListWalk::Finish(bool corrupt) {
  out_.Corrupt = corrupt;
  out_.EndBlock = curBlock_;
  out_.EndOffset = static_cast<uint16_t>(off_);
  return true;
}

bool ListWalk::Run() {
  out_ = DescriptorList();
  limit_ = ListLimit(cur_, off_);
  if (limit_ == 0) return Finish(true);
  const std::optional<EntryRecord> entry = EntryRecord::Of(cur_, kBlockSize);
  if (!entry) return Finish(true);
  out_.Form = static_cast<uint8_t>(entry->DescriptorForm());
  if (out_.Form == kDescriptorsEmbedded) {
    out_.EmbeddedOffset = static_cast<uint16_t>(off_);
    out_.EmbeddedLength = static_cast<uint16_t>(limit_ - off_);
    off_ = limit_;
    return Finish(false);
  }
  stride_ = SlotBytes(out_.Form);
  if (stride_ == 0) return Finish(true);
  for (;;) {
    switch (Next()) {
    case Step::More:
      continue;
    case Step::End:
      return Finish(false);
    case Step::Damage:
      return Finish(true);
    case Step::ReadFailed:
      return false;
    }
  }
}

ListWalk::Step ListWalk::Next() {
  // The list ends with its recorded length or at a descriptor of length 0.
  if (off_ + stride_ > limit_) return Step::End;
  ShortADValue ad;
  if (!Decode(ad)) return Step::Damage;
  if (ad.Length() == 0) return Step::End;
  if (ad.Type() == kExtentTypeContinuation) return Continue(ad.Block);
  return Take(ad);
}

// The descriptor in the current slot as a short one, its block in the engine's block space.
bool ListWalk::Decode(ShortADValue &ad) const {
  const uint8_t *slot = cur_ + off_;
  uint16_t partition = 0;
  if (out_.Form == kDescriptorsExtended) {
    const std::optional<ExtendedADInfo> e = ParseExtendedAD(slot, limit_ - off_);
    if (!e) return false;
    ad.LengthWord = e->ExtentLength;
    ad.Block = e->Block;
    partition = e->Partition;
  } else {
    ad = LoadADAt(slot);
    if (out_.Form == kDescriptorsLong) partition = LongADPartition(slot);
  }
  // A descriptor that names its partition: one the volume does not map cannot be followed.
  if (out_.Form == kDescriptorsShort || ad.Length() == 0 || ad.Type() == kExtentNotAllocated)
    return true;
  return space_.Map(partition, ad.Block, ad.Block);
}

ListWalk::Step ListWalk::Continue(uint32_t block) {
  // A chain longer than the partition or one that comes back to a block must be bad.
  if (block >= space_.Length || visited_.size() > space_.Length ||
      !visited_.insert(block).second)
    return Step::Damage;
  if (!read_(block, ext_)) return Step::ReadFailed;
  if (!IsTagValid(kTagAllocationExtent, ext_, kBlockSize, block) ||
      !claimed_.Claim(block, 1, true))
    return Step::Damage;
  out_.Extensions.push_back(block);
  cur_ = ext_;
  curBlock_ = block;
  off_ = kAEDFirstSlot;
  limit_ = ListLimit(ext_, off_);
  return limit_ == 0 ? Step::Damage : Step::More;
}

ListWalk::Step ListWalk::Take(const ShortADValue &ad) {
  const uint64_t blocks = (uint64_t(ad.Length()) + space_.BlockBytes - 1) / space_.BlockBytes;
  // A not-allocated extent has no blocks; its location means nothing.
  const bool allocated = ad.Type() != kExtentNotAllocated;
  if (allocated && uint64_t(ad.Block) + blocks > space_.Length) return Step::Damage;
  // No entry can hold more than the partition: a list that claims more repeats blocks,
  // and following it would make every walk as long as the damage is large.
  if (allocated) listBlocks_ += blocks;
  if (listBlocks_ > space_.Length || (allocated && !claimed_.Claim(ad.Block, blocks)))
    return Step::Damage;
  out_.Extents.push_back({curBlock_, static_cast<uint16_t>(off_), ad});
  off_ += stride_;
  return Step::More;
}
} // namespace

bool ReadDescriptorList(const BlockReadFn &read, const BlockSpace &space, uint32_t feBlock,
                        const uint8_t *feSector, DescriptorList &out) {
  return ListWalk(read, space, feBlock, feSector, out).Run();
}

bool DecodeName(const uint8_t *bytes, size_t length, std::u16string &name) {
  name.clear();
  if (length == 0) return true;
  char16_t buf[256];
  const int32_t n = UncompressUnicode(static_cast<int32_t>(length), bytes, buf, 256);
  if (n < 0) return false;
  name.assign(buf, static_cast<size_t>(n));
  return true;
}

DirectoryStream::DirectoryStream(BlockReadFn read, BlockSpace space)
    : read_(std::move(read)), space_(std::move(space)), partitionLength_(space_.Length) {}

DirectoryStream::Status DirectoryStream::Open(uint32_t feBlock, uint8_t fileType) {
  feBlock_ = feBlock;
  cacheValid_ = false;
  list_ = DescriptorList();
  starts_.clear();
  size_ = 0;
  if (feBlock >= partitionLength_) return End;
  uint8_t fe[kBlockSize];
  if (!read_(feBlock, fe)) return IoError;
  if (!ReadEntryFields(fe, feBlock, fe_) || fe_.FileType != fileType) return End;
  if (!ReadDescriptorList(read_, space_, feBlock, fe, list_)) return IoError;
  if (list_.Embedded()) {
    std::memcpy(entry_, fe, kBlockSize);
    size_ = std::min<uint64_t>(fe_.InformationLength, list_.EmbeddedLength);
    return Ok;
  }
  uint64_t pos = 0;
  for (const ADSlot &s : list_.Extents) {
    starts_.push_back(pos);
    pos += s.AD.Length();
  }
  size_ = std::min<uint64_t>(fe_.InformationLength, pos);
  return Ok;
}

bool DirectoryStream::ReadBlock(uint32_t block, const uint8_t *&data) {
  if (!cacheValid_ || cachedBlock_ != block) {
    cacheValid_ = false;
    if (!read_(block, cache_)) return false;
    cachedBlock_ = block;
    cacheValid_ = true;
  }
  data = cache_;
  return true;
}

bool DirectoryStream::Locate(uint64_t offset, Place &place) const {
  if (offset >= size_) return false;
  // Embedded entries lie in the file entry's own block.
  if (list_.Embedded()) {
    place = {0, feBlock_, static_cast<uint16_t>(list_.EmbeddedOffset + offset)};
    return true;
  }
  if (starts_.empty()) return false;
  auto it = std::upper_bound(starts_.begin(), starts_.end(), offset);
  size_t idx = static_cast<size_t>(it - starts_.begin()) - 1;
  uint64_t inExtent = offset - starts_[idx];
  place.Extent = idx;
  uint32_t block = 0, rest = 0;
  space_.Split(inExtent, block, rest);
  place.Block = list_.Extents[idx].AD.Block + block;
  place.Offset = static_cast<uint16_t>(rest);
  return true;
}

bool DirectoryStream::ReadBytes(uint64_t offset, uint8_t *dst, size_t n, bool &ioError) {
  ioError = false;
  if (offset + n > size_) return false;
  if (list_.Embedded()) {
    if (n > 0) std::memcpy(dst, entry_ + list_.EmbeddedOffset + offset, n);
    return true;
  }
  while (n > 0) {
    Place p;
    if (!Locate(offset, p)) return false;
    const ADSlot &s = list_.Extents[p.Extent];
    // Unrecorded extents read as zeros.
    uint64_t extentLeft = starts_[p.Extent] + s.AD.Length() - offset;
    uint32_t at = 0, inAt = 0;
    const uint32_t inBlock = space_.Piece(p.Block, p.Offset, at, inAt);
    size_t chunk = static_cast<size_t>(std::min<uint64_t>({n, inBlock, extentLeft}));
    if (s.AD.Type() != 0) {
      std::memset(dst, 0, chunk);
    } else {
      const uint8_t *data;
      if (!ReadBlock(at, data)) {
        ioError = true;
        return false;
      }
      std::memcpy(dst, data + inAt, chunk);
    }
    dst += chunk;
    offset += chunk;
    n -= chunk;
  }
  return true;
}

namespace {

using FidHeader = UDF_FileIdentifierDescriptorHeader;
constexpr uint32_t kFidHead = sizeof(FidHeader);

// Reads the rest of the FID whose head `h` is at the start of buf, at `block`: for a quick
// look only its name, once the head's tag holds; for a full one all of it, checked with its
// CRC.
DirectoryStream::Status ReadFidRest(DirectoryStream &dir, uint64_t offset, uint8_t *buf,
                                    const FidHeader &h, uint32_t block, bool full) {
  const uint32_t lfi = h.LengthofFileIdentifier;
  const uint32_t liu = h.LengthofImplementationUse;
  const uint32_t len = FidLength(lfi, liu);
  bool io = false;
  const auto failed = [&] { return io ? DirectoryStream::IoError : DirectoryStream::End; };
  if (!full) {
    if (h.DescriptorTag.TagIdentifier != kTagFileIdentifier ||
        h.DescriptorTag.TagChecksum != TagChecksum(buf) || h.DescriptorTag.TagLocation != block)
      return DirectoryStream::End;
    if (!dir.ReadBytes(offset + kFidHead + liu, buf + kFidHead + liu, lfi, io)) return failed();
    return DirectoryStream::Ok;
  }
  if (!dir.ReadBytes(offset + kFidHead, buf + kFidHead, len - kFidHead, io)) return failed();
  return ParseFileIdentifierDescriptor(buf, len, block) ? DirectoryStream::Ok
                                                        : DirectoryStream::End;
}

// The entry as the FID in buf records it, before its block is mapped.
void FillFidEntry(FidEntry &out, const FidHeader &h, const uint8_t *buf, uint64_t offset) {
  const uint32_t lfi = h.LengthofFileIdentifier;
  const uint32_t liu = h.LengthofImplementationUse;
  out.Offset = offset;
  out.Length = FidLength(lfi, liu);
  out.Characteristics = h.FileCharacteristics;
  out.ICBBlock = h.ICB.Location.LogicalBlockNumber;
  out.ICBPartition = h.ICB.Location.PartitionReferenceNumber;
  out.RawNameLength = static_cast<uint8_t>(lfi);
  std::memcpy(out.RawName, buf + kFidHead + liu, lfi);
  out.NameDecoded = false;
  out.Name.clear();
}

} // namespace

DirectoryStream::Status DirectoryStream::ReadFid(uint64_t offset, FidEntry &out, bool full) {
  uint8_t buf[kBlockSize];
  bool io = false;
  FidHeader h;
  if (offset + kFidHead > size_) return End;
  if (!ReadBytes(offset, buf, kFidHead, io)) return io ? IoError : End;
  std::memcpy(&h, buf, kFidHead);
  const uint32_t len = FidLength(h.LengthofFileIdentifier, h.LengthofImplementationUse);
  // A descriptor never exceeds the block size; a longer one is damage, not an entry.
  if (len > kBlockSize || offset + len > size_) return End;
  Place start;
  if (!Locate(offset, start)) return End;
  const Status st = ReadFidRest(*this, offset, buf, h, start.Block, full);
  if (st != Ok) return st;
  FillFidEntry(out, h, buf, offset);
  // On a volume of several partitions the entry's block is found through its reference;
  // one it cannot be is left as recorded, for the check to report.
  uint32_t mapped = 0;
  if (!space_.RefStart.empty() && space_.Map(out.ICBPartition, out.ICBBlock, mapped))
    out.ICBBlock = mapped;
  if (full) out.DecodedName();
  return Ok;
}

bool DirectoryStream::NextValidFid(uint64_t offset, uint64_t &next) {
  // A damaged FID took at least the smallest FID's 40 bytes.
  for (next = offset + FidLength(0); next + 38 <= size_; next += 4) {
    FidEntry probe;
    Status st = ReadFid(next, probe, false);
    if (st == Ok) st = ReadFid(next, probe, true);
    if (st == IoError) return false;
    if (st == Ok) return true;
  }
  next = size_;
  return true;
}

const std::u16string &FidEntry::DecodedName() {
  if (!NameDecoded) {
    if (!DecodeName(RawName, RawNameLength, Name)) Name.clear();
    NameDecoded = true;
  }
  return Name;
}

bool FidEntry::NameEquals(std::u16string_view name) {
  if (RawNameLength > 0 && RawName[0] == 16 && !NameDecoded) {
    if (RawNameLength != 1 + 2 * name.size()) return false;
    for (size_t i = 0; i < name.size(); ++i)
      if (RawName[1 + 2 * i] != (name[i] >> 8) || RawName[2 + 2 * i] != (name[i] & 0xFF))
        return false;
    return true;
  }
  return DecodedName() == name;
}

} // namespace korva
