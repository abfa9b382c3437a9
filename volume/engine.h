// Internal interface of the volume engine: sector I/O, error helpers, space allocation and
// the mount/format steps shared by the operations of the engine.
#ifndef KORVA_VOLUME_ENGINE_H
#define KORVA_VOLUME_ENGINE_H

#include <cstdint>
#include <functional>
#include <string>

#include "korva/volume.h"
#include "udf/tag.h"
#include "udf/timestamp.h"
#include "volume/engine_state.h"
#include "volume/status.h"

namespace korva {

constexpr uint32_t kMaxPacketBytes = 65536;

// Error model --------------------------------------------------------------------------
// Code not yet returning a Status (volume/status.h) reports through bool plus LastError with
// these helpers.

inline void SetError(TUDFRewritableVolume &v, uint32_t number) {
  v.LastError = number;
}
inline void ClearError(TUDFRewritableVolume &v) {
  v.LastError = 0;
}
// Clears LastError, or sets 10 and returns false when no compatible volume is mounted.
bool RequireCompatible(TUDFRewritableVolume &v);
// One count of the mounted volume for the exported getters: 0 without a record or a
// compatible volume (error 10, or 26 while background work runs).
uint32_t CompatibleCount(TUDFRewritableVolume *volume, uint32_t TUDFRewritableVolume::*count);

// Sets error 27 and returns false when the mounted volume is read-only: the check of every
// operation that changes the medium.
inline bool RequireWritable(TUDFRewritableVolume &v) {
  return KeepInLastError(v, CheckWritable(v));
}

// A read or write failed after the running operation had written: the volume is unusable
// until it is dismounted. Dismount still stores the bitmap and closes the volume, so that it
// mounts again; without that a single I/O error would lock the whole volume out for good.
inline void LoseCompatibility(TUDFRewritableVolume &v, uint32_t error) {
  SetError(v, error);
  EnterFailed(v, true);
}

// A read failed, or gave data that makes no sense: error 13, or 14 with the volume lost when
// the operation has written already.
inline void FailRead(TUDFRewritableVolume &v) {
  SetError(v, ReadFailure(v).Error());
}

// Whether the medium holds a state of a sync point: nothing went out since the last barrier
// and no commit or free is held back (loose changes still held are lost as a cut after a
// sync point loses them; packet_cache.cpp).
bool PacketCacheSettled(const TUDFRewritableVolume &v);

// A unit attention since the mount (medium changed, reset, parameters changed): the drive
// may hold another disc. Sets MediumChanged; true while it is set. Images never change.
inline bool MediumChangedSinceMount(TUDFRewritableVolume &v) {
  if (!v.ImageMode && !v.MediumChanged && v.Device.UnitAttentions != v.MountUnitAttentions) {
    EnterMediumChanged(v);
    // Between operations, with nothing left in the drive's cache or held back in the packet
    // cache, the disc holds exactly what was written: the same volume may be taken back by
    // the next mount.
    v.SessionResumable = v.SessionVolume && !v.ReadOnly && !v.WrittenInOperation &&
                         v.CacheSynchronized && PacketCacheSettled(v);
  }
  return v.MediumChanged != 0;
}
// The volume stops: error 35, unusable, and dismount writes nothing (the disc in the drive
// may be another one).
inline Status MediumChangeStop(TUDFRewritableVolume &v) {
  EnterFailed(v, false);
  return KORVA_E_MEDIUM_CHANGED;
}
// Starts watching for unit attentions from now on (a mount that has read the medium).
inline void WatchMediumFromNow(TUDFRewritableVolume &v) {
  v.MountUnitAttentions = v.Device.UnitAttentions;
  EnterMediumWatched(v);
}

// Sector I/O ---------------------------------------------------------------------------
// Each returns the failure (13/14 for reads, 15/16 for writes; the "dirty" variants clear
// Compatible). Sector numbers are absolute.

// Reads PacketBlocks sectors starting at sector (a packet start) into PacketBuffer.
Status ReadPacket(TUDFRewritableVolume &v, uint32_t sector);
// Reads one sector into dest (2048 bytes); PacketBuffer is untouched.
Status ReadSector(TUDFRewritableVolume &v, uint32_t sector, uint8_t *dest);
// Reads count sectors from first straight into dest (count * 2048 bytes) in large requests;
// PacketBuffer is untouched. good tells how many sectors from first arrived; on failure it
// stops at a packet boundary (or first), as if the data had been read packet by packet.
Status ReadSectors(TUDFRewritableVolume &v, uint32_t first, uint32_t count, uint8_t *dest,
                   uint32_t &good);
// How a write may be ordered against the others (volume/medium/packet_cache.h). Auto: loose
// when it changes only blocks taken since the last commit went out, else a commit. Loose: the
// caller knows that nothing on the medium refers yet to what it changes (directory bytes past
// the recorded length, file data, the counts of an open volume's integrity descriptor).
enum class WriteOrder : uint8_t { Auto, Loose };

// Writes one sector into the packet holding it (PacketBuffer is untouched).
Status WriteSector(TUDFRewritableVolume &v, uint32_t sector, const uint8_t *src,
                   WriteOrder order = WriteOrder::Auto);
// Writes PacketBuffer as the packet starting at sector. The bitmap packets holding blocks
// taken since they were last written go out first (PrepareSpaceBitmapFor).
Status WritePacket(TUDFRewritableVolume &v, uint32_t sector, WriteOrder order = WriteOrder::Auto);
// Writes one packet from src as it is, with the error handling of WritePacket (the bitmap's
// own packets: loose).
Status WriteRawPacket(TUDFRewritableVolume &v, uint32_t sector, const uint8_t *src);
// Barrier: the drive writes out its cache (SYNCHRONIZE CACHE) when anything was written
// since the last one. A failure fails the caller: error 35 after a unit attention, else 37
// with the volume unusable and left open for repair (written data may be lost).
Status SynchronizeDriveCache(TUDFRewritableVolume &v);
// Writes everything the packet cache holds in safe order and ends with a barrier.
Status FlushVolume(TUDFRewritableVolume &v);

// Sectors per packet: 16 or 32 as the medium (or image) set it; 16 when unset.
inline uint32_t PacketBlocksOf(const TUDFRewritableVolume &v) {
  return v.PacketBlocks == 16 || v.PacketBlocks == 32 ? v.PacketBlocks : 16;
}
// First sector of the packet that holds sector.
inline uint32_t PacketStartOf(const TUDFRewritableVolume &v, uint32_t sector) {
  return sector - sector % PacketBlocksOf(v);
}
// Address of sector's slot inside PacketBuffer (valid after ReadPacket of its packet).
inline uint8_t *SlotOf(TUDFRewritableVolume &v, uint32_t sector) {
  return v.PacketBuffer + (sector % PacketBlocksOf(v)) * kSectorSize;
}

// Pause between drive I/O attempts, in milliseconds.
inline uint32_t RetryDelay(const TUDFRewritableVolume &v) {
  return v.RetryDelayMs ? v.RetryDelayMs : 1000;
}

// Image files ---------------------------------------------------------------------------

// The system's image layer: POSIX files on Linux, Win32 files on Windows.
const KorvaImageIO &SystemImageIO();
const KorvaImageIO &ImageIOOf(const TUDFRewritableVolume &v);
// Closes the image file if open (flushing first when flush is set).
bool CloseImage(TUDFRewritableVolume &v, bool flush);

// Space allocation ---------------------------------------------------------------------

// First free run at or after hint (first fit, no wrap; from the start when it found none until
// frees waiting in the packet cache were given back), cut at wanted blocks; length 0 when
// none is free. When mark is set the blocks of the run are taken (their bits cleared). Fails
// only when giving back the waiting frees does (their flush's own error).
Status FindFreeRun(TUDFRewritableVolume &v, uint32_t hint, uint32_t wanted, bool mark,
                   uint32_t &first, uint32_t &length);
// Marks count blocks from first as used (used = true) or free. Blocks outside the partition
// are ignored.
// A free waits (in the packet cache) until the write that stopped referring to the blocks
// is durable.
bool MarkRun(TUDFRewritableVolume &v, uint32_t first, uint32_t count, bool used);
// The same at once: for blocks nothing on the medium refers to.
bool MarkRunNow(TUDFRewritableVolume &v, uint32_t first, uint32_t count, bool used);
// Loads the bitmap at mount. A descriptor whose tag is wrong is refused (error 32); one whose
// CRC alone fails is loaded and marked suspect.
Status LoadSpaceBitmap(TUDFRewritableVolume &v);
bool SpaceBitmapSuspect(const TUDFRewritableVolume &v);
// Marks it so: the tree uses blocks it records free.
void MarkSpaceBitmapSuspect(TUDFRewritableVolume &v);
// Writes every packet of the bitmap (dismount, format); error 10 without a bitmap in memory.
Status StoreSpaceBitmap(TUDFRewritableVolume &v);
// Write-ahead of allocations. Taking blocks notes their bitmap packets; before any packet
// goes to the medium those packets are written (once, however many blocks they gained), and
// a packet that shares sectors with the bitmap gets the bitmap's current bytes. packet is the
// caller's copy of the packet at sector (null, with sector UINT32_MAX, to write them now).
void NoteBlocksTaken(TUDFRewritableVolume &v, uint32_t first, uint32_t count);
Status PrepareSpaceBitmapFor(TUDFRewritableVolume &v, uint32_t sector, uint8_t *packet);
// Starts write-ahead bookkeeping for a bitmap just built in memory; released with the bitmap.
void StartBitmapPending(TUDFRewritableVolume &v);
void ReleaseBitmapPending(TUDFRewritableVolume &v);
// Free blocks as the in-memory bitmap counts them.
uint32_t CountFreeBlocks(const TUDFRewritableVolume &v);
void ReleaseSpaceBitmap(TUDFRewritableVolume &v);
// Allocates a bitmap for PartitionLength blocks with blocks [0, used) taken, the rest free;
// error 10 without a partition or the memory for it.
Status BuildFreshSpaceBitmap(TUDFRewritableVolume &v, uint32_t used);
// Bytes the bitmap of a partition of the given length needs.
inline uint32_t BitmapBytesFor(uint32_t partitionLength) {
  return static_cast<uint32_t>((uint64_t(partitionLength) + 7) / 8);
}

// Mount and volume state --------------------------------------------------------------

// Creates the three lists, clears the bitmap and Compatible, sets AnchorSector to 256. What
// the packet cache holds is dropped: a caller with an open volume flushes it first.
void PrepareForMount(TUDFRewritableVolume &v);
// Frees the bitmap and the lists.
void ReleaseMountState(TUDFRewritableVolume &v);
void RefreshMediumInfo(TUDFRewritableVolume &v);
bool CheckMediumFormatted(TUDFRewritableVolume &v);
struct UDF_LogicalVolumeIntegrityDescriptor;
struct IntegrityInfo;
// The one writer of the integrity descriptor at IntegritySector: reads its packet, lets
// `change` edit the descriptor, stores it back with its tag (the bytes after it stay) and
// writes the packet. A read error when the sector holds no valid descriptor.
Status ChangeIntegrity(TUDFRewritableVolume &v,
                       const std::function<void(UDF_LogicalVolumeIntegrityDescriptor &)> &change);
// Builds a new integrity sequence (the descriptor and its terminating descriptor) at sector
// and sector + 1 in the packet buffer, whose packet the caller holds and writes.
void PlaceIntegritySequence(TUDFRewritableVolume &v, uint32_t sector, const IntegrityInfo &info);
// Stores the integrity type (0 open, 1 closed) and rewrites the descriptor's tag.
Status WriteIntegrityType(TUDFRewritableVolume &v, uint32_t type);
// Marks the volume closed; with recountFree the free count stored is the bitmap's.
Status WriteIntegrityClose(TUDFRewritableVolume &v, bool recountFree);
// A CRC of the mounted volume's label and layout: with the recording time of its open mark,
// what tells a mount after a unit attention that the disc holds the volume this record had.
uint32_t VolumeFingerprint(const TUDFRewritableVolume &v);
// The volume is now open on a drive's disc with an integrity descriptor recorded at stamp.
void RememberOpenMark(TUDFRewritableVolume &v, const UDF_TimeStamp &stamp);
// Reads the volume structure. A read that failed gives its number (13, 14); a structure
// that is not this library's volume, or not sound, fails without one (the volume is only
// not compatible), except bitmaps and sparing tables that cannot be honoured (32).
Status ReadMountChain(TUDFRewritableVolume &v);
// Where a drive will be written, its node is held exclusively (pass-through), so that
// neither the kernel nor an automounter mounts the disc meanwhile. Error 36 when another
// user holds it.
Status HoldDriveForWriting(TUDFRewritableVolume &v);
// Sets the drive's write parameters page (05h) from READ TRACK INFORMATION for media
// written in fixed packets (CD-RW, restricted-overwrite DVD-RW): packet writing, fixed
// packets of the track's size, its track and data mode. Success (and WriteParametersSet)
// when set or not needed; error 38 when the drive refuses MODE SENSE or MODE SELECT.
Status SetWriteParameters(TUDFRewritableVolume &v);
// Packet geometry for the device's current medium kind (unchanged for other kinds).
void SetPacketGeometryForMedium(TUDFRewritableVolume &v);

// Physical formatting and blanking -----------------------------------------------------

// FORMAT UNIT for each medium, with the immediate bit (the caller polls). CD-RW: format
// code 1 type 10h (fixed packets of 32, CdRwFormatBlocks), and where the drive refuses it,
// the older format code 7. MRW: type 24h. DVD+RW: type 26h. DVD-RAM: type 00h with the
// block count of the drive's own formattable capacity (discs of 4.7 and 2.6 GB differ).
bool FormatCdRwForFixedPackets(TUDFRewritableVolume &v);
bool FormatMrw(TUDFRewritableVolume &v);
bool FormatDvdPlusRw(TUDFRewritableVolume &v);
bool FormatDvdRamFully(TUDFRewritableVolume &v);
// A DVD+RW or MRW background format that was stopped (status 1 in DiscInfo) goes on: FORMAT
// UNIT with the restart bit, polled. Success when nothing was to restart; a drive that
// refuses fails without a number, the poll with its own (WaitWhileInProgress).
Status RestartBackgroundFormat(TUDFRewritableVolume &v);
// Ends a mount that wrote a DVD+RW: stops its background format and writes the lead-out
// (close functions 0 and 2, immediate, polled); suspends a running MRW background format
// (close function 2). Success when nothing was to stop; failures as for the restart.
Status StopBackgroundFormat(TUDFRewritableVolume &v);
// An MRW disc is written in the defect-managed address space (mode page 03h, or 2Ch on
// older drives); drives keep whatever space another program chose. Error 38 when the drive
// takes neither page.
Status SetMrwAddressSpace(TUDFRewritableVolume &v);

// Waits out a drive that answered a busy "not ready" (long write, format or operation in
// progress, becoming ready) so that sector I/O tries the command again; one per command,
// bounded in total. WaitedOut() is false for any other sense or once the bound has passed.
class BusyWait {
public:
  explicit BusyWait(TUDFRewritableVolume &v) : v_(v) {}
  bool WaitedOut();

private:
  TUDFRewritableVolume &v_;
  uint64_t start_ = 0;
};

// How long a drive may go on answering "not ready, operation in progress" after an
// immediate FORMAT UNIT or BLANK. The longest such operation of the media handled here, a
// full format with certification of a DVD-RAM or a full blank of a 99-minute CD-RW at
// single speed, takes up to about 100 minutes; four hours leave more than twice that.
constexpr uint64_t kLongOperationLimitMs = 4ull * 60 * 60 * 1000;

// The command that asks the drive whether it is still busy.
enum class ReadyPoll { kDiscInformation, kTestUnitReady };

// Waits while the drive reports a busy "not ready" (04/01, 04/04, 04/07, 04/08; fixed or
// descriptor sense data), pausing before each poll through the drive's platform layer. Any
// other sense is a failure, never "finished": a unit attention is error 35, no medium 12,
// anything else a failure without a number (the drive's sense says it). With progress set,
// FormatPercentage follows the drive's progress indication. Error KORVA_E_DRIVE_TIMEOUT once
// kLongOperationLimitMs have passed by the platform layer's clock.
Status WaitWhileInProgress(TUDFRewritableVolume &v, ReadyPoll poll, bool progress);

// The 4-byte big-endian block count of the first formattable capacity descriptor of the
// given format type in the last READ FORMAT CAPACITIES response (DataBuffer); null if none.
const uint8_t *FindFormattableCapacity(TUDFRewritableVolume &v, uint8_t formatType);

// Background work ----------------------------------------------------------------------

// Whether a format or erase is still working on the record (its completion handler may
// run afterwards; that no longer counts). Safe from any thread.
bool BackgroundBusy(TUDFRewritableVolume &v);
// For calls that would touch the medium, the drive or the state a background operation
// rewrites: while one works, sets error 26 and returns true.
bool RefuseWhileBusy(TUDFRewritableVolume &v);
// Whether a format or erase was started on the record and not yet waited for.
bool HasBackgroundState(TUDFRewritableVolume &v);

bool FormatVolumeOperation(TUDFRewritableVolume &v, const std::u16string &label, bool quick);
bool EraseDiscOperation(TUDFRewritableVolume &v, bool quick);
// Checks a label for formatting: at most 15 UTF-16 units and no NUL inside.
bool IsValidLabel(const std::u16string &label);

// Volume layout computed by formatting from the capacity and packet size.
struct VolumeLayout {
  uint32_t MainVDS, ReserveVDS, Integrity, Sparing1, Sparing2, SpareAreaStart;
  uint32_t PartitionStart, PartitionLength, BitmapBlocks, FileSet, RootICB, RootData;
  uint32_t SecondAnchor;
};
// False when the capacity cannot hold an empty volume.
bool ComputeLayout(uint32_t totalSectors, uint32_t packetBlocks, uint32_t anchor,
                   VolumeLayout &out);

} // namespace korva

#endif
