// Files and directories whose extents hold more than their recorded length, as other writers
// leave them: the kernel rounds a file's last extent up to its block, and a writer killed while
// growing a directory leaves whole blocks past its length. Both must grow and shrink here.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "korva/check.h"
#include "tests/files/fs_helpers.h"
#include "tests/recovery/damage.h"
#include "tests/support/volume_fixture.h"
#include "udf/byte_order.h"
#include "volume/engine.h"
#include "volume/fs/fs_internal.h"
#include "volume/fs/fs_records.h"
#include "volume/medium/packet_cache.h"

using namespace korva;
using namespace korva::test;

namespace {

constexpr uint32_t kInfoLengthField = 56; // of a file entry

class Slack : public ::testing::Test {
protected:
  void SetUp() override {
    img_ = std::make_unique<FormattedImage>(24, u"SLACK", true);
    ASSERT_TRUE(img_->Ok());
  }
  TUDFRewritableVolume &V() { return img_->Volume(); }

  // Changes the closed image, then mounts it again.
  void EditImage(const std::function<bool(ImageDamage &)> &change) {
    const Layout layout = LayoutOf(V());
    ASSERT_EQ(UDF_DismountVolume(&V()), KTRUE);
    {
      ImageDamage d(img_->ImagePath(), layout);
      ASSERT_TRUE(d.Ok());
      ASSERT_TRUE(change(d));
    }
    ASSERT_EQ(UDF_MountImage(&V(), img_->ImagePath().c_str(), 0), KTRUE);
    ASSERT_EQ(UDF_GetVolumeCompatibility(&V()), KTRUE);
  }
  // Changes the file entry at `block`.
  void EditEntry(uint32_t block, const std::function<void(uint8_t *)> &change) {
    EditImage([&](ImageDamage &d) { return d.EditBlock(block, change); });
  }

  // Sets the length of the short descriptor at `slot` of a file entry.
  static void SetLength(uint8_t *fe, uint32_t slot, uint32_t length) {
    StoreLE32(fe + slot, (LoadLE32(fe + slot) & 0xC0000000u) | length);
  }

  // Writes a file and reads back its entry (at `fe`) with one extent.
  RawEntry PutFile(const std::u16string &path, const std::vector<uint8_t> &data, uint32_t &fe) {
    EXPECT_TRUE(WriteWhole(V(), path, data));
    fe = EntryBlock(V(), path);
    RawEntry e = ReadEntry(V(), fe);
    EXPECT_TRUE(e.Ok);
    EXPECT_EQ(e.List.Extents.size(), 1u);
    return e;
  }

  bool Clean() {
    KBOOL result = KFALSE;
    const std::vector<Found> found = CheckFindings(V(), result);
    if (result != KTRUE) ADD_FAILURE() << Describe(found);
    return result == KTRUE;
  }

