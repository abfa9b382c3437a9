// Device operations on the volume: the drive functions taking the volume record, with the
// engine's error model and the device-selected gate.
#include <cstring>

#include "korva/scsi.hpp"
#include "udf/byte_order.h"
#include "volume/engine.h"

namespace {

TSCSIDevice *Dev(TUDFRewritableVolume *v) {
  return &v->Device;
}

KBOOL B(bool value) {
  return value ? KTRUE : KFALSE;
}

// Whether a call may go to the drive: a record, no background work on it (26, stored by
// RefuseWhileBusy since the work's thread owns LastError) and a drive selected (18). A drive
// command that then fails leaves LastError 0: the drive's sense data says why.
bool Gate(TUDFRewritableVolume *v) {
  if (!v || korva::RefuseWhileBusy(*v)) return false;
  return korva::Report(*v, v->DeviceSelected ? korva::Status::Ok()
                                             : korva::Status(KORVA_E_NO_DEVICE)) != KFALSE;
}

// LastError 0 for the calls that need no drive selected.
void Accept(TUDFRewritableVolume &v) {
  korva::Report(v, korva::Status::Ok());
}

// After a successful selection: detect MRW and re-apply the requested speeds.
void AfterSelection(TUDFRewritableVolume *v) {
  v->MRWReadSupported = 0;
  v->MRWWriteSupported = 0;
  TSCSIDevice *d = Dev(v);
  auto *config = reinterpret_cast<uint8_t *>(&d->Configuration);
  if (korva::GetConfiguration(d, config, 112, 0x0028) && korva::LoadBE16(config + 8) == 0x0028) {
    v->MRWReadSupported = 1;
    if (config[12] & 1) v->MRWWriteSupported = 1;
  }
  d->BufferLength = 0;
  d->BlankBufferLength = 0;
  korva::SetCDSpeed(d, d->RequestedReadSpeed, d->RequestedWriteSpeed);
}

// Selects a device with `select`, unless the volume is busy, and records the outcome.
template <class Select>
KBOOL SelectWith(TUDFRewritableVolume *volume, Select select) {
  if (!volume || korva::RefuseWhileBusy(*volume)) return KFALSE;
  Accept(*volume);
  const bool ok = select(Dev(volume));
  volume->DeviceSelected = ok ? 1 : 0;
  if (ok) AfterSelection(volume);
  return B(ok);
}

} // namespace

