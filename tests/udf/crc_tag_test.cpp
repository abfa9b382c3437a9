#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "korva/udf.h"
#include "udf/byte_order.h"
#include "udf/common.h"
#include "udf/crc.h"
#include "udf/tag.h"

using namespace korva;

TEST(Crc, CheckValueAndTable) {
  EXPECT_EQ(CalculateCRC("123456789", 9), 0x31C3);
  EXPECT_EQ(CalculateCRC(nullptr, 0), 0);
  EXPECT_EQ(kCRCTable[0], 0x0000);
  EXPECT_EQ(kCRCTable[1], 0x1021);
  EXPECT_EQ(kCRCTable[255], 0x1EF0);
  const uint8_t a = 'A';
  EXPECT_EQ(CalculateCRC(&a, 1), 0x58E5);
}

// Every length and alignment folds to the CRC of the plain bitwise definition (the fast
// path takes eight bytes at a time, the rest one by one).
TEST(Crc, AgreesWithTheBitwiseDefinition) {
  std::vector<uint8_t> data(2100);
  uint32_t x = 12345;
  for (uint8_t &b : data)
    b = static_cast<uint8_t>((x = x * 1103515245u + 12345u) >> 16);
  auto bitwise = [](const uint8_t *p, uint32_t n) {
    uint16_t crc = 0;
    for (uint32_t i = 0; i < n; ++i) {
      crc = static_cast<uint16_t>(crc ^ (p[i] << 8));
      for (int bit = 0; bit < 8; ++bit)
        crc = static_cast<uint16_t>(crc & 0x8000 ? (crc << 1) ^ 0x1021 : crc << 1);
    }
    return crc;
  };
  for (uint32_t at = 0; at < 8; ++at)
    for (uint32_t n : {1u, 7u, 8u, 9u, 15u, 16u, 17u, 63u, 2032u, 2048u})
      EXPECT_EQ(CalculateCRC(data.data() + at, n), bitwise(data.data() + at, n)) << at << " " << n;
}

namespace {
std::vector<uint8_t> MakeDescriptor(uint16_t id, uint16_t crcLength, uint32_t location) {
  std::vector<uint8_t> d(16 + crcLength);
  for (size_t i = 16; i < d.size(); ++i)
    d[i] = uint8_t(i * 7 + 3);
  FillTagAt(d.data(), id, crcLength, location);
  return d;
}
} // namespace

TEST(Tag, FillTagLayout) {
  std::vector<uint8_t> d = MakeDescriptor(261, 2032, 1413);
  EXPECT_EQ(d[0] | (d[1] << 8), 261);
  EXPECT_EQ(d[2] | (d[3] << 8), 2);
  EXPECT_EQ(d[5], 0);
  EXPECT_EQ(d[6] | (d[7] << 8), 1);
  EXPECT_EQ(d[8] | (d[9] << 8), CalculateCRC(d.data() + 16, 2032));
  EXPECT_EQ(d[10] | (d[11] << 8), 2032);
  EXPECT_EQ(LoadLE32(d.data() + 12), 1413u);
  unsigned sum = 0;
  for (int i = 0; i < 16; ++i)
    if (i != 4) sum += d[i];
  EXPECT_EQ(d[4], uint8_t(sum));
  EXPECT_TRUE(IsTagValid(261, d.data(), d.size(), 1413));
}

TEST(Tag, AnyTamperingIsDetected) {
  const uint32_t loc = 300;
  const std::vector<uint8_t> good = MakeDescriptor(kTagPartition, 496, loc);
  ASSERT_TRUE(IsTagValid(kTagPartition, good.data(), good.size(), loc));
  EXPECT_FALSE(IsTagValid(kTagPartition, good.data(), good.size(), loc + 1));
  EXPECT_FALSE(IsTagValid(kTagPartition, good.data(), good.size(), loc - 1));
  EXPECT_FALSE(IsTagValid(kTagLogicalVolume, good.data(), good.size(), loc));

  // Every byte of the CRC region counts.
  for (size_t i = 16; i < good.size(); ++i) {
    std::vector<uint8_t> d = good;
    d[i] ^= 0x01;
    EXPECT_FALSE(IsTagValid(kTagPartition, d.data(), d.size(), loc)) << "byte " << i;
  }
  // Every tag byte but the checksum, changed without recomputing the checksum.
  for (size_t i = 0; i < 16; ++i) {
    if (i == 4) continue;
    std::vector<uint8_t> d = good;
    d[i] ^= 0x40;
    EXPECT_FALSE(IsTagValid(kTagPartition, d.data(), d.size(), loc)) << "tag byte " << i;
  }
  // The checksum byte itself.
  std::vector<uint8_t> d = good;
  d[4] ^= 0x01;
  EXPECT_FALSE(IsTagValid(kTagPartition, d.data(), d.size(), loc));
}

