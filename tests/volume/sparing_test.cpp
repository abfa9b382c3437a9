// Packets relocated through the sparing table: a volume whose packets another system moved
// to spare packets is read, written, checked and repaired where the table says, and tables
// that would send I/O over the volume's own structures are refused.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "korva/check.h"
#include "korva/files.h"
#include "tests/support/sparing_image.h"
#include "tests/support/volume_fixture.h"

namespace korva {
namespace {

using test::kScribble;
using test::SpareEntry;

constexpr uint32_t kSectorBytes = 2048;
constexpr uint32_t kUnit = 32; // blocks per relocated packet (the sparable map's length)
// Spare packets between the two sparing tables of a 100 MiB image (tables at 320 and 1344).
constexpr uint32_t kSpareA = 384, kSpareB = 416, kSpareC = 448;

std::vector<uint8_t> Bytes(size_t n, uint32_t seed) {
  std::vector<uint8_t> d(n);
  uint32_t x = seed * 2654435761u + 7;
  for (auto &b : d) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<uint8_t>(x);
  }
  return d;
}

bool WriteAt(TUDFRewritableVolume &v, const char *path, uint64_t at, const std::vector<uint8_t> &d,
             uint32_t disposition = UDF_OPEN_EXISTING) {
  UDF_HANDLE h = UDF_CreateFile(&v, path, UDF_GENERIC_READ | UDF_GENERIC_WRITE, disposition, 0);
  if (h == UDF_INVALID_HANDLE) return false;
  uint32_t written = 0;
  const bool ok = UDF_SetFilePointer(&v, h, at) &&
                  UDF_WriteFile(&v, h, d.data(), uint32_t(d.size()), &written) &&
                  written == d.size();
  return UDF_CloseHandle(&v, h) && ok;
}

bool ReadAll(TUDFRewritableVolume &v, const char *path, std::vector<uint8_t> &out) {
  out.clear();
  UDF_HANDLE h = UDF_CreateFile(&v, path, UDF_GENERIC_READ, UDF_OPEN_EXISTING, 0);
  if (h == UDF_INVALID_HANDLE) return false;
  std::vector<uint8_t> buf(300000);
  uint32_t got = 0;
  bool ok = true;
  do {
    ok = UDF_ReadFile(&v, h, buf.data(), uint32_t(buf.size()), &got);
    out.insert(out.end(), buf.begin(), buf.begin() + (ok ? got : 0));
  } while (ok && got > 0);
  UDF_CloseHandle(&v, h);
  return ok;
}

std::vector<std::string> Names(TUDFRewritableVolume &v, const char *pattern) {
  std::vector<std::string> out;
  _UDF_FIND_DATAA d;
  UDF_HANDLE h = UDF_FindFirstFile(&v, pattern, &d);
  if (h == UDF_INVALID_HANDLE) return out;
  do
    out.push_back(d.cFileName);
  while (UDF_FindNextFile(&v, h, &d));
  UDF_FindClose(&v, h);
  return out;
}

// A formatted image holding /D/f.bin, dismounted, whose first packet (bitmap, file set
// descriptor, root, /D and the file's entry) and one packet of the file's data were moved to
// spare packets, their originals scribbled over.
class Relocated : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(img_.Ok());
    TUDFRewritableVolume &v = img_.Volume();
    ASSERT_TRUE(UDF_CreateDirectory(&v, "\\", "D"));
    data_ = Bytes(400 * kSectorBytes, 1);
    ASSERT_TRUE(WriteAt(v, "\\D\\f.bin", 0, data_, UDF_CREATE_NEW));
    g_ = test::GeometryOf(v);
    ASSERT_TRUE(UDF_DismountVolume(&v));
    first_ = FindDataBlock();
    ASSERT_NE(first_, UINT32_MAX);
    ASSERT_LT(first_, kUnit) << "the file's entry should share the first packet";
    dataPacket_ = (first_ + 150) / kUnit * kUnit;
    ASSERT_TRUE(test::RelocateSectors(Path(), g_.PartitionStart, kSpareA, kUnit));
    ASSERT_TRUE(test::RelocateSectors(Path(), g_.PartitionStart + dataPacket_, kSpareB, kUnit));
  }

  const std::string &Path() const { return img_.ImagePath(); }
  TUDFRewritableVolume &V() { return img_.Volume(); }

  // Entries as UDF sorts them: relocations, then a defective and a free spare packet.
  std::vector<SpareEntry> Entries() const {
    return {{0, kSpareA}, {dataPacket_, kSpareB}, {0xFFFFFFF0u, kSpareC}, {0xFFFFFFFFu, 1376}};
  }

  bool Mount() { return UDF_MountImage(&V(), Path().c_str(), 0) && V().Compatible; }

  // The partition block holding the file's first bytes, found on the image itself.
  uint32_t FindDataBlock() {
    std::vector<uint8_t> s;
    for (uint32_t b = 0; b < 2 * kUnit; ++b)
      if (test::RawRead(Path(), g_.PartitionStart + b, 1, s) &&
          std::memcmp(s.data(), data_.data(), kSectorBytes) == 0)
        return b;
    return UINT32_MAX;
  }

  bool OriginalsUntouched() {
    return test::AllBytes(Path(), g_.PartitionStart, kUnit, kScribble) &&
           test::AllBytes(Path(), g_.PartitionStart + dataPacket_, kUnit, kScribble);
  }

  test::FormattedImage img_{100};
  test::SparingGeometry g_;
  std::vector<uint8_t> data_;
  uint32_t first_ = 0, dataPacket_ = 0;
};

