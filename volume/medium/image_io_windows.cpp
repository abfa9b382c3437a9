// The Windows image layer: files by UTF-16 path (CreateFileW), positioned reads and writes
// with 64-bit offsets, space reserved up front. A file opened for writing shares reading
// only, so a second writer (another program, or another record) is refused while readers
// may still look at it.
#if defined(_WIN32)
#include <cerrno>
#include <cstring>
#include <string>

#include <windows.h>

#include "device/windows_overlapped.h"

#include "udf/utf8.h"
#include "volume/engine.h"
#include "volume/medium/image_transfer.h"

namespace {

// The nearest errno value of a Win32 error, as the image layer reports errors.
int ErrnoOf(DWORD code) {
  switch (code) {
  case ERROR_FILE_NOT_FOUND:
  case ERROR_PATH_NOT_FOUND:
    return ENOENT;
  case ERROR_ACCESS_DENIED:
    return EACCES;
  case ERROR_WRITE_PROTECT:
    return EROFS;
  case ERROR_SHARING_VIOLATION:
  case ERROR_LOCK_VIOLATION:
    return EBUSY;
  case ERROR_FILE_EXISTS:
  case ERROR_ALREADY_EXISTS:
    return EEXIST;
  case ERROR_DISK_FULL:
  case ERROR_HANDLE_DISK_FULL:
    return ENOSPC;
  case ERROR_INVALID_NAME:
  case ERROR_BAD_PATHNAME:
    return EINVAL;
  case ERROR_FILE_TOO_LARGE:
    return EFBIG;
  default:
    return EIO;
  }
}

int LastErrno() {
  return ErrnoOf(GetLastError());
}

// Kernel handles keep to 32 significant bits, so they fit the layer's 32-bit handles.
HANDLE ToHandle(int32_t value) {
  return LongToHandle(value);
}

bool WidePath(const char *path, std::wstring &wide) {
  std::u16string utf16;
  if (path == nullptr || *path == 0 || !korva::Utf8ToUtf16(path, std::strlen(path), utf16))
    return false;
  wide.assign(utf16.begin(), utf16.end());
  return true;
}

int OpenWith(const char *path, DWORD access, DWORD share, DWORD disposition, int32_t *handle) {
  std::wstring wide;
  if (!WidePath(path, wide)) return EINVAL;
  const HANDLE h =
      CreateFileW(wide.c_str(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return LastErrno();
  *handle = HandleToLong(h);
  return 0;
}

int WinOpen(void *, const char *path, int32_t *handle) {
  return OpenWith(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING, handle);
}

int WinOpenReadOnly(void *, const char *path, int32_t *handle) {
  return OpenWith(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, handle);
}

int WinCreate(void *, const char *path, int32_t *handle) {
  return OpenWith(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, CREATE_NEW, handle);
}

int WinSize(void *, int32_t handle, uint64_t *size) {
  LARGE_INTEGER bytes;
  if (!GetFileSizeEx(ToHandle(handle), &bytes)) return LastErrno();
  *size = static_cast<uint64_t>(bytes.QuadPart);
  return 0;
}

// Extending a file makes its new bytes read as zeros; the space is allocated at once.
int WinReserve(void *, int32_t handle, uint64_t size) {
  if (size > static_cast<uint64_t>(INT64_MAX)) return EFBIG;
  LARGE_INTEGER end;
  end.QuadPart = static_cast<LONGLONG>(size);
  if (!SetFilePointerEx(ToHandle(handle), end, nullptr, FILE_BEGIN)) return LastErrno();
  if (!SetEndOfFile(ToHandle(handle))) return LastErrno();
  return 0;
}

int WinReadAt(void *, int32_t handle, void *buffer, uint32_t length, uint64_t offset) {
  auto *p = static_cast<uint8_t *>(buffer);
  return korva::TransferWhole(length, [&](uint32_t done, uint32_t left) -> korva::TransferStep {
    OVERLAPPED at = korva::OverlappedAt(offset + done);
    DWORD n = 0;
    if (ReadFile(ToHandle(handle), p + done, left, &n, &at)) return {n, 0};
    const DWORD code = GetLastError();
    return {0, code == ERROR_HANDLE_EOF ? EIO : ErrnoOf(code)};
  });
}

int WinWriteAt(void *, int32_t handle, const void *buffer, uint32_t length, uint64_t offset) {
  const auto *p = static_cast<const uint8_t *>(buffer);
  return korva::TransferWhole(length, [&](uint32_t done, uint32_t left) -> korva::TransferStep {
    OVERLAPPED at = korva::OverlappedAt(offset + done);
    DWORD n = 0;
    if (WriteFile(ToHandle(handle), p + done, left, &n, &at)) return {n, 0};
    return {0, LastErrno()};
  });
}

int WinFlush(void *, int32_t handle) {
  return FlushFileBuffers(ToHandle(handle)) ? 0 : LastErrno();
}

int WinClose(void *, int32_t handle) {
  return CloseHandle(ToHandle(handle)) ? 0 : LastErrno();
}

int WinRemove(void *, const char *path) {
  std::wstring wide;
  if (!WidePath(path, wide)) return EINVAL;
  return DeleteFileW(wide.c_str()) ? 0 : LastErrno();
}

} // namespace

const KorvaImageIO korva::kSystemImageIO = {nullptr,    WinOpen,   WinCreate,      WinSize,
                                            WinReserve, WinReadAt, WinWriteAt,     WinFlush,
                                            WinClose,   WinRemove, WinOpenReadOnly};
#endif