// Other writers record version 3 (NSR03, UDF 2.00 and later) and serial numbers of their
// own; a version neither edition of ECMA-167 defines is not a tag.
TEST(Tag, VersionTwoOrThreeAndAnySerialAccepted) {
  struct Variant {
    uint16_t version, serial;
    bool valid;
  } const variants[] = {{3, 1, true}, {2, 2, true}, {3, 0, true}, {1, 1, false}, {4, 1, false},
                        {0, 1, false}};
  for (const Variant &x : variants) {
    std::vector<uint8_t> d = MakeDescriptor(kTagAnchor, 496, 256);
    StoreLE16(d.data() + 2, x.version);
    StoreLE16(d.data() + 6, x.serial);
    d[4] = TagChecksum(d.data());
    EXPECT_EQ(IsTagValid(kTagAnchor, d.data(), d.size(), 256), x.valid)
        << x.version << "/" << x.serial;
  }
}

// A call that leaves out the location must not compile: as an overload, the sector form
// took the buffer's length for the location.
template <class... Args>
concept TagCheckAccepts = requires(Args... args) {
  IsTagValid(args...);
};
static_assert(TagCheckAccepts<uint16_t, const void *, size_t, uint32_t>);
static_assert(!TagCheckAccepts<uint16_t, const void *, size_t>);
static_assert(!TagCheckAccepts<uint16_t, const void *, uint32_t>);

TEST(Tag, CrcRegionBoundedByBuffer) {
  std::vector<uint8_t> d = MakeDescriptor(kTagFileEntry, 2032, 5);
  EXPECT_TRUE(IsTagValid(kTagFileEntry, d.data(), 2048, 5));
  EXPECT_TRUE(IsSectorTagValid(kTagFileEntry, d.data(), 5)); // whole-sector form
  EXPECT_FALSE(IsTagValid(kTagFileEntry, d.data(), 2047, 5));
  EXPECT_FALSE(IsTagValid(kTagFileEntry, d.data(), 15, 5));
  EXPECT_FALSE(IsTagValid(kTagFileEntry, nullptr, 2048, 5));

  // A tag claiming 0xFFFF bytes of CRC region inside a sector is refused, not read past.
  std::vector<uint8_t> s(2048, 0);
  const UDF_Tag t = FillTag(kTagFileEntry, s.data() + 16, 2032, 5);
  std::memcpy(s.data(), &t, 16);
  StoreLE16(s.data() + 10, 0xFFFF);
  s[4] = TagChecksum(s.data());
  EXPECT_FALSE(IsSectorTagValid(kTagFileEntry, s.data(), 5));

  // With CRC length 0 the stored CRC must be 0.
  d.assign(24, 0xAB);
  FillTagAt(d.data(), kTagSpaceBitmap, 0, 0);
  EXPECT_EQ(LoadLE16(d.data() + 8), 0);
  EXPECT_TRUE(IsTagValid(kTagSpaceBitmap, d.data(), 16, 0));
  StoreLE16(d.data() + 8, 0x1234); // a stored CRC over an empty region must be 0
  d[4] = TagChecksum(d.data());
  EXPECT_FALSE(IsTagValid(kTagSpaceBitmap, d.data(), 16, 0));
  const UDF_Tag negative = FillTag(kTagSpaceBitmap, d.data() + 16, -5, 0);
  EXPECT_EQ(uint16_t(negative.DescriptorCRCLength), 0);
}

TEST(Common, HigherOrderBits) {
  struct Case {
    uint8_t in;
    int count;
    uint8_t set, reset;
  } cases[] = {{0x00, 3, 0xE0, 0x00},  {0xFF, 3, 0xFF, 0x1F}, {0x5A, 0, 0x5A, 0x5A},
               {0x5A, -4, 0x5A, 0x5A}, {0x00, 9, 0xFF, 0x00}, {0xFF, 9, 0xFF, 0x00},
               {0x01, 8, 0xFF, 0x00},  {0x00, 1, 0x80, 0x00}, {0xFF, 7, 0xFF, 0x01}};
  for (const Case &c : cases) {
    uint8_t s = c.in, r = c.in;
    SetHigherOrderBits(s, c.count);
    ResetHigherOrderBits(r, c.count);
    EXPECT_EQ(s, c.set) << int(c.in) << "/" << c.count;
    EXPECT_EQ(r, c.reset) << int(c.in) << "/" << c.count;
  }
}

TEST(Common, ExtentTypeAndLength) {
  uint8_t type = 9;
  uint32_t length = 9;
  EXPECT_TRUE(ExtractExtentTypeAndLength(0xC0000800u, type, length));
  EXPECT_EQ(type, 3);
  EXPECT_EQ(length, 2048u);
  ExtractExtentTypeAndLength(0x7FFFFFFFu, type, length);
  EXPECT_EQ(type, 1);
  EXPECT_EQ(length, 0x3FFFFFFFu);
}

TEST(Common, Identity) {
  EXPECT_EQ(std::memcmp(ImplementationIdentifier, "*Quorrelstan KorvaUDF\0\0", 23), 0);
  const char *v = ::GetKORVAVersion();
  EXPECT_STREQ(v, korva::GetKORVAVersion());
  EXPECT_NE(std::strstr(v, "1.0.1"), nullptr);
  EXPECT_EQ(std::strpbrk(v, "\r\n"), nullptr); // it is written as one line of the trace log
}
