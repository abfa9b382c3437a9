// Files in forms that other UDF writers record: extents that are allocated but not recorded,
// extents that are not allocated at all (holes), and the file entries around them. The
// entries are hand-built on a formatted image, as another implementation would leave them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "korva/check.h"
#include "tests/files/fs_chain.h"
#include "tests/files/fs_helpers.h"
#include "tests/support/volume_fixture.h"
#include "udf/byte_order.h"
#include "udf/common.h"
#include "udf/descriptors.h"
#include "udf/tag.h"
#include "volume/engine.h"
#include "volume/fs/fs_internal.h"
#include "volume/fs/fs_records.h"

using namespace korva;
using namespace korva::test;

namespace {

constexpr uint32_t RW = UDF_GENERIC_READ | UDF_GENERIC_WRITE;

class FsForms : public ::testing::Test {
protected:
  FormattedImage img{100};
  TUDFRewritableVolume &v = img.Volume();
  void SetUp() override { ASSERT_TRUE(img.Ok()); }

  // Writes a file through the library and returns the first block of its data.
  uint32_t Put(const std::u16string &path, const std::vector<uint8_t> &data) {
    EXPECT_TRUE(WriteWhole(v, path, data));
    RawEntry e = ReadEntry(v, EntryBlock(v, path));
    return e.List.Extents.empty() ? 0 : e.List.Extents[0].AD.Block;
  }

  // Replaces the descriptors and size of a file's entry, keeping everything else.
  void Rewrite(const std::u16string &path, const std::vector<UDF_ShortAD> &extents, uint64_t size) {
    ASSERT_TRUE(RewriteExtents(v, path, extents, size));
  }

  // The first blocks of the partition: bitmap, file set descriptor, root.
  std::vector<uint8_t> Head(uint32_t blocks = 64) {
    std::vector<uint8_t> out(size_t(blocks) * kBlockSize);
    for (uint32_t b = 0; b < blocks; ++b)
      EXPECT_TRUE(ReadBlock(v, b, out.data() + size_t(b) * kBlockSize));
    return out;
  }

