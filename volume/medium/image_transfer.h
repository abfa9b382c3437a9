// What the image layers of every system share: a transfer of a whole range in as many calls
// as the system needs, and the one layer of the system the library is built for.
#ifndef KORVA_VOLUME_MEDIUM_IMAGE_TRANSFER_H
#define KORVA_VOLUME_MEDIUM_IMAGE_TRANSFER_H

#include <cerrno>
#include <cstdint>

#include "korva/volume.h"

namespace korva {

// What one read or write call of the system moved: its bytes, or the errno of its failure.
struct TransferStep {
  uint32_t Bytes = 0;
  int Error = 0;
};

// Moves `length` bytes through step(done, left), which moves some of the `left` bytes that
// follow the first `done`. 0 once all are moved; the errno of a failing step; EIO for a step
// that moves nothing (past the end of the image), so that a short file never loops.
template <class Step> int TransferWhole(uint32_t length, Step step) {
  uint32_t done = 0;
  while (done < length) {
    const TransferStep s = step(done, length - done);
    if (s.Error != 0) return s.Error;
    if (s.Bytes == 0) return EIO;
    done += s.Bytes;
  }
  return 0;
}

// The image layer of the system, defined by that system's file.
extern const KorvaImageIO kSystemImageIO;

} // namespace korva

#endif
