// A scripted ASPI-style module: the two entry points as plain functions over one global
// fake, answering at once or later through the block's eventfd.
#ifndef KORVA_TESTS_DEVICE_FAKE_ASPI_H
#define KORVA_TESTS_DEVICE_FAKE_ASPI_H

#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>
#include <tuple>
#include <vector>

#include "fake_platform.h"

namespace korva::test {

struct AspiSent {
  uint8_t cmd, ha, target, lun, flags, sense_len;
  std::vector<uint8_t> cdb;
};

struct FakeAspi {
  uint32_t support = 0x0101; // completed, one adapter
  uint8_t adapters = 1;
  bool pending = false; // execute commands finish on another thread
  bool hold = false;    // pending commands finish only after Release()
  int aborts = 0;       // abort requests received (they abort nothing)
  std::map<std::tuple<int, int, int>, ScriptedDrive *> devices;
  std::map<std::tuple<int, int, int>, int> drive_numbers; // disk info answers
  std::vector<AspiSent> sent;
  std::vector<std::thread> workers;
  int inquiries = 0;
  std::mutex gate_mutex;
  std::condition_variable gate;
  bool released = false;

  FakeAspi();
  ~FakeAspi();
  // Lets held commands finish and waits until every worker is done.
  void Release();
  // Registers the module's entry points under a file name of the platform.
  void Install(FakePlatform &platform, const std::string &name, bool with_support = true,
               bool with_send = true);
};

} // namespace korva::test

#endif
