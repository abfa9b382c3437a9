#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "udf/byte_order.h"
#include "udf/common.h"
#include "udf/descriptors.h"
#include "udf/entry_record.h"
#include "udf/unicode.h"

using namespace korva;

namespace {

using Bytes = std::vector<uint8_t>;

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
  return std::all_of(p, p + n, [](uint8_t b) { return b == 0; });
}

bool HasEntity(const uint8_t *p, const char *ident, Bytes suffix) {
  uint8_t want[32] = {};
  std::memcpy(want + 1, ident, std::strlen(ident));
  std::memcpy(want + 24, suffix.data(), suffix.size());
  return std::memcmp(p, want, 32) == 0;
}

bool HasImplEntity(const uint8_t *p) {
  return HasEntity(p, "*Quorrelstan KorvaUDF", {6});
}

using Parser = std::function<bool(const uint8_t *, size_t, uint32_t)>;
template <class F> Parser P(F f) {
  return [f](const uint8_t *b, size_t n, uint32_t l) { return f(b, n, l).has_value(); };
}

// One row per descriptor: how it is built and what its tag and size must be.
struct Row {
  const char *name;
  uint16_t tag;
  size_t size;
  uint16_t crcLength;
  std::function<size_t(uint8_t *, size_t, uint32_t)> build;
  Parser parse; // empty when nothing reads it back
};

std::vector<Row> Rows() {
  const UDF_Label lab = Label(u"Vol");
  const UDF_TimeStamp t = Stamp(1796688000);
  const LogicalVolumeLayout lv{4, 304, 320, 1344, 1};
  const IntegrityInfo ii{t, itOpen, 16, 49497, 49504, 0, 1};
  static const uint8_t bitmap[2] = {0xF0, 0xFF};
  static const UDF_ShortAD ads[2] = {MakeShortAD(4096, 50), MakeShortAD(2048, 60)};
  using namespace std::placeholders;
  return {
      {"anchor", kTagAnchor, 512, 496, std::bind(BuildAnchor, _1, _2, _3, 272, 288),
       P(ParseAnchor)},
      {"primary", kTagPrimaryVolume, 512, 496,
       std::bind(BuildPrimaryVolumeDescriptor, _1, _2, _3, lab, t, 1796688000),
       P(ParsePrimaryVolumeDescriptor)},
      {"logical", kTagLogicalVolume, 504, 488,
       std::bind(BuildLogicalVolumeDescriptor, _1, _2, _3, lab, lv),
       P(ParseLogicalVolumeDescriptor)},
      {"partition", kTagPartition, 512, 496,
       std::bind(BuildPartitionDescriptor, _1, _2, _3, 1408, 49504, 4),
       P(ParsePartitionDescriptor)},
      {"unallocated",
       kTagUnallocatedSpace,
       24,
       8,
       std::bind(BuildUnallocatedSpaceDescriptor, _1, _2, _3),
       {}},
      {"impl use", kTagImplementationUse, 512, 496,
       std::bind(BuildImplementationUseVolumeDescriptor, _1, _2, _3, lab),
       P(ParseImplementationUseVolumeDescriptor)},
      {"terminating",
       kTagTerminating,
       512,
       496,
       std::bind(BuildTerminatingDescriptor, _1, _2, _3),
       {}},
      {"integrity", kTagIntegrity, 134, 118, std::bind(BuildIntegrityDescriptor, _1, _2, _3, ii),
       P(ParseIntegrityDescriptor)},
      {"sparing", kTagSparingTable, 64, 48, std::bind(BuildSparingTable, _1, _2, _3, 1376, 1),
       P(ParseSparingTable)},
      {"bitmap", kTagSpaceBitmap, 26, 8,
       std::bind(BuildSpaceBitmapDescriptor, _1, _2, _3, bitmap, 13),
       [](const uint8_t *b, size_t n, uint32_t l) {
         return ParseSpaceBitmapHeader(b, n, l).has_value();
       }},
      {"file set", kTagFileSet, 512, 496, std::bind(BuildFileSetDescriptor, _1, _2, _3, lab, t, 5),
       P(ParseFileSetDescriptor)},
      {"file entry", kTagFileEntry, 2048, 168,
       std::bind(BuildFileEntry, _1, _2, _3, NewDirectoryEntryInfo(t, 0, 6, 40)),
       P(ParseFileEntry)},
      {"parent fid", kTagFileIdentifier, 40, 24,
       std::bind(BuildFileIdentifierDescriptor, _1, _2, _3, kFileDirectory | kFileParent, 5,
                 nullptr, 0),
       P(ParseFileIdentifierDescriptor)},
      {"alloc extent", kTagAllocationExtent, 2048, 8,
       std::bind(BuildAllocationExtentDescriptor, _1, _2, _3, ads, 2),
       P(ParseAllocationExtentDescriptor)},
  };
}

} // namespace

