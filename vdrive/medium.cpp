#include "vdrive/medium.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace korva::vdrive {
namespace {

// Capacities of 80-minute CDs and single-layer 4.7 GB DVDs. A CD-RW formatted for fixed
// packets loses 7 link sectors per 32-sector packet.
constexpr uint32_t kCdRawBlocks = 359865;
constexpr uint32_t kCdFixedBlocks = kCdRawBlocks / 39 * 32;

const MediumInfo kMedia[] = {
    {MediumKind::kCdRom, "cd-rom", 0x0008, true, true, false, false, kCdRawBlocks, 0, 0},
    {MediumKind::kCdR, "cd-r", 0x0009, true, false, true, false, kCdRawBlocks, 0, 0},
    {MediumKind::kCdRw, "cd-rw", 0x000A, true, false, false, true, kCdRawBlocks, kCdFixedBlocks,
     32},
    {MediumKind::kDvdRom, "dvd-rom", 0x0010, false, true, false, false, 2298496, 0, 0},
    {MediumKind::kDvdR, "dvd-r", 0x0011, false, false, true, false, 2298496, 0, 0},
    {MediumKind::kDvdRam, "dvd-ram", 0x0012, false, false, false, true, 2236704, 2236704, 16},
    {MediumKind::kDvdRwSequential, "dvd-rw", 0x0014, false, false, false, true, 2297888, 2297888,
     16},
    {MediumKind::kDvdRwRestricted, "dvd-rw-ro", 0x0013, false, false, false, true, 2297888, 2297888,
     16},
    {MediumKind::kDvdPlusRw, "dvd+rw", 0x001A, false, false, false, true, 2295104, 2295104, 16},
    {MediumKind::kDvdPlusR, "dvd+r", 0x001B, false, false, true, false, 2295104, 0, 0},
};

bool AllZero(const uint8_t *p, size_t n) {
  return n == 0 || (p[0] == 0 && std::memcmp(p, p + 1, n - 1) == 0);
}

} // namespace

const MediumInfo &InfoOf(MediumKind kind) {
  for (const auto &m : kMedia)
    if (m.kind == kind) return m;
  return kMedia[0];
}

std::optional<MediumKind> ParseMediumKind(const std::string &name) {
  std::string n;
  for (char c : name)
    n.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
  for (const auto &m : kMedia) {
    std::string plain; // the name without hyphens: "cdrw", "dvd+rw", "dvdrwro"
    for (const char *p = m.name; *p; ++p)
      if (*p != '-') plain.push_back(*p);
    if (n == m.name || n == plain) return m.kind;
  }
  if (n == "dvd-rw-seq" || n == "dvdrwseq") return MediumKind::kDvdRwSequential;
  return std::nullopt;
}

std::string FormatState(const MediumState &s) {
  std::ostringstream o;
  o << "korva-vdrive-medium 1\n"
    << "kind=" << InfoOf(s.kind).name << "\n"
    << "formatted=" << (s.formatted ? 1 : 0) << "\n"
    << "mrw=" << (s.mrw ? 1 : 0) << "\n"
    << "background=" << unsigned(s.background) << "\n"
    << "background_ms=" << s.background_ms << "\n"
    << "capacity=" << s.capacity << "\n"
    << "recorded=" << s.recorded << "\n"
    << "closed=" << (s.closed ? 1 : 0) << "\n"
    << "size=" << s.size << "\n";
  return o.str();
}

std::optional<MediumState> ParseState(const std::string &text) {
  std::istringstream in(text);
  std::string line;
  if (!std::getline(in, line) || line != "korva-vdrive-medium 1") return std::nullopt;
  MediumState s;
  bool have_kind = false;
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    auto eq = line.find('=');
    if (eq == std::string::npos) return std::nullopt;
    std::string key = line.substr(0, eq), value = line.substr(eq + 1);
    if (key == "kind") {
      auto k = ParseMediumKind(value);
      if (!k) return std::nullopt;
      s.kind = *k;
      have_kind = true;
      continue;
    }
    char *end = nullptr;
    errno = 0;
    unsigned long long v = std::strtoull(value.c_str(), &end, 10);
    if (value.empty() || *end != '\0' || errno != 0 || value[0] == '-') return std::nullopt;
    if (key == "formatted")
      s.formatted = v != 0;
    else if (key == "mrw")
      s.mrw = v != 0;
    else if (key == "background") {
      if (v > 3) return std::nullopt;
      s.background = static_cast<uint8_t>(v);
    } else if (key == "background_ms")
      s.background_ms = v;
    else if (key == "capacity" || key == "recorded" || key == "size") {
      if (v > 0xFFFFFFFFull) return std::nullopt;
      (key == "capacity" ? s.capacity : key == "size" ? s.size : s.recorded) =
          static_cast<uint32_t>(v);
    } else if (key == "closed")
      s.closed = v != 0;
    // Unknown keys come from newer versions; they are ignored.
  }
  if (!have_kind) return std::nullopt;
  // Keep the numbers within what the kind allows, whatever the file says.
  const MediumInfo &info = InfoOf(s.kind);
  s.recorded = std::min(s.recorded, info.raw_blocks);
  if (!info.rom) s.capacity = std::min(s.capacity, std::max(info.raw_blocks, info.format_blocks));
  if (s.mrw && s.kind != MediumKind::kCdRw) s.mrw = false;
  if (s.kind != MediumKind::kDvdRam || s.size > info.format_blocks) s.size = 0;
  return s;
}

