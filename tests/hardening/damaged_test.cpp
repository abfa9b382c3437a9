// Damaged volumes are never made worse: each case builds the damage on a formatted image
// (tags and CRCs recomputed, so it passes every tag check) and shows that the command either
// refuses with 32 and changes nothing, or cannot be led into destroying other data.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>

#include "tests/files/fs_helpers.h"
#include "tests/hardening/damage.h"
#include "tests/support/volume_fixture.h"
#include "udf/byte_order.h"
#include "udf/tag.h"
#include "volume/engine.h"
#include "volume/fs/fs_internal.h"
#include "volume/fs/fs_records.h"

using namespace korva;
using namespace korva::test;

namespace {

constexpr uint32_t RW = UDF_GENERIC_READ | UDF_GENERIC_WRITE;

class Damaged : public ::testing::Test {
protected:
  FormattedImage img{20};
  TUDFRewritableVolume &v = img.Volume();
  void SetUp() override {
    ASSERT_TRUE(img.Ok());
    ASSERT_EQ(UDF_CreateDirectoryW(&v, u"\\", u"D"), KTRUE);
    ASSERT_TRUE(WriteWhole(v, u"\\D\\keep.bin", Pattern(3 * 2048 + 100, 1)));
    ASSERT_TRUE(WriteWhole(v, u"\\victim.bin", Pattern(2 * 2048, 2)));
  }
  // Points the first extent of a file at block, keeping its length.
  void RedirectExtent(const std::u16string &path, uint32_t block) {
    const uint32_t fe = EntryBlock(v, path);
    ASSERT_NE(fe, 0u);
    ASSERT_TRUE(EditFileEntry(v, fe, [&](uint8_t *s) { StoreLE32(s + kFEFirstSlot + 4, block); }));
  }
  // The delete is refused as damage and the volume is as it was.
  void ExpectRefused(const char16_t *path, FileSystemObjectType kind = IsFile) {
    const uint32_t freeBlocks = v.FreeBlocks, files = v.FileCount;
    const KBOOL r = kind == IsFile ? UDF_DeleteFileW(&v, path) : UDF_RemoveDirectoryW(&v, path);
    EXPECT_EQ(r, KFALSE) << "deleting " << std::string(path, path + 3);
    EXPECT_EQ(UDF_GetLastErrorNumber(&v), KORVA_E_DAMAGED);
    EXPECT_EQ(v.FreeBlocks, freeBlocks);
    EXPECT_EQ(v.FileCount, files);
    EXPECT_NE(EntryBlock(v, path), 0u) << "the entry stays for check and repair";
    if (kind != IsFile) return;
    // Replacing the file in place would free the same blocks.
    EXPECT_EQ(UDF_CreateFileW(&v, path, RW, UDF_CREATE_ALWAYS, 0), UDF_INVALID_HANDLE);
    EXPECT_EQ(UDF_GetLastErrorNumber(&v), KORVA_E_DAMAGED);
    EXPECT_EQ(v.FreeBlocks, freeBlocks);
  }
  // Everything that was readable before still is, after more data went onto the volume.
  void ExpectIntactAfterMoreWrites() {
    ASSERT_TRUE(WriteWhole(v, u"\\new.bin", Pattern(40 * 2048, 9)));
    ASSERT_EQ(UDF_CreateDirectoryW(&v, u"\\", u"N"), KTRUE);
    std::vector<uint8_t> data;
    ASSERT_TRUE(ReadWhole(v, u"\\D\\keep.bin", data));
    EXPECT_EQ(data, Pattern(3 * 2048 + 100, 1));
    EXPECT_EQ(List(v, u"\\D\\*").size(), 1u);
    EXPECT_EQ(List(v, u"\\*").size(), 4u);
    ASSERT_TRUE(img.Remount());
  }
};

} // namespace

