// The tree every recovery test damages: three files in three directories, an empty file and
// an empty directory, written to a remounted image; and the steps of a repair test.
#ifndef KORVA_TESTS_RECOVERY_RECOVERY_FIXTURE_H
#define KORVA_TESTS_RECOVERY_RECOVERY_FIXTURE_H

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <memory>

#include "tests/files/fs_helpers.h"
#include "tests/recovery/damage.h"
#include "tests/support/volume_fixture.h"

namespace korva::test {

struct TreeFile {
  std::u16string Path;
  size_t Size;
};
inline const TreeFile kFiles[] = {
    {u"\\f1", 10000}, {u"\\a\\f2", 70000}, {u"\\a\\b\\f3", 3000}, {u"\\empty", 0}};

class Recovery : public ::testing::Test {
protected:
  void SetUp() override {
    // Remounted, so that the recorded bitmap is the one a dismount stored.
    img_ = std::make_unique<FormattedImage>(24, u"RECOVER", true);
    ASSERT_TRUE(img_->Ok());
    TUDFRewritableVolume &v = V();
    ASSERT_EQ(UDF_CreateDirectoryW(&v, u"\\", u"a"), KTRUE);
    ASSERT_EQ(UDF_CreateDirectoryW(&v, u"\\a", u"b"), KTRUE);
    ASSERT_EQ(UDF_CreateDirectoryW(&v, u"\\a\\b", u"loop"), KTRUE);
    for (size_t i = 0; i < std::size(kFiles); ++i)
      ASSERT_TRUE(WriteWhole(v, kFiles[i].Path, Pattern(kFiles[i].Size, uint32_t(i))));
    layout_ = LayoutOf(v);
    for (const char16_t *p :
         {u"\\f1", u"\\a\\f2", u"\\a\\b\\f3", u"\\a", u"\\a\\b", u"\\a\\b\\loop"})
      blocks_[p] = EntryBlock(v, p);
    freeBefore_ = UDF_GetFreeBlocksOfLogicalVolume(&v);
  }

  TUDFRewritableVolume &V() { return img_->Volume(); }

  // Ends the session as a crash would: nothing more reaches the image. (Releasing the record
  // closes the volume properly, so the image is put back as it stood before.)
  void Crash() {
    const std::string path = img_->ImagePath();
    std::filesystem::copy_file(path, path + ".crash",
                               std::filesystem::copy_options::overwrite_existing);
    UDF_ReleaseVolume(&V());
    std::filesystem::rename(path + ".crash", path);
  }
  void Dismount() { ASSERT_EQ(UDF_DismountVolume(&V()), KTRUE); }
  bool Mount() {
    return UDF_MountImage(&V(), img_->ImagePath().c_str(), 0) == KTRUE &&
           UDF_GetVolumeCompatibility(&V()) == KTRUE;
  }
  ImageDamage Damage() { return ImageDamage(img_->ImagePath(), layout_); }

  // The first data block of an entry, read while mounted.
  uint32_t DataBlock(const char16_t *path) {
    RawEntry e = ReadEntry(V(), blocks_.at(path));
    return e.Ok && !e.List.Extents.empty() ? e.List.Extents[0].AD.Block : 0;
  }

  // Every file except those named is there with its bytes.
  void ExpectTreeIntact(const std::u16string &except = u"") {
    for (size_t i = 0; i < std::size(kFiles); ++i) {
      if (kFiles[i].Path == except) continue;
      std::vector<uint8_t> data;
      EXPECT_TRUE(ReadWhole(V(), kFiles[i].Path, data));
      EXPECT_EQ(data, Pattern(kFiles[i].Size, uint32_t(i)));
    }
  }

  // Repairs, expecting the given kind among the findings, then checks the result: clean,
  // compatible, takes a new file, and comes back after a dismount.
  std::vector<Found> RepairExpecting(int32_t kind) {
    KBOOL result = 0;
    std::vector<Found> before = CheckFindings(V(), result);
    EXPECT_EQ(result, KFALSE);
    EXPECT_EQ(UDF_GetLastErrorNumber(&V()), KORVA_E_CHECK_FINDINGS);
    EXPECT_NE(FindKind(before, kind), nullptr) << Describe(before);
    std::vector<Found> repaired = RepairFindings(V(), result);
    EXPECT_EQ(result, KTRUE) << UDF_GetLastErrorDescription(&V()) << "\n" << Describe(repaired);
    EXPECT_EQ(UDF_GetVolumeCompatibility(&V()), KTRUE);
    EXPECT_EQ(repaired.size(), before.size()) << Describe(repaired);
    for (const Found &f : repaired)
      EXPECT_TRUE(f.Repaired) << f.Text;
    std::vector<Found> after = CheckFindings(V(), result);
    EXPECT_EQ(result, KTRUE) << Describe(after);
    EXPECT_TRUE(WriteWhole(V(), u"\\new", Pattern(5000, 99)));
    std::vector<uint8_t> back;
    EXPECT_TRUE(ReadWhole(V(), u"\\new", back));
    EXPECT_EQ(back, Pattern(5000, 99));
    EXPECT_EQ(UDF_DeleteFileW(&V(), u"\\new"), KTRUE);
    EXPECT_EQ(UDF_DismountVolume(&V()), KTRUE);
    EXPECT_TRUE(Mount());
    after = CheckFindings(V(), result);
    EXPECT_EQ(result, KTRUE) << Describe(after);
    return before;
  }

  std::unique_ptr<FormattedImage> img_;
  Layout layout_;
  std::map<std::u16string, uint32_t> blocks_;
  uint32_t freeBefore_ = 0;
};

} // namespace korva::test

#endif
