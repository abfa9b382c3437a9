#include "vdrive/vdrive.h"

#include <algorithm>
#include <cstring>
#include <thread>

#include "udf/byte_order.h"

namespace korva::vdrive {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr SenseCode kNoSense{0x0, 0x00, 0x00};
constexpr SenseCode kInvalidOpcode{0x5, 0x20, 0x00};
constexpr SenseCode kInvalidField{0x5, 0x24, 0x00};
constexpr SenseCode kInvalidParameter{0x5, 0x26, 0x00};
constexpr SenseCode kParameterLength{0x5, 0x1A, 0x00};
constexpr SenseCode kOutOfRange{0x5, 0x21, 0x00};
constexpr SenseCode kInvalidWriteAddress{0x5, 0x21, 0x02};
constexpr SenseCode kCannotWriteMedium{0x5, 0x30, 0x05};
constexpr SenseCode kNotFormatted{0x5, 0x30, 0x10};
constexpr SenseCode kIllegalModeForTrack{0x5, 0x64, 0x00};
constexpr SenseCode kIncompatibleMedium{0x2, 0x30, 0x00};
constexpr SenseCode kSavingUnsupported{0x5, 0x39, 0x00};
constexpr SenseCode kRemovalPrevented{0x5, 0x53, 0x02};
constexpr SenseCode kReadError{0x3, 0x11, 0x00};
constexpr SenseCode kWriteError{0x3, 0x0C, 0x00};
constexpr SenseCode kHardwareError{0x4, 0x44, 0x00};
constexpr SenseCode kFormatInProgress{0x2, 0x04, 0x04};
constexpr SenseCode kOperationInProgress{0x2, 0x04, 0x07};
constexpr SenseCode kBecomingReady{0x2, 0x04, 0x01};
constexpr SenseCode kLongWriteInProgress{0x2, 0x04, 0x08};
// The general application area of an MRW disc: a small area outside defect management,
// stored past the defect-managed area in the medium file.
constexpr uint32_t kMrwGaaBlocks = 8192;

std::array<uint8_t, 32> BuildSense(SenseCode s, int progress, int64_t information) {
  std::array<uint8_t, 32> b{};
  b[0] = 0x70;
  b[2] = s.key;
  b[7] = 24; // additional sense length: the rest of the 32 bytes
  b[12] = s.asc;
  b[13] = s.ascq;
  if (information >= 0) {
    b[0] |= 0x80; // the information field is valid
    StoreBE32(&b[3], static_cast<uint32_t>(information));
  }
  if (progress >= 0) {
    b[15] = 0x80; // sense-key specific field valid: progress indication
    StoreBE16(&b[16], static_cast<uint16_t>(progress));
  }
  return b;
}

CommandResult Check(SenseCode s, int progress = -1, int64_t information = -1) {
  CommandResult r;
  r.status = kStatusCheckCondition;
  r.sense = BuildSense(s, progress, information);
  return r;
}

uint32_t LoadBE24(const uint8_t *p) {
  return (uint32_t(p[0]) << 16) | (uint32_t(p[1]) << 8) | p[2];
}
void StoreBE24(uint8_t *p, uint32_t v) {
  p[0] = uint8_t(v >> 16);
  p[1] = uint8_t(v >> 8);
  p[2] = uint8_t(v);
}

// Address as 00 MM SS FF, counting the 2-second pregap as CD addresses do.
void StoreMsf(uint8_t *p, uint32_t lba) {
  const uint32_t f = lba + 150;
  p[0] = 0;
  p[1] = uint8_t(f / (60 * 75));
  p[2] = uint8_t((f / 75) % 60);
  p[3] = uint8_t(f % 75);
}

size_t CdbLengthOf(uint8_t opcode) {
  switch (opcode >> 5) {
  case 0:
    return 6;
  case 1:
  case 2:
    return 10;
  case 4:
    return 16;
  case 5:
    return 12;
  default:
    return 6;
  }
}

} // namespace

struct VirtualDrive::Context {
  const uint8_t *cdb;
  DataDirection dir;
  uint8_t *buf;
  uint32_t len;
  uint8_t op;

  // Hands back a response, cut to the allocation length and to the buffer.
  CommandResult In(const std::vector<uint8_t> &data, uint32_t allocation) const {
    CommandResult r;
    if (allocation == 0 || len == 0) {
      r.residual = len;
      return r;
    }
    if (dir != DataDirection::kIn) return Check(kInvalidField);
    const uint32_t n = std::min<uint32_t>({static_cast<uint32_t>(data.size()), allocation, len});
    std::memcpy(buf, data.data(), n);
    r.residual = len - n;
    return r;
  }
  // The parameter data a command sends, or null when the buffer cannot hold `need` bytes.
  const uint8_t *Out(uint32_t need) const {
    if (dir != DataDirection::kOut || len < need) return nullptr;
    return buf;
  }
};

VirtualDrive::VirtualDrive(DriveModel model) : model_(ModelInfo(model)) {
  PowerOnWriteParameters();
  last_tick_ = Now();
}

void VirtualDrive::PowerOnWriteParameters() {
  // Write parameters as a drive comes up: track-at-once, mode 1 data, 7 link blocks.
  page05_.fill(0);
  page05_[0] = 0x05;
  page05_[1] = 0x32;
  page05_[2] = static_cast<uint8_t>(0x01 | (model_.buffer_underrun_free ? 0x40 : 0));
  page05_[3] = 0x04;
  page05_[4] = 0x08;
  page05_[5] = 0x07;
  StoreBE16(&page05_[14], 150);
}

// Packet writing in fixed packets of the track's size, with the track's mode and data
// block type (mode 2 form 1 on CD, mode 1 on DVD).
bool VirtualDrive::WriteParametersFitTrack() const {
  const MediumInfo &info = *Info();
  const uint8_t trackMode = info.cd ? 0x07 : 0x04;
  const uint8_t blockType = info.cd ? 10 : 8;
  return (page05_[2] & 0x0F) == 0 && (page05_[3] & 0x20) && (page05_[3] & 0x0F) == trackMode &&
         (page05_[4] & 0x0F) == blockType && LoadBE32(&page05_[10]) == info.packet;
}

void VirtualDrive::SetStrict(bool strict) {
  std::lock_guard<std::mutex> lock(mu_);
  strict_ = strict;
}

void VirtualDrive::SetBusySpells(unsigned becoming_ready, unsigned write_every) {
  std::lock_guard<std::mutex> lock(mu_);
  becoming_ready_ = becoming_ready;
  long_write_every_ = write_every;
  writes_since_busy_ = 0;
  if (not_ready_left_ > becoming_ready) not_ready_left_ = becoming_ready;
}

bool VirtualDrive::MrwGeneralArea() const {
  std::lock_guard<std::mutex> lock(mu_);
  return mrw_gaa_;
}

// A disc was loaded: the drive spins it up and identifies it before it is ready, and a
// strict drive has forgotten the write parameters.
void VirtualDrive::Loaded() {
  attention_pending_ = unit_attention_;
  not_ready_left_ = strict_ ? becoming_ready_ : 0;
  if (strict_) PowerOnWriteParameters();
  last_tick_ = Now();
}

// A busy spell of a strict drive that this command runs into, if any: becoming ready after
// a load, or now and then a long write in progress instead of a write. Commands a drive
// answers without its medium are not affected.
std::optional<SenseCode> VirtualDrive::BusySpell(uint8_t op) {
  switch (op) {
  case 0x12: case 0x03: case 0x46: case 0x5A: case 0x55: case 0x1B: case 0x1E: case 0xBB:
    return std::nullopt;
  default:
    break;
  }
  if (not_ready_left_ > 0 && HaveMedium()) {
    --not_ready_left_;
    return kBecomingReady;
  }
  // A long write keeps the drive busy for the next few commands, longer than a host's
  // plain retries last.
  if (op == 0x2A && long_write_left_ == 0 && long_write_every_ > 0 &&
      ++writes_since_busy_ >= long_write_every_) {
    writes_since_busy_ = 0;
    long_write_left_ = 4;
  }
  if (long_write_left_ > 0) {
    --long_write_left_;
    return kLongWriteInProgress;
  }
  return std::nullopt;
}

void VirtualDrive::SetOddFirmware(bool odd) {
  std::lock_guard<std::mutex> lock(mu_);
  odd_firmware_ = odd;
}