  // Opens a file, moves to byte `at` without writing (a write would stamp the entry's times,
  // and tests compare entries across this call), then writes `data`; returns whether the
  // write succeeded.
  bool WriteAt(const std::u16string &path, size_t at, const std::vector<uint8_t> &data) {
    UDF_HANDLE h = UDF_CreateFileW(&v, path.c_str(), RW, UDF_OPEN_EXISTING, 0);
    EXPECT_NE(h, UDF_INVALID_HANDLE);
    EXPECT_EQ(UDF_SetFilePointer(&v, h, at), KTRUE);
    uint32_t n = 0;
    const KBOOL ok = UDF_WriteFile(&v, h, data.data(), uint32_t(data.size()), &n);
    const uint32_t error = v.LastError;
    UDF_CloseHandle(&v, h);
    v.LastError = error;
    return ok == KTRUE;
  }
};

std::vector<uint8_t> Cat(std::vector<uint8_t> a, const std::vector<uint8_t> &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

} // namespace

// A list may name its extents in any order, but no block twice: each order of overlap is
// found, whether the later extent starts inside an earlier one or covers it.
TEST_F(FsForms, ExtentsInAnyOrderButNoBlockTwice) {
  const uint32_t b = Put(u"\\f", std::vector<uint8_t>(8 * kBlockSize, 7));
  ASSERT_NE(b, 0u);
  const uint32_t f = EntryBlock(v, u"\\f");
  auto corrupt = [&](std::vector<std::pair<uint32_t, uint32_t>> runs) {
    std::vector<UDF_ShortAD> ads;
    uint64_t size = 0;
    for (const auto &[first, count] : runs) {
      ads.push_back(MakeShortAD(count * kBlockSize, b + first));
      size += uint64_t(count) * kBlockSize;
    }
    Rewrite(u"\\f", ads, size);
    const RawEntry e = ReadEntry(v, f);
    EXPECT_TRUE(e.Ok);
    return e.List.Corrupt;
  };
  EXPECT_FALSE(corrupt({{0, 2}, {2, 2}, {4, 4}}));
  EXPECT_FALSE(corrupt({{6, 2}, {0, 2}, {4, 2}, {2, 2}}));
  EXPECT_TRUE(corrupt({{0, 4}, {3, 2}}));         // ascending, starts inside
  EXPECT_TRUE(corrupt({{4, 2}, {2, 3}}));         // descending, ends inside
  EXPECT_TRUE(corrupt({{6, 2}, {0, 2}, {1, 1}})); // inside an earlier out-of-order one
  EXPECT_TRUE(corrupt({{2, 1}, {6, 1}, {0, 8}})); // covers earlier ones
  EXPECT_TRUE(corrupt({{0, 2}, {0, 2}}));
}

TEST_F(FsForms, HolesReadAsZerosAndGetBlocksOfTheirOwnWhenWritten) {
  const std::vector<uint8_t> data = Pattern(3 * kBlockSize, 1);
  const uint32_t b = Put(u"\\sparse", data);
  // Middle block not allocated, recorded at location 0 as other writers do.
  Rewrite(u"\\sparse",
          {MakeShortAD(kBlockSize, b), MakeShortAD(kBlockSize, 0, kExtentNotAllocated),
           MakeShortAD(kBlockSize, b + 2)},
          3 * kBlockSize);
  std::vector<uint8_t> expect = data;
  std::fill(expect.begin() + kBlockSize, expect.begin() + 2 * kBlockSize, 0);
  std::vector<uint8_t> back;
  ASSERT_TRUE(ReadWhole(v, u"\\sparse", back, 1000));
  EXPECT_EQ(back, expect);

  // Into the hole, then over recorded data and the hole's new block: never through location 0.
  const std::vector<uint8_t> small = Pattern(10, 2), wide = Pattern(2 * kBlockSize, 3);
  EXPECT_TRUE(WriteAt(u"\\sparse", kBlockSize + 5, small)) << v.LastError;
  std::copy(small.begin(), small.end(), expect.begin() + kBlockSize + 5);
  ASSERT_TRUE(ReadWhole(v, u"\\sparse", back));
  EXPECT_EQ(back, expect);
  EXPECT_TRUE(WriteAt(u"\\sparse", 0, wide)) << v.LastError;
  std::copy(wide.begin(), wide.end(), expect.begin());
  const RawEntry e = ReadEntry(v, EntryBlock(v, u"\\sparse"));
  ASSERT_EQ(e.List.Extents.size(), 3u);
  EXPECT_EQ(e.List.Extents[1].AD.Type(), uint32_t(kExtentRecorded));
  EXPECT_NE(e.List.Extents[1].AD.Block, 0u);
  ASSERT_TRUE(ReadWhole(v, u"\\sparse", back));
  EXPECT_EQ(back, expect);
  ASSERT_TRUE(img.Remount());
  ASSERT_TRUE(ReadWhole(v, u"\\sparse", back));
  EXPECT_EQ(back, expect);
}

TEST_F(FsForms, AppendThroughATrailingHoleAllocatesIt) {
  const std::vector<uint8_t> data = Pattern(kBlockSize, 4);
  const uint32_t b = Put(u"\\tail", data);
  Rewrite(u"\\tail", {MakeShortAD(kBlockSize, b), MakeShortAD(1000, 0, kExtentNotAllocated)},
          kBlockSize + 1000);
  // Position after the recorded block: the write runs through the hole and on.
  const std::vector<uint8_t> more = Pattern(1010, 5);
  EXPECT_TRUE(WriteAt(u"\\tail", data.size(), more)) << v.LastError;
  std::vector<uint8_t> back;
  ASSERT_TRUE(ReadWhole(v, u"\\tail", back));
  EXPECT_EQ(back, Cat(data, more));
  ASSERT_TRUE(img.Remount());
  ASSERT_TRUE(ReadWhole(v, u"\\tail", back));
  EXPECT_EQ(back, Cat(data, more));
  EXPECT_EQ(UDF_CheckVolume(&v, nullptr, nullptr), KTRUE) << v.LastError;
}

TEST_F(FsForms, WritesIntoAllocatedUnrecordedExtentsBecomeRecorded) {
  const std::vector<uint8_t> data = Pattern(4 * kBlockSize, 6);
  const uint32_t b = Put(u"\\pre", data);
  // Blocks 1-3 allocated but not recorded: they read as zeros whatever they hold.
  Rewrite(u"\\pre",
          {MakeShortAD(kBlockSize, b), MakeShortAD(3 * kBlockSize, b + 1, kExtentAllocated)},
          4 * kBlockSize);
  std::vector<uint8_t> expect = data;
  std::fill(expect.begin() + kBlockSize, expect.end(), 0);
  std::vector<uint8_t> back;
  ASSERT_TRUE(ReadWhole(v, u"\\pre", back));
  ASSERT_EQ(back, expect);

  // 100 bytes written into the middle of the unrecorded extent read back, and the rest of it
  // still reads as zeros.
  const std::vector<uint8_t> more = Pattern(100, 7);
  std::vector<uint8_t> before(expect.begin(), expect.begin() + 2 * kBlockSize + 50);
  ASSERT_TRUE(WriteAt(u"\\pre", before.size(), more));
  std::copy(more.begin(), more.end(), expect.begin() + 2 * kBlockSize + 50);
  ASSERT_TRUE(ReadWhole(v, u"\\pre", back));
  EXPECT_EQ(back, expect);
  ASSERT_TRUE(img.Remount());
  ASSERT_TRUE(ReadWhole(v, u"\\pre", back));
  EXPECT_EQ(back, expect);
  RawEntry e = ReadEntry(v, EntryBlock(v, u"\\pre"));
  for (const ADSlot &s : e.List.Extents)
    EXPECT_EQ(s.AD.Type(), 0u);
}

TEST_F(FsForms, ListLengthsRecordTheDescriptorsInUse) {
  // Directory data over several blocks, and a file written in pieces.
  for (int i = 0; i < 80; ++i) {
    std::u16string name = u"\\entry-with-a-long-name-" +
                          std::u16string(1, char16_t(u'A' + i / 26)) +
                          std::u16string(1, char16_t(u'a' + i % 26));
    ASSERT_TRUE(WriteWhole(v, name, Pattern(10, i)));
  }
  EXPECT_TRUE(ListLengthsExact(v, RootBlock(v)));
  const std::vector<uint8_t> data = Pattern(5 * kBlockSize + 7, 8);
  ASSERT_TRUE(WriteWhole(v, u"\\pieces", data, 3000));
  EXPECT_TRUE(ListLengthsExact(v, EntryBlock(v, u"\\pieces")));
}

TEST_F(FsForms, ListsRecordedWithTheWholeFreeAreaStillReadAndAreMadeExact) {
  const std::vector<uint8_t> data = Pattern(2 * kBlockSize + 100, 9);
  Put(u"\\old", data);
  const uint32_t block = EntryBlock(v, u"\\old");
  uint8_t fe[kBlockSize];
  ASSERT_TRUE(ReadBlock(v, block, fe));
  StoreLE32(fe + 172, 1872);
  FillTagAt(fe, kTagFileEntry, 2032, block);
  ASSERT_TRUE(WriteBlock(v, block, fe));
  ASSERT_FALSE(ListLengthsExact(v, block));
  std::vector<uint8_t> back;
  ASSERT_TRUE(ReadWhole(v, u"\\old", back));
  EXPECT_EQ(back, data);

  const std::vector<uint8_t> more = Pattern(3 * kBlockSize, 10);
  ASSERT_TRUE(WriteAt(u"\\old", data.size(), more));
  EXPECT_TRUE(ListLengthsExact(v, block));
  ASSERT_TRUE(ReadWhole(v, u"\\old", back));
  EXPECT_EQ(back, Cat(data, more));
}

TEST_F(FsForms, RemovingOneNameOfAFileWithSeveralKeepsItsBlocks) {
  const std::vector<uint8_t> data = Pattern(3 * kBlockSize, 11);
  Put(u"\\first", data);
  const uint32_t block = EntryBlock(v, u"\\first");
  // A second name for the same entry, as a hard link of another system makes it.
  AppendPlan plan;
  ASSERT_TRUE(PlanEntryAppend(v, RootBlock(v), u"second", plan).IsOk());
  ASSERT_TRUE(AppendDirectoryEntry(v, plan, 0, block, u"second", 0, false).IsOk());
  uint8_t fe[kBlockSize];
  ASSERT_TRUE(ReadBlock(v, block, fe));
  EntryFields info;
  ASSERT_TRUE(ReadEntryFields(fe, block, info));
  UpdateFileEntry(fe, block, info.InformationLength, info.BlocksRecorded, +1, false);
  ASSERT_TRUE(WriteBlock(v, block, fe));

  // The check takes the second name as a further link, not as a block claimed twice.
  EXPECT_EQ(UDF_CheckVolume(&v, nullptr, nullptr), KTRUE);
  const uint32_t free0 = v.FreeBlocks, files0 = v.FileCount;
  ASSERT_EQ(UDF_DeleteFileW(&v, u"\\first"), KTRUE);
  EXPECT_EQ(v.FreeBlocks, free0);
  EXPECT_EQ(v.FileCount, files0);
  EXPECT_TRUE(BlockInUse(v, block));
  std::vector<uint8_t> back;
  ASSERT_TRUE(ReadWhole(v, u"\\second", back));
  EXPECT_EQ(back, data);
  ASSERT_TRUE(ReadBlock(v, block, fe));
  ASSERT_TRUE(ReadEntryFields(fe, block, info));
  EXPECT_EQ(info.LinkCount, 1u);

  // The last name frees the entry and its data.
  ASSERT_EQ(UDF_DeleteFileW(&v, u"\\second"), KTRUE);
  EXPECT_EQ(v.FreeBlocks, free0 + 4);
  EXPECT_FALSE(BlockInUse(v, block));
}

namespace {

// Rewrites a file's entry in a form another writer records: data embedded in the entry
// (the file must fit), or long descriptors; optionally as an extended file entry, and with
// extended attributes ahead of the descriptors.
void Reform(TUDFRewritableVolume &v, const std::u16string &path, uint16_t form, bool extended,
            uint32_t eaLength, const std::vector<uint8_t> &data) {
  const uint32_t block = EntryBlock(v, path);
  ASSERT_NE(block, 0u);
  uint8_t fe[kBlockSize];
  ASSERT_TRUE(ReadBlock(v, block, fe));
  RawEntry old = ReadEntry(v, block);
  uint8_t out[kBlockSize] = {};
  const uint32_t header = extended ? kExtendedFileEntryHeaderSize : 176;
  // The fields up to the information length are the same in both kinds of entry.
  std::memcpy(out, fe, 64);
  StoreLE16(out, extended ? kTagExtendedFileEntry : kTagFileEntry);
  StoreLE16(out + 34, static_cast<uint16_t>((LoadLE16(fe + 34) & ~7) | form));
  if (extended) {
    StoreLE64(out + 64, data.size());
    StoreLE64(out + 72, LoadLE64(fe + 64));
    std::memcpy(out + 168, fe + 128, 32); // implementation identifier
    StoreLE64(out + 200, LoadLE64(fe + 160));
  } else {
    std::memcpy(out + 64, fe + 64, 112);
  }
  const uint32_t lea = extended ? 208 : 168;
  StoreLE32(out + lea, eaLength);
  std::memset(out + header, 0xEA, eaLength);
  uint8_t *area = out + header + eaLength;
  uint32_t ad = 0;
  if (form == kDescriptorsEmbedded) {
    std::memcpy(area, data.data(), data.size());
    ad = static_cast<uint32_t>(data.size());
    StoreLE64(out + (extended ? 72 : 64), 0);
  } else {
    for (const ADSlot &s : old.List.Extents) {
      StoreLE32(area + ad, s.AD.LengthWord);
      StoreLE32(area + ad + 4, s.AD.Block);
      ad += 16;
    }
  }
  StoreLE32(out + lea + 4, ad);
  FillTagAt(out, LoadLE16(out), static_cast<uint16_t>(header + eaLength + ad - 16), block);
  ASSERT_TRUE(WriteBlock(v, block, out));
  if (form == kDescriptorsEmbedded) {
    uint32_t freed = 0;
    for (const ADSlot &s : old.List.Extents) {
      const uint32_t n = (s.AD.Length() + kBlockSize - 1) / kBlockSize;
      MarkRun(v, s.AD.Block, n, false);
      freed += n;
    }
    ASSERT_TRUE(CommitIntegrity(v, freed, 0, 0).IsOk());
  }
}

struct FormCase {
  const char *Name;
  uint16_t Form;
  bool Extended;
  uint32_t EALength;
  size_t Size;
};

} // namespace

TEST_F(FsForms, EntriesOtherWritersRecordAreReadAndChangedInOurForm) {
  const FormCase cases[] = {
      {"embedded", kDescriptorsEmbedded, false, 0, 700},
      {"embedded after attributes", kDescriptorsEmbedded, false, 64, 1000},
      {"embedded in an extended entry", kDescriptorsEmbedded, true, 0, 1500},
      {"long descriptors", kDescriptorsLong, false, 0, 3 * kBlockSize + 5},
      {"long descriptors, extended entry", kDescriptorsLong, true, 48, 2 * kBlockSize},
      {"short descriptors, extended entry", kDescriptorsShort, true, 0, kBlockSize + 9},
  };
  int seed = 20;
  char16_t letter = u'a';
  for (const FormCase &c : cases) {
    SCOPED_TRACE(c.Name);
    const std::u16string path = u"\\form" + std::u16string(1, letter++);
    const std::vector<uint8_t> data = Pattern(c.Size, ++seed);
    Put(path, data);
    Reform(v, path, c.Form, c.Extended, c.EALength, data);
    std::vector<uint8_t> back;
    ASSERT_TRUE(ReadWhole(v, path, back, 333));
    ASSERT_EQ(back, data);
    std::vector<Listed> listed = List(v, path);
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].Size, c.Size);

