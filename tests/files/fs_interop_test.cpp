// A tree written through the library, read back by udftools (udfinfo, wrudf) as independent
// readers, and by the library itself after a remount.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>

#include "tests/files/fs_helpers.h"
#include "tests/support/volume_fixture.h"
#include "udf/byte_order.h"
#include "udf/tag.h"
#include "udf/utf8.h"

using namespace korva;
using namespace korva::test;

namespace {

bool HaveTool(const char *name) {
  std::string cmd = std::string("command -v ") + name + " >/dev/null 2>&1";
  return std::system(cmd.c_str()) == 0;
}

std::string RunCommand(const std::string &cmd) {
  std::string out;
  FILE *p = popen(cmd.c_str(), "r");
  if (!p) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0)
    out.append(buf, n);
  pclose(p);
  return out;
}

std::string Utf8(const std::u16string &s) {
  std::string o;
  Utf16ToUtf8(s, o);
  return o;
}

// Name -> size of each entry wrudf's lsc lists in a piece of its output.
std::map<std::string, uint64_t> WrudfListing(const std::string &out) {
  std::map<std::string, uint64_t> m;
  std::istringstream in(out);
  std::string line;
  // Lines end with "links: N info: <size> <name>".
  std::regex re(R"(info:\s*(\d+) (.+)$)");
  while (std::getline(in, line)) {
    std::smatch mm;
    if (std::regex_search(line, mm, re)) m[mm[2]] = std::stoull(mm[1]);
  }
  return m;
}

// wrudf refuses partitions whose access type is "overwritable", which is what a formatted
// volume records; the copy it reads says "rewritable" instead, in both descriptor sequences.
// Nothing else of the volume changes, so the directories and files it lists are ours.
bool MarkPartitionRewritable(const std::string &image) {
  std::fstream f(image, std::ios::in | std::ios::out | std::ios::binary);
  auto sector = [&](uint32_t n, uint8_t *buf, bool write) {
    f.seekg(std::streamoff(n) * 2048);
    if (write) {
      f.seekp(std::streamoff(n) * 2048);
      f.write(reinterpret_cast<char *>(buf), 2048);
    } else {
      f.read(reinterpret_cast<char *>(buf), 2048);
    }
    return bool(f);
  };
  uint8_t avdp[2048], s[2048];
  if (!sector(256, avdp, false) || !IsSectorTagValid(kTagAnchor, avdp, 256)) return false;
  int patched = 0;
  for (int seq = 0; seq < 2; ++seq) {
    const uint32_t start = LoadLE32(avdp + 20 + 8 * seq), len = LoadLE32(avdp + 16 + 8 * seq);
    for (uint32_t k = 0; k < len / 2048; ++k) {
      if (!sector(start + k, s, false)) return false;
      if (!IsSectorTagValid(kTagPartition, s, start + k)) continue;
      StoreLE32(s + 184, 3);
      FillTagAt(s, kTagPartition, 496, start + k);
      if (!sector(start + k, s, true)) return false;
      ++patched;
    }
  }
  return patched > 0;
}

} // namespace

