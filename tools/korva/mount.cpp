// korva mount: serves the mounted volume through libfuse's path-based interface, one
// request at a time, with a timer thread that writes out files whose writes have paused.
#include "mount.h"

#ifdef KORVA_HAVE_FUSE
#define FUSE_USE_VERSION 35
#include <fcntl.h>
#include <fuse.h>
#include <sys/stat.h>
#include <pthread.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <thread>

#include "mount_volume.h"

namespace korvacli {

namespace {

MountedVolume &Volume() {
  return *static_cast<MountedVolume *>(fuse_get_context()->private_data);
}

Owner Caller() {
  const fuse_context *c = fuse_get_context();
  return {c->uid, c->gid};
}

int OpGetAttr(const char *path, struct stat *st, fuse_file_info *fi) {
  return Volume().GetAttr(path, fi ? fi->fh : 0, *st);
}

int OpReadDir(const char *path, void *buf, fuse_fill_dir_t fill, off_t, fuse_file_info *,
              fuse_readdir_flags) {
  // Names come without their entries' numbers, as libfuse gives them when it numbers inodes.
  constexpr ino_t kUnknownIno = 0xffffffff;
  struct stat dir {};
  dir.st_mode = S_IFDIR;
  dir.st_ino = kUnknownIno;
  fill(buf, ".", &dir, 0, fuse_fill_dir_flags(0));
  fill(buf, "..", &dir, 0, fuse_fill_dir_flags(0));
  return Volume().ReadDir(path, [&](const std::string &name, bool isDir) {
    struct stat st {};
    st.st_mode = isDir ? S_IFDIR : S_IFREG;
    st.st_ino = kUnknownIno;
    fill(buf, name.c_str(), &st, 0, fuse_fill_dir_flags(0));
  });
}

int OpOpen(const char *path, fuse_file_info *fi) {
  uint64_t fh = 0;
  const bool writing = (fi->flags & O_ACCMODE) != O_RDONLY;
  if (int r = Volume().Open(path, writing, fh)) return r;
  fi->fh = fh;
  // libfuse asks for O_TRUNC to come with the open instead of as a truncate before it.
  if (writing && (fi->flags & O_TRUNC))
    if (int r = Volume().Truncate(path, 0, fh)) {
      Volume().Release(fh);
      return r;
    }
  return 0;
}

int OpCreate(const char *path, mode_t mode, fuse_file_info *fi) {
  uint64_t fh = 0;
  if (int r = Volume().Create(path, mode, Caller(), fh)) return r;
  fi->fh = fh;
  return 0;
}

int OpRead(const char *, char *buf, size_t size, off_t off, fuse_file_info *fi) {
  return Volume().Read(fi->fh, buf, size, uint64_t(off));
}

int OpWrite(const char *, const char *buf, size_t size, off_t off, fuse_file_info *fi) {
  return Volume().Write(fi->fh, buf, size, uint64_t(off));
}

int OpFlush(const char *, fuse_file_info *fi) {
  return Volume().Flush(fi->fh);
}

int OpFsync(const char *, int, fuse_file_info *fi) {
  return Volume().Sync(fi->fh);
}

int OpFsyncDir(const char *, int, fuse_file_info *) {
  return Volume().SyncAll();
}

int OpRelease(const char *, fuse_file_info *fi) {
  return Volume().Release(fi->fh);
}

int OpTruncate(const char *path, off_t size, fuse_file_info *fi) {
  if (size < 0) return -EINVAL;
  return Volume().Truncate(path, uint64_t(size), fi ? fi->fh : 0);
}

int OpMkdir(const char *path, mode_t mode) {
  return Volume().MakeDir(path, mode, Caller());
}

int OpRmdir(const char *path) {
  return Volume().RemoveDir(path);
}

int OpUnlink(const char *path) {
  return Volume().Unlink(path);
}

int OpRename(const char *from, const char *to, unsigned int flags) {
  if (flags & ~unsigned(RENAME_NOREPLACE)) return -EINVAL; // no exchange or whiteouts
  return Volume().Rename(from, to, (flags & RENAME_NOREPLACE) != 0);
}

int OpUtimens(const char *path, const struct timespec tv[2], fuse_file_info *fi) {
  int64_t times[2];
  const int64_t *use[2] = {nullptr, nullptr};
  for (int i = 0; i < 2; ++i) {
    struct timespec t = tv ? tv[i] : timespec{0, UTIME_NOW};
    if (t.tv_nsec == UTIME_OMIT) continue;
    if (t.tv_nsec == UTIME_NOW) clock_gettime(CLOCK_REALTIME, &t);
    times[i] = int64_t(t.tv_sec) * 1000000000 + t.tv_nsec;
    use[i] = &times[i];
  }
  if (Volume().IsUnnamed(path, fi ? fi->fh : 0))
    return Volume().SetUnnamed(path, fi ? fi->fh : 0, [&](struct stat &st) {
    if (use[0]) st.st_atim = timespec{time_t(*use[0] / 1000000000), long(*use[0] % 1000000000)};
    if (use[1]) st.st_mtim = timespec{time_t(*use[1] / 1000000000), long(*use[1] % 1000000000)};
  });
  return Volume().SetTimes(path, use[0], use[1]);
}

int OpChmod(const char *path, mode_t mode, fuse_file_info *fi) {
  if (Volume().IsUnnamed(path, fi ? fi->fh : 0))
    return Volume().SetUnnamed(path, fi ? fi->fh : 0, [&](struct stat &st) {
    st.st_mode = (st.st_mode & S_IFMT) | (mode & 07777);
  });
  return Volume().Chmod(path, mode);
}

int OpChown(const char *path, uid_t uid, gid_t gid, fuse_file_info *fi) {
  if (Volume().IsUnnamed(path, fi ? fi->fh : 0))
    return Volume().SetUnnamed(path, fi ? fi->fh : 0, [&](struct stat &st) {
    if (uid != uid_t(-1)) st.st_uid = uid;
    if (gid != gid_t(-1)) st.st_gid = gid;
  });
  return Volume().Chown(path, uid, gid);
}

int OpStatFs(const char *, struct statvfs *st) {
  return Volume().StatFs(*st);
}

int OpSymlink(const char *target, const char *path) {
  return Volume().SymLink(target, path, Caller());
}
int OpReadLink(const char *path, char *buf, size_t size) {
  std::string target;
  if (int r = Volume().ReadLink(path, target)) return r;
  if (size == 0) return -EINVAL;
  const size_t n = std::min(size - 1, target.size());
  std::memcpy(buf, target.data(), n);
  buf[n] = 0;
  return 0;
}
int OpLink(const char *from, const char *to) {
  return Volume().Link(from, to);
}
int OpMknod(const char *path, mode_t mode, dev_t device) {
  return Volume().MakeNode(path, mode, device, Caller());
}

void *OpInit(fuse_conn_info *conn, fuse_config *cfg) {
  // Requests of up to 1 MiB (the kernel's limit) instead of 128 KiB: fewer round trips for
  // reading and writing large files.
  conn->max_write = 1u << 20;
  conn->max_readahead = 1u << 20;
  // libfuse keeps a file unlinked while open reachable by renaming it to a hidden name
  // (".fuse_hidden..."); the rename is served as an unlink that keeps the file until its last
  // close, so that nothing of the kind is ever stored.
  cfg->hard_remove = 0;
  // Attributes are asked for every time: a file with several names is one entry, and a change
  // through one name must show through the others at once.
  cfg->entry_timeout = 1.0;
  cfg->attr_timeout = 0;
  cfg->use_ino = 1;
  cfg->negative_timeout = 0;
  return fuse_get_context()->private_data;
}

fuse_operations Operations() {
  fuse_operations ops{};
  ops.getattr = OpGetAttr;
  ops.readdir = OpReadDir;
  ops.open = OpOpen;
  ops.create = OpCreate;
  ops.read = OpRead;
  ops.write = OpWrite;
  ops.flush = OpFlush;
  ops.fsync = OpFsync;
  ops.fsyncdir = OpFsyncDir;
  ops.release = OpRelease;
  ops.truncate = OpTruncate;
  ops.mkdir = OpMkdir;
  ops.rmdir = OpRmdir;
  ops.unlink = OpUnlink;
  ops.rename = OpRename;
  ops.utimens = OpUtimens;
  ops.chmod = OpChmod;
  ops.chown = OpChown;
  ops.statfs = OpStatFs;
  ops.symlink = OpSymlink;
  ops.link = OpLink;
  ops.readlink = OpReadLink;
  ops.mknod = OpMknod;
  ops.init = OpInit;
  return ops;
}

// Where messages go: stderr while attached to a terminal, the system log once detached.
struct Log {
  std::atomic<bool> detached{false};
  void operator()(const std::string &text) const {
    if (detached)
      syslog(LOG_ERR, "%s", text.c_str());
    else
      std::fprintf(stderr, "korva: mount: %s\n", text.c_str());
  }
};

// Writes out paused files until stopped.
class IdleFlusher {
public:
  explicit IdleFlusher(MountedVolume &v) : v_(v) {
    // Signals must reach the thread reading /dev/fuse, or Ctrl-C would wait for the next
    // request: the timer thread starts with them blocked.
    sigset_t block, old;
    sigemptyset(&block);
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
      sigaddset(&block, sig);
    pthread_sigmask(SIG_BLOCK, &block, &old);
    thread_ = std::thread([this] { Run(); });
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
  }
  ~IdleFlusher() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      stop_ = true;
    }
    cv_.notify_one();
    thread_.join();
  }

private:
  void Run() {
    std::unique_lock<std::mutex> lock(mu_);
    while (!cv_.wait_for(lock, kIdleFlush / 2, [this] { return stop_; })) {
      lock.unlock();
      v_.FlushIdle();
      lock.lock();
    }
  }
  MountedVolume &v_;
  std::mutex mu_;
  std::condition_variable cv_;
  bool stop_ = false;
  std::thread thread_;
};

