// The mounted volume as a POSIX file system.
#include "mount_volume.h"

#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "session.h"
#include "text.h"

namespace korvacli {

// One file open through the mount, shared by every open of it under any name.
struct OpenFile {
  std::string path; // the name it was opened by, for messages
  uint64_t id = 0;  // the entry's unique ID
  int32_t handle = -1;
  // Unlinked while open: no name reaches it any more; its attributes as last seen.
  bool unlinked = false;
  struct stat attributes {};
  uint64_t engineSize = 0; // bytes the volume holds
  uint64_t start = 0;      // file offset of the gathered bytes; never above engineSize
  std::vector<char> data;  // gathered bytes not yet on the volume
  int opens = 0;
  int error = 0; // -errno of a failed write-out nobody has been told of yet
  std::chrono::steady_clock::time_point lastWrite;
  uint64_t Size() const { return std::max<uint64_t>(engineSize, start + data.size()); }
};

namespace {

// File time (100 ns units since 1601) of 1970-01-01.
constexpr int64_t kUnixEpochFileTime = 116444736000000000ll;
// Gathered data goes to the engine cut at multiples of this (the largest packet), so that
// every piece but the last fills whole packets.
constexpr uint64_t kAlignBytes = 65536;
// Blocks kept back when judging whether gathered data still fits: directory growth and
// allocation extent blocks of the files being written.
constexpr uint64_t kSpareBlocks = 16;
constexpr uint32_t kExtraRights = 0x18u | (0x18u << 5) | (0x18u << 10);

struct timespec ToTimespec(uint64_t fileTime) {
  const int64_t units = int64_t(fileTime) - kUnixEpochFileTime;
  struct timespec ts {};
  ts.tv_sec = units / 10000000;
  ts.tv_nsec = (units % 10000000) * 100;
  if (ts.tv_nsec < 0) {
    ts.tv_nsec += 1000000000;
    --ts.tv_sec;
  }
  return ts;
}

uint64_t BlocksFor(uint64_t bytes) {
  return (bytes + 2047) / 2048;
}

} // namespace

mode_t TypeBits(uint32_t fileType, bool directory) {
  if (directory) return S_IFDIR;
  switch (fileType) {
  case KORVA_FILE_TYPE_SYMLINK:
    return S_IFLNK;
  case KORVA_FILE_TYPE_BLOCK_DEVICE:
    return S_IFBLK;
  case KORVA_FILE_TYPE_CHAR_DEVICE:
    return S_IFCHR;
  case KORVA_FILE_TYPE_FIFO:
    return S_IFIFO;
  case KORVA_FILE_TYPE_SOCKET:
    return S_IFSOCK;
  default:
    return S_IFREG;
  }
}

mode_t ModeFromPermissions(uint32_t p) {
  mode_t mode = mode_t((p & 07) | ((p >> 2) & 070) | ((p >> 4) & 0700));
  if (p & UDF_PERMISSION_SETUID) mode |= S_ISUID;
  if (p & UDF_PERMISSION_SETGID) mode |= S_ISGID;
  if (p & UDF_PERMISSION_STICKY) mode |= S_ISVTX;
  return mode;
}

uint32_t PermissionsFromMode(mode_t mode) {
  uint32_t p = uint32_t((mode & 07) | ((mode & 070) << 2) | ((mode & 0700) << 4));
  if (mode & S_ISUID) p |= UDF_PERMISSION_SETUID;
  if (mode & S_ISGID) p |= UDF_PERMISSION_SETGID;
  if (mode & S_ISVTX) p |= UDF_PERMISSION_STICKY;
  // Whether an entry may be deleted or renamed is its directory's business in POSIX: the
  // delete and change-attribute rights stay granted, so that no mode makes it undeletable.
  return p | kExtraRights;
}

int ErrnoFor(uint16_t error, uint32_t osError) {
  switch (error) {
  case 0:
    return osError == KORVA_ERROR_ACCESS_DENIED ? EACCES : ENOENT;
  case KORVA_E_PARENT_NOT_REACHABLE:
  case KORVA_E_FILE_NOT_FOUND:
    return ENOENT;
  case KORVA_E_NO_SPACE:
  case KORVA_E_CAPACITY:
    return ENOSPC;
  case KORVA_E_FILE_EXISTS:
    return EEXIST;
  case KORVA_E_BAD_FILE_HANDLE:
    return ESTALE;
  case KORVA_E_ACCESS:
    return EACCES;
  case KORVA_E_INVALID_NAME:
  case KORVA_E_INVALID_PARAMETER:
  case KORVA_E_BAD_MOVE:
    return EINVAL;
  case KORVA_E_DIR_NOT_EMPTY:
    return ENOTEMPTY;
  case KORVA_E_BUSY:
    return EBUSY;
  case KORVA_E_READ_ONLY:
    return EROFS;
  case KORVA_E_UNSUPPORTED:
    return EOPNOTSUPP;
  case KORVA_E_TOO_DEEP:
    return ENAMETOOLONG;
  case KORVA_E_DAMAGED:
    return EUCLEAN;
  case KORVA_E_LOOP:
    return ELOOP;
  default:
    return EIO;
  }
}

MountedVolume::MountedVolume(TKorva &korva, bool readOnly, Logger log)
    : k_(korva), readOnly_(readOnly), log_(std::move(log)), uid_(getuid()), gid_(getgid()),
      storedOwners_(uid_ == 0) {}

MountedVolume::~MountedVolume() {
  FlushAll();
}

int MountedVolume::ToEngine(const std::string &path, std::u16string &out) const {
  out.clear();
  size_t pos = 0;
  while (pos < path.size()) {
    if (path[pos] == '/') {
      ++pos;
      continue;
    }
    const size_t end = std::min(path.find('/', pos), path.size());
    const std::string name = path.substr(pos, end - pos);
    pos = end;
    // A backslash would split the name in two on the volume.
    if (name.find('\\') != std::string::npos) return -EINVAL;
    const std::optional<std::u16string> wide = Utf8ToUtf16(name);
    if (!wide) return -EINVAL;
    if (!NameFitsVolume(*wide)) return -ENAMETOOLONG;
    out += u'\\';
    out += *wide;
  }
  if (out.empty()) out.push_back(u'\\');
  return 0;
}

int MountedVolume::Error(const std::string &subject) {
  const uint16_t n = k_.UDF_GetLastErrorNumber();
  const int e = ErrnoFor(n, KorvaGetLastOSError());
  if (e == EIO && !failed_) {
    failed_ = true;
    const char *text = k_.UDF_GetLastErrorDescription();
    log_("I/O failure at " + Printable(subject) + ": " + (text ? text : "") + " (error " +
         std::to_string(n) +
         "); the mount is read-only from now on. Unmount it; 'korva repair' restores the "
         "volume if it was left damaged.");
  }
  return -e;
}

int MountedVolume::Unreported() {
  return std::exchange(unreported_, false) ? -EIO : 0;
}

int MountedVolume::Writable() {
  if (int r = Unreported()) return r;
  return readOnly_ || failed_ ? -EROFS : 0;
}

int MountedVolume::Info(const std::string &path, KorvaFileInfo &info) {
  std::u16string p;
  if (int r = ToEngine(path, p)) return r;
  KorvaSetLastOSError(0);
  if (!k_.UDF_GetFileInfoW(p.c_str(), &info)) return Error(path);
  return 0;
}

std::shared_ptr<OpenFile> MountedVolume::Find(uint64_t fh) {
  auto it = handles_.find(fh);
  return it == handles_.end() ? nullptr : it->second;
}

std::shared_ptr<OpenFile> MountedVolume::OpenById(uint64_t id) {
  auto it = files_.find(id);
  return it == files_.end() ? nullptr : it->second;
}

std::shared_ptr<OpenFile> MountedVolume::Unnamed(const char *path, uint64_t fh) {
  if (!path) {
    auto f = Find(fh);
    return f && f->unlinked ? f : nullptr;
  }
  auto it = hidden_.find(path);
  return it == hidden_.end() ? nullptr : it->second;
}

bool MountedVolume::IsUnnamed(const char *path, uint64_t fh) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return !path || Unnamed(path, fh);
}