TEST(FsInterop, TreeReadsTheSameInUdftoolsAndAfterRemount) {
  if (!HaveTool("udfinfo") || !HaveTool("wrudf")) GTEST_SKIP() << "udftools not installed";
  FormattedImage img(100);
  ASSERT_TRUE(img.Ok());
  TUDFRewritableVolume &v = img.Volume();
  std::map<std::u16string, std::vector<uint8_t>> files = {
      {u"\\empty.txt", {}},
      {u"\\docs\u03a9\\two_k.bin", Pattern(2048, 1)},
      {u"\\docs\u03a9\\five.bin", Pattern(5000, 2)},
      {u"\\docs\u03a9\\sub\u03a9\\big.bin", Pattern(6 * 1024 * 1024 + 123, 3)},
      {u"\\Gr\u00fc\u00dfe.txt", Pattern(77, 4)},
      {u"\\hidden.txt", Pattern(10, 5)},
  };
  ASSERT_EQ(UDF_CreateDirectoryW(&v, u"\\", u"docs\u03a9"), KTRUE);
  ASSERT_EQ(UDF_CreateDirectoryW(&v, u"\\docs\u03a9", u"sub\u03a9"), KTRUE);
  for (auto &[path, data] : files) {
    if (path == u"\\hidden.txt") {
      UDF_HANDLE h = UDF_CreateFileW(&v, path.c_str(), UDF_GENERIC_WRITE, UDF_CREATE_NEW,
                                     UDF_FILE_ATTRIBUTE_HIDDEN);
      uint32_t n = 0;
      ASSERT_EQ(UDF_WriteFile(&v, h, data.data(), uint32_t(data.size()), &n), KTRUE);
      UDF_CloseHandle(&v, h);
    } else {
      ASSERT_TRUE(WriteWhole(v, path, data, 1 << 20)) << Utf8(path);
    }
  }
  const uint32_t fileCount = UDF_GetFileCount(&v), dirCount = UDF_GetDirCount(&v);
  const uint32_t freeBlocks = UDF_GetFreeBlocksOfLogicalVolume(&v);
  EXPECT_EQ(fileCount, files.size());
  EXPECT_EQ(dirCount, 3u);
  ASSERT_EQ(UDF_DismountVolume(&v), KTRUE);

  const std::string info = RunCommand("udfinfo '" + img.ImagePath() + "' 2>&1");
  std::smatch m;
  ASSERT_TRUE(std::regex_search(info, m, std::regex(R"(numfiles=(\d+))"))) << info;
  EXPECT_EQ(std::stoul(m[1]), fileCount);
  ASSERT_TRUE(std::regex_search(info, m, std::regex(R"(numdirs=(\d+))"))) << info;
  EXPECT_EQ(std::stoul(m[1]), dirCount);
  ASSERT_TRUE(std::regex_search(info, m, std::regex(R"(freeblocks=(\d+))"))) << info;
  EXPECT_EQ(std::stoul(m[1]), freeBlocks);

  // wrudf may change the image it opens: give it a copy.
  const std::string copy = img.ImagePath() + ".wrudf";
  ASSERT_EQ(std::system(("cp '" + img.ImagePath() + "' '" + copy + "'").c_str()), 0);
  ASSERT_TRUE(MarkPartitionRewritable(copy));
  // wrudf looks names up in the compressed form it would write itself, which is 8-bit for
  // Latin-1 text; our names are always 16-bit, so the directories it enters carry a letter
  // beyond Latin-1 to be found at all.
  const std::string session =
      RunCommand("printf 'y\\nlsc\\ncdc docs\xCE\xA9\\nlsc\\ncdc sub\xCE\xA9\\nlsc\\nquit\\n' | "
                 "LC_ALL=C.UTF-8 wrudf '" +
                 copy + "' 2>&1");
  std::remove(copy.c_str());
  const size_t d1 = session.find("cdc docs"), d2 = session.find("cdc sub");
  EXPECT_EQ(session.find("does not exist"), std::string::npos) << session;
  ASSERT_NE(d1, std::string::npos) << session;
  ASSERT_NE(d2, std::string::npos) << session;
  std::map<std::string, uint64_t> root = WrudfListing(session.substr(0, d1));
  std::map<std::string, uint64_t> docs = WrudfListing(session.substr(d1, d2 - d1));
  std::map<std::string, uint64_t> sub = WrudfListing(session.substr(d2));
  EXPECT_EQ(root["empty.txt"], 0u) << session;
  EXPECT_EQ(root.count(Utf8(u"Gr\u00fc\u00dfe.txt")), 1u) << session;
  EXPECT_EQ(root[Utf8(u"Gr\u00fc\u00dfe.txt")], 77u);
  EXPECT_EQ(root["hidden.txt"], 10u);
  EXPECT_EQ(docs["two_k.bin"], 2048u) << session;
  EXPECT_EQ(docs["five.bin"], 5000u);
  EXPECT_EQ(sub["big.bin"], 6u * 1024 * 1024 + 123) << session;

  ASSERT_EQ(UDF_MountImage(&v, img.ImagePath().c_str(), 0), KTRUE);
  ASSERT_EQ(UDF_GetVolumeCompatibility(&v), KTRUE);
  EXPECT_EQ(UDF_GetFreeBlocksOfLogicalVolume(&v), freeBlocks);
  for (auto &[path, data] : files) {
    std::vector<uint8_t> back;
    ASSERT_TRUE(ReadWhole(v, path, back, 65536)) << Utf8(path);
    EXPECT_EQ(back, data) << Utf8(path);
  }
}
