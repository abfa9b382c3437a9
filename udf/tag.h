// The 16-byte descriptor tag that heads every descriptor, and its checks.
#ifndef KORVA_UDF_TAG_H
#define KORVA_UDF_TAG_H

#include <cstddef>
#include <cstdint>

#include "udf/le.h"

namespace korva {

inline constexpr uint32_t kSectorSize = 2048;

// Tag identifiers this library writes or expects.
enum TagIdentifier : uint16_t {
  kTagSparingTable = 0,
  kTagPrimaryVolume = 1,
  kTagAnchor = 2,
  kTagImplementationUse = 4,
  kTagPartition = 5,
  kTagLogicalVolume = 6,
  kTagUnallocatedSpace = 7,
  kTagTerminating = 8,
  kTagIntegrity = 9,
  kTagFileSet = 256,
  kTagFileIdentifier = 257,
  kTagAllocationExtent = 258,
  kTagFileEntry = 261,
  kTagSpaceBitmap = 264,
  kTagExtendedFileEntry = 266,
};

struct UDF_Tag {
  le16 TagIdentifier;
  le16 DescriptorVersion;
  uint8_t TagChecksum;
  uint8_t Reserved;
  le16 TagSerialNumber;
  le16 DescriptorCRC;
  le16 DescriptorCRCLength;
  le32 TagLocation;
};
static_assert(sizeof(UDF_Tag) == 16);
static_assert(offsetof(UDF_Tag, TagChecksum) == 4 && offsetof(UDF_Tag, TagSerialNumber) == 6);
static_assert(offsetof(UDF_Tag, DescriptorCRC) == 8 && offsetof(UDF_Tag, TagLocation) == 12);

// Sum of tag bytes 0-3 and 5-15, modulo 256.
uint8_t TagChecksum(const void *tag);

// Builds a tag (version 2, serial number 1) for a descriptor whose body is complete. `data`
// points at byte 16 of the descriptor, the first byte of the CRC region. Only the low 16 bits
// of crcLength are recorded (a negative length counts as 0), and the CRC covers exactly the
// recorded length, so the tag always agrees with itself.
UDF_Tag FillTag(int32_t tagIdentifier, const void *data, int32_t crcLength, int32_t location);

// Builds the tag in place: computes it over descriptor + 16 and stores it at descriptor[0].
void FillTagAt(void *descriptor, uint16_t tagIdentifier, uint16_t crcLength, uint32_t location);

// Checks a descriptor read from the medium: identifier, version 2 or 3, location, checksum
// and CRC (any serial number). `length` is how many bytes are readable at `descriptor`; a tag whose CRC
// region runs past them is invalid.
bool IsTagValid(uint16_t tagIdentifier, const void *descriptor, size_t length, uint32_t location);

// The same for a descriptor at the start of a whole sector buffer. A name of its own: as an
// overload, a call that forgot the location would pass its length as the location.
inline bool IsSectorTagValid(uint16_t tagIdentifier, const void *sector, uint32_t location) {
  return IsTagValid(tagIdentifier, sector, kSectorSize, location);
}

} // namespace korva

#endif