// Every descriptor: its size, a tag that checks out at its location with the right CRC length,
// zeros after it to the end of its sector, a refusal when the buffer is too small, and a parser
// that accepts it and refuses it cut short, misplaced or with any byte changed.
TEST(Descriptors, TagsSizesAndParserGuards) {
  for (const Row &r : Rows()) {
    SCOPED_TRACE(r.name);
    Bytes s(kSectorSize, 0xCC);
    const uint32_t loc = 300;
    ASSERT_EQ(r.build(s.data(), s.size(), loc), r.size);
    EXPECT_EQ(LoadLE16(s.data()), r.tag);
    EXPECT_EQ(LoadLE16(s.data() + 10), r.crcLength);
    EXPECT_TRUE(IsTagValid(r.tag, s.data(), r.size, loc));
    if (r.tag != kTagFileIdentifier)
      EXPECT_TRUE(IsZero(s.data() + r.size, kSectorSize - r.size));
    else
      EXPECT_EQ(s[r.size], 0xCC); // identifiers share their sector with others
    Bytes small(r.size - 1, 0xCC);
    EXPECT_EQ(r.build(small.data(), small.size(), loc), 0u);
    if (!r.parse) continue;
    EXPECT_TRUE(r.parse(s.data(), s.size(), loc));
    // The bitmap header is read without the bitmap that follows it, descriptor lists without
    // the unused rest of their block.
    const auto area = DescriptorAreaOf(s.data(), s.size());
    const size_t needed = r.tag == kTagSpaceBitmap ? sizeof(UDF_SpaceBitmapHeader)
                          : area                   ? area->First + area->Length
                                                   : r.size;
    EXPECT_FALSE(r.parse(s.data(), needed - 1, loc));
    EXPECT_FALSE(r.parse(s.data(), s.size(), loc + 1));
    EXPECT_FALSE(r.parse(nullptr, s.size(), loc));
    for (size_t i : {size_t(0), size_t(5), size_t(16), size_t(16 + r.crcLength - 1)}) {
      if (i >= 16u + r.crcLength) continue; // not covered by the CRC
      Bytes bad = s;
      bad[i] ^= 0x10;
      EXPECT_FALSE(r.parse(bad.data(), bad.size(), loc)) << "byte " << i;
    }
  }
}

TEST(Descriptors, LabelsInIdentifierFields) {
  UDF_Label l;
  ASSERT_TRUE(MakeLabel(u"ABCDEFGHIJKLMNO", l)); // 15 characters: 31 bytes
  Bytes s(kSectorSize);
  BuildPrimaryVolumeDescriptor(s.data(), s.size(), 272, l, Stamp(0), 0x1A2B3C4D);
  EXPECT_EQ(s[24], 16);
  EXPECT_EQ(s[24 + 30], 'O');
  EXPECT_EQ(s[24 + 31], 31);
  EXPECT_EQ(std::memcmp(s.data() + 201, "OSTA Compressed Unicode", 23), 0);
  EXPECT_FALSE(MakeLabel(u"ABCDEFGHIJKLMNOP", l)); // 16 do not fit
  EXPECT_EQ(l.Length, 0);

  ASSERT_TRUE(MakeLabel(u"", l));
  BuildFileSetDescriptor(s.data(), s.size(), 5, l, Stamp(0), 6);
  EXPECT_EQ(s[304 + 31], 1); // the compression identifier alone
  EXPECT_EQ(s[112 + 127], 1);

  std::u16string back;
  BuildFileSetDescriptor(s.data(), s.size(), 5, Label(u"Backup 2026"), Stamp(0), 6);
  EXPECT_TRUE(ReadDString(s.data() + 112, 128, back));
  EXPECT_EQ(back, u"Backup 2026");
  s[112 + 127] = 200; // a length past the field
  EXPECT_FALSE(ReadDString(s.data() + 112, 128, back));
}