    // Writing nothing succeeds and leaves the entry as the other writer recorded it.
    uint8_t before[kBlockSize], after[kBlockSize];
    ASSERT_TRUE(ReadBlock(v, EntryBlock(v, path), before));
    EXPECT_TRUE(WriteAt(path, c.Size / 2, {})) << v.LastError;
    ASSERT_TRUE(ReadBlock(v, EntryBlock(v, path), after));
    EXPECT_EQ(std::memcmp(before, after, kBlockSize), 0);

    // An append moves embedded data to short descriptors and keeps long ones long; the
    // attributes stay in front.
    const std::vector<uint8_t> more = Pattern(2 * kBlockSize + 3, ++seed);
    ASSERT_TRUE(WriteAt(path, data.size(), more));
    ASSERT_TRUE(ReadWhole(v, path, back));
    EXPECT_EQ(back, Cat(data, more));
    const uint32_t block = EntryBlock(v, path);
    uint8_t fe[kBlockSize];
    ASSERT_TRUE(ReadBlock(v, block, fe));
    const auto info = ParseFileEntry(fe, sizeof fe, block);
    ASSERT_TRUE(info);
    const bool isLong = c.Form == kDescriptorsLong;
    EXPECT_EQ(info->ICBFlags & 7, isLong ? kDescriptorsLong : kDescriptorsShort);
    EXPECT_EQ(info->Extended, c.Extended);
    EXPECT_EQ(info->ExtendedAttributesLength, c.EALength);
    EXPECT_EQ(info->DescriptorLength, (isLong ? 16 : 8) * info->Extents.size());
  }
  // Everything is counted and reachable, and nothing is freed twice by a delete.
  ASSERT_TRUE(img.Remount());
  KBOOL clean = UDF_CheckVolume(&v, nullptr, nullptr);
  EXPECT_EQ(clean, KTRUE) << v.LastError;
  for (int i = 0; i < 6; ++i) {
    const std::u16string path = u"\\form" + std::u16string(1, char16_t(u'a' + i));
    EXPECT_EQ(UDF_DeleteFileW(&v, path.c_str()), KTRUE) << i;
  }
  EXPECT_EQ(UDF_CheckVolume(&v, nullptr, nullptr), KTRUE);
}

