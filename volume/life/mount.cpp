// Mounting and dismounting: images and drives, the mount chain that reads and checks the
// volume structure, the integrity type on the medium, and releasing what a mount created.
#include <cstddef>
#include <cstring>
#include <string>

#include "device/device_internal.h"
#include "device/platform.h"
#include "korva/scsi.hpp"
#include "udf/byte_order.h"
#include "udf/common.h"
#include "udf/descriptors.h"
#include "udf/crc.h"
#include "udf/narrow.h"
#include "udf/tag.h"
#include "udf/timestamp.h"
#include "udf/utf8.h"
#include "volume/life/background.h"
#include "volume/engine.h"
#include "volume/engine_state.h"
#include "volume/medium/geometry.h"
#include "volume/medium/packet_cache.h"
#include "volume/fs/fs_dir.h"
#include "volume/fs/fs_internal.h"
#include "volume/fs/fs_state.h"
#include "volume/check/fs_claims.h"
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
bool ReadVolumeDescriptors(TUDFRewritableVolume &v, SparingLayout &sparing,
                           uint32_t &foreignAnchor, uint32_t &foreignBlockBytes) {
  const SequenceReading r = ReadVolumeSequence(v);
  if (r.Result == SequenceReading::Foreign) {
    foreignAnchor = r.Geometry.AnchorSector;
    foreignBlockBytes = r.Geometry.BlockBytes;
    if (foreignAnchor == 0) NoteUnreadableVolume(v, r.Why);
  }
  if (r.Result != SequenceReading::Ok) return false;
  InstallGeometry(v, r.Geometry);
  sparing = SparingLayoutOf(r.Geometry);
  ReadLabel(v, r.Geometry.VolumeIdentifier);
  return true;
}

bool ReadIntegrity(TUDFRewritableVolume &v) {
  if (!ReadPacket(v, PacketStartOf(v, v.IntegritySector))) return false;
  const auto lvid =
      ParseIntegrityDescriptor(SlotOf(v, v.IntegritySector), kSectorSize, v.IntegritySector);
  if (!lvid || !IsOurImplementation(lvid->ImplementationID)) return false;
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
  if (v.FreeBlocks > v.PartitionLength) return false;
  const uint8_t *t = SlotOf(v, v.IntegritySector + 1);
  return IsSectorTagValid(kTagTerminating, t, v.IntegritySector + 1);
}

// Either copy of the sparing table will do; relocations that cannot be honoured safely are
// damage (error 32), never guessed at.
bool ReadSparingTable(TUDFRewritableVolume &v, const SparingLayout &sparing) {
  switch (LoadSparingMap(v, sparing)) {
  case SparingLoad::Ok:
    return true;
  case SparingLoad::BadEntry:
    SetError(v, KORVA_E_DAMAGED);
    return false;
  default:
    return false;
  }
}

bool ReadFileSetAndRoot(TUDFRewritableVolume &v, bool foreign = false) {
  if (!ReadPacket(v, PacketStartOf(v, v.FileSetSector))) return false;
  const auto fsd = ParseFileSetDescriptor(SlotOf(v, v.FileSetSector), kSectorSize,
                                          v.FileSetSector - v.PartitionStart);
  if (!fsd) return false;
  const UDF_LBAddr &at = fsd->RootDirectoryICB.Location;
  uint32_t rootBlock = 0;
  if (!BlockSpaceOf(v).Map(at.PartitionReferenceNumber, at.LogicalBlockNumber, rootBlock) ||
      rootBlock >= v.PartitionLength)
    return false;
  v.RootICBSector = v.PartitionStart + rootBlock;
  if (!ReadPacket(v, PacketStartOf(v, v.RootICBSector))) return false;
  // This library writes a file entry; a later revision of it, or its repair, may leave an
  // extended one. Either way the identifier says whose it is: ours, or the Linux kernel's
  // once it added entries to the root of a volume formatted here.
  EntryBuffer fe; // another writer's root entry may fill a block larger than a sector
  if (!KeepInLastError(v, ReadEntry(v, rootBlock, fe))) return false;
  const auto root = ParseFileEntry(fe, EntryBytesOf(v), at.LogicalBlockNumber);
  return root && (foreign || IsOurImplementation(root->ImplementationIdentifier) ||
                  IsLinuxKernelImplementation(root->ImplementationIdentifier));
}

