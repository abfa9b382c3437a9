#include "device/drive_map.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include <dirent.h>

namespace korva {

std::vector<DriveMapEntry> ParseDriveMap(const std::string &text) {
  std::vector<DriveMapEntry> map;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t end = text.find(',', pos);
    if (end == std::string::npos) end = text.size();
    const std::string item = text.substr(pos, end - pos);
    pos = end + 1;
    const size_t eq = item.find('=');
    if (eq != 1) continue;
    const char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(item[0])));
    const std::string path = item.substr(2);
    if (letter < 'C' || letter > 'Z' || path.empty()) continue;
    if (!PathOf(map, letter).empty()) continue;
    map.push_back({letter, path});
  }
  return map;
}

std::vector<std::string> ListOpticalBlockDevices(const std::string &sysfs_block_dir) {
  std::vector<std::pair<unsigned long, std::string>> found;
  if (DIR *dir = opendir(sysfs_block_dir.c_str())) {
    while (const dirent *entry = readdir(dir)) {
      const std::string name = entry->d_name;
      if (name.size() < 3 || name.compare(0, 2, "sr") != 0) continue;
      if (!std::all_of(name.begin() + 2, name.end(),
                       [](char c) { return std::isdigit(static_cast<unsigned char>(c)); }))
        continue;
      if (name.size() > 8) continue;
      found.emplace_back(std::strtoul(name.c_str() + 2, nullptr, 10), name);
    }
    closedir(dir);
  }
  std::sort(found.begin(), found.end());
  std::vector<std::string> names;
  for (auto &f : found)
    names.push_back(f.second);
  return names;
}

std::vector<DriveMapEntry> DefaultDriveMap(const std::vector<std::string> &names) {
  std::vector<DriveMapEntry> map;
  char letter = 'D';
  for (const auto &name : names) {
    if (letter > 'Z') break;
    map.push_back({letter++, "/dev/" + name});
  }
  return map;
}

std::string PathOf(const std::vector<DriveMapEntry> &map, char letter) {
  for (const auto &e : map)
    if (e.letter == letter) return e.path;
  return {};
}

} // namespace korva
