// One run of the korva tool against its target.
#include "session.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace korvacli {

volatile std::sig_atomic_t g_interrupted = 0;

void Reporter::Fail(const std::string &subject, const std::string &text) {
  failed_ = true;
  std::string line = "korva: " + command_ + ": ";
  if (!subject.empty()) line += Printable(subject) + ": ";
  line += text + "\n";
  std::fputs(line.c_str(), stderr);
}

void Reporter::Note(const std::string &text) {
  std::fputs(("korva: " + command_ + ": " + Printable(text) + "\n").c_str(), stderr);
}

namespace {

// The engine's find record as the tool uses it.
Entry FromFindData(const _UDF_FIND_DATAW &data) {
  Entry e;
  size_t n = 0;
  const size_t cap = sizeof data.cFileName / sizeof data.cFileName[0];
  while (n < cap && data.cFileName[n] != 0)
    ++n;
  e.name.assign(data.cFileName, data.cFileName + n);
  e.attributes = data.dwFileAttributes;
  e.size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  e.modified = (static_cast<uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
               data.ftLastWriteTime.dwLowDateTime;
  return e;
}

bool HasWildcard(const std::u16string &name) {
  return name.find(u'*') != std::u16string::npos || name.find(u'?') != std::u16string::npos;
}

} // namespace

Session::Session(const Options &options, Reporter &reporter)
    : options_(options), reporter_(reporter) {}

Session::~Session() {
  if (mounted_) Dismount();
}

std::string Session::TargetName() const {
  return IsImage() ? options_.image : "drive " + options_.drive;
}

void Session::ClearErrors() {
  KorvaSetLastOSError(0);
}

std::string Session::ErrorText() {
  const uint16_t number = korva_.UDF_GetLastErrorNumber();
  if (number != 0) {
    const char *text = korva_.UDF_GetLastErrorDescription();
    return std::string(text != nullptr ? text : "Unknown error.") + " (error " +
           std::to_string(number) + ")";
  }
  const uint32_t os = KorvaGetLastOSError();
  if (os != 0) return SystemErrorText(os) + " (system error " + std::to_string(os) + ")";
  return std::string();
}

bool Session::LockImage(bool shared) {
  // Two commands on one image at once would corrupt it: hold an exclusive lock for the
  // whole run (shared when nothing is written, so readers may run together). The engine's
  // own descriptor is separate, so this only excludes other korva processes (and anything
  // else that takes the same lock). A second mount in one run changes the lock it holds.
  bool busy = false;
  const std::string why = lock_.LockExisting(options_.image, shared, busy);
  if (why.empty()) return true;
  reporter_.Fail(options_.image, busy ? "the image is in use by another korva command" : why);
  return false;
}

bool Session::InitializeDrives() {
  ClearErrors();
  const bool forceAspi = !options_.aspi.empty();
  if (!korva_.InitializeASPI(forceAspi, forceAspi ? options_.aspi.c_str() : "",
                             options_.trace.c_str())) {
    std::string why =
        forceAspi ? "cannot use the ASPI module " + options_.aspi : "no optical drive found";
    const std::string detail = ErrorText();
    if (!detail.empty()) why += ": " + detail;
    reporter_.Fail("", why);
    return false;
  }
  return true;
}

bool Session::SelectDrive() {
  if (!InitializeDrives()) return false;
  const std::string &d = options_.drive;
  bool ok = false;
  if (d.size() == 1 && std::isalpha(static_cast<unsigned char>(d[0]))) {
    const char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(d[0])));
    ok = korva_.SelectDeviceByLetter(letter) != KFALSE;
    // The table's descriptions carry the letter after the address: "h:t:l,X: ...".
    for (int i = 0; ok && i < korva_.GetDeviceCount(); ++i) {
      const std::string name = korva_.GetDeviceName(static_cast<uint8_t>(i));
      const size_t comma = name.find(',');
      if (comma != std::string::npos && comma + 1 < name.size() && name[comma + 1] == letter)
        selectedIndex_ = i;
    }
  } else if (auto index = ParseNumber(d, 0, 25)) {
    ok = *index < korva_.GetDeviceCount() &&
         korva_.SelectDevice(static_cast<uint8_t>(*index)) != KFALSE;
    if (ok) selectedIndex_ = static_cast<int>(*index);
  } else {
    reporter_.Fail("", "--drive takes a drive letter or an index from 0 to 25, not '" + d + "'");
    return false;
  }
  if (!ok) {
    reporter_.Fail("", "drive " + d + " not found or not answering ('korva drives' lists them)");
    return false;
  }
  return true;
}

