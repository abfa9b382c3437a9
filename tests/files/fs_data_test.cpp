// File data: round trips at block and packet boundaries, appends that fill the last block
// or extend the last extent, planning over fragmented space, continued descriptor lists,
// the 30-bit extent limit, two handles on one file, and reads that go straight into the
// caller's buffer.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/files/fs_helpers.h"
#include "tests/support/volume_fixture.h"
#include "volume/engine.h"
#include "volume/medium/packet_cache.h"
#include "volume/fs/fs_internal.h"

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
  ASSERT_TRUE(FindFreeRun(v, 0, 1, false, lowest, len).IsOk() && len > 0);
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
  EXPECT_TRUE(ListLengthsExact(v, EntryBlock(v, u"\\big")));
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
  // Nothing left anywhere: "no space", nothing taken.
  const uint32_t free0 = v.FreeBlocks;
  ASSERT_LT(free0, 100u);
  std::vector<uint8_t> more(2048 * 100);
  EXPECT_EQ(UDF_WriteFile(&v, h, more.data(), static_cast<uint32_t>(more.size()), &n), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), KORVA_E_NO_SPACE);
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

TEST_F(FsData, AReaderSeesWhatAnotherHandleWroteBetweenItsReads) {
  std::vector<uint8_t> first = Pattern(3000, 1), second = Pattern(9000, 2);
  ASSERT_TRUE(WriteWhole(v, u"\\f", first));
  UDF_HANDLE r = UDF_CreateFileW(&v, u"\\f", UDF_GENERIC_READ, UDF_OPEN_EXISTING, 0);
  UDF_HANDLE w = UDF_CreateFileW(&v, u"\\f", RW, UDF_OPEN_EXISTING, 0);
  ASSERT_NE(r, UDF_INVALID_HANDLE);
  ASSERT_NE(w, UDF_INVALID_HANDLE);
  std::vector<uint8_t> got(9000);
  uint32_t n = 0;
  ASSERT_EQ(UDF_ReadFile(&v, r, got.data(), 1000, &n), KTRUE);
  ASSERT_EQ(n, 1000u);
  // Twice in a row with nothing written between: the second read still answers right.
  ASSERT_EQ(UDF_ReadFile(&v, r, got.data() + 1000, 1000, &n), KTRUE);
  ASSERT_EQ(n, 1000u);
  EXPECT_TRUE(std::equal(got.begin(), got.begin() + 2000, first.begin()));
  // The writer overwrites everything and grows the file into new extents.
  ASSERT_EQ(UDF_WriteFile(&v, w, second.data(), 9000, &n), KTRUE);
  ASSERT_EQ(UDF_ReadFile(&v, r, got.data() + 2000, 7000, &n), KTRUE);
  EXPECT_EQ(n, 7000u);
  EXPECT_TRUE(std::equal(got.begin() + 2000, got.end(), second.begin() + 2000));
  // Deleting the file leaves the reader reading it until the reader closes.
  UDF_CloseHandle(&v, w);
  ASSERT_EQ(UDF_DeleteFileW(&v, u"\\f"), KTRUE);
  ASSERT_EQ(UDF_SetFilePointer(&v, r, 0), KTRUE);
  EXPECT_EQ(UDF_ReadFile(&v, r, got.data(), 10, &n), KTRUE);
  EXPECT_TRUE(std::equal(got.begin(), got.begin() + 10, second.begin()));
  UDF_CloseHandle(&v, r);
}

namespace {

// Reads count bytes at the handle's position; n is what the call reported.
bool ReadSome(TUDFRewritableVolume &v, UDF_HANDLE h, std::vector<uint8_t> &out, size_t count,
              uint32_t &n) {
  out.assign(count, 0xEE);
  n = 0xDEAD;
  return UDF_ReadFile(&v, h, out.data(), uint32_t(count), &n) == KTRUE;
}

} // namespace

