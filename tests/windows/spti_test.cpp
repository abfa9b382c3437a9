// The Windows pass-through: request blocks turned into SCSI_PASS_THROUGH_DIRECT records for
// DeviceIoControl, and on Windows the drive-letter scan and the handle's life, against a
// stand-in DeviceIoControl that checks every record reaching it and answers like a drive.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <vector>

#include "device/platform.h"
#include "device/spti.h"
#include "korva/scsi.hpp"
#if defined(_WIN32)
#include "device/platform_windows.h"
#endif

namespace {

using namespace korva;

// A drive behind DeviceIoControl: checks each pass-through record and answers INQUIRY,
// READ(10) and TEST UNIT READY; any other opcode gets CHECK CONDITION with sense 05/20/00.
struct RecordingDrive {
  std::vector<TSCSI_PASS_THROUGH_DIRECT_WITH_BUFFER> records;
  int port = 1;
  bool address_fails = false;
  uint32_t short_by = 0; // a read answers this many bytes fewer than asked
  uint32_t fail_code = 0; // DeviceIoControl itself fails with this error

  int Answer(uint32_t code, void *in, uint32_t in_length, void *out, uint32_t out_length) {
    if (code == kIoctlScsiGetAddress) {
      EXPECT_EQ(in_length, 0u);
      EXPECT_EQ(out_length, sizeof(TSCSI_ADDRESS));
      if (address_fails) return -1;
      auto *a = static_cast<TSCSI_ADDRESS *>(out);
      a->PortNumber = static_cast<uint8_t>(port);
      a->TargetId = 0;
      a->Lun = 0;
      return 0;
    }
    EXPECT_EQ(code, kIoctlScsiPassThroughDirect);
    EXPECT_EQ(in, out);
    EXPECT_EQ(in_length, sizeof(TSCSI_PASS_THROUGH_DIRECT_WITH_BUFFER));
    EXPECT_EQ(out_length, in_length);
    if (fail_code != 0) return -static_cast<int>(fail_code);
    auto *r = static_cast<TSCSI_PASS_THROUGH_DIRECT_WITH_BUFFER *>(in);
    records.push_back(*r);
    Respond(r);
    return 0;
  }