// How the engine's note on another writer's volume begins when it cannot be read at all.
constexpr const char *kUnreadableForeign = "another writer's volume that cannot be read";

std::string Session::ForeignNote() {
  const char *note = UDF_GetVolumeNote(korva_.Volume());
  return note != nullptr ? note : "";
}

std::string Session::UnusableReason() {
  const uint16_t number = korva_.UDF_GetLastErrorNumber();
  const std::string detail = ErrorText();
  const std::string foreign = ForeignNote();
  // Another writer's volume is read, never written.
  if (!foreign.empty() && number == 0 && foreign.rfind(kUnreadableForeign, 0) == 0)
    return "not compatible: " + foreign;
  if (!foreign.empty() && number == 0)
    return "not compatible for writing: " + foreign +
           " (Korva only reads other writers' volumes: ls, cat, get, info, check, "
           "mount --read-only)";
  if (number == KORVA_E_IMAGE_SIZE && IsImage())
    return detail + " (an image that is not whole 32 KiB packets is only read: "
                    "ls, cat, get, info, check, --read-only)";
  if (number == KORVA_E_LEFT_OPEN)
    return detail + " ('korva repair' makes it usable again; --read-only reads it as it is)";
  if (!detail.empty()) return detail;
  return DiagnoseUnusable();
}

std::string Session::DiagnoseUnusable() {
  // The check reads the volume without changing it and says why it is not usable.
  bool leftOpen = false, foreign = false;
  std::string structure;
  auto keep = korva_.OnFinding;
  korva_.OnFinding = [&](TKorva *, const KorvaFinding &f) {
    leftOpen = leftOpen || f.Kind == KORVA_FINDING_LEFT_OPEN;
    foreign = foreign || f.Kind == KORVA_FINDING_FOREIGN_VOLUME;
    if (f.Kind == KORVA_FINDING_VOLUME_STRUCTURE && structure.empty()) structure = f.Text;
  };
  const bool clean = korva_.CheckVolume() != KFALSE;
  const uint16_t error = korva_.UDF_GetLastErrorNumber();
  korva_.OnFinding = keep;
  if (foreign || clean || error == KORVA_E_NOT_COMPATIBLE)
    return "no usable Korva volume: not formatted by Korva ('korva format' makes a new one)";
  if (!structure.empty())
    // The volume may still hold files: formatting is never the advice here.
    return "no usable Korva volume: " + structure +
           " ('korva check' lists the damage; other UDF readers may still read its files)";
  if (leftOpen)
    return "the volume was left open by a program that did not close it (a crash, a power cut "
           "or a removed medium); 'korva repair' makes it usable again";
  if (error == KORVA_E_CHECK_FINDINGS)
    return "the volume is damaged ('korva check' lists the problems, 'korva repair' mends "
           "what it can)";
  return "no usable Korva volume: " + ErrorText();
}

uint32_t Session::RootBlock() {
  const TUDFRewritableVolume *v = korva_.Volume();
  return v->RootICBSector - v->PartitionStart;
}

// A second korva command on the same path never sees a half-made image, and finds it
// locked.
bool Session::CreateImage() {
  bool exists = false;
  const std::string why =
      lock_.CreateLocked(options_.image, uint64_t(options_.sizeMiB) << 20, exists);
  if (!why.empty()) {
    reporter_.Fail(options_.image, exists ? "was created by another command at the same time" : why);
    return false;
  }
  createdImage_ = true;
  return true;
}

bool Session::MountImage(bool forFormat, bool readOnly) {
  struct stat st {};
  const bool exists = stat(options_.image.c_str(), &st) == 0;
  if (!exists && (!forFormat || readOnly)) {
    reporter_.Fail(options_.image, "no such image file ('korva format' creates one)");
    return false;
  }
  if (exists && !S_ISREG(st.st_mode)) {
    reporter_.Fail(options_.image, "not a regular file");
    return false;
  }
  if (exists && !LockImage(readOnly)) return false;
  if (!exists && !CreateImage()) return false;
  if (exists && options_.sizeGiven)
    reporter_.Note("--size ignored: " + options_.image + " exists (" +
                   HumanBytes(static_cast<uint64_t>(st.st_size)) + ")");
  // The name goes to the engine as bytes: a local path need not be UTF-8.
  const KBOOL mounted = readOnly ? UDF_MountImageReadOnly(korva_.Volume(), options_.image.c_str())
                                 : korva_.UDF_MountImage(options_.image.c_str(), options_.sizeMiB);
  if (!mounted) {
    reporter_.Fail(options_.image, UnusableReason());
    return false;
  }
  mounted_ = true;
  return true;
}