  std::unique_ptr<FormattedImage> img_;
};

// Appends, grows through the size and shrinks a file, checking its bytes after each step.
void GrowAndShrink(TUDFRewritableVolume &v, const std::u16string &path,
                   std::vector<uint8_t> expect) {
  UDF_HANDLE h = UDF_CreateFileW(&v, path.c_str(), UDF_GENERIC_WRITE | UDF_GENERIC_READ,
                                 UDF_OPEN_EXISTING, 0);
  ASSERT_NE(h, UDF_INVALID_HANDLE) << UDF_GetLastErrorNumber(&v);
  const std::vector<uint8_t> more = Pattern(5000, 9);
  ASSERT_EQ(UDF_SetFilePointer(&v, h, expect.size()), KTRUE);
  uint32_t done = 0;
  ASSERT_EQ(UDF_WriteFile(&v, h, more.data(), uint32_t(more.size()), &done), KTRUE)
      << UDF_GetLastErrorNumber(&v);
  expect.insert(expect.end(), more.begin(), more.end());
  ASSERT_EQ(UDF_SetFileSize(&v, h, expect.size() + 7000), KTRUE) << UDF_GetLastErrorNumber(&v);
  expect.resize(expect.size() + 7000, 0);
  ASSERT_EQ(UDF_CloseHandle(&v, h), KTRUE);
  std::vector<uint8_t> got;
  ASSERT_TRUE(ReadWhole(v, path, got));
  EXPECT_EQ(got, expect);

  h = UDF_CreateFileW(&v, path.c_str(), UDF_GENERIC_WRITE, UDF_OPEN_EXISTING, 0);
  ASSERT_EQ(UDF_SetFileSize(&v, h, 3000), KTRUE) << UDF_GetLastErrorNumber(&v);
  ASSERT_EQ(UDF_CloseHandle(&v, h), KTRUE);
  expect.resize(3000);
  ASSERT_TRUE(ReadWhole(v, path, got));
  EXPECT_EQ(got, expect);
}

// The kernel's form: the last extent rounded up to its block, the bytes past the length
// being whatever the block held.
TEST_F(Slack, FileWithItsLastExtentRoundedUpGrowsAndShrinks) {
  const std::vector<uint8_t> data = Pattern(10000, 1);
  uint32_t fe = 0;
  const RawEntry before = PutFile(u"\\f", data, fe);
  ASSERT_EQ(before.List.Extents.size(), 1u);
  const uint16_t at = before.List.Extents[0].SlotOffset;
  EditEntry(fe, [&](uint8_t *b) { SetLength(b, at, 10240); });
  GrowAndShrink(V(), u"\\f", data);
  EXPECT_TRUE(Clean());
}

// An interrupted writer's form: three whole blocks of stale bytes past the length. What the
// file grows into reads as written, never as the stale bytes.
TEST_F(Slack, FileWithWholeBlocksPastItsLengthGrowsWithoutStaleBytes) {
  const std::vector<uint8_t> full = Pattern(6 * 2048, 2);
  uint32_t fe = 0;
  PutFile(u"\\g", full, fe);
  EditEntry(fe, [&](uint8_t *b) { StoreLE64(b + kInfoLengthField, 2500); });
  const std::vector<uint8_t> head(full.begin(), full.begin() + 2500);
  GrowAndShrink(V(), u"\\g", head);
  // Shrinking freed what lay past the cut, stale blocks included.
  EXPECT_TRUE(Clean());
}

} // namespace

namespace {

std::u16string Numbered(const char16_t *stem, int i) {
  std::u16string s = stem;
  for (int d = 100; d > 0; d /= 10)
    s += char16_t(u'0' + (i / d) % 10);
  return s;
}

// A directory left by a writer killed while adding entries: its extents hold 3920 bytes (and
// a whole block) past its length. New entries go there first, then past it; every name
// reads back, before and after a remount, and the volume checks clean.
TEST_F(Slack, DirectoryWithRoomPastItsLengthTakesNewEntries) {
  ASSERT_EQ(UDF_CreateDirectoryW(&V(), u"\\", u"d"), KTRUE);
  for (int i = 0; i < 100; ++i)
    ASSERT_EQ(UDF_CreateDirectoryW(&V(), u"\\d", Numbered(u"file", i).c_str()), KTRUE);
  const uint32_t dir = EntryBlock(V(), u"\\d");
  ASSERT_EQ(ReadEntry(V(), dir).Info.InformationLength, 40u + 100 * 56);
  EditEntry(dir, [](uint8_t *b) { StoreLE64(b + kInfoLengthField, 40 + 30 * 56); });
  ASSERT_EQ(List(V(), u"\\d\\*").size(), 30u);

  // 44 bytes, then 69 of 56 leave 12 bytes of room: the next one continues past it.
  ASSERT_EQ(UDF_CreateDirectoryW(&V(), u"\\d", u"new"), KTRUE) << UDF_GetLastErrorNumber(&V());
  for (int i = 0; i < 80; ++i)
    ASSERT_TRUE(WriteWhole(V(), u"\\d\\" + Numbered(u"more", i), Pattern(100, uint32_t(i))))
        << i << ": error " << UDF_GetLastErrorNumber(&V());
  auto expectAll = [&] {
    const std::vector<Listed> all = List(V(), u"\\d\\*");
    ASSERT_EQ(all.size(), 30u + 1 + 80);
    EXPECT_EQ(all[30].Name, u"new");
    for (int i = 0; i < 80; ++i) {
      EXPECT_EQ(all[31 + i].Name, Numbered(u"more", i));
      std::vector<uint8_t> got;
      EXPECT_TRUE(ReadWhole(V(), u"\\d\\" + Numbered(u"more", i), got));
      EXPECT_EQ(got, Pattern(100, uint32_t(i)));
    }
  };
  expectAll();
  ASSERT_TRUE(img_->Remount());
  expectAll();
  // The entries lost with the length were never counted: repair settles the counts and the
  // blocks of the lost subdirectories; afterwards the volume is clean.
  KBOOL result = KFALSE;
  RepairFindings(V(), result);
  ASSERT_EQ(result, KTRUE);
  EXPECT_TRUE(Clean());
  expectAll();
}

} // namespace

