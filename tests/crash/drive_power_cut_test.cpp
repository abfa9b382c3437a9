// Power cuts on a virtual CD-RW whose cache puts packets on the disc in any order until
// SYNCHRONIZE CACHE: whatever subset of the writes since the last one survives (the last
// kept one torn, perhaps), the volume repairs, every file written before the last sync
// point is intact, and a file written after it is absent or holds a prefix of its bytes.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "korva/check.h"
#include "korva/files.h"
#include "tests/support/volume_fixture.h"
#include "vdrive/power_cut.h"
#include "vdrive/vdrive_platform.h"
#include "volume/engine.h"

namespace korva {
namespace {

using vdrive::VDrivePlatform;
using vdrive::VirtualDrive;

std::vector<uint8_t> Content(int file) {
  std::vector<uint8_t> data(size_t(1000 + (file * 7919) % 70000));
  for (size_t i = 0; i < data.size(); ++i)
    data[i] = static_cast<uint8_t>(file * 31 + i / 2048);
  return data;
}

std::u16string NameOf(int file) {
  return u"\\f" + std::u16string(1, char16_t(u'a' + file / 26)) +
         std::u16string(1, char16_t(u'a' + file % 26));
}

bool Write(TUDFRewritableVolume &v, int file) {
  const UDF_HANDLE h =
      UDF_CreateFileW(&v, NameOf(file).c_str(), UDF_GENERIC_WRITE, UDF_CREATE_NEW, 0);
  if (h == UDF_INVALID_HANDLE) return false;
  const std::vector<uint8_t> data = Content(file);
  uint32_t done = 0;
  const bool ok = UDF_WriteFile(&v, h, data.data(), uint32_t(data.size()), &done);
  return UDF_CloseHandle(&v, h) && ok && done == data.size();
}

// The file's bytes, or nothing when it is absent.
std::optional<std::vector<uint8_t>> Read(TUDFRewritableVolume &v, int file) {
  const UDF_HANDLE h =
      UDF_CreateFileW(&v, NameOf(file).c_str(), UDF_GENERIC_READ, UDF_OPEN_EXISTING, 0);
  if (h == UDF_INVALID_HANDLE) return std::nullopt;
  std::vector<uint8_t> data(80000);
  uint32_t got = 0;
  EXPECT_EQ(UDF_ReadFile(&v, h, data.data(), uint32_t(data.size()), &got), KTRUE);
  UDF_CloseHandle(&v, h);
  data.resize(got);
  return data;
}

struct Cut {
  std::string name;
  std::function<bool(size_t i, size_t n)> keep;
  bool torn = false;
};

class DrivePowerCut : public ::testing::Test {
protected:
  void SetUp() override {
    std::string error;
    platform_ = VDrivePlatform::FromConfig("cd-rw/formatted:" + dir_.File("disc"), &error);
    ASSERT_TRUE(platform_) << error;
    platform_->SetRealSleep(false);
    drive_ = platform_->Drive('D');
  }
  test::VolumePtr Open() {
    test::VolumePtr v = test::NewVolume();
    v->Device.Platform = platform_.get();
    EXPECT_EQ(InitializeASPI(v.get(), KFALSE, "", ""), KTRUE);
    EXPECT_EQ(SelectDevice(v.get(), 0), KTRUE);
    return v;
  }
  // Writes `files` files, a sync point after every `syncEvery`, then cuts the power; returns
  // how many were synced. The record is let go of as a crash would: nothing more lands.
  int RunAndCut(const Cut &cut, int files, int syncEvery, uint32_t seed) {
    test::VolumePtr v = Open();
    EXPECT_EQ(UDF_MountVolume(v.get()), KTRUE);
    EXPECT_EQ(test::FormatAndWait(*v, u"CUT", true), 0);
    EXPECT_EQ(UDF_DismountVolume(v.get()), KTRUE);
    v->WriteBehind = 1;
    v->PacketCacheBytes = 1; // a few packets: memory pressure writes in the middle of files
    EXPECT_EQ(UDF_MountVolume(v.get()), KTRUE);
    drive_->SetOutOfOrderPowerCuts(true);
    int synced = 0;
    for (int f = 0; f < files; ++f) {
      EXPECT_TRUE(Write(*v, f)) << f;
      if ((f + 1) % syncEvery == 0 && f + 1 < files) {
        EXPECT_EQ(UDF_FlushVolume(v.get()), KTRUE);
        synced = f + 1;
      }
    }
    const size_t n = drive_->UnsyncedWriteCount();
    EXPECT_GT(n, 1u) << "nothing to cut";
    std::mt19937 rng(seed);
    std::vector<bool> kept(n);
    for (size_t i = 0; i < n; ++i)
      kept[i] = cut.keep(i, n) && (cut.name.rfind("random", 0) != 0 || rng() % 2);
    EXPECT_TRUE(drive_->CutPower([&](size_t i) { return kept[i]; }, cut.torn ? 5 : 0));
    drive_->SetOutOfOrderPowerCuts(false);
    drive_->FailNextCommands(0x2A, 1u << 30);
    drive_->FailNextCommands(0x35, 1u << 30);
    v.reset();
    drive_->ClearFaults();
    return synced;
  }
  void Verify(const std::string &name, int files, int synced) {
    test::VolumePtr v = Open();
    UDF_MountVolume(v.get()); // left open: mounted, not compatible until repaired
    ASSERT_EQ(UDF_RepairVolume(v.get(), nullptr, nullptr), KTRUE) << name;
    for (int f = 0; f < files; ++f) {
      const std::optional<std::vector<uint8_t>> got = Read(*v, f);
      const std::vector<uint8_t> want = Content(f);
      if (f < synced) {
        EXPECT_TRUE(got && *got == want) << name << ": synced file " << f << " lost";
      } else if (got) {
        EXPECT_TRUE(got->size() <= want.size() &&
                    std::equal(got->begin(), got->end(), want.begin()))
            << name << ": file " << f << " written after the sync point holds other bytes";
      }
    }
    EXPECT_EQ(UDF_DismountVolume(v.get()), KTRUE);
  }

