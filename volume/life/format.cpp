// Formatting: physical formatting of drive media with progress, the volume layout computed
// from the capacity, every descriptor of an empty volume, and the in-memory space bitmap.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "device/device_internal.h"
#include "device/platform.h"
#include "korva/scsi.hpp"
#include "udf/byte_order.h"
#include "udf/common.h"
#include "udf/descriptors.h"
#include "udf/tag.h"
#include "udf/timestamp.h"
#include "udf/narrow.h"
#include "volume/life/background.h"
#include "volume/engine.h"
#include "volume/medium/geometry.h"
#include "volume/medium/packet_cache.h"
#include "volume/medium/partition_map.h"
#include "volume/medium/sparing.h"
#include "volume/fs/fs_state.h"

namespace korva {
namespace {

constexpr uint32_t kSparingEntries = 1;
constexpr uint32_t kSpareArea = 32; // sectors per spare packet

uint32_t PollDelay(const TUDFRewritableVolume &v) {
  return v.RetryDelayMs && v.RetryDelayMs < 500 ? v.RetryDelayMs : 500;
}

void SetPercentage(TUDFRewritableVolume &v, uint8_t value) {
  __atomic_store_n(&v.FormatPercentage, value, __ATOMIC_RELAXED);
}

Status PhysicalFormat(TUDFRewritableVolume &v) {
  TSCSIDevice *d = &v.Device;
  bool sent = false;
  bool ok = true;
  switch (d->Medium) {
  case mtCDRW:
    GetFormatCapacity(d);
    if (v.PreferMRWFormat && v.MRWWriteSupported) {
      if (const uint8_t *count = FindFormattableCapacity(v, 0x24)) v.TotalSectors = LoadBE32(count);
      ok = FormatMrw(v);
    } else {
      if (const uint8_t *count = FindFormattableCapacity(v, 0x10)) {
        std::memcpy(v.CdRwFormatBlocks, count, 4);
        v.TotalSectors = LoadBE32(count);
      }
      // The write parameters are set from the new track once it exists.
      ok = FormatCdRwForFixedPackets(v);
    }
    sent = true;
    break;
  case mtDVDPLUSRW:
    GetFormatCapacity(d);
    if (const uint8_t *count = FindFormattableCapacity(v, 0x26)) v.TotalSectors = LoadBE32(count);
    ok = FormatDvdPlusRw(v);
    sent = true;
    break;
  case mtDVDRWRO:
  case mtDVDRWSR: {
    uint8_t list[12] = {0x00, 0x82, 0x00, 0x08, 0, 0, 0, 0, 0x40, 0x00, 0x00, 0x10};
    std::memcpy(list + 4, v.DvdRwFormatBlocks, 4);
    ok = FormatUnit(d, 0x11, list, sizeof(list));
    sent = true;
    break;
  }
  default:
    break;
  }
  if (!ok) return Status::Unnumbered();
  return sent ? WaitWhileInProgress(v, ReadyPoll::kDiscInformation, true) : Status::Ok();
}

// Clears PacketBuffer, lets fill() place descriptors into it, and writes the packet.
template <class Fill> Status WriteFreshPacket(TUDFRewritableVolume &v, uint32_t start, Fill fill) {
  std::memset(v.PacketBuffer, 0, v.PacketBlocks * kSectorSize);
  fill();
  return WritePacket(v, start);
}

// Reads the packet that holds sector, lets fill() change it, and writes it back.
template <class Fill> Status UpdatePacket(TUDFRewritableVolume &v, uint32_t sector, Fill fill) {
  const uint32_t start = PacketStartOf(v, sector);
  if (Status s = ReadPacket(v, start); !s.IsOk()) return s;
  fill();
  return WritePacket(v, start);
}

// The recognition sequence and the anchors.
Status WriteAnchors(TUDFRewritableVolume &v, const VolumeLayout &l) {
  const uint32_t p = v.PacketBlocks;
  const uint32_t a = v.AnchorSector;
  // Recognition sequence: sectors 16-18 lie in one packet for either packet size.
  Status s = WriteFreshPacket(
      v, 16 / p * p, [&] { BuildVolumeRecognitionSequence(SlotOf(v, 16), 3 * kSectorSize); });
  if (!s.IsOk()) return s;
  s = WriteFreshPacket(v, PacketStartOf(v, a), [&] {
    BuildAnchor(SlotOf(v, a), kSectorSize, a, l.MainVDS, l.ReserveVDS);
  });
  if (!s.IsOk()) return s;
  // Drives take writes anywhere on a DVD+RW or MRW disc while its background format runs
  // (they format what is written first), so the second anchor is written now.
  const uint32_t second = v.TotalSectors - 257;
  return WriteFreshPacket(v, PacketStartOf(v, second), [&] {
    BuildAnchor(SlotOf(v, second), kSectorSize, second, l.MainVDS, l.ReserveVDS);
  });
}

// The main and reserve volume descriptor sequences.
Status WriteDescriptorSequences(TUDFRewritableVolume &v, const UDF_Label &label,
                                const UDF_TimeStamp &stamp, int64_t now, const VolumeLayout &l) {
  constexpr size_t kSlot = kSectorSize;
  LogicalVolumeLayout lv{};
  lv.FileSetBlock = l.FileSet - l.PartitionStart;
  lv.IntegritySector = l.Integrity;
  lv.SparingTableSector1 = l.Sparing1;
  lv.SparingTableSector2 = l.Sparing2;
  lv.SparingEntries = kSparingEntries;
  for (uint32_t seq : {l.MainVDS, l.ReserveVDS}) {
    Status s = WriteFreshPacket(v, seq, [&] {
          BuildPrimaryVolumeDescriptor(SlotOf(v, seq), kSlot, seq, label, stamp, now);
          BuildLogicalVolumeDescriptor(SlotOf(v, seq + 1), kSlot, seq + 1, label, lv);
          BuildPartitionDescriptor(SlotOf(v, seq + 2), kSlot, seq + 2, l.PartitionStart,
                                   l.PartitionLength, l.BitmapBlocks);
          BuildUnallocatedSpaceDescriptor(SlotOf(v, seq + 3), kSlot, seq + 3);
          BuildImplementationUseVolumeDescriptor(SlotOf(v, seq + 4), kSlot, seq + 4, label);
          BuildTerminatingDescriptor(SlotOf(v, seq + 5), kSlot, seq + 5);
        });
    if (!s.IsOk()) return s;
  }
  return Status::Ok();
}

// The integrity sequence of an empty volume, open while mounted, and the two sparing tables.
Status WriteIntegrityAndSparing(TUDFRewritableVolume &v, const UDF_TimeStamp &stamp,
                                uint32_t used, const VolumeLayout &l) {
  IntegrityInfo integrity{};
  integrity.Recorded = stamp;
  integrity.IntegrityType = itOpen;
  integrity.NextUniqueID = v.NextUniqueID;
  integrity.FreeBlocks = l.PartitionLength - used;
  integrity.PartitionLength = l.PartitionLength;
  integrity.Files = 0;
  integrity.Directories = 1;
  Status s =
      WriteFreshPacket(v, l.Integrity, [&] { PlaceIntegritySequence(v, l.Integrity, integrity); });
  if (!s.IsOk()) return s;
  v.FreeBlocks = integrity.FreeBlocks;
  v.FileCount = 0;
  v.DirCount = 1;
  for (uint32_t table : {l.Sparing1, l.Sparing2}) {
    s = WriteFreshPacket(v, table, [&] {
      BuildSparingTable(SlotOf(v, table), kSectorSize, table, l.SpareAreaStart,
                        static_cast<uint16_t>(kSparingEntries));
    });
    if (!s.IsOk()) return s;
  }
  return Status::Ok();
}

// The file set descriptor, the root's file entry and the root's parent entry.
Status WriteFileSet(TUDFRewritableVolume &v, const UDF_Label &label, const UDF_TimeStamp &stamp,
                    const VolumeLayout &l) {
  constexpr size_t kSlot = kSectorSize;
  const uint32_t fsdBlock = l.FileSet - l.PartitionStart;
  const uint32_t rootBlock = l.RootICB - l.PartitionStart;
  const uint32_t dataBlock = l.RootData - l.PartitionStart;
  Status s = UpdatePacket(v, l.FileSet, [&] {
    BuildFileSetDescriptor(SlotOf(v, l.FileSet), kSlot, fsdBlock, label, stamp, rootBlock);
  });
  if (!s.IsOk()) return s;
  s = UpdatePacket(v, l.RootICB, [&] {
    const FileEntryInfo root = NewDirectoryEntryInfo(stamp, 0, dataBlock, 40);
    BuildFileEntry(SlotOf(v, l.RootICB), kSlot, rootBlock, root);
  });
  if (!s.IsOk()) return s;
  return UpdatePacket(v, l.RootData, [&] {
    uint8_t *sector = SlotOf(v, l.RootData);
    std::memset(sector, 0, kSlot);
    BuildFileIdentifierDescriptor(sector, kSlot, dataBlock, kFileDirectory | kFileParent, rootBlock,
                                  nullptr, 0);
  });
}

Status WriteVolume(TUDFRewritableVolume &v, const std::u16string &labelText,
                   const VolumeLayout &l) {
  UDF_Label label;
  if (!MakeLabel(labelText, label)) return KORVA_E_INVALID_NAME;
  if (Status s = WriteAnchors(v, l); !s.IsOk()) return s;
  std::memset(v.VolumeLabel, 0, sizeof(v.VolumeLabel));
  std::memcpy(v.VolumeLabel, labelText.data(), labelText.size() * sizeof(char16_t));
  const int64_t now = Now_UTC();
  UDF_TimeStamp stamp;
  udf_time_to_stamp(&stamp, now, 0);
  const uint32_t used = l.BitmapBlocks + 3;
  if (Status s = WriteDescriptorSequences(v, label, stamp, now, l); !s.IsOk()) return s;
  if (Status s = WriteIntegrityAndSparing(v, stamp, used, l); !s.IsOk()) return s;
  // The bitmap is on the medium from the start: a volume whose writer never dismounts keeps
  // a bitmap that other systems can trust.
  if (Status s = BuildFreshSpaceBitmap(v, used); !s.IsOk()) return s;
  if (Status s = StoreSpaceBitmap(v); !s.IsOk()) return s;
  if (Status s = WriteFileSet(v, label, stamp, l); !s.IsOk()) return s;
  RememberOpenMark(v, stamp);
  return Status::Ok();
}

} // namespace

namespace {
Status FailedWhileInProgress(const SenseFields &sense) {
  if (sense.key == 0x06) return KORVA_E_MEDIUM_CHANGED;
  if (sense.key == 0x02 && sense.asc == 0x3A) return KORVA_E_NO_MEDIA;
  return Status::Unnumbered();
}
} // namespace

Status WaitWhileInProgress(TUDFRewritableVolume &v, ReadyPoll poll, bool progress) {
  TSCSIDevice *d = &v.Device;
  DevicePlatform &platform = PlatformOf(d);
  const uint64_t start = platform.MonotonicMs();
  for (;;) {
    platform.SleepMs(PollDelay(v));
    const bool answered = poll == ReadyPoll::kDiscInformation
                              ? ReadDiscInformation(d, &d->DiscInfo, 42)
                              : TestUnitReady(d);
    if (answered) return Status::Ok();
    const SenseFields sense = LastSenseFields(d);
    // Only "in progress" means the work goes on; no medium, a medium change or a fault
    // means it did not end well.
    if (!IsBusyNotReady(sense)) return FailedWhileInProgress(sense);
    if (progress && sense.has_progress)
      SetPercentage(v, static_cast<uint8_t>(std::lround(sense.progress / 65536.0 * 100.0)));
    if (platform.MonotonicMs() - start >= kLongOperationLimitMs) return KORVA_E_DRIVE_TIMEOUT;
  }
}

const uint8_t *FindFormattableCapacity(TUDFRewritableVolume &v, uint8_t formatType) {
  const uint8_t *r = v.Device.DataBuffer;
  // Header (4 bytes; byte 3 = list length), the current capacity descriptor (8 bytes), then
  // the formattable descriptors; the list length and the 248-byte response bound them.
  const uint32_t end = std::min<uint32_t>(4u + r[3], 248u);
  for (uint32_t off = 12; off + 8 <= end; off += 8) {
    if ((r[off + 4] >> 2) == formatType) return r + off;
  }
  return nullptr;
}

bool IsValidLabel(const std::u16string &label) {
  if (label.size() > 15) return false;
  for (char16_t c : label)
    if (c == 0) return false;
  return true;
}

bool ComputeLayout(uint32_t totalSectors, uint32_t packetBlocks, uint32_t anchor,
                   VolumeLayout &out) {
  const int64_t p = packetBlocks;
  const int64_t a = anchor;
  const int64_t s = (8 * kSparingEntries + 56 + kSectorSize - 1) / kSectorSize;
  if (p == 0) return false;
  VolumeLayout l{};
  l.MainVDS = static_cast<uint32_t>(a + p);
  l.ReserveVDS = static_cast<uint32_t>(a + 2 * p);
  l.Integrity = static_cast<uint32_t>(a + 3 * p);
  l.Sparing1 = static_cast<uint32_t>(a + 4 * p);
  int64_t sparing2 = (l.Sparing1 + s + p - 1) / p * p;
  if (sparing2 - l.Sparing1 < 1024) sparing2 = l.Sparing1 + 1024;
  l.Sparing2 = static_cast<uint32_t>(sparing2);
  const int64_t x = sparing2 + s;
  const int64_t spare = x / p * p + (x % 32 ? 32 : 0);
  l.SpareAreaStart = static_cast<uint32_t>(spare);
  const int64_t partitionStart = spare + int64_t(kSpareArea) * kSparingEntries;
  const int64_t n = totalSectors;
  const int64_t partitionLength = (n - 257) / 32 * 32 - partitionStart;
  const int64_t bitmapBlocks = ((partitionLength + 7) / 8 + 24 + 2047) / 2048;
  // The empty volume needs the bitmap, the file set, the root entry and its data.
  if (n < 257 || partitionLength <= bitmapBlocks + 3) return false;
  l.PartitionStart = static_cast<uint32_t>(partitionStart);
  l.PartitionLength = static_cast<uint32_t>(partitionLength);
  l.BitmapBlocks = static_cast<uint32_t>(bitmapBlocks);
  l.FileSet = l.PartitionStart + l.BitmapBlocks;
  l.RootICB = l.FileSet + 1;
  l.RootData = l.FileSet + 2;
  l.SecondAnchor = static_cast<uint32_t>(n - 257);
  out = l;
  return true;
}

namespace {

// The geometry a new volume of layout l records, as a mount of it would read it back.
VolumeGeometry GeometryOf(const VolumeLayout &l) {
  return {.MainVDS = l.MainVDS,
          .ReserveVDS = l.ReserveVDS,
          .PartitionStart = l.PartitionStart,
          .PartitionLength = l.PartitionLength,
          .BitmapBlocks = l.BitmapBlocks,
          .FileSetBlock = l.FileSet - l.PartitionStart,
          .IntegritySector = l.Integrity,
          .SparingTable1 = l.Sparing1,
          .SparingTable2 = l.Sparing2};
}

} // namespace

namespace {

// A disc's own steps before the volume is written: the physical format unless quick, and
// the write parameters of the track it made.
Status PrepareDisc(TUDFRewritableVolume &v, bool quick) {
  // The disc the mount looked at may have been swapped since: nothing is formatted then.
  if (MediumChangedSinceMount(v)) {
    EnterFailed(v, false);
    return KORVA_E_MEDIUM_CHANGED;
  }
  if (!quick)
    if (Status s = PhysicalFormat(v); !s.IsOk()) return s;
  WatchMediumFromNow(v);
  // A new format makes a new track; the drive is told about it before the first write.
  if (!quick) RefreshMediumInfo(v);
  if (!quick || !v.WriteParametersSet) return SetWriteParameters(v);
  return Status::Ok();
}

// Lays the new volume out from the capacity and installs its geometry, with nothing of an
// earlier mount left that could reach the new layout.
Status InstallLayout(TUDFRewritableVolume &v, VolumeLayout &l) {
  v.PacketBlocks = static_cast<uint8_t>(PacketBlocksOf(v));
  v.PacketBytes = v.PacketBlocks * kSectorSize;
  if (v.AnchorSector == 0) v.AnchorSector = 256;
  if (!ComputeLayout(v.TotalSectors, v.PacketBlocks, v.AnchorSector, l)) return KORVA_E_CAPACITY;
  InstallGeometry(v, GeometryOf(l));
  v.SpareAreaStart = l.SpareAreaStart;
  v.SparingEntryCount = kSparingEntries;
  v.RootICBSector = l.RootICB;
  v.NextUniqueID = 16;
  // Write-ahead of an earlier mount's bitmap must not reach the new layout, nor its
  // relocations (the new sparing tables relocate nothing).
  ReleaseSpaceBitmap(v);
  ReleaseSparingMap(v);
  ReleasePartitionMap(v);
  ReleasePacketCache(v);
  CreateFileSystemState(v);
  return Status::Ok();
}

Status FormatMedium(TUDFRewritableVolume &v, const std::u16string &label, bool quick) {
  if (!v.ImageMode)
    if (Status s = PrepareDisc(v, quick); !s.IsOk()) return s;
  SetPercentage(v, 100);
  VolumeLayout l;
  if (Status s = InstallLayout(v, l); !s.IsOk()) return s;
  EnterRewriting(v);
  // A format that reports success is durable.
  if (Status s = WriteVolume(v, label, l); !s.IsOk()) return s;
  if (Status s = FlushVolume(v); !s.IsOk()) return s;
  EnterUsable(v);
  v.LeftOpen = 0;
  return Status::Ok();
}

} // namespace

bool FormatVolumeOperation(TUDFRewritableVolume &v, const std::u16string &label, bool quick) {
  v.LastError = 0;
  v.WrittenInOperation = 0;
  // The thread's caller reads the result from LastError after the completion event.
  return Report(v, FormatMedium(v, label, quick)) != KFALSE;
}

namespace {

// Whether a format may start: a volume mounted (17) and writable (27), a storable label
// (22), a quick format only of a formatted disc (21), and where the capacity is already
// final, a volume that can be laid out here and now (24) rather than a failure on the thread.
Status CheckFormattable(TUDFRewritableVolume &v, const std::u16string &label, bool quick) {
  if (!v.VolumeOpen) return KORVA_E_NOT_MOUNTED;
  if (Status s = CheckWritable(v); !s.IsOk()) return s;
  if (!IsValidLabel(label)) return KORVA_E_INVALID_NAME;
  if (!v.ImageMode && quick && !v.MediumFormatted) return KORVA_E_NOT_FORMATTED;
  VolumeLayout l;
  const uint32_t p = PacketBlocksOf(v);
  if ((v.ImageMode || quick) &&
      !ComputeLayout(v.TotalSectors, p, v.AnchorSector ? v.AnchorSector : 256, l))
    return KORVA_E_CAPACITY;
  return Status::Ok();
}

} // namespace

} // namespace korva

