// Reading what a directory or file entry holds: the allocation descriptor list (with its
// continuations into allocation extent descriptors) and the file identifiers packed into
// directory data, which may cross block boundaries. Everything read here is untrusted:
// lengths and positions are checked against the partition and the blocks actually read,
// continuation chains are bounded, and bad data ends the list or the directory.
#ifndef KORVA_VOLUME_FS_DIR_H
#define KORVA_VOLUME_FS_DIR_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "udf/descriptors.h"
#include "udf/timestamp.h"
#include "volume/fs/fs_state.h"
#include "volume/medium/block_space.h"

namespace korva {

inline constexpr uint32_t kBlockSize = 2048;
// Where the descriptors of a file entry without extended attributes, and of an allocation
// extent descriptor, start (checked against the records in fs_dir.cpp).
inline constexpr uint16_t kFEFirstSlot = 176;
inline constexpr uint16_t kAEDFirstSlot = 24;
inline constexpr uint16_t kLastSlot = 2040;
inline constexpr uint32_t kExtentTypeContinuation = 3;
// Largest extent length that is a whole number of blocks and fits the 30-bit field.
inline constexpr uint32_t kMaxExtentBytes = 0x40000000u - kBlockSize;

// FID characteristics.
inline constexpr uint8_t kFidHidden = 0x01;
inline constexpr uint8_t kFidDirectory = 0x02;
inline constexpr uint8_t kFidDeleted = 0x04;
inline constexpr uint8_t kFidParent = 0x08;

// Reads one partition block into a 2048-byte buffer; false on an I/O failure.
using BlockReadFn = std::function<bool(uint32_t block, uint8_t *buffer)>;

// Room for a file entry read whole: a logical block, which on another writer's volume may be
// larger than a sector (BlockSpace::DescriptorBytes() of it hold the entry).
using EntryBuffer = uint8_t[kMaxBlockBytes];
// Reads the descriptor at `block` (a file entry or an allocation extent descriptor) whole
// into `out`: the sectors of its block past the first only when it reaches into them (the
// rest is zeroed). False on an I/O failure.
bool ReadEntryBlock(const BlockReadFn &read, const BlockSpace &space, uint32_t block,
                    uint8_t *out);

// One slot of a descriptor list: the block and offset that hold it, and its value.
struct ADSlot {
  uint32_t SlotBlock = 0;
  uint16_t SlotOffset = 0;
  ShortADValue AD;
};

struct DescriptorList {
  std::vector<ADSlot> Extents;      // data extents in file order (no continuations)
  std::vector<uint32_t> Extensions; // allocation extent descriptor blocks, in order
  uint32_t EndBlock = 0;            // slot where the list ends (first empty slot) ...
  uint16_t EndOffset = 0;           // ... 2048 when the block is full without continuation
  bool Corrupt = false;             // the list was cut short at bad data
  // How the entry records its data: short or long descriptors, or embedded in the entry
  // itself (from EmbeddedOffset, EmbeddedLength bytes; no extents).
  uint8_t Form = 0;
  uint16_t EmbeddedOffset = 0;
  uint16_t EmbeddedLength = 0;
  bool Embedded() const { return Form == 3; }
  // Bytes the extents (or the embedded data) hold.
  uint64_t TotalBytes() const;
};

// The fields of a file entry that the engine uses: the record's own reading of them.
using EntryFields = FileEntryInfo;

// Checks the tag of a file entry (or extended file entry) of `length` bytes at `block` and
// reads its fields. False when it is not one.
bool ReadEntryFields(const uint8_t *sector, uint32_t block, EntryFields &info,
                     uint32_t length = kBlockSize);

// Walks the descriptor list of the file entry in `feSector` (block `feBlock`, `length`
// bytes: an entry read by ReadEntryBlock holds space.DescriptorBytes()), following
// continuations. False only on an I/O failure; bad data sets Corrupt and ends the list.
bool ReadDescriptorList(const BlockReadFn &read, const BlockSpace &space, uint32_t feBlock,
                        const uint8_t *feSector, DescriptorList &out,
                        uint32_t length = kBlockSize);

// A file identifier found in directory data.
struct FidEntry {
  uint64_t Offset = 0; // bytes of the directory before it
  uint32_t Length = 0; // padded length
  uint8_t Characteristics = 0;
  uint32_t ICBBlock = 0;
  uint16_t ICBPartition = 0; // partition reference of the entry's address
  uint8_t RawName[255] = {}; // the stored, compressed identifier
  uint8_t RawNameLength = 0;
  std::u16string Name; // decoded by a full read, or on demand by DecodedName()
  bool NameDecoded = false;
  const std::u16string &DecodedName();
  // Whether the stored name equals `name`, decoding only when it is not stored 16-bit.
  bool NameEquals(std::u16string_view name);
};

// Padded length of a FID with the given identifier and implementation-use lengths.
constexpr uint32_t FidLength(uint32_t lfi, uint32_t liu = 0) {
  return (38 + liu + lfi + 3) & ~3u;
}

// Decodes an OSTA compressed name (identifier 8 or 16); false for any other identifier.
bool DecodeName(const uint8_t *bytes, size_t length, std::u16string &name);

// Sequential access to a directory's data as one byte stream.
class DirectoryStream {
public:
  enum Status { Ok, End, IoError };

