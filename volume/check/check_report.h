// Shared steps of check and repair.
#ifndef KORVA_VOLUME_CHECK_REPORT_H
#define KORVA_VOLUME_CHECK_REPORT_H

#include "korva/check.h"
#include "volume/check/fsck_walk.h"

namespace korva {

// Hands every finding of the scan to the callback (null: none).
void ReportFindings(const VolumeScan &scan, KorvaFindingCallback callback, void *context,
                    bool repaired);

// Walks the volume and compares the result with the bitmap and integrity descriptor that
// apply: the engine's in-memory state while mounted compatible, the recorded one otherwise.
// False when the walk could not complete.
bool ScanForCheck(TUDFRewritableVolume &v, VolumeScan &scan);

// What check and repair start with: no background work on the record and a mount attempted
// (17 otherwise). False with LastError set when the operation may not run.
bool BeginScanOperation(TUDFRewritableVolume &v);

} // namespace korva

#endif
