// Files past the 30-bit extent length and past 4 GiB. Kept apart from the other file tests:
// it writes and reads 4 GiB, so it runs alongside them.
#include <gtest/gtest.h>

#include <cstring>

#include "tests/files/fs_helpers.h"
#include "tests/support/volume_fixture.h"
#include "volume/engine.h"

using namespace korva;
using namespace korva::test;

// Files past the 30-bit extent length and past 4 GiB: written in 1 MiB calls, every extent
// but the last a whole number of blocks below 2^30, the size and the position 64-bit.
TEST(FsLargeFiles, BeyondOneExtentAndFourGiB) {
  FormattedImage img(4400);
  ASSERT_TRUE(img.Ok());
  TUDFRewritableVolume &v = img.Volume();
  const uint64_t size = (uint64_t(1) << 32) + 4097;
  const uint32_t chunk = 1 << 20;
  std::vector<uint8_t> buf(chunk);
  auto fill = [&](uint64_t index) {
    std::memset(buf.data(), int(index * 7 + 1), chunk);
    std::memcpy(buf.data(), &index, sizeof index);
  };
  UDF_HANDLE h = UDF_CreateFileW(&v, u"\\huge", UDF_GENERIC_WRITE, UDF_CREATE_NEW, 0);
  ASSERT_NE(h, UDF_INVALID_HANDLE);
  const uint32_t free0 = v.FreeBlocks;
  for (uint64_t done = 0, i = 0; done < size; ++i) {
    const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(chunk, size - done));
    fill(i);
    uint32_t written = 0;
    ASSERT_EQ(UDF_WriteFile(&v, h, buf.data(), n, &written), KTRUE) << i;
    done += n;
  }
  UDF_CloseHandle(&v, h);
  EXPECT_EQ(free0 - v.FreeBlocks, (size + 2047) / 2048);

  RawEntry e = ReadEntry(v, EntryBlock(v, u"\\huge"));
  ASSERT_TRUE(e.Ok);
  EXPECT_EQ(e.Info.InformationLength, size);
  EXPECT_EQ(e.List.TotalBytes(), size);
  ASSERT_GE(e.List.Extents.size(), 5u);
  for (size_t i = 0; i + 1 < e.List.Extents.size(); ++i) {
    EXPECT_EQ(e.List.Extents[i].AD.Length() % 2048, 0u);
    EXPECT_LT(e.List.Extents[i].AD.Length(), 1u << 30);
  }
  std::vector<Listed> l = List(v, u"\\huge");
  ASSERT_EQ(l.size(), 1u);
  EXPECT_EQ(l[0].Size, size);

  ASSERT_TRUE(img.Remount());
  h = UDF_CreateFileW(&v, u"\\huge", UDF_GENERIC_READ, UDF_OPEN_EXISTING, 0);
  ASSERT_NE(h, UDF_INVALID_HANDLE);
  std::vector<uint8_t> in(chunk);
  uint64_t total = 0;
  for (uint64_t i = 0;; ++i) {
    uint32_t got = 0;
    ASSERT_EQ(UDF_ReadFile(&v, h, in.data(), chunk, &got), KTRUE) << i;
    if (got == 0) break;
    fill(i);
    ASSERT_EQ(std::memcmp(in.data(), buf.data(), got), 0) << i;
    total += got;
  }
  EXPECT_EQ(total, size);
  UDF_CloseHandle(&v, h);
}
