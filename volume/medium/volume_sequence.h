// The one reading of a volume's anchors and volume descriptor sequences, shared by the mount
// and the check so that both agree on what is damaged. A damaged copy is survived as
// ECMA-167 intends: the anchors at 256 and N - 256 (and N) point at the same sequences, and
// the reserve sequence repeats the main one. What is wrong with each copy is returned as a
// list of violations; repair rewrites the damaged copies from the good ones.
#ifndef KORVA_VOLUME_MEDIUM_VOLUME_SEQUENCE_H
#define KORVA_VOLUME_MEDIUM_VOLUME_SEQUENCE_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "korva/volume.h"
#include "udf/descriptors.h"
#include "udf/partition_maps.h"
#include "udf/tag.h"
#include "volume/medium/block_space.h"
#include "volume/status.h"

namespace korva {

inline constexpr uint32_t kMainAnchorSector = 256;
inline constexpr uint32_t kMaxSequenceSectors = 16;

struct VolumeGeometry {
  uint32_t AnchorSector = 0; // the anchor the sequences were found from
  uint32_t MainVDS = 0, MainVDSSectors = 0;
  uint32_t ReserveVDS = 0, ReserveVDSSectors = 0;
  bool FromReserve = false; // the main sequence is damaged; the reserve was read
  uint32_t PartitionStart = 0, PartitionLength = 0;
  uint32_t BitmapBlock = 0, BitmapBlocks = 0;
  uint32_t FileSetBlock = 0;
  uint32_t IntegritySector = 0;
  uint32_t SparingTable1 = 0, SparingTable2 = 0;
  uint32_t SparingTableBytes = 0, SparingPacketLength = 0;
  // The logical block size: another writer's may be smaller than a sector (AnchorSector then
  // counts blocks of this size).
  uint32_t BlockBytes = kSectorSize;
  uint8_t VolumeIdentifier[32] = {};
  // The image ends before its partition does (it was cut short after its last used block).
  bool Shortened = false;
};

// A copy of a structure that is damaged or missing. Bytes, when given, are what repair
// writes at Sector (Count sectors) to mend it from the good copy.
struct SequenceViolation {
  uint32_t Sector = 0;
  std::string Text;
  uint32_t Count = 0;
  std::vector<uint8_t> Bytes;
  uint32_t MediumSectors = 0; // when writing the copy makes an image this long (else 0)
};

struct SequenceReading {
  enum Outcome { Ok, ReadFailed, Foreign, Damaged };
  Outcome Result = Damaged;
  std::string Why; // for ReadFailed, Foreign and Damaged: what stopped the reading
  uint32_t WhySector = 0;
  VolumeGeometry Geometry;
  std::vector<SequenceViolation> Violations; // copies the volume survives
};

// An implementation identifier as text (printable ASCII, '?' for anything else).
std::string IdentifierText(const UDF_EntityID &id);

// Reads the recognition sequence, the anchors and both descriptor sequences of the medium
// on the record (TotalSectors, PacketBlocks and ImageMode set). Ok when one anchor and one
// complete sequence of this library were read and their geometry fits the medium.
SequenceReading ReadVolumeSequence(TUDFRewritableVolume &v);

// The descriptors of another writer's volume, as far as reading it needs them.
struct ForeignDescriptors {
  std::vector<UDF_PartitionDescriptor> Partitions;
  std::vector<PartitionMapInfo> Maps; // by partition reference number
  UDF_LongAD FileSet{};               // where the file set descriptor lies
  UDF_ExtentAD Integrity{};
  uint16_t Revision = 0; // the UDF revision the logical volume declares, 0 when none
  std::string Writer;    // the implementation identifier of the logical volume descriptor
  uint8_t VolumeIdentifier[32] = {};
  uint32_t BlockBytes = kSectorSize; // the logical block size
};

// Reads logical block `block` of `blockBytes` bytes (512 to kMaxBlockBytes) from the medium's
// sectors into buf (at least a sector and the block; zeros after the block). False when it
// cannot be read or lies past the medium.
bool ReadMediumBlock(TUDFRewritableVolume &v, uint32_t blockBytes, uint64_t block, uint8_t *buf);
// Reads n bytes from byte `at` of the medium into dst.
bool ReadMediumBytes(TUDFRewritableVolume &v, uint64_t at, size_t n, uint8_t *dst);
// The blocks of that size the medium holds.
uint64_t MediumBlocks(const TUDFRewritableVolume &v, uint32_t blockBytes);
// The bytes the medium holds: an image file's whole size, even where its last sector is
// partial (blocks smaller than a sector are read there too).
uint64_t MediumBytes(const TUDFRewritableVolume &v);
// Reads sector `sector` of an image file that ends inside it (past its whole sectors): the
// bytes the file holds, zeros after them; the read error on a failure.
Status ReadImageTail(TUDFRewritableVolume &v, uint32_t sector, uint8_t *dest);

// Reads the main descriptor sequence that the anchor in block anchorBlock (of blockBytes)
// points at (the reserve one when the main one lacks a partition or logical volume
// descriptor), following volume descriptor pointers. Nothing, with why set, when neither
// holds a usable logical volume of that block size.
std::optional<ForeignDescriptors> ReadForeignDescriptors(TUDFRewritableVolume &v,
                                                         uint32_t anchorBlock,
                                                         uint32_t blockBytes, std::string &why);

} // namespace korva

#endif
