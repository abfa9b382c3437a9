// The position record of a positioned ReadFile or WriteFile on a handle opened for
// synchronous I/O: the call reads or writes at that 64-bit offset and leaves the handle's
// own file pointer alone, so no seek has to come first.
#ifndef KORVA_DEVICE_WINDOWS_OVERLAPPED_H
#define KORVA_DEVICE_WINDOWS_OVERLAPPED_H

#if defined(_WIN32)

#include <cstdint>
#include <cstring>

#include <windows.h>

namespace korva {

inline OVERLAPPED OverlappedAt(uint64_t offset) {
  OVERLAPPED at;
  std::memset(&at, 0, sizeof at);
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  return at;
}

} // namespace korva

#endif
#endif
