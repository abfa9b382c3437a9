#include "udf/entry_record.h"

#include <cstring>

#include "udf/byte_order.h"

namespace korva {

namespace {
// Fields both forms keep at the same place: the head they share.
constexpr uint32_t kFlags = offsetof(UDF_EntryHead, ICBTag) + offsetof(UDF_ICBTag, Flags);
constexpr uint32_t kPermissions = offsetof(UDF_EntryHead, Permissions);
constexpr uint32_t kLinks = offsetof(UDF_EntryHead, FileLinkCount);
static_assert(offsetof(UDF_FileEntryHeader, Head) == 0 &&
              offsetof(UDF_ExtendedFileEntryHeader, Head) == 0);
} // namespace

const EntryLayout *EntryLayoutOf(const uint8_t *buf, size_t length) {
  if (buf == nullptr || length < sizeof(UDF_Tag)) return nullptr;
  const uint16_t tag = LoadLE16(buf);
  const EntryLayout *l = tag == kTagFileEntry           ? &kFileEntryLayout
                         : tag == kTagExtendedFileEntry ? &kExtendedEntryLayout
                                                        : nullptr;
  return l && length >= l->HeaderSize ? l : nullptr;
}

std::optional<EntryRecord> EntryRecord::Of(const uint8_t *buf, size_t length) {
  const EntryLayout *l = EntryLayoutOf(buf, length);
  if (!l) return std::nullopt;
  return EntryRecord(buf, l);
}

uint16_t EntryRecord::ICBFlags() const { return LoadLE16(buf_ + kFlags); }
uint32_t EntryRecord::Permissions() const { return LoadLE32(buf_ + kPermissions); }
uint16_t EntryRecord::LinkCount() const { return LoadLE16(buf_ + kLinks); }
uint64_t EntryRecord::InformationLength() const {
  return LoadLE64(buf_ + layout_->InformationLength);
}
uint64_t EntryRecord::BlocksRecorded() const { return LoadLE64(buf_ + layout_->BlocksRecorded); }
uint64_t EntryRecord::UniqueID() const { return LoadLE64(buf_ + layout_->UniqueID); }
uint32_t EntryRecord::ExtendedAttributesLength() const {
  return LoadLE32(buf_ + layout_->LengthOfEA);
}
uint32_t EntryRecord::DescriptorLength() const { return LoadLE32(buf_ + layout_->LengthOfAD); }

UDF_EntityID EntryRecord::Implementation() const {
  UDF_EntityID id;
  std::memcpy(&id, buf_ + layout_->Implementation, sizeof id);
  return id;
}

UDF_TimeStamp EntryRecord::StampAt(uint32_t offset) const {
  UDF_TimeStamp t;
  std::memcpy(&t, buf_ + offset, sizeof t);
  return t;
}

std::optional<MutableEntryRecord> MutableEntryRecord::Of(uint8_t *buf, size_t length) {
  const EntryLayout *l = EntryLayoutOf(buf, length);
  if (!l) return std::nullopt;
  return MutableEntryRecord(buf, l);
}

void MutableEntryRecord::SetICBFlags(uint16_t flags) { StoreLE16(out_ + kFlags, flags); }
void MutableEntryRecord::SetPermissions(uint32_t permissions) {
  StoreLE32(out_ + kPermissions, permissions);
}
void MutableEntryRecord::SetLinkCount(uint16_t links) { StoreLE16(out_ + kLinks, links); }

bool MutableEntryRecord::InsertExtendedAttributes(const uint8_t *attributes, uint32_t length,
                                                  size_t capacity) {
  const uint32_t old = ExtendedAttributesLength(), ad = DescriptorLength();
  const size_t start = layout_->HeaderSize;
  if (attributes == nullptr || start + old + length + ad > capacity) return false;
  uint8_t *at = out_ + start + old;
  std::memmove(at + length, at, ad);
  std::memcpy(at, attributes, length);
  StoreLE32(out_ + layout_->LengthOfEA, old + length);
  return true;
}

void MutableEntryRecord::SetOwner(uint32_t uid, uint32_t gid) {
  constexpr uint32_t kUnchanged = 0xFFFFFFFFu;
  if (uid != kUnchanged) StoreLE32(out_ + offsetof(UDF_EntryHead, Uid), uid);
  if (gid != kUnchanged) StoreLE32(out_ + offsetof(UDF_EntryHead, Gid), gid);
}

void MutableEntryRecord::SetInformationLength(uint64_t length) {
  StoreLE64(out_ + layout_->InformationLength, length);
  if (layout_->ObjectSize) StoreLE64(out_ + layout_->ObjectSize, length);
}

void MutableEntryRecord::SetBlocksRecorded(uint64_t blocks) {
  StoreLE64(out_ + layout_->BlocksRecorded, blocks);
}

void MutableEntryRecord::SetImplementation(const UDF_EntityID &id) {
  std::memcpy(out_ + layout_->Implementation, &id, sizeof id);
}

void MutableEntryRecord::SetStampAt(uint32_t offset, const UDF_TimeStamp &t) {
  std::memcpy(out_ + offset, &t, sizeof t);
}

} // namespace korva
