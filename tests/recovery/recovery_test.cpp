// Check finds and repair mends: each kind of damage is made on a closed image through the
// image layer, then the volume is mounted, checked, repaired, checked again and its tree
// compared byte for byte with what was written.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>

#include "tests/recovery/recovery_fixture.h"
#include "udf/byte_order.h"
#include "udf/descriptors.h"

namespace korva::test {
namespace {

TEST_F(Recovery, SoundVolumePassesAndRepairWritesNothing) {
  KBOOL result = 0;
  EXPECT_TRUE(CheckFindings(V(), result).empty());
  EXPECT_EQ(result, KTRUE);
  Dismount();
  FaultyImageIO io;
  io.Attach(V());
  ASSERT_TRUE(Mount());
  const uint32_t writes = io.Writes();
  EXPECT_TRUE(CheckFindings(V(), result).empty());
  EXPECT_EQ(result, KTRUE);
  EXPECT_TRUE(RepairFindings(V(), result).empty());
  EXPECT_EQ(result, KTRUE);
  EXPECT_EQ(io.Writes(), writes);
  EXPECT_EQ(UDF_GetVolumeCompatibility(&V()), KTRUE);
  ExpectTreeIntact();
  Dismount();
}

TEST_F(Recovery, NeedsAMountAttempt) {
  auto fresh = NewVolume();
  EXPECT_EQ(UDF_CheckVolume(fresh.get(), nullptr, nullptr), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(fresh.get()), KORVA_E_NOT_MOUNTED);
  EXPECT_EQ(UDF_RepairVolume(fresh.get(), nullptr, nullptr), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(fresh.get()), KORVA_E_NOT_MOUNTED);
}

TEST_F(Recovery, StaleBitmapOfACrashedSessionIsRebuilt) {
  const uint32_t f2 = DataBlock(u"\\a\\f2");
  ASSERT_NE(f2, 0u);
  Crash();
  {
    ImageDamage d = Damage();
    ASSERT_TRUE(d.Ok());
    // Blocks in use recorded free (as a bitmap stored before they were taken), and free
    // blocks recorded used (as frees not yet stored).
    ASSERT_TRUE(d.SetBitmap(f2, 10, true));
    ASSERT_TRUE(d.SetBitmap(layout_.PartitionLength - 100, 7, false));
  }
  EXPECT_FALSE(Mount());
  KBOOL result = 0;
  std::vector<Found> found = CheckFindings(V(), result);
  EXPECT_NE(FindKind(found, KORVA_FINDING_USED_MARKED_FREE), nullptr) << Describe(found);
  const Found *leak = FindKind(found, KORVA_FINDING_LEAKED);
  ASSERT_NE(leak, nullptr) << Describe(found);
  EXPECT_EQ(leak->Block, layout_.PartitionLength - 100);
  EXPECT_NE(FindKind(found, KORVA_FINDING_LEFT_OPEN), nullptr);
  RepairExpecting(KORVA_FINDING_LEFT_OPEN);
  ExpectTreeIntact();
  EXPECT_EQ(UDF_GetFreeBlocksOfLogicalVolume(&V()), freeBefore_);
  EXPECT_EQ(UDF_GetFileCount(&V()), 4u);
  EXPECT_EQ(UDF_GetDirCount(&V()), 4u);
  Dismount();
  ImageDamage d = Damage();
  EXPECT_FALSE(d.RecordedFree(f2));
  EXPECT_TRUE(d.RecordedFree(layout_.PartitionLength - 100));
}

TEST_F(Recovery, ReadOnlyMountIsCheckedButNotRepaired) {
  Crash();
  ASSERT_EQ(UDF_MountImageReadOnly(&V(), img_->ImagePath().c_str()), KTRUE);
  KBOOL result = 0;
  std::vector<Found> found = CheckFindings(V(), result);
  EXPECT_EQ(result, KFALSE);
  EXPECT_NE(FindKind(found, KORVA_FINDING_LEFT_OPEN), nullptr) << Describe(found);
  EXPECT_TRUE(RepairFindings(V(), result).empty());
  EXPECT_EQ(result, KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&V()), KORVA_E_READ_ONLY);
  EXPECT_EQ(UDF_DismountVolume(&V()), KTRUE);
  EXPECT_FALSE(Mount()); // still left open
  EXPECT_EQ(UDF_RepairVolume(&V(), nullptr, nullptr), KTRUE);
}

TEST_F(Recovery, CountsAndNextUniqueIDAreSet) {
  uint64_t highest = 0;
  for (const auto &[path, block] : blocks_)
    highest = std::max(highest, ReadEntry(V(), block).Info.UniqueID);
  Dismount();
  {
    ImageDamage d = Damage();
    ASSERT_TRUE(d.Edit(layout_.IntegritySector, layout_.IntegritySector, [](uint8_t *s) {
      StoreLE64(s + 40, 3);                     // next unique ID
      StoreLE32(s + 80, LoadLE32(s + 80) - 10); // free blocks
      StoreLE32(s + 120, 99);                   // files
      StoreLE32(s + 124, 7);                    // directories
    }));
  }
  ASSERT_TRUE(Mount());
  KBOOL result = 0;
  std::vector<Found> found = CheckFindings(V(), result);
  int counts = 0;
  for (const Found &f : found)
    counts += f.Kind == KORVA_FINDING_COUNTS;
  EXPECT_EQ(counts, 3) << Describe(found);
  RepairExpecting(KORVA_FINDING_UNIQUE_ID);
  EXPECT_EQ(UDF_GetFileCount(&V()), 4u);
  EXPECT_EQ(UDF_GetDirCount(&V()), 4u);
  EXPECT_EQ(UDF_GetFreeBlocksOfLogicalVolume(&V()), freeBefore_);
  ASSERT_TRUE(WriteWhole(V(), u"\\later", Pattern(10, 1)));
  EXPECT_GT(ReadEntry(V(), EntryBlock(V(), u"\\later")).Info.UniqueID, highest);
  ExpectTreeIntact();
}

TEST_F(Recovery, LengthBeyondExtentsIsCorrected) {
  const uint32_t fe = blocks_.at(u"\\a\\b\\f3");
  Dismount();
  ASSERT_TRUE(Damage().EditBlock(fe, [](uint8_t *s) { StoreLE64(s + 56, 3000 + 100000); }));
  ASSERT_TRUE(Mount());
  std::vector<Found> found = RepairExpecting(KORVA_FINDING_LENGTH);
  EXPECT_EQ(FindKind(found, KORVA_FINDING_LENGTH)->Path, "/a/b/f3");
  EXPECT_EQ(FindKind(found, KORVA_FINDING_LENGTH)->Block, fe);
  ExpectTreeIntact();
}

TEST_F(Recovery, EntryWithABadFileEntryIsDroppedAndItsBlocksFreed) {
  const uint32_t fe = blocks_.at(u"\\a\\f2");
  Dismount();
  {
    ImageDamage d = Damage();
    std::vector<uint8_t> s = d.Read(layout_.PartitionStart + fe);
    s[100] ^= 0x55; // the CRC no longer matches
    ASSERT_TRUE(d.Write(layout_.PartitionStart + fe, s));
  }
  ASSERT_TRUE(Mount());
  std::vector<Found> found = RepairExpecting(KORVA_FINDING_BAD_ENTRY);
  EXPECT_EQ(FindKind(found, KORVA_FINDING_BAD_ENTRY)->Path, "/a/f2");
  ExpectTreeIntact(u"\\a\\f2");
  EXPECT_TRUE(List(V(), u"\\a\\f2").empty());
  // Its 35 data blocks and its file entry are free again; nothing else changed.
  EXPECT_EQ(UDF_GetFreeBlocksOfLogicalVolume(&V()), freeBefore_ + 36);
  EXPECT_EQ(UDF_GetFileCount(&V()), 3u);
}

TEST_F(Recovery, DirectoryLoopIsCut) {
  const uint32_t data = DataBlock(u"\\a\\b");
  const uint32_t a = blocks_.at(u"\\a");
  Dismount();
  {
    ImageDamage d = Damage();
    ASSERT_TRUE(d.PointFidAt(data, "loop", a));
  }
  ASSERT_TRUE(Mount());
  KBOOL result = 0;
  EXPECT_NE(FindKind(CheckFindings(V(), result), KORVA_FINDING_LEAKED), nullptr);
  std::vector<Found> found = RepairExpecting(KORVA_FINDING_LOOP);
  EXPECT_EQ(FindKind(found, KORVA_FINDING_LOOP)->Path, "/a/b/loop");
  ExpectTreeIntact();
  EXPECT_TRUE(List(V(), u"\\a\\b\\loop").empty());
  EXPECT_EQ(UDF_GetFreeBlocksOfLogicalVolume(&V()), freeBefore_ + 2);
  EXPECT_EQ(UDF_GetDirCount(&V()), 3u);
}

// Before any repair, a directory entry leading back to a directory on its own path is not
// followed: a walker or a removal through it would never end, or reach outside its tree.
TEST_F(Recovery, ALoopBackToTheRootIsNotFollowed) {
  const uint32_t data = DataBlock(u"\\a\\b");
  Dismount();
  {
    ImageDamage d = Damage();
    ASSERT_TRUE(d.PointFidAt(data, "loop", V().RootICBSector - layout_.PartitionStart));
  }
  ASSERT_TRUE(Mount());
  std::vector<Listed> names = List(V(), u"\\a\\b\\*");
  EXPECT_EQ(names.size(), 2u); // the name is listed; only following it fails
  KorvaFileInfo info{};
  EXPECT_EQ(UDF_GetFileInfoW(&V(), u"\\a\\b\\loop", &info), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&V()), KORVA_E_LOOP);
  EXPECT_EQ(UDF_GetFileInfoW(&V(), u"\\a\\b\\loop\\f1", &info), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&V()), KORVA_E_LOOP);
  EXPECT_EQ(UDF_DeleteFileW(&V(), u"\\a\\b\\loop\\f1"), KFALSE);
  EXPECT_TRUE(List(V(), u"\\a\\b\\loop\\*").empty());
  ExpectTreeIntact();
  // The sound paths still resolve, the root's own parent entry included.
  EXPECT_EQ(UDF_GetFileInfoW(&V(), u"\\a\\b", &info), KTRUE);
  EXPECT_EQ(UDF_GetFileInfoW(&V(), u"\\a", &info), KTRUE);
}

