// The library's own transports and discovery, run against virtual drives.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <tuple>
#include <utility>

#include "device/spti.h"
#include "vdrive/vdrive_platform.h"
#include "korva/scsi.hpp"
#include "tests/vdrive/vdrive_test_util.h"

namespace korva::vdrive {
namespace {

using testing::ScratchDir;

struct DeviceRecord {
  std::unique_ptr<TSCSIDevice> record{new TSCSIDevice()};
  TSCSIDevice *operator->() { return record.get(); }
  TSCSIDevice *get() { return record.get(); }
};

TEST(VDrivePlatformTest, PassThroughDiscoveryAndCommandsReachTheDrives) {
  ScratchDir dir;
  std::string error;
  auto platform = VDrivePlatform::FromConfig(
      "dvd+rw/formatted,lenient:" + dir.File("a.disc") + ";cd-rw/basic,lenient:" + dir.File("b.disc"), &error);
  ASSERT_TRUE(platform) << error;
  DeviceRecord dev;
  dev->Platform = platform.get();
  ASSERT_TRUE(InitializeASPI(dev.get(), false, "", ""));
  EXPECT_TRUE(dev->UsePassThrough);
  ASSERT_EQ(GetDeviceCount(dev.get()), 2);
  EXPECT_EQ(std::string(GetDeviceName(dev.get(), 0)).substr(0, 8), "1:0:0,D:");
  EXPECT_NE(std::string(GetDeviceName(dev.get(), 1)).find("VCD-RW 4X"), std::string::npos);

  ASSERT_TRUE(SelectDevice(dev.get(), 0));
  EXPECT_EQ(DiscIs(dev.get()), mtDVDPLUSRW);
  EXPECT_TRUE(DeviceCan(dev.get(), 17)); // writes DVD+RW
  EXPECT_TRUE(DeviceCan(dev.get(), 22)); // buffer underrun protection
  std::vector<uint8_t> out(16 * 2048, 0x3C), in(16 * 2048, 0);
  ASSERT_TRUE(Write10(dev.get(), 4096, 16, out.data(), uint32_t(out.size())));
  ASSERT_TRUE(FlushCache(dev.get()));
  ASSERT_TRUE(Read10(dev.get(), 4096, 16, in.data()));
  EXPECT_EQ(in, out);
  EXPECT_FALSE(Read10(dev.get(), 2295104, 1, in.data()));
  EXPECT_EQ(dev->LastSense[2], 0x05);
  EXPECT_EQ(dev->LastSense[12], 0x21);

  ASSERT_TRUE(SelectDeviceByLetter(dev.get(), 'E'));
  EXPECT_EQ(DiscIs(dev.get()), mtCDRW);
  EXPECT_FALSE(DeviceCan(dev.get(), 22));
  ASSERT_TRUE(SetDeviceSpeed(dev.get(), 1000, 1000));
  EXPECT_EQ(GetReadSpeed(dev.get()), 706);
  EXPECT_EQ(GetWriteSpeed(dev.get()), 706);
  EXPECT_EQ(GetDeviceMaxReadSpeed(dev.get()), 1412);
  CloseDevice(dev.get());
  EXPECT_EQ(platform->OpenHandles(), 0u);
}

TEST(VDrivePlatformTest, AsyncModuleTransportWaitsForCompletion) {
  ScratchDir dir;
  testing::SetEnvironment("KORVA_VDRIVE", "dvd-ram/lenient:" + dir.File("ram.disc"));
  VDrivePlatform platform; // no letters: the pass-through scan finds nothing
  DeviceRecord dev;
  dev->Platform = &platform;
  ASSERT_TRUE(InitializeASPI(dev.get(), false, KORVA_VDRIVE_MODULE, ""));
  auto control = reinterpret_cast<int (*)(int, const char *)>(
      platform.ModuleSymbol(platform.LoadModule(KORVA_VDRIVE_MODULE), "KorvaVDriveControl"));
  ASSERT_NE(control, nullptr);
  ASSERT_EQ(control(-1, "reload"), 1); // the module may have been loaded by another test
  EXPECT_FALSE(dev->UsePassThrough);
  ASSERT_EQ(GetDeviceCount(dev.get()), 1);
  EXPECT_EQ(dev->Devices[0].DriveLetter, 'D');
  ASSERT_TRUE(SelectDevice(dev.get(), 0));
  EXPECT_EQ(DiscIs(dev.get()), mtDVDRAM);
  std::vector<uint8_t> out(32 * 2048, 0x81), in(32 * 2048, 0);
  ASSERT_TRUE(Write10(dev.get(), 32, 32, out.data(), uint32_t(out.size())));
  ASSERT_TRUE(Read10(dev.get(), 32, 32, in.data()));
  EXPECT_EQ(in, out);
  ASSERT_EQ(control(0, "fail-next 28 1"), 0);
  EXPECT_FALSE(Read10(dev.get(), 32, 1, in.data()));
  EXPECT_EQ(dev->LastSense[12], 0x11);
  EXPECT_TRUE(Read10(dev.get(), 32, 1, in.data()));
}

TEST(VDrivePlatformTest, FailedAddressQueryAndUnknownHandles) {
  ScratchDir dir;
  VirtualDrive a, b;
  b.SetStrict(false); // answers at once after the load: the transport is the subject
  ASSERT_TRUE(a.InsertMedium(dir.File("a"), MediumKind::kCdRw));
  ASSERT_TRUE(b.InsertMedium(dir.File("b"), MediumKind::kDvdRam));
  VDrivePlatform platform;
  platform.AddDrive('d', &a, 1);
  platform.AddDrive('F', &b, 0, 0, 0, true);
  EXPECT_EQ(platform.OpticalDriveLetters(), "DF");
  EXPECT_EQ(platform.DriveType('F'), uint32_t(KORVA_DRIVE_CDROM));
  EXPECT_EQ(platform.DriveType('E'), 1u);
  EXPECT_LT(platform.OpenDrive('E', true), 0);
  const int h = platform.OpenDrive('F', true);
  ASSERT_GT(h, 0);
  TSCSI_ADDRESS address{};
  EXPECT_LT(platform.QueryAddress(h, &address), 0);
#if !defined(_WIN32)
  sg_io_hdr_t io{};
  io.interface_id = 'S';
  uint8_t cdb[6] = {0x00};
  io.cmdp = cdb;
  io.cmd_len = 6;
  io.dxfer_direction = SG_DXFER_NONE;
  EXPECT_EQ(platform.SendSgIo(h, &io), 0);
  EXPECT_EQ(io.status, 0);
  EXPECT_EQ(platform.CloseDrive(h), 0);
  EXPECT_LT(platform.SendSgIo(h, &io), 0);
#else
  EXPECT_EQ(platform.CloseDrive(h), 0);
#endif
  EXPECT_LT(platform.CloseDrive(h), 0);

  DeviceRecord dev;
  dev->Platform = &platform;
  ASSERT_TRUE(InitializeASPI(dev.get(), false, "", ""));
  ASSERT_EQ(GetDeviceCount(dev.get()), 2);
  // The drive without an address follows the addressed one with a made-up adapter.
  EXPECT_EQ(std::string(GetDeviceName(dev.get(), 1)).substr(0, 8), "2:0:0,F:");
}

// The pass-through-direct record as the Windows transport fills it in, straight to the layer:
// data in, the moved length, sense after a check condition, and requests it must refuse.
TEST(VDrivePlatformTest, PassThroughDirectRecordsReachTheDrive) {
  ScratchDir dir;
  VirtualDrive drive;
  drive.SetStrict(false);
  ASSERT_TRUE(drive.InsertMedium(dir.File("plus"), MediumKind::kDvdPlusRw, true));
  VDrivePlatform platform;
  platform.AddDrive('D', &drive, 1);
  const int h = platform.OpenDrive('D', true);
  ASSERT_GT(h, 0);
  uint8_t data[2048];
  auto send = [&](std::initializer_list<uint8_t> cdb, uint32_t length, uint32_t code) {
    TSCSI_PASS_THROUGH_DIRECT_WITH_BUFFER r{};
    r.Sptd.Length = sizeof r.Sptd;
    r.Sptd.CdbLength = static_cast<uint8_t>(cdb.size());
    std::copy(cdb.begin(), cdb.end(), r.Sptd.Cdb);
    r.Sptd.DataIn = kSptiDataIn;
    r.Sptd.DataTransferLength = length;
    r.Sptd.DataBuffer = length ? data : nullptr;
    r.Sptd.SenseInfoLength = sizeof r.SenseBuffer;
    r.Sptd.SenseInfoOffset = offsetof(TSCSI_PASS_THROUGH_DIRECT_WITH_BUFFER, SenseBuffer);
    std::memset(data, 0xEE, sizeof data);
    uint32_t returned = 0;
    const int rc = platform.IoControl(h, code, &r, sizeof r, &r, sizeof r, &returned);
    return std::make_pair(rc, r);
  };
  // INQUIRY answers 96 bytes at most; asked for 96, the record says how many moved.
  auto [rc, r] = send({0x12, 0, 0, 0, 96, 0}, 96, kIoctlScsiPassThroughDirect);
  ASSERT_EQ(rc, 0);
  EXPECT_EQ(r.Sptd.ScsiStatus, 0);
  EXPECT_EQ(data[0], 0x05);
  EXPECT_GT(r.Sptd.DataTransferLength, 35u);
  EXPECT_LE(r.Sptd.DataTransferLength, 96u);
  // A read past the end: check condition with the sense where the record points.
  std::tie(rc, r) = send({0x28, 0, 0x7F, 0xFF, 0xFF, 0, 0, 0, 1, 0}, 2048, kIoctlScsiPassThroughDirect);
  ASSERT_EQ(rc, 0);
  EXPECT_EQ(r.Sptd.ScsiStatus, 2);
  EXPECT_EQ(r.SenseBuffer[0] & 0x7F, 0x70);
  EXPECT_EQ(r.SenseBuffer[2] & 0x0F, 0x05);
  EXPECT_EQ(r.SenseBuffer[12], 0x21);
  // Another control code, a wrong record length, a closed handle.
  EXPECT_LT(send({0x00, 0, 0, 0, 0, 0}, 0, kIoctlScsiGetAddress).first, 0);
  TSCSI_PASS_THROUGH_DIRECT_WITH_BUFFER bad{};
  bad.Sptd.Length = 12;
  bad.Sptd.CdbLength = 6;
  uint32_t returned = 0;
  EXPECT_LT(platform.IoControl(h, kIoctlScsiPassThroughDirect, &bad, sizeof bad, &bad, sizeof bad,
                               &returned),
            0);
  EXPECT_EQ(platform.CloseDrive(h), 0);
  EXPECT_LT(send({0x00, 0, 0, 0, 0, 0}, 0, kIoctlScsiPassThroughDirect).first, 0);
}

} // namespace
} // namespace korva::vdrive
