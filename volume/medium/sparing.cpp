// Loading the sparing tables and resolving sectors of relocated packets. An entry's original
// location is the partition-relative block that starts the packet; its mapped location is the
// sector where that packet is now recorded. Entries are trusted only after every mapping has
// been checked against the medium, the partition and the volume's own structures: a bad table
// would otherwise send writes over them.
#include "volume/medium/sparing.h"

#include <algorithm>
#include <optional>
#include <vector>

#include <cstring>

#include "udf/descriptors.h"
#include "udf/tag.h"
#include "volume/engine.h"
#include "volume/engine_state.h"
#include "volume/medium/partition_map.h"

namespace korva {

struct Relocation {
  uint32_t Original; // partition block starting the packet
  uint32_t Mapped;   // sector where the packet is recorded
};

struct SparingMap {
  uint32_t PartitionStart = 0;
  uint32_t PartitionLength = 0;
  uint32_t Unit = 0;               // blocks per packet
  std::vector<Relocation> Entries; // ascending by Original, never empty
};

void DestroyPart(SparingMap *part) { delete part; }

SparingLayout SparingLayoutOf(const VolumeGeometry &g) {
  SparingLayout l;
  l.Table1 = g.SparingTable1;
  l.Table2 = g.SparingTable2;
  l.TableBytes = g.SparingTableBytes;
  l.PacketLength = g.SparingPacketLength;
  l.PartitionStart = g.PartitionStart;
  l.PartitionLength = g.PartitionLength;
  l.MainVDS = g.MainVDS;
  l.ReserveVDS = g.ReserveVDS;
  l.Integrity = g.IntegritySector;
  return l;
}

namespace {

constexpr uint32_t kFreeEntryFloor = 0xFFFFFFF0u; // 0xFFFFFFF0 defective, 0xFFFFFFFF free
constexpr uint32_t kVdsSectors = 16;
constexpr uint32_t kIntegritySectors = 4;

const SparingMap *MapOf(const TUDFRewritableVolume &v) {
  return PartOf(v, &EngineState::Sparing);
}

uint32_t TableSectors(const SparingLayout &l) {
  return (l.TableBytes + kSectorSize - 1) / kSectorSize;
}

bool Overlaps(uint64_t a, uint64_t aCount, uint64_t b, uint64_t bCount) {
  return a < b + bCount && b < a + aCount;
}

// Whether a copy's sectors lie on the medium and outside the partition.
bool CopyPlaceAllowed(const TUDFRewritableVolume &v, const SparingLayout &l, uint32_t sector) {
  const uint32_t sectors = TableSectors(l);
  return uint64_t(sector) + sectors <= v.TotalSectors &&
         !Overlaps(sector, sectors, l.PartitionStart, l.PartitionLength);
}

// One copy: `table` is set when its sectors lie where a copy may and hold a valid table; a
// failure is a read that failed. `raw` keeps the bytes read, when given.
Status ReadTable(TUDFRewritableVolume &v, const SparingLayout &l, uint32_t sector,
                 std::optional<SparingTableInfo> &table, std::vector<uint8_t> *raw = nullptr) {
  table.reset();
  if (!CopyPlaceAllowed(v, l, sector)) return Status::Ok();
  const uint32_t sectors = TableSectors(l);
  std::vector<uint8_t> buf(size_t(sectors) * kSectorSize);
  uint32_t good = 0;
  if (Status s = ReadSectors(v, sector, sectors, buf.data(), good); !s.IsOk()) return s;
  table = ParseSparingTable(buf.data(), l.TableBytes, sector);
  if (raw) *raw = std::move(buf);
  return Status::Ok();
}

// The spare packet of a mapping may not overlap anything the volume keeps elsewhere.
bool TargetAllowed(const TUDFRewritableVolume &v, const SparingLayout &l, uint32_t mapped) {
  const uint32_t unit = l.PacketLength;
  const uint32_t n = v.TotalSectors;
  if (mapped % PacketBlocksOf(v) != 0 || uint64_t(mapped) + unit > n) return false;
  const uint32_t tables = TableSectors(l);
  const uint64_t reserved[][2] = {
      {0, 19}, // system area and the volume recognition sequence
      {256, 1},
      {n > 257 ? n - 257u : 0u, 1},
      {l.MainVDS, kVdsSectors},
      {l.ReserveVDS, kVdsSectors},
      {l.Integrity, kIntegritySectors},
      {l.Table1, tables},
      {l.Table2, tables},
      {l.PartitionStart, l.PartitionLength},
  };
  for (const auto &r : reserved)
    if (Overlaps(mapped, unit, r[0], r[1])) return false;
  return true;
}

// Whether each relocation, ascending, starts a whole packet of the partition, is the only one
// of its packet and goes to a target that may take it.
bool RelocationsAllowed(const TUDFRewritableVolume &v, const SparingLayout &l,
                        const std::vector<Relocation> &out, uint32_t unit) {
  for (size_t i = 0; i < out.size(); ++i) {
    const Relocation &r = out[i];
    if (r.Original % unit != 0 || r.Original >= l.PartitionLength) return false;
    if (!TargetAllowed(v, l, r.Mapped)) return false;
    if (i > 0 && out[i - 1].Original == r.Original) return false;
  }
  return true;
}

// Two packets relocated onto one spare packet would overwrite each other.
bool TargetsApart(const std::vector<Relocation> &out, uint32_t unit) {
  std::vector<uint32_t> targets;
  for (const Relocation &r : out)
    targets.push_back(r.Mapped);
  std::sort(targets.begin(), targets.end());
  for (size_t i = 1; i < targets.size(); ++i)
    if (uint64_t(targets[i - 1]) + unit > targets[i]) return false;
  return true;
}

// The relocations of a table, ascending; false when one of them cannot be honoured safely.
bool CollectRelocations(const TUDFRewritableVolume &v, const SparingLayout &l,
                        const SparingTableInfo &t, std::vector<Relocation> &out) {
  for (const UDF_SparingEntry &e : t.Entries) {
    const uint32_t original = e.OriginalLocation;
    if (original >= kFreeEntryFloor) continue;
    out.push_back({original, uint32_t(e.MappedLocation)});
  }
  if (out.empty()) return true;
  // A relocated packet must be whole packets of this engine's I/O on both sides, so that a
  // drive is only ever written whole packets.
  const uint32_t unit = l.PacketLength;
  const uint32_t io = PacketBlocksOf(v);
  if (unit == 0 || (unit & (unit - 1)) != 0 || unit % io != 0 || l.PartitionStart % io != 0)
    return false;
  std::sort(out.begin(), out.end(),
            [](const Relocation &a, const Relocation &b) { return a.Original < b.Original; });
  return RelocationsAllowed(v, l, out, unit) && TargetsApart(out, unit);
}

// The copy to use: the valid one, or of two valid ones the later (sequence number).
std::optional<SparingTableInfo> ChooseTable(std::optional<SparingTableInfo> first,
                                            std::optional<SparingTableInfo> second) {
  if (first && second && SupersedesSparingCopy(*second, *first)) return second;
  return first ? first : second;
}

} // namespace

void ReleaseSparingMap(TUDFRewritableVolume &v) {
  DropPart(v, &EngineState::Sparing);
}

uint32_t RelocatedPackets(const TUDFRewritableVolume &v) {
  const SparingMap *m = MapOf(v);
  return m ? static_cast<uint32_t>(m->Entries.size()) : 0;
}

SparingLoad LoadSparingMap(TUDFRewritableVolume &v, const SparingLayout &l, bool install) {
  if (install) ReleaseSparingMap(v);
  if (l.TableBytes < sizeof(UDF_SparingTableHeader) || l.TableBytes > SparingTableSize(0xFFFF))
    return SparingLoad::Damaged;
  const uint32_t error = v.LastError;
  std::optional<SparingTableInfo> first, second;
  const Status read1 = ReadTable(v, l, l.Table1, first);
  const Status read2 = ReadTable(v, l, l.Table2, second);
  const auto table = ChooseTable(std::move(first), std::move(second));
  if (!table) {
    if (read1.IsOk() && read2.IsOk()) return SparingLoad::Damaged;
    v.LastError = (read2.IsOk() ? read1 : read2).Error();
    return SparingLoad::ReadFailed;
  }
  // One unreadable copy is what the other is for.
  v.LastError = error;
  std::vector<Relocation> entries;
  if (!CollectRelocations(v, l, *table, entries)) return SparingLoad::BadEntry;
  if (!install) return SparingLoad::Ok;
  v.SparingEntryCount = table->Header.ReallocationTableLength;
  v.SpareAreaStart = table->Entries.empty() ? 0 : uint32_t(table->Entries[0].MappedLocation);
  if (entries.empty()) return SparingLoad::Ok;
  EnginePart<SparingMap> m(new SparingMap);
  m->PartitionStart = l.PartitionStart;
  m->PartitionLength = l.PartitionLength;
  m->Unit = l.PacketLength;
  m->Entries = std::move(entries);
  EngineOf(v).Sparing = std::move(m);
  return SparingLoad::Ok;
}

bool StaleSparingCopy(TUDFRewritableVolume &v, const SparingLayout &l, SparingRewrite &out) {
  if (l.TableBytes < sizeof(UDF_SparingTableHeader) || l.TableBytes > SparingTableSize(0xFFFF))
    return false;
  const uint32_t error = v.LastError;
  const uint32_t at[2] = {l.Table1, l.Table2};
  std::vector<uint8_t> raw[2];
  std::optional<SparingTableInfo> table[2];
  for (int i = 0; i < 2; ++i)
    (void)ReadTable(v, l, at[i], table[i], &raw[i]);
  v.LastError = error; // an unreadable copy is what this looks for
  if (!table[0] && !table[1]) return false;
  // The copy the mount uses (see ChooseTable).
  const int good = table[0] && table[1] ? SupersedesSparingCopy(*table[1], *table[0]) : !table[0];
  const int other = 1 - good;
  if (!CopyPlaceAllowed(v, l, at[other])) return false;
  // Tags differ by their location; what follows them must be the same.
  const size_t body = l.TableBytes;
  if (table[other] && raw[other].size() >= body &&
      std::equal(raw[good].begin() + sizeof(UDF_Tag), raw[good].begin() + body,
                 raw[other].begin() + sizeof(UDF_Tag)))
    return false;
  out.Sector = at[other];
  out.Bytes = raw[good];
  UDF_Tag tag;
  std::memcpy(&tag, out.Bytes.data(), sizeof tag);
  FillTagAt(out.Bytes.data(), tag.TagIdentifier, tag.DescriptorCRCLength, at[other]);
  return true;
}

namespace {

// Where a physical sector of a sparable partition is recorded (see ResolveSectors).
uint32_t ResolveSpared(const TUDFRewritableVolume &v, uint32_t sector, uint32_t count,
                       uint32_t &physical) {
  physical = sector;
  const SparingMap *m = MapOf(v);
  if (!m || count == 0) return count;
  // The first relocated packet that starts at or after the sector's packet.
  uint32_t block = 0;
  if (sector >= m->PartitionStart) {
    block = sector - m->PartitionStart;
    if (block >= m->PartitionLength) return count;
  }
  const uint32_t packet = block - block % m->Unit;
  const auto it = std::lower_bound(
      m->Entries.begin(), m->Entries.end(), packet,
      [](const Relocation &r, uint32_t original) { return r.Original < original; });
  if (sector >= m->PartitionStart && it != m->Entries.end() && it->Original == packet) {
    const uint32_t offset = block - packet;
    physical = it->Mapped + offset;
    return std::min(count, m->Unit - offset);
  }
  if (it == m->Entries.end()) return count;
  // Always progress, whatever the entries say (the mount only installs aligned ones).
  const uint64_t next =
      std::max<uint64_t>(uint64_t(m->PartitionStart) + it->Original, sector + 1ull);
  return static_cast<uint32_t>(std::min<uint64_t>(count, next - sector));
}

} // namespace

uint32_t ResolveSectors(const TUDFRewritableVolume &v, uint32_t sector, uint32_t count,
                        uint32_t &physical) {
  // The partitions of another writer's volume first, then the packets its table relocated.
  uint32_t mapped = sector;
  const uint32_t n = MapSectors(v, sector, count, mapped);
  if (mapped == kUnmappedSector) {
    physical = mapped;
    return n;
  }
  return ResolveSpared(v, mapped, n, physical);
}

} // namespace korva
