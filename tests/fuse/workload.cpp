// A seeded random workload run on a mounted volume and on a plain directory side by side:
// after every step both must have given the same result and hold the same entries touched,
// and every 250 steps (and at the end) the same whole tree.
// Usage: fuse_workload MOUNTED PLAIN SEED STEPS      (STEPS 0: only compare the trees)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

std::mt19937_64 rng;

// The path below root, as text (fs::relative would resolve links with a stat per component).
std::string Relative(const fs::path &p, const fs::path &root) {
  return p.string().substr(root.string().size() + 1);
}

size_t Pick(size_t n) {
  return std::uniform_int_distribution<size_t>(0, n - 1)(rng);
}

// Relative paths of every entry of a tree, directories with a trailing slash.
std::map<std::string, std::string> Snapshot(const fs::path &root) {
  std::map<std::string, std::string> out;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
       ++it) {
    const std::string rel = Relative(it->path(), root);
    if (it->is_directory()) {
      out[rel + "/"] = "";
    } else {
      std::ifstream in(it->path(), std::ios::binary);
      out[rel] = std::string(std::istreambuf_iterator<char>(in), {});
    }
  }
  return out;
}

bool SameTree(const fs::path &a, const fs::path &b) {
  const auto x = Snapshot(a), y = Snapshot(b);
  if (x == y) return true;
  for (auto &kv : x)
    if (!y.count(kv.first) || y.at(kv.first) != kv.second)
      std::cerr << "differs: " << kv.first << " (" << kv.second.size() << " bytes plain)\n";
  for (auto &kv : y)
    if (!x.count(kv.first)) std::cerr << "only in the mount: " << kv.first << "\n";
  return false;
}

// The entries the workload works with: directories (relative, "" = root) and files.
std::vector<std::string> Entries(const fs::path &root, bool dirs) {
  std::vector<std::string> out;
  if (dirs) out.push_back("");
  for (auto &e : fs::recursive_directory_iterator(root))
    if (e.is_directory() == dirs) out.push_back(Relative(e.path(), root));
  return out;
}

std::string NewName() {
  static const char *names[] = {"a",     "b",    "c",   "file.txt",
                                "Ärger", "日本", "x y", "long-name-0123456789"};
  return names[Pick(8)] + std::to_string(Pick(20));
}

std::string Join(const std::string &dir, const std::string &name) {
  return dir.empty() ? name : dir + "/" + name;
}

std::string Bytes(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; i += 8) {
    const uint64_t r = rng();
    std::memcpy(s.data() + i, &r, std::min<size_t>(8, n - i));
  }
  return s;
}

// Runs one operation on a root; returns 0 or the errno, and what a read returned.
struct Step {
  int kind;
  std::string a, b, data;
  uint64_t offset = 0;
  size_t length = 0;
};

int Run(const fs::path &root, const Step &s, std::string &readBack) {
  const std::string a = (root / s.a).string(), b = (root / s.b).string();
  auto result = [](int r) { return r < 0 ? errno : 0; };
  switch (s.kind) {
  case 0: { // create new with content
    int fd = open(a.c_str(), O_CREAT | O_EXCL | O_WRONLY, 0644);
    if (fd < 0) return errno;
    int e = write(fd, s.data.data(), s.data.size()) == ssize_t(s.data.size()) ? 0 : errno;
    return close(fd) < 0 ? errno : e;
  }
  case 1:   // write at an offset (past the end: a hole of zeros)
  case 2: { // append
    int fd = open(a.c_str(), O_WRONLY | (s.kind == 2 ? O_APPEND : 0));
    if (fd < 0) return errno;
    ssize_t n = s.kind == 2 ? write(fd, s.data.data(), s.data.size())
                            : pwrite(fd, s.data.data(), s.data.size(), off_t(s.offset));
    int e = n == ssize_t(s.data.size()) ? 0 : errno;
    return close(fd) < 0 ? errno : e;
  }
  case 3: { // read a range
    int fd = open(a.c_str(), O_RDONLY);
    if (fd < 0) return errno;
    readBack.assign(s.length, '\0');
    ssize_t n = pread(fd, readBack.data(), s.length, off_t(s.offset));
    readBack.resize(n > 0 ? size_t(n) : 0);
    int e = n < 0 ? errno : 0;
    close(fd);
    return e;
  }
  case 4: // truncate to zero
    return result(truncate(a.c_str(), 0));
  case 5: { // open with O_TRUNC and write
    int fd = open(a.c_str(), O_WRONLY | O_TRUNC);
    if (fd < 0) return errno;
    int e = write(fd, s.data.data(), s.data.size()) == ssize_t(s.data.size()) ? 0 : errno;
    return close(fd) < 0 ? errno : e;
  }
  case 6:
    return result(rename(a.c_str(), b.c_str()));
  case 7:
    return result(unlink(a.c_str()));
  case 8:
    return result(mkdir(a.c_str(), 0755));
  default:
    return result(rmdir(a.c_str()));
  }
}