VirtualDrive::~VirtualDrive() {
  std::lock_guard<std::mutex> lock(mu_);
  DropMedium(true);
}

bool VirtualDrive::InsertMedium(const std::string &path, MediumKind kind, bool formatted,
                                std::string *error, uint32_t blocks) {
  std::lock_guard<std::mutex> lock(mu_);
  DropMedium(true);
  auto m = MediumFile::Open(path, kind, formatted, error, blocks);
  if (!m) return false;
  medium_ = std::move(m);
  last_path_ = path;
  last_kind_ = kind;
  tray_open_ = false;
  Loaded();
  return true;
}

void VirtualDrive::DropMedium(bool flush) {
  busy_ = Busy::kNone; // an interrupted format or blank leaves the disc as it was
  if (!medium_) return;
  if (flush) FlushCache();
  cache_.clear();
  if (medium_->state().background == 2) medium_->state().background = 1;
  SaveState();
  medium_.reset();
}

void VirtualDrive::SaveState() {
  if (medium_) medium_->SaveState();
}

// ---- Control ----

void VirtualDrive::SetTimings(const Timings &timings) {
  std::lock_guard<std::mutex> lock(mu_);
  timings_ = timings;
}

void VirtualDrive::FailNextCommands(uint8_t opcode, unsigned count,
                                    std::optional<SenseCode> sense) {
  std::lock_guard<std::mutex> lock(mu_);
  if (count == 0)
    opcode_faults_.erase(opcode);
  else
    opcode_faults_[opcode] = {count, sense};
}

void VirtualDrive::FailCommandsAfter(uint8_t opcode, unsigned pass, unsigned count) {
  std::lock_guard<std::mutex> lock(mu_);
  if (count == 0)
    opcode_faults_.erase(opcode);
  else
    opcode_faults_[opcode] = {count, std::nullopt, pass};
}

void VirtualDrive::FailSector(uint32_t lba, Access access, unsigned times) {
  std::lock_guard<std::mutex> lock(mu_);
  auto &faults = access == Access::kRead ? read_faults_ : write_faults_;
  if (times == 0)
    faults.erase(lba);
  else
    faults[lba] = times;
}

void VirtualDrive::ClearFaults() {
  std::lock_guard<std::mutex> lock(mu_);
  opcode_faults_.clear();
  read_faults_.clear();
  write_faults_.clear();
}

void VirtualDrive::RemoveMedium() {
  std::lock_guard<std::mutex> lock(mu_);
  DropMedium(false);
  tray_open_ = false;
}

bool VirtualDrive::ReinsertMedium(std::string *error) {
  std::unique_lock<std::mutex> lock(mu_);
  if (medium_) {
    if (tray_open_) Loaded();
    tray_open_ = false;
    return true;
  }
  if (last_path_.empty()) {
    if (error) *error = "no medium was inserted before";
    return false;
  }
  const std::string path = last_path_;
  const MediumKind kind = last_kind_;
  lock.unlock();
  return InsertMedium(path, kind, false, error);
}

void VirtualDrive::SetUnitAttention(bool enabled) {
  std::lock_guard<std::mutex> lock(mu_);
  unit_attention_ = enabled;
  if (!enabled) attention_pending_ = false;
}

void VirtualDrive::SetOutOfOrderPowerCuts(bool enabled) {
  std::lock_guard<std::mutex> lock(mu_);
  unsynced_ = enabled ? std::make_unique<UnsyncedWrites>() : nullptr;
}

size_t VirtualDrive::UnsyncedWriteCount() const {
  std::lock_guard<std::mutex> lock(mu_);
  return unsynced_ ? unsynced_->Count() : 0;
}

bool VirtualDrive::CutPower(const std::function<bool(size_t)> &keep, uint32_t torn) {
  std::lock_guard<std::mutex> lock(mu_);
  return unsynced_ && medium_ && unsynced_->Cut(*medium_, keep, torn);
}

void VirtualDrive::SetWriteCache(bool enabled) {
  std::lock_guard<std::mutex> lock(mu_);
  if (!enabled) FlushCache();
  write_cache_ = enabled;
}

unsigned VirtualDrive::CommandCount(uint8_t opcode) const {
  std::lock_guard<std::mutex> lock(mu_);
  return counts_[opcode];
}

std::vector<uint8_t> VirtualDrive::CommandLog() const {
  std::lock_guard<std::mutex> lock(mu_);
  return log_;
}

void VirtualDrive::ResetCommandLog() {
  std::lock_guard<std::mutex> lock(mu_);
  log_.clear();
  counts_.fill(0);
}

bool VirtualDrive::MediumPresent() const {
  std::lock_guard<std::mutex> lock(mu_);
  return HaveMedium();
}

std::optional<MediumState> VirtualDrive::State() const {
  std::lock_guard<std::mutex> lock(mu_);
  if (!medium_) return std::nullopt;
  return medium_->state();
}

// ---- Medium and model facts ----

const MediumInfo *VirtualDrive::Info() const {
  return medium_ ? &InfoOf(medium_->state().kind) : nullptr;
}

bool VirtualDrive::CanRead(MediumKind kind) const {
  const uint8_t r = model_.read_caps;
  switch (kind) {
  case MediumKind::kCdRom:
    return true;
  case MediumKind::kCdR:
    return r & 0x01;
  case MediumKind::kCdRw:
    return r & 0x02;
  case MediumKind::kDvdRom:
  case MediumKind::kDvdRwSequential:
  case MediumKind::kDvdRwRestricted:
    return r & 0x08;
  case MediumKind::kDvdR:
    return r & 0x10;
  case MediumKind::kDvdRam:
    return r & 0x20;
  case MediumKind::kDvdPlusRw:
  case MediumKind::kDvdPlusR:
    return model_.dvd_plus_read;
  }
  return false;
}

bool VirtualDrive::CanWrite(MediumKind kind) const {
  const uint8_t w = model_.write_caps;
  switch (kind) {
  case MediumKind::kCdRom:
  case MediumKind::kDvdRom:
    return false;
  case MediumKind::kCdR:
    return w & 0x01;
  case MediumKind::kCdRw:
    return w & 0x02;
  case MediumKind::kDvdR:
    return w & 0x10;
  case MediumKind::kDvdRam:
    return w & 0x20;
  case MediumKind::kDvdRwSequential:
  case MediumKind::kDvdRwRestricted:
    return model_.dvd_dash_write;
  case MediumKind::kDvdPlusRw:
  case MediumKind::kDvdPlusR:
    return model_.dvd_plus_write;
  }
  return false;
}

uint16_t VirtualDrive::CurrentProfile() const {
  if (!HaveMedium() || !CanRead(medium_->state().kind)) return 0;
  return Info()->profile;
}

// Written front to back: write-once media, and CD-RW or DVD-RW that is not formatted.
bool VirtualDrive::SequentialRecording() const {
  const MediumInfo *info = Info();
  if (!info || info->rom) return false;
  if (info->write_once) return true;
  const MediumState &s = medium_->state();
  return !s.formatted && (s.kind == MediumKind::kCdRw || s.kind == MediumKind::kDvdRwSequential);
}

uint32_t VirtualDrive::ReadableBlocks() const {
  const MediumInfo *info = Info();
  if (!info) return 0;
  const MediumState &s = medium_->state();
  if (info->rom) return s.capacity;
  if (SequentialRecording()) return s.recorded;
  return s.formatted ? s.capacity : 0;
}

const std::vector<uint16_t> &VirtualDrive::ReadSpeeds() const {
  const MediumInfo *info = HaveMedium() ? Info() : nullptr;
  return info && !info->cd ? model_.dvd_read : model_.cd_read;
}

const std::vector<uint16_t> &VirtualDrive::WriteSpeeds() const {
  const MediumInfo *info = HaveMedium() ? Info() : nullptr;
  return info && !info->cd ? model_.dvd_write : model_.cd_write;
}

// The drive runs at the fastest speed of its list that does not exceed the request, or at
// its slowest speed when the request is below every entry.
uint16_t VirtualDrive::Clamp(const std::vector<uint16_t> &list, uint32_t requested) const {
  if (list.empty()) return 0;
  uint16_t best = list.front();
  for (uint16_t s : list)
    if (s <= requested) best = std::max(best, s);
  return best;
}

