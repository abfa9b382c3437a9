#include "vdrive/config.h"

#include <cerrno>
#include <cstdlib>

namespace korva::vdrive {
namespace {

std::vector<std::string> Split(const std::string &text, char sep) {
  std::vector<std::string> parts;
  size_t from = 0;
  for (;;) {
    size_t at = text.find(sep, from);
    parts.push_back(text.substr(from, at == std::string::npos ? std::string::npos : at - from));
    if (at == std::string::npos) return parts;
    from = at + 1;
  }
}

std::string Trim(const std::string &s) {
  size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return {};
  size_t e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}

bool ParseMs(const std::string &value, std::chrono::milliseconds *out) {
  if (value.empty() || value[0] == '-') return false;
  char *end = nullptr;
  errno = 0;
  unsigned long long v = std::strtoull(value.c_str(), &end, 10);
  if (*end != '\0' || errno != 0 || v > 24ull * 3600 * 1000) return false;
  *out = std::chrono::milliseconds(v);
  return true;
}

} // namespace

bool ParseDriveConfigs(const std::string &text, std::vector<DriveConfig> *out, std::string *error) {
  out->clear();
  int index = 0;
  for (const std::string &raw : Split(text, ';')) {
    const std::string entry = Trim(raw);
    if (entry.empty()) continue;
    ++index;
    auto fail = [&](const std::string &why) {
      if (error) *error = "drive " + std::to_string(index) + " (\"" + entry + "\"): " + why;
      out->clear();
      return false;
    };
    const size_t colon = entry.find(':');
    if (colon == std::string::npos) return fail("expected kind:file");
    const std::string head = entry.substr(0, colon);
    DriveConfig config;
    config.file = entry.substr(colon + 1);
    const size_t slash = head.find('/');
    const std::string kind_name = Trim(head.substr(0, slash));
    auto kind = ParseMediumKind(kind_name);
    if (!kind) return fail("unknown medium kind \"" + kind_name + "\"");
    config.kind = *kind;
    if (slash != std::string::npos) {
      for (const std::string &raw_option : Split(head.substr(slash + 1), ',')) {
        const std::string option = Trim(raw_option);
        const size_t eq = option.find('=');
        const std::string key = option.substr(0, eq);
        const std::string value = eq == std::string::npos ? "" : option.substr(eq + 1);
        if (option.empty()) continue;
        if (eq != std::string::npos && (key == "blocks" || key == "longwrite")) {
          std::chrono::milliseconds n;
          if (!ParseMs(value, &n) || n.count() > 0xFFFFFFFF)
            return fail("bad number in \"" + option + "\"");
          (key == "blocks" ? config.blocks : config.long_write_every) =
              static_cast<uint32_t>(n.count());
        } else if (eq != std::string::npos) {
          std::chrono::milliseconds *slot = key == "format"       ? &config.timings.format
                                            : key == "blank"      ? &config.timings.blank
                                            : key == "background" ? &config.timings.background
                                            : key == "leadout"    ? &config.timings.lead_out
                                                                  : nullptr;
          if (!slot) return fail("unknown option \"" + key + "\"");
          if (!ParseMs(value, slot)) return fail("bad milliseconds in \"" + option + "\"");
        } else if (option == "formatted") {
          config.formatted = true;
        } else if (option == "cache") {
          config.write_cache = true;
        } else if (option == "attention") {
          config.unit_attention = true;
        } else if (option == "strict") {
          config.strict = true;
        } else if (option == "lenient") {
          config.strict = false;
        } else if (option == "oddfirmware") {
          config.odd_firmware = true;
        } else if (option == "empty") {
          config.empty = true;
        } else if (auto model = ParseDriveModel(option)) {
          config.model = *model;
        } else {
          return fail("unknown option \"" + option + "\"");
        }
      }
    }
    if (config.file.empty()) return fail("no medium file");
    out->push_back(std::move(config));
  }
  if (out->empty()) {
    if (error) *error = "no drives configured";
    return false;
  }
  return true;
}

std::unique_ptr<VirtualDrive> MakeDrive(const DriveConfig &config, std::string *error) {
  auto drive = std::make_unique<VirtualDrive>(config.model);
  drive->SetStrict(config.strict);
  drive->SetBusySpells(2, config.long_write_every);
  drive->SetOddFirmware(config.odd_firmware);
  drive->SetTimings(config.timings);
  drive->SetWriteCache(config.write_cache);
  if (!drive->InsertMedium(config.file, config.kind, config.formatted, error, config.blocks))
    return nullptr;
  drive->SetUnitAttention(config.unit_attention);
  if (config.empty) {
    const uint8_t eject[6] = {0x1B, 0, 0, 0, 0x02, 0};
    drive->Execute(eject, sizeof eject, DataDirection::kNone, nullptr, 0);
  }
  return drive;
}

} // namespace korva::vdrive
