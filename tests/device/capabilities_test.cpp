// Capability flags, speeds and medium detection for several drive models and media, and
// drives that answer oddly.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "fake_platform.h"
#include "korva/scsi.hpp"
#include "udf/byte_order.h"
#include "udf/common.h"

namespace korva::test {
namespace {

class Capabilities : public ::testing::Test {
protected:
  FakePlatform platform;
  ScriptedDrive drive;
  Record dev{&platform};
  void SetUp() override {
    platform.AddDrive('D', &drive, 1);
    UsePassThrough(dev, 'D');
  }
  std::vector<int> TrueCodes() {
    std::vector<int> codes;
    for (int code = 0; code < 256; ++code)
      if (code != 72 && code != 73 && DeviceCan(dev, static_cast<uint8_t>(code)))
        codes.push_back(code);
    return codes;
  }
};

using Codes = std::vector<int>;

TEST_F(Capabilities, DriveModelsReportWhatTheyCanReadAndWrite) {
  // CD-RW burner with buffer underrun protection, no DVD features.
  drive.page2a_default = Page2A(0x07, 0x07, 0x80, 7056, 2048, 7056, 7056, 7056);
  ASSERT_TRUE(GetDeviceCapabilities(dev));
  EXPECT_EQ(TrueCodes(), (Codes{1, 2, 11, 12, 21, 22}));
  EXPECT_TRUE(DeviceIsBurner(dev));

  // DVD+-RW burner whose page follows a block descriptor.
  drive.block_descriptor = true;
  drive.page2a_default = Page2A(0x3F, 0x37, 0x00, 8467, 4096, 8467, 5540, 5540);
  drive.profile = 0x001A;
  drive.features[0x002A] = {0x01, 0, 0, 0};
  drive.features[0x003B] = {0x01, 0, 0, 0};
  drive.features[0x002F] = {0x02, 0, 0, 0};
  ASSERT_TRUE(GetDeviceCapabilities(dev));
  EXPECT_EQ(TrueCodes(), (Codes{1, 2, 3, 4, 5, 6, 7, 8, 11, 12, 13, 14, 15, 16, 17, 18, 21}));
  EXPECT_EQ(dev->ModePage2A.BufferSize, 4096);
  EXPECT_EQ(dev->DefaultMaxWriteSpeed, 5540);

  // DVD-ROM reader: reads DVD+ media, writes nothing; page 30h means underrun protection.
  drive.block_descriptor = false;
  drive.page2a_default = Page2A(0x3B, 0x00, 0x00, 8467, 512, 8467, 0, 0);
  drive.features.clear();
  drive.features[0x002A] = {0x00, 0, 0, 0};
  drive.features[0x002F] = {0x00, 0, 0, 0};
  drive.just_link = true;
  ASSERT_TRUE(GetDeviceCapabilities(dev));
  EXPECT_EQ(TrueCodes(), (Codes{1, 2, 3, 4, 6, 7, 22}));
  EXPECT_FALSE(DeviceIsBurner(dev));

  // No medium (profile 0) and no DVD features: a bare header is no DVD+ ability.
  drive.features.clear();
  drive.profile = 0;
  drive.just_link = false;
  ASSERT_TRUE(GetDeviceCapabilities(dev));
  EXPECT_EQ(TrueCodes(), (Codes{1, 2, 3, 4}));

  // A drive that rejects GET CONFIGURATION keeps its DVD+/-RW flags clear.
  drive.features[0x002A] = {0x01, 0, 0, 0};
  drive.rejected.insert(0x46);
  ASSERT_TRUE(GetDeviceCapabilities(dev));
  EXPECT_EQ(TrueCodes(), (Codes{1, 2, 3, 4}));
}

TEST_F(Capabilities, SpeedsComeFromTheDefaultAndCurrentPages) {
  drive.page2a_default = Page2A(0x3F, 0x37, 0x80, 8467, 2048, 8467, 5540, 5540);
  drive.page2a_current = Page2A(0x3F, 0x37, 0x80, 7056, 2048, 4234, 4155, 2770);
  EXPECT_EQ(GetDeviceMaxReadSpeed(dev), 8467);
  EXPECT_EQ(GetDeviceMaxWriteSpeed(dev), 5540);
  EXPECT_EQ(GetMaxWriteSpeed(dev), 4155);
  EXPECT_EQ(GetReadSpeed(dev), 4234);
  EXPECT_EQ(GetWriteSpeed(dev), 2770);
  EXPECT_EQ(dev->MaxReadSpeed, 7056);
  EXPECT_EQ(dev->CurrentWriteSpeed, 2770);
  EXPECT_EQ(dev->ModePage2A.BufferSize, 2048);
  EXPECT_EQ(dev->ModePage2A.MaxReadSpeed, 7056);

  // Every getter asks again: the drive's new current speed shows at once.
  drive.page2a_current = Page2A(0x3F, 0x37, 0x80, 7056, 2048, 1385, 4155, 1385);
  EXPECT_EQ(GetWriteSpeed(dev), 1385);

  ASSERT_TRUE(SetDeviceSpeed(dev, 0, 1385));
  EXPECT_EQ(dev->RequestedReadSpeed, 0);
  EXPECT_EQ(dev->RequestedWriteSpeed, 1385);
  EXPECT_EQ(platform.sent.back().cdb,
            (std::vector<uint8_t>{0xBB, 0, 0xFF, 0xFF, 0x05, 0x69, 0, 0, 0, 0, 0, 0}));

  // A drive without the page: nothing is left over from the one before.
  drive.page2a_default.clear();
  EXPECT_FALSE(GetDeviceCapabilities(dev));
  EXPECT_EQ(GetDeviceMaxReadSpeed(dev), 0);
  EXPECT_EQ(dev->CurrentReadSpeed, 0);
  EXPECT_EQ(dev->MaxWriteSpeed, 0);
  EXPECT_FALSE(DeviceIsBurner(dev));
  EXPECT_TRUE(TrueCodes().empty());
}

TEST_F(Capabilities, OddPagesLeaveTheRecordConsistent) {
  // Page code at neither offset: no copy, but the command itself worked.
  drive.hook = [](const uint8_t *cdb) -> std::optional<Reply> {
    if (cdb[0] != 0x5A || (cdb[2] & 0x3F) != 0x2A) return std::nullopt;
    Reply r;
    r.data.assign(128, 0x2B);
    return r;
  };
  EXPECT_TRUE(GetDeviceCapabilities(dev));
  EXPECT_EQ(dev->ModePage2A.PageCode, 0);
  EXPECT_EQ(dev->DefaultMaxReadSpeed, 0);
  EXPECT_FALSE(DeviceIsBurner(dev));

  // A short answer: only the header and the first bytes of the page arrive.
  drive.hook = [](const uint8_t *cdb) -> std::optional<Reply> {
    if (cdb[0] != 0x5A || (cdb[2] & 0x3F) != 0x2A) return std::nullopt;
    Reply r;
    r.data = {0, 10, 0, 0, 0, 0, 0, 0, 0x2A, 20, 0x01, 0x01};
    return r;
  };
  EXPECT_TRUE(GetDeviceCapabilities(dev));
  EXPECT_EQ(dev->ModePage2A.ReadAbilities, 1);
  EXPECT_EQ(dev->ModePage2A.WriteAbilities, 1);
  EXPECT_EQ(dev->DefaultMaxReadSpeed, 0) << "no stale speed from an earlier answer";

  // GET CONFIGURATION claiming far more data than asked for.
  const TModePage2A page = dev->ModePage2A;
  drive.hook = [](const uint8_t *cdb) -> std::optional<Reply> {
    if (cdb[0] != 0x46) return std::nullopt;
    Reply r;
    r.data.assign(4000, 0xFF);
    r.data[6] = 0x00;
    r.data[7] = 0x1A;
    return r;
  };
  EXPECT_EQ(DiscIs(dev), mtDVDPLUSRW);
  EXPECT_EQ(std::memcmp(&page, &dev->ModePage2A, sizeof page), 0)
      << "the answer stays inside the configuration buffer";
}

TEST_F(Capabilities, MediumKindFromProfileOrOlderAnswers) {
  const std::pair<uint16_t, TMedium> profiles[] = {
      {0x0008, mtCDROM},     {0x0009, mtCDR},      {0x000A, mtCDRW},       {0x0010, mtDVDROM},
      {0x0011, mtDVDR},      {0x0012, mtDVDRAM},   {0x0013, mtDVDRWRO},    {0x0014, mtDVDRWSR},
      {0x001A, mtDVDPLUSRW}, {0x001B, mtDVDPLUSR}, {0x002B, mtDVDPLUSRDL}, {0x0020, mtDDCDROM},
      {0x0021, mtDDCDR},     {0x0022, mtDDCDRW},   {0x0000, mtUNKNOWN},    {0x0041, mtUNKNOWN},
      {0x0015, mtUNKNOWN}};
  for (auto [profile, medium] : profiles) {
    drive.profile = profile;
    EXPECT_EQ(DiscIs(dev), medium) << std::hex << profile;
    uint16_t stored;
    std::memcpy(&stored, dev->Configuration.Header.CurrentProfile, 2);
    EXPECT_EQ(stored, profile) << "the profile is kept in host order";
  }

  drive.rejected.insert(0x46);
  for (auto [atip, medium] :
       {std::pair<uint8_t, TMedium>{0xC0, mtCDRW}, {0x80, mtCDR}, {0x00, mtCDROM}}) {
    drive.atip_byte6 = atip;
    EXPECT_EQ(DiscIs(dev), medium) << int(atip);
  }
  drive.atip_byte6.reset();
  drive.disc_status = 0x12;
  EXPECT_EQ(DiscIs(dev), mtCDRW);
  drive.disc_status = 0x02;
  EXPECT_EQ(DiscIs(dev), mtCDR);
  drive.disc_status.reset();
  EXPECT_EQ(DiscIs(dev), mtCDROM);
  drive.ready = false;
  EXPECT_EQ(DiscIs(dev), mtUNKNOWN);
}

TEST_F(Capabilities, ErasableByKindOrByDiscInformation) {
  for (uint16_t profile : {0x0012, 0x0013, 0x0014, 0x001A}) {
    drive.profile = profile;
    EXPECT_TRUE(Erasable(dev)) << std::hex << profile;
  }
  drive.profile = 0x000A;
  drive.disc_status = 0x10;
  EXPECT_TRUE(Erasable(dev));
  drive.profile = 0x0009;
  drive.disc_status = 0x0E;
  EXPECT_FALSE(Erasable(dev));
  drive.profile = 0x001B;
  drive.disc_status.reset();
  EXPECT_FALSE(Erasable(dev));
}

std::string ReadAll(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST_F(Capabilities, TraceLogCodesOpenAndCloseTheDefaultLog) {
  const auto dir = std::filesystem::temp_directory_path() / "korva_device_elg";
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  const auto old = std::filesystem::current_path();
  std::filesystem::current_path(dir);

  EXPECT_FALSE(DeviceCan(dev, 73)) << "no log open";
  ASSERT_TRUE(DeviceCan(dev, 72));
  ASSERT_NE(dev->TraceLog, nullptr);
  EXPECT_TRUE(TestUnitReady(dev));
  EXPECT_TRUE(DeviceCan(dev, 73));
  EXPECT_EQ(dev->TraceLog, nullptr);
  EXPECT_FALSE(DeviceCan(dev, 73));
  const std::string text = ReadAll("korva.elg");
  const std::string first = std::string(GetKORVAVersion()) + "\r\n";
  ASSERT_EQ(text.substr(0, first.size()), first);
  EXPECT_NE(text.find("TEST UNIT READY        (00)"), std::string::npos);

  // Opening anew starts an empty log.
  ASSERT_TRUE(DeviceCan(dev, 72));
  ASSERT_TRUE(DeviceCan(dev, 73));
  EXPECT_EQ(ReadAll("korva.elg"), first);

  // A log that cannot be created leaves none open, not even the previous one.
  ASSERT_TRUE(DeviceCan(dev, 72));
#if defined(_WIN32)
  // Windows deletes no file a program holds open: there the log is closed before its name is
  // taken, and only the failed creation is checked.
  ASSERT_TRUE(DeviceCan(dev, 73));
#endif
  std::filesystem::remove("korva.elg");
  std::filesystem::create_directories("korva.elg/busy");
  EXPECT_FALSE(DeviceCan(dev, 72));
  EXPECT_EQ(dev->TraceLog, nullptr);
  EXPECT_FALSE(DeviceCan(dev, 73));

  std::filesystem::current_path(old);
  std::filesystem::remove_all(dir);
}

} // namespace
} // namespace korva::test
