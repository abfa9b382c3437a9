/* Korva: directories, files, find and file data on a mounted volume.
 *
 * Every operation takes the caller's volume record first and needs a mounted, compatible
 * volume (error 10 otherwise). Paths use backslashes; one leading backslash is optional and a
 * trailing one after the last component is allowed. Wide strings are UTF-16; 8-bit strings
 * are UTF-8, and a string that does not convert is refused (error 22), never altered.
 * Names are compared exactly (case-sensitive, code unit by code unit) and hold 1 to 127
 * characters, or up to 254 when every character is below U+0100 (stored 8 bits each, as other
 * systems store long names; shorter names are stored 16 bits each). A name is unique in its directory, whatever the kind of the entry holding it.
 * New names may not hold \ * ? : < > | " or control characters; names another system stored
 * with them stay reachable by their exact names, where a backslash inside a name is given as
 * U+F05C (the separator cannot carry it), and a find returns the name as stored.
 *
 * Handles are 32-bit values of ours; -1 is never a valid handle. A handle is valid from the
 * call that returned it until it is closed or the volume is dismounted. */
#ifndef KORVA_FILES_H
#define KORVA_FILES_H

#include "korva/config.h"
#include "korva/udf.h"
#include "korva/volume.h"

KORVA_EXTERN_C_BEGIN

typedef int32_t UDF_HANDLE;
#define UDF_INVALID_HANDLE ((UDF_HANDLE)-1)

/* Desired access of UDF_CreateFile(W). */
#define UDF_GENERIC_READ 0x80000000u
#define UDF_GENERIC_WRITE 0x40000000u

/* Creation dispositions; any other value fails with error 25. */
#define UDF_CREATE_NEW 1u
#define UDF_CREATE_ALWAYS 2u
#define UDF_OPEN_EXISTING 3u
#define UDF_OPEN_ALWAYS 4u

/* Attribute bits: given at creation (read-only, hidden, system, archive) and reported by
 * find (all of them). */
#define UDF_FILE_ATTRIBUTE_READONLY 0x01u
#define UDF_FILE_ATTRIBUTE_HIDDEN 0x02u
#define UDF_FILE_ATTRIBUTE_SYSTEM 0x04u
#define UDF_FILE_ATTRIBUTE_DIRECTORY 0x10u
#define UDF_FILE_ATTRIBUTE_ARCHIVE 0x20u
#define UDF_FILE_ATTRIBUTE_NORMAL 0x80u

/* A find result. Times are file times (100 ns units since 1601-01-01 UTC): creation and
 * last access both carry the entry's access time. Sizes are 0 for a directory. */
typedef struct _UDF_FIND_DATAW {
  uint32_t dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  uint32_t nFileSizeHigh;
  uint32_t nFileSizeLow;
  KWCHAR cFileName[260];
  KWCHAR cAlternateFileName[14];
} _UDF_FIND_DATAW, *PUDF_FIND_DATAW;

/* The same with the names in UTF-8. A name whose UTF-8 form does not fit 259 bytes fails the
 * call with error 22. */
typedef struct _UDF_FIND_DATAA {
  uint32_t dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  uint32_t nFileSizeHigh;
  uint32_t nFileSizeLow;
  char cFileName[260];
  char cAlternateFileName[14];
  uint8_t Reserved[2];
} _UDF_FIND_DATAA, *PUDF_FIND_DATAA;

/* Directories. The parent is "\" for the root or a path naming a directory; the name is one
 * component. A name already held by a live entry fails with 6; removing a directory that
 * still holds entries fails with 23. */
KORVA_API KBOOL UDF_CreateDirectoryW(TUDFRewritableVolume *volume, const KWCHAR *parent,
                                     const KWCHAR *name);
KORVA_API KBOOL UDF_CreateDirectory(TUDFRewritableVolume *volume, const char *parent,
                                    const char *name);
