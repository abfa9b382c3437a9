// TKorva: owns one volume record and forwards to the procedural interface.
#include "korva/TKorva.hpp"

#include <cstdlib>
#include <memory>

namespace {

// What a started format or erase needs to call the component's handler: the handler as it
// was when the operation started, and the component to report as sender. Owned by the
// operation from start to completion.
struct Completion {
  TKorva *sender;
  std::function<void(TKorva *, bool)> handler;
};

// Runs on the library's completion thread. noexcept: an exception must not cross the C
// frames of the engine, so a throwing handler ends the program at once.
void CompletionTrampoline(void *context, void * /*sender*/, int32_t failed) noexcept {
  std::unique_ptr<Completion> done(static_cast<Completion *>(context));
  done->handler(done->sender, failed != 0);
}

// Context for an operation about to start; null when no handler is assigned, in which
// case the engine is given no handler at all.
Completion *NewCompletion(TKorva *sender, const std::function<void(TKorva *, bool)> &handler) {
  if (!handler) return nullptr;
  return new Completion{sender, handler};
}

// Hands one finding of a check or repair to the component's handler.
void FindingTrampoline(void *context, const KorvaFinding *finding) noexcept {
  TKorva *sender = static_cast<TKorva *>(context);
  if (sender->OnFinding) sender->OnFinding(sender, *finding);
}

} // namespace

TKorva::TKorva() {
  SetUDFMode(umRewritable);
  SetPreferCDMRWFormat(true);
}

TKorva::~TKorva() {
  if (volume == nullptr) return;
  // A running format or erase works on the record; let it and its handler finish first.
  UDF_WaitForBackgroundOperation(volume);
  // Release closes a volume left mounted (bitmap stored, marked closed): otherwise it would
  // say "open" on the medium and never mount again without a repair.
  UDF_ReleaseVolume(volume);
  std::free(volume);
  volume = nullptr;
}

void TKorva::SetUDFMode(TUDFMode mode) {
  if (mode != umRewritable || FUDFMode == umRewritable) return;
  // Zero-filled, as the engine expects of a fresh record. Without memory the component
  // stays without a record and every method returns its neutral value.
  volume = static_cast<TUDFRewritableVolume *>(std::calloc(1, sizeof(TUDFRewritableVolume)));
  if (volume != nullptr) FUDFMode = umRewritable;
}

std::string TKorva::Version() const {
  const char *text = GetKORVAVersion();
  return text != nullptr ? std::string(text) : std::string();
}

// ---- Device ------------------------------------------------------------------------------

KBOOL TKorva::InitializeASPI(bool forceASPI, const char *aspiLibrary, const char *traceFile) {
  return Forwards() ? ::InitializeASPI(volume, forceASPI ? KTRUE : KFALSE, aspiLibrary, traceFile)
                    : KFALSE;
}
KBOOL TKorva::SelectDevice(uint8_t index) {
  return Forwards() ? ::SelectDevice(volume, index) : KFALSE;
}
KBOOL TKorva::SelectDeviceByLetter(char letter) {
  return Forwards() ? ::SelectDeviceByLetter(volume, letter) : KFALSE;
}
uint8_t TKorva::GetDeviceCount() {
  return Forwards() ? ::GetDeviceCount(volume) : 0;
}
std::string TKorva::GetDeviceName(uint8_t index) {
  if (!Forwards()) return std::string();
  const char *name = ::GetDeviceName(volume, index);
  return name != nullptr ? std::string(name) : std::string();
}
KBOOL TKorva::UnlockDrive() {
  return Forwards() ? ::UnlockDrive(volume) : KFALSE;
}
KBOOL TKorva::DeviceCan(uint8_t code) {
  return Forwards() ? ::DeviceCan(volume, code) : KFALSE;
}
KBOOL TKorva::LockMedium() {
  return Forwards() ? ::LockMedium(volume) : KFALSE;
}
KBOOL TKorva::UnlockMedium() {
  return Forwards() ? ::UnlockMedium(volume) : KFALSE;
}
KBOOL TKorva::LoadMedium(bool immediate) {
  return Forwards() ? ::LoadMedium(volume, immediate ? KTRUE : KFALSE) : KFALSE;
}
KBOOL TKorva::EjectMedium(bool immediate) {
  return Forwards() ? ::EjectMedium(volume, immediate ? KTRUE : KFALSE) : KFALSE;
}
KBOOL TKorva::Erasable() {
  return Forwards() ? ::Erasable(volume) : KFALSE;
}
KBOOL TKorva::TestUnitReady() {
  return Forwards() ? ::TestUnitReady(volume) : KFALSE;
}
KBOOL TKorva::DeviceIsBurner() {
  return Forwards() ? ::DeviceIsBurner(volume) : KFALSE;
}
KBOOL TKorva::GetPreferCDMRWFormat() {
  return Forwards() ? ::GetPreferCDMRWFormat(volume) : KFALSE;
}
void TKorva::SetPreferCDMRWFormat(bool value) {
  if (Forwards()) ::SetPreferCDMRWFormat(volume, value ? KTRUE : KFALSE);
}
KBOOL TKorva::GetDeviceSupportsMRWRead() {
  return Forwards() ? ::GetDeviceSupportsMRWRead(volume) : KFALSE;
}
KBOOL TKorva::GetDeviceSupportsMRWWrite() {
  return Forwards() ? ::GetDeviceSupportsMRWWrite(volume) : KFALSE;
}
uint16_t TKorva::GetDeviceMaxReadSpeed() {
  return Forwards() ? ::GetDeviceMaxReadSpeed(volume) : 0;
}
uint16_t TKorva::GetDeviceMaxWriteSpeed() {
  return Forwards() ? ::GetDeviceMaxWriteSpeed(volume) : 0;
}
uint16_t TKorva::GetMaxWriteSpeed() {
  return Forwards() ? ::GetMaxWriteSpeed(volume) : 0;
}
uint16_t TKorva::GetReadSpeed() {
  return Forwards() ? ::GetReadSpeed(volume) : 0;
}
uint16_t TKorva::GetWriteSpeed() {
  return Forwards() ? ::GetWriteSpeed(volume) : 0;
}
uint32_t TKorva::GetDeviceBufferSize() {
  return Forwards() ? ::GetDeviceBufferSize(volume) : 0;
}
uint8_t TKorva::DiscIs() {
  return Forwards() ? ::DiscIs(volume) : 0;
}
void TKorva::SetDeviceSpeed(uint16_t readSpeed, uint16_t writeSpeed) {
  if (Forwards()) ::SetDeviceSpeed(volume, readSpeed, writeSpeed);
}