// ---- Timed operations ----

void VirtualDrive::StartBusy(Busy what, milliseconds duration) {
  busy_ = what;
  busy_start_ = Now();
  busy_end_ = busy_start_ + duration;
}

void VirtualDrive::RunBusy(Busy what, milliseconds duration, bool immediate) {
  StartBusy(what, duration);
  if (immediate) return;
  const auto left = busy_end_ - Now();
  if (left > Clock::duration::zero()) std::this_thread::sleep_for(left);
  FinishBusy();
}

Clock::time_point VirtualDrive::Now() const { return Clock::now() + milliseconds(skew_ms_.load()); }

void VirtualDrive::Tick() {
  const auto now = Now();
  if (busy_ != Busy::kNone && now >= busy_end_) FinishBusy();
  if (HaveMedium() && busy_ == Busy::kNone && medium_->state().background == 2) {
    MediumState &s = medium_->state();
    s.background_ms +=
        static_cast<uint64_t>(std::chrono::duration_cast<milliseconds>(now - last_tick_).count());
    if (s.background_ms >= static_cast<uint64_t>(timings_.background.count())) {
      s.background = 3;
      SaveState();
    }
  }
  last_tick_ = now;
}

void VirtualDrive::FinishBusy() {
  const Busy what = busy_;
  busy_ = Busy::kNone;
  if (!medium_) return;
  MediumState &s = medium_->state();
  if (what == Busy::kFormat) {
    medium_->Discard();
    cache_.clear();
    s.kind = pending_format_.kind;
    s.formatted = true;
    s.mrw = pending_format_.mrw;
    s.capacity = pending_format_.capacity;
    s.background = pending_format_.background ? 2 : 0;
    s.background_ms = 0;
    s.recorded = 0;
    s.closed = false;
  } else if (what == Busy::kBlank) {
    medium_->Discard();
    cache_.clear();
    if (s.kind == MediumKind::kDvdRwRestricted) s.kind = MediumKind::kDvdRwSequential;
    s = MediumState{s.kind};
  } else if (what == Busy::kClose) {
    if (s.background != 0) s.background = 3;
  } else if (what == Busy::kStop) {
    if (s.background == 2) s.background = 1;
  }
  SaveState();
}

bool VirtualDrive::Ready(Context &) {
  return HaveMedium() && CanRead(medium_->state().kind);
}

static CommandResult NotReadyFor(bool have_medium, bool tray_open) {
  if (!have_medium) return Check({0x2, 0x3A, static_cast<uint8_t>(tray_open ? 0x02 : 0x01)});
  return Check(kIncompatibleMedium);
}

void VirtualDrive::FlushCache() {
  if (!medium_) {
    cache_.clear();
    return;
  }
  for (auto &[lba, data] : cache_)
    medium_->Write(lba, 1, data.data());
  cache_.clear();
}

// ---- Dispatch ----

CommandResult VirtualDrive::Execute(const uint8_t *cdb, size_t cdb_length, DataDirection direction,
                                    uint8_t *buffer, uint32_t length) {
  std::unique_lock<std::mutex> lock(mu_);
  Tick();
  if (!cdb || cdb_length == 0) return Check(kInvalidField);
  const uint8_t op = cdb[0];
  ++counts_[op];
  if (log_.size() >= 4096) log_.erase(log_.begin(), log_.begin() + 1024);
  log_.push_back(op);

  // Short CDBs are padded with zeros rather than read past.
  uint8_t full[16] = {};
  std::memcpy(full, cdb, std::min<size_t>(cdb_length, sizeof full));
  if (cdb_length < CdbLengthOf(op)) return Check(kInvalidField);
  if (!buffer) length = 0;

  auto fault = opcode_faults_.find(op);
  if (fault != opcode_faults_.end() && fault->second.pass > 0) {
    --fault->second.pass;
  } else if (fault != opcode_faults_.end()) {
    SenseCode s = op == 0x28 ? kReadError : op == 0x2A ? kWriteError : kHardwareError;
    if (fault->second.sense) s = *fault->second.sense;
    if (--fault->second.count == 0) opcode_faults_.erase(fault);
    return Check(s);
  }

  Context c{full, direction, buffer, length, op};
  CommandResult r = Dispatch(c);
  if (r.status == kStatusGood && direction == DataDirection::kNone) r.residual = length;
  return r;
}

CommandResult VirtualDrive::Dispatch(Context &c) {
  // Commands a drive answers while it formats or blanks.
  switch (c.op) {
  case 0x12:
    return Inquiry(c);
  case 0x03:
    return RequestSense(c);
  case 0x46:
    return GetConfiguration(c);
  default:
    break;
  }
  if (attention_pending_) {
    attention_pending_ = false;
    return Check({0x6, 0x28, 0x00}); // not ready to ready change, medium may have changed
  }
  // Some drives answer TEST UNIT READY while they close a session: only the other
  // commands tell that the drive is still at work.
  const bool closing = busy_ == Busy::kClose || busy_ == Busy::kStop;
  if (busy_ != Busy::kNone && !(strict_ && closing && c.op == 0x00)) {
    const double total = std::chrono::duration<double>(busy_end_ - busy_start_).count();
    const double done = std::chrono::duration<double>(Now() - busy_start_).count();
    const int progress = total <= 0 ? 0 : std::clamp(int(done / total * 65536.0), 0, 65535);
    return Check(busy_ == Busy::kFormat ? kFormatInProgress : kOperationInProgress, progress);
  }
  if (busy_ == Busy::kNone) {
    if (const auto spell = BusySpell(c.op)) return Check(*spell);
  }
  switch (c.op) {
  case 0x00:
    return TestUnitReady(c);
  case 0x04:
    return FormatUnit(c);
  case 0x1B:
    return StartStop(c);
  case 0x1E:
    return PreventAllow(c);
  case 0x23:
    return ReadFormatCapacities(c);
  case 0x25:
    return ReadCapacity(c);
  case 0x28:
    return Read10(c);
  case 0x2A:
    return Write10(c);
  case 0x35:
    return SynchronizeCache(c);
  case 0x43:
    return ReadToc(c);
  case 0x51:
    return ReadDiscInformation(c);
  case 0x52:
    return ReadTrackInformation(c);
  case 0x55:
    return ModeSelect(c);
  case 0x5A:
    return ModeSense(c);
  case 0x5B:
    return CloseTrackSession(c);
  case 0x5C:
    return ReadBufferCapacity(c);
  case 0xA1:
    return Blank(c);
  case 0xB6:
    return SetStreaming(c);
  case 0xBB:
    return SetCdSpeed(c);
  default:
    return Check(kInvalidOpcode);
  }
}

// ---- Commands ----

CommandResult VirtualDrive::TestUnitReady(Context &c) {
  if (!Ready(c)) return NotReadyFor(HaveMedium(), tray_open_);
  return {};
}

CommandResult VirtualDrive::RequestSense(Context &c) {
  if (c.cdb[1] & 0x01) return Check(kInvalidField); // descriptor format is not supported
  std::array<uint8_t, 32> s;
  if (busy_ != Busy::kNone) {
    const double total = std::chrono::duration<double>(busy_end_ - busy_start_).count();
    const double done = std::chrono::duration<double>(Now() - busy_start_).count();
    const int progress = total <= 0 ? 0 : std::clamp(int(done / total * 65536.0), 0, 65535);
    s = BuildSense(busy_ == Busy::kFormat ? kFormatInProgress : kOperationInProgress, progress, -1);
  } else if (!HaveMedium()) {
    s = NotReadyFor(false, tray_open_).sense;
  } else {
    s = BuildSense(kNoSense, -1, -1);
  }
  s[7] = 10; // the classic 18-byte form
  return c.In(std::vector<uint8_t>(s.begin(), s.begin() + 18), c.cdb[4]);
}

CommandResult VirtualDrive::Inquiry(Context &c) {
  if ((c.cdb[1] & 0x01) || c.cdb[2] != 0) return Check(kInvalidField);
  std::vector<uint8_t> d(96, 0);
  d[0] = 0x05; // CD/DVD device
  d[1] = 0x80; // removable medium
  d[2] = 0x05;
  d[3] = 0x02;
  d[4] = static_cast<uint8_t>(d.size() - 5);
  auto put = [&](size_t at, size_t width, const char *text) {
    std::memset(&d[at], ' ', width);
    std::memcpy(&d[at], text, std::min(width, std::strlen(text)));
  };
  put(8, 8, model_.vendor);
  put(16, 16, model_.product);
  put(32, 4, model_.revision);
  return c.In(d, LoadBE16(&c.cdb[3]));
}

