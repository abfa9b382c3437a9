#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "udf/byte_order.h"
#include "udf/common.h"
#include "udf/crc.h"
#include "udf/descriptors.h"
#include "udf/unicode.h"

using namespace korva;

namespace {

using Sector = std::vector<uint8_t>;

Sector NewSector(uint8_t fill = 0xCC) {
  return Sector(kSectorSize, fill);
}

UDF_Label Label(const std::u16string &text) {
  UDF_Label l;
  EXPECT_TRUE(MakeLabel(text, l));
  return l;
}

UDF_TimeStamp Stamp(int64_t seconds) {
  UDF_TimeStamp s{};
  udf_time_to_stamp(&s, seconds, 0);
  return s;
}

bool IsZero(const uint8_t *p, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (p[i] != 0) return false;
  return true;
}

bool HasEntity(const uint8_t *p, const char *ident, std::vector<uint8_t> suffix) {
  uint8_t want[32] = {};
  std::memcpy(want + 1, ident, std::strlen(ident));
  std::memcpy(want + 24, suffix.data(), suffix.size());
  return std::memcmp(p, want, 32) == 0;
}

bool HasImplEntity(const uint8_t *p) {
  return p[0] == 0 && std::memcmp(p + 1, ImplementationIdentifier, 23) == 0 && p[24] == 6 &&
         IsZero(p + 25, 7);
}

bool HasCharSpec(const uint8_t *p) {
  return p[0] == 0 && std::memcmp(p + 1, "OSTA Compressed Unicode", 23) == 0 && IsZero(p + 24, 40);
}

// Flipping any one byte inside the checked length makes the parser refuse; so does a short
// buffer or a wrong location.
template <class Parse>
void ExpectParserGuards(const Sector &good, size_t size, uint32_t location, Parse parse) {
  ASSERT_TRUE(parse(good.data(), good.size(), location).has_value());
  EXPECT_FALSE(parse(good.data(), size - 1, location).has_value());
  EXPECT_FALSE(parse(good.data(), good.size(), location + 1).has_value());
  EXPECT_FALSE(parse(nullptr, good.size(), location).has_value());
  for (size_t i : {size_t(0), size_t(5), size_t(16), size / 2, size - 1}) {
    Sector bad = good;
    bad[i] ^= 0x10;
    EXPECT_FALSE(parse(bad.data(), bad.size(), location).has_value()) << "byte " << i;
  }
}

} // namespace

TEST(Label, FitsAndRefuses) {
  UDF_Label l;
  ASSERT_TRUE(MakeLabel(u"ABCDEFGHIJKLMNO", l)); // 15 characters
  EXPECT_EQ(l.Length, 31);
  Sector s = NewSector();
  ASSERT_EQ(BuildPrimaryVolumeDescriptor(s.data(), s.size(), 272, l, Stamp(0), 0), 512u);
  const uint8_t *id = s.data() + 24;
  EXPECT_EQ(id[0], 16);
  EXPECT_EQ(id[29], 0);
  EXPECT_EQ(id[30], 'O');
  EXPECT_EQ(id[31], 31);

  EXPECT_FALSE(MakeLabel(u"ABCDEFGHIJKLMNOP", l)); // 16 characters do not fit
  EXPECT_EQ(l.Length, 0);

  ASSERT_TRUE(MakeLabel(u"", l));
  EXPECT_EQ(l.Length, 1);
  ASSERT_EQ(BuildFileSetDescriptor(s.data(), s.size(), 5, l, Stamp(0), 6), 512u);
  EXPECT_EQ(s[304], 16);
  EXPECT_EQ(s[304 + 31], 1);
  EXPECT_EQ(s[112 + 127], 1);

  std::u16string back;
  ASSERT_TRUE(MakeLabel(u"Backup 2026", l));
  BuildFileSetDescriptor(s.data(), s.size(), 5, l, Stamp(0), 6);
  EXPECT_TRUE(ReadDString(s.data() + 112, 128, back));
  EXPECT_EQ(back, u"Backup 2026");
  s[112 + 127] = 200; // a length past the field is refused
  EXPECT_FALSE(ReadDString(s.data() + 112, 128, back));
}

TEST(Descriptors, RecognitionSequence) {
  std::vector<uint8_t> b(3 * kSectorSize, 0xEE);
  ASSERT_EQ(BuildVolumeRecognitionSequence(b.data(), b.size()), 3 * kSectorSize);
  const char *ids[] = {"BEA01", "NSR02", "TEA01"};
  for (int i = 0; i < 3; ++i) {
    const uint8_t *s = b.data() + i * kSectorSize;
    EXPECT_EQ(s[0], 0);
    EXPECT_EQ(std::memcmp(s + 1, ids[i], 5), 0);
    EXPECT_EQ(s[6], 1);
    EXPECT_TRUE(IsZero(s + 7, kSectorSize - 7));
    EXPECT_TRUE(IsVolumeStructure(s, kSectorSize, ids[i]));
  }
  EXPECT_EQ(BuildVolumeRecognitionSequence(b.data(), b.size() - 1), 0u);
}

