// Where a volume's structures lie, put on the record: the mount, the check's walk and repair
// all point the engine's sector I/O at the same places this one way.
#ifndef KORVA_VOLUME_MEDIUM_GEOMETRY_H
#define KORVA_VOLUME_MEDIUM_GEOMETRY_H

#include "korva/volume.h"
#include "volume/medium/volume_sequence.h"

namespace korva {

// Sets the descriptor sequences, the integrity sequence, the sparing tables, the partition,
// the space bitmap and the file set of the record from `g`. The root entry and the sparing
// map are left as they are (they are read from what this points at).
void InstallGeometry(TUDFRewritableVolume &v, const VolumeGeometry &g);

} // namespace korva

#endif
