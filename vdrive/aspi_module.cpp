// libkorva_vdrive.so: an ASPI-style module over virtual drives. The drives come from the
// KORVA_VDRIVE variable (syntax in config.h), read at the first call and again by
// GetASPI32SupportInfo when its text has changed: one host adapter (0),
// drive i at target i, logical unit 0, drive letter "D" + i. Execute-command blocks complete
// on a worker thread of their drive; the module answers SS_PENDING and, when the command
// has ended, signals the block's event (writes 1 to its eventfd on Linux, SetEvent on
// Windows).
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <unistd.h>
#endif

#include "vdrive/config.h"
#include "korva/aspi.h"

namespace {

using korva::vdrive::Access;
using korva::vdrive::DataDirection;
using korva::vdrive::VirtualDrive;

constexpr uint8_t kSsInvalidCmd = 0x80;
constexpr uint8_t kSsInvalidHa = 0x81;
constexpr uint8_t kSsNoDevice = 0x82;

// One drive and the thread that runs its commands in arrival order.
class Unit {
public:
  explicit Unit(std::unique_ptr<VirtualDrive> drive) : drive_(std::move(drive)) {
    worker_ = std::thread([this] { Run(); });
  }
  ~Unit() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      stop_ = true;
    }
    cv_.notify_all();
    worker_.join();
  }
  void Post(TSRB_ExecSCSICmd *srb) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      queue_.push_back(srb);
    }
    cv_.notify_all();
  }
  VirtualDrive &drive() { return *drive_; }

private:
  void Run() {
    for (;;) {
      TSRB_ExecSCSICmd *srb;
      {
        std::unique_lock<std::mutex> lock(mu_);
        cv_.wait(lock, [this] { return stop_ || !queue_.empty(); });
        if (queue_.empty()) return; // stopping, and nothing left to answer
        srb = queue_.front();
        queue_.pop_front();
      }
      Complete(srb);
    }
  }

  void Complete(TSRB_ExecSCSICmd *srb) {
    const uint8_t flags = srb->SRB_Flags;
    DataDirection dir = DataDirection::kNone;
    if ((flags & (SRB_DIR_IN | SRB_DIR_OUT)) == SRB_DIR_IN)
      dir = DataDirection::kIn;
    else if ((flags & (SRB_DIR_IN | SRB_DIR_OUT)) == SRB_DIR_OUT)
      dir = DataDirection::kOut;
    const size_t cdb_len = std::min<size_t>(srb->SRB_CDBLen, sizeof srb->CDBByte);
    auto r =
        drive_->Execute(srb->CDBByte, cdb_len, dir, static_cast<uint8_t *>(srb->SRB_BufPointer),
                        srb->SRB_BufPointer ? srb->SRB_BufLen : 0);
    srb->SRB_HaStat = 0;
    srb->SRB_TargStat = r.status;
    if (r.status != korva::vdrive::kStatusGood)
      std::memcpy(srb->SenseArea, r.sense.data(),
                  std::min<size_t>(srb->SRB_SenseLen, sizeof srb->SenseArea));
    const TKorvaPostProc event = srb->SRB_PostProc;
    const bool notify = (flags & SRB_EVENT_NOTIFY) != 0;
    // The status byte is written last: a caller that polls it sees a finished block.
    std::atomic_thread_fence(std::memory_order_release);
    reinterpret_cast<volatile uint8_t &>(srb->SRB_Status) =
        r.status == korva::vdrive::kStatusGood ? SS_COMP : SS_ERR;
    if (notify) Signal(event);
  }

  // Completion: SetEvent of the block's event on Windows, 1 written to its eventfd on Linux.
  static void Signal(TKorvaPostProc event) {
#if defined(_WIN32)
    if (event != nullptr) SetEvent(static_cast<HANDLE>(event));
#else
    if (event < 0) return;
    const uint64_t one = 1;
    ssize_t n;
    do
      n = ::write(event, &one, sizeof one);
    while (n < 0 && errno == EINTR);
#endif
  }

  std::unique_ptr<VirtualDrive> drive_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<TSRB_ExecSCSICmd *> queue_;
  bool stop_ = false;
  std::thread worker_;
};

