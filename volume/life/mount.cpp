// Mounting and dismounting: images and drives, the mount chain that reads and checks the
// volume structure, the integrity type on the medium, and releasing what a mount created.
#include <cstddef>
#include <cstring>
#include <optional>
#include <string>

#include "device/device_internal.h"
#include "device/platform.h"
#include "korva/scsi.hpp"
#include "udf/byte_order.h"
#include "udf/common.h"
#include "udf/crc.h"
#include "udf/descriptors.h"
#include "udf/narrow.h"
#include "udf/tag.h"
#include "udf/timestamp.h"
#include "udf/utf8.h"
#include "volume/engine.h"
#include "volume/engine_state.h"
#include "volume/fs/fs_claims.h"
#include "volume/fs/fs_dir.h"
#include "volume/fs/fs_internal.h"
#include "volume/fs/fs_state.h"
#include "volume/life/background.h"
#include "volume/medium/geometry.h"
#include "volume/medium/packet_cache.h"
#include "volume/medium/partition_map.h"
#include "volume/medium/sparing.h"
#include "volume/medium/volume_sequence.h"

namespace korva {
namespace {

constexpr uint32_t kFirstAnchor = 256;
constexpr uint32_t kImagePacketBytes = 32768;

uint8_t *DiscInfoBytes(TUDFRewritableVolume &v) {
  return reinterpret_cast<uint8_t *>(&v.Device.DiscInfo);
}

// Reads the label from the volume identifier of the primary volume descriptor.
void ReadLabel(TUDFRewritableVolume &v, const uint8_t (&identifier)[32]) {
  std::memset(v.VolumeLabel, 0, sizeof(v.VolumeLabel));
  std::u16string text;
  if (!ReadDString(identifier, sizeof identifier, text)) return;
  const size_t keep = text.size() < 15 ? text.size() : 15;
  std::memcpy(v.VolumeLabel, text.data(), keep * sizeof(char16_t));
}

// Reads the anchors and descriptor sequences through the reader the check shares (a damaged
// main copy is read from the backups) and takes the geometry they record. Another writer's
// volume sets foreignAnchor to the anchor that points at its sequences (a block of
// foreignBlockBytes).
Status ReadVolumeDescriptors(TUDFRewritableVolume &v, SparingLayout &sparing,
                             uint32_t &foreignAnchor, uint32_t &foreignBlockBytes) {
  // A read that failed on the way is reported, whatever the reader made of the rest.
  SequenceReading r;
  const Status read = OldStep(v, [&] {
    r = ReadVolumeSequence(v);
    return r.Result == SequenceReading::Ok;
  });
  if (r.Result == SequenceReading::Foreign) {
    foreignAnchor = r.Geometry.AnchorSector;
    foreignBlockBytes = r.Geometry.BlockBytes;
    if (foreignAnchor == 0) NoteUnreadableVolume(v, r.Why);
  }
  if (!read.IsOk()) return read;
  InstallGeometry(v, r.Geometry);
  sparing = SparingLayoutOf(r.Geometry);
  ReadLabel(v, r.Geometry.VolumeIdentifier);
  return Status::Ok();
}

// The packet that holds sector, into PacketBuffer.
Status LoadPacketOf(TUDFRewritableVolume &v, uint32_t sector) {
  return ReadPacket(v, PacketStartOf(v, sector));
}

Status ReadIntegrity(TUDFRewritableVolume &v) {
  if (Status s = LoadPacketOf(v, v.IntegritySector); !s.IsOk()) return s;
  const auto lvid =
      ParseIntegrityDescriptor(SlotOf(v, v.IntegritySector), kSectorSize, v.IntegritySector);
  if (!lvid || !IsOurImplementation(lvid->ImplementationID)) return Status::Unnumbered();
  // Left open: a session never dismounted it. Noted; the mount decides what that means.
  if (lvid->IntegrityType == itOpen) v.LeftOpen = 1;
  // Taken back without a repair only with the very open mark this record wrote.
  if (!v.LeftOpen ||
      std::memcmp(&lvid->RecordingDateAndTime, v.SessionStamp, sizeof v.SessionStamp) != 0)
    v.SessionResumable = 0;
  v.NextUniqueID = lvid->NextUniqueID;
  v.FreeBlocks = lvid->FreeSpaceTable;
  v.FileCount = lvid->NumberOfFiles;
  v.DirCount = lvid->NumberOfDirectories;
  if (v.FreeBlocks > v.PartitionLength) return Status::Unnumbered();
  const uint8_t *t = SlotOf(v, v.IntegritySector + 1);
  return IsSectorTagValid(kTagTerminating, t, v.IntegritySector + 1) ? Status::Ok()
                                                                       : Status::Unnumbered();
}

// Either copy of the sparing table will do; relocations that cannot be honoured safely are
// damage (error 32), never guessed at.
Status ReadSparingTable(TUDFRewritableVolume &v, const SparingLayout &sparing) {
  SparingLoad load = SparingLoad::Ok;
  const Status read = OldStep(v, [&] {
    load = LoadSparingMap(v, sparing);
    return load == SparingLoad::Ok;
  });
  return load == SparingLoad::BadEntry ? Status(KORVA_E_DAMAGED) : read;
}

Status ReadFileSetAndRoot(TUDFRewritableVolume &v, bool foreign = false) {
  if (Status s = LoadPacketOf(v, v.FileSetSector); !s.IsOk()) return s;
  const auto fsd = ParseFileSetDescriptor(SlotOf(v, v.FileSetSector), kSectorSize,
                                          v.FileSetSector - v.PartitionStart);
  if (!fsd) return Status::Unnumbered();
  const UDF_LBAddr &at = fsd->RootDirectoryICB.Location;
  uint32_t rootBlock = 0;
  if (!BlockSpaceOf(v).Map(at.PartitionReferenceNumber, at.LogicalBlockNumber, rootBlock) ||
      rootBlock >= v.PartitionLength)
    return Status::Unnumbered();
  v.RootICBSector = v.PartitionStart + rootBlock;
  if (Status s = LoadPacketOf(v, v.RootICBSector); !s.IsOk()) return s;
  // This library writes a file entry; a later revision of it, or its repair, may leave an
  // extended one. Either way the identifier says whose it is: ours, or the Linux kernel's
  // once it added entries to the root of a volume formatted here.
  EntryBuffer fe; // another writer's root entry may fill a block larger than a sector
  if (Status s = ReadEntry(v, rootBlock, fe); !s.IsOk()) return s;
  const auto root = ParseFileEntry(fe, EntryBytesOf(v), at.LogicalBlockNumber);
  const bool whose = root && (foreign || IsOurImplementation(root->ImplementationIdentifier) ||
                              IsLinuxKernelImplementation(root->ImplementationIdentifier));
  return whose ? Status::Ok() : Status::Unnumbered();
}

// The counts another writer recorded: the VAT's, else the integrity descriptor's. A count
// that cannot be read is 0; the mount stands without it.
void ReadForeignCounts(TUDFRewritableVolume &v, const ForeignDescriptors &d) {
  v.FileCount = v.DirCount = v.FreeBlocks = 0;
  if (OldStep(v, [&] { return ForeignVolumeCounts(v, v.FileCount, v.DirCount); }).IsOk()) return;
  const uint32_t at = d.Integrity.Location;
  uint8_t buf[kMaxBlockBytes];
  if (d.Integrity.Length < d.BlockBytes ||
      !OldStep(v, [&] { return ReadMediumBlock(v, d.BlockBytes, at, buf); }).IsOk())
    return;
  if (const auto lvid = ParseIntegrityDescriptor(buf, d.BlockBytes, at)) {
    v.FileCount = lvid->NumberOfFiles;
    v.DirCount = lvid->NumberOfDirectories;
    if (lvid->FreeSpaceTable <= v.PartitionLength) v.FreeBlocks = lvid->FreeSpaceTable;
  }
}

// Another writer's volume: its partitions mapped, its file set and root directory read. It
// is only ever read (see FinishMount); why it cannot be, when it cannot, is its note.
Status ReadForeignVolume(TUDFRewritableVolume &v, uint32_t anchorSector, uint32_t blockBytes) {
  std::string why;
  std::optional<ForeignDescriptors> d;
  const Status read = OldStep(v, [&] {
    d = ReadForeignDescriptors(v, anchorSector, blockBytes, why);
    return d && InstallPartitionMap(v, *d, why);
  });
  if (!read.IsOk()) {
    NoteUnreadableVolume(v, why);
    return read;
  }
  ReadLabel(v, d->VolumeIdentifier);
  v.AnchorSector = anchorSector;
  v.IntegritySector = d->Integrity.Location;
  ReadForeignCounts(v, *d);
  const Status s = ReadFileSetAndRoot(v, true);
  if (!s.IsOk()) NoteUnreadableVolume(v, "its file set descriptor or root directory is damaged");
  return s;
}

// Whether count blocks from first lie in the partition and are marked used.
bool MarkedUsed(const TUDFRewritableVolume &v, uint32_t first, uint64_t count) {
  for (uint64_t i = 0; i < count; ++i) {
    const uint64_t b = uint64_t(first) + i;
    if (b >= v.PartitionLength || (v.SpaceBitmap[b / 8] >> (b % 8)) & 1) return false;
  }
  return true;
}

// The bitmap must mark the volume's own structures used (its own blocks, the file set
// descriptor, the root's entry, descriptor extensions and data): one that says otherwise
// would hand them to the next new entry and the volume would be lost. Error 32 when it does
// not, or when the root's descriptor list cannot be followed.
Status OwnStructuresMarkedUsed(TUDFRewritableVolume &v) {
  const uint32_t root = v.RootICBSector - v.PartitionStart;
  if (!v.SpaceBitmap ||
      !MarkedUsed(v, v.SpaceBitmapSector - v.PartitionStart, v.SpaceBitmapBlocks) ||
      !MarkedUsed(v, v.FileSetSector - v.PartitionStart, 1) || !MarkedUsed(v, root, 1))
    return KORVA_E_DAMAGED;
  uint8_t fe[kSectorSize];
  if (Status s = ReadSector(v, v.RootICBSector, fe); !s.IsOk()) return s;
  const BlockReadFn read = [&v](uint32_t block, uint8_t *buffer) {
    return block < v.PartitionLength &&
           KeepInLastError(v, ReadSector(v, v.PartitionStart + block, buffer));
  };
  DescriptorList list;
  const Status walked =
      OldStep(v, [&] { return ReadDescriptorList(read, v.PartitionLength, root, fe, list); });
  if (!walked.IsOk()) return NumberedOr(walked, KORVA_E_DAMAGED);
  for (const ADSlot &s : list.Extents)
    if (s.AD.Type() != 2 && !MarkedUsed(v, s.AD.Block, (uint64_t(s.AD.Length()) + 2047) / 2048))
      return KORVA_E_DAMAGED;
  for (uint32_t b : list.Extensions)
    if (!MarkedUsed(v, b, 1)) return KORVA_E_DAMAGED;
  return Status::Ok();
}

// The steps of the chain for a volume of this library, in order; the first that fails ends
// it.
Status ReadOwnVolume(TUDFRewritableVolume &v, const SparingLayout &sparing) {
  if (Status s = ReadIntegrity(v); !s.IsOk()) return s;
  if (Status s = ReadSparingTable(v, sparing); !s.IsOk()) return s;
  if (Status s = LoadSpaceBitmap(v); !s.IsOk()) return s;
  if (Status s = ReadFileSetAndRoot(v); !s.IsOk()) return s;
  return OwnStructuresMarkedUsed(v);
}

} // namespace

void PrepareForMount(TUDFRewritableVolume &v) {
  ReleasePacketCache(v);
  CreateFileSystemState(v);
  ReleaseSpaceBitmap(v);
  EnterOpened(v);
  v.LeftOpen = 0;
  v.AnchorSector = kFirstAnchor;
  ReleaseSparingMap(v);
  ReleasePartitionMap(v);
}

void ReleaseMountState(TUDFRewritableVolume &v) {
  ReleasePacketCache(v);
  ReleaseFileSystemState(v);
  ReleaseSpaceBitmap(v);
  ReleaseSparingMap(v);
  ReleasePartitionMap(v);
  // Unless background work still keeps its bookkeeping, nothing of the engine stays.
  ReleaseEngineIfEmpty(v);
}

Status ReadMountChain(TUDFRewritableVolume &v) {
  if (v.PacketBlocks == 0) return Status::Unnumbered();
  // LeftOpen describes a volume that is sound apart from being left open.
  SparingLayout sparing;
  uint32_t foreignAnchor = 0, foreignBlockBytes = kSectorSize;
  const Status own = ReadVolumeDescriptors(v, sparing, foreignAnchor, foreignBlockBytes);
  if (!own.IsOk())
    return foreignAnchor != 0 ? ReadForeignVolume(v, foreignAnchor, foreignBlockBytes) : own;
  const Status s = ReadOwnVolume(v, sparing);
  if (!s.IsOk()) v.LeftOpen = 0;
  return s;
}

void SetPacketGeometryForMedium(TUDFRewritableVolume &v) {
  switch (v.Device.Medium) {
  case mtCDRW:
    v.PacketBlocks = 32;
    v.PacketBytes = 65536;
    break;
  case mtDVDRAM:
  case mtDVDRWRO:
  case mtDVDRWSR:
  case mtDVDPLUSRW:
    v.PacketBlocks = 16;
    v.PacketBytes = 32768;
    break;
  default:
    break;
  }
}

void RefreshMediumInfo(TUDFRewritableVolume &v) {
  TSCSIDevice *d = &v.Device;
  d->Medium = static_cast<uint8_t>(DiscIs(d));
  ReadDiscInformation(d, &d->DiscInfo, 64);
  ReadTrackInformation(d, DiscInfoBytes(v)[5]);
  FlushCache(d);
  v.CacheSynchronized = 1;
}

namespace {
// Why a fixed-packet medium is not taken as formatted for this volume's packets, or null.
// It accepts what the Linux packet-writing driver accepts (disc type 0 or 20h, an erasable
// disc, a fixed-packet track of data mode 1 or 2, or 0Fh) and the packet size the layout
// needs.
const char *FixedPacketRefusal(const uint8_t *di, const TTrackInformation &ti, uint32_t packet) {
  if (di[8] != 0x00 && di[8] != 0x20) return "disc type";
  if (!(di[2] & 0x10)) return "disc not erasable";
  if (((di[2] >> 2) & 3) == 1) return "last session reserved";
  if (!(ti.DataMode & 0x20) || !(ti.DataMode & 0x10)) return "track not written in fixed packets";
  // 0Fh ("unknown") is what some firmware reports for a track it formatted itself.
  const uint8_t mode = ti.DataMode & 0x0F;
  if (mode != 1 && mode != 2 && mode != 0x0F) return "track data mode";
  if (ti.FixedPacketSize != packet) return "fixed packet size";
  return nullptr;
}

// Why the medium is not taken as formatted, or null when it is.
const char *NotFormattedReason(TUDFRewritableVolume &v) {
  const uint8_t *di = DiscInfoBytes(v);
  const TTrackInformation &ti = v.Device.TrackInfo;
  switch (v.Device.Medium) {
  case mtCDRW:
    // An MRW disc reports its background format; its drive takes any writes.
    if ((di[7] & 3) != 0) return nullptr;
    return FixedPacketRefusal(di, ti, 32);
  case mtDVDPLUSRW:
    return (di[7] & 3) != 0 ? nullptr : "background format status (never formatted)";
  case mtDVDRWRO:
    return FixedPacketRefusal(di, ti, 16);
  case mtDVDRAM:
    return nullptr;
  default:
    return "medium kind";
  }
}
} // namespace

bool CheckMediumFormatted(TUDFRewritableVolume &v) {
  const char *reason = NotFormattedReason(v);
  // The trace says which field refused: a disc formatted elsewhere must not look blank
  // without a word, or it invites a destroying format.
  if (reason != nullptr && v.Device.TraceLog != nullptr)
    TraceWrite(&v.Device, std::string("medium not formatted for packet writing: ") + reason + "\r\n");
  return reason == nullptr;
}

namespace {
// Rewrites the integrity type; with recountFree also the free-block count, from the bitmap.
Status RewriteIntegrity(TUDFRewritableVolume &v, uint32_t type, bool recountFree) {
  return ChangeIntegrity(v, [&](UDF_LogicalVolumeIntegrityDescriptor &d) {
    if (recountFree) {
      v.FreeBlocks = CountFreeBlocks(v);
      d.FreeSpaceTable = v.FreeBlocks;
    }
    d.IntegrityType = type;
  });
}
} // namespace

Status WriteIntegrityType(TUDFRewritableVolume &v, uint32_t type) {
  return RewriteIntegrity(v, type, false);
}

uint32_t VolumeFingerprint(const TUDFRewritableVolume &v) {
  const uint32_t layout[] = {v.MainVDSSector,    v.ReserveVDSSector, v.IntegritySector,
                             v.PartitionStart,   v.PartitionLength,  v.FileSetSector,
                             v.SparingTableSector1};
  const uint16_t label = CalculateCRC(v.VolumeLabel, sizeof v.VolumeLabel);
  return (uint32_t(label) << 16) | CalculateCRC(layout, sizeof layout);
}

void RememberOpenMark(TUDFRewritableVolume &v, const UDF_TimeStamp &stamp) {
  v.SessionVolume = v.ImageMode ? 0 : VolumeFingerprint(v);
  v.SessionResumable = 0;
  std::memcpy(v.SessionStamp, &stamp, sizeof v.SessionStamp);
}

Status WriteIntegrityClose(TUDFRewritableVolume &v, bool recountFree) {
  return RewriteIntegrity(v, ::itClose, recountFree);
}

} // namespace korva