TEST_F(Relocated, TreeAndDataAreReadFromTheSparePackets) {
  ASSERT_TRUE(test::InstallSparingTables(Path(), g_, Entries()));
  ASSERT_TRUE(Mount()) << "error " << V().LastError;
  EXPECT_EQ(Names(V(), "\\D\\*"), std::vector<std::string>{"f.bin"});
  std::vector<uint8_t> got;
  ASSERT_TRUE(ReadAll(V(), "\\D\\f.bin", got));
  EXPECT_TRUE(got == data_);
  EXPECT_EQ(UDF_CheckVolume(&V(), nullptr, nullptr), KTRUE) << "error " << V().LastError;
  EXPECT_TRUE(UDF_DismountVolume(&V()));
  EXPECT_TRUE(OriginalsUntouched());
}

TEST_F(Relocated, WritesGoToTheSparePacketsAndLeaveTheOriginalsAlone) {
  ASSERT_TRUE(test::InstallSparingTables(Path(), g_, Entries()));
  ASSERT_TRUE(Mount()) << "error " << V().LastError;
  // Overwrite bytes inside the relocated data packet, append, and add a file.
  const uint64_t at = uint64_t(dataPacket_ - first_) * kSectorBytes + 10;
  const std::vector<uint8_t> patch(100, 0x5A), tail = Bytes(5000, 2), small = Bytes(3000, 3);
  ASSERT_TRUE(WriteAt(V(), "\\D\\f.bin", at, patch));
  ASSERT_TRUE(WriteAt(V(), "\\D\\f.bin", data_.size(), tail));
  ASSERT_TRUE(WriteAt(V(), "\\D\\g.bin", 0, small, UDF_CREATE_NEW));
  ASSERT_TRUE(UDF_DismountVolume(&V()));
  EXPECT_TRUE(OriginalsUntouched());
  std::vector<uint8_t> spare;
  ASSERT_TRUE(test::RawRead(Path(), kSpareB, 1, spare));
  EXPECT_TRUE(std::equal(patch.begin(), patch.end(), spare.begin() + 10));

  std::vector<uint8_t> expect = data_;
  std::copy(patch.begin(), patch.end(), expect.begin() + at);
  expect.insert(expect.end(), tail.begin(), tail.end());
  ASSERT_TRUE(Mount()) << "error " << V().LastError;
  std::vector<uint8_t> got;
  ASSERT_TRUE(ReadAll(V(), "\\D\\f.bin", got));
  EXPECT_TRUE(got == expect);
  ASSERT_TRUE(ReadAll(V(), "\\D\\g.bin", got));
  EXPECT_TRUE(got == small);
  EXPECT_EQ(UDF_CheckVolume(&V(), nullptr, nullptr), KTRUE) << "error " << V().LastError;
}

TEST_F(Relocated, EitherTableCopyServesAndTheLaterOneWins) {
  ASSERT_TRUE(test::InstallSparingTables(Path(), g_, Entries()));
  // The first copy fails its CRC: the second one is used.
  std::vector<uint8_t> t;
  ASSERT_TRUE(test::RawRead(Path(), g_.Table1, 1, t));
  t[60] ^= 0xFF;
  ASSERT_TRUE(test::RawWrite(Path(), g_.Table1, t));
  ASSERT_TRUE(Mount()) << "error " << V().LastError;
  std::vector<uint8_t> got;
  ASSERT_TRUE(ReadAll(V(), "\\D\\f.bin", got));
  EXPECT_TRUE(got == data_);
  ASSERT_TRUE(UDF_DismountVolume(&V()));

  // Both valid, the second updated later (a writer stopped between the two copies).
  const std::vector<SpareEntry> none = {
      {0xFFFFFFFFu, kSpareA}, {0xFFFFFFFFu, kSpareB}, {0xFFFFFFFFu, kSpareC}, {0xFFFFFFFFu, 1376}};
  ASSERT_TRUE(test::WriteSparingTable(Path(), g_.Table1, none, 4));
  ASSERT_TRUE(test::WriteSparingTable(Path(), g_.Table2, Entries(), 5));
  ASSERT_TRUE(Mount()) << "error " << V().LastError;
  ASSERT_TRUE(ReadAll(V(), "\\D\\f.bin", got));
  EXPECT_TRUE(got == data_);
  ASSERT_TRUE(UDF_DismountVolume(&V()));

  // Neither copy is valid: not usable, and nothing is written.
  ASSERT_TRUE(test::RawWrite(Path(), g_.Table2, t));
  ASSERT_TRUE(test::RawRead(Path(), g_.Table1, 1, t));
  t[60] ^= 0xFF;
  ASSERT_TRUE(test::RawWrite(Path(), g_.Table1, t));
  EXPECT_FALSE(Mount());
  UDF_DismountVolume(&V());
  EXPECT_TRUE(OriginalsUntouched());
}