TEST(Descriptors, LogicalVolumeAndPartition) {
  Bytes s(kSectorSize);
  BuildLogicalVolumeDescriptor(s.data(), s.size(), 273, Label(u"Vol"), {4, 304, 320, 1344, 1});
  EXPECT_TRUE(HasEntity(s.data() + 216, "*OSTA UDF Compliant", {0x50, 0x01}));
  EXPECT_EQ(LoadLE32(s.data() + 252), 4u); // file set block
  const uint8_t *m = s.data() + 440;
  EXPECT_EQ(m[0], 2);
  EXPECT_EQ(m[1], 64);
  EXPECT_TRUE(HasEntity(m + 4, "*UDF Sparable Partition", {0x50, 0x01, 6}));
  EXPECT_EQ(LoadLE32(m + 44), 64u);
  auto info = ParseLogicalVolumeDescriptor(s.data(), s.size(), 273);
  ASSERT_TRUE(info);
  EXPECT_TRUE(info->HasSparableMap);
  EXPECT_EQ(info->Type1Maps, 0u);

  auto retag = [](Bytes d, size_t at, uint32_t v, uint16_t crc = 488) {
    StoreLE32(d.data() + at, v);
    FillTagAt(d.data(), kTagLogicalVolume, crc, 273);
    return ParseLogicalVolumeDescriptor(d.data(), d.size(), 273);
  };
  EXPECT_FALSE(retag(s, 264, 4000));        // map table past the buffer
  EXPECT_FALSE(retag(s, 268, 0xFFFFFFFFu)); // more maps than the table holds
  EXPECT_FALSE(retag(s, 440, 0x0002));      // a map of length 0 would never advance
  Bytes t1 = s;
  std::memset(t1.data() + 440, 0, 64);
  t1[440] = 1, t1[441] = 6;
  auto one = retag(t1, 264, 6, 430);
  ASSERT_TRUE(one);
  EXPECT_EQ(one->Type1Maps, 1u);
  EXPECT_FALSE(one->HasSparableMap);

  BuildPartitionDescriptor(s.data(), s.size(), 274, 1408, 49504, 4);
  EXPECT_TRUE(HasEntity(s.data() + 24, "+NSR02", {0x50, 0x01, 6}));
  EXPECT_EQ(LoadLE32(s.data() + 64), 4u * 2048); // bitmap extent, at block 0
}

TEST(Descriptors, IntegrityAndSparing) {
  Bytes s(kSectorSize);
  IntegrityInfo in{Stamp(1000), itClose, 0x123456789ull, 49497, 49504, 7, 1};
  BuildIntegrityDescriptor(s.data(), s.size(), 304, in);
  EXPECT_EQ(LoadLE64(s.data() + 40), 0x123456789ull);
  EXPECT_TRUE(HasImplEntity(s.data() + 88));
  EXPECT_EQ(LoadLE32(s.data() + 120), 7u);
  auto retag = [](Bytes d, size_t at, uint32_t v) {
    StoreLE32(d.data() + at, v);
    FillTagAt(d.data(), kTagIntegrity, 118, 304);
    return ParseIntegrityDescriptor(d.data(), d.size(), 304);
  };
  EXPECT_FALSE(retag(s, 72, 2));  // two partitions: not ours
  EXPECT_FALSE(retag(s, 76, 20)); // too short for our fields

  ASSERT_EQ(BuildSparingTable(s.data(), s.size(), 9, 1000, 3), 80u);
  EXPECT_TRUE(HasEntity(s.data() + 16, "*UDF Sparing Table", {0x50, 0x01, 6}));
  auto t = ParseSparingTable(s.data(), s.size(), 9);
  ASSERT_TRUE(t);
  ASSERT_EQ(t->Entries.size(), 3u);
  EXPECT_EQ(uint32_t(t->Entries[0].OriginalLocation), 0xFFFFFFFFu);
  EXPECT_EQ(uint32_t(t->Entries[2].MappedLocation), 1064u); // spare packets 32 blocks apart
  Bytes huge(SparingTableSize(8187));
  EXPECT_EQ(BuildSparingTable(huge.data(), huge.size(), 9, 1000, 8187), 0u);
  EXPECT_EQ(BuildSparingTable(huge.data(), huge.size(), 9, 1000, 8186), SparingTableSize(8186));
  StoreLE16(s.data() + 48, 5000);
  FillTagAt(s.data(), kTagSparingTable, 64, 9);
  EXPECT_FALSE(ParseSparingTable(s.data(), s.size(), 9));
}