KORVA_API KBOOL UDF_RemoveDirectoryW(TUDFRewritableVolume *volume, const KWCHAR *path);
KORVA_API KBOOL UDF_RemoveDirectory(TUDFRewritableVolume *volume, const char *path);

/* Files. Replacing a file with UDF_CREATE_ALWAYS invalidates every handle open on it: later
 * transfers through them fail with 7. Deleting a file that is open (or replacing it with
 * UDF_MoveFile) removes its name at once, but its handles go on reading and writing it; its
 * blocks are freed when the last of them is closed (or at dismount). */
KORVA_API UDF_HANDLE UDF_CreateFileW(TUDFRewritableVolume *volume, const KWCHAR *path,
                                     uint32_t desired_access, uint32_t creation_disposition,
                                     uint32_t attributes);
KORVA_API UDF_HANDLE UDF_CreateFile(TUDFRewritableVolume *volume, const char *path,
                                    uint32_t desired_access, uint32_t creation_disposition,
                                    uint32_t attributes);
KORVA_API KBOOL UDF_CloseHandle(TUDFRewritableVolume *volume, UDF_HANDLE handle);
KORVA_API KBOOL UDF_DeleteFileW(TUDFRewritableVolume *volume, const KWCHAR *path);
KORVA_API KBOOL UDF_DeleteFile(TUDFRewritableVolume *volume, const char *path);

/* Entry information by path; "\" is the root. Times are file times with the microseconds
 * the entry stores. Size is the information length (for a directory, the bytes of its
 * identifiers). Permissions are the UDF bits, five for others (bits 0-4), the group (5-9) and
 * the owner (10-14): execute 1, write 2, read 4, change attributes 8, delete 16; and
 * UDF_PERMISSION_SETUID, _SETGID and _STICKY as the entry's ICB flags record them. A missing
 * entry fails with 5, a missing parent with 1. */
#define KORVA_ENTRY_FILE 1u
#define KORVA_ENTRY_DIRECTORY 2u
/* File types as the entry stores them (FileType); other values are reported as stored. */
#define KORVA_FILE_TYPE_DIRECTORY 4u
#define KORVA_FILE_TYPE_FILE 5u
#define KORVA_FILE_TYPE_BLOCK_DEVICE 6u
#define KORVA_FILE_TYPE_CHAR_DEVICE 7u
#define KORVA_FILE_TYPE_FIFO 9u
#define KORVA_FILE_TYPE_SOCKET 10u
#define KORVA_FILE_TYPE_SYMLINK 12u
#define KORVA_ID_NOT_RECORDED 0xFFFFFFFFu
typedef struct KorvaFileInfo {
  uint32_t Kind;       /* KORVA_ENTRY_FILE or KORVA_ENTRY_DIRECTORY */
  uint32_t Attributes; /* UDF_FILE_ATTRIBUTE_* as find reports them */
  uint64_t Size;
  uint64_t BlocksRecorded;
  uint64_t AccessTime;
  uint64_t ModificationTime;
  uint64_t AttributeTime;
  uint64_t UniqueID;
  uint32_t Permissions;
  uint32_t LinkCount;
  /* Kind is KORVA_ENTRY_DIRECTORY for a directory and KORVA_ENTRY_FILE for every other type,
   * which FileType tells apart: KORVA_FILE_TYPE_*, as stored. */
  uint32_t FileType;
  uint32_t Uid; /* owner and group; KORVA_ID_NOT_RECORDED when the entry records none */
  uint32_t Gid;
  /* Of a device entry: the numbers of its device specification attribute, else 0. */
  uint32_t DeviceMajor;
  uint32_t DeviceMinor;
} KorvaFileInfo;
KORVA_API KBOOL UDF_GetFileInfoW(TUDFRewritableVolume *volume, const KWCHAR *path,
                                 KorvaFileInfo *info);
KORVA_API KBOOL UDF_GetFileInfo(TUDFRewritableVolume *volume, const char *path,
                                KorvaFileInfo *info);

