/* Korva: the UDF volume record and the procedural interface of the volume engine.
 *
 * Every operation takes the caller's volume record first. A zero-filled record is a valid
 * fresh record. The record begins with the complete device record, so it can be handed to
 * every device function as the device.
 *
 * Strings: wide strings are UTF-16 (KWCHAR), zero-terminated; 8-bit strings are UTF-8.
 * Booleans are 32-bit: -1 for true, 0 for false. */
#ifndef KORVA_VOLUME_H
#define KORVA_VOLUME_H

#include "korva/config.h"
#include "korva/aspi.h"

KORVA_EXTERN_C_BEGIN

/* Integrity type stored in the logical volume integrity descriptor. */
typedef enum UDFVolumeIntegrityType { itOpen = 0, itClose = 1 } UDFVolumeIntegrityType;

/* The two operations that run on a background thread. */
typedef enum UDFThreadedOperation { toFormatVolume = 0, toEraseDisc = 1 } UDFThreadedOperation;

/* Completion handlers of format and erase. Called exactly once per started operation, after
 * the work has ended, on a thread that is neither the caller's nor the work thread.
 * context is the caller's pointer given when the operation was started; sender is the
 * notification thread object (opaque); failed is -1 when the operation did not succeed. */
typedef void (*TFormatDoneEvent)(void *context, void *sender, int32_t failed);
typedef void (*TEraseDoneEvent)(void *context, void *sender, int32_t failed);

/* Error numbers kept in LastError. */
enum {
  KORVA_E_NONE = 0,
  KORVA_E_PARENT_NOT_REACHABLE = 1,
  KORVA_E_UNKNOWN_SPACE_CHANGE = 2,
  KORVA_E_NO_SPACE = 3,
  KORVA_E_INPUT_FILE = 4, /* has a message but is never set: no room is always 3 */
  KORVA_E_FILE_NOT_FOUND = 5,
  KORVA_E_FILE_EXISTS = 6,
  KORVA_E_BAD_FILE_HANDLE = 7,
  KORVA_E_ACCESS = 8,
  KORVA_E_BAD_FIND_HANDLE = 9,
  KORVA_E_NOT_COMPATIBLE = 10,
  KORVA_E_IMAGE_SIZE = 11,
  KORVA_E_NO_MEDIA = 12,
  KORVA_E_READ = 13,
  KORVA_E_READ_DIRTY = 14,
  KORVA_E_WRITE = 15,
  KORVA_E_WRITE_DIRTY = 16,
  KORVA_E_NOT_MOUNTED = 17,
  KORVA_E_NO_DEVICE = 18,
  KORVA_E_VOLUME_MOUNTED = 19,
  KORVA_E_NOT_FORMATTED = 21,
  KORVA_E_INVALID_NAME = 22,
  KORVA_E_DIR_NOT_EMPTY = 23,
  KORVA_E_CAPACITY = 24,
  KORVA_E_INVALID_PARAMETER = 25,
  KORVA_E_BUSY = 26,
  KORVA_E_READ_ONLY = 27,
  KORVA_E_LEFT_OPEN = 28,
  KORVA_E_CHECK_FINDINGS = 29,
  KORVA_E_UNSUPPORTED = 30,
  KORVA_E_TOO_DEEP = 31,
  KORVA_E_DAMAGED = 32,
  KORVA_E_BAD_MOVE = 33,
  KORVA_E_DRIVE_TIMEOUT = 34,
  KORVA_E_MEDIUM_CHANGED = 35,
  KORVA_E_DRIVE_IN_USE = 36,
  KORVA_E_CACHE_FLUSH = 37,
  KORVA_E_WRITE_PARAMETERS = 38,
  KORVA_E_LOOP = 39
};

/* Directories nest at most this deep: a path names at most this many components, so a file
 * or directory is created at most this many levels below the root (error
 * KORVA_E_TOO_DEEP otherwise, before anything is written). Walkers may take anything
 * deeper as damage. */
enum { KORVA_MAX_DEPTH = 256 };

/* Operating-system error values of the calling thread (the Windows codes callers expect). */
enum {
  KORVA_ERROR_SUCCESS = 0,
  KORVA_ERROR_FILE_NOT_FOUND = 2,
  KORVA_ERROR_ACCESS_DENIED = 5,
  KORVA_ERROR_NO_MORE_FILES = 18,
  KORVA_ERROR_HANDLE_DISK_FULL = 39,
  KORVA_ERROR_INVALID_PARAMETER = 87,
  KORVA_ERROR_DISK_FULL = 112,
  KORVA_ERROR_ALREADY_EXISTS = 183
};