TEST(Descriptors, SpaceBitmap) {
  Bytes s(kSectorSize, 0xCC);
  const uint8_t bitmap[2] = {0xF0, 0xFF};
  BuildSpaceBitmapDescriptor(s.data(), s.size(), 0, bitmap, 13);
  EXPECT_EQ(LoadLE32(s.data() + 16), 13u);
  EXPECT_EQ(LoadLE32(s.data() + 20), 2u);
  EXPECT_EQ(s[25], 0x1F); // bits past the partition end are recorded as in use
  StoreLE32(s.data() + 20, 3);
  FillTagAt(s.data(), kTagSpaceBitmap, 0, 0);
  EXPECT_FALSE(ParseSpaceBitmapHeader(s.data(), s.size(), 0));

  EXPECT_EQ(SpaceBitmapSectors(49504), 4u);
  EXPECT_EQ(SpaceBitmapSectors(293504), 18u);
  EXPECT_EQ(SpaceBitmapSectors(8 * (2048 - 24)), 1u);
  EXPECT_EQ(SpaceBitmapSectors(8 * (2048 - 24) + 1), 2u);
  Bytes big(SpaceBitmapBytes(49504), 0xFF), out(4 * kSectorSize, 0xAA);
  ASSERT_EQ(BuildSpaceBitmapDescriptor(out.data(), out.size(), 0, big.data(), 49504), 6212u);
  EXPECT_TRUE(IsZero(out.data() + 6212, out.size() - 6212)); // tail of the last sector
}

TEST(Descriptors, SpaceBitmapCRCCoversTheHeaderOnly) {
  // As mkudffs writes it and the kernel checks it: 8 bytes, whatever the bitmap's size, so
  // that bits changed by another system leave the descriptor sound.
  Bytes big(SpaceBitmapBytes(300000), 0xFF), out(SpaceBitmapSectors(300000) * kSectorSize);
  ASSERT_GT(BuildSpaceBitmapDescriptor(out.data(), out.size(), 7, big.data(), 300000), 0u);
  EXPECT_EQ(LoadLE16(out.data() + 10), kSpaceBitmapCRCLength);
  out[5000] ^= 0x10;
  EXPECT_TRUE(ParseSpaceBitmapHeader(out.data(), out.size(), 7));

  // A CRC over the bits (older descriptors) that fails: refused unless the caller asks, then
  // returned and marked.
  FillTagAt(out.data(), kTagSpaceBitmap, 6000, 7);
  out[5000] ^= 0x10;
  EXPECT_FALSE(ParseSpaceBitmapHeader(out.data(), out.size(), 7));
  bool crcFailed = false;
  EXPECT_TRUE(ParseSpaceBitmapHeader(out.data(), out.size(), 7, &crcFailed));
  EXPECT_TRUE(crcFailed);
  // A wrong tag is refused either way.
  EXPECT_FALSE(ParseSpaceBitmapHeader(out.data(), out.size(), 8, &crcFailed));
  out[4] ^= 1;
  EXPECT_FALSE(ParseSpaceBitmapHeader(out.data(), out.size(), 7, &crcFailed));
}

