// Checking a volume: the walk, the comparison of its result with the recorded space bitmap
// and integrity descriptor, and handing each finding to the caller. Nothing is written.
#include "korva/check.h"

#include <iterator>

#include "volume/check/check_report.h"
#include "volume/engine.h"
#include "volume/check/foreign_check.h"
#include "volume/check/fsck_walk.h"

namespace korva {

namespace {
// Every kind of finding with the name it is printed under, in the order of the kinds.
constexpr const char *kFindingNames[] = {
    nullptr,          "unreadable",       "foreign-volume", "volume-structure",
    "left-open",      "descriptor",       "used-marked-free", "leaked",
    "counts",         "unique-id",        "length",         "bad-entry",
    "loop",           "claimed-twice",    "directory-data", "foreign-entry",
    "link-count",     "name",             "duplicate-name", "blocks-recorded",
};
static_assert(std::size(kFindingNames) == KORVA_FINDING_BLOCKS_RECORDED + 1,
              "every kind of finding has a name");
} // namespace

void ReportFindings(const VolumeScan &scan, KorvaFindingCallback callback, void *context,
                    bool repaired) {
  if (!callback) return;
  for (const ScanFinding &f : scan.Findings) {
    KorvaFinding out{};
    out.Kind = f.Kind;
    out.Block = f.Block;
    out.Path = f.Path.c_str();
    out.Text = f.Text.c_str();
    // Only what repair changes is reported as repaired; a foreign entry it accepted stays.
    out.Repaired = repaired && f.Kind != KORVA_FINDING_FOREIGN_ENTRY ? KTRUE : KFALSE;
    callback(context, &out);
  }
}

bool ScanForCheck(TUDFRewritableVolume &v, VolumeScan &scan) {
  const bool complete = ScanVolume(v, scan);
  if (!complete) return false;
  // While mounted compatible, the engine keeps the bitmap in memory and marked the volume
  // open itself; that is what the walk is compared with then.
  if (v.Compatible && v.SpaceBitmap) {
    // A read-only mount writes nothing: an open integrity descriptor is not its own.
    CompareAccounting(scan, v.SpaceBitmap, v.SpaceBitmapBytes, !v.ReadOnly);
  } else {
    CompareAccounting(scan, scan.BitmapValid ? scan.RecordedFree.data() : nullptr,
                      scan.RecordedFree.size(), false);
  }
  return true;
}

namespace {

// False with LastError set when the operation may not run.
bool BeginScanOperation(TUDFRewritableVolume &v, bool writes) {
  // Background work owns the record: only the atomic store of 26 may touch it.
  if (RefuseWhileBusy(v)) return false;
  const Status s = !v.VolumeOpen ? Status(KORVA_E_NOT_MOUNTED)
                   : writes      ? CheckWritable(v)
                                 : Status::Ok();
  if (!KeepInLastError(v, s)) return false;
  ClearError(v);
  v.WrittenInOperation = 0;
  return true;
}

} // namespace

KBOOL RunScanOperation(TUDFRewritableVolume *volume, bool writes, ScanOperation op,
                       KorvaFindingCallback callback, void *context) {
  if (!volume || !BeginScanOperation(*volume, writes)) return KFALSE;
  return Report(*volume, op(*volume, callback, context));
}

namespace {

// Walks the volume and hands each finding to the callback; error 22 when there are any.
Status Check(TUDFRewritableVolume &v, KorvaFindingCallback callback, void *context) {
  VolumeScan scan;
  // Another writer's volume that reads: it is read through, and clean when all of it reads.
  if (IsReadableForeignVolume(v)) {
    ReadForeignVolumeThrough(v, scan);
    ReportFindings(scan, callback, context, false);
    return scan.Findings.size() == 1 ? Status::Ok() : Status(KORVA_E_CHECK_FINDINGS);
  }
  const bool complete = ScanForCheck(v, scan);
  ReportFindings(scan, callback, context, false);
  if (!scan.ReadFailure.IsOk()) return scan.ReadFailure;
  if (scan.Foreign) return KORVA_E_NOT_COMPATIBLE;
  if (!complete || !scan.Findings.empty()) return KORVA_E_CHECK_FINDINGS;
  return Status::Ok();
}

} // namespace
} // namespace korva

using namespace korva;

extern "C" KORVA_API KBOOL UDF_CheckVolume(TUDFRewritableVolume *volume,
                                           KorvaFindingCallback callback, void *context) {
  return RunScanOperation(volume, false, Check, callback, context);
}

extern "C" KORVA_API const char *UDF_GetFindingName(int32_t kind) {
  if (kind <= 0 || size_t(kind) >= std::size(korva::kFindingNames)) return nullptr;
  return korva::kFindingNames[kind];
}
