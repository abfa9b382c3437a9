/* Korva: checking and repairing a volume, in the manner of fsck.
 *
 * Both calls follow the volume from its anchor: the volume descriptors, the integrity
 * descriptor, the space bitmap, the file set and every directory and file entry reachable
 * from the root. Every descriptor reached is validated (tag, CRC, lengths, locations inside
 * the partition); loops in directories and descriptor chains and blocks claimed twice are
 * found. Everything on the medium is treated as hostile: the walk never reads or claims a
 * block more often than the partition holds blocks.
 *
 * Both need a prior mount attempt on the record (UDF_MountImage or UDF_MountVolume), whether
 * it came out compatible or not; otherwise they fail with error 17. A volume that is mounted
 * compatible is checked against the engine's in-memory space bitmap and its integrity
 * descriptor may be open (the mount marks it so). */
#ifndef KORVA_CHECK_H
#define KORVA_CHECK_H

#include "korva/config.h"
#include "korva/volume.h"

KORVA_EXTERN_C_BEGIN

/* What a finding is about. */
enum {
  /* A read failed; the check stopped there. */
  KORVA_FINDING_UNREADABLE = 1,
  /* The volume descriptors were not written by this library (repair refuses, error 10).
   * Another writer's volume mounted read-only and readable is checked by reading it through
   * instead: this finding comes first and names the volume, each further one (unreadable)
   * an entry that does not read; the check succeeds when nothing else is found. */
  KORVA_FINDING_FOREIGN_VOLUME = 2,
  /* A volume-level descriptor (recognition sequence, anchor, volume descriptors, sparing
   * table, file set, root directory) is damaged; repair refuses with error 32. */
  KORVA_FINDING_VOLUME_STRUCTURE = 3,
  /* The integrity descriptor is recorded open: a session did not end. */
  KORVA_FINDING_LEFT_OPEN = 4,
  /* The integrity descriptor or the space bitmap descriptor is damaged, or one copy of the
   * anchor or of the volume descriptor sequence (the volume is read from the other; repair
   * writes the damaged copy again). */
  KORVA_FINDING_DESCRIPTOR = 5,
  /* Blocks in use are marked free in the space bitmap (Block: first of the run). */
  KORVA_FINDING_USED_MARKED_FREE = 6,
  /* Blocks nothing uses are marked used (leaked space; Block: first of the run). */
  KORVA_FINDING_LEAKED = 7,
  /* The free-block, file or directory count of the integrity descriptor is wrong. */
  KORVA_FINDING_COUNTS = 8,
  /* The recorded next unique ID is not above every ID in use. */
  KORVA_FINDING_UNIQUE_ID = 9,
  /* A file entry records more bytes than its extents hold, or a directory's extents hold
   * whole blocks past its length (repair cuts them back and frees the blocks). */
  KORVA_FINDING_LENGTH = 10,
  /* A directory entry leads to a file entry that is unreadable or invalid. */
  KORVA_FINDING_BAD_ENTRY = 11,
  /* A directory entry leads back to a directory already reached. */
  KORVA_FINDING_LOOP = 12,
  /* An entry claims blocks another entry uses: a block holding an entry's own file entry or
   * descriptor chain stays that entry's (the other claim is dropped); data two files claim is
   * copied so that each keeps its bytes. */
  KORVA_FINDING_CLAIMED_TWICE = 13,
  /* Directory data is damaged: a damaged entry is passed over to the next valid one (and
   * kept, renamed "#<block>" when its name cannot be trusted, when it still leads to a valid
   * file entry); damage too short for an entry at the end cuts the directory there. */
  KORVA_FINDING_DIRECTORY_DATA = 14,
  /* A file entry was written by another implementation. */
  KORVA_FINDING_FOREIGN_ENTRY = 15,
  /* A file entry's link count differs from the number of names that reach it (repair
   * records the names found, so that removing the last one frees it). */
  KORVA_FINDING_LINK_COUNT = 16,
  /* A name cannot address its entry (empty, "." or "..", holding a NUL or a "/", or half a
   * 16-bit character): repair gives the entry the name "#<block>". */
  KORVA_FINDING_NAME = 17,
  /* Two entries of one directory have the same name: repair renames the later one
   * "<name>~N", so that each can be read and removed. */
  KORVA_FINDING_DUPLICATE_NAME = 18,
  /* A file entry's count of blocks recorded matches neither the blocks its extents hold nor
   * those blocks with its extension blocks (writers count either way): repair records the
   * blocks its extents hold. */
  KORVA_FINDING_BLOCKS_RECORDED = 19
};

#define KORVA_NO_BLOCK 0xFFFFFFFFu

typedef struct KorvaFinding {
  int32_t Kind;     /* KORVA_FINDING_* */
  uint32_t Block;   /* partition block concerned; KORVA_NO_BLOCK when none */
  const char *Path; /* UTF-8 volume path, "" when none */
  const char *Text; /* UTF-8 description, one line */
  KBOOL Repaired;   /* -1: repair changed this; 0: only reported */
} KorvaFinding;

/* Called once per finding, on the caller's thread, during the call. The strings are valid
 * only during the callback. */
typedef void (*KorvaFindingCallback)(void *context, const KorvaFinding *finding);

/* Reads the volume and reports what it finds; writes nothing. -1: the volume is clean.
 * 0 with LastError 29 when it found problems, 10 when the volume is not one of this
 * library (another writer's volume mounted read-only is read through instead, see
 * KORVA_FINDING_FOREIGN_VOLUME), or the read error (13) when it could not read. The callback
 * may be null. */
KORVA_API KBOOL UDF_CheckVolume(TUDFRewritableVolume *volume, KorvaFindingCallback callback,
                                void *context);

/* Repairs a volume this library formatted: drops directory entries whose file entries are
 * invalid (or that loop back), settles blocks claimed twice (see KORVA_FINDING_CLAIMED_TWICE),
 * corrects file entries that record more bytes than their extents hold, passes over damaged
 * directory entries, writes a damaged anchor or descriptor sequence again from its backup,
 * rebuilds the space bitmap from exactly the blocks in use, recounts files and directories,
 * sets the next unique ID above every ID in use, and closes the volume. It never deletes or
 * shortens a sound file. A sound volume is left unchanged. Findings are reported with Repaired = -1
 * for what was changed. File handles and find handles open on the record become invalid.
 * -1: the volume is afterwards mounted and compatible (usable at once; dismount closes it).
 * 0 with LastError: 10 when the volume (or one of its file entries) was not written by this
 * library, 27 on a read-only mount, 32 when a volume-level descriptor is damaged, a read or
 * write error otherwise. */
KORVA_API KBOOL UDF_RepairVolume(TUDFRewritableVolume *volume, KorvaFindingCallback callback,
                                 void *context);

/* The short name of a finding kind, as the korva tool prints it ("left-open", "link-count",
 * ...): lower case, words joined by '-'. Null for a kind this library does not know. */
KORVA_API const char *UDF_GetFindingName(int32_t kind);

KORVA_EXTERN_C_END

#endif
