// File data: round trips at block and packet boundaries, appends that fill the last block
// or extend the last extent, planning over fragmented space, continued descriptor lists,
// the 30-bit extent limit, and two handles on one file.
#include <gtest/gtest.h>

#include "tests/files/fs_helpers.h"
#include "tests/support/volume_fixture.h"
#include "volume/engine.h"
#include "volume/fs_internal.h"

using namespace korva;
using namespace korva::test;

namespace {

constexpr uint32_t RW = UDF_GENERIC_READ | UDF_GENERIC_WRITE;

class FsData : public ::testing::Test {
protected:
  FormattedImage img{100};
  TUDFRewritableVolume &v = img.Volume();
  void SetUp() override { ASSERT_TRUE(img.Ok()); }
  RawEntry Entry(const std::u16string &p) { return ReadEntry(v, EntryBlock(v, p)); }
};

} // namespace

TEST_F(FsData, RoundTripsAtEveryBoundary) {
  const size_t packet = v.PacketBytes;
  const size_t sizes[] = {0,    1,          2047,   2048,       2049,
                          5000, packet - 1, packet, packet + 1, 3 * packet + 2049};
  const size_t chunks[] = {SIZE_MAX, 1000, 2048, 4097};
  int seed = 0;
  for (size_t size : sizes) {
    for (size_t chunk : chunks) {
      std::u16string name = u"\\f" + std::u16string(1, char16_t(u'A' + seed % 26)) +
                            std::u16string(1, char16_t(u'a' + seed / 26));
      std::vector<uint8_t> data = Pattern(size, ++seed);
      const uint32_t free0 = v.FreeBlocks;
      ASSERT_TRUE(WriteWhole(v, name, data, chunk)) << size << " " << chunk;
      const uint32_t blocks = static_cast<uint32_t>((size + 2047) / 2048);
      RawEntry e = Entry(name);
      EXPECT_EQ(e.Info.InformationLength, size);
      EXPECT_EQ(e.Info.BlocksRecorded, blocks);
      EXPECT_EQ(e.List.TotalBytes(), size);
      // One block for the entry (its FID fits or takes a directory block), plus the data.
      EXPECT_LE(free0 - v.FreeBlocks - blocks, 2u);
      EXPECT_GE(free0 - v.FreeBlocks - blocks, 1u);
      std::vector<uint8_t> back;
      ASSERT_TRUE(ReadWhole(v, name, back, chunk == SIZE_MAX ? 65536 : chunk));
      ASSERT_EQ(back, data) << size << " " << chunk;
    }
  }
  ASSERT_TRUE(img.Remount());
  std::vector<uint8_t> back;
  ASSERT_TRUE(ReadWhole(v, u"\\fAa", back));
  EXPECT_TRUE(back.empty());
}

