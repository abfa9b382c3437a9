// The tool's local system on Windows. Paths are 8-bit strings in the ANSI code page, as the
// C runtime and the 8-bit interface of the library take them.
#if defined(_WIN32)
#include "local.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <direct.h>

#include <windows.h>

namespace korvacli {

namespace {

// The lock is a byte far beyond any image's end: it excludes other korva commands and
// never the reads and writes of the image itself (Windows locks bar I/O in locked ranges).
constexpr DWORD kLockOffsetHigh = 0x7FFFFFFF;

HANDLE HandleOf(intptr_t value) {
  return reinterpret_cast<HANDLE>(value);
}

// The position record naming the lock byte.
OVERLAPPED LockByteAt() {
  OVERLAPPED at;
  std::memset(&at, 0, sizeof at);
  at.OffsetHigh = kLockOffsetHigh;
  return at;
}

bool LockByte(HANDLE file, bool shared) {
  OVERLAPPED at = LockByteAt();
  const DWORD flags = LOCKFILE_FAIL_IMMEDIATELY | (shared ? 0 : LOCKFILE_EXCLUSIVE_LOCK);
  return LockFileEx(file, flags, 0, 1, 0, &at) != 0;
}

// The tool's own handle only reads, and lets the library's image layer write.
HANDLE OpenForLock(const std::string &path) {
  return CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

std::string SystemText(DWORD code) {
  char text[256] = {};
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, code, 0, text, sizeof text, nullptr);
  std::string s(text, n);
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == '.'))
    s.pop_back();
  return s.empty() ? "system error " + std::to_string(code) : s;
}

} // namespace

void InstallInterruptHandlers(void (*handler)(int)) {
  std::signal(SIGINT, handler);
  std::signal(SIGTERM, handler);
}

bool StderrIsTerminal() {
  return _isatty(2) != 0;
}

bool ListLocalDirectory(const std::string &dir, std::vector<std::string> &names) {
  WIN32_FIND_DATAA found;
  const std::string pattern = dir + (dir.empty() || dir.back() == '/' || dir.back() == '\\'
                                         ? "*"
                                         : "\\*");
  const HANDLE find = FindFirstFileA(pattern.c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) {
    errno = GetLastError() == ERROR_ACCESS_DENIED ? EACCES : ENOENT;
    return false;
  }
  do {
    const std::string n = found.cFileName;
    if (n != "." && n != "..") names.push_back(n);
  } while (FindNextFileA(find, &found));
  FindClose(find);
  return true;
}

std::string LocalIdentity(const std::string &path) {
  const HANDLE h = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return std::string();
  BY_HANDLE_FILE_INFORMATION info;
  const bool ok = GetFileInformationByHandle(h, &info) != 0;
  CloseHandle(h);
  if (!ok) return std::string();
  return std::to_string(info.dwVolumeSerialNumber) + ":" + std::to_string(info.nFileIndexHigh) +
         ":" + std::to_string(info.nFileIndexLow);
}

int MakeLocalDirectory(const std::string &path) {
  return _mkdir(path.c_str()) == 0 ? 0 : errno;
}

// Links are made as Windows makes them for a user in developer mode or with the privilege;
// anyone else is told so (EPERM) and the copy goes on. A target that names an existing
// directory, seen from the link's folder, gets a directory link.
int MakeLocalSymlink(const std::u16string &target, const std::string &path) {
  std::wstring to(target.begin(), target.end());
  for (wchar_t &c : to)
    if (c == L'/') c = L'\\';
  const int n = MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, nullptr, 0);
  if (n <= 0) return EINVAL;
  std::wstring at(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, at.data(), n);
  at.resize(static_cast<size_t>(n - 1));
  const size_t slash = at.find_last_of(L"\\/");
  const bool absolute = to.size() > 1 && (to[0] == L'\\' || to[1] == L':');
  const std::wstring seen = absolute || slash == std::wstring::npos ? to : at.substr(0, slash + 1) + to;
  const DWORD attributes = GetFileAttributesW(seen.c_str());
  DWORD flags = SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE;
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
    flags |= SYMBOLIC_LINK_FLAG_DIRECTORY;
  if (CreateSymbolicLinkW(at.c_str(), to.c_str(), flags)) return 0;
  switch (GetLastError()) {
  case ERROR_PRIVILEGE_NOT_HELD:
  case ERROR_ACCESS_DENIED:
    return EPERM;
  case ERROR_ALREADY_EXISTS:
  case ERROR_FILE_EXISTS:
    return EEXIST;
  case ERROR_PATH_NOT_FOUND:
    return ENOENT;
  default:
    return EIO;
  }
}

// Windows file systems hold no FIFOs.
int MakeLocalFifo(const std::string &) {
  return ENOSYS;
}

ImageLock::~ImageLock() {
  if (handle_ != -1) CloseHandle(HandleOf(handle_));
}

std::string ImageLock::LockExisting(const std::string &path, bool shared, bool &busy) {
  busy = false;
  if (handle_ == -1) {
    const HANDLE h = OpenForLock(path);
    if (h == INVALID_HANDLE_VALUE) return SystemText(GetLastError());
    handle_ = reinterpret_cast<intptr_t>(h);
  }
  // A second mount in one run changes the lock it holds.
  OVERLAPPED at = LockByteAt();
  UnlockFileEx(HandleOf(handle_), 0, 1, 0, &at);
  if (!LockByte(HandleOf(handle_), shared)) {
    const DWORD code = GetLastError();
    busy = code == ERROR_LOCK_VIOLATION;
    return SystemText(code);
  }
  return std::string();
}

// Created under its own name (CREATE_NEW: a second command cannot make it too), sized, and
// locked through a reading handle before the writing one is closed, so that the library
// can open it for writing.
std::string ImageLock::CreateLocked(const std::string &path, uint64_t bytes, bool &exists) {
  exists = false;
  const HANDLE made = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (made == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    exists = code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS;
    return SystemText(code);
  }
  LARGE_INTEGER end;
  end.QuadPart = static_cast<LONGLONG>(bytes);
  DWORD code = 0;
  if (!SetFilePointerEx(made, end, nullptr, FILE_BEGIN) || !SetEndOfFile(made)) code = GetLastError();
  const HANDLE lock = code == 0 ? OpenForLock(path) : INVALID_HANDLE_VALUE;
  if (code == 0 && lock == INVALID_HANDLE_VALUE) code = GetLastError();
  if (code == 0 && !LockByte(lock, false)) code = GetLastError();
  CloseHandle(made);
  if (code != 0) {
    if (lock != INVALID_HANDLE_VALUE) CloseHandle(lock);
    DeleteFileA(path.c_str());
    return SystemText(code);
  }
  if (handle_ != -1) CloseHandle(HandleOf(handle_));
  handle_ = reinterpret_cast<intptr_t>(lock);
  return std::string();
}

} // namespace korvacli
#endif