CommandResult VirtualDrive::StartStop(Context &c) {
  const uint8_t b4 = c.cdb[4];
  if ((b4 & 0xF0) != 0 || !(b4 & 0x02)) return {}; // power conditions and spin up/down
  if (b4 & 0x01) {                                 // load: close the tray
    if (tray_open_) {
      tray_open_ = false;
      if (medium_) Loaded();
    }
    return {};
  }
  if (prevent_removal_) return Check(kRemovalPrevented);
  if (medium_) {
    FlushCache();
    if (medium_->state().background == 2) medium_->state().background = 1;
    SaveState();
  }
  tray_open_ = true;
  return {};
}

CommandResult VirtualDrive::PreventAllow(Context &c) {
  prevent_removal_ = (c.cdb[4] & 0x01) != 0;
  return {};
}

CommandResult VirtualDrive::ReadFormatCapacities(Context &c) {
  if (!Ready(c)) return NotReadyFor(HaveMedium(), tray_open_);
  const MediumInfo &info = *Info();
  const MediumState &s = medium_->state();
  std::vector<uint8_t> d(4, 0);
  auto add = [&](uint32_t blocks, uint8_t byte4, uint32_t param) {
    const size_t at = d.size();
    d.resize(at + 8);
    StoreBE32(&d[at], blocks);
    d[at + 4] = byte4;
    StoreBE24(&d[at + 5], param);
  };
  // Current or maximum capacity: 1 = unformatted medium, 2 = formatted medium.
  if (info.rewritable && s.formatted)
    add(s.capacity, 0x02, kSectorSize);
  else if (info.rewritable)
    add(s.kind == MediumKind::kDvdRam ? FormatBlocks() : info.format_blocks, 0x01, kSectorSize);
  else if (ReadableBlocks() > 0)
    add(ReadableBlocks(), 0x02, kSectorSize);
  else
    add(info.raw_blocks, 0x01, kSectorSize);
  // Formattable capacities: format type in bits 2-7 of byte 4.
  if (info.rewritable && CanWrite(s.kind)) {
    switch (s.kind) {
    case MediumKind::kCdRw:
      add(info.format_blocks, 0x10 << 2, info.packet);
      if (model_.mrw_write) add(kMrwBlocks, 0x24 << 2, 0);
      break;
    case MediumKind::kDvdRwSequential:
    case MediumKind::kDvdRwRestricted:
      add(info.format_blocks, 0x00 << 2, info.packet);
      add(info.format_blocks, 0x10 << 2, info.packet);
      if (s.kind == MediumKind::kDvdRwSequential) add(info.format_blocks, 0x15 << 2, 0);
      break;
    case MediumKind::kDvdPlusRw:
      add(info.format_blocks, 0x26 << 2, 0);
      break;
    case MediumKind::kDvdRam:
      add(FormatBlocks(), 0x00 << 2, kSectorSize);
      break;
    default:
      break;
    }
  }
  d[3] = static_cast<uint8_t>(d.size() - 4);
  return c.In(d, LoadBE16(&c.cdb[7]));
}

CommandResult VirtualDrive::ReadCapacity(Context &c) {
  if (!Ready(c)) return NotReadyFor(HaveMedium(), tray_open_);
  std::vector<uint8_t> d(8, 0);
  const uint32_t n = ReadableBlocks();
  StoreBE32(&d[0], n ? n - 1 : 0);
  StoreBE32(&d[4], kSectorSize);
  return c.In(d, 8);
}

CommandResult VirtualDrive::Read10(Context &c) {
  if (!Ready(c)) return NotReadyFor(HaveMedium(), tray_open_);
  const uint32_t lba = LoadBE32(&c.cdb[2]);
  const uint32_t count = LoadBE16(&c.cdb[7]);
  if (count == 0) return CommandResult{kStatusGood, {}, c.len};
  const uint64_t need = uint64_t(count) * kSectorSize;
  if (c.dir != DataDirection::kIn || c.len < need) return Check(kInvalidField);
  if (mrw_gaa_ && medium_->state().mrw) return GeneralAreaIO(c, lba, count);
  if (uint64_t(lba) + count > ReadableBlocks()) {
    if (Info()->rewritable && !medium_->state().formatted && !SequentialRecording())
      return Check(kNotFormatted);
    return Check(kOutOfRange, -1, lba);
  }
  for (uint32_t i = 0; i < count; ++i) {
    auto f = read_faults_.find(lba + i);
    if (f != read_faults_.end()) {
      if (--f->second == 0) read_faults_.erase(f);
      return Check(kReadError, -1, lba + i);
    }
  }
  if (!medium_->Read(lba, count, c.buf)) return Check(kReadError, -1, lba);
  return CommandResult{kStatusGood, {}, static_cast<uint32_t>(c.len - need)};
}

CommandResult VirtualDrive::Write10(Context &c) {
  if (!Ready(c)) return NotReadyFor(HaveMedium(), tray_open_);
  const uint32_t lba = LoadBE32(&c.cdb[2]);
  const uint32_t count = LoadBE16(&c.cdb[7]);
  if (count == 0) return CommandResult{kStatusGood, {}, c.len};
  const uint64_t need = uint64_t(count) * kSectorSize;
  const uint8_t *data = c.Out(static_cast<uint32_t>(need));
  if (!data) return Check(kInvalidField);
  if (mrw_gaa_ && medium_->state().mrw) return GeneralAreaIO(c, lba, count);
  const MediumInfo &info = *Info();
  MediumState &s = medium_->state();
  if (!CanWrite(s.kind)) return Check(kCannotWriteMedium);
  const uint64_t end = uint64_t(lba) + count;
  const bool sequential = SequentialRecording();
  if (sequential) {
    if (s.closed || lba != s.recorded) return Check(kInvalidWriteAddress, -1, lba);
    if (end > info.raw_blocks) return Check(kOutOfRange, -1, lba);
  } else if (!s.formatted) {
    return Check(kNotFormatted);
  } else {
    if (end > s.capacity) return Check(kOutOfRange, -1, lba);
    // Fixed-packet media take whole packets only; defect-managed and random-access media
    // (MRW, DVD+RW, DVD-RAM) do their own read-modify-write.
    const bool fixed =
        (s.kind == MediumKind::kCdRw && !s.mrw) || s.kind == MediumKind::kDvdRwRestricted;
    if (fixed && (lba % info.packet != 0 || count % info.packet != 0))
      return Check(kInvalidWriteAddress, -1, lba);
    if (fixed && strict_ && !WriteParametersFitTrack()) return Check(kIllegalModeForTrack, -1, lba);
  }
  for (uint32_t i = 0; i < count; ++i) {
    auto f = write_faults_.find(lba + i);
    if (f != write_faults_.end()) {
      if (--f->second == 0) write_faults_.erase(f);
      return Check(kWriteError, -1, lba + i);
    }
  }
  if (write_cache_) {
    for (uint32_t i = 0; i < count; ++i)
      std::memcpy(cache_[lba + i].data(), data + size_t(i) * kSectorSize, kSectorSize);
    // A full buffer is written out, as a drive must.
    if (cache_.size() * kSectorSize > size_t(model_.buffer_kb) * 1024) FlushCache();
  } else if ((unsynced_ && !unsynced_->Note(*medium_, lba, count, data)) ||
             !medium_->Write(lba, count, data)) {
    return Check(kWriteError, -1, lba);
  }
  if (sequential) {
    s.recorded = static_cast<uint32_t>(end);
    SaveState();
  }
  return CommandResult{kStatusGood, {}, static_cast<uint32_t>(c.len - need)};
}

// Reads and writes of an MRW disc while the drive addresses its general application area:
// a few thousand sectors outside defect management, not the volume's.
CommandResult VirtualDrive::GeneralAreaIO(Context &c, uint32_t lba, uint32_t count) {
  if (uint64_t(lba) + count > kMrwGaaBlocks) return Check(kOutOfRange, -1, lba);
  const bool ok = c.op == 0x28 ? medium_->Read(kMrwBlocks + lba, count, c.buf)
                               : medium_->Write(kMrwBlocks + lba, count, c.buf);
  if (!ok) return Check(c.op == 0x28 ? kReadError : kWriteError, -1, lba);
  return CommandResult{kStatusGood, {}, static_cast<uint32_t>(c.len - count * kSectorSize)};
}

