// The check of another writer's volume. Its structure follows that writer's rules, not this
// library's, so the walk of this library's check does not apply; what is checked is that
// everything reads through the file API: every directory listed, every file read to its
// end, every symbolic link's target. Nothing is written.
#include "volume/check/foreign_check.h"

#include <set>
#include <string>
#include <vector>

#include "korva/files.h"
#include "udf/utf8.h"
#include "volume/engine.h"
#include "volume/medium/partition_map.h"

namespace korva {
namespace {

constexpr uint32_t kChunk = 1u << 20;

struct Pending {
  std::u16string Path; // "" for the root
};

std::string PathText(const std::u16string &path) {
  std::string out;
  if (path.empty()) return "/";
  std::u16string slashed = path;
  for (char16_t &c : slashed)
    if (c == u'\\') c = u'/';
  if (!Utf16ToUtf8(slashed, out)) return "?";
  return out;
}

void Unreadable(VolumeScan &scan, const std::u16string &path, const std::string &what) {
  ScanFinding f;
  f.Kind = KORVA_FINDING_UNREADABLE;
  f.Path = PathText(path);
  f.Text = what;
  scan.Findings.push_back(f);
}

// The entries of one directory, with their identities; false when it cannot be listed.
bool List(TUDFRewritableVolume &v, const std::u16string &dir,
          std::vector<std::pair<std::u16string, uint32_t>> &out) {
  _UDF_FIND_DATAW data{};
  const std::u16string pattern = dir + u"\\*";
  const UDF_HANDLE h = UDF_FindFirstFileW(&v, pattern.c_str(), &data);
  if (h == UDF_INVALID_HANDLE) return v.LastError == 0; // none, or an empty directory
  bool ok = true;
  do {
    uint32_t block = 0;
    ok = UDF_FindEntryLocation(&v, h, &block) == KTRUE;
    out.emplace_back(reinterpret_cast<const char16_t *>(data.cFileName), block);
  } while (ok && UDF_FindNextFileW(&v, h, &data));
  ok = ok && v.LastError == 0;
  UDF_FindClose(&v, h);
  return ok;
}

// Reads the file at path to its end.
bool ReadToEnd(TUDFRewritableVolume &v, const std::u16string &path, std::vector<uint8_t> &buf) {
  const UDF_HANDLE h =
      UDF_CreateFileW(&v, path.c_str(), UDF_GENERIC_READ, UDF_OPEN_EXISTING, 0);
  if (h == UDF_INVALID_HANDLE) return false;
  uint32_t n = 0;
  bool ok = true;
  while ((ok = UDF_ReadFile(&v, h, buf.data(), kChunk, &n) == KTRUE) && n > 0) {
  }
  UDF_CloseHandle(&v, h);
  return ok;
}

// One entry: a directory is queued, a file or a link read; other types hold no data.
void ReadEntry(TUDFRewritableVolume &v, const std::u16string &path, std::vector<Pending> &queue,
               std::vector<uint8_t> &buf, VolumeScan &scan) {
  KorvaFileInfo info{};
  if (UDF_GetFileInfoW(&v, path.c_str(), &info) != KTRUE) {
    Unreadable(scan, path, "its file entry cannot be read");
    return;
  }
  if (info.Kind == KORVA_ENTRY_DIRECTORY) {
    queue.push_back({path});
  } else if (info.FileType == KORVA_FILE_TYPE_SYMLINK) {
    // Room for any target an entry can hold.
    std::vector<KWCHAR> target(1u << 16);
    if (UDF_ReadLinkW(&v, path.c_str(), target.data(), uint32_t(target.size()), nullptr) != KTRUE)
      Unreadable(scan, path, "the symbolic link's target cannot be read");
  } else if (info.FileType == KORVA_FILE_TYPE_FILE || info.FileType == 0) {
    if (!ReadToEnd(v, path, buf)) Unreadable(scan, path, "the file cannot be read in full");
  }
  v.LastError = 0;
}

} // namespace

bool IsReadableForeignVolume(const TUDFRewritableVolume &v) {
  return v.VolumeOpen && v.Compatible && v.ReadOnly && HasPartitionMap(v);
}

void ReadForeignVolumeThrough(TUDFRewritableVolume &v, VolumeScan &scan) {
  ScanFinding note;
  note.Kind = KORVA_FINDING_FOREIGN_VOLUME;
  note.Text = ForeignVolumeNote(v) + "; read-only: checked by reading every entry";
  scan.Findings.push_back(note);
  std::vector<uint8_t> buf(kChunk);
  std::set<uint32_t> seen{v.RootICBSector - v.PartitionStart};
  std::vector<Pending> queue{{u""}};
  while (!queue.empty()) {
    const std::u16string dir = queue.back().Path;
    queue.pop_back();
    std::vector<std::pair<std::u16string, uint32_t>> entries;
    if (!List(v, dir, entries)) Unreadable(scan, dir, "the directory cannot be read in full");
    v.LastError = 0;
    for (const auto &[name, block] : entries) {
      // A directory reached twice (a loop, or a hard link another system made) is read once.
      if (!seen.insert(block).second) continue;
      ReadEntry(v, dir + u"\\" + name, queue, buf, scan);
    }
  }
}

} // namespace korva
