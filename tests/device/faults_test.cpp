// Drives and modules that misbehave: short transfers, refused commands whose buffers hold
// old bytes, sense data in descriptor format, pages answered for one page control only,
// modules that complete a request after the wait for it failed, and the tray lock that
// must outlive the descriptor.
#include <gtest/gtest.h>

#include <cstring>

#include "device/device_internal.h"
#include "fake_aspi.h"
#include "fake_platform.h"
#include "korva/scsi.hpp"
#include "udf/byte_order.h"

namespace korva::test {
namespace {

using Bytes = std::vector<uint8_t>;

class Faults : public ::testing::Test {
protected:
  FakePlatform platform;
  ScriptedDrive drive;
  Record dev{&platform};
  void SetUp() override {
    platform.AddDrive('D', &drive, 1);
    UsePassThrough(dev, 'D');
  }
};

// Fixed-format "not ready, format in progress" at the given progress, in descriptor form.
Bytes DescriptorSense(uint8_t key, uint8_t asc, uint8_t ascq, uint16_t progress) {
  Bytes s = {0x72, key, asc, ascq, 0, 0, 0, 8, 0x02, 0x06, 0, 0, 0x80, 0, 0, 0};
  s[13] = static_cast<uint8_t>(progress >> 8);
  s[14] = static_cast<uint8_t>(progress);
  return s;
}

TEST_F(Faults, AShortReadIsAFailureAndLeavesNoStaleBytes) {
  // The drive sends 3 of the 4 sectors asked for.
  drive.hook = [](const uint8_t *cdb) -> std::optional<Reply> {
    if (cdb[0] != 0x28) return std::nullopt;
    Reply r;
    r.data.assign(3 * 2048, 0x11);
    return r;
  };
  Bytes buffer(4 * 2048, 0xEE);
  EXPECT_FALSE(Read10(dev, 100, 4, buffer.data()));
  EXPECT_EQ(dev->LastResidual, 2048u);
  for (size_t i = 3 * 2048; i < buffer.size(); ++i)
    ASSERT_EQ(buffer[i], 0) << "byte " << i << " is left from before the read";

  // Commands whose answers may be shorter than asked keep working, with the tail cleared.
  dev->DataBuffer[40] = 0xEE;
  EXPECT_TRUE(Inquiry(dev, dev->DataBuffer));
  EXPECT_EQ(dev->DataBuffer[40], 0x20) << "the answer itself (revision text)";
  Bytes config(112, 0xEE);
  drive.profile = 0x0A;
  EXPECT_TRUE(GetConfiguration(dev, config.data(), 112, 0));
  EXPECT_EQ(config[111], 0);

  // A whole transfer reads as before.
  drive.hook = [](const uint8_t *cdb) -> std::optional<Reply> {
    if (cdb[0] != 0x28) return std::nullopt;
    Reply r;
    r.data.assign(2 * 2048, 0x22);
    return r;
  };
  EXPECT_TRUE(Read10(dev, 100, 2, buffer.data()));
  EXPECT_EQ(dev->LastResidual, 0u);
  EXPECT_EQ(buffer[4095], 0x22);
}

TEST_F(Faults, SenseDataInEitherFormatGivesKeyCodesAndProgress) {
  const Bytes fixed = CheckCondition(2, 0x04, 0x04).sense;
  SenseFields f = ParseSense(fixed.data(), fixed.size());
  EXPECT_EQ(f.key, 2);
  EXPECT_EQ(f.asc, 0x04);
  EXPECT_EQ(f.ascq, 0x04);
  EXPECT_FALSE(f.has_progress) << "no SKSV bit";

  Bytes with_progress = fixed;
  with_progress[15] = 0x80;
  with_progress[16] = 0x80;
  f = ParseSense(with_progress.data(), with_progress.size());
  EXPECT_TRUE(f.has_progress);
  EXPECT_EQ(f.progress, 0x8000);

  const Bytes descriptor = DescriptorSense(2, 0x04, 0x07, 0x4000);
  f = ParseSense(descriptor.data(), descriptor.size());
  EXPECT_EQ(f.key, 2);
  EXPECT_EQ(f.asc, 0x04);
  EXPECT_EQ(f.ascq, 0x07);
  EXPECT_TRUE(f.has_progress);
  EXPECT_EQ(f.progress, 0x4000);

  // A descriptor list that claims more than the data holds is read no further.
  Bytes cut = descriptor;
  cut[7] = 200;
  cut[9] = 100;
  f = ParseSense(cut.data(), cut.size());
  EXPECT_EQ(f.asc, 0x04);
  EXPECT_FALSE(f.has_progress);

  // The record's sense reads the same, and people get words for it.
  drive.hook = [](const uint8_t *cdb) -> std::optional<Reply> {
    if (cdb[0] != 0xBB) return std::nullopt;
    Reply r = CheckCondition(5, 0x20);
    r.sense = {0x72, 0x05, 0x20, 0x00, 0, 0, 0, 0};
    return r;
  };
  EXPECT_FALSE(SetCDSpeed(dev, 0, 0));
  EXPECT_EQ(LastSenseFields(dev).asc, 0x20);
  EXPECT_EQ(DescribeLastSense(dev),
            "illegal request, invalid command operation code (sense 5/20/00)");
  EXPECT_TRUE(TestUnitReady(dev));
  EXPECT_EQ(DescribeLastSense(dev), "");
}

TEST_F(Faults, ARefusedBufferCapacityFallsBackToTheCapabilitiesPage) {
  drive.rejected.insert(0x5C);
  // Old bytes where the answer would be, as an sg node leaves them.
  dev->DataBuffer[7] = 8;
  EXPECT_FALSE(ReadBufferCapacity(dev));
  EXPECT_EQ(dev->BufferLength, 0u) << "without the page the size is unknown";

  drive.page2a_default = drive.page2a_current = Page2A(0x3B, 0, 0, 8800, 2048, 2816, 0, 0);
  ASSERT_TRUE(GetDeviceCapabilities(dev));
  EXPECT_FALSE(ReadBufferCapacity(dev));
  EXPECT_EQ(dev->BufferLength, 2048u * 1024);
  EXPECT_EQ(dev->BlankBufferLength, 0u);
  EXPECT_EQ(GetDeviceBufferSize(dev), 2048u * 1024);

  drive.rejected.clear();
  drive.buffer_capacity = {0, 30, 0, 0, 0, 0x10, 0, 0, 0, 0, 0x40, 0};
  EXPECT_TRUE(ReadBufferCapacity(dev));
  EXPECT_EQ(dev->BufferLength, 0x100000u);
  EXPECT_EQ(dev->BlankBufferLength, 0x4000u);
}

TEST_F(Faults, APageOfferedOnlyWithCurrentValuesStillGivesCapabilities) {
  drive.page2a_current = Page2A(0x3B, 0, 0, 704, 512, 704, 0, 0);
  drive.page2a_default = drive.page2a_current;
  // Default and changeable values are refused (5/24/00), current ones answered.
  drive.hook = [](const uint8_t *cdb) -> std::optional<Reply> {
    if (cdb[0] == 0x5A && (cdb[2] & 0x3F) == 0x2A && (cdb[2] & 0xC0) != 0)
      return CheckCondition(5, 0x24);
    return std::nullopt;
  };
  ASSERT_TRUE(GetDeviceCapabilities(dev));
  EXPECT_TRUE(DeviceCan(dev, 1));
  EXPECT_TRUE(DeviceCan(dev, 2));
  EXPECT_TRUE(DeviceCan(dev, 4));
  EXPECT_EQ(dev->DefaultMaxReadSpeed, 704);
  EXPECT_EQ(dev->CurrentReadSpeed, 704);
  EXPECT_EQ(GetReadSpeed(dev), 704);
  EXPECT_EQ(dev->ModePage2A.BufferSize, 512);

  // The other way round: current values refused, defaults answered.
  drive.page2a_default = Page2A(0x03, 0, 0, 1400, 256, 0, 0, 0);
  drive.hook = [](const uint8_t *cdb) -> std::optional<Reply> {
    if (cdb[0] == 0x5A && (cdb[2] & 0x3F) == 0x2A && (cdb[2] & 0xC0) == 0)
      return CheckCondition(5, 0x24);
    return std::nullopt;
  };
  ASSERT_TRUE(GetDeviceCapabilities(dev));
  EXPECT_EQ(dev->DefaultMaxReadSpeed, 1400);
  EXPECT_EQ(dev->MaxReadSpeed, 1400);
  EXPECT_TRUE(DeviceCan(dev, 2));

  // Neither: no capabilities at all.
  drive.page2a_default.clear();
  EXPECT_FALSE(GetDeviceCapabilities(dev));
  EXPECT_FALSE(DeviceCan(dev, 1));
  EXPECT_EQ(dev->DefaultMaxReadSpeed, 0);
}

TEST_F(Faults, ALockAsksTheSystemToKeepTheTrayLockedUntilUnlocked) {
  ASSERT_TRUE(LockMedium(dev));
  ASSERT_EQ(platform.door_requests.size(), 1u);
  EXPECT_EQ(platform.door_requests[0].first, dev->Handle);
  EXPECT_TRUE(platform.door_requests[0].second);
  ASSERT_TRUE(UnlockMedium(dev));
  ASSERT_EQ(platform.door_requests.size(), 2u);
  EXPECT_FALSE(platform.door_requests[1].second);

  // Nodes without the request (sg) lock all the same.
  platform.door_error = ENOTTY;
  EXPECT_TRUE(LockMedium(dev));
  // A refused PREVENT asks nothing of the system.
  platform.door_requests.clear();
  drive.rejected.insert(0x1E);
  EXPECT_FALSE(LockMedium(dev));
  EXPECT_TRUE(platform.door_requests.empty());
}

class AspiFaults : public ::testing::Test {
protected:
  FakePlatform platform;
  FakeAspi aspi;
  ScriptedDrive drive;
  Record dev{&platform};
  void SetUp() override {
    aspi.devices[{0, 1, 0}] = &drive;
    aspi.Install(platform, "m.so");
    ASSERT_TRUE(InitializeASPI(dev, true, "m.so", nullptr));
    ASSERT_TRUE(SelectDevice(dev, 0));
  }
};

TEST_F(AspiFaults, AModuleCompletingAfterAFailedWaitWritesOnlyItsOwnCopy) {
  aspi.pending = true;
  aspi.hold = true;
  platform.failing_waits = 1;
  drive.ready = false;
  TSRB_ExecSCSICmd srb;
  std::memset(&srb, 0, sizeof srb);
  srb.SRB_Flags = SRB_EVENT_NOTIFY | SRB_DIR_IN;
  srb.SRB_CDBLen = 6;
  srb.CDBByte[0] = 0x12;
  srb.CDBByte[4] = 0x40;
  uint8_t data[64] = {};
  srb.SRB_BufPointer = data;
  srb.SRB_BufLen = sizeof data;
  EXPECT_EQ(ExecSCSICommand(dev, &srb), SS_ERR);
  EXPECT_EQ(aspi.aborts, 1) << "the module is asked to abort the request";

  // The caller's block and buffer are free for other use now; a late completion must not
  // touch them.
  std::memset(&srb, 0xA5, sizeof srb);
  std::memset(data, 0xA5, sizeof data);
  aspi.Release();
  const uint8_t *bytes = reinterpret_cast<const uint8_t *>(&srb);
  for (size_t i = 0; i < sizeof srb; ++i)
    ASSERT_EQ(bytes[i], 0xA5) << "request block byte " << i;
  for (uint8_t b : data)
    ASSERT_EQ(b, 0xA5);
  ASSERT_NE(dev->AbandonedRequests, nullptr);

  // The next command finds the request completed and frees it.
  aspi.pending = false;
  drive.ready = true;
  EXPECT_TRUE(TestUnitReady(dev));
  EXPECT_EQ(dev->AbandonedRequests, nullptr);
}

TEST_F(AspiFaults, ModulesAreClosedWhenTheTableIsBuiltAgainOrReleased) {
  void *module = dev->AspiModule;
  ASSERT_NE(module, nullptr);
  ASSERT_TRUE(InitializeASPI(dev, true, "m.so", nullptr));
  ASSERT_EQ(platform.modules_unloaded.size(), 1u);
  EXPECT_EQ(platform.modules_unloaded[0], module);
  ASSERT_TRUE(SelectDevice(dev, 0));
  EXPECT_TRUE(TestUnitReady(dev));

  EXPECT_EQ(ReleaseDevice(dev), 0);
  EXPECT_EQ(platform.modules_unloaded.size(), 2u);
  EXPECT_EQ(dev->AspiModule, nullptr);
  EXPECT_FALSE(TestUnitReady(dev)) << "no module, no transport";

  // A module without support is closed at once.
  aspi.support = 0;
  EXPECT_FALSE(InitializeASPI(dev, true, "m.so", nullptr));
  EXPECT_EQ(platform.modules_unloaded.size(), 3u);

  // A module still holding a request stays loaded.
  aspi.support = 0x0101;
  ASSERT_TRUE(InitializeASPI(dev, true, "m.so", nullptr));
  ASSERT_TRUE(SelectDevice(dev, 0));
  aspi.pending = aspi.hold = true;
  platform.failing_waits = 1;
  EXPECT_FALSE(TestUnitReady(dev));
  ReleaseDevice(dev);
  EXPECT_EQ(platform.modules_unloaded.size(), 3u);
  aspi.Release();
}

} // namespace
} // namespace korva::test
