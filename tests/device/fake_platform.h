// A scripted stand-in for the operating system and for drives, so the real transports,
// discovery and capability code run without hardware.
#ifndef KORVA_TESTS_DEVICE_FAKE_PLATFORM_H
#define KORVA_TESTS_DEVICE_FAKE_PLATFORM_H

#include <cstdint>
#include <cerrno>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "device/platform.h"

namespace korva::test {

// What a drive answers to one command.
struct Reply {
  uint8_t status = 0; // SCSI status (2 = CHECK CONDITION)
  std::vector<uint8_t> data;
  std::vector<uint8_t> sense;
  int ioctl_error = 0; // errno of a failing SG_IO call itself
  uint8_t host_status = 0;
  uint8_t driver_status = 0;
};

Reply CheckCondition(uint8_t key, uint8_t asc, uint8_t ascq = 0);

// A small MMC drive model: enough state to answer the commands the library sends.
struct ScriptedDrive {
  uint8_t peripheral_type = 5;
  std::string vendor = "KORVA";
  std::string product = "Test Writer";
  std::string revision = "1.00";
  std::vector<uint8_t> page2a_default; // page bytes from the page code on; empty: no page
  std::vector<uint8_t> page2a_current;
  bool block_descriptor = false; // 8-byte block descriptor before the page
  bool just_link = false;        // answers MODE SENSE for page 30h
  uint16_t profile = 0;
  std::map<uint16_t, std::vector<uint8_t>> features; // code -> feature data (after byte 3)
  std::optional<uint8_t> atip_byte6;                 // READ TOC format 4 answered
  std::optional<uint8_t> disc_status;                // READ DISC INFORMATION answered
  bool ready = true;                                 // TEST UNIT READY
  std::set<uint8_t> rejected;                        // opcodes answered ILLEGAL REQUEST
  std::vector<uint8_t> track_info;                   // READ TRACK INFORMATION answer
  std::vector<uint8_t> buffer_capacity;              // READ BUFFER CAPACITY answer
  std::vector<uint8_t> format_capacities;            // READ FORMAT CAPACITIES answer
  std::function<std::optional<Reply>(const uint8_t *cdb)> hook; // answers first when set

  Reply Answer(const uint8_t *cdb, uint32_t allocation);
};

// A page 2Ah with the given ability bytes and speeds (wire order).
std::vector<uint8_t> Page2A(uint8_t read, uint8_t write, uint8_t byte4, uint16_t max_read,
                            uint16_t buffer_kb, uint16_t cur_read, uint16_t max_write,
                            uint16_t cur_write);

// Which way a command's data went, whichever pass-through (SG_IO, or the Windows
// pass-through-direct control code) carried it.
enum DataDirection { kNoData, kToDevice, kFromDevice };

// One command as the platform saw it.
struct SentCommand {
  int handle;
  char letter;
  std::vector<uint8_t> cdb;
  DataDirection direction;
  uint32_t length;
  uint32_t timeout; // milliseconds
  uint8_t max_sense;
  std::vector<uint8_t> data_out;
};

struct FakeDrive {
  char letter = 'D';
  bool optical = true;
  int open_rw_error = 0; // errno when opening read/write fails
  int open_ro_error = 0;
  int address_error = 0; // errno of a failing address query
  TSCSI_ADDRESS address{};
  ScriptedDrive *drive = nullptr;
};

class FakePlatform : public DevicePlatform {
public:
  std::vector<FakeDrive> drives;
  std::map<std::string, std::string> environment;
  std::vector<SentCommand> sent;
  std::vector<std::string> modules_asked;
  std::map<std::string, std::map<std::string, void *>> modules;
  std::map<int, char> open_handles;
  int opens = 0;
  int closes = 0;
  int next_handle = 100;
  std::vector<uint32_t> sleeps;
  std::vector<void *> modules_unloaded;
  std::vector<std::pair<int, bool>> door_requests; // handle, locked
  int door_error = 0;                              // errno of a failing door request
  int failing_waits = 0;                           // the next waits on an event fail
  std::vector<uint32_t> wait_bounds;               // the bound of each wait asked for, in ms
  static constexpr int kWaitAttempts = 2000;

  FakeDrive &AddDrive(char letter, ScriptedDrive *drive, uint8_t host = 0, uint8_t target = 0,
                      uint8_t lun = 0);

  std::string OpticalDriveLetters() override;
  int OpenDrive(char letter, bool writable) override;
  int CloseDrive(int handle) override;
  int SendSgIo(int handle, sg_io_hdr_t *header) override;
  // The Windows pass-through-direct and address-query control codes.
  int IoControl(int handle, uint32_t code, void *in, uint32_t in_length, void *out,
                uint32_t out_length, uint32_t *returned) override;
  int QueryAddress(int handle, TSCSI_ADDRESS *address) override;
  void *LoadModule(const char *file_name) override;
  void *ModuleSymbol(void *module, const char *name) override;
  void UnloadModule(void *module) override { modules_unloaded.push_back(module); }
  int KeepDoorLocked(int handle, bool locked) override {
    door_requests.emplace_back(handle, locked);
    return -door_error;
  }
  const char *Environment(const char *name) override;
  void SleepMs(uint32_t milliseconds) override { sleeps.push_back(milliseconds); }
  // Waits for the event over many spans of the bound the caller asks for: a clock that runs
  // fast (a test run under a clock shifter) must not turn a completion that is on its way
  // into a timeout. Timeouts are staged with failing_waits instead.
  int WaitEvent(int event, uint32_t timeout_ms) override {
    wait_bounds.push_back(timeout_ms);
    if (failing_waits > 0) {
      --failing_waits;
      return -EIO;
    }
    int rc = -ETIMEDOUT;
    for (int attempt = 0; attempt < kWaitAttempts && rc == -ETIMEDOUT; ++attempt)
      rc = DevicePlatform::WaitEvent(event, timeout_ms);
    return rc;
  }
  void UtcTimeOfDay(int *minute, int *second, int *millisecond) override {
    *minute = 7;
    *second = 5;
    *millisecond = 42;
  }

  FakeDrive *Find(char letter);

private:
  // Records one command on an open handle and asks its drive; the data of a read is copied
  // to data (up to the command's length), with the count in copied. Null when the handle is
  // not open.
  std::optional<Reply> Exchange(int handle, SentCommand s, void *data, size_t &copied);
};

// A record wired to a fake platform, the way a caller prepares one (zero-filled).
struct Record {
  TSCSIDevice *dev;
  explicit Record(FakePlatform *platform);
  ~Record();
  Record(const Record &) = delete;
  Record &operator=(const Record &) = delete;
  TSCSIDevice *operator->() { return dev; }
  operator TSCSIDevice *() { return dev; }
};

// Makes a record ready for commands on a drive of the fake platform without a scan.
void UsePassThrough(TSCSIDevice *dev, char letter);

} // namespace korva::test

#endif
