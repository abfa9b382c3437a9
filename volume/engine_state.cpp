// Creation and release of the engine state behind a record's Engine slot.
#include "volume/engine_state.h"

#include <new>

#include "korva/volume.h"

namespace korva {

namespace {

// Background threads read the slot while the caller's thread may create the state, so the
// slot is only ever accessed atomically.
std::atomic_ref<void *> Slot(const TUDFRewritableVolume &v) {
  return std::atomic_ref<void *>(const_cast<TUDFRewritableVolume &>(v).Engine);
}

} // namespace

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