TEST_F(FsForms, TimesTruncationAndMovesWorkOnEveryForm) {
  const FormCase cases[] = {
      {"embedded in an extended entry", kDescriptorsEmbedded, true, 0, 1500},
      {"long descriptors", kDescriptorsLong, false, 0, 3 * kBlockSize + 5},
      {"short descriptors, extended entry", kDescriptorsShort, true, 32, kBlockSize + 9},
  };
  int seed = 40;
  char16_t letter = u'a';
  const uint64_t t = 132000000000000000ull + 1234560;
  for (const FormCase &c : cases) {
    SCOPED_TRACE(c.Name);
    const std::u16string path = u"\\f" + std::u16string(1, letter++);
    const std::vector<uint8_t> data = Pattern(c.Size, ++seed);
    Put(path, data);
    Reform(v, path, c.Form, c.Extended, c.EALength, data);
    // Times land where the entry's form keeps them.
    ASSERT_EQ(UDF_SetFileTimesW(&v, path.c_str(), &t, &t), KTRUE) << v.LastError;
    KorvaFileInfo info{};
    ASSERT_EQ(UDF_GetFileInfoW(&v, path.c_str(), &info), KTRUE);
    EXPECT_EQ(info.ModificationTime, t);
    EXPECT_EQ(info.AccessTime, t);
    EXPECT_EQ(info.Size, c.Size);
    // A move keeps the data; emptying frees it.
    const std::u16string moved = path + u".moved";
    ASSERT_EQ(UDF_MoveFileW(&v, path.c_str(), moved.c_str()), KTRUE);
    std::vector<uint8_t> back;
    ASSERT_TRUE(ReadWhole(v, moved, back));
    EXPECT_EQ(back, data);
    UDF_HANDLE h = UDF_CreateFileW(&v, moved.c_str(), RW, UDF_OPEN_EXISTING, 0);
    ASSERT_NE(h, UDF_INVALID_HANDLE);
    ASSERT_EQ(UDF_TruncateFile(&v, h), KTRUE) << v.LastError;
    UDF_CloseHandle(&v, h);
    ASSERT_EQ(UDF_GetFileInfoW(&v, moved.c_str(), &info), KTRUE);
    EXPECT_EQ(info.Size, 0u);
    EXPECT_EQ(info.BlocksRecorded, 0u);
  }
  ASSERT_TRUE(img.Remount());
  EXPECT_EQ(UDF_CheckVolume(&v, nullptr, nullptr), KTRUE) << v.LastError;
}

