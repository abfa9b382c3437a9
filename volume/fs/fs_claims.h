// Which blocks more than one entry of a mounted volume claims. On a damaged volume two
// entries can name the same blocks (an extent pointing into another file's data, two
// directory entries leading to one file entry); freeing them for one would let the next
// write destroy the other. A walk over every entry the engine can reach finds them once per
// mount, at the first operation that frees blocks; the result is kept with the mount.
#ifndef KORVA_VOLUME_FS_CLAIMS_H
#define KORVA_VOLUME_FS_CLAIMS_H

#include <cstdint>
#include <unordered_set>
#include <vector>

#include "korva/volume.h"
#include "volume/fs/fs_dir.h"
#include "volume/fs/fs_state.h"
#include "volume/status.h"

namespace korva {

// A run of blocks.
struct BlockRun {
  uint64_t First = 0;
  uint64_t Count = 0;
  bool Overlaps(const BlockRun &o) const {
    return First < o.First + o.Count && o.First < First + Count;
  }
};

// The blocks an entry holds: its file entry, descriptor extensions and allocated extents.
std::vector<BlockRun> HeldBlocks(uint32_t feBlock, const DescriptorList &list);

// Walks from the root through every live directory entry: the file entries reached, their
// descriptor extension blocks and extents, and the volume's bitmap and file set descriptor
// each claim their blocks; a block claimed a second time, and a file entry reached by a
// second directory entry without recording several links, is contested. Damaged directory
// data is read as the check reads it, so every name the check follows is counted. Every file
// entry is read once (the tree's traversal), so the walk is bounded by the partition. Fails
// only when a read failed.
Status FindContestedBlocks(TUDFRewritableVolume &v, ContestedBlocks &out);

// Whether runs (inside the partition) may be freed as far as other claims go. The first call
// of a mount walks the volume. 32 when a block is contested, or the read error that stopped
// the walk.
Status ClaimedOnlyOnce(TUDFRewritableVolume &v, const std::vector<BlockRun> &runs);

// Writes never trust a bitmap that disagrees with the tree: before the first allocation of
// a mount, every block the walk finds in use is marked used in the in-memory bitmap,
// whatever the bitmap recorded. The read error that stopped the walk when it could not run.
Status TreeBlocksMarkedUsed(TUDFRewritableVolume &v);

// Of `entries`, the file entries no name reaches any more and none of whose blocks an entry
// that is reached claims: what may be freed of them. Fails when the walk could not run.
Status UnnamedEntries(TUDFRewritableVolume &v, const std::unordered_set<uint32_t> &entries,
                      std::vector<uint32_t> &out);

} // namespace korva

#endif
