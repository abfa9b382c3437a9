#include "vdrive/power_cut.h"

#include <algorithm>

namespace korva::vdrive {

constexpr uint32_t kSector = 2048;

bool UnsyncedWrites::Note(const MediumFile &medium, uint32_t lba, uint32_t count,
                          const uint8_t *data) {
  for (uint32_t i = 0; i < count; ++i) {
    if (before_.count(lba + i)) continue;
    std::array<uint8_t, kSector> old{};
    if (!medium.Read(lba + i, 1, old.data())) return false;
    before_.emplace(lba + i, old);
  }
  writes_.push_back({lba, std::vector<uint8_t>(data, data + size_t(count) * kSector)});
  return true;
}

void UnsyncedWrites::Synced() {
  before_.clear();
  writes_.clear();
}

bool UnsyncedWrites::Cut(MediumFile &medium, const std::function<bool(size_t)> &keep,
                         uint32_t torn) {
  bool ok = true;
  for (const auto &[lba, old] : before_)
    ok = medium.Write(lba, 1, old.data()) && ok;
  size_t last = writes_.size();
  for (size_t i = 0; i < writes_.size(); ++i)
    if (keep(i)) last = i;
  for (size_t i = 0; i < writes_.size(); ++i) {
    if (!keep(i)) continue;
    const Write &w = writes_[i];
    uint32_t sectors = static_cast<uint32_t>(w.data.size() / kSector);
    if (i == last && torn) sectors = std::min(sectors, torn);
    ok = medium.Write(w.lba, sectors, w.data.data()) && ok;
  }
  Synced();
  return ok;
}

} // namespace korva::vdrive
