// Helpers of the file-system tests: whole-file writes and reads, directory listings, and
// raw views of file entries on a mounted test image.
#ifndef KORVA_TESTS_FILES_FS_HELPERS_H
#define KORVA_TESTS_FILES_FS_HELPERS_H

#include <cstdint>
#include <string>
#include <vector>

#include "korva/files.h"
#include "volume/fs/fs_dir.h"

namespace korva::test {

// Deterministic bytes for a file, different per seed.
std::vector<uint8_t> Pattern(size_t n, uint32_t seed);

// Creates (or replaces) the file and writes data in calls of at most `chunk` bytes.
bool WriteWhole(TUDFRewritableVolume &v, const std::u16string &path,
                const std::vector<uint8_t> &data, size_t chunk = SIZE_MAX);
// Reads the whole file in calls of `chunk` bytes; false on any failure.
bool ReadWhole(TUDFRewritableVolume &v, const std::u16string &path, std::vector<uint8_t> &out,
               size_t chunk = 65536);

struct Listed {
  std::u16string Name;
  uint32_t Attributes;
  uint64_t Size;
};
// Every entry find returns for a pattern path, in order.
std::vector<Listed> List(TUDFRewritableVolume &v, const std::u16string &pattern);

// The file entry at a block, and its descriptor list.
struct RawEntry {
  EntryFields Info;
  DescriptorList List;
  bool Ok = false;
};
RawEntry ReadEntry(TUDFRewritableVolume &v, uint32_t block);
// Whether every block of an entry's descriptor list records as its length exactly the
// descriptors it holds (of adBytes each), and the file entry's CRC ends with them.
bool ListLengthsExact(TUDFRewritableVolume &v, uint32_t feBlock, uint32_t adBytes = 8);
// Block of the file entry a path names (0 when not found).
uint32_t EntryBlock(TUDFRewritableVolume &v, const std::u16string &path);

} // namespace korva::test

#endif
