// The volume engine on virtual drives: the device-selected gate, medium refusals, erase
// while mounted, the retry rule, cache synchronization before reads, dirty-volume errors,
// the CD-RW layout and the second-anchor rule.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "korva/files.h"
#include "vdrive/config.h"
#include "vdrive/vdrive_platform.h"
#include "tests/support/volume_fixture.h"
#include "volume/engine.h"

namespace korva {
namespace {

using vdrive::VDrivePlatform;
using vdrive::VirtualDrive;

struct Done {
  std::atomic<int> calls{0};
  std::atomic<int> failed{0};
  static void Handler(void *context, void *, int32_t failed) {
    auto *d = static_cast<Done *>(context);
    d->failed = failed != 0;
    ++d->calls;
  }
};

// The virtual drives' platform, except that while stepping each pause the engine takes
// waits until the test lets it go on. With the drives' clocks following those pauses, a
// drive's work moves on in steps the test drives, however fast the machine's clock runs.
class SteppedPlatform : public VDrivePlatform {
public:
  void SleepMs(uint32_t milliseconds) override {
    VDrivePlatform::SleepMs(milliseconds);
    std::unique_lock<std::mutex> lock(gate_);
    if (!stepping_) return;
    ++pauses_;
    moved_.notify_all();
    moved_.wait(lock, [&] { return released_ >= pauses_ || !stepping_; });
  }
  void SetStepping(bool on) {
    std::lock_guard<std::mutex> lock(gate_);
    stepping_ = on;
    moved_.notify_all();
  }
  // Waits until the engine pauses (true), or until `gone` says it will not pause again.
  // No clock is read: a timed wait on a shifted clock may never end, or end at once.
  template <class Gone> bool AwaitPause(Gone gone) {
    for (;;) {
      {
        std::lock_guard<std::mutex> lock(gate_);
        if (released_ != pauses_) return true;
      }
      if (gone()) return false;
      std::this_thread::yield();
    }
  }
  void Release() {
    std::lock_guard<std::mutex> lock(gate_);
    released_ = pauses_;
    moved_.notify_all();
  }

private:
  std::mutex gate_;
  std::condition_variable moved_;
  bool stepping_ = false;
  uint64_t pauses_ = 0, released_ = 0;
};

// The virtual drives' platform, except that once armed, the disc seems gone for the first
// READ DISC INFORMATION after the engine pauses: a poll of a long operation that fails.
class PollFailingPlatform : public VDrivePlatform {
public:
  void SleepMs(uint32_t milliseconds) override {
    VDrivePlatform::SleepMs(milliseconds);
    if (!armed_) return;
    armed_ = false;
    Drive('D')->FailNextCommands(0x51, 1, vdrive::SenseCode{0x02, 0x3A, 0x00});
  }
  void Arm() { armed_ = true; }

private:
  bool armed_ = false;
};

class DriveTest : public ::testing::Test {
protected:
  void Use(const std::string &entry, const std::string &disc = "disc") {
    std::string error;
    UsePlatform(VDrivePlatform::FromConfig(entry + dir_.File(disc), &error), error);
  }
  // The drive of `entry` on a platform of the test's own (pauses it steps through, faults
  // it injects while the engine waits).
  template <class Platform = SteppedPlatform> Platform *UseStepped(const std::string &entry) {
    std::vector<vdrive::DriveConfig> configs;
    std::string error;
    if (!vdrive::ParseDriveConfigs(entry + dir_.File("disc"), &configs, &error) ||
        !(owned_drive_ = vdrive::MakeDrive(configs.at(0), &error))) {
      ADD_FAILURE() << error;
      return nullptr;
    }
    auto platform = std::make_unique<Platform>();
    Platform *stepped = platform.get();
    platform->AddDrive('D', owned_drive_.get(), 1);
    UsePlatform(std::move(platform), error);
    return stepped;
  }
  void UsePlatform(std::unique_ptr<VDrivePlatform> platform, const std::string &error) {
    platform_ = std::move(platform);
    ASSERT_TRUE(platform_) << error;
    platform_->SetRealSleep(false);
    v_->Device.Platform = platform_.get();
    ASSERT_EQ(InitializeASPI(v_.get(), KFALSE, "", ""), KTRUE);
    ASSERT_EQ(SelectDevice(v_.get(), 0), KTRUE);
    drive_ = platform_->Drive('D');
  }
  int Format(const std::u16string &label, bool quick = false) {
    return test::FormatAndWait(*v_, label, quick);
  }
  int Erase(bool quick) { return test::EraseAndWait(*v_, quick); }
  // Waits out the drive becoming ready after its disc was loaded, as a mount does.
  bool Settle() {
    for (int i = 0; i < 8; ++i)
      if (TestUnitReady(v_.get())) return true;
    return false;
  }
  bool AnchorAt(uint32_t sector) {
    uint8_t buffer[2048];
    return ReadSector(*v_, sector, buffer).IsOk() && IsSectorTagValid(kTagAnchor, buffer, sector);
  }
  bool WriteFile(const char16_t *path, size_t bytes) {
    const UDF_HANDLE h = UDF_CreateFileW(v_.get(), path, UDF_GENERIC_WRITE, UDF_CREATE_ALWAYS, 0);
    if (h == UDF_INVALID_HANDLE) return false;
    std::vector<uint8_t> data(bytes, 0x6B);
    uint32_t written = 0;
    const bool ok = UDF_WriteFile(v_.get(), h, data.data(), uint32_t(data.size()), &written);
    UDF_CloseHandle(v_.get(), h);
    return ok && written == bytes;
  }
  size_t Count(uint8_t opcode) {
    auto log = drive_->CommandLog();
    return size_t(std::count(log.begin(), log.end(), opcode));
  }

