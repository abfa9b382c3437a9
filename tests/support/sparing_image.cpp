#include "tests/support/sparing_image.h"

#include <cstring>
#include <fstream>

#include "udf/byte_order.h"
#include "udf/descriptors.h"
#include "udf/tag.h"

namespace korva::test {
namespace {

constexpr uint32_t kLvdSizeOfTable = 440 + 44; // sparable map inside the descriptor

bool Transfer(const std::string &path, uint32_t sector, uint8_t *data, size_t bytes, bool write) {
  std::fstream file(path, write ? std::ios::in | std::ios::out | std::ios::binary
                                : std::ios::in | std::ios::binary);
  if (!file) return false;
  const std::streamoff at = std::streamoff(sector) * kSectorSize;
  if (write) {
    file.seekp(at);
    file.write(reinterpret_cast<const char *>(data), std::streamsize(bytes));
    file.flush();
  } else {
    file.seekg(at);
    file.read(reinterpret_cast<char *>(data), std::streamsize(bytes));
  }
  return bool(file);
}

} // namespace

SparingGeometry GeometryOf(const TUDFRewritableVolume &v) {
  SparingGeometry g;
  g.PartitionStart = v.PartitionStart;
  g.PartitionLength = v.PartitionLength;
  g.Table1 = v.SparingTableSector1;
  g.Table2 = v.SparingTableSector2;
  g.MainVDS = v.MainVDSSector;
  g.ReserveVDS = v.ReserveVDSSector;
  g.TotalSectors = v.TotalSectors;
  return g;
}

bool RawRead(const std::string &path, uint32_t sector, uint32_t count, std::vector<uint8_t> &out) {
  out.assign(size_t(count) * kSectorSize, 0);
  return Transfer(path, sector, out.data(), out.size(), false);
}

bool RawWrite(const std::string &path, uint32_t sector, const std::vector<uint8_t> &data) {
  std::vector<uint8_t> copy(data);
  return Transfer(path, sector, copy.data(), copy.size(), true);
}

bool AllBytes(const std::string &path, uint32_t sector, uint32_t count, uint8_t value) {
  std::vector<uint8_t> data;
  if (!RawRead(path, sector, count, data)) return false;
  for (uint8_t b : data)
    if (b != value) return false;
  return true;
}

std::vector<uint8_t> SparingTable(uint32_t sector, const std::vector<SpareEntry> &entries,
                                  uint32_t sequence) {
  const auto count = static_cast<uint16_t>(entries.size());
  const size_t size = SparingTableSize(count);
  std::vector<uint8_t> t((size + kSectorSize - 1) / kSectorSize * kSectorSize, 0);
  BuildSparingTable(t.data(), t.size(), sector, 0, count);
  StoreLE32(t.data() + 52, sequence);
  for (size_t k = 0; k < entries.size(); ++k) {
    StoreLE32(t.data() + 56 + 8 * k, entries[k].Original);
    StoreLE32(t.data() + 60 + 8 * k, entries[k].Mapped);
  }
  FillTagAt(t.data(), kTagSparingTable, static_cast<uint16_t>(size - 16), sector);
  return t;
}

bool WriteSparingTable(const std::string &path, uint32_t sector,
                       const std::vector<SpareEntry> &entries, uint32_t sequence) {
  return RawWrite(path, sector, SparingTable(sector, entries, sequence));
}

bool SetSparingTableSize(const std::string &path, const SparingGeometry &g, uint32_t entries) {
  for (uint32_t lvd : {g.MainVDS + 1, g.ReserveVDS + 1}) {
    std::vector<uint8_t> d;
    if (!RawRead(path, lvd, 1, d) || LoadLE16(d.data()) != kTagLogicalVolume) return false;
    StoreLE32(d.data() + kLvdSizeOfTable, SparingTableSize(entries));
    FillTagAt(d.data(), kTagLogicalVolume, LoadLE16(d.data() + 10), lvd);
    if (!RawWrite(path, lvd, d)) return false;
  }
  return true;
}

bool InstallSparingTables(const std::string &path, const SparingGeometry &g,
                          const std::vector<SpareEntry> &entries) {
  return SetSparingTableSize(path, g, static_cast<uint32_t>(entries.size())) &&
         WriteSparingTable(path, g.Table1, entries) && WriteSparingTable(path, g.Table2, entries);
}

bool RelocateSectors(const std::string &path, uint32_t from, uint32_t to, uint32_t count) {
  std::vector<uint8_t> data;
  if (!RawRead(path, from, count, data) || !RawWrite(path, to, data)) return false;
  return RawWrite(path, from, std::vector<uint8_t>(data.size(), kScribble));
}

} // namespace korva::test
