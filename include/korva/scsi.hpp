// Korva: device functions. Each takes the caller's device record first (a volume record can
// be passed as its Device member). C++ linkage in namespace korva: the volume engine exports
// C functions of some of the same names that take the volume record instead.
//
// Booleans are C++ bool here. Failed commands leave their status, sense data and the
// operating-system error code in the record (LastSense, LastOSError).
#ifndef KORVA_SCSI_HPP
#define KORVA_SCSI_HPP

#include <string>

#include "korva/aspi.h"

namespace korva {

// ---- Transport and trace ---------------------------------------------------------------

// Sends one request block built by the caller (all bytes zeroed, then flags, data length,
// buffer, CDB length and CDB set). Fills in the address, sense length, command code and
// completion event, waits for completion, writes a trace line when a trace log is open and
// copies the sense area into LastSense. Returns the final status byte (SS_COMP = success).
// Without a transport or a selected device: status SS_ERR, nothing sent, nothing logged.
KORVA_API uint8_t ExecSCSICommand(TSCSIDevice *device, TSRB_ExecSCSICmd *srb);

// Pass-through transport: sends the block on the drive of DriveLetter (opened on demand)
// with SG_IO. Returns the status byte written into the block (SS_COMP or SS_ERR). With
// retry set, a medium-changed unit attention reopens the drive and sends again (at most
// three sends in all).
KORVA_API uint8_t SPTISendASPI32Command(TSCSIDevice *device, TSRB_ExecSCSICmd *srb, bool retry);

// Fills CommandNames; returns 0.
KORVA_API int OpenDevice(TSCSIDevice *device);

// Closes the trace log and the pass-through descriptor; returns the close result (0 when
// nothing failed).
KORVA_API int CloseDevice(TSCSIDevice *device);

// CloseDevice, and unloads the ASPI-style module (the transport is then no longer ready).
// A module that still holds a request whose wait failed stays loaded, with the request,
// for the rest of the process: its late completion must find both.
KORVA_API int ReleaseDevice(TSCSIDevice *device);

// The last command's sense data (fixed or descriptor format) for people, such as
// "illegal request, invalid command operation code (sense 5/20/00)"; empty when it holds
// none.
KORVA_API std::string DescribeLastSense(const TSCSIDevice *device);

// ---- Discovery and selection ------------------------------------------------------------

// Zero-fills the record (keeping Platform), opens the trace log when trace_file is not
// empty, and builds the device table: the pass-through scan unless force_aspi, else (or
// when it finds no drive) the ASPI scan with the module aspi_library (empty or null:
// "WNASPI32.DLL"). Returns true when a transport is ready.
KORVA_API bool InitializeASPI(TSCSIDevice *device, bool force_aspi, const char *aspi_library,
                              const char *trace_file);
KORVA_API uint8_t GetDeviceCount(TSCSIDevice *device);
// The entry's description, or null when index >= DeviceCount.
KORVA_API const char *GetDeviceName(TSCSIDevice *device, uint8_t index);
KORVA_API bool SelectDevice(TSCSIDevice *device, uint8_t index);
KORVA_API bool SelectDeviceByLetter(TSCSIDevice *device, char letter);
// Letter of the drive whose address equals that of entry DeviceCount; 0x81 when none.
KORVA_API uint8_t GetDeviceLetter(TSCSIDevice *device);
// INQUIRY, 64 bytes into buffer (which must hold 64 bytes).
KORVA_API bool Inquiry(TSCSIDevice *device, void *buffer);

// ---- MMC commands -----------------------------------------------------------------------

KORVA_API bool TestUnitReady(TSCSIDevice *device);
KORVA_API bool Rewind(TSCSIDevice *device);
// Sends length bytes of the parameter list; true on status 1 or 0.
KORVA_API bool FormatUnit(TSCSIDevice *device, uint8_t byte1, const void *parameter_list,
                          uint16_t length);
KORVA_API bool LoadMedium(TSCSIDevice *device, bool immediate);
KORVA_API bool EjectMedium(TSCSIDevice *device, bool immediate);
// PREVENT / ALLOW MEDIUM REMOVAL. On Linux the CD-ROM layer unlocks the tray when the last
// descriptor of the drive is closed; a lock set here also asks that layer to keep the tray
// locked (CDROM_LOCKDOOR), so it lasts beyond this record's descriptor and this process,
// until UnlockMedium. A long-lived process that locks a drive must therefore unlock it
// itself; closing the device does not.
KORVA_API bool LockMedium(TSCSIDevice *device);
KORVA_API bool UnlockMedium(TSCSIDevice *device);
// Block count of the first capacity descriptor of READ FORMAT CAPACITIES, 0 on failure.
KORVA_API uint32_t GetFormatCapacity(TSCSIDevice *device);
// Reads count blocks of 2048 bytes into buffer (which must hold count * 2048 bytes). The
// buffer is cleared first; a transfer shorter than asked for is a failure.
KORVA_API bool Read10(TSCSIDevice *device, uint32_t block_address, int32_t block_count,
                      void *buffer);
KORVA_API bool Write10(TSCSIDevice *device, uint32_t block_address, uint16_t block_count,
                       const void *buffer, uint32_t data_length);
// SYNCHRONIZE CACHE; the flag does not change the command. True on status 1 or 0.
KORVA_API bool FlushCache(TSCSIDevice *device, bool flag = false);
KORVA_API bool ReadTOC(TSCSIDevice *device, uint8_t format, uint8_t track_or_session,
                       bool time_form, void *buffer, uint8_t length);
KORVA_API bool GetConfiguration(TSCSIDevice *device, void *buffer, uint16_t length,
                                uint16_t starting_feature);
KORVA_API bool ReadDiscInformation(TSCSIDevice *device, void *buffer, uint16_t length);
// 38 bytes into TrackInfo; on success its multi-byte fields are turned to host order.
KORVA_API bool ReadTrackInformation(TSCSIDevice *device, uint8_t track);
KORVA_API bool ModeSelect(TSCSIDevice *device, const void *parameter_list, uint16_t length);
KORVA_API bool ModeSense10(TSCSIDevice *device, void *buffer, uint16_t length, uint8_t page,
                           bool default_values);
KORVA_API bool CloseDVDTrack(TSCSIDevice *device, bool immediate, uint8_t b2, uint8_t b3,
                             uint8_t b4, uint8_t b5);
// 32 bytes into DataBuffer. On success sets BufferLength and BlankBufferLength from the
// answer; when the drive refuses it, BufferLength falls back to the buffer size of the
// capabilities page (kilobytes, from the last GetDeviceCapabilities) or 0 (unknown), and
// BlankBufferLength to 0.
KORVA_API bool ReadBufferCapacity(TSCSIDevice *device);
KORVA_API bool Erase(TSCSIDevice *device, bool quick);
KORVA_API bool SetStreaming(TSCSIDevice *device, const void *buffer, uint16_t length);
// Speeds in kilobytes per second; 0 is sent as FFFFh (the drive's maximum).
KORVA_API bool SetCDSpeed(TSCSIDevice *device, uint16_t read_speed, uint16_t write_speed);
// TEST UNIT READY with the descriptor released afterwards; always true.
KORVA_API bool UnlockDrive(TSCSIDevice *device);
// SET STREAMING with a 28-byte performance descriptor built in DataBuffer.
KORVA_API bool SetPerformance(TSCSIDevice *device, uint32_t p1, uint32_t p2, uint32_t p3,
                              uint32_t p4, uint32_t p5, uint32_t p6, uint32_t p7);

// ---- Capabilities and medium --------------------------------------------------------------

KORVA_API bool GetDeviceCapabilities(TSCSIDevice *device);
KORVA_API bool JustLinkCapable(TSCSIDevice *device);
// Capability flag by code; 72 opens the default trace log "korva.elg" in the working
// directory, 73 closes the trace log.
KORVA_API bool DeviceCan(TSCSIDevice *device, uint8_t code);
KORVA_API bool DeviceIsBurner(TSCSIDevice *device);
KORVA_API TMedium DiscIs(TSCSIDevice *device);
KORVA_API bool Erasable(TSCSIDevice *device);
KORVA_API bool SetDeviceSpeed(TSCSIDevice *device, uint16_t read_speed, uint16_t write_speed);
KORVA_API uint16_t GetDeviceMaxReadSpeed(TSCSIDevice *device);
KORVA_API uint16_t GetDeviceMaxWriteSpeed(TSCSIDevice *device);
KORVA_API uint16_t GetMaxWriteSpeed(TSCSIDevice *device);
KORVA_API uint16_t GetReadSpeed(TSCSIDevice *device);
KORVA_API uint16_t GetWriteSpeed(TSCSIDevice *device);
// BufferLength as last read by ReadBufferCapacity; sends nothing.
KORVA_API uint32_t GetDeviceBufferSize(TSCSIDevice *device);

} // namespace korva

#endif