  test::TempDir dir_;
  // The platform outlives the record: releasing a mounted record dismounts through it. A
  // drive the platform does not own outlives both.
  std::unique_ptr<VirtualDrive> owned_drive_;
  std::unique_ptr<VDrivePlatform> platform_;
  test::VolumePtr v_ = test::NewVolume();
  VirtualDrive *drive_ = nullptr;
};

TEST_F(DriveTest, NothingTouchesADriveBeforeOneIsSelected) {
  TUDFRewritableVolume *v = v_.get();
  EXPECT_EQ(GetDeviceCount(v), 0);
  EXPECT_EQ(UDF_GetLastErrorNumber(v), 0);
  EXPECT_EQ(UDF_MountVolume(v), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(v), 18);
  EXPECT_EQ(LockMedium(v), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(v), 18);
  EXPECT_EQ(GetDeviceBufferSize(v), 0u);
  EXPECT_EQ(DiscIs(v), 0);
  EXPECT_EQ(EraseDisc(v, KTRUE, nullptr, nullptr), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(v), 18);
  EXPECT_FALSE(korva::HasBackgroundState(*v));
  SetPreferCDMRWFormat(v, KTRUE);
  EXPECT_EQ(GetPreferCDMRWFormat(v), KTRUE);
  SetPreferCDMRWFormat(v, KFALSE);
  EXPECT_EQ(GetPreferCDMRWFormat(v), KFALSE);
  EXPECT_STREQ(GetDeviceName(v, 3), "");

  // A failed selection after a good one closes the gate again.
  Use("cd-rw:");
  EXPECT_STRNE(GetDeviceName(v, 0), "");
  EXPECT_TRUE(Settle());
  EXPECT_EQ(SelectDevice(v, 9), KFALSE);
  EXPECT_EQ(EjectMedium(v, KFALSE), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(v), 18);
}

TEST_F(DriveTest, MediaThatCannotHoldAVolumeAreRefused) {
  Use("dvd-rom:");
  EXPECT_EQ(UDF_MountVolume(v_.get()), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(v_.get()), 12);
  EXPECT_EQ(Erase(true), -1);
  EXPECT_EQ(UDF_GetLastErrorNumber(v_.get()), 12);
}

TEST_F(DriveTest, CdRwFormatsToTheKnownLayoutAndQuickFormatNeedsAFormattedDisc) {
  Use("cd-rw/format=20,background=40:");
  SetPreferCDMRWFormat(v_.get(), KFALSE);
  ASSERT_EQ(UDF_MountVolume(v_.get()), KTRUE);
  EXPECT_FALSE(v_->MediumFormatted);
  EXPECT_EQ(Format(u"Q", true), -1);
  EXPECT_EQ(UDF_GetLastErrorNumber(v_.get()), 21);
  EXPECT_FALSE(korva::HasBackgroundState(*v_));
  ASSERT_EQ(Format(u"CDRW"), 0);
  EXPECT_EQ(v_->TotalSectors, 295264u);
  EXPECT_EQ(v_->MainVDSSector, 288u);
  EXPECT_EQ(v_->IntegritySector, 352u);
  EXPECT_EQ(v_->SparingTableSector2, 1408u);
  EXPECT_EQ(v_->PartitionStart, 1472u);
  EXPECT_EQ(v_->PartitionLength, 293504u);
  EXPECT_EQ(v_->SpaceBitmapBlocks, 18u);
  EXPECT_EQ(v_->RootICBSector, 1491u);
  EXPECT_EQ(UDF_GetFreeBlocksOfLogicalVolume(v_.get()), 293483u);
  ASSERT_EQ(UDF_DismountVolume(v_.get()), KTRUE);
  ASSERT_EQ(UDF_MountVolume(v_.get()), KTRUE);
  EXPECT_TRUE(v_->MediumFormatted);
  EXPECT_EQ(UDF_GetVolumeCompatibility(v_.get()), KTRUE);
  EXPECT_EQ(UDF_GetFreeBlocksOfLogicalVolume(v_.get()), 293483u);
  // A formatted disc may be quick-formatted.
  EXPECT_EQ(Format(u"AGAIN", true), 0);
  EXPECT_EQ(UDF_DismountVolume(v_.get()), KTRUE);
}

TEST_F(DriveTest, EraseWaitsForTheDriveVolumeButNotForAnImage) {
  Use("cd-rw/format=10,blank=10,background=10:");
  ASSERT_EQ(UDF_MountVolume(v_.get()), KTRUE);
  EXPECT_EQ(Erase(true), -1);
  EXPECT_EQ(UDF_GetLastErrorNumber(v_.get()), 19);
  ASSERT_EQ(UDF_DismountVolume(v_.get()), KTRUE);
  EXPECT_EQ(Erase(true), 0);
  EXPECT_EQ(UDF_GetLastErrorNumber(v_.get()), 0);
  EXPECT_EQ(drive_->CommandCount(0xA1), 1u);

  // With an image mounted on the record, the drive's disc may still be erased.
  const std::string image = dir_.File("img");
  ASSERT_EQ(UDF_MountImage(v_.get(), image.c_str(), 10), KTRUE);
  ASSERT_EQ(test::FormatAndWait(*v_, u"IMG"), 0);
  const std::string before = test::ReadImageSector(image, 256);
  EXPECT_EQ(Erase(false), 0);
  EXPECT_EQ(test::ReadImageSector(image, 256), before);
  EXPECT_EQ(UDF_GetVolumeCompatibility(v_.get()), KTRUE);
  EXPECT_EQ(UDF_DismountVolume(v_.get()), KTRUE);

  // A blank that the drive rejects: the handler says failed, no error number.
  drive_->FailNextCommands(0xA1, 1);
  EXPECT_EQ(Erase(true), 1);
  EXPECT_EQ(UDF_GetLastErrorNumber(v_.get()), 0);
}

TEST_F(DriveTest, ReadsAreRetriedASecondApartAndNeedNoCacheSync) {
  Use("dvd-ram:");
  v_->RetryDelayMs = 0; // the real one-second pause, counted by the platform
  ASSERT_EQ(UDF_MountVolume(v_.get()), KTRUE);
  ASSERT_EQ(Format(u"RAM"), 0);
  ASSERT_EQ(UDF_DismountVolume(v_.get()), KTRUE);

  drive_->FailNextCommands(0x28, 2);
  const uint64_t slept = platform_->SleptMs();
  ASSERT_EQ(UDF_MountVolume(v_.get()), KTRUE);
  EXPECT_EQ(UDF_GetVolumeCompatibility(v_.get()), KTRUE);
  EXPECT_EQ(UDF_GetLastErrorNumber(v_.get()), 0);
  EXPECT_EQ(platform_->SleptMs() - slept, 2000u);

  // No read waits for a SYNCHRONIZE CACHE (a drive returns what it was sent). A sector is
  // written into its packet, read once (nothing was allocated yet, so the bitmap does not
  // vouch for its free blocks); the write changes what the volume refers to, so it follows
  // a barrier behind the mount's write. Its packet then answers from the cache.
  drive_->ResetCommandLog();
  std::memset(v_->SectorBuffer, 0x11, 2048);
  ASSERT_TRUE(WriteSector(*v_, 100000, v_->SectorBuffer).IsOk());
  ASSERT_TRUE(ReadSector(*v_, 100001, v_->SectorBuffer).IsOk());
  ASSERT_TRUE(ReadSector(*v_, 100002, v_->SectorBuffer).IsOk());
  ASSERT_TRUE(ReadSector(*v_, 100064, v_->SectorBuffer).IsOk());
  const std::vector<uint8_t> expected = {0x28, 0x35, 0x2A, 0x28};
  EXPECT_EQ(drive_->CommandLog(), expected);

  // Three failed attempts: a read error, the volume stays as it was.
  v_->WrittenInOperation = 0;
  drive_->FailNextCommands(0x28, 3);
  EXPECT_EQ(ReadSector(*v_, 5, v_->SectorBuffer).Error(), 13u);
  EXPECT_EQ(UDF_GetVolumeCompatibility(v_.get()), KTRUE);
  EXPECT_EQ(UDF_DismountVolume(v_.get()), KTRUE);
}

// A drive whose cache answers reads from the disc: a packet the engine wrote and then let go
// of (its cache holds four packets here) is read back only after a barrier, never stale.
TEST_F(DriveTest, APacketReadBackAfterItLeftTheCacheIsWhatWasWritten) {
  Use("dvd-ram:");
  ASSERT_EQ(UDF_MountVolume(v_.get()), KTRUE);
  ASSERT_EQ(Format(u"RAM"), 0);
  v_->PacketCacheBytes = 1;
  drive_->SetWriteCache(true);
  std::memset(v_->SectorBuffer, 0x11, 2048);
  ASSERT_TRUE(WriteSector(*v_, 100000, v_->SectorBuffer).IsOk());
  uint8_t sector[2048];
  for (uint32_t p = 1; p <= 8; ++p)
    ASSERT_TRUE(ReadSector(*v_, 100000 + p * 64, sector).IsOk());
  drive_->ResetCommandLog();
  ASSERT_TRUE(ReadSector(*v_, 100000, sector).IsOk());
  EXPECT_EQ(sector[0], 0x11);
  EXPECT_EQ(sector[2047], 0x11);
  const std::vector<uint8_t> expected = {0x35, 0x28};
  EXPECT_EQ(drive_->CommandLog(), expected);
  // Read again after the barrier: no second one.
  for (uint32_t p = 1; p <= 8; ++p)
    ASSERT_TRUE(ReadSector(*v_, 100000 + p * 64, sector).IsOk());
  drive_->ResetCommandLog();
  ASSERT_TRUE(ReadSector(*v_, 100000, sector).IsOk());
  EXPECT_EQ(Count(0x35), 0u);
  EXPECT_EQ(UDF_DismountVolume(v_.get()), KTRUE);
}

// Small files kept in memory: each packet goes to the disc about once, flushes only at sync
// points, even when the cache fills up several times in the middle of the stream (a flush
// forced then must not leave the file being written to force another one per file).
TEST_F(DriveTest, SmallFilesUnderWriteBehindWriteEachPacketAboutOnce) {
  Use("cd-rw/formatted:");
  ASSERT_EQ(UDF_MountVolume(v_.get()), KTRUE);
  ASSERT_EQ(Format(u"SMALL", true), 0);
  ASSERT_EQ(UDF_DismountVolume(v_.get()), KTRUE);
  v_->WriteBehind = 1;
  ASSERT_EQ(UDF_MountVolume(v_.get()), KTRUE);
  v_->PacketCacheBytes = 2u << 20;
  const uint32_t free = UDF_GetFreeBlocksOfLogicalVolume(v_.get());
  drive_->ResetCommandLog();
  ASSERT_EQ(UDF_CreateDirectoryW(v_.get(), u"\\", u"d"), KTRUE);
  for (int i = 0; i < 2000; ++i) {
    const std::u16string name = u"/d/f" + std::u16string(1, char16_t(u'a' + i / 26 % 26)) +
                                std::u16string(1, char16_t(u'a' + i % 26)) +
                                std::u16string(1, char16_t(u'0' + i / 676));
    ASSERT_TRUE(WriteFile(name.c_str(), 1000 + i % 5 * 1500)) << i;
  }
  ASSERT_EQ(UDF_FlushVolume(v_.get()), KTRUE);
  const double packets = (free - UDF_GetFreeBlocksOfLogicalVolume(v_.get())) / 32.0;
  EXPECT_GE(packets, 900 / 32.0);
  EXPECT_LE(double(Count(0x2A)), 1.5 * packets);
  EXPECT_LE(Count(0x28), Count(0x2A));
  EXPECT_LE(Count(0x35), 12u);
  EXPECT_EQ(UDF_DismountVolume(v_.get()), KTRUE);
  ASSERT_EQ(UDF_MountVolume(v_.get()), KTRUE);
  EXPECT_EQ(UDF_GetVolumeCompatibility(v_.get()), KTRUE);
  EXPECT_EQ(UDF_DismountVolume(v_.get()), KTRUE);
}

TEST_F(DriveTest, WriteFailuresAfterAWriteLeaveTheVolumeDirty) {
  Use("dvd-ram:");
  v_->RetryDelayMs = 1;
  ASSERT_EQ(UDF_MountVolume(v_.get()), KTRUE);
  ASSERT_EQ(Format(u"RAM"), 0);
  // Nothing written yet in this operation: plain write error, still usable.
  v_->WrittenInOperation = 0;
  drive_->FailNextCommands(0x2A, 3);
  EXPECT_EQ(WritePacket(*v_, 2000).Error(), 15u);
  EXPECT_TRUE(v_->Compatible);
  // After a good write, a failing read or write makes the volume unusable until remount.
  ASSERT_TRUE(WritePacket(*v_, 2000).IsOk());
  drive_->FailNextCommands(0x28, 3);
  EXPECT_EQ(ReadSector(*v_, 2016, v_->SectorBuffer).Error(), 14u);
  EXPECT_FALSE(v_->Compatible);
  EXPECT_EQ(UDF_GetFreeBlocksOfLogicalVolume(v_.get()), 0u);
  EXPECT_EQ(UDF_GetLastErrorNumber(v_.get()), 10);
  // Dismount still stores the bitmap and closes the volume, so it mounts usable again.
  drive_->ResetCommandLog();
  EXPECT_EQ(UDF_DismountVolume(v_.get()), KTRUE);
  EXPECT_GT(Count(0x2A), 0u);
  EXPECT_FALSE(v_->VolumeOpen);
  ASSERT_EQ(UDF_MountVolume(v_.get()), KTRUE);
  EXPECT_EQ(UDF_GetVolumeCompatibility(v_.get()), KTRUE);
  EXPECT_EQ(UDF_DismountVolume(v_.get()), KTRUE);
}

// Overwritable media are erased by zero packets over the volume structure (and DVD-RAM in
// full by a new format); either way the next mount finds no volume.
TEST_F(DriveTest, ErasingOverwritableMedia) {
  Use("dvd-ram/format=20:");
  ASSERT_EQ(UDF_MountVolume(v_.get()), KTRUE);
  ASSERT_EQ(Format(u"RAM"), 0);
  ASSERT_EQ(UDF_DismountVolume(v_.get()), KTRUE);
  drive_->ResetCommandLog();
  EXPECT_EQ(Erase(true), 0);
  EXPECT_EQ(drive_->CommandCount(0x2A), 256u / 16 + 1); // sectors 0 to 271
  EXPECT_EQ(drive_->CommandCount(0x04), 0u);
  ASSERT_EQ(UDF_MountVolume(v_.get()), KTRUE);
  EXPECT_EQ(UDF_GetVolumeCompatibility(v_.get()), KFALSE);
  ASSERT_EQ(Format(u"RAM"), 0);
  ASSERT_EQ(UDF_DismountVolume(v_.get()), KTRUE);
  EXPECT_EQ(Erase(false), 0);
  EXPECT_EQ(drive_->CommandCount(0x04), 1u) << "a full erase of DVD-RAM formats it anew";
  ASSERT_EQ(UDF_MountVolume(v_.get()), KTRUE);
  EXPECT_EQ(UDF_GetVolumeCompatibility(v_.get()), KFALSE);
  EXPECT_EQ(UDF_DismountVolume(v_.get()), KTRUE);
}

TEST_F(DriveTest, FullEraseOfABlankDvdPlusRwFormatsItFirst) {
  Use("dvd+rw/format=20,background=20:");
  EXPECT_EQ(Erase(false), 0);
  EXPECT_EQ(drive_->CommandCount(0x04), 1u);
  EXPECT_EQ(drive_->CommandCount(0x2A), 65536u / 16);
  EXPECT_EQ(v_->PacketBlocks, 16);
  // A failing zero-packet write ends the erase as failed, without an error number.
  drive_->FailNextCommands(0x2A, 1);
  EXPECT_EQ(Erase(true), 1);
  EXPECT_EQ(UDF_GetLastErrorNumber(v_.get()), 0);
}

TEST_F(DriveTest, FormatProgressIsVisibleFromAnotherThread) {
  // An hour's format on the clock of the engine's pauses, which the drive follows; the test
  // reads the progress at each pause from its own thread.
  SteppedPlatform *platform = UseStepped("cd-rw/format=3600000,background=20:");
  ASSERT_NE(platform, nullptr);
  platform->SetClockFollowsSleeps(true);
  SetPreferCDMRWFormat(v_.get(), KFALSE);
  ASSERT_EQ(UDF_MountVolume(v_.get()), KTRUE);
  Done done;
  platform->SetStepping(true);
  ASSERT_EQ(UDF_FormatVolume(v_.get(), "P", 0, &Done::Handler, &done), -1);
  std::vector<uint8_t> seen;
  while (platform->AwaitPause([&] { return done.calls != 0; })) {
    const uint8_t p = UDF_GetPhysicalFormattingPercentage(v_.get());
    EXPECT_LE(p, 100);
    if (p > 0 && p < 100) seen.push_back(p);
    platform->Release();
  }
  platform->SetStepping(false);
  UDF_WaitForBackgroundOperation(v_.get());
  EXPECT_EQ(done.failed, 0);
  EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
  seen.erase(std::unique(seen.begin(), seen.end()), seen.end());
  EXPECT_GT(seen.size(), 50u) << "progress was reported while the drive formatted";
  EXPECT_EQ(UDF_GetPhysicalFormattingPercentage(v_.get()), 100);
  EXPECT_EQ(UDF_DismountVolume(v_.get()), KTRUE);
}

// DVD+RW as dvd+rw-format and growisofs treat it: the drive takes writes anywhere while
// its background format runs, so both anchors are on the disc when the format returns; the
// end of the mount stops the background format and writes the lead-out with the immediate
// bit and polls (the drive answers TEST UNIT READY while it closes); the next mount
// restarts the format where it stopped.
TEST_F(DriveTest, DvdPlusRwBackgroundFormatStopsAtDismountAndRestartsAtMount) {
  // A background format of a day: still running when the test looks, however fast the
  // machine's clock runs.
  Use("dvd+rw/format=20,background=86400000,leadout=60:");
  ASSERT_EQ(UDF_MountVolume(v_.get()), KTRUE);
  ASSERT_EQ(Format(u"PLUS"), 0);
  EXPECT_EQ(drive_->State()->background, 2) << "still formatting in the background";
  EXPECT_TRUE(AnchorAt(256));
  EXPECT_TRUE(AnchorAt(v_->TotalSectors - 257));
  ASSERT_TRUE(WriteFile(u"\\a", 100000));

  drive_->ResetCommandLog();
  ASSERT_EQ(UDF_DismountVolume(v_.get()), KTRUE) << UDF_GetLastErrorNumber(v_.get());
  EXPECT_EQ(drive_->State()->background, 1) << "stopped, not completed";
  EXPECT_EQ(drive_->CommandCount(0x5B), 2u) << "close functions 0 and 2";
  EXPECT_GT(drive_->CommandCount(0x51), 0u) << "polled with READ DISC INFORMATION";

  ASSERT_EQ(UDF_MountVolume(v_.get()), KTRUE);
  EXPECT_EQ(UDF_GetVolumeCompatibility(v_.get()), KTRUE);
  EXPECT_EQ(drive_->State()->background, 2) << "restarted by the mount";
  ASSERT_EQ(UDF_DismountVolume(v_.get()), KTRUE);
  // A quick erase leaves the disc stopped and closed as well.
  EXPECT_EQ(Erase(true), 0);
  EXPECT_EQ(drive_->State()->background, 1);
}

// A mount restarts the drive's background format and a dismount stops it; either goes on
// when the drive does not do it (the format is taken up again later). The number the
// failed poll gave is no failure of theirs: both succeed with LastError 0.
TEST_F(DriveTest, ABackgroundFormatThatDoesNotRestartOrStopLeavesNoErrorBehind) {
  PollFailingPlatform *platform =
      UseStepped<PollFailingPlatform>("dvd+rw/format=20,background=86400000,leadout=60:");
  ASSERT_NE(platform, nullptr);
  ASSERT_EQ(UDF_MountVolume(v_.get()), KTRUE);
  ASSERT_EQ(Format(u"PLUS"), 0);
  ASSERT_TRUE(WriteFile(u"\\a", 1000));
  ASSERT_EQ(UDF_DismountVolume(v_.get()), KTRUE);
  ASSERT_EQ(drive_->State()->background, 1);

  platform->Arm();
  drive_->ResetCommandLog();
  ASSERT_EQ(UDF_MountVolume(v_.get()), KTRUE);
  EXPECT_EQ(drive_->CommandCount(0x04), 1u) << "restarted";
  EXPECT_EQ(UDF_GetLastErrorNumber(v_.get()), 0);
  EXPECT_EQ(UDF_GetVolumeCompatibility(v_.get()), KTRUE);
  EXPECT_EQ(UDF_GetFileCount(v_.get()), 1u);

  platform->Arm();
  EXPECT_EQ(UDF_DismountVolume(v_.get()), KTRUE);
  EXPECT_EQ(UDF_GetLastErrorNumber(v_.get()), 0);
  EXPECT_EQ(drive_->State()->background, 1) << "stopped before the poll failed";
}

// CD-RW fixed packets: format code 1 (type 10h) first; a drive that refuses it gets the
// older format code 7. The strict drive refuses code 7.
TEST_F(DriveTest, CdRwFormatCodeOneFirstThenSeven) {
  Use("cd-rw/format=20:");
  SetPreferCDMRWFormat(v_.get(), KFALSE);
  ASSERT_EQ(UDF_MountVolume(v_.get()), KTRUE);
  ASSERT_EQ(Format(u"ONE"), 0) << UDF_GetLastErrorNumber(v_.get());
  EXPECT_EQ(drive_->CommandCount(0x04), 1u);
  ASSERT_EQ(UDF_DismountVolume(v_.get()), KTRUE);

  drive_->SetStrict(false);
  drive_->FailNextCommands(0x04, 1, vdrive::SenseCode{0x05, 0x26, 0x00});
  ASSERT_EQ(UDF_MountVolume(v_.get()), KTRUE);
  ASSERT_EQ(Format(u"SEVEN"), 0) << UDF_GetLastErrorNumber(v_.get());
  EXPECT_EQ(drive_->CommandCount(0x04), 3u);
  ASSERT_EQ(UDF_DismountVolume(v_.get()), KTRUE);
  ASSERT_EQ(UDF_MountVolume(v_.get()), KTRUE);
  EXPECT_EQ(UDF_GetVolumeCompatibility(v_.get()), KTRUE);
  EXPECT_EQ(UDF_DismountVolume(v_.get()), KTRUE);
}

// A 2.6 GB DVD-RAM: its full erase formats what the drive reports, not a 4.7 GB disc.
TEST_F(DriveTest, DvdRamFullEraseFormatsTheCapacityTheDriveReports) {
  Use("dvd-ram/blocks=1218960,format=20:");
  ASSERT_EQ(UDF_MountVolume(v_.get()), KTRUE);
  EXPECT_EQ(v_->TotalSectors, 1218960u);
  ASSERT_EQ(UDF_DismountVolume(v_.get()), KTRUE);
  EXPECT_EQ(Erase(false), 0);
  EXPECT_EQ(drive_->CommandCount(0x04), 1u);
  EXPECT_EQ(drive_->State()->capacity, 1218960u);
}

// Busy drives: a disc just loaded is becoming ready (an erase waits for it too), and a long
// write in progress lasts longer than plain retries; both are waited out.
TEST_F(DriveTest, BusyDrivesAreWaitedOut) {
  Use("cd-rw/format=20,blank=20:");
  EXPECT_EQ(Erase(true), 0) << UDF_GetLastErrorNumber(v_.get());

  Use("dvd-ram/longwrite=5:", "ram");
  v_->RetryDelayMs = 1;
  ASSERT_EQ(UDF_MountVolume(v_.get()), KTRUE);
  ASSERT_EQ(Format(u"BUSY"), 0) << UDF_GetLastErrorNumber(v_.get());
  for (const char16_t *name : {u"\\a", u"\\b", u"\\c"})
    ASSERT_TRUE(WriteFile(name, 300000)) << UDF_GetLastErrorNumber(v_.get());
  ASSERT_EQ(UDF_DismountVolume(v_.get()), KTRUE) << UDF_GetLastErrorNumber(v_.get());
  ASSERT_EQ(UDF_MountVolume(v_.get()), KTRUE);
  EXPECT_EQ(UDF_GetVolumeCompatibility(v_.get()), KTRUE);
  EXPECT_EQ(UDF_GetFileCount(v_.get()), 3u);
  EXPECT_EQ(UDF_DismountVolume(v_.get()), KTRUE);
}

// MRW: format header without certification options, the defect-managed address space set
// at every mount (the drive keeps what another program chose), and the background format
// suspended at dismount and restarted at mount.
TEST_F(DriveTest, MrwAddressSpaceAndBackgroundFormat) {
  Use("cd-rw/format=20,background=86400000:"); // a day: never done before the test looks
  SetPreferCDMRWFormat(v_.get(), KTRUE);
  ASSERT_EQ(UDF_MountVolume(v_.get()), KTRUE);
  ASSERT_EQ(Format(u"MRW"), 0) << UDF_GetLastErrorNumber(v_.get());
  EXPECT_TRUE(drive_->State()->mrw);
  ASSERT_TRUE(WriteFile(u"\\m", 50000));
  ASSERT_EQ(UDF_DismountVolume(v_.get()), KTRUE);
  EXPECT_EQ(drive_->State()->background, 1);

  // Another program leaves the drive in the general application area.
  const uint8_t select[10] = {0x55, 0x10, 0, 0, 0, 0, 0, 0, 16, 0};
  uint8_t page[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0x03, 0x06, 0, 0x01};
  ASSERT_EQ(drive_->Execute(select, 10, vdrive::DataDirection::kOut, page, 16).status, 0);
  ASSERT_TRUE(drive_->MrwGeneralArea());
  ASSERT_EQ(UDF_MountVolume(v_.get()), KTRUE);
  EXPECT_FALSE(drive_->MrwGeneralArea());
  EXPECT_EQ(UDF_GetVolumeCompatibility(v_.get()), KTRUE) << UDF_GetLastErrorNumber(v_.get());
  EXPECT_EQ(drive_->State()->background, 2) << "restarted by the mount";
  EXPECT_EQ(UDF_GetFileCount(v_.get()), 1u);
  EXPECT_EQ(UDF_DismountVolume(v_.get()), KTRUE);
}

} // namespace
} // namespace korva
