// Runs the mount chain over an in-memory image: a small volume formatted once, whose
// structure sectors the input overwrites. Mount must never crash, read outside the image or
// allocate more than the partition needs, whatever the sectors say.
//
// Input: byte 0 = flags (bit 0: give every patched sector a valid tag again, so that the
// fields behind the tags are reached), then 2048-byte chunks that replace, in order, the
// sectors listed in kTargets (a short last chunk replaces the start of its sector).
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "korva/volume.h"
#include "udf/byte_order.h"
#include "udf/tag.h"
#include "volume/engine.h"

namespace {

constexpr uint32_t kSectors = 2048; // 4 MiB: the smallest size that holds a volume, nearly
constexpr uint32_t kTargets[] = {16,  17,  18,  256,  272,  273,  274,  275,  276, 277,
                                 304, 305, 320, 1344, 1408, 1409, 1410, 1411, 1412};

struct Memory {
  std::vector<uint8_t> bytes;
};

int MemOpen(void *, const char *, int32_t *h) {
  *h = 1;
  return 0;
}
int MemCreate(void *, const char *, int32_t *) {
  return EEXIST;
}
int MemSize(void *c, int32_t, uint64_t *size) {
  *size = static_cast<Memory *>(c)->bytes.size();
  return 0;
}
int MemReserve(void *, int32_t, uint64_t) {
  return ENOSPC;
}
int MemRead(void *c, int32_t, void *b, uint32_t n, uint64_t off) {
  auto &m = static_cast<Memory *>(c)->bytes;
  if (off > m.size() || m.size() - off < n) return EIO;
  std::memcpy(b, m.data() + off, n);
  return 0;
}
int MemWrite(void *c, int32_t, const void *b, uint32_t n, uint64_t off) {
  auto &m = static_cast<Memory *>(c)->bytes;
  if (off > m.size() || m.size() - off < n) return EIO;
  std::memcpy(m.data() + off, b, n);
  return 0;
}
int MemNoop(void *, int32_t) {
  return 0;
}
int MemRemove(void *, const char *) {
  return 0;
}

TUDFRewritableVolume *NewRecord() {
  return static_cast<TUDFRewritableVolume *>(std::calloc(1, sizeof(TUDFRewritableVolume)));
}

// The formatted template, made once through the engine itself.
const std::vector<uint8_t> &Template() {
  static const std::vector<uint8_t> image = [] {
    Memory m;
    m.bytes.assign(size_t(kSectors) * 2048, 0);
    KorvaImageIO io{&m,       MemOpen, MemCreate, MemSize,   MemReserve, MemRead,
                    MemWrite, MemNoop, MemNoop,   MemRemove, MemOpen};
    TUDFRewritableVolume *v = NewRecord();
    v->ImageIO = &io;
    UDF_MountImage(v, "template", 0);
    korva::FormatVolumeOperation(*v, u"FUZZ", false);
    UDF_DismountVolume(v);
    UDF_ReleaseVolume(v);
    std::free(v);
    return m.bytes;
  }();
  return image;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  Memory m;
  m.bytes = Template();
  const bool retag = size > 0 && (data[0] & 1);
  size_t pos = size > 0 ? 1 : 0;
  for (uint32_t sector : kTargets) {
    if (pos >= size) break;
    const size_t n = size - pos < 2048 ? size - pos : 2048;
    uint8_t *dst = m.bytes.data() + size_t(sector) * 2048;
    std::memcpy(dst, data + pos, n);
    pos += n;
    if (retag) {
      // Keep the identifier and CRC length the input chose; point the tag at this sector,
      // or at its block when it lies inside the partition.
      const uint32_t location = sector >= 1408 ? sector - 1408 : sector;
      const uint16_t id = korva::LoadLE16(dst);
      const uint16_t crcLength = korva::LoadLE16(dst + 10);
      if (crcLength <= 2048 - 16) korva::FillTagAt(dst, id, crcLength, location);
    }
  }
  KorvaImageIO io{&m,       MemOpen, MemCreate, MemSize,   MemReserve, MemRead,
                  MemWrite, MemNoop, MemNoop,   MemRemove, MemOpen};
  TUDFRewritableVolume *v = NewRecord();
  v->ImageIO = &io;
  UDF_MountImage(v, "fuzz", 0);
  if (v->Compatible) {
    // A volume that passed every check is usable: its numbers are consistent.
    if (v->PartitionStart + uint64_t(v->PartitionLength) > kSectors) std::abort();
    if (v->SpaceBitmapBytes != (uint64_t(v->PartitionLength) + 7) / 8) std::abort();
    UDF_GetFreeBlocksOfLogicalVolume(v);
  }
  UDF_DismountVolume(v);
  UDF_ReleaseVolume(v);
  std::free(v);
  return 0;
}