/* Reads and sets the per-thread operating-system error value. Setting it also sets errno to
 * the nearest POSIX code (0 leaves errno alone). */
KORVA_API uint32_t KorvaGetLastOSError(void);
KORVA_API void KorvaSetLastOSError(uint32_t code);

/* Image I/O: a replaceable layer through which every image file access goes. A record whose
 * ImageIO is null uses the POSIX layer. Handles are the layer's own 32-bit values.
 * Every function returns 0 on success or a positive errno value. */
typedef struct KorvaImageIO {
  void *Context;
  /* Opens an existing file for reading and writing; ENOENT when it does not exist. */
  int (*Open)(void *context, const char *path, int32_t *handle);
  /* Creates a new file (fails when it exists) for reading and writing. */
  int (*Create)(void *context, const char *path, int32_t *handle);
  int (*Size)(void *context, int32_t handle, uint64_t *size);
  /* Makes the file size bytes long, all zero, with its space reserved now. */
  int (*Reserve)(void *context, int32_t handle, uint64_t size);
  /* Reads or writes exactly length bytes at offset; a short transfer is an error (EIO). */
  int (*ReadAt)(void *context, int32_t handle, void *buffer, uint32_t length, uint64_t offset);
  int (*WriteAt)(void *context, int32_t handle, const void *buffer, uint32_t length,
                 uint64_t offset);
  int (*Flush)(void *context, int32_t handle);
  int (*Close)(void *context, int32_t handle);
  /* Removes a file this layer created (used when a new image cannot be completed). */
  int (*Remove)(void *context, const char *path);
  /* Opens an existing file for reading only (for read-only mounts). May be null: the layer
   * then cannot mount read-only, and such a mount fails with a read error. */
  int (*OpenReadOnly)(void *context, const char *path, int32_t *handle);
} KorvaImageIO;

/* The system's image layer: on Linux POSIX files (pread/pwrite with 64-bit offsets,
 * posix_fallocate); on Windows Win32 files (CreateFileW with the UTF-8 path turned to
 * UTF-16, 64-bit offsets, FlushFileBuffers), opened for writing with reading the only
 * access shared, so that two programs cannot write one image. Paths are UTF-8 there. */
KORVA_API const KorvaImageIO *KorvaPosixImageIO(void);

/* The volume record. Owned by the caller; a zero-filled record is a fresh record. Flags are
 * one byte, 0 or 1. The engine owns SpaceBitmap and Engine. */
