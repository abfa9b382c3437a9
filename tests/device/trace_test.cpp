// The command trace, byte for byte, against stored logs of both transports.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "fake_aspi.h"
#include "fake_platform.h"
#include "korva/scsi.hpp"
#include "udf/common.h"

#ifndef KORVA_DEVICE_GOLDEN_DIR
#error "KORVA_DEVICE_GOLDEN_DIR must name tests/device/golden"
#endif

namespace korva::test {
namespace {

std::string ReadAll(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// A drive whose reads return a counting pattern.
void PatternReads(ScriptedDrive &drive) {
  drive.hook = [](const uint8_t *cdb) -> std::optional<Reply> {
    Reply r;
    if (cdb[0] == 0x28) {
      r.data.resize(2048);
      for (size_t i = 0; i < r.data.size(); ++i)
        r.data[i] = static_cast<uint8_t>(i * 7);
      return r;
    }
    if (cdb[0] == 0x43) {
      r.data = {0, 10, 1, 1, 0, 0x14, 1, 0, 0, 0, 0, 0};
      return r;
    }
    return std::nullopt;
  };
}

// The same commands on either transport: no data, a read, a long write, an opcode
// without a name, an unaligned buffer, a failure, a data-in command of length 0.
std::string RunCommands(TSCSIDevice *dev, ScriptedDrive &drive) {
  static uint8_t data[4096 + 4] __attribute__((aligned(16)));
  EXPECT_TRUE(TestUnitReady(dev));
  EXPECT_TRUE(Read10(dev, 0x20, 1, data));
  for (int i = 0; i < 2048; ++i)
    data[i] = static_cast<uint8_t>(255 - i);
  EXPECT_TRUE(Write10(dev, 0x1234, 1, data, 2048));

  TSRB_ExecSCSICmd srb;
  std::memset(&srb, 0, sizeof srb);
  srb.SRB_Flags = SRB_EVENT_NOTIFY;
  srb.SRB_CDBLen = 6;
  srb.CDBByte[0] = 0x02;
  srb.CDBByte[5] = 0xC4;
  EXPECT_EQ(ExecSCSICommand(dev, &srb), SS_COMP);

  uint8_t *odd = data + 1;
  EXPECT_TRUE(ReadTOC(dev, 0, 1, false, odd, 12));
  const std::string address = std::to_string(reinterpret_cast<uintptr_t>(odd));

  drive.ready = false;
  EXPECT_FALSE(TestUnitReady(dev));
  drive.ready = true;
  EXPECT_TRUE(GetConfiguration(dev, data, 0, 0));
  return address;
}

void CompareWithGolden(const std::string &log_path, const std::string &golden_name,
                       const std::string &address) {
  std::string text = ReadAll(log_path);
  const std::string first = std::string(GetKORVAVersion()) + "\r\n";
  ASSERT_EQ(text.substr(0, first.size()), first);
  text.erase(0, first.size());
  const std::string marker = "---> " + address + " ";
  const size_t at = text.find(marker);
  ASSERT_NE(at, std::string::npos) << "the unaligned buffer is marked";
  text.replace(at, marker.size(), "---> {ADDR} ");

  const std::string golden = std::string(KORVA_DEVICE_GOLDEN_DIR) + "/" + golden_name;
  if (std::getenv("KORVA_UPDATE_GOLDEN") != nullptr) {
    std::ofstream(golden, std::ios::binary) << text;
  }
  ASSERT_TRUE(std::filesystem::exists(golden)) << golden;
  EXPECT_EQ(text, ReadAll(golden));
}

TEST(Trace, PassThroughLogMatchesTheStoredOne) {
  FakePlatform platform;
  ScriptedDrive drive;
  PatternReads(drive);
  platform.AddDrive('E', &drive, 1, 2, 0);
  FakeDrive &locked = platform.AddDrive('F', nullptr);
  locked.open_rw_error = 13;
  locked.open_ro_error = 2;
  Record dev(&platform);
  const auto dir = std::filesystem::temp_directory_path() / "korva_trace_pt";
  std::filesystem::create_directories(dir);
  const std::string log = (dir / "trace.elg").string();
  ASSERT_TRUE(InitializeASPI(dev, false, nullptr, log.c_str()));
  // The selection itself (INQUIRY, capability pages) is left out of the log.
  dev->HostAdapter = 1;
  dev->Target = 2;
  dev->Lun = 0;
  dev->DriveLetter = 'E';
  const std::string address = RunCommands(dev, drive);
  CloseDevice(dev);
  CompareWithGolden(log, "passthrough.trace", address);
  std::filesystem::remove_all(dir);
}

TEST(Trace, AspiLogMatchesTheStoredOne) {
  FakePlatform platform;
  FakeAspi aspi;
  ScriptedDrive drive;
  PatternReads(drive);
  aspi.devices[{0, 1, 0}] = &drive;
  aspi.pending = true;
  aspi.Install(platform, "WNASPI32.DLL");
  Record dev(&platform);
  const auto dir = std::filesystem::temp_directory_path() / "korva_trace_aspi";
  std::filesystem::create_directories(dir);
  const std::string log = (dir / "trace.elg").string();
  aspi.adapters = 1;
  ASSERT_TRUE(InitializeASPI(dev, true, "", log.c_str()));
  ASSERT_EQ(GetDeviceCount(dev), 1);
  dev->HostAdapter = 0;
  dev->Target = 1;
  dev->Lun = 0;
  const std::string address = RunCommands(dev, drive);
  CloseDevice(dev);
  CompareWithGolden(log, "aspi.trace", address);
  std::filesystem::remove_all(dir);
}

} // namespace
} // namespace korva::test
