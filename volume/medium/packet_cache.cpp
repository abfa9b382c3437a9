// The ordered packet cache: packets held in memory, written whole, loose writes before the
// commits that may refer to them, a barrier before every commit, frees after their commit is
// durable. See packet_cache.h for the two kinds of write.
#include "volume/medium/packet_cache.h"

#include <algorithm>
#include <cstring>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "volume/engine_state.h"

namespace korva {

struct CachedPacket {
  std::vector<uint8_t> Data;
  uint64_t LastUse = 0;
  bool Dirty = false;  // holds bytes the medium has not got yet
  bool Commit = false; // in the list of pending commits
  bool LooseLater = false; // a pending commit that took loose changes after it
  uint64_t Changed = 0;     // a pending commit's last change, on the cache's change count
  // A pending commit's packet as the medium holds it plus the loose changes made since: it
  // goes out with the loose writes, ahead of the barrier before the commit.
  std::vector<uint8_t> Base;
};

struct FreshRun {
  uint32_t First = 0;
  uint32_t Count = 0;
  uint64_t Taken = 0; // commit changes made before the blocks were taken
};

struct PacketCache {
  uint32_t Blocks = 0; // sectors per packet when the cache was made
  std::unordered_map<uint32_t, CachedPacket> Packets;
  std::vector<uint32_t> Commits; // packets with a pending commit, in the order made
  size_t Bytes = 0;
  uint64_t Clock = 0;
  bool Unbarriered = false; // a write went out since the last barrier
  // Packets written since the last barrier: a drive's cache need not answer reads of them
  // with what it was sent, so reading one back takes a barrier first.
  std::unordered_set<uint32_t> Unsynced;
  // Packets written since the cache was made: what the medium holds there may matter.
  std::unordered_set<uint32_t> Written;
  // The in-memory bitmap has taken in every block the tree uses (an allocation ran the walk
  // that makes sure of it): a block free there holds nothing anyone needs.
  bool BitmapTrusted = false;
  // Blocks no commit on the medium may refer to, one bit each, and their runs with the
  // change count when taken: a commit refers only to blocks taken before its last change.
  std::vector<uint8_t> Fresh;
  std::vector<FreshRun> FreshRuns;
  uint64_t Changes = 0; // commit changes made so far
  std::vector<std::pair<uint32_t, uint32_t>> Frees; // waiting for a barrier
};

void DestroyPart(PacketCache *part) { delete part; }

namespace {

size_t PacketBytes(const PacketCache &c) {
  return size_t(c.Blocks) * kSectorSize;
}

PacketCache *Existing(const TUDFRewritableVolume &v) {
  return PartOf(v, &EngineState::Cache);
}

PacketCache &CacheOf(TUDFRewritableVolume &v) {
  PacketCache *c = Existing(v);
  if (c && c->Blocks == PacketBlocksOf(v)) return *c;
  EnginePart<PacketCache> fresh(new PacketCache());
  fresh->Blocks = PacketBlocksOf(v);
  EngineState &e = EngineOf(v);
  e.Cache = std::move(fresh);
  return *e.Cache;
}

size_t Limit(const TUDFRewritableVolume &v, const PacketCache &c) {
  const size_t limit = v.PacketCacheBytes ? v.PacketCacheBytes : kDefaultPacketCacheBytes;
  return std::max(limit, 4 * PacketBytes(c));
}

bool IsFresh(const TUDFRewritableVolume &v, const PacketCache &c, uint32_t sector) {
  if (sector < v.PartitionStart) return false;
  const uint32_t block = sector - v.PartitionStart;
  return block / 8 < c.Fresh.size() && (c.Fresh[block / 8] & (1u << (block % 8)));
}

// A commit whose last change was change number `changed` goes out: the blocks taken before
// that change may be referred to from now on. Blocks taken since stay fresh, so an operation
// under way when a flush comes keeps writing its new blocks loose.
void ClearFresh(PacketCache &c, uint64_t changed) {
  auto referable = [&](const FreshRun &r) { return r.Taken < changed; };
  for (const FreshRun &r : c.FreshRuns) {
    if (!referable(r)) continue;
    for (uint32_t b = r.First; b < r.First + r.Count && b / 8 < c.Fresh.size(); ++b)
      c.Fresh[b / 8] = static_cast<uint8_t>(c.Fresh[b / 8] & ~(1u << (b % 8)));
  }
  c.FreshRuns.erase(std::remove_if(c.FreshRuns.begin(), c.FreshRuns.end(), referable),
                    c.FreshRuns.end());
}

// Whether the write changes a sector that is not fresh. Without the medium's copy (known
// false) every sector counts as changed.
bool ChangesReferenced(const TUDFRewritableVolume &v, const PacketCache &c, uint32_t start,
                       const CachedPacket &p, bool known, uint32_t first, uint32_t count,
                       const uint8_t *src) {
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t *now = p.Data.data() + size_t(first + i) * kSectorSize;
    if (known && std::memcmp(now, src + size_t(i) * kSectorSize, kSectorSize) == 0) continue;
    if (!IsFresh(v, c, start + first + i)) return true;
  }
  return false;
}

Status Barrier(TUDFRewritableVolume &v, PacketCache &c) {
  if (!c.Unbarriered) return Status::Ok();
  if (Status s = SyncMedium(v); !s.IsOk()) return s;
  c.Unbarriered = false;
  c.Unsynced.clear();
  return Status::Ok();
}

// Frees whose commits are durable reach the in-memory bitmap.
void ApplyFrees(TUDFRewritableVolume &v, PacketCache &c) {
  std::vector<std::pair<uint32_t, uint32_t>> frees;
  frees.swap(c.Frees);
  for (const auto &[first, count] : frees)
    MarkRunNow(v, first, count, false);
}

// A commit last changed at `changed` is about to go out: what went before it lands first.
Status BeforeCommit(TUDFRewritableVolume &v, PacketCache &c, uint64_t changed) {
  if (Status s = Barrier(v, c); !s.IsOk()) return s;
  ClearFresh(c, changed);
  return Status::Ok();
}

// A packet went out: what a read of it and the next barrier must know.
void NoteWritten(TUDFRewritableVolume &v, PacketCache &c, uint32_t start) {
  c.Unbarriered = true;
  c.Written.insert(start);
  if (!v.ImageMode) c.Unsynced.insert(start);
}

Status WriteOut(TUDFRewritableVolume &v, PacketCache &c, uint32_t start) {
  auto it = c.Packets.find(start);
  if (it == c.Packets.end() || !it->second.Dirty) return Status::Ok();
  if (Status s = WritePacketToMedium(v, start, it->second.Data.data()); !s.IsOk()) {
    // The medium's copy is unknown now: read it again when asked.
    c.Bytes -= it->second.Data.size();
    c.Packets.erase(it);
    return s;
  }
  it->second.Dirty = false;
  NoteWritten(v, c, start);
  return Status::Ok();
}

// Drops clean packets, least recently used first, but never `keep` (just read for a write).
void Evict(PacketCache &c, size_t limit, uint32_t keep = UINT32_MAX) {
  while (c.Bytes > limit) {
    auto victim = c.Packets.end();
    for (auto it = c.Packets.begin(); it != c.Packets.end(); ++it)
      if (!it->second.Dirty && it->first != keep && (victim == c.Packets.end() ||
                                it->second.LastUse < victim->second.LastUse))
        victim = it;
    if (victim == c.Packets.end()) return;
    c.Bytes -= victim->second.Data.size();
    c.Packets.erase(victim);
  }
}

// The loose changes made to a pending commit's packet, without the commit's.
Status WriteLooseBase(TUDFRewritableVolume &v, PacketCache &c, uint32_t start) {
  auto it = c.Packets.find(start);
  if (it == c.Packets.end() || !it->second.LooseLater) return Status::Ok();
  if (Status s = WritePacketToMedium(v, start, it->second.Base.data()); !s.IsOk()) return s;
  it->second.LooseLater = false;
  NoteWritten(v, c, start);
  return Status::Ok();
}

// Everything pending, in safe order: loose packets in medium order, then each commit after a
// barrier, in the order made.
Status WritePending(TUDFRewritableVolume &v, PacketCache &c) {
  std::vector<uint32_t> loose;
  for (const auto &[start, p] : c.Packets)
    if (p.Dirty && !p.Commit) loose.push_back(start);
  std::sort(loose.begin(), loose.end());
  for (uint32_t start : loose)
    if (Status s = WriteOut(v, c, start); !s.IsOk()) return s;
  for (uint32_t start : c.Commits)
    if (Status s = WriteLooseBase(v, c, start); !s.IsOk()) return s;
  std::vector<uint32_t> commits;
  commits.swap(c.Commits);
  for (uint32_t start : commits) {
    auto it = c.Packets.find(start);
    if (it == c.Packets.end()) continue;
    it->second.Commit = false;
    it->second.LooseLater = false;
    it->second.Base.clear();
    if (Status s = BeforeCommit(v, c, it->second.Changed); !s.IsOk()) return s;
    if (Status s = WriteOut(v, c, start); !s.IsOk()) return s;
  }
  return Status::Ok();
}

// Write-behind failed part-way (with `s`): the medium holds an unknown mix, so the volume is
// lost until it is mounted again (error 16 unless the failure said as much already), and
// the cache starts over from the medium.
Status FailedBehind(TUDFRewritableVolume &v, Status s) {
  const uint32_t e = s.Error();
  if (e != KORVA_E_WRITE_DIRTY && e != KORVA_E_CACHE_FLUSH && e != KORVA_E_MEDIUM_CHANGED) {
    EnterFailed(v, true);
    s = KORVA_E_WRITE_DIRTY;
  }
  // Changes of several operations may be missing: the volume is not closed over them but
  // left open for repair.
  EnterFailed(v, false);
  ReleasePacketCache(v);
  return s;
}

// A failure of a flush: under write-behind it loses the volume (FailedBehind).
Status FlushFailed(TUDFRewritableVolume &v, Status s) {
  return v.WriteBehind ? FailedBehind(v, s) : s;
}

Status Flush(TUDFRewritableVolume &v, PacketCache &c, bool durable) {
  if (Status s = WritePending(v, c); !s.IsOk()) return FlushFailed(v, s);
  if (durable || !c.Frees.empty()) {
    if (Status s = Barrier(v, c); !s.IsOk()) return FlushFailed(v, s);
    ApplyFrees(v, c);
  }
  return Status::Ok();
}

// Write-behind: a commit joins the list. The one last made absorbs a later change of its
// packet (loose changes made to it in between go out ahead of it, from Base); an earlier one
// cannot absorb it (what was made after it may depend on it): everything pending goes out
// first. A packet with loose changes pending goes out as it is before it becomes a commit.
Status QueueCommit(TUDFRewritableVolume &v, PacketCache &c, uint32_t start) {
  CachedPacket &p = c.Packets[start];
  if (p.Commit) return c.Commits.back() == start ? Status::Ok() : Flush(v, c, false);
  if (!p.Dirty) return Status::Ok();
  if (Status s = WriteOut(v, c, start); !s.IsOk()) return FailedBehind(v, s);
  return Status::Ok();
}

// A loose change to a pending commit's packet goes into Base as well, unless a sector it
// changes holds commit changes too (Base cannot take the one without the other): then
// everything pending goes out first. Sectors the write leaves as they are (a whole packet
// of the bitmap written over the packet it shares) are not changes.
Status LooseIntoCommit(TUDFRewritableVolume &v, PacketCache &c, CachedPacket &p, uint32_t first,
                     uint32_t count, const uint8_t *src) {
  auto sector = [&](const std::vector<uint8_t> &d, uint32_t i) {
    return d.data() + size_t(i) * kSectorSize;
  };
  for (uint32_t i = first; i < first + count; ++i) {
    const uint8_t *now = src + size_t(i - first) * kSectorSize;
    if (std::memcmp(now, sector(p.Data, i), kSectorSize) == 0) continue;
    if (std::memcmp(sector(p.Base, i), sector(p.Data, i), kSectorSize) != 0)
      return Flush(v, c, false);
  }
  for (uint32_t i = first; i < first + count; ++i) {
    const uint8_t *now = src + size_t(i - first) * kSectorSize;
    if (std::memcmp(now, sector(p.Data, i), kSectorSize) == 0) continue;
    std::memcpy(p.Base.data() + size_t(i) * kSectorSize, now, kSectorSize);
    p.LooseLater = true;
  }
  return Status::Ok();
}

// Memory pressure: loose packets need no barrier, so the least recently used of them go out
// first (full ones, as a rule), until letting go of them brings the cache under its bound.
Status WriteLooseForRoom(TUDFRewritableVolume &v, PacketCache &c, uint32_t keep) {
  std::vector<std::pair<uint64_t, uint32_t>> loose;
  for (const auto &[start, p] : c.Packets)
    if (p.Dirty && !p.Commit && start != keep) loose.emplace_back(p.LastUse, start);
  std::sort(loose.begin(), loose.end());
  for (const auto &[use, start] : loose) {
    if (c.Bytes <= Limit(v, c)) break;
    if (Status s = WriteOut(v, c, start); !s.IsOk()) return FailedBehind(v, s);
    Evict(c, Limit(v, c), keep);
  }
  return Status::Ok();
}

// Brings the cache under its bound: clean packets go, then loose ones, then everything.
Status MakeRoom(TUDFRewritableVolume &v, PacketCache &c, uint32_t keep) {
  Evict(c, Limit(v, c), keep);
  if (c.Bytes > Limit(v, c))
    if (Status s = WriteLooseForRoom(v, c, keep); !s.IsOk()) return s;
  if (c.Bytes > Limit(v, c))
    if (Status s = Flush(v, c, false); !s.IsOk()) return s;
  Evict(c, Limit(v, c), keep);
  return Status::Ok();
}

Status WriteBehind(TUDFRewritableVolume &v, PacketCache &c, uint32_t start, uint32_t first,
                   uint32_t count, const uint8_t *src, bool commit) {
  if (commit)
    if (Status s = QueueCommit(v, c, start); !s.IsOk()) return s;
  auto it = c.Packets.find(start);
  if (it == c.Packets.end()) return FailedBehind(v, KORVA_E_WRITE);
  CachedPacket &p = it->second;
  if (!commit && p.Commit)
    if (Status s = LooseIntoCommit(v, c, p, first, count, src); !s.IsOk()) return s;
  if (commit && !p.Commit) {
    p.Base = p.Data; // the medium's copy: what was pending went out in QueueCommit
    p.Commit = true;
    p.LooseLater = false;
    c.Commits.push_back(start);
  }
  if (commit) p.Changed = ++c.Changes;
  std::memcpy(p.Data.data() + size_t(first) * kSectorSize, src, size_t(count) * kSectorSize);
  p.Dirty = true;
  return c.Bytes <= Limit(v, c) ? Status::Ok() : MakeRoom(v, c, start);
}

Status WriteThrough(TUDFRewritableVolume &v, PacketCache &c, uint32_t start, uint32_t first,
                    uint32_t count, const uint8_t *src, bool commit) {
  if (commit)
    if (Status s = BeforeCommit(v, c, ++c.Changes); !s.IsOk()) return s;
  CachedPacket &p = c.Packets[start];
  std::memcpy(p.Data.data() + size_t(first) * kSectorSize, src, size_t(count) * kSectorSize);
  p.Dirty = true;
  if (Status s = WriteOut(v, c, start); !s.IsOk()) return s;
  Evict(c, Limit(v, c), start);
  return Status::Ok();
}

// A change of count sectors of the packet at start (see CacheWrite).
Status ChangePacket(TUDFRewritableVolume &v, uint32_t start, uint32_t first, uint32_t count,
                    const uint8_t *src, WriteOrder order) {
  PacketCache &c = CacheOf(v);
  auto it = c.Packets.find(start);
  const bool known = it != c.Packets.end();
  if (!known) {
    // Whole packets need no copy of what was there; a part needs its packet read first.
    if (count != c.Blocks) return KORVA_E_WRITE;
    it = c.Packets.emplace(start, CachedPacket()).first;
    it->second.Data.assign(PacketBytes(c), 0);
    c.Bytes += PacketBytes(c);
  }
  it->second.LastUse = ++c.Clock;
  const bool commit = order == WriteOrder::Auto &&
                      ChangesReferenced(v, c, start, it->second, known, first, count, src);
  return v.WriteBehind ? WriteBehind(v, c, start, first, count, src, commit)
                       : WriteThrough(v, c, start, first, count, src, commit);
}

} // namespace