TEST(Descriptors, Anchor) {
  Sector s = NewSector();
  ASSERT_EQ(BuildAnchor(s.data(), s.size(), 256, 272, 288), 512u);
  EXPECT_TRUE(IsTagValid(kTagAnchor, s.data(), 256));
  EXPECT_EQ(LoadLE16(s.data() + 10), 496);
  EXPECT_EQ(LoadLE32(s.data() + 16), 32768u);
  EXPECT_EQ(LoadLE32(s.data() + 20), 272u);
  EXPECT_EQ(LoadLE32(s.data() + 24), 32768u);
  EXPECT_EQ(LoadLE32(s.data() + 28), 288u);
  EXPECT_TRUE(IsZero(s.data() + 32, kSectorSize - 32)); // reserved bytes and the sector tail
  ExpectParserGuards(s, 512, 256, ParseAnchor);
  EXPECT_EQ(
      uint32_t(ParseAnchor(s.data(), 512, 256)->ReserveVolumeDescriptorSequenceExtent.Location),
      288u);
  EXPECT_EQ(BuildAnchor(s.data(), 511, 256, 272, 288), 0u);
}

TEST(Descriptors, PrimaryVolume) {
  Sector s = NewSector();
  const UDF_TimeStamp t = Stamp(1234567890);
  ASSERT_EQ(BuildPrimaryVolumeDescriptor(s.data(), s.size(), 272, Label(u"Disc"), t, 0x1A2B3C4D),
            512u);
  const uint8_t *p = s.data();
  EXPECT_TRUE(IsTagValid(kTagPrimaryVolume, p, 272));
  EXPECT_EQ(LoadLE32(p + 16), 1u);
  EXPECT_EQ(LoadLE32(p + 20), 0u);
  EXPECT_EQ(p[24 + 31], 9);
  EXPECT_EQ(LoadLE16(p + 56), 1);
  EXPECT_EQ(LoadLE16(p + 58), 1);
  EXPECT_EQ(LoadLE16(p + 60), 2);
  EXPECT_EQ(LoadLE16(p + 62), 3);
  EXPECT_EQ(LoadLE32(p + 64), 1u);
  EXPECT_EQ(LoadLE32(p + 68), 1u);
  EXPECT_EQ(p[72], 8);
  EXPECT_EQ(std::memcmp(p + 73, "1A2B3C4DQuorrelstane", 20), 0);
  EXPECT_TRUE(IsZero(p + 93, 199 - 93));
  EXPECT_EQ(p[199], 21);
  EXPECT_TRUE(HasCharSpec(p + 200));
  EXPECT_TRUE(HasCharSpec(p + 264));
  EXPECT_TRUE(IsZero(p + 328, 48));
  EXPECT_EQ(std::memcmp(p + 376, &t, 12), 0);
  EXPECT_TRUE(HasImplEntity(p + 388));
  EXPECT_TRUE(IsZero(p + 420, kSectorSize - 420));
  ExpectParserGuards(s, 512, 272, ParsePrimaryVolumeDescriptor);
  EXPECT_TRUE(
      IsOurImplementation(ParsePrimaryVolumeDescriptor(p, 512, 272)->ImplementationIdentifier));
}

