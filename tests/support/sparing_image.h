// Test helpers that relocate packets of a formatted image the way a drive or another
// implementation would: the packet's sectors copied to a spare packet, the sparing tables
// rewritten (tag and CRC correct) to name it, and the original scribbled over.
#ifndef KORVA_TESTS_SUPPORT_SPARING_IMAGE_H
#define KORVA_TESTS_SUPPORT_SPARING_IMAGE_H

#include <cstdint>
#include <string>
#include <vector>

#include "korva/volume.h"

namespace korva::test {

// What the helpers need to know of a volume, taken from a mounted record.
struct SparingGeometry {
  uint32_t PartitionStart = 0, PartitionLength = 0;
  uint32_t Table1 = 0, Table2 = 0;
  uint32_t MainVDS = 0, ReserveVDS = 0;
  uint32_t TotalSectors = 0;
};
SparingGeometry GeometryOf(const TUDFRewritableVolume &v);

struct SpareEntry {
  uint32_t Original; // partition block starting the packet; 0xFFFFFFFF free, 0xFFFFFFF0 bad
  uint32_t Mapped;   // sector of the spare packet
};

// The byte written over relocated originals.
constexpr uint8_t kScribble = 0xA5;

bool RawRead(const std::string &path, uint32_t sector, uint32_t count, std::vector<uint8_t> &out);
bool RawWrite(const std::string &path, uint32_t sector, const std::vector<uint8_t> &data);
// Whether count sectors from sector all hold the byte value.
bool AllBytes(const std::string &path, uint32_t sector, uint32_t count, uint8_t value);

// A sparing table with these entries in this order, tagged for its sector.
std::vector<uint8_t> SparingTable(uint32_t sector, const std::vector<SpareEntry> &entries,
                                  uint32_t sequence = 0);
// Writes the table at `sector`.
bool WriteSparingTable(const std::string &path, uint32_t sector,
                       const std::vector<SpareEntry> &entries, uint32_t sequence = 0);
// Records the size of a table of `entries` entries in both logical volume descriptors.
bool SetSparingTableSize(const std::string &path, const SparingGeometry &g, uint32_t entries);
// Both tables and the size the descriptors record.
bool InstallSparingTables(const std::string &path, const SparingGeometry &g,
                          const std::vector<SpareEntry> &entries);
// Copies `count` sectors from `from` to `to` and fills the originals with kScribble.
bool RelocateSectors(const std::string &path, uint32_t from, uint32_t to, uint32_t count);

} // namespace korva::test

#endif
