// The engine's internal result: success, or one error number of include/korva/volume.h.
// Converted code returns a Status and never writes LastError; the exported UDF_* function
// hands the Status to Report at its end, the one place that stores it in LastError. Code
// that still reports through bool plus LastError meets converted code at two seams below
// (StatusFromLastError, KeepInLastError), so each side stays true to its own convention.
//
// Side effects that belong to a failure (the lifecycle's EnterFailed for errors 14 and 16,
// a medium change, the operating-system error) are taken where the failure happens, by the
// named helpers (ReadFailure), never by the mapping.
#ifndef KORVA_VOLUME_STATUS_H
#define KORVA_VOLUME_STATUS_H

#include <concepts>
#include <cstdint>
#include <cstdlib>

#include "korva/files.h"
#include "korva/volume.h"
#include "volume/engine_state.h"

namespace korva {

class [[nodiscard]] Status {
public:
  constexpr Status() = default;
  // An error number of the public table (0 is success).
  constexpr Status(uint32_t error) : error_(error) {} // NOLINT: numbers read as results
  // A bool would read as a number: `return false` must not compile into success.
  template <class T>
    requires std::same_as<T, bool>
  Status(T) = delete;
  static constexpr Status Ok() { return Status(); }
  // A failure the public contract reports with LastError 0: a refusal whose reason is the
  // operating-system error alone (a file without write or delete permission).
  static constexpr Status Unnumbered() { return Status(kUnnumbered); }
  constexpr bool IsOk() const { return error_ == 0; }
  // The number LastError takes: 0 for success and for an unnumbered failure.
  constexpr uint32_t Error() const { return error_ == kUnnumbered ? 0 : error_; }

private:
  static constexpr uint32_t kUnnumbered = UINT32_MAX;
  uint32_t error_ = 0;
};

// The exported boundary: LastError becomes the Status's number (0 on success); KTRUE when
// it succeeded.
inline KBOOL Report(TUDFRewritableVolume &v, Status s) {
  v.LastError = s.Error();
  return s.IsOk() ? KTRUE : KFALSE;
}

// Seam, old to new: the failure a bool-plus-LastError callee just reported. A callee that
// failed without a number is a fault of that callee; it stops debug and sanitizer builds
// and reads as error 10 (the volume cannot be used for this) in release builds, so that a
// failure is never reported as success.
inline Status StatusFromLastError(const TUDFRewritableVolume &v) {
  if (v.LastError != 0) return Status(v.LastError);
  if (TransitionChecksOn()) std::abort();
  return Status(KORVA_E_NOT_COMPATIBLE);
}

// A failure that carries no number of its own reported as `error` (a step that found the
// structure not as it must be, where the caller knows what that means).
inline Status NumberedOr(Status s, uint32_t error) {
  return s.IsOk() || s.Error() != 0 ? s : Status(error);
}

// Seam, new to old: converted code called by code that still reads LastError. A failure
// is stored; success leaves LastError as it was, as the old convention did.
inline bool KeepInLastError(TUDFRewritableVolume &v, Status s) {
  if (!s.IsOk()) v.LastError = s.Error();
  return s.IsOk();
}

// The handle of a call that opened one, or the invalid handle, with LastError as Report
// leaves it.
inline UDF_HANDLE ReportHandle(TUDFRewritableVolume &v, Status s, UDF_HANDLE h) {
  return Report(v, s) ? h : UDF_INVALID_HANDLE;
}

// A read failed, or gave data that makes no sense: error 13, or 14 with the volume lost
// (EnterFailed, closed at dismount) when the operation has written already.
inline Status ReadFailure(TUDFRewritableVolume &v) {
  if (!v.WrittenInOperation) return Status(KORVA_E_READ);
  EnterFailed(v, true);
  return Status(KORVA_E_READ_DIRTY);
}

// Error 27 when the mounted volume is read-only: the check of every operation that changes
// the medium.
inline Status CheckWritable(const TUDFRewritableVolume &v) {
  return v.ReadOnly ? Status(KORVA_E_READ_ONLY) : Status::Ok();
}

} // namespace korva

#endif