TEST(Descriptors, LogicalVolumeWithSparableMap) {
  Sector s = NewSector();
  const LogicalVolumeLayout layout{4, 304, 320, 1344, 1};
  ASSERT_EQ(BuildLogicalVolumeDescriptor(s.data(), s.size(), 273, Label(u"Vol"), layout), 504u);
  const uint8_t *p = s.data();
  EXPECT_TRUE(IsTagValid(kTagLogicalVolume, p, 273));
  EXPECT_EQ(LoadLE16(p + 10), 488);
  EXPECT_EQ(LoadLE32(p + 16), 2u);
  EXPECT_TRUE(HasCharSpec(p + 20));
  EXPECT_EQ(p[84], 16);
  EXPECT_EQ(p[84 + 127], 7);
  EXPECT_EQ(LoadLE32(p + 212), 2048u);
  EXPECT_TRUE(HasEntity(p + 216, "*OSTA UDF Compliant", {0x50, 0x01}));
  EXPECT_EQ(LoadLE32(p + 248), 2048u);
  EXPECT_EQ(LoadLE32(p + 252), 4u);
  EXPECT_EQ(LoadLE16(p + 256), 0);
  EXPECT_EQ(LoadLE32(p + 264), 64u);
  EXPECT_EQ(LoadLE32(p + 268), 1u);
  EXPECT_TRUE(HasImplEntity(p + 272));
  EXPECT_TRUE(IsZero(p + 304, 128));
  EXPECT_EQ(LoadLE32(p + 432), 8192u);
  EXPECT_EQ(LoadLE32(p + 436), 304u);
  const uint8_t *m = p + 440;
  EXPECT_EQ(m[0], 2);
  EXPECT_EQ(m[1], 64);
  EXPECT_TRUE(HasEntity(m + 4, "*UDF Sparable Partition", {0x50, 0x01, 6}));
  EXPECT_EQ(LoadLE16(m + 36), 1);
  EXPECT_EQ(LoadLE16(m + 38), 0);
  EXPECT_EQ(LoadLE16(m + 40), 32);
  EXPECT_EQ(m[42], 2);
  EXPECT_EQ(LoadLE32(m + 44), 64u);
  EXPECT_EQ(LoadLE32(m + 48), 320u);
  EXPECT_EQ(LoadLE32(m + 52), 1344u);
  EXPECT_TRUE(IsZero(p + 504, kSectorSize - 504));

  ExpectParserGuards(s, 504, 273, ParseLogicalVolumeDescriptor);
  auto info = ParseLogicalVolumeDescriptor(p, s.size(), 273);
  ASSERT_TRUE(info);
  EXPECT_TRUE(info->HasSparableMap);
  EXPECT_EQ(info->Type1Maps, 0u); // there is no type 1 map to find
  EXPECT_EQ(info->Type2Maps, 1u);
  EXPECT_EQ(uint32_t(info->Descriptor.PartitionMap.LocationsofSparingTables[1]), 1344u);
}

TEST(Descriptors, LogicalVolumeMapTableIsBounded) {
  Sector s = NewSector();
  BuildLogicalVolumeDescriptor(s.data(), s.size(), 273, Label(u"Vol"), {4, 304, 320, 1344, 1});
  auto retag = [](Sector &d, uint16_t crcLength) {
    FillTagAt(d.data(), kTagLogicalVolume, crcLength, 273);
  };
  // A map table reaching past the buffer.
  Sector big = s;
  StoreLE32(big.data() + 264, 4000);
  retag(big, 488);
  EXPECT_FALSE(ParseLogicalVolumeDescriptor(big.data(), big.size(), 273));
  // More maps announced than the table holds.
  Sector many = s;
  StoreLE32(many.data() + 268, 0xFFFFFFFFu);
  retag(many, 488);
  EXPECT_FALSE(ParseLogicalVolumeDescriptor(many.data(), many.size(), 273));
  // A map whose length byte is 0 would never advance.
  Sector zero = s;
  zero[441] = 0;
  retag(zero, 488);
  EXPECT_FALSE(ParseLogicalVolumeDescriptor(zero.data(), zero.size(), 273));
  // A type 1 map (6 bytes) instead of the sparable one: parsed, but no sparable map.
  Sector type1 = s;
  std::memset(type1.data() + 440, 0, 64);
  type1[440] = 1;
  type1[441] = 6;
  StoreLE32(type1.data() + 264, 6);
  retag(type1, 430);
  auto info = ParseLogicalVolumeDescriptor(type1.data(), type1.size(), 273);
  ASSERT_TRUE(info);
  EXPECT_EQ(info->Type1Maps, 1u);
  EXPECT_FALSE(info->HasSparableMap);
}

