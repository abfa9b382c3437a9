// The check of another writer's volume mounted read-only: read through, never walked by this
// library's structure rules (see foreign_check.cpp).
#ifndef KORVA_VOLUME_CHECK_FOREIGN_CHECK_H
#define KORVA_VOLUME_CHECK_FOREIGN_CHECK_H

#include "korva/volume.h"
#include "volume/check/fsck_walk.h"

namespace korva {

// Whether the record holds another writer's volume that mounted readable (read-only).
bool IsReadableForeignVolume(const TUDFRewritableVolume &v);

// Reads every directory, file and link of it; the first finding says what the volume is
// (KORVA_FINDING_FOREIGN_VOLUME), every further one what could not be read.
void ReadForeignVolumeThrough(TUDFRewritableVolume &v, VolumeScan &scan);

} // namespace korva

#endif
