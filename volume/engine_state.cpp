// Creation and release of the engine state behind a record's Engine slot.
#include "volume/engine_state.h"

#include <cstdio>
#include <iterator>
#include <cstdlib>
#include <new>

#include "korva/volume.h"
#include "volume/engine.h"

namespace korva {

namespace {

// Background threads read the slot while the caller's thread may create the state, so the
// slot is only ever accessed atomically.
std::atomic_ref<void *> Slot(const TUDFRewritableVolume &v) {
  return std::atomic_ref<void *>(const_cast<TUDFRewritableVolume &>(v).Engine);
}

#if !defined(NDEBUG) || defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kCheckTransitions = true;
#else
constexpr bool kCheckTransitions = false;
#endif

// One row of the transition table: the states a state may go to (its own always).
constexpr uint8_t Bit(Lifecycle s) {
  return uint8_t(1u << unsigned(s));
}
constexpr uint8_t kClosed = Bit(Lifecycle::Idle) | Bit(Lifecycle::DeviceSelected);
constexpr uint8_t kNext[] = {
    /* Idle */ Bit(Lifecycle::Opened),
    /* DeviceSelected */ Bit(Lifecycle::Opened),
    /* Opened */ kClosed | Bit(Lifecycle::MountedReadOnly) | Bit(Lifecycle::MountedWritable) |
        Bit(Lifecycle::Failed),
    /* MountedReadOnly */ kClosed | Bit(Lifecycle::Failed),
    /* MountedWritable */ kClosed | Bit(Lifecycle::Opened) | Bit(Lifecycle::Failed),
    /* Failed */ kClosed | Bit(Lifecycle::Opened) | Bit(Lifecycle::MountedWritable),
    /* Working */ 0,
};
static_assert(std::size(kNext) == size_t(Lifecycle::Working) + 1);

// Runs one transition: the change of the flags, checked against the table.
template <class Change> void Transition(TUDFRewritableVolume &v, Change change) {
  const Lifecycle from = MountStateOf(v);
  change();
  const Lifecycle to = MountStateOf(v);
  if (kCheckTransitions && !MayEnter(from, to)) {
    std::fprintf(stderr, "korva: volume state %s cannot become %s\n", LifecycleName(from),
                 LifecycleName(to));
    std::abort();
  }
}

} // namespace

Lifecycle MountStateOf(const TUDFRewritableVolume &v) {
  if (!v.VolumeOpen)
    return v.DeviceSelected || v.ImageMode ? Lifecycle::DeviceSelected : Lifecycle::Idle;
  if (v.MediumChanged || v.CacheFlushFailed) return Lifecycle::Failed;
  if (v.Compatible) return v.ReadOnly ? Lifecycle::MountedReadOnly : Lifecycle::MountedWritable;
  return v.CloseAfterFailure ? Lifecycle::Failed : Lifecycle::Opened;
}

Lifecycle LifecycleOf(const TUDFRewritableVolume &v) {
  if (BackgroundBusy(const_cast<TUDFRewritableVolume &>(v))) return Lifecycle::Working;
  return MountStateOf(v);
}

bool MayEnter(Lifecycle from, Lifecycle to) {
  return from == to || (kNext[size_t(from)] & Bit(to)) != 0;
}

bool TransitionChecksOn() {
  return kCheckTransitions;
}

const char *LifecycleName(Lifecycle state) {
  static const char *const kNames[] = {
      "idle",   "device selected", "opened", "mounted read-only", "mounted writable",
      "failed", "working"};
  return kNames[size_t(state)];
}

void EnterOpened(TUDFRewritableVolume &v) {
  Transition(v, [&] {
    v.VolumeOpen = 1;
    v.Compatible = 0;
    v.CloseAfterFailure = 0;
  });
}

void EnterUsable(TUDFRewritableVolume &v) {
  Transition(v, [&] {
    v.Compatible = 1;
    v.CloseAfterFailure = 0;
  });
}

void EnterFailed(TUDFRewritableVolume &v, bool closeAfter) {
  Transition(v, [&] {
    if (!closeAfter) {
      v.CloseAfterFailure = 0;
    } else if (v.Compatible) {
      v.CloseAfterFailure = 1;
    }
    v.Compatible = 0;
  });
}

void EnterRewriting(TUDFRewritableVolume &v) {
  Transition(v, [&] { v.Compatible = 0; });
}

void EnterClosed(TUDFRewritableVolume &v) {
  Transition(v, [&] {
    v.VolumeOpen = 0;
    v.Compatible = 0;
    v.CloseAfterFailure = 0;
    v.ReadOnly = 0;
    v.LeftOpen = 0;
  });
}

void EnterReadOnly(TUDFRewritableVolume &v) {
  Transition(v, [&] { v.ReadOnly = 1; });
}

void EnterMediumChanged(TUDFRewritableVolume &v) {
  Transition(v, [&] { v.MediumChanged = 1; });
}

void EnterCacheFlushFailed(TUDFRewritableVolume &v) {
  Transition(v, [&] { v.CacheFlushFailed = 1; });
}

void EnterMediumWatched(TUDFRewritableVolume &v) {
  Transition(v, [&] {
    v.MediumChanged = 0;
    v.CacheFlushFailed = 0;
  });
}

EngineState::~EngineState() {
  if (BackgroundState *b = Background.exchange(nullptr)) DestroyPart(b);
}

bool EngineState::HoldsNothing() const {
  return !PendingExtents && !OpenFiles && !FindHandles && !SpaceBitmapPending && !Sparing &&
         !Cache && !Partitions && !Background.load(std::memory_order_acquire);
}

EngineState *FindEngine(const TUDFRewritableVolume &v) {
  return static_cast<EngineState *>(Slot(v).load(std::memory_order_acquire));
}

EngineState &EngineOf(TUDFRewritableVolume &v) {
  void *current = Slot(v).load(std::memory_order_acquire);
  if (current) return *static_cast<EngineState *>(current);
  auto *fresh = new EngineState();
  if (!Slot(v).compare_exchange_strong(current, fresh, std::memory_order_acq_rel)) {
    delete fresh;
    return *static_cast<EngineState *>(current);
  }
  return *fresh;
}

void ReleaseEngineIfEmpty(TUDFRewritableVolume &v) {
  EngineState *e = FindEngine(v);
  if (!e || !e->HoldsNothing()) return;
  Slot(v).store(nullptr, std::memory_order_release);
  delete e;
}

} // namespace korva
