// The tool's local system on POSIX systems.
#if !defined(_WIN32)
#include "local.h"
#include "text.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <sys/file.h>

namespace korvacli {

void InstallInterruptHandlers(void (*handler)(int)) {
  struct sigaction sa {};
  sa.sa_handler = handler;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGHUP, &sa, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
}

bool StderrIsTerminal() {
  return isatty(2) != 0;
}

bool ListLocalDirectory(const std::string &dir, std::vector<std::string> &names) {
  DIR *d = opendir(dir.c_str());
  if (d == nullptr) return false;
  while (dirent *de = readdir(d)) {
    const std::string n = de->d_name;
    if (n != "." && n != "..") names.push_back(n);
  }
  closedir(d);
  return true;
}

std::string LocalIdentity(const std::string &path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return std::string();
  return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
}

int MakeLocalDirectory(const std::string &path) {
  return mkdir(path.c_str(), 0755) == 0 ? 0 : errno;
}

int MakeLocalSymlink(const std::u16string &target, const std::string &path) {
  return symlink(Utf16ToUtf8(target).c_str(), path.c_str()) == 0 ? 0 : errno;
}

int MakeLocalFifo(const std::string &path) {
  return mkfifo(path.c_str(), 0644) == 0 ? 0 : errno;
}

ImageLock::~ImageLock() {
  if (handle_ >= 0) close(static_cast<int>(handle_));
}

std::string ImageLock::LockExisting(const std::string &path, bool shared, bool &busy) {
  busy = false;
  if (handle_ < 0) handle_ = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (handle_ < 0) return std::strerror(errno);
  if (flock(static_cast<int>(handle_), (shared ? LOCK_SH : LOCK_EX) | LOCK_NB) != 0) {
    busy = errno == EWOULDBLOCK;
    return std::strerror(errno);
  }
  return std::string();
}

// Made under a temporary name, locked and reserved there, and only then linked to its
// name: a second command on the same path never sees a half-made file, and finds it locked.
std::string ImageLock::CreateLocked(const std::string &path, uint64_t bytes, bool &exists) {
  exists = false;
  const size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  std::string temp = dir + ".korva-new-XXXXXX";
  const int fd = mkstemp(temp.data());
  if (fd < 0) return std::strerror(errno);
  const mode_t mask = umask(0);
  umask(mask);
  const off_t size = static_cast<off_t>(bytes);
  int rc = fchmod(fd, 0644 & ~mask) == 0 ? 0 : errno;
  if (rc == 0) rc = flock(fd, LOCK_EX | LOCK_NB) == 0 ? 0 : errno;
  if (rc == 0) {
    rc = posix_fallocate(fd, 0, size);
    // A file system without preallocation: a sparse file still reads as zeros.
    if (rc == EINVAL || rc == EOPNOTSUPP) rc = ftruncate(fd, size) == 0 ? 0 : errno;
  }
  if (rc == 0 && link(temp.c_str(), path.c_str()) != 0) rc = errno;
  unlink(temp.c_str());
  if (rc != 0) {
    close(fd);
    exists = rc == EEXIST;
    return std::strerror(rc);
  }
  if (handle_ >= 0) close(static_cast<int>(handle_));
  handle_ = fd;
  return std::string();
}

} // namespace korvacli
#endif
