// File data: planned runs of free blocks, descriptors, packet-wise transfer.
#include <algorithm>
#include <cstring>
#include <map>
#include <vector>

#include "korva/files.h"
#include "volume/engine.h"
#include "volume/fs/fs_claims.h"
#include "volume/fs/fs_internal.h"
#include "volume/fs/fs_records.h"
#include "volume/medium/partition_map.h"

using namespace korva;

namespace {

constexpr uint32_t kMaxRunBlocks = kMaxExtentBytes / kBlockSize;

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

// The extent that holds file position pos, from extent i on (advanced to it); a read error
// where the extents end or leave a gap before pos.
Status ExtentAt(TUDFRewritableVolume &v, const std::vector<DataExtent> &ext, size_t &i,
                uint64_t pos, const DataExtent *&e) {
  while (i < ext.size() && pos >= ext[i].Start + ext[i].Length)
    ++i;
  if (i < ext.size() && pos >= ext[i].Start) {
    e = &ext[i];
    return Status::Ok();
  }
  return ReadFailure(v);
}

// A transfer under way: `done` bytes moved so far, up to file position `pos`.
struct TransferState {
  TUDFRewritableVolume &v;
  uint8_t *in;
  const uint8_t *out;
  uint64_t startPos;
  uint64_t pos;
  uint64_t done = 0;

