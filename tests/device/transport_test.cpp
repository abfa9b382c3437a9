// Sending blocks: refusal without a transport, the pass-through path with its descriptor
// handling and error reporting, the ASPI path with pending completion.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "fake_aspi.h"
#include "fake_platform.h"
#include "korva/scsi.hpp"

namespace korva::test {
namespace {

TSRB_ExecSCSICmd Block(uint8_t opcode, uint8_t flags = SRB_EVENT_NOTIFY) {
  TSRB_ExecSCSICmd srb;
  std::memset(&srb, 0, sizeof srb);
  srb.SRB_Flags = flags;
  srb.SRB_CDBLen = 6;
  // As every block the library sends: the pass-through record takes its sense room from here.
  srb.SRB_SenseLen = 24;
  srb.CDBByte[0] = opcode;
  return srb;
}

TEST(Transport, NothingIsSentWithoutATransportOrASelectedDevice) {
  FakePlatform platform;
  ScriptedDrive drive;
  platform.AddDrive('D', &drive, 1);
  Record dev(&platform);
  std::memset(dev->LastSense, 0xEE, sizeof dev->LastSense);

  TSRB_ExecSCSICmd srb = Block(0x00);
  EXPECT_EQ(ExecSCSICommand(dev, &srb), SS_ERR);
  EXPECT_EQ(srb.SRB_Status, SS_ERR);
  EXPECT_FALSE(TestUnitReady(dev));
  EXPECT_TRUE(platform.sent.empty());
  EXPECT_EQ(platform.opens, 0);
  EXPECT_EQ(dev->LastSense[0], 0xEE);

  // After discovery no drive is current until one is selected.
  ASSERT_TRUE(InitializeASPI(dev, false, nullptr, nullptr));
  platform.sent.clear();
  EXPECT_FALSE(TestUnitReady(dev));
  EXPECT_TRUE(platform.sent.empty());

  // A failed selection leaves every command refused as well.
  EXPECT_FALSE(SelectDevice(dev, 1));
  EXPECT_EQ(dev->HostAdapter, 255);
  EXPECT_FALSE(TestUnitReady(dev));
  EXPECT_TRUE(platform.sent.empty());
}

// What opening an empty drive fails with: the system's error code on Windows, else errno.
#if defined(_WIN32)
constexpr int kNoMediumError = 21; // ERROR_NOT_READY
#else
constexpr int kNoMediumError = ENOMEDIUM;
#endif

TEST(Transport, PassThroughOpensOnDemandAndFallsBackToReadOnly) {
  FakePlatform platform;
  ScriptedDrive drive;
  FakeDrive &d = platform.AddDrive('E', &drive);
  Record dev(&platform);
  UsePassThrough(dev, 'E');

  EXPECT_TRUE(TestUnitReady(dev));
  EXPECT_EQ(platform.opens, 1);
  const int handle = dev->Handle;
  EXPECT_GT(handle, 0);
  EXPECT_TRUE(TestUnitReady(dev));
  EXPECT_EQ(platform.opens, 1) << "the descriptor is kept between commands";
  EXPECT_EQ(platform.sent.back().handle, handle);
  EXPECT_EQ(dev->LastOSError, 0u);

  EXPECT_EQ(CloseDevice(dev), 0);
  EXPECT_EQ(dev->Handle, -1);
  platform.Find('E')->open_rw_error = EACCES;
  EXPECT_TRUE(TestUnitReady(dev));
  EXPECT_EQ(platform.opens, 2);

  // Neither mode opens: the command fails with the open error and is not sent.
  CloseDevice(dev);
  (void)d;
  platform.Find('E')->open_ro_error = kNoMediumError;
  const size_t sent = platform.sent.size();
  EXPECT_FALSE(TestUnitReady(dev));
  EXPECT_EQ(dev->LastOSError, static_cast<uint32_t>(kNoMediumError));
  EXPECT_EQ(dev->Handle, -1);
  EXPECT_EQ(platform.sent.size(), sent);
  // The next command tries again.
  platform.Find('E')->open_ro_error = 0;
  EXPECT_TRUE(TestUnitReady(dev));
}

TEST(Transport, PassThroughErrorsCarrySenseStatusAndErrno) {
  FakePlatform platform;
  ScriptedDrive drive;
  platform.AddDrive('D', &drive);
  Record dev(&platform);
  UsePassThrough(dev, 'D');

  Reply reply = CheckCondition(3, 0x11, 0x05);
  reply.sense.resize(32, 0xAB); // more than the block keeps
  drive.hook = [&](const uint8_t *) { return std::optional<Reply>(reply); };
  TSRB_ExecSCSICmd srb = Block(0x00);
  EXPECT_EQ(ExecSCSICommand(dev, &srb), SS_ERR);
  EXPECT_EQ(srb.SRB_TargStat, 2);
  EXPECT_EQ(dev->LastSense[2], 3);
  EXPECT_EQ(dev->LastSense[12], 0x11);
  EXPECT_EQ(dev->LastSense[13], 0x05);
  EXPECT_EQ(dev->LastSense[23], 0xAB);
  for (int i = 24; i < 32; ++i)
    EXPECT_EQ(dev->LastSense[i], 0) << i;
  EXPECT_EQ(dev->LastOSError, 0u);

  Reply host_error;
  host_error.host_status = 0x01;
  reply = host_error;
  EXPECT_FALSE(TestUnitReady(dev)) << "a host adapter error is a failure";

  Reply ioctl_error;
  ioctl_error.ioctl_error = EIO;
  reply = ioctl_error;
  EXPECT_FALSE(TestUnitReady(dev));
  EXPECT_EQ(dev->LastOSError, static_cast<uint32_t>(EIO));

  // After a success the sense area of the block is all zero again.
  drive.hook = nullptr;
  EXPECT_TRUE(TestUnitReady(dev));
  for (uint8_t b : dev->LastSense)
    EXPECT_EQ(b, 0);
}

TEST(Transport, MediumChangedIsResentOnAFreshDescriptorAtMostThreeTimes) {
  FakePlatform platform;
  ScriptedDrive drive;
  platform.AddDrive('D', &drive);
  Record dev(&platform);
  UsePassThrough(dev, 'D');
  int attentions = 2;
  drive.hook = [&](const uint8_t *) -> std::optional<Reply> {
    if (attentions-- > 0) return CheckCondition(6, 0x28);
    return std::nullopt;
  };
  TSRB_ExecSCSICmd srb = Block(0x00);
  srb.SRB_CDBLen = 6;
  EXPECT_EQ(SPTISendASPI32Command(dev, &srb, true), SS_COMP);
  ASSERT_EQ(platform.sent.size(), 3u);
  EXPECT_NE(platform.sent[0].handle, platform.sent[1].handle) << "reopened after the change";
  EXPECT_EQ(platform.opens, 3);

  platform.sent.clear();
  attentions = 100;
  srb = Block(0x00);
  EXPECT_EQ(SPTISendASPI32Command(dev, &srb, true), SS_ERR);
  EXPECT_EQ(platform.sent.size(), 3u);

  platform.sent.clear();
  srb = Block(0x00);
  EXPECT_EQ(SPTISendASPI32Command(dev, &srb, false), SS_ERR);
  EXPECT_EQ(platform.sent.size(), 1u);
  EXPECT_EQ(platform.open_handles.size(), 1u) << "no descriptor leaks across resends";
}

TEST(Transport, AspiCommandsAreAddressedAndWaitedFor) {
  FakePlatform platform;
  FakeAspi aspi;
  ScriptedDrive drive;
  aspi.devices[{0, 3, 0}] = &drive;
  aspi.Install(platform, "WNASPI32.DLL");
  Record dev(&platform);
  ASSERT_TRUE(InitializeASPI(dev, true, "", nullptr));
  ASSERT_EQ(dev->UsePassThrough, 0);
  ASSERT_EQ(GetDeviceCount(dev), 1);

  for (bool pending : {false, true}) {
    SCOPED_TRACE(pending ? "pending" : "immediate");
    aspi.pending = pending;
    ASSERT_TRUE(SelectDevice(dev, 0));
    EXPECT_STREQ(dev->VendorId, "KORVA   ");
    EXPECT_STREQ(dev->ProductId, "Test Writer     ");
    aspi.sent.clear();
    drive.ready = false;
    EXPECT_FALSE(TestUnitReady(dev));
    EXPECT_EQ(dev->LastSense[12], 0x3A) << "sense of a late completion reaches the record";
    drive.ready = true;
    EXPECT_TRUE(TestUnitReady(dev));
    ASSERT_EQ(aspi.sent.size(), 2u);
    const AspiSent &s = aspi.sent.back();
    EXPECT_EQ(s.cmd, SC_EXEC_SCSI_CMD);
    EXPECT_EQ(s.ha, 0);
    EXPECT_EQ(s.target, 3);
    EXPECT_EQ(s.lun, 0);
    EXPECT_EQ(s.sense_len, 24);
    EXPECT_EQ(s.flags, SRB_EVENT_NOTIFY);
    // A pending command is waited for as long as the command may take, no less.
    if (pending) {
      ASSERT_FALSE(platform.wait_bounds.empty());
      EXPECT_EQ(platform.wait_bounds.back(), dev->LastTimeoutSeconds * 1000u);
      EXPECT_GT(dev->LastTimeoutSeconds, 0u);
    } else {
      EXPECT_TRUE(platform.wait_bounds.empty()) << "an immediate answer is not waited for";
    }
  }
  EXPECT_TRUE(platform.sent.empty()) << "nothing went through pass-through";
}

} // namespace
} // namespace korva::test
