/* Korva: device records and ASPI request blocks.
 *
 * This is the contract between the library, its volume record and ASPI-style modules
 * loaded at run time. All records are plain C; a zero-filled TSCSIDevice is a valid fresh
 * record (InitializeASPI prepares it for use).
 *
 * On a 64-bit host the data buffer address of a request block is pointer-sized, so the
 * execute-command block is larger than the classic 96 bytes; every other field keeps its
 * place in the order. On Linux the completion event of a block is an eventfd descriptor: a
 * module that answers SS_PENDING writes the 8-byte value 1 to it when the command ends. On
 * Windows the blocks are packed as the ASPI layer defines them (96 bytes with 32-bit
 * pointers, 104 with 64-bit ones) and the event is a Win32 event handle that the module
 * sets (SetEvent). */
#ifndef KORVA_ASPI_H
#define KORVA_ASPI_H

#include "korva/config.h"

#ifdef __cplusplus
#define KORVA_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define KORVA_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

KORVA_EXTERN_C_BEGIN

/* Request block command codes. */
#define SC_HA_INQUIRY 0x00
#define SC_GET_DEV_TYPE 0x01
#define SC_EXEC_SCSI_CMD 0x02
#define SC_ABORT_SRB 0x03
#define SC_GET_DISK_INFO 0x06

/* Request block status. */
#define SS_PENDING 0x00
#define SS_COMP 0x01
#define SS_ABORTED 0x02
#define SS_ERR 0x04

/* Request block flags. */
#define SRB_DIR_IN 0x08
#define SRB_DIR_OUT 0x10
#define SRB_EVENT_NOTIFY 0x40

/* Drive type of an optical drive letter (the only type the pass-through scan accepts). */
#define KORVA_DRIVE_CDROM 5

/* Medium kinds. Stored in 8-bit fields. */
typedef enum TMedium {
  mtUNKNOWN = 0,
  mtCDROM = 1,
  mtCDR = 2,
  mtCDRW = 3,
  mtDVDROM = 4,
  mtDVDR = 5,
  mtDVDRAM = 6,
  mtDVDRW = 7,
  mtDVDRWRO = 8,
  mtDVDRWSR = 9,
  mtDVDPLUSRW = 10,
  mtDVDPLUSR = 11,
  mtDVDPLUSRDL = 12,
  mtDDCDROM = 13,
  mtDDCDR = 14,
  mtDDCDRW = 15
} TMedium;

/* Entry points of an ASPI-style module (C linkage, exported by these names:
 * "GetASPI32SupportInfo" and "SendASPI32Command"). SendASPI32Command takes the address of
 * any request block and returns its status byte (SS_PENDING while the command runs). */
typedef uint32_t (*TGetASPI32SupportInfo)(void);
typedef uint32_t (*TSendASPI32Command)(void *srb);

#if defined(_WIN32)
#pragma pack(push, 1)
typedef void *TKorvaPostProc; /* event handle */
#else
typedef int32_t TKorvaPostProc; /* eventfd descriptor */
#endif

/* Execute SCSI command. */
typedef struct TSRB_ExecSCSICmd {
  uint8_t SRB_Cmd;       /* SC_EXEC_SCSI_CMD */
  uint8_t SRB_Status;    /* SS_PENDING, SS_COMP, SS_ERR */
  uint8_t SRB_HaId;      /* host adapter */
  uint8_t SRB_Flags;     /* SRB_DIR_IN / SRB_DIR_OUT, plus SRB_EVENT_NOTIFY */
  uint32_t SRB_Hdr_Rsvd; /* 0 */
  uint8_t SRB_Target;
  uint8_t SRB_Lun;
  uint16_t SRB_Rsvd1;
  uint32_t SRB_BufLen;   /* data length in bytes */
  void *SRB_BufPointer;  /* data buffer */
  uint8_t SRB_SenseLen;  /* sense bytes wanted (24) */
  uint8_t SRB_CDBLen;    /* 6, 10 or 12 */
  uint8_t SRB_HaStat;    /* host adapter status */
  uint8_t SRB_TargStat;  /* target (SCSI) status */
  TKorvaPostProc SRB_PostProc; /* completion event */
  uint8_t SRB_Rsvd2[20]; /* 0 */
  uint8_t CDBByte[16];   /* command descriptor block */
  uint8_t SenseArea[32]; /* sense data of a failed command */
} TSRB_ExecSCSICmd;

/* Host adapter inquiry. */
typedef struct TSRB_HAInquiry {
  uint8_t SRB_Cmd; /* SC_HA_INQUIRY */
  uint8_t SRB_Status;
  uint8_t SRB_HaId;
  uint8_t SRB_Flags;
  uint32_t SRB_Hdr_Rsvd;
  uint8_t HA_Count; /* number of host adapters */
  uint8_t HA_SCSI_ID;
  uint8_t HA_ManagerId[16];
  uint8_t HA_Identifier[16];
  uint8_t HA_Unique[16];
  uint16_t HA_Rsvd1;
} TSRB_HAInquiry;

