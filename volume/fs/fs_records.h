// Building and changing the descriptors that directory and file operations write: file
// entries, file identifiers, allocation extent descriptors and the integrity descriptor.
// Kept apart from the sector I/O so that the record code can be tested on plain buffers.
#ifndef KORVA_VOLUME_FS_RECORDS_H
#define KORVA_VOLUME_FS_RECORDS_H

#include <cstdint>
#include <string_view>

#include "udf/descriptors.h"
#include "volume/fs/fs_state.h"

namespace korva {

// Write or delete rights of owner, group or others.
inline constexpr uint32_t kPermWriteOrDelete = 0x4A52;

void StoreAD(uint8_t *slot, ShortADValue ad);
ShortADValue LoadADAt(const uint8_t *slot);
// Bytes of one descriptor in a list of short (8) or long (16) descriptors. A long
// descriptor starts with the same length and block fields as a short one, so StoreAD also
// changes those of a long one in place; the partition and implementation use stay.
inline constexpr uint32_t kShortADBytes = 8;
inline constexpr uint32_t kLongADBytes = 16;
// Stores a descriptor that extends the list held in `block` (a file entry or an allocation
// extent descriptor) at `offset`, and records the list as ending after it. A long one names
// partition 0 and has no implementation use.
void AppendListAD(uint8_t *block, uint16_t offset, ShortADValue ad,
                  uint32_t adBytes = kShortADBytes);
// How many descriptors of adBytes still fit in a list block from `offset` on while leaving
// room for the one that continues the list elsewhere.
uint32_t ListRoom(uint32_t offset, uint32_t adBytes);

// A new file entry in `sector` (2048 bytes) for block `block`: the given type, flags,
// permissions and unique ID, times = now, and one descriptor when firstAD has a length.
struct NewFileEntry {
  uint8_t FileType = kFileTypeFile;
  uint16_t ICBFlags = 0;
  uint32_t Permissions = kPermissionsFile;
  uint64_t InformationLength = 0;
  uint64_t BlocksRecorded = 0;
  uint64_t UniqueID = 0;
  ShortADValue FirstAD;
};
void MakeFileEntry(uint8_t *sector, uint32_t block, const NewFileEntry &e);

// Changes a file entry (or extended file entry) in place and refills its tag. Deltas may be
// negative. touchTimes sets the access and modification times to now; the attribute time
// moves with them and with any change of the link count.
void UpdateFileEntry(uint8_t *sector, uint32_t block, uint64_t informationLength,
                     uint64_t blocksRecorded, int linkDelta, bool touchTimes);

// Refills the tag of a file entry or extended file entry (CRC up to the end of its
// descriptors or embedded data), recording a list of short or long descriptors with its length in
// use.
void RefillEntryTag(uint8_t *sector, uint32_t block);

// Builds a FID into out (at least FidLength bytes) and returns its length. The tag location
// is the block where the FID starts.
uint32_t BuildFid(uint8_t *out, uint8_t characteristics, uint32_t icbBlock,
                  std::u16string_view name, uint32_t location);

// Bytes of a FID up to the end of its ICB.
inline constexpr uint32_t kFidICBEnd =
    offsetof(UDF_FileIdentifierDescriptorHeader, LengthofImplementationUse);

// Marks a complete FID deleted: sets the deleted bit, clears its ICB (unless told to keep
// it), refills the tag.
void MarkFidDeleted(uint8_t *fid, uint32_t length, uint32_t location, bool clearICB = true);

// Sets the characteristics of a complete FID and refills its tag.
void SetFidCharacteristics(uint8_t *fid, uint32_t length, uint32_t location,
                           uint8_t characteristics);

// An empty allocation extent descriptor in `sector` for block `block`.
void BuildAllocationExtent(uint8_t *sector, uint32_t block);

// Refills the tag of a descriptor list block (file entry or allocation extent descriptor).
// An allocation extent descriptor does not say its descriptors' size: adBytes does.
void RefillListBlockTag(uint8_t *sector, uint32_t block, bool isFileEntry,
                        uint32_t adBytes = kShortADBytes);

// Changes an integrity descriptor: recording time, free blocks by freeDelta, file and
// directory counts (none below 0), next unique ID. Returns the new values.
struct IntegrityCounts {
  uint32_t FreeBlocks = 0;
  uint32_t Files = 0;
  uint32_t Dirs = 0;
};
IntegrityCounts UpdateIntegrity(UDF_LogicalVolumeIntegrityDescriptor &d, int64_t freeDelta,
                                int fileDelta, int dirDelta, uint64_t nextUniqueID);

// The stamp of the current time.
UDF_TimeStamp StampNow();
// Converts a stored stamp to 100 ns units since 1601 (0 when unreadable).
uint64_t StampToFileTime(const UDF_TimeStamp &stamp);

} // namespace korva

#endif