namespace {

struct ChainCase {
  const char *Name;
  uint32_t ADBytes;
  bool Extended;
  uint32_t PerEntry, PerBlock;
  size_t Size;
};

} // namespace

TEST_F(FsForms, ListsContinuedInExtensionBlocksAreChangedInTheirForm) {
  const ChainCase cases[] = {
      {"long descriptors", 16, false, 20, 30, 70 * kBlockSize + 100},
      {"short descriptors", 8, false, 20, 30, 70 * kBlockSize + 100},
      // The last extension block full: growing needs another.
      {"long descriptors, extended entry, full block", 16, true, 10, 125, 135 * kBlockSize},
  };
  int seed = 60;
  char16_t letter = u'a';
  for (const ChainCase &c : cases) {
    SCOPED_TRACE(c.Name);
    const std::u16string path = u"\\chain" + std::u16string(1, letter++);
    const uint32_t free0 = v.FreeBlocks;
    const std::vector<uint8_t> data = Pattern(c.Size, ++seed);
    Put(path, data);
    if (c.Extended) Reform(v, path, kDescriptorsLong, true, 48, data);
    const std::vector<uint32_t> chain = Chain(v, path, c.ADBytes, c.PerEntry, c.PerBlock);
    const uint32_t feBlock = EntryBlock(v, path);
    ASSERT_EQ(ReadEntry(v, feBlock).List.Extensions, chain);
    ASSERT_TRUE(ListLengthsExact(v, feBlock, c.ADBytes));
    std::vector<uint8_t> back;
    ASSERT_TRUE(ReadWhole(v, path, back, 5000));
    ASSERT_EQ(back, data);

    // Appended and overwritten across the list's blocks: the list goes on in its own form.
    const std::vector<uint8_t> more = Pattern(3 * kBlockSize + 5, ++seed);
    ASSERT_TRUE(WriteAt(path, data.size(), more)) << v.LastError;
    std::vector<uint8_t> expect = Cat(data, more);
    const std::vector<uint8_t> middle = Pattern(40 * kBlockSize, ++seed);
    const std::vector<uint8_t> head(expect.begin(), expect.begin() + 5 * kBlockSize + 7);
    ASSERT_TRUE(WriteAt(path, head.size(), middle)) << v.LastError;
    std::copy(middle.begin(), middle.end(), expect.begin() + head.size());
    ASSERT_TRUE(img.Remount());
    ASSERT_TRUE(ReadWhole(v, path, back, 7000));
    EXPECT_EQ(back, expect);
    RawEntry e = ReadEntry(v, feBlock);
    EXPECT_EQ(e.Info.ICBFlags & 7, c.ADBytes == 16 ? kDescriptorsLong : kDescriptorsShort);
    EXPECT_EQ(e.Info.Extended, c.Extended);
    EXPECT_GE(e.List.Extensions.size(), chain.size());
    EXPECT_TRUE(std::equal(chain.begin(), chain.end(), e.List.Extensions.begin()));
    EXPECT_TRUE(ListLengthsExact(v, feBlock, c.ADBytes));
    EXPECT_EQ(UDF_CheckVolume(&v, nullptr, nullptr), KTRUE) << v.LastError;

    // Emptying frees the data and every extension block; the entry stays, in its form.
    UDF_HANDLE h = UDF_CreateFileW(&v, path.c_str(), RW, UDF_OPEN_EXISTING, 0);
    ASSERT_NE(h, UDF_INVALID_HANDLE);
    ASSERT_EQ(UDF_TruncateFile(&v, h), KTRUE) << v.LastError;
    UDF_CloseHandle(&v, h);
    EXPECT_EQ(v.FreeBlocks, free0 - 1);
    for (uint32_t b : e.List.Extensions)
      EXPECT_FALSE(BlockInUse(v, b)) << b;
    EXPECT_EQ(ReadEntry(v, feBlock).Info.ICBFlags & 7, e.Info.ICBFlags & 7);
    EXPECT_TRUE(ListLengthsExact(v, feBlock, c.ADBytes));
    // Written again from empty, then deleted: every block comes back.
    ASSERT_TRUE(WriteAt(path, 0, data));
    ASSERT_TRUE(ReadWhole(v, path, back));
    EXPECT_EQ(back, data);
    ASSERT_EQ(UDF_DeleteFileW(&v, path.c_str()), KTRUE) << v.LastError;
    EXPECT_EQ(v.FreeBlocks, free0);
    EXPECT_EQ(UDF_CheckVolume(&v, nullptr, nullptr), KTRUE) << v.LastError;
  }
}

