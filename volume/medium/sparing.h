// The sparing map of a mounted volume: packets of the partition that were relocated to a
// spare packet (by a drive or another implementation) are read and written there. This
// library never relocates a packet itself; it only honours the relocations it finds.
#ifndef KORVA_VOLUME_SPARING_H
#define KORVA_VOLUME_SPARING_H

#include <cstdint>
#include <vector>

#include "korva/volume.h"
#include "volume/medium/volume_sequence.h"

namespace korva {

// Where the sparing tables lie, and the structures a spare packet must never overlap.
struct SparingLayout {
  uint32_t Table1 = 0, Table2 = 0; // sectors
  uint32_t TableBytes = 0;         // size of each table, from the sparable partition map
  uint32_t PacketLength = 0;       // blocks per relocated packet, from the same map
  uint32_t PartitionStart = 0, PartitionLength = 0;
  uint32_t MainVDS = 0, ReserveVDS = 0, Integrity = 0;
};

// The layout of the sparing tables the descriptor sequences of this library's volume record.
SparingLayout SparingLayoutOf(const VolumeGeometry &g);

enum class SparingLoad {
  Ok,
  ReadFailed, // neither table could be read (LastError holds the read error)
  Damaged,    // no valid table
  BadEntry,   // the table relocates a packet onto something it must not touch
};

// Reads both sparing tables and installs the map of the valid one (the higher sequence
// number when both are valid, the first on a tie) in the record, replacing any map there.
// Sets SparingEntryCount and SpareAreaStart from that table. On anything but Ok the record
// keeps no map. With install clear the tables are only checked and the record is left as it
// is (a volume mounted compatible keeps the map its mount loaded).
SparingLoad LoadSparingMap(TUDFRewritableVolume &v, const SparingLayout &layout,
                           bool install = true);
void ReleaseSparingMap(TUDFRewritableVolume &v);

// A copy of the sparing table that differs from the one the mount uses: damaged, unreadable,
// or left behind by a cut between the writes of the two copies.
struct SparingRewrite {
  uint32_t Sector = 0;        // where the copy lies
  std::vector<uint8_t> Bytes; // the good copy, its tag located there
};
// True with `out` set when one copy must be rewritten from the other; false when both agree
// or when no copy is valid (LoadSparingMap says which).
bool StaleSparingCopy(TUDFRewritableVolume &v, const SparingLayout &l, SparingRewrite &out);
// Number of relocated packets in the installed map.
uint32_t RelocatedPackets(const TUDFRewritableVolume &v);

// Where absolute sector `sector` is recorded, and how many of the `count` sectors from it
// lie contiguous there (at least 1 when count is). Sectors outside relocated packets map to
// themselves; on another writer's volume the partition map comes first (partition_map.h),
// and a sector it does not map is kUnmappedSector.
uint32_t ResolveSectors(const TUDFRewritableVolume &v, uint32_t sector, uint32_t count,
                        uint32_t &physical);

} // namespace korva

#endif
