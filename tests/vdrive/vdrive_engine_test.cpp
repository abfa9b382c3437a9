// The volume engine formatting and mounting media kinds on virtual drives that its own
// drive tests leave out (MRW, DVD-RW): the drive must answer the engine's whole command
// sequence the way hardware does.
#include <gtest/gtest.h>

#include <memory>

#include "vdrive/vdrive_platform.h"
#include "korva/files.h"
#include "korva/volume.h"
#include "tests/support/volume_fixture.h"
#include "tests/vdrive/vdrive_test_util.h"

namespace korva::vdrive {
namespace {

using testing::ScratchDir;

class EngineTest : public ::testing::Test {
protected:
  void Use(const std::string &entry) {
    std::string error;
    platform = VDrivePlatform::FromConfig(entry + dir.File("disc"), &error);
    ASSERT_TRUE(platform) << error;
    platform->SetRealSleep(false);
    vol.reset(new TUDFRewritableVolume());
    vol->Device.Platform = platform.get();
    vol->RetryDelayMs = 1;
    ASSERT_TRUE(InitializeASPI(vol.get(), KFALSE, "", ""));
    ASSERT_TRUE(SelectDevice(vol.get(), 0));
  }
  void TearDown() override {
    if (vol) UDF_ReleaseVolume(vol.get());
  }
  // Mounts, formats (full) and waits; the volume stays mounted.
  void Format() {
    ASSERT_TRUE(UDF_MountVolume(vol.get())) << UDF_GetLastErrorNumber(vol.get());
    ASSERT_EQ(korva::test::FormatAndWait(*vol, u"VDRIVE"), 0) << UDF_GetLastErrorNumber(vol.get());
    EXPECT_EQ(UDF_GetPhysicalFormattingPercentage(vol.get()), 100);
    EXPECT_TRUE(UDF_GetVolumeCompatibility(vol.get()));
  }
  void RemountCompatible() {
    ASSERT_TRUE(UDF_DismountVolume(vol.get())) << UDF_GetLastErrorNumber(vol.get());
    ASSERT_TRUE(UDF_MountVolume(vol.get()));
    EXPECT_TRUE(vol->MediumFormatted);
    EXPECT_TRUE(UDF_GetVolumeCompatibility(vol.get())) << UDF_GetLastErrorNumber(vol.get());
    EXPECT_EQ(UDF_GetDirCount(vol.get()), 1u);
  }

  ScratchDir dir;
  std::unique_ptr<VDrivePlatform> platform;
  std::unique_ptr<TUDFRewritableVolume> vol;
};

TEST_F(EngineTest, CdRwFixedPacketsAndMrw) {
  Use("cd-rw/format=100,background=200:");
  Format();
  EXPECT_EQ(vol->TotalSectors, 295264u);
  EXPECT_EQ(vol->PacketBlocks, 32);
  RemountCompatible();
  ASSERT_TRUE(UDF_DismountVolume(vol.get()));

  SetPreferCDMRWFormat(vol.get(), KTRUE);
  ASSERT_TRUE(GetDeviceSupportsMRWWrite(vol.get()));
  Format();
  EXPECT_EQ(vol->TotalSectors, kMrwBlocks);
  EXPECT_TRUE(platform->Drive('D')->State()->mrw);
  RemountCompatible();
}

TEST_F(EngineTest, DvdRwSequentialNeedsAFullFormat) {
  Use("dvd-rw/format=100:");
  ASSERT_TRUE(UDF_MountVolume(vol.get()));
  EXPECT_FALSE(vol->MediumFormatted);
  EXPECT_EQ(UDF_FormatVolume(vol.get(), "X", 1, nullptr, nullptr), 0);
  EXPECT_EQ(UDF_GetLastErrorNumber(vol.get()), 21);
  Format();
  EXPECT_EQ(DiscIs(vol.get()), mtDVDRWRO);
  RemountCompatible();
}

// Releasing a record with a drive volume mounted closes it as a dismount would (bitmap,
// integrity, the DVD+RW track closed): a fresh record mounts it compatible with its data.
TEST_F(EngineTest, ReleaseClosesAMountedDriveVolume) {
  Use("dvd+rw/format=100:");
  Format();
  RemountCompatible();
  ASSERT_TRUE(UDF_CreateDirectoryW(vol.get(), u"\\", u"kept"));
  const uint32_t freeBlocks = UDF_GetFreeBlocksOfLogicalVolume(vol.get());
  UDF_ReleaseVolume(vol.get());
  EXPECT_EQ(UDF_GetLastErrorNumber(vol.get()), 0);
  EXPECT_FALSE(vol->VolumeOpen);
  vol.reset();

  vol.reset(new TUDFRewritableVolume());
  vol->Device.Platform = platform.get();
  vol->RetryDelayMs = 1;
  ASSERT_TRUE(InitializeASPI(vol.get(), KFALSE, "", ""));
  ASSERT_TRUE(SelectDevice(vol.get(), 0));
  ASSERT_TRUE(UDF_MountVolume(vol.get()));
  ASSERT_TRUE(UDF_GetVolumeCompatibility(vol.get())) << UDF_GetLastErrorNumber(vol.get());
  EXPECT_EQ(UDF_GetFreeBlocksOfLogicalVolume(vol.get()), freeBlocks);
  EXPECT_EQ(UDF_GetDirCount(vol.get()), 2u);
}

} // namespace
} // namespace korva::vdrive