/* Disk information of a device: its drive number ("A" + number is its letter). */
typedef struct TSRB_GetDiskInfo {
  uint8_t SRB_Cmd; /* SC_GET_DISK_INFO */
  uint8_t SRB_Status;
  uint8_t SRB_HaId;
  uint8_t SRB_Flags;
  uint32_t SRB_Hdr_Rsvd;
  uint8_t SRB_Target;
  uint8_t SRB_Lun;
  uint8_t SRB_DriveFlags;
  uint8_t SRB_Int13HDriveInfo; /* drive number, 0 = "A" */
  uint8_t SRB_Heads;
  uint8_t SRB_Sectors;
  uint8_t SRB_Rsvd1[10];
} TSRB_GetDiskInfo;

/* Asks a module to abort an execute request it has not completed (SRB_ToAbort). */
typedef struct TSRB_Abort {
  uint8_t SRB_Cmd; /* SC_ABORT_SRB */
  uint8_t SRB_Status;
  uint8_t SRB_HaId;
  uint8_t SRB_Flags;
  uint32_t SRB_Hdr_Rsvd;
  void *SRB_ToAbort;
} TSRB_Abort;
#if defined(_WIN32)
#pragma pack(pop)
#endif

/* Address of a device as the address query reports it. */
typedef struct TSCSI_ADDRESS {
  uint32_t Length;
  uint8_t PortNumber; /* host adapter */
  uint8_t PathId;     /* bus/channel; not compared by the library */
  uint8_t TargetId;
  uint8_t Lun;
} TSCSI_ADDRESS;

/* One entry of the device table. */
typedef struct TDeviceEntry {
  char DriveLetter; /* "C" to "Z", or "?" */
  uint8_t DeviceType;
  uint8_t HostAdapter;
  uint8_t Target;
  uint8_t Lun;
  char Description[128]; /* zero-terminated */
} TDeviceEntry;

/* READ TRACK INFORMATION response, 38 bytes. After ReadTrackInformation succeeded, the
 * 16- and 32-bit fields are in host order. */
#pragma pack(push, 1)
typedef struct TTrackInformation {
  uint16_t DataLength;
  uint8_t TrackNumber;   /* least significant byte */
  uint8_t SessionNumber; /* least significant byte */
  uint8_t Reserved4;
  uint8_t TrackMode;   /* bit 5 damage, bit 4 copy, bits 0-3 track mode */
  uint8_t DataMode;    /* bit 7 RT, 6 blank, 5 packet/incremental, 4 fixed packet, 0-3 mode */
  uint8_t ValidFlags;  /* bit 1 LRA valid, bit 0 NWA valid */
  uint32_t TrackStart; /* logical track start address */
  uint32_t NextWritableAddress;
  uint32_t FreeBlocks;
  uint32_t FixedPacketSize;
  uint32_t TrackSize;
  uint32_t LastRecordedAddress;
  uint8_t TrackNumberMSB;
  uint8_t SessionNumberMSB;
  uint8_t Reserved34[2];
  uint8_t ReadCompatibilityLBA[2]; /* first two bytes; big-endian as received */
} TTrackInformation;
#pragma pack(pop)

/* READ DISC INFORMATION response (standard disc information), byte for byte as received:
 * multi-byte fields are big-endian. */
typedef struct TDiscInformation {
  uint8_t DataLength[2];
  uint8_t DiscStatus;  /* bit 4 erasable, 2-3 last session state, 0-1 disc status */
  uint8_t FirstTrack;  /* number of first track on disc */
  uint8_t SessionsLSB; /* number of sessions */
  uint8_t FirstTrackLastSessionLSB;
  uint8_t LastTrackLastSessionLSB;
  uint8_t ValidFlags; /* bit 7 DID_V, 6 DBC_V, 5 URU, 4 DAC_V, 0-1 background format */
  uint8_t DiscType;
  uint8_t SessionsMSB;
  uint8_t FirstTrackLastSessionMSB;
  uint8_t LastTrackLastSessionMSB;
  uint8_t DiscIdentification[4];
  uint8_t LastSessionLeadIn[4];
  uint8_t LastPossibleLeadOut[4];
  uint8_t DiscBarCode[8];
  uint8_t DiscApplicationCode;
  uint8_t OPCTableCount;
  uint8_t OPCTables[94];
} TDiscInformation;

/* GET CONFIGURATION response header. */
typedef struct TConfigHeader {
  uint8_t DataLength[4];
  uint8_t Reserved[2];
  uint8_t CurrentProfile[2]; /* big-endian as received; DiscIs turns it to host order */
} TConfigHeader;