bool PacketCached(TUDFRewritableVolume &v, uint32_t start) {
  PacketCache *c = Existing(v);
  return c && c->Blocks == PacketBlocksOf(v) && c->Packets.count(start) != 0;
}

bool PacketHoldsNothing(TUDFRewritableVolume &v, uint32_t start) {
  PacketCache *c = Existing(v);
  if (!c || c->Blocks != PacketBlocksOf(v) || !c->BitmapTrusted || !v.SpaceBitmap ||
      SpaceBitmapSuspect(v) || c->Packets.count(start) || c->Written.count(start) || start < v.PartitionStart)
    return false;
  const uint32_t block = start - v.PartitionStart;
  if (block + c->Blocks > v.PartitionLength ||
      BitmapBytesFor(block + c->Blocks) > v.SpaceBitmapBytes)
    return false;
  for (uint32_t b = block; b < block + c->Blocks; ++b) {
    const bool free = v.SpaceBitmap[b / 8] & (1u << (b % 8));
    if (!free && !IsFresh(v, *c, start + (b - block))) return false;
  }
  return true;
}

bool ReadCachedSectors(TUDFRewritableVolume &v, uint32_t first, uint32_t count, uint8_t *dest) {
  PacketCache *c = Existing(v);
  if (!c || c->Blocks != PacketBlocksOf(v)) return false;
  const uint32_t start = PacketStartOf(v, first);
  if (first + count > start + c->Blocks) return false;
  auto it = c->Packets.find(start);
  if (it == c->Packets.end()) return false;
  it->second.LastUse = ++c->Clock;
  std::memcpy(dest, it->second.Data.data() + size_t(first - start) * kSectorSize,
              size_t(count) * kSectorSize);
  return true;
}