  // A failed read counts nothing of the packet it hit, from where this call or the extent
  // enters that packet, whichever is later: callers see the same count however the data was
  // requested.
  Status ReadFailedIn(const DataExtent &e, uint32_t packetStart, Status failure) {
    const uint32_t extentSector = v.PartitionStart + e.Block;
    uint64_t from = e.Start;
    if (packetStart > extentSector) from += uint64_t(packetStart - extentSector) * kBlockSize;
    from = std::max(from, startPos);
    if (from < pos) done -= pos - from;
    return failure;
  }
  void Moved(uint64_t bytes) {
    done += bytes;
    pos += bytes;
  }
};

// Reads whole sectors straight into the caller's buffer.
Status ReadDirect(TransferState &t, const DataExtent &e, uint32_t sector, uint64_t left) {
  uint32_t good = 0;
  const Status s =
      ReadSectors(t.v, sector, static_cast<uint32_t>(left / kBlockSize), t.in + t.done, good);
  t.Moved(uint64_t(good) * kBlockSize);
  return s.IsOk() ? Status::Ok() : t.ReadFailedIn(e, PacketStartOf(t.v, sector + good), s);
}

// Moves the bytes from `off` into `sector` that lie in its packet, through PacketBuffer.
Status MoveThroughPacket(TransferState &t, const DataExtent &e, uint32_t sector, uint32_t off,
                         uint64_t left) {
  TUDFRewritableVolume &v = t.v;
  const uint32_t pb = PacketBlocksOf(v);
  const uint32_t s = sector % pb;
  const uint32_t start = sector - s;
  // A partial sector at the head is cut at its end, so that the rest goes straight.
  const uint64_t chunk = std::min<uint64_t>(
      t.in && e.Recorded && off ? kBlockSize - off : uint64_t((pb - s) * kBlockSize - off), left);
  const size_t at = size_t(s) * kBlockSize + off;
  if (t.in && !e.Recorded) {
    std::memset(t.in + t.done, 0, chunk);
  } else if (t.in) {
    if (Status r = ReadPacket(v, start); !r.IsOk()) return t.ReadFailedIn(e, start, r);
    std::memcpy(t.in + t.done, v.PacketBuffer + at, chunk);
  } else {
    if (chunk != uint64_t(pb) * kBlockSize)
      if (Status r = ReadPacket(v, start); !r.IsOk()) return r;
    std::memcpy(v.PacketBuffer + at, t.out + t.done, chunk);
    // File data: new blocks nothing refers to yet, or bytes in place, old or new per packet.
    if (Status w = WritePacket(v, start, WriteOrder::Loose); !w.IsOk()) return w;
  }
  t.Moved(chunk);
  return Status::Ok();
}

// Moves what lies in extent e from the transfer's position on, up to `count` bytes in all.
Status TransferStep(TransferState &t, const DataExtent &e, uint64_t count) {
  const uint64_t inExtent = t.pos - e.Start;
  const uint32_t block = e.Block + static_cast<uint32_t>(inExtent / kBlockSize);
  const uint32_t off = static_cast<uint32_t>(inExtent % kBlockSize);
  const uint32_t sector = t.v.PartitionStart + block;
  const uint64_t left = std::min<uint64_t>(e.Start + e.Length - t.pos, count - t.done);
  if (t.in && e.Recorded && off == 0 && left >= kBlockSize) return ReadDirect(t, e, sector, left);
  return MoveThroughPacket(t, e, sector, off, left);
}

// Moves bytes between the caller and the file from `pos`. Reading sends whole sectors the
// caller's buffer covers straight into it, and only partial sectors through PacketBuffer.
// Writing sends whole aligned packets without reading them first; everything else is a packet
// read-modify-write.
Status Transfer(TUDFRewritableVolume &v, const std::vector<DataExtent> &ext, uint64_t pos,
                uint8_t *in, const uint8_t *out, uint64_t count, uint64_t &done) {
  TransferState t{v, in, out, pos, pos};
  Status s;
  size_t i = 0;
  while (s.IsOk() && t.done < count) {
    const DataExtent *e = nullptr;
    s = ExtentAt(v, ext, i, t.pos, e);
    if (s.IsOk()) s = TransferStep(t, *e, count);
  }
  done = t.done;
  return s;
}

// Up to `want` bytes from byte `off` of the block at engine block `block` on, into dst: on
// a volume of blocks larger than a sector, the whole blocks the medium holds one after
// another in one request (a block's sectors lie apart in the engine's block space); else the
// piece of one engine block, through the cache. `got`: the bytes read.
Status ReadBlockRun(TUDFRewritableVolume &v, const BlockSpace &space, uint32_t block, uint32_t off,
                    uint64_t want, uint8_t *dst, uint64_t &got) {
  constexpr uint64_t kRunBlocks = 256; // a request's worth
  const uint64_t blocks = std::min((off + want + space.BlockBytes - 1) / space.BlockBytes,
                                   kRunBlocks);
  uint32_t physical = 0;
  const uint32_t n = space.Upper ? MapWholeBlocks(v, v.PartitionStart + block,
                                                  static_cast<uint32_t>(blocks), physical)
                                 : 0;
  if (n > 0) {
    got = std::min<uint64_t>(want, uint64_t(n) * space.BlockBytes - off);
    if (physical == kUnmappedSector)
      std::memset(dst, 0, size_t(got));
    else if (!ReadMediumBytes(v, uint64_t(physical) * kSectorSize + off, size_t(got), dst))
      return StatusFromLastError(v);
    return Status::Ok();
  }
  uint8_t data[kBlockSize];
  uint32_t at = 0, inAt = 0;
  got = std::min<uint64_t>(space.Piece(block, off, at, inAt), want);
  if (Status s = ReadSector(v, v.PartitionStart + at, data); !s.IsOk()) return s;
  std::memcpy(dst, data + inAt, size_t(got));
  return Status::Ok();
}

// Reads file data of another writer's volume whose blocks are not the engine's: smaller
// ones each at the head of an engine block of its own, larger ones in runs of whole blocks
// (ReadBlockRun).
Status ReadForeignBlockData(TUDFRewritableVolume &v, const BlockSpace &space,
                            const std::vector<DataExtent> &ext, uint64_t pos, uint8_t *in,
                            uint64_t count, uint64_t &done) {
  done = 0;
  for (size_t i = 0; done < count;) {
    const DataExtent *held = nullptr;
    if (Status s = ExtentAt(v, ext, i, pos, held); !s.IsOk()) return s;
    const DataExtent &e = *held;
    uint32_t block = 0, off = 0;
    space.Split(pos - e.Start, block, off);
    uint64_t chunk = std::min<uint64_t>(e.Start + e.Length - pos, count - done);
    if (!e.Recorded)
      std::memset(in + done, 0, size_t(chunk));
    else if (Status s = ReadBlockRun(v, space, e.Block + block, off, chunk, in + done, chunk);
             !s.IsOk())
      return s;
    done += chunk;
    pos += chunk;
  }
  return Status::Ok();
}

void UnmarkRuns(TUDFRewritableVolume &v, const PendingExtentList &runs) {
  for (const ExtentInformation &r : runs)
    MarkRun(v, r.Block, r.Blocks, false);
}

// The checks every transfer starts with: a usable volume, a live handle with the access, and
// a buffer for a non-zero count.
Status CheckTransfer(TUDFRewritableVolume &v, UDF_HANDLE handle, uint32_t access,
                     const void *buffer, uint32_t count, OpenFileInformation *&f) {
  if (Status s = BeginFsOperation(v); !s.IsOk()) return s;
  if (access & UDF_GENERIC_WRITE)
    if (Status s = CheckWritable(v); !s.IsOk()) return s;
  if (Status s = LiveHandle(v, handle, access, f); !s.IsOk()) return s;
  if (!buffer && count > 0) return KORVA_E_INVALID_PARAMETER;
  return Status::Ok();
}

// The same, with the handle refreshed from the file entry on the medium (another handle may
// have changed the file).
Status BeginTransfer(TUDFRewritableVolume &v, UDF_HANDLE handle, uint32_t access,
                     const void *buffer, uint32_t count, FileView &view, OpenFileInformation *&f) {
  if (Status s = CheckTransfer(v, handle, access, buffer, count, f); !s.IsOk()) return s;
  if (Status s = LoadFile(v, *f, view); !s.IsOk()) return s;
  SyncHandle(*f, view);
  return Status::Ok();
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
Status WritableForm(const FileView &view) {
  const uint16_t form = view.Info.ICBFlags & kICBFlagDescriptorMask;
  const bool ok = form == kDescriptorsShort || form == kDescriptorsLong;
  return ok ? Status::Ok() : Status(KORVA_E_UNSUPPORTED);
}

// Takes `blocks` free blocks in one run, the first such run from the start: error 3 when
// there is none.
Status TakeContiguous(TUDFRewritableVolume &v, uint32_t blocks, uint32_t &first) {
  for (uint32_t hint = 0;;) {
    uint32_t len = 0;
    if (Status s = FindFreeRun(v, hint, blocks, false, first, len); !s.IsOk()) return s;
    if (len == 0) return KORVA_E_NO_SPACE;
    if (len == blocks) {
      MarkRun(v, first, blocks, true);
      return Status::Ok();
    }
    hint = first + len;
  }
}

// Writes zeros over an extent's blocks.
Status ZeroExtent(TUDFRewritableVolume &v, uint32_t block, uint32_t length) {
  const uint32_t bytes = (length + kBlockSize - 1) / kBlockSize * kBlockSize;
  const std::vector<DataExtent> ext{{0, bytes, block, true}};
  const std::vector<uint8_t> zeros(std::min<uint32_t>(bytes, 1u << 20));
  for (uint64_t pos = 0; pos < bytes;) {
    const uint64_t n = std::min<uint64_t>(zeros.size(), bytes - pos);
    uint64_t moved = 0;
    if (Status s = Transfer(v, ext, pos, nullptr, zeros.data(), n, moved); !s.IsOk()) return s;
    pos += n;
  }
  return Status::Ok();
}

// Descriptor blocks a write changes, read once and kept until they are written; the file
// entry is the view's own buffer. Blocks the write adds to the chain are written before the
// ones that come to point at them.
class ListBlocks {
public:
  ListBlocks(TUDFRewritableVolume &v, FileView &view, uint32_t feBlock)
      : v_(v), view_(view), feBlock_(feBlock) {}

  // The block's buffer in b, read on first use.
  Status Get(uint32_t block, uint8_t *&b) {
    b = nullptr;
    if (block == feBlock_) {
      b = view_.FE;
      return Status::Ok();
    }
    auto it = aeds_.find(block);
    if (it == aeds_.end()) {
      std::vector<uint8_t> buf(kBlockSize);
      if (Status s = LoadBlock(v_, block, buf.data()); !s.IsOk()) return s;
      it = aeds_.emplace(block, std::move(buf)).first;
    }
    b = it->second.data();
    return Status::Ok();
  }

  // A new, empty allocation extent descriptor for `block`.
  uint8_t *Add(uint32_t block) {
    std::vector<uint8_t> nb(kBlockSize);
    BuildAllocationExtent(nb.data(), block);
    aeds_[block] = std::move(nb);
    added_.push_back(block);
    return aeds_[block].data();
  }

  // Writes every block but the file entry: the new end of the chain first, then back towards
  // the file entry.
  Status WriteAll(uint32_t adBytes) {
    std::vector<uint32_t> order(added_.rbegin(), added_.rend());
    for (const auto &kv : aeds_)
      if (std::find(added_.begin(), added_.end(), kv.first) == added_.end())
        order.push_back(kv.first);
    for (uint32_t block : order) {
      uint8_t *b = aeds_[block].data();
      RefillListBlockTag(b, block, false, adBytes);
      if (Status s = StoreBlock(v_, block, b); !s.IsOk()) return s;
    }
    return Status::Ok();
  }

private:
  TUDFRewritableVolume &v_;
  FileView &view_;
  uint32_t feBlock_;
  std::map<uint32_t, std::vector<uint8_t>> aeds_;
  std::vector<uint32_t> added_;
};

// The write's roll-back guard. The blocks it takes are given back when it ends unless Keep()
// was called: until its data is on the medium, no descriptor there names them. The new runs
// and descriptor blocks are given back first, then the holes' blocks. The runs it plans (the
// volume's pending list) are emptied when it ends, whatever the path.
class TakenBlocks {
public:
  TakenBlocks(TUDFRewritableVolume &v, PendingExtentList &planned) : v_(v), planned_(planned) {
    planned_.clear();
  }
  TakenBlocks(const TakenBlocks &) = delete;
  TakenBlocks &operator=(const TakenBlocks &) = delete;
  ~TakenBlocks() {
    if (!kept_) {
      UnmarkRuns(v_, Runs);
      UnmarkRuns(v_, Holes);
    }
    planned_.clear();
  }
  void Keep() { kept_ = true; }

  PendingExtentList Runs;
  PendingExtentList Holes;

private:
  TUDFRewritableVolume &v_;
  PendingExtentList &planned_;
  bool kept_ = false;
};

// What a write needs, decided before anything on the medium changes.
struct WritePlan {
  uint32_t ADBytes = kShortADBytes; // size of the list's descriptors
  uint64_t Append = 0;              // bytes past the file's end
  uint64_t NewBytes = 0;            // of those, the ones that go into new runs
  uint64_t NewBlocks = 0;           // blocks of the new runs
  uint64_t HoleBlocks = 0;          // blocks given to holes the write reaches
  uint32_t ListBlocksAdded = 0;     // descriptor blocks the list gains
  uint32_t LastLen = 0;             // the last descriptor's length before the write,
  uint32_t NewLastLen = 0;          // and after it
  uint32_t LastEnd = 0;             // the block after the last extent's
  size_t FirstRun = 0;              // the first run that gets a descriptor of its own
  std::vector<DataExtent> Zeros;    // extents filled with zeros before the data goes in
};

// Calls fn for each extent the write of `count` bytes at `pos` reaches, until it fails.
template <class Fn>
Status EachTouched(std::vector<ADSlot> &slots, uint64_t pos, uint64_t count, Fn fn) {
  uint64_t start = 0;
  for (size_t i = 0; i < slots.size(); ++i) {
    const uint64_t end = start + slots[i].AD.Length();
    const bool touched = Touches(pos, count, start, end, i + 1 == slots.size());
    start = end;
    if (!touched) continue;
    if (Status s = fn(slots[i]); !s.IsOk()) return s;
  }
  return Status::Ok();
}

// Gives each hole the write reaches a run of blocks of its own, as an extent allocated but
// not recorded (which the write then fills with zeros around its bytes). The descriptors
// change in memory; the runs taken are added to `taken`. Error 3 when a hole finds no run of
// its length.
Status AllocateHoles(TUDFRewritableVolume &v, std::vector<ADSlot> &slots, uint64_t pos,
                     uint64_t count, ListBlocks &blocks, PendingExtentList &taken,
                     uint64_t &blocksTaken) {
  return EachTouched(slots, pos, count, [&](ADSlot &s) {
    if (s.AD.Type() != kExtentNotAllocated || s.AD.Length() == 0) return Status::Ok();
    const uint32_t length = (s.AD.Length() + kBlockSize - 1) / kBlockSize;
    uint32_t first = 0;
    uint8_t *b = nullptr;
    if (Status st = blocks.Get(s.SlotBlock, b); !st.IsOk()) return st;
    if (Status st = TreeBlocksMarkedUsed(v); !st.IsOk()) return st;
    if (Status st = TakeContiguous(v, length, first); !st.IsOk()) return st;
    taken.push_back({uint64_t(length) * kBlockSize, first, length});
    blocksTaken += length;
    s.AD = {(uint32_t(kExtentAllocated) << 30) | s.AD.Length(), first};
    StoreAD(b + s.SlotOffset, s.AD);
    return Status::Ok();
  });
}

// Extents allocated but not recorded that the write reaches are filled with zeros and become
// recorded, so that what is written reads back and the rest of them still reads as zeros.
// They become recorded in the list here; the zeros go out when the write commits.
Status PlanZeros(std::vector<ADSlot> &slots, uint64_t pos, uint64_t count, ListBlocks &blocks,
                 std::vector<DataExtent> &zeros) {
  return EachTouched(slots, pos, count, [&](ADSlot &s) {
    if (s.AD.Type() != kExtentAllocated) return Status::Ok();
    uint8_t *b = nullptr;
    if (Status st = blocks.Get(s.SlotBlock, b); !st.IsOk()) return st;
    zeros.push_back({0, s.AD.Length(), s.AD.Block, true});
    s.AD.LengthWord &= 0x3FFFFFFFu;
    StoreAD(b + s.SlotOffset, s.AD);
    return Status::Ok();
  });
}

// An append goes first into what the extents hold past the file's end, then into the rest
// of the last extent's last block (the slack, which the last descriptor takes), then into new
// blocks. (Extents holding less than the size claims are refused when the file is loaded.)
void PlanAppendBytes(const DescriptorList &list, uint64_t size, WritePlan &plan) {
  const std::vector<ADSlot> &slots = list.Extents;
  const uint32_t lastLen = slots.empty() ? 0 : slots.back().AD.Length();
  const uint64_t total = list.TotalBytes();
  const uint64_t inExtents = std::min(total > size ? total - size : 0, plan.Append);
  const uint64_t slack =
      std::min<uint64_t>(lastLen % kBlockSize ? kBlockSize - lastLen % kBlockSize : 0,
                         plan.Append - inExtents);
  plan.LastLen = lastLen;
  plan.NewLastLen = lastLen + static_cast<uint32_t>(slack);
  plan.NewBytes = plan.Append - inExtents - slack;
  plan.NewBlocks = (plan.NewBytes + kBlockSize - 1) / kBlockSize;
  plan.LastEnd =
      slots.empty() ? 0 : slots.back().AD.Block + (lastLen + kBlockSize - 1) / kBlockSize;
}

// Takes the runs for the new blocks, from the end of the last extent on and then from the
// start. They are taken while planning so that none is found twice; `taken` gives them back
// if the write is refused. Error 3 when there are too few; a failure of the search (a flush
// of frees held back) keeps its own number.
Status TakeRuns(TUDFRewritableVolume &v, const WritePlan &plan, PendingExtentList &runs,
                TakenBlocks &taken) {
  if (plan.NewBlocks > 0)
    if (Status s = TreeBlocksMarkedUsed(v); !s.IsOk()) return s;
  uint64_t missing = plan.NewBlocks;
  uint32_t hint = plan.LastEnd;
  bool wrapped = hint == 0;
  while (missing > 0) {
    uint32_t first = 0, len = 0;
    const uint32_t want = static_cast<uint32_t>(std::min<uint64_t>(missing, kMaxRunBlocks));
    if (Status s = FindFreeRun(v, hint, want, true, first, len); !s.IsOk()) return s;
    if (len == 0) {
      if (wrapped) return KORVA_E_NO_SPACE;
      wrapped = true;
      hint = 0;
      continue;
    }
    runs.push_back({uint64_t(len) * kBlockSize, first, len});
    taken.Runs.push_back(runs.back());
    missing -= len;
    hint = first + len;
  }
  if (!runs.empty()) runs.back().Bytes -= plan.NewBlocks * kBlockSize - plan.NewBytes;
  return Status::Ok();
}

// The last descriptor takes, when the first run follows it on the medium, as much of that
// run as its 30-bit length allows.
void MergeFirstRun(const std::vector<ADSlot> &slots, PendingExtentList &runs, WritePlan &plan) {
  if (runs.empty() || slots.empty() || slots.back().AD.Type() != 0 ||
      runs[0].Block != plan.LastEnd || plan.NewLastLen % kBlockSize != 0)
    return;
  ExtentInformation &r = runs[0];
  const uint32_t room = (kMaxExtentBytes - plan.NewLastLen) / kBlockSize;
  const uint32_t take = std::min(room, r.Blocks);
  if (take == r.Blocks) {
    plan.NewLastLen += static_cast<uint32_t>(r.Bytes);
    plan.FirstRun = 1;
  } else if (take > 0) {
    plan.NewLastLen += take * kBlockSize;
    r.Block += take;
    r.Blocks -= take;
    r.Bytes -= uint64_t(take) * kBlockSize;
  }
}

// How many descriptor blocks the list gains for `toAdd` descriptors. A block another writer
// filled to its end has no room for the descriptor that would continue it: growing the file
// would mean moving its last descriptor, which this engine does not do. Refused.
Status CountListBlocks(const DescriptorList &list, size_t toAdd, uint32_t adBytes,
                       uint32_t &added) {
  added = 0;
  if (toAdd == 0) return Status::Ok();
  if (list.EndOffset + adBytes > kBlockSize) return KORVA_E_UNSUPPORTED;
  uint64_t room = ListRoom(list.EndOffset, adBytes);
  while (room < toAdd) {
    room += ListRoom(kAEDFirstSlot, adBytes);
    ++added;
  }
  return Status::Ok();
}

// Plans the write of `count` bytes at the handle's position: blocks for the holes it reaches
// and for what it appends, the extents it zeros, the list blocks it needs. Every refusal comes
// from here; only the list blocks in memory change.
Status PlanWrite(TUDFRewritableVolume &v, const OpenFileInformation &f, FileView &view,
                 uint64_t count, ListBlocks &blocks, PendingExtentList &runs, TakenBlocks &taken,
                 WritePlan &plan) {
  std::vector<ADSlot> &slots = view.List.Extents;
  plan.ADBytes = view.List.Form == kDescriptorsLong ? kLongADBytes : kShortADBytes;
  plan.Append = count - std::min<uint64_t>(count, f.Size - f.Position);
  Status s = AllocateHoles(v, slots, f.Position, count, blocks, taken.Holes, plan.HoleBlocks);
  if (s.IsOk()) s = PlanZeros(slots, f.Position, count, blocks, plan.Zeros);
  if (!s.IsOk()) return s;
  PlanAppendBytes(view.List, f.Size, plan);
  if (s = TakeRuns(v, plan, runs, taken); !s.IsOk()) return s;
  MergeFirstRun(slots, runs, plan);
  s = CountListBlocks(view.List, runs.size() - plan.FirstRun, plan.ADBytes, plan.ListBlocksAdded);
  if (!s.IsOk()) return s;
  if (v.FreeBlocks < plan.NewBlocks + plan.ListBlocksAdded + plan.HoleBlocks)
    return KORVA_E_NO_SPACE;
  return Status::Ok();
}

// Where the list takes its next descriptor.
struct ListEnd {
  uint32_t Block;
  uint32_t Slot;
};

// Continues the full list block `b` in a new descriptor block, which b and `end` move to.
Status ContinueList(TUDFRewritableVolume &v, ListBlocks &blocks, uint8_t *&b, ListEnd &end,
                    uint32_t &hint, uint32_t adBytes, TakenBlocks &taken) {
  uint32_t ext = 0;
  if (Status s = TakeBlock(v, hint, ext); !s.IsOk()) return s;
  hint = ext + 1;
  taken.Runs.push_back({kBlockSize, ext, 1});
  AppendListAD(b, static_cast<uint16_t>(end.Slot),
               {(kExtentTypeContinuation << 30) | kBlockSize, ext}, adBytes);
  end = {ext, kAEDFirstSlot};
  b = blocks.Add(ext);
  return Status::Ok();
}

// Makes the planned changes to the list in memory: the last descriptor's new length, then a
// descriptor for each run from the plan's first, in new descriptor blocks where one is full.
Status ExtendList(TUDFRewritableVolume &v, DescriptorList &list, ListBlocks &blocks,
                  const PendingExtentList &runs, const WritePlan &plan, TakenBlocks &taken) {
  std::vector<ADSlot> &slots = list.Extents;
  uint8_t *b = nullptr;
  if (!slots.empty() && plan.NewLastLen != plan.LastLen) {
    ADSlot &last = slots.back();
    if (Status s = blocks.Get(last.SlotBlock, b); !s.IsOk()) return s;
    last.AD.LengthWord = (last.AD.LengthWord & 0xC0000000u) | plan.NewLastLen;
    StoreAD(b + last.SlotOffset, last.AD);
  }
  ListEnd end{list.EndBlock, list.EndOffset};
  uint32_t hint = 0;
  for (size_t i = plan.FirstRun; i < runs.size(); ++i) {
    Status st = blocks.Get(end.Block, b);
    if (st.IsOk() && ListRoom(end.Slot, plan.ADBytes) == 0)
      st = ContinueList(v, blocks, b, end, hint, plan.ADBytes, taken);
    if (!st.IsOk()) return st;
    const ExtentInformation &r = runs[i];
    ADSlot s{end.Block, static_cast<uint16_t>(end.Slot),
             {static_cast<uint32_t>(r.Bytes), r.Block}};
    AppendListAD(b, s.SlotOffset, s.AD, plan.ADBytes);
    slots.push_back(s);
    end.Slot += plan.ADBytes;
  }
  return Status::Ok();
}

// Data first, then the descriptors that describe it, then the file entry that gives the new
// size: a write cut short leaves the file as it was, or with part of the new bytes beyond its
// recorded size.
Status CommitWrite(TUDFRewritableVolume &v, OpenFileInformation &f, FileView &view,
                   const uint8_t *data, uint64_t count, const WritePlan &plan, ListBlocks &blocks,
                   TakenBlocks &taken) {
  for (const DataExtent &z : plan.Zeros)
    if (Status s = ZeroExtent(v, z.Block, z.Length); !s.IsOk()) return s;
  uint64_t done = 0;
  if (count > 0)
    if (Status s =
            Transfer(v, DataExtents(view.List.Extents), f.Position, nullptr, data, count, done);
        !s.IsOk())
      return s;
  // From here on descriptors on the medium may name the blocks taken.
  taken.Keep();
  if (Status s = blocks.WriteAll(plan.ADBytes); !s.IsOk()) return s;
  const uint64_t size = f.Size + plan.Append;
  UpdateFileEntry(view.FE, f.FEBlock, size,
                  view.Info.BlocksRecorded + plan.NewBlocks + plan.HoleBlocks, 0, true);
  if (Status s = StoreBlock(v, f.FEBlock, view.FE); !s.IsOk()) return s;
  const int64_t used = int64_t(plan.NewBlocks + plan.ListBlocksAdded + plan.HoleBlocks);
  if (Status s = CommitIntegrity(v, -used, 0, 0); !s.IsOk()) return s;
  f.Position += count;
  view.Info.InformationLength = size;
  SyncHandle(f, view);
  return Status::Ok();
}

// A file another writer embedded in its entry first gets a block of its own. Long
// descriptors stay long: the list goes on in the form it has.
Status PrepareList(TUDFRewritableVolume &v, OpenFileInformation &f, FileView &view,
                   uint32_t count) {
  if (view.List.Embedded() && count > 0) {
    if (Status s = MakeShortForm(v, f.FEBlock); !s.IsOk()) return s;
    if (Status s = LoadFile(v, f, view); !s.IsOk()) return s;
    SyncHandle(f, view);
  }
  return WritableForm(view);
}

// Writes `count` bytes at the handle's position: plans, extends the list in memory, then
// commits, under one guard that gives back what a failed write took.
Status WriteAtPosition(TUDFRewritableVolume &v, OpenFileInformation &f, FileView &view,
                       const uint8_t *data, uint32_t count) {
  PendingExtentList *runs = PendingExtentsOf(v);
  if (!runs) return KORVA_E_NOT_COMPATIBLE;
  TakenBlocks taken(v, *runs);
  if (Status s = PrepareList(v, f, view, count); !s.IsOk()) return s;
  ListBlocks blocks(v, view, f.FEBlock);
  WritePlan plan;
  Status s = PlanWrite(v, f, view, count, blocks, *runs, taken, plan);
  if (s.IsOk()) s = ExtendList(v, view.List, blocks, *runs, plan, taken);
  if (s.IsOk()) s = CommitWrite(v, f, view, data, count, plan, blocks, taken);
  return s;
}

// Reads up to `count` bytes from the handle's position into `buffer`; `done` what arrived
// before any failure.
Status ReadAtPosition(TUDFRewritableVolume &v, OpenFileInformation &f, uint8_t *buffer,
                      uint32_t count, uint64_t &done) {
  done = 0;
  if (!f.View || f.ViewGeneration != v.WriteGeneration) {
    auto fresh = std::make_shared<FileView>();
    if (Status s = LoadFile(v, f, *fresh); !s.IsOk()) {
      f.View.reset();
      return s;
    }
    f.View = std::move(fresh);
    f.ViewGeneration = v.WriteGeneration;
  }
  const FileView &view = *f.View;
  SyncHandle(f, view);
  if (f.Position >= f.Size) return Status::Ok();
  const uint64_t want = std::min<uint64_t>(count, f.Size - f.Position);
  Status s;
  if (view.List.Embedded()) {
    std::memcpy(buffer, view.FE + view.List.EmbeddedOffset + f.Position, want);
    done = want;
  } else if (BlockBytesOf(v) != kBlockSize) {
    s = ReadForeignBlockData(v, BlockSpaceOf(v), DataExtents(view.List.Extents), f.Position, buffer,
                             want, done);
  } else {
    s = Transfer(v, DataExtents(view.List.Extents), f.Position, buffer, nullptr, want, done);
  }
  f.Position += done;
  SyncHandle(f, view);
  return s;
}

} // namespace

KORVA_API KBOOL UDF_WriteFile(TUDFRewritableVolume *volume, UDF_HANDLE handle, const void *buffer,
                              uint32_t count, uint32_t *written) {
  if (written) *written = 0;
  if (!volume) return KFALSE;
  TUDFRewritableVolume &v = *volume;
  FileView view;
  OpenFileInformation *f = nullptr;
  Status s = BeginTransfer(v, handle, UDF_GENERIC_WRITE, buffer, count, view, f);
  // Writing nothing changes nothing, in whatever form the file is recorded.
  if (s.IsOk() && count > 0)
    s = WriteAtPosition(v, *f, view, static_cast<const uint8_t *>(buffer), count);
  if (s.IsOk() && written) *written = count;
  return Report(v, s);
}

KORVA_API KBOOL UDF_ReadFile(TUDFRewritableVolume *volume, UDF_HANDLE handle, void *buffer,
                             uint32_t count, uint32_t *read) {
  if (read) *read = 0;
  if (!volume) return KFALSE;
  TUDFRewritableVolume &v = *volume;
  OpenFileInformation *f = nullptr;
  uint64_t done = 0;
  Status s = CheckTransfer(v, handle, UDF_GENERIC_READ, buffer, count, f);
  if (s.IsOk()) s = ReadAtPosition(v, *f, static_cast<uint8_t *>(buffer), count, done);
  if (read) *read = static_cast<uint32_t>(done);
  return Report(v, s);
}