TEST_F(FsData, ReadsAcrossExtentsAndPacketsAtOddOffsetsGiveTheExactBytes) {
  // Appends broken up by one-block files: a file of five extents.
  UDF_HANDLE h = UDF_CreateFileW(&v, u"\\f", RW, UDF_CREATE_NEW, 0);
  ASSERT_NE(h, UDF_INVALID_HANDLE);
  std::vector<uint8_t> data;
  uint32_t n = 0;
  for (int k = 0; k < 5; ++k) {
    std::vector<uint8_t> piece = Pattern(v.PacketBytes * 6 + 777 * k + 1, 10 + k);
    ASSERT_EQ(UDF_WriteFile(&v, h, piece.data(), uint32_t(piece.size()), &n), KTRUE);
    data.insert(data.end(), piece.begin(), piece.end());
    ASSERT_TRUE(WriteWhole(v, u"\\g" + std::u16string(1, char16_t(u'a' + k)), Pattern(9, k)));
  }
  UDF_CloseHandle(&v, h);
  const RawEntry e = Entry(u"\\f");
  ASSERT_EQ(e.List.Extents.size(), 5u);

  const size_t p = v.PacketBytes;
  const std::vector<std::vector<size_t>> plans = {
      {SIZE_MAX},
      {1, 2047, 2049, p - 1, p + 1, 3 * p + 5, 1 << 20},
      {2048, 6144, p, 5 * p, 1000},
      {4097, 333333, 100, 7 * p - 3},
  };
  for (const auto &plan : plans) {
    h = UDF_CreateFileW(&v, u"\\f", UDF_GENERIC_READ, UDF_OPEN_EXISTING, 0);
    ASSERT_NE(h, UDF_INVALID_HANDLE);
    std::vector<uint8_t> back, part;
    for (size_t i = 0; back.size() < data.size(); ++i) {
      const size_t want = std::min(plan[i % plan.size()], data.size() + 10);
      ASSERT_TRUE(ReadSome(v, h, part, want, n));
      ASSERT_EQ(n, std::min(want, data.size() - back.size()));
      // Nothing is written past what the call reports.
      for (size_t j = n; j < part.size(); ++j)
        ASSERT_EQ(part[j], 0xEE) << j;
      back.insert(back.end(), part.begin(), part.begin() + n);
    }
    UDF_CloseHandle(&v, h);
    ASSERT_EQ(back, data) << plan.size();
  }

  // The whole file in one call takes one request per extent and one per partial sector,
  // not one per packet.
  FaultyImageIO io;
  io.Attach(v);
  h = UDF_CreateFileW(&v, u"\\f", UDF_GENERIC_READ, UDF_OPEN_EXISTING, 0);
  const uint32_t reads0 = io.Reads();
  std::vector<uint8_t> back;
  ASSERT_TRUE(ReadSome(v, h, back, data.size(), n));
  EXPECT_EQ(back, data);
  EXPECT_LE(io.Reads() - reads0, 2 * e.List.Extents.size());
  UDF_CloseHandle(&v, h);
}

TEST_F(FsData, AFailureInsideALargeReadCountsTheBytesBeforeTheBadPacket) {
  const std::vector<uint8_t> data = Pattern(v.PacketBytes * 40 + 3000, 5);
  ASSERT_TRUE(WriteWhole(v, u"\\f", data));
  const RawEntry e = Entry(u"\\f");
  ASSERT_EQ(e.List.Extents.size(), 1u);
  const uint32_t pb = v.PacketBlocks;
  const uint32_t first = v.PartitionStart + e.List.Extents[0].AD.Block;
  // File position of the packet holding file block b.
  auto packetPos = [&](uint32_t b) -> uint64_t {
    const uint32_t s = first + b;
    return (s - s % pb < first) ? 0 : uint64_t(s - s % pb - first) * 2048;
  };
  FaultyImageIO io;
  io.Attach(v);

  struct Case {
    uint64_t from, count;
    uint32_t badBlock;
  };
  const uint64_t blocks = data.size() / 2048;
  const Case cases[] = {
      {1000, data.size() - 1000, 20 * pb + 5},         // in the middle of the direct part
      {1000, 30 * 2048 * uint64_t(pb) + 700, 30 * pb}, // the partial tail
      {1000, 20 * 2048 * uint64_t(pb), 0},             // the head's packet
      {4096, data.size() - 4096, uint32_t(blocks)},    // the last, partial block
      {2048 * 3, 2048 * 100, 3},                       // the first block of the call
  };
  for (const Case &c : cases) {
    UDF_HANDLE h = UDF_CreateFileW(&v, u"\\f", UDF_GENERIC_READ, UDF_OPEN_EXISTING, 0);
    ASSERT_NE(h, UDF_INVALID_HANDLE);
    std::vector<uint8_t> buf;
    uint32_t n = 0;
    ASSERT_TRUE(ReadSome(v, h, buf, c.from, n));
    // The packets read so far are cached: the read below goes to the medium again.
    korva::ReleasePacketCache(v);
    io.FailReadsOfSector(first + c.badBlock);
    EXPECT_FALSE(ReadSome(v, h, buf, c.count, n)) << c.badBlock;
    EXPECT_EQ(UDF_GetLastErrorNumber(&v), KORVA_E_READ);
    EXPECT_EQ(UDF_GetVolumeCompatibility(&v), KTRUE);
    const uint64_t expect = std::max(packetPos(c.badBlock), c.from) - c.from;
    ASSERT_EQ(n, expect) << c.badBlock;
    EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + n, data.begin() + c.from));
    // The position moved by what was reported: the next read picks up right there.
    io.Reset();
    ASSERT_TRUE(ReadSome(v, h, buf, 5000, n));
    ASSERT_EQ(n, 5000u);
    EXPECT_TRUE(std::equal(buf.begin(), buf.end(), data.begin() + c.from + expect));
    UDF_CloseHandle(&v, h);
  }
}