using namespace korva;

extern "C" {

KORVA_API int32_t UDF_FormatVolumeW(TUDFRewritableVolume *volume, const KWCHAR *label,
                                    int32_t quick_format, TFormatDoneEvent on_done, void *context) {
  if (!volume) return 0;
  TUDFRewritableVolume &v = *volume;
  if (RefuseWhileBusy(v)) return 0;
  std::u16string text;
  if (label) {
    size_t n = 0;
    while (label[n] && n <= 15)
      ++n;
    text.assign(label, n);
  }
  if (!Report(v, CheckFormattable(v, text, quick_format != 0))) return 0;
  // From the start on, LastError is the thread's: it reports the format's result there.
  auto *thread = new (std::nothrow) TUDFThread(v, toFormatVolume);
  if (!thread) return 0;
  thread->Label = text;
  thread->QuickFormat = quick_format != 0;
  thread->FormatHandler = on_done;
  thread->Context = context;
  return StartBackgroundOperation(v, thread) ? -1 : 0;
}

KORVA_API int32_t UDF_FormatVolume(TUDFRewritableVolume *volume, const char *label,
                                   int32_t quick_format, TFormatDoneEvent on_done, void *context) {
  if (!volume || RefuseWhileBusy(*volume)) return 0;
  std::u16string wide;
  if (label && !NarrowToUtf16(label, std::strlen(label), wide)) {
    SetError(*volume, KORVA_E_INVALID_NAME);
    return 0;
  }
  return UDF_FormatVolumeW(volume, wide.c_str(), quick_format, on_done, context);
}

KORVA_API uint8_t UDF_GetPhysicalFormattingPercentage(TUDFRewritableVolume *volume) {
  if (!volume) return 0;
  // Only reads: it is polled from other threads while a format starts and runs, and the
  // format's thread owns LastError (clearing it here would race with, and could wipe, the
  // error the format reports).
  return std::atomic_ref<uint8_t>(volume->FormatPercentage).load(std::memory_order_relaxed);
}

} // extern "C"