/* GET CONFIGURATION response: header, then the first feature descriptor (code at byte 8,
 * version/flags at 10, additional length at 11, feature data from byte 12). */
typedef struct TConfiguration {
  TConfigHeader Header;
  uint8_t Features[106];
} TConfiguration;

/* Capabilities and mechanical status page (2Ah), 64 bytes copied from the drive in a
 * 72-byte record. The speed and buffer-size fields are in host order after
 * GetDeviceCapabilities. */
typedef struct TModePage2A {
  uint8_t PageCode;
  uint8_t PageLength;
  uint8_t ReadAbilities;  /* bit 0 CD-R, 1 CD-RW, 2 method 2, 3 DVD-ROM, 4 DVD-R, 5 DVD-RAM */
  uint8_t WriteAbilities; /* bit 0 CD-R, 1 CD-RW, 2 test write, 4 DVD-R, 5 DVD-RAM */
  uint8_t Byte4;          /* bit 7 buffer underrun protection */
  uint8_t Byte5;
  uint8_t Byte6;
  uint8_t Byte7;
  uint16_t MaxReadSpeed; /* kilobytes per second */
  uint8_t VolumeLevels[2];
  uint16_t BufferSize; /* kilobytes */
  uint16_t CurrentReadSpeed;
  uint8_t Reserved16;
  uint8_t Byte17;
  uint16_t MaxWriteSpeed;
  uint16_t CurrentWriteSpeed;
  uint8_t CopyManagementRevision[2];
  uint8_t Reserved24[3];
  uint8_t RotationControl;
  uint8_t CurrentWriteSpeedSelected[2];
  uint8_t SpeedDescriptorCount[2];
  uint8_t SpeedDescriptors[40];
} TModePage2A;

/* Write parameters page (05h), byte for byte as sent: multi-byte fields big-endian. */
typedef struct TModePage05 {
  uint8_t PageCode;
  uint8_t PageLength;
  uint8_t WriteType; /* bit 6 BUFE, 5 LS_V, 4 test write, 0-3 write type */
  uint8_t TrackMode; /* bits 6-7 multisession, 5 FP, 4 copy, 0-3 track mode */
  uint8_t DataBlockType;
  uint8_t LinkSize;
  uint8_t Reserved6;
  uint8_t HostApplicationCode;
  uint8_t SessionFormat;
  uint8_t Reserved9;
  uint8_t PacketSize[4];
  uint8_t AudioPauseLength[2];
  uint8_t MediaCatalogNumber[16];
  uint8_t ISRC[16];
  uint8_t SubHeader[4];
  uint8_t VendorSpecific[4];
  uint8_t Reserved56[16];
} TModePage05;

/* The device record. Owned by the caller; the volume record embeds one at its head.
 * Flags are one byte, 0 or 1. */
typedef struct TSCSIDevice {
  int32_t Handle; /* pass-through descriptor of the current drive; -1 or 0 when closed */
  uint8_t DataBuffer[131070];
  char CommandNames[255][33]; /* trace names of opcodes 00h to FEh, zero-terminated */
  TSCSI_ADDRESS ScsiAddress;
  TDeviceEntry Devices[26];
  uint8_t DeviceCount;
  char DriveLetter; /* "?" when unknown */
  uint8_t DeviceType;
  uint32_t LastOSError; /* errno of the last pass-through call, 0 after success */
  uint8_t CloseAfterCommand;
  uint8_t ForceASPI;
  uint8_t Initialized;
  uint8_t UsePassThrough;
  TSendASPI32Command SendCommandEntry;
  TSRB_GetDiskInfo DiskInfoRequest;
  uint8_t SelectedIndex;
  uint8_t HostAdapter; /* 255 = none */
  uint8_t Target;      /* 255 = none */
  uint8_t Lun;         /* 255 = none */
  char VendorId[9];
  char ProductId[17];
  uint8_t Medium; /* TMedium; kept by the volume engine */
  uint8_t LastSense[32];
  void *TraceLog; /* FILE * owned by the record, or null */
  uint32_t BufferLength;
  uint32_t BlankBufferLength;
  TTrackInformation TrackInfo;
  TDiscInformation DiscInfo;
  TConfiguration Configuration;
  TModePage2A ModePage2A;
  uint16_t DefaultMaxReadSpeed;
  uint16_t DefaultMaxWriteSpeed;
  uint8_t Capabilities[20];
  TModePage05 WriteParameters;
  uint16_t RequestedWriteSpeed;
  uint16_t RequestedReadSpeed;
  uint16_t MaxReadSpeed;
  uint16_t CurrentReadSpeed;
  uint16_t MaxWriteSpeed;
  uint16_t CurrentWriteSpeed;
  /* Operating-system layer of this record (a korva::DevicePlatform *); null selects the
   * Linux layer. InitializeASPI keeps it. */
  void *Platform;
  /* Bytes the last pass-through command with data in did not transfer (the SG_IO
   * residual); the missing tail of the buffer is zero-filled. */
  uint32_t LastResidual;
  /* The ASPI-style module loaded by InitializeASPI; closed when the table is built again or
   * the device is released (ReleaseDevice). */
  void *AspiModule;
  /* Requests a module has not completed after a failed wait (owned by the transport). */
  void *AbandonedRequests;
  /* Unit attentions the drive reported (sense key 6 with ASC 28h medium may have changed,
   * 29h power on or reset, 2Ah parameters changed), counted by the transport on every
   * command; the ASC of the last one. A mounted volume compares the count with the one of
   * its mount: the drive may hold another disc, or have forgotten its write parameters. */
  uint32_t UnitAttentions;
  uint8_t LastUnitAttention;
  /* The pass-through descriptor was opened for writing, exclusively (O_EXCL): nothing else
   * can mount the disc or open it exclusively while the record holds it. */
  uint8_t HandleExclusive;
  /* Error of the last refused exclusive open: errno on Linux (EBUSY: another user holds the
     node), the system error code on Windows (32: another program has it open for writing). */
  int32_t ExclusiveOpenError;
  /* Seconds the last command was given before the transport gives up on it. */
  uint32_t LastTimeoutSeconds;
} TSCSIDevice;