extern "C" {

KORVA_API KBOOL InitializeASPI(TUDFRewritableVolume *volume, KBOOL force_aspi,
                               const char *aspi_library, const char *trace_file) {
  if (!volume || korva::RefuseWhileBusy(*volume)) return KFALSE;
  Accept(*volume);
  return B(korva::InitializeASPI(Dev(volume), force_aspi != 0, aspi_library, trace_file));
}

KORVA_API KBOOL SelectDevice(TUDFRewritableVolume *volume, uint8_t index) {
  return SelectWith(volume, [&](TSCSIDevice *d) { return korva::SelectDevice(d, index); });
}

KORVA_API KBOOL SelectDeviceByLetter(TUDFRewritableVolume *volume, char letter) {
  return SelectWith(volume, [&](TSCSIDevice *d) { return korva::SelectDeviceByLetter(d, letter); });
}

KORVA_API uint8_t GetDeviceCount(TUDFRewritableVolume *volume) {
  if (!volume) return 0;
  Accept(*volume);
  return korva::GetDeviceCount(Dev(volume));
}

KORVA_API const char *GetDeviceName(TUDFRewritableVolume *volume, uint8_t index) {
  if (!volume) return "";
  Accept(*volume);
  const char *name = korva::GetDeviceName(Dev(volume), index);
  char *out = volume->DeviceNameBuffer;
  const size_t room = sizeof(volume->DeviceNameBuffer);
  out[0] = '\0';
  if (name) {
    // The entry is a fixed-size field: copy at most what fits, always terminated.
    size_t n = 0;
    while (n + 1 < room && name[n] != '\0')
      ++n;
    std::memcpy(out, name, n);
    out[n] = '\0';
  }
  return out;
}

KORVA_API KBOOL GetPreferCDMRWFormat(TUDFRewritableVolume *volume) {
  if (!volume) return KFALSE;
  Accept(*volume);
  return B(volume->PreferMRWFormat != 0);
}

KORVA_API void SetPreferCDMRWFormat(TUDFRewritableVolume *volume, KBOOL value) {
  if (!volume) return;
  Accept(*volume);
  volume->PreferMRWFormat = value ? 1 : 0;
}

KORVA_API KBOOL GetDeviceSupportsMRWRead(TUDFRewritableVolume *volume) {
  if (!volume) return KFALSE;
  Accept(*volume);
  return B(volume->MRWReadSupported != 0);
}

KORVA_API KBOOL GetDeviceSupportsMRWWrite(TUDFRewritableVolume *volume) {
  if (!volume) return KFALSE;
  Accept(*volume);
  return B(volume->MRWWriteSupported != 0);
}

KORVA_API KBOOL UnlockDrive(TUDFRewritableVolume *volume) {
  return Gate(volume) ? B(korva::UnlockDrive(Dev(volume))) : KFALSE;
}

KORVA_API KBOOL DeviceCan(TUDFRewritableVolume *volume, uint8_t code) {
  return Gate(volume) ? B(korva::DeviceCan(Dev(volume), code)) : KFALSE;
}

KORVA_API KBOOL LockMedium(TUDFRewritableVolume *volume) {
  return Gate(volume) ? B(korva::LockMedium(Dev(volume))) : KFALSE;
}

KORVA_API KBOOL UnlockMedium(TUDFRewritableVolume *volume) {
  return Gate(volume) ? B(korva::UnlockMedium(Dev(volume))) : KFALSE;
}

KORVA_API KBOOL LoadMedium(TUDFRewritableVolume *volume, KBOOL immediate) {
  return Gate(volume) ? B(korva::LoadMedium(Dev(volume), immediate != 0)) : KFALSE;
}

KORVA_API KBOOL EjectMedium(TUDFRewritableVolume *volume, KBOOL immediate) {
  return Gate(volume) ? B(korva::EjectMedium(Dev(volume), immediate != 0)) : KFALSE;
}

KORVA_API KBOOL Erasable(TUDFRewritableVolume *volume) {
  return Gate(volume) ? B(korva::Erasable(Dev(volume))) : KFALSE;
}

KORVA_API KBOOL TestUnitReady(TUDFRewritableVolume *volume) {
  return Gate(volume) ? B(korva::TestUnitReady(Dev(volume))) : KFALSE;
}

KORVA_API KBOOL DeviceIsBurner(TUDFRewritableVolume *volume) {
  return Gate(volume) ? B(korva::DeviceIsBurner(Dev(volume))) : KFALSE;
}

KORVA_API uint8_t DiscIs(TUDFRewritableVolume *volume) {
  return Gate(volume) ? static_cast<uint8_t>(korva::DiscIs(Dev(volume))) : 0;
}

KORVA_API void SetDeviceSpeed(TUDFRewritableVolume *volume, uint16_t read_speed,
                              uint16_t write_speed) {
  if (Gate(volume)) korva::SetDeviceSpeed(Dev(volume), read_speed, write_speed);
}

KORVA_API uint16_t GetDeviceMaxReadSpeed(TUDFRewritableVolume *volume) {
  return Gate(volume) ? korva::GetDeviceMaxReadSpeed(Dev(volume)) : 0;
}

KORVA_API uint16_t GetDeviceMaxWriteSpeed(TUDFRewritableVolume *volume) {
  return Gate(volume) ? korva::GetDeviceMaxWriteSpeed(Dev(volume)) : 0;
}

KORVA_API uint16_t GetMaxWriteSpeed(TUDFRewritableVolume *volume) {
  return Gate(volume) ? korva::GetMaxWriteSpeed(Dev(volume)) : 0;
}

KORVA_API uint16_t GetReadSpeed(TUDFRewritableVolume *volume) {
  return Gate(volume) ? korva::GetReadSpeed(Dev(volume)) : 0;
}

KORVA_API uint16_t GetWriteSpeed(TUDFRewritableVolume *volume) {
  return Gate(volume) ? korva::GetWriteSpeed(Dev(volume)) : 0;
}

KORVA_API uint32_t GetDeviceBufferSize(TUDFRewritableVolume *volume) {
  if (!Gate(volume)) return 0;
  korva::ReadBufferCapacity(Dev(volume));
  return korva::GetDeviceBufferSize(Dev(volume));
}

} // extern "C"
