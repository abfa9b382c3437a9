#include "udf/descriptors.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "udf/byte_order.h"
#include "udf/common.h"
#include "udf/entry_record.h"
#include "udf/unicode.h"

namespace korva {

namespace {

constexpr uint8_t kSuffixRevision[] = {0x50, 0x01};      // UDF 1.50
constexpr uint8_t kSuffixRevisionOS[] = {0x50, 0x01, 6}; // and OS class Windows NT
constexpr uint8_t kSuffixImplementation[] = {6};

template <size_t N>
void SetEntity(UDF_EntityID &e, const char *identifier, const uint8_t (&suffix)[N]) {
  e = UDF_EntityID{};
  std::memcpy(e.Identifier, identifier, std::min(std::strlen(identifier), sizeof e.Identifier));
  std::memcpy(e.IdentifierSuffix, suffix, N);
}

void SetImplementationEntity(UDF_EntityID &e) {
  e = UDF_EntityID{};
  std::memcpy(e.Identifier, ImplementationIdentifier, sizeof e.Identifier);
  std::memcpy(e.IdentifierSuffix, kSuffixImplementation, sizeof kSuffixImplementation);
}

// The interchange level a descriptor claims (the highest any of them may claim is 3), and
// the character sets its strings use: CS0 alone.
template <class Descriptor> void SetLevelAndCharacterSets(Descriptor &d, uint16_t level) {
  d.InterchangeLevel = level;
  d.MaximumInterchangeLevel = 3;
  d.CharacterSetList = 1;
  d.MaximumCharacterSetList = 1;
}

void SetCharSpec(UDF_CharSpec &c) {
  c = UDF_CharSpec{};
  static const char kOSTA[] = "OSTA Compressed Unicode";
  std::memcpy(c.CharacterSetInfo, kOSTA, sizeof kOSTA - 1);
}

UDF_LongAD MakeLongAD(uint32_t length, uint32_t block) {
  UDF_LongAD ad{};
  ad.Length = length;
  ad.Location.LogicalBlockNumber = block;
  ad.Location.PartitionReferenceNumber = 0;
  return ad;
}

// Clears the sectors the descriptor occupies (as far as dst reaches), copies the record in and
// puts the tag on.
template <class T>
size_t Emit(uint8_t *dst, size_t dstLength, const T &rec, size_t size, uint16_t tagId,
            uint16_t crcLength, uint32_t location) {
  const size_t sectors = (size + kSectorSize - 1) / kSectorSize;
  std::memset(dst, 0, std::min(dstLength, sectors * kSectorSize));
  std::memcpy(dst, &rec, sizeof rec);
  FillTagAt(dst, tagId, crcLength, location);
  return size;
}

template <class T>
std::optional<T> ParseFixed(const uint8_t *buf, size_t length, uint32_t location, uint16_t tagId) {
  if (buf == nullptr || length < sizeof(T)) return std::nullopt;
  if (!IsTagValid(tagId, buf, length, location)) return std::nullopt;
  T rec;
  std::memcpy(&rec, buf, sizeof rec);
  return rec;
}

std::vector<UDF_ShortAD> ReadExtents(const uint8_t *area, size_t bytes) {
  std::vector<UDF_ShortAD> out;
  for (size_t off = 0; off + sizeof(UDF_ShortAD) <= bytes; off += sizeof(UDF_ShortAD)) {
    UDF_ShortAD ad;
    std::memcpy(&ad, area + off, sizeof ad);
    if (ExtentLength(ad) == 0) break;
    out.push_back(ad);
  }
  return out;
}

} // namespace

bool HasEntityIdentifier(const UDF_EntityID &e, const char *identifier) {
  uint8_t want[23] = {};
  std::memcpy(want, identifier, std::min(std::strlen(identifier), sizeof want));
  return std::memcmp(e.Identifier, want, sizeof want) == 0;
}

void MakeImplementationEntity(UDF_EntityID &id) {
  SetImplementationEntity(id);
}

bool IsOurImplementation(const UDF_EntityID &id) {
  return std::memcmp(id.Identifier, ImplementationIdentifier, sizeof id.Identifier) == 0;
}

bool IsLinuxKernelImplementation(const UDF_EntityID &id) {
  static const char kLinux[] = "*Linux UDFFS";
  return std::memcmp(id.Identifier, kLinux, sizeof kLinux - 1) == 0 &&
         std::all_of(id.Identifier + sizeof kLinux - 1, id.Identifier + sizeof id.Identifier,
                     [](uint8_t c) { return c == 0; });
}

// ---- Labels ----

bool MakeLabel(const char16_t *text, size_t count, UDF_Label &out) {
  out = UDF_Label{};
  if (count > kMaxLabelCharacters || (count > 0 && text == nullptr)) return false;
  const int32_t n = CompressUnicode(static_cast<int32_t>(count), 16, text, out.Bytes);
  if (n < 0) return false;
  out.Length = static_cast<uint8_t>(n);
  return true;
}

bool MakeLabel(const std::u16string &text, UDF_Label &out) {
  return MakeLabel(text.data(), text.size(), out);
}

void WriteDString(uint8_t *field, size_t fieldSize, const UDF_Label &label) {
  if (field == nullptr || fieldSize < sizeof label.Bytes) return;
  std::memcpy(field, label.Bytes, sizeof label.Bytes);
  field[fieldSize - 1] = label.Length;
}

bool ReadDString(const uint8_t *field, size_t fieldSize, std::u16string &out) {
  out.clear();
  if (field == nullptr || fieldSize < 2) return false;
  const uint8_t used = field[fieldSize - 1];
  if (used == 0) return true;
  if (used > fieldSize - 1) return false;
  char16_t buf[256];
  const int32_t n = UncompressUnicode(used, field, buf, sizeof buf / sizeof buf[0]);
  if (n < 0) return false;
  out.assign(buf, size_t(n));
  return true;
}

// ---- Volume recognition sequence ----

size_t BuildVolumeRecognitionSequence(uint8_t *dst, size_t dstLength) {
  static const char *const kIds[3] = {"BEA01", "NSR02", "TEA01"};
  if (dst == nullptr || dstLength < 3 * kSectorSize) return 0;
  std::memset(dst, 0, 3 * kSectorSize);
  for (int i = 0; i < 3; ++i) {
    uint8_t *s = dst + i * kSectorSize;
    s[0] = 0;
    std::memcpy(s + 1, kIds[i], 5);
    s[6] = 1;
  }
  return 3 * kSectorSize;
}

bool IsVolumeStructure(const uint8_t *sector, size_t length, const char identifier[5]) {
  if (sector == nullptr || length < 7) return false;
  return sector[0] == 0 && std::memcmp(sector + 1, identifier, 5) == 0 && sector[6] == 1;
}

// ---- Anchor ----

size_t BuildAnchor(uint8_t *dst, size_t dstLength, uint32_t location, uint32_t mainSequence,
                   uint32_t reserveSequence) {
  UDF_AnchorVolumeDescriptorPointer d{};
  if (dst == nullptr || dstLength < sizeof d) return 0;
  d.MainVolumeDescriptorSequenceExtent.Length = 16 * kSectorSize;
  d.MainVolumeDescriptorSequenceExtent.Location = mainSequence;
  d.ReserveVolumeDescriptorSequenceExtent.Length = 16 * kSectorSize;
  d.ReserveVolumeDescriptorSequenceExtent.Location = reserveSequence;
  return Emit(dst, dstLength, d, sizeof d, kTagAnchor, 496, location);
}

std::optional<UDF_AnchorVolumeDescriptorPointer> ParseAnchor(const uint8_t *buf, size_t length,
                                                             uint32_t location) {
  return ParseFixed<UDF_AnchorVolumeDescriptorPointer>(buf, length, location, kTagAnchor);
}

// ---- Primary volume descriptor ----

size_t BuildPrimaryVolumeDescriptor(uint8_t *dst, size_t dstLength, uint32_t location,
                                    const UDF_Label &label, const UDF_TimeStamp &recorded,
                                    int64_t formatSeconds) {
  UDF_PrimaryVolumeDescriptor d{};
  if (dst == nullptr || dstLength < sizeof d) return 0;
  d.VolumeDescriptorSequenceNumber = 1;
  d.PrimaryVolumeDescriptorNumber = 0;
  WriteDString(d.VolumeIdentifier, sizeof d.VolumeIdentifier, label);
  d.VolumeSequenceNumber = 1;
  d.MaximumVolumeSequenceNumber = 1;
  SetLevelAndCharacterSets(d, 2);
  char set[22];
  std::snprintf(set, sizeof set, "%08X%s", unsigned(uint32_t(formatSeconds)), "Quorrelstane");
  d.VolumeSetIdentifier[0] = 8;
  std::memcpy(d.VolumeSetIdentifier + 1, set, 20);
  d.VolumeSetIdentifier[127] = 21;
  SetCharSpec(d.DescriptorCharacterSet);
  SetCharSpec(d.ExplanatoryCharacterSet);
  d.RecordingDateandTime = recorded;
  SetImplementationEntity(d.ImplementationIdentifier);
  return Emit(dst, dstLength, d, sizeof d, kTagPrimaryVolume, 496, location);
}

std::optional<UDF_PrimaryVolumeDescriptor>
ParsePrimaryVolumeDescriptor(const uint8_t *buf, size_t length, uint32_t location) {
  return ParseFixed<UDF_PrimaryVolumeDescriptor>(buf, length, location, kTagPrimaryVolume);
}

// ---- Logical volume descriptor ----

size_t BuildLogicalVolumeDescriptor(uint8_t *dst, size_t dstLength, uint32_t location,
                                    const UDF_Label &label, const LogicalVolumeLayout &layout) {
  UDF_LogicalVolumeDescriptor d{};
  if (dst == nullptr || dstLength < sizeof d || layout.SparingEntries > 0xFFFF) return 0;
  d.VolumeDescriptorSequenceNumber = 2;
  SetCharSpec(d.DescriptorCharacterSet);
  WriteDString(d.LogicalVolumeIdentifier, sizeof d.LogicalVolumeIdentifier, label);
  d.LogicalBlockSize = kSectorSize;
  SetEntity(d.DomainIdentifier, "*OSTA UDF Compliant", kSuffixRevision);
  d.LogicalVolumeContentsUse = MakeLongAD(kSectorSize, layout.FileSetBlock);
  d.MapTableLength = sizeof(UDF_SparablePartitionMap);
  d.NumberofPartitionMaps = 1;
  SetImplementationEntity(d.ImplementationIdentifier);
  d.IntegritySequenceExtent.Length = 4 * kSectorSize;
  d.IntegritySequenceExtent.Location = layout.IntegritySector;
  UDF_SparablePartitionMap &m = d.PartitionMap;
  m.PartitionMapType = 2;
  m.PartitionMapLength = sizeof(UDF_SparablePartitionMap);
  SetEntity(m.PartitionTypeIdentifier, "*UDF Sparable Partition", kSuffixRevisionOS);
  m.VolumeSequenceNumber = 1;
  m.PartitionNumber = 0;
  m.PacketLength = kSparingPacketBlocks;
  m.NumberofSparingTables = 2;
  m.SizeofEachSparingTable = SparingTableSize(layout.SparingEntries);
  m.LocationsofSparingTables[0] = layout.SparingTableSector1;
  m.LocationsofSparingTables[1] = layout.SparingTableSector2;
  return Emit(dst, dstLength, d, sizeof d, kTagLogicalVolume, sizeof d - 16, location);
}

std::optional<LogicalVolumeInfo> ParseLogicalVolumeDescriptor(const uint8_t *buf, size_t length,
                                                              uint32_t location) {
  constexpr size_t kFixed = offsetof(UDF_LogicalVolumeDescriptor, PartitionMap);
  if (buf == nullptr || length < kFixed) return std::nullopt;
  if (!IsTagValid(kTagLogicalVolume, buf, length, location)) return std::nullopt;
  LogicalVolumeInfo info{};
  std::memcpy(&info.Descriptor, buf, kFixed);
  const uint32_t tableLength = info.Descriptor.MapTableLength;
  if (tableLength > length - kFixed) return std::nullopt;
  const uint8_t *maps = buf + kFixed;
  const uint32_t count = info.Descriptor.NumberofPartitionMaps;
  size_t pos = 0;
  for (uint32_t i = 0; i < count; ++i) {
    if (pos + 2 > tableLength) return std::nullopt;
    const uint8_t type = maps[pos], mapLength = maps[pos + 1];
    if (mapLength < 2 || pos + mapLength > tableLength) return std::nullopt;
    if (type == 1) {
      ++info.Type1Maps;
    } else if (type == 2) {
      ++info.Type2Maps;
      if (!info.HasSparableMap && mapLength == sizeof(UDF_SparablePartitionMap)) {
        UDF_SparablePartitionMap m;
        std::memcpy(&m, maps + pos, sizeof m);
        if (HasEntityIdentifier(m.PartitionTypeIdentifier, "*UDF Sparable Partition")) {
          info.Descriptor.PartitionMap = m;
          info.HasSparableMap = true;
        }
      }
    }
    pos += mapLength;
  }
  return info;
}

// ---- Partition descriptor ----

size_t BuildPartitionDescriptor(uint8_t *dst, size_t dstLength, uint32_t location,
                                uint32_t partitionStart, uint32_t partitionLength,
                                uint32_t bitmapSectors) {
  UDF_PartitionDescriptor d{};
  if (dst == nullptr || dstLength < sizeof d || bitmapSectors > (0x3FFFFFFFu / kSectorSize))
    return 0;
  d.VolumeDescriptorSequenceNumber = 3;
  d.PartitionFlags = 1;
  d.PartitionNumber = 0;
  SetEntity(d.PartitionContents, "+NSR02", kSuffixRevisionOS);
  d.PartitionContentsUse.UnallocatedSpaceBitmap = MakeShortAD(bitmapSectors * kSectorSize, 0);
  d.AccessType = 4;
  d.PartitionStartingLocation = partitionStart;
  d.PartitionLength = partitionLength;
  SetImplementationEntity(d.ImplementationIdentifier);
  return Emit(dst, dstLength, d, sizeof d, kTagPartition, 496, location);
}

std::optional<UDF_PartitionDescriptor> ParsePartitionDescriptor(const uint8_t *buf, size_t length,
                                                                uint32_t location) {
  return ParseFixed<UDF_PartitionDescriptor>(buf, length, location, kTagPartition);
}

// ---- Unallocated space and terminating descriptors ----

size_t BuildUnallocatedSpaceDescriptor(uint8_t *dst, size_t dstLength, uint32_t location) {
  UDF_UnallocatedSpaceDescriptor d{};
  if (dst == nullptr || dstLength < sizeof d) return 0;
  d.VolumeDescriptorSequenceNumber = 4;
  d.NumberofAllocationDescriptors = 0;
  return Emit(dst, dstLength, d, sizeof d, kTagUnallocatedSpace, 8, location);
}

size_t BuildTerminatingDescriptor(uint8_t *dst, size_t dstLength, uint32_t location) {
  UDF_TerminatingDescriptor d{};
  if (dst == nullptr || dstLength < sizeof d) return 0;
  return Emit(dst, dstLength, d, sizeof d, kTagTerminating, 496, location);
}

// ---- Implementation use volume descriptor ----

size_t BuildImplementationUseVolumeDescriptor(uint8_t *dst, size_t dstLength, uint32_t location,
                                              const UDF_Label &label) {
  UDF_ImplementationUseVolumeDescriptor d{};
  if (dst == nullptr || dstLength < sizeof d) return 0;
  d.VolumeDescriptorSequenceNumber = 5;
  SetEntity(d.ImplementationIdentifier, "*UDF LV Info", kSuffixRevisionOS);
  SetCharSpec(d.LVICharset);
  WriteDString(d.LogicalVolumeIdentifier, sizeof d.LogicalVolumeIdentifier, label);
  SetImplementationEntity(d.ImplementationID);
  return Emit(dst, dstLength, d, sizeof d, kTagImplementationUse, 496, location);
}

std::optional<UDF_ImplementationUseVolumeDescriptor>
ParseImplementationUseVolumeDescriptor(const uint8_t *buf, size_t length, uint32_t location) {
  return ParseFixed<UDF_ImplementationUseVolumeDescriptor>(buf, length, location,
                                                           kTagImplementationUse);
}

// ---- Integrity descriptor ----

size_t BuildIntegrityDescriptor(uint8_t *dst, size_t dstLength, uint32_t location,
                                const IntegrityInfo &info) {
  UDF_LogicalVolumeIntegrityDescriptor d{};
  if (dst == nullptr || dstLength < sizeof d) return 0;
  d.RecordingDateAndTime = info.Recorded;
  d.IntegrityType = info.IntegrityType;
  d.NextUniqueID = info.NextUniqueID;
  d.NumberOfPartitions = 1;
  d.LengthOfImplementationUse = 46;
  d.FreeSpaceTable = info.FreeBlocks;
  d.SizeTable = info.PartitionLength;
  SetImplementationEntity(d.ImplementationID);
  d.NumberOfFiles = info.Files;
  d.NumberOfDirectories = info.Directories;
  d.MinimumUDFReadRevision = 0x0150;
  d.MinimumUDFWriteRevision = 0x0150;
  d.MaximumUDFWriteRevision = 0x0150;
  return Emit(dst, dstLength, d, sizeof d, kTagIntegrity, kIntegrityCRCLength, location);
}

size_t StoreIntegrityDescriptor(uint8_t *dst, size_t dstLength, uint32_t location,
                                const UDF_LogicalVolumeIntegrityDescriptor &d) {
  if (dst == nullptr || dstLength < sizeof d) return 0;
  std::memcpy(dst, &d, sizeof d);
  FillTagAt(dst, kTagIntegrity, kIntegrityCRCLength, location);
  return sizeof d;
}

std::optional<UDF_LogicalVolumeIntegrityDescriptor>
ParseIntegrityDescriptor(const uint8_t *buf, size_t length, uint32_t location) {
  constexpr size_t kFixed = offsetof(UDF_LogicalVolumeIntegrityDescriptor, FreeSpaceTable);
  if (buf == nullptr || length < kFixed) return std::nullopt;
  if (!IsTagValid(kTagIntegrity, buf, length, location)) return std::nullopt;
  UDF_LogicalVolumeIntegrityDescriptor head;
  std::memcpy(&head, buf, kFixed);
  if (head.NumberOfPartitions != 1 || head.LengthOfImplementationUse < 46) return std::nullopt;
  if (uint64_t(kFixed) + 8 + head.LengthOfImplementationUse > length) return std::nullopt;
  UDF_LogicalVolumeIntegrityDescriptor d;
  std::memcpy(&d, buf, sizeof d);
  return d;
}

// ---- Sparing table ----

size_t BuildSparingTable(uint8_t *dst, size_t dstLength, uint32_t location, uint32_t spareAreaStart,
                         uint16_t entries) {
  const size_t size = SparingTableSize(entries);
  if (dst == nullptr || dstLength < size || size - 16 > 0xFFFF) return 0; // CRC length is 16-bit
  UDF_SparingTableHeader h{};
  SetEntity(h.SparingIdentifier, "*UDF Sparing Table", kSuffixRevisionOS);
  h.ReallocationTableLength = entries;
  h.SequenceNumber = 0;
  const size_t sectors = (size + kSectorSize - 1) / kSectorSize;
  std::memset(dst, 0, std::min(dstLength, sectors * kSectorSize));
  std::memcpy(dst, &h, sizeof h);
  for (uint32_t k = 0; k < entries; ++k) {
    UDF_SparingEntry e{};
    e.OriginalLocation = 0xFFFFFFFFu;
    e.MappedLocation = spareAreaStart + k * kSparingPacketBlocks;
    std::memcpy(dst + sizeof h + k * sizeof e, &e, sizeof e);
  }
  FillTagAt(dst, kTagSparingTable, static_cast<uint16_t>(size - 16), location);
  return size;
}

std::optional<SparingTableInfo> ParseSparingTable(const uint8_t *buf, size_t length,
                                                  uint32_t location) {
  if (buf == nullptr || length < sizeof(UDF_SparingTableHeader)) return std::nullopt;
  if (!IsTagValid(kTagSparingTable, buf, length, location)) return std::nullopt;
  SparingTableInfo info;
  std::memcpy(&info.Header, buf, sizeof info.Header);
  if (!HasEntityIdentifier(info.Header.SparingIdentifier, "*UDF Sparing Table"))
    return std::nullopt;
  const uint32_t entries = info.Header.ReallocationTableLength;
  if (SparingTableSize(entries) > length) return std::nullopt;
  info.Entries.resize(entries);
  if (entries > 0)
    std::memcpy(info.Entries.data(), buf + sizeof info.Header, entries * sizeof(UDF_SparingEntry));
  return info;
}

// ---- Space bitmap ----

size_t BuildSpaceBitmapHeader(uint8_t *dst, size_t dstLength, uint32_t location, uint32_t bits,
                              uint16_t crcLength) {
  UDF_SpaceBitmapHeader h{};
  if (dst == nullptr || dstLength < sizeof h) return 0;
  if (size_t(crcLength) + sizeof(UDF_Tag) > dstLength) return 0;
  h.NumberOfBits = bits;
  h.NumberOfBytes = SpaceBitmapBytes(bits);
  std::memcpy(dst, &h, sizeof h);
  FillTagAt(dst, kTagSpaceBitmap, crcLength, location);
  return sizeof h;
}

size_t BuildSpaceBitmapDescriptor(uint8_t *dst, size_t dstLength, uint32_t location,
                                  const uint8_t *bitmap, uint32_t bits) {
  const size_t bytes = SpaceBitmapBytes(bits);
  const size_t size = sizeof(UDF_SpaceBitmapHeader) + bytes;
  if (dst == nullptr || dstLength < size || (bytes > 0 && bitmap == nullptr)) return 0;
  const size_t sectors = (size + kSectorSize - 1) / kSectorSize;
  std::memset(dst, 0, std::min(dstLength, sectors * kSectorSize));
  uint8_t *map = dst + sizeof(UDF_SpaceBitmapHeader);
  if (bytes > 0) std::memcpy(map, bitmap, bytes);
  if (bits % 8 != 0)
    map[bytes - 1] = static_cast<uint8_t>(map[bytes - 1] & ((1u << (bits % 8)) - 1));
  BuildSpaceBitmapHeader(dst, dstLength, location, bits);
  return size;
}

std::optional<UDF_SpaceBitmapHeader> ParseSpaceBitmapHeader(const uint8_t *buf, size_t length,
                                                            uint32_t location, bool *crcFailed) {
  if (crcFailed) *crcFailed = false;
  if (buf == nullptr || length < sizeof(UDF_SpaceBitmapHeader)) return std::nullopt;
  UDF_SpaceBitmapHeader h;
  std::memcpy(&h, buf, sizeof h);
  const UDF_Tag &t = h.DescriptorTag;
  if (t.TagIdentifier != kTagSpaceBitmap || t.TagLocation != location ||
      t.TagChecksum != TagChecksum(buf) || h.NumberOfBytes != SpaceBitmapBytes(h.NumberOfBits))
    return std::nullopt;
  // The CRC may cover no more than the descriptor holds.
  if (uint64_t(t.DescriptorCRCLength) + sizeof(UDF_Tag) >
      std::min<uint64_t>(length, sizeof h + uint64_t(h.NumberOfBytes)))
    return std::nullopt;
  if (!IsTagValid(kTagSpaceBitmap, buf, length, location)) {
    if (!crcFailed) return std::nullopt;
    *crcFailed = true;
  }
  return h;
}

// ---- File set descriptor ----

size_t BuildFileSetDescriptor(uint8_t *dst, size_t dstLength, uint32_t location,
                              const UDF_Label &label, const UDF_TimeStamp &recorded,
                              uint32_t rootICBBlock) {
  UDF_FileSetDescriptor d{};
  if (dst == nullptr || dstLength < sizeof d) return 0;
  d.RecordingDateandTime = recorded;
  SetLevelAndCharacterSets(d, 3);
  d.FileSetNumber = 0;
  d.FileSetDescriptorNumber = 0;
  SetCharSpec(d.LogicalVolumeIdentifierCharacterSet);
  WriteDString(d.LogicalVolumeIdentifier, sizeof d.LogicalVolumeIdentifier, label);
  SetCharSpec(d.FileSetCharacterSet);
  WriteDString(d.FileSetIdentifier, sizeof d.FileSetIdentifier, label);
  d.RootDirectoryICB = MakeLongAD(kSectorSize, rootICBBlock);
  SetEntity(d.DomainIdentifier, "*OSTA UDF Compliant", kSuffixRevision);
  return Emit(dst, dstLength, d, sizeof d, kTagFileSet, 496, location);
}

std::optional<UDF_FileSetDescriptor> ParseFileSetDescriptor(const uint8_t *buf, size_t length,
                                                            uint32_t location) {
  return ParseFixed<UDF_FileSetDescriptor>(buf, length, location, kTagFileSet);
}

// ---- File entry ----

FileEntryInfo NewDirectoryEntryInfo(const UDF_TimeStamp &created, uint64_t uniqueID,
                                    uint32_t dataBlock, uint32_t dataLength) {
  FileEntryInfo info;
  info.FileType = kFileTypeDirectory;
  info.Permissions = kPermissionsDirectory;
  info.InformationLength = dataLength;
  info.BlocksRecorded = 1;
  info.AccessTime = info.ModificationTime = info.AttributeTime = created;
  info.UniqueID = uniqueID;
  info.Extents.push_back(MakeShortAD(dataLength, dataBlock));
  return info;
}

FileEntryInfo NewFileEntryInfo(const UDF_TimeStamp &created, uint64_t uniqueID, bool readOnly,
                               uint16_t icbFlags) {
  FileEntryInfo info;
  info.FileType = kFileTypeFile;
  info.ICBFlags = icbFlags;
  info.Permissions = readOnly ? kPermissionsReadOnlyFile : kPermissionsFile;
  info.AccessTime = info.ModificationTime = info.AttributeTime = created;
  info.UniqueID = uniqueID;
  return info;
}

size_t BuildFileEntry(uint8_t *dst, size_t dstLength, uint32_t location,
                      const FileEntryInfo &info) {
  UDF_FileEntry d{};
  if (dst == nullptr || dstLength < sizeof d) return 0;
  if (info.Extents.size() > kFileEntryMaxExtents) return 0;
  if ((info.ICBFlags & ~(kICBFlagArchive | kICBFlagSystem)) != 0) return 0;
  UDF_FileEntryHeader &h = d.Header;
  UDF_EntryHead &head = h.Head;
  head.ICBTag.PriorRecordedNumberofDirectEntries = 0;
  head.ICBTag.StrategyType = 4;
  head.ICBTag.StrategyParameter = 0;
  head.ICBTag.MaximumNumberofEntries = 1;
  head.ICBTag.FileType = info.FileType;
  head.ICBTag.Flags = info.ICBFlags;
  head.Uid = info.Uid;
  head.Gid = info.Gid;
  head.Permissions = info.Permissions;
  head.FileLinkCount = 1;
  head.InformationLength = info.InformationLength;
  h.LogicalBlocksRecorded = info.BlocksRecorded;
  h.AccessTime = info.AccessTime;
  h.ModificationTime = info.ModificationTime;
  h.AttributeTime = info.AttributeTime;
  h.Checkpoint = 1;
  SetImplementationEntity(h.ImplementationIdentifier);
  h.UniqueID = info.UniqueID;
  h.LengthofExtendedAttributes = 0;
  // The descriptors in use, as every reader expects; the CRC covers the entry up to them.
  const uint32_t adBytes = static_cast<uint32_t>(info.Extents.size() * sizeof(UDF_ShortAD));
  h.LengthofAllocationDescriptors = adBytes;
  std::copy(info.Extents.begin(), info.Extents.end(), d.AllocationDescriptors);
  return Emit(dst, dstLength, d, sizeof d, kTagFileEntry,
              static_cast<uint16_t>(sizeof h + adBytes - 16), location);
}

namespace {

// Long descriptors as short ones: only partition 0 exists on the volumes read here.
bool ReadLongExtents(const uint8_t *area, size_t bytes, std::vector<UDF_ShortAD> &out) {
  for (size_t off = 0; off + sizeof(UDF_LongAD) <= bytes; off += sizeof(UDF_LongAD)) {
    const uint32_t length = LoadLE32(area + off);
    if ((length & 0x3FFFFFFFu) == 0) break;
    // A not-allocated extent has no location, whatever partition it names.
    if (length >> 30 != kExtentNotAllocated && LongADPartition(area + off) != 0) return false;
    UDF_ShortAD ad;
    ad.Length = length;
    ad.Position = LoadLE32(area + off + 4);
    out.push_back(ad);
  }
  return true;
}

// The same for extended descriptors: each must be readable and, when allocated, name
// partition 0.
bool ReadExtendedExtents(const uint8_t *area, size_t bytes, std::vector<UDF_ShortAD> &out) {
  for (size_t off = 0; off + kExtendedADBytes <= bytes; off += kExtendedADBytes) {
    const std::optional<ExtendedADInfo> e = ParseExtendedAD(area + off, bytes - off);
    if (!e) return false;
    if ((e->ExtentLength & 0x3FFFFFFFu) == 0) break;
    if (e->ExtentLength >> 30 != kExtentNotAllocated && e->Partition != 0) return false;
    UDF_ShortAD ad;
    ad.Length = e->ExtentLength;
    ad.Position = e->Block;
    out.push_back(ad);
  }
  return true;
}

} // namespace

std::optional<ExtendedADInfo> ParseExtendedAD(const uint8_t *buf, size_t length) {
  if (!buf || length < kExtendedADBytes) return std::nullopt;
  ExtendedADInfo e;
  e.ExtentLength = LoadLE32(buf);
  e.RecordedLength = LoadLE32(buf + 4);
  e.InformationLength = LoadLE32(buf + 8);
  e.Block = LoadLE32(buf + 12);
  e.Partition = LoadLE16(buf + 16);
  if ((e.RecordedLength & 0x3FFFFFFFu) > (e.ExtentLength & 0x3FFFFFFFu)) return std::nullopt;
  return e;
}

std::optional<FileEntryInfo> ParseFileEntry(const uint8_t *buf, size_t length, uint32_t location) {
  // The fields both forms share are read through the file entry's record.
  const std::optional<EntryRecord> f = EntryRecord::Of(buf, length);
  if (!f || !IsTagValid(f->Layout().Tag, buf, length, location)) return std::nullopt;
  const EntryLayout &l = f->Layout();
  UDF_EntryHead h;
  std::memcpy(&h, buf, sizeof h);
  const uint64_t ea = f->ExtendedAttributesLength(), ad = f->DescriptorLength();
  const uint64_t end = l.HeaderSize + ea + ad;
  if (end > length || end > kSectorSize) return std::nullopt;
  FileEntryInfo info;
  info.FileType = h.ICBTag.FileType;
  info.ICBFlags = h.ICBTag.Flags;
  info.Permissions = h.Permissions;
  info.LinkCount = h.FileLinkCount;
  info.Uid = h.Uid;
  info.Gid = h.Gid;
  info.InformationLength = h.InformationLength;
  info.BlocksRecorded = f->BlocksRecorded();
  info.AccessTime = f->AccessTime();
  info.ModificationTime = f->ModificationTime();
  info.AttributeTime = f->AttributeTime();
  info.UniqueID = f->UniqueID();
  info.ImplementationIdentifier = f->Implementation();
  info.Extended = f->Extended();
  info.ExtendedAttributesLength = static_cast<uint32_t>(ea);
  info.DescriptorOffset = static_cast<uint32_t>(l.HeaderSize + ea);
  info.DescriptorLength = static_cast<uint32_t>(ad);
  const uint8_t *area = buf + info.DescriptorOffset;
  switch (info.ICBFlags & kICBFlagDescriptorMask) {
  case kDescriptorsShort:
    info.Extents = ReadExtents(area, size_t(ad));
    break;
  case kDescriptorsLong:
    if (!ReadLongExtents(area, size_t(ad), info.Extents)) return std::nullopt;
    break;
  case kDescriptorsExtended:
    if (!ReadExtendedExtents(area, size_t(ad), info.Extents)) return std::nullopt;
    break;
  case kDescriptorsEmbedded:
    // The data itself is recorded where the descriptors would be.
    if (ad < info.InformationLength) return std::nullopt;
    break;
  default:
    return std::nullopt;
  }
  return info;
}

namespace {

constexpr uint16_t kTagExtendedAttributeHeader = 262;
constexpr uint32_t kAttributeDeviceSpecification = 12;

struct UDF_ExtendedAttributeHeader {
  UDF_Tag DescriptorTag;
  le32 ImplementationAttributesLocation;
  le32 ApplicationAttributesLocation;
};
static_assert(sizeof(UDF_ExtendedAttributeHeader) == 24);

// The fixed part of every attribute, then a device specification's own fields (no
// implementation use).
struct UDF_AttributeHead {
  le32 AttributeType;
  uint8_t AttributeSubtype;
  uint8_t Reserved[3];
  le32 AttributeLength;
};
struct UDF_DeviceSpecification {
  UDF_AttributeHead Head;
  le32 ImplementationUseLength;
  le32 MajorDeviceIdentification;
  le32 MinorDeviceIdentification;
};
static_assert(sizeof(UDF_AttributeHead) == 12 && sizeof(UDF_DeviceSpecification) == 24);
static_assert(sizeof(UDF_ExtendedAttributeHeader) + sizeof(UDF_DeviceSpecification) ==
              kDeviceAttributesBytes);

} // namespace

std::optional<DeviceNumbers> FindDeviceSpecification(const uint8_t *ea, size_t length) {
  constexpr size_t kHeaderBytes = sizeof(UDF_ExtendedAttributeHeader);
  constexpr size_t kAttributeHead = sizeof(UDF_AttributeHead);
  if (ea == nullptr || length < kHeaderBytes || LoadLE16(ea) != kTagExtendedAttributeHeader)
    return std::nullopt;
  size_t at = kHeaderBytes;
  while (length - at >= kAttributeHead) {
    UDF_AttributeHead head;
    std::memcpy(&head, ea + at, sizeof head);
    const uint32_t attrLength = head.AttributeLength;
    if (attrLength < kAttributeHead || attrLength > length - at) return std::nullopt;
    if (head.AttributeType == kAttributeDeviceSpecification && head.AttributeSubtype == 1 &&
        attrLength >= sizeof(UDF_DeviceSpecification)) {
      UDF_DeviceSpecification d;
      std::memcpy(&d, ea + at, sizeof d);
      return DeviceNumbers{d.MajorDeviceIdentification, d.MinorDeviceIdentification};
    }
    at += attrLength;
  }
  return std::nullopt;
}

size_t BuildDeviceAttributes(uint8_t *dst, size_t length, uint32_t location, DeviceNumbers dev) {
  if (dst == nullptr || length < kDeviceAttributesBytes) return 0;
  UDF_ExtendedAttributeHeader h{};
  // Neither implementation nor application attributes: both start past the end.
  h.ImplementationAttributesLocation = uint32_t(kDeviceAttributesBytes);
  h.ApplicationAttributesLocation = uint32_t(kDeviceAttributesBytes);
  UDF_DeviceSpecification d{};
  d.Head.AttributeType = kAttributeDeviceSpecification;
  d.Head.AttributeSubtype = 1;
  d.Head.AttributeLength = uint32_t(sizeof d);
  d.MajorDeviceIdentification = dev.Major;
  d.MinorDeviceIdentification = dev.Minor;
  std::memcpy(dst, &h, sizeof h);
  std::memcpy(dst + sizeof h, &d, sizeof d);
  FillTagAt(dst, kTagExtendedAttributeHeader, uint16_t(sizeof h - sizeof(UDF_Tag)), location);
  return kDeviceAttributesBytes;
}

// ---- File identifier descriptor ----

size_t BuildFileIdentifierDescriptor(uint8_t *dst, size_t dstLength, uint32_t location,
                                     uint8_t characteristics, uint32_t icbBlock,
                                     const uint8_t *name, uint8_t nameLength) {
  const size_t total = FileIdentifierDescriptorLength(nameLength);
  if (dst == nullptr || dstLength < total || (nameLength > 0 && name == nullptr)) return 0;
  UDF_FileIdentifierDescriptorHeader h{};
  h.FileVersionNumber = 1;
  h.FileCharacteristics = characteristics;
  h.LengthofFileIdentifier = nameLength;
  h.ICB = MakeLongAD(kSectorSize, icbBlock);
  h.LengthofImplementationUse = 0;
  std::memset(dst, 0, total);
  std::memcpy(dst, &h, sizeof h);
  if (nameLength > 0) std::memcpy(dst + sizeof h, name, nameLength);
  FillTagAt(dst, kTagFileIdentifier, static_cast<uint16_t>(total - 16), location);
  return total;
}

uint32_t PeekFileIdentifierLength(const uint8_t *buf, size_t length) {
  if (buf == nullptr || length < sizeof(UDF_FileIdentifierDescriptorHeader)) return 0;
  UDF_FileIdentifierDescriptorHeader h;
  std::memcpy(&h, buf, sizeof h);
  return FileIdentifierDescriptorLength(h.LengthofFileIdentifier, h.LengthofImplementationUse);
}

std::optional<FileIdentifierInfo> ParseFileIdentifierDescriptor(const uint8_t *buf, size_t length,
                                                                uint32_t location) {
  const uint32_t total = PeekFileIdentifierLength(buf, length);
  if (total == 0 || total > length) return std::nullopt;
  if (!IsTagValid(kTagFileIdentifier, buf, total, location)) return std::nullopt;
  UDF_FileIdentifierDescriptorHeader h;
  std::memcpy(&h, buf, sizeof h);
  FileIdentifierInfo info{};
  info.Characteristics = h.FileCharacteristics;
  info.ICB = h.ICB;
  info.ImplementationUseLength = h.LengthofImplementationUse;
  info.NameLength = h.LengthofFileIdentifier;
  std::memcpy(info.Name, buf + sizeof h + info.ImplementationUseLength, info.NameLength);
  info.TotalLength = total;
  return info;
}

// ---- Allocation extent descriptor ----

std::optional<DescriptorArea> DescriptorAreaOf(const uint8_t *buf, size_t length) {
  if (buf == nullptr || length < sizeof(UDF_AllocationExtentDescriptorHeader)) return std::nullopt;
  DescriptorArea a{};
  uint32_t ea = 0;
  if (LoadLE16(buf) == kTagAllocationExtent) {
    a.LengthField = offsetof(UDF_AllocationExtentDescriptorHeader, LengthofAllocationDescriptors);
    a.First = sizeof(UDF_AllocationExtentDescriptorHeader);
  } else if (const std::optional<EntryRecord> f = EntryRecord::Of(buf, length)) {
    a.LengthField = f->Layout().LengthOfAD;
    ea = f->ExtendedAttributesLength();
    a.First = f->Layout().HeaderSize;
  } else {
    return std::nullopt;
  }
  a.Length = LoadLE32(buf + a.LengthField);
  if (uint64_t(a.First) + ea + a.Length > length) return std::nullopt;
  a.First += ea;
  return a;
}

void StoreDescriptorLength(uint8_t *buf, const DescriptorArea &area, uint32_t length) {
  StoreLE32(buf + area.LengthField, length);
}

uint16_t LongADPartition(const uint8_t *ad) {
  UDF_LongAD l;
  std::memcpy(&l, ad, sizeof l);
  return l.Location.PartitionReferenceNumber;
}

size_t BuildAllocationExtentDescriptor(uint8_t *dst, size_t dstLength, uint32_t location,
                                       const UDF_ShortAD *extents, size_t count) {
  if (dst == nullptr || dstLength < kSectorSize || count > kAllocationExtentMaxExtents ||
      (count > 0 && extents == nullptr))
    return 0;
  UDF_AllocationExtentDescriptorHeader h{};
  h.PreviousAllocationExtentLocation = 0;
  h.LengthofAllocationDescriptors = static_cast<uint32_t>(count * sizeof(UDF_ShortAD));
  std::memset(dst, 0, kSectorSize);
  std::memcpy(dst, &h, sizeof h);
  if (count > 0) std::memcpy(dst + sizeof h, extents, count * sizeof(UDF_ShortAD));
  FillTagAt(dst, kTagAllocationExtent, 8, location);
  return kSectorSize;
}

std::optional<std::vector<UDF_ShortAD>>
ParseAllocationExtentDescriptor(const uint8_t *buf, size_t length, uint32_t location) {
  if (buf == nullptr || length < sizeof(UDF_AllocationExtentDescriptorHeader)) return std::nullopt;
  if (!IsTagValid(kTagAllocationExtent, buf, length, location)) return std::nullopt;
  UDF_AllocationExtentDescriptorHeader h;
  std::memcpy(&h, buf, sizeof h);
  const uint64_t ad = h.LengthofAllocationDescriptors;
  if (sizeof h + ad > length || sizeof h + ad > kSectorSize) return std::nullopt;
  return ReadExtents(buf + sizeof h, size_t(ad));
}

} // namespace korva