typedef struct TUDFRewritableVolume {
  TSCSIDevice Device;
  uint8_t MRWReadSupported;
  uint8_t MRWWriteSupported;
  int32_t ImageFile; /* handle of the image layer; valid while ImageFileOpen is set */
  uint8_t PacketBuffer[65536];
  uint8_t SectorBuffer[2048];
  uint32_t TotalSectors;
  uint32_t AnchorSector;
  uint32_t MainVDSSector;
  uint32_t ReserveVDSSector;
  uint32_t IntegritySector;
  uint32_t SparingTableSector1;
  uint32_t SparingTableSector2;
  uint32_t SpareAreaStart;
  uint32_t PartitionStart;
  uint32_t PartitionLength;
  uint32_t FreeBlocks;
  uint32_t FileSetSector;
  uint32_t SpaceBitmapSector;
  uint32_t SpaceBitmapBlocks;
  uint32_t RootICBSector;
  uint32_t PacketBytes;
  uint32_t FileCount;
  uint32_t DirCount;
  uint8_t PacketBlocks;
  uint16_t SparingEntryCount;
  uint8_t *SpaceBitmap; /* (PartitionLength + 7) / 8 bytes; bit set = block free */
  uint64_t NextUniqueID;
  uint32_t LastError;
  uint32_t ImagePackets;
  uint8_t DeviceSelected;
  uint8_t VolumeOpen;
  uint8_t MediumFormatted;
  uint8_t Compatible;
  uint8_t ImageMode;
  uint8_t WrittenInOperation;
  uint8_t CacheSynchronized;
  /* Engine-owned: everything the engine keeps for the record beyond these fields (file
   * and find handles, the packet cache, the sparing and partition maps, the space bitmap's
   * changed packets, the bookkeeping of background work). Null on a fresh record; freed by
   * dismount, UDF_WaitForBackgroundOperation and UDF_ReleaseVolume once it holds nothing. */
  void *Engine;
  KWCHAR VolumeLabel[16];
  uint8_t FormatPercentage; /* read from other threads while a format runs */
  uint8_t PreferMRWFormat;
  /* Engine state beyond the classic record. */
  uint8_t ImageFileOpen;
  uint32_t SpaceBitmapBytes;   /* bytes allocated at SpaceBitmap */
  const KorvaImageIO *ImageIO; /* null: POSIX files */
  char DeviceNameBuffer[132];  /* result of GetDeviceName */
  uint32_t RetryDelayMs;       /* pause between drive I/O attempts; 0 = 1000 ms */
  /* Block counts patched into the FORMAT UNIT parameter lists (big-endian, as the drive
   * reported them): DVD-RW from the mount, CD-RW fixed packets from the last format. */
  uint8_t DvdRwFormatBlocks[4];
  uint8_t CdRwFormatBlocks[4];
  /* The mounted volume lost Compatible through an I/O failure; dismount still closes it. */
  uint8_t CloseAfterFailure;
  /* Counts packet writes; an open file whose entry was read at the same count is unchanged. */
  uint32_t WriteGeneration;
  /* Mount state. ReadOnly: the mounted volume is read-only, nothing at all is written to the
   * medium (not even the integrity state) and every change fails with error 27. LeftOpen:
   * the mounted volume is this library's and was found left open by a session that did not
   * dismount it. Both are set by a mount and cleared by the next mount or a dismount. */
  uint8_t ReadOnly;
  uint8_t LeftOpen;
  /* Drive state of the mount. MountUnitAttentions: the device's unit-attention count when
   * the mount began; a later one sets MediumChanged, after which nothing is read from or
   * written to the drive for this volume until it is mounted again. CacheFlushFailed: a
   * SYNCHRONIZE CACHE failed, so written data may be lost; dismount leaves the volume open
   * for repair. TrayLocked: the mount locked the tray (PREVENT ALLOW MEDIUM REMOVAL).
   * WriteParametersSet: page 05h was set for this mount's medium. */
  uint32_t MountUnitAttentions;
  uint8_t MediumChanged;
  uint8_t CacheFlushFailed;
  uint8_t TrayLocked;
  uint8_t WriteParametersSet;
  /* Engine-owned: the volume a mount for writing on a drive marked open (SessionVolume, a
   * CRC of its label and layout; SessionStamp, the recording time of its open mark) and
   * whether a unit attention stopped it between operations with the drive's cache written
   * out (SessionResumable). A mount that finds that very volume still open with that very
   * mark takes it back without a repair; any other open volume needs one. */
  uint32_t SessionVolume;
  uint8_t SessionStamp[12];
  uint8_t SessionResumable;
  /* Bytes the packet cache may hold; 0 = 4 MiB. */
  uint32_t PacketCacheBytes;
  /* 0: every write reaches the medium while the call that makes it runs (the barriers keep
   * their order); 1: changes stay in the packet cache across calls until a sync point
   * (UDF_FlushVolume, dismount) or the cache's bound sends them out. See UDF_FlushVolume. */
  uint8_t WriteBehind;
} TUDFRewritableVolume;

/* What the mounted volume is when another writer made it ("UDF 2.01 volume written by
 * \"*Linux UDFFS\", plain partition"), or why it cannot be read; "" for this library's own
 * volumes. Such a volume mounts Compatible only read-only (it is never written). The text
 * lives until the next mount or dismount. */
KORVA_API const char *UDF_GetVolumeNote(TUDFRewritableVolume *volume);
/* The bytes of one logical block of the mounted volume, in which its block counts are given:
 * 2048, or 512, 1024 or 4096 on another writer's volume of other blocks. */
KORVA_API uint32_t UDF_GetLogicalBlockSize(TUDFRewritableVolume *volume);

/* Errors and counters. */
KORVA_API uint16_t UDF_GetLastErrorNumber(TUDFRewritableVolume *volume);
KORVA_API const char *UDF_GetLastErrorDescription(TUDFRewritableVolume *volume);
KORVA_API const KWCHAR *UDF_GetLastErrorDescriptionW(TUDFRewritableVolume *volume);
KORVA_API uint32_t UDF_GetFileCount(TUDFRewritableVolume *volume);
KORVA_API uint32_t UDF_GetDirCount(TUDFRewritableVolume *volume);

/* Volume life. An image file is created (its space reserved, all zeros) when it does not
 * exist; size_mib is used only then. */
