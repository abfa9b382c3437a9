// File data: planned runs of free blocks, descriptors, packet-wise transfer.
#include <algorithm>
#include <cstring>
#include <map>
#include <vector>

#include "korva/files.h"
#include "volume/check/fs_claims.h"
#include "volume/engine.h"
#include "volume/fs/fs_internal.h"
#include "volume/fs/fs_records.h"
#include "volume/medium/partition_map.h"

using namespace korva;

namespace {

constexpr uint32_t kMaxRunBlocks = kMaxExtentBytes / kBlockSize;

// Empties the planned runs when a write ends, whatever the path.
struct PendingGuard {
  PendingExtentList *list;
  ~PendingGuard() {
    if (list) list->clear();
  }
};

// One extent of file data as the transfer sees it.
struct DataExtent {
  uint64_t Start;
  uint32_t Length;
  uint32_t Block;
  bool Recorded;
};

std::vector<DataExtent> DataExtents(const std::vector<ADSlot> &slots) {
  std::vector<DataExtent> out;
  uint64_t pos = 0;
  for (const ADSlot &s : slots) {
    out.push_back({pos, s.AD.Length(), s.AD.Block, s.AD.Type() == 0});
    pos += s.AD.Length();
  }
  return out;
}

// The extent that holds file position pos, from extent i on (advanced to it); none, with a
// read error, where the extents end or leave a gap before pos.
const DataExtent *ExtentAt(TUDFRewritableVolume &v, const std::vector<DataExtent> &ext,
                           size_t &i, uint64_t pos) {
  while (i < ext.size() && pos >= ext[i].Start + ext[i].Length)
    ++i;
  if (i < ext.size() && pos >= ext[i].Start) return &ext[i];
  FailRead(v);
  return nullptr;
}

// Moves bytes between the caller and the file from `pos`. Reading sends whole sectors the
// caller's buffer covers straight into it, and only partial sectors through PacketBuffer.
// Writing sends whole aligned packets without reading them first; everything else is a packet
// read-modify-write.
bool Transfer(TUDFRewritableVolume &v, const std::vector<DataExtent> &ext, uint64_t pos,
              uint8_t *in, const uint8_t *out, uint64_t count, uint64_t &done) {
  done = 0;
  const uint32_t pb = PacketBlocksOf(v);
  const uint32_t packetBytes = pb * kBlockSize;
  const uint64_t startPos = pos;
  // A failed read counts nothing of the packet it hit, from where this call or the extent
  // enters that packet, whichever is later: callers see the same count however the data was
  // requested.
  auto readFailedIn = [&](const DataExtent &e, uint32_t packetStart) {
    const uint32_t extentSector = v.PartitionStart + e.Block;
    uint64_t from = e.Start;
    if (packetStart > extentSector) from += uint64_t(packetStart - extentSector) * kBlockSize;
    from = std::max(from, startPos);
    if (from < pos) done -= pos - from;
    return false;
  };
  size_t i = 0;
  while (done < count) {
    const DataExtent *held = ExtentAt(v, ext, i, pos);
    if (!held) return false;
    const DataExtent &e = *held;
    const uint64_t inExtent = pos - e.Start;
    const uint32_t block = e.Block + static_cast<uint32_t>(inExtent / kBlockSize);
    const uint32_t off = static_cast<uint32_t>(inExtent % kBlockSize);
    const uint32_t sector = v.PartitionStart + block;
    const uint32_t s = sector % pb;
    const uint64_t left = std::min<uint64_t>(e.Start + e.Length - pos, count - done);
    const uint32_t start = sector - s;
    if (in && e.Recorded && off == 0 && left >= kBlockSize) {
      uint32_t good = 0;
      const bool ok =
          ReadSectors(v, sector, static_cast<uint32_t>(left / kBlockSize), in + done, good);
      done += uint64_t(good) * kBlockSize;
      pos += uint64_t(good) * kBlockSize;
      if (!ok) return readFailedIn(e, PacketStartOf(v, sector + good));
      continue;
    }
    // A partial sector at the head is cut at its end, so that the rest goes straight.
    const uint64_t chunk = std::min<uint64_t>(
        in && e.Recorded && off ? kBlockSize - off : uint64_t((pb - s) * kBlockSize - off), left);
    const size_t at = size_t(s) * kBlockSize + off;
    if (in) {
      if (!e.Recorded) {
        std::memset(in + done, 0, chunk);
      } else {
        if (!ReadPacket(v, start)) return readFailedIn(e, start);
        std::memcpy(in + done, v.PacketBuffer + at, chunk);
      }
    } else {
      if (chunk != packetBytes && !ReadPacket(v, start)) return false;
      std::memcpy(v.PacketBuffer + at, out + done, chunk);
      // File data: new blocks nothing refers to yet, or bytes in place, old or new per packet.
      if (!WritePacket(v, start, WriteOrder::Loose)) return false;
    }
    done += chunk;
    pos += chunk;
  }
  return true;
}

// Reads file data of another writer's volume of blocks smaller than a sector, where each
// block lies at the head of an engine sector of its own: block by block, through the cache.
bool ReadSmallBlockData(TUDFRewritableVolume &v, const BlockSpace &space,
                        const std::vector<DataExtent> &ext, uint64_t pos, uint8_t *in,
                        uint64_t count, uint64_t &done) {
  done = 0;
  uint8_t data[kBlockSize];
  for (size_t i = 0; done < count;) {
    const DataExtent *held = ExtentAt(v, ext, i, pos);
    if (!held) return false;
    const DataExtent &e = *held;
    uint32_t block = 0, off = 0;
    space.Split(pos - e.Start, block, off);
    const uint64_t chunk =
        std::min<uint64_t>({space.BlockBytes - off, e.Start + e.Length - pos, count - done});
    if (!e.Recorded)
      std::memset(in + done, 0, chunk);
    else if (!ReadSector(v, v.PartitionStart + e.Block + block, data))
      return false;
    else
      std::memcpy(in + done, data + off, chunk);
    done += chunk;
    pos += chunk;
  }
  return true;
}

void UnmarkRuns(TUDFRewritableVolume &v, const PendingExtentList &runs) {
  for (const ExtentInformation &r : runs)
    MarkRun(v, r.Block, r.Blocks, false);
}

// The checks every transfer starts with: a usable volume, a live handle with the access, and
// a buffer for a non-zero count.
OpenFileInformation *CheckTransfer(TUDFRewritableVolume &v, UDF_HANDLE handle, uint32_t access,
                                   const void *buffer, uint32_t count) {
  if (!BeginFsOperation(v)) return nullptr;
  if ((access & UDF_GENERIC_WRITE) && !RequireWritable(v)) return nullptr;
  OpenFileInformation *f = LiveHandle(v, handle, access);
  if (!f) return nullptr;
  if (!buffer && count > 0) {
    SetError(v, KORVA_E_INVALID_PARAMETER);
    return nullptr;
  }
  return f;
}

// The same, with the handle refreshed from the file entry on the medium (another handle may
// have changed the file).
OpenFileInformation *BeginTransfer(TUDFRewritableVolume &v, UDF_HANDLE handle, uint32_t access,
                                   const void *buffer, uint32_t count, FileView &view) {
  OpenFileInformation *f = CheckTransfer(v, handle, access, buffer, count);
  if (!f || !LoadFile(v, *f, view)) return nullptr;
  SyncHandle(*f, view);
  return f;
}

// Whether the write of `count` bytes at `pos` reaches extent i (from `start`, `end` bytes into
// the file): it overlaps the bytes written, or it is the last one and the write goes past the
// end of the extents (the last extent then takes the rest of its last block).
bool Touches(uint64_t pos, uint64_t count, uint64_t start, uint64_t end, bool last) {
  return (pos < end && pos + count > start) || (last && pos + count > end);
}

// Whether the file is recorded in a form writes change: short or long descriptors. Extents
// may run past the file's end (other writers round the last one up to its block, an
// interrupted one may leave whole blocks): an append fills them first. Holes (extents not
// allocated) that a write reaches get blocks of their own first.
bool WritableForm(TUDFRewritableVolume &v, const FileView &view) {
  const uint16_t form = view.Info.ICBFlags & kICBFlagDescriptorMask;
  const bool ok = form == kDescriptorsShort || form == kDescriptorsLong;
  if (!ok) SetError(v, KORVA_E_UNSUPPORTED);
  return ok;
}

// Takes `blocks` free blocks in one run, the first such run from the start. False when there
// is none.
bool TakeContiguous(TUDFRewritableVolume &v, uint32_t blocks, uint32_t &first) {
  for (uint32_t hint = 0;;) {
    uint32_t len = 0;
    if (!FindFreeRun(v, hint, blocks, false, first, len) || len == 0) return false;
    if (len == blocks) {
      MarkRun(v, first, blocks, true);
      return true;
    }
    hint = first + len;
  }
}

// Gives each hole the write reaches a run of blocks of its own, as an extent allocated but
// not recorded (which the write then fills with zeros around its bytes). The descriptors
// change in memory; the runs taken are added to `taken`. False with error 3 when a hole finds
// no run of its length.
template <class ListBlock>
bool AllocateHoles(TUDFRewritableVolume &v, std::vector<ADSlot> &slots, uint64_t pos,
                   uint64_t count, ListBlock listBlock, PendingExtentList &taken,
                   uint64_t &blocksTaken) {
  uint64_t start = 0;
  for (size_t i = 0; i < slots.size(); ++i) {
    ADSlot &s = slots[i];
    const uint64_t end = start + s.AD.Length();
    const bool touched = Touches(pos, count, start, end, i + 1 == slots.size());
    start = end;
    if (!touched || s.AD.Type() != kExtentNotAllocated || s.AD.Length() == 0) continue;
    const uint32_t blocks = (s.AD.Length() + kBlockSize - 1) / kBlockSize;
    uint32_t first = 0;
    uint8_t *b = listBlock(s.SlotBlock);
    if (!b || !TreeBlocksMarkedUsed(v)) return false;
    if (!TakeContiguous(v, blocks, first)) {
      SetError(v, KORVA_E_NO_SPACE);
      return false;
    }
    taken.push_back({uint64_t(blocks) * kBlockSize, first, blocks});
    blocksTaken += blocks;
    s.AD = {(uint32_t(kExtentAllocated) << 30) | s.AD.Length(), first};
    StoreAD(b + s.SlotOffset, s.AD);
  }
  return true;
}

// Writes zeros over an extent's blocks.
bool ZeroExtent(TUDFRewritableVolume &v, uint32_t block, uint32_t length) {
  const uint32_t bytes = (length + kBlockSize - 1) / kBlockSize * kBlockSize;
  const std::vector<DataExtent> ext{{0, bytes, block, true}};
  const std::vector<uint8_t> zeros(std::min<uint32_t>(bytes, 1u << 20));
  for (uint64_t pos = 0; pos < bytes;) {
    const uint64_t n = std::min<uint64_t>(zeros.size(), bytes - pos);
    uint64_t moved = 0;
    if (!Transfer(v, ext, pos, nullptr, zeros.data(), n, moved)) return false;
    pos += n;
  }
  return true;
}

} // namespace