std::unique_ptr<MediumFile> MediumFile::Open(const std::string &path, MediumKind kind,
                                             bool formatted, std::string *error,
                                             uint32_t blocks) {
  auto fail = [&](const std::string &what) -> std::unique_ptr<MediumFile> {
    if (error) *error = what;
    return nullptr;
  };
  if (path.empty()) return fail("empty medium file name");
  bool existed = false;
  // A disc is in one drive at a time: two drives writing one file would corrupt it.
  std::unique_ptr<DiscFile> file = DiscFile::Open(path, &existed, error);
  if (!file) return nullptr;
  std::unique_ptr<MediumFile> m(new MediumFile(path, std::move(file)));

  std::string state_text;
  if (FILE *f = std::fopen(StatePath(path).c_str(), "rb")) {
    char buf[1024];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0 && state_text.size() < 65536)
      state_text.append(buf, n);
    std::fclose(f);
    auto parsed = ParseState(state_text);
    if (!parsed) return fail(StatePath(path) + ": not a valid medium state file");
    m->state_ = *parsed;
  } else {
    // No side file: a new disc, or an existing image presented as a disc of this kind.
    const MediumInfo &info = InfoOf(kind);
    MediumState &s = m->state_;
    s.kind = kind;
    if (kind == MediumKind::kDvdRam && blocks < info.format_blocks) s.size = blocks;
    const uint64_t sectors = m->FileSectors();
    if (info.rom) {
      s.capacity = static_cast<uint32_t>(std::min<uint64_t>(sectors, info.raw_blocks));
    } else if (info.write_once) {
      s.recorded = static_cast<uint32_t>(std::min<uint64_t>(sectors, info.raw_blocks));
      s.closed = existed && sectors > 0;
    } else if (kind == MediumKind::kDvdRam || formatted || (existed && sectors > 0)) {
      s.formatted = true;
      s.capacity = s.size ? s.size : info.format_blocks;
      if (kind == MediumKind::kDvdRwSequential) s.kind = MediumKind::kDvdRwRestricted;
      if (kind == MediumKind::kDvdPlusRw) s.background = 3;
    }
    if (!m->SaveState()) return fail(StatePath(path) + ": cannot write the medium state");
  }
  return m;
}

MediumFile::~MediumFile() = default;

uint64_t MediumFile::FileSectors() const {
  uint64_t size = 0;
  if (!file_->Size(&size)) return 0;
  return (size + kSectorSize - 1) / kSectorSize;
}

bool MediumFile::Read(uint32_t lba, uint32_t count, uint8_t *out) const {
  const size_t want = size_t(count) * kSectorSize;
  size_t got = 0;
  if (!file_->ReadAt(uint64_t(lba) * kSectorSize, want, out, &got)) return false;
  std::memset(out + got, 0, want - got); // end of file: the rest was never written
  return true;
}

bool MediumFile::Write(uint32_t lba, uint32_t count, const uint8_t *in) {
  const size_t n = size_t(count) * kSectorSize;
  const uint64_t off = uint64_t(lba) * kSectorSize;
  uint64_t size = 0;
  if (!file_->Size(&size)) return false;
  if (AllZero(in, n)) {
    // Zeros need no blocks: extend the file past its end, or punch a hole inside it.
    const uint64_t end = off + n;
    if (off >= size) return end <= size || file_->Resize(end);
    if (file_->PunchHole(off, n)) return end <= size || file_->Resize(end);
  }
  return file_->WriteAt(off, n, in);
}

bool MediumFile::Discard() {
  return file_->Resize(0);
}

bool MediumFile::SaveState() {
  // Written aside and renamed, so that a crash leaves the old state or the new one.
  const std::string final_path = StatePath(path_);
  const std::string tmp = final_path + ".tmp";
  const std::string text = FormatState(state_);
  FILE *f = std::fopen(tmp.c_str(), "wb");
  if (!f) return false;
  bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  ok = (std::fclose(f) == 0) && ok;
  if (!ok || !RenameReplacing(tmp, final_path)) {
    std::remove(tmp.c_str());
    return false;
  }
  return true;
}

} // namespace korva::vdrive