void KeepReadPacket(TUDFRewritableVolume &v, uint32_t start, const uint8_t *data) {
  PacketCache &c = CacheOf(v);
  CachedPacket &p = c.Packets[start];
  if (p.Dirty) return; // the cache's copy is the newer one
  if (p.Data.empty()) c.Bytes += PacketBytes(c);
  p.Data.assign(data, data + PacketBytes(c));
  p.LastUse = ++c.Clock;
  Evict(c, Limit(v, c), start);
}

Status CacheWrite(TUDFRewritableVolume &v, uint32_t start, uint32_t first, uint32_t count,
                  const uint8_t *src, WriteOrder order) {
  return ChangePacket(v, start, first, count, src, order);
}

Status BarrierBeforeRead(TUDFRewritableVolume &v, uint32_t first, uint32_t count) {
  PacketCache *c = Existing(v);
  if (!c || c->Unsynced.empty()) return Status::Ok();
  for (uint32_t s = PacketStartOf(v, first); s < first + count; s += c->Blocks)
    if (c->Unsynced.count(s)) return Barrier(v, *c);
  return Status::Ok();
}

Status FlushPacketCache(TUDFRewritableVolume &v, bool durable) {
  PacketCache *c = Existing(v);
  if (!c) return Status::Ok();
  return Flush(v, *c, durable);
}

