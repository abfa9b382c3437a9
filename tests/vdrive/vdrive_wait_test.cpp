// Long drive operations seen from the engine: a drive that never becomes ready ends a
// format or an erase with an error (and the component's destructor returns), and a drive
// that answers in descriptor-format sense data is waited for all the same.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>

#include "device/spti.h"
#include "vdrive/vdrive_platform.h"
#include "korva/TKorva.hpp"
#include "korva/volume.h"
#include "tests/support/volume_fixture.h"
#include "tests/vdrive/vdrive_test_util.h"
#include "volume/engine.h"

namespace korva::vdrive {
namespace {

using testing::ScratchDir;

constexpr SenseCode kFormatInProgress{0x02, 0x04, 0x04};

class WaitTest : public ::testing::Test {
protected:
  void Use(const std::string &entry, const std::string &disc) {
    vol.reset();
    platform.reset();
    std::string error;
    platform = VDrivePlatform::FromConfig(entry + dir.File(disc), &error);
    ASSERT_TRUE(platform) << error;
    platform->SetRealSleep(false);
    platform->SetClockFollowsSleeps(true);
    vol = korva::test::NewVolume();
    vol->Device.Platform = platform.get();
    ASSERT_TRUE(InitializeASPI(vol.get(), KFALSE, "", ""));
    ASSERT_TRUE(SelectDevice(vol.get(), 0));
  }
  // From now on the drive says "format in progress" to every READ DISC INFORMATION.
  void NeverReady() { platform->Drive('D')->FailNextCommands(0x51, 1u << 30, kFormatInProgress); }