/* Indexes into TSCSIDevice.Capabilities. */
enum {
  capReadCDR = 0,
  capReadCDRW = 1,
  capReadMethod2 = 2,
  capReadDVDR = 3,
  capReadDVDRW = 4,
  capReadDVDRAM = 5,
  capReadDVDPlusR = 6,
  capReadDVDPlusRDL = 7,
  capReadDVDPlusRW = 8,
  capReadDVDROM = 9,
  capWriteCDR = 10,
  capWriteCDRW = 11,
  capWriteDVDR = 12,
  capWriteDVDRW = 13,
  capWriteDVDRAM = 14,
  capWriteDVDPlusR = 15,
  capWriteDVDPlusRDL = 16,
  capWriteDVDPlusRW = 17,
  capTestWrite = 18,
  capBufferUnderrunProtection = 19
};

KORVA_STATIC_ASSERT(sizeof(TSRB_HAInquiry) == 60, "host adapter inquiry block is 60 bytes");
KORVA_STATIC_ASSERT(sizeof(TSRB_GetDiskInfo) == 24, "disk info block is 24 bytes");
KORVA_STATIC_ASSERT(sizeof(TSCSI_ADDRESS) == 8, "address record is 8 bytes");
KORVA_STATIC_ASSERT(sizeof(TTrackInformation) == 38, "track information is 38 bytes");
KORVA_STATIC_ASSERT(sizeof(TDiscInformation) == 128, "disc information is 128 bytes");
KORVA_STATIC_ASSERT(sizeof(TConfiguration) == 114, "configuration buffer is 114 bytes");
KORVA_STATIC_ASSERT(sizeof(TModePage2A) == 72, "capabilities page copy is 72 bytes");
KORVA_STATIC_ASSERT(sizeof(TModePage05) == 72, "write parameters page copy is 72 bytes");
KORVA_STATIC_ASSERT(sizeof(TSRB_ExecSCSICmd) >= 96, "execute block keeps its classic fields");
#if defined(_WIN32)
/* The ASPI layer's own layout: every field at its place for the pointer size. */
KORVA_STATIC_ASSERT(offsetof(TSRB_ExecSCSICmd, SRB_BufLen) == 12, "data length at 12");
KORVA_STATIC_ASSERT(offsetof(TSRB_ExecSCSICmd, SRB_BufPointer) == 16, "buffer at 16");
KORVA_STATIC_ASSERT(offsetof(TSRB_ExecSCSICmd, SRB_SenseLen) == 16 + sizeof(void *),
                    "sense length after the buffer");
KORVA_STATIC_ASSERT(offsetof(TSRB_ExecSCSICmd, SRB_PostProc) == 20 + sizeof(void *),
                    "event after the statuses");
KORVA_STATIC_ASSERT(offsetof(TSRB_ExecSCSICmd, CDBByte) == 40 + 2 * sizeof(void *),
                    "CDB after 20 reserved bytes");
KORVA_STATIC_ASSERT(offsetof(TSRB_ExecSCSICmd, SenseArea) == 56 + 2 * sizeof(void *),
                    "sense area after the CDB");
KORVA_STATIC_ASSERT(sizeof(TSRB_ExecSCSICmd) == 88 + 2 * sizeof(void *),
                    "96 bytes with 32-bit pointers, 104 with 64-bit ones");
KORVA_STATIC_ASSERT(sizeof(TSRB_Abort) == 8 + sizeof(void *), "abort block");
#endif

KORVA_EXTERN_C_END

#endif