bool Session::Mount(bool forFormat, bool acceptUnusable, bool readOnly) {
  ClearErrors();
  // Changes gather in whole packets and reach the medium at sync points: the end of each
  // command (Dismount); korva mount at fsync and its idle flush (see Serve).
  korva_.Volume()->WriteBehind = 1;
  readOnly = readOnly || options_.readOnly;
  if (IsImage()) {
    if (!MountImage(forFormat, readOnly)) return false;
  } else {
    if (!SelectDrive()) return false;
    const KBOOL mounted =
        readOnly ? UDF_MountVolumeReadOnly(korva_.Volume()) : korva_.UDF_MountVolume();
    if (!mounted) {
      reporter_.Fail(TargetName(), ErrorText());
      return false;
    }
    mounted_ = true;
  }
  if (LeftOpen() && ReadOnly())
    reporter_.Note("the volume was left open by a program that did not close it; it is only "
                   "read ('korva repair' mends it)");
  if (forFormat || acceptUnusable) return true;
  // The reason first: asking for compatibility clears the mount's error number.
  const std::string why = UnusableReason();
  if (!korva_.UDF_GetVolumeCompatibility()) {
    reporter_.Fail(TargetName(), why);
    return false;
  }
  if (ReadOnly() && !readOnly) {
    // A command that changes the volume, on a medium that cannot be written.
    reporter_.Fail(TargetName(), "the medium is read-only (error 27): nothing can be changed");
    return false;
  }
  return true;
}

bool Session::Dismount() {
  if (!mounted_) return true;
  mounted_ = false;
  // The command's sync point: what it changed is durable before the volume is closed.
  if (!ReadOnly() && !korva_.UDF_FlushVolume()) {
    reporter_.Fail(TargetName(), "the changes could not be written: " + ErrorText());
    korva_.UDF_DismountVolume();
    return false;
  }
  if (!korva_.UDF_DismountVolume()) {
    reporter_.Fail(TargetName(), "the volume could not be closed cleanly: " + ErrorText());
    return false;
  }
  return true;
}

bool Session::Stat(const VolumePath &path, std::optional<Entry> &found) {
  found.reset();
  if (path.IsRoot()) {
    Entry root;
    root.attributes = kAttrDirectory;
    root.block = RootBlock();
    found = root;
    return true;
  }
  const std::u16string name = path.Name();
  if (!HasWildcard(name)) {
    _UDF_FIND_DATAW data{};
    const std::u16string engine = path.Engine();
    const int32_t h = korva_.UDF_FindFirstFileW(engine.c_str(), &data);
    if (h != -1) {
      Entry e = FromFindData(data);
      UDF_FindEntryLocation(korva_.Volume(), h, &e.block);
      korva_.UDF_FindClose(h);
      if (e.name == name) {
        found = e;
        return true;
      }
    } else if (korva_.UDF_GetLastErrorNumber() != 0) {
      reporter_.Fail(path.Display(), ErrorText());
      return false;
    } else {
      return true;
    }
  }
  // A name with wildcard characters cannot be looked up directly: scan its directory.
  std::optional<Entry> parent;
  if (!Stat(path.Parent(), parent)) return false;
  if (!parent || !parent->IsDir()) return true;
  std::vector<Entry> entries;
  if (!List(path.Parent(), entries)) return false;
  for (auto &e : entries)
    if (e.name == name) {
      found = e;
      break;
    }
  return true;
}

bool Session::List(const VolumePath &dir, std::vector<Entry> &entries) {
  entries.clear();
  std::u16string pattern = dir.IsRoot() ? std::u16string() : dir.Engine();
  pattern += u"\\*";
  _UDF_FIND_DATAW data{};
  ClearErrors();
  const int32_t h = korva_.UDF_FindFirstFileW(pattern.c_str(), &data);
  if (h == -1) {
    if (korva_.UDF_GetLastErrorNumber() != 0) {
      reporter_.Fail(dir.Display(), ErrorText());
      return false;
    }
    return true; // an empty directory
  }
  entries.push_back(FromFindData(data));
  UDF_FindEntryLocation(korva_.Volume(), h, &entries.back().block);
  bool ok = true;
  for (;;) {
    if (g_interrupted) {
      reporter_.Fail(dir.Display(), "interrupted");
      ok = false;
      break;
    }
    ClearErrors();
    if (!korva_.UDF_FindNextFileW(h, &data)) {
      if (korva_.UDF_GetLastErrorNumber() != 0) {
        reporter_.Fail(dir.Display(), ErrorText());
        ok = false;
      }
      break;
    }
    entries.push_back(FromFindData(data));
    UDF_FindEntryLocation(korva_.Volume(), h, &entries.back().block);
  }
  korva_.UDF_FindClose(h);
  return ok;
}

