// Runs check and repair over a mutated image held in memory: a small volume with a tree,
// whose writer "crashed" (left open, bitmap stale), patched in its structure sectors and its
// file entry, identifier and extension blocks. Neither may crash or loop; repair may write
// only packets of the partition and the integrity descriptor's packet; and afterwards either
// the volume passes its own check or repair refused with an error.
//
// Input: byte 0 = flags (bit 0: give every patched sector a valid tag again, so that the
// fields behind the tags are reached), then 4-byte patches: which target sector, the offset
// in it (2 bytes), the new byte.
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "korva/check.h"
#include "korva/files.h"
#include "korva/volume.h"
#include "udf/byte_order.h"
#include "udf/tag.h"

namespace {

constexpr uint32_t kSectors = 2048; // 4 MiB

struct Memory {
  std::vector<uint8_t> bytes;
  bool logging = false;
  std::vector<std::pair<uint32_t, uint32_t>> writes; // first sector, count
};

int MemOpen(void *c, const char *, int32_t *h) {
  if (static_cast<Memory *>(c)->bytes.empty()) return ENOENT;
  *h = 1;
  return 0;
}
int MemCreate(void *, const char *, int32_t *h) {
  *h = 1;
  return 0;
}
int MemSize(void *c, int32_t, uint64_t *size) {
  *size = static_cast<Memory *>(c)->bytes.size();
  return 0;
}
int MemReserve(void *c, int32_t, uint64_t size) {
  static_cast<Memory *>(c)->bytes.assign(size, 0);
  return 0;
}
int MemRead(void *c, int32_t, void *b, uint32_t n, uint64_t off) {
  auto &m = static_cast<Memory *>(c)->bytes;
  if (off > m.size() || m.size() - off < n) return EIO;
  std::memcpy(b, m.data() + off, n);
  return 0;
}
int MemWrite(void *c, int32_t, const void *b, uint32_t n, uint64_t off) {
  Memory &m = *static_cast<Memory *>(c);
  if (off > m.bytes.size() || m.bytes.size() - off < n) return EIO;
  std::memcpy(m.bytes.data() + off, b, n);
  if (m.logging) m.writes.emplace_back(uint32_t(off / 2048), (n + 2047) / 2048);
  return 0;
}
int MemNoop(void *, int32_t) {
  return 0;
}
int MemRemove(void *, const char *) {
  return 0;
}

TUDFRewritableVolume *NewRecord(KorvaImageIO &io) {
  auto *v = static_cast<TUDFRewritableVolume *>(std::calloc(1, sizeof(TUDFRewritableVolume)));
  v->ImageIO = &io;
  return v;
}

void FreeRecord(TUDFRewritableVolume *v) {
  UDF_ReleaseVolume(v);
  std::free(v);
}

void Done(void *, void *, int32_t) {}

void WriteFile(TUDFRewritableVolume *v, const char16_t *path, uint32_t size, uint8_t fill) {
  UDF_HANDLE h = UDF_CreateFileW(v, path, UDF_GENERIC_WRITE, UDF_CREATE_ALWAYS, 0);
  if (h == UDF_INVALID_HANDLE) return;
  std::vector<uint8_t> data(size, fill);
  uint32_t n = 0;
  UDF_WriteFile(v, h, data.data(), size, &n);
  UDF_CloseHandle(v, h);
}

struct Template {
  std::vector<uint8_t> image;
  std::vector<uint32_t> targets; // sectors the input patches
  uint32_t partitionStart = 0;
};

// Formats, closes, mounts again, writes a small tree and ends without a dismount.
Template BuildTemplate() {
  Template t;
  Memory m;
  KorvaImageIO io{&m,       MemOpen, MemCreate, MemSize,   MemReserve, MemRead,
                  MemWrite, MemNoop, MemNoop,   MemRemove, MemOpen};
  TUDFRewritableVolume *v = NewRecord(io);
  UDF_MountImage(v, "t", uint16_t(kSectors / 512));
  if (UDF_FormatVolumeW(v, u"FUZZ", 1, Done, nullptr)) UDF_WaitForBackgroundOperation(v);
  UDF_DismountVolume(v);
  UDF_MountImage(v, "t", 0);
  UDF_CreateDirectoryW(v, u"\\", u"A");
  UDF_CreateDirectoryW(v, u"\\A", u"B");
  WriteFile(v, u"\\A\\B\\data", 5000, 0x11);
  for (int i = 0; i < 12; ++i) {
    std::u16string name = u"\\A\\" + std::u16string(60, char16_t(u'a' + i));
    WriteFile(v, name.c_str(), uint32_t(i * 700), uint8_t(i));
  }
  WriteFile(v, u"\\big", 2048 * 40, 0x22);
  t.partitionStart = v->PartitionStart;
  const uint32_t length = v->PartitionLength;
  t.targets = {16,
               256,
               v->MainVDSSector,
               v->MainVDSSector + 1,
               v->MainVDSSector + 2,
               v->IntegritySector,
               v->SparingTableSector1,
               v->SpaceBitmapSector,
               v->FileSetSector};
  FreeRecord(v); // the crash: nothing more reaches the image
  t.image = m.bytes;
  for (uint32_t b = 0; b < length; ++b) {
    const size_t off = size_t(t.partitionStart + b) * 2048;
    if (off + 2048 > t.image.size()) break;
    const uint16_t tag = korva::LoadLE16(&t.image[off]);
    if (tag == 261 || tag == 257 || tag == 258) t.targets.push_back(t.partitionStart + b);
  }
  return t;
}

void Patch(Memory &m, const Template &t, const uint8_t *data, size_t size) {
  const bool retag = size > 0 && (data[0] & 1);
  std::set<uint32_t> patched;
  for (size_t i = 1; i + 4 <= size; i += 4) {
    const uint32_t sector = t.targets[data[i] % t.targets.size()];
    const uint32_t offset = uint32_t(data[i + 1] | (data[i + 2] << 8)) % 2048;
    m.bytes[size_t(sector) * 2048 + offset] = data[i + 3];
    patched.insert(sector);
  }
  if (!retag) return;
  for (uint32_t sector : patched) {
    uint8_t *d = &m.bytes[size_t(sector) * 2048];
    const uint32_t location = sector >= t.partitionStart ? sector - t.partitionStart : sector;
    const uint16_t crcLength = korva::LoadLE16(d + 10);
    if (crcLength <= 2048 - 16) korva::FillTagAt(d, korva::LoadLE16(d), crcLength, location);
  }
}

// Every write of the repair touched a packet of the partition, the integrity packet, or a
// packet of the anchors, descriptor sequences or sparing tables (damaged copies written from
// good ones).
void CheckWrites(const Memory &m, const TUDFRewritableVolume &v) {
  const uint64_t first = v.PartitionStart, end = first + v.PartitionLength;
  const uint32_t p = v.PacketBlocks ? v.PacketBlocks : 16;
  auto packet = [p](uint32_t sector) { return sector - sector % p; };
  const uint32_t n = uint32_t(m.bytes.size() / 2048);
  std::set<uint32_t> volume{packet(v.IntegritySector), packet(256), packet(n - 257),
                            packet(v.MainVDSSector), packet(v.ReserveVDSSector)};
  const uint32_t tableSectors = (56u + 8u * v.SparingEntryCount + 2047u) / 2048u;
  for (uint32_t i = 0; i < tableSectors; ++i) {
    volume.insert(packet(v.SparingTableSector1 + i));
    volume.insert(packet(v.SparingTableSector2 + i));
  }
  for (const auto &[sector, count] : m.writes) {
    const bool inPartition = sector < end && uint64_t(sector) + count > first;
    if (!inPartition && !volume.count(sector)) std::abort();
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const Template t = BuildTemplate();
  if (t.image.empty() || t.targets.empty()) return 0;
  Memory m;
  m.bytes = t.image;
  Patch(m, t, data, size);
  KorvaImageIO io{&m,       MemOpen, MemCreate, MemSize,   MemReserve, MemRead,
                  MemWrite, MemNoop, MemNoop,   MemRemove, MemOpen};
  TUDFRewritableVolume *v = NewRecord(io);
  UDF_MountImage(v, "fuzz", 0);
  const std::vector<uint8_t> before = m.bytes;
  UDF_CheckVolume(v, nullptr, nullptr);
  // The check writes nothing.
  if (!v->Compatible && m.bytes != before) std::abort();
  m.logging = true;
  const KBOOL repaired = UDF_RepairVolume(v, nullptr, nullptr);
  m.logging = false;
  CheckWrites(m, *v);
  if (repaired) {
    if (!v->Compatible) std::abort();
    if (!UDF_CheckVolume(v, nullptr, nullptr)) std::abort();
    // The repaired volume takes a new file.
    WriteFile(v, u"\\after", 3000, 0x33);
  } else if (v->LastError == 0) {
    std::abort();
  }
  UDF_DismountVolume(v);
  FreeRecord(v);
  return 0;
}
