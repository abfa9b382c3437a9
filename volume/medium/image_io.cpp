// The POSIX image layer: 64-bit positioned reads and writes, space reserved up front; and
// what every system's image layer shares.
#include "volume/engine.h"
#include "volume/medium/image_transfer.h"

#if !defined(_WIN32)
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

int PosixOpen(void *, const char *path, int32_t *handle) {
  int fd = ::open(path, O_RDWR | O_CLOEXEC);
  if (fd < 0) return errno ? errno : EIO;
  *handle = fd;
  return 0;
}

int PosixOpenReadOnly(void *, const char *path, int32_t *handle) {
  int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno ? errno : EIO;
  *handle = fd;
  return 0;
}

int PosixCreate(void *, const char *path, int32_t *handle) {
  int fd = ::open(path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return errno ? errno : EIO;
  *handle = fd;
  return 0;
}

int PosixSize(void *, int32_t handle, uint64_t *size) {
  struct stat st;
  if (::fstat(handle, &st) != 0) return errno ? errno : EIO;
  *size = static_cast<uint64_t>(st.st_size);
  return 0;
}

int PosixReserve(void *, int32_t handle, uint64_t size) {
  if (size > static_cast<uint64_t>(INT64_MAX)) return EFBIG;
  int rc = ::posix_fallocate(handle, 0, static_cast<off_t>(size));
  if (rc == EINVAL || rc == EOPNOTSUPP) {
    // A file system without preallocation: a sparse file still reads as zeros.
    if (::ftruncate(handle, static_cast<off_t>(size)) != 0) return errno ? errno : EIO;
    return 0;
  }
  return rc;
}

// One pread or pwrite, made again while a signal interrupts it.
template <class Call> korva::TransferStep Retrying(Call call) {
  for (;;) {
    const ssize_t n = call();
    if (n >= 0) return {static_cast<uint32_t>(n), 0};
    if (errno != EINTR) return {0, errno ? errno : EIO};
  }
}

int PosixReadAt(void *, int32_t handle, void *buffer, uint32_t length, uint64_t offset) {
  auto *p = static_cast<uint8_t *>(buffer);
  return korva::TransferWhole(length, [&](uint32_t done, uint32_t left) {
    return Retrying([&] { return ::pread(handle, p + done, left, off_t(offset + done)); });
  });
}

int PosixWriteAt(void *, int32_t handle, const void *buffer, uint32_t length, uint64_t offset) {
  const auto *p = static_cast<const uint8_t *>(buffer);
  return korva::TransferWhole(length, [&](uint32_t done, uint32_t left) {
    return Retrying([&] { return ::pwrite(handle, p + done, left, off_t(offset + done)); });
  });
}

int PosixFlush(void *, int32_t handle) {
  return ::fdatasync(handle) == 0 ? 0 : errno;
}

int PosixClose(void *, int32_t handle) {
  return ::close(handle) == 0 ? 0 : errno;
}

int PosixRemove(void *, const char *path) {
  return ::unlink(path) == 0 ? 0 : errno;
}

} // namespace

const KorvaImageIO korva::kSystemImageIO = {nullptr,      PosixOpen,   PosixCreate,      PosixSize,
                                            PosixReserve, PosixReadAt, PosixWriteAt,     PosixFlush,
                                            PosixClose,   PosixRemove, PosixOpenReadOnly};
#endif

namespace korva {

const KorvaImageIO &SystemImageIO() {
  return kSystemImageIO;
}

const KorvaImageIO &ImageIOOf(const TUDFRewritableVolume &v) {
  return v.ImageIO ? *v.ImageIO : SystemImageIO();
}

bool CloseImage(TUDFRewritableVolume &v, bool flush) {
  if (!v.ImageFileOpen) return true;
  const KorvaImageIO &io = ImageIOOf(v);
  bool ok = true;
  if (flush && io.Flush && io.Flush(io.Context, v.ImageFile) != 0) ok = false;
  if (io.Close(io.Context, v.ImageFile) != 0) ok = false;
  v.ImageFileOpen = 0;
  v.ImageFile = 0;
  return ok;
}

} // namespace korva

extern "C" KORVA_API const KorvaImageIO *KorvaPosixImageIO(void) {
  return &korva::SystemImageIO();
}
