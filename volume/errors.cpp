// Error numbers and their messages, the per-thread operating-system error value, and the
// volume counters.
#include <cerrno>

#include "volume/engine.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace {

struct Message {
  const char *text;
  const KWCHAR *wide;
};

// Index = error number; a null entry is a number outside the table.
const Message kMessages[] = {
    {"No error.", u"No error."},
    {"Parent directory path is not reachable.", u"Parent directory path is not reachable."},
    {"Partition space modified by some unknown implementation.",
     u"Partition space modified by some unknown implementation."},
    {"Not enough free partition space is available.",
     u"Not enough free partition space is available."},
    {"Input file can't be opened.", u"Input file can't be opened."},
    {"Specified file doesn't exist.", u"Specified file doesn't exist."},
    {"Specified file already exists.", u"Specified file already exists."},
    {"Specified UDF File Handle is invalid.", u"Specified UDF File Handle is invalid."},
    {"Specified UDF File Handle doesn't possess appropriate access right to perform the "
     "operation.",
     u"Specified UDF file handle doesn't possess appropriate access right to perform the "
     u"operation."},
    {"Specified UDF Find Handle is invalid.", u"Specified UDF Find Handle is invalid."},
    {"Logical Volume does not comply to UDF specification.",
     u"Logical Volume does not comply to UDF specification."},
    {"Size of image file is invalid.", u"Size of image file is invalid."},
    {"Correct media is not present.", u"Correct media is not present."},
    {"Read error.", u"Read error."},
    {"Read error. Volume partially updated and therefore is dirty.",
     u"Read error. Volume partially updated and therefore is dirty."},
    {"Write error.", u"Write error."},
    {"Write error. Volume partially updated and therefore is dirty.",
     u"Write error. Volume partially updated and therefore is dirty."},
    {"Volume is not mounted.", u"Volume is not mounted."},
    {"Device is not selected.", u"Device is not selected."},
    {"Logical volume is mounted. Close it first before erasing disc.",
     u"Logical volume is mounted. Close it first before erasing disc."},
    {nullptr, nullptr},
    {"Disc is not physically formatted for fixed packet writing. Perform Full Format instead.",
     u"Disc is not physically formatted for fixed packet writing. Perform Full Format "
     u"instead."},
    {"Invalid name.", u"Invalid name."},
    {"Directory is not empty.", u"Directory is not empty."},
    {"Capacity is too small for a UDF volume.", u"Capacity is too small for a UDF volume."},
    {"Invalid parameter.", u"Invalid parameter."},
    {"A format or erase is running on this volume.",
     u"A format or erase is running on this volume."},
    {"The medium is read-only.", u"The medium is read-only."},
    {"Volume was left open by a session that did not end. Repair it first.",
     u"Volume was left open by a session that did not end. Repair it first."},
    {"Volume check found problems.", u"Volume check found problems."},
    {"The volume holds a structure that this version cannot change.",
     u"The volume holds a structure that this version cannot change."},
    {"Path is nested too deep.", u"Path is nested too deep."},
    {"Volume structure is damaged. Check and repair the volume.",
     u"Volume structure is damaged. Check and repair the volume."},
    {"A directory cannot be moved into itself or below itself.",
     u"A directory cannot be moved into itself or below itself."},
    {"The drive did not finish the operation in time.",
     u"The drive did not finish the operation in time."},
    {"The drive reported a medium change or reset while the volume was mounted; nothing more "
     "was written. Mount it again.",
     u"The drive reported a medium change or reset while the volume was mounted; nothing more "
     u"was written. Mount it again."},
    {"The drive is in use by another program or a mounted file system; it cannot be written.",
     u"The drive is in use by another program or a mounted file system; it cannot be written."},
    {"The drive could not write its cache to the medium. The volume stays open: run korva "
     "repair.",
     u"The drive could not write its cache to the medium. The volume stays open: run korva "
     u"repair."},
    {"The drive refused the write parameters for packet writing; the volume can only be read.",
     u"The drive refused the write parameters for packet writing; the volume can only be read."},
    {"The path leads into a directory that belongs elsewhere in the tree. Check and repair "
     "the volume.",
     u"The path leads into a directory that belongs elsewhere in the tree. Check and repair "
     u"the volume."},
};

constexpr uint32_t kMessageCount = sizeof(kMessages) / sizeof(kMessages[0]);

thread_local uint32_t tLastOSError = 0;

int NearestErrno(uint32_t code) {
  switch (code) {
  case KORVA_ERROR_FILE_NOT_FOUND:
    return ENOENT;
  case KORVA_ERROR_ACCESS_DENIED:
    return EACCES;
  case KORVA_ERROR_NO_MORE_FILES:
    return ENOENT;
  case KORVA_ERROR_HANDLE_DISK_FULL:
  case KORVA_ERROR_DISK_FULL:
    return ENOSPC;
  case KORVA_ERROR_INVALID_PARAMETER:
    return EINVAL;
  case KORVA_ERROR_ALREADY_EXISTS:
    return EEXIST;
  default:
    return EIO;
  }
}

} // namespace

namespace korva {

bool RequireCompatible(TUDFRewritableVolume &v) {
  if (RefuseWhileBusy(v)) return false;
  if (!v.Compatible) {
    SetError(v, KORVA_E_NOT_COMPATIBLE);
    return false;
  }
  ClearError(v);
  return true;
}

uint32_t CompatibleCount(TUDFRewritableVolume *volume, uint32_t TUDFRewritableVolume::*count) {
  return volume && RequireCompatible(*volume) ? volume->*count : 0;
}

} // namespace korva

extern "C" {

KORVA_API uint32_t KorvaGetLastOSError(void) {
  return tLastOSError;
}

KORVA_API void KorvaSetLastOSError(uint32_t code) {
  tLastOSError = code;
#if defined(_WIN32)
  // Windows callers read it where they read every system error.
  SetLastError(code);
#endif
  if (code != 0) errno = NearestErrno(code);
}

KORVA_API uint16_t UDF_GetLastErrorNumber(TUDFRewritableVolume *volume) {
  if (!volume) return 0;
  return static_cast<uint16_t>(volume->LastError & 0xFFFF);
}

KORVA_API const char *UDF_GetLastErrorDescription(TUDFRewritableVolume *volume) {
  if (!volume || volume->LastError >= kMessageCount) return nullptr;
  return kMessages[volume->LastError].text;
}

KORVA_API const KWCHAR *UDF_GetLastErrorDescriptionW(TUDFRewritableVolume *volume) {
  if (!volume || volume->LastError >= kMessageCount) return nullptr;
  return kMessages[volume->LastError].wide;
}

KORVA_API uint32_t UDF_GetFileCount(TUDFRewritableVolume *volume) {
  return korva::CompatibleCount(volume, &TUDFRewritableVolume::FileCount);
}

KORVA_API uint32_t UDF_GetDirCount(TUDFRewritableVolume *volume) {
  return korva::CompatibleCount(volume, &TUDFRewritableVolume::DirCount);
}

} // extern "C"