TEST(Descriptors, PartitionAndVolumeSequenceTail) {
  Sector s = NewSector();
  ASSERT_EQ(BuildPartitionDescriptor(s.data(), s.size(), 274, 1408, 49504, 4), 512u);
  const uint8_t *p = s.data();
  EXPECT_TRUE(IsTagValid(kTagPartition, p, 274));
  EXPECT_EQ(LoadLE32(p + 16), 3u);
  EXPECT_EQ(LoadLE16(p + 20), 1);
  EXPECT_EQ(LoadLE16(p + 22), 0);
  EXPECT_TRUE(HasEntity(p + 24, "+NSR02", {0x50, 0x01, 6}));
  EXPECT_TRUE(IsZero(p + 56, 8));
  EXPECT_EQ(LoadLE32(p + 64), 4u * 2048);
  EXPECT_EQ(LoadLE32(p + 68), 0u);
  EXPECT_TRUE(IsZero(p + 72, 112));
  EXPECT_EQ(LoadLE32(p + 184), 4u);
  EXPECT_EQ(LoadLE32(p + 188), 1408u);
  EXPECT_EQ(LoadLE32(p + 192), 49504u);
  EXPECT_TRUE(HasImplEntity(p + 196));
  EXPECT_TRUE(IsZero(p + 228, kSectorSize - 228));
  ExpectParserGuards(s, 512, 274, ParsePartitionDescriptor);

  ASSERT_EQ(BuildUnallocatedSpaceDescriptor(s.data(), s.size(), 275), 24u);
  EXPECT_TRUE(IsTagValid(kTagUnallocatedSpace, p, 275));
  EXPECT_EQ(LoadLE16(p + 10), 8);
  EXPECT_EQ(LoadLE32(p + 16), 4u);
  EXPECT_EQ(LoadLE32(p + 20), 0u);
  EXPECT_TRUE(IsZero(p + 24, kSectorSize - 24));

  ASSERT_EQ(BuildImplementationUseVolumeDescriptor(s.data(), s.size(), 276, Label(u"AB")), 512u);
  EXPECT_TRUE(IsTagValid(kTagImplementationUse, p, 276));
  EXPECT_EQ(LoadLE32(p + 16), 5u);
  EXPECT_TRUE(HasEntity(p + 20, "*UDF LV Info", {0x50, 0x01, 6}));
  EXPECT_TRUE(HasCharSpec(p + 52));
  EXPECT_EQ(p[116], 16);
  EXPECT_EQ(p[116 + 127], 5);
  EXPECT_TRUE(IsZero(p + 244, 108));
  EXPECT_TRUE(HasImplEntity(p + 352));
  EXPECT_TRUE(IsZero(p + 384, kSectorSize - 384));
  ExpectParserGuards(s, 512, 276, ParseImplementationUseVolumeDescriptor);

  ASSERT_EQ(BuildTerminatingDescriptor(s.data(), s.size(), 277), 512u);
  EXPECT_TRUE(IsTagValid(kTagTerminating, p, 277));
  EXPECT_EQ(LoadLE16(p + 10), 496);
  EXPECT_TRUE(IsZero(p + 16, kSectorSize - 16));
}

TEST(Descriptors, Integrity) {
  Sector s = NewSector();
  IntegrityInfo in{Stamp(1000), itOpen, 16, 49497, 49504, 0, 1};
  ASSERT_EQ(BuildIntegrityDescriptor(s.data(), s.size(), 304, in), 134u);
  const uint8_t *p = s.data();
  EXPECT_TRUE(IsTagValid(kTagIntegrity, p, 304));
  EXPECT_EQ(LoadLE16(p + 10), 118);
  EXPECT_EQ(std::memcmp(p + 16, &in.Recorded, 12), 0);
  EXPECT_EQ(LoadLE32(p + 28), 0u);
  EXPECT_TRUE(IsZero(p + 32, 8));
  EXPECT_EQ(LoadLE64(p + 40), 16u);
  EXPECT_TRUE(IsZero(p + 48, 24));
  EXPECT_EQ(LoadLE32(p + 72), 1u);
  EXPECT_EQ(LoadLE32(p + 76), 46u);
  EXPECT_EQ(LoadLE32(p + 80), 49497u);
  EXPECT_EQ(LoadLE32(p + 84), 49504u);
  EXPECT_TRUE(HasImplEntity(p + 88));
  EXPECT_EQ(LoadLE32(p + 120), 0u);
  EXPECT_EQ(LoadLE32(p + 124), 1u);
  EXPECT_EQ(LoadLE16(p + 128), 0x0150);
  EXPECT_EQ(LoadLE16(p + 130), 0x0150);
  EXPECT_EQ(LoadLE16(p + 132), 0x0150);
  EXPECT_TRUE(IsZero(p + 134, kSectorSize - 134));
  ExpectParserGuards(s, 134, 304, ParseIntegrityDescriptor);

  in.IntegrityType = itClose;
  in.NextUniqueID = 0x123456789ull;
  in.Files = 7;
  BuildIntegrityDescriptor(s.data(), s.size(), 304, in);
  auto d = ParseIntegrityDescriptor(p, s.size(), 304);
  ASSERT_TRUE(d);
  EXPECT_EQ(uint32_t(d->IntegrityType), uint32_t(itClose));
  EXPECT_EQ(uint64_t(d->NextUniqueID), 0x123456789ull);
  EXPECT_EQ(uint32_t(d->NumberOfFiles), 7u);

  // Two partitions, or an implementation use area too short for our fields, are not ours.
  Sector two = s;
  StoreLE32(two.data() + 72, 2);
  FillTagAt(two.data(), kTagIntegrity, 118, 304);
  EXPECT_FALSE(ParseIntegrityDescriptor(two.data(), two.size(), 304));
  Sector shortIU = s;
  StoreLE32(shortIU.data() + 76, 20);
  FillTagAt(shortIU.data(), kTagIntegrity, 118, 304);
  EXPECT_FALSE(ParseIntegrityDescriptor(shortIU.data(), shortIU.size(), 304));
}