Step Plan(const fs::path &plain) {
  const auto dirs = Entries(plain, true), files = Entries(plain, false);
  Step s;
  s.kind = int(Pick(10));
  // Keep the tree small enough that comparing it stays cheap.
  if (files.size() > 60 && (s.kind == 0 || s.kind == 8)) s.kind = 7;
  const bool haveFile = !files.empty();
  const std::string file = haveFile ? files[Pick(files.size())] : "missing";
  const std::string dir = dirs[Pick(dirs.size())];
  const size_t sizes[] = {0, 1, 2047, 2048, 2049, 65536, 70000, 300000};
  switch (s.kind) {
  case 0:
    s.a = Join(dir, NewName());
    s.data = Bytes(sizes[Pick(8)]);
    break;
  case 1:
  case 2:
  case 3:
  case 5: {
    s.a = file;
    std::error_code ec;
    const uint64_t size = haveFile ? fs::file_size(plain / file, ec) : 0;
    s.offset = Pick(size + 5000);
    s.length = sizes[Pick(8)];
    s.data = Bytes(s.kind == 3 ? 0 : sizes[Pick(8)]);
    break;
  }
  case 4:
  case 7:
    s.a = file;
    break;
  case 6: { // a file or a directory to a new or an existing name, anywhere
    const bool moveDir = Pick(3) == 0 && dirs.size() > 1;
    s.a = moveDir ? dirs[1 + Pick(dirs.size() - 1)] : file;
    const auto &targets = Pick(4) == 0 ? files : dirs;
    s.b = Pick(2) && !targets.empty() && &targets == &files ? targets[Pick(targets.size())]
                                                            : Join(dir, NewName());
    break;
  }
  case 8:
    s.a = Join(dir, NewName());
    break;
  default:
    s.a = dir.empty() ? "missing" : dir;
  }
  return s;
}

const char *kNames[] = {"create",  "pwrite", "append", "read",  "truncate",
                        "O_TRUNC", "rename", "unlink", "mkdir", "rmdir"};

} // namespace

int main(int argc, char **argv) {
  if (argc != 5) {
    std::cerr << "usage: fuse_workload MOUNTED PLAIN SEED STEPS\n";
    return 2;
  }
  const fs::path mounted = argv[1], plain = argv[2];
  const unsigned long long seed = std::strtoull(argv[3], nullptr, 10);
  const long steps = std::atol(argv[4]);
  std::cout << "workload seed " << seed << ", " << steps << " steps" << std::endl;
  rng.seed(seed);
  for (long i = 0; i < steps; ++i) {
    const Step s = Plan(plain);
    std::string gotPlain, gotMounted;
    const int ePlain = Run(plain, s, gotPlain);
    const int eMounted = Run(mounted, s, gotMounted);
    const std::string what =
        std::string(kNames[s.kind]) + " '" + s.a + "'" + (s.b.empty() ? "" : " -> '" + s.b + "'");
    if (ePlain != eMounted) {
      std::cerr << "step " << i << ": " << what << ": plain " << std::strerror(ePlain) << ", mount "
                << std::strerror(eMounted) << "\n";
      return 1;
    }
    if (gotPlain != gotMounted) {
      std::cerr << "step " << i << ": " << what << ": read different bytes\n";
      return 1;
    }
    // The entries touched must agree at once; the whole tree now and then.
    for (const std::string &p : {s.a, s.b}) {
      if (p.empty()) continue;
      std::error_code e1, e2;
      const bool x = fs::exists(plain / p, e1), y = fs::exists(mounted / p, e2);
      bool same = x == y;
      if (same && x && fs::is_regular_file(plain / p)) {
        std::ifstream f1(plain / p, std::ios::binary), f2(mounted / p, std::ios::binary);
        same = std::string(std::istreambuf_iterator<char>(f1), {}) ==
               std::string(std::istreambuf_iterator<char>(f2), {});
      }
      if (!same) {
        std::cerr << "step " << i << ": " << what << ": '" << p << "' differs afterwards\n";
        return 1;
      }
    }
    if (i % 250 == 249 && !SameTree(plain, mounted)) {
      std::cerr << "step " << i << ": the trees differ\n";
      return 1;
    }
  }
  if (!SameTree(plain, mounted)) return 1;
  std::cout << "the mount and the plain directory agree" << std::endl;
  return 0;
}