TEST(Descriptors, FileEntries) {
  Bytes s(kSectorSize);
  const UDF_TimeStamp t = Stamp(5000);
  BuildFileEntry(s.data(), s.size(), 77,
                 NewFileEntryInfo(t, 16, true, kICBFlagArchive | kICBFlagSystem));
  EXPECT_EQ(s[27], 5);
  EXPECT_EQ(LoadLE16(s.data() + 34), 0x0420);
  EXPECT_EQ(LoadLE32(s.data() + 44), 0x318Cu);
  EXPECT_EQ(LoadLE64(s.data() + 56), 0u); // empty: no length, no blocks, no descriptors
  EXPECT_EQ(LoadLE64(s.data() + 64), 0u);
  // The descriptor length is that of the descriptors in use, and the CRC ends with them.
  EXPECT_EQ(LoadLE32(s.data() + 172), 0u);
  EXPECT_EQ(LoadLE16(s.data() + 10), 160u);
  EXPECT_TRUE(IsZero(s.data() + 176, 1872));

  FileEntryInfo info = NewFileEntryInfo(t, 42, false);
  for (uint32_t i = 0; i < 233; ++i)
    info.Extents.push_back(MakeShortAD(2048 * (i + 1), 100 + i));
  info.Extents.push_back(MakeShortAD(2048, 999, kExtentNextDescriptors));
  info.InformationLength = 123456789012ull;
  info.ModificationTime = Stamp(7777);
  ASSERT_EQ(BuildFileEntry(s.data(), s.size(), 77, info), 2048u);
  EXPECT_EQ(LoadLE32(s.data() + 172), 1872u);
  EXPECT_EQ(LoadLE16(s.data() + 10), 2032u);
  auto back = ParseFileEntry(s.data(), s.size(), 77);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->InformationLength, info.InformationLength);
  EXPECT_EQ(std::memcmp(&back->ModificationTime, &info.ModificationTime, 12), 0);
  EXPECT_TRUE(IsOurImplementation(back->ImplementationIdentifier));
  ASSERT_EQ(back->Extents.size(), 234u);
  EXPECT_EQ(ExtentLength(back->Extents[232]), 2048u * 233);
  EXPECT_EQ(ExtentTypeOf(back->Extents[233]), kExtentNextDescriptors);

  info.Extents.push_back(MakeShortAD(2048, 1));
  EXPECT_EQ(BuildFileEntry(s.data(), s.size(), 77, info), 0u); // 235 do not fit
  info.Extents.pop_back();
  info.ICBFlags = 1; // long descriptors are not what we record
  EXPECT_EQ(BuildFileEntry(s.data(), s.size(), 77, info), 0u);

  BuildFileEntry(s.data(), s.size(), 5, NewDirectoryEntryInfo(t, 0, 6));
  auto mutate = [&](size_t at, uint32_t v) {
    Bytes d = s;
    StoreLE32(d.data() + at, v);
    FillTagAt(d.data(), kTagFileEntry, 2032, 5);
    return ParseFileEntry(d.data(), d.size(), 5);
  };
  EXPECT_FALSE(mutate(172, 1873));        // descriptors past the block
  EXPECT_FALSE(mutate(168, 1868));        // attributes push them past it
  EXPECT_FALSE(mutate(168, 0xFFFFFFF0u)); // no wrap-around
  EXPECT_FALSE(mutate(32, 0x00030000u));  // embedded data shorter than the length
}

