// Helpers shared by the device sources.
#ifndef KORVA_DEVICE_INTERNAL_H
#define KORVA_DEVICE_INTERNAL_H

#include <cstdint>
#include <string>

#include "korva/scsi.hpp"

namespace korva {

// Sense data of a request block: fixed (70h/71h) or descriptor (72h/73h) format.
struct SenseFields {
  uint8_t key;
  uint8_t asc;
  uint8_t ascq;
};
SenseFields ParseSense(const uint8_t *sense, size_t length);

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