TEST(Descriptors, SparingTable) {
  Sector s = NewSector();
  ASSERT_EQ(BuildSparingTable(s.data(), s.size(), 320, 1376, 1), 64u);
  const uint8_t *p = s.data();
  EXPECT_TRUE(IsTagValid(kTagSparingTable, p, 320));
  EXPECT_EQ(LoadLE16(p + 0), 0);
  EXPECT_EQ(LoadLE16(p + 10), 48);
  EXPECT_TRUE(HasEntity(p + 16, "*UDF Sparing Table", {0x50, 0x01, 6}));
  EXPECT_EQ(LoadLE16(p + 48), 1);
  EXPECT_EQ(LoadLE32(p + 52), 0u);
  EXPECT_EQ(LoadLE32(p + 56), 0xFFFFFFFFu);
  EXPECT_EQ(LoadLE32(p + 60), 1376u);
  EXPECT_TRUE(IsZero(p + 64, kSectorSize - 64));
  ExpectParserGuards(s, 64, 320, ParseSparingTable);

  ASSERT_EQ(BuildSparingTable(s.data(), s.size(), 9, 1000, 3), 80u);
  auto t = ParseSparingTable(p, s.size(), 9);
  ASSERT_TRUE(t);
  ASSERT_EQ(t->Entries.size(), 3u);
  EXPECT_EQ(uint32_t(t->Entries[2].MappedLocation), 1064u); // spare packets are 32 blocks apart
  // An entry count reaching past the buffer is refused.
  StoreLE16(s.data() + 48, 5000);
  FillTagAt(s.data(), kTagSparingTable, 64, 9);
  EXPECT_FALSE(ParseSparingTable(p, s.size(), 9));
}

TEST(Descriptors, SpaceBitmap) {
  const uint32_t bits = 13;
  const uint8_t bitmap[2] = {0xF0, 0xFF};
  Sector s = NewSector();
  ASSERT_EQ(BuildSpaceBitmapDescriptor(s.data(), s.size(), 0, bitmap, bits), 26u);
  const uint8_t *p = s.data();
  EXPECT_TRUE(IsTagValid(kTagSpaceBitmap, p, 0));
  EXPECT_EQ(LoadLE16(p + 8), 0); // CRC 0 over CRC length 0
  EXPECT_EQ(LoadLE16(p + 10), 0);
  EXPECT_EQ(LoadLE32(p + 16), 13u);
  EXPECT_EQ(LoadLE32(p + 20), 2u);
  EXPECT_EQ(p[24], 0xF0);
  EXPECT_EQ(p[25], 0x1F); // the three bits past the partition end are recorded as in use
  EXPECT_TRUE(IsZero(p + 26, kSectorSize - 26));
  auto h = ParseSpaceBitmapHeader(p, s.size(), 0);
  ASSERT_TRUE(h);
  EXPECT_EQ(uint32_t(h->NumberOfBits), 13u);
  EXPECT_FALSE(ParseSpaceBitmapHeader(p, s.size(), 1));

  Sector bad = s;
  StoreLE32(bad.data() + 20, 3); // byte count that disagrees with the bit count
  FillTagAt(bad.data(), kTagSpaceBitmap, 0, 0);
  EXPECT_FALSE(ParseSpaceBitmapHeader(bad.data(), bad.size(), 0));

  EXPECT_EQ(SpaceBitmapSectors(49504), 4u);
  EXPECT_EQ(SpaceBitmapSectors(293504), 18u);
  EXPECT_EQ(SpaceBitmapSectors(8 * (2048 - 24)), 1u);
  EXPECT_EQ(SpaceBitmapSectors(8 * (2048 - 24) + 1), 2u);

  // A bitmap over several sectors: the tail of the last one is cleared.
  std::vector<uint8_t> big(SpaceBitmapBytes(49504), 0xFF);
  std::vector<uint8_t> out(4 * kSectorSize, 0xAA);
  ASSERT_EQ(BuildSpaceBitmapDescriptor(out.data(), out.size(), 0, big.data(), 49504), 24u + 6188u);
  EXPECT_TRUE(IsZero(out.data() + 24 + 6188, out.size() - 24 - 6188));
  EXPECT_EQ(BuildSpaceBitmapDescriptor(out.data(), 24 + 6187, 0, big.data(), 49504), 0u);
}

