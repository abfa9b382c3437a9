// File-system throughput and scaling on image files, against baselines measured in the same
// run on the same file system:
//  - one 1 GiB file written in 1 MiB calls into a fresh 4482 MiB image and read back in
//    64 KiB calls, as ratios to dd (bs=32k) writing and reading the same bytes to and from
//    a plain file; peak resident memory of the process;
//  - 10,000 empty files created in one directory and then found, with the time per file of
//    the first and the last thousand of each;
//  - a tree of 2,000 files of 1 KiB to 1 MiB imported and read back.
#include <benchmark/benchmark.h>

#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "korva/files.h"
#include "korva/volume.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

std::string TempDir() {
  const char *base = std::getenv("TMPDIR");
  std::string t = std::string(base ? base : "/tmp") + "/korva-fs-bench-XXXXXX";
  std::vector<char> buf(t.begin(), t.end());
  buf.push_back(0);
  return mkdtemp(buf.data()) ? std::string(buf.data()) : std::string();
}

void Done(void *, void *, int32_t) {}

// A formatted, mounted image of the given size in dir.
TUDFRewritableVolume *NewImage(const std::string &path, uint16_t mib) {
  auto *v = static_cast<TUDFRewritableVolume *>(std::calloc(1, sizeof(TUDFRewritableVolume)));
  if (!UDF_MountImage(v, path.c_str(), mib) || !UDF_FormatVolumeW(v, u"BENCH", 1, Done, nullptr)) {
    UDF_ReleaseVolume(v);
    std::free(v);
    return nullptr;
  }
  UDF_WaitForBackgroundOperation(v);
  if (!UDF_GetVolumeCompatibility(v)) {
    UDF_ReleaseVolume(v);
    std::free(v);
    return nullptr;
  }
  return v;
}

void FreeImage(TUDFRewritableVolume *v, const std::string &path) {
  if (v) {
    UDF_DismountVolume(v);
    UDF_ReleaseVolume(v);
    std::free(v);
  }
  unlink(path.c_str());
}

double Shell(const std::string &cmd) {
  auto t0 = Clock::now();
  if (std::system(cmd.c_str()) != 0) return -1;
  return Seconds(t0, Clock::now());
}

long PeakRssKiB() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return ru.ru_maxrss;
}

void BM_LargeFile(benchmark::State &state) {
  const std::string dir = TempDir();
  const uint64_t total = uint64_t(1) << 30;
  for (auto _ : state) {
    const std::string plain = dir + "/plain.bin", image = dir + "/volume.img";
    const double ddWrite = Shell("dd if=/dev/zero of=" + plain + " bs=32k count=32768 status=none");
    const double ddRead = Shell("dd if=" + plain + " of=/dev/null bs=32k status=none");
    unlink(plain.c_str());

    TUDFRewritableVolume *v = NewImage(image, 4482);
    if (!v) {
      state.SkipWithError("cannot create the image");
      break;
    }
    std::vector<uint8_t> buf(1 << 20, 0x5A);
    UDF_HANDLE h =
        UDF_CreateFileW(v, u"\\big.bin", UDF_GENERIC_WRITE | UDF_GENERIC_READ, UDF_CREATE_NEW, 0);
    auto t0 = Clock::now();
    bool ok = h != UDF_INVALID_HANDLE;
    for (uint64_t done = 0; ok && done < total; done += buf.size()) {
      uint32_t n = 0;
      ok = UDF_WriteFile(v, h, buf.data(), uint32_t(buf.size()), &n) && n == buf.size();
    }
    const double write = Seconds(t0, Clock::now());
    UDF_CloseHandle(v, h);
    h = UDF_CreateFileW(v, u"\\big.bin", UDF_GENERIC_READ, UDF_OPEN_EXISTING, 0);
    std::vector<uint8_t> in(64 << 10);
    uint64_t got = 0;
    t0 = Clock::now();
    for (;;) {
      uint32_t n = 0;
      if (!UDF_ReadFile(v, h, in.data(), uint32_t(in.size()), &n) || n == 0) break;
      got += n;
    }
    const double read = Seconds(t0, Clock::now());
    UDF_CloseHandle(v, h);
    FreeImage(v, image);
    if (!ok || got != total) {
      state.SkipWithError("write or read failed");
      break;
    }
    state.SetIterationTime(write + read);
    state.counters["write_MiBps"] = 1024 / write;
    state.counters["read_MiBps"] = 1024 / read;
    state.counters["dd_write_MiBps"] = 1024 / ddWrite;
    state.counters["dd_read_MiBps"] = 1024 / ddRead;
    state.counters["write_vs_dd"] = ddWrite / write;
    state.counters["read_vs_dd"] = ddRead / read;
    state.counters["peak_rss_MiB"] = double(PeakRssKiB()) / 1024;
  }
  rmdir(dir.c_str());
}
BENCHMARK(BM_LargeFile)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

std::u16string Name(int i) {
  std::u16string n = u"\\many\\file";
  for (char c : std::to_string(i))
    n.push_back(char16_t(c));
  return n + u".txt";
}

