// Helpers shared by the virtual drive tests: a scratch folder and CDB senders.
#ifndef KORVA_TESTS_VDRIVE_TEST_UTIL_H
#define KORVA_TESTS_VDRIVE_TEST_UTIL_H

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/volume_fixture.h"
#include "vdrive/vdrive.h"

namespace korva::vdrive::testing {

// A fresh folder in the system's temporary folder, removed with what it holds.
using ScratchDir = korva::test::TempDir;

// Sets a variable of the process environment, as the drive module reads it.
inline void SetEnvironment(const char *name, const std::string &value) {
#if defined(_WIN32)
  ::_putenv_s(name, value.c_str());
#else
  ::setenv(name, value.c_str(), 1);
#endif
}

inline Timings FastTimings() {
  Timings t;
  // Long enough that a loaded machine still sees several polls during each operation.
  t.format = std::chrono::milliseconds(400);
  t.blank = std::chrono::milliseconds(200);
  t.background = std::chrono::milliseconds(800);
  return t;
}

// Sends a command and keeps the last response.
struct Bench {
  VirtualDrive &drive;
  std::vector<uint8_t> data;
  CommandResult r;

  CommandResult In(std::initializer_list<int> cdb, uint32_t length) {
    std::vector<uint8_t> c(cdb.begin(), cdb.end());
    data.assign(length, 0xEE);
    r = drive.Execute(c.data(), c.size(), DataDirection::kIn, data.data(), length);
    return r;
  }
  CommandResult Out(std::initializer_list<int> cdb, const std::vector<uint8_t> &payload) {
    std::vector<uint8_t> c(cdb.begin(), cdb.end());
    data = payload;
    r = drive.Execute(c.data(), c.size(), DataDirection::kOut, data.data(),
                      static_cast<uint32_t>(data.size()));
    return r;
  }
  CommandResult None(std::initializer_list<int> cdb) {
    std::vector<uint8_t> c(cdb.begin(), cdb.end());
    r = drive.Execute(c.data(), c.size(), DataDirection::kNone, nullptr, 0);
    return r;
  }
  CommandResult Read(uint32_t lba, uint16_t count) {
    return In({0x28, 0, int(lba >> 24), int((lba >> 16) & 0xFF), int((lba >> 8) & 0xFF),
               int(lba & 0xFF), 0, count >> 8, count & 0xFF, 0},
              count * 2048u);
  }
  CommandResult Write(uint32_t lba, uint16_t count, uint8_t fill) {
    return Out({0x2A, 0, int(lba >> 24), int((lba >> 16) & 0xFF), int((lba >> 8) & 0xFF),
                int(lba & 0xFF), 0, count >> 8, count & 0xFF, 0},
               std::vector<uint8_t>(count * 2048u, fill));
  }
  // Takes the drive through becoming ready after a load, as a host does with TEST UNIT
  // READY; true once it answers GOOD.
  bool Settle() {
    for (int i = 0; i < 16; ++i)
      if (None({0x00, 0, 0, 0, 0, 0}).status == kStatusGood) return true;
    return false;
  }
  CommandResult DiscInfo() { return In({0x51, 0, 0, 0, 0, 0, 0, 0, 42, 0}, 42); }
  CommandResult TrackInfo() { return In({0x52, 1, 0, 0, 0, 1, 0, 0, 0x26, 0}, 38); }
  // Polls READ DISC INFORMATION while the drive reports NOT READY; the progress values seen.
  // Between polls the test waits 10 ms, or with a `step` moves the drive's clock on by it
  // instead, so that what the drive reports follows the test's steps, not the real clock.
  std::vector<uint16_t> WaitReady(std::chrono::milliseconds step = {}) {
    std::vector<uint16_t> progress;
    for (int i = 0; i < 400; ++i) {
      DiscInfo();
      if (r.status == kStatusGood || r.asc() != 0x04) break;
      progress.push_back(static_cast<uint16_t>((r.sense[16] << 8) | r.sense[17]));
      if (step.count() > 0) {
        drive.AdvanceClock(step);
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    }
    return progress;
  }
  uint32_t Be32(size_t at) const {
    return (uint32_t(data[at]) << 24) | (uint32_t(data[at + 1]) << 16) |
           (uint32_t(data[at + 2]) << 8) | data[at + 3];
  }
  uint16_t Be16(size_t at) const { return static_cast<uint16_t>((data[at] << 8) | data[at + 1]); }
};

// FORMAT UNIT parameter lists as Korva sends them.
inline std::vector<uint8_t> DvdPlusRwFormatList() {
  return {0x00, 0x82, 0x00, 0x08, 0xFF, 0xFF, 0xFF, 0xFF, 0x98, 0x00, 0x00, 0x00};
}
inline std::vector<uint8_t> CdRwFixedFormatList(uint32_t blocks) {
  return {0x00,
          0x02,
          0x00,
          0x08,
          0,
          0,
          0,
          0,
          0,
          0,
          0,
          0,
          uint8_t(blocks >> 24),
          uint8_t(blocks >> 16),
          uint8_t(blocks >> 8),
          uint8_t(blocks)};
}

} // namespace korva::vdrive::testing

#endif