TEST(Descriptors, FileSet) {
  Sector s = NewSector();
  const UDF_TimeStamp t = Stamp(99);
  ASSERT_EQ(BuildFileSetDescriptor(s.data(), s.size(), 4, Label(u"Files"), t, 5), 512u);
  const uint8_t *p = s.data();
  EXPECT_TRUE(IsTagValid(kTagFileSet, p, 4));
  EXPECT_EQ(std::memcmp(p + 16, &t, 12), 0);
  EXPECT_EQ(LoadLE16(p + 28), 3);
  EXPECT_EQ(LoadLE16(p + 30), 3);
  EXPECT_EQ(LoadLE32(p + 32), 1u);
  EXPECT_EQ(LoadLE32(p + 36), 1u);
  EXPECT_EQ(LoadLE32(p + 40), 0u);
  EXPECT_EQ(LoadLE32(p + 44), 0u);
  EXPECT_TRUE(HasCharSpec(p + 48));
  EXPECT_EQ(p[112 + 127], 11);
  EXPECT_TRUE(HasCharSpec(p + 240));
  EXPECT_EQ(p[304 + 31], 11);
  EXPECT_TRUE(IsZero(p + 336, 64));
  EXPECT_EQ(LoadLE32(p + 400), 2048u);
  EXPECT_EQ(LoadLE32(p + 404), 5u);
  EXPECT_EQ(LoadLE16(p + 408), 0);
  EXPECT_TRUE(HasEntity(p + 416, "*OSTA UDF Compliant", {0x50, 0x01}));
  EXPECT_TRUE(IsZero(p + 448, kSectorSize - 448));
  ExpectParserGuards(s, 512, 4, ParseFileSetDescriptor);
}

TEST(Descriptors, FileEntries) {
  Sector s = NewSector();
  const UDF_TimeStamp t = Stamp(5000);
  ASSERT_EQ(BuildFileEntry(s.data(), s.size(), 5, NewDirectoryEntryInfo(t, 0, 6)), 2048u);
  const uint8_t *p = s.data();
  EXPECT_TRUE(IsTagValid(kTagFileEntry, p, 5));
  EXPECT_EQ(LoadLE16(p + 10), 2032);
  EXPECT_EQ(LoadLE32(p + 16), 0u);
  EXPECT_EQ(LoadLE16(p + 20), 4);
  EXPECT_EQ(LoadLE16(p + 22), 0);
  EXPECT_EQ(LoadLE16(p + 24), 1);
  EXPECT_EQ(p[27], 4);
  EXPECT_TRUE(IsZero(p + 28, 6));
  EXPECT_EQ(LoadLE16(p + 34), 0);
  EXPECT_EQ(LoadLE32(p + 36), 0xFFFFFFFFu);
  EXPECT_EQ(LoadLE32(p + 40), 0xFFFFFFFFu);
  EXPECT_EQ(LoadLE32(p + 44), 0x7FFFu);
  EXPECT_EQ(LoadLE16(p + 48), 1);
  EXPECT_EQ(LoadLE32(p + 52), 0u);
  EXPECT_EQ(LoadLE64(p + 56), 40u);
  EXPECT_EQ(LoadLE64(p + 64), 1u);
  EXPECT_EQ(std::memcmp(p + 72, &t, 12), 0);
  EXPECT_EQ(std::memcmp(p + 84, &t, 12), 0);
  EXPECT_EQ(std::memcmp(p + 96, &t, 12), 0);
  EXPECT_EQ(LoadLE32(p + 108), 1u);
  EXPECT_TRUE(IsZero(p + 112, 16));
  EXPECT_TRUE(HasImplEntity(p + 128));
  EXPECT_EQ(LoadLE64(p + 160), 0u);
  EXPECT_EQ(LoadLE32(p + 168), 0u);
  EXPECT_EQ(LoadLE32(p + 172), 1872u);
  EXPECT_EQ(LoadLE32(p + 176), 40u);
  EXPECT_EQ(LoadLE32(p + 180), 6u);
  EXPECT_TRUE(IsZero(p + 184, 2048 - 184));
  ExpectParserGuards(s, 2048, 5, ParseFileEntry);

  // A new read-only file with the archive flag.
  ASSERT_EQ(BuildFileEntry(s.data(), s.size(), 77,
                           NewFileEntryInfo(t, 16, true, kICBFlagArchive | kICBFlagSystem)),
            2048u);
  EXPECT_EQ(p[27], 5);
  EXPECT_EQ(LoadLE16(p + 34), 0x0420);
  EXPECT_EQ(LoadLE32(p + 44), 0x318Cu);
  EXPECT_EQ(LoadLE64(p + 56), 0u);
  EXPECT_EQ(LoadLE64(p + 64), 0u);
  EXPECT_EQ(LoadLE64(p + 160), 16u);
  EXPECT_EQ(LoadLE32(p + 172), 1872u);
  EXPECT_TRUE(IsZero(p + 176, 1872));

  // Round trip with many extents, the last one continuing elsewhere.
  FileEntryInfo info = NewFileEntryInfo(t, 42, false);
  for (uint32_t i = 0; i < 233; ++i)
    info.Extents.push_back(MakeShortAD(2048 * (i + 1), 100 + i));
  info.Extents.push_back(MakeShortAD(2048, 999, kExtentNextDescriptors));
  info.InformationLength = 123456789012ull;
  info.LogicalBlocksRecorded = 60282;
  info.ModificationTime = Stamp(7777);
  ASSERT_EQ(BuildFileEntry(s.data(), s.size(), 77, info), 2048u);
  auto back = ParseFileEntry(p, s.size(), 77);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->InformationLength, info.InformationLength);
  EXPECT_EQ(back->LogicalBlocksRecorded, 60282u);
  EXPECT_EQ(back->UniqueID, 42u);
  EXPECT_EQ(back->Permissions, kPermissionsFile);
  EXPECT_EQ(std::memcmp(&back->ModificationTime, &info.ModificationTime, 12), 0);
  EXPECT_TRUE(IsOurImplementation(back->ImplementationIdentifier));
  ASSERT_EQ(back->Extents.size(), 234u);
  EXPECT_EQ(ExtentLength(back->Extents[232]), 2048u * 233);
  EXPECT_EQ(ExtentTypeOf(back->Extents[233]), kExtentNextDescriptors);
  EXPECT_EQ(uint32_t(back->Extents[233].Position), 999u);

  info.Extents.push_back(MakeShortAD(2048, 1));
  EXPECT_EQ(BuildFileEntry(s.data(), s.size(), 77, info), 0u); // 235 do not fit
  FileEntryInfo longAD = NewFileEntryInfo(t, 1, false);
  longAD.ICBFlags = 1; // long allocation descriptors are not what we record
  EXPECT_EQ(BuildFileEntry(s.data(), s.size(), 77, longAD), 0u);
}

