// A campaign of damaged images: a formatted 64 MiB image holding a few hundred files and
// directories is damaged over and over (random and targeted changes to its descriptors, with
// tags and CRCs recomputed so that every change passes the tag check), and each damaged image
// goes through the commands a user would run on it: mount, a recursive listing, reading every
// file, a put, an rm, a check and a repair, each as mount + operation + dismount. Every
// command is timed on its own. The commands run in a child process per image so that a crash
// or a hang (killed after 60 s) is recorded instead of ending the campaign.
//
//   bench_damage_campaign [IMAGES=300] [FIRST_SEED=1] [-v]
//
// Images go to $TMPDIR (default /tmp): two campaigns at once need two folders.
//
// Prints the distribution of command times, the slowest commands with their seeds, every
// image whose commands crashed or hung, and how many sound files (see SoundHashes) repair
// lost: each damaged image is also repaired on its own and every file of the result read.
// It asserts nothing: figures to read.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "korva/check.h"
#include "korva/files.h"
#include "korva/volume.h"
#include "udf/byte_order.h"
#include "udf/tag.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint32_t kSector = 2048;
constexpr uint16_t kImageMiB = 64;
constexpr int kChildSeconds = 60;

double Seconds(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

void Done(void *, void *, int32_t) {}

struct Record {
  TUDFRewritableVolume *v =
      static_cast<TUDFRewritableVolume *>(std::calloc(1, sizeof(TUDFRewritableVolume)));
  ~Record() {
    UDF_ReleaseVolume(v);
    std::free(v);
  }
};

bool WriteData(TUDFRewritableVolume *v, const std::string &path, size_t size, char fill) {
  const UDF_HANDLE h = UDF_CreateFile(v, path.c_str(), UDF_GENERIC_WRITE, UDF_CREATE_ALWAYS, 0);
  if (h == UDF_INVALID_HANDLE) return false;
  std::vector<char> data(size, fill);
  uint32_t n = 0;
  const bool ok = size == 0 || UDF_WriteFile(v, h, data.data(), uint32_t(size), &n);
  return UDF_CloseHandle(v, h) && ok;
}

// Formats the image and fills it: nested directories, files of many sizes, and a large file
// written into the gaps left by deletes, so that it has many extents.
bool BuildVolume(const std::string &path) {
  unlink(path.c_str());
  Record r;
  TUDFRewritableVolume *v = r.v;
  if (!UDF_MountImage(v, path.c_str(), kImageMiB) ||
      !UDF_FormatVolumeW(v, u"CAMPAIGN", 1, Done, nullptr))
    return false;
  UDF_WaitForBackgroundOperation(v);
  if (!UDF_GetVolumeCompatibility(v)) return false;
  std::mt19937 gen(7);
  std::vector<std::string> dirs{""};
  for (int d = 0; d < 24; ++d) {
    const std::string parent = dirs[gen() % dirs.size()];
    const std::string name = "dir" + std::to_string(d);
    if (!UDF_CreateDirectory(v, parent.empty() ? "\\" : parent.c_str(), name.c_str())) return false;
    dirs.push_back(parent + "\\" + name);
  }
  std::vector<std::string> files;
  for (int f = 0; f < 300; ++f) {
    const std::string p = dirs[gen() % dirs.size()] + "\\file" + std::to_string(f) + ".bin";
    const size_t size = f % 10 == 0 ? 0 : size_t(gen() % (f % 7 == 0 ? 200000 : 9000));
    if (!WriteData(v, p, size, char('a' + f % 26))) return false;
    files.push_back(p);
  }
  for (size_t f = 0; f < files.size(); f += 3)
    if (!UDF_DeleteFile(v, files[f].c_str())) return false;
  if (!WriteData(v, "\\dir1\\fragmented.bin", 3u << 20, 'F')) return false;
  return UDF_DismountVolume(v) != KFALSE;
}

// A descriptor found in the pristine image: a whole-sector one (at the sector's start) or a
// file identifier inside a directory block.
struct Descriptor {
  uint32_t Sector = 0;
  uint32_t Offset = 0; // in the sector
  uint16_t Id = 0;
  uint32_t Location = 0; // as its tag records it
  uint32_t Length = 0;   // bytes it spans from Offset
};

struct Layout {
  uint32_t PartitionStart = 0, PartitionLength = 0, RootBlock = 0, FileSetBlock = 0;
  std::vector<Descriptor> Sectors; // whole-sector descriptors
  std::vector<Descriptor> Fids;
  std::vector<Descriptor> Entries; // file entries (a subset of Sectors)
};

bool ReadLayout(const std::string &path, const std::vector<uint8_t> &image, Layout &l) {
  {
    Record r;
    if (!UDF_MountImage(r.v, path.c_str(), 0) || !UDF_GetVolumeCompatibility(r.v)) return false;
    l.PartitionStart = r.v->PartitionStart;
    l.PartitionLength = r.v->PartitionLength;
    l.RootBlock = r.v->RootICBSector - r.v->PartitionStart;
    l.FileSetBlock = r.v->FileSetSector - r.v->PartitionStart;
    UDF_DismountVolume(r.v);
  }
  const uint32_t sectors = uint32_t(image.size() / kSector);
  for (uint32_t s = 16; s < sectors; ++s) {
    const uint8_t *d = image.data() + size_t(s) * kSector;
    const uint16_t id = korva::LoadLE16(d);
    const uint32_t rel = s - l.PartitionStart;
    if (id != 0 && id <= 266 && id != 257) {
      // The bitmap's CRC may cover more than its first sector.
      const uint32_t span =
          id == 264 ? uint32_t(std::min<size_t>(image.size() - size_t(s) * kSector, 16 * kSector))
                    : kSector;
      for (uint32_t loc : {s, rel})
        if (korva::IsTagValid(id, d, span, loc)) {
          l.Sectors.push_back({s, 0, id, loc, span});
          if (id == 261 || id == 266) l.Entries.push_back(l.Sectors.back());
          break;
        }
    }
    if (s < l.PartitionStart) continue;
    for (uint32_t o = 0; o + 40 <= kSector; o += 4) {
      if (korva::LoadLE16(d + o) != 257 || !korva::IsTagValid(257, d + o, kSector - o, rel))
        continue;
      const uint32_t len = (38u + d[o + 19] + korva::LoadLE16(d + o + 36) + 3) & ~3u;
      if (o + len <= kSector) l.Fids.push_back({s, o, 257, rel, len});
    }
  }
  return !l.Entries.empty() && !l.Fids.empty();
}

// ---- sound files ----------------------------------------------------------------------------
// A file is sound on a damaged image when nothing it depends on changed: its file entry, its
// descriptor chain and data, and on its path every directory's file entry and the directory
// entry naming the next step. Repair must keep every sound file's bytes (under some name).

// A byte range of the image.
struct Span {
  size_t At = 0, Length = 0;
};

struct SoundFile {
  std::vector<Span> Depends;
  uint64_t Hash = 0;
};

uint64_t Fnv(const uint8_t *p, size_t n, uint64_t h = 1469598103934665603ull) {
  for (size_t i = 0; i < n; ++i)
    h = (h ^ p[i]) * 1099511628211ull;
  return h;
}

class TreeReader {
public:
  TreeReader(const std::vector<uint8_t> &image, uint32_t start, uint32_t length)
      : img_(image), start_(start), length_(length) {}

  // Every file depends on the file set descriptor too: the root is found through it.
  void Run(uint32_t fileSet, uint32_t root, std::vector<SoundFile> &out) {
    Visit(root, {BlockSpan(fileSet)}, out, 0);
  }

private:
  const uint8_t *Block(uint32_t b) const {
    return b < length_ ? img_.data() + size_t(start_ + b) * kSector : nullptr;
  }
  Span BlockSpan(uint32_t b) const { return {size_t(start_ + b) * kSector, kSector}; }
  // The extents (block, bytes) of a file entry with short descriptors, chain blocks added to
  // deps; false when its form is not one this reader follows.
  bool Extents(uint32_t fe, std::vector<std::pair<uint32_t, uint32_t>> &ext,
               std::vector<Span> &deps) const {
    const uint8_t *d = Block(fe);
    if (!d || (korva::LoadLE16(d + 34) & 7) != 0) return false;
    uint32_t first = 176 + korva::LoadLE32(d + 168), end = first + korva::LoadLE32(d + 172);
    for (int hops = 0; hops < 64 && end <= kSector;) {
      if (first + 8 > end) return true;
      const uint32_t len = korva::LoadLE32(d + first), pos = korva::LoadLE32(d + first + 4);
      if ((len & 0x3FFFFFFF) == 0) return true;
      if (len >> 30 == 3) {
        d = Block(pos);
        if (!d) return false;
        deps.push_back(BlockSpan(pos));
        first = 24;
        end = 24 + korva::LoadLE32(d + 20);
        ++hops;
        continue;
      }
      ext.emplace_back(pos, len);
      first += 8;
    }
    return false;
  }
  void Visit(uint32_t fe, std::vector<Span> deps, std::vector<SoundFile> &out, int depth) {
    const uint8_t *d = Block(fe);
    if (!d || depth > 64) return;
    deps.push_back(BlockSpan(fe));
    std::vector<std::pair<uint32_t, uint32_t>> ext;
    if (!Extents(fe, ext, deps)) return;
    std::vector<uint8_t> bytes;
    std::vector<Span> where; // image offset of each byte run of the data
    for (const auto &[pos, len] : ext) {
      const uint32_t n = len & 0x3FFFFFFF;
      if (len >> 30 != 0 || pos >= length_ || n > (length_ - pos) * size_t(kSector)) return;
      where.push_back({size_t(start_ + pos) * kSector, n});
      bytes.insert(bytes.end(), Block(pos), Block(pos) + n);
    }
    const uint64_t size = std::min<uint64_t>(korva::LoadLE64(d + 56), bytes.size());
    if (d[27] != 4) {
      SoundFile f;
      f.Depends = deps;
      f.Depends.insert(f.Depends.end(), where.begin(), where.end());
      f.Hash = Fnv(bytes.data(), size_t(size));
      out.push_back(std::move(f));
      return;
    }
    for (size_t off = 0; off + 38 <= size;) {
      const uint8_t *fid = bytes.data() + off;
      const uint32_t len = (38u + fid[19] + korva::LoadLE16(fid + 36) + 3) & ~3u;
      if (korva::LoadLE16(fid) != 257 || off + len > size) return;
      if (!(fid[18] & 0x0C)) {
        std::vector<Span> child = deps;
        child.push_back(Locate(where, off, len));
        Visit(korva::LoadLE32(fid + 24), child, out, depth + 1);
      }
      off += len;
    }
  }
  // Where bytes [off, off + len) of data laid out in `where` lie (their first run).
  static Span Locate(const std::vector<Span> &where, size_t off, size_t len) {
    for (const Span &w : where) {
      if (off < w.Length) return {w.At + off, std::min(len, w.Length - off)};
      off -= w.Length;
    }
    return {};
  }

  const std::vector<uint8_t> &img_;
  uint32_t start_, length_;
};

// The hashes of the files still sound on a damaged image, counted.
std::multiset<uint64_t> SoundHashes(const std::vector<SoundFile> &files,
                                    const std::vector<uint8_t> &pristine,
                                    const std::vector<uint8_t> &damaged) {
  std::multiset<uint64_t> sound;
  for (const SoundFile &f : files) {
    bool same = true;
    for (const Span &s : f.Depends)
      same = same && std::memcmp(pristine.data() + s.At, damaged.data() + s.At, s.Length) == 0;
    if (same) sound.insert(f.Hash);
  }
  return sound;
}

// Changes one image at a time; every change refills the tag it lies under.
class Damager {
public:
  Damager(std::vector<uint8_t> &image, const Layout &l, uint32_t seed)
      : img_(image), l_(l), gen_(seed) {}

  std::string Apply() {
    std::string what;
    const int count = 1 + int(gen_() % 3);
    for (int i = 0; i < count; ++i)
      what += (i ? ", " : "") + One();
    return what;
  }

private:
  uint32_t Pick(size_t n) { return uint32_t(gen_() % n); }
  uint8_t *At(const Descriptor &d) { return img_.data() + size_t(d.Sector) * kSector + d.Offset; }
  void Refill(const Descriptor &d) {
    uint8_t *p = At(d);
    uint16_t crc = korva::LoadLE16(p + 10);
    if (d.Id == 257) crc = uint16_t(std::min<uint32_t>(d.Length, kSector - d.Offset) - 16);
    if (crc > d.Length - 16) crc = uint16_t(d.Length - 16);
    korva::FillTagAt(p, d.Id, crc, d.Location);
  }
  const Descriptor &AnyEntry() { return l_.Entries[Pick(l_.Entries.size())]; }
  uint32_t EntryBlock(const Descriptor &d) { return d.Sector - l_.PartitionStart; }
  // A block number a hostile or rotten field may well hold.
  uint32_t InterestingBlock(uint32_t own) {
    switch (Pick(9)) {
    case 0:
      return l_.RootBlock;
    case 1:
      return l_.FileSetBlock;
    case 2:
      return EntryBlock(AnyEntry());
    case 3:
      return own;
    case 4:
      return l_.PartitionLength - 1;
    case 5:
      return l_.PartitionLength;
    case 6:
      return 0xFFFFFFFFu;
    case 7:
      return own + 1;
    default:
      return uint32_t(gen_());
    }
  }
  uint32_t InterestingLength() {
    static const uint32_t kValues[] = {0,           1,           2047,        2048,
                                       0x3FFFF800u, 0x3FFFFFFFu, 0x7FFFFFFFu, 0xBFFFF800u,
                                       0xC0000800u, 0xFFFFFFFFu};
    return kValues[Pick(std::size(kValues))];
  }

  std::string One() {
    switch (Pick(8)) {
    case 0:
      return FlipBytes();
    case 1:
      return EntryField();
    case 2:
      return Extent();
    case 3:
      return FidLink();
    case 4:
      return FidField();
    case 5:
      return EntryLength();
    case 6:
      return BitmapBits();
    default:
      return Loop();
    }
  }
  std::string FlipBytes() {
    const Descriptor &d =
        Pick(3) ? l_.Sectors[Pick(l_.Sectors.size())] : l_.Fids[Pick(l_.Fids.size())];
    const int n = 1 + int(Pick(8));
    for (int i = 0; i < n; ++i)
      At(d)[16 + Pick(d.Length - 16)] ^= uint8_t(1u << Pick(8));
    Refill(d);
    return "flip " + std::to_string(n) + " in tag " + std::to_string(d.Id) + "@" +
           std::to_string(d.Sector);
  }
  std::string EntryField() {
    const Descriptor &d = AnyEntry();
    const uint32_t off = 16 + 4 * Pick((176 - 16) / 4);
    korva::StoreLE32(At(d) + off, Pick(2) ? InterestingLength() : InterestingBlock(EntryBlock(d)));
    Refill(d);
    return "entry field " + std::to_string(off) + "@" + std::to_string(d.Sector);
  }
  std::string Extent() {
    const Descriptor &d = AnyEntry();
    uint8_t *fe = At(d);
    const uint32_t lea = korva::LoadLE32(fe + 168), lad = korva::LoadLE32(fe + 172);
    if (lad < 8 || 176 + lea + lad > kSector) return "extent (none)";
    const uint32_t slot = 176 + lea + 8 * Pick(lad / 8);
    if (Pick(2))
      korva::StoreLE32(fe + slot + 4, InterestingBlock(EntryBlock(d)));
    else
      korva::StoreLE32(fe + slot, InterestingLength());
    Refill(d);
    return "extent@" + std::to_string(d.Sector);
  }
  std::string FidLink() {
    const Descriptor &d = l_.Fids[Pick(l_.Fids.size())];
    korva::StoreLE32(At(d) + 24, InterestingBlock(d.Location));
    Refill(d);
    return "fid link@" + std::to_string(d.Sector);
  }
  std::string FidField() {
    const Descriptor &d = l_.Fids[Pick(l_.Fids.size())];
    uint8_t *fid = At(d);
    switch (Pick(3)) {
    case 0:
      fid[18] ^= uint8_t(1u << Pick(4));
      break; // characteristics
    case 1:
      fid[19] = uint8_t(gen_());
      break; // identifier length
    default:
      korva::StoreLE16(fid + 36, uint16_t(gen_()));
      break;
    }
    Refill(d);
    return "fid field@" + std::to_string(d.Sector);
  }
  std::string EntryLength() {
    const Descriptor &d = AnyEntry();
    static const uint64_t kValues[] = {0, 1, 2047, uint64_t(1) << 40, ~uint64_t(0)};
    korva::StoreLE64(At(d) + 56, kValues[Pick(std::size(kValues))]);
    Refill(d);
    return "entry length@" + std::to_string(d.Sector);
  }
  std::string BitmapBits() {
    for (const Descriptor &d : l_.Sectors)
      if (d.Id == 264) {
        const uint32_t bytes = (l_.PartitionLength + 7) / 8;
        for (int i = 0, n = 1 + int(Pick(8)); i < n; ++i)
          At(d)[24 + Pick(std::min<uint32_t>(bytes, kSector - 24))] = uint8_t(gen_());
        Refill(d);
        return "bitmap";
      }
    return "bitmap (none)";
  }
  // A directory entry that leads back to the root or to the directory holding it.
  std::string Loop() {
    const Descriptor &d = l_.Fids[Pick(l_.Fids.size())];
    uint8_t *fid = At(d);
    fid[18] = uint8_t((fid[18] | 0x02) & ~0x0C);
    korva::StoreLE32(fid + 24, Pick(2) ? l_.RootBlock : EntryBlock(AnyEntry()));
    Refill(d);
    return "loop@" + std::to_string(d.Sector);
  }

  std::vector<uint8_t> &img_;
  const Layout &l_;
  std::mt19937 gen_;
};

// ---- the commands, run in the child -------------------------------------------------------

struct Walk {
  TUDFRewritableVolume *v = nullptr;
  bool readFiles = false;
  std::set<uint32_t> seen{};
  std::u16string firstFile{};
  uint64_t entries = 0, bytes = 0;
  std::vector<char> buffer = std::vector<char>(1 << 20);
  std::vector<uint64_t> hashes{}; // of every file read whole

  void Directory(const std::u16string &path, int depth) {
    if (depth > KORVA_MAX_DEPTH) return;
    _UDF_FIND_DATAW fd{};
    const std::u16string pattern = path + u"\\*";
    const UDF_HANDLE h = UDF_FindFirstFileW(v, pattern.c_str(), &fd);
    if (h == UDF_INVALID_HANDLE) return;
    do {
      ++entries;
      std::u16string name(fd.cFileName);
      for (char16_t &c : name)
        if (c == u'\\') c = u'\uF05C';
      const std::u16string child = path + u"\\" + name;
      uint32_t block = 0;
      if (fd.dwFileAttributes & UDF_FILE_ATTRIBUTE_DIRECTORY) {
        if (UDF_FindEntryLocation(v, h, &block) && seen.insert(block).second)
          Directory(child, depth + 1);
      } else {
        if (firstFile.empty()) firstFile = child;
        if (readFiles) File(child);
      }
    } while (UDF_FindNextFileW(v, h, &fd));
    UDF_FindClose(v, h);
  }
  void File(const std::u16string &path) {
    const UDF_HANDLE h = UDF_CreateFileW(v, path.c_str(), UDF_GENERIC_READ, UDF_OPEN_EXISTING, 0);
    if (h == UDF_INVALID_HANDLE) return;
    uint32_t got = 0;
    uint64_t hash = 1469598103934665603ull;
    bool ok = true;
    while ((ok = UDF_ReadFile(v, h, buffer.data(), uint32_t(buffer.size()), &got)) && got > 0) {
      bytes += got;
      hash = Fnv(reinterpret_cast<const uint8_t *>(buffer.data()), got, hash);
    }
    if (ok) hashes.push_back(hash);
    UDF_CloseHandle(v, h);
  }
};

const char *const kCommands[] = {"mount", "ls-R", "get-all", "put", "rm", "check", "repair"};
constexpr int kCommandCount = 7;

// Runs one command as mount + operation + dismount; returns its time and sets the error
// number it ended with (0 when it succeeded).
double RunCommand(const std::string &path, int command, std::u16string &victim, int &error) {
  const auto t0 = Clock::now();
  error = 0;
  {
    Record r;
    UDF_MountImage(r.v, path.c_str(), 0);
    const bool usable = UDF_GetVolumeCompatibility(r.v) != KFALSE;
    if (!usable) error = UDF_GetLastErrorNumber(r.v);
    bool ok = usable;
    switch (command) {
    case 1:
    case 2:
      if (usable) {
        Walk w{r.v, command == 2};
        w.Directory(u"", 0);
        ok = w.entries > 0;
        if (victim.empty()) victim = w.firstFile;
      }
      break;
    case 3:
      ok = usable && WriteData(r.v, "\\campaign-put.bin", 300000, 'P');
      break;
    case 4:
      ok = usable && !victim.empty() && UDF_DeleteFileW(r.v, victim.c_str());
      break;
    case 5:
      ok = UDF_CheckVolume(r.v, nullptr, nullptr);
      break;
    case 6:
      ok = UDF_RepairVolume(r.v, nullptr, nullptr);
      break;
    default:
      break;
    }
    if (!ok && error == 0) error = usable ? UDF_GetLastErrorNumber(r.v) : error;
    if (!ok && error == 0) error = -1;
    UDF_DismountVolume(r.v);
  }
  return Seconds(t0, Clock::now());
}

// The child: every command on the damaged image, one line of times on fd.
void RunImage(const std::string &path, int fd) {
  std::u16string victim;
  for (int c = 0; c < kCommandCount; ++c) {
    int error = 0;
    const double s = RunCommand(path, c, victim, error);
    // Written as it goes, so a hang or crash still shows the commands that ended.
    dprintf(fd, "%.6f %d ", s, error);
  }
  dprintf(fd, "\n");
}

struct Outcome {
  std::vector<double> times; // one per command that ended
  std::vector<int> errors;   // the error each ended with (0: success, -1: failed without one)
  bool crashed = false, hung = false;
  int signal = 0;
};

// Runs body(fd) in a child process (killed after kChildSeconds) and returns what it wrote.
Outcome RunChild(const std::function<void(int)> &body, std::string &text) {
  Outcome out;
  int pipefd[2];
  if (pipe(pipefd) != 0) return out;
  const pid_t pid = fork();
  if (pid == 0) {
    close(pipefd[0]);
    body(pipefd[1]);
    _exit(0);
  }
  close(pipefd[1]);
  const auto start = Clock::now();
  int status = 0;
  for (;;) {
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) break;
    if (Seconds(start, Clock::now()) > kChildSeconds) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      out.hung = true;
      break;
    }
    usleep(2000);
  }
  char buf[512];
  for (ssize_t n; (n = read(pipefd[0], buf, sizeof buf)) > 0;)
    text.append(buf, size_t(n));
  close(pipefd[0]);
  if (!out.hung && WIFSIGNALED(status)) {
    out.crashed = true;
    out.signal = WTERMSIG(status);
  } else if (!out.hung && WEXITSTATUS(status) != 0) {
    out.crashed = true;
  }
  return out;
}