struct Module {
  std::mutex mu;
  bool loaded = false;
  std::string text; // the configuration the drives were built from
  std::string error;
  std::vector<std::shared_ptr<Unit>> units;

  void LoadLocked() {
    units.clear(); // each unit answers what it has queued before it goes
    error.clear();
    loaded = true;
    const char *env = std::getenv("KORVA_VDRIVE");
    text = env ? env : "";
    std::vector<korva::vdrive::DriveConfig> configs;
    if (!env || !korva::vdrive::ParseDriveConfigs(text, &configs, &error)) {
      if (!env) error = "KORVA_VDRIVE is not set";
      std::fprintf(stderr, "korva_vdrive: %s\n", error.c_str());
      return;
    }
    for (size_t i = 0; i < configs.size() && i < 8; ++i) {
      auto drive = korva::vdrive::MakeDrive(configs[i], &error);
      if (!drive) {
        std::fprintf(stderr, "korva_vdrive: %s\n", error.c_str());
        units.clear();
        return;
      }
      units.push_back(std::make_shared<Unit>(std::move(drive)));
    }
  }
  // Builds the drives at the first call.
  void EnsureLoaded() {
    std::lock_guard<std::mutex> lock(mu);
    if (!loaded) LoadLocked();
  }
  // Builds them again when the configuration text has changed since: the library asks for
  // support information whenever it initializes, and a process may point the variable at
  // other discs in between.
  void Refresh() {
    std::lock_guard<std::mutex> lock(mu);
    const char *env = std::getenv("KORVA_VDRIVE");
    if (!loaded || text != (env ? env : "")) LoadLocked();
  }
  std::shared_ptr<Unit> Find(uint8_t ha, uint8_t target, uint8_t lun) {
    std::lock_guard<std::mutex> lock(mu);
    if (ha != 0 || lun != 0 || target >= units.size()) return nullptr;
    return units[target];
  }
  size_t Count() {
    std::lock_guard<std::mutex> lock(mu);
    return units.size();
  }
};

#if defined(_WIN32)
// Windows unloads a DLL (FreeLibrary, process exit) under the loader lock, where joining
// the drives' threads would never end, and it would unmap code they run. The module keeps
// itself loaded and its drives alive for the life of the process instead.
Module &TheModule() {
  static Module *module = [] {
    HMODULE self = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       reinterpret_cast<LPCSTR>(&TheModule), &self);
    return new Module();
  }();
  return *module;
}
#else
Module &TheModule() {
  static Module module;
  return module;
}
#endif

bool ParseNumber(const std::string &word, unsigned long *out, int base = 0) {
  if (word.empty() || word[0] == '-') return false;
  char *end = nullptr;
  errno = 0;
  *out = std::strtoul(word.c_str(), &end, base);
  return *end == '\0' && errno == 0;
}

bool ParseSense(const std::string &word, korva::vdrive::SenseCode *out) {
  unsigned k, a, q;
  char tail;
  if (std::sscanf(word.c_str(), "%x/%x/%x%c", &k, &a, &q, &tail) != 3 || k > 15 || a > 255 ||
      q > 255)
    return false;
  *out = {uint8_t(k), uint8_t(a), uint8_t(q)};
  return true;
}

// The control words, each a handler that checks its own arguments: the word count first,
// then each argument's form. -1 refuses the command.
using ControlWords = std::vector<std::string>;

