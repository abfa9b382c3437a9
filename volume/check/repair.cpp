// Repairing a volume this library formatted. The walk decides everything; repair then
// writes, in an order that keeps each intermediate state safe to mount elsewhere: first the
// entries it drops or corrects (which only remove references), then the space bitmap built
// from exactly the blocks the walk reached, then a closed integrity descriptor. Last the
// volume is mounted again like any other, so it is usable at once.
#include <algorithm>
#include <cstring>
#include <vector>

#include "korva/check.h"
#include "udf/byte_order.h"
#include "udf/descriptors.h"
#include "udf/tag.h"
#include "udf/timestamp.h"
#include "volume/check/check_report.h"
#include "volume/engine.h"
#include "volume/medium/geometry.h"
#include "volume/medium/packet_cache.h"
#include "volume/fs/fs_internal.h"
#include "volume/fs/fs_records.h"
#include "volume/fs/fs_state.h"

namespace korva {
namespace {

// Points the record at the structures the walk found, so block I/O stays in the partition.
void TakeGeometry(TUDFRewritableVolume &v, const ScanGeometry &g) {
  InstallGeometry(v, g);
  v.RootICBSector = g.PartitionStart + g.RootBlock;
}

// A mend step failed in a layer that still reports through LastError; a failure without a
// number found something it could not mend (32).
Status MendFailure(const TUDFRewritableVolume &v) {
  return v.LastError ? Status(v.LastError) : Status(KORVA_E_DAMAGED);
}

// Opens the directory a finding is in: 32 when it no longer reads as one.
Status OpenDirectory(TUDFRewritableVolume &v, const ScanFinding &f, DirectoryStream &dir) {
  const DirectoryStream::Status st = dir.Open(f.Directory);
  if (st == DirectoryStream::IoError) return MendFailure(v);
  return st == DirectoryStream::Ok ? Status::Ok() : Status(KORVA_E_DAMAGED);
}

// Marks the directory entry deleted where it lies, possibly over two blocks.
Status DropEntry(TUDFRewritableVolume &v, const ScanFinding &f) {
  DirectoryStream dir(ReaderOf(v), v.PartitionLength);
  if (Status s = OpenDirectory(v, f, dir); !s.IsOk()) return s;
  std::vector<uint8_t> fid(f.FidLength);
  bool io = false;
  DirectoryStream::Place start;
  if (!dir.ReadBytes(f.Offset, fid.data(), fid.size(), io) || !dir.Locate(f.Offset, start))
    return io ? MendFailure(v) : Status(KORVA_E_DAMAGED);
  MarkFidDeleted(fid.data(), f.FidLength, start.Block);
  return StoreDirectoryBytes(v, dir, f.Offset, fid.data(), f.FidLength);
}

// Reads the file entry at `block` for a change: 32 when it is no longer one.
Status LoadEntryToMend(TUDFRewritableVolume &v, uint32_t block, uint8_t *fe, EntryFields &info) {
  if (Status s = LoadBlock(v, block, fe); !s.IsOk()) return s;
  return ReadEntryFields(fe, block, info) ? Status::Ok() : Status(KORVA_E_DAMAGED);
}

// Records a new information length (and blocks recorded) in a file entry.
Status SetLength(TUDFRewritableVolume &v, uint32_t block, uint64_t length, uint64_t blocks) {
  uint8_t fe[kBlockSize];
  EntryFields info;
  if (Status s = LoadEntryToMend(v, block, fe, info); !s.IsOk()) return s;
  UpdateFileEntry(fe, block, length, blocks, 0, false);
  return StoreBlock(v, block, fe);
}

// A root directory entry that another implementation rewrote gets back this library's
// identifier, which the mount looks for there; everything else it records stays.
Status ClaimRoot(TUDFRewritableVolume &v, uint32_t root) {
  uint8_t fe[kBlockSize];
  if (Status s = LoadBlock(v, root, fe); !s.IsOk()) return s;
  // An extended file entry keeps the identifier further on.
  const uint32_t at = LoadLE16(fe) == kTagExtendedFileEntry ? kExtendedEntryImplementationOffset
                                                            : kEntryImplementationOffset;
  UDF_EntityID id;
  std::memcpy(&id, fe + at, sizeof id);
  if (IsOurImplementation(id)) return Status::Ok();
  MakeImplementationEntity(id);
  std::memcpy(fe + at, &id, sizeof id);
  RefillEntryTag(fe, root);
  return StoreBlock(v, root, fe);
}

// Writes bytes over a directory's data (entries rebuilt by the walk, tags included).
Status WriteEntries(TUDFRewritableVolume &v, const ScanFinding &f) {
  DirectoryStream dir(ReaderOf(v), v.PartitionLength);
  if (Status s = OpenDirectory(v, f, dir); !s.IsOk()) return s;
  return StoreDirectoryBytes(v, dir, f.Offset, f.Bytes.data(),
                             static_cast<uint32_t>(f.Bytes.size()));
}

// Gives one entry its own copy of blocks another entry claims too: the copy is written
// first, then the descriptor that names the blocks (in its file entry or extension block)
// is pointed at it; a cut between the two leaves the old, shared blocks in use.
Status CopyBlocks(TUDFRewritableVolume &v, const ScanFinding &f) {
  uint8_t buf[kBlockSize];
  for (uint32_t i = 0; i < f.Count; ++i) {
    if (Status s = LoadBlock(v, f.Source + i, buf); !s.IsOk()) return s;
    if (Status s = StoreBlock(v, f.Target + i, buf); !s.IsOk()) return s;
  }
  const uint32_t slot = f.Directory;
  if (Status s = LoadBlock(v, slot, buf); !s.IsOk()) return s;
  StoreLE32(buf + f.Offset + 4, f.Target);
  // The descriptor keeps its recorded CRC length: only a location inside it changed.
  FillTagAt(buf, LoadLE16(buf), LoadLE16(buf + 10), slot);
  return StoreBlock(v, slot, buf);
}

// Records the number of names that reach a file entry as its link count.
Status SetLinks(TUDFRewritableVolume &v, uint32_t block, uint64_t links) {
  uint8_t fe[kBlockSize];
  EntryFields info;
  if (Status s = LoadEntryToMend(v, block, fe, info); !s.IsOk()) return s;
  UpdateFileEntry(fe, block, info.InformationLength, info.BlocksRecorded,
                  int(links) - int(info.LinkCount), false);
  return StoreBlock(v, block, fe);
}

// Writes a copy of a volume structure again from the good one (absolute sectors). Where it
// lengthens a shortened image, the last packet goes first, so that every packet read after
// it lies inside the file; packets past the old end hold nothing to keep.
Status WriteSectors(TUDFRewritableVolume &v, const ScanFinding &f) {
  if (f.Count == 0) return Status::Ok();
  const uint32_t oldEnd = v.TotalSectors;
  if (f.NewLength > v.TotalSectors) v.TotalSectors = static_cast<uint32_t>(f.NewLength);
  const uint32_t first = PacketStartOf(v, f.Source);
  const uint32_t last = PacketStartOf(v, f.Source + f.Count - 1);
  const uint32_t packets = (last - first) / v.PacketBlocks + 1;
  for (uint32_t k = 0; k < packets; ++k) {
    const uint32_t start = f.NewLength ? last - k * v.PacketBlocks : first + k * v.PacketBlocks;
    if (start >= oldEnd)
      std::memset(SlotOf(v, start), 0, size_t(v.PacketBlocks) * kSectorSize);
    else if (Status s = ReadPacket(v, start); !s.IsOk())
      return s;
    const uint32_t from = std::max(start, f.Source);
    const uint32_t to = std::min(start + v.PacketBlocks, f.Source + f.Count);
    std::memcpy(SlotOf(v, from), &f.Bytes[size_t(from - f.Source) * kSectorSize],
                size_t(to - from) * kSectorSize);
    if (Status s = WritePacket(v, start); !s.IsOk()) return s;
  }
  return Status::Ok();
}

// The blocks repair takes for copies.
uint32_t CopiedBlocks(const VolumeScan &scan) {
  uint32_t n = 0;
  for (const ScanFinding &f : scan.Findings)
    if (f.Action == Mend::CopyBlocks) n += f.Count;
  return n;
}

Status ApplyMend(TUDFRewritableVolume &v, const ScanFinding &f) {
  switch (f.Action) {
  case Mend::DropEntry:
    return DropEntry(v, f);
  case Mend::SetLength:
    return SetLength(v, f.Block, f.NewLength, f.NewBlocks);
  case Mend::CutDirectory:
    return SetLength(v, f.Directory, f.NewLength, f.NewBlocks);
  case Mend::WriteEntries:
    return WriteEntries(v, f);
  case Mend::CopyBlocks:
    return CopyBlocks(v, f);
  case Mend::WriteSectors:
    return WriteSectors(v, f);
  case Mend::SetLinks:
    return SetLinks(v, f.Block, f.NewLength);
  case Mend::TrimDirectory:
    return TrimDirectoryToLength(v, f.Block);
  case Mend::None:
    break;
  }
  return Status::Ok();
}

// A sound entry whose name cannot be used keeps it until its new name is on the medium, so
// that a cut between the two leaves it with two names (a later repair counts both), never
// with none (its blocks would look leaked). A damaged entry must go before the mounted
// engine reads its directory again.
bool RenamedAfterRelink(const ScanFinding &f) {
  return f.Relink && (f.Kind == KORVA_FINDING_NAME || f.Kind == KORVA_FINDING_DUPLICATE_NAME);
}

// Copies go first, while the blocks they read still hold what the walk saw; then the
// entries, which only remove or mend references.
Status ApplyMends(TUDFRewritableVolume &v, const VolumeScan &scan) {
  for (int pass = 0; pass < 2; ++pass) {
    for (const ScanFinding &f : scan.Findings) {
      if ((f.Action == Mend::CopyBlocks) != (pass == 0) || RenamedAfterRelink(f)) continue;
      if (Status s = ApplyMend(v, f); !s.IsOk()) return s;
    }
  }
  return Status::Ok();
}

// The in-memory bitmap of exactly the blocks the walk reached.
Status BuildBitmap(TUDFRewritableVolume &v, const VolumeScan &scan) {
  if (Status s = BuildFreshSpaceBitmap(v, 0); !s.IsOk()) return s;
  for (size_t i = 0; i < v.SpaceBitmapBytes && i < scan.Used.size(); ++i)
    v.SpaceBitmap[i] = static_cast<uint8_t>(v.SpaceBitmap[i] & ~scan.Used[i]);
  for (const ScanFinding &f : scan.Findings)
    if (f.Action == Mend::CopyBlocks) MarkRun(v, f.Target, f.Count, true);
  return Status::Ok();
}

Status WriteClosedIntegrity(TUDFRewritableVolume &v, const VolumeScan &scan) {
  IntegrityInfo info{};
  udf_time_to_stamp(&info.Recorded, Now_UTC(), 0);
  info.IntegrityType = itClose;
  info.NextUniqueID = RepairedNextUniqueID(scan);
  info.FreeBlocks = scan.Geometry.PartitionLength - scan.UsedBlocks - CopiedBlocks(scan);
  info.PartitionLength = scan.Geometry.PartitionLength;
  info.Files = scan.Files;
  info.Directories = scan.Directories;
  const uint32_t start = PacketStartOf(v, v.IntegritySector);
  if (Status s = ReadPacket(v, start); !s.IsOk()) return s;
  PlaceIntegritySequence(v, v.IntegritySector, info);
  return WritePacket(v, start);
}

// Mounts the repaired volume the way the mounts do; error 32 when it does not come out
// compatible without a reason of its own.
Status MountAgain(TUDFRewritableVolume &v) {
  // The mends are on the medium before the mount reads it, and a failure to put them there
  // is repair's own.
  if (v.VolumeOpen && !v.ReadOnly)
    if (Status s = FlushPacketCache(v, true); !s.IsOk()) return s;
  PrepareForMount(v);
  Status s = ReadMountChain(v);
  if (s.IsOk()) s = WriteIntegrityType(v, itOpen);
  if (!s.IsOk()) return NumberedOr(s, KORVA_E_DAMAGED);
  EnterUsable(v);
  return Status::Ok();
}

// Gives entries whose names were unusable or damaged a name made for them, appended to their
// directory by the mounted engine like any other, and then drops an unusable old name. The
// old name counted in the link counts.
Status Relink(TUDFRewritableVolume &v, const VolumeScan &scan) {
  const int64_t freeBefore = CountFreeBlocks(v);
  bool any = false;
  for (const ScanFinding &f : scan.Findings) {
    if (!f.Relink) continue;
    AppendPlan plan;
    if (Status s = PlanEntryAppend(v, f.Directory, f.NewName, plan); !s.IsOk()) return s;
    if (Status s = AppendDirectoryEntry(v, plan, f.Characteristics, f.Entry, f.NewName, f.Directory,
                                        false);
        !s.IsOk())
      return s;
    if (RenamedAfterRelink(f)) {
      // The new name is durable before the old one goes, whatever order the medium keeps.
      if (Status s = FlushPacketCache(v, true); !s.IsOk()) return s;
      // Written under the engine's feet: what it remembers of the directory's names goes.
      ForgetDirectoryNames(v, f.Directory);
      if (Status s = ApplyMend(v, f); !s.IsOk()) return s;
    }
    any = true;
  }
  if (!any) return Status::Ok();
  return CommitIntegrity(v, int64_t(CountFreeBlocks(v)) - freeBefore, 0, 0);
}

// Why repair refuses a volume it walked; Ok when it may go ahead.
Status Refusal(bool complete, const VolumeScan &scan) {
  if (!scan.ReadFailure.IsOk()) return scan.ReadFailure;
  if (scan.Foreign || scan.ForeignEntries) return KORVA_E_NOT_COMPATIBLE;
  if (!complete || scan.Structural) return KORVA_E_DAMAGED;
  return Status::Ok();
}

Status Repair(TUDFRewritableVolume &v, VolumeScan &scan) {
  TakeGeometry(v, scan.Geometry);
  // Handles refer to the tree as it was; the mount at the end starts afresh.
  ReleaseFileSystemState(v);
  CreateFileSystemState(v);
  EnterRewriting(v);
  if (Status s = ApplyMends(v, scan); !s.IsOk()) return s;
  if (Status s = ClaimRoot(v, scan.Geometry.RootBlock); !s.IsOk()) return s;
  if (Status s = BuildBitmap(v, scan); !s.IsOk()) return s;
  if (Status s = StoreSpaceBitmap(v); !s.IsOk()) return s;
  if (Status s = WriteClosedIntegrity(v, scan); !s.IsOk()) return s;
  if (Status s = MountAgain(v); !s.IsOk()) return s;
  return Relink(v, scan);
}

// Walks the volume and mends what the walk found; the findings go to the callback, as
// repaired when the repair went through.
Status RepairVolume(TUDFRewritableVolume &v, KorvaFindingCallback callback, void *context) {
  VolumeScan scan;
  const bool complete = ScanForCheck(v, scan);
  if (const Status refusal = Refusal(complete, scan); !refusal.IsOk()) {
    ReportFindings(scan, callback, context, false);
    return refusal;
  }
  if (scan.Findings.empty()) {
    // Nothing to mend: a volume already mounted compatible is left exactly as it is.
    if (v.Compatible) return Status::Ok();
    TakeGeometry(v, scan.Geometry);
    return MountAgain(v);
  }
  v.WrittenInOperation = 0;
  const Status s = Repair(v, scan);
  ReportFindings(scan, callback, context, s.IsOk());
  return s;
}

} // namespace
} // namespace korva

using namespace korva;

extern "C" KORVA_API KBOOL UDF_RepairVolume(TUDFRewritableVolume *volume,
                                            KorvaFindingCallback callback, void *context) {
  return RunScanOperation(volume, true, RepairVolume, callback, context);
}