KORVA_API KBOOL UDF_WriteFile(TUDFRewritableVolume *volume, UDF_HANDLE handle, const void *buffer,
                              uint32_t count, uint32_t *written) {
  if (written) *written = 0;
  if (!volume) return KFALSE;
  TUDFRewritableVolume &v = *volume;
  FileView view;
  OpenFileInformation *f = BeginTransfer(v, handle, UDF_GENERIC_WRITE, buffer, count, view);
  if (!f) return KFALSE;
  PendingExtentList *runs = PendingExtentsOf(v);
  if (!runs) return KFALSE;
  PendingGuard guard{runs};
  runs->clear();

  // A file another writer embedded in its entry first gets a block of its own. Long
  // descriptors stay long: the list goes on in the form it has.
  if (view.List.Embedded() && count > 0) {
    if (!MakeShortForm(v, f->FEBlock) || !LoadFile(v, *f, view)) return KFALSE;
    SyncHandle(*f, view);
  }
  const uint64_t size = f->Size;
  if (!WritableForm(v, view)) return KFALSE;
  const uint64_t overwrite = std::min<uint64_t>(count, size - f->Position);
  const uint64_t append = count - overwrite;
  const uint32_t adBytes = view.List.Form == kDescriptorsLong ? kLongADBytes : kShortADBytes;
  std::vector<ADSlot> &slots = view.List.Extents;
  // Descriptor blocks touched by this write, by block number; the file entry is view.FE.
  // Those it adds to the chain are written before the ones that come to point at them.
  std::map<uint32_t, std::vector<uint8_t>> aeds;
  std::vector<uint32_t> newAeds;
  auto listBlock = [&](uint32_t block) -> uint8_t * {
    if (block == f->FEBlock) return view.FE;
    auto it = aeds.find(block);
    if (it != aeds.end()) return it->second.data();
    std::vector<uint8_t> buf(kBlockSize);
    if (!ReadBlock(v, block, buf.data())) return nullptr;
    return aeds.emplace(block, std::move(buf)).first->second.data();
  };
  // Blocks for holes, given back if the write fails before a descriptor names them.
  PendingExtentList holes;
  uint64_t holeBlocks = 0;
  struct HoleGuard {
    TUDFRewritableVolume &v;
    PendingExtentList &runs;
    ~HoleGuard() { UnmarkRuns(v, runs); }
  } holeGuard{v, holes};
  if (!AllocateHoles(v, slots, f->Position, count, listBlock, holes, holeBlocks)) return KFALSE;
  // Extents allocated but not recorded that the write reaches are filled with zeros and become
  // recorded, so that what is written reads back and the rest of them still reads as zeros.
  uint64_t extentStart = 0;
  for (size_t i = 0; i < slots.size(); ++i) {
    ADSlot &s = slots[i];
    const uint64_t end = extentStart + s.AD.Length();
    const bool touched = Touches(f->Position, count, extentStart, end, i + 1 == slots.size());
    extentStart = end;
    if (!touched || s.AD.Type() != kExtentAllocated) continue;
    uint8_t *b = listBlock(s.SlotBlock);
    if (!b || !ZeroExtent(v, s.AD.Block, s.AD.Length())) return KFALSE;
    s.AD.LengthWord &= 0x3FFFFFFFu;
    StoreAD(b + s.SlotOffset, s.AD);
  }
  const uint32_t lastLen = slots.empty() ? 0 : slots.back().AD.Length();
  // An append goes first into what the extents hold past the file's end, then into the rest
  // of the last extent's last block, then into new blocks. (Extents holding less than the
  // size claims are refused when the file is loaded.)
  const uint64_t total = view.List.TotalBytes();
  const uint64_t inExtents = std::min(total > size ? total - size : 0, append);
  const uint64_t slack =
      std::min<uint64_t>(lastLen % kBlockSize ? kBlockSize - lastLen % kBlockSize : 0,
                         append - inExtents);
  const uint64_t newBytes = append - inExtents - slack;
  const uint64_t newBlocks = (newBytes + kBlockSize - 1) / kBlockSize;
  const uint32_t lastEnd =
      slots.empty() ? 0 : slots.back().AD.Block + (lastLen + kBlockSize - 1) / kBlockSize;

  // Plan the runs. They are taken while planning so that none is found twice, and given
  // back if the write is refused.
  if (newBlocks > 0 && !TreeBlocksMarkedUsed(v)) return KFALSE;
  uint64_t missing = newBlocks;
  uint32_t hint = lastEnd;
  bool wrapped = hint == 0;
  while (missing > 0) {
    uint32_t first = 0, len = 0;
    const uint32_t want = static_cast<uint32_t>(std::min<uint64_t>(missing, kMaxRunBlocks));
    if (!FindFreeRun(v, hint, want, true, first, len) || len == 0) {
      if (!wrapped) {
        wrapped = true;
        hint = 0;
        continue;
      }
      UnmarkRuns(v, *runs);
      SetError(v, KORVA_E_NO_SPACE);
      return KFALSE;
    }
    runs->push_back({uint64_t(len) * kBlockSize, first, len});
    missing -= len;
    hint = first + len;
  }
  if (!runs->empty()) runs->back().Bytes -= newBlocks * kBlockSize - newBytes;
  // Everything this write takes, to give back if it fails before anything refers to it.
  PendingExtentList taken(runs->begin(), runs->end());

  // The last descriptor takes the slack and, when the first run follows it on the medium,
  // as much of that run as its 30-bit length allows.
  uint32_t newLastLen = lastLen + static_cast<uint32_t>(slack);
  size_t firstRun = 0;
  if (!runs->empty() && !slots.empty() && slots.back().AD.Type() == 0 &&
      (*runs)[0].Block == lastEnd && newLastLen % kBlockSize == 0) {
    ExtentInformation &r = (*runs)[0];
    const uint32_t room = (kMaxExtentBytes - newLastLen) / kBlockSize;
    const uint32_t take = std::min(room, r.Blocks);
    if (take == r.Blocks) {
      newLastLen += static_cast<uint32_t>(r.Bytes);
      firstRun = 1;
    } else if (take > 0) {
      newLastLen += take * kBlockSize;
      r.Block += take;
      r.Blocks -= take;
      r.Bytes -= uint64_t(take) * kBlockSize;
    }
  }
  const size_t toAdd = runs->size() - firstRun;
  uint32_t extBlocks = 0;
  if (toAdd > 0) {
    // A block another writer filled to its end has no room for the descriptor that would
    // continue it: growing the file would mean moving its last descriptor, which this engine
    // does not do. Refused before anything is written.
    if (view.List.EndOffset + adBytes > kBlockSize) {
      UnmarkRuns(v, taken);
      SetError(v, KORVA_E_UNSUPPORTED);
      return KFALSE;
    }
    uint64_t free = ListRoom(view.List.EndOffset, adBytes);
    while (free < toAdd) {
      free += ListRoom(kAEDFirstSlot, adBytes);
      ++extBlocks;
    }
  }
  if (v.FreeBlocks < newBlocks + extBlocks + holeBlocks) {
    UnmarkRuns(v, taken);
    SetError(v, KORVA_E_NO_SPACE);
    return KFALSE;
  }

  if (!slots.empty() && newLastLen != lastLen) {
    ADSlot &last = slots.back();
    uint8_t *b = listBlock(last.SlotBlock);
    if (!b) {
      UnmarkRuns(v, taken);
      return KFALSE;
    }
    last.AD.LengthWord = (last.AD.LengthWord & 0xC0000000u) | newLastLen;
    StoreAD(b + last.SlotOffset, last.AD);
  }
  uint32_t curBlock = view.List.EndBlock;
  uint32_t slot = view.List.EndOffset;
  uint32_t extHint = 0;
  for (size_t i = firstRun; i < runs->size(); ++i) {
    uint8_t *b = listBlock(curBlock);
    if (!b) {
      UnmarkRuns(v, taken);
      return KFALSE;
    }
    if (ListRoom(slot, adBytes) == 0) {
      uint32_t ext = 0;
      if (!TakeBlock(v, extHint, ext)) {
        UnmarkRuns(v, taken);
        SetError(v, KORVA_E_NO_SPACE);
        return KFALSE;
      }
      extHint = ext + 1;
      taken.push_back({kBlockSize, ext, 1});
      AppendListAD(b, static_cast<uint16_t>(slot),
                   {(kExtentTypeContinuation << 30) | kBlockSize, ext}, adBytes);
      std::vector<uint8_t> nb(kBlockSize);
      BuildAllocationExtent(nb.data(), ext);
      aeds[ext] = std::move(nb);
      newAeds.push_back(ext);
      curBlock = ext;
      slot = kAEDFirstSlot;
      b = aeds[ext].data();
    }
    const ExtentInformation &r = (*runs)[i];
    ADSlot s{curBlock, static_cast<uint16_t>(slot), {static_cast<uint32_t>(r.Bytes), r.Block}};
    AppendListAD(b, static_cast<uint16_t>(slot), s.AD, adBytes);
    slots.push_back(s);
    slot += adBytes;
  }
  // Data first, then the descriptors that describe it, then the file entry that gives the
  // new size: a write cut short leaves the file as it was, or with part of the new bytes
  // beyond its recorded size.
  uint64_t done = 0;
  if (count > 0 && !Transfer(v, DataExtents(slots), f->Position, nullptr,
                             static_cast<const uint8_t *>(buffer), count, done)) {
    // Nothing on the medium refers to the new blocks yet.
    UnmarkRuns(v, taken);
    return KFALSE;
  }
  // From here on descriptors name the holes' blocks.
  holes.clear();
  // The new end of the chain first, then back towards the file entry.
  std::vector<uint32_t> order(newAeds.rbegin(), newAeds.rend());
  for (const auto &kv : aeds)
    if (std::find(newAeds.begin(), newAeds.end(), kv.first) == newAeds.end())
      order.push_back(kv.first);
  for (uint32_t block : order) {
    uint8_t *b = aeds[block].data();
    RefillListBlockTag(b, block, false, adBytes);
    if (!WriteBlock(v, block, b)) return KFALSE;
  }

  UpdateFileEntry(view.FE, f->FEBlock, size + append,
                  view.Info.BlocksRecorded + newBlocks + holeBlocks, 0, true);
  if (!WriteBlock(v, f->FEBlock, view.FE)) return KFALSE;
  if (!CommitIntegrity(v, -int64_t(newBlocks + extBlocks + holeBlocks), 0, 0)) return KFALSE;
  f->Position += count;
  view.Info.InformationLength = size + append;
  SyncHandle(*f, view);
  if (written) *written = count;
  return KTRUE;
}

