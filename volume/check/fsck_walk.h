// The walk shared by check and repair: it follows a volume from the anchor through every
// volume descriptor, the integrity descriptor, the space bitmap and every directory and file
// entry reachable from the root, and records what is wrong together with what repair would
// do about it. It only reads.
#ifndef KORVA_VOLUME_FSCK_WALK_H
#define KORVA_VOLUME_FSCK_WALK_H

#include <cstdint>
#include <string>
#include <vector>

#include "korva/check.h"
#include "korva/volume.h"
#include "udf/descriptors.h"
#include "volume/medium/volume_sequence.h"
#include "volume/status.h"

namespace korva {

// What repair does about a finding.
enum class Mend {
  None,         // only reported, or mended by rebuilding the bitmap and integrity descriptor
  DropEntry,    // mark the directory entry at Offset (FidLength bytes) of Directory deleted
  SetLength,    // record NewLength bytes in the file entry at Block
  CutDirectory, // record NewLength bytes in the directory's file entry at Directory
  WriteEntries, // write Bytes over the directory data of Directory from Offset
  CopyBlocks,   // copy Count blocks from Source to Target, then point the descriptor at
                // Offset of block Directory (a file entry or extension block) at Target
  WriteSectors, // write Bytes (Count sectors) from absolute sector Source
  SetLinks,     // record NewLength links in the file entry at Block
  TrimDirectory, // cut the extents of the directory at Block back to its length
};

struct ScanFinding {
  int32_t Kind = 0;
  uint32_t Block = KORVA_NO_BLOCK;
  std::string Path;
  std::string Text;
  Mend Action = Mend::None;
  uint32_t Directory = 0; // file entry block of the directory holding the entry
  uint64_t Offset = 0;
  uint32_t FidLength = 0;
  uint64_t NewLength = 0;
  uint64_t NewBlocks = 0;
  uint32_t Entry = KORVA_NO_BLOCK; // the file entry a SetLength or CopyBlocks mend belongs to
  std::vector<uint8_t> Bytes;
  uint32_t Source = 0, Target = 0, Count = 0;
  // Once the repaired volume is mounted, Entry gets the name NewName in Directory.
  bool Relink = false;
  uint8_t Characteristics = 0;
  std::u16string NewName;
};

// Where the volume's structures are, as found by the walk.
// The geometry the descriptor sequences record, and where the walk found the root.
struct ScanGeometry : VolumeGeometry {
  uint32_t RootBlock = 0;
};

struct VolumeScan {
  ScanGeometry Geometry;
  Status ReadFailure;          // the failure of a read that stopped the walk, or Ok
  bool Foreign = false;        // volume descriptors of another implementation
  bool Structural = false;     // a volume-level descriptor is damaged beyond this repair
  bool ForeignEntries = false; // file entries written by an implementation not accepted
  bool IntegrityValid = false;
  IntegrityInfo Recorded{}; // as read, when IntegrityValid
  bool BitmapValid = false;
  std::vector<uint8_t> RecordedFree; // the bitmap as recorded (bit set = free)
  std::vector<uint8_t> Used;         // what the walk reached (bit set = used)
  uint32_t UsedBlocks = 0;
  uint32_t Files = 0;
  uint32_t Directories = 0;
  uint64_t MaxUniqueID = 0;
  std::vector<ScanFinding> Findings;
};

// Walks the volume of a record on which a mount was attempted. Returns false when the walk
// could not complete: a read failed, or the volume is foreign or structurally damaged (see
// the flags). Findings about space, counts and IDs are added by CompareAccounting.
bool ScanVolume(TUDFRewritableVolume &v, VolumeScan &scan);

// Adds the findings about the bitmap, the counts, the next unique ID and an open integrity
// descriptor. `bitmap` is the bitmap to compare with (bit set = free): the recorded one, or
// the engine's in-memory one while the volume is mounted compatible; null when none is valid.
// `expectOpen` accepts an open integrity descriptor (the mount marked it so).
void CompareAccounting(VolumeScan &scan, const uint8_t *bitmap, size_t bitmapBytes,
                       bool expectOpen);

// The next unique ID a repaired volume records.
uint64_t RepairedNextUniqueID(const VolumeScan &scan);

// Whether file entries and directories written by the implementation `id` may be checked and
// repaired on a volume whose volume-level descriptors are this library's. Entries of this
// library are always accepted; the others are reported, and repair refuses them (error 10)
// unless this accepts them.
bool AcceptEntryImplementation(const UDF_EntityID &id);

} // namespace korva

#endif