int MountedVolume::GetAttr(const char *path, uint64_t fh, struct stat &st) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  if (IsUnnamed(path, fh)) {
    auto f = Unnamed(path, fh);
    if (!f) return -ESTALE;
    st = f->attributes;
    st.st_size = off_t(f->Size());
    return 0;
  }
  KorvaFileInfo info{};
  if (int r = Info(path, info)) return r;
  Stat(info, st);
  if (S_ISLNK(st.st_mode)) {
    std::string target;
    if (ReadLink(path, target) == 0) st.st_size = off_t(target.size());
  }
  return 0;
}

int MountedVolume::ReadLink(const std::string &path, std::string &target) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  std::u16string p;
  if (int r = ToEngine(path, p)) return r;
  std::vector<KWCHAR> buffer(4096);
  uint32_t length = 0;
  if (!k_.UDF_ReadLinkW(p.c_str(), buffer.data(), uint32_t(buffer.size()), &length)) {
    if (length < buffer.size()) return Error(path);
    buffer.resize(length + 1);
    if (!k_.UDF_ReadLinkW(p.c_str(), buffer.data(), uint32_t(buffer.size()), &length))
      return Error(path);
  }
  target = Utf16ToUtf8(std::u16string(buffer.data(), length));
  return 0;
}

void MountedVolume::Stat(const KorvaFileInfo &info, struct stat &st) {
  std::memset(&st, 0, sizeof st);
  const bool dir = info.Kind == KORVA_ENTRY_DIRECTORY;
  st.st_mode = TypeBits(info.FileType, dir) | ModeFromPermissions(info.Permissions);
  st.st_rdev = makedev(info.DeviceMajor, info.DeviceMinor);
  // UDF counts a directory's name and its subdirectories' parent entries; POSIX adds ".".
  st.st_nlink = (info.LinkCount ? info.LinkCount : 1) + (dir ? 1 : 0);
  st.st_uid = storedOwners_ && info.Uid != KORVA_ID_NOT_RECORDED ? uid_t(info.Uid) : uid_;
  st.st_gid = storedOwners_ && info.Gid != KORVA_ID_NOT_RECORDED ? gid_t(info.Gid) : gid_;
  // One number per entry, the same under every name (0 is the root's ID).
  st.st_ino = ino_t(info.UniqueID + 1);
  st.st_size = off_t(info.Size);
  if (auto open = dir ? nullptr : OpenById(info.UniqueID)) st.st_size = off_t(open->Size());
  st.st_blocks = blkcnt_t(info.BlocksRecorded * 4);
  st.st_blksize = blksize_t(kAlignBytes);
  st.st_atim = ToTimespec(info.AccessTime);
  st.st_mtim = ToTimespec(info.ModificationTime);
  st.st_ctim = ToTimespec(info.AttributeTime ? info.AttributeTime : info.ModificationTime);
}