// /a/b/f3's entry now names /f1's file entry: a second name when /f1 records two links, one
// claimed twice otherwise. f3's own entry and data are left unreached either way.
class SecondName : public Recovery, public ::testing::WithParamInterface<bool> {};

TEST_P(SecondName, IsKeptOnlyWhenTheEntryRecordsSeveralLinks) {
  const bool linked = GetParam();
  const uint32_t data = DataBlock(u"\\a\\b");
  const uint32_t f1 = blocks_.at(u"\\f1");
  Dismount();
  {
    ImageDamage d = Damage();
    ASSERT_TRUE(d.PointFidAt(data, "f3", f1));
    if (linked) {
      ASSERT_TRUE(d.EditBlock(f1, [](uint8_t *fe) { StoreLE16(fe + 48, 2); }));
    }
  }
  ASSERT_TRUE(Mount());
  std::vector<Found> found = RepairExpecting(KORVA_FINDING_LEAKED);
  EXPECT_EQ(FindKind(found, KORVA_FINDING_CLAIMED_TWICE) != nullptr, !linked) << Describe(found);
  std::vector<uint8_t> bytes;
  EXPECT_EQ(ReadWhole(V(), u"\\a\\b\\f3", bytes), linked);
  if (linked) {
    EXPECT_EQ(bytes, Pattern(10000, 0));
  }
  EXPECT_EQ(UDF_GetFileCount(&V()), 3u);
}
INSTANTIATE_TEST_SUITE_P(Recovery, SecondName, ::testing::Bool());

