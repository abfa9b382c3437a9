// The commands of the korva tool.
#include "commands.h"
#include "mount.h"

#include "korva/scsi.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <set>
#include <unordered_map>

namespace korvacli {

namespace {

// Longest name the volume stores, in UTF-16 code units.

bool StdoutFailed() {
  return std::ferror(stdout) != 0;
}

// Waits for the completion event of a format or erase.
class CompletionWait {
public:
  void Done(bool failed) {
    std::lock_guard<std::mutex> lock(m_);
    failed_ = failed;
    done_ = true;
    cv_.notify_all();
  }
  // Returns true when done within the timeout.
  bool WaitFor(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_);
    return cv_.wait_for(lock, timeout, [&] { return done_; });
  }
  bool Failed() {
    std::lock_guard<std::mutex> lock(m_);
    return failed_;
  }

private:
  std::mutex m_;
  std::condition_variable cv_;
  bool done_ = false;
  bool failed_ = false;
};

// A progress line on stderr, drawn only when stderr is a terminal.
class Progress {
public:
  explicit Progress(std::string what) : what_(std::move(what)), tty_(StderrIsTerminal()) {}
  ~Progress() { Clear(); }
  void Percent(unsigned percent, const std::string &detail = std::string()) {
    if (!tty_) return;
    percent = std::min(percent, 100u);
    const unsigned width = 30;
    const unsigned fill = percent * width / 100;
    std::string bar(fill, '#');
    bar.resize(width, ' ');
    std::fprintf(stderr, "\r%s [%s] %3u%% %s\033[K", what_.c_str(), bar.c_str(), percent,
                 detail.c_str());
    std::fflush(stderr);
    drawn_ = true;
  }
  // Without a known total: only the detail.
  void Text(const std::string &detail) {
    if (!tty_) return;
    std::fprintf(stderr, "\r%s %s\033[K", what_.c_str(), detail.c_str());
    std::fflush(stderr);
    drawn_ = true;
  }
  void Clear() {
    if (drawn_) {
      std::fputs("\r\033[K", stderr);
      std::fflush(stderr);
      drawn_ = false;
    }
  }

private:
  std::string what_;
  bool tty_;
  bool drawn_ = false;
};

std::optional<VolumePath> PathArg(Session &s, const std::string &text) {
  auto p = ParseVolumePath(text);
  if (!p) s.Report().Fail(text, "not valid UTF-8");
  return p;
}

// Every argument as a volume path; false (reported) at the first that is not one.
bool PathArgs(Session &s, const std::vector<std::string> &args, std::vector<VolumePath> &out) {
  for (const auto &a : args) {
    auto p = PathArg(s, a);
    if (!p) return false;
    out.push_back(*p);
  }
  return true;
}

std::string Plural(uint64_t n, const char *one, const char *many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

// The one nesting limit of the volume, checked before anything is written: false (reported)
// when path lies deeper.
bool DepthAllowed(Reporter &r, const VolumePath &path, const std::string &subject) {
  if (path.parts.size() <= KORVA_MAX_DEPTH) return true;
  r.Fail(subject, "Path is nested too deep. (error 31): at most " +
                      std::to_string(KORVA_MAX_DEPTH) + " levels below the root");
  return false;
}

// ---- format ------------------------------------------------------------------------------

// What the engine would refuse, said before an image file is created for it.
bool ValidLabel(Session &s) {
  const auto label = Utf8ToUtf16(s.Opt().label);
  if (!label) {
    s.Report().Fail("--label", "not valid UTF-8");
    return false;
  }
  if (label->size() > 15) {
    s.Report().Fail("--label", "has " + std::to_string(label->size()) +
                                   " characters; a label has at most 15 (Invalid name, error 22)");
    return false;
  }
  return true;
}

// A format that fails leaves no image behind that it created.
int FormatFailed(Session &s) {
  s.Dismount();
  if (s.CreatedImage() && unlink(s.Opt().image.c_str()) == 0)
    s.Report().Note("removed " + s.Opt().image + ", which this command had created");
  return kExitFailed;
}

int CmdFormat(Session &s) {
  if (!ValidLabel(s)) return kExitFailed;
  if (!s.Mount(true)) return FormatFailed(s);
  TKorva &k = s.Korva();
  auto wait = std::make_shared<CompletionWait>();
  k.OnFormatDone = [wait](TKorva *, bool failed) { wait->Done(failed); };
  if (!k.UDF_FormatVolume(s.Opt().label.c_str(), s.Opt().quick ? -1 : 0)) {
    s.Report().Fail(s.TargetName(), s.ErrorText());
    return FormatFailed(s);
  }
  {
    // Only a drive formats physically; an image is done in a moment.
    Progress progress("formatting");
    while (!wait->WaitFor(std::chrono::milliseconds(200)))
      if (!s.IsImage()) progress.Percent(k.UDF_GetPhysicalFormattingPercentage());
  }
  if (wait->Failed() || !k.UDF_GetVolumeCompatibility()) {
    const std::string detail = s.ErrorText();
    s.Report().Fail(s.TargetName(), "formatting failed" + (detail.empty() ? "" : ": " + detail));
    return FormatFailed(s);
  }
  const uint64_t freeBlocks = k.UDF_GetFreeBlocksOfLogicalVolume();
  if (!s.Dismount()) return kExitFailed;
  std::printf("Formatted %s%s: label \"%s\", %s free\n", s.TargetName().c_str(),
              s.CreatedImage() ? " (new image)" : "", s.Opt().label.c_str(),
              HumanBytes(freeBlocks * 2048).c_str());
  return kExitOk;
}

// ---- info --------------------------------------------------------------------------------

// How the volume can be used, for info.
std::string Usability(Session &s, bool compatible, bool readOnly) {
  const std::string foreign = s.ForeignNote();
  if (!foreign.empty())
    return foreign + (compatible ? "; read-only, not compatible (Korva does not write it)"
                                 : "; not usable");
  if (!compatible) return "not usable";
  if (s.LeftOpen())
    return "left open by a program that did not close it: read-only until "
           "'korva repair' mends it";
  if (!readOnly) return "usable";
  return s.Opt().readOnly ? "usable, mounted read-only (--read-only)"
                          : "usable, read-only: the medium cannot be written";
}

// What info reports of a volume, gathered while it is mounted.
struct VolumeFacts {
  bool readOnly = false;
  bool compatible = false;
  bool leftOpen = false;
  bool bitmapSuspect = false;
  std::string usability;
  std::string unusable; // why the volume cannot be used; empty when it can
  std::string medium;   // drives only
  std::string foreign;  // another system's volume: what it is
  std::u16string label;
  uint64_t total = 0, freeBlocks = 0, files = 0, dirs = 0;
  uint64_t block = 2048; // the volume's logical block size
};

// Mounts for looking only where that changes nothing. A volume that is not usable is still
// described (as such). One left open is looked at read-only: a plain mount refuses it before
// writing anything. An image is looked at read-only, so that describing it changes no byte of
// it (a mount for writing marks the volume open); whether it could be written is asked of the
// file.
bool MountToDescribe(Session &s, bool &readOnly) {
  const bool lookOnly = s.IsImage();
  if (!s.Mount(false, true, lookOnly)) return false;
  if (s.LeftOpen() && !s.ReadOnly()) {
    s.Dismount();
    if (!s.Mount(false, true, true)) return false;
  }
  readOnly = lookOnly ? s.Opt().readOnly || s.LeftOpen() || !s.ForeignNote().empty() ||
                            access(s.Opt().image.c_str(), W_OK) != 0
                      : s.ReadOnly();
  return true;
}

// Reads the facts off the mounted volume, then dismounts it.
bool GatherFacts(Session &s, VolumeFacts &f) {
  TKorva &k = s.Korva();
  const TUDFRewritableVolume *v = k.Volume();
  // The reason first: asking for compatibility clears the mount's error number.
  const std::string reason = s.UnusableReason();
  f.compatible = k.UDF_GetVolumeCompatibility() != KFALSE;
  f.usability = Usability(s, f.compatible, f.readOnly);
  f.leftOpen = s.LeftOpen();
  if (!f.compatible) f.unusable = reason;
  for (size_t i = 0; f.compatible && i < 16 && v->VolumeLabel[i] != 0; ++i)
    f.label.push_back(v->VolumeLabel[i]);
  f.total = k.UDF_GetTotalBlocksOfLogicalVolume();
  f.freeBlocks = k.UDF_GetFreeBlocksOfLogicalVolume();
  f.files = k.UDF_GetFileCount();
  f.dirs = k.UDF_GetDirCount();
  f.block = UDF_GetLogicalBlockSize(k.Volume());
  f.bitmapSuspect = f.compatible && UDF_GetSpaceBitmapSuspect(k.Volume()) != KFALSE;
  if (!s.IsImage()) f.medium = MediumName(v->Device.Medium);
  f.foreign = s.ForeignNote();
  return s.Dismount();
}

void PrintInfoJson(Session &s, const VolumeFacts &f) {
  std::printf("{\"target\":%s,\"kind\":%s,", JsonString(s.TargetName()).c_str(),
              s.IsImage() ? "\"image\"" : "\"drive\"");
  if (!s.IsImage()) std::printf("\"medium\":%s,", JsonString(f.medium).c_str());
  std::printf("\"label\":%s,\"compatible\":%s,\"read_only\":%s,\"left_open\":%s,"
              "\"block_size\":%llu,\"total_blocks\":%llu,"
              "\"free_blocks\":%llu,\"used_blocks\":%llu,\"total_bytes\":%llu,"
              "\"free_bytes\":%llu,\"files\":%llu,\"directories\":%llu,"
              "\"bitmap_suspect\":%s,\"other_writer\":%s}\n",
              JsonString(Utf16ToUtf8(f.label)).c_str(), f.compatible ? "true" : "false",
              f.readOnly ? "true" : "false", f.leftOpen ? "true" : "false",
              static_cast<unsigned long long>(f.block), static_cast<unsigned long long>(f.total),
              static_cast<unsigned long long>(f.freeBlocks),
              static_cast<unsigned long long>(f.total - std::min(f.total, f.freeBlocks)),
              static_cast<unsigned long long>(f.total * f.block),
              static_cast<unsigned long long>(f.freeBlocks * f.block),
              static_cast<unsigned long long>(f.files), static_cast<unsigned long long>(f.dirs),
              f.bitmapSuspect ? "true" : "false",
              f.foreign.empty() ? "null" : JsonString(f.foreign).c_str());
}

void PrintInfoText(Session &s, const VolumeFacts &f) {
  std::printf("Target:       %s\n", s.TargetName().c_str());
  if (!s.IsImage()) std::printf("Medium:       %s\n", f.medium.c_str());
  std::printf("Label:        %s\n", Printable(Utf16ToUtf8(f.label)).c_str());
  if (f.foreign.empty())
    std::printf("Volume:       UDF 1.50, %s\n", f.usability.c_str());
  else
    std::printf("Volume:       %s\n", f.usability.c_str());
  std::printf("Total:        %llu blocks of %llu bytes, %llu bytes (%s)\n",
              static_cast<unsigned long long>(f.total), static_cast<unsigned long long>(f.block),
              static_cast<unsigned long long>(f.total * f.block),
              HumanBytes(f.total * f.block).c_str());
  std::printf("Free:         %llu blocks, %llu bytes (%s)\n",
              static_cast<unsigned long long>(f.freeBlocks),
              static_cast<unsigned long long>(f.freeBlocks * f.block),
              HumanBytes(f.freeBlocks * f.block).c_str());
  std::printf("Files:        %llu\n", static_cast<unsigned long long>(f.files));
  std::printf("Directories:  %llu (the root included)\n", static_cast<unsigned long long>(f.dirs));
  // Another system (the kernel, for one) may change bits without refreshing the CRC.
  if (f.bitmapSuspect)
    std::printf("Space bitmap: does not match its checksum or the tree; writes avoid every "
                "block the tree uses ('korva repair' rewrites it)\n");
}

// An unusable volume is described all the same, with exit status 1.
int CmdInfo(Session &s) {
  VolumeFacts f;
  if (!MountToDescribe(s, f.readOnly) || !GatherFacts(s, f)) return kExitFailed;
  if (s.Opt().json)
    PrintInfoJson(s, f);
  else
    PrintInfoText(s, f);
  if (!f.compatible) {
    s.Report().Fail(s.TargetName(), f.unusable);
    return kExitFailed;
  }
  return StdoutFailed() ? kExitFailed : kExitOk;
}

// ---- check and repair ----------------------------------------------------------------------

const char *FindingName(int32_t kind) {
  const char *name = UDF_GetFindingName(kind);
  return name ? name : "other";
}

// One finding as printed: a line of text, or a JSON object.
std::string FindingLine(const KorvaFinding &f, bool json) {
  const std::string path = f.Path ? f.Path : "";
  const std::string text = f.Text ? f.Text : "";
  if (json) {
    return std::string("{\"kind\":\"") + FindingName(f.Kind) + "\",\"block\":" +
           (f.Block == KORVA_NO_BLOCK ? std::string("null") : std::to_string(f.Block)) +
           ",\"path\":" + JsonString(path) + ",\"text\":" + JsonString(text) +
           ",\"repaired\":" + (f.Repaired ? "true" : "false") + "}";
  }
  std::string line = std::string(f.Repaired ? "repaired " : "") + FindingName(f.Kind) + ": ";
  if (!path.empty()) line += path + ": ";
  if (f.Block != KORVA_NO_BLOCK) line += "block " + std::to_string(f.Block) + ": ";
  return line + text;
}

int CheckForeign(Session &s);

// What a check or repair found, and the volume's state after a repair.
struct CheckOutcome {
  std::vector<std::string> lines; // the findings as printed
  std::string detail;             // why the run itself failed; empty when it ran
  bool usable = false;
  uint64_t freeBlocks = 0, files = 0, dirs = 0;
};

// Runs check (repair = false) or repair on the mounted volume, then dismounts it.
CheckOutcome RunCheck(Session &s, bool repair) {
  TKorva &k = s.Korva();
  const bool json = s.Opt().json;
  CheckOutcome out;
  k.OnFinding = [&](TKorva *, const KorvaFinding &f) {
    out.lines.push_back(FindingLine(f, json));
  };
  const bool ok = (repair ? k.RepairVolume() : k.CheckVolume()) != KFALSE;
  k.OnFinding = nullptr;
  const uint16_t error = k.UDF_GetLastErrorNumber();
  if (!ok && error != KORVA_E_CHECK_FINDINGS) out.detail = s.ErrorText();
  if (ok && repair) {
    out.freeBlocks = k.UDF_GetFreeBlocksOfLogicalVolume();
    out.files = k.UDF_GetFileCount();
    out.dirs = k.UDF_GetDirCount();
  }
  const bool closed = s.Dismount();
  out.usable = ok && closed;
  return out;
}

void PrintCheckJson(Session &s, bool repair, const CheckOutcome &out) {
  std::printf("{\"target\":%s,\"%s\":%s,\"findings\":[", JsonString(s.TargetName()).c_str(),
              repair ? "usable" : "clean", out.usable ? "true" : "false");
  for (size_t i = 0; i < out.lines.size(); ++i)
    std::printf("%s%s", i ? "," : "", out.lines[i].c_str());
  std::printf("]");
  if (!out.detail.empty()) std::printf(",\"error\":%s", JsonString(out.detail).c_str());
  std::printf("}\n");
}

void PrintCheckText(Session &s, bool repair, const CheckOutcome &out) {
  for (const std::string &line : out.lines)
    std::printf("%s\n", line.c_str());
  if (out.usable && repair) {
    std::printf("%s is usable: %s, %s, %s free\n", s.TargetName().c_str(),
                Plural(out.files, "file", "files").c_str(),
                Plural(out.dirs, "directory", "directories").c_str(),
                HumanBytes(out.freeBlocks * 2048).c_str());
  } else if (out.usable) {
    std::printf("%s is clean\n", s.TargetName().c_str());
  } else if (!repair && out.detail.empty()) {
    std::printf("%s\n", Plural(out.lines.size(), "problem", "problems").c_str());
  }
}

// Runs check (repair = false) or repair and prints the findings.
int CheckOrRepair(Session &s, bool repair) {
  // A check writes nothing, so it mounts read-only: the volume is not even marked open and
  // closed again, and an image or disc that cannot be written is checked all the same.
  if (!s.Mount(false, true, !repair)) return kExitFailed;
  if (!s.ForeignNote().empty()) {
    if (!repair && s.Korva().UDF_GetVolumeCompatibility()) return CheckForeign(s);
    s.Report().Fail(s.TargetName(), s.UnusableReason());
    return kExitFailed;
  }
  const CheckOutcome out = RunCheck(s, repair);
  if (s.Opt().json)
    PrintCheckJson(s, repair, out);
  else
    PrintCheckText(s, repair, out);
  if (!out.detail.empty()) s.Report().Fail(s.TargetName(), out.detail);
  if (!out.usable) return kExitFailed;
  return StdoutFailed() ? kExitFailed : kExitOk;
}

// ---- ls ----------------------------------------------------------------------------------

struct Listed {
  VolumePath path;
  Entry entry;
};

// An owner or group as a number; "-" when the entry records none.
std::string IdText(uint32_t id) {
  return id == KORVA_ID_NOT_RECORDED ? std::string("-") : std::to_string(id);
}

std::string IdJson(uint32_t id) {
  return id == KORVA_ID_NOT_RECORDED ? std::string("null") : std::to_string(id);
}

std::string EntryJson(const Listed &l) {
  std::string attrs;
  auto add = [&](uint32_t bit, const char *name) {
    if (l.entry.attributes & bit) {
      if (!attrs.empty()) attrs += ",";
      attrs += std::string("\"") + name + "\"";
    }
  };
  add(kAttrReadOnly, "readonly");
  add(kAttrHidden, "hidden");
  add(kAttrSystem, "system");
  add(kAttrArchive, "archive");
  std::string out = "{\"path\":" + JsonString(l.path.Display()) +
                    ",\"name\":" + JsonString(Utf16ToUtf8(l.entry.name)) +
                    ",\"type\":" + JsonString(TypeName(l.entry)) +
                    ",\"size\":" + std::to_string(l.entry.size) + ",\"attributes\":[" + attrs + "]";
  if (l.entry.fileType == KORVA_FILE_TYPE_SYMLINK)
    out += ",\"target\":" + JsonString(Utf16ToUtf8(l.entry.linkTarget));
  out += ",\"uid\":" + IdJson(l.entry.uid) + ",\"gid\":" + IdJson(l.entry.gid);
  const std::string when = FileTimeToIso(l.entry.modified);
  out += ",\"modified\":" + (when.empty() ? std::string("null") : JsonString(when)) + "}";
  return out;
}

std::string EntryLine(const Entry &e, bool longFormat) {
  const std::string name = Printable(EscapeName(e.name));
  if (!longFormat) return e.IsDir() ? name + "/" : name;
  std::string when = FileTimeToIso(e.modified);
  if (when.size() == 20)
    when = when.substr(0, 10) + " " + when.substr(11, 8);
  else
    when = std::string(19, '-');
  char owners[32], size[32];
  std::snprintf(owners, sizeof owners, "%5s %5s", IdText(e.uid).c_str(), IdText(e.gid).c_str());
  if (TypeLetter(e) == 'c' || TypeLetter(e) == 'b')
    std::snprintf(size, sizeof size, "%7u, %4u", e.deviceMajor, e.deviceMinor);
  else
    std::snprintf(size, sizeof size, "%12llu", static_cast<unsigned long long>(e.size));
  std::string letters = AttributeLetters(e.attributes);
  letters[0] = TypeLetter(e);
  std::string line = letters + " " + owners + " " + size + "  " + when + "  " + name;
  if (e.fileType == KORVA_FILE_TYPE_SYMLINK)
    line += " -> " + Printable(Utf16ToUtf8(e.linkTarget));
  return line;
}

// A directory met for the second time in one walk: a volume made by this library holds no
// directory in two places, so the walk is going round a cycle. False (reported) then.
bool FirstVisit(Session &s, const VolumePath &dir, const Entry &entry, std::set<uint32_t> &seen) {
  if (entry.block == kNoBlock || seen.insert(entry.block).second) return true;
  s.Report().Fail(dir.Display(), "met this directory before: the volume holds a directory cycle "
                                 "and is damaged; not descending");
  return false;
}

// Collects the entries of dir (and below it with recursive), depth first in directory order.
// A cycle or a tree deeper than the volume allows is reported and not followed; false only
// when a directory cannot be read.
bool Collect(Session &s, const VolumePath &dir, bool recursive, bool describe,
             std::set<uint32_t> &seen, std::vector<Listed> &out) {
  std::vector<Entry> entries;
  if (!s.List(dir, entries)) return false;
  for (auto &e : entries) {
    const VolumePath child = dir.Child(e.name);
    if (describe && !s.Describe(child, e)) return false;
    out.push_back({child, e});
    if (!recursive || !e.IsDir() || !FirstVisit(s, child, e, seen)) continue;
    if (child.parts.size() > KORVA_MAX_DEPTH) {
      s.Report().Fail(child.Display(), "nested deeper than the volume allows; it may be damaged");
      continue;
    }
    if (!Collect(s, child, true, describe, seen, out)) return false;
  }
  return true;
}

// Like ls -R: one block per directory, headed by its path.
void PrintRecursive(const VolumePath &top, const std::vector<Listed> &listed, bool longFormat) {
  std::vector<VolumePath> dirs{top};
  std::unordered_map<std::u16string, std::vector<size_t>> byParent;
  for (size_t i = 0; i < listed.size(); ++i) {
    if (listed[i].entry.IsDir()) dirs.push_back(listed[i].path);
    byParent[listed[i].path.Parent().Engine()].push_back(i);
  }
  for (size_t d = 0; d < dirs.size(); ++d) {
    std::printf("%s%s:\n", d ? "\n" : "", Printable(dirs[d].Display()).c_str());
    auto it = byParent.find(dirs[d].Engine());
    if (it == byParent.end()) continue;
    for (size_t i : it->second)
      std::printf("%s\n", EntryLine(listed[i].entry, longFormat).c_str());
    byParent.erase(it); // a directory met twice is listed once
  }
}

// What ls found at the path it was given (a directory's entries, or the one file), with the
// volume dismounted again; false (reported) on a failure.
bool ListTarget(Session &s, const VolumePath &path, std::optional<Entry> &top,
                std::vector<Listed> &listed) {
  const Options &o = s.Opt();
  if (!s.Mount(false, false, true)) return false;
  if (!s.Stat(path, top)) return false;
  if (!top) {
    s.Report().Fail(path.Display(), "no such file or directory");
    return false;
  }
  bool ok = true;
  std::set<uint32_t> seen{top->block};
  // The stored type takes one more look-up per entry: only the long forms show it.
  const bool describe = o.longFormat || o.json;
  if (top->IsDir())
    ok = Collect(s, path, o.recursive, describe, seen, listed);
  else if (!describe || s.Describe(path, *top))
    listed.push_back({path, *top});
  else
    ok = false;
  return s.Dismount() && ok;
}

void PrintListing(const Options &o, const VolumePath &path, const Entry &top,
                  const std::vector<Listed> &listed) {
  if (o.json) {
    std::printf("{\"path\":%s,\"entries\":[", JsonString(path.Display()).c_str());
    for (size_t i = 0; i < listed.size(); ++i)
      std::printf("%s%s", i ? "," : "", EntryJson(listed[i]).c_str());
    std::printf("]}\n");
  } else if (!top.IsDir() || !o.recursive) {
    for (const auto &l : listed)
      std::printf("%s\n", EntryLine(l.entry, o.longFormat).c_str());
  } else {
    PrintRecursive(path, listed, o.longFormat);
  }
}

int CmdLs(Session &s) {
  const Options &o = s.Opt();
  auto path = PathArg(s, o.args.empty() ? "/" : o.args[0]);
  std::optional<Entry> top;
  std::vector<Listed> listed;
  if (!path || !ListTarget(s, *path, top, listed)) return kExitFailed;
  PrintListing(o, *path, *top, listed);
  // Damage met on the way (a cycle) was reported: the listing is incomplete.
  return StdoutFailed() || s.Report().Failed() ? kExitFailed : kExitOk;
}

// ---- mkdir -------------------------------------------------------------------------------

bool MakeDirectory(Session &s, const VolumePath &path) {
  s.ClearErrors();
  const std::u16string parent = path.Parent().Engine();
  const std::u16string name = path.Name();
  if (!s.Korva().UDF_CreateDirectoryW(parent.c_str(), name.c_str())) {
    const std::string why = s.ErrorText();
    s.Report().Fail(path.Display(), why.empty() ? "cannot create the directory" : why);
    return false;
  }
  return true;
}

// mkdir -p: makes every missing directory on the way to path; false (reported) at the first
// that cannot be made.
bool MakeParents(Session &s, const VolumePath &path) {
  VolumePath at;
  bool creating = false; // below a directory just made, nothing exists yet
  for (const auto &part : path.parts) {
    at = at.Child(part);
    std::optional<Entry> e;
    if (!creating && !s.Stat(at, e)) return false;
    if (e && !e->IsDir()) {
      s.Report().Fail(at.Display(), "exists and is not a directory");
      return false;
    }
    if (e) continue;
    if (!MakeDirectory(s, at)) return false;
    creating = true;
  }
  return true;
}

int CmdMkdir(Session &s) {
  const Options &o = s.Opt();
  std::vector<VolumePath> paths;
  if (!PathArgs(s, o.args, paths) || !s.Mount(false)) return kExitFailed;
  for (const auto &path : paths) {
    if (path.IsRoot()) {
      if (!o.parents) s.Report().Fail("/", "the root directory exists");
      continue;
    }
    if (!DepthAllowed(s.Report(), path, path.Display())) continue;
    if (o.parents)
      MakeParents(s, path);
    else
      MakeDirectory(s, path);
  }
  const bool failed = s.Report().Failed();
  return s.Dismount() && !failed ? kExitOk : kExitFailed;
}

// ---- put ---------------------------------------------------------------------------------

struct PutItem {
  std::string local;
  VolumePath dest;
  bool isDir = false;
  uint64_t size = 0;
};

std::string LocalBaseName(const std::string &local) {
  std::string p = local;
  while (p.size() > 1 && p.back() == '/')
    p.pop_back();
  const size_t slash = p.rfind('/');
  std::string base = slash == std::string::npos ? p : p.substr(slash + 1);
  if (base.empty() || base == "." || base == "..") {
    // "." and the like: the directory's own name.
    std::error_code error;
    const std::filesystem::path real = std::filesystem::canonical(local, error);
    if (!error) base = real.filename().string();
  }
  return base;
}

class PutPlanner {
public:
  explicit PutPlanner(Reporter &r) : r_(r) {}

  // Adds local (a file or a tree) to be written at dest.
  bool Add(const std::string &local, const VolumePath &dest,
           std::set<std::string> &ancestors) {
    if (!DepthAllowed(r_, dest, local)) return false;
    struct stat st {};
    if (stat(local.c_str(), &st) != 0) {
      r_.Fail(local, std::strerror(errno));
      return false;
    }
    if (!DestinationFits(local, dest, S_ISDIR(st.st_mode))) return false;
    if (S_ISREG(st.st_mode)) return AddFile(local, dest, static_cast<uint64_t>(st.st_size));
    if (!S_ISDIR(st.st_mode)) {
      r_.Fail(local, "not a regular file or directory");
      return false;
    }
    return AddDirectory(local, dest, ancestors);
  }

  std::vector<PutItem> items;
  uint64_t files = 0, dirs = 0, bytes = 0, blocks = 0;

private:
  // What the volume cannot store at dest, said before anything is written.
  bool DestinationFits(const std::string &local, const VolumePath &dest, bool isDir) {
    if (dest.IsRoot()) {
      if (!isDir) r_.Fail(local, "a file cannot replace the root directory");
      return isDir;
    }
    if (!NameFitsVolume(dest.Name())) {
      r_.Fail(local, "name too long (at most 254 characters of 8 bits, 127 otherwise)");
      return false;
    }
    if (dest.Name().find(u'\\') != std::u16string::npos) {
      r_.Fail(local,
              "a name with a backslash cannot be stored (the volume separates names with it)");
      return false;
    }
    return true;
  }

  bool AddFile(const std::string &local, const VolumePath &dest, uint64_t size) {
    if (access(local.c_str(), R_OK) != 0) {
      r_.Fail(local, std::strerror(errno));
      return false;
    }
    items.push_back({local, dest, false, size});
    ++files;
    bytes += size;
    blocks += (size + 2047) / 2048 + 1;
    return true;
  }

  // A directory and, depth first in name order, everything below it.
  bool AddDirectory(const std::string &local, const VolumePath &dest,
                    std::set<std::string> &ancestors) {
    const std::string id = LocalIdentity(local);
    if (!id.empty() && ancestors.count(id) != 0) {
      r_.Fail(local, "a link to one of its own parent directories");
      return false;
    }
    items.push_back({local, dest, true, 0});
    ++dirs;
    blocks += 2;
    std::vector<std::string> names;
    if (!ListLocalDirectory(local, names)) {
      r_.Fail(local, std::strerror(errno));
      return false;
    }
    std::sort(names.begin(), names.end());
    ancestors.insert(id);
    const std::string prefix = local.back() == '/' ? local : local + "/";
    for (const auto &n : names) {
      auto wide = Utf8ToUtf16(n);
      if (!wide) {
        r_.Fail(prefix + n, "the name is not valid UTF-8");
        return false;
      }
      if (!Add(prefix + n, dest.Child(*wide), ancestors)) return false;
    }
    ancestors.erase(id);
    return true;
  }

  Reporter &r_;
};

// One file's copy between the volume and a local file: the buffer it goes through, the
// progress of the whole copy it is part of, and what came of it.
struct FileCopy {
  std::vector<char> &buffer;
  Progress *progress = nullptr;
  uint64_t doneBefore = 0; // bytes of the whole copy done before this file
  uint64_t total = 0;      // bytes of the whole copy; 0 when not known
  uint64_t written = 0;    // bytes that reached the destination
  bool opened = false;     // the destination file was created and may be incomplete
  int localError = 0;      // errno of a failure on the local side

  void ShowProgress() const {
    if (progress == nullptr) return;
    const uint64_t done = doneBefore + written;
    if (total > 0)
      progress->Percent(static_cast<unsigned>(done * 100 / total),
                        HumanBytes(done) + " of " + HumanBytes(total));
    else
      progress->Text(HumanBytes(done));
  }
};

// Reads up to the buffer's size from fd; -1 on a read error.
ssize_t ReadChunk(int fd, std::vector<char> &buffer) {
  size_t got = 0;
  while (got < buffer.size()) {
    const ssize_t n = read(fd, buffer.data() + got, buffer.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(got);
}

// Opens the volume file a put writes: a plain file that is there already is emptied in
// place, so that its owner, mode and other attributes stay; anything else is created anew.
// A file nobody may write or delete is left to the replacement, which refuses it.
int32_t OpenPutTarget(Session &s, const std::u16string &path, bool replacesPlainFile) {
  constexpr uint32_t kWriteOrDelete = 0x4A52;
  TKorva &k = s.Korva();
  KorvaFileInfo info{};
  if (!replacesPlainFile || !k.UDF_GetFileInfoW(path.c_str(), &info) ||
      (info.Permissions & kWriteOrDelete) == 0)
    return k.UDF_CreateFileW(path.c_str(), kGenericWrite, kCreateAlways, 0);
  const int32_t h = k.UDF_CreateFileW(path.c_str(), kGenericWrite, kOpenExisting, 0);
  if (h != -1 && !k.UDF_TruncateFile(h)) {
    k.UDF_CloseHandle(h);
    return -1;
  }
  return h;
}

// Streams one local file into a file of the volume.
bool PutFile(Session &s, const PutItem &item, FileCopy &copy, bool replacesPlainFile) {
  TKorva &k = s.Korva();
  const int fd = open(item.local.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    s.Report().Fail(item.local, std::strerror(errno));
    return false;
  }
  s.ClearErrors();
  const std::u16string path = item.dest.Engine();
  const int32_t h = OpenPutTarget(s, path, replacesPlainFile);
  if (h == -1) {
    s.Report().Fail(item.dest.Display(), s.ErrorText());
    close(fd);
    return false;
  }
  copy.opened = true;
  bool ok = true;
  while (ok) {
    if (g_interrupted) {
      s.Report().Fail(item.dest.Display(), "interrupted");
      ok = false;
      break;
    }
    const ssize_t got = ReadChunk(fd, copy.buffer);
    if (got < 0) {
      s.Report().Fail(item.local, std::strerror(errno));
      ok = false;
    } else if (got == 0) {
      break;
    } else {
      uint32_t done = 0;
      ok = k.UDF_WriteFile(h, copy.buffer.data(), static_cast<uint32_t>(got), &done) &&
           done == static_cast<uint32_t>(got);
      if (!ok) {
        s.Report().Fail(item.dest.Display(), s.ErrorText());
        break;
      }
      copy.written += static_cast<uint64_t>(got);
      copy.ShowProgress();
    }
  }
  k.UDF_CloseHandle(h);
  close(fd);
  return ok;
}

// Where each LOCAL of a put goes, as cp does it. False (reported) when that cannot be told.
bool PutRoots(Session &s, const std::vector<std::string> &locals, const VolumePath &dest,
              std::vector<std::pair<std::string, VolumePath>> &roots) {
  std::optional<Entry> destEntry;
  if (!s.Stat(dest, destEntry)) return false;
  if (destEntry && destEntry->IsDir()) {
    for (const auto &l : locals) {
      auto name = Utf8ToUtf16(LocalBaseName(l));
      if (!name || name->empty()) {
        s.Report().Fail(l, "cannot tell the name to give it in the volume");
        return false;
      }
      roots.emplace_back(l, dest.Child(*name));
    }
    return true;
  }
  if (locals.size() > 1) {
    s.Report().Fail(dest.Display(), destEntry ? "not a directory" : "no such directory");
    return false;
  }
  std::optional<Entry> parent;
  if (!s.Stat(dest.Parent(), parent)) return false;
  if (!parent || !parent->IsDir()) {
    s.Report().Fail(dest.Parent().Display(), "no such directory");
    return false;
  }
  roots.emplace_back(locals[0], dest);
  return true;
}

// Whether the planned copy fits the free space; files that are replaced give their blocks
// back first. False (reported) when it does not.
bool PutFits(Session &s, PutPlanner &plan, const VolumePath &dest) {
  const uint64_t freeBlocks = s.Korva().UDF_GetFreeBlocksOfLogicalVolume();
  if (plan.blocks > freeBlocks) {
    for (const auto &item : plan.items) {
      std::optional<Entry> existing;
      if (item.isDir || !s.Stat(item.dest, existing)) continue;
      if (existing && !existing->IsDir())
        plan.blocks -= std::min(plan.blocks, (existing->size + 2047) / 2048 + 1);
    }
  }
  if (plan.blocks <= freeBlocks) return true;
  s.Report().Fail(dest.Display(), "not enough space: the copy needs about " +
                                      HumanBytes(plan.blocks * 2048) + ", " +
                                      HumanBytes(freeBlocks * 2048) + " are free");
  return false;
}

// What a put has written so far, and the file it left incomplete.
struct PutOutcome {
  uint64_t files = 0, dirs = 0, bytes = 0;
  const PutItem *broken = nullptr;
  uint64_t brokenBytes = 0;
};

// Writes one planned item; false (reported) when the copy has to stop.
bool PutItemInto(Session &s, const PutItem &item, FileCopy &copy, PutOutcome &out) {
  std::optional<Entry> existing;
  if (!s.Stat(item.dest, existing)) return false;
  if (item.isDir) {
    if (existing && existing->IsDir()) return true; // merge into a directory that is there
    if (existing) {
      s.Report().Fail(item.dest.Display(), "a file of that name exists");
      return false;
    }
    if (!MakeDirectory(s, item.dest)) return false;
    ++out.dirs;
    return true;
  }
  if (existing && existing->IsDir()) {
    s.Report().Fail(item.dest.Display(), "a directory of that name exists");
    return false;
  }
  copy.doneBefore = out.bytes;
  copy.written = 0;
  copy.opened = false;
  bool plain = false;
  if (existing) {
    if (!s.Describe(item.dest, *existing)) return false;
    plain = !existing->IsSpecial();
  }
  if (!PutFile(s, item, copy, plain)) {
    if (copy.opened) out.broken = &item;
    out.brokenBytes = copy.written;
    return false;
  }
  ++out.files;
  out.bytes += copy.written;
  return true;
}

// Leaves only complete files behind.
void RemoveBroken(Session &s, const PutOutcome &out) {
  if (out.broken == nullptr) return;
  const PutItem &b = *out.broken;
  const std::string counts =
      std::to_string(out.brokenBytes) + " of " + std::to_string(b.size) + " bytes";
  const std::u16string path = b.dest.Engine();
  if (s.Korva().UDF_DeleteFileW(path.c_str()))
    s.Report().Note("removed the incomplete " + b.dest.Display() + " (" + counts +
                    " had been written)");
  else
    s.Report().Note(b.dest.Display() + " is incomplete: " + counts + " written");
}

int CmdPut(Session &s) {
  const Options &o = s.Opt();
  auto dest = PathArg(s, o.args.back());
  if (!dest) return kExitFailed;
  const std::vector<std::string> locals(o.args.begin(), o.args.end() - 1);
  if (!s.Mount(false)) return kExitFailed;
  std::vector<std::pair<std::string, VolumePath>> roots;
  if (!PutRoots(s, locals, *dest, roots)) return kExitFailed;
  // Plan everything first, so that an unreadable or unsupported entry stops the copy
  // before anything is written.
  PutPlanner plan(s.Report());
  for (const auto &[local, target] : roots) {
    std::set<std::string> ancestors;
    if (!plan.Add(local, target, ancestors)) return kExitFailed;
  }
  if (!PutFits(s, plan, *dest)) return kExitFailed;

  std::vector<char> buffer(kChunkBytes);
  PutOutcome out;
  bool ok = true;
  {
    Progress progress("put");
    FileCopy copy{buffer, &progress, 0, plan.bytes};
    for (const auto &item : plan.items) {
      if (g_interrupted) s.Report().Fail("", "interrupted");
      if (g_interrupted || !PutItemInto(s, item, copy, out)) {
        ok = false;
        break;
      }
    }
  }
  RemoveBroken(s, out);
  const bool closed = s.Dismount();
  const std::string summary = Plural(out.files, "file", "files") + " (" + HumanBytes(out.bytes) +
                              ") and " + Plural(out.dirs, "directory", "directories");
  if (!ok) {
    s.Report().Note("stopped after writing " + summary);
    return kExitFailed;
  }
  if (!closed) return kExitFailed;
  std::printf("Copied %s into %s\n", summary.c_str(), s.TargetName().c_str());
  return StdoutFailed() ? kExitFailed : kExitOk;
}

// ---- get ---------------------------------------------------------------------------------

// Why a name from the volume cannot be a local file name; "" when it can. A backslash is an
// ordinary character of local names, and the volume path reaches it escaped.
std::string LocalNameProblem(const std::u16string &name) {
  if (name.empty() || name == u"." || name == u"..") return "name cannot be used for a local file";
  if (name.find(u'/') != std::u16string::npos) return "name holds '/', which no local name can";
  if (name.find(u'\0') != std::u16string::npos) return "name holds a NUL character";
  return std::string();
}

struct GetCounts {
  uint64_t files = 0, dirs = 0, bytes = 0;
  uint64_t skipped = 0; // entries left out, each reported
  uint64_t total = 0;   // bytes to copy when known (a single file), else 0
  Progress *progress = nullptr;
  int localError = 0;         // errno of the last local failure
  std::set<uint32_t> visited; // directories copied so far, by identity
};

// Writes what was read to fd; false (reported, unless the reader went away) on a failure.
bool WriteChunk(Session &s, int fd, const std::string &local, FileCopy &copy, uint32_t got) {
  size_t put = 0;
  while (put < got) {
    const ssize_t n = write(fd, copy.buffer.data() + put, got - put);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      copy.localError = errno;
      // A reader that went away (korva cat ... | head) is not worth a message.
      if (errno != EPIPE)
        s.Report().Fail(local.empty() ? "standard output" : local, std::strerror(errno));
      return false;
    }
    put += static_cast<size_t>(n);
  }
  return true;
}

// Streams the open file h of the volume to fd until its end.
bool StreamOut(Session &s, int32_t h, const VolumePath &path, int fd, const std::string &local,
               FileCopy &copy) {
  for (;;) {
    if (g_interrupted) {
      s.Report().Fail(path.Display(), "interrupted");
      return false;
    }
    uint32_t got = 0;
    if (!s.Korva().UDF_ReadFile(h, copy.buffer.data(), static_cast<uint32_t>(copy.buffer.size()),
                                &got)) {
      s.Report().Fail(path.Display(), s.ErrorText());
      return false;
    }
    if (got == 0) return true;
    if (!WriteChunk(s, fd, local, copy, got)) return false;
    copy.written += got;
    copy.ShowProgress();
  }
}

// Streams one file of the volume into the local file at local, or to standard output when
// local is empty.
bool CopyOut(Session &s, const VolumePath &path, const Entry &entry, const std::string &local,
             FileCopy &copy) {
  TKorva &k = s.Korva();
  s.ClearErrors();
  const std::u16string enginePath = path.Engine();
  const int32_t h = k.UDF_CreateFileW(enginePath.c_str(), kGenericRead, kOpenExisting, 0);
  if (h == -1) {
    s.Report().Fail(path.Display(), s.ErrorText());
    return false;
  }
  int fd = 1;
  if (!local.empty()) {
    fd = open(local.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
      copy.localError = errno;
      s.Report().Fail(local, std::strerror(errno));
      k.UDF_CloseHandle(h);
      return false;
    }
    copy.opened = true;
  }
  bool ok = StreamOut(s, h, path, fd, local, copy);
  k.UDF_CloseHandle(h);
  if (ok && copy.written != entry.size) {
    s.Report().Fail(path.Display(), "read " + std::to_string(copy.written) + " bytes of " +
                                        std::to_string(entry.size));
    ok = false;
  }
  if (!local.empty() && close(fd) != 0 && ok) {
    s.Report().Fail(local, std::strerror(errno));
    ok = false;
  }
  return ok;
}

// The check of another writer's volume: this library's structure rules are not that
// writer's, so what is checked is that everything reads: every directory, every entry's
// type, every byte of every file. What does not is reported.
int CheckForeign(Session &s) {
  const std::string note = s.ForeignNote();
  std::vector<Listed> listed;
  std::set<uint32_t> seen;
  bool ok = Collect(s, VolumePath(), true, true, seen, listed);
  std::vector<char> buffer(1 << 20);
  uint64_t files = 0, dirs = 1;
  for (const Listed &l : listed) {
    if (l.entry.IsDir()) ++dirs;
    if (l.entry.IsDir() || l.entry.IsSpecial()) continue;
    FileCopy copy{buffer};
    ok = CopyOut(s, l.path, l.entry, "/dev/null", copy) && ok;
    ++files;
  }
  const bool closed = s.Dismount();
  if (s.Opt().json) {
    std::printf("{\"target\":%s,\"clean\":%s,\"findings\":[],\"other_writer\":%s}\n",
                JsonString(s.TargetName()).c_str(), ok && closed ? "true" : "false",
                JsonString(note).c_str());
  } else if (ok && closed) {
    std::printf("%s is clean: %s, read-only: %s and %s read in full\n", s.TargetName().c_str(),
                note.c_str(), Plural(dirs, "directory", "directories").c_str(),
                Plural(files, "file", "files").c_str());
  }
  return ok && closed && !StdoutFailed() ? kExitOk : kExitFailed;
}

// After an entry failed (and was reported): whether the copy can go on with the next. It
// stops when interrupted, when the volume became unusable, or when the local side takes
// nothing more.
bool CanGoOn(Session &s, GetCounts &counts) {
  ++counts.skipped;
  const int e = counts.localError;
  counts.localError = 0;
  if (g_interrupted || e == ENOSPC || e == EDQUOT || e == EROFS) return false;
  return s.Korva().UDF_GetVolumeCompatibility() != KFALSE;
}

bool GetTree(Session &s, const VolumePath &path, const Entry &entry, const std::string &local,
             std::vector<char> &buffer, GetCounts &counts);

bool GetFile(Session &s, const VolumePath &path, const Entry &entry, const std::string &local,
             std::vector<char> &buffer, GetCounts &counts) {
  FileCopy copy{buffer, counts.progress, counts.bytes, counts.total};
  const bool ok = CopyOut(s, path, entry, local, copy);
  counts.localError = copy.localError;
  if (ok) {
    ++counts.files;
    counts.bytes += copy.written;
    return true;
  }
  // Leave no truncated copy that looks complete (and never remove a file not yet opened).
  if (copy.opened && unlink(local.c_str()) == 0)
    s.Report().Note("removed the incomplete " + local);
  return CanGoOn(s, counts);
}

// Recreates a symbolic link or a FIFO; devices, sockets and unknown types are reported and
// left out (a device node from a foreign medium is not something to create unasked).
bool GetSpecial(Session &s, const VolumePath &path, const Entry &entry, const std::string &local,
                GetCounts &counts) {
  int made = 0;
  if (entry.fileType == KORVA_FILE_TYPE_SYMLINK)
    made = MakeLocalSymlink(entry.linkTarget, local);
  else if (entry.fileType == KORVA_FILE_TYPE_FIFO)
    made = MakeLocalFifo(local);
  if (made == ENOSYS || (entry.fileType != KORVA_FILE_TYPE_SYMLINK &&
                         entry.fileType != KORVA_FILE_TYPE_FIFO)) {
    s.Report().Fail(path.Display(), "is a " + TypeName(entry) + "; left out" +
                                        (made == ENOSYS ? " (none on this system)" : ""));
    ++counts.skipped;
    return true;
  }
  if (made != 0) {
    counts.localError = made;
    s.Report().Fail(local, std::strerror(made));
    return CanGoOn(s, counts);
  }
  ++counts.files;
  return true;
}

bool GetDirectory(Session &s, const VolumePath &path, const Entry &entry, const std::string &local,
                  std::vector<char> &buffer, GetCounts &counts) {
  if (!FirstVisit(s, path, entry, counts.visited)) return CanGoOn(s, counts);
  struct stat st {};
  // The reason stays in errno, where a failed stat below leaves its own.
  errno = MakeLocalDirectory(local);
  if (errno == 0) {
    ++counts.dirs;
  } else if (errno != EEXIST || stat(local.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    counts.localError = errno;
    s.Report().Fail(local, (errno == EEXIST ? std::string("exists and is not a directory")
                                            : std::string(std::strerror(errno))) +
                               "; its contents are left out");
    return CanGoOn(s, counts);
  }
  std::vector<Entry> entries;
  if (!s.List(path, entries)) return CanGoOn(s, counts);
  for (const auto &e : entries) {
    const VolumePath child = path.Child(e.name);
    const std::string problem = LocalNameProblem(e.name);
    if (!problem.empty()) {
      s.Report().Fail(child.Display(), problem + "; left out");
      ++counts.skipped;
      continue;
    }
    if (e.IsDir() && child.parts.size() > KORVA_MAX_DEPTH) {
      s.Report().Fail(child.Display(), "nested deeper than the volume allows; left out");
      ++counts.skipped;
      continue;
    }
    if (!GetTree(s, child, e, local + "/" + Utf16ToUtf8(e.name), buffer, counts)) return false;
  }
  return true;
}

// Copies an entry out. Entries that fail are reported, counted and left out; false only
// when the copy has to stop.
bool GetTree(Session &s, const VolumePath &path, const Entry &entry, const std::string &local,
             std::vector<char> &buffer, GetCounts &counts) {
  if (g_interrupted) {
    s.Report().Fail("", "interrupted");
    return false;
  }
  if (entry.IsDir()) return GetDirectory(s, path, entry, local, buffer, counts);
  Entry described = entry;
  if (!s.Describe(path, described)) return CanGoOn(s, counts);
  if (!described.IsSpecial()) return GetFile(s, path, entry, local, buffer, counts);
  return GetSpecial(s, path, described, local, counts);
}

int CmdGet(Session &s) {
  const Options &o = s.Opt();
  auto path = PathArg(s, o.args[0]);
  if (!path || !s.Mount(false, false, true)) return kExitFailed;
  std::optional<Entry> entry;
  if (!s.Stat(*path, entry)) return kExitFailed;
  if (!entry) {
    s.Report().Fail(path->Display(), "no such file or directory");
    return kExitFailed;
  }
  std::string local = o.args[1];
  struct stat st {};
  if (stat(local.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && !path->IsRoot()) {
    const std::string problem = LocalNameProblem(path->Name());
    if (!problem.empty()) {
      s.Report().Fail(path->Display(), problem);
      return kExitFailed;
    }
    local += (local.back() == '/' ? "" : "/") + Utf16ToUtf8(path->Name());
  }
  std::vector<char> buffer(kChunkBytes);
  GetCounts counts;
  bool ok = false;
  {
    Progress progress("get");
    counts.progress = &progress;
    counts.total = entry->IsDir() ? 0 : entry->size;
    ok = GetTree(s, *path, *entry, local, buffer, counts);
  }
  const bool closed = s.Dismount();
  const std::string summary = Plural(counts.files, "file", "files") + " (" +
                              HumanBytes(counts.bytes) + ") and " +
                              Plural(counts.dirs, "directory", "directories");
  if (!ok) {
    s.Report().Note("stopped after copying " + summary);
    return kExitFailed;
  }
  if (!closed) return kExitFailed;
  std::printf("Copied %s to %s\n", summary.c_str(), local.c_str());
  if (counts.skipped > 0) {
    s.Report().Note("left out " + Plural(counts.skipped, "entry", "entries") +
                    " that could not be copied (see above)");
    return kExitFailed;
  }
  return StdoutFailed() ? kExitFailed : kExitOk;
}

// ---- rm, rmdir, cat ----------------------------------------------------------------------

int CmdRemove(Session &s, bool directories) {
  const Options &o = s.Opt();
  std::vector<VolumePath> paths;
  if (!PathArgs(s, o.args, paths) || !s.Mount(false)) return kExitFailed;
  for (const auto &path : paths) {
    if (g_interrupted) {
      s.Report().Fail("", "interrupted");
      break;
    }
    if (path.IsRoot()) {
      s.Report().Fail("/", "the root directory cannot be removed");
      continue;
    }
    std::optional<Entry> e;
    if (!s.Stat(path, e)) continue;
    if (!e) {
      s.Report().Fail(path.Display(), "no such file or directory");
      continue;
    }
    if (e->IsDir() != directories) {
      s.Report().Fail(path.Display(),
                      directories ? "not a directory (use rm)" : "is a directory (use rmdir)");
      continue;
    }
    s.ClearErrors();
    const std::u16string engine = path.Engine();
    const KBOOL done = directories ? s.Korva().UDF_RemoveDirectoryW(engine.c_str())
                                   : s.Korva().UDF_DeleteFileW(engine.c_str());
    if (!done) {
      const std::string why = s.ErrorText();
      s.Report().Fail(path.Display(), why.empty() ? "cannot remove it" : why);
    }
  }
  const bool failed = s.Report().Failed();
  return s.Dismount() && !failed ? kExitOk : kExitFailed;
}

// Where mv puts SRC: into DEST under its own name when DEST is a directory (other than SRC
// itself), else at DEST. Nothing when DEST could not be looked up (reported).
std::optional<VolumePath> MoveTarget(Session &s, const VolumePath &from, const VolumePath &dest) {
  std::optional<Entry> d;
  if (!s.Stat(dest, d)) return std::nullopt;
  if (d && d->IsDir() && dest.Engine() != from.Engine()) return dest.Child(from.Name());
  return dest;
}

int CmdMove(Session &s) {
  const Options &o = s.Opt();
  std::vector<VolumePath> paths;
  if (!PathArgs(s, o.args, paths) || !s.Mount(false)) return kExitFailed;
  const VolumePath &from = paths[0];
  std::optional<VolumePath> to;
  std::optional<Entry> src;
  if (from.IsRoot()) {
    s.Report().Fail("/", "the root directory cannot be moved");
  } else if (s.Stat(from, src) && !src) {
    s.Report().Fail(from.Display(), "no such file or directory");
  } else if (src && (to = MoveTarget(s, from, paths[1]))) {
    s.ClearErrors();
    const std::u16string a = from.Engine(), b = to->Engine();
    if (!s.Korva().UDF_MoveFileW(a.c_str(), b.c_str())) {
      const std::string why = s.ErrorText();
      s.Report().Fail(from.Display(), why.empty() ? "cannot move it" : why);
    }
  }
  const bool failed = s.Report().Failed() || !to;
  if (!s.Dismount() || failed) return kExitFailed;
  if (o.json)
    std::printf("{\"target\":%s,\"from\":%s,\"to\":%s}\n", JsonString(s.TargetName()).c_str(),
                JsonString(from.Display()).c_str(), JsonString(to->Display()).c_str());
  return StdoutFailed() ? kExitFailed : kExitOk;
}

int CmdCat(Session &s) {
  const Options &o = s.Opt();
  std::vector<VolumePath> paths;
  if (!PathArgs(s, o.args, paths) || !s.Mount(false, false, true)) return kExitFailed;
  std::vector<char> buffer(kChunkBytes);
  bool allOk = true;
  for (const auto &path : paths) {
    std::optional<Entry> e;
    if (!s.Stat(path, e)) {
      allOk = false;
      break;
    }
    if (!e) {
      s.Report().Fail(path.Display(), "no such file");
      continue;
    }
    if (e->IsDir()) {
      s.Report().Fail(path.Display(), "is a directory");
      continue;
    }
    if (!s.Describe(path, *e)) continue;
    if (e->IsSpecial()) {
      std::string what = "is a " + TypeName(*e);
      if (e->fileType == KORVA_FILE_TYPE_SYMLINK)
        what += " to " + Printable(Utf16ToUtf8(e->linkTarget));
      s.Report().Fail(path.Display(), what);
      continue;
    }
    FileCopy copy{buffer};
    if (!CopyOut(s, path, *e, std::string(), copy)) {
      allOk = false;
      break;
    }
  }
  const bool failed = s.Report().Failed();
  const bool closed = s.Dismount();
  // A closed pipe ends the output early; that is a failure, though not one to talk about.
  return closed && allOk && !failed ? kExitOk : kExitFailed;
}

// ---- drives ------------------------------------------------------------------------------

struct DriveLine {
  int index;
  std::string address, letter, description;
};

// "h:t:l,X: vendor product revision " split into its parts.
DriveLine SplitDeviceName(int index, const std::string &name) {
  DriveLine d{index, "", "", name};
  const size_t comma = name.find(',');
  if (comma != std::string::npos) {
    d.address = name.substr(0, comma);
    const size_t colon = name.find(':', comma);
    if (colon != std::string::npos) {
      d.letter = name.substr(comma + 1, colon - comma - 1);
      d.description = name.substr(colon + 1);
    }
  }
  auto trim = [](std::string &t) {
    const size_t b = t.find_first_not_of(' ');
    const size_t e = t.find_last_not_of(' ');
    t = b == std::string::npos ? std::string() : t.substr(b, e - b + 1);
    // Collapse the padding of the inquiry fields.
    std::string out;
    for (char c : t)
      if (!(c == ' ' && !out.empty() && out.back() == ' ')) out.push_back(c);
    t = out;
  };
  trim(d.description);
  return d;
}

int CmdDrives(Session &s) {
  if (!s.InitializeDrives()) return kExitFailed;
  TKorva &k = s.Korva();
  std::vector<DriveLine> lines;
  for (int i = 0; i < k.GetDeviceCount(); ++i)
    lines.push_back(SplitDeviceName(i, k.GetDeviceName(static_cast<uint8_t>(i))));
  if (s.Opt().json) {
    std::printf("{\"drives\":[");
    for (size_t i = 0; i < lines.size(); ++i)
      std::printf("%s{\"index\":%d,\"letter\":%s,\"address\":%s,\"description\":%s}", i ? "," : "",
                  lines[i].index, JsonString(lines[i].letter).c_str(),
                  JsonString(lines[i].address).c_str(), JsonString(lines[i].description).c_str());
    std::printf("]}\n");
  } else {
    std::printf("%-6s %-7s %-9s %s\n", "INDEX", "LETTER", "ADDRESS", "DRIVE");
    for (const auto &l : lines)
      std::printf("%-6d %-7s %-9s %s\n", l.index, l.letter.c_str(), l.address.c_str(),
                  Printable(l.description).c_str());
  }
  return StdoutFailed() ? kExitFailed : kExitOk;
}

// What drive-info reports of the selected drive.
struct DriveFacts {
  DriveLine line{-1, "", "", ""};
  std::vector<std::string> can; // what it reads and writes, by name
  bool burner = false, ready = false, erasable = false;
  unsigned maxRead = 0, maxWrite = 0, curMaxWrite = 0, read = 0, write = 0, buffer = 0;
  uint8_t medium = 0;
};

std::vector<std::string> DriveAbilities(TKorva &k) {
  static const struct {
    uint8_t code;
    const char *name;
  } caps[] = {{1, "read CD-R"},       {2, "read CD-RW"},     {3, "read DVD-RAM"},
              {4, "read DVD-R"},      {5, "read DVD-RW"},    {6, "read DVD+R"},
              {7, "read DVD+RW"},     {8, "read DVD+R DL"},  {11, "write CD-R"},
              {12, "write CD-RW"},    {13, "write DVD-RAM"}, {14, "write DVD-R"},
              {15, "write DVD-RW"},   {16, "write DVD+R"},   {17, "write DVD+RW"},
              {18, "write DVD+R DL"}, {21, "test write"},    {22, "buffer underrun protection"}};
  std::vector<std::string> can;
  for (const auto &c : caps)
    if (k.DeviceCan(c.code)) can.push_back(c.name);
  if (k.GetDeviceSupportsMRWRead()) can.push_back("read MRW");
  if (k.GetDeviceSupportsMRWWrite()) can.push_back("write MRW");
  return can;
}

DriveFacts GatherDriveFacts(Session &s) {
  TKorva &k = s.Korva();
  DriveFacts d;
  d.line = s.SelectedIndex() >= 0
               ? SplitDeviceName(s.SelectedIndex(),
                                 k.GetDeviceName(static_cast<uint8_t>(s.SelectedIndex())))
               : DriveLine{-1, "", "", ""};
  d.can = DriveAbilities(k);
  d.burner = k.DeviceIsBurner() != KFALSE;
  d.maxRead = k.GetDeviceMaxReadSpeed();
  d.maxWrite = k.GetDeviceMaxWriteSpeed();
  d.curMaxWrite = k.GetMaxWriteSpeed();
  d.read = k.GetReadSpeed();
  d.write = k.GetWriteSpeed();
  d.buffer = k.GetDeviceBufferSize();
  d.ready = k.TestUnitReady() != KFALSE;
  d.medium = k.DiscIs();
  d.erasable = k.Erasable() != KFALSE;
  return d;
}

void PrintDriveJson(const DriveFacts &d) {
  std::string list;
  for (const auto &c : d.can)
    list += (list.empty() ? "" : ",") + JsonString(c);
  std::printf("{\"index\":%d,\"letter\":%s,\"address\":%s,\"description\":%s,\"burner\":%s,"
              "\"capabilities\":[%s],\"max_read_speed\":%u,\"max_write_speed\":%u,"
              "\"medium_max_write_speed\":%u,\"read_speed\":%u,\"write_speed\":%u,"
              "\"buffer_bytes\":%s,\"ready\":%s,\"medium\":%s,\"erasable\":%s}\n",
              d.line.index, JsonString(d.line.letter).c_str(), JsonString(d.line.address).c_str(),
              JsonString(d.line.description).c_str(), d.burner ? "true" : "false", list.c_str(),
              d.maxRead, d.maxWrite, d.curMaxWrite, d.read, d.write,
              d.buffer != 0 ? std::to_string(d.buffer).c_str() : "null",
              d.ready ? "true" : "false", JsonString(MediumName(d.medium)).c_str(),
              d.erasable ? "true" : "false");
}

void PrintDriveText(const DriveFacts &d) {
  std::printf("Drive:        %s (index %d, letter %s, address %s)\n",
              Printable(d.line.description).c_str(), d.line.index, d.line.letter.c_str(),
              d.line.address.c_str());
  std::printf("Writes:       %s\n", d.burner ? "yes" : "no (reader only)");
  std::printf("Can:          ");
  for (size_t i = 0; i < d.can.size(); ++i)
    std::printf("%s%s", i ? ", " : "", d.can[i].c_str());
  std::printf("\n");
  std::printf("Read speed:   %u KB/s (maximum %u KB/s)\n", d.read, d.maxRead);
  std::printf("Write speed:  %u KB/s (maximum %u KB/s, %u KB/s on this medium)\n", d.write,
              d.maxWrite, d.curMaxWrite);
  std::printf("Buffer:       %s\n", d.buffer != 0 ? HumanBytes(d.buffer).c_str() : "unknown");
  std::printf("Medium:       %s%s%s\n", MediumName(d.medium), d.erasable ? ", erasable" : "",
              d.ready ? "" : " (not ready)");
}

int CmdDriveInfo(Session &s) {
  if (!s.SelectDrive()) return kExitFailed;
  const DriveFacts d = GatherDriveFacts(s);
  if (s.Opt().json)
    PrintDriveJson(d);
  else
    PrintDriveText(d);
  return StdoutFailed() ? kExitFailed : kExitOk;
}

int CmdErase(Session &s) {
  if (!s.SelectDrive()) return kExitFailed;
  TKorva &k = s.Korva();
  auto wait = std::make_shared<CompletionWait>();
  k.OnEraseDone = [wait](TKorva *, bool failed) { wait->Done(failed); };
  if (!k.EraseDisc(s.Opt().quick)) {
    s.Report().Fail(s.TargetName(), s.ErrorText());
    return kExitFailed;
  }
  if (StderrIsTerminal()) std::fputs("erasing...", stderr);
  while (!wait->WaitFor(std::chrono::milliseconds(200))) {
  }
  if (StderrIsTerminal()) std::fputs("\r\033[K", stderr);
  if (wait->Failed()) {
    const std::string detail = s.ErrorText();
    s.Report().Fail(s.TargetName(), "erasing failed" + (detail.empty() ? "" : ": " + detail));
    return kExitFailed;
  }
  std::printf("Erased the disc in %s\n", s.TargetName().c_str());
  return kExitOk;
}

// Reports a command the drive (or the system) refused, with the drive's reason.
int DriveRefused(Session &s) {
  std::string detail = s.ErrorText();
  if (detail.empty()) detail = korva::DescribeLastSense(&s.Korva().Volume()->Device);
  s.Report().Fail(s.TargetName(), "the drive refused" + (detail.empty() ? "" : ": " + detail));
  return kExitFailed;
}

int CmdDriveAction(Session &s) {
  if (!s.SelectDrive()) return kExitFailed;
  TKorva &k = s.Korva();
  const std::string &c = s.Opt().command;
  KBOOL ok = KFALSE;
  if (c == "eject")
    ok = k.EjectMedium(false);
  else if (c == "load")
    ok = k.LoadMedium(false);
  else if (c == "lock")
    ok = k.LockMedium();
  else if (c == "unlock")
    ok = k.UnlockMedium();
  if (!ok) return DriveRefused(s);
  return kExitOk;
}

int CmdSpeed(Session &s) {
  const std::string &arg = s.Opt().args[0];
  uint16_t speed = 0; // the drive's maximum
  if (arg != "max") {
    auto v = ParseNumber(arg, 1, 65534);
    if (!v) {
      s.Report().Fail(arg, "the speed is a number of KB/s from 1 to 65534, or max");
      return kExitUsage;
    }
    speed = static_cast<uint16_t>(*v);
  }
  if (!s.SelectDrive()) return kExitFailed;
  TKorva &k = s.Korva();
  // The component's SetDeviceSpeed returns nothing; the device function tells a refusal.
  if (!korva::SetDeviceSpeed(&k.Volume()->Device, speed, speed)) return DriveRefused(s);
  const unsigned read = k.GetReadSpeed(), write = k.GetWriteSpeed();
  std::printf("Read speed %u KB/s, write speed %u KB/s\n", read, write);
  return kExitOk;
}

} // namespace

// Dispatches by the command's name; the drive actions (eject, load, lock, unlock) share one.
int RunCommand(const Options &options) {
  static const std::unordered_map<std::string, int (*)(Session &)> commands = {
      {"format", CmdFormat},
      {"info", CmdInfo},
      {"check", [](Session &s) { return CheckOrRepair(s, false); }},
      {"repair", [](Session &s) { return CheckOrRepair(s, true); }},
      {"ls", CmdLs},
      {"mkdir", CmdMkdir},
      {"put", CmdPut},
      {"get", CmdGet},
      {"rm", [](Session &s) { return CmdRemove(s, false); }},
      {"rmdir", [](Session &s) { return CmdRemove(s, true); }},
      {"mv", CmdMove},
      {"cat", CmdCat},
      {"mount", CmdMount},
      {"drives", CmdDrives},
      {"drive-info", CmdDriveInfo},
      {"erase", CmdErase},
      {"speed", CmdSpeed},
  };
  Reporter reporter(options.command);
  Session session(options, reporter);
  const auto it = commands.find(options.command);
  return it != commands.end() ? it->second(session) : CmdDriveAction(session);
}

} // namespace korvacli
