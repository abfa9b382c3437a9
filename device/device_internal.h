// Helpers shared by the device sources.
#ifndef KORVA_DEVICE_INTERNAL_H
#define KORVA_DEVICE_INTERNAL_H

#include <cstdint>
#include <string>

#include "korva/scsi.hpp"

namespace korva {

// Sense data of a request block: fixed (70h/71h) or descriptor (72h/73h) format.
// progress is the sense-key specific progress indication (0 to 65535 of the whole), valid
// when has_progress is set.
struct SenseFields {
  uint8_t key;
  uint8_t asc;
  uint8_t ascq;
  bool has_progress;
  uint16_t progress;
};
SenseFields ParseSense(const uint8_t *sense, size_t length);
SenseFields LastSenseFields(const TSCSIDevice *device);

// "Not ready" states that pass by themselves: becoming ready (04/01), format (04/04),
// operation (04/07) and long write (04/08) in progress.
bool IsBusyNotReady(const SenseFields &s);

enum class DriveReadiness { kReady, kNoMedium, kFailed, kTimedOut };
// Sends TEST UNIT READY until the drive is ready. Unit attentions (a disc was loaded, the
// drive was reset) are taken and the drive asked again at once; the busy "not ready" states
// are waited out, poll_ms between tries, for at most bound_ms by the platform's clock. No
// medium ends the wait at once, and so does any other sense (kFailed).
DriveReadiness WaitForReadyDrive(TSCSIDevice *device, uint32_t bound_ms, uint32_t poll_ms);

// Seconds a command may take before the transport gives up on it, by its class: ordinary,
// cache flush, long operations with the immediate bit (polled afterwards) or without it.
uint32_t CommandTimeoutSeconds(const TSRB_ExecSCSICmd *srb);
// Counts a unit attention (medium changed, reset, parameters changed) in the record.
void NoteUnitAttention(TSCSIDevice *device, const uint8_t *sense, size_t length);
// Opens the record's drive: for writing, exclusively, else for reading only (the refused
// exclusive open's errno is kept in ExclusiveOpenError). 0, or the errno of the failure.
int OpenDriveHandle(TSCSIDevice *device);

// Sends an execute request through the bound ASPI-style module and waits for it. The
// module works on a copy of the block and of the data that the transport owns, so a module
// that completes after a failed wait never writes into the caller's memory.
uint8_t SendAspiRequest(TSCSIDevice *device, TSRB_ExecSCSICmd *srb);
// Frees the abandoned requests their module has completed since; true when none is left.
bool ReapAbandonedRequests(TSCSIDevice *device);
// Unloads the record's ASPI-style module unless a request is still in its hands.
void ReleaseAspiModule(TSCSIDevice *device);

// The completion event of a block: an eventfd descriptor on Linux, an event handle on
// Windows (handles keep to 32 significant bits); -1 for none.
inline void SetPostProc(TSRB_ExecSCSICmd *srb, int event) {
#if defined(_WIN32)
  srb->SRB_PostProc = event < 0 ? nullptr : reinterpret_cast<void *>(static_cast<intptr_t>(event));
#else
  srb->SRB_PostProc = event;
#endif
}

// A descriptor is open when it is above 0: a fresh, zero-filled record holds 0.
inline bool HandleIsOpen(const TSCSIDevice *device) {
  return device->Handle > 0;
}

// Trace log: creates path anew and writes the version line. On failure no log is open and
// the errno value is returned (0 on success). Any log already open is closed first.
int OpenTraceLog(TSCSIDevice *device, const char *path);
// Closes an open log; returns the close result (0, or errno).
int CloseTraceLog(TSCSIDevice *device);
// Appends text when a log is open.
void TraceWrite(TSCSIDevice *device, const std::string &text);

// The one trace line of a completed command (with its "\r\n").
std::string FormatTraceLine(TSCSIDevice *device, const TSRB_ExecSCSICmd *srb);

// The version text written as the first line of every trace log.
const char *TraceVersionText();

// Copies length bytes of INQUIRY text at offset, control bytes turned to blanks.
std::string InquiryText(const uint8_t *data, size_t offset, size_t length);

} // namespace korva

#endif
