// The korva binary end to end, on image files and on the virtual drive module: every
// command leaves a closed volume behind, data comes back byte for byte, and every failure
// has its message and exit status.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "korva/files.h"
#include "korva/volume.h"
#include "tests/support/volume_fixture.h"
#include "udf/byte_order.h"
#include "udf/tag.h"
#include "volume/fs/fs_internal.h"
#include "volume/fs/fs_records.h"

namespace fs = std::filesystem;
using korva::test::FileBytes;

namespace {

struct Result {
  int status = -1;
  std::string out, err;
};

void WriteFile(const fs::path &p, const std::string &data) {
  std::ofstream out(p, std::ios::binary);
  out << data;
}

std::string Pattern(size_t size, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(size, '\0');
  for (auto &c : s)
    c = static_cast<char>(gen());
  return s;
}

// Counts the writes to one file from any process (inotify): unlike its modification time,
// which a write of the same bytes keeps and a faked clock blurs, every write shows.
class WriteWatch {
public:
  explicit WriteWatch(const std::string &path)
      : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)),
        watch_(fd_ >= 0 ? inotify_add_watch(fd_, path.c_str(), IN_MODIFY) : -1) {}
  ~WriteWatch() {
    if (fd_ >= 0) close(fd_);
  }
  WriteWatch(const WriteWatch &) = delete;
  WriteWatch &operator=(const WriteWatch &) = delete;
  bool Ok() const { return watch_ >= 0; }
  // The writes seen since the last call.
  int Writes() {
    alignas(inotify_event) char buf[4096];
    int writes = 0;
    for (ssize_t n; (n = read(fd_, buf, sizeof buf)) > 0;) {
      for (ssize_t at = 0; at < n;) {
        const auto *e = reinterpret_cast<const inotify_event *>(buf + at);
        if (e->mask & IN_MODIFY) ++writes;
        at += ssize_t(sizeof(inotify_event) + e->len);
      }
    }
    return writes;
  }

private:
  int fd_;
  int watch_;
};