  DirectoryStream(BlockReadFn read, BlockSpace space);

  // Loads the directory whose file entry is at `feBlock`. Status End when it is not a
  // readable directory. Another file type reads the data of an entry of that type (the
  // target of a symbolic link) the same way.
  Status Open(uint32_t feBlock, uint8_t fileType = 4);
  uint32_t FEBlock() const { return feBlock_; }
  const EntryFields &Entry() const { return fe_; }
  const DescriptorList &List() const { return list_; }
  // Bytes of directory data that can be read: the information length, cut to the extents.
  uint64_t Size() const { return size_; }

  // Reads the FID that starts at `offset`. End when there is none (end of the data or
  // something that is not a valid FID). A quick read checks the tag's identifier, checksum
  // and location but not the CRC, and leaves the name undecoded: scans use it to pass over
  // entries and read the one they stop at again in full.
  Status ReadFid(uint64_t offset, FidEntry &out, bool full = true);
  // The first offset after damage at `offset` where a valid FID starts (FIDs are 4-byte
  // aligned and their tags say where they lie), or Size() when none does. False on an I/O
  // failure.
  bool NextValidFid(uint64_t offset, uint64_t &next);
  // Copies `n` bytes of directory data from `offset`; false on an I/O failure or when the
  // range is outside the data.
  bool ReadBytes(uint64_t offset, uint8_t *dst, size_t n, bool &ioError);

  // Where a directory offset lies: index into List().Extents, block and offset in it.
  struct Place {
    size_t Extent = 0;
    uint32_t Block = 0;
    uint16_t Offset = 0;
  };
  bool Locate(uint64_t offset, Place &place) const;

private:
  bool ReadBlock(uint32_t block, const uint8_t *&data);

  BlockReadFn read_;
  BlockSpace space_;
  uint32_t partitionLength_;
  uint32_t feBlock_ = 0;
  EntryFields fe_;
  DescriptorList list_;
  std::vector<uint64_t> starts_; // directory offset where each extent begins
  uint64_t size_ = 0;
  uint8_t cache_[kBlockSize];
  EntryBuffer entry_; // the file entry of an embedded directory
  uint32_t cachedBlock_ = 0;
  bool cacheValid_ = false;
};

// Calls visit(fid, offset) for each live entry (neither deleted nor the parent) of the
// directory at feBlock, as far as its data reads. False on a read failure or when visit
// returns false; a block that holds no directory has no entries. A directory whose entry or
// list cannot be read is a failure, never an empty directory (which a removal would take
// as free to go, and a name index as holding no names).
// A damaged entry is passed over to the next valid one, so that what the directory holds
// after it is still seen (and never taken for free space).
template <class Visit>
bool ForEachLiveEntry(BlockReadFn read, BlockSpace space, uint32_t feBlock, Visit visit) {
  DirectoryStream dir(read, std::move(space));
  const DirectoryStream::Status opened = dir.Open(feBlock);
  if (opened != DirectoryStream::Ok) return opened == DirectoryStream::End;
  for (uint64_t offset = 0; offset < dir.Size();) {
    FidEntry fid;
    const DirectoryStream::Status st = dir.ReadFid(offset, fid, false);
    if (st == DirectoryStream::IoError) return false;
    if (st == DirectoryStream::End) {
      if (!dir.NextValidFid(offset, offset)) return false;
      continue;
    }
    if (!(fid.Characteristics & (kFidDeleted | kFidParent)) && !visit(fid, offset)) return false;
    offset += fid.Length;
  }
  return true;
}

} // namespace korva

#endif