int FailNext(VirtualDrive &d, const ControlWords &w) {
  unsigned long a = 0, b = 0;
  if ((w.size() != 3 && w.size() != 4) || !ParseNumber(w[1], &a, 16) || a >= 256 ||
      !ParseNumber(w[2], &b))
    return -1;
  std::optional<korva::vdrive::SenseCode> sense;
  if (w.size() == 4) {
    korva::vdrive::SenseCode s;
    if (!ParseSense(w[3], &s)) return -1;
    sense = s;
  }
  d.FailNextCommands(static_cast<uint8_t>(a), static_cast<unsigned>(b), sense);
  return 0;
}

int FailSector(VirtualDrive &d, const ControlWords &w) {
  unsigned long a = 0, b = 0;
  if (w.size() != 3 || !ParseNumber(w[1], &a) || a > 0xFFFFFFFFul || !ParseNumber(w[2], &b))
    return -1;
  d.FailSector(static_cast<uint32_t>(a), w[0] == "fail-read" ? Access::kRead : Access::kWrite,
               static_cast<unsigned>(b));
  return 0;
}

// "on" or "off" as the one argument: 1, 0, or -1 for anything else.
int OnOff(const ControlWords &w) {
  if (w.size() != 2 || (w[1] != "on" && w[1] != "off")) return -1;
  return w[1] == "on" ? 1 : 0;
}

int CountCommands(VirtualDrive &d, const ControlWords &w) {
  unsigned long a = 0;
  if (w.size() != 2 || !ParseNumber(w[1], &a, 16) || a >= 256) return -1;
  return static_cast<int>(d.CommandCount(static_cast<uint8_t>(a)));
}

int SetTimings(VirtualDrive &d, const ControlWords &w) {
  unsigned long f, bl, bg;
  if (w.size() != 4 || !ParseNumber(w[1], &f) || !ParseNumber(w[2], &bl) ||
      !ParseNumber(w[3], &bg))
    return -1;
  korva::vdrive::Timings t;
  t.format = std::chrono::milliseconds(f);
  t.blank = std::chrono::milliseconds(bl);
  t.background = std::chrono::milliseconds(bg);
  d.SetTimings(t);
  return 0;
}

// A table-driven dispatcher: one row per control word.
int Control(Unit &unit, const ControlWords &w) {
  using Handler = int (*)(VirtualDrive &, const ControlWords &);
  // The words that take no argument.
  using Plain = int (*)(VirtualDrive &);
  static const std::map<std::string, Plain> plain = {
      {"clear-faults", [](VirtualDrive &d) { return d.ClearFaults(), 0; }},
      {"remove", [](VirtualDrive &d) { return d.RemoveMedium(), 0; }},
      {"insert", [](VirtualDrive &d) { return d.ReinsertMedium() ? 0 : -1; }},
      {"present", [](VirtualDrive &d) { return d.MediumPresent() ? 1 : 0; }},
      {"reset-log", [](VirtualDrive &d) { return d.ResetCommandLog(), 0; }},
  };
  static const std::map<std::string, Handler> handlers = {
      {"fail-next", FailNext},
      {"fail-read", FailSector},
      {"fail-write", FailSector},
      {"count", CountCommands},
      {"timings", SetTimings},
      {"cache",
       [](VirtualDrive &d, const ControlWords &w) {
         const int on = OnOff(w);
         return on < 0 ? -1 : (d.SetWriteCache(on == 1), 0);
       }},
      {"attention",
       [](VirtualDrive &d, const ControlWords &w) {
         const int on = OnOff(w);
         return on < 0 ? -1 : (d.SetUnitAttention(on == 1), 0);
       }},
  };
  VirtualDrive &d = unit.drive();
  if (w.size() == 1)
    if (auto it = plain.find(w[0]); it != plain.end()) return it->second(d);
  auto it = handlers.find(w[0]);
  return it == handlers.end() ? -1 : it->second(d, w);
}

} // namespace

