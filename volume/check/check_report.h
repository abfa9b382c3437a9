// Shared steps of check and repair.
#ifndef KORVA_VOLUME_CHECK_REPORT_H
#define KORVA_VOLUME_CHECK_REPORT_H

#include "korva/check.h"
#include "volume/check/fsck_walk.h"
#include "volume/status.h"

namespace korva {

// Hands every finding of the scan to the callback (null: none).
void ReportFindings(const VolumeScan &scan, KorvaFindingCallback callback, void *context,
                    bool repaired);

// Walks the volume and compares the result with the bitmap and integrity descriptor that
// apply: the engine's in-memory state while mounted compatible, the recorded one otherwise.
// False when the walk could not complete.
bool ScanForCheck(TUDFRewritableVolume &v, VolumeScan &scan);

// A check or repair at the exported boundary: it starts only with no background work on the
// record (26), a mount attempted (17) and, to write, a volume not mounted read-only (27);
// then op runs with nothing written yet, and its status goes to LastError.
using ScanOperation = Status (*)(TUDFRewritableVolume &, KorvaFindingCallback, void *);
KBOOL RunScanOperation(TUDFRewritableVolume *volume, bool writes, ScanOperation op,
                       KorvaFindingCallback callback, void *context);

} // namespace korva

#endif
