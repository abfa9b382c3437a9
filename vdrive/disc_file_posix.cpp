// The disc file on POSIX systems: a descriptor locked with flock.
#if !defined(_WIN32)
#include "vdrive/disc_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace korva::vdrive {

std::unique_ptr<DiscFile> DiscFile::Open(const std::string &path, bool *existed,
                                         std::string *error) {
  auto fail = [&](const std::string &what) -> std::unique_ptr<DiscFile> {
    if (error) *error = what;
    return nullptr;
  };
  *existed = ::access(path.c_str(), F_OK) == 0;
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return fail(path + ": " + std::strerror(errno));
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return fail(path + ": not a regular file");
  }
  // A disc is in one drive at a time: two drives writing one file would corrupt it.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    return fail(path + ": the disc is already in another drive");
  }
  return std::unique_ptr<DiscFile>(new DiscFile(fd));
}

DiscFile::~DiscFile() {
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
}

bool DiscFile::Size(uint64_t *size) const {
  struct stat st {};
  if (::fstat(static_cast<int>(handle_), &st) != 0) return false;
  *size = static_cast<uint64_t>(st.st_size);
  return true;
}

bool DiscFile::ReadAt(uint64_t offset, size_t n, uint8_t *out, size_t *got) const {
  *got = 0;
  while (*got < n) {
    ssize_t r = ::pread(static_cast<int>(handle_), out + *got, n - *got, off_t(offset + *got));
    if (r < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (r == 0) break; // end of file
    *got += size_t(r);
  }
  return true;
}

bool DiscFile::WriteAt(uint64_t offset, size_t n, const uint8_t *in) {
  while (n > 0) {
    ssize_t w = ::pwrite(static_cast<int>(handle_), in, n, off_t(offset));
    if (w < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    in += w;
    n -= static_cast<size_t>(w);
    offset += static_cast<uint64_t>(w);
  }
  return true;
}

bool DiscFile::Resize(uint64_t size) {
  return ::ftruncate(static_cast<int>(handle_), off_t(size)) == 0;
}

bool RenameReplacing(const std::string &from, const std::string &to) {
  return std::rename(from.c_str(), to.c_str()) == 0;
}

bool DiscFile::PunchHole(uint64_t offset, uint64_t n) {
#ifdef FALLOC_FL_PUNCH_HOLE
  return ::fallocate(static_cast<int>(handle_), FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE,
                     off_t(offset), off_t(n)) == 0;
#else
  (void)offset;
  (void)n;
  return false;
#endif
}

} // namespace korva::vdrive
#endif
