// Decoding sense data: fixed (70h/71h) and descriptor (72h/73h) format, and a text for
// people.
#include <cstdio>
#include <string>

#include "device/device_internal.h"

namespace korva {

namespace {

constexpr uint8_t kKeyNoSense = 0x00;
constexpr uint8_t kKeyNotReady = 0x02;
constexpr uint8_t kSenseKeySpecificDescriptor = 0x02;

// The progress indication of a sense-key specific field (3 bytes, SKSV in the first). It
// means progress only for NOT READY and NO SENSE.
void TakeProgress(SenseFields &f, const uint8_t *field) {
  if ((field[0] & 0x80) == 0) return;
  if (f.key != kKeyNotReady && f.key != kKeyNoSense) return;
  f.has_progress = true;
  f.progress = static_cast<uint16_t>((field[1] << 8) | field[2]);
}

void ParseDescriptorFormat(const uint8_t *sense, size_t length, SenseFields &f) {
  if (length > 1) f.key = sense[1] & 0x0F;
  if (length > 2) f.asc = sense[2];
  if (length > 3) f.ascq = sense[3];
  if (length < 8) return;
  size_t end = 8 + size_t(sense[7]);
  if (end > length) end = length;
  for (size_t at = 8; at + 2 <= end;) {
    const size_t size = 2 + size_t(sense[at + 1]);
    if (at + size > end) break;
    if (sense[at] == kSenseKeySpecificDescriptor && size >= 7) TakeProgress(f, sense + at + 4);
    at += size;
  }
}

struct Name {
  uint8_t asc, ascq;
  const char *text;
};

constexpr Name kAdditionalSense[] = {
    {0x04, 0x00, "logical unit not ready"},
    {0x04, 0x01, "becoming ready"},
    {0x04, 0x04, "format in progress"},
    {0x04, 0x07, "operation in progress"},
    {0x04, 0x08, "long write in progress"},
    {0x0C, 0x00, "write error"},
    {0x11, 0x00, "unrecovered read error"},
    {0x1A, 0x00, "parameter list length error"},
    {0x20, 0x00, "invalid command operation code"},
    {0x21, 0x00, "logical block address out of range"},
    {0x21, 0x02, "invalid address for write"},
    {0x24, 0x00, "invalid field in CDB"},
    {0x25, 0x00, "logical unit not supported"},
    {0x26, 0x00, "invalid field in parameter list"},
    {0x27, 0x00, "write protected"},
    {0x28, 0x00, "medium may have changed"},
    {0x29, 0x00, "power on or reset occurred"},
    {0x30, 0x00, "incompatible medium installed"},
    {0x30, 0x05, "cannot write medium, incompatible format"},
    {0x30, 0x10, "medium not formatted"},
    {0x3A, 0x00, "medium not present"},
    {0x3A, 0x01, "medium not present, tray closed"},
    {0x3A, 0x02, "medium not present, tray open"},
    {0x44, 0x00, "internal target failure"},
    {0x53, 0x00, "media load or eject failed"},
    {0x53, 0x02, "medium removal prevented"},
    {0x64, 0x00, "illegal mode for this track"},
};

constexpr const char *kKeyNames[16] = {
    "no sense",       "recovered error", "not ready",      "medium error",
    "hardware error", "illegal request", "unit attention", "data protect",
    "blank check",    "vendor specific", "copy aborted",   "aborted command",
    "key 0Ch",        "volume overflow", "miscompare",     "key 0Fh"};

} // namespace

SenseFields ParseSense(const uint8_t *sense, size_t length) {
  SenseFields f{};
  if (sense == nullptr || length < 1) return f;
  const uint8_t code = sense[0] & 0x7F;
  if (code == 0x72 || code == 0x73) {
    ParseDescriptorFormat(sense, length, f);
    return f;
  }
  if (length > 2) f.key = sense[2] & 0x0F;
  if (length > 12) f.asc = sense[12];
  if (length > 13) f.ascq = sense[13];
  if (length > 17) TakeProgress(f, sense + 15);
  return f;
}

SenseFields LastSenseFields(const TSCSIDevice *device) {
  return ParseSense(device->LastSense, sizeof device->LastSense);
}

std::string DescribeLastSense(const TSCSIDevice *device) {
  const SenseFields f = LastSenseFields(device);
  if (f.key == 0 && f.asc == 0 && f.ascq == 0) return std::string();
  const char *detail = nullptr;
  for (const Name &n : kAdditionalSense)
    if (n.asc == f.asc && n.ascq == f.ascq) detail = n.text;
  char code[32];
  std::snprintf(code, sizeof code, "sense %X/%02X/%02X", f.key, f.asc, f.ascq);
  std::string text = kKeyNames[f.key & 0x0F];
  if (detail != nullptr) text += std::string(", ") + detail;
  return text + " (" + code + ")";
}

} // namespace korva