CommandResult VirtualDrive::SynchronizeCache(Context &c) {
  if (!Ready(c)) return NotReadyFor(HaveMedium(), tray_open_);
  FlushCache();
  if (unsynced_) unsynced_->Synced();
  return {};
}

CommandResult VirtualDrive::FormatUnit(Context &c) {
  if (!Ready(c)) return NotReadyFor(HaveMedium(), tray_open_);
  const MediumInfo &info = *Info();
  MediumState &s = medium_->state();
  if (!info.rewritable || !CanWrite(s.kind)) return Check(kCannotWriteMedium);
  const uint8_t b1 = c.cdb[1];
  const uint8_t code = b1 & 0x07;
  PendingFormat p{s.kind, false, false,
                  s.kind == MediumKind::kDvdRam ? FormatBlocks() : info.format_blocks};
  bool immediate = false;
  auto blocks_ok = [&](uint32_t blocks, uint32_t max) {
    return blocks == 0xFFFFFFFF || (blocks > 0 && blocks <= max);
  };

  if (!(b1 & 0x10)) { // no parameter list: the medium's default format
    if (s.kind != MediumKind::kDvdRam) return Check(kInvalidField);
  } else {
    const uint8_t *h = c.Out(4);
    if (!h) return Check(kParameterLength);
    immediate = (h[1] & 0x02) != 0;
    // Disabling certification (DCRT) means something on DVD-RAM only; strict drives refuse
    // it elsewhere.
    if (strict_ && (h[1] & 0xA0) == 0xA0 && s.kind != MediumKind::kDvdRam)
      return Check(kInvalidParameter);
    const uint16_t desc_len = LoadBE16(h + 2);
    if (desc_len < 8) return Check(kInvalidParameter);
    const uint8_t *d = c.Out(12);
    if (!d) return Check(kParameterLength);
    d += 4;
    const uint32_t blocks = LoadBE32(d);
    if (code == 7 && strict_) {
      return Check(kInvalidField); // drives of later generations know format code 1 only
    } else if (code == 7) {
      // The older CD-RW format descriptor: byte 0 holds the session and grow bits, bytes
      // 4-7 the format size; a size of 0 formats the whole disc.
      if (s.kind != MediumKind::kCdRw) return Check(kInvalidField);
      const uint32_t size = LoadBE32(d + 4);
      if (size > info.format_blocks) return Check(kInvalidParameter);
      p.capacity = size == 0 ? info.format_blocks : size / info.packet * info.packet;
      if (p.capacity == 0) return Check(kInvalidParameter);
    } else if (code == 1) {
      const uint8_t type = d[4] >> 2;
      const uint32_t param = LoadBE24(d + 5);
      const bool dvd_rw =
          s.kind == MediumKind::kDvdRwSequential || s.kind == MediumKind::kDvdRwRestricted;
      switch (type) {
      case 0x00: // full format: DVD-RAM, or DVD-RW to restricted overwrite
        if (s.kind == MediumKind::kDvdRam) {
          if (param != 0 && param != kSectorSize) return Check(kInvalidParameter);
        } else if (dvd_rw) {
          p.kind = MediumKind::kDvdRwRestricted;
        } else {
          return Check(kInvalidParameter);
        }
        if (!blocks_ok(blocks, p.capacity)) return Check(kInvalidParameter);
        break;
      case 0x10: // fixed packets: the parameter is the packet size
        if ((s.kind != MediumKind::kCdRw && !dvd_rw) || param != info.packet)
          return Check(kInvalidParameter);
        if (!blocks_ok(blocks, info.format_blocks)) return Check(kInvalidParameter);
        if (blocks != 0xFFFFFFFF) p.capacity = blocks / info.packet * info.packet;
        if (p.capacity == 0) return Check(kInvalidParameter);
        if (dvd_rw) p.kind = MediumKind::kDvdRwRestricted;
        break;
      case 0x15: // quick format to restricted overwrite
        if (!dvd_rw) return Check(kInvalidParameter);
        p.kind = MediumKind::kDvdRwRestricted;
        break;
      case 0x24: // MRW: a short foreground part, then the background format
        if (s.kind != MediumKind::kCdRw || !model_.mrw_write) return Check(kInvalidParameter);
        if (!blocks_ok(blocks, kMrwBlocks)) return Check(kInvalidParameter);
        if (d[7] & 0x01) return RestartBackground(s, s.mrw);
        p.mrw = p.background = true;
        p.capacity = kMrwBlocks;
        break;
      case 0x26: // DVD+RW: the same
        if (s.kind != MediumKind::kDvdPlusRw) return Check(kInvalidParameter);
        if (!blocks_ok(blocks, info.format_blocks)) return Check(kInvalidParameter);
        if (d[7] & 0x01) return RestartBackground(s, true);
        p.background = true;
        break;
      default:
        return Check(kInvalidParameter);
      }
    } else {
      return Check(kInvalidField);
    }
  }

  pending_format_ = p;
  RunBusy(Busy::kFormat, timings_.format, immediate);
  return {};
}

// The restart bit of a format descriptor: a stopped background format (MRW, DVD+RW) goes
// on where it stopped, and the recorded data stays.
CommandResult VirtualDrive::RestartBackground(MediumState &s, bool kind_matches) {
  if (!s.formatted || !kind_matches || s.background == 0) return Check(kInvalidParameter);
  if (s.background == 1) {
    s.background = 2;
    SaveState();
  }
  return {};
}

uint32_t VirtualDrive::FormatBlocks() const {
  const MediumState &s = medium_->state();
  return s.size ? s.size : Info()->format_blocks;
}

CommandResult VirtualDrive::Blank(Context &c) {
  if (!Ready(c)) return NotReadyFor(HaveMedium(), tray_open_);
  const MediumState &s = medium_->state();
  const bool blankable = s.kind == MediumKind::kCdRw || s.kind == MediumKind::kDvdRwSequential ||
                         s.kind == MediumKind::kDvdRwRestricted;
  if (!blankable || !CanWrite(s.kind)) return Check(kCannotWriteMedium);
  const uint8_t type = c.cdb[1] & 0x07;
  if (type > 1) return Check(kInvalidField); // only full and minimal blanking
  RunBusy(Busy::kBlank, timings_.blank, c.cdb[1] & 0x10);
  return {};
}

CommandResult VirtualDrive::CloseTrackSession(Context &c) {
  if (!Ready(c)) return NotReadyFor(HaveMedium(), tray_open_);
  MediumState &s = medium_->state();
  if (!CanWrite(s.kind)) return Check(kCannotWriteMedium);
  const uint8_t function = c.cdb[2] & 0x07;
  const bool immediate = c.cdb[1] & 0x01;
  if (s.kind == MediumKind::kDvdPlusRw) return CloseDvdPlusRw(s, function, immediate);
  if (s.mrw && function == 2) {
    // Closing the session suspends an MRW background format.
    if (s.background == 2) s.background = 1;
    SaveState();
    return {};
  }
  if (SequentialRecording()) {
    if (function < 1 || function > 3) return Check(kInvalidField);
    if (function >= 2 && s.recorded > 0) {
      s.closed = true;
      SaveState();
    }
  } else if (s.kind != MediumKind::kDvdRwRestricted) {
    return Check(kInvalidField); // nothing to close on this medium
  }
  if (timings_.close.count() > 0) RunBusy(Busy::kClose, timings_.close, immediate);
  return {};
}

// DVD+RW close functions: 0 stops the background format where it is, 2 stops it and
// writes the lead-in and a temporary lead-out (the disc reads as a DVD-ROM), 3 completes the
// background format, which takes the time it still needs. Each takes its time; with the
// immediate bit the drive answers at once and reports the operation in progress.
CommandResult VirtualDrive::CloseDvdPlusRw(MediumState &s, uint8_t function, bool immediate) {
  if (function != 0 && function != 2 && function != 3) return Check(kInvalidField);
  if (s.background == 0 || s.background == 3) return {};
  Busy what = Busy::kStop;
  milliseconds duration = function == 2 ? timings_.lead_out : timings_.lead_out / 4;
  if (function == 3) {
    const uint64_t total = static_cast<uint64_t>(timings_.background.count());
    duration = milliseconds(s.background_ms >= total ? 0 : total - s.background_ms);
    what = Busy::kClose;
  } else if (s.background == 2) {
    s.background = 1; // stopped at once; what follows is the lead-out
    SaveState();
  }
  RunBusy(what, duration, immediate);
  return {};
}

