// Thread classes of the background operations (format and erase).
#ifndef KORVA_VOLUME_BACKGROUND_H
#define KORVA_VOLUME_BACKGROUND_H

#include <string>

#include "korva/volume.h"
#include "volume/status.h"

namespace korva {

struct BackgroundState;

// A thread object that is created suspended, started by its creator with Resume, runs its
// Execute on a thread of its own and deletes itself when Execute returns. Nobody keeps a
// reference to it once resumed.
class TUDFThreadBase {
public:
  virtual ~TUDFThreadBase();
  TUDFThreadBase(const TUDFThreadBase &) = delete;
  TUDFThreadBase &operator=(const TUDFThreadBase &) = delete;
  // Starts the thread; false when no thread could be created (the object is not deleted).
  bool Resume();
  virtual void Execute() = 0;

protected:
  TUDFThreadBase() = default;

private:
  void Run();
};

// Calls the completion handler of a finished operation, then ends.
class TNotifyCompletionThread final : public TUDFThreadBase {
public:
  TNotifyCompletionThread(TUDFRewritableVolume &volume, UDFThreadedOperation operation);
  void Execute() override;

  TUDFRewritableVolume &Volume;
  UDFThreadedOperation Operation;
  bool Failed = false;
  TFormatDoneEvent FormatHandler = nullptr;
  TEraseDoneEvent EraseHandler = nullptr;
  void *Context = nullptr;
  BackgroundState *State = nullptr;
};

// Runs a format or an erase on the caller's record, then hands the result to a
// notification thread.
class TUDFThread final : public TUDFThreadBase {
public:
  TUDFThread(TUDFRewritableVolume &volume, UDFThreadedOperation operation);
  void Execute() override;

  TUDFRewritableVolume &Volume;
  UDFThreadedOperation Operation;
  std::u16string Label;
  bool QuickFormat = false;
  TFormatDoneEvent FormatHandler = nullptr;
  bool QuickErase = false;
  TEraseDoneEvent EraseHandler = nullptr;
  void *Context = nullptr;
  BackgroundState *State = nullptr;
};

// Registers the operation with the record and resumes the thread. On failure the thread
// object is deleted and false returned; error 26 when another operation is still working
// on the record.
bool StartBackgroundOperation(TUDFRewritableVolume &v, TUDFThread *thread);
void FinishBackgroundOperation(BackgroundState *state);
// Waits until every started operation has finished, then frees the bookkeeping.
void WaitForBackground(TUDFRewritableVolume &v);

// A drive command of the background work: format and erase set no error number of their
// own when the drive refuses a blank, format or write (the handler's Failed says it,
// LastError stays 0).
inline Status DriveCommand(bool accepted) {
  return accepted ? Status::Ok() : Status::Unnumbered();
}

// Seam to a step still on bool plus LastError whose failure may carry no number (a check
// that found a structure not this library's): the step runs with LastError clear, so that
// an earlier number cannot pass for its own, and LastError is left as it was. A read or
// write that failed gives its number, anything else Status::Unnumbered().
template <class Step> Status OldStep(TUDFRewritableVolume &v, Step step) {
  const uint32_t before = v.LastError;
  v.LastError = 0;
  const bool ok = step();
  const uint32_t number = v.LastError;
  v.LastError = before;
  if (ok) return Status::Ok();
  return number != 0 ? Status(number) : Status::Unnumbered();
}

} // namespace korva

#endif