int MountedVolume::ReadDir(const std::string &path,
                           const std::function<void(const std::string &, bool)> &add) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  KorvaFileInfo info{};
  if (int r = Info(path, info)) return r;
  if (info.Kind != KORVA_ENTRY_DIRECTORY) return -ENOTDIR;
  std::u16string pattern;
  ToEngine(path, pattern);
  if (pattern.back() != u'\\') pattern += u'\\';
  pattern += u'*';
  _UDF_FIND_DATAW data{};
  const int32_t h = k_.UDF_FindFirstFileW(pattern.c_str(), &data);
  if (h == -1) return k_.UDF_GetLastErrorNumber() ? Error(path) : 0;
  int result = 0;
  do {
    add(Utf16ToUtf8(data.cFileName), (data.dwFileAttributes & kAttrDirectory) != 0);
  } while (k_.UDF_FindNextFileW(h, &data));
  if (k_.UDF_GetLastErrorNumber()) result = Error(path);
  k_.UDF_FindClose(h);
  return result;
}

int MountedVolume::Attach(const std::string &path, int32_t handle, uint64_t &fh) {
  auto f = std::make_shared<OpenFile>();
  f->path = path;
  f->handle = handle;
  KorvaFileInfo info{};
  if (int r = Info(path, info)) {
    k_.UDF_CloseHandle(handle);
    return r;
  }
  f->id = info.UniqueID;
  f->engineSize = f->start = info.Size;
  f->opens = 1;
  files_[f->id] = f;
  fh = nextFh_++;
  handles_[fh] = f;
  return 0;
}

int MountedVolume::Open(const std::string &path, bool forWriting, uint64_t &fh) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  if (forWriting)
    if (int r = Writable()) return r;
  std::shared_ptr<OpenFile> open = Unnamed(path.c_str(), 0);
  KorvaFileInfo info{};
  if (!open) {
    if (int r = Info(path, info)) return r;
    if (info.Kind == KORVA_ENTRY_DIRECTORY) return -EISDIR;
    open = OpenById(info.UniqueID);
  }
  if (open) {
    ++open->opens;
    fh = nextFh_++;
    handles_[fh] = open;
    return 0;
  }
  std::u16string p;
  ToEngine(path, p);
  const uint32_t access = kGenericRead | (readOnly_ ? 0 : kGenericWrite);
  const int32_t h = k_.UDF_CreateFileW(p.c_str(), access, kOpenExisting, 0);
  if (h == -1) return Error(path);
  return Attach(path, h, fh);
}

