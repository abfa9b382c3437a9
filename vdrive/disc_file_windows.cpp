// The disc file on Windows: a handle by UTF-16 path that shares reading only, so a second
// drive (in this process or another) cannot open the disc for writing.
#if defined(_WIN32)
#include "vdrive/disc_file.h"

#include <algorithm>
#include <cstring>

#include <windows.h>

#include "device/windows_overlapped.h"

namespace korva::vdrive {

namespace {

HANDLE HandleOf(intptr_t value) {
  return reinterpret_cast<HANDLE>(value);
}

std::wstring Widen(const std::string &utf8) {
  const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(),
                                    static_cast<int>(utf8.size()), nullptr, 0);
  if (n <= 0) return std::wstring();
  std::wstring wide(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), static_cast<int>(utf8.size()),
                      wide.data(), n);
  return wide;
}

} // namespace

std::unique_ptr<DiscFile> DiscFile::Open(const std::string &path, bool *existed,
                                         std::string *error) {
  const std::wstring wide = Widen(path);
  if (wide.empty()) {
    if (error) *error = path + ": not a valid file name";
    return nullptr;
  }
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  *existed = attributes != INVALID_FILE_ATTRIBUTES;
  if (*existed && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    if (error) *error = path + ": not a regular file";
    return nullptr;
  }
  // Sharing deletion too, so that a disc can be removed while a drive still holds it.
  const HANDLE h =
      CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                  nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    if (error)
      *error = path + (code == ERROR_SHARING_VIOLATION ? ": the disc is already in another drive"
                                                       : ": cannot be opened (system error " +
                                                             std::to_string(code) + ")");
    return nullptr;
  }
  return std::unique_ptr<DiscFile>(new DiscFile(reinterpret_cast<intptr_t>(h)));
}

DiscFile::~DiscFile() {
  CloseHandle(HandleOf(handle_));
}

bool DiscFile::Size(uint64_t *size) const {
  LARGE_INTEGER bytes;
  if (!GetFileSizeEx(HandleOf(handle_), &bytes)) return false;
  *size = static_cast<uint64_t>(bytes.QuadPart);
  return true;
}

bool DiscFile::ReadAt(uint64_t offset, size_t n, uint8_t *out, size_t *got) const {
  *got = 0;
  while (*got < n) {
    OVERLAPPED at = korva::OverlappedAt(offset + *got);
    const DWORD want = static_cast<DWORD>(std::min<size_t>(n - *got, 1u << 30));
    DWORD r = 0;
    if (!ReadFile(HandleOf(handle_), out + *got, want, &r, &at))
      return GetLastError() == ERROR_HANDLE_EOF;
    if (r == 0) break; // end of file
    *got += r;
  }
  return true;
}

bool DiscFile::WriteAt(uint64_t offset, size_t n, const uint8_t *in) {
  while (n > 0) {
    OVERLAPPED at = korva::OverlappedAt(offset);
    const DWORD want = static_cast<DWORD>(std::min<size_t>(n, 1u << 30));
    DWORD w = 0;
    if (!WriteFile(HandleOf(handle_), in, want, &w, &at) || w == 0) return false;
    in += w;
    n -= w;
    offset += w;
  }
  return true;
}

bool DiscFile::Resize(uint64_t size) {
  LARGE_INTEGER end;
  end.QuadPart = static_cast<LONGLONG>(size);
  return SetFilePointerEx(HandleOf(handle_), end, nullptr, FILE_BEGIN) &&
         SetEndOfFile(HandleOf(handle_));
}

bool RenameReplacing(const std::string &from, const std::string &to) {
  const std::wstring source = Widen(from), target = Widen(to);
  return !source.empty() && !target.empty() &&
         MoveFileExW(source.c_str(), target.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

bool DiscFile::PunchHole(uint64_t, uint64_t) {
  return false;
}

} // namespace korva::vdrive
#endif