KORVA_API KBOOL UDF_ReadFile(TUDFRewritableVolume *volume, UDF_HANDLE handle, void *buffer,
                             uint32_t count, uint32_t *read) {
  if (read) *read = 0;
  if (!volume) return KFALSE;
  TUDFRewritableVolume &v = *volume;
  OpenFileInformation *f = CheckTransfer(v, handle, UDF_GENERIC_READ, buffer, count);
  if (!f) return KFALSE;
  if (!f->View || f->ViewGeneration != v.WriteGeneration) {
    auto fresh = std::make_shared<FileView>();
    if (!LoadFile(v, *f, *fresh)) {
      f->View.reset();
      return KFALSE;
    }
    f->View = std::move(fresh);
    f->ViewGeneration = v.WriteGeneration;
  }
  const FileView &view = *f->View;
  SyncHandle(*f, view);
  if (f->Position >= f->Size) return KTRUE;
  const uint64_t want = std::min<uint64_t>(count, f->Size - f->Position);
  uint64_t done = 0;
  bool ok = true;
  if (view.List.Embedded()) {
    std::memcpy(buffer, view.FE + view.List.EmbeddedOffset + f->Position, want);
    done = want;
  } else if (BlockBytesOf(v) != kBlockSize) {
    ok = ReadSmallBlockData(v, BlockSpaceOf(v), DataExtents(view.List.Extents), f->Position,
                            static_cast<uint8_t *>(buffer), want, done);
  } else {
    ok = Transfer(v, DataExtents(view.List.Extents), f->Position, static_cast<uint8_t *>(buffer),
                  nullptr, want, done);
  }
  f->Position += done;
  SyncHandle(*f, view);
  if (read) *read = static_cast<uint32_t>(done);
  return ok ? KTRUE : KFALSE;
}
