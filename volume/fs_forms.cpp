// Entries that other writers recorded in forms this engine does not change in place: data or
// directory entries embedded in the file entry, and long allocation descriptors. Before a
// change such an entry is rewritten in the form the engine writes (short descriptors), which
// every reader takes; what it records stays the same.
#include <algorithm>
#include <cstring>
#include <vector>

#include "udf/byte_order.h"
#include "udf/descriptors.h"
#include "udf/tag.h"
#include "volume/engine.h"
#include "volume/fs_internal.h"
#include "volume/fs_records.h"

namespace korva {

namespace {

// Directory data moved into `block`: each identifier's tag records where it now starts.
void RelocateFids(uint8_t *data, uint32_t length, uint32_t block) {
  for (uint32_t off = 0; off < length;) {
    const uint32_t len = PeekFileIdentifierLength(data + off, length - off);
    if (len == 0 || len > length - off || LoadLE16(data + off) != kTagFileIdentifier) return;
    FillTagAt(data + off, kTagFileIdentifier, LoadLE16(data + off + 10), block);
    off += len;
  }
}

// Moves embedded data into a block of its own; the descriptor for it goes to `ads`.
bool MoveEmbeddedData(TUDFRewritableVolume &v, uint32_t feBlock, const uint8_t *fe,
                      const EntryFields &info, const DescriptorList &list,
                      std::vector<ShortADValue> &ads) {
  const uint32_t n =
      static_cast<uint32_t>(std::min<uint64_t>(info.InformationLength, list.EmbeddedLength));
  if (n == 0) return true;
  uint32_t block = 0;
  if (v.FreeBlocks < 1 || !TakeBlock(v, feBlock + 1, block)) {
    v.LastError = KORVA_E_NO_SPACE;
    return false;
  }
  uint8_t data[kBlockSize] = {};
  std::memcpy(data, fe + list.EmbeddedOffset, n);
  if (info.FileType == kFileTypeDirectory) RelocateFids(data, n, block);
  if (!WriteBlock(v, block, data)) return false;
  ads.push_back({n, block});
  return true;
}

} // namespace

bool MakeShortForm(TUDFRewritableVolume &v, uint32_t feBlock) {
  uint8_t fe[kBlockSize];
  if (!ReadBlock(v, feBlock, fe)) return false;
  EntryFields info;
  DescriptorList list;
  if (!ReadEntryFields(fe, feBlock, info)) {
    FailRead(v);
    return false;
  }
  if (!ReadDescriptorList(ReaderOf(v), v.PartitionLength, feBlock, fe, list)) return false;
  if (list.Form == kDescriptorsShort) return true;
  const std::optional<DescriptorArea> area = DescriptorAreaOf(fe, kBlockSize);
  if (list.Corrupt || !area) {
    FailRead(v);
    return false;
  }
  std::vector<ShortADValue> ads;
  if (list.Embedded()) {
    if (!MoveEmbeddedData(v, feBlock, fe, info, list, ads)) return false;
  } else {
    // Long descriptors continued in extension blocks would have to be rewritten there too.
    if (!list.Extensions.empty()) {
      v.LastError = KORVA_E_UNSUPPORTED;
      return false;
    }
    for (const ADSlot &s : list.Extents)
      ads.push_back(s.AD);
  }
  std::memset(fe + area->First, 0, kBlockSize - area->First);
  for (size_t i = 0; i < ads.size(); ++i)
    StoreAD(fe + area->First + 8 * i, ads[i]);
  StoreLE32(fe + area->LengthField, static_cast<uint32_t>(8 * ads.size()));
  StoreLE16(fe + 34, static_cast<uint16_t>(info.ICBFlags & ~kICBFlagDescriptorMask));
  const uint64_t taken = list.Embedded() ? ads.size() : 0;
  UpdateFileEntry(fe, feBlock, info.InformationLength, info.BlocksRecorded + taken, 0, false);
  if (!WriteBlock(v, feBlock, fe)) return false;
  return taken == 0 || CommitIntegrity(v, -int64_t(taken), 0, 0);
}

bool WriteDirectoryBytes(TUDFRewritableVolume &v, DirectoryStream &dir, uint64_t offset,
                         const uint8_t *bytes, uint32_t length) {
  for (uint32_t done = 0; done < length;) {
    DirectoryStream::Place p;
    if (!dir.Locate(offset + done, p)) {
      FailRead(v);
      return false;
    }
    uint8_t sector[kBlockSize];
    if (!ReadBlock(v, p.Block, sector)) return false;
    const uint32_t chunk = std::min<uint32_t>(length - done, kBlockSize - p.Offset);
    std::memcpy(sector + p.Offset, bytes + done, chunk);
    // Entries embedded in the directory's file entry change that entry: its tag follows.
    if (dir.List().Embedded()) RefillEntryTag(sector, p.Block);
    if (!WriteBlock(v, p.Block, sector)) return false;
    done += chunk;
  }
  return true;
}

} // namespace korva
