// A virtual MMC optical drive: it answers the SCSI commands Korva sends the way a real drive
// would, over a disc stored in a file (see medium.h), with timed formatting and blanking and
// a control surface for injecting faults.
#ifndef KORVA_DEVICE_VDRIVE_VDRIVE_H
#define KORVA_DEVICE_VDRIVE_VDRIVE_H

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "vdrive/medium.h"
#include "vdrive/power_cut.h"

namespace korva::vdrive {

enum class DriveModel : uint8_t {
  kDvdBurner,  // DVD±RW/RAM burner that also writes MRW; the default
  kCdRwBurner, // CD-R/RW burner without DVD or MRW writing
  kDvdReader,  // DVD-ROM reader: reads everything, writes nothing
  kBasicBurner // old CD-RW burner: two speeds, a block descriptor in every mode page answer
};

struct DriveModelInfo {
  DriveModel model;
  const char *name; // name in configuration strings
  const char *vendor, *product, *revision;
  uint8_t read_caps, write_caps; // capabilities page bytes 2 and 3
  bool buffer_underrun_free;
  bool mrw_read, mrw_write;
  bool dvd_plus_read, dvd_plus_write, dvd_plus_dl_read, dvd_plus_dl_write;
  bool dvd_dash_write; // DVD-R/-RW writing (feature 002Fh)
  bool vendor_page;    // answers MODE SENSE page 30h
  bool block_descriptor;
  uint16_t buffer_kb;
  std::vector<uint16_t> cd_read, cd_write, dvd_read, dvd_write; // KB/s, ascending
};

const DriveModelInfo &ModelInfo(DriveModel model);
std::optional<DriveModel> ParseDriveModel(const std::string &name);

enum class DataDirection : uint8_t { kNone, kIn, kOut };

constexpr uint8_t kStatusGood = 0x00;
constexpr uint8_t kStatusCheckCondition = 0x02;

struct CommandResult {
  uint8_t status = kStatusGood;
  std::array<uint8_t, 32> sense{}; // fixed format (70h), all zero after success
  uint32_t residual = 0;           // bytes of the buffer not transferred
  uint8_t sense_key() const { return sense[2] & 0x0F; }
  uint8_t asc() const { return sense[12]; }
  uint8_t ascq() const { return sense[13]; }
};

struct SenseCode {
  uint8_t key, asc, ascq;
};

// How long the timed operations take. Formatting and blanking report NOT READY with a
// progress indication until they end; a background format completes on its own while the
// medium stays loaded.
struct Timings {
  std::chrono::milliseconds format{4000};
  std::chrono::milliseconds blank{3000};
  std::chrono::milliseconds background{8000};
  std::chrono::milliseconds close{0};
  // DVD+RW: stopping the background format and writing the lead-out (close functions 0
  // and 2), which real drives take some seconds for.
  std::chrono::milliseconds lead_out{200};
};

enum class Access : uint8_t { kRead, kWrite };

class VirtualDrive {
public:
  explicit VirtualDrive(DriveModel model = DriveModel::kDvdBurner);
  ~VirtualDrive();
  VirtualDrive(const VirtualDrive &) = delete;
  VirtualDrive &operator=(const VirtualDrive &) = delete;

  // Puts the disc stored at `path` in the drive (tray closed). A missing file becomes a new
  // disc of `kind`, blank unless `formatted`. The previous disc, if any, is taken out.
  // `blocks` is the formattable capacity of a new DVD-RAM disc (0: 4.7 GB; 2.6 GB discs hold
  // 1218960).
  bool InsertMedium(const std::string &path, MediumKind kind, bool formatted = false,
                    std::string *error = nullptr, uint32_t blocks = 0);

  // Runs one command. `buffer` holds `length` bytes to send (kOut) or room for `length`
  // bytes to receive (kIn). Never reads or writes outside the buffer.
  CommandResult Execute(const uint8_t *cdb, size_t cdb_length, DataDirection direction,
                        uint8_t *buffer, uint32_t length);

