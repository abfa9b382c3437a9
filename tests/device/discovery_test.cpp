// Building the device table with both scans, selecting devices, and the Linux layer on a
// machine without optical drives.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "device/drive_map.h"
#include "fake_aspi.h"
#include "fake_platform.h"
#include "korva/scsi.hpp"

namespace korva::test {
namespace {

TEST(PassThroughScan, ListsAddressedDrivesInLetterOrder) {
  FakePlatform platform;
  ScriptedDrive d, e;
  e.vendor = "OTHER";
  e.product = "Reader";
  e.revision = "2.1";
  platform.AddDrive('E', &e, 2, 0, 0);
  platform.AddDrive('D', &d, 1, 0, 0);
  Record dev(&platform);
  ASSERT_TRUE(InitializeASPI(dev, false, "", ""));
  EXPECT_EQ(dev->Initialized, 1);
  EXPECT_EQ(dev->UsePassThrough, 1);
  ASSERT_EQ(GetDeviceCount(dev), 2);
  EXPECT_STREQ(GetDeviceName(dev, 0), "1:0:0,D: KORVA    Test Writer      1.00             ");
  EXPECT_STREQ(GetDeviceName(dev, 1), "2:0:0,E: OTHER    Reader           2.1              ");
  EXPECT_EQ(dev->Devices[1].DriveLetter, 'E');
  EXPECT_EQ(dev->Devices[1].DeviceType, 5);
  EXPECT_EQ(GetDeviceName(dev, 2), nullptr);
  EXPECT_EQ(GetDeviceName(dev, 255), nullptr);
  EXPECT_TRUE(platform.open_handles.empty()) << "the scan closes every drive";
  EXPECT_TRUE(platform.modules_asked.empty()) << "ASPI is not tried when drives were found";
}

TEST(PassThroughScan, DrivesWithoutAnAddressGetMadeUpOnesAfterTheRealOnes) {
  FakePlatform platform;
  ScriptedDrive a, b, c;
  platform.AddDrive('D', &a).address_error = ENOTTY;
  platform.AddDrive('F', &b, 1, 0, 0);
  platform.AddDrive('G', &c).address_error = ENOTTY;
  Record dev(&platform);
  ASSERT_TRUE(InitializeASPI(dev, false, nullptr, nullptr));
  ASSERT_EQ(GetDeviceCount(dev), 3);
  EXPECT_EQ(dev->Devices[0].DriveLetter, 'F');
  EXPECT_EQ(dev->Devices[1].DriveLetter, 'D');
  EXPECT_EQ(dev->Devices[1].HostAdapter, 2);
  EXPECT_EQ(dev->Devices[2].DriveLetter, 'G');
  EXPECT_EQ(dev->Devices[2].HostAdapter, 3);
  EXPECT_EQ(std::string(GetDeviceName(dev, 1)).substr(0, 9), "2:0:0,D: ");
  EXPECT_EQ(std::string(GetDeviceName(dev, 2)).substr(0, 9), "3:0:0,G: ");
  for (int i = 3; i < 26; ++i)
    EXPECT_EQ(dev->Devices[i].DriveLetter, 0) << i;

  // Selecting a made-up address still reaches the drive by its letter.
  ASSERT_TRUE(SelectDeviceByLetter(dev, 'G'));
  EXPECT_EQ(dev->HostAdapter, 3);
  EXPECT_EQ(platform.sent.back().letter, 'G');
}

TEST(PassThroughScan, OnlyUnaddressedDrivesStartAtAdapterOne) {
  FakePlatform platform;
  ScriptedDrive a;
  platform.AddDrive('Z', &a, 9, 9, 9).address_error = EINVAL;
  Record dev(&platform);
  ASSERT_TRUE(InitializeASPI(dev, false, nullptr, nullptr));
  ASSERT_EQ(GetDeviceCount(dev), 1);
  EXPECT_STREQ(GetDeviceName(dev, 0), "1:0:0,Z: KORVA    Test Writer      1.00             ");
}

TEST(PassThroughScan, UnreadableDrivesAreSkippedAndSilentOnesListed) {
  FakePlatform platform;
  ScriptedDrive mute, odd;
  mute.rejected.insert(0x12);
  odd.vendor = std::string("AB\x01\x1F", 4);
  odd.product = std::string("X\ty", 3);
  FakeDrive &locked = platform.AddDrive('D', nullptr, 4);
  locked.open_rw_error = EACCES;
  locked.open_ro_error = EACCES;
  platform.AddDrive('E', &mute, 5, 1, 2);
  platform.AddDrive('F', &odd, 6);
  FakeDrive &disk = platform.AddDrive('G', &odd, 7);
  disk.optical = false;
  Record dev(&platform);
  ASSERT_TRUE(InitializeASPI(dev, false, nullptr, nullptr));
  ASSERT_EQ(GetDeviceCount(dev), 2);
  EXPECT_STREQ(GetDeviceName(dev, 0), "5:1:2,E:    ");
  EXPECT_STREQ(GetDeviceName(dev, 1), "6:0:0,F: AB       X y              1.00             ");
  EXPECT_TRUE(platform.open_handles.empty());
}

TEST(PassThroughScan, NoDriveFallsBackToAspiAndForcingSkipsTheScan) {
  FakePlatform platform;
  Record dev(&platform);
  EXPECT_FALSE(InitializeASPI(dev, false, nullptr, nullptr));
  ASSERT_EQ(platform.modules_asked.size(), 1u);
  EXPECT_EQ(platform.modules_asked[0], "WNASPI32.DLL");
  EXPECT_EQ(dev->Initialized, 0);
  EXPECT_EQ(GetDeviceCount(dev), 0);

  ScriptedDrive d;
  platform.AddDrive('D', &d, 1);
  EXPECT_FALSE(InitializeASPI(dev, true, "/opt/aspi/libother.so", nullptr));
  EXPECT_EQ(platform.modules_asked.back(), "/opt/aspi/libother.so");
  EXPECT_EQ(platform.opens, 0) << "forcing ASPI skips the pass-through scan";
}

TEST(AspiScan, RefusesModulesWithoutEntryPointsOrSupport) {
  for (int variant = 0; variant < 3; ++variant) {
    SCOPED_TRACE(variant);
    FakePlatform platform;
    FakeAspi aspi;
    ScriptedDrive d;
    aspi.devices[{0, 0, 0}] = &d;
    aspi.Install(platform, "m.so", variant != 0, variant != 1);
    if (variant == 2) aspi.support = 0;
    Record dev(&platform);
    EXPECT_FALSE(InitializeASPI(dev, true, "m.so", nullptr));
    EXPECT_EQ(dev->Initialized, 0);
    EXPECT_EQ(GetDeviceCount(dev), 0);
    EXPECT_EQ(aspi.inquiries, 0);
    EXPECT_FALSE(TestUnitReady(dev));
  }
}

TEST(AspiScan, ListsOpticalDevicesWithTheirLetters) {
  FakePlatform platform;
  FakeAspi aspi;
  ScriptedDrive first, second, disk, third;
  disk.peripheral_type = 0;
  aspi.adapters = 2;
  aspi.pending = true;
  aspi.devices[{0, 1, 0}] = &first;
  aspi.devices[{0, 2, 0}] = &disk;
  aspi.devices[{1, 0, 2}] = &second;
  aspi.devices[{1, 6, 6}] = &third;
  aspi.drive_numbers[{0, 1, 0}] = 7;  // "H"
  aspi.drive_numbers[{1, 6, 6}] = 40; // not a letter: ignored
  // The pass-through layer knows the second device by its address.
  platform.AddDrive('K', &second, 1, 0, 2).optical = false;
  aspi.Install(platform, "WNASPI32.DLL");
  Record dev(&platform);
  ASSERT_TRUE(InitializeASPI(dev, true, nullptr, nullptr));
  EXPECT_EQ(aspi.inquiries, 2 * 8 * 7);
  EXPECT_EQ(dev->UsePassThrough, 0);
  ASSERT_EQ(GetDeviceCount(dev), 3);
  EXPECT_STREQ(GetDeviceName(dev, 0), "0:1:0,H: KORVA    Test Writer      1.00             ");
  EXPECT_STREQ(GetDeviceName(dev, 1), "1:0:2,K: KORVA    Test Writer      1.00             ");
  EXPECT_STREQ(GetDeviceName(dev, 2), "1:6:6,?: KORVA    Test Writer      1.00             ");
  EXPECT_TRUE(platform.open_handles.empty());

  // No adapter count means seven adapters.
  aspi.pending = false;
  aspi.adapters = 0;
  aspi.inquiries = 0;
  ASSERT_TRUE(InitializeASPI(dev, true, nullptr, nullptr));
  EXPECT_EQ(aspi.inquiries, 7 * 8 * 7);
}

TEST(Selection, SelectsByIndexOrLetterAndForgetsOnBadIndex) {
  FakePlatform platform;
  ScriptedDrive d, e;
  d.page2a_default = Page2A(0x3F, 0x37, 0x80, 8467, 2048, 8467, 5540, 5540);
  e.vendor = "SECOND";
  platform.AddDrive('D', &d, 1);
  platform.AddDrive('E', &e, 2);
  Record dev(&platform);
  ASSERT_TRUE(InitializeASPI(dev, false, nullptr, nullptr));

  ASSERT_TRUE(SelectDevice(dev, 0));
  EXPECT_EQ(dev->HostAdapter, 1);
  EXPECT_EQ(dev->DriveLetter, 'D');
  EXPECT_EQ(dev->DeviceType, 5);
  EXPECT_STREQ(dev->VendorId, "KORVA   ");
  EXPECT_TRUE(DeviceIsBurner(dev)) << "selection reads the capabilities";
  const int handle = dev->Handle;
  EXPECT_GT(handle, 0);

  ASSERT_TRUE(SelectDeviceByLetter(dev, 'E'));
  EXPECT_EQ(dev->SelectedIndex, 1);
  EXPECT_STREQ(dev->VendorId, "SECOND  ");
  EXPECT_EQ(platform.open_handles.count(handle), 0u) << "the old drive was released";
  EXPECT_FALSE(DeviceIsBurner(dev));

  EXPECT_FALSE(SelectDeviceByLetter(dev, 'Q'));
  EXPECT_FALSE(SelectDeviceByLetter(dev, 0));
  EXPECT_EQ(dev->DriveLetter, 'E') << "an unknown letter leaves the selection alone";

  e.rejected.insert(0x12);
  EXPECT_FALSE(SelectDevice(dev, 1)) << "a device that does not answer INQUIRY";

  EXPECT_FALSE(SelectDevice(dev, 2));
  EXPECT_EQ(dev->HostAdapter, 255);
  EXPECT_EQ(dev->Target, 255);
  EXPECT_EQ(dev->Lun, 255);
  EXPECT_EQ(dev->DriveLetter, '?');
}

TEST(Initialization, StartsOverKeepingOnlyThePlatform) {
  FakePlatform platform;
  ScriptedDrive d;
  platform.AddDrive('D', &d, 1);
  Record dev(&platform);
  const auto dir = std::filesystem::temp_directory_path() / "korva_device_init";
  std::filesystem::create_directories(dir);
  const std::string log = (dir / "first.elg").string();
  ASSERT_TRUE(InitializeASPI(dev, false, nullptr, log.c_str()));
  ASSERT_TRUE(SelectDevice(dev, 0));
  dev->RequestedReadSpeed = 99;
  ASSERT_NE(dev->TraceLog, nullptr);

  EXPECT_FALSE(InitializeASPI(dev, false, nullptr, (dir / "missing/dir/x.elg").string().c_str()))
      << "a trace log that cannot be created is an error";
  EXPECT_NE(dev->LastOSError, 0u);
  EXPECT_EQ(dev->TraceLog, nullptr);
  EXPECT_EQ(dev->Platform, static_cast<void *>(static_cast<DevicePlatform *>(&platform)));
  EXPECT_EQ(dev->RequestedReadSpeed, 0);
  EXPECT_TRUE(platform.open_handles.empty()) << "the old descriptor was closed";

  ASSERT_TRUE(InitializeASPI(dev, false, nullptr, nullptr));
  EXPECT_EQ(GetDeviceCount(dev), 1);
  std::filesystem::remove_all(dir);
}

// The Linux layer's own cases (sysfs, device nodes, the KORVA_DRIVES map); the Windows
// layer's scan is covered against a stand-in for the system in tests/windows.
#if !defined(_WIN32)
TEST(DriveMap, LettersComeFromTheEnvironmentOrTheOpticalBlockDevices) {
  const auto map = ParseDriveMap("e=/dev/sr1,F=/dev/sr0,,B=/dev/sr2,F=/dev/sr9,G=,H/x,I=/d/i");
  ASSERT_EQ(map.size(), 3u);
  EXPECT_EQ(map[0].letter, 'E');
  EXPECT_EQ(map[0].path, "/dev/sr1");
  EXPECT_EQ(PathOf(map, 'F'), "/dev/sr0");
  EXPECT_EQ(PathOf(map, 'I'), "/d/i");
  EXPECT_EQ(PathOf(map, 'B'), "");

  const auto dir = std::filesystem::temp_directory_path() / "korva_device_sysfs";
  std::filesystem::remove_all(dir);
  for (const char *name : {"sr10", "sr2", "sr0", "sda", "srx", "loop0"})
    std::filesystem::create_directories(dir / name);
  const auto names = ListOpticalBlockDevices(dir.string());
  EXPECT_EQ(names, (std::vector<std::string>{"sr0", "sr2", "sr10"}));
  const auto letters = DefaultDriveMap(names);
  ASSERT_EQ(letters.size(), 3u);
  EXPECT_EQ(letters[0].letter, 'D');
  EXPECT_EQ(letters[2].letter, 'F');
  EXPECT_EQ(letters[2].path, "/dev/sr10");
  std::filesystem::remove_all(dir);
  EXPECT_TRUE(ListOpticalBlockDevices(dir.string()).empty());
}

bool MachineHasOpticalDrives() {
  return !ListOpticalBlockDevices("/sys/class/block").empty();
}

TEST(LinuxLayer, WithoutOpticalDrivesInitializationFailsCleanly) {
  if (MachineHasOpticalDrives()) GTEST_SKIP() << "this machine has an optical drive";
  unsetenv("KORVA_DRIVES");
  auto *dev = static_cast<TSCSIDevice *>(std::calloc(1, sizeof(TSCSIDevice)));
  EXPECT_FALSE(InitializeASPI(dev, false, nullptr, nullptr));
  EXPECT_EQ(dev->Initialized, 0);
  EXPECT_EQ(GetDeviceCount(dev), 0);
  EXPECT_FALSE(TestUnitReady(dev));
  EXPECT_EQ(CloseDevice(dev), 0);
  std::free(dev);
}

TEST(LinuxLayer, AMappedNodeThatIsNoDriveIsListedButAnswersNothing) {
  // /dev/null opens but knows neither SG_IO nor the address queries.
  setenv("KORVA_DRIVES", "D=/dev/null", 1);
  auto *dev = static_cast<TSCSIDevice *>(std::calloc(1, sizeof(TSCSIDevice)));
  EXPECT_EQ(LinuxDevicePlatform().DriveType('D'), 5u);
  EXPECT_EQ(LinuxDevicePlatform().DriveType('E'), 1u);
  EXPECT_EQ(LinuxDevicePlatform().OpenDrive('E', false), -ENOENT);
  ASSERT_TRUE(InitializeASPI(dev, false, nullptr, nullptr));
  ASSERT_EQ(GetDeviceCount(dev), 1);
  EXPECT_STREQ(GetDeviceName(dev, 0), "1:0:0,D:    ");
  EXPECT_FALSE(SelectDevice(dev, 0));
  EXPECT_NE(dev->LastOSError, 0u);
  EXPECT_GT(dev->Handle, 0);
  EXPECT_EQ(CloseDevice(dev), 0);
  EXPECT_EQ(dev->Handle, -1);
  std::free(dev);
  unsetenv("KORVA_DRIVES");
}

#endif

} // namespace
} // namespace korva::test