TEST_F(Damaged, DeleteNeverFreesWhatItsEntryDoesNotOwn) {
  // An extent on the volume's own structures, or on the directory that holds the entry.
  RedirectExtent(u"\\victim.bin", RootBlock(v));
  ExpectRefused(u"\\victim.bin");
  RedirectExtent(u"\\victim.bin", v.FileSetSector - v.PartitionStart);
  ExpectRefused(u"\\victim.bin");
  RedirectExtent(u"\\victim.bin", v.SpaceBitmapSector - v.PartitionStart + 1);
  ExpectRefused(u"\\victim.bin");
  RedirectExtent(u"\\victim.bin", ReadEntry(v, RootBlock(v)).List.Extents[0].AD.Block);
  ExpectRefused(u"\\victim.bin");
  // Outside the partition, and on blocks the bitmap says are free.
  RedirectExtent(u"\\victim.bin", v.PartitionLength - 1);
  ExpectRefused(u"\\victim.bin");
  uint32_t freeBlock = 0, length = 0;
  ASSERT_TRUE(FindFreeRun(v, 0, 2, false, freeBlock, length).IsOk() && length > 0);
  RedirectExtent(u"\\victim.bin", freeBlock);
  ExpectRefused(u"\\victim.bin");
  // Over its own file entry.
  RedirectExtent(u"\\victim.bin", EntryBlock(v, u"\\victim.bin"));
  ExpectRefused(u"\\victim.bin");
  ExpectIntactAfterMoreWrites();
}

TEST_F(Damaged, DeleteRefusesAnEntryWhoseKindDisagrees) {
  // The directory entry says "file" but leads to a directory's file entry.
  const uint32_t dir = EntryBlock(v, u"\\D");
  ASSERT_TRUE(EditFid(v, u"\\victim.bin", [&](uint8_t *fid) { StoreLE32(fid + 24, dir); }));
  ExpectRefused(u"\\victim.bin");
  // ... or at something that is no file entry at all (a block of another file's data).
  const uint32_t data = ReadEntry(v, EntryBlock(v, u"\\D\\keep.bin")).List.Extents[0].AD.Block;
  ASSERT_TRUE(EditFid(v, u"\\victim.bin", [&](uint8_t *fid) { StoreLE32(fid + 24, data); }));
  ExpectRefused(u"\\victim.bin");
  ExpectIntactAfterMoreWrites();
}

// Two entries claim the same blocks (an extent into another file's data, two directory
// entries leading to one file entry, a directory over a file's data): neither delete, nor
// an in-place replacement, nor a truncation may free them, whichever of the two is asked,
// and the other entry still reads afterwards.
TEST_F(Damaged, FreesRefuseBlocksAnotherEntryClaims) {
  const uint32_t keep = EntryBlock(v, u"\\D\\keep.bin");
  const uint32_t keepData = ReadEntry(v, keep).List.Extents[0].AD.Block;
  RedirectExtent(u"\\victim.bin", keepData + 1);
  ASSERT_TRUE(img.Remount()); // the damage is what a mount finds
  ExpectRefused(u"\\victim.bin");
  ExpectRefused(u"\\D\\keep.bin");
  UDF_HANDLE h = UDF_CreateFileW(&v, u"\\victim.bin", RW, UDF_OPEN_EXISTING, 0);
  ASSERT_NE(h, UDF_INVALID_HANDLE);
  EXPECT_EQ(UDF_TruncateFile(&v, h), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), KORVA_E_DAMAGED);
  UDF_CloseHandle(&v, h);
  ExpectIntactAfterMoreWrites();
  // A later mount finds the claim again.
  ExpectRefused(u"\\victim.bin");
  std::vector<uint8_t> data;
  ASSERT_TRUE(ReadWhole(v, u"\\D\\keep.bin", data));
  EXPECT_EQ(data, Pattern(3 * 2048 + 100, 1));
}

TEST_F(Damaged, DeleteRefusesAFileEntryReachedTwice) {
  // A second directory entry leads to keep.bin's file entry, which records one link.
  ASSERT_TRUE(EditFid(v, u"\\victim.bin",
                      [&](uint8_t *fid) { StoreLE32(fid + 24, EntryBlock(v, u"\\D\\keep.bin")); }));
  ASSERT_TRUE(img.Remount());
  ExpectRefused(u"\\victim.bin");
  ExpectRefused(u"\\D\\keep.bin");
  ExpectIntactAfterMoreWrites();
}

