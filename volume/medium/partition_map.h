// Where the logical blocks of another writer's volume lie. Such a volume may have several
// partitions (plain, sparable, virtual through a VAT, metadata through the metadata file);
// the engine addresses them in one block space above the medium's sectors: the partition
// that holds the file set starts at PartitionStart, every other one at its own offset after
// it. Every read of a block in that space comes here (through ResolveSectors) and goes to
// the physical sector the maps name. This library's own volumes have no such map: their one
// partition is addressed directly.
#ifndef KORVA_VOLUME_MEDIUM_PARTITION_MAP_H
#define KORVA_VOLUME_MEDIUM_PARTITION_MAP_H

#include <cstdint>
#include <string>
#include <vector>

#include "korva/volume.h"
#include "volume/medium/block_space.h"
#include "volume/medium/volume_sequence.h"

namespace korva {

// Builds the map of a foreign volume from its descriptors (reading the VAT or the metadata
// file), installs it in the record and sets PartitionStart, PartitionLength and
// FileSetSector. False, with why, when a partition cannot be read.
bool InstallPartitionMap(TUDFRewritableVolume &v, const ForeignDescriptors &d, std::string &why);
void ReleasePartitionMap(TUDFRewritableVolume &v);
// Whether the mounted volume is another writer's (a map, or the note of why it cannot be
// read, is installed).
bool HasPartitionMap(const TUDFRewritableVolume &v);
// Records why another writer's volume cannot be read (its note), mapping nothing.
void NoteUnreadableVolume(TUDFRewritableVolume &v, const std::string &why);

// The physical sector of engine sector `sector` and how many of `count` sectors from it
// follow contiguously there (at least 1). Identity when no map is installed or below it.
// On a volume of blocks smaller than a sector (SmallBlockBytes), a mapped sector holds one
// block and `physical` names the medium's block of that size.
uint32_t MapSectors(const TUDFRewritableVolume &v, uint32_t sector, uint32_t count,
                    uint32_t &physical);

// On a volume of blocks larger than a sector: how many of `count` whole logical blocks from
// the one whose first sector is engine sector `sector` lie one after another on the medium
// (at least 1), with the medium sector of the first's start in `physical` (kUnmappedSector:
// none recorded, it reads as zeros). 0 for any other volume or sector.
uint32_t MapWholeBlocks(const TUDFRewritableVolume &v, uint32_t sector, uint32_t count,
                        uint32_t &physical);

// The block space of the mounted volume: its length, the partition references and the
// logical block size.
BlockSpace BlockSpaceOf(const TUDFRewritableVolume &v);
// The logical block size of the mounted volume (2048 for this library's own).
uint32_t BlockBytesOf(const TUDFRewritableVolume &v);
// The block size when engine sector `sector` holds one block of another writer's volume of
// blocks smaller than a sector; 0 for every other sector.
uint32_t SmallBlockBytes(const TUDFRewritableVolume &v, uint32_t sector);
// Whether engine sector `sector` belongs to another writer's volume of blocks of another size
// than a sector (which is only ever read).
bool InOtherBlockSize(const TUDFRewritableVolume &v, uint32_t sector);

// What the mounted foreign volume is ("UDF 2.01 volume written by \"*Linux UDFFS\",
// virtual partition (VAT)"); empty for this library's own volumes.
std::string ForeignVolumeNote(const TUDFRewritableVolume &v);
// The same, held by the map (valid while it is installed).
const char *ForeignVolumeNoteText(const TUDFRewritableVolume &v);
// Counts the VAT records for a foreign volume: true with them when it has.
bool ForeignVolumeCounts(const TUDFRewritableVolume &v, uint32_t &files, uint32_t &dirs);

} // namespace korva

#endif
