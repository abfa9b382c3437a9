// Korva: TKorva, the C++ component over the procedural interface.
//
// A TKorva owns one zero-filled volume record and forwards every method to the exported
// operation of the same name, passing that record first. It adds the UDFMode,
// PreferCDMRWFormat and Version properties and the OnFormatDone/OnEraseDone events.
//
// Results are those of the forwarded operation: booleans are KBOOL (-1 true, 0 false),
// handles are -1 when invalid, and the error of the last operation is read with
// UDF_GetLastErrorNumber / UDF_GetLastErrorDescription. When the component has no volume
// record (UDFMode is not umRewritable) every method returns its neutral value instead:
// false, 0, -1 for handles, an empty name or a null description.
//
// Threads: use a component from one thread at a time. UDF_FormatVolume(W) and EraseDisc
// return at once; the work runs on a background thread and ends with OnFormatDone or
// OnEraseDone, called on a thread of the library (never the caller's). Until that handler
// has run, call nothing on the component except UDF_GetPhysicalFormattingPercentage.
//
// Destruction waits for a running format or erase and its handler, dismounts a volume that
// is still mounted (so the medium is left closed and mounts again next time), releases the
// drive and frees the record. Never destroy a component from inside one of its handlers.
#ifndef KORVA_TKORVA_HPP
#define KORVA_TKORVA_HPP

#include <cstdint>
#include <functional>
#include <string>

#include "korva/korva.h"

// Whether the component holds a volume record for rewritable media. Write-once media have
// no operations, so a component stays umRewritable for its whole life.
enum TUDFMode : uint8_t { umWriteOnce = 0, umRewritable = 1 };

class KORVA_API TKorva {
public:
  // Completion events. sender is the component whose operation ended; failed is true when
  // the operation did not succeed. Called once per started operation, on a library thread.
  using TFormatDoneHandler = std::function<void(TKorva *sender, bool failed)>;
  using TEraseDoneHandler = std::function<void(TKorva *sender, bool failed)>;

  // Starts in umRewritable mode with PreferCDMRWFormat true.
  TKorva();
  ~TKorva();
  TKorva(const TKorva &) = delete;
  TKorva &operator=(const TKorva &) = delete;

  // ---- Properties ----------------------------------------------------------------------
  TUDFMode UDFMode() const { return FUDFMode; }
  // Only the step to umRewritable has an effect (and only while no record exists).
  void SetUDFMode(TUDFMode mode);

  bool PreferCDMRWFormat() { return GetPreferCDMRWFormat() != KFALSE; }
  // SetPreferCDMRWFormat is among the forwarding methods below.

  // The library's version text.
  std::string Version() const;
  std::string GetVersion() const { return Version(); }

  // The handler in place when an operation starts is the one called when it ends; changing
  // the handler later does not affect an operation already running.
  TFormatDoneHandler OnFormatDone;
  TEraseDoneHandler OnEraseDone;

  // Findings of CheckVolume and RepairVolume: called once per finding, on the caller's
  // thread, during the call; the finding's strings are valid only inside the handler.
  using TFindingHandler = std::function<void(TKorva *sender, const KorvaFinding &finding)>;
  TFindingHandler OnFinding;

  // The owned record, for callers that need a procedural function the component does not
  // forward. Null only when the component has no record.
  TUDFRewritableVolume *Volume() { return volume; }

  // ---- Device: discovery and selection -------------------------------------------------
  KBOOL InitializeASPI(bool forceASPI, const char *aspiLibrary, const char *traceFile);
  KBOOL SelectDevice(uint8_t index);
  KBOOL SelectDeviceByLetter(char letter);
  uint8_t GetDeviceCount();
  // The entry's description; "" when out of range or without a record.
  std::string GetDeviceName(uint8_t index);

  // ---- Device: control and capabilities ------------------------------------------------
  KBOOL UnlockDrive();
  KBOOL DeviceCan(uint8_t code);
  KBOOL LockMedium();
  KBOOL UnlockMedium();
  KBOOL LoadMedium(bool immediate);
  KBOOL EjectMedium(bool immediate);
  KBOOL Erasable();
  KBOOL TestUnitReady();
  KBOOL DeviceIsBurner();
  KBOOL GetPreferCDMRWFormat();
  void SetPreferCDMRWFormat(bool value);
  KBOOL GetDeviceSupportsMRWRead();
  KBOOL GetDeviceSupportsMRWWrite();
  uint16_t GetDeviceMaxReadSpeed();
  uint16_t GetDeviceMaxWriteSpeed();
  uint16_t GetMaxWriteSpeed();
  uint16_t GetReadSpeed();
  uint16_t GetWriteSpeed();
  uint32_t GetDeviceBufferSize();
  uint8_t DiscIs(); // a TMedium value
  void SetDeviceSpeed(uint16_t readSpeed, uint16_t writeSpeed);
  // Starts erasing the disc in the selected drive; OnEraseDone reports the end.
  KBOOL EraseDisc(bool quick);

