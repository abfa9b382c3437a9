// The fields of a file entry and of an extended file entry, read and changed in place in a
// block. The two records agree up to the information length; from there on an extended entry
// adds the object size, a creation time, a reserved word and a stream directory, so every later
// field lies further on. `EntryLayout` names where each field lies in either form, taken from
// the two records' declarations, and `EntryRecord` / `MutableEntryRecord` read and write them:
// the engine never spells an entry's offsets itself.
#ifndef KORVA_UDF_ENTRY_RECORD_H
#define KORVA_UDF_ENTRY_RECORD_H

#include <cstddef>
#include <cstdint>
#include <optional>

#include "udf/descriptors.h"

namespace korva {

struct UDF_ExtendedFileEntryHeader {
  UDF_EntryHead Head;
  le64 ObjectSize;
  le64 LogicalBlocksRecorded;
  UDF_TimeStamp AccessTime;
  UDF_TimeStamp ModificationTime;
  UDF_TimeStamp CreationTime;
  UDF_TimeStamp AttributeTime;
  le32 Checkpoint;
  le32 Reserved;
  UDF_LongAD ExtendedAttributeICB;
  UDF_LongAD StreamDirectoryICB;
  UDF_EntityID ImplementationIdentifier;
  le64 UniqueID;
  le32 LengthofExtendedAttributes;
  le32 LengthofAllocationDescriptors;
};
static_assert(sizeof(UDF_ExtendedFileEntryHeader) == kExtendedFileEntryHeaderSize);
static_assert(offsetof(UDF_ExtendedFileEntryHeader, ObjectSize) == 64);
static_assert(offsetof(UDF_ExtendedFileEntryHeader, LogicalBlocksRecorded) == 72);
static_assert(offsetof(UDF_ExtendedFileEntryHeader, AccessTime) == 80);
static_assert(offsetof(UDF_ExtendedFileEntryHeader, ModificationTime) == 92);
static_assert(offsetof(UDF_ExtendedFileEntryHeader, CreationTime) == 104);
static_assert(offsetof(UDF_ExtendedFileEntryHeader, AttributeTime) == 116);
static_assert(offsetof(UDF_ExtendedFileEntryHeader, ExtendedAttributeICB) == 136);
static_assert(offsetof(UDF_ExtendedFileEntryHeader, ImplementationIdentifier) ==
              kExtendedEntryImplementationOffset);
static_assert(offsetof(UDF_ExtendedFileEntryHeader, UniqueID) == 200);
static_assert(offsetof(UDF_ExtendedFileEntryHeader, LengthofExtendedAttributes) == 208);

// Where the fields of one form of entry lie. ObjectSize and CreationTime are 0 in a file
// entry, which has neither.
struct EntryLayout {
  uint16_t Tag;
  uint32_t InformationLength, ObjectSize, BlocksRecorded;
  uint32_t AccessTime, ModificationTime, CreationTime, AttributeTime;
  uint32_t Implementation, UniqueID, LengthOfEA, LengthOfAD, HeaderSize;
};

#define KORVA_ENTRY_FIELD(Record, field) static_cast<uint32_t>(offsetof(Record, field))
inline constexpr EntryLayout kFileEntryLayout{
    kTagFileEntry,
    KORVA_ENTRY_FIELD(UDF_EntryHead, InformationLength),
    0,
    KORVA_ENTRY_FIELD(UDF_FileEntryHeader, LogicalBlocksRecorded),
    KORVA_ENTRY_FIELD(UDF_FileEntryHeader, AccessTime),
    KORVA_ENTRY_FIELD(UDF_FileEntryHeader, ModificationTime),
    0,
    KORVA_ENTRY_FIELD(UDF_FileEntryHeader, AttributeTime),
    KORVA_ENTRY_FIELD(UDF_FileEntryHeader, ImplementationIdentifier),
    KORVA_ENTRY_FIELD(UDF_FileEntryHeader, UniqueID),
    KORVA_ENTRY_FIELD(UDF_FileEntryHeader, LengthofExtendedAttributes),
    KORVA_ENTRY_FIELD(UDF_FileEntryHeader, LengthofAllocationDescriptors),
    sizeof(UDF_FileEntryHeader)};
inline constexpr EntryLayout kExtendedEntryLayout{
    kTagExtendedFileEntry,
    KORVA_ENTRY_FIELD(UDF_EntryHead, InformationLength),
    KORVA_ENTRY_FIELD(UDF_ExtendedFileEntryHeader, ObjectSize),
    KORVA_ENTRY_FIELD(UDF_ExtendedFileEntryHeader, LogicalBlocksRecorded),
    KORVA_ENTRY_FIELD(UDF_ExtendedFileEntryHeader, AccessTime),
    KORVA_ENTRY_FIELD(UDF_ExtendedFileEntryHeader, ModificationTime),
    KORVA_ENTRY_FIELD(UDF_ExtendedFileEntryHeader, CreationTime),
    KORVA_ENTRY_FIELD(UDF_ExtendedFileEntryHeader, AttributeTime),
    KORVA_ENTRY_FIELD(UDF_ExtendedFileEntryHeader, ImplementationIdentifier),
    KORVA_ENTRY_FIELD(UDF_ExtendedFileEntryHeader, UniqueID),
    KORVA_ENTRY_FIELD(UDF_ExtendedFileEntryHeader, LengthofExtendedAttributes),
    KORVA_ENTRY_FIELD(UDF_ExtendedFileEntryHeader, LengthofAllocationDescriptors),
    sizeof(UDF_ExtendedFileEntryHeader)};
#undef KORVA_ENTRY_FIELD

// The layout of the entry that starts `buf` by its tag identifier; null when the buffer holds
// neither form or is shorter than the form's header. Checks no tag.
const EntryLayout *EntryLayoutOf(const uint8_t *buf, size_t length);

// Reads the fields of an entry in a buffer. Checks no tag: writers use it on blocks they
// hold, readers after ParseFileEntry. The fields the two forms share are read through the
// file entry's record.
class EntryRecord {
public:
  static std::optional<EntryRecord> Of(const uint8_t *buf, size_t length);

