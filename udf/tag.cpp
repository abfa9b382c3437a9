#include "udf/tag.h"

#include <cstring>

#include "udf/crc.h"

namespace korva {

uint8_t TagChecksum(const void *tag) {
  const auto *p = static_cast<const uint8_t *>(tag);
  unsigned sum = 0;
  for (int i = 0; i < 16; ++i)
    if (i != 4) sum += p[i];
  return static_cast<uint8_t>(sum);
}

UDF_Tag FillTag(int32_t tagIdentifier, const void *data, int32_t crcLength, int32_t location) {
  UDF_Tag tag{};
  // A negative length would otherwise wrap to a huge region.
  const auto recorded = static_cast<uint16_t>(crcLength < 0 ? 0 : crcLength);
  tag.TagIdentifier = static_cast<uint16_t>(tagIdentifier);
  tag.DescriptorVersion = 2;
  tag.TagSerialNumber = 1;
  tag.DescriptorCRCLength = recorded;
  tag.DescriptorCRC = CalculateCRC(data, recorded);
  tag.TagLocation = static_cast<uint32_t>(location);
  tag.TagChecksum = TagChecksum(&tag);
  return tag;
}

void FillTagAt(void *descriptor, uint16_t tagIdentifier, uint16_t crcLength, uint32_t location) {
  auto *p = static_cast<uint8_t *>(descriptor);
  const UDF_Tag tag = FillTag(tagIdentifier, p + 16, crcLength, static_cast<int32_t>(location));
  std::memcpy(p, &tag, sizeof tag);
}

bool IsTagValid(uint16_t tagIdentifier, const void *descriptor, size_t length, uint32_t location) {
  if (descriptor == nullptr || length < sizeof(UDF_Tag)) return false;
  UDF_Tag tag;
  std::memcpy(&tag, descriptor, sizeof tag);
  if (tag.TagIdentifier != tagIdentifier) return false;
  // Version 2 is ECMA-167's second edition (NSR02), 3 its third (NSR03, UDF 2.00 and
  // later). The serial number is whatever the writer chose; this library writes 1.
  if (tag.DescriptorVersion != 2 && tag.DescriptorVersion != 3) return false;
  if (tag.TagLocation != location) return false;
  if (tag.TagChecksum != TagChecksum(&tag)) return false;
  const uint16_t crcLength = tag.DescriptorCRCLength;
  if (size_t(crcLength) > length - sizeof(UDF_Tag)) return false;
  const auto *body = static_cast<const uint8_t *>(descriptor) + sizeof(UDF_Tag);
  return CalculateCRC(body, crcLength) == tag.DescriptorCRC;
}

} // namespace korva
