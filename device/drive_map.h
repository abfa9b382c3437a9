// Drive letters of Linux optical drives: Linux has none, so the library makes them up.
#ifndef KORVA_DEVICE_DRIVE_MAP_H
#define KORVA_DEVICE_DRIVE_MAP_H

#include <string>
#include <vector>

namespace korva {

struct DriveMapEntry {
  char letter; // "C" to "Z"
  std::string path;
};

// Parses "E=/dev/sr1,F=/dev/sr0". Letters are taken upper-case; entries with a letter
// outside "C" to "Z", an empty path or a letter already given are ignored.
std::vector<DriveMapEntry> ParseDriveMap(const std::string &text);

// Names "srN" found in a sysfs block-class folder, in numeric order of N.
std::vector<std::string> ListOpticalBlockDevices(const std::string &sysfs_block_dir);

// "D", "E", ... for the given names (as /dev/<name>); at most up to "Z".
std::vector<DriveMapEntry> DefaultDriveMap(const std::vector<std::string> &names);

// Path of a letter, empty when it is not mapped.
std::string PathOf(const std::vector<DriveMapEntry> &map, char letter);

} // namespace korva

#endif
