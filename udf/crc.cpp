#include "udf/crc.h"

namespace korva {

uint16_t CalculateCRC(const void *data, uint32_t length) {
  const auto *p = static_cast<const uint8_t *>(data);
  uint16_t crc = 0;
  for (uint32_t i = 0; i < length; ++i)
    crc = static_cast<uint16_t>(kCRCTable[((crc >> 8) ^ p[i]) & 0xFF] ^ (crc << 8));
  return crc;
}

} // namespace korva