TEST_F(FsForms, ReplacingOrDeletingAChainedFileFreesTheChain) {
  const uint32_t free0 = v.FreeBlocks;
  const std::vector<uint8_t> data = Pattern(90 * kBlockSize, 70);
  Put(u"\\one", data);
  Put(u"\\two", data);
  const std::vector<uint32_t> one = Chain(v, u"\\one", 16, 40, 20);
  const std::vector<uint32_t> two = Chain(v, u"\\two", 16, 40, 20);
  ASSERT_EQ(one.size(), 3u);
  ASSERT_EQ(UDF_CheckVolume(&v, nullptr, nullptr), KTRUE) << v.LastError;
  // Replaced by an empty file of the same name: one block left.
  UDF_HANDLE h = UDF_CreateFileW(&v, u"\\one", RW, UDF_CREATE_ALWAYS, 0);
  ASSERT_NE(h, UDF_INVALID_HANDLE) << v.LastError;
  UDF_CloseHandle(&v, h);
  for (uint32_t b : one)
    EXPECT_FALSE(BlockInUse(v, b)) << b;
  ASSERT_EQ(UDF_DeleteFileW(&v, u"\\two"), KTRUE) << v.LastError;
  for (uint32_t b : two)
    EXPECT_FALSE(BlockInUse(v, b)) << b;
  EXPECT_EQ(v.FreeBlocks, free0 - 1);
  ASSERT_TRUE(img.Remount());
  EXPECT_EQ(v.FreeBlocks, free0 - 1);
  EXPECT_EQ(UDF_CheckVolume(&v, nullptr, nullptr), KTRUE) << v.LastError;
}

