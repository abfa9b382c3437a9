// Power cuts of a drive with a write cache that writes in any order: between two
// SYNCHRONIZE CACHE commands a drive may put the packets it was sent on the disc in any
// order, so a cut keeps any subset of them, the last one it was writing torn.
#ifndef KORVA_VDRIVE_POWER_CUT_H
#define KORVA_VDRIVE_POWER_CUT_H

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <vector>

#include "vdrive/medium.h"

namespace korva::vdrive {

// The writes since the last SYNCHRONIZE CACHE, and what the sectors they touched held then.
class UnsyncedWrites {
public:
  // A write about to reach the medium: each sector's content at the last sync is kept the
  // first time a write touches it.
  bool Note(const MediumFile &medium, uint32_t lba, uint32_t count, const uint8_t *data);
  // SYNCHRONIZE CACHE: everything written so far is durable.
  void Synced();
  size_t Count() const { return writes_.size(); }
  // The cut: the touched sectors go back to their state at the last sync, then the writes
  // keep(i) picks (i counts from 0, in the order sent) land in order; the last one kept
  // lands only its first `torn` sectors when torn is not 0. Then it is as after a sync.
  bool Cut(MediumFile &medium, const std::function<bool(size_t)> &keep, uint32_t torn);

private:
  struct Write {
    uint32_t lba;
    std::vector<uint8_t> data;
  };
  std::map<uint32_t, std::array<uint8_t, 2048>> before_;
  std::vector<Write> writes_;
};

} // namespace korva::vdrive

#endif
