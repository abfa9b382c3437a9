// The cost of the first delete after a mount, which walks the whole tree once to find blocks
// claimed by two entries, against the second delete of the same mount, which does not. The
// volume is a 256 MiB image holding 2,000 files of 1-3 KiB in 100 directories; each
// iteration mounts, deletes two files, and dismounts. The image is in the page cache after
// the first iteration, so the figures are the walk's cost, not the disk's.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "korva/files.h"
#include "korva/volume.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kDirs = 100;
constexpr int kFilesPerDir = 20;

double Seconds(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

void Done(void *, void *, int32_t) {}

TUDFRewritableVolume *NewRecord() {
  return static_cast<TUDFRewritableVolume *>(std::calloc(1, sizeof(TUDFRewritableVolume)));
}

void FreeRecord(TUDFRewritableVolume *v) {
  UDF_ReleaseVolume(v);
  std::free(v);
}

std::string FilePath(int d, int f) {
  return "\\d" + std::to_string(d) + "\\file" + std::to_string(f) + ".dat";
}

bool BuildImage(const std::string &path) {
  unlink(path.c_str());
  TUDFRewritableVolume *v = NewRecord();
  bool ok = UDF_MountImage(v, path.c_str(), 256) && UDF_FormatVolumeW(v, u"WALK", 1, Done, nullptr);
  UDF_WaitForBackgroundOperation(v);
  ok = ok && UDF_GetVolumeCompatibility(v);
  std::vector<char> data(4096, 'x');
  for (int d = 0; ok && d < kDirs; ++d) {
    ok = UDF_CreateDirectory(v, "\\", ("d" + std::to_string(d)).c_str());
    for (int f = 0; ok && f < kFilesPerDir; ++f) {
      UDF_HANDLE h =
          UDF_CreateFile(v, FilePath(d, f).c_str(), UDF_GENERIC_WRITE, UDF_CREATE_NEW, 0);
      uint32_t n = 0;
      ok = h != UDF_INVALID_HANDLE &&
           UDF_WriteFile(v, h, data.data(), uint32_t(1024 + 97 * f), &n) && UDF_CloseHandle(v, h);
    }
  }
  ok = UDF_DismountVolume(v) && ok;
  FreeRecord(v);
  return ok;
}

void BM_FirstDeleteAfterMount(benchmark::State &state) {
  const char *base = std::getenv("TMPDIR");
  const std::string path = std::string(base ? base : "/tmp") + "/korva-delete-walk.iso";
  if (!BuildImage(path)) {
    state.SkipWithError("could not build the image");
    unlink(path.c_str());
    return;
  }
  double mountTotal = 0, firstTotal = 0, secondTotal = 0;
  int runs = 0;
  for (auto _ : state) {
    TUDFRewritableVolume *v = NewRecord();
    const auto t0 = Clock::now();
    const bool mounted = UDF_MountImage(v, path.c_str(), 0) && UDF_GetVolumeCompatibility(v);
    const auto t1 = Clock::now();
    const bool first =
        mounted && UDF_DeleteFile(v, FilePath(runs % kDirs, 2 * (runs / kDirs)).c_str());
    const auto t2 = Clock::now();
    const bool second =
        first && UDF_DeleteFile(v, FilePath(runs % kDirs, 2 * (runs / kDirs) + 1).c_str());
    const auto t3 = Clock::now();
    const bool closed = UDF_DismountVolume(v);
    FreeRecord(v);
    if (!second || !closed) {
      state.SkipWithError("a delete failed");
      break;
    }
    mountTotal += Seconds(t0, t1);
    firstTotal += Seconds(t1, t2);
    secondTotal += Seconds(t2, t3);
    ++runs;
    state.SetIterationTime(Seconds(t1, t2));
  }
  if (runs) {
    state.counters["mount_ms"] = 1e3 * mountTotal / runs;
    state.counters["first_delete_ms"] = 1e3 * firstTotal / runs;
    state.counters["second_delete_ms"] = 1e3 * secondTotal / runs;
  }
  unlink(path.c_str());
}
BENCHMARK(BM_FirstDeleteAfterMount)->Iterations(10)->UseManualTime()->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