// The counts another writer recorded: the VAT's, else the integrity descriptor's.
void ReadForeignCounts(TUDFRewritableVolume &v, const ForeignDescriptors &d) {
  v.FileCount = v.DirCount = v.FreeBlocks = 0;
  if (ForeignVolumeCounts(v, v.FileCount, v.DirCount)) return;
  const uint32_t at = d.Integrity.Location;
  uint8_t buf[kMaxBlockBytes];
  if (d.Integrity.Length < d.BlockBytes || !ReadMediumBlock(v, d.BlockBytes, at, buf)) {
    v.LastError = 0;
    return;
  }
  if (const auto lvid = ParseIntegrityDescriptor(buf, d.BlockBytes, at)) {
    v.FileCount = lvid->NumberOfFiles;
    v.DirCount = lvid->NumberOfDirectories;
    if (lvid->FreeSpaceTable <= v.PartitionLength) v.FreeBlocks = lvid->FreeSpaceTable;
  }
}

// Another writer's volume: its partitions mapped, its file set and root directory read. It
// is only ever read (see FinishMount); why it cannot be, when it cannot, is its note.
bool ReadForeignVolume(TUDFRewritableVolume &v, uint32_t anchorSector, uint32_t blockBytes) {
  std::string why;
  const auto d = ReadForeignDescriptors(v, anchorSector, blockBytes, why);
  if (!d || !InstallPartitionMap(v, *d, why)) {
    NoteUnreadableVolume(v, why);
    return false;
  }
  ReadLabel(v, d->VolumeIdentifier);
  v.AnchorSector = anchorSector;
  v.IntegritySector = d->Integrity.Location;
  ReadForeignCounts(v, *d);
  if (ReadFileSetAndRoot(v, true)) return true;
  NoteUnreadableVolume(v, "its file set descriptor or root directory is damaged");
  return false;
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
// would hand them to the next new entry and the volume would be lost.
bool OwnStructuresMarkedUsed(TUDFRewritableVolume &v) {
  const uint32_t root = v.RootICBSector - v.PartitionStart;
  if (!v.SpaceBitmap ||
      !MarkedUsed(v, v.SpaceBitmapSector - v.PartitionStart, v.SpaceBitmapBlocks) ||
      !MarkedUsed(v, v.FileSetSector - v.PartitionStart, 1) || !MarkedUsed(v, root, 1))
    return false;
  uint8_t fe[kSectorSize];
  if (!ReadSector(v, v.RootICBSector, fe)) return false;
  const BlockReadFn read = [&v](uint32_t block, uint8_t *buffer) {
    return block < v.PartitionLength && ReadSector(v, v.PartitionStart + block, buffer);
  };
  DescriptorList list;
  if (!ReadDescriptorList(read, v.PartitionLength, root, fe, list)) return false;
  for (const ADSlot &s : list.Extents)
    if (s.AD.Type() != 2 && !MarkedUsed(v, s.AD.Block, (uint64_t(s.AD.Length()) + 2047) / 2048))
      return false;
  for (uint32_t b : list.Extensions)
    if (!MarkedUsed(v, b, 1)) return false;
  return true;
}

} // namespace