  const EntryLayout &Layout() const { return *layout_; }
  bool Extended() const { return layout_->Tag == kTagExtendedFileEntry; }
  uint16_t ICBFlags() const;
  uint16_t DescriptorForm() const { return ICBFlags() & kICBFlagDescriptorMask; }
  uint32_t Permissions() const;
  uint16_t LinkCount() const;
  uint64_t InformationLength() const;
  uint64_t BlocksRecorded() const;
  UDF_TimeStamp AccessTime() const { return StampAt(layout_->AccessTime); }
  UDF_TimeStamp ModificationTime() const { return StampAt(layout_->ModificationTime); }
  UDF_TimeStamp AttributeTime() const { return StampAt(layout_->AttributeTime); }
  UDF_EntityID Implementation() const;
  uint64_t UniqueID() const;
  uint32_t ExtendedAttributesLength() const;
  uint32_t DescriptorLength() const;

protected:
  EntryRecord(const uint8_t *buf, const EntryLayout *layout) : buf_(buf), layout_(layout) {}
  UDF_TimeStamp StampAt(uint32_t offset) const;

  const uint8_t *buf_;
  const EntryLayout *layout_;
};

// Changes the fields of an entry in place. The tag is left as it is: the caller refills it
// once its changes are done.
class MutableEntryRecord : public EntryRecord {
public:
  static std::optional<MutableEntryRecord> Of(uint8_t *buf, size_t length);

  void SetICBFlags(uint16_t flags);
  void SetPermissions(uint32_t permissions);
  void SetLinkCount(uint16_t links);
  // Owner and group; KORVA's "unchanged" value (all ones) leaves one alone.
  void SetOwner(uint32_t uid, uint32_t gid);
  // The information length, and in an extended entry the object size with it (the data is
  // all there is: no streams).
  void SetInformationLength(uint64_t length);
  void SetBlocksRecorded(uint64_t blocks);
  void SetAccessTime(const UDF_TimeStamp &t) { SetStampAt(layout_->AccessTime, t); }
  void SetModificationTime(const UDF_TimeStamp &t) { SetStampAt(layout_->ModificationTime, t); }
  void SetAttributeTime(const UDF_TimeStamp &t) { SetStampAt(layout_->AttributeTime, t); }
  void SetImplementation(const UDF_EntityID &id);
  // Makes room for `length` bytes of extended attributes right after the fixed fields: the
  // recorded descriptors move behind them. False (nothing changed) when they would not fit in
  // `capacity`, the bytes of the buffer.
  bool InsertExtendedAttributes(const uint8_t *attributes, uint32_t length, size_t capacity);

private:
  MutableEntryRecord(uint8_t *buf, const EntryLayout *layout)
      : EntryRecord(buf, layout), out_(buf) {}
  void SetStampAt(uint32_t offset, const UDF_TimeStamp &t);

  uint8_t *out_;
};

} // namespace korva

#endif