// Extended allocation descriptors, as other writers may record them: read into the extents,
// refused where they name another partition or record more than their extent holds.
TEST(Descriptors, ExtendedAllocationDescriptors) {
  Bytes s(kSectorSize);
  FileEntryInfo info;
  info.InformationLength = 5000;
  info.Extents = {MakeShortAD(4096, 40)};
  BuildFileEntry(s.data(), s.size(), 9, info);
  auto withExtended = [&](uint32_t recorded, uint16_t partition) {
    Bytes d = s;
    StoreLE16(d.data() + 34, kDescriptorsExtended);
    uint8_t *ad = d.data() + 176;
    const uint32_t extents[2][2] = {{4096, 40}, {(1u << 30) | 904, 0}};
    for (const auto &[length, block] : extents) {
      StoreLE32(ad, length);
      StoreLE32(ad + 4, recorded ? recorded : length & 0x3FFFFFFFu);
      StoreLE32(ad + 8, length & 0x3FFFFFFFu);
      StoreLE32(ad + 12, block);
      StoreLE16(ad + 16, partition);
      ad += kExtendedADBytes;
    }
    StoreLE32(d.data() + 172, 2 * kExtendedADBytes);
    FillTagAt(d.data(), kTagFileEntry, 176 + 2 * kExtendedADBytes - 16, 9);
    return ParseFileEntry(d.data(), d.size(), 9);
  };
  const auto fe = withExtended(0, 0);
  ASSERT_TRUE(fe);
  ASSERT_EQ(fe->Extents.size(), 2u);
  EXPECT_EQ(ExtentLength(fe->Extents[0]), 4096u);
  EXPECT_EQ(fe->Extents[0].Position, 40u);
  EXPECT_EQ(ExtentTypeOf(fe->Extents[1]), 1u);
  EXPECT_EQ(ExtentLength(fe->Extents[1]), 904u);
  EXPECT_FALSE(withExtended(0, 1));    // another partition
  EXPECT_FALSE(withExtended(8192, 0)); // more recorded than the extent holds

  uint8_t raw[kExtendedADBytes] = {};
  EXPECT_FALSE(ParseExtendedAD(raw, sizeof raw - 1));
  StoreLE32(raw, 2048);
  StoreLE32(raw + 4, 1024);
  StoreLE32(raw + 8, 2000);
  StoreLE32(raw + 12, 77);
  StoreLE16(raw + 16, 3);
  const auto e = ParseExtendedAD(raw, sizeof raw);
  ASSERT_TRUE(e);
  EXPECT_EQ(e->RecordedLength, 1024u);
  EXPECT_EQ(e->InformationLength, 2000u);
  EXPECT_EQ(e->Block, 77u);
  EXPECT_EQ(e->Partition, 3u);
}

// The record accessors change the fields where each form keeps them (offsets as the standard
// gives them), and the parser reads back what they wrote.
TEST(Descriptors, EntryRecordsOfBothForms) {
  struct Form {
    uint16_t tag;
    uint32_t blocks, access, modified, attribute, unique, eaLength;
  };
  for (const Form f : {Form{kTagFileEntry, 64, 72, 84, 96, 160, 168},
                       Form{kTagExtendedFileEntry, 72, 80, 92, 116, 200, 208}}) {
    SCOPED_TRACE(f.tag);
    const bool extended = f.tag == kTagExtendedFileEntry;
    Bytes s(kSectorSize);
    StoreLE16(s.data(), f.tag);
    StoreLE16(s.data() + 2, 2);
    StoreLE16(s.data() + 6, 1);
    StoreLE64(s.data() + f.unique, 0x1234);
    std::optional<MutableEntryRecord> e = MutableEntryRecord::Of(s.data(), s.size());
    ASSERT_TRUE(e);
    EXPECT_EQ(e->Extended(), extended);
    e->SetInformationLength(5000);
    e->SetBlocksRecorded(3);
    e->SetLinkCount(2);
    e->SetPermissions(0x318C);
    e->SetICBFlags(kICBFlagArchive);
    e->SetModificationTime(Stamp(7000));
    e->SetAttributeTime(Stamp(8000));
    EXPECT_EQ(LoadLE64(s.data() + 56), 5000u);
    EXPECT_EQ(LoadLE64(s.data() + 64), extended ? 5000u : 3u); // an extended entry's object size
    EXPECT_EQ(LoadLE64(s.data() + f.blocks), 3u);
    EXPECT_EQ(LoadLE16(s.data() + 48), 2u);
    EXPECT_EQ(LoadLE32(s.data() + 44), 0x318Cu);
    EXPECT_EQ(LoadLE16(s.data() + 34), kICBFlagArchive);
    EXPECT_TRUE(IsZero(s.data() + f.access, 12));
    const UDF_TimeStamp seven = Stamp(7000), eight = Stamp(8000);
    EXPECT_EQ(std::memcmp(s.data() + f.modified, &seven, 12), 0);
    EXPECT_EQ(std::memcmp(s.data() + f.attribute, &eight, 12), 0);
    EXPECT_EQ(e->UniqueID(), 0x1234u);
    EXPECT_EQ(e->Layout().LengthOfEA, f.eaLength);
    EXPECT_EQ(e->Layout().HeaderSize, f.eaLength + 8);

    FillTagAt(s.data(), f.tag, static_cast<uint16_t>(e->Layout().HeaderSize - 16), 9);
    auto back = ParseFileEntry(s.data(), s.size(), 9);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->Extended, extended);
    EXPECT_EQ(back->InformationLength, 5000u);
    EXPECT_EQ(back->BlocksRecorded, 3u);
    EXPECT_EQ(back->LinkCount, 2u);
    EXPECT_EQ(std::memcmp(&back->AttributeTime, &eight, 12), 0);
    EXPECT_EQ(back->DescriptorOffset, e->Layout().HeaderSize);
    EXPECT_FALSE(EntryRecord::Of(s.data(), e->Layout().HeaderSize - 1));
  }
  Bytes other(kSectorSize);
  StoreLE16(other.data(), kTagAllocationExtent);
  EXPECT_FALSE(EntryRecord::Of(other.data(), other.size()));
}