// Two names that another system recorded for one file (its entry counts two links) are no
// damage: each delete goes through, and the last one frees the file's blocks.
TEST_F(Damaged, AFileRecordedWithTwoNamesIsDeletedNameByName) {
  const uint32_t keep = EntryBlock(v, u"\\D\\keep.bin");
  ASSERT_TRUE(EditFid(v, u"\\victim.bin", [&](uint8_t *fid) { StoreLE32(fid + 24, keep); }));
  ASSERT_TRUE(EditFileEntry(v, keep, [](uint8_t *fe) { StoreLE16(fe + 48, 2); }));
  ASSERT_TRUE(img.Remount());
  const uint32_t freeBlocks = v.FreeBlocks;
  ASSERT_EQ(UDF_DeleteFileW(&v, u"\\victim.bin"), KTRUE) << UDF_GetLastErrorNumber(&v);
  EXPECT_EQ(v.FreeBlocks, freeBlocks);
  std::vector<uint8_t> data;
  ASSERT_TRUE(ReadWhole(v, u"\\D\\keep.bin", data));
  EXPECT_EQ(data, Pattern(3 * 2048 + 100, 1));
  ASSERT_EQ(UDF_DeleteFileW(&v, u"\\D\\keep.bin"), KTRUE) << UDF_GetLastErrorNumber(&v);
  EXPECT_EQ(v.FreeBlocks, freeBlocks + 5) << "its entry and four data blocks";
}

TEST_F(Damaged, RemoveDirectoryRefusesDataAnotherEntryClaims) {
  // An empty directory whose data extent lies on keep.bin's data.
  ASSERT_EQ(UDF_CreateDirectoryW(&v, u"\\", u"E"), KTRUE);
  const uint32_t keepData = ReadEntry(v, EntryBlock(v, u"\\D\\keep.bin")).List.Extents[0].AD.Block;
  ASSERT_TRUE(EditFileEntry(v, EntryBlock(v, u"\\E"),
                            [&](uint8_t *fe) { StoreLE32(fe + kFEFirstSlot + 4, keepData); }));
  ASSERT_TRUE(img.Remount());
  ExpectRefused(u"\\E", IsDirectory);
  ASSERT_TRUE(WriteWhole(v, u"\\new.bin", Pattern(40 * 2048, 9)));
  std::vector<uint8_t> data;
  ASSERT_TRUE(ReadWhole(v, u"\\D\\keep.bin", data));
  EXPECT_EQ(data, Pattern(3 * 2048 + 100, 1));
}

TEST_F(Damaged, AppendRefusesADirectoryShorterThanItsData) {
  // The recorded length stops before the last entry's end: a new entry placed after the data
  // would be out of every reader's sight.
  const uint32_t root = RootBlock(v);
  const RawEntry before = ReadEntry(v, root);
  ASSERT_TRUE(before.Ok);
  ASSERT_TRUE(EditFileEntry(
      v, root, [&](uint8_t *fe) { StoreLE64(fe + 56, before.Info.InformationLength - 4); }));
  const uint32_t freeBlocks = v.FreeBlocks;
  EXPECT_EQ(UDF_CreateDirectoryW(&v, u"\\", u"lost"), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), KORVA_E_DAMAGED);
  EXPECT_EQ(UDF_CreateFileW(&v, u"\\lost.txt", RW, UDF_CREATE_NEW, 0), UDF_INVALID_HANDLE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), KORVA_E_DAMAGED);
  EXPECT_EQ(v.FreeBlocks, freeBlocks);
  // The directory below is untouched by the damage above it.
  EXPECT_EQ(UDF_CreateDirectoryW(&v, u"\\D", u"fine"), KTRUE);
  EXPECT_NE(EntryBlock(v, u"\\D\\fine"), 0u);
}

