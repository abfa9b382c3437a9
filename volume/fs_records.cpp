#include "volume/fs_records.h"

#include <cstring>

#include "udf/byte_order.h"
#include "udf/common.h"
#include "udf/tag.h"
#include "udf/timestamp.h"

namespace korva {

namespace {
constexpr uint32_t kFECRCLength = 2032;
constexpr uint32_t kAEDCRCLength = 8;
constexpr uint32_t kLVIDCRCLength = 118;
constexpr uint32_t kFEADLength = 1872;
constexpr uint32_t kAEDADLength = 2024;

// Implementation entity: flags 0, our identifier, suffix OS class 6.
void StoreImplementationEntity(uint8_t *p) {
  std::memset(p, 0, 32);
  std::memcpy(p + 1, ImplementationIdentifier, 23);
  p[24] = 6;
}
} // namespace

void StoreAD(uint8_t *slot, ShortADValue ad) {
  StoreLE32(slot, ad.LengthWord);
  StoreLE32(slot + 4, ad.Block);
}

ShortADValue LoadADAt(const uint8_t *slot) {
  return {LoadLE32(slot), LoadLE32(slot + 4)};
}

void StampNow(uint8_t *stamp) {
  UDF_TimeStamp ts{};
  udf_time_to_stamp(&ts, Now_UTC(), 0);
  std::memcpy(stamp, &ts, sizeof ts);
}

uint64_t StampToFileTime(const uint8_t *stamp) {
  UDF_TimeStamp ts;
  std::memcpy(&ts, stamp, sizeof ts);
  FILETIME ft{0, 0};
  if (!UDFtimestampToFILETIME(ts, &ft)) return 0;
  return (uint64_t(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

void MakeFileEntry(uint8_t *s, uint32_t block, const NewFileEntry &e) {
  std::memset(s, 0, kBlockSizeBytes);
  StoreLE16(s + 20, 4); // strategy 4
  StoreLE16(s + 24, 1); // one entry
  s[27] = e.FileType;
  StoreLE16(s + 34, e.ICBFlags);
  StoreLE32(s + 36, 0xFFFFFFFFu);
  StoreLE32(s + 40, 0xFFFFFFFFu);
  StoreLE32(s + 44, e.Permissions);
  StoreLE16(s + 48, 1);
  StoreLE64(s + 56, e.InformationLength);
  StoreLE64(s + 64, e.BlocksRecorded);
  StampNow(s + 72);
  std::memcpy(s + 84, s + 72, 12);
  std::memcpy(s + 96, s + 72, 12);
  StoreLE32(s + 108, 1);
  StoreImplementationEntity(s + 128);
  StoreLE64(s + 160, e.UniqueID);
  StoreLE32(s + 168, 0);
  StoreLE32(s + 172, kFEADLength);
  if (e.FirstAD.Length()) StoreAD(s + 176, e.FirstAD);
  FillTagAt(s, kTagFileEntry, kFECRCLength, block);
}

void UpdateFileEntry(uint8_t *s, uint32_t block, uint64_t informationLength,
                     uint64_t blocksRecorded, int linkDelta, bool touchTimes) {
  StoreLE64(s + 56, informationLength);
  StoreLE64(s + 64, blocksRecorded);
  if (linkDelta) {
    int links = int(LoadLE16(s + 48)) + linkDelta;
    StoreLE16(s + 48, static_cast<uint16_t>(links < 0 ? 0 : links));
  }
  if (touchTimes) {
    StampNow(s + 72);
    std::memcpy(s + 84, s + 72, 12);
  }
  FillTagAt(s, kTagFileEntry, kFECRCLength, block);
}

uint32_t BuildFid(uint8_t *out, uint8_t characteristics, uint32_t icbBlock,
                  std::u16string_view name, uint32_t location) {
  const uint32_t lfi = name.empty() ? 0 : static_cast<uint32_t>(1 + 2 * name.size());
  const uint32_t len = (38 + lfi + 3) & ~3u;
  std::memset(out, 0, len);
  StoreLE16(out + 16, 1);
  out[18] = characteristics;
  out[19] = static_cast<uint8_t>(lfi);
  StoreLE32(out + 20, kBlockSizeBytes);
  StoreLE32(out + 24, icbBlock);
  StoreLE16(out + 28, 0);
  StoreLE16(out + 36, 0);
  if (lfi) {
    uint8_t *p = out + 38;
    *p++ = 16;
    for (char16_t c : name) {
      *p++ = static_cast<uint8_t>(c >> 8);
      *p++ = static_cast<uint8_t>(c);
    }
  }
  FillTagAt(out, kTagFileIdentifier, static_cast<uint16_t>(len - 16), location);
  return len;
}

void MarkFidDeleted(uint8_t *fid, uint32_t length, uint32_t location) {
  fid[18] |= 0x04;
  std::memset(fid + 20, 0, 16);
  FillTagAt(fid, kTagFileIdentifier, static_cast<uint16_t>(length - 16), location);
}

void BuildAllocationExtent(uint8_t *s, uint32_t block) {
  std::memset(s, 0, kBlockSizeBytes);
  StoreLE32(s + 16, 0);
  StoreLE32(s + 20, kAEDADLength);
  FillTagAt(s, kTagAllocationExtent, kAEDCRCLength, block);
}

void RefillListBlockTag(uint8_t *s, uint32_t block, bool isFileEntry) {
  if (isFileEntry)
    FillTagAt(s, kTagFileEntry, kFECRCLength, block);
  else
    FillTagAt(s, kTagAllocationExtent, kAEDCRCLength, block);
}

bool UpdateIntegrity(uint8_t *s, uint32_t location, int64_t freeDelta, int fileDelta, int dirDelta,
                     uint64_t nextUniqueID, IntegrityCounts &out) {
  if (!IsTagValid(kTagIntegrity, s, kBlockSizeBytes, location)) return false;
  StampNow(s + 16);
  StoreLE64(s + 40, nextUniqueID);
  int64_t freeBlocks = int64_t(LoadLE32(s + 80)) + freeDelta;
  if (freeBlocks < 0) freeBlocks = 0;
  StoreLE32(s + 80, static_cast<uint32_t>(freeBlocks));
  int64_t files = int64_t(LoadLE32(s + 120)) + fileDelta;
  int64_t dirs = int64_t(LoadLE32(s + 124)) + dirDelta;
  StoreLE32(s + 120, static_cast<uint32_t>(files < 0 ? 0 : files));
  StoreLE32(s + 124, static_cast<uint32_t>(dirs < 0 ? 0 : dirs));
  FillTagAt(s, kTagIntegrity, kLVIDCRCLength, location);
  out.FreeBlocks = LoadLE32(s + 80);
  out.Files = LoadLE32(s + 120);
  out.Dirs = LoadLE32(s + 124);
  return true;
}

} // namespace korva
