#include "tests/hardening/damage.h"

#include "udf/byte_order.h"
#include "udf/tag.h"
#include "volume/engine.h"
#include "volume/fs/fs_internal.h"
#include "volume/fs/fs_records.h"

namespace korva::test {

bool EditBlock(TUDFRewritableVolume &v, uint32_t block,
               const std::function<void(uint8_t *)> &edit) {
  uint8_t sector[kBlockSize];
  if (!ReadBlock(v, block, sector)) return false;
  edit(sector);
  return WriteBlock(v, block, sector);
}

FidAt FindFid(TUDFRewritableVolume &v, const std::u16string &path) {
  FidAt at;
  DirectoryInformation di;
  di.DirICB = RootBlock(v);
  bool found = false;
  if (!LocatePath(v, path, di, found, {.LastMatch = NameMatch::Exact}).IsOk() || !found) return at;
  DirectoryStream dir(ReaderOf(v), v.PartitionLength);
  DirectoryStream::Place place;
  if (dir.Open(di.DirICB) != DirectoryStream::Ok || !dir.Locate(di.DirOffset, place)) return at;
  if (place.Offset + di.FIDLength > kBlockSize) return at;
  at.Ok = true;
  at.Block = place.Block;
  at.Offset = place.Offset;
  at.Length = di.FIDLength;
  at.DirBlock = di.DirICB;
  return at;
}

bool EditFid(TUDFRewritableVolume &v, const std::u16string &path,
             const std::function<void(uint8_t *fid)> &edit) {
  const FidAt at = FindFid(v, path);
  if (!at.Ok) return false;
  return EditBlock(v, at.Block, [&](uint8_t *b) {
    uint8_t *fid = b + at.Offset;
    edit(fid);
    FillTagAt(fid, kTagFileIdentifier, uint16_t(at.Length - 16), at.Block);
  });
}

bool RenameOnMedium(TUDFRewritableVolume &v, const std::u16string &path,
                    const std::u16string &name) {
  return EditFid(v, path, [&](uint8_t *fid) {
    uint8_t *id = fid + 38 + LoadLE16(fid + 36);
    if (id[0] != 16 || fid[19] != 1 + 2 * name.size()) return;
    for (size_t i = 0; i < name.size(); ++i) {
      id[1 + 2 * i] = uint8_t(name[i] >> 8);
      id[2 + 2 * i] = uint8_t(name[i]);
    }
  });
}

bool EditFileEntry(TUDFRewritableVolume &v, uint32_t block,
                   const std::function<void(uint8_t *fe)> &edit) {
  return EditBlock(v, block, [&](uint8_t *fe) {
    edit(fe);
    RefillListBlockTag(fe, block, true);
  });
}

} // namespace korva::test