// A bitmap that marks the volume's own structures free mounts not compatible (32), so that
// nothing is ever placed on them.
TEST(DamagedBitmap, MountRefusesABitmapThatFreesTheVolumesStructures) {
  FormattedImage img(20);
  ASSERT_TRUE(img.Ok());
  TUDFRewritableVolume &v = img.Volume();
  ASSERT_EQ(UDF_CreateDirectoryW(&v, u"\\", u"D"), KTRUE);
  const uint32_t bitmapSector = v.SpaceBitmapSector, start = v.PartitionStart;
  const uint32_t blocks[] = {RootBlock(v), v.FileSetSector - start, bitmapSector - start,
                             ReadEntry(v, RootBlock(v)).List.Extents[0].AD.Block};
  ASSERT_EQ(UDF_DismountVolume(&v), KTRUE);
  const std::string original = ReadImageSector(img.ImagePath(), bitmapSector);
  for (uint32_t block : blocks) {
    std::string s = original;
    auto *d = reinterpret_cast<uint8_t *>(s.data());
    d[24 + block / 8] |= uint8_t(1u << (block % 8)); // set = free
    FillTagAt(d, kTagSpaceBitmap, LoadLE16(d + 10), bitmapSector - start);
    {
      std::fstream f(img.ImagePath(), std::ios::in | std::ios::out | std::ios::binary);
      f.seekp(std::streamoff(bitmapSector) * 2048);
      f.write(s.data(), 2048);
    }
    ASSERT_EQ(UDF_MountImage(&v, img.ImagePath().c_str(), 0), KTRUE);
    EXPECT_EQ(UDF_GetLastErrorNumber(&v), KORVA_E_DAMAGED) << "block " << block;
    EXPECT_EQ(v.Compatible, 0) << "block " << block;
    ASSERT_EQ(UDF_DismountVolume(&v), KTRUE);
  }
  std::fstream f(img.ImagePath(), std::ios::in | std::ios::out | std::ios::binary);
  f.seekp(std::streamoff(bitmapSector) * 2048);
  f.write(original.data(), 2048);
  f.close();
  ASSERT_EQ(UDF_MountImage(&v, img.ImagePath().c_str(), 0), KTRUE);
  EXPECT_EQ(v.Compatible, 1);
}

// Descriptor lists that claim more than the volume holds (one block repeated over and over,
// as damage can make them) are cut at the partition's size: scans and reads end promptly.
TEST_F(Damaged, ListsLongerThanTheVolumeAreDamage) {
  const uint32_t dir = EntryBlock(v, u"\\D");
  const RawEntry d = ReadEntry(v, dir);
  ASSERT_TRUE(d.Ok);
  const ShortADValue data = d.List.Extents[0].AD;
  // Every slot of the directory's entry and of a chain of extension blocks repeats the data
  // block; the chain runs through every free block.
  uint32_t first = 0, length = 0;
  ASSERT_TRUE(FindFreeRun(v, 0, 4000, true, first, length).IsOk() && length > 0);
  ASSERT_GE(length, 3000u);
  const ShortADValue full{kBlockSize, data.Block};
  for (uint32_t i = 0; i < length; ++i) {
    const uint32_t b = first + i;
    uint8_t s[kBlockSize];
    BuildAllocationExtent(s, b);
    for (uint32_t o = kAEDFirstSlot; o < kLastSlot; o += 8)
      StoreAD(s + o, full);
    if (i + 1 < length) StoreAD(s + kLastSlot, {(3u << 30) | kBlockSize, b + 1});
    RefillListBlockTag(s, b, false);
    ASSERT_TRUE(WriteBlock(v, b, s));
  }
  ASSERT_TRUE(EditFileEntry(v, dir, [&](uint8_t *fe) {
    for (uint32_t o = kFEFirstSlot; o < kLastSlot; o += 8)
      StoreAD(fe + o, full);
    StoreAD(fe + kLastSlot, {(3u << 30) | kBlockSize, first});
    StoreLE32(fe + 172, kBlockSize - kFEFirstSlot); // every slot recorded
    StoreLE64(fe + 56, uint64_t(1) << 40);
  }));
  const RawEntry damaged = ReadEntry(v, dir);
  EXPECT_TRUE(damaged.List.Corrupt);
  EXPECT_LE(damaged.List.TotalBytes(), uint64_t(v.PartitionLength) * kBlockSize);
  // Lookups in it, listing it, and removing from it all end, and none succeeds in changing
  // anything.
  const uint32_t freeBlocks = v.FreeBlocks;
  EXPECT_LE(List(v, u"\\D\\*").size(), 1u);
  EXPECT_EQ(UDF_CreateFileW(&v, u"\\D\\x", RW, UDF_CREATE_NEW, 0), UDF_INVALID_HANDLE);
  EXPECT_EQ(UDF_DeleteFileW(&v, u"\\D\\keep.bin"), KFALSE);
  EXPECT_EQ(v.FreeBlocks, freeBlocks);
}