using namespace korva;

namespace {

// Takes the capacity of a drive medium as the mount reads it.
void ReadDriveCapacity(TUDFRewritableVolume &v) {
  TSCSIDevice *d = &v.Device;
  switch (d->Medium) {
  case mtDVDRAM:
    v.TotalSectors = d->TrackInfo.TrackSize;
    break;
  case mtDVDPLUSRW:
    SetPerformance(d, 4, 0, 0, 0, 0, 0, 0);
    [[fallthrough]];
  case mtCDRW:
    if (v.MediumFormatted) v.TotalSectors = d->TrackInfo.TrackSize;
    break;
  case mtDVDRWRO:
  case mtDVDRWSR: {
    GetFormatCapacity(d);
    const uint8_t *count = FindFormattableCapacity(v, 0x10);
    if (count) {
      std::memcpy(v.DvdRwFormatBlocks, count, 4);
      v.TotalSectors = LoadBE32(count);
    }
    break;
  }
  default:
    break;
  }
}

// The 16-bit form of a path for the POSIX image layer.
bool PathToUtf8(const KWCHAR *name, std::string &out) {
  if (!name) return false;
  size_t n = 0;
  while (name[n])
    ++n;
  return n > 0 && Utf16ToUtf8(name, n, out);
}

// The 8-bit name of an image as the image layer takes it. Linux paths are bytes and go as
// they are (they need not be valid UTF-8); Windows programs pass names in the ANSI code
// page. Empty when the name cannot be converted.
std::string ImagePathOf(const char *file_name) {
  if (!file_name) return std::string();
#if defined(_WIN32)
  std::u16string wide;
  std::string path;
  if (!NarrowToUtf16(file_name, std::strlen(file_name), wide) || !Utf16ToUtf8(wide, path))
    path.clear();
  return path;
#else
  return file_name;
#endif
}

uint32_t OsErrorFromErrno(int e) {
  switch (e) {
  case ENOENT:
    return KORVA_ERROR_FILE_NOT_FOUND;
  case EACCES:
  case EPERM:
  case EROFS:
    return KORVA_ERROR_ACCESS_DENIED;
  case ENOSPC:
  case EFBIG:
    return KORVA_ERROR_DISK_FULL;
  case EEXIST:
    return KORVA_ERROR_ALREADY_EXISTS;
  default:
    return KORVA_ERROR_INVALID_PARAMETER;
  }
}

// Writes the anchor at N - 257 where the background format has reached it since the
// format (CD-RW MRW, DVD+RW).
Status WriteDueSecondAnchor(TUDFRewritableVolume &v) {
  const uint32_t n = v.TotalSectors;
  if (!v.Compatible || v.ReadOnly || v.ImageMode || n <= 257) return Status::Ok();
  TSCSIDevice *d = &v.Device;
  ReadDiscInformation(d, &d->DiscInfo, 42);
  const uint8_t status = DiscInfoBytes(v)[7] & 3;
  if ((d->Medium != mtCDRW && d->Medium != mtDVDPLUSRW) || status != 3) return Status::Ok();
  const uint32_t second = n - 257;
  const uint32_t start = PacketStartOf(v, second);
  if (Status s = ReadPacket(v, start); !s.IsOk()) return s;
  if (IsSectorTagValid(kTagAnchor, SlotOf(v, second), second)) return Status::Ok();
  BuildAnchor(SlotOf(v, second), kSectorSize, second, v.MainVDSSector, v.ReserveVDSSector);
  return WritePacket(v, start);
}

// The first failure of the steps that close a volume is the one reported: a later step that
// fails as well only follows from it.
Status FirstFailure(Status first, Status next) {
  return first.IsOk() ? next : first;
}

// Stores the bitmap and marks the volume closed. The drive writes out its cache before the
// close mark and after it: a close mark must never reach the medium ahead of what it
// vouches for, so when the drive cannot write its cache the volume stays open for repair.
Status CloseOnMedium(TUDFRewritableVolume &v) {
  // A volume that was usable until an I/O failure is closed as well: its in-memory bitmap
  // still holds every block taken, so the stored volume stays consistent enough to mount.
  if (v.ReadOnly || !(v.Compatible || v.CloseAfterFailure)) return Status::Ok();
  if (v.CloseAfterFailure) v.Compatible = 1;
  // Removed files still open lose their blocks now; no name refers to them.
  ReleaseOrphans(v);
  const Status stored = StoreSpaceBitmap(v);
  if (Status s = FlushVolume(v); !s.IsOk()) return FirstFailure(stored, s);
  // An operation that failed, whether or not it left the volume unusable, may have taken
  // blocks without recording them: the free count stored is always the bitmap's.
  Status s = stored;
  if (v.Compatible) s = FirstFailure(s, WriteIntegrityClose(v, true));
  return FirstFailure(s, FlushVolume(v));
}

// Lets go of the drive at the end of a mount: a background format that ran while the disc
// was written is stopped (and a DVD+RW given its lead-out), the next mount restarts it; the
// tray unlocked. A drive that does not stop leaves the volume as consistent as it was: the
// next mount goes on with the format.
void ReleaseDrive(TUDFRewritableVolume &v, bool wrote) {
  if (wrote) static_cast<void>(StopBackgroundFormat(v));
  if (v.TrayLocked) UnlockMedium(&v.Device);
  v.TrayLocked = 0;
}

// What dismount writes before it lets go of the medium: nothing after a unit attention (the
// drive may hold another disc) or a failed cache flush; else the cache, the second anchor,
// the bitmap and the close mark.
Status CloseVolume(TUDFRewritableVolume &v) {
  if (!v.ImageMode && v.VolumeOpen && MediumChangedSinceMount(v)) return MediumChangeStop(v);
  if (v.CacheFlushFailed) {
    v.SessionResumable = 0;
    return KORVA_E_CACHE_FLUSH;
  }
  // Everything the operations left in the cache lands before the closing writes.
  const Status flushed = v.ReadOnly ? Status::Ok() : FlushVolume(v);
  const Status anchor = WriteDueSecondAnchor(v);
  const Status closed = CloseOnMedium(v);
  v.SessionResumable = 0;
  return FirstFailure(FirstFailure(flushed, anchor), closed);
}

// Closes the open volume: second anchor, bitmap, integrity closed, image closed or drive
// synchronized, and the mount state released. Success when everything it had to write was
// written; else the first failure.
Status Dismount(TUDFRewritableVolume &v) {
  v.WrittenInOperation = 1;
  Status s = CloseVolume(v);
  if (v.ImageMode) {
    // An image that cannot be flushed or closed may not hold what was written to it.
    if (!CloseImage(v, !v.ReadOnly)) s = FirstFailure(s, KORVA_E_WRITE_DIRTY);
  } else {
    ReleaseDrive(v, !v.ReadOnly && !v.MediumChanged);
  }
  ReleaseMountState(v);
  EnterClosed(v);
  v.WrittenInOperation = 0;
  return s;
}

// What both mounts start with. A volume still mounted on the record is dismounted first:
// letting go of it without storing the bitmap and closing it would leave it marked open on
// the medium, and it would never mount compatible again. Its failure stays with it; the
// mount reports its own.
void BeginMount(TUDFRewritableVolume &v, bool imageMode, bool readOnly) {
  if (v.VolumeOpen) static_cast<void>(Dismount(v));
  CloseImage(v, !v.ReadOnly);
  EnterClosed(v);
  v.ImageMode = imageMode ? 1 : 0;
  v.WrittenInOperation = 0;
  if (readOnly) EnterReadOnly(v);
  EnterMediumWatched(v);
  v.WriteParametersSet = 0;
}

// Marks the volume open with a recording time of its own (the record keeps it, so that a
// mount after a unit attention knows its own mark).
Status MarkOpen(TUDFRewritableVolume &v) {
  UDF_TimeStamp stamp;
  udf_time_to_stamp(&stamp, Now_UTC(), 0);
  return ChangeIntegrity(v, [&](UDF_LogicalVolumeIntegrityDescriptor &d) {
    d.IntegrityType = ::itOpen;
    d.RecordingDateAndTime = stamp;
  });
}

// The drive refused a write because the disc is write-protected (sense key DATA PROTECT).
bool DriveSaysWriteProtected(const TUDFRewritableVolume &v) {
  return !v.ImageMode && (v.Device.LastSense[2] & 0x0F) == 7;
}

// After a mount chain that passed: a read-only mount is usable as it is; otherwise a volume
// left open is refused until repaired (error 28), and a usable one is marked open on the
// medium. A disc that turns out write-protected is used read-only instead. The result is why
// the volume is not usable, if it is not.
Status FinishMount(TUDFRewritableVolume &v) {
  if (v.ReadOnly) {
    EnterUsable(v);
    return Status::Ok();
  }
  // Another writer's volume is not compatible for writing: nothing is written to it, and a
  // read-only mount reads it (its note says what it is).
  if (HasPartitionMap(v)) return Status::Ok();
  // The volume a unit attention stopped between operations, found again with its open
  // mark: the disc holds what this record wrote, nothing is to repair.
  if (v.LeftOpen && v.SessionResumable && v.SessionVolume == VolumeFingerprint(v)) v.LeftOpen = 0;
  v.SessionResumable = 0;
  if (v.LeftOpen) return KORVA_E_LEFT_OPEN;
  // The first write of the mount is the open mark; the drive must know how to write first.
  if (!v.WriteParametersSet)
    if (Status s = SetWriteParameters(v); !s.IsOk()) return s;
  const Status marked = MarkOpen(v);
  if (marked.IsOk() || (!v.WrittenInOperation && DriveSaysWriteProtected(v))) {
    if (!marked.IsOk()) EnterReadOnly(v);
    EnterUsable(v);
    return Status::Ok();
  }
  return marked;
}

// The mount itself stands; LastError says why the volume is not usable (0 when it is, and
// when it is merely not this library's volume).
KBOOL ReportMounted(TUDFRewritableVolume &v, Status why) {
  Report(v, why);
  return KTRUE;
}

// Opens an existing image for reading only; ENOTSUP when the layer cannot.
int OpenForReading(const KorvaImageIO &io, const std::string &path, int32_t &handle) {
  return io.OpenReadOnly ? io.OpenReadOnly(io.Context, path.c_str(), &handle) : ENOTSUP;
}

// The file exists but cannot be opened for writing.
bool RefusesWriting(int rc) {
  return rc == EACCES || rc == EPERM || rc == EROFS;
}

// Creates a new image of size_mib, its space reserved at once (it reads as zeros). A
// failure ends the mount (11 for size 0, 15 when the space cannot be had); a file that
// cannot be created is left to the chain's first read to report.
Status CreateImage(TUDFRewritableVolume &v, const std::string &path, uint16_t size_mib) {
  const KorvaImageIO &io = ImageIOOf(v);
  if (size_mib == 0) return KORVA_E_IMAGE_SIZE;
  int32_t handle = 0;
  const int rc = io.Create(io.Context, path.c_str(), &handle);
  if (rc != 0) {
    KorvaSetLastOSError(OsErrorFromErrno(rc));
    return Status::Ok();
  }
  const uint64_t bytes = uint64_t(size_mib) * 1048576u;
  const int reserve = io.Reserve(io.Context, handle, bytes);
  if (reserve != 0) {
    io.Close(io.Context, handle);
    io.Remove(io.Context, path.c_str());
    KorvaSetLastOSError(OsErrorFromErrno(reserve));
    return KORVA_E_WRITE;
  }
  v.ImageFile = handle;
  v.ImageFileOpen = 1;
  v.ImagePackets = static_cast<uint32_t>(bytes / kImagePacketBytes);
  return Status::Ok();
}

// Takes an opened image after checking its size; sectors is how many whole sectors it
// holds. An image that is not whole packets (another writer's, cut after its last sector) is
// read: its last packet ends where the file does. Written, it must be whole packets. Error
// 11 (file closed) otherwise.
Status AdoptImage(TUDFRewritableVolume &v, int32_t handle, uint32_t &sectors) {
  const KorvaImageIO &io = ImageIOOf(v);
  uint64_t size = 0;
  // Less than a packet (but more than nothing) holds no volume.
  if (io.Size(io.Context, handle, &size) != 0 ||
      (size % kImagePacketBytes != 0 && (!v.ReadOnly || size < kImagePacketBytes)) ||
      size / kSectorSize > 0xFFFFFFFFull - kImagePacketBytes / kSectorSize) {
    io.Close(io.Context, handle);
    return KORVA_E_IMAGE_SIZE;
  }
  v.ImageFile = handle;
  v.ImageFileOpen = 1;
  v.ImagePackets = static_cast<uint32_t>((size + kImagePacketBytes - 1) / kImagePacketBytes);
  sectors = static_cast<uint32_t>(size / kSectorSize);
  return Status::Ok();
}

// Opens the image at path, creates it, or leaves it to the chain's first read when neither
// can be done; TotalSectors is what it holds. A failure refuses the mount.
Status OpenImage(TUDFRewritableVolume &v, const std::string &path, uint16_t size_mib,
                 bool readOnly) {
  if (path.empty()) return KORVA_E_INVALID_NAME;
  const KorvaImageIO &io = ImageIOOf(v);
  int32_t handle = 0;
  int rc = readOnly ? OpenForReading(io, path, handle) : io.Open(io.Context, path.c_str(), &handle);
  if (!readOnly && RefusesWriting(rc) && OpenForReading(io, path, handle) == 0) {
    // A file that cannot be written is still worth reading.
    EnterReadOnly(v);
    rc = 0;
  }
  v.ImagePackets = 0;
  uint32_t sectors = 0;
  if (rc == ENOENT && !readOnly) {
    if (Status s = CreateImage(v, path, size_mib); !s.IsOk()) return s;
    sectors = v.ImagePackets * 16u;
  } else if (rc != 0) {
    // Neither opened nor creatable: the first read of the chain reports it.
    KorvaSetLastOSError(OsErrorFromErrno(rc));
  } else if (Status s = AdoptImage(v, handle, sectors); !s.IsOk()) {
    return s;
  }
  v.TotalSectors = sectors;
  return Status::Ok();
}

KBOOL MountImagePath(TUDFRewritableVolume &v, const std::string &path, uint16_t size_mib,
                     bool readOnly) {
  if (RefuseWhileBusy(v)) return KFALSE;
  BeginMount(v, true, readOnly);
  v.SessionResumable = 0;
  v.PacketBlocks = 16;
  v.PacketBytes = kImagePacketBytes;
  std::memset(v.PacketBuffer, 0, sizeof(v.PacketBuffer));
  if (Status s = OpenImage(v, path, size_mib, readOnly); !s.IsOk()) return Report(v, s);
  PrepareForMount(v);
  if (!v.ImageFileOpen) return ReportMounted(v, KORVA_E_READ);
  Status s = ReadMountChain(v);
  if (s.IsOk()) s = FinishMount(v);
  return ReportMounted(v, s);
}

// How long a mount waits for a drive that is becoming ready (a disc just loaded spins up
// and is identified in some 10 to 30 s).
constexpr uint32_t kBecomingReadyLimitMs = 60000;

} // namespace