  // --- Control (tests and tools) ---
  void SetTimings(const Timings &timings);
  // Moves the drive's clock on by `by` without waiting, as if that much time had passed:
  // formats, blanks and background formats progress by it. For hosts whose own clock runs
  // ahead of real time, so that the drive and the host agree on how long it has been.
  void AdvanceClock(std::chrono::milliseconds by) { skew_ms_ += by.count(); }
  // The next `count` commands with this opcode fail with `sense` (default: a hardware error
  // for most commands, an unrecovered read error for reads, a write error for writes).
  void FailNextCommands(uint8_t opcode, unsigned count, std::optional<SenseCode> sense = {});
  // The same after `pass` more commands with this opcode have succeeded: a fault at the
  // n-th of a sequence (a sync point deep inside one call).
  void FailCommandsAfter(uint8_t opcode, unsigned pass, unsigned count);
  // The next `times` reads (or writes) that touch `lba` fail with a medium error.
  void FailSector(uint32_t lba, Access access, unsigned times);
  void ClearFaults();
  // Takes the disc out as a user would with the tray forced open: cached writes are lost.
  void RemoveMedium();
  // Puts the last removed or ejected disc back and closes the tray.
  bool ReinsertMedium(std::string *error = nullptr);
  // With the cache on, written data stays in the drive until SYNCHRONIZE CACHE (or an eject)
  // and a READ before that returns what the medium held before.
  void SetWriteCache(bool enabled);
  // With out-of-order power cuts on (and the write cache off), the drive keeps every write
  // since the last SYNCHRONIZE CACHE apart, and CutPower(keep, torn) leaves the disc with
  // only those keep(i) picks (i in the order sent), the last one kept torn after `torn`
  // sectors when not 0. False when the mode is off or the disc could not be written.
  void SetOutOfOrderPowerCuts(bool enabled);
  size_t UnsyncedWriteCount() const;
  bool CutPower(const std::function<bool(size_t)> &keep, uint32_t torn = 0);
  // With unit attention on, the first command after a disc is loaded (other than INQUIRY,
  // REQUEST SENSE and GET CONFIGURATION) fails with 06/28/00, as drives report a medium
  // change. Off by default.
  void SetUnitAttention(bool enabled);
  // A strict drive behaves as real drives do where they differ from what a lenient one
  // accepts: it forgets the write parameters page (05h) at every load, refuses a packet
  // write to a fixed-packet track whose page does not describe the track (05/64/00),
  // refuses a MODE SELECT whose header carries a mode data length or whose page has PS set,
  // refuses FORMAT UNIT format code 7 (05/24/00) and format options (FOV) with disabled
  // certification on media that have none to disable (05/26/00), answers TEST UNIT READY
  // GOOD while it closes a DVD+RW session, reports becoming ready (02/04/01) for a while
  // after a load and long write in progress (02/04/08) on some writes. Strict is the
  // default; SetStrict(false) gives the lenient drive.
  void SetStrict(bool strict);
  // How many commands after a load the drive answers becoming ready (02/04/01; strict
  // only, 2 by default), and every how many writes it answers long write in progress
  // (02/04/08) without writing, to that command and the next few (0, the default: never).
  void SetBusySpells(unsigned becoming_ready, unsigned write_every);
  // Whether the last MODE SELECT of the MRW page chose the general application area.
  bool MrwGeneralArea() const;
  // Firmware seen in the field that reports a formatted CD-RW as disc type 00h and its
  // track's data mode as 0Fh (unknown) instead of 20h and mode 2.
  void SetOddFirmware(bool odd);
  unsigned CommandCount(uint8_t opcode) const;
  std::vector<uint8_t> CommandLog() const; // opcodes in the order received (last 4096)
  void ResetCommandLog();
  bool MediumPresent() const;
  std::optional<MediumState> State() const;
  const DriveModelInfo &model() const { return model_; }

private:
  struct Context;
  // kClose completes a DVD+RW's background format; kStop only stops it (and writes the
  // lead-out).
  enum class Busy : uint8_t { kNone, kFormat, kBlank, kClose, kStop };
  struct PendingFormat {
    MediumKind kind;
    bool mrw, background;
    uint32_t capacity;
  };

