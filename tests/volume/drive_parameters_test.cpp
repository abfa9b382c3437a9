// Write parameters on strict virtual drives: page 05h is forgotten at every load, and a
// fixed-packet write is refused unless the page describes the track, as real drives do.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "korva/files.h"
#include "korva/scsi.hpp"
#include "tests/support/volume_fixture.h"
#include "udf/byte_order.h"
#include "vdrive/vdrive_platform.h"
#include "volume/engine.h"

namespace korva {
namespace {

using vdrive::VDrivePlatform;
using vdrive::VirtualDrive;

class WriteParametersTest : public ::testing::TestWithParam<const char *> {
protected:
  void SetUp() override {
    std::string error;
    platform_ = VDrivePlatform::FromConfig(std::string(GetParam()) + dir_.File("disc"), &error);
    ASSERT_TRUE(platform_) << error;
    platform_->SetRealSleep(false);
    drive_ = platform_->Drive('D');
    v_->Device.Platform = platform_.get();
    v_->RetryDelayMs = 1;
    SetPreferCDMRWFormat(v_.get(), KFALSE);
    ASSERT_EQ(InitializeASPI(v_.get(), KFALSE, "", ""), KTRUE);
    ASSERT_EQ(SelectDevice(v_.get(), 0), KTRUE);
    ASSERT_EQ(UDF_MountVolume(v_.get()), KTRUE) << UDF_GetLastErrorNumber(v_.get());
    ASSERT_EQ(test::FormatAndWait(*v_, u"PARAMS"), 0) << UDF_GetLastErrorNumber(v_.get());
    ASSERT_EQ(UDF_DismountVolume(v_.get()), KTRUE) << UDF_GetLastErrorNumber(v_.get());
  }
  // Takes the disc out and puts it back: the drive forgets its write parameters.
  void Reload() {
    drive_->RemoveMedium();
    ASSERT_TRUE(drive_->ReinsertMedium());
  }
  bool MakeDirectory(const char16_t *name) {
    return UDF_CreateDirectoryW(v_.get(), u"\\", name) == KTRUE;
  }

  test::TempDir dir_;
  std::unique_ptr<VDrivePlatform> platform_;
  test::VolumePtr v_ = test::NewVolume();
  VirtualDrive *drive_ = nullptr;
};

// After a reload the mount sets page 05h before its first write, from the track: packet
// writing, fixed packets of the track's size, the track's mode and data block type.
TEST_P(WriteParametersTest, EveryMountSetsThePageFromTheTrack) {
  Reload();
  ASSERT_EQ(UDF_MountVolume(v_.get()), KTRUE);
  ASSERT_EQ(UDF_GetVolumeCompatibility(v_.get()), KTRUE) << UDF_GetLastErrorNumber(v_.get());
  EXPECT_TRUE(MakeDirectory(u"written"));

  uint8_t *r = v_->Device.DataBuffer;
  ASSERT_TRUE(ModeSense10(&v_->Device, r, 512, 0x05, false));
  const uint8_t *page = r + 8 + LoadBE16(r + 6);
  const bool cd = v_->Device.Medium == mtCDRW;
  EXPECT_EQ(page[2] & 0x1F, 0) << "packet writing, no test write";
  EXPECT_EQ(page[3] & 0x2F, cd ? 0x27 : 0x24) << "fixed packets, the track's mode";
  EXPECT_EQ(page[4] & 0x0F, cd ? 10 : 8);
  EXPECT_EQ(LoadBE32(page + 10), cd ? 32u : 16u);
  if (cd) {
    EXPECT_EQ(page[50], 0x08) << "mode 2 sub-header: data";
  }
  EXPECT_EQ(UDF_DismountVolume(v_.get()), KTRUE);
}

// A drive that refuses the page: the mount for writing fails with a clear error and writes
// nothing; a read-only mount still works.
TEST_P(WriteParametersTest, ARefusedPageFailsTheMountForWriting) {
  Reload();
  drive_->FailNextCommands(0x55, 1, vdrive::SenseCode{0x5, 0x26, 0x00});
  drive_->ResetCommandLog();
  ASSERT_EQ(UDF_MountVolume(v_.get()), KTRUE);
  EXPECT_EQ(UDF_GetLastErrorNumber(v_.get()), KORVA_E_WRITE_PARAMETERS);
  EXPECT_EQ(UDF_GetVolumeCompatibility(v_.get()), KFALSE);
  EXPECT_EQ(drive_->CommandCount(0x2A), 0u);
  UDF_DismountVolume(v_.get());

  drive_->FailNextCommands(0x5A, 1);
  ASSERT_EQ(UDF_MountVolume(v_.get()), KTRUE);
  EXPECT_EQ(UDF_GetLastErrorNumber(v_.get()), KORVA_E_WRITE_PARAMETERS);
  UDF_DismountVolume(v_.get());

  ASSERT_EQ(UDF_MountVolumeReadOnly(v_.get()), KTRUE);
  EXPECT_EQ(UDF_GetVolumeCompatibility(v_.get()), KTRUE);
  EXPECT_EQ(UDF_DismountVolume(v_.get()), KTRUE);
}

INSTANTIATE_TEST_SUITE_P(FixedPacketMedia, WriteParametersTest,
                         ::testing::Values("cd-rw/strict,format=10:", "dvd-rw/strict,format=10:"),
                         [](const ::testing::TestParamInfo<const char *> &info) {
                           return std::string(info.param).substr(0, 2) == "cd" ? "CdRw" : "DvdRw";
                         });

// One virtual drive from a configuration entry, selected on a fresh record.
class DriveFixture : public ::testing::Test {
protected:
  void Use(const std::string &entry) {
    std::string error;
    platform_ = VDrivePlatform::FromConfig(entry + dir_.File("disc"), &error);
    ASSERT_TRUE(platform_) << error;
    platform_->SetRealSleep(false);
    drive_ = platform_->Drive('D');
    v_->Device.Platform = platform_.get();
    v_->RetryDelayMs = 1;
    SetPreferCDMRWFormat(v_.get(), KFALSE);
    ASSERT_EQ(InitializeASPI(v_.get(), KFALSE, "", ""), KTRUE);
    ASSERT_EQ(SelectDevice(v_.get(), 0), KTRUE);
  }

