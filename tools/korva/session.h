// One run of the korva tool against its target: opening an image or a drive, mounting,
// the directory look-ups every command needs, error texts, and the clean dismount.
#ifndef KORVA_TOOLS_SESSION_H
#define KORVA_TOOLS_SESSION_H

#include <csignal>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "korva/TKorva.hpp"

#include "args.h"
#include "local.h"
#include "text.h"

namespace korvacli {

// Set by SIGINT, SIGTERM and SIGHUP: long operations stop at the next chunk so that the
// volume is still dismounted (a volume left open never mounts again).
extern volatile std::sig_atomic_t g_interrupted;

// Values of the file interface the engine mirrors.
constexpr uint32_t kGenericRead = 0x80000000u;
constexpr uint32_t kGenericWrite = 0x40000000u;
constexpr uint32_t kCreateAlways = 2;
constexpr uint32_t kOpenExisting = 3;
constexpr uint32_t kAttrReadOnly = 0x01;
constexpr uint32_t kAttrHidden = 0x02;
constexpr uint32_t kAttrSystem = 0x04;
constexpr uint32_t kAttrDirectory = 0x10;
constexpr uint32_t kAttrArchive = 0x20;

// Data moves through the engine in chunks of this size: big enough to write whole packets,
// small enough that no file is ever held in memory.
constexpr uint32_t kChunkBytes = 4u << 20;

constexpr uint32_t kNoBlock = 0xFFFFFFFFu;

// A directory entry as the tool uses it.
struct Entry {
  std::u16string name;
  uint32_t attributes = 0;
  uint64_t size = 0;
  uint64_t modified = 0;     // file time
  uint32_t block = kNoBlock; // where its file entry lies: the entry's identity
  // Filled by Session::Describe: the stored file type (0 until described), a symbolic link's
  // target, a device's numbers, and the owner and group (KORVA_ID_NOT_RECORDED when the
  // entry records none).
  uint32_t fileType = 0;
  std::u16string linkTarget;
  uint32_t deviceMajor = 0, deviceMinor = 0;
  uint32_t uid = KORVA_ID_NOT_RECORDED, gid = KORVA_ID_NOT_RECORDED;
  bool IsDir() const { return (attributes & kAttrDirectory) != 0; }
  // A file whose type is known to be other than a plain file (a link, a device, ...).
  bool IsSpecial() const { return !IsDir() && fileType != 0 && fileType != 5; }
};

// One letter for a stored file type, as ls -l shows it.
char TypeLetter(const Entry &e);
// The type in words ("symbolic link", "character device", ...).
std::string TypeName(const Entry &e);

// Messages go to stderr as "korva: COMMAND: SUBJECT: TEXT".
class Reporter {
public:
  explicit Reporter(std::string command) : command_(std::move(command)) {}
  void Fail(const std::string &subject, const std::string &text);
  void Note(const std::string &text);
  bool Failed() const { return failed_; }

private:
  std::string command_;
  bool failed_ = false;
};

class Session {
public:
  Session(const Options &options, Reporter &reporter);
  ~Session();

  // Opens the target and mounts it. With forFormat, an image is created when missing and a
  // volume that is not usable is accepted (formatting replaces it); acceptUnusable accepts
  // such a volume too, without creating anything. readOnly (or --read-only) mounts without
  // writing anything, and accepts a volume that was left open, with a warning.
  bool Mount(bool forFormat, bool acceptUnusable = false, bool readOnly = false);
  // The mounted volume is read-only (asked for, or because the medium cannot be written),
  // or was found left open.
  bool ReadOnly() { return korva_.Volume()->ReadOnly != 0; }
  bool LeftOpen() { return korva_.Volume()->LeftOpen != 0; }
  // The identity of the root directory (see Entry::block).
  uint32_t RootBlock();
  // The reason why a mounted volume is not usable.
  std::string UnusableReason();
  // What the mounted volume is when another writer made it; "" for Korva's own.
  std::string ForeignNote();
  // Why a mounted volume that the mount gave no error for is not usable, from a check.
  std::string DiagnoseUnusable();
  // Dismounts when mounted; reports and returns false when the volume could not be closed.
  bool Dismount();
  // Drive commands: the transport and the selected drive, nothing mounted.
  bool InitializeDrives();
  bool SelectDrive();

  TKorva &Korva() { return korva_; }
  const Options &Opt() const { return options_; }
  Reporter &Report() { return reporter_; }
  bool IsImage() const { return !options_.image.empty(); }
  std::string TargetName() const;
  // Index of the selected drive in the table; -1 when unknown.
  int SelectedIndex() const { return selectedIndex_; }
  // True when the target did not exist before a format created it.
  bool CreatedImage() const { return createdImage_; }

  // The error of the last engine call: "message (error N)", the system error, or "" when
  // neither says anything. Call ClearErrors() before a call whose system error matters.
  std::string ErrorText();
  void ClearErrors();

  // Looks one path up. Returns false when the look-up itself failed (reported); found
  // tells whether the entry exists. The root is a directory.
  bool Stat(const VolumePath &path, std::optional<Entry> &found);
  // The entries of a directory in directory order. Returns false on failure (reported).
  bool List(const VolumePath &dir, std::vector<Entry> &entries);
  // Reads an entry's stored type (and a link's target or a device's numbers) into it; false
  // (reported) when the entry cannot be read.
  bool Describe(const VolumePath &path, Entry &entry);

private:
  bool LockImage(bool shared);
  bool CreateImage();
  bool MountImage(bool forFormat, bool readOnly);

  const Options &options_;
  Reporter &reporter_;
  TKorva korva_;
  bool mounted_ = false;
  bool createdImage_ = false;
  int selectedIndex_ = -1;
  ImageLock lock_;
};

// Display name of a medium kind.
const char *MediumName(uint8_t medium);
// Text for a system error value of the engine (the Windows codes it keeps).
std::string SystemErrorText(uint32_t code);
// "d-h-a" style attribute letters.
std::string AttributeLetters(uint32_t attributes);

} // namespace korvacli

#endif
