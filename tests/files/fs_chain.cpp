#include "tests/files/fs_chain.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <optional>

#include "tests/files/fs_helpers.h"
#include "udf/byte_order.h"
#include "udf/descriptors.h"
#include "udf/tag.h"
#include "volume/fs/fs_internal.h"
#include "volume/fs/fs_records.h"

namespace korva::test {

std::vector<uint32_t> Chain(TUDFRewritableVolume &v, const std::u16string &path, uint32_t adBytes,
                            uint32_t perEntry, uint32_t perBlock) {
  const uint32_t feBlock = EntryBlock(v, path);
  RawEntry old = ReadEntry(v, feBlock);
  std::vector<ShortADValue> ads;
  for (const ADSlot &s : old.List.Extents)
    for (uint32_t done = 0; done < s.AD.Length(); done += kBlockSize)
      ads.push_back({std::min(kBlockSize, s.AD.Length() - done), s.AD.Block + done / kBlockSize});
  std::vector<uint32_t> chain;
  uint32_t hint = ads.empty() ? 0 : ads.back().Block + 1;
  for (size_t left = ads.size() > perEntry ? ads.size() - perEntry : 0; left > 0;) {
    uint32_t b = 0;
    EXPECT_TRUE(TakeBlock(v, hint, b).IsOk());
    chain.push_back(b);
    hint = b + 1;
    left -= std::min<size_t>(left, perBlock);
  }
  EXPECT_TRUE(CommitIntegrity(v, -int64_t(chain.size()), 0, 0).IsOk());
  // Fills one list block from ads[next] on; continues to `to` when it is not 0.
  size_t next = 0;
  auto fill = [&](uint8_t *b, uint32_t count, uint32_t to) {
    const std::optional<DescriptorArea> area = DescriptorAreaOf(b, kBlockSize);
    EXPECT_TRUE(area);
    uint32_t off = area->First;
    std::memset(b + off, 0, kBlockSize - off);
    for (uint32_t i = 0; i < count && next < ads.size(); ++i, ++next, off += adBytes) {
      StoreLE32(b + off, ads[next].LengthWord);
      StoreLE32(b + off + 4, ads[next].Block);
    }
    if (to) {
      StoreLE32(b + off, (3u << 30) | kBlockSize);
      StoreLE32(b + off + 4, to);
      off += adBytes;
    }
    EXPECT_LE(off, kBlockSize);
    StoreLE32(b + area->LengthField, off - area->First);
    return off;
  };
  uint8_t fe[kBlockSize];
  EXPECT_TRUE(ReadBlock(v, feBlock, fe));
  StoreLE16(fe + 34, static_cast<uint16_t>((LoadLE16(fe + 34) & ~7) | (adBytes == 16 ? 1 : 0)));
  const uint32_t end = fill(fe, perEntry, chain.empty() ? 0 : chain[0]);
  FillTagAt(fe, LoadLE16(fe), static_cast<uint16_t>(end - 16), feBlock);
  for (size_t i = 0; i < chain.size(); ++i) {
    uint8_t aed[kBlockSize] = {};
    StoreLE16(aed, kTagAllocationExtent);
    fill(aed, perBlock, i + 1 < chain.size() ? chain[i + 1] : 0);
    FillTagAt(aed, kTagAllocationExtent, 8, chain[i]);
    EXPECT_TRUE(WriteBlock(v, chain[i], aed));
  }
  EXPECT_TRUE(WriteBlock(v, feBlock, fe));
  return chain;
}

} // namespace korva::test
