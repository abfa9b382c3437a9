// POSIX behaviour of a mounted volume that programs rely on, case by case, each run in a
// directory of its own below the mount point. Prints every failed expectation and exits 1
// when there was one. Usage: fuse_posix MOUNTED
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

int failures = 0;
std::string root;

#define EXPECT(cond)                                                                               \
  do {                                                                                             \
    if (!(cond)) {                                                                                 \
      std::fprintf(stderr, "%s:%d: expected %s (errno %s)\n", __FILE__, __LINE__, #cond,           \
                   std::strerror(errno));                                                          \
      ++failures;                                                                                  \
    }                                                                                              \
  } while (0)

std::string P(const std::string &name) {
  return root + "/" + name;
}

mode_t ModeOf(const std::string &path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0 ? st.st_mode : 0;
}

// An open file that is unlinked stays readable and writable until its last close; fstat
// gives it no links. Another file written meanwhile is not disturbed.
void UnlinkedOpenFile() {
  const std::string f = P("unlinked");
  int fd = open(f.c_str(), O_CREAT | O_RDWR, 0644);
  EXPECT(fd >= 0);
  EXPECT(write(fd, "Hello, World!", 13) == 13);
  int reader = open(f.c_str(), O_RDONLY);
  EXPECT(reader >= 0);
  EXPECT(unlink(f.c_str()) == 0);
  struct stat st {};
  EXPECT(fstat(fd, &st) == 0 && st.st_nlink == 0 && st.st_size == 13);
  char buf[32] = {};
  EXPECT(pread(reader, buf, sizeof buf, 0) == 13 && std::memcmp(buf, "Hello, World!", 13) == 0);
  EXPECT(pwrite(fd, "J", 1, 0) == 1);
  EXPECT(fsync(fd) == 0);
  EXPECT(pread(reader, buf, 1, 0) == 1 && buf[0] == 'J');
  EXPECT(ftruncate(fd, 20) == 0);
  EXPECT(fstat(reader, &st) == 0 && st.st_size == 20);
  EXPECT(fchmod(fd, 0600) == 0);
  EXPECT(fstat(fd, &st) == 0 && (st.st_mode & 07777) == 0600);
  // The name is free for a new file at once.
  int other = open(f.c_str(), O_CREAT | O_EXCL | O_RDWR, 0644);
  EXPECT(other >= 0);
  EXPECT(write(other, "new", 3) == 3);
  EXPECT(close(other) == 0);
  EXPECT(close(fd) == 0);
  EXPECT(pread(reader, buf, 5, 0) == 5 && std::memcmp(buf, "Jello", 5) == 0);
  EXPECT(close(reader) == 0);
  EXPECT(unlink(f.c_str()) == 0);
  // Replaced by a rename while open: the old file stays readable.
  fd = open(f.c_str(), O_CREAT | O_RDWR, 0644);
  EXPECT(write(fd, "old", 3) == 3);
  EXPECT(close(open(P("renamed").c_str(), O_CREAT | O_WRONLY, 0644)) == 0);
  EXPECT(rename(P("renamed").c_str(), f.c_str()) == 0);
  EXPECT(pread(fd, buf, 3, 0) == 3 && std::memcmp(buf, "old", 3) == 0);
  EXPECT(fstat(fd, &st) == 0 && st.st_nlink == 0);
  EXPECT(close(fd) == 0);
  EXPECT(unlink(f.c_str()) == 0);
}

// New entries get the mode asked for minus the umask; a file without write bits can still
// be replaced and deleted (that is its directory's business); chmod keeps every bit.
void Modes() {
  const mode_t old = umask(022);
  const std::string d = P("modes");
  EXPECT(mkdir(d.c_str(), 0750) == 0);
  EXPECT((ModeOf(d) & 07777) == 0750 && S_ISDIR(ModeOf(d)));
  const std::string f = d + "/private";
  int fd = open(f.c_str(), O_CREAT | O_EXCL | O_WRONLY, 0666);
  EXPECT(fd >= 0 && close(fd) == 0);
  EXPECT((ModeOf(f) & 07777) == 0644);
  umask(077);
  const std::string g = d + "/readonly";
  fd = open(g.c_str(), O_CREAT | O_EXCL | O_WRONLY, 0444);
  EXPECT(fd >= 0 && write(fd, "x", 1) == 1 && close(fd) == 0);
  EXPECT((ModeOf(g) & 07777) == 0400);
  umask(old);
  EXPECT(rename(f.c_str(), g.c_str()) == 0);
  EXPECT(unlink(g.c_str()) == 0);
  for (mode_t m : {04755, 02755, 01777, 07000, 0}) {
    EXPECT(chmod(d.c_str(), m) == 0);
    EXPECT((ModeOf(d) & 07777) == m);
  }
  EXPECT(chmod(d.c_str(), 0755) == 0);
  EXPECT(rmdir(d.c_str()) == 0);
}

// Truncation to any size: the tail is gone, and reads as zeros when the file grows again.
void Truncation() {
  const std::string f = P("truncated");
  int fd = open(f.c_str(), O_CREAT | O_RDWR, 0644);
  std::vector<char> data(300000);
  for (size_t i = 0; i < data.size(); ++i)
    data[i] = char('a' + i % 26);
  EXPECT(write(fd, data.data(), data.size()) == ssize_t(data.size()));
  EXPECT(fsync(fd) == 0);
  EXPECT(ftruncate(fd, 100001) == 0);
  EXPECT(truncate(f.c_str(), 200000) == 0);
  std::vector<char> back(300000);
  EXPECT(pread(fd, back.data(), back.size(), 0) == 200000);
  EXPECT(std::memcmp(back.data(), data.data(), 100001) == 0);
  EXPECT(std::all_of(back.begin() + 100001, back.begin() + 200000, [](char c) { return c == 0; }));
  EXPECT(close(fd) == 0);
  struct stat st {};
  EXPECT(stat(f.c_str(), &st) == 0 && st.st_size == 200000);
  EXPECT(unlink(f.c_str()) == 0);
}

} // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: fuse_posix MOUNTED\n");
    return 2;
  }
  root = argv[1];
  const std::vector<std::pair<const char *, std::function<void()>>> cases = {
      {"unlinked open file", UnlinkedOpenFile},
      {"modes", Modes},
      {"truncation", Truncation},
  };
  for (auto &c : cases) {
    const int before = failures;
    c.second();
    std::printf("%s: %s\n", c.first, failures == before ? "ok" : "FAILED");
  }
  return failures ? 1 : 0;
}
