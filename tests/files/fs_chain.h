// Test helper: a file's descriptor list rewritten as another writer records a fragmented
// file, continued in a chain of allocation extent descriptors.
#ifndef KORVA_TESTS_FILES_FS_CHAIN_H
#define KORVA_TESTS_FILES_FS_CHAIN_H

#include <cstdint>
#include <string>
#include <vector>

#include "korva/files.h"

namespace korva::test {

// Re-describes a file's data one block per extent, as a writer that found the space
// fragmented records it, in descriptors of adBytes: perEntry in the file entry and perBlock
// in each allocation extent descriptor of the chain that continues the list. The chain's
// blocks are taken right after the data, so that the file cannot grow in place. Returns them.
std::vector<uint32_t> Chain(TUDFRewritableVolume &v, const std::u16string &path, uint32_t adBytes,
                            uint32_t perEntry, uint32_t perBlock);

} // namespace korva::test

#endif