int MountedVolume::Create(const std::string &path, mode_t mode, const Owner &owner,
                          uint64_t &fh) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  if (int r = Writable()) return r;
  std::u16string p;
  if (int r = ToEngine(path, p)) return r;
  constexpr uint32_t kCreateNew = 1;
  const int32_t h = k_.UDF_CreateFileW(p.c_str(), kGenericRead | kGenericWrite, kCreateNew, 0);
  if (h == -1) return Error(path);
  if (int r = Attach(path, h, fh)) return r;
  if (int r = SetNewMode(path, p, mode, &owner)) {
    Release(fh);
    return r;
  }
  return 0;
}

int MountedVolume::WriteOut(OpenFile &f, size_t bytes) {
  uint32_t done = 0;
  const bool ok = k_.UDF_SetFilePointer(f.handle, f.start) &&
                  k_.UDF_WriteFile(f.handle, f.data.data(), uint32_t(bytes), &done);
  if (!ok) {
    // The data cannot be kept for another try: it would fail the same way.
    const int r = Error(f.path);
    gathered_ -= f.data.size();
    f.data.clear();
    f.start = f.engineSize;
    return r;
  }
  f.engineSize = std::max<uint64_t>(f.engineSize, f.start + bytes);
  f.data.erase(f.data.begin(), f.data.begin() + long(bytes));
  f.start += bytes;
  gathered_ -= bytes;
  if (f.data.empty()) {
    f.data.shrink_to_fit();
    f.start = f.engineSize;
  }
  return 0;
}

int MountedVolume::FlushFile(OpenFile &f, bool all) {
  if (f.data.empty()) return 0;
  uint64_t bytes = f.data.size();
  if (!all) {
    const uint64_t cut = (f.start + bytes) / kAlignBytes * kAlignBytes;
    if (cut <= f.start) return 0;
    bytes = cut - f.start;
  }
  return WriteOut(f, bytes);
}

uint64_t MountedVolume::PendingBlocks() const {
  uint64_t blocks = 0;
  for (auto &kv : files_) {
    const OpenFile &g = *kv.second;
    if (g.Size() > g.engineSize) blocks += BlocksFor(g.Size() - g.engineSize);
  }
  return blocks;
}

int MountedVolume::CheckSpace(OpenFile &f, size_t more) {
  if (PendingBlocks() + BlocksFor(more) + kSpareBlocks <= k_.UDF_GetFreeBlocksOfLogicalVolume())
    return 0;
  // Tight: gathered data goes out now, so that the engine judges exactly and the write
  // that does not fit is the one told so.
  for (auto &kv : files_)
    if (kv.second.get() != &f)
      if (int r = FlushFile(*kv.second, true)) kv.second->error = r;
  return FlushFile(f, true);
}

int MountedVolume::Gather(OpenFile &f, const char *buffer, size_t size, uint64_t offset) {
  const bool joins = !f.data.empty() && offset >= f.start && offset <= f.start + f.data.size();
  if (!joins) {
    if (int r = FlushFile(f, true)) return r;
    if (offset > f.engineSize) {
      if (int r = Grow(f, offset)) return r;
    } else {
      f.start = offset;
    }
  }
  const size_t at = size_t(offset - f.start);
  if (at + size > f.data.size()) {
    gathered_ += at + size - f.data.size();
    f.data.resize(at + size);
  }
  std::memcpy(f.data.data() + at, buffer, size);
  f.lastWrite = std::chrono::steady_clock::now();
  if (f.data.size() >= kGatherBytes)
    if (int r = FlushFile(f, false)) return r;
  if (gathered_ > kGatherTotalBytes)
    for (auto &kv : files_)
      if (int r = FlushFile(*kv.second, true)) {
        if (kv.second.get() == &f) return r;
        kv.second->error = r;
      }
  return 0;
}

int MountedVolume::ZeroExtend(OpenFile &f, uint64_t size) {
  static const std::vector<char> zeros(1u << 20);
  while (f.Size() < size) {
    const size_t n = size_t(std::min<uint64_t>(zeros.size(), size - f.Size()));
    if (int r = Gather(f, zeros.data(), n, f.Size())) return r;
  }
  return 0;
}