  test::TempDir dir_;
  std::unique_ptr<VDrivePlatform> platform_;
  VirtualDrive *drive_ = nullptr;
};

TEST_F(DrivePowerCut, SyncedFilesSurviveAnySubsetOfTheUnsyncedWrites) {
  const std::vector<Cut> cuts = {
      {"all lost", [](size_t, size_t) { return false; }},
      {"only the last kept", [](size_t i, size_t n) { return i + 1 == n; }},
      {"only the first lost", [](size_t i, size_t) { return i != 0; }},
      {"only the last kept, torn", [](size_t i, size_t n) { return i + 1 == n; }, true},
      {"random subset", [](size_t, size_t) { return true; }},
      {"random subset, the last torn", [](size_t, size_t) { return true; }, true},
  };
  uint32_t seed = 1;
  for (const Cut &cut : cuts)
    for (int files : {14, 19, 24}) {
      const int synced = RunAndCut(cut, files, 5, seed++);
      ASSERT_FALSE(HasFailure()) << cut.name;
      Verify(cut.name, files, synced);
      ASSERT_FALSE(HasFailure()) << cut.name;
    }
}

// The mode itself: what was synced stays, of the rest only what the cut keeps lands, and a
// torn write lands only its first sectors.
TEST(UnsyncedWrites, ACutKeepsTheSyncedStateAndThePickedWrites) {
  test::TempDir dir;
  std::string error;
  auto medium =
      vdrive::MediumFile::Open(dir.File("m"), vdrive::MediumKind::kDvdRam, true, &error);
  ASSERT_TRUE(medium) << error;
  auto packet = [](uint8_t b) { return std::vector<uint8_t>(4 * 2048, b); };
  auto at = [&](uint32_t lba) {
    std::vector<uint8_t> s(2048);
    EXPECT_TRUE(medium->Read(lba, 1, s.data()));
    return s[0];
  };
  vdrive::UnsyncedWrites w;
  auto write = [&](uint32_t lba, uint8_t b) {
    const std::vector<uint8_t> d = packet(b);
    ASSERT_TRUE(w.Note(*medium, lba, 4, d.data()));
    ASSERT_TRUE(medium->Write(lba, 4, d.data()));
  };
  write(0, 1);
  w.Synced();
  write(0, 2);  // 0: lost below
  write(8, 3);  // 1: kept
  write(16, 4); // 2: lost
  write(8, 5);  // 3: kept last, torn after 2 sectors
  ASSERT_TRUE(w.Cut(*medium, [](size_t i) { return i == 1 || i == 3; }, 2));
  EXPECT_EQ(at(0), 1);
  EXPECT_EQ(at(3), 1);
  EXPECT_EQ(at(8), 5);
  EXPECT_EQ(at(9), 5);
  EXPECT_EQ(at(10), 3);
  EXPECT_EQ(at(16), 0);
  EXPECT_EQ(w.Count(), 0u);
}

} // namespace
} // namespace korva