TEST_F(FsForms, DirectoriesWithChainedLongListsTakeNewEntries) {
  ASSERT_EQ(UDF_CreateDirectoryW(&v, u"\\", u"many"), KTRUE);
  std::vector<std::u16string> names;
  for (int i = 0; i < 200; ++i) {
    names.push_back(u"entry-with-a-rather-long-name-" + std::u16string(1, char16_t(u'A' + i / 26)) +
                    std::u16string(1, char16_t(u'a' + i % 26)));
    const std::u16string path = u"\\many\\" + names.back();
    UDF_HANDLE h = UDF_CreateFileW(&v, path.c_str(), RW, UDF_CREATE_NEW, 0);
    ASSERT_NE(h, UDF_INVALID_HANDLE);
    UDF_CloseHandle(&v, h);
  }
  const uint32_t dir = EntryBlock(v, u"\\many");
  const std::vector<uint32_t> chain = Chain(v, u"\\many", 16, 4, 3);
  ASSERT_GE(chain.size(), 2u);
  ASSERT_EQ(UDF_CheckVolume(&v, nullptr, nullptr), KTRUE) << v.LastError;
  ASSERT_EQ(List(v, u"\\many\\*").size(), names.size());

  // A new entry: the list is written anew in short descriptors, the old chain freed.
  ASSERT_TRUE(WriteWhole(v, u"\\many\\new", Pattern(5000, 80))) << v.LastError;
  names.push_back(u"new");
  RawEntry e = ReadEntry(v, dir);
  EXPECT_EQ(e.Info.ICBFlags & 7, kDescriptorsShort);
  EXPECT_TRUE(ListLengthsExact(v, dir));
  // The check finds every block in use reachable and every other one free: the old chain's
  // blocks were given back (the new file may have taken them since).
  EXPECT_EQ(UDF_CheckVolume(&v, nullptr, nullptr), KTRUE) << v.LastError;
  ASSERT_TRUE(img.Remount());
  EXPECT_EQ(UDF_CheckVolume(&v, nullptr, nullptr), KTRUE) << v.LastError;
  std::vector<Listed> listed = List(v, u"\\many\\*");
  ASSERT_EQ(listed.size(), names.size());
  for (size_t i = 0; i < names.size(); ++i)
    EXPECT_EQ(listed[i].Name, names[i]);
  std::vector<uint8_t> back;
  ASSERT_TRUE(ReadWhole(v, u"\\many\\new", back));
  EXPECT_EQ(back, Pattern(5000, 80));
}

TEST_F(FsForms, RootAsExtendedEntryMountsAndChanges) {
  const std::vector<uint8_t> data = Pattern(3000, 90);
  Put(u"\\before", data);
  const uint32_t root = RootBlock(v);
  // A later-revision writer of this library records the root as an extended file entry
  // with long descriptors and extended attributes; the identifier stays this library's.
  Reform(v, u"\\", kDescriptorsLong, true, 32,
         std::vector<uint8_t>(ReadEntry(v, root).Info.InformationLength));
  ASSERT_TRUE(img.Remount()) << v.LastError;
  ASSERT_TRUE(ReadEntry(v, root).Info.Extended);
  std::vector<uint8_t> back;
  ASSERT_TRUE(ReadWhole(v, u"\\before", back));
  EXPECT_EQ(back, data);
  ASSERT_TRUE(WriteWhole(v, u"\\after", data));
  ASSERT_EQ(UDF_CreateDirectoryW(&v, u"\\", u"sub"), KTRUE) << v.LastError;
  ASSERT_EQ(UDF_DeleteFileW(&v, u"\\before"), KTRUE) << v.LastError;
  ASSERT_TRUE(img.Remount()) << v.LastError;
  RawEntry e = ReadEntry(v, root);
  EXPECT_TRUE(e.Info.Extended);
  std::vector<Listed> listed = List(v, u"\\*");
  ASSERT_EQ(listed.size(), 2u);
  EXPECT_EQ(listed[0].Name, u"after");
  EXPECT_EQ(listed[1].Name, u"sub");
  EXPECT_EQ(UDF_CheckVolume(&v, nullptr, nullptr), KTRUE) << v.LastError;

  // Another implementation's identifier in it: the mount is not compatible, and repair
  // records this library's identifier where an extended entry keeps it, nowhere else.
  uint8_t fe[kBlockSize];
  ASSERT_TRUE(ReadBlock(v, root, fe));
  const std::string other = "*Another Writer";
  std::memcpy(fe + 169, other.data(), other.size());
  RefillEntryTag(fe, root);
  ASSERT_TRUE(WriteBlock(v, root, fe));
  ASSERT_FALSE(img.Remount());
  ASSERT_EQ(UDF_RepairVolume(&v, nullptr, nullptr), KTRUE) << v.LastError;
  EXPECT_EQ(UDF_GetVolumeCompatibility(&v), KTRUE);
  uint8_t repaired[kBlockSize];
  ASSERT_TRUE(ReadBlock(v, root, repaired));
  EXPECT_EQ(std::memcmp(repaired + 16, fe + 16, 168 - 16), 0);
  EXPECT_EQ(std::memcmp(repaired + 169, ImplementationIdentifier, 23), 0);
  EXPECT_EQ(std::memcmp(repaired + 200, fe + 200, kBlockSize - 200), 0);
  ASSERT_TRUE(ReadWhole(v, u"\\after", back));
  EXPECT_EQ(back, data);
}