// libfuse installs its handlers only over the default ones.
void DefaultSignals() {
  for (int sig : {SIGINT, SIGTERM, SIGHUP})
    std::signal(sig, SIG_DFL);
}

// A mount in the background. The process forks before anything opens the drive or starts
// a thread: an ASPI-style module's worker threads, or the drive's exclusive open, would not
// pass to the child. The parent waits on a pipe for the child's word that the file system
// is mounted (or its exit status when it is not) and ends with it.
class Detached {
public:
  // In the parent: waits and returns the child's result (>= 0). In the child: -1.
  int Fork(Reporter &report) {
    int fds[2];
    if (pipe(fds) != 0) {
      report.Fail("", std::string("cannot start the mount: ") + std::strerror(errno));
      return kExitFailed;
    }
    const pid_t pid = fork();
    if (pid < 0) {
      report.Fail("", std::string("cannot start the mount: ") + std::strerror(errno));
      return kExitFailed;
    }
    if (pid > 0) {
      close(fds[1]);
      uint8_t status = kExitFailed;
      ssize_t n;
      do {
        n = read(fds[0], &status, 1);
      } while (n < 0 && errno == EINTR);
      close(fds[0]);
      return n == 1 ? int(status) : int(kExitFailed);
    }
    close(fds[0]);
    setsid();
    ready_ = fds[1];
    return -1;
  }
  // Tells the parent the result (once); after success the child lets go of the terminal.
  void Report(int status) {
    if (ready_ < 0) return;
    const uint8_t byte = static_cast<uint8_t>(status);
    while (write(ready_, &byte, 1) < 0 && errno == EINTR) {
    }
    close(ready_);
    ready_ = -1;
    if (status != kExitOk) return;
    const int null = open("/dev/null", O_RDWR);
    if (null >= 0) {
      for (int fd : {0, 1, 2})
        dup2(null, fd);
      if (null > 2) close(null);
    }
    if (chdir("/") != 0) {
      // Nothing depends on the directory any more: the volume's files are open.
    }
  }

private:
  int ready_ = -1;
};