void PrepareForMount(TUDFRewritableVolume &v) {
  // A mount again over the open volume (after repair) keeps what was written to it.
  if (v.VolumeOpen && !v.ReadOnly) FlushPacketCache(v, true);
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

bool RunMountChain(TUDFRewritableVolume &v) {
  const uint32_t p = v.PacketBlocks;
  if (p == 0) return false;
  // LeftOpen describes a volume that is sound apart from being left open.
  SparingLayout sparing;
  uint32_t foreignAnchor = 0, foreignBlockBytes = kSectorSize;
  if (!ReadVolumeDescriptors(v, sparing, foreignAnchor, foreignBlockBytes))
    return foreignAnchor != 0 && ReadForeignVolume(v, foreignAnchor, foreignBlockBytes);
  bool ok = ReadIntegrity(v) && ReadSparingTable(v, sparing) && LoadSpaceBitmap(v) &&
            ReadFileSetAndRoot(v);
  if (ok && !OwnStructuresMarkedUsed(v)) {
    if (v.LastError == 0) SetError(v, KORVA_E_DAMAGED);
    ok = false;
  }
  if (!ok) v.LeftOpen = 0;
  return ok;
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
bool RewriteIntegrity(TUDFRewritableVolume &v, uint32_t type, bool recountFree) {
  return ChangeIntegrity(v, [&](UDF_LogicalVolumeIntegrityDescriptor &d) {
    if (recountFree) {
      v.FreeBlocks = CountFreeBlocks(v);
      d.FreeSpaceTable = v.FreeBlocks;
    }
    d.IntegrityType = type;
  });
}
} // namespace

bool WriteIntegrityType(TUDFRewritableVolume &v, uint32_t type) {
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

bool WriteIntegrityClose(TUDFRewritableVolume &v, bool recountFree) {
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
// format (CD-RW MRW, DVD+RW). False when a read or write failed.
bool WriteDueSecondAnchor(TUDFRewritableVolume &v) {
  const uint32_t n = v.TotalSectors;
  if (!v.Compatible || v.ReadOnly || v.ImageMode || n <= 257) return true;
  TSCSIDevice *d = &v.Device;
  ReadDiscInformation(d, &d->DiscInfo, 42);
  const uint8_t status = DiscInfoBytes(v)[7] & 3;
  if ((d->Medium != mtCDRW && d->Medium != mtDVDPLUSRW) || status != 3) return true;
  const uint32_t second = n - 257;
  const uint32_t start = PacketStartOf(v, second);
  if (!ReadPacket(v, start)) return false;
  if (IsSectorTagValid(kTagAnchor, SlotOf(v, second), second)) return true;
  BuildAnchor(SlotOf(v, second), kSectorSize, second, v.MainVDSSector, v.ReserveVDSSector);
  return WritePacket(v, start);
}

// Stores the bitmap and marks the volume closed. The drive writes out its cache before the
// close mark and after it: a close mark must never reach the medium ahead of what it
// vouches for, so when the drive cannot write its cache the volume stays open for repair.
bool CloseOnMedium(TUDFRewritableVolume &v) {
  // A volume that was usable until an I/O failure is closed as well: its in-memory bitmap
  // still holds every block taken, so the stored volume stays consistent enough to mount.
  if (v.ReadOnly || !(v.Compatible || v.CloseAfterFailure)) return true;
  if (v.CloseAfterFailure) v.Compatible = 1;
  // Removed files still open lose their blocks now; no name refers to them.
  ReleaseOrphans(v);
  bool result = StoreSpaceBitmap(v);
  if (!FlushVolume(v)) return false;
  // An operation that failed, whether or not it left the volume unusable, may have taken
  // blocks without recording them: the free count stored is always the bitmap's.
  if (v.Compatible && !WriteIntegrityClose(v, true)) result = false;
  return FlushVolume(v) && result;
}

// Lets go of the drive at the end of a mount: a background format that ran while the disc
// was written is stopped (and a DVD+RW given its lead-out), the next mount restarts it; the
// tray unlocked.
void ReleaseDrive(TUDFRewritableVolume &v, bool wrote) {
  if (wrote) StopBackgroundFormat(v);
  if (v.TrayLocked) UnlockMedium(&v.Device);
  v.TrayLocked = 0;
}

// Closes the open volume: second anchor, bitmap, integrity closed, image closed or drive
// synchronized, and the mount state released. True when everything it had to write was
// written. After a unit attention nothing is written: the drive may hold another disc.
bool Dismount(TUDFRewritableVolume &v) {
  v.LastError = 0;
  v.WrittenInOperation = 1;
  bool result = true;
  if (!v.ImageMode && v.VolumeOpen && MediumChangedSinceMount(v)) {
    StopForMediumChange(v);
    result = false;
  } else if (v.CacheFlushFailed) {
    SetError(v, KORVA_E_CACHE_FLUSH);
    v.SessionResumable = 0;
    result = false;
  } else {
    // Everything the operations left in the cache lands before the closing writes.
    if (!v.ReadOnly && !FlushVolume(v)) result = false;
    if (!WriteDueSecondAnchor(v)) result = false;
    if (!CloseOnMedium(v)) result = false;
    v.SessionResumable = 0;
  }
  const uint32_t error = v.LastError;
  if (v.ImageMode) {
    if (!CloseImage(v, !v.ReadOnly)) result = false;
  } else {
    ReleaseDrive(v, !v.ReadOnly && !v.MediumChanged);
  }
  if (error != 0) v.LastError = error;
  ReleaseMountState(v);
  EnterClosed(v);
  v.WrittenInOperation = 0;
  return result;
}

// What both mounts start with. A volume still mounted on the record is dismounted first:
// letting go of it without storing the bitmap and closing it would leave it marked open on
// the medium, and it would never mount compatible again.
void BeginMount(TUDFRewritableVolume &v, bool imageMode, bool readOnly) {
  if (v.VolumeOpen) Dismount(v);
  CloseImage(v, !v.ReadOnly);
  EnterClosed(v);
  v.ImageMode = imageMode ? 1 : 0;
  v.LastError = 0;
  v.WrittenInOperation = 0;
  if (readOnly) EnterReadOnly(v);
  EnterMediumWatched(v);
  v.WriteParametersSet = 0;
}

// Marks the volume open with a recording time of its own (the record keeps it, so that a
// mount after a unit attention knows its own mark).
bool MarkOpen(TUDFRewritableVolume &v) {
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
// left open is refused until repaired, and a usable one is marked open on the medium. A
// disc that turns out write-protected is used read-only instead.
void FinishMount(TUDFRewritableVolume &v) {
  if (v.ReadOnly) {
    EnterUsable(v);
    return;
  }
  // Another writer's volume is not compatible for writing: nothing is written to it, and a
  // read-only mount reads it (its note says what it is).
  if (HasPartitionMap(v)) return;
  // The volume a unit attention stopped between operations, found again with its open
  // mark: the disc holds what this record wrote, nothing is to repair.
  if (v.LeftOpen && v.SessionResumable && v.SessionVolume == VolumeFingerprint(v)) v.LeftOpen = 0;
  v.SessionResumable = 0;
  if (v.LeftOpen) {
    SetError(v, KORVA_E_LEFT_OPEN);
    return;
  }
  // The first write of the mount is the open mark; the drive must know how to write first.
  if (!v.WriteParametersSet && !SetWriteParameters(v)) return;
  if (MarkOpen(v)) {
    EnterUsable(v);
  } else if (!v.WrittenInOperation && DriveSaysWriteProtected(v)) {
    EnterReadOnly(v);
    v.LastError = 0;
    EnterUsable(v);
  }
}

// Opens an existing image for reading only; ENOTSUP when the layer cannot.
int OpenForReading(const KorvaImageIO &io, const std::string &path, int32_t &handle) {
  return io.OpenReadOnly ? io.OpenReadOnly(io.Context, path.c_str(), &handle) : ENOTSUP;
}

// The file exists but cannot be opened for writing.
bool RefusesWriting(int rc) {
  return rc == EACCES || rc == EPERM || rc == EROFS;
}

// Creates a new image of size_mib, its space reserved at once (it reads as zeros). False
// when the mount ends here (error set); a file that cannot be created is left to the
// chain's first read to report.
bool CreateImage(TUDFRewritableVolume &v, const std::string &path, uint16_t size_mib) {
  const KorvaImageIO &io = ImageIOOf(v);
  if (size_mib == 0) {
    SetError(v, KORVA_E_IMAGE_SIZE);
    return false;
  }
  int32_t handle = 0;
  const int rc = io.Create(io.Context, path.c_str(), &handle);
  if (rc != 0) {
    KorvaSetLastOSError(OsErrorFromErrno(rc));
    return true;
  }
  const uint64_t bytes = uint64_t(size_mib) * 1048576u;
  const int reserve = io.Reserve(io.Context, handle, bytes);
  if (reserve != 0) {
    io.Close(io.Context, handle);
    io.Remove(io.Context, path.c_str());
    KorvaSetLastOSError(OsErrorFromErrno(reserve));
    SetError(v, KORVA_E_WRITE);
    return false;
  }
  v.ImageFile = handle;
  v.ImageFileOpen = 1;
  v.ImagePackets = static_cast<uint32_t>(bytes / kImagePacketBytes);
  return true;
}

// Takes an opened image after checking its size; sectors is how many whole sectors it
// holds. An image that is not whole packets (another writer's, cut after its last sector) is
// read: its last packet ends where the file does. Written, it must be whole packets. False
// with error 11 (file closed).
bool AdoptImage(TUDFRewritableVolume &v, int32_t handle, uint32_t &sectors) {
  const KorvaImageIO &io = ImageIOOf(v);
  uint64_t size = 0;
  // Less than a packet (but more than nothing) holds no volume.
  if (io.Size(io.Context, handle, &size) != 0 ||
      (size % kImagePacketBytes != 0 && (!v.ReadOnly || size < kImagePacketBytes)) ||
      size / kSectorSize > 0xFFFFFFFFull - kImagePacketBytes / kSectorSize) {
    io.Close(io.Context, handle);
    SetError(v, KORVA_E_IMAGE_SIZE);
    return false;
  }
  v.ImageFile = handle;
  v.ImageFileOpen = 1;
  v.ImagePackets = static_cast<uint32_t>((size + kImagePacketBytes - 1) / kImagePacketBytes);
  sectors = static_cast<uint32_t>(size / kSectorSize);
  return true;
}

KBOOL MountImagePath(TUDFRewritableVolume &v, const std::string &path, uint16_t size_mib,
                     bool readOnly) {
  if (RefuseWhileBusy(v)) return KFALSE;
  BeginMount(v, true, readOnly);
  v.SessionResumable = 0;
  v.PacketBlocks = 16;
  v.PacketBytes = kImagePacketBytes;
  std::memset(v.PacketBuffer, 0, sizeof(v.PacketBuffer));
  if (path.empty()) {
    SetError(v, KORVA_E_INVALID_NAME);
    return KFALSE;
  }
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
    if (!CreateImage(v, path, size_mib)) return KFALSE;
    sectors = v.ImagePackets * 16u;
  } else if (rc != 0) {
    // Neither opened nor creatable: the first read of the chain reports it.
    KorvaSetLastOSError(OsErrorFromErrno(rc));
  } else if (!AdoptImage(v, handle, sectors)) {
    return KFALSE;
  }
  v.TotalSectors = sectors;
  PrepareForMount(v);
  if (!v.ImageFileOpen) {
    SetError(v, KORVA_E_READ);
    return KTRUE;
  }
  if (RunMountChain(v)) FinishMount(v);
  return KTRUE;
}

// How long a mount waits for a drive that is becoming ready (a disc just loaded spins up
// and is identified in some 10 to 30 s).
constexpr uint32_t kBecomingReadyLimitMs = 60000;

} // namespace

bool korva::HoldDriveForWriting(TUDFRewritableVolume &v) {
  TSCSIDevice *d = &v.Device;
  if (!d->UsePassThrough || (HandleIsOpen(d) && d->HandleExclusive)) return true;
  if (HandleIsOpen(d)) PlatformOf(d).CloseDrive(d->Handle);
  d->Handle = -1;
  OpenDriveHandle(d);
  if (d->HandleExclusive) return true;
#if defined(_WIN32)
  // The Windows layer's open errors are already system error codes (a sharing violation).
  KorvaSetLastOSError(static_cast<uint32_t>(d->ExclusiveOpenError));
#else
  KorvaSetLastOSError(OsErrorFromErrno(d->ExclusiveOpenError));
#endif
  SetError(v, KORVA_E_DRIVE_IN_USE);
  return false;
}

namespace {

// Waits until the drive is ready with a disc; false with error 12 (no disc) or 34.
bool WaitForMedium(TUDFRewritableVolume &v) {
  switch (WaitForReadyDrive(&v.Device, kBecomingReadyLimitMs, RetryDelay(v) < 500 ? RetryDelay(v) : 500)) {
  case DriveReadiness::kTimedOut:
    SetError(v, KORVA_E_DRIVE_TIMEOUT);
    return false;
  case DriveReadiness::kNoMedium:
    SetError(v, KORVA_E_NO_MEDIA);
    return false;
  default:
    // Other answers are left to the medium checks that follow.
    return true;
  }
}

// The drive chosen, held for writing when asked, ready with an erasable disc.
bool ReadyDrive(TUDFRewritableVolume &v, bool readOnly) {
  if (!v.DeviceSelected) {
    SetError(v, KORVA_E_NO_DEVICE);
    return false;
  }
  if (!readOnly && !HoldDriveForWriting(v)) return false;
  if (!WaitForMedium(v)) return false;
  if (!Erasable(&v.Device)) {
    SetError(v, KORVA_E_NO_MEDIA);
    return false;
  }
  return true;
}

// Learns the disc in the drive: what it is, how it is written, whether it is formatted.
void TakeMedium(TUDFRewritableVolume &v, bool readOnly) {
  RefreshMediumInfo(v);
  // From here on a unit attention means the disc may not be the one just read.
  WatchMediumFromNow(v);
  if (!readOnly && LockMedium(&v.Device)) v.TrayLocked = 1;
  // A background format stopped at the last dismount goes on while this mount writes; the
  // disc takes writes either way, so a drive that refuses leaves the mount as it is.
  if (!readOnly && RestartBackgroundFormat(v)) ReadDiscInformation(&v.Device, &v.Device.DiscInfo, 64);
  SetPacketGeometryForMedium(v);
  PrepareForMount(v);
  std::memset(v.PacketBuffer, 0, sizeof(v.PacketBuffer));
  v.MediumFormatted = CheckMediumFormatted(v) ? 1 : 0;
  ReadDriveCapacity(v);
}

// Reads the volume on a formatted disc. The mount itself stands whatever this finds.
void MountMedium(TUDFRewritableVolume &v, bool readOnly) {
  // An MRW volume lives in the defect-managed area, whatever the drive was left addressing;
  // a mount for writing cannot do without it.
  if (!SetMrwAddressSpace(v)) {
    if (!readOnly) return;
    v.LastError = 0;
  }
  // Whatever writes next (the open mark, a repair of a volume left open), the drive must
  // know how to write first.
  if (!readOnly && v.MediumFormatted && !SetWriteParameters(v)) return;
  if (v.MediumFormatted && RunMountChain(v)) FinishMount(v);
}

KBOOL MountDrive(TUDFRewritableVolume *volume, bool readOnly) {
  if (!volume) return KFALSE;
  TUDFRewritableVolume &v = *volume;
  if (RefuseWhileBusy(v)) return KFALSE;
  BeginMount(v, false, readOnly);
  if (!ReadyDrive(v, readOnly)) return KFALSE;
  TakeMedium(v, readOnly);
  MountMedium(v, readOnly);
  return KTRUE;
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
  if (!volume->VolumeOpen) {
    SetError(*volume, KORVA_E_NOT_MOUNTED);
    return KFALSE;
  }
  return Dismount(*volume) ? KTRUE : KFALSE;
}

KORVA_API KBOOL UDF_FlushVolume(TUDFRewritableVolume *volume) {
  if (!volume || RefuseWhileBusy(*volume)) return KFALSE;
  if (!volume->VolumeOpen) {
    SetError(*volume, KORVA_E_NOT_MOUNTED);
    return KFALSE;
  }
  volume->LastError = 0;
  if (volume->ReadOnly) return KTRUE;
  return FlushVolume(*volume) ? KTRUE : KFALSE;
}

KORVA_API KBOOL UDF_GetVolumeCompatibility(TUDFRewritableVolume *volume) {
  if (!volume || RefuseWhileBusy(*volume)) return KFALSE;
  volume->LastError = 0;
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
  volume->LastError = 0;
  // Another writer's volume is only read: its bitmap is never consulted.
  if (!volume->VolumeOpen || HasPartitionMap(*volume)) return KFALSE;
  // Blocks the tree uses but the bitmap records free are found by the walk that the first
  // allocation runs anyway; asked first, the walk runs now (it changes only memory).
  if (volume->Compatible && !KeepInLastError(*volume, TreeBlocksMarkedUsed(*volume)))
    return KFALSE;
  return SpaceBitmapSuspect(*volume) ? KTRUE : KFALSE;
}

KORVA_API void UDF_ReleaseVolume(TUDFRewritableVolume *volume) {
  if (!volume) return;
  WaitForBackground(*volume);
  if (volume->VolumeOpen) Dismount(*volume);
  CloseImage(*volume, false);
  ReleaseMountState(*volume);
  EnterClosed(*volume);
  // A loaded ASPI-style module goes with it (the record may be freed next).
  ReleaseAspiModule(&volume->Device);
}

} // extern "C"