/* The target of a symbolic link as a POSIX path ('/' between components, a leading '/' for
 * the root), terminated, in target (room for targetChars characters, the terminator
 * included); length (optional) receives its characters without the terminator whenever the
 * entry is a link. An entry that is not a symbolic link, or a buffer too small, fails with 25;
 * a target that is not readable path components fails with 32. */
KORVA_API KBOOL UDF_ReadLinkW(TUDFRewritableVolume *volume, const KWCHAR *path, KWCHAR *target,
                             uint32_t targetChars, uint32_t *length);
/* The same in UTF-8: sizes count bytes. */
KORVA_API KBOOL UDF_ReadLink(TUDFRewritableVolume *volume, const char *path, char *target,
                            uint32_t targetChars, uint32_t *length);

/* Entries beyond files and directories, stored as ECMA-167 stores them. A symbolic link
 * (file type 12) records its target, a POSIX path ('/' between components, a leading '/' for
 * the root), as path components in data blocks of its own (names of up to 254 characters;
 * 22 otherwise). A special file is a FIFO, a socket, or a block or character device
 * (KORVA_FILE_TYPE_*; any other type fails with 25); a device records its numbers in a
 * device specification extended attribute. A hard link is another name for an existing
 * file's entry, whose link count grows by one; a directory cannot have one (8). The new
 * name must not exist (6); its parent must (1). */
KORVA_API KBOOL UDF_CreateSymbolicLinkW(TUDFRewritableVolume *volume, const KWCHAR *path,
                                        const KWCHAR *target);
KORVA_API KBOOL UDF_CreateSymbolicLink(TUDFRewritableVolume *volume, const char *path,
                                       const char *target);
KORVA_API KBOOL UDF_CreateSpecialFileW(TUDFRewritableVolume *volume, const KWCHAR *path,
                                       uint32_t file_type, uint32_t major, uint32_t minor);
KORVA_API KBOOL UDF_CreateSpecialFile(TUDFRewritableVolume *volume, const char *path,
                                      uint32_t file_type, uint32_t major, uint32_t minor);
KORVA_API KBOOL UDF_CreateHardLinkW(TUDFRewritableVolume *volume, const KWCHAR *existing,
                                    const KWCHAR *path);
KORVA_API KBOOL UDF_CreateHardLink(TUDFRewritableVolume *volume, const char *existing,
                                   const char *path);

/* Sets the access and modification times of an entry (a null pointer leaves that time
 * alone); a time outside the years 1 to 9999 fails with 25. The attribute time becomes now. */
KORVA_API KBOOL UDF_SetFileTimesW(TUDFRewritableVolume *volume, const KWCHAR *path,
                                  const uint64_t *access_time, const uint64_t *modification_time);
KORVA_API KBOOL UDF_SetFileTimes(TUDFRewritableVolume *volume, const char *path,
                                 const uint64_t *access_time, const uint64_t *modification_time);
/* Replaces the UDF permission bits of an entry, and its set-user-ID, set-group-ID and sticky
 * bits (UDF_PERMISSION_*, kept in the entry's ICB flags; other bits above 14 fail with 25).
 * An entry without write and delete rights is read-only: it cannot be deleted. */
#define UDF_PERMISSION_SETUID 0x8000u
#define UDF_PERMISSION_SETGID 0x10000u
#define UDF_PERMISSION_STICKY 0x20000u
KORVA_API KBOOL UDF_SetFilePermissionsW(TUDFRewritableVolume *volume, const KWCHAR *path,
                                        uint32_t permissions);
KORVA_API KBOOL UDF_SetFilePermissions(TUDFRewritableVolume *volume, const char *path,
                                       uint32_t permissions);
/* Records the owner and group of an entry (numeric POSIX IDs); KORVA_OWNER_UNCHANGED leaves
 * one alone. The attribute time becomes now. */
#define KORVA_OWNER_UNCHANGED 0xFFFFFFFFu
KORVA_API KBOOL UDF_SetFileOwnerW(TUDFRewritableVolume *volume, const KWCHAR *path, uint32_t uid,
                                  uint32_t gid);