KBOOL TKorva::EraseDisc(bool quick) {
  // Erasing does not depend on the mode; it only needs the record.
  if (volume == nullptr) return KFALSE;
  Completion *done = NewCompletion(this, OnEraseDone);
  KBOOL started = ::EraseDisc(volume, quick ? KTRUE : KFALSE,
                              done != nullptr ? CompletionTrampoline : nullptr, done);
  if (!started) delete done; // refused: no thread will call the handler
  return started;
}

// ---- Volume life -------------------------------------------------------------------------

KBOOL TKorva::UDF_MountImage(const char *fileName, uint16_t sizeMiB) {
  return Forwards() ? ::UDF_MountImage(volume, fileName, sizeMiB) : KFALSE;
}
KBOOL TKorva::UDF_MountImageW(const KWCHAR *fileName, uint16_t sizeMiB) {
  return Forwards() ? ::UDF_MountImageW(volume, fileName, sizeMiB) : KFALSE;
}
KBOOL TKorva::UDF_MountVolume() {
  return Forwards() ? ::UDF_MountVolume(volume) : KFALSE;
}
KBOOL TKorva::UDF_DismountVolume() {
  return Forwards() ? ::UDF_DismountVolume(volume) : KFALSE;
}

KBOOL TKorva::UDF_FlushVolume() {
  return Forwards() ? ::UDF_FlushVolume(volume) : KFALSE;
}
KBOOL TKorva::UDF_GetVolumeCompatibility() {
  return Forwards() ? ::UDF_GetVolumeCompatibility(volume) : KFALSE;
}
int32_t TKorva::UDF_FormatVolume(const char *label, int32_t quickFormat) {
  if (!Forwards()) return 0;
  Completion *done = NewCompletion(this, OnFormatDone);
  int32_t started = ::UDF_FormatVolume(volume, label, quickFormat,
                                       done != nullptr ? CompletionTrampoline : nullptr, done);
  if (!started) delete done;
  return started;
}
int32_t TKorva::UDF_FormatVolumeW(const KWCHAR *label, int32_t quickFormat) {
  if (!Forwards()) return 0;
  Completion *done = NewCompletion(this, OnFormatDone);
  int32_t started = ::UDF_FormatVolumeW(volume, label, quickFormat,
                                        done != nullptr ? CompletionTrampoline : nullptr, done);
  if (!started) delete done;
  return started;
}
uint8_t TKorva::UDF_GetPhysicalFormattingPercentage() {
  return Forwards() ? ::UDF_GetPhysicalFormattingPercentage(volume) : 0;
}

KBOOL TKorva::CheckVolume() {
  return Forwards() ? ::UDF_CheckVolume(volume, FindingTrampoline, this) : KFALSE;
}
KBOOL TKorva::RepairVolume() {
  return Forwards() ? ::UDF_RepairVolume(volume, FindingTrampoline, this) : KFALSE;
}

// ---- Directories, files, find ------------------------------------------------------------