const char *MediumName(uint8_t medium) {
  static const char *const names[] = {"unknown",
                                      "CD-ROM",
                                      "CD-R",
                                      "CD-RW",
                                      "DVD-ROM",
                                      "DVD-R",
                                      "DVD-RAM",
                                      "DVD-RW",
                                      "DVD-RW (restricted overwrite)",
                                      "DVD-RW (sequential)",
                                      "DVD+RW",
                                      "DVD+R",
                                      "DVD+R DL",
                                      "DDCD-ROM",
                                      "DDCD-R",
                                      "DDCD-RW"};
  return medium < sizeof names / sizeof names[0] ? names[medium] : "unknown";
}

std::string SystemErrorText(uint32_t code) {
  switch (code) {
  case KORVA_ERROR_FILE_NOT_FOUND:
    return "not found";
  case KORVA_ERROR_ACCESS_DENIED:
    return "access denied (read-only)";
  case KORVA_ERROR_NO_MORE_FILES:
    return "no more files";
  case KORVA_ERROR_HANDLE_DISK_FULL:
  case KORVA_ERROR_DISK_FULL:
    return "disk full";
  case KORVA_ERROR_INVALID_PARAMETER:
    return "invalid parameter";
  case KORVA_ERROR_ALREADY_EXISTS:
    return "already exists";
  default:
    return "system error";
  }
}

bool Session::Describe(const VolumePath &path, Entry &entry) {
  const std::u16string engine = path.Engine();
  KorvaFileInfo info{};
  ClearErrors();
  if (!korva_.UDF_GetFileInfoW(engine.c_str(), &info)) {
    reporter_.Fail(path.Display(), ErrorText());
    return false;
  }
  entry.fileType = info.FileType;
  entry.deviceMajor = info.DeviceMajor;
  entry.deviceMinor = info.DeviceMinor;
  entry.uid = info.Uid;
  entry.gid = info.Gid;
  if (info.FileType != KORVA_FILE_TYPE_SYMLINK) return true;
  uint32_t length = 0;
  korva_.UDF_ReadLinkW(engine.c_str(), nullptr, 0, &length);
  std::vector<KWCHAR> target(size_t(length) + 1);
  if (!korva_.UDF_ReadLinkW(engine.c_str(), target.data(), length + 1, &length)) {
    reporter_.Fail(path.Display(), ErrorText());
    return false;
  }
  entry.linkTarget.assign(target.data(), length);
  return true;
}

char TypeLetter(const Entry &e) {
  if (e.IsDir()) return 'd';
  switch (e.fileType) {
  case 0:
  case KORVA_FILE_TYPE_FILE:
    return '-';
  case KORVA_FILE_TYPE_SYMLINK:
    return 'l';
  case KORVA_FILE_TYPE_CHAR_DEVICE:
    return 'c';
  case KORVA_FILE_TYPE_BLOCK_DEVICE:
    return 'b';
  case KORVA_FILE_TYPE_FIFO:
    return 'p';
  case KORVA_FILE_TYPE_SOCKET:
    return 's';
  default:
    return '?';
  }
}

std::string TypeName(const Entry &e) {
  switch (TypeLetter(e)) {
  case 'd':
    return "directory";
  case '-':
    return "file";
  case 'l':
    return "symbolic link";
  case 'c':
    return "character device";
  case 'b':
    return "block device";
  case 'p':
    return "FIFO";
  case 's':
    return "socket";
  default:
    return "entry of type " + std::to_string(e.fileType);
  }
}

std::string AttributeLetters(uint32_t attributes) {
  std::string s = (attributes & kAttrDirectory) ? "d" : "-";
  s += (attributes & kAttrReadOnly) ? 'r' : '-';
  s += (attributes & kAttrHidden) ? 'h' : '-';
  s += (attributes & kAttrSystem) ? 's' : '-';
  s += (attributes & kAttrArchive) ? 'a' : '-';
  return s;
}

} // namespace korvacli
