// Damaging a closed image on purpose, through the image layer: descriptors are changed and
// their tags refilled, so that exactly the damage meant is what a check sees.
#ifndef KORVA_TESTS_RECOVERY_DAMAGE_H
#define KORVA_TESTS_RECOVERY_DAMAGE_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "korva/check.h"

namespace korva::test {

// Where a volume's structures are (absolute sectors, partition blocks).
struct Layout {
  uint32_t PartitionStart = 0;
  uint32_t PartitionLength = 0;
  uint32_t IntegritySector = 0;
  uint32_t BitmapSector = 0;
  uint32_t BitmapSectors = 0;
};
Layout LayoutOf(const TUDFRewritableVolume &v);

class ImageDamage {
public:
  ImageDamage(const std::string &path, const Layout &layout);
  ~ImageDamage();
  bool Ok() const { return ok_; }

  std::vector<uint8_t> Read(uint32_t sector, uint32_t count = 1);
  bool Write(uint32_t sector, const std::vector<uint8_t> &data);

  // Changes the descriptor in one sector and refills its tag (with its recorded CRC length).
  bool Edit(uint32_t sector, uint32_t tagLocation, const std::function<void(uint8_t *)> &change);
  bool EditBlock(uint32_t block, const std::function<void(uint8_t *)> &change) {
    return Edit(layout_.PartitionStart + block, block, change);
  }
  // Sets blocks [first, first + count) free (true) or used in the recorded space bitmap.
  bool SetBitmap(uint32_t first, uint32_t count, bool free);
  // Whether a block is recorded free.
  bool RecordedFree(uint32_t block);
  // Offset inside a directory's first data block of the entry with this 8-bit name.
  bool FindFid(uint32_t dataBlock, const std::string &name, uint32_t &offset);
  // Changes the entry with this 8-bit name in a directory's first data block and refills its
  // tag, so that only the change itself is damage.
  bool EditFid(uint32_t dataBlock, const std::string &name,
               const std::function<void(uint8_t *)> &change);
  // Points that entry at another file entry (its own is left unreached).
  bool PointFidAt(uint32_t dataBlock, const std::string &name, uint32_t target);

private:
  const KorvaImageIO *io_;
  int32_t handle_ = -1;
  Layout layout_;
  bool ok_ = false;
};

// A finding as the callback saw it.
struct Found {
  int32_t Kind;
  uint32_t Block;
  std::string Path;
  std::string Text;
  bool Repaired;
};
std::vector<Found> CheckFindings(TUDFRewritableVolume &v, KBOOL &result);
std::vector<Found> RepairFindings(TUDFRewritableVolume &v, KBOOL &result);
// The first finding of a kind (null when none).
const Found *FindKind(const std::vector<Found> &all, int32_t kind);
std::string Describe(const std::vector<Found> &all);

} // namespace korva::test

#endif
