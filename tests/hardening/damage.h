// Helpers that damage or change a mounted test volume the way another writer, bit rot or
// a crafted image could: raw block edits through the engine's own sector I/O.
#ifndef KORVA_TESTS_HARDENING_DAMAGE_H
#define KORVA_TESTS_HARDENING_DAMAGE_H

#include <cstdint>
#include <functional>
#include <string>

#include "korva/volume.h"

namespace korva::test {

// Reads a partition block, lets edit change it, writes it back. False on an I/O failure.
bool EditBlock(TUDFRewritableVolume &v, uint32_t block, const std::function<void(uint8_t *)> &edit);

// Where the file identifier of a path lies (it must not cross a block boundary).
struct FidAt {
  bool Ok = false;
  uint32_t Block = 0;
  uint32_t Offset = 0;
  uint32_t Length = 0;
  uint32_t DirBlock = 0; // file entry of the directory holding it
};
FidAt FindFid(TUDFRewritableVolume &v, const std::u16string &path);

// Changes a file identifier in place (edit sees the whole FID) and refills its tag.
bool EditFid(TUDFRewritableVolume &v, const std::u16string &path,
             const std::function<void(uint8_t *fid)> &edit);

// Gives an entry another name of the same length, stored as 16-bit characters.
bool RenameOnMedium(TUDFRewritableVolume &v, const std::u16string &path,
                    const std::u16string &name);

// Changes a file entry in place and refills its tag (descriptor CRC over the whole block).
bool EditFileEntry(TUDFRewritableVolume &v, uint32_t block,
                   const std::function<void(uint8_t *fe)> &edit);

} // namespace korva::test

#endif