  void Respond(TSCSI_PASS_THROUGH_DIRECT_WITH_BUFFER *r) {
    auto *data = static_cast<uint8_t *>(r->Sptd.DataBuffer);
    switch (r->Sptd.Cdb[0]) {
    case 0x00:
      return;
    case 0x12:
      std::memset(data, 0, r->Sptd.DataTransferLength);
      data[0] = 5;
      std::memcpy(data + 8, "KORVA   Pass-Through    1.00", 28);
      return;
    case 0x28:
      r->Sptd.DataTransferLength -= short_by;
      for (uint32_t i = 0; i < r->Sptd.DataTransferLength; ++i)
        data[i] = static_cast<uint8_t>(i * 7);
      return;
    default: {
      r->Sptd.ScsiStatus = 2;
      uint8_t *sense = reinterpret_cast<uint8_t *>(r) + r->Sptd.SenseInfoOffset;
      std::memset(sense, 0xEE, sizeof r->SenseBuffer); // beyond 24 bytes must not travel
      sense[0] = 0x70;
      sense[2] = 0x05;
      sense[7] = 10;
      sense[12] = 0x20;
      sense[13] = 0x00;
    }
    }
  }
};

// A device layer whose only way to a drive is IoControl.
class IoControlOnly : public DevicePlatform {
public:
  explicit IoControlOnly(RecordingDrive &drive) : drive_(drive) {}
  std::string OpticalDriveLetters() override { return "D"; }
  int OpenDrive(char, bool) override { return 100; }
  int CloseDrive(int) override { return 0; }
  int SendSgIo(int, sg_io_hdr_t *) override { return -ENOSYS; }
  int IoControl(int handle, uint32_t code, void *in, uint32_t in_length, void *out,
                uint32_t out_length, uint32_t *returned) override {
    EXPECT_EQ(handle, 100);
    *returned = 0;
    return drive_.Answer(code, in, in_length, out, out_length);
  }
  int QueryAddress(int, TSCSI_ADDRESS *) override { return -ENOSYS; }
  void *LoadModule(const char *) override { return nullptr; }
  void *ModuleSymbol(void *, const char *) override { return nullptr; }
  const char *Environment(const char *) override { return nullptr; }
  void SleepMs(uint32_t) override {}

private:
  RecordingDrive &drive_;
};

TSRB_ExecSCSICmd Block(uint8_t flags, uint8_t opcode, void *buffer, uint32_t length) {
  TSRB_ExecSCSICmd srb;
  std::memset(&srb, 0, sizeof srb);
  srb.SRB_Flags = flags;
  srb.SRB_BufPointer = buffer;
  srb.SRB_BufLen = length;
  srb.SRB_SenseLen = 24;
  srb.SRB_CDBLen = 10;
  srb.CDBByte[0] = opcode;
  srb.CDBByte[8] = 4;
  return srb;
}

struct SptiRecords : ::testing::Test {
  RecordingDrive drive;
  IoControlOnly platform{drive};
  std::unique_ptr<TSCSIDevice> device = std::make_unique<TSCSIDevice>();
  void SetUp() override {
    std::memset(device.get(), 0, sizeof *device);
    device->Handle = 100;
    device->LastTimeoutSeconds = 30;
  }
};

TEST_F(SptiRecords, ReadBlockBecomesADataInRecordWithItsLengthsAndCdb) {
  std::vector<uint8_t> buffer(8192, 0xAA);
  TSRB_ExecSCSICmd srb = Block(SRB_EVENT_NOTIFY | SRB_DIR_IN, 0x28, buffer.data(), 8192);
  srb.CDBByte[5] = 0x21;
  SendThroughSpti(device.get(), platform, &srb, 0);
  ASSERT_EQ(drive.records.size(), 1u);
  const TSCSI_PASS_THROUGH_DIRECT &r = drive.records[0].Sptd;
  EXPECT_EQ(r.Length, sizeof(void *) == 8 ? 56 : 44);
  EXPECT_EQ(r.DataIn, kSptiDataIn);
  EXPECT_EQ(r.DataTransferLength, 8192u);
  EXPECT_EQ(r.DataBuffer, buffer.data());
  EXPECT_EQ(r.CdbLength, 10);
  EXPECT_EQ(r.SenseInfoLength, 24);
  EXPECT_EQ(r.SenseInfoOffset, sizeof(void *) == 8 ? 60u : 48u);
  EXPECT_EQ(r.TimeOutValue, 30u) << "the time-out of the command's class";
  EXPECT_EQ(r.Cdb[0], 0x28);
  EXPECT_EQ(r.Cdb[5], 0x21);
  EXPECT_EQ(r.Cdb[8], 4);
  EXPECT_EQ(r.PathId | r.TargetId | r.Lun, 0) << "the handle names the device";
  EXPECT_EQ(srb.SRB_Status, SS_COMP);
  EXPECT_EQ(buffer[3], 21) << "the drive's answer lands in the caller's buffer";
  EXPECT_EQ(device->LastOSError, 0u);
}

TEST_F(SptiRecords, AShortReadZeroesTheTailAndReportsTheResidual) {
  drive.short_by = 100;
  std::vector<uint8_t> buffer(2048, 0xAA);
  TSRB_ExecSCSICmd srb = Block(SRB_EVENT_NOTIFY | SRB_DIR_IN, 0x28, buffer.data(), 2048);
  SendThroughSpti(device.get(), platform, &srb, 0);
  EXPECT_EQ(srb.SRB_Status, SS_COMP);
  EXPECT_EQ(device->LastResidual, 100u);
  EXPECT_EQ(buffer[1947], static_cast<uint8_t>(1947 * 7));
  for (size_t i = 1948; i < buffer.size(); ++i) ASSERT_EQ(buffer[i], 0) << "byte " << i;
}

TEST_F(SptiRecords, DirectionFollowsTheBlockFlags) {
  uint8_t data[16] = {};
  TSRB_ExecSCSICmd write = Block(SRB_EVENT_NOTIFY | SRB_DIR_OUT, 0x00, data, sizeof data);
  SendThroughSpti(device.get(), platform, &write, 0);
  TSRB_ExecSCSICmd none = Block(SRB_EVENT_NOTIFY, 0x00, nullptr, 0);
  SendThroughSpti(device.get(), platform, &none, 0);
  ASSERT_EQ(drive.records.size(), 2u);
  EXPECT_EQ(drive.records[0].Sptd.DataIn, kSptiDataOut);
  EXPECT_EQ(drive.records[0].Sptd.DataTransferLength, 16u);
  EXPECT_EQ(drive.records[1].Sptd.DataIn, kSptiDataUnspecified);
  EXPECT_EQ(drive.records[1].Sptd.DataTransferLength, 0u);
  EXPECT_EQ(drive.records[1].Sptd.DataBuffer, nullptr);
}

TEST_F(SptiRecords, CheckConditionReturnsTwentyFourSenseBytesAndTheStatus) {
  TSRB_ExecSCSICmd srb = Block(SRB_EVENT_NOTIFY, 0x5B, nullptr, 0);
  SendThroughSpti(device.get(), platform, &srb, 0);
  EXPECT_EQ(srb.SRB_Status, SS_ERR);
  EXPECT_EQ(srb.SRB_TargStat, 2);
  EXPECT_EQ(srb.SenseArea[2], 0x05);
  EXPECT_EQ(srb.SenseArea[12], 0x20);
  EXPECT_EQ(srb.SenseArea[23], 0xEE);
  for (size_t i = 24; i < sizeof srb.SenseArea; ++i)
    EXPECT_EQ(srb.SenseArea[i], 0) << "sense byte " << i;
}

TEST_F(SptiRecords, AFailedControlCallKeepsTheSystemErrorAndFailsTheBlock) {
  drive.fail_code = 1167; // ERROR_DEVICE_NOT_CONNECTED
  TSRB_ExecSCSICmd srb = Block(SRB_EVENT_NOTIFY, 0x00, nullptr, 0);
  SendThroughSpti(device.get(), platform, &srb, 0);
  EXPECT_EQ(srb.SRB_Status, SS_ERR);
  EXPECT_EQ(device->LastOSError, 1167u);
  EXPECT_EQ(srb.SRB_TargStat, 0);
}

TEST_F(SptiRecords, NoOpenHandleSendsNothingAndReportsTheOpenError) {
  device->Handle = -1;
  TSRB_ExecSCSICmd srb = Block(SRB_EVENT_NOTIFY, 0x00, nullptr, 0);
  SendThroughSpti(device.get(), platform, &srb, 5);
  EXPECT_TRUE(drive.records.empty());
  EXPECT_EQ(srb.SRB_Status, SS_ERR);
  EXPECT_EQ(device->LastOSError, 5u);
}

TEST_F(SptiRecords, AddressQueryUsesItsControlCodeWithAnEightByteRecord) {
  TSCSI_ADDRESS address;
  drive.port = 3;
  ASSERT_EQ(QueryAddressThroughIoControl(platform, 100, &address), 0);
  EXPECT_EQ(address.PortNumber, 3);
  EXPECT_EQ(address.Length, 8u);
}

#if defined(_WIN32)
// The real Windows layer with its system calls replaced: drive types, opening "\\.\X:" and
// DeviceIoControl. Drives are letters with a RecordingDrive each.
class FakeWindows : public WindowsPlatform {
public:
  std::map<char, RecordingDrive> drives;
  int opens = 0, closes = 0;
  uint32_t DriveType(char letter) override { return drives.count(letter) ? 5 : (letter == 'C' ? 3 : 1); }
  int OpenDrive(char letter, bool) override {
    if (!drives.count(letter)) return -2;
    ++opens;
    return 1000 + letter;
  }
  int CloseDrive(int) override {
    ++closes;
    return 0;
  }
  int IoControl(int handle, uint32_t code, void *in, uint32_t in_length, void *out,
                uint32_t out_length, uint32_t *returned) override {
    *returned = 0;
    return drives.at(static_cast<char>(handle - 1000)).Answer(code, in, in_length, out, out_length);
  }
};

struct PassThroughScan : ::testing::Test {
  FakeWindows platform;
  std::unique_ptr<TSCSIDevice> device = std::make_unique<TSCSIDevice>();
  void SetUp() override {
    std::memset(device.get(), 0, sizeof *device);
    device->Platform = &platform;
  }
};

TEST_F(PassThroughScan, ListsAddressedDrivesInLetterOrderThenUnaddressedOnes) {
  platform.drives['D'].port = 1;
  platform.drives['E'].address_fails = true;
  platform.drives['F'].port = 2;
  ASSERT_TRUE(InitializeASPI(device.get(), false, "", ""));
  EXPECT_TRUE(device->UsePassThrough);
  ASSERT_EQ(GetDeviceCount(device.get()), 3);
  EXPECT_EQ(std::string(GetDeviceName(device.get(), 0)).substr(0, 8), "1:0:0,D:");
  EXPECT_EQ(std::string(GetDeviceName(device.get(), 1)).substr(0, 8), "2:0:0,F:");
  EXPECT_EQ(std::string(GetDeviceName(device.get(), 2)).substr(0, 8), "3:0:0,E:");
  EXPECT_NE(std::string(GetDeviceName(device.get(), 0)).find("KORVA"), std::string::npos);
  EXPECT_EQ(GetDeviceName(device.get(), 3), nullptr);
  EXPECT_EQ(platform.opens, platform.closes) << "the scan closes every drive it opened";
  EXPECT_EQ(device->Handle, -1);
}

TEST_F(PassThroughScan, CommandsOpenTheDriveLazilyAndKeepItUnlessToldToClose) {
  platform.drives['D'].port = 1;
  ASSERT_TRUE(InitializeASPI(device.get(), false, "", ""));
  const int opens = platform.opens;
  ASSERT_TRUE(SelectDevice(device.get(), 0));
  EXPECT_EQ(platform.opens, opens + 1);
  EXPECT_EQ(device->Handle, 1000 + 'D');
  TSRB_ExecSCSICmd srb = Block(SRB_EVENT_NOTIFY, 0x00, nullptr, 0);
  EXPECT_EQ(ExecSCSICommand(device.get(), &srb), SS_COMP);
  EXPECT_EQ(platform.opens, opens + 1) << "the open handle is kept between commands";
  device->CloseAfterCommand = 1;
  srb = Block(SRB_EVENT_NOTIFY, 0x00, nullptr, 0);
  EXPECT_EQ(ExecSCSICommand(device.get(), &srb), SS_COMP);
  EXPECT_EQ(device->Handle, -1);
  EXPECT_EQ(device->LastOSError, 0u);
}
#endif

} // namespace