// Every byte up to size is recorded (there are no holes), so a size the volume cannot hold
// is refused up front: more than the whole volume is EFBIG, more than the free space
// ENOSPC. A failure on the way gives the file its old size back.
int MountedVolume::Grow(OpenFile &f, uint64_t size) {
  const uint64_t old = f.Size();
  const uint64_t blocks = BlocksFor(size) - BlocksFor(old);
  if (blocks > k_.UDF_GetTotalBlocksOfLogicalVolume()) return -EFBIG;
  if (blocks > k_.UDF_GetFreeBlocksOfLogicalVolume()) return -ENOSPC;
  const int r = ZeroExtend(f, size);
  if (r) Shrink(f, old);
  return r;
}

int MountedVolume::Shrink(OpenFile &f, uint64_t size) {
  if (size < f.engineSize) {
    // Gathered bytes below the cut go out first; none survive a cut to zero.
    if (size == 0) {
      gathered_ -= f.data.size();
      f.data.clear();
    }
    int r = FlushFile(f, true);
    if (!r && !k_.UDF_SetFileSize(f.handle, size)) r = Error(f.path);
    if (!r) f.engineSize = f.start = size;
    return r;
  }
  if (size < f.Size()) {
    gathered_ -= f.data.size() - size_t(size - f.start);
    f.data.resize(size_t(size - f.start));
  }
  return 0;
}

int MountedVolume::Read(uint64_t fh, char *buffer, size_t size, uint64_t offset) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  auto f = Find(fh);
  if (!f) return -EBADF;
  if (int r = FlushFile(*f, true)) return r;
  if (offset >= f->engineSize || size == 0) return 0;
  uint32_t done = 0;
  const uint32_t want = uint32_t(std::min<uint64_t>(size, f->engineSize - offset));
  if (!k_.UDF_SetFilePointer(f->handle, offset) || !k_.UDF_ReadFile(f->handle, buffer, want, &done))
    return Error(f->path);
  return int(done);
}

int MountedVolume::Write(uint64_t fh, const char *buffer, size_t size, uint64_t offset) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  if (int r = Writable()) return r;
  auto f = Find(fh);
  if (!f) return -EBADF;
  if (f->error) return std::exchange(f->error, 0);
  const uint64_t end = offset + size;
  const size_t growth = size_t(end > f->Size() ? end - f->Size() : 0);
  if (int r = CheckSpace(*f, growth)) return r;
  if (int r = Gather(*f, buffer, size, offset)) return r;
  // Near the end of the space every write goes out at once and answers for itself.
  if (PendingBlocks() + kSpareBlocks > k_.UDF_GetFreeBlocksOfLogicalVolume())
    if (int r = FlushFile(*f, true)) return r;
  return int(size);
}

int MountedVolume::Flush(uint64_t fh) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  auto f = Find(fh);
  if (!f) return -EBADF;
  if (f->error) return std::exchange(f->error, 0);
  if (int r = FlushFile(*f, true)) return r;
  return Unreported();
}

int MountedVolume::Sync(uint64_t fh) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  if (int r = Flush(fh)) return r;
  return SyncAll();
}

int MountedVolume::SyncAll() {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  unreported_ = false;
  if (readOnly_ || failed_) return readOnly_ ? 0 : -EIO;
  return k_.UDF_FlushVolume() ? 0 : Error("the volume");
}

int MountedVolume::Release(uint64_t fh) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  auto f = Find(fh);
  if (!f) return -EBADF;
  handles_.erase(fh);
  if (--f->opens > 0) return 0;
  int r = FlushFile(*f, true);
  if (!r && f->error) r = f->error;
  if (!r) r = Unreported();
  for (auto it = hidden_.begin(); it != hidden_.end();)
    it = it->second == f ? hidden_.erase(it) : std::next(it);
  // The last close of an unlinked file gives its blocks back.
  if (!k_.UDF_CloseHandle(f->handle) && !r && k_.UDF_GetLastErrorNumber()) r = Error(f->path);
  auto it = files_.find(f->id);
  if (it != files_.end() && it->second == f) files_.erase(it);
  return r;
}

int MountedVolume::Truncate(const char *path, uint64_t size, uint64_t fh) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  if (int r = Writable()) return r;
  std::shared_ptr<OpenFile> f = fh ? Find(fh) : Unnamed(path, 0);
  uint64_t temporary = 0;
  if (!f) {
    if (!path) return -EBADF;
    if (int r = Open(path, true, temporary)) return r;
    f = Find(temporary);
  }
  int r = size > f->Size() ? Grow(*f, size) : Shrink(*f, size);
  if (temporary) {
    const int closed = Release(temporary);
    if (!r) r = closed;
  }
  return r;
}