TEST_F(Relocated, ATableSpanningSeveralSectorsIsReadWhole) {
  // 300 entries take two sectors; the relocations sit in the second.
  std::vector<SpareEntry> entries(280, SpareEntry{0xFFFFFFF0u, 1376});
  entries.push_back({0, kSpareA});
  entries.push_back({dataPacket_, kSpareB});
  entries.resize(300, SpareEntry{0xFFFFFFFFu, 1376});
  ASSERT_TRUE(test::InstallSparingTables(Path(), g_, entries));
  ASSERT_TRUE(Mount()) << "error " << V().LastError;
  EXPECT_EQ(V().SparingEntryCount, 300);
  std::vector<uint8_t> got;
  ASSERT_TRUE(ReadAll(V(), "\\D\\f.bin", got));
  EXPECT_TRUE(got == data_);
  ASSERT_TRUE(UDF_DismountVolume(&V()));

  // The descriptors say the table is one entry shorter than it counts: refused.
  ASSERT_TRUE(test::SetSparingTableSize(Path(), g_, 299));
  EXPECT_FALSE(Mount());
  UDF_DismountVolume(&V());
  EXPECT_TRUE(OriginalsUntouched());
}

TEST_F(Relocated, CheckAndRepairWalkThroughTheRelocation) {
  ASSERT_TRUE(test::InstallSparingTables(Path(), g_, Entries()));
  // A damaged integrity descriptor stops the mount before it reaches the sparing table.
  const uint32_t integrity = 304;
  std::vector<uint8_t> d;
  ASSERT_TRUE(test::RawRead(Path(), integrity, 1, d));
  ASSERT_EQ(d[0], 9);
  d[80] ^= 0x01;
  ASSERT_TRUE(test::RawWrite(Path(), integrity, d));
  EXPECT_FALSE(Mount());

  std::vector<int32_t> kinds;
  auto note = [](void *c, const KorvaFinding *f) {
    static_cast<std::vector<int32_t> *>(c)->push_back(f->Kind);
  };
  EXPECT_EQ(UDF_CheckVolume(&V(), note, &kinds), KFALSE);
  EXPECT_EQ(V().LastError, uint32_t(KORVA_E_CHECK_FINDINGS));
  for (int32_t k : kinds)
    EXPECT_NE(k, KORVA_FINDING_VOLUME_STRUCTURE) << "the walk did not read the spare packets";
  ASSERT_EQ(UDF_RepairVolume(&V(), nullptr, nullptr), KTRUE) << "error " << V().LastError;
  std::vector<uint8_t> got;
  ASSERT_TRUE(ReadAll(V(), "\\D\\f.bin", got));
  EXPECT_TRUE(got == data_);
  ASSERT_TRUE(UDF_DismountVolume(&V()));
  EXPECT_TRUE(OriginalsUntouched());
  ASSERT_TRUE(Mount());
  EXPECT_EQ(UDF_CheckVolume(&V(), nullptr, nullptr), KTRUE) << "error " << V().LastError;
}

TEST_F(Relocated, RelocationsOntoTheVolumesOwnStructuresAreDamage) {
  const uint32_t ps = g_.PartitionStart;
  struct Case {
    const char *what;
    std::vector<SpareEntry> entries;
  };
  const std::vector<Case> cases = {
      {"into the partition", {{0, ps + 64}}},
      {"past the medium", {{0, g_.TotalSectors - 16}}},
      {"over the main descriptor sequence", {{0, g_.MainVDS}}},
      {"over the first sparing table", {{0, g_.Table1}}},
      {"over the recognition sequence", {{0, 0}}},
      {"to a spare packet off the packet grid", {{0, kSpareA + 1}}},
      {"two packets onto one spare", {{0, kSpareA}, {dataPacket_, kSpareA + 16}}},
      {"one packet twice", {{0, kSpareA}, {0, kSpareB}}},
      {"a packet starting mid-packet", {{1, kSpareA}}},
      {"a packet outside the partition", {{g_.PartitionLength, kSpareA}}},
  };
  std::vector<uint8_t> before, after;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(test::InstallSparingTables(Path(), g_, c.entries));
    ASSERT_TRUE(test::RawRead(Path(), 0, ps + 2 * kUnit, before));
    EXPECT_FALSE(Mount());
    EXPECT_EQ(V().LastError, uint32_t(KORVA_E_DAMAGED));
    EXPECT_EQ(UDF_RepairVolume(&V(), nullptr, nullptr), KFALSE);
    UDF_DismountVolume(&V());
    ASSERT_TRUE(test::RawRead(Path(), 0, ps + 2 * kUnit, after));
    EXPECT_TRUE(before == after) << "the medium was written";
  }
}

} // namespace
} // namespace korva
