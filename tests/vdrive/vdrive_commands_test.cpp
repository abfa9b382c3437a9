// Command-level behaviour of the virtual drive that the engine relies on.
#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <sys/stat.h>

#include "vdrive/config.h"
#include "tests/vdrive/vdrive_test_util.h"

namespace korva::vdrive {
namespace {

using testing::Bench;
using testing::FastTimings;
using testing::ScratchDir;

class DriveTest : public ::testing::Test {
protected:
  void Insert(MediumKind kind, bool formatted = false, DriveModel model = DriveModel::kDvdBurner) {
    drive = std::make_unique<VirtualDrive>(model);
    drive->SetTimings(FastTimings());
    std::string error;
    ASSERT_TRUE(drive->InsertMedium(dir.File("disc"), kind, formatted, &error)) << error;
    bench = std::make_unique<Bench>(Bench{*drive, {}, {}});
    bench->Settle();
  }
  ScratchDir dir;
  std::unique_ptr<VirtualDrive> drive;
  std::unique_ptr<Bench> bench;
};

TEST_F(DriveTest, DvdPlusRwFormatsWithProgressThenRunsItsBackgroundFormat) {
  Insert(MediumKind::kDvdPlusRw);
  // Formats far longer than the test runs, moved on by the test in steps: the progress seen
  // does not depend on how fast the machine's clock runs.
  Timings slow;
  slow.format = std::chrono::hours(24);
  slow.background = std::chrono::hours(24);
  drive->SetTimings(slow);
  const std::chrono::milliseconds step = std::chrono::hours(5);
  Bench &b = *bench;
  ASSERT_EQ(b.DiscInfo().status, kStatusGood);
  EXPECT_EQ(b.data[2], 0x10); // erasable, empty session, blank disc
  EXPECT_EQ(b.data[7] & 3, 0);
  EXPECT_EQ(b.Read(0, 1).status, kStatusCheckCondition); // nothing to read yet

  // Formattable capacity of type 26h, as the format code searches for it.
  ASSERT_EQ(b.In({0x23, 0, 0, 0, 0, 0, 0, 0, 0xF8, 0}, 0xF8).status, kStatusGood);
  ASSERT_EQ(b.data[3], 16);
  EXPECT_EQ(b.data[8] & 3, 1); // unformatted
  EXPECT_EQ(b.data[12 + 4] >> 2, 0x26);
  EXPECT_EQ(b.Be32(12), 2295104u);

  ASSERT_EQ(b.Out({0x04, 0x11, 0, 0, 0, 0}, testing::DvdPlusRwFormatList()).status, kStatusGood);
  std::vector<uint16_t> progress = b.WaitReady(step);
  ASSERT_EQ(b.r.status, kStatusGood);
  ASSERT_EQ(progress.size(), 5u) << "one poll at the start and one after each step";
  EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
  for (size_t i = 0; i < progress.size(); ++i) // within 1 % of the share of the time passed
    EXPECT_NEAR(progress[i], 65536.0 * double(i * step.count()) / double(slow.format.count()), 656)
        << "poll " << i;
  // The sense of the polling commands carried the progress indication.
  EXPECT_EQ(b.data[2], 0x1E);  // erasable, complete session, complete disc
  EXPECT_EQ(b.data[7] & 3, 2); // background format running
  ASSERT_EQ(b.TrackInfo().status, kStatusGood);
  EXPECT_EQ(b.data[5] & 0x0F, 4);
  EXPECT_EQ(b.data[6] & 0x0F, 1);
  EXPECT_EQ(b.Be32(20), 16u);
  EXPECT_EQ(b.Be32(24), 2295104u);

  // Writable at once, also single sectors; the background format then completes.
  EXPECT_EQ(b.Write(5, 1, 0xAB).status, kStatusGood);
  ASSERT_EQ(b.DiscInfo().status, kStatusGood);
  EXPECT_EQ(b.data[7] & 3, 2) << "not done before its time";
  drive->AdvanceClock(slow.background);
  ASSERT_EQ(b.DiscInfo().status, kStatusGood);
  EXPECT_EQ(b.data[7] & 3, 3);
  ASSERT_EQ(b.Read(5, 1).status, kStatusGood);
  EXPECT_EQ(b.data[0], 0xAB);
}

TEST_F(DriveTest, CdRwFixedPacketFormatMeetsTheFormattedChecks) {
  Insert(MediumKind::kCdRw);
  Bench &b = *bench;
  ASSERT_EQ(b.In({0x23, 0, 0, 0, 0, 0, 0, 0, 0xF8, 0}, 0xF8).status, kStatusGood);
  ASSERT_EQ(b.data[12 + 4] >> 2, 0x10);
  const uint32_t blocks = b.Be32(12);
  EXPECT_EQ(blocks, 295264u);
  EXPECT_EQ(b.data[20 + 4] >> 2, 0x24); // this model writes MRW

  // Before formatting the disc is blank and written sequentially.
  ASSERT_EQ(b.TrackInfo().status, kStatusGood);
  EXPECT_TRUE(b.data[6] & 0x40);
  EXPECT_EQ(b.data[7] & 1, 1);

  // Format code 7 is refused by drives of later generations (and the strict drive); format
  // code 1 with type 10h formats for fixed packets of 32.
  EXPECT_EQ(b.Out({0x04, 0x17, 0, 0, 0, 0}, testing::CdRwFixedFormatList(blocks)).asc(), 0x24);
  const std::vector<uint8_t> code1 = {0, 2, 0, 8, uint8_t(blocks >> 24), uint8_t(blocks >> 16),
                                      uint8_t(blocks >> 8), uint8_t(blocks), 0x40, 0, 0, 32};
  ASSERT_EQ(b.Out({0x04, 0x11, 0, 0, 0, 0}, code1).status, kStatusGood);
  b.WaitReady();
  ASSERT_EQ(b.r.status, kStatusGood);
  EXPECT_EQ(b.data[2] & 0x0C, 0x0C);
  EXPECT_EQ(b.data[4], 1);
  EXPECT_EQ(b.data[5], b.data[6]);
  EXPECT_EQ(b.data[8], 0x20);
  ASSERT_EQ(b.TrackInfo().status, kStatusGood);
  EXPECT_EQ(b.data[5] & 0x0F, 7);
  EXPECT_EQ(b.data[6] & 0x0F, 2);
  EXPECT_EQ(b.data[6] & 0x30, 0x30);
  EXPECT_EQ(b.Be32(20), 32u);
  EXPECT_EQ(b.Be32(24), blocks);

  // Whole, aligned packets only (the write parameters a strict drive also asks for are
  // another test's subject).
  drive->SetStrict(false);
  EXPECT_EQ(b.Write(0, 32, 1).status, kStatusGood);
  EXPECT_EQ(b.Write(64, 64, 2).status, kStatusGood);
  for (auto [lba, count] : {std::pair{16u, 32}, {32u, 16}, {33u, 32}, {0u, 1}}) {
    EXPECT_EQ(b.Write(lba, static_cast<uint16_t>(count), 3).status, kStatusCheckCondition);
    EXPECT_EQ(b.r.sense_key(), 0x5);
    EXPECT_EQ(b.r.asc(), 0x21);
  }
  EXPECT_EQ(b.Write(blocks - 32, 64, 3).status, kStatusCheckCondition); // past the end
  ASSERT_EQ(b.Read(31, 2).status, kStatusGood);
  EXPECT_EQ(b.data[0], 1);
  EXPECT_EQ(b.data[2048], 0); // sector 32 never written

  // Blanking takes it back to a blank disc.
  ASSERT_EQ(b.None({0xA1, 0x11, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}).status, kStatusGood);
  b.WaitReady();
  ASSERT_EQ(b.r.status, kStatusGood);
  EXPECT_EQ(b.data[2], 0x10);
  EXPECT_FALSE(drive->State()->formatted);
}

TEST_F(DriveTest, DvdRwTurnsRestrictedOverwriteAndBackOnBlank) {
  Insert(MediumKind::kDvdRwSequential);
  Bench &b = *bench;
  ASSERT_EQ(b.In({0x46, 0, 0, 0, 0, 0, 0, 0, 8, 0}, 8).status, kStatusGood);
  EXPECT_EQ(b.Be16(6), 0x0014);
  const uint32_t blocks = 2297888;
  ASSERT_EQ(b.Out({0x04, 0x11, 0, 0, 0, 0},
                  {0x00, 0x82, 0x00, 0x08, uint8_t(blocks >> 24), uint8_t(blocks >> 16),
                   uint8_t(blocks >> 8), uint8_t(blocks), 0x40, 0x00, 0x00, 0x10})
                .status,
            kStatusGood);
  b.WaitReady();
  EXPECT_EQ(b.data[2], 0x1E);
  EXPECT_TRUE(b.data[7] & 0x20); // unrestricted use
  ASSERT_EQ(b.TrackInfo().status, kStatusGood);
  EXPECT_EQ(b.data[6], 0x31);
  EXPECT_EQ(b.Be32(20), 16u);
  b.In({0x46, 0, 0, 0, 0, 0, 0, 0, 8, 0}, 8);
  EXPECT_EQ(b.Be16(6), 0x0013);
  EXPECT_EQ(b.Write(16, 8, 1).status, kStatusCheckCondition); // half a packet

  // A zero block count is refused: the drive cannot format to nothing.
  ASSERT_EQ(
      b.Out({0x04, 0x11, 0, 0, 0, 0}, {0x00, 0x82, 0x00, 0x08, 0, 0, 0, 0, 0x40, 0x00, 0x00, 0x10})
          .status,
      kStatusCheckCondition);
  EXPECT_EQ(b.r.asc(), 0x26);

  ASSERT_EQ(b.None({0xA1, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}).status, kStatusGood);
  b.WaitReady();
  b.In({0x46, 0, 0, 0, 0, 0, 0, 0, 8, 0}, 8);
  EXPECT_EQ(b.Be16(6), 0x0014);
}

TEST_F(DriveTest, WriteCacheHidesDataUntilSynchronized) {
  Insert(MediumKind::kDvdRam);
  Bench &b = *bench;
  ASSERT_EQ(b.Write(10, 2, 0x11).status, kStatusGood);
  drive->SetWriteCache(true);
  ASSERT_EQ(b.Write(10, 2, 0x22).status, kStatusGood);
  ASSERT_EQ(b.Read(10, 2).status, kStatusGood);
  EXPECT_EQ(b.data[0], 0x11);
  EXPECT_EQ(b.data[4095], 0x11);
  ASSERT_EQ(b.None({0x35, 0, 0, 0, 0, 0, 0, 0, 0, 0}).status, kStatusGood);
  ASSERT_EQ(b.Read(10, 2).status, kStatusGood);
  EXPECT_EQ(b.data[0], 0x22);
  EXPECT_EQ(b.data[4095], 0x22);

  // A removed disc loses what was cached; an ejected one keeps it.
  ASSERT_EQ(b.Write(20, 1, 0x33).status, kStatusGood);
  drive->RemoveMedium();
  ASSERT_TRUE(drive->ReinsertMedium());
  ASSERT_TRUE(b.Settle());
  ASSERT_EQ(b.Read(20, 1).status, kStatusGood);
  EXPECT_EQ(b.data[0], 0);
  ASSERT_EQ(b.Write(20, 1, 0x44).status, kStatusGood);
  ASSERT_EQ(b.None({0x1B, 0, 0, 0, 0x02, 0}).status, kStatusGood);
  ASSERT_EQ(b.None({0x1B, 0, 0, 0, 0x03, 0}).status, kStatusGood);
  ASSERT_TRUE(b.Settle());
  ASSERT_EQ(b.Read(20, 1).status, kStatusGood);
  EXPECT_EQ(b.data[0], 0x44);
}

TEST_F(DriveTest, InjectedFaultsFailExactlyAsOftenAsAsked) {
  Insert(MediumKind::kDvdRam);
  Bench &b = *bench;
  drive->FailNextCommands(0x28, 2);
  EXPECT_EQ(b.Read(0, 1).status, kStatusCheckCondition);
  EXPECT_EQ(b.r.sense_key(), 0x3);
  EXPECT_EQ(b.Read(0, 1).status, kStatusCheckCondition);
  EXPECT_EQ(b.Read(0, 1).status, kStatusGood);

  drive->FailNextCommands(0x35, 1, SenseCode{0x2, 0x04, 0x08});
  EXPECT_EQ(b.None({0x35, 0, 0, 0, 0, 0, 0, 0, 0, 0}).status, kStatusCheckCondition);
  EXPECT_EQ(b.r.asc(), 0x04);
  EXPECT_EQ(b.r.ascq(), 0x08);
  EXPECT_EQ(b.None({0x35, 0, 0, 0, 0, 0, 0, 0, 0, 0}).status, kStatusGood);

  // A bad sector fails every read that covers it, and only those, K times.
  drive->FailSector(100, Access::kRead, 3);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(b.Read(96, 16).status, kStatusCheckCondition);
    EXPECT_EQ(b.r.asc(), 0x11);
    EXPECT_EQ(b.r.sense[0], 0xF0); // information field valid
    EXPECT_EQ(b.r.sense[6], 100);
    EXPECT_EQ(b.Read(101, 1).status, kStatusGood);
  }
  EXPECT_EQ(b.Read(96, 16).status, kStatusGood);

