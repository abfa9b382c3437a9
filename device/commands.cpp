// The MMC commands: one function each, building a fresh request block.
#include <cstring>

#include "device/device_internal.h"
#include "device/platform.h"
#include "udf/byte_order.h"

namespace korva {

namespace {

constexpr uint8_t kFlagsIn = SRB_EVENT_NOTIFY | SRB_DIR_IN;   // 0x48
constexpr uint8_t kFlagsOut = SRB_EVENT_NOTIFY | SRB_DIR_OUT; // 0x50
constexpr uint8_t kFlagsNone = SRB_EVENT_NOTIFY;              // 0x40

struct Command {
  TSRB_ExecSCSICmd srb;
  Command(uint8_t flags, uint8_t cdb_length, uint8_t opcode, void *buffer = nullptr,
          uint32_t length = 0) {
    std::memset(&srb, 0, sizeof srb);
    srb.SRB_Flags = flags;
    srb.SRB_CDBLen = cdb_length;
    srb.SRB_BufPointer = buffer;
    srb.SRB_BufLen = length;
    srb.CDBByte[0] = opcode;
    // Stale bytes from an earlier answer must not pass for a short answer's missing part.
    if ((flags & SRB_DIR_IN) && buffer != nullptr && length != 0) std::memset(buffer, 0, length);
  }
  uint8_t &operator[](int i) { return srb.CDBByte[i]; }
  uint8_t Send(TSCSIDevice *device) { return ExecSCSICommand(device, &srb); }
};

// A data-out command's buffer is only read by the transport.
void *Out(const void *buffer) {
  return const_cast<void *>(buffer);
}

bool Ok(uint8_t status) {
  return status == SS_COMP;
}
bool OkOrPending(uint8_t status) {
  return status == SS_COMP || status == SS_PENDING;
}

} // namespace

bool TestUnitReady(TSCSIDevice *device) {
  Command c(kFlagsNone, 6, 0x00);
  return Ok(c.Send(device));
}

bool Rewind(TSCSIDevice *device) {
  Command c(kFlagsNone, 6, 0x01);
  return Ok(c.Send(device));
}

bool FormatUnit(TSCSIDevice *device, uint8_t byte1, const void *parameter_list, uint16_t length) {
  Command c(kFlagsOut, 6, 0x04, Out(parameter_list), parameter_list != nullptr ? length : 0);
  c[1] = byte1;
  return OkOrPending(c.Send(device));
}

bool Inquiry(TSCSIDevice *device, void *buffer) {
  Command c(kFlagsIn, 6, 0x12, buffer, 64);
  c[4] = 0x40;
  return Ok(c.Send(device));
}

namespace {
bool StartStop(TSCSIDevice *device, bool immediate, uint8_t action) {
  Command c(kFlagsNone, 6, 0x1B);
  c[1] = immediate ? 1 : 0;
  c[4] = action;
  device->CloseAfterCommand = 1;
  const uint8_t status = c.Send(device);
  device->CloseAfterCommand = 0;
  return Ok(status);
}

bool PreventAllow(TSCSIDevice *device, uint8_t prevent) {
  Command c(kFlagsNone, 6, 0x1E);
  c[4] = prevent;
  if (!Ok(c.Send(device))) return false;
  // The drive holds the state; the operating system must not undo it at the last close.
  // Nodes without the request (sg) never unlock on close, so its failure is no failure.
  if (device->UsePassThrough && HandleIsOpen(device))
    PlatformOf(device).KeepDoorLocked(device->Handle, prevent != 0);
  return true;
}
} // namespace

bool LoadMedium(TSCSIDevice *device, bool immediate) {
  return StartStop(device, immediate, 3);
}
bool EjectMedium(TSCSIDevice *device, bool immediate) {
  return StartStop(device, immediate, 2);
}
bool LockMedium(TSCSIDevice *device) {
  return PreventAllow(device, 1);
}
bool UnlockMedium(TSCSIDevice *device) {
  return PreventAllow(device, 0);
}

uint32_t GetFormatCapacity(TSCSIDevice *device) {
  Command c(kFlagsIn, 10, 0x23, device->DataBuffer, 248);
  c[8] = 0xF8;
  if (!Ok(c.Send(device))) return 0;
  return LoadBE32(device->DataBuffer + 4);
}

bool Read10(TSCSIDevice *device, uint32_t block_address, int32_t block_count, void *buffer) {
  if (block_count < 0 || block_count > 0xFFFF) {
    // The CDB carries 16 bits; a larger count would ask for more data than it names.
    return false;
  }
  // The buffer is cleared first (by Command): whatever the drive does not send must never
  // pass for sectors, since a read-modify-write would write it back to the disc.
  Command c(kFlagsIn, 10, 0x28, buffer, static_cast<uint32_t>(block_count) * 2048u);
  StoreBE32(&c[2], block_address);
  StoreBE16(&c[7], static_cast<uint16_t>(block_count));
  return Ok(c.Send(device)) && device->LastResidual == 0;
}

bool Write10(TSCSIDevice *device, uint32_t block_address, uint16_t block_count, const void *buffer,
             uint32_t data_length) {
  Command c(kFlagsOut, 10, 0x2A, Out(buffer), data_length);
  StoreBE32(&c[2], block_address);
  StoreBE16(&c[7], block_count);
  return Ok(c.Send(device));
}

bool FlushCache(TSCSIDevice *device, bool) {
  Command c(kFlagsNone, 10, 0x35);
  return OkOrPending(c.Send(device));
}

bool ReadTOC(TSCSIDevice *device, uint8_t format, uint8_t track_or_session, bool time_form,
             void *buffer, uint8_t length) {
  Command c(kFlagsIn, 10, 0x43, buffer, length);
  c[1] = time_form ? 2 : 0;
  c[2] = format;
  c[6] = track_or_session;
  c[8] = length;
  return Ok(c.Send(device));
}

bool GetConfiguration(TSCSIDevice *device, void *buffer, uint16_t length,
                      uint16_t starting_feature) {
  Command c(kFlagsIn, 10, 0x46, buffer, length);
  c[1] = 2;
  StoreBE16(&c[2], starting_feature);
  StoreBE16(&c[7], length);
  return Ok(c.Send(device));
}

bool ReadDiscInformation(TSCSIDevice *device, void *buffer, uint16_t length) {
  Command c(kFlagsIn, 10, 0x51, buffer, length);
  StoreBE16(&c[7], length);
  return Ok(c.Send(device));
}

bool ReadTrackInformation(TSCSIDevice *device, uint8_t track) {
  static_assert(sizeof(TTrackInformation) == 0x26, "the CDB asks for the whole record");
  Command c(kFlagsIn, 10, 0x52, &device->TrackInfo, sizeof(TTrackInformation));
  c[1] = 1;
  c[5] = track;
  c[8] = 0x26;
  if (!Ok(c.Send(device))) return false;
  uint8_t *raw = reinterpret_cast<uint8_t *>(&device->TrackInfo);
  const uint16_t length = LoadBE16(raw);
  std::memcpy(raw, &length, 2);
  for (size_t offset : {8, 12, 16, 20, 24, 28}) {
    const uint32_t value = LoadBE32(raw + offset);
    std::memcpy(raw + offset, &value, 4);
  }
  return true;
}

bool ModeSelect(TSCSIDevice *device, const void *parameter_list, uint16_t length) {
  Command c(kFlagsOut, 10, 0x55, Out(parameter_list), parameter_list != nullptr ? length : 0);
  c[1] = 0x10;
  StoreBE16(&c[7], length);
  return OkOrPending(c.Send(device));
}

bool ModeSense10(TSCSIDevice *device, void *buffer, uint16_t length, uint8_t page,
                 bool default_values) {
  Command c(kFlagsIn, 10, 0x5A, buffer, length);
  c[2] = static_cast<uint8_t>(page | (default_values ? 0x80 : 0));
  StoreBE16(&c[7], length);
  return OkOrPending(c.Send(device));
}

bool CloseDVDTrack(TSCSIDevice *device, bool immediate, uint8_t b2, uint8_t b3, uint8_t b4,
                   uint8_t b5) {
  Command c(kFlagsNone, 10, 0x5B);
  c[1] = immediate ? 1 : 0;
  c[2] = b2;
  c[3] = b3;
  c[4] = b4;
  c[5] = b5;
  return OkOrPending(c.Send(device));
}

bool ReadBufferCapacity(TSCSIDevice *device) {
  Command c(kFlagsIn, 10, 0x5C, device->DataBuffer, 32);
  c[8] = 0x20;
  if (Ok(c.Send(device))) {
    device->BufferLength = LoadBE32(device->DataBuffer + 4);
    device->BlankBufferLength = LoadBE32(device->DataBuffer + 8);
    return true;
  }
  // A refused command says nothing about the buffer: take the capabilities page's size.
  device->BufferLength = uint32_t(device->ModePage2A.BufferSize) * 1024u;
  device->BlankBufferLength = 0;
  return false;
}

bool Erase(TSCSIDevice *device, bool quick) {
  Command c(kFlagsNone, 12, 0xA1);
  c[1] = quick ? 0x11 : 0x10;
  return OkOrPending(c.Send(device));
}

bool SetStreaming(TSCSIDevice *device, const void *buffer, uint16_t length) {
  Command c(kFlagsOut, 12, 0xB6, Out(buffer), buffer != nullptr ? length : 0);
  StoreBE16(&c[9], length);
  return Ok(c.Send(device));
}

bool SetCDSpeed(TSCSIDevice *device, uint16_t read_speed, uint16_t write_speed) {
  Command c(kFlagsNone, 12, 0xBB);
  StoreBE16(&c[2], read_speed == 0 ? 0xFFFF : read_speed);
  StoreBE16(&c[4], write_speed == 0 ? 0xFFFF : write_speed);
  return Ok(c.Send(device));
}

bool UnlockDrive(TSCSIDevice *device) {
  device->CloseAfterCommand = 1;
  TestUnitReady(device);
  device->CloseAfterCommand = 0;
  return true;
}

bool SetPerformance(TSCSIDevice *device, uint32_t p1, uint32_t p2, uint32_t p3, uint32_t p4,
                    uint32_t p5, uint32_t p6, uint32_t p7) {
  uint8_t *d = device->DataBuffer;
  std::memset(d, 0, 28);
  d[0] = static_cast<uint8_t>(p1);
  StoreBE32(d + 4, p2);
  StoreBE32(d + 8, p3);
  StoreBE32(d + 12, p4);
  StoreBE32(d + 16, p6);
  StoreBE32(d + 20, p5);
  StoreBE32(d + 24, p7);
  return SetStreaming(device, d, 28);
}

} // namespace korva