std::string Shell(const std::string &command) {
  std::string out;
  FILE *pipe = ::popen(command.c_str(), "r");
  if (!pipe) return out;
  std::array<char, 4096> buffer;
  size_t n;
  while ((n = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0)
    out.append(buffer.data(), n);
  ::pclose(pipe);
  return out;
}

std::map<std::string, std::string> Udfinfo(const std::string &image) {
  std::map<std::string, std::string> fields;
  std::istringstream in(Shell("udfinfo '" + image + "' 2>/dev/null"));
  std::string line;
  while (std::getline(in, line)) {
    const auto eq = line.find('=');
    if (eq != std::string::npos) fields[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return fields;
}

TEST_F(Recovery, UdfinfoAgreesAfterRepair) {
  if (Shell("command -v udfinfo").empty()) GTEST_SKIP() << "udftools not installed";
  ASSERT_EQ(UDF_DeleteFileW(&V(), u"\\f1"), KTRUE);
  Crash();
  ASSERT_TRUE(Damage().SetBitmap(layout_.PartitionLength - 40, 40, false));
  EXPECT_FALSE(Mount());
  KBOOL result = 0;
  RepairFindings(V(), result);
  ASSERT_EQ(result, KTRUE);
  const uint32_t free = UDF_GetFreeBlocksOfLogicalVolume(&V());
  Dismount();
  auto info = Udfinfo(img_->ImagePath());
  EXPECT_EQ(info["integrity"], "closed");
  EXPECT_EQ(info["freeblocks"], std::to_string(free));
  EXPECT_EQ(info["numfiles"], "3");
  EXPECT_EQ(info["numdirs"], "4");
}

TEST(RecoveryForeign, VolumeFormattedByMkudffsIsRefused) {
  if (Shell("command -v mkudffs").empty()) GTEST_SKIP() << "udftools not installed";
  TempDir dir;
  const std::string path = dir.File("mk.img");
  Shell("truncate -s 8M '" + path + "'");
  Shell("mkudffs --media-type=cdrw --udfrev=0x0150 --label=OTHER '" + path + "' >/dev/null 2>&1");
  const std::string anchor = ReadImageSector(path, 256);
  ASSERT_FALSE(anchor.empty());
  auto v = NewVolume();
  ASSERT_EQ(UDF_MountImage(v.get(), path.c_str(), 0), KTRUE);
  KBOOL result = 0;
  std::vector<Found> found = RepairFindings(*v, result);
  EXPECT_EQ(result, KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(v.get()), KORVA_E_NOT_COMPATIBLE);
  const Found *foreign = FindKind(found, KORVA_FINDING_FOREIGN_VOLUME);
  ASSERT_NE(foreign, nullptr) << Describe(found);
  EXPECT_NE(foreign->Text.find("not formatted by this library"), std::string::npos);
  EXPECT_FALSE(foreign->Repaired);
  found = CheckFindings(*v, result);
  EXPECT_EQ(result, KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(v.get()), KORVA_E_NOT_COMPATIBLE);
  UDF_ReleaseVolume(v.get());
  EXPECT_EQ(Udfinfo(path)["label"], "OTHER");
}

// A walk that stops at a read names that failure for check and repair alike, and repair then
// writes nothing: once the sector reads again, the volume mounts as it was left.
TEST(RecoveryReads, AnUnreadableRootStopsCheckAndRepairWithErrorThirteen) {
  FormattedImage img(30, u"R", true);
  ASSERT_TRUE(img.Ok());
  TUDFRewritableVolume &v = img.Volume();
  const uint32_t root = v.RootICBSector;
  ASSERT_EQ(UDF_DismountVolume(&v), KTRUE);
  FaultyImageIO io;
  io.Attach(v);
  io.FailReadsOfSector(root);
  ASSERT_EQ(UDF_MountImage(&v, img.ImagePath().c_str(), 0), KTRUE);
  EXPECT_EQ(UDF_GetVolumeCompatibility(&v), KFALSE);
  EXPECT_EQ(UDF_CheckVolume(&v, nullptr, nullptr), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), KORVA_E_READ);
  const uint32_t writes = io.Writes();
  EXPECT_EQ(UDF_RepairVolume(&v, nullptr, nullptr), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), KORVA_E_READ);
  EXPECT_EQ(io.Writes(), writes) << "a refused repair writes nothing";
  io.Reset();
  EXPECT_EQ(UDF_RepairVolume(&v, nullptr, nullptr), KTRUE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), 0u);
  EXPECT_EQ(UDF_GetVolumeCompatibility(&v), KTRUE);
  EXPECT_EQ(UDF_DismountVolume(&v), KTRUE);
  v.ImageIO = nullptr;
}

} // namespace
} // namespace korva::test
