// Byte-order helpers: CDB and drive-response fields are big-endian on the wire,
// while on-disc UDF integers are little-endian whatever the host.
#ifndef KORVA_UDF_BYTE_ORDER_H
#define KORVA_UDF_BYTE_ORDER_H

#include <cstdint>
#include <cstring>

namespace korva {

// Swaps the two bytes of a 16-bit value.
constexpr uint16_t cew(uint16_t v) { return static_cast<uint16_t>((v >> 8) | (v << 8)); }

// Reverses the four bytes of a 32-bit value.
constexpr uint32_t cedw(uint32_t v) {
  return (v >> 24) | ((v >> 8) & 0x0000FF00u) | ((v << 8) & 0x00FF0000u) | (v << 24);
}

// Writes the 2 bytes at src to dst in reverse order (src and dst may be the same).
inline void CvtEndians2(const void *src, void *dst) {
  uint8_t b[2];
  std::memcpy(b, src, 2);
  const uint8_t r[2] = {b[1], b[0]};
  std::memcpy(dst, r, 2);
}

// Writes the 4 bytes at src to dst in reverse order (src and dst may be the same).
inline void CvtEndians4(const void *src, void *dst) {
  uint8_t b[4];
  std::memcpy(b, src, 4);
  const uint8_t r[4] = {b[3], b[2], b[1], b[0]};
  std::memcpy(dst, r, 4);
}

// Bit number `bit` (0 to 31) of value; any other bit number is false.
constexpr bool BitTest(uint32_t value, int bit) {
  return bit >= 0 && bit < 32 && ((value >> bit) & 1u) != 0;
}

// Big-endian loads and stores for drive responses and CDBs.
inline uint16_t LoadBE16(const uint8_t *p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
inline uint32_t LoadBE32(const uint8_t *p) {
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}
inline void StoreBE16(uint8_t *p, uint16_t v) {
  p[0] = uint8_t(v >> 8);
  p[1] = uint8_t(v);
}
inline void StoreBE32(uint8_t *p, uint32_t v) {
  p[0] = uint8_t(v >> 24);
  p[1] = uint8_t(v >> 16);
  p[2] = uint8_t(v >> 8);
  p[3] = uint8_t(v);
}

// Little-endian loads and stores for on-disc records.
inline uint16_t LoadLE16(const uint8_t *p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t LoadLE32(const uint8_t *p) {
  return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
inline uint64_t LoadLE64(const uint8_t *p) {
  return uint64_t(LoadLE32(p)) | (uint64_t(LoadLE32(p + 4)) << 32);
}
inline void StoreLE16(uint8_t *p, uint16_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
}
inline void StoreLE32(uint8_t *p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}
inline void StoreLE64(uint8_t *p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = uint8_t(v >> (8 * i));
}

} // namespace korva

#endif
