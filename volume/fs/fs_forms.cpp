// Entries that other writers recorded in forms this engine does not change in place: data or
// directory entries embedded in the file entry, and directories with long allocation
// descriptors. Before a change such an entry is rewritten in the form the engine writes
// (short descriptors), which every reader takes; what it records stays the same.
#include <algorithm>
#include <cstring>
#include <vector>

#include "udf/byte_order.h"
#include "udf/descriptors.h"
#include "udf/entry_record.h"
#include "udf/tag.h"
#include "volume/engine.h"
#include "volume/fs/fs_claims.h"
#include "volume/fs/fs_internal.h"
#include "volume/fs/fs_records.h"
#include "volume/medium/partition_map.h"

namespace korva {

namespace {

// Directory data moved into `block`: each identifier's tag records where it now starts.
void RelocateFids(uint8_t *data, uint32_t length, uint32_t block) {
  for (uint32_t off = 0; off < length;) {
    const uint32_t len = PeekFileIdentifierLength(data + off, length - off);
    UDF_Tag tag;
    if (len == 0 || len > length - off) return;
    std::memcpy(&tag, data + off, sizeof tag);
    if (tag.TagIdentifier != kTagFileIdentifier) return;
    FillTagAt(data + off, kTagFileIdentifier, tag.DescriptorCRCLength, block);
    off += len;
  }
}

// Moves embedded data into a block of its own; the descriptor for it goes to `ads`.
Status MoveEmbeddedData(TUDFRewritableVolume &v, uint32_t feBlock, const uint8_t *fe,
                        const EntryFields &info, const DescriptorList &list,
                        std::vector<ShortADValue> &ads) {
  const uint32_t n =
      static_cast<uint32_t>(std::min<uint64_t>(info.InformationLength, list.EmbeddedLength));
  if (n == 0) return Status::Ok();
  uint32_t block = 0;
  if (v.FreeBlocks < 1) return KORVA_E_NO_SPACE;
  if (Status s = TakeBlock(v, feBlock + 1, block); !s.IsOk()) return s;
  uint8_t data[kBlockSize] = {};
  std::memcpy(data, fe + list.EmbeddedOffset, n);
  if (info.FileType == kFileTypeDirectory) RelocateFids(data, n, block);
  if (Status s = StoreBlock(v, block, data); !s.IsOk()) return s;
  ads.push_back({n, block});
  return Status::Ok();
}

// A list of short descriptors for an entry: as many as its own area holds, the rest in a
// chain of allocation extent descriptors in blocks taken here.
struct ShortList {
  std::vector<ShortADValue> InEntry;
  std::vector<uint32_t> Chain;                    // blocks of the chain, in order
  std::vector<std::vector<uint8_t>> ChainSectors; // their contents
};

// Splits `ads` over the entry's area from `first` and new extension blocks. False (error 3)
// when the blocks cannot be had; nothing is taken then.
Status PlanShortList(TUDFRewritableVolume &v, uint32_t feBlock, uint32_t first,
                     const std::vector<ShortADValue> &ads, ShortList &out) {
  // How many descriptors a block holds from `offset`: all that are left when they fit
  // without a continuation, else as many as leave room for one.
  auto take = [](uint32_t offset, size_t left) -> size_t {
    const size_t whole = (kBlockSize - offset) / kShortADBytes;
    return left <= whole ? left : ListRoom(offset, kShortADBytes);
  };
  size_t next = take(first, ads.size());
  out.InEntry.assign(ads.begin(), ads.begin() + static_cast<std::ptrdiff_t>(next));
  std::vector<std::vector<ShortADValue>> parts;
  while (next < ads.size()) {
    const size_t n = take(kAEDFirstSlot, ads.size() - next);
    parts.emplace_back(ads.begin() + static_cast<std::ptrdiff_t>(next),
                       ads.begin() + static_cast<std::ptrdiff_t>(next + n));
    next += n;
  }
  if (v.FreeBlocks < parts.size()) return KORVA_E_NO_SPACE;
  uint32_t hint = feBlock + 1;
  for (size_t i = 0; i < parts.size(); ++i) {
    uint32_t b = 0;
    if (Status s = TakeBlock(v, hint, b); !s.IsOk()) {
      for (uint32_t t : out.Chain)
        MarkRun(v, t, 1, false);
      out.Chain.clear();
      return s;
    }
    out.Chain.push_back(b);
    hint = b + 1;
  }
  for (size_t i = 0; i < parts.size(); ++i) {
    std::vector<uint8_t> sector(kBlockSize);
    BuildAllocationExtent(sector.data(), out.Chain[i]);
    uint16_t slot = kAEDFirstSlot;
    for (const ShortADValue &ad : parts[i]) {
      AppendListAD(sector.data(), slot, ad);
      slot += kShortADBytes;
    }
    if (i + 1 < parts.size())
      AppendListAD(sector.data(), slot,
                   {(kExtentTypeContinuation << 30) | kBlockSize, out.Chain[i + 1]});
    RefillListBlockTag(sector.data(), out.Chain[i], false);
    out.ChainSectors.push_back(std::move(sector));
  }
  return Status::Ok();
}

// Writes the chain, its end first, so that each block is on the medium before anything
// points at it. On a failure the chain's blocks are given back: nothing refers to them.
Status WriteChain(TUDFRewritableVolume &v, const ShortList &list) {
  for (size_t i = list.Chain.size(); i-- > 0;)
    if (Status s = StoreBlock(v, list.Chain[i], list.ChainSectors[i].data()); !s.IsOk()) {
      for (uint32_t b : list.Chain)
        MarkRun(v, b, 1, false);
      return s;
    }
  return Status::Ok();
}

// Reads an entry, its fields and its descriptor list.
Status ReadEntryAndList(TUDFRewritableVolume &v, uint32_t feBlock, uint8_t *fe,
                        EntryFields &info, DescriptorList &list) {
  if (Status s = LoadBlock(v, feBlock, fe); !s.IsOk()) return s;
  if (!ReadEntryFields(fe, feBlock, info)) return ReadFailure(v);
  if (!ReadDescriptorList(ReaderOf(v), BlockSpaceOf(v), feBlock, fe, list))
    return StatusFromLastError(v);
  return Status::Ok();
}

// The descriptors the short list holds: the embedded data's new blocks, or the long
// descriptors' extents.
Status ShortDescriptors(TUDFRewritableVolume &v, uint32_t feBlock, uint8_t *fe,
                        const EntryFields &info, const DescriptorList &list,
                        std::vector<ShortADValue> &ads) {
  if (list.Embedded()) return MoveEmbeddedData(v, feBlock, fe, info, list, ads);
  for (const ADSlot &s : list.Extents)
    ads.push_back(s.AD);
  return Status::Ok();
}

// Long descriptors continued in extension blocks go to a new chain: the old one is freed
// only once the entry no longer points at it, and only when no other entry claims it.
Status OldChainUnshared(TUDFRewritableVolume &v, const DescriptorList &list) {
  std::vector<BlockRun> oldChain;
  for (uint32_t b : list.Extensions)
    oldChain.push_back({b, 1});
  return oldChain.empty() ? Status::Ok() : ClaimedOnlyOnce(v, oldChain);
}

// Puts the short list into the entry's descriptor area, with the continuation to its chain.
void StoreShortList(uint8_t *fe, const DescriptorArea &area, const ShortList &shortList,
                    uint16_t icbFlags) {
  std::memset(fe + area.First, 0, kBlockSize - area.First);
  StoreDescriptorLength(fe, area, 0);
  uint16_t slot = static_cast<uint16_t>(area.First);
  for (const ShortADValue &ad : shortList.InEntry) {
    AppendListAD(fe, slot, ad);
    slot += kShortADBytes;
  }
  if (!shortList.Chain.empty())
    AppendListAD(fe, slot, {(kExtentTypeContinuation << 30) | kBlockSize, shortList.Chain[0]});
  MutableEntryRecord::Of(fe, kBlockSize)
      ->SetICBFlags(static_cast<uint16_t>(icbFlags & ~kICBFlagDescriptorMask));
}

// Frees the old chain's blocks still marked used; returns how many.
int64_t FreeOldChain(TUDFRewritableVolume &v, const DescriptorList &list) {
  int64_t freed = 0;
  for (uint32_t b : list.Extensions)
    if (BlockInUse(v, b)) {
      MarkRun(v, b, 1, false);
      ++freed;
    }
  return freed;
}

// The short list, its chain and the entry written, and the blocks that changed hands
// recorded in the integrity descriptor.
Status WriteShortForm(TUDFRewritableVolume &v, uint32_t feBlock, uint8_t *fe,
                      const EntryFields &info, const DescriptorList &list,
                      const DescriptorArea &area, const std::vector<ShortADValue> &ads) {
  ShortList shortList;
  if (Status s = PlanShortList(v, feBlock, area.First, ads, shortList); !s.IsOk()) return s;
  if (Status s = WriteChain(v, shortList); !s.IsOk()) return s;
  StoreShortList(fe, area, shortList, info.ICBFlags);
  const uint64_t taken = list.Embedded() ? ads.size() : 0;
  UpdateFileEntry(fe, feBlock, info.InformationLength, info.BlocksRecorded + taken, 0, false);
  if (Status s = StoreBlock(v, feBlock, fe); !s.IsOk()) return s;
  const int64_t delta = FreeOldChain(v, list) - int64_t(taken + shortList.Chain.size());
  return delta != 0 ? CommitIntegrity(v, delta, 0, 0) : Status::Ok();
}

} // namespace

Status MakeShortForm(TUDFRewritableVolume &v, uint32_t feBlock) {
  uint8_t fe[kBlockSize];
  EntryFields info;
  DescriptorList list;
  if (Status s = ReadEntryAndList(v, feBlock, fe, info, list); !s.IsOk()) return s;
  if (list.Form == kDescriptorsShort) return Status::Ok();
  const std::optional<DescriptorArea> area = DescriptorAreaOf(fe, kBlockSize);
  if (list.Corrupt || !area) return ReadFailure(v);
  std::vector<ShortADValue> ads;
  if (Status s = ShortDescriptors(v, feBlock, fe, info, list, ads); !s.IsOk()) return s;
  if (Status s = OldChainUnshared(v, list); !s.IsOk()) return s;
  return WriteShortForm(v, feBlock, fe, info, list, *area, ads);
}

Status StoreDirectoryBytes(TUDFRewritableVolume &v, DirectoryStream &dir, uint64_t offset,
                           const uint8_t *bytes, uint32_t length) {
  for (uint32_t done = 0; done < length;) {
    DirectoryStream::Place p;
    if (!dir.Locate(offset + done, p)) return ReadFailure(v);
    uint8_t sector[kBlockSize];
    if (Status s = LoadBlock(v, p.Block, sector); !s.IsOk()) return s;
    const uint32_t chunk = std::min<uint32_t>(length - done, kBlockSize - p.Offset);
    std::memcpy(sector + p.Offset, bytes + done, chunk);
    // Entries embedded in the directory's file entry change that entry: its tag follows.
    if (dir.List().Embedded()) RefillEntryTag(sector, p.Block);
    if (Status s = StoreBlock(v, p.Block, sector); !s.IsOk()) return s;
    done += chunk;
  }
  return Status::Ok();
}

} // namespace korva