Status korva::HoldDriveForWriting(TUDFRewritableVolume &v) {
  TSCSIDevice *d = &v.Device;
  if (!d->UsePassThrough || (HandleIsOpen(d) && d->HandleExclusive)) return Status::Ok();
  if (HandleIsOpen(d)) PlatformOf(d).CloseDrive(d->Handle);
  d->Handle = -1;
  OpenDriveHandle(d);
  if (d->HandleExclusive) return Status::Ok();
#if defined(_WIN32)
  // The Windows layer's open errors are already system error codes (a sharing violation).
  KorvaSetLastOSError(static_cast<uint32_t>(d->ExclusiveOpenError));
#else
  KorvaSetLastOSError(OsErrorFromErrno(d->ExclusiveOpenError));
#endif
  return KORVA_E_DRIVE_IN_USE;
}

namespace {

// Waits until the drive is ready with a disc; error 12 (no disc) or 34.
Status WaitForMedium(TUDFRewritableVolume &v) {
  switch (WaitForReadyDrive(&v.Device, kBecomingReadyLimitMs, RetryDelay(v) < 500 ? RetryDelay(v) : 500)) {
  case DriveReadiness::kTimedOut:
    return KORVA_E_DRIVE_TIMEOUT;
  case DriveReadiness::kNoMedium:
    return KORVA_E_NO_MEDIA;
  default:
    // Other answers are left to the medium checks that follow.
    return Status::Ok();
  }
}

// The drive chosen (18), held for writing when asked (36), ready (34) with an erasable disc
// (12).
Status ReadyDrive(TUDFRewritableVolume &v, bool readOnly) {
  if (!v.DeviceSelected) return KORVA_E_NO_DEVICE;
  if (!readOnly)
    if (Status s = HoldDriveForWriting(v); !s.IsOk()) return s;
  if (Status s = WaitForMedium(v); !s.IsOk()) return s;
  return Erasable(&v.Device) ? Status::Ok() : Status(KORVA_E_NO_MEDIA);
}

// Learns the disc in the drive: what it is, how it is written, whether it is formatted.
void TakeMedium(TUDFRewritableVolume &v, bool readOnly) {
  RefreshMediumInfo(v);
  // From here on a unit attention means the disc may not be the one just read.
  WatchMediumFromNow(v);
  if (!readOnly && LockMedium(&v.Device)) v.TrayLocked = 1;
  // A background format stopped at the last dismount goes on while this mount writes; the
  // disc takes writes either way, so a drive that refuses leaves the mount as it is. What the
  // disc says now is read afresh: a poll that failed leaves no answer to judge it by.
  if (!readOnly) {
    static_cast<void>(RestartBackgroundFormat(v));
    ReadDiscInformation(&v.Device, &v.Device.DiscInfo, 64);
  }
  SetPacketGeometryForMedium(v);
  PrepareForMount(v);
  std::memset(v.PacketBuffer, 0, sizeof(v.PacketBuffer));
  v.MediumFormatted = CheckMediumFormatted(v) ? 1 : 0;
  ReadDriveCapacity(v);
}

// Reads the volume on a formatted disc. The mount itself stands whatever this finds; the
// result is why the volume is not usable, if it is not.
Status MountMedium(TUDFRewritableVolume &v, bool readOnly) {
  // An MRW volume lives in the defect-managed area, whatever the drive was left addressing;
  // a mount for writing cannot do without it.
  if (Status s = SetMrwAddressSpace(v); !s.IsOk() && !readOnly) return s;
  if (!v.MediumFormatted) return Status::Ok();
  // Whatever writes next (the open mark, a repair of a volume left open), the drive must
  // know how to write first.
  if (!readOnly)
    if (Status s = SetWriteParameters(v); !s.IsOk()) return s;
  if (Status s = ReadMountChain(v); !s.IsOk()) return s;
  return FinishMount(v);
}

KBOOL MountDrive(TUDFRewritableVolume *volume, bool readOnly) {
  if (!volume) return KFALSE;
  TUDFRewritableVolume &v = *volume;
  if (RefuseWhileBusy(v)) return KFALSE;
  BeginMount(v, false, readOnly);
  if (Status s = ReadyDrive(v, readOnly); !s.IsOk()) return Report(v, s);
  TakeMedium(v, readOnly);
  return ReportMounted(v, MountMedium(v, readOnly));
}

} // namespace

