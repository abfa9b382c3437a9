// Creating and formatting a single-layer DVD sized image (4482 MiB), and mounting and
// dismounting it, against dd writing the same number of zero bytes to the same file system.
//
// Run: bench_volume_format [--benchmark_filter=...]; the directory is $KORVA_BENCH_DIR, else
// $TMPDIR, else /tmp. Formatting writes a few hundred KiB of metadata and reserves the rest,
// so create + format should be far below the time dd needs to write the zeros.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "korva/volume.h"

namespace {

constexpr uint16_t kDvdMiB = 4482;

struct Record {
  TUDFRewritableVolume *v = static_cast<TUDFRewritableVolume *>(std::calloc(1, sizeof(*v)));
  ~Record() {
    UDF_ReleaseVolume(v);
    std::free(v);
  }
};

// Formats and waits for the completion handler; true when the format succeeded.
bool FormatAndWait(TUDFRewritableVolume *v) {
  int32_t failed = -1;
  auto done = [](void *context, void *, int32_t f) { *static_cast<int32_t *>(context) = f; };
  if (!UDF_FormatVolumeW(v, u"BENCH", 0, done, &failed)) return false;
  UDF_WaitForBackgroundOperation(v);
  return failed == 0;
}

std::string BenchDir() {
  for (const char *name : {"KORVA_BENCH_DIR", "TMPDIR"}) {
    const char *value = std::getenv(name);
    if (value && *value) return value;
  }
  return "/tmp";
}

std::string ImagePath(const char *name) {
  return BenchDir() + "/korva-bench-" + std::to_string(::getpid()) + "-" + name;
}

void CreateAndFormat(benchmark::State &state) {
  const std::string path = ImagePath("format.img");
  for (auto _ : state) {
    ::unlink(path.c_str());
    Record r;
    const auto start = std::chrono::steady_clock::now();
    const bool mounted = UDF_MountImage(r.v, path.c_str(), kDvdMiB) != 0;
    const bool formatted = mounted && FormatAndWait(r.v);
    const auto end = std::chrono::steady_clock::now();
    const bool closed = UDF_DismountVolume(r.v) != 0;
    if (!mounted || !formatted || !closed) {
      state.SkipWithError("create or format failed");
      break;
    }
    state.SetIterationTime(std::chrono::duration<double>(end - start).count());
  }
  ::unlink(path.c_str());
}
BENCHMARK(CreateAndFormat)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

void MountAndDismount(benchmark::State &state) {
  const std::string path = ImagePath("mount.img");
  ::unlink(path.c_str());
  {
    Record setup;
    if (!UDF_MountImage(setup.v, path.c_str(), kDvdMiB) || !FormatAndWait(setup.v) ||
        !UDF_DismountVolume(setup.v)) {
      state.SkipWithError("setup failed");
      return;
    }
  }
  Record r;
  for (auto _ : state) {
    const bool ok =
        UDF_MountImage(r.v, path.c_str(), 0) && r.v->Compatible && UDF_DismountVolume(r.v);
    if (!ok) {
      state.SkipWithError("mount or dismount failed");
      break;
    }
  }
  ::unlink(path.c_str());
}
BENCHMARK(MountAndDismount)->Unit(benchmark::kMillisecond);

// The baseline: dd writing the image's size in zeros into the page cache.
void DdZeros(benchmark::State &state) {
  const std::string path = ImagePath("dd.img");
  const std::string command =
      "dd if=/dev/zero of='" + path + "' bs=1M count=" + std::to_string(kDvdMiB) + " status=none";
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    const int rc = std::system(command.c_str());
    const auto end = std::chrono::steady_clock::now();
    ::unlink(path.c_str());
    if (rc != 0) {
      state.SkipWithError("dd failed");
      break;
    }
    state.SetIterationTime(std::chrono::duration<double>(end - start).count());
  }
}
BENCHMARK(DdZeros)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);

} // namespace

BENCHMARK_MAIN();