/* A mount on a record that holds a mounted volume dismounts that volume first. */
KORVA_API KBOOL UDF_MountVolume(TUDFRewritableVolume *volume);
KORVA_API KBOOL UDF_MountImage(TUDFRewritableVolume *volume, const char *file_name,
                               uint16_t size_mib);
KORVA_API KBOOL UDF_MountImageW(TUDFRewritableVolume *volume, const KWCHAR *file_name,
                                uint16_t size_mib);
KORVA_API KBOOL UDF_DismountVolume(TUDFRewritableVolume *volume);
/* Sync point: writes everything the packet cache holds, in an order that keeps the volume
 * repairable at every moment, and ends with a barrier (fdatasync of an image, SYNCHRONIZE
 * CACHE of a drive), so that every call that returned before it is durable when it returns
 * KTRUE. A failed write or barrier returns KFALSE with error 15 or 16 (16: the volume is
 * unusable until it is mounted again; dismount still closes it). Dismount is a sync point
 * too.
 * Between sync points the medium may reorder writes (an image's pages, a drive's write
 * cache), and a power cut may keep any subset of them. The library orders its writes with
 * barriers so that after any cut the volume is repairable (korva repair,
 * UDF_RepairVolume): everything that returned before the last completed sync point is
 * intact; each call after it is absent or complete, or for a file written in place holds its
 * old or new bytes per packet, never another file's bytes.
 * With WriteBehind 0 (the default) each write reaches the medium while its call runs, but
 * is durable only after the next barrier; with WriteBehind 1 (the korva commands and korva
 * mount) changes stay in memory across calls (at most PacketCacheBytes, default 4 MiB)
 * until a sync point or the bound sends them out in the same safe order, each packet
 * written whole.
 * A drive's failed SYNCHRONIZE CACHE is error 37, and a failure part-way through a
 * write-behind flush leaves the volume open for repair. */
KORVA_API KBOOL UDF_FlushVolume(TUDFRewritableVolume *volume);
/* Read-only mounts: the medium is only read, never written (not even to mark the volume
 * open), so a volume can be looked at without touching it; ReadOnly is set and every change
 * (create, write, delete, remove, format) fails with KORVA_E_READ_ONLY. An image is opened
 * for reading only and never created (a missing image leaves the volume not compatible with
 * error 13). A volume left open by a session that did not end mounts compatible here, with
 * LeftOpen set so that callers can warn.
 *
 * The plain mounts fall back to a read-only mount by themselves when the medium cannot be
 * written: an image file that cannot be opened for writing (permissions, a read-only file
 * system) or a disc that the drive reports write-protected. ReadOnly tells the caller.
 * Without a read-only mount, a volume left open mounts not compatible with
 * KORVA_E_LEFT_OPEN and LeftOpen set (repair it first). */
KORVA_API KBOOL UDF_MountVolumeReadOnly(TUDFRewritableVolume *volume);
KORVA_API KBOOL UDF_MountImageReadOnly(TUDFRewritableVolume *volume, const char *file_name);
KORVA_API KBOOL UDF_MountImageReadOnlyW(TUDFRewritableVolume *volume, const KWCHAR *file_name);
KORVA_API KBOOL UDF_GetVolumeCompatibility(TUDFRewritableVolume *volume);
/* -1 when the mounted volume's space bitmap cannot be trusted: it was read under a CRC that
 * failed (another system changed bits of an older descriptor whose CRC covered them), or it
 * records free a block the tree uses (found by a walk of the tree, run by the first call or
 * allocation of the mount; it changes only memory). Reading goes on; writes never take a
 * block the tree uses, and check lists the disagreement. */
KORVA_API KBOOL UDF_GetSpaceBitmapSuspect(TUDFRewritableVolume *volume);

/* Formatting, on a background thread. Returns -1 when started, 0 when refused (LastError
 * says why; no thread is started). The label has at most 15 characters.
 * While a format or erase works on a record, every call that would touch the medium or the
 * drive through that record (a second format or erase included) is refused with
 * KORVA_E_BUSY; the completion handler may use the record again. */
KORVA_API int32_t UDF_FormatVolume(TUDFRewritableVolume *volume, const char *label,
                                   int32_t quick_format, TFormatDoneEvent on_done, void *context);
KORVA_API int32_t UDF_FormatVolumeW(TUDFRewritableVolume *volume, const KWCHAR *label,
                                    int32_t quick_format, TFormatDoneEvent on_done, void *context);