TEST(Descriptors, FileEntryAreasAreBounded) {
  Sector s = NewSector();
  BuildFileEntry(s.data(), s.size(), 5, NewDirectoryEntryInfo(Stamp(0), 0, 6));
  auto mutate = [&](size_t offset, uint32_t value, bool wide) {
    Sector d = s;
    if (wide)
      StoreLE32(d.data() + offset, value);
    else
      StoreLE16(d.data() + offset, uint16_t(value));
    FillTagAt(d.data(), kTagFileEntry, 2032, 5);
    return ParseFileEntry(d.data(), d.size(), 5);
  };
  EXPECT_FALSE(mutate(172, 1873, true));        // descriptors past the block
  EXPECT_FALSE(mutate(168, 0xFFFFFFF0u, true)); // huge extended attributes
  EXPECT_FALSE(mutate(172, 0xFFFFFFFFu, true));
  EXPECT_FALSE(mutate(34, 1, false)); // long allocation descriptors
  auto ea = mutate(168, 16, true);    // attributes push the descriptor area past the block
  EXPECT_FALSE(ea);
}

TEST(Descriptors, FileIdentifiers) {
  std::vector<uint8_t> b(64, 0xCC);
  // The root's parent entry: 40 bytes, CRC length 24, pointing at the root entry itself.
  ASSERT_EQ(BuildFileIdentifierDescriptor(b.data(), b.size(), 6, kFileDirectory | kFileParent, 5,
                                          nullptr, 0),
            40u);
  EXPECT_TRUE(IsTagValid(kTagFileIdentifier, b.data(), 40, 6));
  EXPECT_EQ(LoadLE16(b.data() + 10), 24);
  EXPECT_EQ(LoadLE16(b.data() + 16), 1);
  EXPECT_EQ(b[18], 0x0A);
  EXPECT_EQ(b[19], 0);
  EXPECT_EQ(LoadLE32(b.data() + 20), 2048u);
  EXPECT_EQ(LoadLE32(b.data() + 24), 5u);
  EXPECT_EQ(LoadLE16(b.data() + 28), 0);
  EXPECT_TRUE(IsZero(b.data() + 30, 10));
  EXPECT_EQ(b[40], 0xCC); // nothing written past the descriptor
  EXPECT_EQ(PeekFileIdentifierLength(b.data(), b.size()), 40u);
  Sector sector(b.begin(), b.end());
  ExpectParserGuards(sector, 40, 6, ParseFileIdentifierDescriptor);

  // Padding to a multiple of four for every name length.
  for (uint8_t n = 1; n < 12; ++n) {
    EXPECT_EQ(FileIdentifierDescriptorLength(n), (38u + n + 3) / 4 * 4);
    EXPECT_EQ(FileIdentifierDescriptorLength(n) % 4, 0u);
  }
  EXPECT_EQ(FileIdentifierDescriptorLength(2), 40u);
  EXPECT_EQ(FileIdentifierDescriptorLength(3), 44u);

  uint8_t name[64];
  const int32_t n = CompressUnicode(9, 16, u"notes.txt", name);
  ASSERT_EQ(n, 19);
  std::vector<uint8_t> d(80, 0xCC);
  ASSERT_EQ(BuildFileIdentifierDescriptor(d.data(), d.size(), 6, 0, 1234, name, uint8_t(n)), 60u);
  EXPECT_EQ(LoadLE16(d.data() + 10), 44);
  EXPECT_EQ(d[19], 19);
  EXPECT_EQ(std::memcmp(d.data() + 38, name, 19), 0);
  EXPECT_EQ(d[57], 0);
  EXPECT_EQ(d[59], 0);
  EXPECT_EQ(d[60], 0xCC);
  auto f = ParseFileIdentifierDescriptor(d.data(), d.size(), 6);
  ASSERT_TRUE(f);
  EXPECT_EQ(f->TotalLength, 60u);
  EXPECT_EQ(f->NameLength, 19);
  EXPECT_EQ(uint32_t(f->ICB.Location.LogicalBlockNumber), 1234u);
  EXPECT_TRUE(OSTACompressedUnicodeStrings_Matched(f->Name, f->NameLength, name, n));
  EXPECT_FALSE(ParseFileIdentifierDescriptor(d.data(), 59, 6)); // cut short
  EXPECT_EQ(BuildFileIdentifierDescriptor(d.data(), 59, 6, 0, 1, name, uint8_t(n)), 0u);

  // An implementation use area moves the name and counts in the length.
  std::vector<uint8_t> iu(64, 0);
  StoreLE16(iu.data() + 36, 4);
  iu[19] = 3;
  std::memcpy(iu.data() + 42, "\x08xy", 3);
  FillTagAt(iu.data(), kTagFileIdentifier, 48 - 16, 2);
  auto g = ParseFileIdentifierDescriptor(iu.data(), iu.size(), 2);
  ASSERT_TRUE(g);
  EXPECT_EQ(g->TotalLength, 48u);
  EXPECT_EQ(std::memcmp(g->Name, "\x08xy", 3), 0);
  // A huge implementation use length cannot make the parser read past the buffer.
  StoreLE16(iu.data() + 36, 0xFFFF);
  FillTagAt(iu.data(), kTagFileIdentifier, 48 - 16, 2);
  EXPECT_FALSE(ParseFileIdentifierDescriptor(iu.data(), iu.size(), 2));
}

