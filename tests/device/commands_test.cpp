// Every command's CDB, direction and length as they reach the pass-through layer, and the
// post-processing of the answers.
#include <gtest/gtest.h>

#include <cstring>

#include "fake_platform.h"
#include "korva/scsi.hpp"
#include "udf/byte_order.h"

namespace korva::test {
namespace {

using Bytes = std::vector<uint8_t>;

class Commands : public ::testing::Test {
protected:
  FakePlatform platform;
  ScriptedDrive drive;
  Record dev{&platform};
  void SetUp() override {
    platform.AddDrive('D', &drive, 1, 0, 0);
    UsePassThrough(dev, 'D');
  }
  const SentCommand &Last() { return platform.sent.back(); }
  Bytes Cdb(std::initializer_list<int> bytes) { return Bytes(bytes.begin(), bytes.end()); }
};

TEST_F(Commands, EveryCommandSendsItsExactCdbDirectionAndLength) {
  // Every command succeeds; READ(10) sends all it was asked for (a short one fails).
  drive.hook = [](const uint8_t *cdb) {
    Reply r;
    if (cdb[0] == 0x28) r.data.assign(size_t(LoadBE16(cdb + 7)) * 2048, 0);
    return std::optional<Reply>(r);
  };
  static uint8_t buffer[65536] = {};
  struct Case {
    const char *name;
    std::function<bool()> call;
    Bytes cdb;
    DataDirection direction;
    uint32_t length;
  };
#if defined(_WIN32)
  // The pass-through-direct record carries the block's own sense length.
  const uint8_t kSenseRoom = 24;
#else
  const uint8_t kSenseRoom = 32;
#endif
  const DataDirection IN = kFromDevice, OUT = kToDevice, NONE = kNoData;
  std::vector<Case> cases = {
      {"TestUnitReady", [&] { return TestUnitReady(dev); }, Cdb({0, 0, 0, 0, 0, 0}), NONE, 0},
      {"Rewind", [&] { return Rewind(dev); }, Cdb({1, 0, 0, 0, 0, 0}), NONE, 0},
      {"FormatUnit", [&] { return FormatUnit(dev, 0x11, buffer, 12); },
       Cdb({4, 0x11, 0, 0, 0, 0}), OUT, 12},
      {"Inquiry", [&] { return Inquiry(dev, buffer); }, Cdb({0x12, 0, 0, 0, 0x40, 0}), IN, 64},
      {"LoadMedium", [&] { return LoadMedium(dev, true); }, Cdb({0x1B, 1, 0, 0, 3, 0}), NONE, 0},
      {"EjectMedium", [&] { return EjectMedium(dev, false); }, Cdb({0x1B, 0, 0, 0, 2, 0}), NONE,
       0},
      {"LockMedium", [&] { return LockMedium(dev); }, Cdb({0x1E, 0, 0, 0, 1, 0}), NONE, 0},
      {"UnlockMedium", [&] { return UnlockMedium(dev); }, Cdb({0x1E, 0, 0, 0, 0, 0}), NONE, 0},
      {"Read10", [&] { return Read10(dev, 0x00012345, 16, buffer); },
       Cdb({0x28, 0, 0, 1, 0x23, 0x45, 0, 0, 0x10, 0}), IN, 32768},
      {"Write10", [&] { return Write10(dev, 0x00123456, 32, buffer, 65536); },
       Cdb({0x2A, 0, 0, 0x12, 0x34, 0x56, 0, 0, 0x20, 0}), OUT, 65536},
      {"FlushCache", [&] { return FlushCache(dev, true); }, Cdb({0x35, 0, 0, 0, 0, 0, 0, 0, 0, 0}),
       NONE, 0},
      {"ReadTOC", [&] { return ReadTOC(dev, 4, 0, true, buffer, 30); },
       Cdb({0x43, 2, 4, 0, 0, 0, 0, 0, 30, 0}), IN, 30},
      {"ReadTOC plain", [&] { return ReadTOC(dev, 1, 7, false, buffer, 12); },
       Cdb({0x43, 0, 1, 0, 0, 0, 7, 0, 12, 0}), IN, 12},
      {"GetConfiguration", [&] { return GetConfiguration(dev, buffer, 112, 0x002A); },
       Cdb({0x46, 2, 0, 0x2A, 0, 0, 0, 0, 0x70, 0}), IN, 112},
      {"ReadDiscInformation", [&] { return ReadDiscInformation(dev, buffer, 0x0122); },
       Cdb({0x51, 0, 0, 0, 0, 0, 0, 1, 0x22, 0}), IN, 0x122},
      {"ModeSelect", [&] { return ModeSelect(dev, buffer, 0x48); },
       Cdb({0x55, 0x10, 0, 0, 0, 0, 0, 0, 0x48, 0}), OUT, 0x48},
      {"ModeSense10 defaults", [&] { return ModeSense10(dev, buffer, 128, 0x2A, true); },
       Cdb({0x5A, 0, 0xAA, 0, 0, 0, 0, 0, 0x80, 0}), IN, 128},
      {"ModeSense10 current", [&] { return ModeSense10(dev, buffer, 0x104, 0x05, false); },
       Cdb({0x5A, 0, 0x05, 0, 0, 0, 0, 1, 4, 0}), IN, 0x104},
      {"CloseDVDTrack", [&] { return CloseDVDTrack(dev, true, 2, 3, 4, 5); },
       Cdb({0x5B, 1, 2, 3, 4, 5, 0, 0, 0, 0}), NONE, 0},
      {"Erase quick", [&] { return Erase(dev, true); },
       Cdb({0xA1, 0x11, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}), NONE, 0},
      {"Erase full", [&] { return Erase(dev, false); },
       Cdb({0xA1, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}), NONE, 0},
      {"SetStreaming", [&] { return SetStreaming(dev, buffer, 0x1C); },
       Cdb({0xB6, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x1C, 0}), OUT, 0x1C},
      {"SetCDSpeed max", [&] { return SetCDSpeed(dev, 0, 0); },
       Cdb({0xBB, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0}), NONE, 0},
      {"SetCDSpeed given", [&] { return SetCDSpeed(dev, 0x1234, 706); },
       Cdb({0xBB, 0, 0x12, 0x34, 0x02, 0xC2, 0, 0, 0, 0, 0, 0}), NONE, 0},
      {"GetFormatCapacity", [&] { GetFormatCapacity(dev); return true; },
       Cdb({0x23, 0, 0, 0, 0, 0, 0, 0, 0xF8, 0}), IN, 248},
      {"ReadTrackInformation", [&] { ReadTrackInformation(dev, 0xFF); return true; },
       Cdb({0x52, 1, 0, 0, 0, 0xFF, 0, 0, 0x26, 0}), IN, 38},
      {"ReadBufferCapacity", [&] { ReadBufferCapacity(dev); return true; },
       Cdb({0x5C, 0, 0, 0, 0, 0, 0, 0, 0x20, 0}), IN, 32},
  };
  for (auto &c : cases) {
    SCOPED_TRACE(c.name);
    const size_t before = platform.sent.size();
    EXPECT_TRUE(c.call());
    ASSERT_EQ(platform.sent.size(), before + 1);
    EXPECT_EQ(Last().cdb, c.cdb);
    EXPECT_EQ(Last().direction, c.direction);
    EXPECT_EQ(Last().length, c.length);
    // Time-outs by class: a cache flush, a long operation (here without the immediate bit,
    // so it takes the whole operation, or with it: polled afterwards), anything else.
    uint32_t seconds = 60;
    if (c.cdb[0] == 0x35) seconds = 600;
    if (c.cdb[0] == 0x04) seconds = 7200;
    if (c.cdb[0] == 0xA1 || c.cdb[0] == 0x5B) seconds = 120;
    EXPECT_EQ(Last().timeout, seconds * 1000u);
    EXPECT_EQ(dev->LastTimeoutSeconds, seconds);
    EXPECT_EQ(Last().max_sense, kSenseRoom);
  }
}

TEST_F(Commands, FailuresAreReportedAndReadCountsBeyondTheCdbAreRefused) {
  drive.ready = false;
  EXPECT_FALSE(TestUnitReady(dev));
  EXPECT_EQ(dev->LastSense[2], 2);
  EXPECT_EQ(dev->LastSense[12], 0x3A);
  EXPECT_TRUE(UnlockDrive(dev)); // whatever the drive says
  EXPECT_EQ(dev->CloseAfterCommand, 0);
  EXPECT_EQ(dev->Handle, -1);

  uint8_t buffer[2048];
  const size_t before = platform.sent.size();
  EXPECT_FALSE(Read10(dev, 0, 0x10000, buffer));
  EXPECT_FALSE(Read10(dev, 0, -1, buffer));
  EXPECT_EQ(platform.sent.size(), before);

  drive.rejected.insert(0x23);
  EXPECT_EQ(GetFormatCapacity(dev), 0u);
}

TEST_F(Commands, AnswersAreTurnedToHostOrder) {
  drive.track_info.assign(38, 0);
  StoreBE16(&drive.track_info[0], 0x24);
  drive.track_info[6] = 0x30;
  const uint32_t values[] = {0x10, 0x20, 0x300000, 32, 0x123456, 0xABCDEF};
  for (int i = 0; i < 6; ++i)
    StoreBE32(&drive.track_info[8 + 4 * i], values[i]);
  ASSERT_TRUE(ReadTrackInformation(dev, 1));
  EXPECT_EQ(dev->TrackInfo.DataLength, 0x24);
  EXPECT_EQ(dev->TrackInfo.DataMode, 0x30);
  EXPECT_EQ(dev->TrackInfo.TrackStart, 0x10u);
  EXPECT_EQ(dev->TrackInfo.NextWritableAddress, 0x20u);
  EXPECT_EQ(dev->TrackInfo.FreeBlocks, 0x300000u);
  EXPECT_EQ(dev->TrackInfo.FixedPacketSize, 32u);
  EXPECT_EQ(dev->TrackInfo.TrackSize, 0x123456u);
  EXPECT_EQ(dev->TrackInfo.LastRecordedAddress, 0xABCDEFu);

  // A short answer leaves nothing of the previous one behind.
  drive.track_info.resize(12);
  ASSERT_TRUE(ReadTrackInformation(dev, 1));
  EXPECT_EQ(dev->TrackInfo.NextWritableAddress, 0u);
  EXPECT_EQ(dev->TrackInfo.LastRecordedAddress, 0u);

  drive.buffer_capacity.assign(12, 0);
  StoreBE32(&drive.buffer_capacity[4], 2 * 1024 * 1024);
  StoreBE32(&drive.buffer_capacity[8], 1536 * 1024);
  EXPECT_TRUE(ReadBufferCapacity(dev));
  EXPECT_EQ(dev->BufferLength, 2u * 1024 * 1024);
  EXPECT_EQ(dev->BlankBufferLength, 1536u * 1024);
  EXPECT_EQ(GetDeviceBufferSize(dev), 2u * 1024 * 1024);

  drive.format_capacities.assign(20, 0);
  StoreBE32(&drive.format_capacities[4], 0x00231000);
  StoreBE32(&drive.format_capacities[12], 0x99);
  EXPECT_EQ(GetFormatCapacity(dev), 0x00231000u);
}

TEST_F(Commands, SetPerformanceSendsTheDescriptorWithItsFieldsInPlace) {
  ASSERT_TRUE(SetPerformance(dev, 0x104, 2, 3, 4, 5, 6, 7));
  const Bytes expected = {4, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0,
                          0, 4, 0, 0, 0, 6, 0, 0, 0, 5, 0, 0, 0, 7};
  EXPECT_EQ(Last().cdb[0], 0xB6);
  EXPECT_EQ(Last().cdb[10], 28);
  EXPECT_EQ(Last().data_out, expected);
}

TEST_F(Commands, StartStopReleasesTheDriveAfterwards) {
  EXPECT_TRUE(TestUnitReady(dev));
  EXPECT_GT(dev->Handle, 0);
  EXPECT_TRUE(EjectMedium(dev, true));
  EXPECT_EQ(dev->Handle, -1);
  EXPECT_EQ(dev->CloseAfterCommand, 0);
  EXPECT_TRUE(platform.open_handles.empty());
}

} // namespace
} // namespace korva::test