  test::TempDir dir_;
  std::unique_ptr<VDrivePlatform> platform_;
  test::VolumePtr v_ = test::NewVolume();
  VirtualDrive *drive_ = nullptr;
};

// Firmware that reports a formatted CD-RW as disc type 00h with data mode 0Fh: the disc is
// formatted all the same (the kernel's packet driver takes it), so it is quick-formatted
// and written, never offered for a destroying full format.
TEST_F(DriveFixture, OddFirmwareStillReportsAFormattedDisc) {
  Use("cd-rw/strict,formatted,oddfirmware:");
  ASSERT_EQ(UDF_MountVolume(v_.get()), KTRUE);
  EXPECT_TRUE(v_->MediumFormatted);
  ASSERT_EQ(test::FormatAndWait(*v_, u"ODD", true), 0) << UDF_GetLastErrorNumber(v_.get());
  ASSERT_EQ(UDF_DismountVolume(v_.get()), KTRUE);
  ASSERT_EQ(UDF_MountVolume(v_.get()), KTRUE);
  ASSERT_EQ(UDF_GetVolumeCompatibility(v_.get()), KTRUE) << UDF_GetLastErrorNumber(v_.get());
  EXPECT_EQ(UDF_CreateDirectoryW(v_.get(), u"\\", u"dir"), KTRUE);
  EXPECT_EQ(UDF_DismountVolume(v_.get()), KTRUE);
}

// The disc taken out while the drive blanks it: the poll sees "no medium", which is a
// failure, never the end of the blank.
TEST_F(DriveFixture, PollingTakesOtherSenseAsFailure) {
  Use("cd-rw/blank=60000:");
  struct Done {
    std::atomic<int> calls{0}, failed{0};
    static void Handler(void *context, void *, int32_t failed) {
      auto *d = static_cast<Done *>(context);
      d->failed = failed != 0;
      ++d->calls;
    }
  } done;
  const unsigned blanks = drive_->CommandCount(0xA1);
  ASSERT_EQ(EraseDisc(v_.get(), KTRUE, &Done::Handler, &done), KTRUE);
  while (drive_->CommandCount(0xA1) == blanks)
    std::this_thread::yield();
  drive_->RemoveMedium();
  UDF_WaitForBackgroundOperation(v_.get());
  EXPECT_EQ(done.calls, 1);
  EXPECT_EQ(done.failed, 1) << "an erase whose disc went away was reported as done";
  EXPECT_EQ(UDF_GetLastErrorNumber(v_.get()), KORVA_E_NO_MEDIA);
}

} // namespace
} // namespace korva
