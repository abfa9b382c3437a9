// Media of the virtual drive: the kinds it knows, their fixed properties, and the file that
// stores one disc (sector n at byte n x 2048, plus a small text side file with its state).
#ifndef KORVA_DEVICE_VDRIVE_MEDIUM_H
#define KORVA_DEVICE_VDRIVE_MEDIUM_H

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "vdrive/disc_file.h"

namespace korva::vdrive {

constexpr uint32_t kSectorSize = 2048;

enum class MediumKind : uint8_t {
  kCdRom,
  kCdR,
  kCdRw,
  kDvdRom,
  kDvdR,
  kDvdRam,
  kDvdRwSequential,
  kDvdRwRestricted,
  kDvdPlusRw,
  kDvdPlusR,
};

// Fixed properties of a medium kind.
struct MediumInfo {
  MediumKind kind;
  const char *name;       // name in configuration strings and the state file
  uint16_t profile;       // MMC profile number while the medium is loaded
  bool cd;                // CD family (else DVD)
  bool rom;               // pressed: never written by the drive
  bool write_once;        // recordable once, sequentially
  bool rewritable;        // erasable or re-writable
  uint32_t raw_blocks;    // unformatted (or recordable) capacity in sectors
  uint32_t format_blocks; // capacity after a full format for fixed packets / random writing
  uint32_t packet;        // fixed packet size of a formatted medium (sectors)
};

const MediumInfo &InfoOf(MediumKind kind);

// Parses a kind name ("cd-rw", "cdrw", "dvd+rw", "dvd-rw-ro", ...). Empty when unknown.
std::optional<MediumKind> ParseMediumKind(const std::string &name);

// Capacity of a CD-RW formatted for Mount Rainier (defect-managed) writing.
constexpr uint32_t kMrwBlocks = 286400;

// What the side file remembers about a disc.
struct MediumState {
  MediumKind kind = MediumKind::kCdRw;
  bool formatted = false;     // rewritable: formatted for random or fixed-packet writing
  bool mrw = false;           // CD-RW formatted as MRW
  uint8_t background = 0;     // background format status: 0 none, 1 stopped, 2 running, 3 done
  uint64_t background_ms = 0; // work done on the background format so far
  uint32_t capacity = 0;      // formatted capacity (rewritable) or readable capacity (ROM)
  uint32_t recorded = 0;      // sequential recording: next writable address
  bool closed = false;        // sequential recording: finalized, nothing more can be written
  uint32_t size = 0;          // DVD-RAM: formattable capacity when not the kind's (2.6 GB)
};

// The backing store of one disc. Sectors that were never written read as zeros; the file
// grows sparsely, so a 4.7 GB disc costs only what has been written.
class MediumFile {
public:
  // Opens `path`, creating it when missing. A new file (or an existing file without a side
  // file) gets a state from `kind`, `formatted` and `blocks` (DVD-RAM formattable capacity,
  // 0 for the kind's); an existing side file keeps its own.
  static std::unique_ptr<MediumFile> Open(const std::string &path, MediumKind kind, bool formatted,
                                          std::string *error, uint32_t blocks = 0);
  ~MediumFile();
  MediumFile(const MediumFile &) = delete;
  MediumFile &operator=(const MediumFile &) = delete;

  // `count` sectors from `lba`; zeros beyond the end of the file. False on an I/O error.
  bool Read(uint32_t lba, uint32_t count, uint8_t *out) const;
  bool Write(uint32_t lba, uint32_t count, const uint8_t *in);
  // Forgets every recorded sector (truncates the file).
  bool Discard();
  // Sectors the file holds (rounded up).
  uint64_t FileSectors() const;

  MediumState &state() { return state_; }
  const MediumState &state() const { return state_; }
  bool SaveState();
  const std::string &path() const { return path_; }
  static std::string StatePath(const std::string &path) { return path + ".state"; }

private:
  MediumFile(std::string path, std::unique_ptr<DiscFile> file)
      : path_(std::move(path)), file_(std::move(file)) {}
  std::string path_;
  std::unique_ptr<DiscFile> file_;
  MediumState state_;
};

// Text form of a state (the side file's contents) and its parser.
std::string FormatState(const MediumState &state);
std::optional<MediumState> ParseState(const std::string &text);

} // namespace korva::vdrive

#endif