int MountedVolume::SetNewMode(const std::string &path, const std::u16string &p, mode_t mode,
                              const Owner *owner) {
  uint32_t uid = KORVA_OWNER_UNCHANGED, gid = KORVA_OWNER_UNCHANGED;
  if (owner && storedOwners_) {
    // A directory with the set-group-ID bit hands its group on, and the bit to directories.
    KorvaFileInfo parent{};
    const std::string up = path.substr(0, path.rfind('/'));
    if (Info(up.empty() ? "/" : up, parent)) return Error(path);
    gid_t group = owner->gid;
    if (parent.Permissions & UDF_PERMISSION_SETGID) {
      group = parent.Gid == KORVA_ID_NOT_RECORDED ? gid_ : gid_t(parent.Gid);
      if (S_ISDIR(mode)) mode |= S_ISGID;
    }
    uid = owner->uid;
    gid = group;
  }
  if (!k_.UDF_SetFilePermissionsW(p.c_str(), PermissionsFromMode(mode & 07777)))
    return Error(path);
  if ((uid != KORVA_OWNER_UNCHANGED || gid != KORVA_OWNER_UNCHANGED) &&
      !k_.UDF_SetFileOwnerW(p.c_str(), uid, gid))
    return Error(path);
  return 0;
}

int MountedVolume::MakeNode(const std::string &path, mode_t mode, dev_t device,
                            const Owner &owner) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  if (int r = Writable()) return r;
  std::u16string p;
  if (int r = ToEngine(path, p)) return r;
  if (S_ISREG(mode)) {
    uint64_t fh = 0;
    if (int r = Create(path, mode, owner, fh)) return r;
    return Release(fh);
  }
  uint32_t type = 0;
  switch (mode & S_IFMT) {
  case S_IFIFO:
    type = KORVA_FILE_TYPE_FIFO;
    break;
  case S_IFSOCK:
    type = KORVA_FILE_TYPE_SOCKET;
    break;
  case S_IFCHR:
    type = KORVA_FILE_TYPE_CHAR_DEVICE;
    break;
  case S_IFBLK:
    type = KORVA_FILE_TYPE_BLOCK_DEVICE;
    break;
  default:
    return -EINVAL;
  }
  if (!k_.UDF_CreateSpecialFileW(p.c_str(), type, major(device), minor(device)))
    return Error(path);
  return SetNewMode(path, p, mode, &owner);
}

int MountedVolume::SymLink(const std::string &target, const std::string &path,
                           const Owner &owner) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  if (int r = Writable()) return r;
  std::u16string p;
  if (int r = ToEngine(path, p)) return r;
  const std::optional<std::u16string> t = Utf8ToUtf16(target);
  if (!t) return -EINVAL;
  // Each component of the target is stored as a name is, so it has a name's limit.
  for (size_t at = 0; at <= t->size();) {
    const size_t end = std::min(t->find(u'/', at), t->size());
    if (!NameFitsVolume(t->substr(at, end - at))) return -ENAMETOOLONG;
    at = end + 1;
  }
  if (!k_.UDF_CreateSymbolicLinkW(p.c_str(), t->c_str())) return Error(path);
  return SetNewMode(path, p, 0777, &owner);
}

int MountedVolume::Link(const std::string &from, const std::string &to) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  if (int r = Writable()) return r;
  std::u16string f, t;
  if (int r = ToEngine(from, f)) return r;
  if (int r = ToEngine(to, t)) return r;
  KorvaFileInfo info{};
  if (int r = Info(from, info)) return r;
  if (info.Kind == KORVA_ENTRY_DIRECTORY) return -EPERM;
  if (info.LinkCount >= 0xFFFF) return -EMLINK;
  if (!k_.UDF_CreateHardLinkW(f.c_str(), t.c_str())) return Error(to);
  return 0;
}

int MountedVolume::MakeDir(const std::string &path, mode_t mode, const Owner &owner) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  if (int r = Writable()) return r;
  std::u16string p;
  if (int r = ToEngine(path, p)) return r;
  const size_t cut = p.rfind(u'\\');
  const std::u16string parent = cut == 0 ? u"\\" : p.substr(0, cut), name = p.substr(cut + 1);
  if (name.empty()) return -EEXIST;
  if (!k_.UDF_CreateDirectoryW(parent.c_str(), name.c_str())) return Error(path);
  return SetNewMode(path, p, mode | S_IFDIR, &owner);
}

