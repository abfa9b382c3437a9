// Every on-disc record of the volume we write: UDF 1.50 on the ECMA-167 volume and file
// structure, one sparable partition. Records are byte-exact structs of little-endian fields;
// builders fill them in a zero-filled buffer with the values this library records and put the
// tag on last, parsers check a buffer read from the medium (bounds first, then the tag) and hand
// back the record or nothing.
//
// Builders write into dst (dstLength bytes available) and return the descriptor's size, or 0
// when dst is too small or an argument cannot be recorded. Builders of descriptors that own a
// sector clear the rest of that sector too (as far as dstLength reaches), so stale bytes of a
// re-used packet never remain behind a short descriptor.
#ifndef KORVA_UDF_DESCRIPTORS_H
#define KORVA_UDF_DESCRIPTORS_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "udf/le.h"
#include "udf/tag.h"
#include "udf/timestamp.h"

namespace korva {

// ---- Shared sub-records ----

struct UDF_ExtentAD {
  le32 Length;   // bytes
  le32 Location; // sector
};
static_assert(sizeof(UDF_ExtentAD) == 8);

// Extent length word: top two bits the extent type, low 30 bits the length in bytes.
struct UDF_ShortAD {
  le32 Length;
  le32 Position; // logical block
};
static_assert(sizeof(UDF_ShortAD) == 8);

struct UDF_LBAddr {
  le32 LogicalBlockNumber;
  le16 PartitionReferenceNumber;
};
static_assert(sizeof(UDF_LBAddr) == 6);

struct UDF_LongAD {
  le32 Length;
  UDF_LBAddr Location;
  uint8_t ImplementationUse[6];
};
static_assert(sizeof(UDF_LongAD) == 16 && offsetof(UDF_LongAD, ImplementationUse) == 10);

struct UDF_CharSpec {
  uint8_t CharacterSetType;
  uint8_t CharacterSetInfo[63];
};
static_assert(sizeof(UDF_CharSpec) == 64);

struct UDF_EntityID {
  uint8_t Flags;
  uint8_t Identifier[23];
  uint8_t IdentifierSuffix[8];
};
static_assert(sizeof(UDF_EntityID) == 32 && offsetof(UDF_EntityID, IdentifierSuffix) == 24);

// Extent types of the top two bits of an allocation descriptor's length word.
enum ExtentType : uint8_t {
  kExtentRecorded = 0,
  kExtentAllocated = 1,
  kExtentNotAllocated = 2,
  kExtentNextDescriptors = 3,
};

inline UDF_ShortAD MakeShortAD(uint32_t lengthBytes, uint32_t block, uint8_t type = 0) {
  UDF_ShortAD ad{};
  ad.Length = (uint32_t(type) << 30) | (lengthBytes & 0x3FFFFFFFu);
  ad.Position = block;
  return ad;
}
inline uint32_t ExtentLength(const UDF_ShortAD &ad) {
  return uint32_t(ad.Length) & 0x3FFFFFFFu;
}
inline uint8_t ExtentTypeOf(const UDF_ShortAD &ad) {
  return uint8_t(uint32_t(ad.Length) >> 30);
}

// True when the entity identifier carries our 23-byte implementation identifier.
bool IsOurImplementation(const UDF_EntityID &id);
// Whether the entity's identifier is `identifier` (padded with zeros to its 23 bytes).
bool HasEntityIdentifier(const UDF_EntityID &e, const char *identifier);
// True for the identifier the Linux kernel's UDF driver records in the descriptors it
// rewrites (the integrity descriptor and the file entries it changes, the root's among them)
// on a volume it mounted read-write.
bool IsLinuxKernelImplementation(const UDF_EntityID &id);
// Fills an entity identifier with our implementation identifier, as the builders record it.
void MakeImplementationEntity(UDF_EntityID &id);

// ---- Labels (d-strings) ----

// A label compressed once with identifier 16: at most 15 UTF-16 code units, so that the
// compressed form (1 + 2 x characters bytes) fits in 31 bytes.
struct UDF_Label {
  uint8_t Bytes[32];
  uint8_t Length; // bytes used, the identifier byte included
};
inline constexpr size_t kMaxLabelCharacters = 15;

// Compresses a label; false (and an empty label) when it has more than 15 code units.
bool MakeLabel(const char16_t *text, size_t count, UDF_Label &out);
bool MakeLabel(const std::u16string &text, UDF_Label &out);

// Stores a label into a d-string field: the compressed bytes from byte 0, the length in the
// field's last byte. fieldSize must be at least 32.
void WriteDString(uint8_t *field, size_t fieldSize, const UDF_Label &label);

// Reads a d-string field; false when its length byte or identifier is not sane.
bool ReadDString(const uint8_t *field, size_t fieldSize, std::u16string &out);

// ---- Volume recognition sequence ----

struct UDF_VolumeStructureDescriptor {
  uint8_t StructureType;
  uint8_t StandardIdentifier[5];
  uint8_t StructureVersion;
  uint8_t StructureData[2041];
};
static_assert(sizeof(UDF_VolumeStructureDescriptor) == 2048);

// Writes the three sectors "BEA01", "NSR02", "TEA01" (6144 bytes) that go to sectors 16-18.
size_t BuildVolumeRecognitionSequence(uint8_t *dst, size_t dstLength);
// True when the sector holds a volume structure descriptor with this standard identifier.
bool IsVolumeStructure(const uint8_t *sector, size_t length, const char identifier[5]);

// ---- Anchor volume descriptor pointer ----

struct UDF_AnchorVolumeDescriptorPointer {
  UDF_Tag DescriptorTag;
  UDF_ExtentAD MainVolumeDescriptorSequenceExtent;
  UDF_ExtentAD ReserveVolumeDescriptorSequenceExtent;
  uint8_t Reserved[480];
};
static_assert(sizeof(UDF_AnchorVolumeDescriptorPointer) == 512);
static_assert(offsetof(UDF_AnchorVolumeDescriptorPointer, ReserveVolumeDescriptorSequenceExtent) ==
              24);

// Each sequence extent is 16 sectors (32768 bytes).
size_t BuildAnchor(uint8_t *dst, size_t dstLength, uint32_t location, uint32_t mainSequence,
                   uint32_t reserveSequence);
std::optional<UDF_AnchorVolumeDescriptorPointer> ParseAnchor(const uint8_t *buf, size_t length,
                                                             uint32_t location);

// ---- Primary volume descriptor ----

struct UDF_PrimaryVolumeDescriptor {
  UDF_Tag DescriptorTag;
  le32 VolumeDescriptorSequenceNumber;
  le32 PrimaryVolumeDescriptorNumber;
  uint8_t VolumeIdentifier[32];
  le16 VolumeSequenceNumber;
  le16 MaximumVolumeSequenceNumber;
  le16 InterchangeLevel;
  le16 MaximumInterchangeLevel;
  le32 CharacterSetList;
  le32 MaximumCharacterSetList;
  uint8_t VolumeSetIdentifier[128];
  UDF_CharSpec DescriptorCharacterSet;
  UDF_CharSpec ExplanatoryCharacterSet;
  UDF_ExtentAD VolumeAbstract;
  UDF_ExtentAD VolumeCopyrightNotice;
  UDF_EntityID ApplicationIdentifier;
  UDF_TimeStamp RecordingDateandTime;
  UDF_EntityID ImplementationIdentifier;
  uint8_t ImplementationUse[64];
  le32 PredecessorVolumeDescriptorSequenceLocation;
  le16 Flags;
  uint8_t Reserved[22];
};
static_assert(sizeof(UDF_PrimaryVolumeDescriptor) == 512);
static_assert(offsetof(UDF_PrimaryVolumeDescriptor, VolumeIdentifier) == 24);
static_assert(offsetof(UDF_PrimaryVolumeDescriptor, VolumeSequenceNumber) == 56);
static_assert(offsetof(UDF_PrimaryVolumeDescriptor, CharacterSetList) == 64);
static_assert(offsetof(UDF_PrimaryVolumeDescriptor, VolumeSetIdentifier) == 72);
static_assert(offsetof(UDF_PrimaryVolumeDescriptor, DescriptorCharacterSet) == 200);
static_assert(offsetof(UDF_PrimaryVolumeDescriptor, ExplanatoryCharacterSet) == 264);
static_assert(offsetof(UDF_PrimaryVolumeDescriptor, VolumeAbstract) == 328);
static_assert(offsetof(UDF_PrimaryVolumeDescriptor, ApplicationIdentifier) == 344);
static_assert(offsetof(UDF_PrimaryVolumeDescriptor, RecordingDateandTime) == 376);
static_assert(offsetof(UDF_PrimaryVolumeDescriptor, ImplementationIdentifier) == 388);
static_assert(offsetof(UDF_PrimaryVolumeDescriptor, ImplementationUse) == 420);
static_assert(offsetof(UDF_PrimaryVolumeDescriptor, PredecessorVolumeDescriptorSequenceLocation) ==
              484);
static_assert(offsetof(UDF_PrimaryVolumeDescriptor, Flags) == 488);

// formatSeconds (seconds since 1970) names the volume set: its low 32 bits as 8 upper-case
// hexadecimal digits, then "Quorrelstane".
size_t BuildPrimaryVolumeDescriptor(uint8_t *dst, size_t dstLength, uint32_t location,
                                    const UDF_Label &label, const UDF_TimeStamp &recorded,
                                    int64_t formatSeconds);
std::optional<UDF_PrimaryVolumeDescriptor>
ParsePrimaryVolumeDescriptor(const uint8_t *buf, size_t length, uint32_t location);

// ---- Logical volume descriptor with its sparable partition map ----

struct UDF_SparablePartitionMap {
  uint8_t PartitionMapType;
  uint8_t PartitionMapLength;
  uint8_t Reserved1[2];
  UDF_EntityID PartitionTypeIdentifier;
  le16 VolumeSequenceNumber;
  le16 PartitionNumber;
  le16 PacketLength;
  uint8_t NumberofSparingTables;
  uint8_t Reserved2;
  le32 SizeofEachSparingTable;
  le32 LocationsofSparingTables[2];
  uint8_t Pad[8];
};
static_assert(sizeof(UDF_SparablePartitionMap) == 64);
static_assert(offsetof(UDF_SparablePartitionMap, VolumeSequenceNumber) == 36);
static_assert(offsetof(UDF_SparablePartitionMap, PacketLength) == 40);
static_assert(offsetof(UDF_SparablePartitionMap, SizeofEachSparingTable) == 44);
static_assert(offsetof(UDF_SparablePartitionMap, LocationsofSparingTables) == 48);

struct UDF_LogicalVolumeDescriptor {
  UDF_Tag DescriptorTag;
  le32 VolumeDescriptorSequenceNumber;
  UDF_CharSpec DescriptorCharacterSet;
  uint8_t LogicalVolumeIdentifier[128];
  le32 LogicalBlockSize;
  UDF_EntityID DomainIdentifier;
  UDF_LongAD LogicalVolumeContentsUse; // where the file set descriptor is
  le32 MapTableLength;
  le32 NumberofPartitionMaps;
  UDF_EntityID ImplementationIdentifier;
  uint8_t ImplementationUse[128];
  UDF_ExtentAD IntegritySequenceExtent;
  UDF_SparablePartitionMap PartitionMap;
};
static_assert(sizeof(UDF_LogicalVolumeDescriptor) == 504);
static_assert(offsetof(UDF_LogicalVolumeDescriptor, DescriptorCharacterSet) == 20);
static_assert(offsetof(UDF_LogicalVolumeDescriptor, LogicalVolumeIdentifier) == 84);
static_assert(offsetof(UDF_LogicalVolumeDescriptor, LogicalBlockSize) == 212);
static_assert(offsetof(UDF_LogicalVolumeDescriptor, DomainIdentifier) == 216);
static_assert(offsetof(UDF_LogicalVolumeDescriptor, LogicalVolumeContentsUse) == 248);
static_assert(offsetof(UDF_LogicalVolumeDescriptor, MapTableLength) == 264);
static_assert(offsetof(UDF_LogicalVolumeDescriptor, ImplementationIdentifier) == 272);
static_assert(offsetof(UDF_LogicalVolumeDescriptor, ImplementationUse) == 304);
static_assert(offsetof(UDF_LogicalVolumeDescriptor, IntegritySequenceExtent) == 432);
static_assert(offsetof(UDF_LogicalVolumeDescriptor, PartitionMap) == 440);

// Spare packets and sparing-table entries are counted in units of this many blocks.
inline constexpr uint32_t kSparingPacketBlocks = 32;

inline constexpr uint32_t SparingTableSize(uint32_t entries) {
  return 56 + 8 * entries;
}

struct LogicalVolumeLayout {
  uint32_t FileSetBlock;    // partition-relative
  uint32_t IntegritySector; // first sector of the 4-sector integrity sequence
  uint32_t SparingTableSector1;
  uint32_t SparingTableSector2;
  uint32_t SparingEntries; // reallocation table length of each sparing table
};

size_t BuildLogicalVolumeDescriptor(uint8_t *dst, size_t dstLength, uint32_t location,
                                    const UDF_Label &label, const LogicalVolumeLayout &layout);

struct LogicalVolumeInfo {
  // The fixed part as read; PartitionMap holds the sparable map when one was found, else zero.
  UDF_LogicalVolumeDescriptor Descriptor;
  uint32_t Type1Maps;
  uint32_t Type2Maps;
  bool HasSparableMap;
};
std::optional<LogicalVolumeInfo> ParseLogicalVolumeDescriptor(const uint8_t *buf, size_t length,
                                                              uint32_t location);

// ---- Partition descriptor ----

struct UDF_PartitionHeaderDescriptor {
  UDF_ShortAD UnallocatedSpaceTable;
  UDF_ShortAD UnallocatedSpaceBitmap;
  UDF_ShortAD PartitionIntegrityTable;
  UDF_ShortAD FreedSpaceTable;
  UDF_ShortAD FreedSpaceBitmap;
  uint8_t Reserved[88];
};
static_assert(sizeof(UDF_PartitionHeaderDescriptor) == 128);

struct UDF_PartitionDescriptor {
  UDF_Tag DescriptorTag;
  le32 VolumeDescriptorSequenceNumber;
  le16 PartitionFlags;
  le16 PartitionNumber;
  UDF_EntityID PartitionContents;
  UDF_PartitionHeaderDescriptor PartitionContentsUse;
  le32 AccessType;
  le32 PartitionStartingLocation;
  le32 PartitionLength;
  UDF_EntityID ImplementationIdentifier;
  uint8_t ImplementationUse[128];
  uint8_t Reserved[156];
};
static_assert(sizeof(UDF_PartitionDescriptor) == 512);
static_assert(offsetof(UDF_PartitionDescriptor, PartitionContents) == 24);
static_assert(offsetof(UDF_PartitionDescriptor, PartitionContentsUse) == 56);
static_assert(offsetof(UDF_PartitionDescriptor, AccessType) == 184);
static_assert(offsetof(UDF_PartitionDescriptor, PartitionStartingLocation) == 188);
static_assert(offsetof(UDF_PartitionDescriptor, ImplementationIdentifier) == 196);
static_assert(offsetof(UDF_PartitionDescriptor, ImplementationUse) == 228);
static_assert(offsetof(UDF_PartitionDescriptor, Reserved) == 356);

// The space bitmap sits at block 0 of the partition and spans bitmapSectors sectors.
size_t BuildPartitionDescriptor(uint8_t *dst, size_t dstLength, uint32_t location,
                                uint32_t partitionStart, uint32_t partitionLength,
                                uint32_t bitmapSectors);
std::optional<UDF_PartitionDescriptor> ParsePartitionDescriptor(const uint8_t *buf, size_t length,
                                                                uint32_t location);

// ---- Unallocated space and terminating descriptors ----

struct UDF_UnallocatedSpaceDescriptor {
  UDF_Tag DescriptorTag;
  le32 VolumeDescriptorSequenceNumber;
  le32 NumberofAllocationDescriptors;
};
static_assert(sizeof(UDF_UnallocatedSpaceDescriptor) == 24);

size_t BuildUnallocatedSpaceDescriptor(uint8_t *dst, size_t dstLength, uint32_t location);

struct UDF_TerminatingDescriptor {
  UDF_Tag DescriptorTag;
  uint8_t Reserved[496];
};
static_assert(sizeof(UDF_TerminatingDescriptor) == 512);

size_t BuildTerminatingDescriptor(uint8_t *dst, size_t dstLength, uint32_t location);

// ---- Implementation use volume descriptor (LV information) ----

struct UDF_ImplementationUseVolumeDescriptor {
  UDF_Tag DescriptorTag;
  le32 VolumeDescriptorSequenceNumber;
  UDF_EntityID ImplementationIdentifier; // "*UDF LV Info"
  UDF_CharSpec LVICharset;
  uint8_t LogicalVolumeIdentifier[128];
  uint8_t LVInfo1[36];
  uint8_t LVInfo2[36];
  uint8_t LVInfo3[36];
  UDF_EntityID ImplementationID; // the writing implementation
  uint8_t ImplementationUse[128];
};
static_assert(sizeof(UDF_ImplementationUseVolumeDescriptor) == 512);
static_assert(offsetof(UDF_ImplementationUseVolumeDescriptor, LVICharset) == 52);
static_assert(offsetof(UDF_ImplementationUseVolumeDescriptor, LogicalVolumeIdentifier) == 116);
static_assert(offsetof(UDF_ImplementationUseVolumeDescriptor, LVInfo1) == 244);
static_assert(offsetof(UDF_ImplementationUseVolumeDescriptor, LVInfo3) == 316);
static_assert(offsetof(UDF_ImplementationUseVolumeDescriptor, ImplementationID) == 352);
static_assert(offsetof(UDF_ImplementationUseVolumeDescriptor, ImplementationUse) == 384);

size_t BuildImplementationUseVolumeDescriptor(uint8_t *dst, size_t dstLength, uint32_t location,
                                              const UDF_Label &label);
std::optional<UDF_ImplementationUseVolumeDescriptor>
ParseImplementationUseVolumeDescriptor(const uint8_t *buf, size_t length, uint32_t location);

// ---- Logical volume integrity descriptor ----

enum UDFVolumeIntegrityType : uint32_t { itOpen = 0, itClose = 1 };

struct UDF_LogicalVolumeIntegrityDescriptor {
  UDF_Tag DescriptorTag;
  UDF_TimeStamp RecordingDateAndTime;
  le32 IntegrityType;
  UDF_ExtentAD NextIntegrityExtent;
  le64 NextUniqueID; // logical volume header descriptor
  uint8_t LogicalVolumeHeaderReserved[24];
  le32 NumberOfPartitions;
  le32 LengthOfImplementationUse;
  le32 FreeSpaceTable; // partition 0, blocks
  le32 SizeTable;      // partition 0, blocks
  UDF_EntityID ImplementationID;
  le32 NumberOfFiles;
  le32 NumberOfDirectories;
  le16 MinimumUDFReadRevision;
  le16 MinimumUDFWriteRevision;
  le16 MaximumUDFWriteRevision;
};
static_assert(sizeof(UDF_LogicalVolumeIntegrityDescriptor) == 134);
static_assert(offsetof(UDF_LogicalVolumeIntegrityDescriptor, IntegrityType) == 28);
static_assert(offsetof(UDF_LogicalVolumeIntegrityDescriptor, NextUniqueID) == 40);
static_assert(offsetof(UDF_LogicalVolumeIntegrityDescriptor, NumberOfPartitions) == 72);
static_assert(offsetof(UDF_LogicalVolumeIntegrityDescriptor, FreeSpaceTable) == 80);
static_assert(offsetof(UDF_LogicalVolumeIntegrityDescriptor, ImplementationID) == 88);
static_assert(offsetof(UDF_LogicalVolumeIntegrityDescriptor, NumberOfFiles) == 120);
static_assert(offsetof(UDF_LogicalVolumeIntegrityDescriptor, MinimumUDFReadRevision) == 128);

struct IntegrityInfo {
  UDF_TimeStamp Recorded;
  uint32_t IntegrityType; // itOpen or itClose
  uint64_t NextUniqueID;
  uint32_t FreeBlocks;
  uint32_t PartitionLength;
  uint32_t Files;
  uint32_t Directories;
};

// The tag's CRC covers the fixed part and the implementation use as this library records it.
inline constexpr uint16_t kIntegrityCRCLength =
    sizeof(UDF_LogicalVolumeIntegrityDescriptor) - sizeof(UDF_Tag);

size_t BuildIntegrityDescriptor(uint8_t *dst, size_t dstLength, uint32_t location,
                                const IntegrityInfo &info);
// Stores a changed descriptor over the one at dst, keeping whatever follows it, and refills
// the tag. Returns the bytes stored (0 when dst is too short).
size_t StoreIntegrityDescriptor(uint8_t *dst, size_t dstLength, uint32_t location,
                                const UDF_LogicalVolumeIntegrityDescriptor &d);
// Accepts one partition and an implementation use area of at least 46 bytes, as we write it.
std::optional<UDF_LogicalVolumeIntegrityDescriptor>
ParseIntegrityDescriptor(const uint8_t *buf, size_t length, uint32_t location);

// ---- Sparing table ----

struct UDF_SparingTableHeader {
  UDF_Tag DescriptorTag;
  UDF_EntityID SparingIdentifier;
  le16 ReallocationTableLength;
  le16 Reserved;
  le32 SequenceNumber;
};
static_assert(sizeof(UDF_SparingTableHeader) == 56);

struct UDF_SparingEntry {
  le32 OriginalLocation; // 0xFFFFFFFF: available
  le32 MappedLocation;
};
static_assert(sizeof(UDF_SparingEntry) == 8);

// `entries` available entries; entry k maps to spareAreaStart + k x 32. At most 8186 entries,
// so that the CRC length fits its 16 bits.
size_t BuildSparingTable(uint8_t *dst, size_t dstLength, uint32_t location, uint32_t spareAreaStart,
                         uint16_t entries);

// A table of `length` readable bytes (it may span several sectors): valid tag 0 at
// `location` whose CRC region lies within them, the sparing identifier, and every entry the
// header counts within them.
struct SparingTableInfo {
  UDF_SparingTableHeader Header;
  std::vector<UDF_SparingEntry> Entries;
};
std::optional<SparingTableInfo> ParseSparingTable(const uint8_t *buf, size_t length,
                                                  uint32_t location);
// Of two valid copies of a sparing table, whether `a` supersedes `b`: the later sequence
// number is the current one.
inline bool SupersedesSparingCopy(const SparingTableInfo &a, const SparingTableInfo &b) {
  return uint32_t(a.Header.SequenceNumber) > uint32_t(b.Header.SequenceNumber);
}

// ---- Space bitmap descriptor ----

struct UDF_SpaceBitmapHeader {
  UDF_Tag DescriptorTag;
  le32 NumberOfBits;
  le32 NumberOfBytes;
};
static_assert(sizeof(UDF_SpaceBitmapHeader) == 24);

inline constexpr uint32_t SpaceBitmapBytes(uint32_t bits) {
  return uint32_t((uint64_t(bits) + 7) / 8);
}
// Sectors taken by the descriptor: header plus bitmap, rounded up.
inline constexpr uint32_t SpaceBitmapSectors(uint32_t bits) {
  return uint32_t((uint64_t(SpaceBitmapBytes(bits)) + 24 + kSectorSize - 1) / kSectorSize);
}

// The descriptor's CRC covers its 8 header bytes after the tag, as mkudffs writes it and
// as the Linux kernel verifies it (the kernel checks a CRC only within one block and logs an
// error for a longer one). Other systems change bits without refreshing any CRC, so a CRC
// over the bitmap would turn their changes into damage; check compares the bits with the
// blocks the tree uses instead.
inline constexpr uint16_t kSpaceBitmapCRCLength = 8;
// The 24-byte header. Its tag's CRC covers crcLength bytes from byte 16, which must already
// be in dst (dstLength readable bytes); 0 leaves the bitmap uncovered. Returns 0 when the
// covered bytes do not fit in dst.
size_t BuildSpaceBitmapHeader(uint8_t *dst, size_t dstLength, uint32_t location, uint32_t bits,
                              uint16_t crcLength = kSpaceBitmapCRCLength);
// Header and bitmap (1 = free, least significant bit first); bits past `bits` are recorded as 0
// and the tail of the last sector is cleared. Returns 24 + bitmap bytes.
size_t BuildSpaceBitmapDescriptor(uint8_t *dst, size_t dstLength, uint32_t location,
                                  const uint8_t *bitmap, uint32_t bits);
// Checks the header; the bitmap bytes follow it at byte 24. A CRC length that reaches past
// `length` or past the descriptor's own end fails the check. With crcFailed given, a tag that
// is right in itself (identifier, checksum, location) over bytes that fail its CRC is still
// returned, and *crcFailed says so: another system changed bits under a CRC that covers them.
std::optional<UDF_SpaceBitmapHeader> ParseSpaceBitmapHeader(const uint8_t *buf, size_t length,
                                                            uint32_t location,
                                                            bool *crcFailed = nullptr);

// ---- File set descriptor ----

struct UDF_FileSetDescriptor {
  UDF_Tag DescriptorTag;
  UDF_TimeStamp RecordingDateandTime;
  le16 InterchangeLevel;
  le16 MaximumInterchangeLevel;
  le32 CharacterSetList;
  le32 MaximumCharacterSetList;
  le32 FileSetNumber;
  le32 FileSetDescriptorNumber;
  UDF_CharSpec LogicalVolumeIdentifierCharacterSet;
  uint8_t LogicalVolumeIdentifier[128];
  UDF_CharSpec FileSetCharacterSet;
  uint8_t FileSetIdentifier[32];
  uint8_t CopyrightFileIdentifier[32];
  uint8_t AbstractFileIdentifier[32];
  UDF_LongAD RootDirectoryICB;
  UDF_EntityID DomainIdentifier;
  UDF_LongAD NextExtent;
  uint8_t Reserved[48];
};
static_assert(sizeof(UDF_FileSetDescriptor) == 512);
static_assert(offsetof(UDF_FileSetDescriptor, InterchangeLevel) == 28);
static_assert(offsetof(UDF_FileSetDescriptor, FileSetDescriptorNumber) == 44);
static_assert(offsetof(UDF_FileSetDescriptor, LogicalVolumeIdentifierCharacterSet) == 48);
static_assert(offsetof(UDF_FileSetDescriptor, LogicalVolumeIdentifier) == 112);
static_assert(offsetof(UDF_FileSetDescriptor, FileSetCharacterSet) == 240);
static_assert(offsetof(UDF_FileSetDescriptor, FileSetIdentifier) == 304);
static_assert(offsetof(UDF_FileSetDescriptor, RootDirectoryICB) == 400);
static_assert(offsetof(UDF_FileSetDescriptor, DomainIdentifier) == 416);
static_assert(offsetof(UDF_FileSetDescriptor, NextExtent) == 448);

size_t BuildFileSetDescriptor(uint8_t *dst, size_t dstLength, uint32_t location,
                              const UDF_Label &label, const UDF_TimeStamp &recorded,
                              uint32_t rootICBBlock);
std::optional<UDF_FileSetDescriptor> ParseFileSetDescriptor(const uint8_t *buf, size_t length,
                                                            uint32_t location);

// ---- File entry ----

struct UDF_ICBTag {
  le32 PriorRecordedNumberofDirectEntries;
  le16 StrategyType;
  le16 StrategyParameter;
  le16 MaximumNumberofEntries;
  uint8_t Reserved;
  uint8_t FileType;
  UDF_LBAddr ParentICBLocation;
  le16 Flags;
};
static_assert(sizeof(UDF_ICBTag) == 20 && offsetof(UDF_ICBTag, Flags) == 18);

// The fields a file entry and an extended file entry share, in the same places: both
// records start with it.
struct UDF_EntryHead {
  UDF_Tag DescriptorTag;
  UDF_ICBTag ICBTag;
  le32 Uid;
  le32 Gid;
  le32 Permissions;
  le16 FileLinkCount;
  uint8_t RecordFormat;
  uint8_t RecordDisplayAttributes;
  le32 RecordLength;
  le64 InformationLength;
};
static_assert(sizeof(UDF_EntryHead) == 64);
static_assert(offsetof(UDF_EntryHead, Uid) == 36 && offsetof(UDF_EntryHead, Permissions) == 44);
static_assert(offsetof(UDF_EntryHead, FileLinkCount) == 48);
static_assert(offsetof(UDF_EntryHead, RecordLength) == 52);
static_assert(offsetof(UDF_EntryHead, InformationLength) == 56);

struct UDF_FileEntryHeader {
  UDF_EntryHead Head;
  le64 LogicalBlocksRecorded;
  UDF_TimeStamp AccessTime;
  UDF_TimeStamp ModificationTime;
  UDF_TimeStamp AttributeTime;
  le32 Checkpoint;
  UDF_LongAD ExtendedAttributeICB;
  UDF_EntityID ImplementationIdentifier;
  le64 UniqueID;
  le32 LengthofExtendedAttributes;
  le32 LengthofAllocationDescriptors;
};
static_assert(sizeof(UDF_FileEntryHeader) == 176);
static_assert(offsetof(UDF_FileEntryHeader, LogicalBlocksRecorded) == 64);
static_assert(offsetof(UDF_FileEntryHeader, AccessTime) == 72);
static_assert(offsetof(UDF_FileEntryHeader, ModificationTime) == 84);
static_assert(offsetof(UDF_FileEntryHeader, AttributeTime) == 96);
static_assert(offsetof(UDF_FileEntryHeader, Checkpoint) == 108);
static_assert(offsetof(UDF_FileEntryHeader, ExtendedAttributeICB) == 112);
static_assert(offsetof(UDF_FileEntryHeader, ImplementationIdentifier) == 128);
static_assert(offsetof(UDF_FileEntryHeader, UniqueID) == 160);
static_assert(offsetof(UDF_FileEntryHeader, LengthofExtendedAttributes) == 168);
static_assert(offsetof(UDF_FileEntryHeader, LengthofAllocationDescriptors) == 172);

struct UDF_FileEntry {
  UDF_FileEntryHeader Header;
  UDF_ShortAD AllocationDescriptors[234];
};
static_assert(sizeof(UDF_FileEntry) == 2048);

// An extended file entry has the same fields and a few more; its descriptors start here.
inline constexpr uint32_t kExtendedFileEntryHeaderSize = 216;
// Where a file entry or an extended file entry records its implementation identifier.
inline constexpr uint32_t kEntryImplementationOffset = 128;
inline constexpr uint32_t kExtendedEntryImplementationOffset = 168;

inline constexpr uint8_t kFileTypeDirectory = 4;
inline constexpr uint8_t kFileTypeFile = 5;
inline constexpr uint16_t kICBFlagArchive = 0x0020;
inline constexpr uint16_t kICBFlagSystem = 0x0400;
inline constexpr uint32_t kPermissionsDirectory = 0x7FFF;
inline constexpr uint32_t kPermissionsFile = 0x7BDE;
inline constexpr uint32_t kPermissionsReadOnlyFile = 0x318C;
inline constexpr uint32_t kFileEntryADLength = 1872;
inline constexpr size_t kFileEntryMaxExtents = kFileEntryADLength / sizeof(UDF_ShortAD); // 234

// What a file entry records that varies; everything else is fixed by the builder.
struct FileEntryInfo {
  uint8_t FileType = kFileTypeFile;
  uint16_t ICBFlags = 0; // only kICBFlagArchive / kICBFlagSystem; descriptors are always short
  uint32_t Permissions = kPermissionsFile;
  uint64_t InformationLength = 0;
  uint64_t BlocksRecorded = 0; // logical blocks recorded
  UDF_TimeStamp AccessTime{};
  UDF_TimeStamp ModificationTime{};
  UDF_TimeStamp AttributeTime{};
  uint64_t UniqueID = 0;
  uint32_t Uid = 0xFFFFFFFFu; // owner and group; all ones when not recorded
  uint32_t Gid = 0xFFFFFFFFu;
  // The allocation descriptors up to the first of length 0; a last entry of type
  // kExtentNextDescriptors continues in an allocation extent descriptor.
  std::vector<UDF_ShortAD> Extents;
  // Filled by the parser only; the builder always records ours, one link, no extended
  // attributes and short descriptors.
  UDF_EntityID ImplementationIdentifier{};
  uint16_t LinkCount = 1;
  bool Extended = false;                 // an extended file entry
  uint32_t ExtendedAttributesLength = 0; // bytes of extended attributes before the descriptors
  uint32_t DescriptorOffset = 0;         // where the descriptors (or embedded data) start
  uint32_t DescriptorLength = 0;         // and their recorded length
  // Where the extended attributes start in the entry.
  uint32_t ExtendedAttributesOffset() const { return DescriptorOffset - ExtendedAttributesLength; }
};

// The descriptor form in the low three bits of the ICB flags.
inline constexpr uint16_t kICBFlagDescriptorMask = 7;
inline constexpr uint16_t kDescriptorsShort = 0;
inline constexpr uint16_t kDescriptorsLong = 1;
inline constexpr uint16_t kDescriptorsExtended = 2;
inline constexpr uint16_t kDescriptorsEmbedded = 3;

// An extended allocation descriptor (20 bytes, as other writers may record them): the extent
// length word (type in the top two bits), the bytes recorded and of information in it, and
// where it starts. This library reads them and never writes them.
inline constexpr size_t kExtendedADBytes = 20;
struct ExtendedADInfo {
  uint32_t ExtentLength = 0; // with the type bits
  uint32_t RecordedLength = 0;
  uint32_t InformationLength = 0;
  uint32_t Block = 0;
  uint16_t Partition = 0;
};
// Nothing when fewer than 20 bytes are given, or when the lengths contradict each other
// (more recorded than the extent holds).
std::optional<ExtendedADInfo> ParseExtendedAD(const uint8_t *buf, size_t length);

// A new directory: one descriptor of `dataLength` bytes at dataBlock, one block recorded.
FileEntryInfo NewDirectoryEntryInfo(const UDF_TimeStamp &created, uint64_t uniqueID,
                                    uint32_t dataBlock, uint32_t dataLength = 40);
// A new, empty file.
FileEntryInfo NewFileEntryInfo(const UDF_TimeStamp &created, uint64_t uniqueID, bool readOnly,
                               uint16_t icbFlags = 0);

// Fails (0) with more than 234 extents or with flags other than archive and system.
size_t BuildFileEntry(uint8_t *dst, size_t dstLength, uint32_t location, const FileEntryInfo &info);
// Reads a file entry or an extended file entry with short or long descriptors (returned as
// short ones; long ones must name partition 0) or with its data embedded (no extents; the
// data is the descriptor area). The descriptor area must lie inside the block and, when
// embedded, hold the information length.
std::optional<FileEntryInfo> ParseFileEntry(const uint8_t *buf, size_t length, uint32_t location);

// File types other systems record beside directories and files.
inline constexpr uint8_t kFileTypeBlockDevice = 6;
inline constexpr uint8_t kFileTypeCharDevice = 7;
inline constexpr uint8_t kFileTypeFifo = 9;
inline constexpr uint8_t kFileTypeSocket = 10;
inline constexpr uint8_t kFileTypeSymlink = 12;

// The device numbers of the device specification extended attribute (type 12, subtype 1)
// among the extended attributes of a file entry: `ea` is the area after the entry's fixed
// fields, starting with the extended attribute header descriptor. Nothing when the header is
// missing or no such attribute lies within the area.
struct DeviceNumbers {
  uint32_t Major = 0;
  uint32_t Minor = 0;
};
std::optional<DeviceNumbers> FindDeviceSpecification(const uint8_t *ea, size_t length);
// The extended attribute area of a device: the header descriptor (tagged for the entry at
// `location`) and one device specification attribute, kDeviceAttributesBytes long. Returns the
// bytes written, 0 when `length` is too short.
inline constexpr size_t kDeviceAttributesBytes = 48;
size_t BuildDeviceAttributes(uint8_t *dst, size_t length, uint32_t location, DeviceNumbers dev);

// ---- File identifier descriptor ----

struct UDF_FileIdentifierDescriptorHeader {
  UDF_Tag DescriptorTag;
  le16 FileVersionNumber;
  uint8_t FileCharacteristics;
  uint8_t LengthofFileIdentifier;
  UDF_LongAD ICB;
  le16 LengthofImplementationUse;
};
static_assert(sizeof(UDF_FileIdentifierDescriptorHeader) == 38);
static_assert(offsetof(UDF_FileIdentifierDescriptorHeader, FileCharacteristics) == 18);
static_assert(offsetof(UDF_FileIdentifierDescriptorHeader, ICB) == 20);
static_assert(offsetof(UDF_FileIdentifierDescriptorHeader, LengthofImplementationUse) == 36);

inline constexpr uint8_t kFileHidden = 0x01;
inline constexpr uint8_t kFileDirectory = 0x02;
inline constexpr uint8_t kFileDeleted = 0x04;
inline constexpr uint8_t kFileParent = 0x08;

// 38 + L_IU + L_FI rounded up to a multiple of 4.
inline constexpr uint32_t FileIdentifierDescriptorLength(uint32_t nameLength,
                                                         uint32_t implementationUseLength = 0) {
  return (38 + implementationUseLength + nameLength + 3) / 4 * 4;
}

// name: the compressed identifier (nameLength bytes, 0 for the parent entry). The ICB points
// at the file entry in icbBlock. Returns the padded total length.
size_t BuildFileIdentifierDescriptor(uint8_t *dst, size_t dstLength, uint32_t location,
                                     uint8_t characteristics, uint32_t icbBlock,
                                     const uint8_t *name, uint8_t nameLength);

struct FileIdentifierInfo {
  uint8_t Characteristics;
  UDF_LongAD ICB;
  uint16_t ImplementationUseLength;
  uint8_t NameLength;
  uint8_t Name[255];    // compressed, NameLength bytes used
  uint32_t TotalLength; // padded, as it occupies the directory
};

// The padded length the header at buf announces, without checking the tag: lets directory
// code gather a descriptor that continues into the next sector. 0 when fewer than 38 bytes.
uint32_t PeekFileIdentifierLength(const uint8_t *buf, size_t length);
// Checks the tag over exactly the descriptor's padded length, which must lie within length.
std::optional<FileIdentifierInfo> ParseFileIdentifierDescriptor(const uint8_t *buf, size_t length,
                                                                uint32_t location);

// ---- Allocation extent descriptor ----

struct UDF_AllocationExtentDescriptorHeader {
  UDF_Tag DescriptorTag;
  le32 PreviousAllocationExtentLocation;
  le32 LengthofAllocationDescriptors;
};
static_assert(sizeof(UDF_AllocationExtentDescriptorHeader) == 24);

inline constexpr uint32_t kAllocationExtentADLength = 2024;
inline constexpr size_t kAllocationExtentMaxExtents = kAllocationExtentADLength / 8; // 253

// Where the allocation descriptors of a file entry, extended file entry or allocation extent
// descriptor lie: from byte First, Length bytes (the recorded length), the length field at
// byte LengthField. Nothing when the buffer holds none of these or the area is outside it.
// Checks no tag: writers use it on blocks they build.
struct DescriptorArea {
  uint32_t First;
  uint32_t Length;
  uint32_t LengthField;
};
std::optional<DescriptorArea> DescriptorAreaOf(const uint8_t *buf, size_t length);
// Records a new length of the area in its length field.
void StoreDescriptorLength(uint8_t *buf, const DescriptorArea &area, uint32_t length);
// The partition a long descriptor at `ad` names.
uint16_t LongADPartition(const uint8_t *ad);

// A whole block; fails (0) with more than 253 extents.
size_t BuildAllocationExtentDescriptor(uint8_t *dst, size_t dstLength, uint32_t location,
                                       const UDF_ShortAD *extents, size_t count);
// The descriptors up to the first of length 0.
std::optional<std::vector<UDF_ShortAD>>
ParseAllocationExtentDescriptor(const uint8_t *buf, size_t length, uint32_t location);

} // namespace korva

#endif
