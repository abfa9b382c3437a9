// Little-endian integer fields for byte-exact on-disc records. Each field is a plain byte
// array (alignment 1, no padding), so records built from them have exactly the on-disc
// layout on any host and can be copied to and from sector buffers with memcpy.
#ifndef KORVA_UDF_LE_H
#define KORVA_UDF_LE_H

#include <cstdint>
#include <type_traits>

namespace korva {

template <class T> struct LE {
  static_assert(std::is_integral_v<T>);
  uint8_t b[sizeof(T)];

  constexpr operator T() const {
    using U = std::make_unsigned_t<T>;
    U v = 0;
    for (unsigned i = 0; i < sizeof(T); ++i)
      v = static_cast<U>(v | (U(b[i]) << (8 * i)));
    return static_cast<T>(v);
  }
  constexpr LE &operator=(T value) {
    using U = std::make_unsigned_t<T>;
    const U v = static_cast<U>(value);
    for (unsigned i = 0; i < sizeof(T); ++i)
      b[i] = static_cast<uint8_t>(v >> (8 * i));
    return *this;
  }
};

using le16 = LE<uint16_t>;
using les16 = LE<int16_t>;
using le32 = LE<uint32_t>;
using le64 = LE<uint64_t>;

static_assert(sizeof(le16) == 2 && alignof(le16) == 1);
static_assert(sizeof(le32) == 4 && alignof(le32) == 1);
static_assert(sizeof(le64) == 8 && alignof(le64) == 1);
static_assert(std::is_trivially_copyable_v<le64> && std::is_standard_layout_v<le64>);

} // namespace korva

#endif
