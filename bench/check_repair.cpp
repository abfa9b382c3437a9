// Check and repair of a DVD-size image (4482 MiB, sparse) holding 2,000 files in 100
// directories, whose writer ended without a dismount (left open, bitmap stale). Each
// iteration puts the crashed state back (the integrity and bitmap sectors as the crash left
// them), mounts, and times the check and then the repair on their own. The image is in the
// page cache after the first iteration, so the figures are the walk's cost, not the disk's.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "korva/check.h"
#include "korva/files.h"
#include "korva/volume.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint64_t kImageBytes = 4482ull << 20;
constexpr int kDirs = 100;
constexpr int kFilesPerDir = 20;

double Seconds(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

void Done(void *, void *, int32_t) {}

TUDFRewritableVolume *NewRecord() {
  return static_cast<TUDFRewritableVolume *>(std::calloc(1, sizeof(TUDFRewritableVolume)));
}

// Sectors saved from the image and written back, to restore one state of it.
struct Snapshot {
  std::vector<std::pair<uint64_t, std::vector<char>>> pieces;
  void Save(int fd, uint64_t sector, uint32_t count) {
    std::vector<char> data(size_t(count) * 2048);
    if (pread(fd, data.data(), data.size(), off_t(sector * 2048)) == ssize_t(data.size()))
      pieces.emplace_back(sector, std::move(data));
  }
  bool Restore(int fd) const {
    for (const auto &[sector, data] : pieces)
      if (pwrite(fd, data.data(), data.size(), off_t(sector * 2048)) != ssize_t(data.size()))
        return false;
    return true;
  }
};

// Builds the crashed volume and returns the sectors that a repair changes, as the crash
// left them. Empty path on failure.
bool BuildCrashedImage(const std::string &path, Snapshot &crashed) {
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
  if (fd < 0 || ftruncate(fd, off_t(kImageBytes)) != 0) return false;
  TUDFRewritableVolume *v = NewRecord();
  bool ok = UDF_MountImage(v, path.c_str(), 0) && UDF_FormatVolumeW(v, u"DVD", 1, Done, nullptr);
  UDF_WaitForBackgroundOperation(v);
  ok = ok && UDF_DismountVolume(v) && UDF_MountImage(v, path.c_str(), 0) &&
       UDF_GetVolumeCompatibility(v);
  std::vector<char> data(4096, 'x');
  for (int d = 0; ok && d < kDirs; ++d) {
    const std::string dir = "d" + std::to_string(d);
    ok = UDF_CreateDirectory(v, "\\", dir.c_str());
    for (int f = 0; ok && f < kFilesPerDir; ++f) {
      const std::string file = "\\" + dir + "\\file" + std::to_string(f) + ".dat";
      UDF_HANDLE h = UDF_CreateFile(v, file.c_str(), UDF_GENERIC_WRITE, UDF_CREATE_NEW, 0);
      uint32_t n = 0;
      ok = h != UDF_INVALID_HANDLE &&
           UDF_WriteFile(v, h, data.data(), uint32_t(1024 + 97 * f), &n) && UDF_CloseHandle(v, h);
    }
  }
  if (ok) {
    crashed.Save(fd, v->IntegritySector - v->IntegritySector % 16, 16);
    const uint32_t bitmapSectors = uint32_t((v->PartitionLength / 8 + 24 + 2047) / 2048) + 1;
    crashed.Save(fd, v->SpaceBitmapSector, bitmapSectors);
  }
  UDF_ReleaseVolume(v); // the crash: nothing more reaches the image
  std::free(v);
  close(fd);
  return ok;
}

void BM_CheckAndRepairDvdImage(benchmark::State &state) {
  const char *base = std::getenv("TMPDIR");
  const std::string path = std::string(base ? base : "/tmp") + "/korva-check-bench.iso";
  Snapshot crashed;
  if (!BuildCrashedImage(path, crashed)) {
    state.SkipWithError("could not build the image");
    unlink(path.c_str());
    return;
  }
  double checkTotal = 0, repairTotal = 0, mountTotal = 0;
  int runs = 0;
  size_t findings = 0;
  for (auto _ : state) {
    const int fd = open(path.c_str(), O_RDWR);
    const bool restored = fd >= 0 && crashed.Restore(fd);
    if (fd >= 0) close(fd);
    TUDFRewritableVolume *v = NewRecord();
    const auto t0 = Clock::now();
    UDF_MountImage(v, path.c_str(), 0);
    const auto t1 = Clock::now();
    const KBOOL clean = UDF_CheckVolume(
        v, [](void *c, const KorvaFinding *) { ++*static_cast<size_t *>(c); }, &findings);
    const auto t2 = Clock::now();
    const KBOOL repaired = UDF_RepairVolume(v, nullptr, nullptr);
    const auto t3 = Clock::now();
    if (!restored || clean || !repaired || UDF_GetFileCount(v) != kDirs * kFilesPerDir) {
      state.SkipWithError("the crashed volume did not check and repair as expected");
      UDF_ReleaseVolume(v);
      std::free(v);
      break;
    }
    UDF_DismountVolume(v);
    UDF_ReleaseVolume(v);
    std::free(v);
    mountTotal += Seconds(t0, t1);
    checkTotal += Seconds(t1, t2);
    repairTotal += Seconds(t2, t3);
    ++runs;
    state.SetIterationTime(Seconds(t1, t3));
  }
  if (runs) {
    state.counters["mount_s"] = mountTotal / runs;
    state.counters["check_s"] = checkTotal / runs;
    state.counters["repair_s"] = repairTotal / runs;
    state.counters["findings"] = double(findings) / runs;
  }
  unlink(path.c_str());
}
BENCHMARK(BM_CheckAndRepairDvdImage)->Iterations(5)->UseManualTime()->Unit(benchmark::kSecond);

} // namespace

BENCHMARK_MAIN();