class Cli : public ::testing::Test {
protected:
  void SetUp() override {
    char tmpl[] = "/tmp/korva-cli-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    image_ = (dir_ / "vol.iso").string();
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Runs korva with args; stdout and stderr are captured through files.
  Result Run(const std::vector<std::string> &args) {
    const fs::path outFile = dir_ / "stdout", errFile = dir_ / "stderr";
    const pid_t pid = fork();
    if (pid == 0) {
      FILE *o = std::freopen(outFile.c_str(), "w", stdout);
      FILE *e = std::freopen(errFile.c_str(), "w", stderr);
      if (o == nullptr || e == nullptr) _exit(127);
      std::vector<char *> argv{const_cast<char *>(KORVA_BIN)};
      for (const auto &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
      argv.push_back(nullptr);
      execv(KORVA_BIN, argv.data());
      _exit(127);
    }
    int raw = 0;
    waitpid(pid, &raw, 0);
    Result r;
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    r.out = FileBytes(outFile);
    r.err = FileBytes(errFile);
    return r;
  }
  Result OnImage(std::vector<std::string> args) {
    args.insert(args.begin(), {"-i", image_});
    return Run(args);
  }

  fs::path dir_;
  std::string image_;
};

#define EXPECT_RUN(result, code)                                                                   \
  do {                                                                                             \
    const Result &r_ = (result);                                                                   \
    EXPECT_EQ(r_.status, code) << "stdout:\n" << r_.out << "stderr:\n" << r_.err;                  \
  } while (0)

// Every regular file under root by its relative path, with its bytes; directories with "/".
std::map<std::string, std::string> Tree(const fs::path &root) {
  std::map<std::string, std::string> t;
  for (auto &e : fs::recursive_directory_iterator(root)) {
    const std::string rel = fs::relative(e.path(), root).string();
    if (e.is_directory())
      t[rel + "/"] = "";
    else
      t[rel] = FileBytes(e.path());
  }
  return t;
}

// A tree with nested directories, non-ASCII names, an empty file and sizes around the
// block and chunk boundaries.
void MakeSampleTree(const fs::path &root) {
  fs::create_directories(root / "docs" / "r\xC3\xA9sum\xC3\xA9s");
  fs::create_directories(root / "\xE6\x97\xA5\xE6\x9C\xAC" / "deep" / "deeper");
  fs::create_directories(root / "empty-dir");
  WriteFile(root / "empty.txt", "");
  WriteFile(root / "block.bin", Pattern(2048, 1));
  WriteFile(root / "docs" / "five-k.bin", Pattern(5000, 2));
  WriteFile(root / "docs" / "r\xC3\xA9sum\xC3\xA9s" / "caf\xC3\xA9.txt", "caf\xC3\xA9\n");
  WriteFile(root / "\xE6\x97\xA5\xE6\x9C\xAC" / "deep" / "deeper" / "big.bin",
            Pattern((5u << 20) + 12345, 3)); // more than one chunk
}

TEST_F(Cli, ImageLifeFromFormatToRemoval) {
  EXPECT_RUN(OnImage({"format", "--size", "32", "--label", "T\xC3\x89ST"}), 0);
  EXPECT_EQ(fs::file_size(image_), 32u << 20);

  Result info = OnImage({"info", "--json"});
  EXPECT_RUN(info, 0);
  EXPECT_NE(info.out.find("\"compatible\":true"), std::string::npos) << info.out;
  EXPECT_NE(info.out.find("\"label\":\"T\xC3\x89ST\""), std::string::npos) << info.out;
  EXPECT_NE(info.out.find("\"files\":0,\"directories\":1"), std::string::npos) << info.out;

  const fs::path src = dir_ / "src";
  MakeSampleTree(src);
  EXPECT_RUN(OnImage({"put", src.string(), "/"}), 0);

  info = OnImage({"info", "--json"});
  EXPECT_NE(info.out.find("\"files\":5,\"directories\":8"), std::string::npos) << info.out;

  // Listing: both separators, -l, -R and JSON.
  Result ls = OnImage({"ls", "\\src\\docs"});
  EXPECT_RUN(ls, 0);
  EXPECT_EQ(ls.out, "five-k.bin\nr\xC3\xA9sum\xC3\xA9s/\n");
  ls = OnImage({"ls", "-l", "/src/docs/five-k.bin"});
  EXPECT_RUN(ls, 0);
  EXPECT_NE(ls.out.find(" 5000 "), std::string::npos) << ls.out;
  EXPECT_EQ(ls.out.rfind("-", 0), 0u) << ls.out;
  ls = OnImage({"ls", "-R", "/src"});
  EXPECT_RUN(ls, 0);
  EXPECT_NE(ls.out.find("/src/\xE6\x97\xA5\xE6\x9C\xAC/deep/deeper:\nbig.bin\n"), std::string::npos)
      << ls.out;
  ls = OnImage({"ls", "/src", "--json", "-R"});
  EXPECT_RUN(ls, 0);
  EXPECT_NE(ls.out.find("{\"path\":\"/src/docs/five-k.bin\",\"name\":\"five-k.bin\","
                        "\"type\":\"file\",\"size\":5000,"),
            std::string::npos)
      << ls.out;
  EXPECT_NE(
      ls.out.find("\"path\":\"/src/empty-dir\",\"name\":\"empty-dir\",\"type\":\"directory\""),
      std::string::npos);

  // Out again, byte for byte, into an existing directory and under a new name.
  const fs::path out = dir_ / "out";
  fs::create_directory(out);
  EXPECT_RUN(OnImage({"get", "/src", out.string()}), 0);
  EXPECT_EQ(Tree(out / "src"), Tree(src));
  EXPECT_RUN(OnImage({"get", "/src/docs/five-k.bin", (dir_ / "copy.bin").string()}), 0);
  EXPECT_EQ(FileBytes(dir_ / "copy.bin"), FileBytes(src / "docs" / "five-k.bin"));
  Result cat = OnImage({"cat", "/src/docs/r\xC3\xA9sum\xC3\xA9s/caf\xC3\xA9.txt"});
  EXPECT_RUN(cat, 0);
  EXPECT_EQ(cat.out, "caf\xC3\xA9\n");

  // A second put replaces files and merges directories.
  WriteFile(src / "block.bin", "changed");
  EXPECT_RUN(OnImage({"put", (src / "block.bin").string(), "/src"}), 0);
  EXPECT_EQ(OnImage({"cat", "/src/block.bin"}).out, "changed");

  // Removal.
  EXPECT_RUN(OnImage({"rm", "/src/empty.txt", "/src/block.bin"}), 0);
  EXPECT_RUN(OnImage({"rmdir", "/src/empty-dir"}), 0);
  Result r = OnImage({"rmdir", "/src/docs"});
  EXPECT_RUN(r, 1);
  EXPECT_NE(r.err.find("Directory is not empty. (error 23)"), std::string::npos) << r.err;
  r = OnImage({"rm", "/src/docs"});
  EXPECT_RUN(r, 1);
  EXPECT_NE(r.err.find("is a directory"), std::string::npos) << r.err;
  r = OnImage({"rmdir", "/src/docs/five-k.bin"});
  EXPECT_RUN(r, 1);
  EXPECT_NE(r.err.find("not a directory"), std::string::npos) << r.err;
  EXPECT_RUN(OnImage({"mkdir", "-p", "/a/b/c", "/src/docs"}), 0);
  EXPECT_RUN(OnImage({"ls", "/a/b/c"}), 0);
  info = OnImage({"info", "--json"});
  EXPECT_NE(info.out.find("\"files\":3,\"directories\":10"), std::string::npos) << info.out;

  // Every command closed the volume: an independent reader agrees.
  if (system("command -v udfinfo >/dev/null 2>&1") == 0) {
    const std::string cmd = "udfinfo " + image_ + " > " + (dir_ / "udfinfo").string() + " 2>&1";
    ASSERT_EQ(system(cmd.c_str()), 0) << FileBytes(dir_ / "udfinfo");
    const std::string text = FileBytes(dir_ / "udfinfo");
    EXPECT_NE(text.find("integrity=closed"), std::string::npos) << text;
    EXPECT_NE(text.find("numfiles=3"), std::string::npos) << text;
    EXPECT_NE(text.find("numdirs=10"), std::string::npos) << text;
  }
}

TEST_F(Cli, UsageErrorsExitWithTwo) {
  for (const auto &args :
       std::vector<std::vector<std::string>>{{},
                                             {"frob"},
                                             {"ls"},
                                             {"-i", "x.iso", "ls", "--bogus"},
                                             {"-i", "x.iso", "get", "/a"},
                                             {"-i", "x.iso", "-d", "0", "info"},
                                             {"-i", "x.iso", "format", "--size", "0"}}) {
    Result r = Run(args);
    EXPECT_RUN(r, 2);
    EXPECT_NE(r.err.find("Try 'korva --help'"), std::string::npos) << r.err;
  }
  Result help = Run({"--help"});
  EXPECT_RUN(help, 0);
  EXPECT_NE(help.out.find("put LOCAL... DEST"), std::string::npos);
  help = Run({"put", "--help"});
  EXPECT_RUN(help, 0);
  EXPECT_NE(help.out.find("streamed"), std::string::npos) << help.out;
  Result version = Run({"--version"});
  EXPECT_RUN(version, 0);
  EXPECT_NE(version.out.find("Korva"), std::string::npos);
}

TEST_F(Cli, MvRenamesMovesIntoDirectoriesAndReplacesFiles) {
  EXPECT_RUN(OnImage({"format", "--size", "8"}), 0);
  const fs::path src = dir_ / "src";
  fs::create_directory(src);
  WriteFile(src / "a.txt", "alpha");
  WriteFile(src / "b.txt", "beta");
  EXPECT_RUN(OnImage({"put", (src / "a.txt").string(), (src / "b.txt").string(), "/"}), 0);
  EXPECT_RUN(OnImage({"mkdir", "/docs"}), 0);

  // A new name, then into an existing directory under the entry's own name.
  Result r = OnImage({"mv", "/a.txt", "/first.txt"});
  EXPECT_RUN(r, 0);
  EXPECT_EQ(r.out, "");
  r = OnImage({"mv", "/first.txt", "/docs", "--json"});
  EXPECT_RUN(r, 0);
  EXPECT_NE(r.out.find("\"from\":\"/first.txt\",\"to\":\"/docs/first.txt\""), std::string::npos)
      << r.out;
  EXPECT_EQ(OnImage({"cat", "/docs/first.txt"}).out, "alpha");
  // A file at the target is replaced, as rename does.
  EXPECT_RUN(OnImage({"mv", "/b.txt", "/docs/first.txt"}), 0);
  EXPECT_EQ(OnImage({"cat", "/docs/first.txt"}).out, "beta");
  Result ls = OnImage({"ls", "/"});
  EXPECT_RUN(ls, 0);
  EXPECT_EQ(ls.out.find("b.txt"), std::string::npos) << ls.out;

  // Failures say why and exit with 1; a wrong argument count is a usage error.
  r = OnImage({"mv", "/missing", "/x"});
  EXPECT_RUN(r, 1);
  EXPECT_NE(r.err.find("/missing: no such file or directory"), std::string::npos) << r.err;
  r = OnImage({"mv", "/docs", "/docs/inner"});
  EXPECT_RUN(r, 1);
  EXPECT_NE(r.err.find("(error 33)"), std::string::npos) << r.err;
  r = OnImage({"mv", "/", "/docs"});
  EXPECT_RUN(r, 1);
  EXPECT_NE(r.err.find("cannot be moved"), std::string::npos) << r.err;
  EXPECT_RUN(OnImage({"mv", "/docs"}), 2);
  EXPECT_RUN(OnImage({"mv", "/docs", "/a", "/b"}), 2);
  EXPECT_RUN(OnImage({"mv", "-l", "/docs", "/a"}), 2);
  Result help = Run({"mv", "--help"});
  EXPECT_RUN(help, 0);
  EXPECT_NE(help.out.find("mv SRC DEST"), std::string::npos) << help.out;
  EXPECT_RUN(OnImage({"check"}), 0);
}

TEST_F(Cli, OperationErrorsExitWithOneAndSayWhy) {
  Result r = OnImage({"ls"});
  EXPECT_RUN(r, 1);
  EXPECT_NE(r.err.find("no such image file"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(image_)); // only format creates an image

  r = OnImage({"format", "--size", "8", "--label", "SIXTEEN-LETTERS!"});
  EXPECT_RUN(r, 1);
  EXPECT_NE(r.err.find("has 16 characters; a label has at most 15"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(image_)); // checked before the image is made
  EXPECT_RUN(OnImage({"format", "--size", "8"}), 0);

  struct Case {
    std::vector<std::string> args;
    const char *message;
  };
  const std::vector<Case> cases = {
      {{"ls", "/missing"}, "/missing: no such file or directory"},
      {{"get", "/missing", (dir_ / "x").string()}, "no such file or directory"},
      {{"cat", "/"}, "is a directory"},
      {{"rm", "/nothing"}, "no such file or directory"},
      {{"rmdir", "/"}, "cannot be removed"},
      {{"mkdir", "/no/parent"}, "Parent directory path is not reachable. (error 1)"},
      {{"put", (dir_ / "missing-local").string(), "/"}, "No such file or directory"},
      {{"put", "/etc/hostname", "/etc/passwd", "/not-there"}, "no such directory"},
  };
  for (const auto &c : cases) {
    r = OnImage(c.args);
    EXPECT_RUN(r, 1);
    EXPECT_NE(r.err.find(c.message), std::string::npos) << c.args[0] << ": " << r.err;
  }
  EXPECT_RUN(OnImage({"mkdir", "/d"}), 0);
  r = OnImage({"mkdir", "/d"});
  EXPECT_RUN(r, 1);
  EXPECT_NE(r.err.find("Specified file already exists. (error 6)"), std::string::npos) << r.err;
  // After all those failures the volume is still consistent and closed.
  EXPECT_RUN(OnImage({"info"}), 0);

  // Images the engine cannot use.
  WriteFile(image_, std::string(1000, 'x'));
  r = OnImage({"info"});
  EXPECT_RUN(r, 1);
  EXPECT_NE(r.err.find("Size of image file is invalid. (error 11)"), std::string::npos) << r.err;
  WriteFile(image_, std::string(1u << 20, '\0'));
  r = OnImage({"ls"});
  EXPECT_RUN(r, 1);
  EXPECT_NE(r.err.find("no usable Korva volume"), std::string::npos) << r.err;
  r = OnImage({"info", "--json"});
  EXPECT_RUN(r, 1); // described, but not usable
  EXPECT_NE(r.out.find("\"compatible\":false"), std::string::npos) << r.out;
  EXPECT_NE(r.err.find("no usable Korva volume"), std::string::npos) << r.err;
}

TEST_F(Cli, PutThatStopsSaysWhatWasWritten) {
  EXPECT_RUN(OnImage({"format", "--size", "8"}), 0);
  const fs::path src = dir_ / "t";
  fs::create_directory(src);
  WriteFile(src / "a.txt", "first");
  fs::create_directory(src / "b");
  WriteFile(src / "b" / "inner.txt", "x");
  // In the volume, "b" is already a file: the copy stops there.
  EXPECT_RUN(OnImage({"mkdir", "/t"}), 0);
  EXPECT_RUN(OnImage({"put", (src / "a.txt").string(), "/t/b"}), 0);
  Result r = OnImage({"put", src.string(), "/"});
  EXPECT_RUN(r, 1);
  EXPECT_NE(r.err.find("/t/b: a file of that name exists"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("stopped after writing 1 file (5 B) and 0 directories"), std::string::npos)
      << r.err;
  EXPECT_EQ(OnImage({"cat", "/t/a.txt"}).out, "first");

  // More than the volume holds is refused before anything is written.
  WriteFile(dir_ / "huge.bin", std::string(9u << 20, 'h'));
  r = OnImage({"put", (dir_ / "huge.bin").string(), "/"});
  EXPECT_RUN(r, 1);
  EXPECT_NE(r.err.find("not enough space"), std::string::npos) << r.err;
  EXPECT_EQ(OnImage({"ls", "/"}).out, "t/\n");

  // A file that fills most of the volume can still be replaced by one of its size.
  WriteFile(dir_ / "fill.bin", std::string(3u << 20, 'f'));
  EXPECT_RUN(OnImage({"put", (dir_ / "fill.bin").string(), "/"}), 0);
  WriteFile(dir_ / "fill.bin", std::string(3u << 20, 'g'));
  EXPECT_RUN(OnImage({"put", (dir_ / "fill.bin").string(), "/"}), 0);
  EXPECT_EQ(OnImage({"cat", "/fill.bin"}).out, std::string(3u << 20, 'g'));
}

TEST_F(Cli, FullVolumeLeavesNoIncompleteFile) {
  EXPECT_RUN(OnImage({"format", "--size", "4"}), 0);
  Result info = OnImage({"info", "--json"});
  const size_t at = info.out.find("\"free_blocks\":");
  ASSERT_NE(at, std::string::npos);
  const long freeBlocks = std::stol(info.out.substr(at + 14));
  // Sixty long names grow the directory by blocks the up-front estimate does not count, so
  // the last, large file runs out of space while it is written.
  const fs::path src = dir_ / "t";
  fs::create_directory(src);
  for (int i = 0; i < 60; ++i)
    WriteFile(src / ("a-file-with-a-long-name-" + std::to_string(100 + i)), "x");
  const long bigBlocks = freeBlocks - 2 - 60 * 2 - 1;
  ASSERT_GT(bigBlocks, 10);
  WriteFile(src / "zz-big.bin", Pattern(static_cast<size_t>(bigBlocks) * 2048, 9));
  Result r = OnImage({"put", src.string(), "/"});
  EXPECT_RUN(r, 1);
  EXPECT_NE(r.err.find("(error 3)"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("incomplete /t/zz-big.bin"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("stopped after writing 60 files"), std::string::npos) << r.err;
  Result ls = OnImage({"ls", "/t"});
  EXPECT_RUN(ls, 0);
  EXPECT_EQ(ls.out.find("zz-big.bin"), std::string::npos) << ls.out;
}

// ---- read-only media and volumes left open ------------------------------------------------

struct Record {
  TUDFRewritableVolume *v =
      static_cast<TUDFRewritableVolume *>(std::calloc(1, sizeof(TUDFRewritableVolume)));
  ~Record() {
    UDF_ReleaseVolume(v);
    std::free(v);
  }
};

// Mounts the image and lets go without dismounting, as a program that crashed would.
void LeaveOpen(const std::string &image) {
  Record r;
  ASSERT_EQ(UDF_MountImage(r.v, image.c_str(), 0), KTRUE);
  ASSERT_EQ(UDF_GetVolumeCompatibility(r.v), KTRUE);
  korva::test::AbandonVolume(*r.v);
}

TEST_F(Cli, LeftOpenVolumeIsReadWithAWarningAndNeverWritten) {
  EXPECT_RUN(OnImage({"format", "--size", "8"}), 0);
  const fs::path src = dir_ / "src";
  fs::create_directories(src / "d");
  WriteFile(src / "d" / "a.txt", "left open");
  EXPECT_RUN(OnImage({"put", src.string(), "/"}), 0);
  LeaveOpen(image_);
  const std::string before = FileBytes(image_);

  Result r = OnImage({"info", "--json"});
  EXPECT_RUN(r, 0);
  EXPECT_NE(r.out.find("\"compatible\":true,\"read_only\":true,\"left_open\":true"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.err.find("korva repair"), std::string::npos) << r.err;
  r = OnImage({"ls", "-R", "/"});
  EXPECT_RUN(r, 0);
  EXPECT_NE(r.out.find("/src/d:\na.txt\n"), std::string::npos) << r.out;
  EXPECT_NE(r.err.find("korva repair"), std::string::npos) << r.err;
  EXPECT_EQ(OnImage({"cat", "/src/d/a.txt"}).out, "left open");
  EXPECT_RUN(OnImage({"get", "/src", (dir_ / "out").string()}), 0);
  EXPECT_EQ(FileBytes(dir_ / "out" / "d" / "a.txt"), "left open");
  // Changes are refused before anything is written, naming the way out.
  r = OnImage({"mkdir", "/new"});
  EXPECT_RUN(r, 1);
  EXPECT_NE(r.err.find("(error 28)"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("korva repair"), std::string::npos) << r.err;
  EXPECT_EQ(FileBytes(image_), before);
}

TEST_F(Cli, ReadOnlyOptionWritesNothing) {
  EXPECT_RUN(OnImage({"format", "--size", "8"}), 0);
  WriteFile(dir_ / "f.txt", "data");
  EXPECT_RUN(OnImage({"put", (dir_ / "f.txt").string(), "/"}), 0);
  const std::string before = FileBytes(image_);
  Result r = OnImage({"--read-only", "info"});
  EXPECT_RUN(r, 0);
  EXPECT_NE(r.out.find("usable, mounted read-only (--read-only)"), std::string::npos) << r.out;
  for (const auto &args :
       std::vector<std::vector<std::string>>{{"put", (dir_ / "f.txt").string(), "/g.txt"},
                                             {"mkdir", "/x"},
                                             {"rm", "/f.txt"},
                                             {"format", "--quick"}}) {
    std::vector<std::string> a{"--read-only"};
    a.insert(a.end(), args.begin(), args.end());
    r = OnImage(a);
    EXPECT_RUN(r, 1);
    EXPECT_NE(r.err.find("(error 27)"), std::string::npos) << args[0] << ": " << r.err;
  }
  EXPECT_EQ(OnImage({"--read-only", "cat", "/f.txt"}).out, "data");
  EXPECT_EQ(FileBytes(image_), before);
}

TEST_F(Cli, ImageThatCannotBeWrittenIsReadOnly) {
  EXPECT_RUN(OnImage({"format", "--size", "8"}), 0);
  WriteFile(dir_ / "f.txt", "data");
  EXPECT_RUN(OnImage({"put", (dir_ / "f.txt").string(), "/"}), 0);
  // Root may write any file unless it is immutable.
  const bool immutable =
      geteuid() == 0 && system(("chattr +i " + image_ + " 2>/dev/null").c_str()) == 0;
  if (geteuid() == 0 && !immutable) GTEST_SKIP() << "cannot make a file unwritable for root";
  if (!immutable) chmod(image_.c_str(), 0444);
  const std::string before = FileBytes(image_);
  Result r = OnImage({"info"});
  EXPECT_RUN(r, 0);
  EXPECT_NE(r.out.find("read-only: the medium cannot be written"), std::string::npos) << r.out;
  EXPECT_EQ(OnImage({"cat", "/f.txt"}).out, "data");
  EXPECT_RUN(OnImage({"ls", "/"}), 0);
  EXPECT_RUN(OnImage({"get", "/f.txt", (dir_ / "back.txt").string()}), 0);
  r = OnImage({"mkdir", "/x"});
  EXPECT_RUN(r, 1);
  EXPECT_NE(r.err.find("read-only"), std::string::npos) << r.err;
  r = OnImage({"format"});
  EXPECT_RUN(r, 1);
  EXPECT_NE(r.err.find("(error 27)"), std::string::npos) << r.err;
  if (immutable) {
    EXPECT_EQ(system(("chattr -i " + image_).c_str()), 0);
  }
  EXPECT_EQ(FileBytes(image_), before);
}

TEST_F(Cli, ReadingCommandsWriteNothing) {
  EXPECT_RUN(OnImage({"format", "--size", "8"}), 0);
  WriteFile(dir_ / "f.txt", "data");
  EXPECT_RUN(OnImage({"put", (dir_ / "f.txt").string(), "/"}), 0);
  std::string before = FileBytes(image_);
  WriteWatch watch(image_);
  ASSERT_TRUE(watch.Ok());
  Result r = OnImage({"check"});
  EXPECT_RUN(r, 0);
  EXPECT_RUN(OnImage({"check", "--json"}), 0);
  r = OnImage({"info"});
  EXPECT_RUN(r, 0);
  EXPECT_NE(r.out.find("usable"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("read-only"), std::string::npos) << r.out;
  EXPECT_RUN(OnImage({"info", "--json"}), 0);
  EXPECT_RUN(OnImage({"ls", "-l", "/"}), 0);
  EXPECT_EQ(OnImage({"cat", "/f.txt"}).out, "data");
  EXPECT_RUN(OnImage({"get", "/f.txt", (dir_ / "back.txt").string()}), 0);
  EXPECT_EQ(watch.Writes(), 0) << "not even the same bytes are written again";
  EXPECT_EQ(FileBytes(image_), before);
  // The watch does see the writes of a command that changes the volume.
  EXPECT_RUN(OnImage({"mkdir", "/w"}), 0);
  EXPECT_GT(watch.Writes(), 0);
  before = FileBytes(image_);

  // An image that cannot be written is checked as well. Root may write any file unless it
  // is immutable.
  const bool immutable =
      geteuid() == 0 && system(("chattr +i " + image_ + " 2>/dev/null").c_str()) == 0;
  if (geteuid() == 0 && !immutable) GTEST_SKIP() << "cannot make a file unwritable for root";
  if (!immutable) chmod(image_.c_str(), 0444);
  r = OnImage({"check"});
  EXPECT_RUN(r, 0);
  EXPECT_EQ(r.err, "");
  if (immutable) {
    EXPECT_EQ(system(("chattr -i " + image_).c_str()), 0);
  }
  EXPECT_EQ(watch.Writes(), 0);
  EXPECT_EQ(FileBytes(image_), before);
}

// ---- rough edges ------------------------------------------------------------------------

TEST_F(Cli, OneDepthLimitCheckedBeforeWriting) {
  EXPECT_RUN(OnImage({"format", "--size", "16"}), 0);
  std::string deep;
  for (int i = 0; i < KORVA_MAX_DEPTH; ++i)
    deep += "/d";
  Result r = OnImage({"mkdir", "-p", deep + "/d"});
  EXPECT_RUN(r, 1);
  EXPECT_NE(r.err.find("nested too deep"), std::string::npos) << r.err;
  // A local tree that would end up one level too deep.
  fs::path local = dir_ / "t";
  for (int i = 1; i < KORVA_MAX_DEPTH; ++i)
    local /= "d";
  fs::create_directories(local);
  WriteFile(local / "f.txt", "x");
  r = OnImage({"put", (dir_ / "t").string(), "/"});
  EXPECT_RUN(r, 1);
  EXPECT_NE(r.err.find("nested too deep"), std::string::npos) << r.err;
  r = OnImage({"info", "--json"});
  EXPECT_NE(r.out.find("\"files\":0,\"directories\":1"), std::string::npos) << r.out;
  // As deep as the limit allows: made, walked and copied out whole.
  EXPECT_RUN(OnImage({"mkdir", "-p", deep}), 0);
  EXPECT_RUN(OnImage({"get", "/d", (dir_ / "out").string()}), 0);
  EXPECT_TRUE(fs::is_directory(dir_ / "out" / fs::path(deep.substr(3))));
  // The library refuses the same before it looks anything up.
  Record rec;
  ASSERT_EQ(UDF_MountImage(rec.v, image_.c_str(), 0), KTRUE);
  std::u16string parent;
  for (int i = 0; i < KORVA_MAX_DEPTH; ++i)
    parent += u"\\e";
  EXPECT_EQ(UDF_CreateDirectoryW(rec.v, parent.c_str(), u"e"), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(rec.v), KORVA_E_TOO_DEEP);
  EXPECT_EQ(UDF_CreateFileW(rec.v, (parent + u"\\f").c_str(), UDF_GENERIC_WRITE, UDF_CREATE_NEW, 0),
            UDF_INVALID_HANDLE);
  EXPECT_EQ(UDF_GetLastErrorNumber(rec.v), KORVA_E_TOO_DEEP);
  EXPECT_EQ(UDF_DismountVolume(rec.v), KTRUE);
}

TEST_F(Cli, FormatLeavesNoImageWhenItFails) {
  for (const char *size : {"1", "2", "3"}) {
    Result r = OnImage({"format", "--size", size});
    EXPECT_RUN(r, 1);
    EXPECT_FALSE(fs::exists(image_)) << size << ": " << r.err;
  }
  // An image that existed before stays.
  WriteFile(image_, std::string(1u << 20, '\0'));
  EXPECT_RUN(OnImage({"format"}), 1);
  EXPECT_EQ(fs::file_size(image_), 1u << 20);
  for (auto &e : fs::directory_iterator(dir_))
    EXPECT_EQ(e.path().filename().string().rfind(".korva-new-", 0), std::string::npos);
}

TEST_F(Cli, TwoFormatsOfOneNewImage) {
  for (int round = 0; round < 3; ++round) {
    fs::remove(image_);
    pid_t pids[2];
    for (int i = 0; i < 2; ++i) {
      pids[i] = fork();
      if (pids[i] == 0) {
        const std::string out = (dir_ / ("out" + std::to_string(i))).string();
        if (!std::freopen(out.c_str(), "w", stdout) || !std::freopen(out.c_str(), "a", stderr))
          _exit(127);
        execl(KORVA_BIN, KORVA_BIN, "-i", image_.c_str(), "format", "--size", "24",
              static_cast<char *>(nullptr));
        _exit(127);
      }
    }
    int ok = 0;
    for (pid_t pid : pids) {
      int raw = 0;
      waitpid(pid, &raw, 0);
      ok += WIFEXITED(raw) && WEXITSTATUS(raw) == 0;
    }
    EXPECT_GE(ok, 1) << FileBytes(dir_ / "out0") << FileBytes(dir_ / "out1");
    // Whoever lost saw a whole, locked image or none, never a half-made one.
    EXPECT_EQ(fs::file_size(image_), 24u << 20);
    Result info = OnImage({"info", "--json"});
    EXPECT_RUN(info, 0);
    EXPECT_NE(info.out.find("\"total_bytes\":"), std::string::npos);
  }
}

TEST_F(Cli, ImagePathsAreBytes) {
  image_ = (dir_ / "caf\xE9.iso").string(); // Latin-1: not UTF-8
  EXPECT_RUN(OnImage({"format", "--size", "8"}), 0);
  WriteFile(dir_ / "f.txt", "bytes");
  EXPECT_RUN(OnImage({"put", (dir_ / "f.txt").string(), "/"}), 0);
  EXPECT_EQ(OnImage({"cat", "/f.txt"}).out, "bytes");
}

// Finds the block of an entry by its volume path.
uint32_t BlockOf(TUDFRewritableVolume *v, const char16_t *path) {
  _UDF_FIND_DATAW d;
  const UDF_HANDLE h = UDF_FindFirstFileW(v, path, &d);
  uint32_t block = 0xFFFFFFFF;
  if (h != UDF_INVALID_HANDLE) {
    UDF_FindEntryLocation(v, h, &block);
    UDF_FindClose(v, h);
  }
  return block;
}

TEST_F(Cli, GetLeavesOutWhatItCannotCopyAndStopsAtCycles) {
  EXPECT_RUN(OnImage({"format", "--size", "8"}), 0);
  uint32_t partitionStart = 0, dirA = 0, root = 0;
  {
    Record rec;
    ASSERT_EQ(UDF_MountImage(rec.v, image_.c_str(), 0), KTRUE);
    ASSERT_EQ(UDF_CreateDirectoryW(rec.v, u"\\", u"a"), KTRUE);
    ASSERT_EQ(UDF_CreateDirectoryW(rec.v, u"\\a", u"loop"), KTRUE);
    for (const char16_t *name : {u"\\a\\one", u"\\a\\x/y", u"\\a\\two"}) {
      const UDF_HANDLE h = UDF_CreateFileW(rec.v, name, UDF_GENERIC_WRITE, UDF_CREATE_NEW, 0);
      ASSERT_NE(h, UDF_INVALID_HANDLE);
      uint32_t n = 0;
      UDF_WriteFile(rec.v, h, "12345", 5, &n);
      UDF_CloseHandle(rec.v, h);
    }
    partitionStart = rec.v->PartitionStart;
    root = rec.v->RootICBSector - partitionStart;
    dirA = BlockOf(rec.v, u"\\a");
    ASSERT_EQ(UDF_DismountVolume(rec.v), KTRUE);
  }
  // Damage: "loop" now points back at the root.
  std::string image = FileBytes(image_);
  const uint8_t *fe =
      reinterpret_cast<const uint8_t *>(image.data()) + size_t(partitionStart + dirA) * 2048;
  const uint32_t dataBlock = korva::LoadLE32(fe + 180);
  uint8_t *data =
      reinterpret_cast<uint8_t *>(image.data()) + size_t(partitionStart + dataBlock) * 2048;
  const uint32_t parentLen = (38 + data[19] + korva::LoadLE16(data + 36) + 3) & ~3u;
  uint8_t *loop = data + parentLen; // the first entry after the parent's
  const uint32_t loopLen = (38 + loop[19] + korva::LoadLE16(loop + 36) + 3) & ~3u;
  korva::StoreLE32(loop + 24, root);
  korva::FillTagAt(loop, 257, static_cast<uint16_t>(loopLen - 16), dataBlock);
  WriteFile(image_, image);

  Result r = OnImage({"ls", "-R", "/"});
  EXPECT_RUN(r, 1);
  EXPECT_NE(r.err.find("/a/loop: met this directory before"), std::string::npos) << r.err;
  // A local directory where a file goes: that file is left out, the rest is copied.
  const fs::path out = dir_ / "out";
  fs::create_directories(out / "a" / "one");
  r = OnImage({"get", "/", out.string()});
  EXPECT_RUN(r, 1);
  EXPECT_NE(r.err.find("/a/loop: met this directory before"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("/a/x%/y: name holds '/'"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("left out 3 entries"), std::string::npos) << r.err;
  EXPECT_EQ(FileBytes(out / "a" / "two"), "12345");
}

// Another system marked a block the tree uses free: info still describes the volume, and
// says that its bitmap is not to be trusted, in both forms.
TEST_F(Cli, InfoSaysWhenTheBitmapDisagreesWithTheTree) {
  EXPECT_RUN(OnImage({"format", "--size", "8"}), 0);
  const fs::path local = dir_ / "kept.bin";
  WriteFile(local, Pattern(5000, 7));
  EXPECT_RUN(OnImage({"put", local.string(), "/"}), 0);
  EXPECT_EQ(OnImage({"info"}).out.find("Space bitmap:"), std::string::npos);
  uint32_t bitmapSector = 0, fileEntry = 0;
  {
    Record rec;
    ASSERT_EQ(UDF_MountImage(rec.v, image_.c_str(), 0), KTRUE);
    bitmapSector = rec.v->SpaceBitmapSector;
    fileEntry = BlockOf(rec.v, u"\\kept.bin");
    ASSERT_EQ(UDF_DismountVolume(rec.v), KTRUE);
  }
  std::string image = FileBytes(image_);
  image[size_t(bitmapSector) * 2048 + sizeof(korva::UDF_SpaceBitmapHeader) + fileEntry / 8] |=
      char(1u << (fileEntry % 8)); // set: free
  WriteFile(image_, image);

  Result info = OnImage({"info"});
  EXPECT_RUN(info, 0);
  EXPECT_NE(info.out.find("Space bitmap: does not match"), std::string::npos) << info.out;
  info = OnImage({"info", "--json"});
  EXPECT_NE(info.out.find("\"bitmap_suspect\":true"), std::string::npos) << info.out;
  EXPECT_EQ(FileBytes(image_), image); // and it still wrote nothing
}

// Gives the file identifier naming `from` (stored 16-bit, as this library stores names) the
// name `to` of the same length, as another system could have written it; refills its tag.
bool RenameInImage(const std::string &imagePath, uint32_t partitionStart,
                   const std::u16string &from, const std::u16string &to) {
  std::string image = FileBytes(imagePath);
  std::string stored(1, '\x10');
  for (char16_t c : from)
    stored += {char(c >> 8), char(c & 0xFF)};
  const size_t at = image.find(stored);
  if (at == std::string::npos || at < 38 || from.size() != to.size()) return false;
  auto *fid = reinterpret_cast<uint8_t *>(image.data()) + at - 38;
  if (korva::LoadLE16(fid) != 257 || korva::LoadLE16(fid + 36) != 0) return false;
  for (size_t i = 0; i < to.size(); ++i) {
    fid[39 + 2 * i] = uint8_t(to[i] >> 8);
    fid[40 + 2 * i] = uint8_t(to[i] & 0xFF);
  }
  const uint32_t length = (38 + fid[19] + 3) & ~3u;
  const uint32_t block = uint32_t((at - 38) / 2048) - partitionStart;
  korva::FillTagAt(fid, 257, static_cast<uint16_t>(length - 16), block);
  WriteFile(imagePath, image);
  return true;
}

// Names written elsewhere may hold either separator. get copies a name holding a backslash
// under that name, leaves out one holding a slash (no local name can) and goes on; rm and
// rmdir reach both through their escaped forms.
TEST_F(Cli, NamesHoldingSeparatorsAreCopiedOrLeftOutAndRemoved) {
  EXPECT_RUN(OnImage({"format", "--size", "8"}), 0);
  uint32_t partitionStart = 0;
  {
    Record rec;
    ASSERT_EQ(UDF_MountImage(rec.v, image_.c_str(), 0), KTRUE);
    ASSERT_EQ(UDF_CreateDirectoryW(rec.v, u"\\", u"d"), KTRUE);
    ASSERT_EQ(UDF_CreateDirectoryW(rec.v, u"\\", u"e_f"), KTRUE);
    for (const char16_t *name : {u"\\d\\x/y", u"\\d\\p_q", u"\\d\\z", u"\\e_f\\in"}) {
      const UDF_HANDLE h = UDF_CreateFileW(rec.v, name, UDF_GENERIC_WRITE, UDF_CREATE_NEW, 0);
      ASSERT_NE(h, UDF_INVALID_HANDLE);
      uint32_t n = 0;
      UDF_WriteFile(rec.v, h, name, 8, &n);
      UDF_CloseHandle(rec.v, h);
    }
    partitionStart = rec.v->PartitionStart;
    ASSERT_EQ(UDF_DismountVolume(rec.v), KTRUE);
  }
  ASSERT_TRUE(RenameInImage(image_, partitionStart, u"p_q", u"p\\q"));
  ASSERT_TRUE(RenameInImage(image_, partitionStart, u"e_f", u"e\\f"));

  Result r = OnImage({"ls", "/d"});
  EXPECT_RUN(r, 0);
  EXPECT_NE(r.out.find("p%\\q\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("x%/y\n"), std::string::npos) << r.out;
  const fs::path out = dir_ / "out";
  r = OnImage({"get", "/", out.string()});
  EXPECT_RUN(r, 1);
  EXPECT_NE(r.err.find("/d/x%/y: name holds '/'"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("left out 1 entry"), std::string::npos) << r.err;
  EXPECT_EQ(FileBytes(out / "d" / "p\\q").size(), 8u);
  EXPECT_EQ(FileBytes(out / "d" / "z").size(), 8u);
  EXPECT_EQ(FileBytes(out / "e\\f" / "in").size(), 8u);

  EXPECT_RUN(OnImage({"rm", "/d/p%\\q", "/d/x%/y", "/e%\\f/in"}), 0);
  EXPECT_RUN(OnImage({"rmdir", "/e%\\f"}), 0);
  r = OnImage({"ls", "-R", "/"});
  EXPECT_RUN(r, 0);
  EXPECT_EQ(r.out.find('%'), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("z"), std::string::npos) << r.out;
  EXPECT_RUN(OnImage({"check"}), 0);
}

#ifdef KORVA_VDRIVE_MODULE
// Marks the image's volume open, as a writer that was killed leaves it.
bool MarkLeftOpen(const std::string &image) {
  std::fstream f(image, std::ios::in | std::ios::out | std::ios::binary);
  std::vector<uint8_t> sector(korva::kSectorSize);
  for (uint32_t s = 256; s < 512 && f; ++s) {
    f.seekg(std::streamoff(s) * korva::kSectorSize);
    f.read(reinterpret_cast<char *>(sector.data()), std::streamsize(sector.size()));
    if (!korva::IsSectorTagValid(korva::kTagIntegrity, sector.data(), s)) continue;
    std::fill(sector.begin() + 28, sector.begin() + 32, 0);
    korva::FillTagAt(sector.data(), korva::kTagIntegrity, uint16_t(sector[10] | (sector[11] << 8)),
                     s);
    f.seekp(std::streamoff(s) * korva::kSectorSize);
    f.write(reinterpret_cast<const char *>(sector.data()), std::streamsize(sector.size()));
    return bool(f);
  }
  return false;
}

TEST_F(Cli, VolumeLeftOpenIsRepairedInsteadOfFormatted) {
  EXPECT_RUN(OnImage({"format", "--size", "16"}), 0);
  WriteFile(dir_ / "kept.bin", Pattern(30000, 7));
  EXPECT_RUN(OnImage({"put", (dir_ / "kept.bin").string(), "/"}), 0);
  ASSERT_TRUE(MarkLeftOpen(image_));

  // Read-only use goes on, with a warning; changes are refused.
  Result ls = OnImage({"ls", "/"});
  EXPECT_RUN(ls, 0);
  EXPECT_NE(ls.err.find("left open"), std::string::npos) << ls.err;
  EXPECT_NE(ls.err.find("korva repair"), std::string::npos) << ls.err;
  EXPECT_EQ(ls.err.find("korva format"), std::string::npos) << ls.err;

  Result check = OnImage({"check"});
  EXPECT_RUN(check, 1);
  EXPECT_NE(check.out.find("left-open: "), std::string::npos) << check.out;
  Result json = OnImage({"check", "--json"});
  EXPECT_RUN(json, 1);
  EXPECT_NE(json.out.find("\"clean\":false"), std::string::npos) << json.out;
  EXPECT_NE(json.out.find("{\"kind\":\"left-open\",\"block\":null"), std::string::npos) << json.out;

  Result repair = OnImage({"repair"});
  EXPECT_RUN(repair, 0);
  EXPECT_NE(repair.out.find("repaired left-open: "), std::string::npos) << repair.out;
  EXPECT_NE(repair.out.find("is usable: 1 file, 1 directory"), std::string::npos) << repair.out;
  EXPECT_RUN(OnImage({"check"}), 0);
  Result cat = OnImage({"cat", "/kept.bin"});
  EXPECT_RUN(cat, 0);
  EXPECT_EQ(cat.out, Pattern(30000, 7));
  // A clean volume: repair changes nothing and says so.
  Result again = OnImage({"repair", "--json"});
  EXPECT_RUN(again, 0);
  EXPECT_NE(again.out.find("\"usable\":true,\"findings\":[]"), std::string::npos) << again.out;
}

TEST_F(Cli, RepairRefusesAVolumeItDidNotFormat) {
  if (system("command -v mkudffs >/dev/null 2>&1") != 0) GTEST_SKIP() << "udftools missing";
  WriteFile(image_, "");
  fs::resize_file(image_, 8u << 20);
  const std::string mk =
      "mkudffs --media-type=cdrw --udfrev=0x0150 '" + image_ + "' >/dev/null 2>&1";
  ASSERT_EQ(system(mk.c_str()), 0);
  const std::string before = FileBytes(image_);
  Result repair = OnImage({"repair"});
  EXPECT_RUN(repair, 1);
  EXPECT_NE(repair.err.find("not compatible for writing: UDF 1.50 volume written by "
                            "\"*Linux UDFFS\", sparable partition"),
            std::string::npos)
      << repair.err;
  EXPECT_TRUE(FileBytes(image_) == before); // nothing written
  // It is read all the same: another writer's volume is only not written.
  Result ls = OnImage({"ls"});
  EXPECT_RUN(ls, 0);
  Result check = OnImage({"check"});
  EXPECT_RUN(check, 0);
  EXPECT_NE(check.out.find("is clean"), std::string::npos) << check.out;
  EXPECT_TRUE(FileBytes(image_) == before);
}

TEST_F(Cli, VirtualDriveFromTableToErase) {
  const std::string disc = (dir_ / "disc.img").string();
  const std::string config = "cd-rw/format=50,blank=50:" + disc;
  setenv("KORVA_VDRIVE", config.c_str(), 1);
  auto drive = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {"--aspi", KORVA_VDRIVE_MODULE, "-d", "0"});
    return Run(args);
  };

  Result r = Run({"--aspi", KORVA_VDRIVE_MODULE, "drives", "--json"});
  EXPECT_RUN(r, 0);
  EXPECT_NE(r.out.find("{\"drives\":[{\"index\":0,"), std::string::npos) << r.out;
  const size_t letterAt = r.out.find("\"letter\":\"");
  ASSERT_NE(letterAt, std::string::npos) << r.out;
  const std::string letter(1, static_cast<char>(std::tolower(r.out[letterAt + 10])));
  r = Run({"--aspi", KORVA_VDRIVE_MODULE, "drive-info", "-d", letter});
  EXPECT_RUN(r, 0);
  EXPECT_NE(r.out.find("(index 0, letter "), std::string::npos) << r.out;
  r = drive({"drive-info", "--json"});
  EXPECT_RUN(r, 0);
  EXPECT_NE(r.out.find("\"medium\":\"CD-RW\""), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\"write CD-RW\""), std::string::npos) << r.out;

  r = drive({"info"});
  EXPECT_RUN(r, 1); // a blank disc holds no volume
  r = drive({"format", "--quick"});
  EXPECT_RUN(r, 1);
  EXPECT_NE(r.err.find("(error 21)"), std::string::npos) << r.err;
  const std::string trace = (dir_ / "trace.log").string();
  r = Run({"--aspi", KORVA_VDRIVE_MODULE, "-d", "0", "--trace", trace, "format", "--label", "CD"});
  EXPECT_RUN(r, 0);
  EXPECT_GT(fs::file_size(trace), 0u);

  const fs::path src = dir_ / "src";
  MakeSampleTree(src);
  EXPECT_RUN(drive({"put", src.string(), "/"}), 0);
  r = drive({"info", "--json"});
  EXPECT_RUN(r, 0);
  EXPECT_NE(r.out.find("\"kind\":\"drive\",\"medium\":\"CD-RW\",\"label\":\"CD\""),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("\"files\":5,\"directories\":8"), std::string::npos) << r.out;
  const fs::path out = dir_ / "out";
  EXPECT_RUN(drive({"get", "/src", out.string()}), 0);
  EXPECT_EQ(Tree(out), Tree(src));

  for (const char *cmd : {"lock", "unlock", "eject", "load"})
    EXPECT_RUN(drive({cmd}), 0);
  r = drive({"speed", "max"});
  EXPECT_RUN(r, 0);
  EXPECT_NE(r.out.find("KB/s"), std::string::npos);
  EXPECT_RUN(drive({"speed", "0"}), 2);

  EXPECT_RUN(drive({"erase", "--quick"}), 0);
  r = drive({"ls"});
  EXPECT_RUN(r, 1);
  EXPECT_NE(r.err.find("no usable Korva volume"), std::string::npos) << r.err;

  r = Run({"--aspi", KORVA_VDRIVE_MODULE, "-d", "7", "info"});
  EXPECT_RUN(r, 1);
  EXPECT_NE(r.err.find("drive 7 not found"), std::string::npos) << r.err;
  r = Run({"--aspi", (dir_ / "no-such-module.so").string(), "drives"});
  EXPECT_RUN(r, 1);
  EXPECT_NE(r.err.find("cannot use the ASPI module"), std::string::npos) << r.err;
}
#endif

} // namespace

namespace {
// Turns the empty file at path into an entry of another type as the Linux kernel records
// one: the type, and data (a link's path components) embedded in the entry.
void RetypeEntry(TUDFRewritableVolume *v, const char16_t *path, uint8_t type,
                 const std::vector<uint8_t> &data) {
  _UDF_FIND_DATAW found{};
  const UDF_HANDLE h = UDF_FindFirstFileW(v, path, &found);
  ASSERT_NE(h, UDF_INVALID_HANDLE);
  uint32_t block = 0;
  ASSERT_EQ(UDF_FindEntryLocation(v, h, &block), KTRUE);
  UDF_FindClose(v, h);
  uint8_t fe[2048];
  ASSERT_TRUE(korva::ReadBlock(*v, block, fe));
  fe[27] = type;
  korva::StoreLE16(fe + 34, 3);
  korva::StoreLE64(fe + 56, data.size());
  korva::StoreLE32(fe + 172, uint32_t(data.size()));
  std::copy(data.begin(), data.end(), fe + 176);
  korva::RefillEntryTag(fe, block);
  ASSERT_TRUE(korva::WriteBlock(*v, block, fe));
}
} // namespace

TEST_F(Cli, LinksDevicesAndFifosAreListedCopiedOrLeftOut) {
  EXPECT_RUN(OnImage({"format", "--size", "8"}), 0);
  {
    Record rec;
    ASSERT_EQ(UDF_MountImage(rec.v, image_.c_str(), 0), KTRUE);
    for (const char16_t *name : {u"\\link", u"\\tty", u"\\pipe"}) {
      const UDF_HANDLE h = UDF_CreateFileW(rec.v, name, UDF_GENERIC_WRITE, UDF_CREATE_NEW, 0);
      ASSERT_NE(h, UDF_INVALID_HANDLE);
      UDF_CloseHandle(rec.v, h);
    }
    // "../t x" as path components: parent, then the name.
    RetypeEntry(rec.v, u"\\link", 12, {3, 0, 0, 0, 5, 4, 0, 0, 8, 't', ' ', 'x'});
    RetypeEntry(rec.v, u"\\tty", 7, {});
    RetypeEntry(rec.v, u"\\pipe", 9, {});
    ASSERT_EQ(UDF_SetFileOwnerW(rec.v, u"\\pipe", 1000, 100), KTRUE);
    ASSERT_EQ(UDF_DismountVolume(rec.v), KTRUE);
  }
  Result r = OnImage({"ls", "-l", "/"});
  EXPECT_RUN(r, 0);
  EXPECT_NE(r.out.find("l----"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("link -> ../t x\n"), std::string::npos) << r.out;
  // Owner and group as numbers, "-" where the entry records none.
  EXPECT_NE(r.out.find("c----     -     -       0,    0"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("p----  1000   100            0"), std::string::npos) << r.out;
  r = OnImage({"ls", "--json", "/link"});
  EXPECT_NE(r.out.find("\"type\":\"symbolic link\",\"size\":12"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\"target\":\"../t x\""), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\"uid\":null,\"gid\":null"), std::string::npos) << r.out;
  r = OnImage({"ls", "--json", "/pipe"});
  EXPECT_NE(r.out.find("\"uid\":1000,\"gid\":100"), std::string::npos) << r.out;

  const fs::path out = dir_ / "out";
  r = OnImage({"get", "/", out.string()});
  EXPECT_RUN(r, 1);
  EXPECT_NE(r.err.find("/tty: is a character device; left out"), std::string::npos) << r.err;
  EXPECT_EQ(fs::read_symlink(out / "link").string(), "../t x");
  EXPECT_TRUE(fs::is_fifo(out / "pipe"));
  EXPECT_FALSE(fs::exists(out / "tty"));
  r = OnImage({"cat", "/link"});
  EXPECT_RUN(r, 1);
  EXPECT_NE(r.err.find("is a symbolic link to ../t x"), std::string::npos) << r.err;
  EXPECT_RUN(OnImage({"check"}), 0);
  EXPECT_RUN(OnImage({"rm", "/link", "/tty", "/pipe"}), 0);
  EXPECT_RUN(OnImage({"check"}), 0);
}

namespace {

// put over a file another system wrote keeps its owner, mode and other attributes; only the
// bytes change. And the longest names a volume holds go through put, mv, cat, get and rm.
TEST_F(Cli, PutOverAFileKeepsItsOwnerAndModeAndLongNamesWork) {
  EXPECT_RUN(OnImage({"format", "--size", "8"}), 0);
  const fs::path src = dir_ / "src";
  fs::create_directory(src);
  WriteFile(src / "f", "first");
  EXPECT_RUN(OnImage({"put", (src / "f").string(), "/f"}), 0);
  // rw-r--r-- and set-group-ID
  const uint32_t mode = 0x1884 | UDF_PERMISSION_SETGID;
  {
    Record rec;
    ASSERT_EQ(UDF_MountImage(rec.v, image_.c_str(), 0), KTRUE);
    ASSERT_EQ(UDF_SetFilePermissionsW(rec.v, u"\\f", mode), KTRUE);
    ASSERT_EQ(UDF_SetFileOwnerW(rec.v, u"\\f", 1234, 567), KTRUE);
    ASSERT_EQ(UDF_DismountVolume(rec.v), KTRUE);
  }
  WriteFile(src / "f", "second, longer");
  EXPECT_RUN(OnImage({"put", (src / "f").string(), "/f"}), 0);
  EXPECT_EQ(OnImage({"cat", "/f"}).out, "second, longer");
  {
    Record rec;
    ASSERT_EQ(UDF_MountImage(rec.v, image_.c_str(), 0), KTRUE);
    KorvaFileInfo info{};
    ASSERT_EQ(UDF_GetFileInfoW(rec.v, u"\\f", &info), KTRUE);
    EXPECT_EQ(info.Size, 14u);
    EXPECT_EQ(info.Permissions & (0x7FFF | UDF_PERMISSION_SETGID), mode);
    EXPECT_EQ(info.Uid, 1234u);
    EXPECT_EQ(info.Gid, 567u);
    ASSERT_EQ(UDF_DismountVolume(rec.v), KTRUE);
  }

  // 254 characters below U+0100 (é is two bytes in UTF-8), and one more is refused.
  std::string name;
  for (int i = 0; i < 254; ++i)
    name += i % 2 ? "\xC3\xA9" : "n";
  WriteFile(src / "long", "long name");
  EXPECT_RUN(OnImage({"put", (src / "long").string(), "/" + name}), 0);
  EXPECT_RUN(OnImage({"mkdir", "/d"}), 0);
  EXPECT_RUN(OnImage({"mv", "/" + name, "/d/" + name}), 0);
  EXPECT_EQ(OnImage({"cat", "/d/" + name}).out, "long name");
  EXPECT_RUN(OnImage({"get", "/d/" + name, (dir_ / "back").string()}), 0);
  EXPECT_EQ(FileBytes(dir_ / "back"), "long name");
  EXPECT_RUN(OnImage({"rm", "/d/" + name}), 0);
  Result r = OnImage({"put", (src / "long").string(), "/" + name + "x"});
  EXPECT_RUN(r, 1);
  EXPECT_NE(r.err.find("name too long"), std::string::npos) << r.err;
}

} // namespace
