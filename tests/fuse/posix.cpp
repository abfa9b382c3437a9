// POSIX behaviour of a mounted volume that programs rely on, case by case, each run in a
// directory of its own below the mount point. Prints every failed expectation and exits 1
// when there was one. Usage: fuse_posix MOUNTED
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
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

// Times of a path as one number each, in nanoseconds.
struct Times {
  long long m = 0, c = 0;
};
Times TimesOf(const std::string &path) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) return {};
  return {st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec,
          st.st_ctim.tv_sec * 1000000000LL + st.st_ctim.tv_nsec};
}
void Tick() {
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

// The change time moves with the data, the length and the link count; a directory's
// modification and change times move when it loses a name as when it gains one.
void ChangeTimes() {
  const std::string d = P("times"), f = d + "/f", g = d + "/g", sub = P("times2");
  EXPECT(mkdir(d.c_str(), 0755) == 0 && mkdir(sub.c_str(), 0755) == 0);
  int fd = open(f.c_str(), O_CREAT | O_WRONLY, 0644);
  EXPECT(write(fd, "data", 4) == 4 && close(fd) == 0);
  Times before = TimesOf(f);
  Tick();
  EXPECT(truncate(f.c_str(), 2) == 0);
  EXPECT(TimesOf(f).c > before.c);
  before = TimesOf(f);
  Tick();
  EXPECT(link(f.c_str(), g.c_str()) == 0);
  EXPECT(TimesOf(f).c > before.c);
  before = TimesOf(f);
  Times dir = TimesOf(d);
  Tick();
  EXPECT(unlink(g.c_str()) == 0);
  EXPECT(TimesOf(f).c > before.c && TimesOf(f).m == before.m);
  EXPECT(TimesOf(d).m > dir.m && TimesOf(d).c > dir.c);
  dir = TimesOf(d);
  Tick();
  EXPECT(rename(f.c_str(), (sub + "/f").c_str()) == 0);
  EXPECT(TimesOf(d).m > dir.m && TimesOf(d).c > dir.c);
  EXPECT(unlink((sub + "/f").c_str()) == 0);
  EXPECT(rmdir(d.c_str()) == 0 && rmdir(sub.c_str()) == 0);
}

// Every byte up to the end is recorded, so a size the volume cannot hold is refused before
// anything is written: beyond the whole volume EFBIG, beyond the free space ENOSPC. Either
// way the file keeps its size and the space stays free.
void GrowthBeyondTheVolume() {
  const std::string f = P("huge");
  int fd = open(f.c_str(), O_CREAT | O_RDWR, 0644);
  EXPECT(write(fd, "x", 1) == 1);
  struct statvfs before {}, after {};
  EXPECT(fsync(fd) == 0 && statvfs(root.c_str(), &before) == 0);
  const off_t whole = off_t(before.f_blocks) * off_t(before.f_frsize);
  const off_t overFree = off_t(before.f_bavail + (before.f_blocks - before.f_bavail) / 2) *
                         off_t(before.f_frsize);
  EXPECT(ftruncate(fd, whole * 4) == -1 && errno == EFBIG);
  EXPECT(pwrite(fd, "y", 1, whole * 4) == -1 && errno == EFBIG);
  EXPECT(ftruncate(fd, overFree) == -1 && errno == ENOSPC);
  EXPECT(pwrite(fd, "y", 1, overFree) == -1 && errno == ENOSPC);
  struct stat st {};
  EXPECT(fstat(fd, &st) == 0 && st.st_size == 1);
  EXPECT(statvfs(root.c_str(), &after) == 0 && after.f_bavail == before.f_bavail);
  EXPECT(close(fd) == 0 && unlink(f.c_str()) == 0);
}

// Hard links share one file: every name sees its data and the same link count.
void HardLinks() {
  const std::string a = P("linked"), b = P("linked2"), d = P("linkdir");
  int fd = open(a.c_str(), O_CREAT | O_RDWR, 0644);
  EXPECT(write(fd, "shared", 6) == 6 && close(fd) == 0);
  EXPECT(mkdir(d.c_str(), 0755) == 0);
  EXPECT(link(a.c_str(), b.c_str()) == 0);
  EXPECT(link(a.c_str(), (d + "/third").c_str()) == 0);
  EXPECT(link(a.c_str(), b.c_str()) == -1 && errno == EEXIST);
  EXPECT(link(d.c_str(), P("dirlink").c_str()) == -1 && errno == EPERM);
  struct stat sa {}, sb {};
  EXPECT(stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0);
  EXPECT(sa.st_nlink == 3 && sb.st_nlink == 3 && sa.st_ino == sb.st_ino);
  fd = open(b.c_str(), O_WRONLY | O_APPEND);
  EXPECT(write(fd, "!", 1) == 1 && close(fd) == 0);
  char buf[16] = {};
  fd = open((d + "/third").c_str(), O_RDONLY);
  EXPECT(read(fd, buf, sizeof buf) == 7 && std::memcmp(buf, "shared!", 7) == 0);
  EXPECT(close(fd) == 0);
  EXPECT(unlink(a.c_str()) == 0);
  EXPECT(stat(b.c_str(), &sb) == 0 && sb.st_nlink == 2 && sb.st_size == 7);
  EXPECT(rename(b.c_str(), (d + "/moved").c_str()) == 0);
  EXPECT(stat((d + "/third").c_str(), &sb) == 0 && sb.st_nlink == 2);
  EXPECT(unlink((d + "/moved").c_str()) == 0);
  EXPECT(unlink((d + "/third").c_str()) == 0);
  EXPECT(rmdir(d.c_str()) == 0);
}

// Symbolic links, FIFOs, sockets and device nodes keep their kind, target and numbers.
void SpecialEntries() {
  const std::string d = P("special");
  EXPECT(mkdir(d.c_str(), 0755) == 0);
  EXPECT(symlink("../target/ünï", (d + "/rel").c_str()) == 0);
  EXPECT(symlink("/abs/./x/..", (d + "/abs").c_str()) == 0);
  char buf[256] = {};
  EXPECT(readlink((d + "/rel").c_str(), buf, sizeof buf) == ssize_t(std::strlen("../target/ünï")));
  EXPECT(std::strcmp(buf, "../target/ünï") == 0);
  std::memset(buf, 0, sizeof buf);
  EXPECT(readlink((d + "/abs").c_str(), buf, sizeof buf) == 11 &&
         std::strcmp(buf, "/abs/./x/..") == 0);
  EXPECT(S_ISLNK(ModeOf(d + "/rel")));
  struct stat st {};
  EXPECT(lstat((d + "/rel").c_str(), &st) == 0 && st.st_size == ssize_t(std::strlen("../target/ünï")));
  // A link to a file in the same directory is followed.
  int fd = open((d + "/file").c_str(), O_CREAT | O_WRONLY, 0600);
  EXPECT(write(fd, "via link", 8) == 8 && close(fd) == 0);
  EXPECT(symlink("file", (d + "/tofile").c_str()) == 0);
  fd = open((d + "/tofile").c_str(), O_RDONLY);
  EXPECT(fd >= 0 && read(fd, buf, 8) == 8 && std::memcmp(buf, "via link", 8) == 0);
  close(fd);
  EXPECT(mkfifo((d + "/fifo").c_str(), 0640) == 0);
  EXPECT(S_ISFIFO(ModeOf(d + "/fifo")) && (ModeOf(d + "/fifo") & 07777) == 0640);
  EXPECT(mknod((d + "/sock").c_str(), S_IFSOCK | 0600, 0) == 0);
  EXPECT(S_ISSOCK(ModeOf(d + "/sock")));
  if (geteuid() == 0) {
    EXPECT(mknod((d + "/chr").c_str(), S_IFCHR | 0644, makedev(1, 3)) == 0);
    EXPECT(mknod((d + "/blk").c_str(), S_IFBLK | 0600, makedev(259, 70000)) == 0);
    EXPECT(lstat((d + "/chr").c_str(), &st) == 0 && S_ISCHR(st.st_mode) &&
           st.st_rdev == makedev(1, 3));
    EXPECT(lstat((d + "/blk").c_str(), &st) == 0 && S_ISBLK(st.st_mode) &&
           st.st_rdev == makedev(259, 70000));
    // Owners as recorded: chown and chgrp, and a set-group-ID directory's group handed on.
    EXPECT(chown((d + "/file").c_str(), 1234, 5678) == 0);
    EXPECT(lstat((d + "/file").c_str(), &st) == 0 && st.st_uid == 1234 && st.st_gid == 5678);
    // A second name for it, which the kernel must count too.
    EXPECT(link((d + "/file").c_str(), (d + "/hard").c_str()) == 0);
    EXPECT(lchown((d + "/rel").c_str(), 42, -1) == 0);
    EXPECT(lstat((d + "/rel").c_str(), &st) == 0 && st.st_uid == 42);
    EXPECT(mkdir((d + "/sgid").c_str(), 0755) == 0 && chown((d + "/sgid").c_str(), 0, 77) == 0);
    EXPECT(chmod((d + "/sgid").c_str(), 02775) == 0);
    EXPECT(mkdir((d + "/sgid/sub").c_str(), 0755) == 0);
    EXPECT(lstat((d + "/sgid/sub").c_str(), &st) == 0 && st.st_gid == 77 &&
           (st.st_mode & S_ISGID));
  }
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
      {"change times", ChangeTimes},
      {"growth beyond the volume", GrowthBeyondTheVolume},
      {"hard links", HardLinks},
      {"special entries", SpecialEntries},
  };
  for (auto &c : cases) {
    const int before = failures;
    c.second();
    std::printf("%s: %s\n", c.first, failures == before ? "ok" : "FAILED");
  }
  return failures ? 1 : 0;
}