  CommandResult Dispatch(Context &c);
  void Tick();
  void FinishBusy();
  bool Ready(Context &c);
  bool HaveMedium() const { return medium_ && !tray_open_; }
  const MediumInfo *Info() const;
  uint16_t CurrentProfile() const;
  bool CanRead(MediumKind kind) const;
  bool CanWrite(MediumKind kind) const;
  bool SequentialRecording() const;
  uint32_t ReadableBlocks() const;
  void StartBusy(Busy what, std::chrono::milliseconds duration);
  // Starts a timed operation; without `immediate`, answers only once it has ended.
  void RunBusy(Busy what, std::chrono::milliseconds duration, bool immediate);
  // Real time plus what AdvanceClock added.
  std::chrono::steady_clock::time_point Now() const;
  void FlushCache();
  void DropMedium(bool flush);
  void SaveState();
  const std::vector<uint16_t> &ReadSpeeds() const;
  const std::vector<uint16_t> &WriteSpeeds() const;
  uint16_t Clamp(const std::vector<uint16_t> &list, uint32_t requested) const;

  CommandResult TestUnitReady(Context &c);
  CommandResult RequestSense(Context &c);
  CommandResult FormatUnit(Context &c);
  CommandResult Inquiry(Context &c);
  CommandResult StartStop(Context &c);
  CommandResult PreventAllow(Context &c);
  CommandResult ReadFormatCapacities(Context &c);
  CommandResult ReadCapacity(Context &c);
  CommandResult Read10(Context &c);
  CommandResult Write10(Context &c);
  CommandResult SynchronizeCache(Context &c);
  CommandResult ReadToc(Context &c);
  CommandResult GetConfiguration(Context &c);
  CommandResult ReadDiscInformation(Context &c);
  CommandResult ReadTrackInformation(Context &c);
  CommandResult ModeSelect(Context &c);
  CommandResult ModeSense(Context &c);
  CommandResult CloseTrackSession(Context &c);
  CommandResult ReadBufferCapacity(Context &c);
  CommandResult Blank(Context &c);
  CommandResult SetStreaming(Context &c);
  CommandResult SetCdSpeed(Context &c);

  void PowerOnWriteParameters();
  void Loaded();
  std::optional<SenseCode> BusySpell(uint8_t op);
  uint32_t FormatBlocks() const;
  CommandResult RestartBackground(MediumState &s, bool kind_matches);
  CommandResult CloseDvdPlusRw(MediumState &s, uint8_t function, bool immediate);
  std::vector<uint8_t> PageMrw(uint8_t pc) const;
  CommandResult GeneralAreaIO(Context &c, uint32_t lba, uint32_t count);
  bool WriteParametersFitTrack() const;
  std::vector<uint8_t> Page2A(uint8_t pc) const;
  std::vector<uint8_t> Page05(uint8_t pc) const;
  void AppendFeature(std::vector<uint8_t> &out, uint16_t code) const;
  bool HasFeature(uint16_t code) const;
  bool FeatureCurrent(uint16_t code) const;

  mutable std::mutex mu_;
  const DriveModelInfo &model_;
  Timings timings_;
  std::unique_ptr<MediumFile> medium_;
  std::unique_ptr<UnsyncedWrites> unsynced_; // out-of-order power cuts, when on
  std::string last_path_;
  MediumKind last_kind_ = MediumKind::kCdRw;
  bool tray_open_ = false;
  bool prevent_removal_ = false;

  Busy busy_ = Busy::kNone;
  std::chrono::steady_clock::time_point busy_start_, busy_end_;
  PendingFormat pending_format_{};
  std::chrono::steady_clock::time_point last_tick_;
  std::atomic<int64_t> skew_ms_{0};

  std::array<uint8_t, 52> page05_{};
  uint32_t requested_read_ = 0xFFFF, requested_write_ = 0xFFFF;

  bool strict_ = true;
  unsigned becoming_ready_ = 2;
  unsigned not_ready_left_ = 0;
  unsigned long_write_every_ = 0;
  unsigned writes_since_busy_ = 0;
  unsigned long_write_left_ = 0;
  bool mrw_gaa_ = false; // MRW: addresses name the general application area, not the DMA
  bool odd_firmware_ = false;
  bool write_cache_ = false;
  bool unit_attention_ = false;
  bool attention_pending_ = false;
  std::map<uint32_t, std::array<uint8_t, kSectorSize>> cache_;

  struct OpcodeFault {
    unsigned count;
    std::optional<SenseCode> sense;
    unsigned pass = 0; // commands that still succeed first
  };
  std::map<uint8_t, OpcodeFault> opcode_faults_;
  std::map<uint32_t, unsigned> read_faults_, write_faults_;
  std::array<unsigned, 256> counts_{};
  std::vector<uint8_t> log_;
};

} // namespace korva::vdrive

#endif