void BM_ManyFilesInOneDirectory(benchmark::State &state) {
  const std::string dir = TempDir(), image = dir + "/volume.img";
  const int files = 10000;
  for (auto _ : state) {
    TUDFRewritableVolume *v = NewImage(image, 200);
    if (!v || !UDF_CreateDirectoryW(v, u"\\", u"many")) {
      state.SkipWithError("cannot create the image");
      FreeImage(v, image);
      break;
    }
    std::vector<double> createAt(files + 1), findAt(files + 1);
    auto t0 = Clock::now();
    for (int i = 0; i < files; ++i) {
      createAt[i] = Seconds(t0, Clock::now());
      UDF_HANDLE h = UDF_CreateFileW(v, Name(i).c_str(), UDF_GENERIC_WRITE, UDF_CREATE_NEW, 0);
      if (h == UDF_INVALID_HANDLE) {
        state.SkipWithError("create failed");
        break;
      }
      UDF_CloseHandle(v, h);
    }
    createAt[files] = Seconds(t0, Clock::now());
    _UDF_FIND_DATAW d;
    int found = 0;
    t0 = Clock::now();
    UDF_HANDLE f = UDF_FindFirstFileW(v, u"\\many\\*", &d);
    if (f != UDF_INVALID_HANDLE) {
      do {
        findAt[found++] = Seconds(t0, Clock::now());
      } while (found < files && UDF_FindNextFileW(v, f, &d));
      UDF_FindClose(v, f);
    }
    findAt[found] = Seconds(t0, Clock::now());
    FreeImage(v, image);
    if (found != files) {
      state.SkipWithError("find did not return every file");
      break;
    }
    state.SetIterationTime(createAt[files] + findAt[files]);
    state.counters["create_total_s"] = createAt[files];
    state.counters["create_first1000_us_per_file"] = createAt[1000] / 1000 * 1e6;
    state.counters["create_last1000_us_per_file"] =
        (createAt[files] - createAt[files - 1000]) / 1000 * 1e6;
    state.counters["find_total_s"] = findAt[files];
    state.counters["find_first1000_us_per_file"] = findAt[1000] / 1000 * 1e6;
    state.counters["find_last1000_us_per_file"] =
        (findAt[files] - findAt[files - 1000]) / 1000 * 1e6;
  }
  rmdir(dir.c_str());
}
BENCHMARK(BM_ManyFilesInOneDirectory)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

void BM_ImportTree(benchmark::State &state) {
  const std::string dir = TempDir(), image = dir + "/volume.img";
  const int files = 2000;
  for (auto _ : state) {
    TUDFRewritableVolume *v = NewImage(image, 2000);
    if (!v) {
      state.SkipWithError("cannot create the image");
      break;
    }
    // 1 KiB to 1 MiB, spread evenly in log scale, in 20 directories of 100 files.
    std::vector<uint32_t> sizes(files);
    uint64_t bytes = 0;
    uint32_t x = 12345;
    for (int i = 0; i < files; ++i) {
      x = x * 1103515245 + 12345;
      sizes[i] = 1024u << ((x >> 8) % 11);
      sizes[i] += (x >> 4) % sizes[i];
      if (sizes[i] > (1u << 20)) sizes[i] = 1u << 20;
      bytes += sizes[i];
    }
    std::vector<uint8_t> buf(1 << 20, 0xA5), in(1 << 20);
    auto path = [](int i) {
      std::u16string p = u"\\d";
      for (char c : std::to_string(i / 100))
        p.push_back(char16_t(c));
      p += u"\\f";
      for (char c : std::to_string(i))
        p.push_back(char16_t(c));
      return p;
    };
    bool ok = true;
    auto t0 = Clock::now();
    for (int d = 0; ok && d < files / 100; ++d) {
      std::u16string name = u"d";
      for (char c : std::to_string(d))
        name.push_back(char16_t(c));
      ok = UDF_CreateDirectoryW(v, u"\\", name.c_str());
    }
    for (int i = 0; ok && i < files; ++i) {
      UDF_HANDLE h = UDF_CreateFileW(v, path(i).c_str(), UDF_GENERIC_WRITE, UDF_CREATE_NEW, 0);
      uint32_t n = 0;
      ok = h != UDF_INVALID_HANDLE && UDF_WriteFile(v, h, buf.data(), sizes[i], &n);
      UDF_CloseHandle(v, h);
    }
    const double import = Seconds(t0, Clock::now());
    t0 = Clock::now();
    for (int i = 0; ok && i < files; ++i) {
      UDF_HANDLE h = UDF_CreateFileW(v, path(i).c_str(), UDF_GENERIC_READ, UDF_OPEN_EXISTING, 0);
      uint32_t n = 0;
      ok = h != UDF_INVALID_HANDLE && UDF_ReadFile(v, h, in.data(), uint32_t(in.size()), &n) &&
           n == sizes[i];
      UDF_CloseHandle(v, h);
    }
    const double readBack = Seconds(t0, Clock::now());
    FreeImage(v, image);
    if (!ok) {
      state.SkipWithError("import or read failed");
      break;
    }
    state.SetIterationTime(import + readBack);
    state.counters["files"] = files;
    state.counters["MiB"] = double(bytes) / (1 << 20);
    state.counters["import_s"] = import;
    state.counters["read_s"] = readBack;
    state.counters["import_MiBps"] = double(bytes) / (1 << 20) / import;
    state.counters["read_MiBps"] = double(bytes) / (1 << 20) / readBack;
  }
  rmdir(dir.c_str());
}
BENCHMARK(BM_ImportTree)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

} // namespace

BENCHMARK_MAIN();