TEST_F(FsData, AppendsFillTheLastBlockAndExtendTheLastExtent) {
  UDF_HANDLE h = UDF_CreateFileW(&v, u"\\f", RW, UDF_CREATE_NEW, 0);
  ASSERT_NE(h, UDF_INVALID_HANDLE);
  std::vector<uint8_t> all = Pattern(5000 + 100 + 2000 + 2048 * 40, 7);
  uint32_t free0 = v.FreeBlocks, n = 0;
  uint32_t lowest = 0, len = 0;
  ASSERT_TRUE(FindFreeRun(v, 0, 1, false, lowest, len));
  ASSERT_EQ(UDF_WriteFile(&v, h, all.data(), 5000, &n), KTRUE);
  EXPECT_EQ(n, 5000u);
  RawEntry e = Entry(u"\\f");
  ASSERT_EQ(e.List.Extents.size(), 1u);
  EXPECT_EQ(e.List.Extents[0].SlotOffset, 176);
  EXPECT_EQ(e.List.Extents[0].AD.Length(), 5000u);
  EXPECT_EQ(e.List.Extents[0].AD.Block, lowest);
  EXPECT_EQ(e.Info.BlocksRecorded, 3u);
  EXPECT_EQ(v.FreeBlocks, free0 - 3);

  // 100 bytes fit the slack of the last block.
  ASSERT_EQ(UDF_WriteFile(&v, h, all.data() + 5000, 100, &n), KTRUE);
  e = Entry(u"\\f");
  ASSERT_EQ(e.List.Extents.size(), 1u);
  EXPECT_EQ(e.List.Extents[0].AD.Length(), 5100u);
  EXPECT_EQ(v.FreeBlocks, free0 - 3);
  // 2000 more: the 1044 bytes of slack, then a block right after the extent.
  ASSERT_EQ(UDF_WriteFile(&v, h, all.data() + 5100, 2000, &n), KTRUE);
  e = Entry(u"\\f");
  ASSERT_EQ(e.List.Extents.size(), 1u);
  EXPECT_EQ(e.List.Extents[0].AD.Length(), 7100u);
  EXPECT_EQ(v.FreeBlocks, free0 - 4);
  // A write of nothing succeeds and changes no data.
  ASSERT_EQ(UDF_WriteFile(&v, h, nullptr, 0, &n), KTRUE);
  EXPECT_EQ(n, 0u);

  // Another file takes the block after the extent: the next append is a second extent.
  std::vector<uint8_t> other = Pattern(10, 8);
  ASSERT_TRUE(WriteWhole(v, u"\\g", other));
  const uint32_t free1 = v.FreeBlocks;
  ASSERT_EQ(UDF_WriteFile(&v, h, all.data() + 7100, 2048 * 40, &n), KTRUE);
  e = Entry(u"\\f");
  ASSERT_EQ(e.List.Extents.size(), 2u);
  EXPECT_EQ(e.List.Extents[0].AD.Length(), 8192u);
  EXPECT_EQ(e.List.Extents[1].AD.Length(), 2048u * 40 - 1092);
  EXPECT_EQ(e.List.Extents[1].SlotOffset, 184);
  EXPECT_EQ(v.FreeBlocks, free1 - 40);
  UDF_CloseHandle(&v, h);
  std::vector<uint8_t> back;
  ASSERT_TRUE(ReadWhole(v, u"\\f", back, 3000));
  EXPECT_EQ(back, all);

  // Reopened at position 0: a shorter write overwrites the start and keeps the size, a
  // longer one grows the file by the difference only.
  h = UDF_CreateFileW(&v, u"\\g", RW, UDF_OPEN_EXISTING, 0);
  uint8_t x[4] = {1, 2, 3, 4};
  ASSERT_EQ(UDF_WriteFile(&v, h, x, 4, &n), KTRUE);
  ASSERT_EQ(UDF_WriteFile(&v, h, x, 4, &n), KTRUE);
  ASSERT_EQ(UDF_WriteFile(&v, h, x, 4, &n), KTRUE);
  uint32_t got = 5;
  ASSERT_EQ(UDF_ReadFile(&v, h, x, 4, &got), KTRUE);
  EXPECT_EQ(got, 0u);
  UDF_CloseHandle(&v, h);
  ASSERT_TRUE(ReadWhole(v, u"\\g", back));
  EXPECT_EQ(back, (std::vector<uint8_t>{1, 2, 3, 4, 1, 2, 3, 4, 1, 2, 3, 4}));
}

TEST_F(FsData, FragmentedSpacePlansManyRunsAndContinuesTheList) {
  // Files of one block each, then every other one deleted: free space is holes of two
  // blocks (entry + data) between used pairs.
  const int files = 300;
  for (int i = 0; i < files; ++i) {
    std::u16string n = u"\\s" + std::u16string(1, char16_t(u'a' + i % 26)) +
                       std::u16string(1, char16_t(u'a' + i / 26));
    ASSERT_TRUE(WriteWhole(v, n, Pattern(100, i)));
  }
  for (int i = 0; i < files; i += 2) {
    std::u16string n = u"\\s" + std::u16string(1, char16_t(u'a' + i % 26)) +
                       std::u16string(1, char16_t(u'a' + i / 26));
    ASSERT_EQ(UDF_DeleteFileW(&v, n.c_str()), KTRUE);
  }
  // 2 blocks per hole (one less for the entry of the new file), and a tail run after the
  // last file: the list outgrows the file entry's 233 slots.
  std::vector<uint8_t> big = Pattern(2048 * 400, 99);
  const uint32_t free0 = v.FreeBlocks;
  ASSERT_TRUE(WriteWhole(v, u"\\big", big, 2048 * 37 + 5));
  RawEntry e = Entry(u"\\big");
  ASSERT_TRUE(e.Ok);
  EXPECT_GT(e.List.Extents.size(), 150u);
  ASSERT_EQ(e.List.Extensions.size(), e.List.Extents.size() > 233 ? 1u : 0u);
  for (size_t i = 1; i < e.List.Extents.size(); ++i)
    EXPECT_GT(e.List.Extents[i].AD.Block, e.List.Extents[i - 1].AD.Block);
  EXPECT_EQ(free0 - v.FreeBlocks, 1 + 400 + e.List.Extensions.size());
  std::vector<uint8_t> back;
  ASSERT_TRUE(ReadWhole(v, u"\\big", back));
  EXPECT_EQ(back, big);

  // Freeing the file gives back its data, its entry and its extension block.
  const uint32_t free1 = v.FreeBlocks;
  ASSERT_EQ(UDF_DeleteFileW(&v, u"\\big"), KTRUE);
  EXPECT_EQ(v.FreeBlocks, free1 + 1 + 400 + e.List.Extensions.size());
}

