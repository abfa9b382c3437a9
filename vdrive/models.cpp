#include <cctype>

#include "vdrive/vdrive.h"

namespace korva::vdrive {
namespace {

// Speeds are kilobytes per second as drives report them: 176.4 per CD "x", 1385 per DVD "x".
const DriveModelInfo kModels[] = {
    {DriveModel::kDvdBurner,
     "dvdrw",
     "KORVA",
     "VDVD-RW 16X",
     "1.01",
     0x3F,
     0x37,
     true,
     true,
     true,
     true,
     true,
     true,
     true,
     true,
     true,
     false,
     2048,
     {1764, 3528, 5645, 7056, 8467},
     {706, 1764, 2822, 4234, 5645, 7056},
     {1385, 2770, 5540, 11080, 16620, 22160},
     {1385, 2770, 5540, 11080, 22160}},
    {DriveModel::kCdRwBurner,
     "cdrw",
     "KORVA",
     "VCD-RW 52X",
     "2.10",
     0x07,
     0x07,
     true,
     true,
     false,
     false,
     false,
     false,
     false,
     false,
     true,
     false,
     2048,
     {1764, 3528, 7056, 8467, 9173},
     {706, 1764, 4234, 5645, 8467},
     {},
     {}},
    {DriveModel::kDvdReader,
     "dvdrom",
     "KORVA",
     "VDVD-ROM 16X",
     "1.00",
     0x3F,
     0x00,
     false,
     true,
     false,
     true,
     false,
     true,
     false,
     false,
     false,
     false,
     512,
     {1764, 3528, 5645, 7056},
     {},
     {1385, 5540, 11080, 22160},
     {}},
    {DriveModel::kBasicBurner,
     "basic",
     "KORVA",
     "VCD-RW 4X",
     "0.90",
     0x07,
     0x03,
     false,
     false,
     false,
     false,
     false,
     false,
     false,
     false,
     false,
     true,
     1024,
     {706, 1412},
     {353, 706},
     {},
     {}},
};

} // namespace

const DriveModelInfo &ModelInfo(DriveModel model) {
  for (const auto &m : kModels)
    if (m.model == model) return m;
  return kModels[0];
}

std::optional<DriveModel> ParseDriveModel(const std::string &name) {
  std::string n;
  for (char c : name)
    if (c != '-') n.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
  for (const auto &m : kModels)
    if (n == m.name) return m.model;
  if (n == "dvd" || n == "dvdburner") return DriveModel::kDvdBurner;
  if (n == "cd" || n == "cdburner") return DriveModel::kCdRwBurner;
  if (n == "reader") return DriveModel::kDvdReader;
  if (n == "slow") return DriveModel::kBasicBurner;
  return std::nullopt;
}

} // namespace korva::vdrive
