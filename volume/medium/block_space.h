// The blocks a volume's entries may address, by partition reference (see partition_map.h).
// Kept apart so that the directory readers need nothing else of the medium layer.
#ifndef KORVA_VOLUME_MEDIUM_BLOCK_SPACE_H
#define KORVA_VOLUME_MEDIUM_BLOCK_SPACE_H

#include <cstdint>
#include <vector>

namespace korva {

// A sector of the block space that no partition maps (a VAT entry never written, a block
// past a metadata file's extents): it reads as zeros.
inline constexpr uint32_t kUnmappedSector = 0xFFFFFFFFu;
// The largest logical block of another writer's volume that is read (the Linux kernel reads
// up to 4096 bytes, and mkudffs makes no larger ones for it).
inline constexpr uint32_t kMaxBlockBytes = 4096;

// The engine block of each partition reference's block 0, for reading allocation and file
// identifier descriptors that name a partition.
struct BlockSpace {
  uint32_t Length = 0;
  std::vector<uint32_t> RefStart; // empty: one partition, reference 0 only
  // The bytes of one logical block. Another writer's volume may use blocks smaller than a
  // sector: each engine block then holds one of them (the rest zeros), and positions in
  // extents count blocks of this size. This library's own volumes: 2048.
  uint32_t BlockBytes = 2048;
  // Blocks larger than a sector (another writer's 4096-byte ones): the engine block of a
  // logical block holds its first sector, its sector k lies k * Upper engine blocks further.
  // 0 when every block fits an engine block.
  uint32_t Upper = 0;
  BlockSpace(uint32_t length = 0) : Length(length) {}
  // Byte `offset` of an extent as a block of it and the offset in that block (the common
  // size divides by a constant).
  void Split(uint64_t offset, uint32_t &block, uint32_t &rest) const {
    const uint32_t size = BlockBytes == 2048 ? 2048 : BlockBytes;
    block = static_cast<uint32_t>(offset / size);
    rest = static_cast<uint32_t>(offset % size);
  }
  // Byte `rest` of engine block `block` (a block's first sector) as the engine block that
  // holds it and the offset there; returns how many bytes from there lie in that engine
  // block and in the same logical block.
  uint32_t Piece(uint32_t block, uint32_t rest, uint32_t &at, uint32_t &offset) const {
    if (!Upper) {
      at = block;
      offset = rest;
      return BlockBytes - rest;
    }
    at = block + rest / 2048 * Upper;
    offset = rest % 2048;
    return 2048 - offset;
  }
  // The bytes a descriptor of a block (a file entry, an allocation extent descriptor) may
  // take: the whole block, or the engine block that holds a smaller one.
  uint32_t DescriptorBytes() const { return Upper ? BlockBytes : 2048; }
  operator uint32_t() const { return Length; }
  // The engine block of block `lb` of partition reference `ref`; false when there is none.
  bool Map(uint16_t ref, uint32_t lb, uint32_t &block) const {
    if (RefStart.empty()) {
      block = lb;
      return ref == 0;
    }
    if (ref >= RefStart.size() || RefStart[ref] == kUnmappedSector) return false;
    block = RefStart[ref] + lb;
    return block >= lb && block < Length;
  }
};

} // namespace korva

#endif