namespace {

// Check reports the whole blocks a directory holds past its length; repair cuts them back
// and frees them, and every entry within the length stays.
TEST_F(Slack, CheckReportsDirectoryBlocksPastItsLengthAndRepairFreesThem) {
  ASSERT_EQ(UDF_CreateDirectoryW(&V(), u"\\", u"d"), KTRUE);
  for (int i = 0; i < 100; ++i)
    ASSERT_TRUE(WriteWhole(V(), u"\\d\\" + Numbered(u"file", i), {}));
  const uint32_t dir = EntryBlock(V(), u"\\d");
  ASSERT_EQ(ReadEntry(V(), dir).List.Extents.size(), 3u);
  EditEntry(dir, [](uint8_t *b) { StoreLE64(b + kInfoLengthField, 40 + 30 * 56); });
  KBOOL result = KTRUE;
  std::vector<Found> found = CheckFindings(V(), result);
  EXPECT_EQ(result, KFALSE);
  const Found *f = FindKind(found, KORVA_FINDING_LENGTH);
  ASSERT_NE(f, nullptr) << Describe(found);
  EXPECT_EQ(f->Block, dir);
  EXPECT_EQ(f->Path, "/d");

  const uint64_t freeBefore = UDF_GetFreeBlocksOfLogicalVolume(&V());
  found = RepairFindings(V(), result);
  ASSERT_EQ(result, KTRUE) << Describe(found);
  const RawEntry after = ReadEntry(V(), dir);
  ASSERT_EQ(after.List.Extents.size(), 1u);
  EXPECT_EQ(after.List.TotalBytes(), 40u + 30 * 56);
  EXPECT_EQ(after.Info.BlocksRecorded, 1u);
  // Two directory blocks, and the 70 files past the length (empty: a file entry each).
  EXPECT_EQ(UDF_GetFreeBlocksOfLogicalVolume(&V()), freeBefore + 2 + 70);
  EXPECT_TRUE(Clean());
  EXPECT_EQ(List(V(), u"\\d\\*").size(), 30u);
  ASSERT_TRUE(WriteWhole(V(), u"\\d\\again", Pattern(10, 1)));
  EXPECT_EQ(List(V(), u"\\d\\*").size(), 31u);
  EXPECT_TRUE(Clean());
}

} // namespace