void ReleasePacketCache(TUDFRewritableVolume &v) {
  DropPart(v, &EngineState::Cache);
}

void NoteFreshBlocks(TUDFRewritableVolume &v, uint32_t first, uint32_t count) {
  if (count == 0 || first >= v.PartitionLength) return;
  PacketCache &c = CacheOf(v);
  if (c.Fresh.size() != BitmapBytesFor(v.PartitionLength))
    c.Fresh.assign(BitmapBytesFor(v.PartitionLength), 0);
  count = std::min(count, v.PartitionLength - first);
  for (uint32_t b = first; b < first + count; ++b)
    c.Fresh[b / 8] = static_cast<uint8_t>(c.Fresh[b / 8] | (1u << (b % 8)));
  c.FreshRuns.push_back({first, count, c.Changes});
}

void TrustBitmapForWrites(TUDFRewritableVolume &v) {
  CacheOf(v).BitmapTrusted = true;
}

bool DeferFree(TUDFRewritableVolume &v, uint32_t first, uint32_t count) {
  PacketCache *c = Existing(v);
  if (!c || !v.Compatible || v.ReadOnly) return false;
  // Write-through: the commit that stopped referring to the blocks is out already; a
  // barrier makes it durable, and the blocks are free at once. (A failed barrier has lost
  // the volume; the blocks are freed all the same, as after any failure.)
  if (!v.WriteBehind) {
    (void)Barrier(v, *c);
    return false;
  }
  const bool pending = c->Unbarriered || !c->Commits.empty() ||
                       std::any_of(c->Packets.begin(), c->Packets.end(),
                                   [](const auto &kv) { return kv.second.Dirty; });
  if (!pending) return false;
  c->Frees.emplace_back(first, count);
  return true;
}

bool HasDeferredFrees(const TUDFRewritableVolume &v) {
  const PacketCache *c = Existing(v);
  return c && !c->Frees.empty();
}

bool PacketCacheSettled(const TUDFRewritableVolume &v) {
  const PacketCache *c = Existing(v);
  if (!c) return true;
  return c->Commits.empty() && c->Frees.empty() && !c->Unbarriered;
}

} // namespace korva