namespace korva::test {
namespace {

// A long operation asked to return at once gets a short time-out (it is polled afterwards);
// the same operation without the immediate bit gets the whole operation's.
TEST_F(Commands, LongOperationsAreTimedByTheirImmediateBit) {
  const uint8_t immediate[12] = {0x00, 0x82, 0x00, 0x08, 0xFF, 0xFF, 0xFF, 0xFF, 0x98, 0, 0, 0};
  ASSERT_TRUE(FormatUnit(dev, 0x11, immediate, sizeof immediate));
  EXPECT_EQ(Last().timeout, 120u * 1000u);
  const uint8_t waiting[12] = {0x00, 0x80, 0x00, 0x08, 0xFF, 0xFF, 0xFF, 0xFF, 0x98, 0, 0, 0};
  ASSERT_TRUE(FormatUnit(dev, 0x11, waiting, sizeof waiting));
  EXPECT_EQ(Last().timeout, 7200u * 1000u);
  ASSERT_TRUE(CloseDVDTrack(dev, false, 2, 0, 0, 0));
  EXPECT_EQ(Last().timeout, 7200u * 1000u);
  ASSERT_TRUE(CloseDVDTrack(dev, true, 2, 0, 0, 0));
  EXPECT_EQ(Last().timeout, 120u * 1000u);
}

} // namespace
} // namespace korva::test
