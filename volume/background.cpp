// Background operations: the work thread that formats or erases, and the short-lived
// notification thread that calls the caller's completion handler once the work has ended.
#include <condition_variable>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "volume/background.h"
#include "volume/engine.h"

namespace korva {

// Bookkeeping owned by the record: how many started operations have not yet finished
// (work done and handler returned).
struct BackgroundState {
  std::mutex mutex;
  std::condition_variable done;
  int running = 0;
};

namespace {

BackgroundState *StateOf(TUDFRewritableVolume &v) {
  if (!v.Background) v.Background = new (std::nothrow) BackgroundState();
  return static_cast<BackgroundState *>(v.Background);
}

} // namespace

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
    std::lock_guard<std::mutex> lock(state->mutex);
    ++state->running;
  }
  thread->State = state;
  if (!thread->Resume()) {
    delete thread;
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
  auto *state = static_cast<BackgroundState *>(v.Background);
  if (!state) return;
  {
    std::unique_lock<std::mutex> lock(state->mutex);
    state->done.wait(lock, [state] { return state->running == 0; });
  }
  delete state;
  v.Background = nullptr;
}

} // namespace korva

extern "C" KORVA_API void UDF_WaitForBackgroundOperation(TUDFRewritableVolume *volume) {
  if (volume) korva::WaitForBackground(*volume);
}