Outcome RunInChild(const std::string &path) {
  std::string text;
  Outcome out = RunChild([&](int fd) { RunImage(path, fd); }, text);
  for (const char *p = text.c_str(); *p;) {
    char *end = nullptr;
    const double t = std::strtod(p, &end);
    if (end == p) break;
    out.times.push_back(t);
    p = end;
    out.errors.push_back(int(std::strtol(p, &end, 10)));
    p = end;
  }
  return out;
}

// Repairs the damaged image in a child and counts the sound files whose bytes no file of the
// repaired volume holds any more. -1 when the child crashed or hung.
long SoundFilesLost(const std::string &path, const std::multiset<uint64_t> &sound) {
  std::string text;
  const Outcome o = RunChild(
      [&](int fd) {
        Record r;
        UDF_MountImage(r.v, path.c_str(), 0);
        UDF_RepairVolume(r.v, nullptr, nullptr);
        if (UDF_GetVolumeCompatibility(r.v)) {
          Walk w{r.v, true};
          w.Directory(u"", 0);
          for (uint64_t h : w.hashes)
            dprintf(fd, "%llu\n", static_cast<unsigned long long>(h));
        }
        UDF_DismountVolume(r.v);
      },
      text);
  if (o.crashed || o.hung) return -1;
  std::multiset<uint64_t> kept;
  for (const char *p = text.c_str(); *p;) {
    char *end = nullptr;
    const unsigned long long h = std::strtoull(p, &end, 10);
    if (end == p) break;
    kept.insert(h);
    p = end;
  }
  long lost = 0;
  for (auto it = sound.begin(); it != sound.end(); it = sound.upper_bound(*it)) {
    const long want = long(sound.count(*it)), have = long(kept.count(*it));
    lost += std::max(0L, want - have);
  }
  return lost;
}

