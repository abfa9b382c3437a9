// The medium under a mounted volume: the tray is locked while a volume is mounted for
// writing, a unit attention (a swapped disc, a reset) stops every further write, the node is
// held exclusively for writing, and a failed cache flush never passes for success.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "korva/check.h"
#include "korva/files.h"
#include "tests/files/fs_helpers.h"
#include "tests/support/volume_fixture.h"
#include "vdrive/vdrive_platform.h"
#include "volume/engine.h"

namespace korva {
namespace {

using test::ReadWhole;
using vdrive::MediumKind;
using vdrive::SenseCode;
using vdrive::VDrivePlatform;
using vdrive::VirtualDrive;

// The data of a sparse disc file: every run of data with its offset (holes read as zeros).
std::vector<std::pair<off_t, std::string>> ReadData(const std::string &path) {
  std::vector<std::pair<off_t, std::string>> runs;
  const int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return runs;
  for (off_t at = lseek(fd, 0, SEEK_DATA); at >= 0; at = lseek(fd, at, SEEK_DATA)) {
    const off_t end = lseek(fd, at, SEEK_HOLE);
    std::string data(size_t(end - at), '\0');
    if (pread(fd, data.data(), data.size(), at) != ssize_t(data.size())) break;
    runs.emplace_back(at, std::move(data));
    at = end;
  }
  close(fd);
  return runs;
}

// Copies a sparse disc file, holes kept.
void CopyDisc(const std::string &from, const std::string &to) {
  const int fd = open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  struct stat st {};
  ASSERT_EQ(stat(from.c_str(), &st), 0);
  ASSERT_EQ(ftruncate(fd, st.st_size), 0);
  for (const auto &[at, data] : ReadData(from))
    ASSERT_EQ(pwrite(fd, data.data(), data.size(), at), ssize_t(data.size()));
  close(fd);
  std::filesystem::copy_file(from + ".state", to + ".state");
}

class DriveIdentityTest : public ::testing::Test {
protected:
  // A DVD-RAM drive reporting unit attention after every load, with a formatted volume on
  // its disc, mounted for writing.
  void SetUp() override {
    std::string error;
    disc_ = dir_.File("first");
    platform_ = VDrivePlatform::FromConfig("dvd-ram/attention,format=10:" + disc_, &error);
    ASSERT_TRUE(platform_) << error;
    platform_->SetRealSleep(false);
    drive_ = platform_->Drive('D');
    v_->Device.Platform = platform_.get();
    v_->RetryDelayMs = 1;
    ASSERT_EQ(InitializeASPI(v_.get(), KFALSE, "", ""), KTRUE);
    ASSERT_EQ(SelectDevice(v_.get(), 0), KTRUE);
    ASSERT_EQ(UDF_MountVolume(v_.get()), KTRUE) << UDF_GetLastErrorNumber(v_.get());
    ASSERT_EQ(test::FormatAndWait(*v_, u"FIRST"), 0) << UDF_GetLastErrorNumber(v_.get());
  }
  bool CreateFile(const char16_t *name, size_t bytes) {
    const std::u16string path = std::u16string(u"\\") + name;
    const UDF_HANDLE h =
        UDF_CreateFileW(v_.get(), path.c_str(), UDF_GENERIC_WRITE, UDF_CREATE_NEW, 0);
    if (h == UDF_INVALID_HANDLE) return false;
    std::vector<uint8_t> data(bytes, 0x5A);
    uint32_t written = 0;
    const bool ok = UDF_WriteFile(v_.get(), h, data.data(), uint32_t(data.size()), &written);
    UDF_CloseHandle(v_.get(), h);
    return ok && written == bytes;
  }
  // A second disc with a volume of its own, from a copy of the first one's dismounted state.
  std::string MakeSecondDisc() {
    EXPECT_EQ(UDF_DismountVolume(v_.get()), KTRUE);
    drive_->RemoveMedium();
    const std::string second = dir_.File("second");
    CopyDisc(disc_, second);
    EXPECT_TRUE(drive_->ReinsertMedium());
    EXPECT_EQ(UDF_MountVolume(v_.get()), KTRUE);
    EXPECT_EQ(UDF_GetVolumeCompatibility(v_.get()), KTRUE) << UDF_GetLastErrorNumber(v_.get());
    return second;
  }