KORVA_API KBOOL UDF_SetFileOwner(TUDFRewritableVolume *volume, const char *path, uint32_t uid,
                                 uint32_t gid);

/* Moves an entry to another path on the volume, keeping its file entry, data and open
 * handles; the target's parent must exist (else 1). An existing target is replaced as
 * rename(2) does: a file by a file, an empty directory by a directory (6 when the kinds
 * differ, 23 when the directory is not empty, 8 when it may not be deleted). A directory
 * cannot move into itself or below (33). Moving an entry onto its own path does nothing. */
KORVA_API KBOOL UDF_MoveFileW(TUDFRewritableVolume *volume, const KWCHAR *from, const KWCHAR *to);
KORVA_API KBOOL UDF_MoveFile(TUDFRewritableVolume *volume, const char *from, const char *to);

/* Find. The last path component is a pattern: "*" matches every name, a name without
 * wildcards only itself. */
KORVA_API UDF_HANDLE UDF_FindFirstFileW(TUDFRewritableVolume *volume, const KWCHAR *path,
                                        _UDF_FIND_DATAW *data);
KORVA_API UDF_HANDLE UDF_FindFirstFile(TUDFRewritableVolume *volume, const char *path,
                                       _UDF_FIND_DATAA *data);
KORVA_API KBOOL UDF_FindNextFileW(TUDFRewritableVolume *volume, UDF_HANDLE handle,
                                  _UDF_FIND_DATAW *data);
KORVA_API KBOOL UDF_FindNextFile(TUDFRewritableVolume *volume, UDF_HANDLE handle,
                                 _UDF_FIND_DATAA *data);
KORVA_API KBOOL UDF_FindClose(TUDFRewritableVolume *volume, UDF_HANDLE handle);
/* The identity of the entry a find handle returned last: the partition block of its file
 * entry, the same for every path that leads to the entry while the volume stays mounted.
 * Walkers use it to notice a directory that contains itself or one of its ancestors.
 * False with error 9 for an unknown handle. */
KORVA_API KBOOL UDF_FindEntryLocation(TUDFRewritableVolume *volume, UDF_HANDLE handle,
                                      uint32_t *block);

/* File data at the handle's position, which starts at 0 and moves forward (or where
 * UDF_SetFilePointer puts it). A write overwrites from the position and appends the rest. The
 * file's size changes only with the write's last step, so a write that fails or is cut short
 * leaves the size as it was; bytes overwritten inside the old size go to the medium packet by
 * packet before that, so such a write may leave a leading part of them written. A read
 * delivers fewer bytes than asked only at the end of the file. */
KORVA_API KBOOL UDF_WriteFile(TUDFRewritableVolume *volume, UDF_HANDLE handle, const void *buffer,
                              uint32_t count, uint32_t *written);
KORVA_API KBOOL UDF_ReadFile(TUDFRewritableVolume *volume, UDF_HANDLE handle, void *buffer,
                             uint32_t count, uint32_t *read);

/* Moves the handle's position to any byte from 0 to the file's size (beyond it: 25); the
 * next transfer starts there. */
KORVA_API KBOOL UDF_SetFilePointer(TUDFRewritableVolume *volume, UDF_HANDLE handle,
                                   uint64_t position);
/* Empties the file of a handle opened for writing: size 0, every data block freed; the
 * position of every handle on it goes back to 0. */
KORVA_API KBOOL UDF_TruncateFile(TUDFRewritableVolume *volume, UDF_HANDLE handle);
/* Sets the size of the file of a handle opened for writing. A smaller size frees the blocks
 * beyond the new end; a larger one appends zeros. Positions beyond the new end move to it;
 * the handle's own position is kept otherwise. */
KORVA_API KBOOL UDF_SetFileSize(TUDFRewritableVolume *volume, UDF_HANDLE handle, uint64_t size);

KORVA_EXTERN_C_END

#endif