  drive->FailSector(7, Access::kWrite, 1);
  EXPECT_EQ(b.Read(7, 1).status, kStatusGood);
  EXPECT_EQ(b.Write(0, 16, 9).status, kStatusCheckCondition);
  EXPECT_EQ(b.r.asc(), 0x0C);
  EXPECT_EQ(b.Read(0, 1).status, kStatusGood);
  EXPECT_EQ(b.data[0], 0); // the failed write left nothing behind
  EXPECT_EQ(b.Write(0, 16, 9).status, kStatusGood);
  EXPECT_EQ(drive->CommandCount(0x2A), 2u);
}

TEST_F(DriveTest, DiscSurvivesReopeningItsFile) {
  Insert(MediumKind::kDvdPlusRw);
  Timings slow = FastTimings();
  slow.background = std::chrono::minutes(5);
  drive->SetTimings(slow);
  Bench &b = *bench;
  ASSERT_EQ(b.Out({0x04, 0x11, 0, 0, 0, 0}, testing::DvdPlusRwFormatList()).status, kStatusGood);
  b.WaitReady();
  ASSERT_EQ(b.Write(2000000, 16, 0x5A).status, kStatusGood);
  drive.reset(); // the background format is interrupted

  // Sparse: a disc written near its end holds only what was written.
  EXPECT_EQ(std::filesystem::file_size(dir.File("disc")), (2000000 + 16) * 2048ull);
#if !defined(_WIN32) // Windows' stat has no block count
  struct stat st {};
  ASSERT_EQ(::stat(dir.File("disc").c_str(), &st), 0);
  EXPECT_LT(st.st_blocks * 512ll, 4ll * 1024 * 1024);
#endif

  VirtualDrive again;
  ASSERT_TRUE(again.InsertMedium(dir.File("disc"), MediumKind::kCdR)); // the side file decides
  Bench b2{again, {}, {}};
  ASSERT_TRUE(b2.Settle());
  ASSERT_EQ(b2.In({0x46, 0, 0, 0, 0, 0, 0, 0, 8, 0}, 8).status, kStatusGood);
  EXPECT_EQ(b2.Be16(6), 0x001A);
  ASSERT_EQ(b2.DiscInfo().status, kStatusGood);
  EXPECT_EQ(b2.data[7] & 3, 1); // stopped, still formatted
  ASSERT_EQ(b2.Read(2000015, 1).status, kStatusGood);
  EXPECT_EQ(b2.data[2047], 0x5A);

  // One disc cannot be in two drives at once.
  VirtualDrive other;
  std::string busy;
  EXPECT_FALSE(other.InsertMedium(dir.File("disc"), MediumKind::kCdR, false, &busy));
  EXPECT_NE(busy.find("another drive"), std::string::npos) << busy;
  again.RemoveMedium();

  // A damaged side file is reported, not guessed around.
  std::ofstream(dir.File("disc") + ".state") << "korva-vdrive-medium 1\nkind=floppy\n";
  std::string error;
  VirtualDrive third;
  EXPECT_FALSE(third.InsertMedium(dir.File("disc"), MediumKind::kCdR, false, &error));
  EXPECT_NE(error.find(".state"), std::string::npos);
}

TEST_F(DriveTest, SpeedsAreClampedToTheDriveList) {
  Insert(MediumKind::kCdRw);
  Bench &b = *bench;
  auto current = [&](size_t at) {
    EXPECT_EQ(b.In({0x5A, 0, 0x2A, 0, 0, 0, 0, 0, 128, 0}, 128).status, kStatusGood);
    return b.Be16(8 + at);
  };
  EXPECT_EQ(b.None({0xBB, 0, 0x13, 0x88, 0x0D, 0xAC, 0, 0, 0, 0, 0, 0}).status, kStatusGood);
  EXPECT_EQ(current(14), 3528); // 5000 asked: the fastest not above it
  EXPECT_EQ(current(20), 2822); // 3500 asked
  EXPECT_EQ(b.None({0xBB, 0, 0, 100, 0, 1, 0, 0, 0, 0, 0, 0}).status, kStatusGood);
  EXPECT_EQ(current(14), 1764); // below the slowest: the slowest
  EXPECT_EQ(current(20), 706);
  EXPECT_EQ(b.None({0xBB, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0}).status, kStatusGood);
  EXPECT_EQ(current(14), 8467);
  EXPECT_EQ(current(20), 7056);
  // Defaults are the maxima whatever was set; SET STREAMING can restore them.
  b.None({0xBB, 0, 0, 100, 0, 1, 0, 0, 0, 0, 0, 0});
  ASSERT_EQ(b.In({0x5A, 0, 0xAA, 0, 0, 0, 0, 0, 128, 0}, 128).status, kStatusGood);
  EXPECT_EQ(b.Be16(8 + 14), 8467);
  std::vector<uint8_t> restore(28, 0);
  restore[0] = 4;
  EXPECT_EQ(b.Out({0xB6, 0, 0, 0, 0, 0, 0, 0, 0, 0, 28, 0}, restore).status, kStatusGood);
  EXPECT_EQ(current(14), 8467);

  // The basic model: two speeds, and its pages come after a block descriptor.
  Insert(MediumKind::kCdRw, false, DriveModel::kBasicBurner);
  Bench &c = *bench;
  c.None({0xBB, 0, 0x13, 0x88, 0x13, 0x88, 0, 0, 0, 0, 0, 0});
  ASSERT_EQ(c.In({0x5A, 0, 0x2A, 0, 0, 0, 0, 0, 128, 0}, 128).status, kStatusGood);
  EXPECT_EQ(c.Be16(6), 8);
  EXPECT_EQ(c.data[16], 0x2A);
  EXPECT_EQ(c.Be16(16 + 14), 1412);
  EXPECT_EQ(c.Be16(16 + 20), 706);
  EXPECT_EQ(c.Be16(16 + 30), 2); // two write speed descriptors
  EXPECT_EQ(c.In({0x5A, 0, 0xB0, 0, 0, 0, 0, 0, 128, 0}, 128).status, kStatusCheckCondition);
}

TEST_F(DriveTest, EjectLoadLockAndRemoval) {
  Insert(MediumKind::kDvdRam);
  Bench &b = *bench;
  EXPECT_EQ(b.None({0x00, 0, 0, 0, 0, 0}).status, kStatusGood);
  ASSERT_EQ(b.None({0x1E, 0, 0, 0, 1, 0}).status, kStatusGood);
  EXPECT_EQ(b.None({0x1B, 0, 0, 0, 0x02, 0}).status, kStatusCheckCondition);
  EXPECT_EQ(b.r.asc(), 0x53);
  EXPECT_EQ(b.None({0x00, 0, 0, 0, 0, 0}).status, kStatusGood);
  ASSERT_EQ(b.None({0x1E, 0, 0, 0, 0, 0}).status, kStatusGood);
  ASSERT_EQ(b.None({0x1B, 0, 0, 0, 0x02, 0}).status, kStatusGood);
  EXPECT_EQ(b.None({0x00, 0, 0, 0, 0, 0}).status, kStatusCheckCondition);
  EXPECT_EQ(b.r.sense_key(), 0x2);
  EXPECT_EQ(b.r.asc(), 0x3A);
  EXPECT_EQ(b.r.ascq(), 0x02); // tray open
  b.In({0x46, 0, 0, 0, 0, 0, 0, 0, 8, 0}, 8);
  EXPECT_EQ(b.Be16(6), 0); // no current profile without a disc
  ASSERT_EQ(b.None({0x1B, 0, 0, 0, 0x03, 0}).status, kStatusGood);
  // A disc just loaded spins up first: becoming ready, then ready.
  EXPECT_EQ(b.None({0x00, 0, 0, 0, 0, 0}).ascq(), 0x01);
  EXPECT_EQ(b.r.asc(), 0x04);
  EXPECT_TRUE(b.Settle());

  drive->RemoveMedium();
  EXPECT_FALSE(drive->MediumPresent());
  EXPECT_EQ(b.Read(0, 1).status, kStatusCheckCondition);
  EXPECT_EQ(b.r.ascq(), 0x01); // tray closed, nothing in it
  ASSERT_EQ(b.None({0x1B, 0, 0, 0, 0x03, 0}).status, kStatusGood);
  EXPECT_EQ(b.None({0x00, 0, 0, 0, 0, 0}).status, kStatusCheckCondition);
  ASSERT_TRUE(drive->ReinsertMedium());
  EXPECT_TRUE(b.Settle());

  // With unit attention on, a load is reported once, to the first ordinary command.
  drive->SetUnitAttention(true);
  ASSERT_EQ(b.None({0x1B, 0, 0, 0, 0x02, 0}).status, kStatusGood);
  ASSERT_EQ(b.None({0x1B, 0, 0, 0, 0x03, 0}).status, kStatusGood);
  ASSERT_EQ(b.None({0x00, 0, 0, 0, 0, 0}).status, kStatusCheckCondition);
  EXPECT_EQ(b.r.sense_key(), 0x6);
  EXPECT_EQ(b.r.asc(), 0x28);
  drive->RemoveMedium();
  ASSERT_TRUE(drive->ReinsertMedium());
  EXPECT_EQ(b.In({0x12, 0, 0, 0, 36, 0}, 36).status, kStatusGood);
  EXPECT_EQ(b.None({0x00, 0, 0, 0, 0, 0}).asc(), 0x28);
  EXPECT_TRUE(b.Settle());
}

TEST_F(DriveTest, BadCdbsAndBuffersStayWithinBounds) {
  Insert(MediumKind::kDvdPlusRw, true);
  Bench &b = *bench;
  // Allocation length above the response: the response only, the rest is residual.
  ASSERT_EQ(b.In({0x12, 0, 0, 0, 0xFF, 0}, 255).status, kStatusGood);
  EXPECT_EQ(b.r.residual, 255u - 96u);
  EXPECT_EQ(b.data[96], 0xEE);
  EXPECT_EQ(std::string(b.data.begin() + 8, b.data.begin() + 16), "KORVA   ");
  // Below it: exactly the allocation, never more.
  ASSERT_EQ(b.In({0x12, 0, 0, 0, 5, 0}, 64).status, kStatusGood);
  EXPECT_EQ(b.data[0], 0x05);
  EXPECT_EQ(b.data[5], 0xEE);
  // A buffer smaller than the allocation: the buffer's size.
  ASSERT_EQ(b.In({0x51, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0}, 4).status, kStatusGood);
  EXPECT_EQ(b.r.residual, 0u);
  // Zero-length buffers and allocations.
  EXPECT_EQ(b.In({0x46, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 0).status, kStatusGood);
  EXPECT_EQ(drive
                ->Execute(std::vector<uint8_t>{0x12, 0, 0, 0, 0x60, 0}.data(), 6,
                          DataDirection::kIn, nullptr, 96)
                .status,
            kStatusGood);
  // A READ into a buffer too small for its blocks is refused, not overrun.
  std::vector<uint8_t> small(2048);
  const uint8_t read2[10] = {0x28, 0, 0, 0, 0, 0, 0, 0, 2, 0};
  EXPECT_EQ(drive->Execute(read2, 10, DataDirection::kIn, small.data(), 2048).status,
            kStatusCheckCondition);
  const uint8_t write2[10] = {0x2A, 0, 0, 0, 0, 0, 0, 0, 2, 0};
  EXPECT_EQ(drive->Execute(write2, 10, DataDirection::kOut, small.data(), 2048).status,
            kStatusCheckCondition);
  // CDBs shorter than their opcode's group, empty, or unknown.
  EXPECT_EQ(drive->Execute(read2, 6, DataDirection::kIn, small.data(), 2048).asc(), 0x24);
  EXPECT_EQ(drive->Execute(nullptr, 0, DataDirection::kNone, nullptr, 0).status,
            kStatusCheckCondition);
  EXPECT_EQ(b.None({0x01, 0, 0, 0, 0, 0}).asc(), 0x20); // REWIND is not an MMC command
  EXPECT_EQ(b.None({0xFF, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}).asc(), 0x20);
  // Parameter lists shorter than they claim.
  EXPECT_EQ(b.Out({0x04, 0x11, 0, 0, 0, 0}, {0x00, 0x82}).asc(), 0x1A);
  EXPECT_EQ(b.Out({0x55, 0x10, 0, 0, 0, 0, 0, 0, 60, 0}, std::vector<uint8_t>(20, 0)).asc(), 0x1A);
  std::vector<uint8_t> page(8 + 4, 0);
  page[8] = 0x05, page[9] = 0x40; // claims more than the list holds
  EXPECT_EQ(b.Out({0x55, 0x10, 0, 0, 0, 0, 0, 0, 12, 0}, page).asc(), 0x1A);
  // One feature asked for, and not there: the header only.
  ASSERT_EQ(b.In({0x46, 0x02, 0x01, 0x00, 0, 0, 0, 0, 112, 0}, 112).status, kStatusGood);
  EXPECT_EQ(b.Be32(0), 4u);
  EXPECT_EQ(b.r.residual, 104u);
}

TEST_F(DriveTest, ConfigurationAndPagesDescribeModelAndMedium) {
  Insert(MediumKind::kDvdPlusRw, true);
  Bench &b = *bench;
  ASSERT_EQ(b.In({0x46, 0x02, 0x00, 0x2A, 0, 0, 0, 0, 112, 0}, 112).status, kStatusGood);
  EXPECT_EQ(b.Be16(6), 0x001A);
  EXPECT_EQ(b.Be16(8), 0x002A);
  EXPECT_EQ(b.data[10] & 1, 1); // current
  EXPECT_EQ(b.data[12] & 1, 1); // writes DVD+RW
  ASSERT_EQ(b.In({0x46, 0x02, 0x00, 0x28, 0, 0, 0, 0, 112, 0}, 112).status, kStatusGood);
  EXPECT_EQ(b.data[12] & 1, 1); // writes MRW
  ASSERT_EQ(b.In({0x46, 0x02, 0x00, 0x2F, 0, 0, 0, 0, 112, 0}, 112).status, kStatusGood);
  EXPECT_EQ(b.data[12] & 2, 2);
  // The profile list names every medium the drive reads, the current one flagged.
  ASSERT_EQ(b.In({0x46, 0x02, 0x00, 0x00, 0, 0, 0, 0, 114, 0}, 114).status, kStatusGood);
  int current = 0;
  for (size_t at = 12; at < 12u + b.data[11]; at += 4)
    if (b.data[at + 2] & 1) current = b.Be16(at);
  EXPECT_EQ(current, 0x001A);
  EXPECT_EQ(b.data[11], 10 * 4);
  ASSERT_EQ(b.In({0x5A, 0, 0x30 | 0x80, 0, 0, 0, 0, 0, 128, 0}, 128).status, kStatusGood);
  ASSERT_EQ(b.In({0x5A, 0, 0x2A, 0, 0, 0, 0, 0, 128, 0}, 128).status, kStatusGood);
  EXPECT_EQ(b.Be16(6), 0);
  EXPECT_EQ(b.data[8], 0x2A);
  EXPECT_EQ(b.data[8 + 3], 0x37);
  EXPECT_EQ(b.data[8 + 4] & 0x80, 0x80);

  // The CD-only burner: no DVD+RW writing, no MRW writing, a DVD it cannot read.
  Insert(MediumKind::kDvdPlusRw, true, DriveModel::kCdRwBurner);
  Bench &c = *bench;
  ASSERT_EQ(c.In({0x46, 0x02, 0x00, 0x2A, 0, 0, 0, 0, 112, 0}, 112).status, kStatusGood);
  EXPECT_EQ(c.Be16(6), 0);
  EXPECT_EQ(c.Be32(0), 4u);
  ASSERT_EQ(c.In({0x46, 0x02, 0x00, 0x28, 0, 0, 0, 0, 112, 0}, 112).status, kStatusGood);
  EXPECT_EQ(c.data[12] & 1, 0);
  EXPECT_EQ(c.None({0x00, 0, 0, 0, 0, 0}).asc(), 0x30);
}

TEST_F(DriveTest, WriteParametersPageTakesFixedPacketsAndRejectsNonsense) {
  Insert(MediumKind::kCdRw);
  Bench &b = *bench;
  ASSERT_EQ(b.In({0x5A, 0, 0x05, 0, 0, 0, 0, 0x02, 0, 0}, 512).status, kStatusGood);
  ASSERT_EQ(b.data[8], 0x05);
  std::vector<uint8_t> list(b.data.begin(), b.data.begin() + 8 + 2 + b.data[9]);
  list[0] = list[1] = 0; // the mode data length is reserved in MODE SELECT
  list[8 + 2] = 0x00;
  list[8 + 3] = static_cast<uint8_t>((list[8 + 3] & 0xF0) | 0x20 | 7);
  list[8 + 4] = static_cast<uint8_t>((list[8 + 4] & 0xF0) | 10);
  list[8 + 8] = 0x20;
  list[8 + 13] = 32;
  ASSERT_EQ(b.Out({0x55, 0x10, 0, 0, 0, 0, 0, 0, int(list.size()), 0}, list).status, kStatusGood);
  ASSERT_EQ(b.In({0x5A, 0, 0x05, 0, 0, 0, 0, 0x02, 0, 0}, 512).status, kStatusGood);
  EXPECT_EQ(b.data[8 + 3] & 0x2F, 0x27);
  EXPECT_EQ(b.Be32(8 + 10), 32u);

  auto rejected = [&](size_t at, uint8_t value) {
    std::vector<uint8_t> bad = list;
    bad[8 + at] = value;
    return b.Out({0x55, 0x10, 0, 0, 0, 0, 0, 0, int(bad.size()), 0}, bad).asc() == 0x26;
  };
  EXPECT_TRUE(rejected(2, 0x09));  // no such write type
  EXPECT_TRUE(rejected(4, 0x05));  // reserved data block type
  EXPECT_TRUE(rejected(13, 0x00)); // fixed packets of no size
  std::vector<uint8_t> caps(8 + 32, 0);
  caps[8] = 0x2A, caps[9] = 30;
  EXPECT_EQ(b.Out({0x55, 0x10, 0, 0, 0, 0, 0, 0, int(caps.size()), 0}, caps).asc(), 0x26);
}

TEST_F(DriveTest, WriteOnceMediaRecordSequentiallyAndClose) {
  Insert(MediumKind::kCdR);
  Bench &b = *bench;
  ASSERT_EQ(b.In({0x43, 0x02, 0x04, 0, 0, 0, 0, 0, 30, 0}, 30).status, kStatusGood);
  EXPECT_EQ(b.data[6] & 0xC0, 0x80); // ATIP of a CD-R
  EXPECT_EQ(b.Write(16, 16, 1).status, kStatusCheckCondition);
  EXPECT_EQ(b.Write(0, 16, 1).status, kStatusGood);
  EXPECT_EQ(b.Write(16, 5, 2).status, kStatusGood);
  ASSERT_EQ(b.TrackInfo().status, kStatusGood);
  EXPECT_EQ(b.Be32(12), 21u);
  ASSERT_EQ(b.DiscInfo().status, kStatusGood);
  EXPECT_EQ(b.data[2], 0x05); // incomplete session, appendable
  EXPECT_EQ(b.Read(20, 1).status, kStatusGood);
  EXPECT_EQ(b.Read(21, 1).status, kStatusCheckCondition);
  ASSERT_EQ(b.None({0x5B, 0, 0x02, 0, 0, 0, 0, 0, 0, 0}).status, kStatusGood);
  ASSERT_EQ(b.DiscInfo().status, kStatusGood);
  EXPECT_EQ(b.data[2], 0x0E);
  EXPECT_EQ(b.Write(21, 1, 3).status, kStatusCheckCondition);
  EXPECT_EQ(b.None({0xA1, 0x11, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}).status, kStatusCheckCondition);
}

TEST_F(DriveTest, RandomCommandsStayWithinTheirBuffers) {
  Insert(MediumKind::kCdRw);
  drive->SetTimings(Timings{std::chrono::milliseconds(0), std::chrono::milliseconds(0),
                            std::chrono::milliseconds(0), std::chrono::milliseconds(0)});
  static constexpr uint8_t kOps[] = {0x00, 0x03, 0x04, 0x12, 0x1B, 0x1E, 0x23, 0x25,
                                     0x28, 0x2A, 0x35, 0x43, 0x46, 0x51, 0x52, 0x55,
                                     0x5A, 0x5B, 0x5C, 0xA1, 0xB6, 0xBB, 0x01, 0xAD};
  std::mt19937 rng(20261208);
  auto byte = [&] { return static_cast<uint8_t>(rng() & 0xFF); };
  for (int i = 0; i < 8000; ++i) {
    std::vector<uint8_t> cdb(rng() % 17);
    for (auto &b : cdb)
      b = byte();
    if (!cdb.empty()) cdb[0] = kOps[rng() % std::size(kOps)];
    if (cdb.size() >= 10 && (cdb[0] == 0x28 || cdb[0] == 0x2A)) {
      cdb[2] = cdb[3] = cdb[4] = 0;
      cdb[7] = 0;
      cdb[8] &= 3;
    }
    // The buffer sits inside a larger block whose guard bytes must stay untouched.
    const uint32_t length = rng() % 3 == 0 ? 0 : rng() % 9000;
    std::vector<uint8_t> block(length + 64, 0xA5);
    for (uint32_t k = 32; k < 32 + length; ++k)
      block[k] = byte();
    const auto dir = static_cast<DataDirection>(rng() % 3);
    CommandResult r = drive->Execute(cdb.empty() ? nullptr : cdb.data(), cdb.size(), dir,
                                     length ? block.data() + 32 : nullptr, length);
    ASSERT_TRUE(r.status == kStatusGood || r.status == kStatusCheckCondition);
    ASSERT_LE(r.residual, length);
    if (r.status == kStatusCheckCondition) {
      ASSERT_EQ(r.sense[0] & 0x7F, 0x70);
      ASSERT_EQ(r.sense[7], 24);
      ASSERT_NE(r.sense_key(), 0);
    }
    for (uint32_t k = 0; k < 32; ++k)
      ASSERT_EQ(block[k], 0xA5) << "before, command " << i;
    for (uint32_t k = 32 + length; k < block.size(); ++k)
      ASSERT_EQ(block[k], 0xA5) << "after, command " << i;
  }
}

TEST(DriveConfigTest, ParsesEntriesAndNamesTheBadOne) {
  std::vector<DriveConfig> configs;
  std::string error;
  ASSERT_TRUE(ParseDriveConfigs(
      " cdrw:/tmp/a:b ; dvd+rw/cdrw,formatted,cache,attention,format=10,background=0:/tmp/b;",
      &configs, &error))
      << error;
  ASSERT_EQ(configs.size(), 2u);
  EXPECT_EQ(configs[0].kind, MediumKind::kCdRw);
  EXPECT_EQ(configs[0].model, DriveModel::kDvdBurner);
  EXPECT_EQ(configs[0].file, "/tmp/a:b");
  EXPECT_EQ(configs[1].model, DriveModel::kCdRwBurner);
  EXPECT_TRUE(configs[1].formatted && configs[1].write_cache && configs[1].unit_attention);
  EXPECT_EQ(configs[1].timings.format.count(), 10);
  EXPECT_EQ(configs[1].timings.background.count(), 0);
  for (const char *bad : {"", "cdrw", "floppy:/x", "cdrw/turbo:/x", "cdrw/format=-1:/x",
                          "cdrw/format=1x:/x", "cdrw:", "cdrw:/x;dvd+rw"}) {
    EXPECT_FALSE(ParseDriveConfigs(bad, &configs, &error)) << bad;
    EXPECT_TRUE(configs.empty());
    EXPECT_FALSE(error.empty());
  }
  EXPECT_NE(error.find("drive 2"), std::string::npos) << error;
}

TEST(DriveMediaTest, KindNamesAndStateTextRoundTrip) {
  EXPECT_EQ(ParseMediumKind("cdrw"), MediumKind::kCdRw);
  EXPECT_EQ(ParseMediumKind("DVD+RW"), MediumKind::kDvdPlusRw);
  EXPECT_EQ(ParseMediumKind("dvd-rw-ro"), MediumKind::kDvdRwRestricted);
  EXPECT_EQ(ParseMediumKind("dvdrw"), MediumKind::kDvdRwSequential);
  EXPECT_FALSE(ParseMediumKind("floppy"));
  MediumState s;
  s.kind = MediumKind::kDvdPlusRw;
  s.formatted = true;
  s.background = 2;
  s.background_ms = 1234;
  s.capacity = 2295104;
  auto back = ParseState(FormatState(s));
  ASSERT_TRUE(back);
  EXPECT_EQ(back->kind, s.kind);
  EXPECT_EQ(back->background, 2);
  EXPECT_EQ(back->background_ms, 1234u);
  EXPECT_EQ(back->capacity, 2295104u);
  EXPECT_FALSE(ParseState("korva-vdrive-medium 1\nkind=cd-rw\nbackground=7\n"));
  EXPECT_FALSE(ParseState("korva-vdrive-medium 1\nkind=cd-rw\ncapacity=-1\n"));
  EXPECT_FALSE(ParseState("something else\n"));
  // Out-of-range capacities are cut to what the kind allows.
  auto big = ParseState("korva-vdrive-medium 1\nkind=cd-rw\ncapacity=4000000000\n");
  ASSERT_TRUE(big);
  EXPECT_LE(big->capacity, 359865u);
}

// DVD+RW as real drives handle it: close function 2 stops the background format and
// writes the lead-out, answering TEST UNIT READY while only READ DISC INFORMATION tells it
// is still at work; the restart bit resumes the stopped format with the data kept, a format
// without it starts afresh; certification options are refused where there is none.
TEST_F(DriveTest, DvdPlusRwCloseAndRestartAsRealDrives) {
  Insert(MediumKind::kDvdPlusRw);
  Timings t = FastTimings();
  t.background = std::chrono::milliseconds(600000);
  t.lead_out = std::chrono::milliseconds(3000);
  drive->SetTimings(t);
  Bench &b = *bench;
  std::vector<uint8_t> list = testing::DvdPlusRwFormatList();
  list[1] = 0xA2; // format options valid with certification disabled
  EXPECT_EQ(b.Out({0x04, 0x11, 0, 0, 0, 0}, list).asc(), 0x26);
  list[1] = 0x02;
  ASSERT_EQ(b.Out({0x04, 0x11, 0, 0, 0, 0}, list).status, kStatusGood);
  b.WaitReady();
  ASSERT_EQ(b.Write(64, 16, 0x77).status, kStatusGood);
  ASSERT_EQ(b.None({0x5B, 0x01, 0x02, 0, 0, 0, 0, 0, 0, 0}).status, kStatusGood);
  EXPECT_EQ(b.None({0x00, 0, 0, 0, 0, 0}).status, kStatusGood) << "TEST UNIT READY tells nothing";
  EXPECT_EQ(b.DiscInfo().asc(), 0x04);
  EXPECT_EQ(b.r.ascq(), 0x07);
  b.WaitReady();
  ASSERT_EQ(b.DiscInfo().status, kStatusGood);
  EXPECT_EQ(b.data[7] & 3, 1) << "stopped";

  list[11] = 0x01; // restart
  ASSERT_EQ(b.Out({0x04, 0x11, 0, 0, 0, 0}, list).status, kStatusGood);
  ASSERT_EQ(b.DiscInfo().status, kStatusGood);
  EXPECT_EQ(b.data[7] & 3, 2);
  ASSERT_EQ(b.Read(64, 1).status, kStatusGood);
  EXPECT_EQ(b.data[0], 0x77);
  list[11] = 0x00; // a format without it starts again from nothing
  ASSERT_EQ(b.Out({0x04, 0x11, 0, 0, 0, 0}, list).status, kStatusGood);
  b.WaitReady();
  ASSERT_EQ(b.Read(64, 1).status, kStatusGood);
  EXPECT_EQ(b.data[0], 0x00);
}

// Busy spells, MRW address spaces and DVD-RAM sizes as real drives show them.
TEST_F(DriveTest, BusySpellsAddressSpacesAndDiscSizes) {
  Insert(MediumKind::kDvdRam);
  Bench &b = *bench;
  drive->SetBusySpells(2, 2);
  ASSERT_EQ(b.Write(0, 16, 1).status, kStatusGood);
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(b.Write(16, 16, 2).ascq(), 0x08) << "long write in progress, try " << i;
    EXPECT_EQ(b.r.asc(), 0x04);
  }
  EXPECT_EQ(b.Write(16, 16, 2).status, kStatusGood);

  drive.reset();
  drive = std::make_unique<VirtualDrive>();
  ASSERT_TRUE(drive->InsertMedium(dir.File("small"), MediumKind::kDvdRam, false, nullptr, 1218960));
  Bench s{*drive, {}, {}};
  ASSERT_TRUE(s.Settle());
  ASSERT_EQ(s.In({0x23, 0, 0, 0, 0, 0, 0, 0, 0xF8, 0}, 0xF8).status, kStatusGood);
  EXPECT_EQ(s.Be32(4), 1218960u);
  EXPECT_EQ(s.Be32(12), 1218960u);

  // MRW: page 03h chooses the address space; the general application area is small.
  ASSERT_TRUE(drive->InsertMedium(dir.File("mrw"), MediumKind::kCdRw));
  ASSERT_TRUE(s.Settle());
  const std::vector<uint8_t> mrw = {0, 2, 0, 8, 0xFF, 0xFF, 0xFF, 0xFF, 0x90, 0, 0, 0};
  ASSERT_EQ(s.Out({0x04, 0x11, 0, 0, 0, 0}, mrw).status, kStatusGood);
  s.WaitReady();
  ASSERT_EQ(s.Write(100000, 1, 0x42).status, kStatusGood);
  ASSERT_EQ(s.In({0x5A, 0, 0x03, 0, 0, 0, 0, 0, 16, 0}, 16).status, kStatusGood);
  EXPECT_EQ(s.data[8], 0x03);
  EXPECT_EQ(s.data[11] & 1, 0);
  std::vector<uint8_t> select(s.data.begin(), s.data.end());
  select[0] = select[1] = 0;
  select[11] = 0x01;
  ASSERT_EQ(s.Out({0x55, 0x10, 0, 0, 0, 0, 0, 0, 16, 0}, select).status, kStatusGood);
  EXPECT_TRUE(drive->MrwGeneralArea());
  EXPECT_EQ(s.Read(100000, 1).asc(), 0x21);
  ASSERT_EQ(s.Read(0, 1).status, kStatusGood);
  select[11] = 0x00;
  ASSERT_EQ(s.Out({0x55, 0x10, 0, 0, 0, 0, 0, 0, 16, 0}, select).status, kStatusGood);
  ASSERT_EQ(s.Read(100000, 1).status, kStatusGood);
  EXPECT_EQ(s.data[0], 0x42);
}

} // namespace
} // namespace korva::vdrive
