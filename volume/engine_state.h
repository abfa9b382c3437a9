// The engine's state of one volume record: every part the engine allocates for a record,
// owned by one object behind the record's Engine slot.
#ifndef KORVA_VOLUME_ENGINE_STATE_H
#define KORVA_VOLUME_ENGINE_STATE_H

#include <atomic>
#include <cstdint>
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
// Frees the engine state when it holds nothing any more. References to it must not be
// held across a call that may free a part.
void ReleaseEngineIfEmpty(TUDFRewritableVolume &v);

// Lifecycle ---------------------------------------------------------------------------
//
// Where a record stands, as the pager of a database documents its states. The stored form
// is the public flags callers read (VolumeOpen, Compatible, ReadOnly, CloseAfterFailure,
// MediumChanged, CacheFlushFailed, DeviceSelected, ImageMode); LifecycleOf reads them in one
// place and the Enter functions below are the only writers of VolumeOpen, Compatible,
// CloseAfterFailure, ReadOnly, MediumChanged and CacheFlushFailed, each checking its
// transition against the table (MayEnter):
//
//   from \ to       Idle/Selected  Opened         ReadOnly  Writable      Failed
//   Idle/Selected   -              mount          -         -             -
//   Opened          dismount       -              mount     mount,        I/O failure,
//                                                           format,       medium changed
//                                                           repair
//   ReadOnly        dismount       -              -         -             medium changed
//   Writable        dismount       format,        -         -             I/O failure,
//                                  repair, a                              medium changed
//                                  failure left
//                                  for repair
//   Failed          dismount       format,        -         format,       -
//                                  repair                   repair
//
// Working overlays every state while a format or erase runs on the record: each call that
// would touch the medium is refused with error 26 (RefuseWhileBusy). Wrong transitions
// stop the program in debug and sanitizer builds; release builds take them as they come,
// and the exported calls refuse calls in the wrong state with their error numbers (10 not
// compatible, 17 not mounted, 18 no device, 26 busy, 27 read-only).
enum class Lifecycle : uint8_t {
  Idle,            // nothing selected, nothing mounted
  DeviceSelected,  // a drive selected or an image used before; no volume mounted
  Opened,          // a medium mounted that holds no usable volume (yet): format, repair
  MountedReadOnly, // a usable volume, only read
  MountedWritable, // a usable volume, written
  Failed,          // an I/O failure, a failed cache flush or a medium change: dismount only
  Working,         // a format or erase runs on the record
};

// The record's state; Working while background work runs (safe from any thread only for
// that answer: the flags belong to the thread that owns the record).
Lifecycle LifecycleOf(const TUDFRewritableVolume &v);
// The state of the mount alone, whatever background work runs (the worker's own view).
Lifecycle MountStateOf(const TUDFRewritableVolume &v);
// Whether the table allows going from one state to the other.
bool MayEnter(Lifecycle from, Lifecycle to);
// Whether wrong transitions stop the program (debug and sanitizer builds).
bool TransitionChecksOn();
// The text of a state, for messages and test output.
const char *LifecycleName(Lifecycle state);

// A mount reached the medium: the volume is open, nothing usable yet.
void EnterOpened(TUDFRewritableVolume &v);
// The mounted volume is usable (read-only when ReadOnly is set).
void EnterUsable(TUDFRewritableVolume &v);
// The volume is no longer usable. closeAfter: dismount still closes it (an I/O failure),
// otherwise it stays open on the medium for repair.
void EnterFailed(TUDFRewritableVolume &v, bool closeAfter);
// A format or repair begins rewriting the volume: not usable until it ends.
void EnterRewriting(TUDFRewritableVolume &v);
// The volume was let go of: no volume mounted.
void EnterClosed(TUDFRewritableVolume &v);
// The mount only reads: chosen before the volume is usable, or when the medium refuses the
// first write. A usable writable volume never becomes read-only in place, nor the reverse.
void EnterReadOnly(TUDFRewritableVolume &v);
// The drive reported a unit attention since the mount: the disc may be another one.
void EnterMediumChanged(TUDFRewritableVolume &v);
// What the drive's cache held may never reach the medium.
void EnterCacheFlushFailed(TUDFRewritableVolume &v);
// A fresh watch of the medium: no change seen and no failed flush (a mount that has read
// the medium, or a format that takes the disc in the drive as it is).
void EnterMediumWatched(TUDFRewritableVolume &v);

// One part of the record's state; null when the record holds none.
template <class T> T *PartOf(const TUDFRewritableVolume &v, EnginePart<T> EngineState::*part) {
  EngineState *e = FindEngine(v);
  return e ? (e->*part).get() : nullptr;
}
// Frees one part, if the record holds it, and the state with it when that was the last.
template <class T> void DropPart(TUDFRewritableVolume &v, EnginePart<T> EngineState::*part) {
  EngineState *e = FindEngine(v);
  if (!e) return;
  (e->*part).reset();
  ReleaseEngineIfEmpty(v);
}

} // namespace korva

#endif
