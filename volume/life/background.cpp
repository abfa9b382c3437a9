// Background operations: the work thread that formats or erases, and the short-lived
// notification thread that calls the caller's completion handler once the work has ended.
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "volume/life/background.h"
#include "volume/engine.h"
#include "volume/engine_state.h"

namespace korva {

// Bookkeeping owned by the record: how many started operations have not yet finished
// (work done and handler returned), and whether one is still working on the record.
struct BackgroundState {
  std::mutex mutex;
  std::condition_variable done;
  int running = 0;
  bool working = false;
};

void DestroyPart(BackgroundState *part) { delete part; }

namespace {

// The bookkeeping is read from other threads (progress polling, a refused call on a second
// thread), so its pointer is only ever accessed atomically.
BackgroundState *Existing(const TUDFRewritableVolume &v) {
  const EngineState *e = FindEngine(v);
  return e ? e->Background.load(std::memory_order_acquire) : nullptr;
}

BackgroundState *StateOf(TUDFRewritableVolume &v) {
  try {
    EngineState &e = EngineOf(v);
    BackgroundState *current = e.Background.load(std::memory_order_acquire);
    if (current) return current;
    auto *fresh = new BackgroundState();
    // Two threads starting work on one record at once agree on one state.
    if (!e.Background.compare_exchange_strong(current, fresh, std::memory_order_acq_rel)) {
      delete fresh;
      return current;
    }
    return fresh;
  } catch (const std::bad_alloc &) {
    return nullptr;
  }
}

void EndWork(BackgroundState *state) {
  if (!state) return;
  std::lock_guard<std::mutex> lock(state->mutex);
  state->working = false;
}

} // namespace

bool HasBackgroundState(TUDFRewritableVolume &v) {
  return Existing(v) != nullptr;
}

bool BackgroundBusy(TUDFRewritableVolume &v) {
  BackgroundState *state = Existing(v);
  if (!state) return false;
  std::lock_guard<std::mutex> lock(state->mutex);
  return state->working;
}

bool RefuseWhileBusy(TUDFRewritableVolume &v) {
  if (!BackgroundBusy(v)) return false;
  std::atomic_ref<uint32_t>(v.LastError).store(KORVA_E_BUSY, std::memory_order_relaxed);
  return true;
}

// ---- TUDFThreadBase ---------------------------------------------------------------------

TUDFThreadBase::~TUDFThreadBase() = default;

bool TUDFThreadBase::Resume() {
  try {
    std::thread(&TUDFThreadBase::Run, this).detach();
    return true;
  } catch (const std::system_error &) {
    return false;
  }
}

void TUDFThreadBase::Run() {
  Execute();
  delete this;
}

// ---- TNotifyCompletionThread -------------------------------------------------------------

TNotifyCompletionThread::TNotifyCompletionThread(TUDFRewritableVolume &volume,
                                                 UDFThreadedOperation operation)
    : Volume(volume), Operation(operation) {}

void TNotifyCompletionThread::Execute() {
  if (Operation == toFormatVolume && FormatHandler) {
    FormatHandler(Context, this, Failed ? -1 : 0);
  } else if (Operation == toEraseDisc && EraseHandler) {
    EraseHandler(Context, this, Failed ? -1 : 0);
  }
  FinishBackgroundOperation(State);
}

// ---- TUDFThread ---------------------------------------------------------------------------

TUDFThread::TUDFThread(TUDFRewritableVolume &volume, UDFThreadedOperation operation)
    : Volume(volume), Operation(operation) {}

void TUDFThread::Execute() {
  auto *notify = new (std::nothrow) TNotifyCompletionThread(Volume, Operation);
  bool success = false;
  if (Operation == toFormatVolume) {
    success = FormatVolumeOperation(Volume, Label, QuickFormat);
  } else {
    success = EraseDiscOperation(Volume, QuickErase);
  }
  // The record is the caller's again; the handler below may use it.
  EndWork(State);
  if (!notify) {
    // Out of memory: still end the operation, so waiters are released.
    FinishBackgroundOperation(State);
    return;
  }
  notify->FormatHandler = FormatHandler;
  notify->EraseHandler = EraseHandler;
  notify->Context = Context;
  notify->State = State;
  notify->Failed = !success;
  if (!notify->Resume()) {
    // No second thread to be had: call the handler here rather than never.
    notify->Execute();
    delete notify;
  }
}

// ---- Starting and waiting ---------------------------------------------------------------

bool StartBackgroundOperation(TUDFRewritableVolume &v, TUDFThread *thread) {
  BackgroundState *state = StateOf(v);
  if (!state) {
    delete thread;
    return false;
  }
  {
    // One operation at a time works on a record: two would share its packet buffer and
    // the drive.
    std::lock_guard<std::mutex> lock(state->mutex);
    if (state->working) {
      delete thread;
      std::atomic_ref<uint32_t>(v.LastError).store(KORVA_E_BUSY, std::memory_order_relaxed);
      return false;
    }
    state->working = true;
    ++state->running;
  }
  thread->State = state;
  if (!thread->Resume()) {
    delete thread;
    EndWork(state);
    FinishBackgroundOperation(state);
    return false;
  }
  return true;
}

void FinishBackgroundOperation(BackgroundState *state) {
  if (!state) return;
  std::lock_guard<std::mutex> lock(state->mutex);
  --state->running;
  state->done.notify_all();
}

void WaitForBackground(TUDFRewritableVolume &v) {
  BackgroundState *state = Existing(v);
  if (!state) return;
  {
    std::unique_lock<std::mutex> lock(state->mutex);
    state->done.wait(lock, [state] { return state->running == 0; });
  }
  FindEngine(v)->Background.store(nullptr, std::memory_order_release);
  delete state;
  ReleaseEngineIfEmpty(v);
}

} // namespace korva

extern "C" KORVA_API void UDF_WaitForBackgroundOperation(TUDFRewritableVolume *volume) {
  if (volume) korva::WaitForBackground(*volume);
}