namespace {

// A sparse file as the kernel leaves it: a hole of three blocks inside, and a hole of two
// at the end (a truncate that extended it). Writes into either get blocks of their own and
// read back; the rest of the holes still read as zeros.
TEST_F(Slack, WritesIntoHolesAllocateThem) {
  const std::vector<uint8_t> data = Pattern(6 * 2048, 3);
  uint32_t fe = 0;
  const RawEntry before = PutFile(u"\\s", data, fe);
  ASSERT_EQ(before.List.Extents.size(), 1u);
  const uint32_t first = before.List.Extents[0].AD.Block;
  const uint16_t at = before.List.Extents[0].SlotOffset;
  constexpr uint32_t kHole = 2u << 30;
  EditEntry(fe, [&](uint8_t *b) {
    const uint32_t ads[4][2] = {{2 * 2048, first},
                                {kHole | 3 * 2048, 0},
                                {2048, first + 5},
                                {kHole | 2 * 2048, 0}};
    for (int i = 0; i < 4; ++i) {
      StoreLE32(b + at + 8 * i, ads[i][0]);
      StoreLE32(b + at + 8 * i + 4, ads[i][1]);
    }
    StoreLE32(b + at - 4, 32); // length of the descriptors
    StoreLE64(b + kInfoLengthField, 8 * 2048);
    StoreLE64(b + kInfoLengthField + 8, 3); // blocks recorded
    RefillEntryTag(b, fe);
  });
  // The blocks the hole took from the file are free on the medium, and counted free.
  const uint32_t integrity = LayoutOf(V()).IntegritySector;
  EditImage([&](ImageDamage &d) {
    return d.SetBitmap(first + 2, 3, true) &&
           d.Edit(integrity, integrity, [](uint8_t *b) { StoreLE32(b + 80, LoadLE32(b + 80) + 3); });
  });
  std::vector<uint8_t> expect = data;
  std::fill(expect.begin() + 2 * 2048, expect.begin() + 5 * 2048, 0);
  expect.resize(8 * 2048, 0);
  std::vector<uint8_t> got;
  ASSERT_TRUE(ReadWhole(V(), u"\\s", got));
  ASSERT_EQ(got, expect);
  ASSERT_TRUE(Clean());

  UDF_HANDLE h = UDF_CreateFileW(&V(), u"\\s", UDF_GENERIC_WRITE, UDF_OPEN_EXISTING, 0);
  ASSERT_NE(h, UDF_INVALID_HANDLE);
  const std::vector<uint8_t> inside = Pattern(100, 4), after = Pattern(5000, 5);
  uint32_t done = 0;
  ASSERT_EQ(UDF_SetFilePointer(&V(), h, 3 * 2048 + 10), KTRUE);
  ASSERT_EQ(UDF_WriteFile(&V(), h, inside.data(), 100, &done), KTRUE)
      << UDF_GetLastErrorNumber(&V());
  ASSERT_EQ(UDF_SetFilePointer(&V(), h, 8 * 2048), KTRUE);
  ASSERT_EQ(UDF_WriteFile(&V(), h, after.data(), 5000, &done), KTRUE)
      << UDF_GetLastErrorNumber(&V());
  ASSERT_EQ(UDF_CloseHandle(&V(), h), KTRUE);
  std::copy(inside.begin(), inside.end(), expect.begin() + 3 * 2048 + 10);
  expect.insert(expect.end(), after.begin(), after.end());
  ASSERT_TRUE(ReadWhole(V(), u"\\s", got));
  EXPECT_EQ(got, expect);
  EXPECT_TRUE(Clean());
  ASSERT_TRUE(img_->Remount());
  ASSERT_TRUE(ReadWhole(V(), u"\\s", got));
  EXPECT_EQ(got, expect);
  EXPECT_TRUE(Clean());
}

// A write refused for want of space leaves the volume as it was: the extent allocated but
// not recorded that it reaches keeps its blocks' bytes (it is zeroed only by a write that goes
// ahead), and the blocks it took for a hole and for its new runs are free again.
TEST_F(Slack, RefusedWriteZerosNothingAndGivesBackWhatItTook) {
  const std::vector<uint8_t> data = Pattern(6 * 2048, 7);
  uint32_t fe = 0;
  const RawEntry before = PutFile(u"\\a", data, fe);
  const uint32_t first = before.List.Extents[0].AD.Block;
  const uint16_t at = before.List.Extents[0].SlotOffset;
  EditEntry(fe, [&](uint8_t *b) {
    const uint32_t ads[3][2] = {{2 * 2048, first},
                                {(1u << 30) | 2 * 2048, first + 2}, // allocated, not recorded
                                {(2u << 30) | 2 * 2048, 0}};        // a hole
    for (int i = 0; i < 3; ++i) {
      StoreLE32(b + at + 8 * i, ads[i][0]);
      StoreLE32(b + at + 8 * i + 4, ads[i][1]);
    }
    StoreLE32(b + at - 4, 24); // length of the descriptors
    StoreLE64(b + kInfoLengthField + 8, 4); // blocks recorded
    RefillEntryTag(b, fe);
  });
  // The blocks the hole took from the file are free on the medium, and counted free.
  const uint32_t integrity = LayoutOf(V()).IntegritySector;
  EditImage([&](ImageDamage &d) {
    return d.SetBitmap(first + 4, 2, true) &&
           d.Edit(integrity, integrity, [](uint8_t *b) { StoreLE32(b + 80, LoadLE32(b + 80) + 2); });
  });
  std::vector<uint8_t> expect = data;
  std::fill(expect.begin() + 2 * 2048, expect.end(), 0);
  std::vector<uint8_t> got;
  ASSERT_TRUE(ReadWhole(V(), u"\\a", got));
  ASSERT_EQ(got, expect);
  ASSERT_TRUE(Clean());

  const uint32_t freeBefore = UDF_GetFreeBlocksOfLogicalVolume(&V());
  ASSERT_EQ(CountFreeBlocks(V()), freeBefore);
  UDF_HANDLE h = UDF_CreateFileW(&V(), u"\\a", UDF_GENERIC_WRITE, UDF_OPEN_EXISTING, 0);
  ASSERT_NE(h, UDF_INVALID_HANDLE);
  // From inside the allocated extent, through the hole, to past the end of the free space.
  const std::vector<uint8_t> big((uint64_t(freeBefore) + 8) * 2048, 0x5A);
  ASSERT_EQ(UDF_SetFilePointer(&V(), h, 3 * 2048), KTRUE);
  uint32_t done = 1;
  EXPECT_EQ(UDF_WriteFile(&V(), h, big.data(), uint32_t(big.size()), &done), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&V()), uint32_t(KORVA_E_NO_SPACE));
  EXPECT_EQ(done, 0u);
  ASSERT_EQ(UDF_CloseHandle(&V(), h), KTRUE);