// A device's attributes go between the fixed fields and the descriptors, which move behind
// them intact; the parser finds the numbers there, and the header's tag holds for the entry.
TEST(Descriptors, DeviceAttributesGoBeforeTheDescriptors) {
  const UDF_TimeStamp t = Stamp(1000);
  FileEntryInfo info = NewFileEntryInfo(t, 9, false);
  info.Extents = {MakeShortAD(4096, 40), MakeShortAD(100, 50)};
  info.InformationLength = 4196;
  Bytes s(kSectorSize);
  ASSERT_NE(BuildFileEntry(s.data(), s.size(), 12, info), 0u);
  uint8_t ea[kDeviceAttributesBytes];
  EXPECT_EQ(BuildDeviceAttributes(ea, sizeof ea - 1, 12, {1, 3}), 0u);
  ASSERT_EQ(BuildDeviceAttributes(ea, sizeof ea, 12, {259, 70000}), kDeviceAttributesBytes);
  EXPECT_TRUE(IsTagValid(262, ea, 24, 12));
  auto e = MutableEntryRecord::Of(s.data(), s.size());
  ASSERT_TRUE(e);
  const uint32_t ad = e->DescriptorLength();
  // No room: nothing changes.
  EXPECT_FALSE(e->InsertExtendedAttributes(ea, sizeof ea, 176 + ad + sizeof ea - 1));
  EXPECT_EQ(e->ExtendedAttributesLength(), 0u);
  ASSERT_TRUE(e->InsertExtendedAttributes(ea, sizeof ea, s.size()));
  FillTagAt(s.data(), kTagFileEntry, uint16_t(176 + sizeof ea + ad - 16), 12);
  auto back = ParseFileEntry(s.data(), s.size(), 12);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->ExtendedAttributesLength, kDeviceAttributesBytes);
  ASSERT_EQ(back->Extents.size(), 2u);
  EXPECT_EQ(uint32_t(back->Extents[1].Position), 50u);
  auto dev = FindDeviceSpecification(s.data() + 176, back->ExtendedAttributesLength);
  ASSERT_TRUE(dev);
  EXPECT_EQ(dev->Major, 259u);
  EXPECT_EQ(dev->Minor, 70000u);
  EXPECT_FALSE(FindDeviceSpecification(s.data() + 176, 47)); // the attribute cut short
}

// A changed integrity descriptor is stored over the old one with a tag that holds, and the
// implementation use another writer recorded after it stays.
TEST(Descriptors, IntegrityStoredInPlace) {
  Bytes s(kSectorSize, 0);
  BuildIntegrityDescriptor(s.data(), s.size(), 304, {Stamp(1), itOpen, 16, 90, 100, 1, 1});
  StoreLE32(s.data() + 76, 60); // a longer implementation use than ours
  std::memset(s.data() + 134, 0x5A, 14);
  FillTagAt(s.data(), kTagIntegrity, kIntegrityCRCLength, 304);
  auto d = ParseIntegrityDescriptor(s.data(), s.size(), 304);
  ASSERT_TRUE(d);
  d->IntegrityType = itClose;
  d->FreeSpaceTable = 80;
  ASSERT_EQ(StoreIntegrityDescriptor(s.data(), s.size(), 304, *d), 134u);
  auto back = ParseIntegrityDescriptor(s.data(), s.size(), 304);
  ASSERT_TRUE(back);
  EXPECT_EQ(uint32_t(back->IntegrityType), uint32_t(itClose));
  EXPECT_EQ(uint32_t(back->FreeSpaceTable), 80u);
  EXPECT_EQ(s[147], 0x5A);
  EXPECT_EQ(StoreIntegrityDescriptor(s.data(), 100, 304, *d), 0u);
}

