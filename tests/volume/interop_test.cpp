// Interoperability with an independent UDF implementation (udftools): what we format reads
// back there as the same volume, and what it formats is not taken for ours.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <map>
#include <sstream>
#include <string>

#include "tests/support/volume_fixture.h"

namespace korva {
namespace {

// Runs a command and returns its standard output; empty when it could not run.
std::string RunCommand(const std::string &command) {
  std::string out;
  FILE *pipe = ::popen(command.c_str(), "r");
  if (!pipe) return out;
  std::array<char, 4096> buffer;
  size_t n;
  while ((n = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0)
    out.append(buffer.data(), n);
  ::pclose(pipe);
  return out;
}

bool Have(const char *tool) {
  return !RunCommand(std::string("command -v ") + tool).empty();
}

std::map<std::string, std::string> ParseUdfinfo(const std::string &text) {
  std::map<std::string, std::string> fields;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    const auto eq = line.find('=');
    if (eq != std::string::npos && line.rfind("start=", 0) != 0)
      fields[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return fields;
}

TEST(Interop, UdfinfoReadsOurClosedVolume) {
  if (!Have("udfinfo")) GTEST_SKIP() << "udftools not installed";
  test::FormattedImage img(100, u"INTEROP");
  ASSERT_TRUE(img.Ok());
  const uint32_t free = UDF_GetFreeBlocksOfLogicalVolume(&img.Volume());
  const uint32_t total = UDF_GetTotalBlocksOfLogicalVolume(&img.Volume());
  ASSERT_EQ(UDF_DismountVolume(&img.Volume()), KTRUE);
  auto info = ParseUdfinfo(RunCommand("udfinfo '" + img.ImagePath() + "' 2>/dev/null"));
  ASSERT_FALSE(info.empty());
  EXPECT_EQ(info["udfrev"], "1.50");
  EXPECT_EQ(info["integrity"], "closed");
  EXPECT_EQ(info["label"], "INTEROP");
  EXPECT_EQ(info["freeblocks"], std::to_string(free));
  EXPECT_EQ(std::stoul(info["usedblocks"]) + free, total);
  EXPECT_EQ(info["numfiles"], "0");
  EXPECT_EQ(info["numdirs"], "1");
  // While mounted, the volume is recorded open.
  ASSERT_EQ(UDF_MountImage(&img.Volume(), img.ImagePath().c_str(), 0), KTRUE);
  ASSERT_EQ(UDF_GetVolumeCompatibility(&img.Volume()), KTRUE);
  info = ParseUdfinfo(RunCommand("udfinfo '" + img.ImagePath() + "' 2>/dev/null"));
  EXPECT_EQ(info["integrity"], "opened");
  EXPECT_EQ(UDF_DismountVolume(&img.Volume()), KTRUE);
}

TEST(Interop, AVolumeMadeByMkudffsIsNotOurs) {
  if (!Have("mkudffs")) GTEST_SKIP() << "udftools not installed";
  test::TempDir dir;
  const std::string path = dir.File("mk.img");
  RunCommand("truncate -s 64M '" + path + "'");
  RunCommand("mkudffs --media-type=cdrw --udfrev=0x0150 --label=OTHER '" + path +
             "' >/dev/null 2>&1");
  ASSERT_FALSE(test::ReadImageSector(path, 256).empty());
  auto v = test::NewVolume();
  ASSERT_EQ(UDF_MountImage(v.get(), path.c_str(), 0), KTRUE);
  EXPECT_EQ(UDF_GetVolumeCompatibility(v.get()), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(v.get()), 0);
  const std::string anchor = test::ReadImageSector(path, 256);
  EXPECT_EQ(UDF_DismountVolume(v.get()), KTRUE);
  EXPECT_EQ(test::ReadImageSector(path, 256), anchor) << "a foreign volume is left alone";
}

} // namespace
} // namespace korva