  // ---- Volume life ---------------------------------------------------------------------
  KBOOL UDF_MountImage(const char *fileName, uint16_t sizeMiB);
  KBOOL UDF_MountImageW(const KWCHAR *fileName, uint16_t sizeMiB);
  KBOOL UDF_MountVolume();
  KBOOL UDF_DismountVolume();
  KBOOL UDF_FlushVolume();
  KBOOL UDF_GetVolumeCompatibility();
  // Start formatting in the background (-1) or refuse (0); OnFormatDone reports the end.
  int32_t UDF_FormatVolume(const char *label, int32_t quickFormat);
  int32_t UDF_FormatVolumeW(const KWCHAR *label, int32_t quickFormat);
  uint8_t UDF_GetPhysicalFormattingPercentage();
  // Check (writes nothing) and repair of the mounted volume; see korva/check.h. Each
  // finding goes to OnFinding.
  KBOOL CheckVolume();
  KBOOL RepairVolume();

  // ---- Directories, files, find --------------------------------------------------------
  KBOOL UDF_CreateDirectory(const char *parentPath, const char *name);
  KBOOL UDF_CreateDirectoryW(const KWCHAR *parentPath, const KWCHAR *name);
  KBOOL UDF_RemoveDirectory(const char *path);
  KBOOL UDF_RemoveDirectoryW(const KWCHAR *path);

  UDF_HANDLE UDF_CreateFile(const char *path, uint32_t desiredAccess, uint32_t creationDisposition,
                            uint32_t attributes);
  UDF_HANDLE UDF_CreateFileW(const KWCHAR *path, uint32_t desiredAccess,
                             uint32_t creationDisposition, uint32_t attributes);
  KBOOL UDF_CloseHandle(UDF_HANDLE handle);
  KBOOL UDF_ReadFile(UDF_HANDLE handle, void *buffer, uint32_t count, uint32_t *done);
  KBOOL UDF_WriteFile(UDF_HANDLE handle, const void *buffer, uint32_t count, uint32_t *done);
  KBOOL UDF_DeleteFile(const char *path);
  KBOOL UDF_DeleteFileW(const KWCHAR *path);
  KBOOL UDF_SetFilePointer(UDF_HANDLE handle, uint64_t position);
  KBOOL UDF_TruncateFile(UDF_HANDLE handle);
  KBOOL UDF_SetFileSize(UDF_HANDLE handle, uint64_t size);
  KBOOL UDF_GetFileInfo(const char *path, KorvaFileInfo *info);
  KBOOL UDF_GetFileInfoW(const KWCHAR *path, KorvaFileInfo *info);
  KBOOL UDF_ReadLink(const char *path, char *target, uint32_t targetChars, uint32_t *length);
  KBOOL UDF_ReadLinkW(const KWCHAR *path, KWCHAR *target, uint32_t targetChars,
                      uint32_t *length);
  KBOOL UDF_SetFileTimes(const char *path, const uint64_t *accessTime,
                         const uint64_t *modificationTime);
  KBOOL UDF_SetFileTimesW(const KWCHAR *path, const uint64_t *accessTime,
                          const uint64_t *modificationTime);
  KBOOL UDF_SetFilePermissions(const char *path, uint32_t permissions);
  KBOOL UDF_SetFilePermissionsW(const KWCHAR *path, uint32_t permissions);
  KBOOL UDF_CreateSymbolicLink(const char *path, const char *target);
  KBOOL UDF_CreateSymbolicLinkW(const KWCHAR *path, const KWCHAR *target);
  KBOOL UDF_CreateSpecialFile(const char *path, uint32_t fileType, uint32_t major, uint32_t minor);
  KBOOL UDF_CreateSpecialFileW(const KWCHAR *path, uint32_t fileType, uint32_t major,
                               uint32_t minor);
  KBOOL UDF_CreateHardLink(const char *existing, const char *path);
  KBOOL UDF_CreateHardLinkW(const KWCHAR *existing, const KWCHAR *path);
  KBOOL UDF_SetFileOwner(const char *path, uint32_t uid, uint32_t gid);
  KBOOL UDF_SetFileOwnerW(const KWCHAR *path, uint32_t uid, uint32_t gid);
  KBOOL UDF_MoveFile(const char *from, const char *to);
  KBOOL UDF_MoveFileW(const KWCHAR *from, const KWCHAR *to);

  UDF_HANDLE UDF_FindFirstFile(const char *pattern, _UDF_FIND_DATAA *data);
  UDF_HANDLE UDF_FindFirstFileW(const KWCHAR *pattern, _UDF_FIND_DATAW *data);
  KBOOL UDF_FindNextFile(UDF_HANDLE handle, _UDF_FIND_DATAA *data);
  KBOOL UDF_FindNextFileW(UDF_HANDLE handle, _UDF_FIND_DATAW *data);
  KBOOL UDF_FindClose(UDF_HANDLE handle);

  // ---- Errors and counters -------------------------------------------------------------
  uint16_t UDF_GetLastErrorNumber();
  const char *UDF_GetLastErrorDescription();
  const KWCHAR *UDF_GetLastErrorDescriptionW();
  uint32_t UDF_GetTotalBlocksOfLogicalVolume();
  uint32_t UDF_GetFreeBlocksOfLogicalVolume();
  uint32_t UDF_GetFileCount();
  uint32_t UDF_GetDirCount();

private:
  bool Forwards() const { return FUDFMode == umRewritable && volume != nullptr; }

  TUDFRewritableVolume *volume = nullptr;
  TUDFMode FUDFMode = umWriteOnce;
};

#endif