TEST(Descriptors, FileIdentifiers) {
  for (uint8_t n = 0; n < 12; ++n)
    EXPECT_EQ(FileIdentifierDescriptorLength(n) % 4, 0u);
  EXPECT_EQ(FileIdentifierDescriptorLength(2), 40u);
  EXPECT_EQ(FileIdentifierDescriptorLength(3), 44u);

  uint8_t name[64];
  const int32_t n = CompressUnicode(9, 16, u"notes.txt", name);
  Bytes d(80, 0xCC);
  ASSERT_EQ(BuildFileIdentifierDescriptor(d.data(), d.size(), 6, 0, 1234, name, uint8_t(n)), 60u);
  EXPECT_EQ(d[19], 19);
  EXPECT_EQ(std::memcmp(d.data() + 38, name, 19), 0);
  EXPECT_TRUE(IsZero(d.data() + 57, 3)); // padding
  auto f = ParseFileIdentifierDescriptor(d.data(), d.size(), 6);
  ASSERT_TRUE(f);
  EXPECT_EQ(f->TotalLength, 60u);
  EXPECT_EQ(uint32_t(f->ICB.Location.LogicalBlockNumber), 1234u);
  EXPECT_TRUE(OSTACompressedUnicodeStrings_Matched(f->Name, f->NameLength, name, n));

  // An implementation use area moves the name; a huge one cannot lead the parser astray.
  Bytes iu(64, 0);
  StoreLE16(iu.data() + 36, 4);
  iu[19] = 3;
  std::memcpy(iu.data() + 42, "\x08xy", 3);
  FillTagAt(iu.data(), kTagFileIdentifier, 32, 2);
  auto g = ParseFileIdentifierDescriptor(iu.data(), iu.size(), 2);
  ASSERT_TRUE(g);
  EXPECT_EQ(g->TotalLength, 48u);
  EXPECT_EQ(std::memcmp(g->Name, "\x08xy", 3), 0);
  StoreLE16(iu.data() + 36, 0xFFFF);
  FillTagAt(iu.data(), kTagFileIdentifier, 32, 2);
  EXPECT_FALSE(ParseFileIdentifierDescriptor(iu.data(), iu.size(), 2));
}

TEST(Descriptors, AllocationExtentAndRecognition) {
  std::vector<UDF_ShortAD> ads(253, MakeShortAD(4096, 7));
  Bytes s(kSectorSize);
  ASSERT_EQ(BuildAllocationExtentDescriptor(s.data(), s.size(), 88, ads.data(), 253), 2048u);
  EXPECT_EQ(LoadLE32(s.data() + 20), 2024u);
  EXPECT_EQ(ParseAllocationExtentDescriptor(s.data(), s.size(), 88)->size(), 253u);
  EXPECT_EQ(BuildAllocationExtentDescriptor(s.data(), s.size(), 88, ads.data(), 254), 0u);
  StoreLE32(s.data() + 20, 2025);
  FillTagAt(s.data(), kTagAllocationExtent, 8, 88);
  EXPECT_FALSE(ParseAllocationExtentDescriptor(s.data(), s.size(), 88));

  Bytes v(3 * kSectorSize, 0xEE);
  ASSERT_EQ(BuildVolumeRecognitionSequence(v.data(), v.size()), 3 * kSectorSize);
  const char *ids[] = {"BEA01", "NSR02", "TEA01"};
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(IsVolumeStructure(v.data() + i * kSectorSize, kSectorSize, ids[i]));
    EXPECT_TRUE(IsZero(v.data() + i * kSectorSize + 7, kSectorSize - 7));
  }
  EXPECT_FALSE(IsVolumeStructure(v.data(), kSectorSize, "NSR02"));
}
