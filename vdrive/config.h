// The text that configures a set of virtual drives (the KORVA_VDRIVE variable):
//   entry[;entry...]      entry = kind[/option[,option...]]:file
// kind: cd-rom cd-r cd-rw dvd-rom dvd-r dvd-ram dvd-rw dvd-rw-ro dvd+rw dvd+r (hyphens
// optional). Options: a drive model (dvdrw, cdrw, dvdrom, basic), "formatted", "cache"
// (write cache on), "attention" (unit attention after a disc is loaded), "format=MS",
// "blank=MS", "background=MS", "leadout=MS" (timings), "strict" (the default: behaves as
// real drives, see VirtualDrive::SetStrict) or "lenient", "longwrite=N" (every Nth write
// answers long write in progress once), "blocks=N" (formattable capacity of a new DVD-RAM:
// 1218960 for 2.6 GB), "oddfirmware" (VirtualDrive::SetOddFirmware), "empty" (the tray is
// open with the disc on it; a load command takes it in). The file is everything after the
// first ':'.
#ifndef KORVA_DEVICE_VDRIVE_CONFIG_H
#define KORVA_DEVICE_VDRIVE_CONFIG_H

#include <memory>
#include <string>
#include <vector>

#include "vdrive/vdrive.h"

namespace korva::vdrive {

struct DriveConfig {
  MediumKind kind = MediumKind::kCdRw;
  DriveModel model = DriveModel::kDvdBurner;
  std::string file;
  bool formatted = false;
  bool write_cache = false;
  bool unit_attention = false;
  bool strict = true;
  uint32_t long_write_every = 0;
  uint32_t blocks = 0;
  bool odd_firmware = false;
  bool empty = false;
  Timings timings;
};

// Parses the whole text. On an error returns false and says which entry and why.
bool ParseDriveConfigs(const std::string &text, std::vector<DriveConfig> *out, std::string *error);

// Builds a drive from one entry. Null (with the reason) when the file cannot be opened.
std::unique_ptr<VirtualDrive> MakeDrive(const DriveConfig &config, std::string *error);

} // namespace korva::vdrive

#endif
