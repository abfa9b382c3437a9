// The mounted volume as a POSIX file system: every operation the mount serves, on paths of
// the form "/a/b", returning 0 or a negative errno. Writes to a file are gathered and handed
// to the engine in large, packet-aligned pieces; one lock keeps the engine to one caller.
#ifndef KORVA_TOOLS_MOUNT_VOLUME_H
#define KORVA_TOOLS_MOUNT_VOLUME_H

#include <sys/stat.h>
#include <sys/statvfs.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "korva/TKorva.hpp"

namespace korvacli {

// How much of a file is gathered before it goes to the engine: the chunk `korva put` writes,
// so that both write the same packets.
constexpr size_t kGatherBytes = 4u << 20;
// Gathered data of all files together.
constexpr size_t kGatherTotalBytes = 32u << 20;
// A file whose writes pause this long is written out.
constexpr auto kIdleFlush = std::chrono::milliseconds(700);

struct OpenFile;

// Who asks for a new entry.
struct Owner {
  uid_t uid;
  gid_t gid;
};

class MountedVolume {
public:
  using Logger = std::function<void(const std::string &)>;
  MountedVolume(TKorva &korva, bool readOnly, Logger log);
  ~MountedVolume();

  // path is null for a file unlinked while open: fh names it then.
  int GetAttr(const char *path, uint64_t fh, struct stat &st);
  // Calls add for every name of the directory (without "." and "..").
  int ReadDir(const std::string &path,
              const std::function<void(const std::string &, bool isDir)> &add);
  int Open(const std::string &path, bool forWriting, uint64_t &fh);
  int Create(const std::string &path, mode_t mode, const Owner &owner, uint64_t &fh);
  // FIFOs, sockets, devices (and regular files made by mknod).
  int MakeNode(const std::string &path, mode_t mode, dev_t device, const Owner &owner);
  int SymLink(const std::string &target, const std::string &path, const Owner &owner);
  int ReadLink(const std::string &path, std::string &target);
  int Link(const std::string &from, const std::string &to);
  int Read(uint64_t fh, char *buffer, size_t size, uint64_t offset);
  int Write(uint64_t fh, const char *buffer, size_t size, uint64_t offset);
  int Flush(uint64_t fh);
  // fsync: the file's gathered writes and everything before them made durable.
  int Sync(uint64_t fh);
  // fsyncdir: everything done so far made durable.
  int SyncAll();
  int Release(uint64_t fh);
  // fh is 0 when the file is not open; path is null for a file unlinked while open.
  int Truncate(const char *path, uint64_t size, uint64_t fh);
  int MakeDir(const std::string &path, mode_t mode, const Owner &owner);
  int RemoveDir(const std::string &path);
  int Unlink(const std::string &path);
  int Rename(const std::string &from, const std::string &to, bool noReplace);
  // Times in nanoseconds since 1970; null leaves a time alone.
  int SetTimes(const std::string &path, const int64_t *access, const int64_t *modified);
  int Chmod(const std::string &path, mode_t mode);
  int Chown(const std::string &path, uid_t uid, gid_t gid);
  int StatFs(struct statvfs &st);
  // Changes the attributes of a file unlinked while open (nothing on the volume records them
  // any more).
  // path is libfuse's hidden name of such a file or null (fh names it then).
  bool IsUnnamed(const char *path, uint64_t fh);
  int SetUnnamed(const char *path, uint64_t fh, const std::function<void(struct stat &)> &change);

  // Writes out files whose writes have paused (called by a timer).
  void FlushIdle();
  // Writes out everything gathered and closes every handle; false when something failed.
  bool FlushAll();
  // An I/O failure has made the mount read-only.
  bool Failed() const { return failed_; }

private:
  int ToEngine(const std::string &path, std::u16string &out) const;
  int Error(const std::string &subject);
  int Info(const std::string &path, KorvaFileInfo &info);
  std::shared_ptr<OpenFile> Find(uint64_t fh);
  std::shared_ptr<OpenFile> OpenById(uint64_t id);
  std::shared_ptr<OpenFile> Unnamed(const char *path, uint64_t fh);
  // libfuse hides an open file it is told to unlink (or to replace) by renaming it.
  int Hide(const std::string &from, const std::string &to);
  void FollowMove(const std::string &from, const std::string &to);
  void Stat(const KorvaFileInfo &info, struct stat &st);
  int Attach(const std::string &path, int32_t handle, uint64_t &fh);
  int FlushFile(OpenFile &f, bool all);
  int WriteOut(OpenFile &f, size_t bytes);
  int Gather(OpenFile &f, const char *data, size_t size, uint64_t offset);
  int ZeroExtend(OpenFile &f, uint64_t size);
  int Grow(OpenFile &f, uint64_t size);
  int Shrink(OpenFile &f, uint64_t size);
  int CheckSpace(OpenFile &f, size_t more);
  // Blocks the gathered data of all files will take beyond what the files hold now.
  uint64_t PendingBlocks() const;
  // 0 when the call may change the volume; -EIO for the first such call after a failure
  // found by a flush outside any call, -EROFS after that.
  int Writable();
  // The first call after a failure it did not see answers for it.
  int Unreported();
  // Records mode (permissions, set-ID and sticky bits) on the entry at path (engine form p).
  // A new entry (owner given) records the caller as owner, with the caller's group or that
  // of a set-group-ID parent, when owners are kept; entries that record no owner belong to
  // the mounting user.
  int SetNewMode(const std::string &path, const std::u16string &p, mode_t mode,
                 const Owner *owner);
  // The entry of info lost a name: an open file that has none left lives on unnamed.
  void Unlinked(const KorvaFileInfo &info);

  TKorva &k_;
  bool readOnly_;
  bool failed_ = false;
  bool unreported_ = false; // failed_ came from a flush no call has answered for yet
  Logger log_;
  std::recursive_mutex mu_;
  std::map<uint64_t, std::shared_ptr<OpenFile>> handles_;  // by FUSE file handle
  std::map<std::string, std::shared_ptr<OpenFile>> hidden_; // unlinked, by libfuse's name
  std::map<uint64_t, std::shared_ptr<OpenFile>> files_; // by unique ID, while open
  uint64_t nextFh_ = 1;
  size_t gathered_ = 0;
  uid_t uid_;
  gid_t gid_;
  // Owners as recorded (a mount by root, for every user); otherwise every entry belongs to
  // the mounting user, the only one FUSE lets in.
  bool storedOwners_;
};

// Converts UDF permission bits (with the set-ID and sticky bits) to mode bits and back;
// the delete and change-attribute rights, which modes do not have, are always granted.
mode_t ModeFromPermissions(uint32_t permissions);
// The file type bits of a stored file type.
mode_t TypeBits(uint32_t fileType, bool directory);
uint32_t PermissionsFromMode(mode_t mode);
// The errno for an engine error number.
int ErrnoFor(uint16_t error, uint32_t osError);

} // namespace korvacli

#endif