KBOOL TKorva::UDF_CreateDirectory(const char *parentPath, const char *name) {
  return Forwards() ? ::UDF_CreateDirectory(volume, parentPath, name) : KFALSE;
}
KBOOL TKorva::UDF_CreateDirectoryW(const KWCHAR *parentPath, const KWCHAR *name) {
  return Forwards() ? ::UDF_CreateDirectoryW(volume, parentPath, name) : KFALSE;
}
KBOOL TKorva::UDF_RemoveDirectory(const char *path) {
  return Forwards() ? ::UDF_RemoveDirectory(volume, path) : KFALSE;
}
KBOOL TKorva::UDF_RemoveDirectoryW(const KWCHAR *path) {
  return Forwards() ? ::UDF_RemoveDirectoryW(volume, path) : KFALSE;
}
UDF_HANDLE TKorva::UDF_CreateFile(const char *path, uint32_t desiredAccess,
                                  uint32_t creationDisposition, uint32_t attributes) {
  return Forwards() ? ::UDF_CreateFile(volume, path, desiredAccess, creationDisposition, attributes)
                    : -1;
}
UDF_HANDLE TKorva::UDF_CreateFileW(const KWCHAR *path, uint32_t desiredAccess,
                                   uint32_t creationDisposition, uint32_t attributes) {
  return Forwards()
             ? ::UDF_CreateFileW(volume, path, desiredAccess, creationDisposition, attributes)
             : -1;
}
KBOOL TKorva::UDF_CloseHandle(UDF_HANDLE handle) {
  return Forwards() ? ::UDF_CloseHandle(volume, handle) : KFALSE;
}
KBOOL TKorva::UDF_ReadFile(UDF_HANDLE handle, void *buffer, uint32_t count, uint32_t *done) {
  return Forwards() ? ::UDF_ReadFile(volume, handle, buffer, count, done) : KFALSE;
}
KBOOL TKorva::UDF_WriteFile(UDF_HANDLE handle, const void *buffer, uint32_t count, uint32_t *done) {
  return Forwards() ? ::UDF_WriteFile(volume, handle, buffer, count, done) : KFALSE;
}
KBOOL TKorva::UDF_DeleteFile(const char *path) {
  return Forwards() ? ::UDF_DeleteFile(volume, path) : KFALSE;
}
KBOOL TKorva::UDF_DeleteFileW(const KWCHAR *path) {
  return Forwards() ? ::UDF_DeleteFileW(volume, path) : KFALSE;
}
KBOOL TKorva::UDF_SetFilePointer(UDF_HANDLE handle, uint64_t position) {
  return Forwards() ? ::UDF_SetFilePointer(volume, handle, position) : KFALSE;
}
KBOOL TKorva::UDF_TruncateFile(UDF_HANDLE handle) {
  return Forwards() ? ::UDF_TruncateFile(volume, handle) : KFALSE;
}
KBOOL TKorva::UDF_SetFileSize(UDF_HANDLE handle, uint64_t size) {
  return Forwards() ? ::UDF_SetFileSize(volume, handle, size) : KFALSE;
}
KBOOL TKorva::UDF_GetFileInfo(const char *path, KorvaFileInfo *info) {
  return Forwards() ? ::UDF_GetFileInfo(volume, path, info) : KFALSE;
}
KBOOL TKorva::UDF_GetFileInfoW(const KWCHAR *path, KorvaFileInfo *info) {
  return Forwards() ? ::UDF_GetFileInfoW(volume, path, info) : KFALSE;
}
KBOOL TKorva::UDF_ReadLink(const char *path, char *target, uint32_t targetChars,
                           uint32_t *length) {
  return Forwards() ? ::UDF_ReadLink(volume, path, target, targetChars, length) : KFALSE;
}
KBOOL TKorva::UDF_ReadLinkW(const KWCHAR *path, KWCHAR *target, uint32_t targetChars,
                            uint32_t *length) {
  return Forwards() ? ::UDF_ReadLinkW(volume, path, target, targetChars, length) : KFALSE;
}
KBOOL TKorva::UDF_SetFileTimes(const char *path, const uint64_t *accessTime,
                               const uint64_t *modificationTime) {
  return Forwards() ? ::UDF_SetFileTimes(volume, path, accessTime, modificationTime) : KFALSE;
}
KBOOL TKorva::UDF_SetFileTimesW(const KWCHAR *path, const uint64_t *accessTime,
                                const uint64_t *modificationTime) {
  return Forwards() ? ::UDF_SetFileTimesW(volume, path, accessTime, modificationTime) : KFALSE;
}
KBOOL TKorva::UDF_SetFilePermissions(const char *path, uint32_t permissions) {
  return Forwards() ? ::UDF_SetFilePermissions(volume, path, permissions) : KFALSE;
}
KBOOL TKorva::UDF_SetFilePermissionsW(const KWCHAR *path, uint32_t permissions) {
  return Forwards() ? ::UDF_SetFilePermissionsW(volume, path, permissions) : KFALSE;
}
KBOOL TKorva::UDF_CreateSymbolicLink(const char *path, const char *target) {
  return Forwards() ? ::UDF_CreateSymbolicLink(volume, path, target) : KFALSE;
}
KBOOL TKorva::UDF_CreateSymbolicLinkW(const KWCHAR *path, const KWCHAR *target) {
  return Forwards() ? ::UDF_CreateSymbolicLinkW(volume, path, target) : KFALSE;
}
KBOOL TKorva::UDF_CreateSpecialFile(const char *path, uint32_t fileType, uint32_t major,
                                    uint32_t minor) {
  return Forwards() ? ::UDF_CreateSpecialFile(volume, path, fileType, major, minor) : KFALSE;
}
KBOOL TKorva::UDF_CreateSpecialFileW(const KWCHAR *path, uint32_t fileType, uint32_t major,
                                     uint32_t minor) {
  return Forwards() ? ::UDF_CreateSpecialFileW(volume, path, fileType, major, minor) : KFALSE;
}
KBOOL TKorva::UDF_CreateHardLink(const char *existing, const char *path) {
  return Forwards() ? ::UDF_CreateHardLink(volume, existing, path) : KFALSE;
}
KBOOL TKorva::UDF_CreateHardLinkW(const KWCHAR *existing, const KWCHAR *path) {
  return Forwards() ? ::UDF_CreateHardLinkW(volume, existing, path) : KFALSE;
}
KBOOL TKorva::UDF_SetFileOwner(const char *path, uint32_t uid, uint32_t gid) {
  return Forwards() ? ::UDF_SetFileOwner(volume, path, uid, gid) : KFALSE;
}
KBOOL TKorva::UDF_SetFileOwnerW(const KWCHAR *path, uint32_t uid, uint32_t gid) {
  return Forwards() ? ::UDF_SetFileOwnerW(volume, path, uid, gid) : KFALSE;
}
KBOOL TKorva::UDF_MoveFile(const char *from, const char *to) {
  return Forwards() ? ::UDF_MoveFile(volume, from, to) : KFALSE;
}
KBOOL TKorva::UDF_MoveFileW(const KWCHAR *from, const KWCHAR *to) {
  return Forwards() ? ::UDF_MoveFileW(volume, from, to) : KFALSE;
}
UDF_HANDLE TKorva::UDF_FindFirstFile(const char *pattern, _UDF_FIND_DATAA *data) {
  return Forwards() ? ::UDF_FindFirstFile(volume, pattern, data) : -1;
}
UDF_HANDLE TKorva::UDF_FindFirstFileW(const KWCHAR *pattern, _UDF_FIND_DATAW *data) {
  return Forwards() ? ::UDF_FindFirstFileW(volume, pattern, data) : -1;
}
KBOOL TKorva::UDF_FindNextFile(UDF_HANDLE handle, _UDF_FIND_DATAA *data) {
  return Forwards() ? ::UDF_FindNextFile(volume, handle, data) : KFALSE;
}
KBOOL TKorva::UDF_FindNextFileW(UDF_HANDLE handle, _UDF_FIND_DATAW *data) {
  return Forwards() ? ::UDF_FindNextFileW(volume, handle, data) : KFALSE;
}
KBOOL TKorva::UDF_FindClose(UDF_HANDLE handle) {
  return Forwards() ? ::UDF_FindClose(volume, handle) : KFALSE;
}

// ---- Errors and counters -----------------------------------------------------------------

uint16_t TKorva::UDF_GetLastErrorNumber() {
  return Forwards() ? ::UDF_GetLastErrorNumber(volume) : 0;
}
const char *TKorva::UDF_GetLastErrorDescription() {
  return Forwards() ? ::UDF_GetLastErrorDescription(volume) : nullptr;
}
const KWCHAR *TKorva::UDF_GetLastErrorDescriptionW() {
  return Forwards() ? ::UDF_GetLastErrorDescriptionW(volume) : nullptr;
}
uint32_t TKorva::UDF_GetTotalBlocksOfLogicalVolume() {
  return Forwards() ? ::UDF_GetTotalBlocksOfLogicalVolume(volume) : 0;
}
uint32_t TKorva::UDF_GetFreeBlocksOfLogicalVolume() {
  return Forwards() ? ::UDF_GetFreeBlocksOfLogicalVolume(volume) : 0;
}
uint32_t TKorva::UDF_GetFileCount() {
  return Forwards() ? ::UDF_GetFileCount(volume) : 0;
}
uint32_t TKorva::UDF_GetDirCount() {
  return Forwards() ? ::UDF_GetDirCount(volume) : 0;
}