CommandResult VirtualDrive::ReadDiscInformation(Context &c) {
  if (!Ready(c)) return NotReadyFor(HaveMedium(), tray_open_);
  if ((c.cdb[1] & 0x07) != 0) return Check(kInvalidField);
  const MediumInfo &info = *Info();
  const MediumState &s = medium_->state();
  std::vector<uint8_t> d(34, 0);
  StoreBE16(&d[0], static_cast<uint16_t>(d.size() - 2));
  uint8_t session = 3, status = 2; // complete session, finalized disc
  if (SequentialRecording()) {
    if (s.closed) {
      session = 3, status = 2;
    } else if (s.recorded > 0) {
      session = 1, status = 1; // incomplete session, appendable disc
    } else {
      session = 0, status = 0; // empty
    }
  } else if (info.rewritable && !s.formatted) {
    session = 0, status = 0;
  } else if (s.kind == MediumKind::kDvdRam) {
    status = 3; // random access, neither blank nor appendable
  }
  d[2] = static_cast<uint8_t>((info.rewritable ? 0x10 : 0) | (session << 2) | status);
  d[3] = 1; // first track on the disc
  d[4] = 1; // sessions
  d[5] = 1; // first and last track of the last session
  d[6] = 1;
  uint8_t flags = s.background & 0x03;
  if (s.kind == MediumKind::kDvdRwRestricted && s.formatted) flags |= 0x20; // unrestricted use
  d[7] = flags;
  d[8] = info.cd && (s.formatted || s.recorded > 0) && !info.rom && !odd_firmware_ ? 0x20 : 0x00;
  if (info.cd) {
    if (status == 0 || status == 1)
      StoreMsf(&d[16], s.recorded); // next lead-in
    else
      std::memset(&d[16], 0xFF, 4);
    StoreMsf(&d[20], info.raw_blocks);
  } else {
    StoreBE32(&d[20], info.raw_blocks);
  }
  return c.In(d, LoadBE16(&c.cdb[7]));
}

CommandResult VirtualDrive::ReadTrackInformation(Context &c) {
  if (!Ready(c)) return NotReadyFor(HaveMedium(), tray_open_);
  const MediumInfo &info = *Info();
  const MediumState &s = medium_->state();
  const uint32_t address = LoadBE32(&c.cdb[2]);
  const bool sequential = SequentialRecording();
  switch (c.cdb[1] & 0x03) {
  case 0: // a logical block address within the one track
    if (address >= std::max(info.raw_blocks, s.capacity)) return Check(kOutOfRange);
    break;
  case 1: // track number; FFh names the invisible track of an open disc
    if (address != 1 && !(address == 0xFF && sequential && !s.closed)) return Check(kInvalidField);
    break;
  case 2: // session number
    if (address != 1) return Check(kInvalidField);
    break;
  default:
    return Check(kInvalidField);
  }
  std::vector<uint8_t> d(48, 0);
  StoreBE16(&d[0], static_cast<uint16_t>(d.size() - 2));
  d[2] = 1;
  d[3] = 1;
  d[5] = info.cd && !info.rom ? 0x07 : 0x04; // CD: incremental data track; else data track
  uint8_t mode = info.cd && !info.rom ? 0x02 : 0x01;
  uint32_t packet = 0, size = 0;
  if (sequential) {
    if (s.recorded == 0) mode |= 0x40; // blank
    mode |= 0x20;                      // variable packets
    size = s.closed ? s.recorded : info.raw_blocks;
    if (!s.closed) {
      d[7] |= 0x01; // next writable address valid
      StoreBE32(&d[12], s.recorded);
      StoreBE32(&d[16], info.raw_blocks - s.recorded);
    }
    if (s.recorded > 0) {
      d[7] |= 0x02;
      StoreBE32(&d[28], s.recorded - 1);
    }
  } else if (info.rom) {
    size = s.capacity;
  } else if (!s.formatted) {
    mode |= 0x40;
    size = info.format_blocks;
  } else {
    size = s.capacity;
    packet = info.packet;
    if (s.kind == MediumKind::kCdRw || s.kind == MediumKind::kDvdRwRestricted)
      mode |= 0x30; // fixed packets
    if (odd_firmware_) mode |= 0x0F;
  }
  d[6] = mode;
  StoreBE32(&d[20], packet);
  StoreBE32(&d[24], size);
  return c.In(d, LoadBE16(&c.cdb[7]));
}

CommandResult VirtualDrive::ReadToc(Context &c) {
  if (!Ready(c)) return NotReadyFor(HaveMedium(), tray_open_);
  const MediumInfo &info = *Info();
  const MediumState &s = medium_->state();
  const uint8_t format = c.cdb[2] & 0x0F;
  const bool msf = c.cdb[1] & 0x02;
  const uint32_t alloc = LoadBE16(&c.cdb[7]);
  std::vector<uint8_t> d;
  auto address = [&](uint8_t *p, uint32_t lba) {
    if (msf)
      StoreMsf(p, lba);
    else
      StoreBE32(p, lba);
  };
  if (format == 4) {
    if (!info.cd || info.rom) return Check(kInvalidField); // only recordable CDs carry an ATIP
    d.assign(28, 0);
    StoreBE16(&d[0], 26);
    d[4] = 0x52; // writing power, reference speed
    d[6] = static_cast<uint8_t>(0x80 | (s.kind == MediumKind::kCdRw ? 0x40 : 0));
    d[8] = 97, d[9] = 26, d[10] = 66;   // lead-in start 97:26:66
    d[12] = 79, d[13] = 59, d[14] = 74; // last possible lead-out start 79:59:74
    return c.In(d, alloc);
  }
  const uint32_t end = ReadableBlocks();
  if (end == 0) return Check(kInvalidField); // a blank disc has no table of contents
  if (format == 0) {
    const uint8_t track = c.cdb[6];
    if (track > 1 && track != 0xAA) return Check(kInvalidField);
    d.assign(4, 0);
    d[2] = 1, d[3] = 1;
    auto entry = [&](uint8_t number, uint32_t lba) {
      uint8_t e[8] = {0, 0x14, number, 0};
      address(e + 4, lba);
      d.insert(d.end(), e, e + 8);
    };
    if (track <= 1) entry(1, 0);
    entry(0xAA, end);
  } else if (format == 1) {
    d.assign(12, 0);
    d[2] = 1, d[3] = 1;
    d[5] = 0x14, d[6] = 1;
    address(&d[8], 0);
  } else {
    return Check(kInvalidField);
  }
  StoreBE16(&d[0], static_cast<uint16_t>(d.size() - 2));
  return c.In(d, alloc);
}

CommandResult VirtualDrive::ReadBufferCapacity(Context &c) {
  std::vector<uint8_t> d(12, 0);
  StoreBE16(&d[0], 10);
  const uint32_t total = uint32_t(model_.buffer_kb) * 1024;
  const uint32_t used = static_cast<uint32_t>(std::min<size_t>(cache_.size() * kSectorSize, total));
  if (c.cdb[1] & 0x01) { // in blocks
    d[5] = 0x01;
    StoreBE32(&d[8], (total - used) / kSectorSize);
  } else {
    StoreBE32(&d[4], total);
    StoreBE32(&d[8], total - used);
  }
  return c.In(d, LoadBE16(&c.cdb[7]));
}

CommandResult VirtualDrive::SetCdSpeed(Context &c) {
  requested_read_ = LoadBE16(&c.cdb[2]);
  requested_write_ = LoadBE16(&c.cdb[4]);
  return {};
}