int MountedVolume::RemoveDir(const std::string &path) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  if (int r = Writable()) return r;
  KorvaFileInfo info{};
  if (int r = Info(path, info)) return r;
  if (info.Kind != KORVA_ENTRY_DIRECTORY) return -ENOTDIR;
  std::u16string p;
  ToEngine(path, p);
  if (p == u"\\") return -EBUSY;
  KorvaSetLastOSError(0);
  if (!k_.UDF_RemoveDirectoryW(p.c_str())) return Error(path);
  return 0;
}

void MountedVolume::Unlinked(const KorvaFileInfo &info) {
  auto f = OpenById(info.UniqueID);
  if (!f || info.LinkCount > 1) return;
  // Still open: it stays readable and writable until its last close, and fstat says it has
  // no name left.
  f->unlinked = true;
  Stat(info, f->attributes);
  f->attributes.st_nlink = 0;
}

int MountedVolume::Unlink(const std::string &path) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  if (int r = Writable()) return r;
  // libfuse removes a hidden file after its last close: nothing is left to do.
  if (hidden_.erase(path)) return 0;
  KorvaFileInfo info{};
  if (int r = Info(path, info)) return r;
  if (info.Kind == KORVA_ENTRY_DIRECTORY) return -EISDIR;
  std::u16string p;
  ToEngine(path, p);
  KorvaSetLastOSError(0);
  if (!k_.UDF_DeleteFileW(p.c_str())) return Error(path);
  Unlinked(info);
  return 0;
}

// Whether a rename may put source where target is: 0, or the negated errno that refuses it.
static int ReplaceAllowed(const KorvaFileInfo &source, const KorvaFileInfo &target, bool noReplace) {
  if (noReplace) return -EEXIST;
  const bool sourceDir = source.Kind == KORVA_ENTRY_DIRECTORY;
  const bool targetDir = target.Kind == KORVA_ENTRY_DIRECTORY;
  if (sourceDir && !targetDir) return -ENOTDIR;
  if (!sourceDir && targetDir) return -EISDIR;
  return 0;
}

int MountedVolume::Rename(const std::string &from, const std::string &to, bool noReplace) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  if (int r = Writable()) return r;
  std::u16string f, t;
  if (int r = ToEngine(from, f)) return r;
  if (int r = ToEngine(to, t)) return r;
  KorvaFileInfo source{}, target{};
  if (int r = Info(from, source)) return r;
  if (source.Kind != KORVA_ENTRY_DIRECTORY && OpenById(source.UniqueID) &&
      to.compare(to.rfind('/') + 1, 12, ".fuse_hidden") == 0)
    return Hide(from, to);
  const bool replaces = Info(to, target) == 0;
  if (replaces)
    if (int r = ReplaceAllowed(source, target, noReplace)) return r;
  KorvaSetLastOSError(0);
  if (!k_.UDF_MoveFileW(f.c_str(), t.c_str())) return Error(from);
  if (f == t || source.UniqueID == target.UniqueID) return 0;
  if (replaces) Unlinked(target);
  FollowMove(from, to);
  return 0;
}

// Open files below a moved path follow it in messages.
void MountedVolume::FollowMove(const std::string &from, const std::string &to) {
  for (auto &kv : files_) {
    std::string &name = kv.second->path;
    if (name == from || name.compare(0, from.size() + 1, from + "/") == 0)
      name = to + name.substr(from.size());
  }
}

int MountedVolume::Hide(const std::string &from, const std::string &to) {
  KorvaFileInfo info{};
  if (int r = Info(from, info)) return r;
  std::u16string p;
  ToEngine(from, p);
  KorvaSetLastOSError(0);
  if (!k_.UDF_DeleteFileW(p.c_str())) return Error(from);
  Unlinked(info);
  auto f = OpenById(info.UniqueID);
  // Another name still leads to the file: libfuse's hidden name is only another way to it.
  if (f && f->unlinked) hidden_[to] = f;
  return 0;
}