TEST(Descriptors, AllocationExtent) {
  std::vector<UDF_ShortAD> ads;
  for (uint32_t i = 0; i < 253; ++i)
    ads.push_back(MakeShortAD(4096, 2 * i + 50));
  Sector s = NewSector();
  ASSERT_EQ(BuildAllocationExtentDescriptor(s.data(), s.size(), 88, ads.data(), 3), 2048u);
  const uint8_t *p = s.data();
  EXPECT_TRUE(IsTagValid(kTagAllocationExtent, p, 88));
  EXPECT_EQ(LoadLE16(p + 0), 258);
  EXPECT_EQ(LoadLE16(p + 10), 8);
  EXPECT_EQ(LoadLE32(p + 16), 0u);
  EXPECT_EQ(LoadLE32(p + 20), 2024u);
  EXPECT_EQ(LoadLE32(p + 24), 4096u);
  EXPECT_EQ(LoadLE32(p + 28), 50u);
  EXPECT_TRUE(IsZero(p + 48, 2000));
  auto back = ParseAllocationExtentDescriptor(p, s.size(), 88);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->size(), 3u);
  EXPECT_FALSE(ParseAllocationExtentDescriptor(p, s.size(), 89));
  EXPECT_FALSE(ParseAllocationExtentDescriptor(p, 23, 88));
  // The CRC covers only the header: the descriptors are not protected by it.
  ASSERT_EQ(BuildAllocationExtentDescriptor(s.data(), s.size(), 88, ads.data(), 253), 2048u);
  EXPECT_EQ(ParseAllocationExtentDescriptor(p, s.size(), 88)->size(), 253u);
  EXPECT_EQ(BuildAllocationExtentDescriptor(s.data(), s.size(), 88, ads.data(), 254), 0u);
  StoreLE32(s.data() + 20, 2025);
  FillTagAt(s.data(), kTagAllocationExtent, 8, 88);
  EXPECT_FALSE(ParseAllocationExtentDescriptor(p, s.size(), 88));
}