  ScratchDir dir;
  std::unique_ptr<VDrivePlatform> platform;
  korva::test::VolumePtr vol;
};

TEST_F(WaitTest, ADriveThatNeverBecomesReadyEndsFormatAndEraseWithAnError) {
  Use("dvd+rw/format=100:", "plus");
  ASSERT_TRUE(UDF_MountVolume(vol.get()));
  NeverReady();
  const uint64_t before = platform->SleptMs(); // the mount waited for the disc to spin up
  // The platform's clock is real time plus the sleeps: on a slow run the real part counts.
  const uint64_t clock_before = platform->MonotonicMs();
  EXPECT_EQ(korva::test::FormatAndWait(*vol, u"STUCK"), 1);
  EXPECT_EQ(UDF_GetLastErrorNumber(vol.get()), KORVA_E_DRIVE_TIMEOUT);
  EXPECT_STREQ(UDF_GetLastErrorDescription(vol.get()),
               "The drive did not finish the operation in time.");
  EXPECT_GE(platform->MonotonicMs() - clock_before, kLongOperationLimitMs);
  EXPECT_LT(platform->SleptMs() - before, kLongOperationLimitMs + 1000) << "one bound, not several";
  EXPECT_FALSE(UDF_GetVolumeCompatibility(vol.get()));
  ASSERT_TRUE(UDF_DismountVolume(vol.get()));

  // A full erase of DVD-RAM formats it and polls; this drive's format takes five hours.
  Use("dvd-ram/format=18000000:", "ram");
  EXPECT_EQ(korva::test::EraseAndWait(*vol, false), 1);
  EXPECT_EQ(UDF_GetLastErrorNumber(vol.get()), KORVA_E_DRIVE_TIMEOUT);
}

// The drive's clock follows the same sleeps as the engine's, so a format that takes two
// hours on the drive ends within the bound however quickly the polls run.
TEST_F(WaitTest, AFormatShorterThanTheBoundIsWaitedOut) {
  constexpr uint64_t kTwoHoursMs = 2 * 60 * 60 * 1000;
  Use("dvd-ram/format=7200000:", "ram");
  const uint64_t before = platform->SleptMs();
  const uint64_t clock_before = platform->MonotonicMs();
  EXPECT_EQ(korva::test::EraseAndWait(*vol, false), 0) << UDF_GetLastErrorNumber(vol.get());
  EXPECT_GE(platform->MonotonicMs() - clock_before, kTwoHoursMs);
  EXPECT_LT(platform->SleptMs() - before, kTwoHoursMs + 60 * 1000);
}

TEST_F(WaitTest, TheComponentIsDestroyedWhileItsFormatWaitsOnAStuckDrive) {
  std::string error;
  platform = VDrivePlatform::FromConfig("dvd+rw/format=100:" + dir.File("disc"), &error);
  ASSERT_TRUE(platform) << error;
  platform->SetRealSleep(false);
  platform->SetClockFollowsSleeps(true);
  auto failed = std::make_shared<std::atomic<int>>(0);
  {
    TKorva k;
    k.Volume()->Device.Platform = platform.get();
    ASSERT_TRUE(k.InitializeASPI(false, "", ""));
    ASSERT_TRUE(k.SelectDevice(0));
    ASSERT_TRUE(k.UDF_MountVolume());
    NeverReady();
    k.OnFormatDone = [failed](TKorva *, bool f) { *failed = f ? 1 : 2; };
    ASSERT_NE(k.UDF_FormatVolume("STUCK", 0), 0);
  } // Waits for the format to give up, then its handler.
  EXPECT_EQ(*failed, 1);
}

// Hands the drive's fixed-format sense data over in descriptor format, as some drives and
// host adapters do, through whichever pass-through the build's transport uses.
class DescriptorSensePlatform : public VDrivePlatform {
public:
#if defined(_WIN32)
  int IoControl(int handle, uint32_t code, void *in, uint32_t in_length, void *out,
                uint32_t out_length, uint32_t *returned) override {
    const int rc = VDrivePlatform::IoControl(handle, code, in, in_length, out, out_length, returned);
    auto *sptd = static_cast<TSCSI_PASS_THROUGH_DIRECT *>(in);
    if (rc == 0 && code == kIoctlScsiPassThroughDirect && sptd->ScsiStatus != 0)
      Convert(static_cast<uint8_t *>(in) + sptd->SenseInfoOffset, sptd->SenseInfoLength);
    return rc;
  }
#else
  int SendSgIo(int handle, sg_io_hdr_t *h) override {
    const int rc = VDrivePlatform::SendSgIo(handle, h);
    if (rc == 0 && Convert(h->sbp, h->sb_len_wr)) h->sb_len_wr = 16;
    return rc;
  }
#endif
  std::atomic<int> converted{0};

private:
  // Rewrites fixed-format sense of `length` bytes into the 16-byte descriptor form.
  bool Convert(uint8_t *sense, size_t length) {
    if (length < 18 || (sense[0] & 0x7F) != 0x70) return false;
    const uint8_t *f = sense;
    uint8_t d[16] = {
        0x72, uint8_t(f[2] & 0x0F), f[12], f[13], 0, 0, 0, 8, 0x02, 0x06, 0, 0, f[15], f[16], f[17],
        0};
    std::memset(sense, 0, length);
    std::memcpy(sense, d, sizeof d);
    ++converted;
    return true;
  }
};

TEST_F(WaitTest, DescriptorFormatSenseIsWaitedForWithItsProgress) {
  VirtualDrive drive;
  Timings t = testing::FastTimings();
  drive.SetTimings(t);
  ASSERT_TRUE(drive.InsertMedium(dir.File("plus"), MediumKind::kDvdPlusRw));
  DescriptorSensePlatform p;
  p.AddDrive('D', &drive, 1);
  p.SetRealSleep(false);
  vol = korva::test::NewVolume();
  vol->Device.Platform = &p;
  vol->RetryDelayMs = 1;
  ASSERT_TRUE(InitializeASPI(vol.get(), KFALSE, "", ""));
  ASSERT_TRUE(SelectDevice(vol.get(), 0));
  ASSERT_TRUE(UDF_MountVolume(vol.get()));
  vol->FormatPercentage = 0;

  std::atomic<bool> done{false};
  std::atomic<int> highest_below_100{0};
  std::thread watcher([&] {
    while (!done) {
      const int percent = UDF_GetPhysicalFormattingPercentage(vol.get());
      if (percent < 100 && percent > highest_below_100) highest_below_100 = percent;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  const int result = korva::test::FormatAndWait(*vol, u"DESC");
  done = true;
  watcher.join();
  EXPECT_EQ(result, 0) << UDF_GetLastErrorNumber(vol.get());
  EXPECT_GT(p.converted, 0);
  EXPECT_GT(highest_below_100, 0) << "progress read from the sense-key specific descriptor";
  EXPECT_TRUE(UDF_GetVolumeCompatibility(vol.get()));
  ASSERT_TRUE(UDF_DismountVolume(vol.get()));
  UDF_ReleaseVolume(vol.get());
  vol.reset();
}

} // namespace
} // namespace korva::vdrive