bool WriteImage(const std::string &path, const std::vector<uint8_t> &image) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (fd < 0) return false;
  const bool ok = write(fd, image.data(), image.size()) == ssize_t(image.size());
  return close(fd) == 0 && ok;
}

std::vector<uint8_t> ReadImage(const std::string &path) {
  std::vector<uint8_t> image(size_t(kImageMiB) << 20);
  const int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0 || read(fd, image.data(), image.size()) != ssize_t(image.size())) image.clear();
  if (fd >= 0) close(fd);
  return image;
}

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, size_t(p * double(v.size() - 1) + 0.5))];
}

} // namespace

int main(int argc, char **argv) {
  int images = 300, first = 1;
  bool verbose = false;
  std::vector<int> numbers;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "-v") == 0)
      verbose = true;
    else
      numbers.push_back(std::atoi(argv[i]));
  }
  if (numbers.size() > 0) images = numbers[0];
  if (numbers.size() > 1) first = numbers[1];
  // KORVA_CAMPAIGN_KEEP=1 keeps the images, the last damaged one as korva-campaign.iso.damaged
  // (run one seed to look at its damage).
  const bool keep = std::getenv("KORVA_CAMPAIGN_KEEP") != nullptr;
  const char *base = std::getenv("TMPDIR");
  const std::string dir = std::string(base ? base : "/tmp");
  const std::string pristinePath = dir + "/korva-campaign-pristine.iso";
  const std::string path = dir + "/korva-campaign.iso";
  if (!BuildVolume(pristinePath)) {
    std::fprintf(stderr, "could not build the volume\n");
    return 1;
  }
  const std::vector<uint8_t> pristine = ReadImage(pristinePath);
  Layout layout;
  if (pristine.empty() || !ReadLayout(pristinePath, pristine, layout)) {
    std::fprintf(stderr, "could not read the volume's layout\n");
    return 1;
  }
  std::vector<SoundFile> files;
  TreeReader(pristine, layout.PartitionStart, layout.PartitionLength).Run(layout.FileSetBlock, layout.RootBlock, files);
  std::printf("volume: %zu file entries, %zu directory entries, %zu files; %d images from seed "
              "%d\n",
              layout.Entries.size(), layout.Fids.size(), files.size(), images, first);
  long soundTotal = 0, lostTotal = 0, lostImages = 0, repairFailures = 0;
  std::vector<double> all, perImage, perCommand[kCommandCount];
  struct Slow {
    double seconds;
    int seed;
    int command;
    std::string damage;
  };
  std::vector<Slow> slow;
  std::vector<std::string> failures;
  for (int seed = first; seed < first + images; ++seed) {
    std::vector<uint8_t> image = pristine;
    const std::string damage = Damager(image, layout, uint32_t(seed)).Apply();
    if (!WriteImage(path, image)) return 1;
    const std::multiset<uint64_t> sound = SoundHashes(files, pristine, image);
    if (keep && !WriteImage(path + ".damaged", image)) return 1;
    const long lost = SoundFilesLost(path, sound);
    soundTotal += long(sound.size());
    if (lost < 0) ++repairFailures;
    if (lost > 0) {
      lostTotal += lost;
      ++lostImages;
      std::printf("seed %d: %ld of %zu sound files lost after %s\n", seed, lost, sound.size(),
                  damage.c_str());
    }
    if (!WriteImage(path, image)) return 1;
    const Outcome o = RunInChild(path);
    double total = 0;
    for (size_t c = 0; c < o.times.size(); ++c) {
      all.push_back(o.times[c]);
      perCommand[c].push_back(o.times[c]);
      total += o.times[c];
      slow.push_back({o.times[c], seed, int(c), damage});
    }
    perImage.push_back(total);
    if (o.crashed || o.hung || o.times.size() != kCommandCount) {
      const size_t at = std::min<size_t>(o.times.size(), kCommandCount - 1);
      failures.push_back("seed " + std::to_string(seed) + ": " +
                         (o.hung ? "hung" : "crashed (signal " + std::to_string(o.signal) + ")") +
                         " in " + kCommands[at] + " after " + damage);
    }
    if (verbose) {
      std::string errors;
      for (int e : o.errors)
        errors += std::to_string(e) + " ";
      std::printf("seed %d: %.3f s  errors %s %s\n", seed, total, errors.c_str(), damage.c_str());
    }
  }
  std::printf("command times over %zu commands (s): p50 %.4f  p90 %.4f  p99 %.4f  max %.4f\n",
              all.size(), Percentile(all, 0.5), Percentile(all, 0.9), Percentile(all, 0.99),
              Percentile(all, 1.0));
  for (int c = 0; c < kCommandCount; ++c)
    std::printf("  %-8s p50 %.4f  p99 %.4f  max %.4f\n", kCommands[c],
                Percentile(perCommand[c], 0.5), Percentile(perCommand[c], 0.99),
                Percentile(perCommand[c], 1.0));
  std::printf("all commands of one image (s): p50 %.4f  p90 %.4f  max %.4f\n",
              Percentile(perImage, 0.5), Percentile(perImage, 0.9), Percentile(perImage, 1.0));
  std::sort(slow.begin(), slow.end(),
            [](const Slow &a, const Slow &b) { return a.seconds > b.seconds; });
  std::printf("slowest commands:\n");
  for (size_t i = 0; i < std::min<size_t>(5, slow.size()); ++i)
    std::printf("  %.3f s  seed %d  %s  (%s)\n", slow[i].seconds, slow[i].seed,
                kCommands[slow[i].command], slow[i].damage.c_str());
  std::printf("commands over 1 s: %zu; images that crashed or hung: %zu\n",
              size_t(std::count_if(all.begin(), all.end(), [](double s) { return s > 1.0; })),
              failures.size());
  for (const std::string &f : failures)
    std::printf("  %s\n", f.c_str());
  std::printf("sound files lost by repair: %ld of %ld (on %ld images); repairs that crashed or "
              "hung: %ld\n",
              lostTotal, soundTotal, lostImages, repairFailures);
  if (!keep) {
    unlink(path.c_str());
    unlink(pristinePath.c_str());
  }
  return 0;
}