int MountedVolume::SetTimes(const std::string &path, const int64_t *access,
                            const int64_t *modified) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  if (int r = Writable()) return r;
  std::u16string p;
  if (int r = ToEngine(path, p)) return r;
  // Gathered data written later would stamp the file with the time of writing.
  KorvaFileInfo info{};
  if (int r = Info(path, info)) return r;
  if (auto open = OpenById(info.UniqueID))
    if (int r = FlushFile(*open, true)) return r;
  auto convert = [](const int64_t *ns, uint64_t &out) {
    if (!ns) return true;
    const int64_t units = (*ns >= 0 ? *ns / 100 : -((-*ns + 99) / 100)) + kUnixEpochFileTime;
    out = uint64_t(units);
    return units >= 0;
  };
  uint64_t a = 0, m = 0;
  if (!convert(access, a) || !convert(modified, m)) return -EINVAL;
  if (!k_.UDF_SetFileTimesW(p.c_str(), access ? &a : nullptr, modified ? &m : nullptr))
    return Error(path);
  return 0;
}

int MountedVolume::Chmod(const std::string &path, mode_t mode) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  if (int r = Writable()) return r;
  KorvaFileInfo info{};
  if (int r = Info(path, info)) return r;
  std::u16string p;
  ToEngine(path, p);
  return SetNewMode(path, p, mode, nullptr);
}

int MountedVolume::Chown(const std::string &path, uid_t uid, gid_t gid) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  KorvaFileInfo info{};
  if (int r = Info(path, info)) return r;
  if (!storedOwners_) {
    // Every entry belongs to the user who mounted the volume; only that owner is accepted.
    const bool sameUser = uid == uid_t(-1) || uid == uid_;
    const bool sameGroup = gid == gid_t(-1) || gid == gid_;
    return sameUser && sameGroup ? 0 : -EPERM;
  }
  if (int r = Writable()) return r;
  std::u16string p;
  ToEngine(path, p);
  if (!k_.UDF_SetFileOwnerW(p.c_str(), uid == uid_t(-1) ? KORVA_OWNER_UNCHANGED : uint32_t(uid),
                            gid == gid_t(-1) ? KORVA_OWNER_UNCHANGED : uint32_t(gid)))
    return Error(path);
  return 0;
}

int MountedVolume::SetUnnamed(const char *path, uint64_t fh,
                              const std::function<void(struct stat &)> &change) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  if (int r = Writable()) return r;
  auto f = Unnamed(path, fh);
  if (!f) return -ESTALE;
  change(f->attributes);
  clock_gettime(CLOCK_REALTIME, &f->attributes.st_ctim);
  return 0;
}

int MountedVolume::StatFs(struct statvfs &st) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  std::memset(&st, 0, sizeof st);
  const uint64_t pending = PendingBlocks();
  const uint64_t free = k_.UDF_GetFreeBlocksOfLogicalVolume();
  // Counts are in the volume's blocks: another writer's may be of 512 to 4096 bytes.
  const uint32_t block = UDF_GetLogicalBlockSize(k_.Volume());
  st.f_bsize = st.f_frsize = block ? block : 2048;
  st.f_blocks = k_.UDF_GetTotalBlocksOfLogicalVolume();
  st.f_bfree = st.f_bavail = free > pending ? free - pending : 0;
  st.f_files = k_.UDF_GetFileCount() + k_.UDF_GetDirCount() + st.f_bfree;
  st.f_ffree = st.f_favail = st.f_bfree;
  st.f_namemax = 254;
  if (readOnly_ || failed_) st.f_flag |= ST_RDONLY;
  return 0;
}

void MountedVolume::FlushIdle() {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  const auto now = std::chrono::steady_clock::now();
  for (auto &kv : files_) {
    OpenFile &f = *kv.second;
    if (!f.data.empty() && now - f.lastWrite >= kIdleFlush)
      if (int r = FlushFile(f, true)) f.error = r;
  }
  // What the engine still holds reaches the medium too (the sync point costs nothing when
  // nothing is pending). A failure here belongs to calls that have returned: the next call
  // that writes, syncs or closes reports it.
  if (!readOnly_ && !failed_ && !k_.UDF_FlushVolume())
    unreported_ = Error("the volume") == -EIO;
}

bool MountedVolume::FlushAll() {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  bool ok = true;
  for (auto &kv : files_) {
    if (int r = FlushFile(*kv.second, true)) {
      log_("writing " + Printable(kv.second->path) + " failed: " + std::strerror(-r));
      ok = false;
    }
  }
  for (auto &kv : handles_)
    if (kv.second->handle != -1) {
      k_.UDF_CloseHandle(kv.second->handle);
      kv.second->handle = -1;
    }
  handles_.clear();
  files_.clear();
  return ok && !failed_;
}

} // namespace korvacli
