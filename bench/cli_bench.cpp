// The korva tool on one large directory: n small files (n = 5,000, 10,000, 20,000) copied
// into one directory of a fresh image with `put`, listed with `ls`, copied back out with
// `get` and deleted with `rm`, each command timed as a whole (process start to exit). The
// time per file should stay flat as n doubles: every command costs O(n) look-ups in total.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

std::string TempDir() {
  const char *base = std::getenv("TMPDIR");
  std::string t = std::string(base ? base : "/tmp") + "/korva-cli-bench-XXXXXX";
  return mkdtemp(t.data()) ? t : std::string();
}

// Runs korva with the arguments (quoted for the shell); seconds, or -1 when it failed.
double Korva(const std::string &args) {
  const std::string cmd = std::string(KORVA_BIN) + " " + args + " >/dev/null";
  const auto t0 = Clock::now();
  if (std::system(cmd.c_str()) != 0) return -1;
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

void BM_LargeDirectory(benchmark::State &state) {
  const int n = static_cast<int>(state.range(0));
  const std::string dir = TempDir();
  const std::string image = dir + "/big.img", src = dir + "/files", out = dir + "/out";
  fs::create_directory(src);
  std::vector<std::string> names;
  for (int i = 0; i < n; ++i) {
    names.push_back("file-" + std::to_string(100000 + i) + ".txt");
    std::ofstream(src + "/" + names.back()) << "small file " << i << "\n";
  }
  // Two blocks per file, the directory's own blocks and room to spare.
  const int mib = 32 + n * 2 * 2048 / (1 << 20) * 2;
  for (auto _ : state) {
    fs::remove(image);
    fs::remove_all(out);
    if (Korva("-i " + image + " format --size " + std::to_string(mib)) < 0) {
      state.SkipWithError("format failed");
      break;
    }
    const double put = Korva("-i " + image + " put " + src + " /");
    const double ls = Korva("-i " + image + " ls -l /files");
    const double get = Korva("-i " + image + " get /files " + out);
    std::string rmArgs;
    for (const auto &name : names)
      rmArgs += " /files/" + name;
    const double rm = Korva("-i " + image + " rm" + rmArgs);
    if (put < 0 || ls < 0 || get < 0 || rm < 0) {
      state.SkipWithError("a command failed");
      break;
    }
    state.SetIterationTime(put + get);
    state.counters["put_s"] = put;
    state.counters["ls_s"] = ls;
    state.counters["get_s"] = get;
    state.counters["rm_s"] = rm;
    state.counters["put_us_per_file"] = put * 1e6 / n;
    state.counters["get_us_per_file"] = get * 1e6 / n;
  }
  fs::remove_all(dir);
}
BENCHMARK(BM_LargeDirectory)
    ->Arg(5000)
    ->Arg(10000)
    ->Arg(20000)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

} // namespace

BENCHMARK_MAIN();