extern "C" {

KORVA_API KBOOL UDF_MountVolume(TUDFRewritableVolume *volume) {
  return MountDrive(volume, false);
}

KORVA_API KBOOL UDF_MountVolumeReadOnly(TUDFRewritableVolume *volume) {
  return MountDrive(volume, true);
}

KORVA_API KBOOL UDF_MountImageW(TUDFRewritableVolume *volume, const KWCHAR *file_name,
                                uint16_t size_mib) {
  if (!volume) return KFALSE;
  std::string path;
  if (!PathToUtf8(file_name, path)) path.clear();
  return MountImagePath(*volume, path, size_mib, false);
}

KORVA_API KBOOL UDF_MountImage(TUDFRewritableVolume *volume, const char *file_name,
                               uint16_t size_mib) {
  if (!volume) return KFALSE;
  return MountImagePath(*volume, ImagePathOf(file_name), size_mib, false);
}

KORVA_API KBOOL UDF_MountImageReadOnlyW(TUDFRewritableVolume *volume, const KWCHAR *file_name) {
  if (!volume) return KFALSE;
  std::string path;
  if (!PathToUtf8(file_name, path)) path.clear();
  return MountImagePath(*volume, path, 0, true);
}

KORVA_API KBOOL UDF_MountImageReadOnly(TUDFRewritableVolume *volume, const char *file_name) {
  if (!volume) return KFALSE;
  return MountImagePath(*volume, ImagePathOf(file_name), 0, true);
}

KORVA_API KBOOL UDF_DismountVolume(TUDFRewritableVolume *volume) {
  if (!volume || RefuseWhileBusy(*volume)) return KFALSE;
  if (!volume->VolumeOpen) return Report(*volume, KORVA_E_NOT_MOUNTED);
  return Report(*volume, Dismount(*volume));
}

KORVA_API KBOOL UDF_FlushVolume(TUDFRewritableVolume *volume) {
  if (!volume || RefuseWhileBusy(*volume)) return KFALSE;
  TUDFRewritableVolume &v = *volume;
  if (!v.VolumeOpen) return Report(v, KORVA_E_NOT_MOUNTED);
  return Report(v, v.ReadOnly ? Status::Ok() : FlushVolume(v));
}

KORVA_API KBOOL UDF_GetVolumeCompatibility(TUDFRewritableVolume *volume) {
  if (!volume || RefuseWhileBusy(*volume)) return KFALSE;
  Report(*volume, Status::Ok());
  return volume->Compatible ? KTRUE : KFALSE;
}

KORVA_API const char *UDF_GetVolumeNote(TUDFRewritableVolume *volume) {
  if (!volume || !HasPartitionMap(*volume)) return "";
  return ForeignVolumeNoteText(*volume);
}

KORVA_API uint32_t UDF_GetLogicalBlockSize(TUDFRewritableVolume *volume) {
  return volume ? BlockBytesOf(*volume) : kSectorSize;
}

KORVA_API KBOOL UDF_GetSpaceBitmapSuspect(TUDFRewritableVolume *volume) {
  if (!volume || RefuseWhileBusy(*volume)) return KFALSE;
  TUDFRewritableVolume &v = *volume;
  // Another writer's volume is only read: its bitmap is never consulted.
  if (!v.VolumeOpen || HasPartitionMap(v)) {
    Report(v, Status::Ok());
    return KFALSE;
  }
  // Blocks the tree uses but the bitmap records free are found by the walk that the first
  // allocation runs anyway; asked first, the walk runs now (it changes only memory).
  if (!Report(v, v.Compatible ? TreeBlocksMarkedUsed(v) : Status::Ok())) return KFALSE;
  return SpaceBitmapSuspect(v) ? KTRUE : KFALSE;
}

KORVA_API void UDF_ReleaseVolume(TUDFRewritableVolume *volume) {
  if (!volume) return;
  WaitForBackground(*volume);
  if (volume->VolumeOpen) Report(*volume, Dismount(*volume));
  CloseImage(*volume, false);
  ReleaseMountState(*volume);
  EnterClosed(*volume);
  // A loaded ASPI-style module goes with it (the record may be freed next).
  ReleaseAspiModule(&volume->Device);
}

} // extern "C"