namespace {
void CutAppends(const ChainCase &c);
} // namespace

// An append that needs a new extension block, cut at every write: once the medium is taken
// back, the file holds its old bytes or its new ones, never a list that leads nowhere.
TEST(FsFormsCuts, AnAppendThatExtendsAChainLeavesTheOldFileOrTheNewOne) {
  // Long descriptors, and short ones as this library writes them: the last extension block
  // full up to the slot of a continuation.
  for (const ChainCase &c : {ChainCase{"long", 16, true, 10, 125, 135 * kBlockSize},
                             ChainCase{"short", 8, false, 10, 252, 262 * kBlockSize}})
    CutAppends(c);
}

TEST_F(FsForms, AChainFilledToTheEndOfItsBlockIsNotGrown) {
  // 253 short descriptors fill an extension block: no room for a continuation.
  const std::vector<uint8_t> data = Pattern(263 * kBlockSize, 97);
  Put(u"\\full", data);
  const std::vector<uint32_t> chain = Chain(v, u"\\full", 8, 10, 253);
  ASSERT_EQ(chain.size(), 1u);
  const uint32_t feBlock = EntryBlock(v, u"\\full");
  uint8_t fe[kBlockSize], aed[kBlockSize], fe2[kBlockSize], aed2[kBlockSize];
  ASSERT_TRUE(ReadBlock(v, feBlock, fe));
  ASSERT_TRUE(ReadBlock(v, chain[0], aed));
  const uint32_t free0 = v.FreeBlocks;
  // The file cannot grow in place: the block after its data holds the chain.
  EXPECT_FALSE(WriteAt(u"\\full", data.size(), Pattern(5 * kBlockSize, 98)));
  EXPECT_EQ(v.LastError, uint32_t(KORVA_E_UNSUPPORTED));
  EXPECT_EQ(v.FreeBlocks, free0);
  ASSERT_TRUE(ReadBlock(v, feBlock, fe2));
  ASSERT_TRUE(ReadBlock(v, chain[0], aed2));
  EXPECT_EQ(std::memcmp(fe, fe2, kBlockSize), 0);
  EXPECT_EQ(std::memcmp(aed, aed2, kBlockSize), 0);
  // Written over inside its size, it still changes.
  const std::vector<uint8_t> inside = Pattern(3 * kBlockSize, 99);
  ASSERT_TRUE(WriteAt(u"\\full", 0, inside));
  std::vector<uint8_t> back;
  ASSERT_TRUE(ReadWhole(v, u"\\full", back));
  std::vector<uint8_t> expect = data;
  std::copy(inside.begin(), inside.end(), expect.begin());
  EXPECT_EQ(back, expect);
  EXPECT_EQ(UDF_CheckVolume(&v, nullptr, nullptr), KTRUE) << v.LastError;
}

namespace {
void CutAppends(const ChainCase &c) {
  SCOPED_TRACE(c.Name);
  const std::vector<uint8_t> data = Pattern(c.Size, 95);
  const std::vector<uint8_t> more = Pattern(3 * kBlockSize + 5, 96);
  bool appended = false;
  for (uint32_t cut = 1; !appended && cut < 40; ++cut) {
    SCOPED_TRACE(cut);
    FormattedImage img{16};
    ASSERT_TRUE(img.Ok());
    TUDFRewritableVolume &v = img.Volume();
    ASSERT_TRUE(WriteWhole(v, u"\\f", data));
    if (c.Extended) Reform(v, u"\\f", kDescriptorsLong, true, 48, data);
    Chain(v, u"\\f", c.ADBytes, c.PerEntry, c.PerBlock);
    UDF_HANDLE h = UDF_CreateFileW(&v, u"\\f", RW, UDF_OPEN_EXISTING, 0);
    ASSERT_NE(h, UDF_INVALID_HANDLE);
    ASSERT_EQ(UDF_SetFilePointer(&v, h, data.size()), KTRUE);
    FaultyImageIO io;
    io.Attach(v);
    io.FailWriteAt(cut, true);
    uint32_t n = 0;
    appended = UDF_WriteFile(&v, h, more.data(), uint32_t(more.size()), &n) == KTRUE;
    AbandonVolume(v);

    VolumePtr again = NewVolume();
    ASSERT_EQ(UDF_MountImage(again.get(), img.ImagePath().c_str(), 0), KTRUE);
    ASSERT_EQ(UDF_RepairVolume(again.get(), nullptr, nullptr), KTRUE)
        << UDF_GetLastErrorNumber(again.get());
    std::vector<uint8_t> back;
    ASSERT_TRUE(ReadWhole(*again, u"\\f", back));
    EXPECT_TRUE(back == data || back == Cat(data, more)) << back.size();
    if (appended) {
      EXPECT_EQ(back, Cat(data, more));
    }
    EXPECT_EQ(UDF_CheckVolume(again.get(), nullptr, nullptr), KTRUE);
  }
  EXPECT_TRUE(appended);
}
} // namespace
