// Drive capabilities, speeds and the kind of the loaded medium.
#include <cstring>

#include "device/device_internal.h"
#include "udf/byte_order.h"

namespace korva {

namespace {

constexpr uint8_t kCapabilitiesPage = 0x2A;
constexpr uint16_t kModeSenseLength = 128;
constexpr uint16_t kFeatureLength = 112;
constexpr const char *kDefaultTraceLog = "korva.elg";

// The page follows the 8-byte mode header, or a block descriptor after it.
void CopyCapabilitiesPage(TSCSIDevice *device) {
  const uint8_t *data = device->DataBuffer;
  static_assert(sizeof(TModePage2A) >= 64, "the copy fits");
  if (data[8] == kCapabilitiesPage)
    std::memcpy(&device->ModePage2A, data + 8, 64);
  else if (data[16] == kCapabilitiesPage)
    std::memcpy(&device->ModePage2A, data + 16, 64);
}

// MODE SENSE of the capabilities page into ModePage2A; false (copy left zero) when refused.
bool AskCapabilitiesPage(TSCSIDevice *device, bool default_values) {
  std::memset(&device->ModePage2A, 0, sizeof device->ModePage2A);
  if (!ModeSense10(device, device->DataBuffer, kModeSenseLength, kCapabilitiesPage, default_values))
    return false;
  CopyCapabilitiesPage(device);
  return true;
}

const uint8_t *PageBytes(const TSCSIDevice *device) {
  return reinterpret_cast<const uint8_t *>(&device->ModePage2A);
}

void PageToHostOrder(TSCSIDevice *device) {
  uint8_t *page = reinterpret_cast<uint8_t *>(&device->ModePage2A);
  for (size_t offset : {18, 20, 8, 14, 12}) {
    const uint16_t value = LoadBE16(page + offset);
    std::memcpy(page + offset, &value, 2);
  }
}

uint16_t FeatureCode(const TSCSIDevice *device) {
  return LoadBE16(reinterpret_cast<const uint8_t *>(&device->Configuration) + 8);
}

uint8_t FeatureByte12(const TSCSIDevice *device) {
  return reinterpret_cast<const uint8_t *>(&device->Configuration)[12];
}

uint16_t WireProfile(const TSCSIDevice *device) {
  return LoadBE16(device->Configuration.Header.CurrentProfile);
}

bool AskFeature(TSCSIDevice *device, uint16_t feature) {
  return GetConfiguration(device, &device->Configuration, kFeatureLength, feature);
}

TMedium MediumOfProfile(uint16_t profile) {
  switch (profile) {
  case 0x0008:
    return mtCDROM;
  case 0x0009:
    return mtCDR;
  case 0x000A:
    return mtCDRW;
  case 0x0010:
    return mtDVDROM;
  case 0x0011:
    return mtDVDR;
  case 0x0012:
    return mtDVDRAM;
  case 0x0013:
    return mtDVDRWRO;
  case 0x0014:
    return mtDVDRWSR;
  case 0x001A:
    return mtDVDPLUSRW;
  case 0x001B:
    return mtDVDPLUSR;
  case 0x002B:
    return mtDVDPLUSRDL;
  case 0x0020:
    return mtDDCDROM;
  case 0x0021:
    return mtDDCDR;
  case 0x0022:
    return mtDDCDRW;
  default:
    return mtUNKNOWN;
  }
}

} // namespace

bool JustLinkCapable(TSCSIDevice *device) {
  return ModeSense10(device, device->DataBuffer, kModeSenseLength, 0x30, true);
}

namespace {

// The read and write abilities the capabilities page states (bytes 2 to 4).
void PageAbilities(TSCSIDevice *device, const uint8_t *page) {
  uint8_t *caps = device->Capabilities;
  const uint8_t read = page[2], write = page[3];
  caps[capReadCDR] = BitTest(read, 0);
  caps[capReadCDRW] = BitTest(read, 1);
  caps[capReadMethod2] = BitTest(read, 2);
  caps[capReadDVDROM] = BitTest(read, 3);
  caps[capReadDVDR] = BitTest(read, 4);
  caps[capReadDVDRAM] = BitTest(read, 5);
  caps[capWriteCDR] = BitTest(write, 0);
  caps[capWriteCDRW] = BitTest(write, 1);
  caps[capTestWrite] = BitTest(write, 2);
  caps[capWriteDVDR] = BitTest(write, 4);
  caps[capWriteDVDRAM] = BitTest(write, 5);
  caps[capBufferUnderrunProtection] = BitTest(page[4], 7);
}

// The DVD+ and DVD-RW abilities, which only the features tell.
void FeatureAbilities(TSCSIDevice *device) {
  uint8_t *caps = device->Capabilities;
  // DVD+RW/+R: the feature must be the one reported; a bare header (no medium, profile 0)
  // says nothing about what the drive reads.
  if (AskFeature(device, 0x002A) && FeatureCode(device) == 0x002A) {
    caps[capReadDVDPlusR] = caps[capReadDVDPlusRW] = 1;
    if (BitTest(FeatureByte12(device), 0)) caps[capWriteDVDPlusR] = caps[capWriteDVDPlusRW] = 1;
  }
  if (AskFeature(device, 0x003B) && FeatureCode(device) == 0x003B) {
    caps[capReadDVDPlusRDL] = 1;
    if (BitTest(FeatureByte12(device), 0)) caps[capWriteDVDPlusRDL] = 1;
  }
  if (AskFeature(device, 0x002F) && (WireProfile(device) == 0 || FeatureCode(device) == 0x002F) &&
      BitTest(FeatureByte12(device), 1)) {
    caps[capReadDVDRW] = caps[capWriteDVDRW] = 1;
  }
}

} // namespace

bool GetDeviceCapabilities(TSCSIDevice *device) {
  std::memset(&device->ModePage2A, 0, sizeof device->ModePage2A);
  device->DefaultMaxReadSpeed = 0;
  device->DefaultMaxWriteSpeed = 0;
  device->MaxReadSpeed = device->CurrentReadSpeed = 0;
  device->MaxWriteSpeed = device->CurrentWriteSpeed = 0;
  std::memset(device->Capabilities, 0, sizeof device->Capabilities);

  // Some drives (ATAPI ones among them) answer the page only with current values: when one
  // page control is refused the other stands in for it. A refused answer is never read.
  const bool defaults = AskCapabilitiesPage(device, true);
  const TModePage2A default_page = device->ModePage2A;
  const bool current = AskCapabilitiesPage(device, false);
  if (!defaults && !current) return false;
  if (!current) device->ModePage2A = default_page;
  const uint8_t *page = PageBytes(device);
  const uint8_t *maxima = defaults ? reinterpret_cast<const uint8_t *>(&default_page) : page;
  device->DefaultMaxReadSpeed = LoadBE16(maxima + 8);
  device->DefaultMaxWriteSpeed = LoadBE16(maxima + 18);
  device->MaxReadSpeed = LoadBE16(page + 8);
  device->CurrentReadSpeed = LoadBE16(page + 14);
  device->MaxWriteSpeed = LoadBE16(page + 18);
  device->CurrentWriteSpeed = LoadBE16(page + 20);
  PageToHostOrder(device);

  PageAbilities(device, page);
  if (JustLinkCapable(device)) device->Capabilities[capBufferUnderrunProtection] = 1;
  FeatureAbilities(device);
  return true;
}

bool DeviceCan(TSCSIDevice *device, uint8_t code) {
  static const int8_t kFlagOfCode[23] = {-1,
                                         capReadCDR,
                                         capReadCDRW,
                                         capReadDVDRAM,
                                         capReadDVDR,
                                         capReadDVDRW,
                                         capReadDVDPlusR,
                                         capReadDVDPlusRW,
                                         capReadDVDPlusRDL,
                                         -1,
                                         -1,
                                         capWriteCDR,
                                         capWriteCDRW,
                                         capWriteDVDRAM,
                                         capWriteDVDR,
                                         capWriteDVDRW,
                                         capWriteDVDPlusR,
                                         capWriteDVDPlusRW,
                                         capWriteDVDPlusRDL,
                                         -1,
                                         -1,
                                         capTestWrite,
                                         capBufferUnderrunProtection};
  if (code == 72) return OpenTraceLog(device, kDefaultTraceLog) == 0;
  if (code == 73) {
    if (device->TraceLog == nullptr) return false;
    CloseTraceLog(device);
    return true;
  }
  if (code >= sizeof kFlagOfCode) return false;
  const int flag = kFlagOfCode[code];
  return flag >= 0 && device->Capabilities[flag] != 0;
}

bool DeviceIsBurner(TSCSIDevice *device) {
  return device->ModePage2A.WriteAbilities != 0;
}

TMedium DiscIs(TSCSIDevice *device) {
  if (GetConfiguration(device, &device->Configuration, sizeof(TConfiguration), 0)) {
    const uint16_t profile = WireProfile(device);
    std::memcpy(device->Configuration.Header.CurrentProfile, &profile, 2);
    return MediumOfProfile(profile);
  }
  if (ReadTOC(device, 4, 0, true, device->DataBuffer, 30)) {
    const uint8_t b = device->DataBuffer[6];
    if (BitTest(b, 7)) return BitTest(b, 6) ? mtCDRW : mtCDR;
    return mtCDROM;
  }
  if (ReadDiscInformation(device, &device->DiscInfo, 64))
    return BitTest(device->DiscInfo.DiscStatus, 4) ? mtCDRW : mtCDR;
  return TestUnitReady(device) ? mtCDROM : mtUNKNOWN;
}

bool Erasable(TSCSIDevice *device) {
  switch (DiscIs(device)) {
  case mtDVDRAM:
  case mtDVDRW:
  case mtDVDRWRO:
  case mtDVDRWSR:
  case mtDVDPLUSRW:
    return true;
  default:
    break;
  }
  if (!ReadDiscInformation(device, &device->DiscInfo, 64)) return false;
  return BitTest(device->DiscInfo.DiscStatus, 4);
}

bool SetDeviceSpeed(TSCSIDevice *device, uint16_t read_speed, uint16_t write_speed) {
  device->RequestedReadSpeed = read_speed;
  device->RequestedWriteSpeed = write_speed;
  return SetCDSpeed(device, read_speed, write_speed);
}

uint16_t GetDeviceMaxReadSpeed(TSCSIDevice *device) {
  GetDeviceCapabilities(device);
  return device->DefaultMaxReadSpeed;
}

uint16_t GetDeviceMaxWriteSpeed(TSCSIDevice *device) {
  GetDeviceCapabilities(device);
  return device->DefaultMaxWriteSpeed;
}

uint16_t GetMaxWriteSpeed(TSCSIDevice *device) {
  GetDeviceCapabilities(device);
  return device->ModePage2A.MaxWriteSpeed;
}

uint16_t GetReadSpeed(TSCSIDevice *device) {
  GetDeviceCapabilities(device);
  return device->ModePage2A.CurrentReadSpeed;
}

uint16_t GetWriteSpeed(TSCSIDevice *device) {
  GetDeviceCapabilities(device);
  return device->ModePage2A.CurrentWriteSpeed;
}

uint32_t GetDeviceBufferSize(TSCSIDevice *device) {
  return device->BufferLength;
}

} // namespace korva