/* Progress of a physical format, 0 to 100; safe to call from any thread while a format
 * runs. It only reads: LastError is left as it is, so polling never races with, or wipes,
 * the error a format reports. */
KORVA_API uint8_t UDF_GetPhysicalFormattingPercentage(TUDFRewritableVolume *volume);

/* Blocks until every format or erase started on this record has ended and its completion
 * handler has returned, then frees the bookkeeping. Call it before destroying a record
 * that may have a background operation running. Must not be called from a handler. */
KORVA_API void UDF_WaitForBackgroundOperation(TUDFRewritableVolume *volume);

/* Releases everything the engine holds for the record: waits for background work,
 * dismounts a mounted volume (bitmap stored, volume closed, as UDF_DismountVolume), frees
 * the bitmap and the lists. The record can be freed afterwards, or used again as a fresh
 * record. A dismount that fails does not stop the release: the volume then stays marked
 * open on the medium (repair it before use) and LastError keeps the write error. */
KORVA_API void UDF_ReleaseVolume(TUDFRewritableVolume *volume);

/* Space statistics. */
KORVA_API uint32_t UDF_GetTotalBlocksOfLogicalVolume(TUDFRewritableVolume *volume);
KORVA_API uint32_t UDF_GetFreeBlocksOfLogicalVolume(TUDFRewritableVolume *volume);

/* Erasing the disc in the selected drive, on a background thread. */
KORVA_API KBOOL EraseDisc(TUDFRewritableVolume *volume, KBOOL quick, TEraseDoneEvent on_done,
                          void *context);

/* Device operations on the volume. */
KORVA_API KBOOL InitializeASPI(TUDFRewritableVolume *volume, KBOOL force_aspi,
                               const char *aspi_library, const char *trace_file);
KORVA_API KBOOL SelectDevice(TUDFRewritableVolume *volume, uint8_t index);
KORVA_API KBOOL SelectDeviceByLetter(TUDFRewritableVolume *volume, char letter);
KORVA_API uint8_t GetDeviceCount(TUDFRewritableVolume *volume);
/* The entry's description; "" when the index is out of range. The text stays valid until
 * the next GetDeviceName on the same record. */
KORVA_API const char *GetDeviceName(TUDFRewritableVolume *volume, uint8_t index);
KORVA_API KBOOL GetPreferCDMRWFormat(TUDFRewritableVolume *volume);
KORVA_API void SetPreferCDMRWFormat(TUDFRewritableVolume *volume, KBOOL value);
KORVA_API KBOOL GetDeviceSupportsMRWRead(TUDFRewritableVolume *volume);
KORVA_API KBOOL GetDeviceSupportsMRWWrite(TUDFRewritableVolume *volume);

KORVA_API KBOOL UnlockDrive(TUDFRewritableVolume *volume);
KORVA_API KBOOL DeviceCan(TUDFRewritableVolume *volume, uint8_t code);
KORVA_API KBOOL LockMedium(TUDFRewritableVolume *volume);
KORVA_API KBOOL UnlockMedium(TUDFRewritableVolume *volume);
KORVA_API KBOOL LoadMedium(TUDFRewritableVolume *volume, KBOOL immediate);
KORVA_API KBOOL EjectMedium(TUDFRewritableVolume *volume, KBOOL immediate);
KORVA_API KBOOL Erasable(TUDFRewritableVolume *volume);
KORVA_API KBOOL TestUnitReady(TUDFRewritableVolume *volume);
KORVA_API KBOOL DeviceIsBurner(TUDFRewritableVolume *volume);
KORVA_API uint8_t DiscIs(TUDFRewritableVolume *volume); /* a TMedium value */
KORVA_API void SetDeviceSpeed(TUDFRewritableVolume *volume, uint16_t read_speed,
                              uint16_t write_speed);
KORVA_API uint16_t GetDeviceMaxReadSpeed(TUDFRewritableVolume *volume);
KORVA_API uint16_t GetDeviceMaxWriteSpeed(TUDFRewritableVolume *volume);
KORVA_API uint16_t GetMaxWriteSpeed(TUDFRewritableVolume *volume);
KORVA_API uint16_t GetReadSpeed(TUDFRewritableVolume *volume);
KORVA_API uint16_t GetWriteSpeed(TUDFRewritableVolume *volume);
KORVA_API uint32_t GetDeviceBufferSize(TUDFRewritableVolume *volume);

KORVA_EXTERN_C_END

#endif