CommandResult VirtualDrive::SetStreaming(Context &c) {
  if (c.cdb[8] != 0) return Check(kInvalidField); // only performance descriptors
  const uint32_t length = LoadBE16(&c.cdb[9]);
  if (length == 0) return {};
  if (length < 28) return Check(kParameterLength);
  const uint8_t *p = c.Out(length);
  if (!p) return Check(kParameterLength);
  if (p[0] & 0x04) { // restore the drive's defaults
    requested_read_ = requested_write_ = 0xFFFF;
    return {};
  }
  const uint32_t read_size = LoadBE32(p + 12), read_time = LoadBE32(p + 16);
  const uint32_t write_size = LoadBE32(p + 20), write_time = LoadBE32(p + 24);
  if (read_time == 0 || write_time == 0) return Check(kInvalidParameter);
  // Sizes in kilobytes over times in milliseconds.
  requested_read_ =
      static_cast<uint32_t>(std::min<uint64_t>(uint64_t(read_size) * 1000 / read_time, 0xFFFF));
  requested_write_ =
      static_cast<uint32_t>(std::min<uint64_t>(uint64_t(write_size) * 1000 / write_time, 0xFFFF));
  return {};
}

// ---- Mode pages ----

std::vector<uint8_t> VirtualDrive::Page2A(uint8_t pc) const {
  const auto &reads = ReadSpeeds();
  const auto &writes = WriteSpeeds();
  std::vector<uint8_t> p(32 + 4 * writes.size(), 0);
  p[0] = 0x2A;
  p[1] = static_cast<uint8_t>(p.size() - 2);
  if (pc == 1) return p; // nothing in this page can be changed
  p[2] = model_.read_caps;
  p[3] = model_.write_caps;
  p[4] = static_cast<uint8_t>(0x70 | (model_.buffer_underrun_free ? 0x80 : 0));
  p[5] = 0x03;
  p[6] = static_cast<uint8_t>(0x29 | (prevent_removal_ ? 0x02 : 0)); // tray, eject, lock
  const bool defaults = pc == 2;
  const uint16_t max_read = reads.empty() ? 0 : reads.back();
  const uint16_t max_write = writes.empty() ? 0 : writes.back();
  const uint16_t cur_read = defaults ? max_read : Clamp(reads, requested_read_);
  const uint16_t cur_write = defaults ? max_write : Clamp(writes, requested_write_);
  StoreBE16(&p[8], max_read);
  StoreBE16(&p[10], 256);
  StoreBE16(&p[12], model_.buffer_kb);
  StoreBE16(&p[14], cur_read);
  StoreBE16(&p[18], max_write);
  StoreBE16(&p[20], cur_write);
  StoreBE16(&p[28], cur_write);
  StoreBE16(&p[30], static_cast<uint16_t>(writes.size()));
  for (size_t i = 0; i < writes.size(); ++i) // fastest first
    StoreBE16(&p[32 + 4 * i + 2], writes[writes.size() - 1 - i]);
  return p;
}

// The MRW page: byte 3 bit 0 chooses the address space, the defect-managed area (0) or the
// general application area (1). Drives keep it across media.
std::vector<uint8_t> VirtualDrive::PageMrw(uint8_t pc) const {
  std::vector<uint8_t> p(8, 0);
  p[0] = 0x03, p[1] = 0x06;
  if (pc == 1) p[3] = 0x01;
  else if (pc == 0) p[3] = mrw_gaa_ ? 0x01 : 0x00;
  return p;
}

std::vector<uint8_t> VirtualDrive::Page05(uint8_t pc) const {
  std::vector<uint8_t> p(page05_.begin(), page05_.end());
  if (pc == 1) {
    std::fill(p.begin() + 2, p.end(), 0);
    for (int i : {2, 3, 4, 5, 7, 8, 10, 11, 12, 13, 14, 15})
      p[i] = 0xFF;
  } else if (pc == 2) {
    VirtualDrive fresh(model_.model);
    std::copy(fresh.page05_.begin(), fresh.page05_.end(), p.begin());
  }
  return p;
}

CommandResult VirtualDrive::ModeSense(Context &c) {
  const uint8_t pc = c.cdb[2] >> 6;
  const uint8_t page = c.cdb[2] & 0x3F;
  if (pc == 3) return Check(kSavingUnsupported);
  const bool writer = model_.write_caps != 0 || model_.dvd_plus_write;
  std::vector<uint8_t> pages;
  auto add = [&](const std::vector<uint8_t> &p) { pages.insert(pages.end(), p.begin(), p.end()); };
  auto error_page = [&]() {
    std::vector<uint8_t> p(12, 0);
    p[0] = 0x01, p[1] = 0x0A;
    if (pc != 1) p[3] = 0x20, p[8] = 0x20; // read and write retry counts
    return p;
  };
  auto vendor_page = [&]() {
    std::vector<uint8_t> p(16, 0);
    p[0] = 0x30, p[1] = 0x0E;
    if (pc != 1) p[2] = 0x01; // link-free writing available
    return p;
  };
  switch (page) {
  case 0x01:
    add(error_page());
    break;
  case 0x03:
    if (!model_.mrw_read) return Check(kInvalidField);
    add(PageMrw(pc));
    break;
  case 0x05:
    if (!writer) return Check(kInvalidField);
    add(Page05(pc));
    break;
  case 0x2A:
    add(Page2A(pc));
    break;
  case 0x30:
    if (!model_.vendor_page) return Check(kInvalidField);
    add(vendor_page());
    break;
  case 0x3F:
    add(error_page());
    if (writer) add(Page05(pc));
    add(Page2A(pc));
    if (model_.vendor_page) add(vendor_page());
    break;
  default:
    return Check(kInvalidField);
  }
  const bool descriptor = model_.block_descriptor && !(c.cdb[1] & 0x08);
  std::vector<uint8_t> d(8, 0);
  if (descriptor) {
    d[7] = 8;
    uint8_t b[8] = {};
    StoreBE24(b + 1, std::min<uint32_t>(HaveMedium() ? ReadableBlocks() : 0, 0xFFFFFF));
    StoreBE24(b + 5, kSectorSize);
    d.insert(d.end(), b, b + 8);
  }
  d.insert(d.end(), pages.begin(), pages.end());
  StoreBE16(&d[0], static_cast<uint16_t>(d.size() - 2));
  return c.In(d, LoadBE16(&c.cdb[7]));
}

CommandResult VirtualDrive::ModeSelect(Context &c) {
  if (!(c.cdb[1] & 0x10)) return Check(kInvalidField); // page format is required
  if (c.cdb[1] & 0x01) return Check(kSavingUnsupported);
  const uint32_t length = LoadBE16(&c.cdb[7]);
  if (length == 0) return {};
  const uint8_t *p = c.Out(length);
  if (!p || length < 8) return Check(kParameterLength);
  const uint32_t bdl = LoadBE16(p + 6);
  // The mode data length is reserved in MODE SELECT; strict drives check it.
  if (strict_ && LoadBE16(p) != 0) return Check(kInvalidParameter);
  uint32_t at = 8 + bdl;
  if (at > length) return Check(kParameterLength);
  std::array<uint8_t, 52> staged = page05_;
  bool gaa = mrw_gaa_;
  while (at < length) {
    if (length - at < 2) return Check(kParameterLength);
    const uint8_t code = p[at] & 0x3F;
    const uint32_t page_len = p[at + 1];
    if (at + 2 + page_len > length) return Check(kParameterLength);
    const uint8_t *pg = p + at;
    if (strict_ && (p[at] & 0x80)) return Check(kInvalidParameter); // PS is reserved here
    if (code == 0x05) {
      const bool writer = model_.write_caps != 0 || model_.dvd_plus_write;
      if (!writer || page_len < 0x0E) return Check(kInvalidParameter);
      const uint8_t write_type = pg[2] & 0x0F;
      const uint8_t block_type = pg[4] & 0x0F;
      const bool test_write = pg[2] & 0x10;
      const bool fixed = pg[3] & 0x20;
      static constexpr uint8_t kBlockTypes[] = {0, 1, 2, 3, 8, 10, 11, 12, 13};
      if (write_type > 4 ||
          std::find(std::begin(kBlockTypes), std::end(kBlockTypes), block_type) ==
              std::end(kBlockTypes) ||
          (test_write && !(model_.write_caps & 0x04)) ||
          (write_type == 0 && fixed && LoadBE32(pg + 10) == 0))
        return Check(kInvalidParameter);
      const uint32_t n = std::min<uint32_t>(page_len + 2, staged.size());
      std::copy(pg + 2, pg + n, staged.begin() + 2);
    } else if (code == 0x03 && model_.mrw_read) {
      if (page_len < 2) return Check(kInvalidParameter);
      gaa = (pg[3] & 0x01) != 0;
    } else if (code != 0x01) {
      return Check(kInvalidParameter); // not a changeable page
    }
    at += 2 + page_len;
  }
  page05_ = staged;
  mrw_gaa_ = gaa;
  return {};
}