TEST_F(FsData, PlanningWrapsToTheStartOnce) {
  // A file whose last extent sits high up, with free space only below it: appending wraps.
  std::vector<uint8_t> a = Pattern(2048 * 10, 1);
  ASSERT_TRUE(WriteWhole(v, u"\\low", a));
  UDF_HANDLE h = UDF_CreateFileW(&v, u"\\high", RW, UDF_CREATE_NEW, 0);
  uint32_t n = 0;
  // Fill everything after the low file with the high file, leaving room for nothing.
  const uint32_t fill = v.FreeBlocks - 12;
  std::vector<uint8_t> chunk(2048 * 512, 0x5A);
  uint64_t left = uint64_t(fill) * 2048;
  while (left) {
    const uint32_t c = static_cast<uint32_t>(std::min<uint64_t>(left, chunk.size()));
    ASSERT_EQ(UDF_WriteFile(&v, h, chunk.data(), c, &n), KTRUE);
    left -= c;
  }
  ASSERT_EQ(UDF_DeleteFileW(&v, u"\\low"), KTRUE); // 11 blocks free below
  ASSERT_EQ(UDF_WriteFile(&v, h, chunk.data(), 2048 * 16, &n), KTRUE);
  RawEntry e = Entry(u"\\high");
  EXPECT_LT(e.List.Extents.back().AD.Block, e.List.Extents.front().AD.Block);
  // Nothing left anywhere: error 4, nothing taken.
  const uint32_t free0 = v.FreeBlocks;
  ASSERT_LT(free0, 100u);
  std::vector<uint8_t> more(2048 * 100);
  EXPECT_EQ(UDF_WriteFile(&v, h, more.data(), static_cast<uint32_t>(more.size()), &n), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), KORVA_E_INPUT_FILE);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(v.FreeBlocks, free0);
  UDF_CloseHandle(&v, h);
}

TEST_F(FsData, TwoHandlesOnOneFileSeeEachOthersWrites) {
  UDF_HANDLE a = UDF_CreateFileW(&v, u"\\f", RW, UDF_CREATE_NEW, 0);
  UDF_HANDLE b = UDF_CreateFileW(&v, u"\\f", RW, UDF_OPEN_EXISTING, 0);
  ASSERT_NE(a, UDF_INVALID_HANDLE);
  ASSERT_NE(b, UDF_INVALID_HANDLE);
  std::vector<uint8_t> first = Pattern(3000, 1), second = Pattern(6000, 2);
  uint32_t n = 0;
  ASSERT_EQ(UDF_WriteFile(&v, a, first.data(), 3000, &n), KTRUE);
  // b stands at 0 and overwrites, then appends past a's data without losing blocks.
  ASSERT_EQ(UDF_WriteFile(&v, b, second.data(), 6000, &n), KTRUE);
  ASSERT_EQ(UDF_WriteFile(&v, a, first.data(), 3000, &n), KTRUE);
  UDF_CloseHandle(&v, a);
  UDF_CloseHandle(&v, b);
  std::vector<uint8_t> expect = second;
  std::copy(first.begin(), first.end(), expect.begin() + 3000);
  std::vector<uint8_t> back;
  ASSERT_TRUE(ReadWhole(v, u"\\f", back));
  EXPECT_EQ(back, expect);
  RawEntry e = Entry(u"\\f");
  EXPECT_EQ(e.Info.BlocksRecorded, 3u);
  EXPECT_EQ(e.List.TotalBytes(), 6000u);
}