  uint8_t block[2048];
  for (uint32_t i = 2; i < 4; ++i) {
    ASSERT_TRUE(ReadBlock(V(), first + i, block));
    EXPECT_EQ(std::memcmp(block, data.data() + i * 2048, 2048), 0) << "block " << i;
  }
  EXPECT_EQ(UDF_GetFreeBlocksOfLogicalVolume(&V()), freeBefore);
  // Blocks given back become free once what stopped naming them is durable.
  ASSERT_TRUE(FlushPacketCache(V(), true).IsOk());
  EXPECT_EQ(CountFreeBlocks(V()), freeBefore);
  ASSERT_TRUE(ReadWhole(V(), u"\\a", got));
  EXPECT_EQ(got, expect);
  EXPECT_TRUE(Clean());
}

} // namespace

namespace {

// A refused append leaves the directory exactly as it was: a directory another writer
// described with long descriptors, whose length claims more than its extents hold, is not
// rewritten in this engine's form before the refusal.
TEST_F(Slack, RefusedAppendChangesNoDescriptor) {
  ASSERT_EQ(UDF_CreateDirectoryW(&V(), u"\\", u"d"), KTRUE);
  for (int i = 0; i < 40; ++i)
    ASSERT_EQ(UDF_CreateDirectoryW(&V(), u"\\d", Numbered(u"sub", i).c_str()), KTRUE);
  const uint32_t dir = EntryBlock(V(), u"\\d");
  const RawEntry before = ReadEntry(V(), dir);
  ASSERT_TRUE(before.Ok);
  const uint64_t total = before.List.TotalBytes();
  const uint16_t at = before.List.Extents[0].SlotOffset;
  EditEntry(dir, [&](uint8_t *b) {
    // Long descriptors (16 bytes: length, block, partition, implementation use).
    std::vector<uint8_t> longs;
    for (const ADSlot &s : before.List.Extents) {
      uint8_t ad[16] = {};
      StoreLE32(ad, s.AD.LengthWord);
      StoreLE32(ad + 4, s.AD.Block);
      longs.insert(longs.end(), ad, ad + 16);
    }
    std::memset(b + at, 0, 2048 - at);
    std::memcpy(b + at, longs.data(), longs.size());
    StoreLE32(b + at - 4, uint32_t(longs.size()));
    StoreLE16(b + 34, uint16_t((LoadLE16(b + 34) & ~7u) | 1u));
    StoreLE64(b + kInfoLengthField, total + 500);
    RefillEntryTag(b, dir);
  });
  uint8_t fe[2048], after[2048];
  ASSERT_TRUE(ReadBlock(V(), dir, fe));
  EXPECT_EQ(UDF_CreateDirectoryW(&V(), u"\\d", u"new"), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&V()), uint32_t(KORVA_E_DAMAGED));
  ASSERT_TRUE(ReadBlock(V(), dir, after));
  EXPECT_EQ(std::memcmp(fe, after, 2048), 0);
}

} // namespace
