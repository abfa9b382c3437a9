// The engine's state of one volume record: every part the engine allocates for a record,
// owned by one object behind the record's Engine slot.
#ifndef KORVA_VOLUME_ENGINE_STATE_H
#define KORVA_VOLUME_ENGINE_STATE_H

#include <atomic>
#include <memory>

struct TUDFRewritableVolume;

namespace korva {

struct BackgroundState;
struct BitmapPending;
struct FindHandleList;
struct OpenFileList;
struct PacketCache;
struct PartitionMapState;
struct PendingExtentList;
struct SparingMap;

// Each part is freed by the module that knows its layout; the state only holds it.
void DestroyPart(BackgroundState *part);
void DestroyPart(BitmapPending *part);
void DestroyPart(FindHandleList *part);
void DestroyPart(OpenFileList *part);
void DestroyPart(PacketCache *part);
void DestroyPart(PartitionMapState *part);
void DestroyPart(PendingExtentList *part);
void DestroyPart(SparingMap *part);

struct PartDeleter {
  template <class T> void operator()(T *part) const { DestroyPart(part); }
};
template <class T> using EnginePart = std::unique_ptr<T, PartDeleter>;

// Everything the engine keeps for a record beyond the record's own fields. A part is null
// until the code that owns it needs it. The object is created at first need and freed once
// it holds nothing (dismount, the end of background work, release), so that a record with
// no mount and no background work holds no memory of the engine and may simply be freed.
struct EngineState {
  // File system, created by a mount: the runs of a running write, file handles, find handles.
  EnginePart<PendingExtentList> PendingExtents;
  EnginePart<OpenFileList> OpenFiles;
  EnginePart<FindHandleList> FindHandles;
  // Medium: the space bitmap's packets changed since written, the sparing table's
  // relocations, the packet cache, the partitions of another writer's volume.
  EnginePart<BitmapPending> SpaceBitmapPending;
  EnginePart<SparingMap> Sparing;
  EnginePart<PacketCache> Cache;
  EnginePart<PartitionMapState> Partitions;
  // Bookkeeping of format and erase threads. Other threads read it (progress polling, a
  // refused call), so it is only ever accessed atomically.
  std::atomic<BackgroundState *> Background{nullptr};

  EngineState() = default;
  EngineState(const EngineState &) = delete;
  EngineState &operator=(const EngineState &) = delete;
  ~EngineState();
  bool HoldsNothing() const;
};

// The record's engine state; null when the record holds none. Safe from any thread.
EngineState *FindEngine(const TUDFRewritableVolume &v);
// The record's engine state, created when there is none (two threads agree on one).
// Throws std::bad_alloc when memory runs out, as the engine's other allocations do.
EngineState &EngineOf(TUDFRewritableVolume &v);
// Frees the engine state when it holds nothing any more.
void ReleaseEngineIfEmpty(TUDFRewritableVolume &v);

// One part of the record's state; null when the record holds none.
template <class T> T *PartOf(const TUDFRewritableVolume &v, EnginePart<T> EngineState::*part) {
  EngineState *e = FindEngine(v);
  return e ? (e->*part).get() : nullptr;
}
// Frees one part, if the record holds it.
template <class T> void DropPart(TUDFRewritableVolume &v, EnginePart<T> EngineState::*part) {
  if (EngineState *e = FindEngine(v)) (e->*part).reset();
}

} // namespace korva

#endif
