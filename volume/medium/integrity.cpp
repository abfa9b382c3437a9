// The one writer of the logical volume integrity descriptor. Every change of it (the mount
// opening the volume, the dismount closing it, each file-system operation's counts, repair and
// format) reaches the medium through these two routines and the record layer, in one packet
// write.
#include <cstring>

#include "udf/descriptors.h"
#include "volume/engine.h"

namespace korva {

Status ChangeIntegrity(TUDFRewritableVolume &v,
                       const std::function<void(UDF_LogicalVolumeIntegrityDescriptor &)> &change) {
  const uint32_t sector = v.IntegritySector;
  const uint32_t start = PacketStartOf(v, sector);
  if (Status s = ReadPacket(v, start); !s.IsOk()) return s;
  uint8_t *slot = SlotOf(v, sector);
  std::optional<UDF_LogicalVolumeIntegrityDescriptor> d =
      ParseIntegrityDescriptor(slot, kSectorSize, sector);
  if (!d) return ReadFailure(v);
  const bool wasOpen = d->IntegrityType == itOpen;
  change(*d);
  StoreIntegrityDescriptor(slot, kSectorSize, sector, *d);
  // The counts of a volume open on the medium are only a hint until it is closed (repair
  // recounts them): they may land in any order. Opening and closing it are commits.
  const bool counts = wasOpen && d->IntegrityType == itOpen;
  if (Status s = WritePacket(v, start, counts ? WriteOrder::Loose : WriteOrder::Auto); !s.IsOk())
    return s;
  // The mark a mount after a unit attention recognizes as this record's own.
  if (d->IntegrityType == itOpen) RememberOpenMark(v, d->RecordingDateAndTime);
  return Status::Ok();
}

void PlaceIntegritySequence(TUDFRewritableVolume &v, uint32_t sector, const IntegrityInfo &info) {
  std::memset(SlotOf(v, sector), 0, 2 * kSectorSize);
  BuildIntegrityDescriptor(SlotOf(v, sector), kSectorSize, sector, info);
  BuildTerminatingDescriptor(SlotOf(v, sector + 1), kSectorSize, sector + 1);
}

} // namespace korva