// ---- Features ----

bool VirtualDrive::HasFeature(uint16_t code) const {
  const uint8_t r = model_.read_caps, w = model_.write_caps;
  switch (code) {
  case 0x0000:
  case 0x0001:
  case 0x0002:
  case 0x0003:
  case 0x0010:
  case 0x001D:
  case 0x001E:
  case 0x0107:
    return true;
  case 0x001F:
    return r & 0x08;
  case 0x0020:
  case 0x0024:
    return (w & 0x20) || model_.mrw_write;
  case 0x0021:
    return (w & 0x03) || model_.dvd_dash_write || (w & 0x10);
  case 0x0023:
    return (w & 0x02) || (w & 0x20) || model_.dvd_plus_write || model_.dvd_dash_write;
  case 0x0026:
  case 0x002F:
    return model_.dvd_dash_write;
  case 0x0028:
    return model_.mrw_read;
  case 0x002A:
  case 0x002B:
    return model_.dvd_plus_read;
  case 0x002D:
    return w & 0x03;
  case 0x003B:
    return model_.dvd_plus_dl_read;
  default:
    return false;
  }
}

bool VirtualDrive::FeatureCurrent(uint16_t code) const {
  if (code <= 0x0003 || code == 0x0107) return true;
  if (CurrentProfile() == 0) return false;
  const MediumState &s = medium_->state();
  const MediumInfo &info = *Info();
  const bool writable = CanWrite(s.kind);
  switch (code) {
  case 0x0010:
    return ReadableBlocks() > 0;
  case 0x001D:
  case 0x001E:
    return info.cd;
  case 0x001F:
    return !info.cd;
  case 0x0020:
  case 0x0024:
    return writable && (s.kind == MediumKind::kDvdRam || s.mrw);
  case 0x0021:
    return writable && SequentialRecording();
  case 0x0023:
    return writable && info.rewritable;
  case 0x0026:
    return writable && s.kind == MediumKind::kDvdRwRestricted;
  case 0x0028:
    return s.kind == MediumKind::kCdRw;
  case 0x002A:
    return s.kind == MediumKind::kDvdPlusRw;
  case 0x002B:
    return s.kind == MediumKind::kDvdPlusR;
  case 0x002D:
    return writable && info.cd;
  case 0x002F:
    return writable && (s.kind == MediumKind::kDvdR || s.kind == MediumKind::kDvdRwSequential ||
                        s.kind == MediumKind::kDvdRwRestricted);
  default:
    return false;
  }
}

void VirtualDrive::AppendFeature(std::vector<uint8_t> &out, uint16_t code) const {
  std::vector<uint8_t> data;
  uint8_t version = 0;
  const uint8_t w = model_.write_caps;
  const bool dvd_medium = HaveMedium() && !Info()->cd;
  switch (code) {
  case 0x0000: {
    static constexpr MediumKind kOrder[] = {MediumKind::kDvdPlusR,
                                            MediumKind::kDvdPlusRw,
                                            MediumKind::kDvdRwSequential,
                                            MediumKind::kDvdRwRestricted,
                                            MediumKind::kDvdRam,
                                            MediumKind::kDvdR,
                                            MediumKind::kDvdRom,
                                            MediumKind::kCdRw,
                                            MediumKind::kCdR,
                                            MediumKind::kCdRom};
    const uint16_t current = CurrentProfile();
    for (MediumKind k : kOrder) {
      if (!CanRead(k)) continue;
      uint8_t e[4] = {};
      StoreBE16(e, InfoOf(k).profile);
      e[2] = InfoOf(k).profile == current ? 0x01 : 0x00;
      data.insert(data.end(), e, e + 4);
    }
    break;
  }
  case 0x0001:
    version = 2;
    data = {0x00, 0x00, 0x00, 0x02, 0x01, 0x00, 0x00, 0x00}; // ATAPI, device busy events
    break;
  case 0x0002:
    version = 1, data = {0x02, 0, 0, 0};
    break;
  case 0x0003:
    data = {0x29, 0, 0, 0};
    break; // tray, eject, lock
  case 0x0010:
    data.assign(8, 0);
    StoreBE32(&data[0], kSectorSize);
    StoreBE16(&data[4], dvd_medium ? 16 : 1);
    break;
  case 0x001E:
    version = 2, data = {0, 0, 0, 0};
    break;
  case 0x001F:
    version = 1, data = {0, 0, 0, 0};
    break;
  case 0x0020:
    version = 1;
    data.assign(12, 0);
    StoreBE32(&data[0], HaveMedium() && ReadableBlocks() ? ReadableBlocks() - 1 : 0);
    StoreBE32(&data[4], kSectorSize);
    StoreBE16(&data[8], dvd_medium ? 16 : 32);
    data[10] = 0x01;
    break;
  case 0x0021:
    version = 1;
    data = {0x00, 0x01, static_cast<uint8_t>(model_.buffer_underrun_free ? 0x01 : 0), 0x00};
    break;
  case 0x0028:
    version = 1;
    data = {static_cast<uint8_t>((model_.mrw_write ? 0x01 : 0) |
                                 (model_.mrw_read && model_.dvd_plus_read ? 0x02 : 0) |
                                 (model_.mrw_write && model_.dvd_plus_write ? 0x04 : 0)),
            0, 0, 0};
    break;
  case 0x002A:
  case 0x002B:
    data = {static_cast<uint8_t>(model_.dvd_plus_write ? 0x01 : 0), 0, 0, 0};
    break;
  case 0x002D:
    version = 2;
    data = {static_cast<uint8_t>((model_.buffer_underrun_free ? 0x40 : 0) | (w & 0x04) |
                                 ((w & 0x02) ? 0x02 : 0)),
            0, 0x00, 0x01};
    break;
  case 0x002F:
    version = 1;
    data = {static_cast<uint8_t>((model_.buffer_underrun_free ? 0x40 : 0) | (w & 0x04) | 0x02), 0,
            0, 0};
    break;
  case 0x003B:
    data = {static_cast<uint8_t>(model_.dvd_plus_dl_write ? 0x01 : 0), 0, 0, 0};
    break;
  case 0x0107:
    version = 3, data = {0x0F, 0, 0, 0};
    break;
  default:
    break; // 001Dh, 0023h, 0024h, 0026h carry no data
  }
  const bool persistent = code <= 0x0003;
  uint8_t h[4];
  StoreBE16(h, code);
  h[2] = static_cast<uint8_t>((version << 2) | (persistent ? 0x02 : 0) |
                              (FeatureCurrent(code) ? 0x01 : 0));
  h[3] = static_cast<uint8_t>(data.size());
  out.insert(out.end(), h, h + 4);
  out.insert(out.end(), data.begin(), data.end());
}

CommandResult VirtualDrive::GetConfiguration(Context &c) {
  const uint8_t rt = c.cdb[1] & 0x03;
  if (rt == 3) return Check(kInvalidField);
  const uint16_t start = LoadBE16(&c.cdb[2]);
  std::vector<uint8_t> d(8, 0);
  StoreBE16(&d[6], CurrentProfile());
  static constexpr uint16_t kFeatures[] = {0x0000, 0x0001, 0x0002, 0x0003, 0x0010, 0x001D, 0x001E,
                                           0x001F, 0x0020, 0x0021, 0x0023, 0x0024, 0x0026, 0x0028,
                                           0x002A, 0x002B, 0x002D, 0x002F, 0x003B, 0x0107};
  for (uint16_t f : kFeatures) {
    if (!HasFeature(f)) continue;
    if (rt == 2 ? f != start : f < start) continue;
    if (rt == 1 && !FeatureCurrent(f)) continue;
    AppendFeature(d, f);
  }
  StoreBE32(&d[0], static_cast<uint32_t>(d.size() - 4));
  return c.In(d, LoadBE16(&c.cdb[7]));
}

} // namespace korva::vdrive