extern "C" {

KORVA_API uint32_t GetASPI32SupportInfo(void) {
  Module &m = TheModule();
  m.Refresh();
  const size_t n = m.Count();
  if (n == 0) return 0; // nothing configured: no adapter to offer
  return (uint32_t(SS_COMP) << 8) | 1u;
}

KORVA_API uint32_t SendASPI32Command(void *block) {
  if (!block) return SS_ERR;
  Module &m = TheModule();
  m.EnsureLoaded();
  uint8_t *raw = static_cast<uint8_t *>(block);
  switch (raw[0]) {
  case SC_HA_INQUIRY: {
    auto *srb = static_cast<TSRB_HAInquiry *>(block);
    if (srb->SRB_HaId != 0) return srb->SRB_Status = kSsInvalidHa;
    srb->HA_Count = m.Count() ? 1 : 0;
    srb->HA_SCSI_ID = 7;
    std::memcpy(srb->HA_ManagerId, "KORVA VDRIVE    ", 16);
    std::memcpy(srb->HA_Identifier, "VIRTUAL MMC     ", 16);
    std::memset(srb->HA_Unique, 0, sizeof srb->HA_Unique);
    return srb->SRB_Status = SS_COMP;
  }
  case SC_GET_DEV_TYPE: {
    // Command, status, adapter, flags, 4 reserved, target, unit, then the device type.
    if (!m.Find(raw[2], raw[8], raw[9])) return raw[1] = kSsNoDevice;
    raw[10] = 5;
    return raw[1] = SS_COMP;
  }
  case SC_GET_DISK_INFO: {
    auto *srb = static_cast<TSRB_GetDiskInfo *>(block);
    if (!m.Find(srb->SRB_HaId, srb->SRB_Target, srb->SRB_Lun)) return srb->SRB_Status = kSsNoDevice;
    srb->SRB_DriveFlags = 0;
    srb->SRB_Int13HDriveInfo = static_cast<uint8_t>(3 + srb->SRB_Target); // "D" onward
    srb->SRB_Heads = 0;
    srb->SRB_Sectors = 0;
    return srb->SRB_Status = SS_COMP;
  }
  case SC_EXEC_SCSI_CMD: {
    auto *srb = static_cast<TSRB_ExecSCSICmd *>(block);
    std::shared_ptr<Unit> unit = m.Find(srb->SRB_HaId, srb->SRB_Target, srb->SRB_Lun);
    if (!unit) return srb->SRB_Status = kSsNoDevice;
    srb->SRB_Status = SS_PENDING;
    unit->Post(srb);
    return SS_PENDING;
  }
  default:
    return raw[1] = kSsInvalidCmd;
  }
}

// Fault injection and inspection for tests that load the module. `command` is one of:
//   fail-next OP N [K/ASC/ASCQ]   the next N commands with opcode OP (hex) fail
//   fail-read LBA N, fail-write LBA N   the next N reads/writes touching LBA fail
//   clear-faults, remove, insert, present, reset-log, cache on|off, attention on|off, count OP,
//   timings FORMAT_MS BLANK_MS BACKGROUND_MS
// With target -1: "reload" reads KORVA_VDRIVE again (every drive is rebuilt; no command may
// be pending) and "drives" returns the number of drives. Returns -1 for an unknown command
// or target, else 0 or the asked number.
KORVA_API int KorvaVDriveControl(int target, const char *command) {
  if (!command) return -1;
  std::istringstream in(command);
  std::vector<std::string> words;
  for (std::string w; in >> w;)
    words.push_back(w);
  if (words.empty()) return -1;
  Module &m = TheModule();
  if (target < 0) {
    if (words.size() != 1) return -1;
    if (words[0] == "reload") {
      std::lock_guard<std::mutex> lock(m.mu);
      m.LoadLocked();
      return static_cast<int>(m.units.size());
    }
    if (words[0] == "drives") {
      m.EnsureLoaded();
      return static_cast<int>(m.Count());
    }
    return -1;
  }
  m.EnsureLoaded();
  std::shared_ptr<Unit> unit = target <= 255 ? m.Find(0, static_cast<uint8_t>(target), 0) : nullptr;
  return unit ? Control(*unit, words) : -1;
}

} // extern "C"
