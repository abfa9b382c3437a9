// Choosing the transport, building the device table and selecting a device.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "device/device_internal.h"
#include "device/platform.h"

namespace korva {

namespace {

constexpr int kTableSize = 26;
constexpr const char *kDefaultAspiLibrary = "WNASPI32.DLL";

std::string Decimal(long long value) {
  return std::to_string(value);
}

// INQUIRY of 64 bytes into DataBuffer, addressed by the caller.
void BuildInquiry(TSCSIDevice *device, TSRB_ExecSCSICmd *srb) {
  std::memset(srb, 0, sizeof *srb);
  std::memset(device->DataBuffer, 0, 64);
  srb->SRB_Cmd = SC_EXEC_SCSI_CMD;
  srb->SRB_Flags = SRB_EVENT_NOTIFY | SRB_DIR_IN;
  srb->SRB_BufLen = 64;
  srb->SRB_BufPointer = device->DataBuffer;
  srb->SRB_SenseLen = 24;
  srb->SRB_CDBLen = 6;
  srb->CDBByte[0] = 0x12;
  srb->CDBByte[4] = 0x40;
}

struct InquiryTexts {
  std::string vendor, product, revision;
};

InquiryTexts CutTexts(const uint8_t *data) {
  return {InquiryText(data, 8, 8), InquiryText(data, 16, 16), InquiryText(data, 32, 16)};
}

void Describe(TDeviceEntry *entry, const InquiryTexts &texts) {
  const char letter[2] = {entry->DriveLetter, 0};
  std::snprintf(entry->Description, sizeof entry->Description, "%d:%d:%d,%s: %s %s %s ",
                entry->HostAdapter, entry->Target, entry->Lun, letter, texts.vendor.c_str(),
                texts.product.c_str(), texts.revision.c_str());
}

// Gives an entry a new address, rewriting the address part of its description.
void Readdress(TDeviceEntry *entry, uint8_t host_adapter) {
  entry->HostAdapter = host_adapter;
  entry->Target = 0;
  entry->Lun = 0;
  const char *comma = std::strchr(entry->Description, ',');
  const std::string rest = comma != nullptr ? comma : "";
  std::snprintf(entry->Description, sizeof entry->Description, "%d:%d:%d%s", host_adapter, 0, 0,
                rest.c_str());
}

// Opens a letter the way every transport does: read/write, else read-only.
int OpenEither(DevicePlatform &platform, char letter) {
  int handle = platform.OpenDrive(letter, true);
  if (handle <= 0) handle = platform.OpenDrive(letter, false);
  return handle;
}

// Opens a CD-ROM letter for the scan: read/write, else read-only, tracing each refusal.
// Returns the handle, or 0 or less when neither opens.
int OpenForScan(TSCSIDevice *device, DevicePlatform &platform, char letter) {
  int handle = platform.OpenDrive(letter, true);
  if (handle > 0) return handle;
  TraceWrite(device, "System Error Code: " + Decimal(-handle) + "\r\n");
  const int probe = platform.OpenDrive(letter, false);
  if (probe > 0)
    platform.CloseDrive(probe);
  else
    TraceWrite(device, "System Error Code: " + Decimal(-probe) + "\r\n");
  handle = platform.OpenDrive(letter, false);
  if (handle <= 0) TraceWrite(device, "System Error Code: " + Decimal(-handle) + "\r\n");
  return handle;
}

// The table entry for a drive just opened: the next in order when the system gives its SCSI
// address, else one taken from the end of the table (spare counts down).
TDeviceEntry *ClaimEntry(TSCSIDevice *device, DevicePlatform &platform, int handle, int &spare) {
  std::memset(&device->ScsiAddress, 0, sizeof device->ScsiAddress);
  TDeviceEntry *entry;
  if (platform.QueryAddress(handle, &device->ScsiAddress) == 0) {
    entry = &device->Devices[device->DeviceCount++];
    std::memset(entry, 0, sizeof *entry);
    entry->HostAdapter = device->ScsiAddress.PortNumber;
    entry->Target = device->ScsiAddress.TargetId;
    entry->Lun = device->ScsiAddress.Lun;
  } else {
    entry = &device->Devices[spare--];
    std::memset(entry, 0, sizeof *entry);
    entry->HostAdapter = device->ScsiAddress.PortNumber;
  }
  return entry;
}

// Asks the open drive who it is and describes its entry (traced), then closes it.
void InquireOpenDrive(TSCSIDevice *device, DevicePlatform &platform, TDeviceEntry *entry,
                      const std::string &prefix, uint32_t type) {
  TSRB_ExecSCSICmd srb;
  BuildInquiry(device, &srb);
  const uint8_t status = SPTISendASPI32Command(device, &srb, false);
  TraceWrite(device, prefix + ": " + Decimal(type) + " - ( ");
  InquiryTexts texts;
  if (status == SS_COMP && device->DataBuffer[0] == 5) texts = CutTexts(device->DataBuffer);
  Describe(entry, texts);
  TraceWrite(device, entry->Description);
  if (HandleIsOpen(device)) platform.CloseDrive(device->Handle);
  device->Handle = -1;
}

// Drives without an address get made-up host adapters after the highest real one, and move
// from the end of the table to follow the others.
void ReaddressSpares(TSCSIDevice *device, int spare) {
  if (spare >= kTableSize - 1) return;
  int highest = 0;
  for (int i = 0; i < device->DeviceCount; ++i)
    if (device->Devices[i].HostAdapter > highest) highest = device->Devices[i].HostAdapter;
  int next = highest + 1;
  std::vector<TDeviceEntry> spares;
  for (int i = kTableSize - 1; i > spare; --i) {
    spares.push_back(device->Devices[i]);
    std::memset(&device->Devices[i], 0, sizeof device->Devices[i]);
  }
  for (TDeviceEntry &entry : spares) {
    Readdress(&entry, static_cast<uint8_t>(next++ & 0xFF));
    device->Devices[device->DeviceCount++] = entry;
  }
}

bool PassThroughScan(TSCSIDevice *device) {
  DevicePlatform &platform = PlatformOf(device);
  int spare = kTableSize - 1;
  int found = 0;
  for (char letter = 'C'; letter <= 'Z'; ++letter) {
    const std::string prefix(1, letter);
    const uint32_t type = platform.DriveType(letter);
    if (type != KORVA_DRIVE_CDROM) {
      TraceWrite(device, prefix + ": ( " + Decimal(type) + ")\r\n");
      continue;
    }
    const int handle = OpenForScan(device, platform, letter);
    if (handle > 0 && device->DeviceCount > spare) {
      // Table full (cannot happen with 24 letters, but never write past it).
      platform.CloseDrive(handle);
    } else if (handle > 0) {
      TDeviceEntry *entry = ClaimEntry(device, platform, handle, spare);
      entry->DriveLetter = letter;
      entry->DeviceType = KORVA_DRIVE_CDROM;
      ++found;
      device->DriveLetter = letter;
      device->Handle = handle;
      InquireOpenDrive(device, platform, entry, prefix, type);
    }
    TraceWrite(device, ")\r\n");
  }
  ReaddressSpares(device, spare);
  return found > 0;
}

// Loads the ASPI library and checks that it offers an adapter; the send entry, or null.
TSendASPI32Command LoadAspi(TSCSIDevice *device, const char *library) {
  DevicePlatform &platform = PlatformOf(device);
  const char *name = (library != nullptr && *library != 0) ? library : kDefaultAspiLibrary;
  void *module = platform.LoadModule(name);
  if (module == nullptr) return nullptr;
  auto support = reinterpret_cast<TGetASPI32SupportInfo>(
      platform.ModuleSymbol(module, "GetASPI32SupportInfo"));
  auto send =
      reinterpret_cast<TSendASPI32Command>(platform.ModuleSymbol(module, "SendASPI32Command"));
  if (support == nullptr || send == nullptr || support() == 0) {
    platform.UnloadModule(module);
    return nullptr;
  }
  device->AspiModule = module;
  device->SendCommandEntry = send;
  device->Initialized = 1;
  return send;
}

// The drive letter of a new entry: the manager's answer, else what the layer's disk
// information says.
void AspiDriveLetter(TSCSIDevice *device, TSendASPI32Command send, TDeviceEntry *entry) {
  const uint8_t letter = GetDeviceLetter(device);
  entry->DriveLetter = (letter == 0x80 || letter == 0x81) ? '?' : static_cast<char>(letter);
  TSRB_GetDiskInfo *info = &device->DiskInfoRequest;
  std::memset(info, 0, sizeof *info);
  info->SRB_Cmd = SC_GET_DISK_INFO;
  info->SRB_HaId = entry->HostAdapter;
  info->SRB_Target = entry->Target;
  info->SRB_Lun = entry->Lun;
  if ((send(info) & 0xFF) == SS_COMP && info->SRB_Int13HDriveInfo < 26)
    entry->DriveLetter = static_cast<char>('A' + info->SRB_Int13HDriveInfo);
}

// Adds the unit at ha:target:lun to the table when it is a CD-ROM drive.
void AspiProbe(TSCSIDevice *device, TSendASPI32Command send, int ha, int target, int lun) {
  TSRB_ExecSCSICmd srb;
  BuildInquiry(device, &srb);
  srb.SRB_HaId = static_cast<uint8_t>(ha);
  srb.SRB_Target = static_cast<uint8_t>(target);
  srb.SRB_Lun = static_cast<uint8_t>(lun);
  if (SendAspiRequest(device, &srb) != SS_COMP || device->DataBuffer[0] != 5) return;
  const InquiryTexts texts = CutTexts(device->DataBuffer);
  TDeviceEntry *entry = &device->Devices[device->DeviceCount];
  std::memset(entry, 0, sizeof *entry);
  entry->HostAdapter = static_cast<uint8_t>(ha);
  entry->Target = static_cast<uint8_t>(target);
  entry->Lun = static_cast<uint8_t>(lun);
  entry->DeviceType = KORVA_DRIVE_CDROM;
  AspiDriveLetter(device, send, entry);
  Describe(entry, texts);
  ++device->DeviceCount;
}

bool AspiScan(TSCSIDevice *device, const char *library) {
  const TSendASPI32Command send = LoadAspi(device, library);
  if (send == nullptr) return false;
  TSRB_HAInquiry adapters;
  std::memset(&adapters, 0, sizeof adapters);
  adapters.SRB_Cmd = SC_HA_INQUIRY;
  send(&adapters);
  const int count = adapters.HA_Count != 0 ? adapters.HA_Count : 7;
  for (int ha = 0; ha < count; ++ha)
    for (int target = 0; target < 8; ++target)
      for (int lun = 0; lun < 7; ++lun) {
        if (device->DeviceCount >= kTableSize) return true;
        AspiProbe(device, send, ha, target, lun);
      }
  return true;
}

void ForgetSelection(TSCSIDevice *device) {
  device->HostAdapter = device->Target = device->Lun = 255;
  device->DeviceType = 255;
  device->DriveLetter = '?';
}

} // namespace

std::string InquiryText(const uint8_t *data, size_t offset, size_t length) {
  std::string text(reinterpret_cast<const char *>(data + offset), length);
  for (char &c : text)
    if (static_cast<unsigned char>(c) < 0x20) c = ' ';
  return text;
}

bool InitializeASPI(TSCSIDevice *device, bool force_aspi, const char *aspi_library,
                    const char *trace_file) {
  CloseTraceLog(device);
  if (HandleIsOpen(device)) PlatformOf(device).CloseDrive(device->Handle);
  // The module of an earlier table goes; the scan loads it again if it is still wanted.
  ReleaseAspiModule(device);
  void *platform = device->Platform;
  std::memset(device, 0, sizeof *device);
  device->Platform = platform;
  device->Handle = -1;
  // No device is current until one is selected: commands must not reach whichever drive
  // the scan touched last.
  ForgetSelection(device);

  if (trace_file != nullptr && *trace_file != 0) {
    const int error = OpenTraceLog(device, trace_file);
    if (error != 0) {
      device->LastOSError = static_cast<uint32_t>(error);
      return false;
    }
  }
  OpenDevice(device);
  device->DeviceCount = 0;
  device->ForceASPI = force_aspi ? 1 : 0;

  if (!force_aspi) {
    const bool found = PassThroughScan(device);
    device->DriveLetter = '?';
    if (found) {
      device->Initialized = 1;
      device->UsePassThrough = 1;
      return true;
    }
    // Drives that opened but did not count never reach the ASPI table.
    device->DeviceCount = 0;
    std::memset(device->Devices, 0, sizeof device->Devices);
  }
  return AspiScan(device, aspi_library);
}

uint8_t GetDeviceCount(TSCSIDevice *device) {
  return device->DeviceCount;
}

const char *GetDeviceName(TSCSIDevice *device, uint8_t index) {
  if (index >= device->DeviceCount || index >= kTableSize) return nullptr;
  TDeviceEntry &entry = device->Devices[index];
  entry.Description[sizeof entry.Description - 1] = 0;
  return entry.Description;
}

uint8_t GetDeviceLetter(TSCSIDevice *device) {
  if (device->DeviceCount >= kTableSize) return 0x81;
  const TDeviceEntry &entry = device->Devices[device->DeviceCount];
  DevicePlatform &platform = PlatformOf(device);
  for (char letter = 'C'; letter <= 'Z'; ++letter) {
    const int handle = OpenEither(platform, letter);
    if (handle <= 0) continue;
    std::memset(&device->ScsiAddress, 0, sizeof device->ScsiAddress);
    const bool match = platform.QueryAddress(handle, &device->ScsiAddress) == 0 &&
                       device->ScsiAddress.PortNumber == entry.HostAdapter &&
                       device->ScsiAddress.TargetId == entry.Target &&
                       device->ScsiAddress.Lun == entry.Lun;
    platform.CloseDrive(handle);
    if (match) return static_cast<uint8_t>(letter);
  }
  return 0x81;
}

bool SelectDevice(TSCSIDevice *device, uint8_t index) {
  ForgetSelection(device);
  if (index >= device->DeviceCount || index >= kTableSize) return false;
  const TDeviceEntry &entry = device->Devices[index];
  device->SelectedIndex = index;
  device->HostAdapter = entry.HostAdapter;
  device->Target = entry.Target;
  device->Lun = entry.Lun;
  device->DriveLetter = entry.DriveLetter;
  device->DeviceType = entry.DeviceType;
  if (HandleIsOpen(device)) PlatformOf(device).CloseDrive(device->Handle);
  device->Handle = -1;

  uint8_t buffer[256] = {};
  if (!Inquiry(device, buffer)) {
    GetDeviceCapabilities(device);
    return false;
  }
  const std::string vendor = InquiryText(buffer, 8, 8);
  const std::string product = InquiryText(buffer, 16, 16);
  std::memcpy(device->VendorId, vendor.data(), 8);
  device->VendorId[8] = 0;
  std::memcpy(device->ProductId, product.data(), 16);
  device->ProductId[16] = 0;
  GetDeviceCapabilities(device);
  return true;
}

bool SelectDeviceByLetter(TSCSIDevice *device, char letter) {
  if (device->DeviceCount == 0 || letter == 0) return false;
  bool result = false;
  const int count = device->DeviceCount < kTableSize ? device->DeviceCount : kTableSize;
  for (int i = 0; i < count; ++i)
    if (device->Devices[i].DriveLetter == letter)
      result = SelectDevice(device, static_cast<uint8_t>(i));
  return result;
}

} // namespace korva
