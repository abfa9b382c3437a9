// Sending request blocks: the ASPI module or pass-through (SG_IO on Linux, SCSI
// pass-through-direct on Windows), and the command trace.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "device/device_internal.h"
#include "device/platform.h"
#include "device/spti.h"

#if defined(__SANITIZE_ADDRESS__)
#define KORVA_LSAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KORVA_LSAN 1
#endif
#endif
#ifndef KORVA_LSAN
#define KORVA_LSAN 0
#endif
#if KORVA_LSAN
#include <sanitizer/lsan_interface.h>
#endif

#ifdef KORVA_HAVE_UDF_VERSION
#include "udf/common.h"
#endif

namespace korva {

namespace {

constexpr int kMaxMediumChangedSends = 3;
constexpr uint8_t kSenseUnitAttention = 0x06;
constexpr uint8_t kAscMediumChanged = 0x28;
constexpr uint8_t kAscReset = 0x29;
constexpr uint8_t kAscParametersChanged = 0x2A;

// Time-outs by command class, as the references give them: ordinary commands (reads and
// packet writes included) 60 s; a cache flush may write a whole buffer with a recalibration
// on the way; format, blank and close return at once with the immediate bit and are then
// polled, but a drive that ignores the bit takes the whole operation in the command.
constexpr uint32_t kOrdinaryTimeoutSeconds = 60;
constexpr uint32_t kFlushTimeoutSeconds = 600;
constexpr uint32_t kImmediateTimeoutSeconds = 120;
constexpr uint32_t kLongOperationTimeoutSeconds = 7200;

struct CommandName {
  uint8_t opcode;
  const char *name;
};

constexpr CommandName kCommandNames[] = {
    {0x00, "TEST UNIT READY"},
    {0x01, "REWIND UNIT"},
    {0x03, "REQUEST SENSE"},
    {0x04, "FORMAT UNIT"},
    {0x12, "INQUIRY"},
    {0x1B, "START STOP UNIT"},
    {0x1E, "PREVENT/ALLOW REMOVAL"},
    {0x23, "READ FORMAT CAPACITIES"},
    {0x25, "READ CAPACITY"},
    {0x28, "READ (10)"},
    {0x2A, "WRITE (10)"},
    {0x2B, "SEEK (10)"},
    {0x2E, "WRITE AND VERIFY (10)"},
    {0x2F, "VERIFY (10)"},
    {0x35, "SYNCHRONIZE CACHE"},
    {0x42, "READ SUB-CHANNEL"},
    {0x43, "READ TOC/PMA/ATIP"},
    {0x45, "PLAY AUDIO (10)"},
    {0x46, "GET CONFIGURATION"},
    {0x47, "PLAY AUDIO MSF"},
    {0x4A, "GET EVENT/STATUS NOTIF"},
    {0x4B, "PAUSE/RESUME"},
    {0x4E, "STOP PLAY/SCAN"},
    {0x51, "READ DISC INFORMATION"},
    {0x52, "READ TRACK INFORMATION"},
    {0x53, "RESERVE TRACK"},
    {0x54, "SEND OPC INFORMATION"},
    {0x55, "MODE SELECT (10)"},
    {0x58, "REPAIR TRACK"},
    {0x5A, "MODE SENSE (10)"},
    {0x5B, "CLOSE TRACK/SESSION"},
    {0x5C, "READ BUFFER CAPACITY"},
    {0x5D, "SEND CUE SHEET"},
    {0xA1, "BLANK"},
    {0xA2, "SEND EVENT"},
    {0xA3, "SEND KEY"},
    {0xA4, "REPORT KEY"},
    {0xA5, "PLAY AUDIO (12)"},
    {0xA6, "LOAD/UNLOAD CD/DVD"},
    {0xA7, "SET READ AHEAD"},
    {0xA8, "READ (12)"},
    {0xAA, "WRITE (12)"},
    {0xAC, "GET PERFORMANCE"},
    {0xAD, "READ DVD STRUCTURE"},
    {0xB6, "SET STREAMING"},
    {0xB9, "READ CD MSF"},
    {0xBA, "SCAN"},
    {0xBB, "SET CD SPEED"},
    {0xBD, "MECHANISM STATUS"},
    {0xBE, "READ CD"},
    {0xBF, "SEND DVD STRUCTURE"},
};

constexpr size_t kNameWidth = 22;

void AppendF(std::string &out, const char *format, unsigned long long value) {
  char text[32];
  std::snprintf(text, sizeof text, format, value);
  out += text;
}

// Immediate bit of the long operations: FORMAT UNIT's in its parameter list header,
// BLANK's in CDB byte 1 bit 4, CLOSE TRACK/SESSION's in CDB byte 1 bit 0.
bool AsksImmediate(const TSRB_ExecSCSICmd *srb) {
  const uint8_t opcode = srb->CDBByte[0];
  if (opcode == 0x04) {
    const auto *list = static_cast<const uint8_t *>(srb->SRB_BufPointer);
    return (srb->CDBByte[1] & 0x10) && list != nullptr && srb->SRB_BufLen >= 2 && (list[1] & 0x02);
  }
  if (opcode == 0xA1) return (srb->CDBByte[1] & 0x10) != 0;
  return (srb->CDBByte[1] & 0x01) != 0;
}

bool IsMediumChanged(const TSRB_ExecSCSICmd *srb) {
  const SenseFields s = ParseSense(srb->SenseArea, 24);
  return s.key == kSenseUnitAttention && s.asc == kAscMediumChanged;
}

#if !defined(_WIN32)
// A drive may send less than was asked for. The bytes it did not send must not pass for
// data: they are cleared, and the count is kept for commands that need every byte.
void ClearMissingTail(TSCSIDevice *device, const sg_io_hdr_t &header) {
  if (header.dxfer_direction != SG_DXFER_FROM_DEV || header.dxferp == nullptr) return;
  const uint32_t asked = header.dxfer_len;
  const uint32_t missing = header.resid > 0 ? std::min<uint32_t>(header.resid, asked) : 0;
  device->LastResidual = missing;
  if (missing != 0)
    std::memset(static_cast<uint8_t *>(header.dxferp) + (asked - missing), 0, missing);
}
#endif

// An execute request as a module sees it: a block, data and an event the transport owns.
// After a failed wait they stay alive until the module has signalled the event.
struct AspiRequest {
  TSRB_ExecSCSICmd srb;
  std::unique_ptr<uint8_t[]> data;
  int event = -1;
  AspiRequest *next = nullptr;
};

AspiRequest *FirstAbandoned(TSCSIDevice *device) {
  return static_cast<AspiRequest *>(device->AbandonedRequests);
}

void AbortRequest(TSCSIDevice *device, AspiRequest *request) {
  TSRB_Abort abort;
  std::memset(&abort, 0, sizeof abort);
  abort.SRB_Cmd = SC_ABORT_SRB;
  abort.SRB_HaId = request->srb.SRB_HaId;
  abort.SRB_ToAbort = &request->srb;
  device->SendCommandEntry(&abort);
}

// Builds the module's copy of a caller's block; null when memory or an event is missing.
AspiRequest *NewAspiRequest(DevicePlatform &platform, const TSRB_ExecSCSICmd *srb) {
  std::unique_ptr<AspiRequest> request(new (std::nothrow) AspiRequest());
  if (!request) return nullptr;
  request->srb = *srb;
  const uint32_t length = srb->SRB_BufPointer != nullptr ? srb->SRB_BufLen : 0;
  if (length != 0) {
    request->data.reset(new (std::nothrow) uint8_t[length]);
    if (!request->data) return nullptr;
    std::memcpy(request->data.get(), srb->SRB_BufPointer, length);
    request->srb.SRB_BufPointer = request->data.get();
  }
  request->event = platform.CreateEvent();
  if (request->event < 0) return nullptr;
  SetPostProc(&request->srb, request->event);
  return request.release();
}

// Hands the module's results back to the caller's block and buffer.
void CopyBack(const AspiRequest &request, TSRB_ExecSCSICmd *srb) {
  void *buffer = srb->SRB_BufPointer;
  const auto event = srb->SRB_PostProc;
  // Data-out buffers may be read-only; only answers travel back.
  if (request.data && buffer != nullptr && (srb->SRB_Flags & SRB_DIR_IN))
    std::memcpy(buffer, request.data.get(), srb->SRB_BufLen);
  *srb = request.srb;
  srb->SRB_BufPointer = buffer;
  srb->SRB_PostProc = event;
}

// Requests left with a module for good are no leak to report.
void KeepForever(AspiRequest *request) {
  for (; request != nullptr; request = request->next) {
#if KORVA_LSAN
    __lsan_ignore_object(request);
    __lsan_ignore_object(request->data.get());
#endif
  }
}

} // namespace

uint32_t CommandTimeoutSeconds(const TSRB_ExecSCSICmd *srb) {
  switch (srb->CDBByte[0]) {
  case 0x35: // SYNCHRONIZE CACHE
    return kFlushTimeoutSeconds;
  case 0x04: // FORMAT UNIT
  case 0xA1: // BLANK
  case 0x5B: // CLOSE TRACK/SESSION
    return AsksImmediate(srb) ? kImmediateTimeoutSeconds : kLongOperationTimeoutSeconds;
  default:
    return kOrdinaryTimeoutSeconds;
  }
}

void NoteUnitAttention(TSCSIDevice *device, const uint8_t *sense, size_t length) {
  const SenseFields s = ParseSense(sense, length);
  if (s.key != kSenseUnitAttention) return;
  if (s.asc != kAscMediumChanged && s.asc != kAscReset && s.asc != kAscParametersChanged) return;
  ++device->UnitAttentions;
  device->LastUnitAttention = s.asc;
}

uint8_t SendAspiRequest(TSCSIDevice *device, TSRB_ExecSCSICmd *srb) {
  DevicePlatform &platform = PlatformOf(device);
  ReapAbandonedRequests(device);
  AspiRequest *request =
      device->SendCommandEntry != nullptr ? NewAspiRequest(platform, srb) : nullptr;
  if (request == nullptr) {
    // Nothing to wait on: a module answering "pending" could not signal completion.
    srb->SRB_Status = SS_ERR;
    return SS_ERR;
  }
  const uint32_t answer = device->SendCommandEntry(&request->srb);
  device->LastTimeoutSeconds = CommandTimeoutSeconds(srb);
  const uint32_t timeout_ms = device->LastTimeoutSeconds * 1000u;
  if ((answer & 0xFF) == SS_PENDING && platform.WaitEvent(request->event, timeout_ms) != 0) {
    AbortRequest(device, request);
    if (!platform.EventSignalled(request->event)) {
      // The module still holds the block: it stays alive until the module lets go.
      request->next = FirstAbandoned(device);
      device->AbandonedRequests = request;
      srb->SRB_Status = SS_ERR;
      return SS_ERR;
    }
  }
  std::atomic_thread_fence(std::memory_order_acquire);
  CopyBack(*request, srb);
  if (srb->SRB_Status == SS_PENDING) srb->SRB_Status = SS_ERR;
  platform.CloseEvent(request->event);
  delete request;
  return srb->SRB_Status;
}

bool ReapAbandonedRequests(TSCSIDevice *device) {
  DevicePlatform &platform = PlatformOf(device);
  AspiRequest **link = reinterpret_cast<AspiRequest **>(&device->AbandonedRequests);
  while (*link != nullptr) {
    AspiRequest *request = *link;
    if (!platform.EventSignalled(request->event)) {
      link = &request->next;
      continue;
    }
    *link = request->next;
    platform.CloseEvent(request->event);
    delete request;
  }
  return device->AbandonedRequests == nullptr;
}

void ReleaseAspiModule(TSCSIDevice *device) {
  if (device->AspiModule == nullptr) return;
  // A module that still holds a request must stay mapped: its completion would run code
  // that is gone. Module and requests then live as long as the process.
  if (ReapAbandonedRequests(device))
    PlatformOf(device).UnloadModule(device->AspiModule);
  else
    KeepForever(FirstAbandoned(device));
  device->AbandonedRequests = nullptr;
  device->AspiModule = nullptr;
  device->SendCommandEntry = nullptr;
  if (!device->UsePassThrough) device->Initialized = 0;
}

const char *TraceVersionText() {
#ifdef KORVA_HAVE_UDF_VERSION
  return GetKORVAVersion();
#else
  return "Korva";
#endif
}

int OpenTraceLog(TSCSIDevice *device, const char *path) {
  CloseTraceLog(device);
  if (path == nullptr || *path == 0) return EINVAL;
  std::remove(path);
  std::FILE *file = std::fopen(path, "wb");
  if (file == nullptr) return errno != 0 ? errno : EIO;
  const std::string first = std::string(TraceVersionText()) + "\r\n";
  if (std::fwrite(first.data(), 1, first.size(), file) != first.size() || std::fflush(file) != 0) {
    const int error = errno != 0 ? errno : EIO;
    std::fclose(file);
    return error;
  }
  device->TraceLog = file;
  return 0;
}

int CloseTraceLog(TSCSIDevice *device) {
  if (device->TraceLog == nullptr) return 0;
  std::FILE *file = static_cast<std::FILE *>(device->TraceLog);
  device->TraceLog = nullptr;
  return std::fclose(file) == 0 ? 0 : (errno != 0 ? errno : EIO);
}

void TraceWrite(TSCSIDevice *device, const std::string &text) {
  if (device->TraceLog == nullptr || text.empty()) return;
  std::FILE *file = static_cast<std::FILE *>(device->TraceLog);
  std::fwrite(text.data(), 1, text.size(), file);
  std::fflush(file);
}

std::string FormatTraceLine(TSCSIDevice *device, const TSRB_ExecSCSICmd *srb) {
  std::string line;
  const uintptr_t address = reinterpret_cast<uintptr_t>(srb->SRB_BufPointer);
  if (address % 4 != 0) {
    line += "---> ";
    AppendF(line, "%llu", address);
    line += " ";
  }
  int minute = 0, second = 0, millisecond = 0;
  PlatformOf(device).UtcTimeOfDay(&minute, &second, &millisecond);
  char head[64];
  std::snprintf(head, sizeof head, "%02d:%02d:%03d ", minute, second, millisecond);
  line += head;
  const uint8_t opcode = srb->CDBByte[0];
  if (opcode < 255) {
    const char *name = device->CommandNames[opcode];
    line.append(name, strnlen(name, sizeof device->CommandNames[opcode]));
  }
  AppendF(line, " (%02llX)", opcode);
  AppendF(line, " {%02llX", srb->SRB_Flags);
  AppendF(line, ":%02llX}", srb->SRB_CDBLen);
  AppendF(line, " - %llX", srb->SRB_HaId);
  AppendF(line, ":%llX", srb->SRB_Target);
  AppendF(line, ":%llX", srb->SRB_Lun);
  AppendF(line, " <%02llX>", srb->SRB_Status);
  AppendF(line, " [%05llX] ", srb->SRB_BufLen);
  for (int i = 1; i < 16; ++i)
    AppendF(line, "%02llX ", srb->CDBByte[i]);
  line += "| ";
  if (srb->SRB_BufPointer != nullptr) {
    const uint8_t *data = static_cast<const uint8_t *>(srb->SRB_BufPointer);
    const uint32_t shown = srb->SRB_BufLen < 100 ? srb->SRB_BufLen : 100;
    for (uint32_t i = 0; i < shown; ++i)
      AppendF(line, "%02llX ", data[i]);
  }
  // Additional sense code and qualifier, from either sense data format.
  const SenseFields sense = ParseSense(srb->SenseArea, sizeof srb->SenseArea);
  AppendF(line, "%02llX", sense.asc);
  AppendF(line, ":%02llX", sense.ascq);
  if (device->UsePassThrough) {
    line += ", ";
    AppendF(line, "%llu", device->LastOSError);
  }
  // The command's time-out class, so a trace shows what the drive was given.
  AppendF(line, " T%llus", device->LastTimeoutSeconds);
  line += "\r\n";
  return line;
}

int OpenDevice(TSCSIDevice *device) {
  std::memset(device->CommandNames, 0, sizeof device->CommandNames);
  for (const CommandName &entry : kCommandNames) {
    char *name = device->CommandNames[entry.opcode];
    std::snprintf(name, sizeof device->CommandNames[0], "%-22.22s", entry.name);
  }
  static_assert(kNameWidth < sizeof(TSCSIDevice::CommandNames[0]), "names fit their slot");
  return 0;
}

int CloseDevice(TSCSIDevice *device) {
  int result = CloseTraceLog(device);
  if (HandleIsOpen(device)) {
    const int closed = PlatformOf(device).CloseDrive(device->Handle);
    if (closed < 0 && result == 0) result = -closed;
  }
  device->Handle = -1;
  return result;
}

int ReleaseDevice(TSCSIDevice *device) {
  const int result = CloseDevice(device);
  ReleaseAspiModule(device);
  return result;
}

int OpenDriveHandle(TSCSIDevice *device) {
  DevicePlatform &platform = PlatformOf(device);
  int handle = platform.OpenDrive(device->DriveLetter, true);
  device->HandleExclusive = handle > 0 ? 1 : 0;
  device->ExclusiveOpenError = handle > 0 ? 0 : (handle < 0 ? -handle : EBADF);
  // Another user holding the node still leaves it readable.
  if (handle <= 0) handle = platform.OpenDrive(device->DriveLetter, false);
  if (handle > 0) {
    device->Handle = handle;
    return 0;
  }
  device->Handle = -1;
  return handle < 0 ? -handle : EBADF;
}

#if !defined(_WIN32)
// One send of a block through SG_IO on the open Handle; none when it is not open.
void SendThroughSgIo(TSCSIDevice *device, DevicePlatform &platform, TSRB_ExecSCSICmd *srb,
                     int open_error) {
  uint8_t cdb[16];
  std::memcpy(cdb, srb->CDBByte, sizeof cdb);
  uint8_t sense[32] = {};
  sg_io_hdr_t header{};
  header.interface_id = 'S';
  if (srb->SRB_Flags & SRB_DIR_IN)
    header.dxfer_direction = SG_DXFER_FROM_DEV;
  else if (srb->SRB_Flags & SRB_DIR_OUT)
    header.dxfer_direction = SG_DXFER_TO_DEV;
  else
    header.dxfer_direction = SG_DXFER_NONE;
  header.cmd_len = srb->SRB_CDBLen <= sizeof cdb ? srb->SRB_CDBLen : sizeof cdb;
  header.mx_sb_len = sizeof sense;
  header.dxfer_len = header.dxfer_direction == SG_DXFER_NONE ? 0 : srb->SRB_BufLen;
  header.dxferp = header.dxfer_len != 0 ? srb->SRB_BufPointer : nullptr;
  header.cmdp = cdb;
  header.sbp = sense;
  header.timeout = device->LastTimeoutSeconds * 1000;

  bool sent_ok = false;
  device->LastResidual = 0;
  if (HandleIsOpen(device)) {
    const int result = platform.SendSgIo(device->Handle, &header);
    device->LastOSError = result < 0 ? static_cast<uint32_t>(-result) : 0;
    sent_ok = result == 0;
    if (sent_ok) ClearMissingTail(device, header);
  } else {
    device->LastOSError = static_cast<uint32_t>(open_error);
  }

  if (sent_ok && header.status == 0 && header.host_status == 0 && header.driver_status == 0) {
    srb->SRB_Status = SS_COMP;
  } else {
    srb->SRB_Status = SS_ERR;
    std::memcpy(srb->SenseArea, sense, 24);
    std::memset(srb->SenseArea + 24, 0, sizeof srb->SenseArea - 24);
    srb->SRB_TargStat = sent_ok ? header.status : 0;
  }
}
#endif

uint8_t SPTISendASPI32Command(TSCSIDevice *device, TSRB_ExecSCSICmd *srb, bool retry) {
  device->LastTimeoutSeconds = CommandTimeoutSeconds(srb);
  DevicePlatform &platform = PlatformOf(device);
  for (int sends = 1;; ++sends) {
    int open_error = 0;
    if (!HandleIsOpen(device)) open_error = OpenDriveHandle(device);

#if defined(_WIN32)
    SendThroughSpti(device, platform, srb, static_cast<uint32_t>(open_error));
#else
    SendThroughSgIo(device, platform, srb, open_error);
#endif

    if (device->CloseAfterCommand && HandleIsOpen(device)) {
      // A descriptor is gone after close() whatever it reports; never keep a stale one.
      platform.CloseDrive(device->Handle);
      device->Handle = -1;
    }

    if (!retry || srb->SRB_Status != SS_ERR || !IsMediumChanged(srb) ||
        sends >= kMaxMediumChangedSends)
      return srb->SRB_Status;
    if (HandleIsOpen(device)) platform.CloseDrive(device->Handle);
    device->Handle = -1;
  }
}

uint8_t ExecSCSICommand(TSCSIDevice *device, TSRB_ExecSCSICmd *srb) {
  if (!device->Initialized || device->HostAdapter == 255 || device->Target == 255) {
    srb->SRB_Status = SS_ERR;
    return SS_ERR;
  }
  srb->SRB_HaId = device->HostAdapter;
  srb->SRB_Target = device->Target;
  srb->SRB_Lun = device->Lun;
  srb->SRB_SenseLen = 24;
  srb->SRB_Cmd = SC_EXEC_SCSI_CMD;
  device->LastTimeoutSeconds = CommandTimeoutSeconds(srb);

  if (device->UsePassThrough) {
    SetPostProc(srb, -1);
    SPTISendASPI32Command(device, srb, false);
  } else {
    device->LastResidual = 0;
    SendAspiRequest(device, srb);
  }

  if (srb->SRB_Status == SS_ERR) NoteUnitAttention(device, srb->SenseArea, sizeof srb->SenseArea);
  if (device->TraceLog != nullptr) TraceWrite(device, FormatTraceLine(device, srb));
  std::memcpy(device->LastSense, srb->SenseArea, sizeof device->LastSense);
  return srb->SRB_Status;
}

} // namespace korva