int Serve(Session &s, const std::string &mountpoint, Detached *detached);

} // namespace

int CmdMount(Session &s) {
  const Options &o = s.Opt();
  const std::string &mountpoint = o.args[0];
  struct stat st {};
  if (stat(mountpoint.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    s.Report().Fail(mountpoint, "not a directory");
    return kExitFailed;
  }
  if (o.foreground) return Serve(s, mountpoint, nullptr);
  Detached detached;
  const int parent = detached.Fork(s.Report());
  if (parent >= 0) return parent;
  const int status = Serve(s, mountpoint, &detached);
  detached.Report(status);
  return status;
}

namespace {

// Mounts the volume and serves it until it is unmounted.
int Serve(Session &s, const std::string &mountpoint, Detached *detached) {
  const Options &o = s.Opt();
  if (!s.Mount(false)) return kExitFailed;
  // Write-behind, as every command (Session::Mount): changes gather in the packet cache until
  // fsync, fsyncdir, syncfs, the idle flush or memory pressure writes them. A failure found
  // by such a flush turns the mount read-only; the call that flushed, or else the next call
  // that writes, syncs or closes, returns EIO.
  // What mounting wrote (the volume's open mark) reaches the medium before the first request,
  // so a failing drive is met by the call that writes, not by a later idle flush.
  if (!s.Korva().UDF_FlushVolume()) {
    s.Report().Fail(mountpoint, "the volume could not be written");
    s.Dismount();
    return kExitFailed;
  }
  Log log;
  // A medium that cannot be written mounts read-only by itself.
  const bool readOnly = o.readOnly || s.Korva().Volume()->ReadOnly;
  MountedVolume volume(s.Korva(), readOnly, std::ref(log));
  const std::string source = "fsname=korva:" + (s.IsImage() ? o.image : "drive-" + o.drive);
  std::vector<std::string> argv = {"korva", "-o", source + ",subtype=korva,default_permissions"};
  if (readOnly) argv.insert(argv.end(), {"-o", "ro"});
  // Mounted by root, entries keep their recorded owners and the kernel checks every user's
  // rights against them, as for a disc the kernel mounts itself: every user may come in.
  if (getuid() == 0) argv.insert(argv.end(), {"-o", "allow_other"});
  std::vector<char *> raw;
  for (auto &a : argv)
    raw.push_back(a.data());
  fuse_args args = FUSE_ARGS_INIT(int(raw.size()), raw.data());
  const fuse_operations ops = Operations();
  fuse *f = fuse_new(&args, &ops, sizeof ops, &volume);
  fuse_opt_free_args(&args);
  if (!f) {
    s.Report().Fail(mountpoint, "FUSE could not be set up");
    return kExitFailed;
  }
  if (fuse_mount(f, mountpoint.c_str()) != 0) {
    fuse_destroy(f);
    s.Report().Fail(mountpoint,
                    "cannot mount here (is /dev/fuse usable, is fusermount3 installed?)");
    return kExitFailed;
  }
  DefaultSignals();
  fuse_session *session = fuse_get_session(f);
  fuse_set_signal_handlers(session);
  if (detached) {
    openlog("korva", LOG_PID, LOG_USER);
    log.detached = true;
    detached->Report(kExitOk);
  }
  int status = kExitOk;
  {
    IdleFlusher flusher(volume);
    // A signal ends the loop with its number; only a negative result is a failure.
    if (fuse_loop(f) < 0) status = kExitFailed;
  }
  fuse_remove_signal_handlers(session);
  if (!volume.FlushAll()) status = kExitFailed;
  fuse_unmount(f);
  fuse_destroy(f);
  if (!s.Dismount()) status = kExitFailed;
  return status;
}

} // namespace

} // namespace korvacli

#else

namespace korvacli {

int CmdMount(Session &s) {
#if defined(_WIN32)
  s.Report().Fail("", "mounting needs FUSE, which korva uses on Linux only");
#else
  s.Report().Fail("", "this korva was built without FUSE (install libfuse3-dev and rebuild)");
#endif
  return kExitFailed;
}

} // namespace korvacli

#endif
