// The partition maps of a logical volume as other writers record them (plain, sparable,
// virtual and metadata partitions), the virtual allocation table of write-once volumes, and
// the UDF revision a volume declares. This library writes one sparable map itself (see
// descriptors.h); these records let it read the volumes of others.
#ifndef KORVA_UDF_PARTITION_MAPS_H
#define KORVA_UDF_PARTITION_MAPS_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "udf/descriptors.h"

namespace korva {

struct UDF_Type1PartitionMap {
  uint8_t PartitionMapType; // 1
  uint8_t PartitionMapLength; // 6
  le16 VolumeSequenceNumber;
  le16 PartitionNumber;
};
static_assert(sizeof(UDF_Type1PartitionMap) == 6);

// The common head of every 64-byte type 2 map; what follows depends on the identifier.
struct UDF_Type2PartitionMap {
  uint8_t PartitionMapType; // 2
  uint8_t PartitionMapLength; // 64
  uint8_t Reserved1[2];
  UDF_EntityID PartitionTypeIdentifier;
  le16 VolumeSequenceNumber;
  le16 PartitionNumber;
  uint8_t TypeSpecific[24];
};
static_assert(sizeof(UDF_Type2PartitionMap) == 64);

struct UDF_SparableMapFields {
  le16 PacketLength;
  uint8_t NumberofSparingTables;
  uint8_t Reserved;
  le32 SizeofEachSparingTable;
  le32 LocationsofSparingTables[4];
};
static_assert(sizeof(UDF_SparableMapFields) == 24);

struct UDF_MetadataMapFields {
  le32 MetadataFileLocation;
  le32 MetadataMirrorFileLocation;
  le32 MetadataBitmapFileLocation;
  le32 AllocationUnitSize;
  le16 AlignmentUnitSize;
  uint8_t Flags;
  uint8_t Reserved[5];
};
static_assert(sizeof(UDF_MetadataMapFields) == 24);

enum class PartitionKind : uint8_t { Physical, Sparable, Virtual, Metadata, Unknown };

// One partition map as read. The fields of the other kinds are zero.
struct PartitionMapInfo {
  PartitionKind Kind = PartitionKind::Unknown;
  uint16_t PartitionNumber = 0; // the partition descriptor it refers to
  // Sparable
  uint16_t PacketLength = 0;
  uint32_t SparingTableBytes = 0;
  std::vector<uint32_t> SparingTables; // sectors
  // Metadata: blocks of the physical partition
  uint32_t MetadataFile = 0, MetadataMirror = 0;
  bool MetadataDuplicated = false;
};

// Reads `count` maps from a map table of `length` bytes (the logical volume descriptor's
// table). Nothing when a map overruns the table; an unrecognised type 2 map is Unknown.
std::optional<std::vector<PartitionMapInfo>> ParsePartitionMaps(const uint8_t *table,
                                                                size_t length, uint32_t count);

// The UDF revision a domain identifier declares (0x0150 for 1.50), or 0 when it is not the
// OSTA domain.
uint16_t DomainRevision(const UDF_EntityID &domain);
// "1.50", "2.01", ... for a revision number.
std::string RevisionText(uint16_t revision);

// The fixed head of a UDF 2.00+ virtual allocation table.
struct UDF_VatHeader {
  le16 LengthofHeader;
  le16 LengthofImplementationUse;
  uint8_t LogicalVolumeIdentifier[128];
  le32 PreviousVATICBLocation;
  le32 NumberofFiles;
  le32 NumberofDirectories;
  le16 MinimumUDFReadRevision;
  le16 MinimumUDFWriteRevision;
  le16 MaximumUDFWriteRevision;
  le16 Reserved;
};
static_assert(sizeof(UDF_VatHeader) == 152);

// File types of the entries that carry a volume's tables: a 2.00+ VAT (a 1.50 VAT's entry
// records type 0, unspecified), and the metadata partition's file and its mirror.
inline constexpr uint8_t kFileTypeUnspecified = 0;
inline constexpr uint8_t kFileTypeVat = 248;
inline constexpr uint8_t kFileTypeMetadata = 250;
inline constexpr uint8_t kFileTypeMetadataMirror = 251;
inline constexpr uint32_t kVatUnmapped = 0xFFFFFFFFu;

struct VatInfo {
  std::vector<uint32_t> Entries; // virtual block -> block of the physical partition
  bool HasCounts = false;        // the 2.00+ form records file and directory counts
  uint32_t Files = 0, Directories = 0;
};

// The table in a VAT file's `length` bytes of data. withHeader: the 2.00+ form (a header,
// then entries); otherwise the 1.50 form (entries, then the "*UDF Virtual Alloc Tbl"
// identifier and the previous table's location).
std::optional<VatInfo> ParseVat(const uint8_t *data, size_t length, bool withHeader);

} // namespace korva

#endif