  test::TempDir dir_;
  std::string disc_;
  std::unique_ptr<VDrivePlatform> platform_;
  test::VolumePtr v_ = test::NewVolume();
  VirtualDrive *drive_ = nullptr;
};

// The disc is swapped while the volume is mounted: the first write after it fails with 35,
// nothing reaches the second disc (not even at dismount), and the first volume, left open,
// is repaired to a usable volume with the file written before the swap.
TEST_F(DriveIdentityTest, ASwappedDiscIsNeverWritten) {
  const std::string second = MakeSecondDisc();
  ASSERT_TRUE(CreateFile(u"before", 3 << 20));
  drive_->RemoveMedium();
  std::string error;
  ASSERT_TRUE(drive_->InsertMedium(second, MediumKind::kDvdRam, false, &error)) << error;
  const auto secondBefore = ReadData(second);

  drive_->ResetCommandLog();
  EXPECT_FALSE(CreateFile(u"after", 4096));
  EXPECT_EQ(UDF_GetLastErrorNumber(v_.get()), KORVA_E_MEDIUM_CHANGED);
  EXPECT_EQ(UDF_CreateDirectoryW(v_.get(), u"\\", u"dir"), KFALSE);
  EXPECT_EQ(UDF_DismountVolume(v_.get()), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(v_.get()), KORVA_E_MEDIUM_CHANGED);
  // The first command after the swap may be a write: the drive refuses it with the unit
  // attention. Nothing is sent after that.
  EXPECT_LE(drive_->CommandCount(0x2A), 1u) << "writes went on after the unit attention";
  drive_->RemoveMedium();
  EXPECT_TRUE(ReadData(second) == secondBefore) << "the swapped disc changed";

  ASSERT_TRUE(drive_->InsertMedium(disc_, MediumKind::kDvdRam, false, &error)) << error;
  ASSERT_EQ(UDF_MountVolume(v_.get()), KTRUE);
  EXPECT_EQ(UDF_GetLastErrorNumber(v_.get()), KORVA_E_LEFT_OPEN);
  ASSERT_EQ(UDF_RepairVolume(v_.get(), nullptr, nullptr), KTRUE) << UDF_GetLastErrorNumber(v_.get());
  const UDF_HANDLE h =
      UDF_CreateFileW(v_.get(), u"\\before", UDF_GENERIC_READ, UDF_OPEN_EXISTING, 0);
  ASSERT_NE(h, UDF_INVALID_HANDLE);
  std::vector<uint8_t> data(3 << 20);
  uint32_t read = 0;
  EXPECT_EQ(UDF_ReadFile(v_.get(), h, data.data(), uint32_t(data.size()), &read), KTRUE);
  EXPECT_EQ(read, data.size());
  EXPECT_EQ(data, std::vector<uint8_t>(3 << 20, 0x5A));
  UDF_CloseHandle(v_.get(), h);
  EXPECT_EQ(UDF_DismountVolume(v_.get()), KTRUE);
}

// A volume that saw a unit attention must be mounted again. Stopped between operations with
// the drive's cache written out, the same volume, still open with this record's own mark,
// is taken back as it stands; the swap above (the attention came on a cache flush) needs a
// repair.
TEST_F(DriveIdentityTest, TheSameVolumeIsTakenBackAfterAUnitAttentionBetweenOperations) {
  ASSERT_TRUE(CreateFile(u"one", 70000));
  // A sync point: the packet cache and the drive's cache are written out.
  ASSERT_EQ(UDF_FlushVolume(v_.get()), KTRUE);
  // The reset is reported on the operation's first write, before anything reached the disc.
  drive_->FailNextCommands(0x2A, 1, SenseCode{0x6, 0x29, 0x00});
  EXPECT_EQ(UDF_CreateDirectoryW(v_.get(), u"\\", u"dir"), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(v_.get()), KORVA_E_MEDIUM_CHANGED);
  EXPECT_EQ(UDF_DismountVolume(v_.get()), KFALSE);

  ASSERT_EQ(UDF_MountVolume(v_.get()), KTRUE);
  EXPECT_EQ(UDF_GetLastErrorNumber(v_.get()), 0);
  ASSERT_EQ(UDF_GetVolumeCompatibility(v_.get()), KTRUE);
  EXPECT_EQ(UDF_GetFileCount(v_.get()), 1u);
  EXPECT_EQ(UDF_CreateDirectoryW(v_.get(), u"\\", u"dir"), KTRUE);
  ASSERT_EQ(UDF_DismountVolume(v_.get()), KTRUE);
  ASSERT_EQ(UDF_MountVolume(v_.get()), KTRUE);
  EXPECT_EQ(UDF_GetVolumeCompatibility(v_.get()), KTRUE);
  EXPECT_EQ(UDF_GetDirCount(v_.get()), 2u);

  // Stopped with writes still in the drive's cache: the reset may have lost them.
  ASSERT_TRUE(CreateFile(u"two", 4096));
  drive_->FailNextCommands(0x35, 1, SenseCode{0x6, 0x29, 0x00});
  EXPECT_FALSE(CreateFile(u"three", 4096));
  EXPECT_EQ(UDF_DismountVolume(v_.get()), KFALSE);
  ASSERT_EQ(UDF_MountVolume(v_.get()), KTRUE);
  EXPECT_EQ(UDF_GetLastErrorNumber(v_.get()), KORVA_E_LEFT_OPEN);
}

// A unit attention on a write is never retried away: the drive was reset and may have lost
// what it was told, so the volume stops at once.
TEST_F(DriveIdentityTest, TheRetryNeverSwallowsAUnitAttention) {
  ASSERT_TRUE(CreateFile(u"one", 4096));
  drive_->FailNextCommands(0x2A, 1, SenseCode{0x6, 0x29, 0x00});
  drive_->ResetCommandLog();
  EXPECT_FALSE(CreateFile(u"two", 4096));
  EXPECT_EQ(UDF_GetLastErrorNumber(v_.get()), KORVA_E_MEDIUM_CHANGED);
  EXPECT_EQ(drive_->CommandCount(0x2A), 1u);
  EXPECT_EQ(v_->Device.LastUnitAttention, 0x29);
  EXPECT_EQ(UDF_DismountVolume(v_.get()), KFALSE);
  EXPECT_EQ(drive_->CommandCount(0x2A), 1u);
}

// The tray stays locked from the mount for writing to the dismount; a read-only mount
// leaves it free.
TEST_F(DriveIdentityTest, TheTrayIsLockedForTheMountsLife) {
  EXPECT_TRUE(v_->TrayLocked);
  EXPECT_EQ(EjectMedium(v_.get(), KFALSE), KFALSE);
  ASSERT_TRUE(CreateFile(u"f", 100));
  EXPECT_EQ(EjectMedium(v_.get(), KFALSE), KFALSE);
  EXPECT_TRUE(drive_->MediumPresent());
  ASSERT_EQ(UDF_DismountVolume(v_.get()), KTRUE);
  EXPECT_FALSE(v_->TrayLocked);
  ASSERT_EQ(UDF_MountVolumeReadOnly(v_.get()), KTRUE);
  EXPECT_FALSE(v_->TrayLocked);
  EXPECT_EQ(EjectMedium(v_.get(), KFALSE), KTRUE);
  EXPECT_FALSE(drive_->MediumPresent());
  UDF_DismountVolume(v_.get());
}

// Another program holding the node (a mounted file system) refuses a mount for writing with
// a clear error; reading still works, and writing once the node is free.
TEST_F(DriveIdentityTest, ANodeHeldElsewhereIsNotWritten) {
  ASSERT_EQ(UDF_DismountVolume(v_.get()), KTRUE);
  UnlockDrive(v_.get()); // lets go of the node
  platform_->SetHeldByOther('D', true);
  EXPECT_EQ(UDF_MountVolume(v_.get()), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(v_.get()), KORVA_E_DRIVE_IN_USE);
  EXPECT_EQ(UDF_MountVolumeReadOnly(v_.get()), KTRUE);
  EXPECT_EQ(UDF_GetVolumeCompatibility(v_.get()), KTRUE);
  EXPECT_EQ(UDF_DismountVolume(v_.get()), KTRUE);
  platform_->SetHeldByOther('D', false);
  EXPECT_EQ(UDF_MountVolume(v_.get()), KTRUE);
  EXPECT_EQ(UDF_GetVolumeCompatibility(v_.get()), KTRUE);
  EXPECT_TRUE(v_->Device.HandleExclusive);
  EXPECT_EQ(UDF_DismountVolume(v_.get()), KTRUE);
}

// A SYNCHRONIZE CACHE that fails: the data written may never reach the medium, so the sync
// point that needed it fails, and dismount does not mark the volume closed over it.
TEST_F(DriveIdentityTest, AFailedCacheFlushIsNoSuccess) {
  drive_->SetWriteCache(true);
  ASSERT_TRUE(CreateFile(u"cached", 4096));
  drive_->FailNextCommands(0x35, 10);
  EXPECT_EQ(UDF_FlushVolume(v_.get()), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(v_.get()), KORVA_E_CACHE_FLUSH);
  EXPECT_EQ(UDF_DismountVolume(v_.get()), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(v_.get()), KORVA_E_CACHE_FLUSH);
  drive_->ClearFaults();
  ASSERT_EQ(UDF_MountVolume(v_.get()), KTRUE);
  EXPECT_EQ(UDF_GetLastErrorNumber(v_.get()), KORVA_E_LEFT_OPEN) << "the volume stays open";

  // The same at dismount alone: the flush before the close mark fails, the mark is not
  // written and dismount says so.
  ASSERT_EQ(UDF_RepairVolume(v_.get(), nullptr, nullptr), KTRUE);
  ASSERT_TRUE(CreateFile(u"more", 4096));
  drive_->FailNextCommands(0x35, 10);
  EXPECT_EQ(UDF_DismountVolume(v_.get()), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(v_.get()), KORVA_E_CACHE_FLUSH);
  drive_->ClearFaults();
  ASSERT_EQ(UDF_MountVolume(v_.get()), KTRUE);
  EXPECT_EQ(UDF_GetLastErrorNumber(v_.get()), KORVA_E_LEFT_OPEN);
}

// Repair of a volume left open writes its bitmap and close mark and mounts the volume again,
// with cache flushes between. Whichever of them fails, repair says so, and the next repair
// finds a volume it can mend, every file in it.
TEST_F(DriveIdentityTest, ARepairWhoseCacheFlushFailsAtAnyPointSaysSo) {
  drive_->SetWriteCache(true);
  bool completed = false;
  for (unsigned pass = 0; !completed && pass < 20; ++pass) {
    ASSERT_TRUE(CreateFile((u"f" + std::u16string(1, char16_t(u'a' + pass))).c_str(), 4096));
    drive_->FailNextCommands(0x35, 10);
    EXPECT_EQ(UDF_DismountVolume(v_.get()), KFALSE);
    drive_->ClearFaults();
    ASSERT_EQ(UDF_MountVolume(v_.get()), KTRUE);
    ASSERT_EQ(UDF_GetLastErrorNumber(v_.get()), KORVA_E_LEFT_OPEN) << "flush " << pass + 1;

    const unsigned before = drive_->CommandCount(0x35);
    drive_->FailCommandsAfter(0x35, pass, 10);
    const KBOOL repaired = UDF_RepairVolume(v_.get(), nullptr, nullptr);
    const bool failed = drive_->CommandCount(0x35) - before > pass;
    drive_->ClearFaults();
    if (failed) {
      EXPECT_EQ(repaired, KFALSE) << "flush " << pass + 1 << " failed";
      EXPECT_EQ(UDF_GetLastErrorNumber(v_.get()), KORVA_E_CACHE_FLUSH) << "flush " << pass + 1;
      // The drive writes its cache out in the end: the volume is still left open, or
      // closed by a close mark written after everything it vouches for.
      static_cast<void>(UDF_DismountVolume(v_.get()));
      ASSERT_EQ(UDF_MountVolume(v_.get()), KTRUE);
      const uint32_t mounted = UDF_GetLastErrorNumber(v_.get());
      EXPECT_TRUE(mounted == 0 || mounted == KORVA_E_LEFT_OPEN) << mounted;
      ASSERT_EQ(UDF_RepairVolume(v_.get(), nullptr, nullptr), KTRUE) << "flush " << pass + 1;
      EXPECT_EQ(UDF_CheckVolume(v_.get(), nullptr, nullptr), KTRUE) << "flush " << pass + 1;
    } else {
      EXPECT_EQ(repaired, KTRUE);
      completed = true;
    }
    for (unsigned f = 0; f <= pass; ++f) {
      std::vector<uint8_t> back;
      EXPECT_TRUE(ReadWhole(*v_, u"\\f" + std::u16string(1, char16_t(u'a' + f)), back));
      EXPECT_EQ(back, std::vector<uint8_t>(4096, 0x5A))
          << "file " << f << " after flush " << pass + 1;
    }
  }
  EXPECT_TRUE(completed);
}

} // namespace
} // namespace korva
