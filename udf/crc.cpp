#include "udf/crc.h"

namespace korva {
namespace {

// Slicing by eight: table k holds the CRC of a byte followed by k zero bytes, so eight bytes
// fold into the CRC with eight lookups and no dependency between them. Descriptors are
// checked on every read of an entry, which makes this the hot loop of large directories.
constexpr std::array<std::array<uint16_t, 256>, 8> MakeSlices() {
  std::array<std::array<uint16_t, 256>, 8> t{};
  t[0] = kCRCTable;
  for (int k = 1; k < 8; ++k)
    for (unsigned b = 0; b < 256; ++b)
      t[k][b] = static_cast<uint16_t>((t[k - 1][b] << 8) ^ kCRCTable[t[k - 1][b] >> 8]);
  return t;
}

constexpr std::array<std::array<uint16_t, 256>, 8> kSlices = MakeSlices();

} // namespace

uint16_t CalculateCRC(const void *data, uint32_t length) {
  const auto *p = static_cast<const uint8_t *>(data);
  uint16_t crc = 0;
  uint32_t i = 0;
  for (; i + 8 <= length; i += 8, p += 8) {
    crc = static_cast<uint16_t>(
        kSlices[7][(crc >> 8) ^ p[0]] ^ kSlices[6][(crc & 0xFF) ^ p[1]] ^ kSlices[5][p[2]] ^
        kSlices[4][p[3]] ^ kSlices[3][p[4]] ^ kSlices[2][p[5]] ^ kSlices[1][p[6]] ^
        kSlices[0][p[7]]);
  }
  for (; i < length; ++i, ++p)
    crc = static_cast<uint16_t>(kCRCTable[((crc >> 8) ^ *p) & 0xFF] ^ (crc << 8));
  return crc;
}

} // namespace korva
