// The descriptor CRC: CRC-16 with polynomial 0x1021, initial value 0, no reflection and no
// final XOR (the CRC-16/XMODEM parameter set).
#ifndef KORVA_UDF_CRC_H
#define KORVA_UDF_CRC_H

#include <array>
#include <cstdint>

namespace korva {

namespace detail {
constexpr std::array<uint16_t, 256> MakeCRCTable() {
  std::array<uint16_t, 256> t{};
  for (unsigned i = 0; i < 256; ++i) {
    auto crc = static_cast<uint16_t>(i << 8);
    for (int bit = 0; bit < 8; ++bit)
      crc = static_cast<uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : (crc << 1));
    t[i] = crc;
  }
  return t;
}
} // namespace detail

// The 256-entry table indexed by the high byte of the running CRC.
inline constexpr std::array<uint16_t, 256> kCRCTable = detail::MakeCRCTable();

// CRC of `length` bytes at `data`; a length of 0 yields 0 (data may then be null).
uint16_t CalculateCRC(const void *data, uint32_t length);

} // namespace korva

#endif
