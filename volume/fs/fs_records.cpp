// The descriptors are built and changed through the on-disc record layer; this file only
// chooses the values the file-system operations need.
#include "volume/fs/fs_records.h"

#include <cstring>

#include "udf/byte_order.h"
#include "udf/descriptors.h"
#include "udf/entry_record.h"
#include "udf/tag.h"
#include "udf/timestamp.h"
#include "udf/unicode.h"

namespace korva {

namespace {
constexpr uint16_t kFECRCLength = 2032;
constexpr uint16_t kAEDCRCLength = 8;

// Entries record the time to the microsecond, cut: rounding would put a new file's times
// ahead of the clock, which make and ls take for a file from the future.
UDF_TimeStamp Now() {
  UDF_TimeStamp ts{};
  int32_t micro = 0;
  const int64_t seconds = Now_UTC_Truncated(micro);
  udf_time_to_stamp(&ts, seconds, micro);
  return ts;
}

} // namespace

void StoreAD(uint8_t *slot, ShortADValue ad) {
  UDF_ShortAD s = MakeShortAD(ad.LengthWord & 0x3FFFFFFFu, ad.Block, uint8_t(ad.LengthWord >> 30));
  std::memcpy(slot, &s, sizeof s);
}

ShortADValue LoadADAt(const uint8_t *slot) {
  UDF_ShortAD s;
  std::memcpy(&s, slot, sizeof s);
  return {uint32_t(s.Length), uint32_t(s.Position)};
}

void AppendListAD(uint8_t *block, uint16_t offset, ShortADValue ad, uint32_t adBytes) {
  if (adBytes == kLongADBytes) std::memset(block + offset + 8, 0, kLongADBytes - 8);
  StoreAD(block + offset, ad);
  const std::optional<DescriptorArea> area = DescriptorAreaOf(block, kSectorSize);
  if (area && offset + adBytes > area->First)
    StoreDescriptorLength(block, *area, offset + adBytes - area->First);
}

uint32_t ListRoom(uint32_t offset, uint32_t adBytes) {
  return offset + 2 * adBytes > kSectorSize ? 0 : (kSectorSize - adBytes - offset) / adBytes;
}

namespace {
// Cuts the recorded list length at its first descriptor of length 0, which ends a list: lists
// recorded with the whole free area as their length get the length of what they hold.
void TrimListLength(uint8_t *block, uint32_t adBytes) {
  const std::optional<DescriptorArea> area = DescriptorAreaOf(block, kSectorSize);
  if (!area) return;
  // A file entry says its descriptors' size; data recorded in the entry is left alone.
  if (const std::optional<EntryRecord> entry = EntryRecord::Of(block, kSectorSize)) {
    const uint16_t form = entry->DescriptorForm();
    if (form != kDescriptorsShort && form != kDescriptorsLong) return;
    adBytes = form == kDescriptorsLong ? kLongADBytes : kShortADBytes;
  }
  for (uint32_t off = 0; off + adBytes <= area->Length; off += adBytes)
    if (LoadADAt(block + area->First + off).Length() == 0) {
      StoreDescriptorLength(block, *area, off);
      return;
    }
}

// The CRC of a file entry covers the entry up to the end of its descriptors.
uint16_t EntryCRCLength(const uint8_t *block) {
  const std::optional<DescriptorArea> area = DescriptorAreaOf(block, kSectorSize);
  return area ? static_cast<uint16_t>(area->First + area->Length - 16) : kFECRCLength;
}
} // namespace

UDF_TimeStamp StampNow() { return Now(); }

uint64_t StampToFileTime(const UDF_TimeStamp &stamp) {
  FILETIME ft{0, 0};
  if (!UDFtimestampToFILETIME(stamp, &ft)) return 0;
  return (uint64_t(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

void MakeFileEntry(uint8_t *s, uint32_t block, const NewFileEntry &e) {
  const UDF_TimeStamp now = Now();
  FileEntryInfo info;
  if (e.FileType == kFileTypeDirectory) {
    info = NewDirectoryEntryInfo(now, e.UniqueID, e.FirstAD.Block, e.FirstAD.Length());
  } else {
    info = NewFileEntryInfo(now, e.UniqueID, e.Permissions == kPermissionsReadOnlyFile, e.ICBFlags);
    if (e.FirstAD.Length())
      info.Extents.push_back(MakeShortAD(e.FirstAD.Length(), e.FirstAD.Block));
  }
  info.FileType = e.FileType;
  info.Permissions = e.Permissions;
  info.InformationLength = e.InformationLength;
  info.BlocksRecorded = e.BlocksRecorded;
  std::memset(s, 0, kSectorSize);
  BuildFileEntry(s, kSectorSize, block, info);
}

void UpdateFileEntry(uint8_t *s, uint32_t block, uint64_t informationLength,
                     uint64_t blocksRecorded, int linkDelta, bool touchTimes) {
  std::optional<MutableEntryRecord> entry = MutableEntryRecord::Of(s, kSectorSize);
  if (!entry) return;
  entry->SetInformationLength(informationLength);
  entry->SetBlocksRecorded(blocksRecorded);
  const UDF_TimeStamp now = Now();
  if (linkDelta) {
    const int links = int(entry->LinkCount()) + linkDelta;
    entry->SetLinkCount(static_cast<uint16_t>(links < 0 ? 0 : links));
  }
  if (touchTimes) {
    entry->SetAccessTime(now);
    entry->SetModificationTime(now);
  }
  // The link count, the length and the data are attributes too: POSIX's ctime moves with
  // every change of them.
  if (linkDelta || touchTimes) entry->SetAttributeTime(now);
  RefillEntryTag(s, block);
}

void RefillEntryTag(uint8_t *s, uint32_t block) {
  TrimListLength(s, kShortADBytes);
  UDF_Tag tag;
  std::memcpy(&tag, s, sizeof tag);
  FillTagAt(s, tag.TagIdentifier, EntryCRCLength(s), block);
}

uint32_t BuildFid(uint8_t *out, uint8_t characteristics, uint32_t icbBlock,
                  std::u16string_view name, uint32_t location) {
  uint8_t compressed[256];
  int32_t n = 0;
  if (!name.empty())
    n = CompressName(static_cast<int32_t>(name.size()), name.data(), compressed);
  if (n < 0 || n > 255) n = 0;
  const uint32_t len = FileIdentifierDescriptorLength(static_cast<uint32_t>(n));
  std::memset(out, 0, len);
  return static_cast<uint32_t>(BuildFileIdentifierDescriptor(
      out, len, location, characteristics, icbBlock, compressed, static_cast<uint8_t>(n)));
}

void MarkFidDeleted(uint8_t *fid, uint32_t length, uint32_t location, bool clearICB) {
  UDF_FileIdentifierDescriptorHeader h;
  std::memcpy(&h, fid, sizeof h);
  h.FileCharacteristics = static_cast<uint8_t>(h.FileCharacteristics | kFileDeleted);
  if (clearICB) std::memset(&h.ICB, 0, sizeof h.ICB);
  std::memcpy(fid, &h, sizeof h);
  FillTagAt(fid, kTagFileIdentifier, static_cast<uint16_t>(length - 16), location);
}

void SetFidCharacteristics(uint8_t *fid, uint32_t length, uint32_t location,
                           uint8_t characteristics) {
  UDF_FileIdentifierDescriptorHeader h;
  std::memcpy(&h, fid, sizeof h);
  h.FileCharacteristics = characteristics;
  std::memcpy(fid, &h, sizeof h);
  FillTagAt(fid, kTagFileIdentifier, static_cast<uint16_t>(length - 16), location);
}

void BuildAllocationExtent(uint8_t *s, uint32_t block) {
  std::memset(s, 0, kSectorSize);
  BuildAllocationExtentDescriptor(s, kSectorSize, block, nullptr, 0);
}

void RefillListBlockTag(uint8_t *s, uint32_t block, bool isFileEntry, uint32_t adBytes) {
  if (isFileEntry) {
    RefillEntryTag(s, block);
  } else {
    TrimListLength(s, adBytes);
    FillTagAt(s, kTagAllocationExtent, kAEDCRCLength, block);
  }
}

IntegrityCounts UpdateIntegrity(UDF_LogicalVolumeIntegrityDescriptor &d, int64_t freeDelta,
                                int fileDelta, int dirDelta, uint64_t nextUniqueID) {
  d.RecordingDateAndTime = Now();
  d.NextUniqueID = nextUniqueID;
  const int64_t freeBlocks = int64_t(uint32_t(d.FreeSpaceTable)) + freeDelta;
  const int64_t files = int64_t(uint32_t(d.NumberOfFiles)) + fileDelta;
  const int64_t dirs = int64_t(uint32_t(d.NumberOfDirectories)) + dirDelta;
  d.FreeSpaceTable = static_cast<uint32_t>(freeBlocks < 0 ? 0 : freeBlocks);
  d.NumberOfFiles = static_cast<uint32_t>(files < 0 ? 0 : files);
  d.NumberOfDirectories = static_cast<uint32_t>(dirs < 0 ? 0 : dirs);
  return {uint32_t(d.FreeSpaceTable), uint32_t(d.NumberOfFiles), uint32_t(d.NumberOfDirectories)};
}

} // namespace korva
