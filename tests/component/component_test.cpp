// TKorva: defaults, forwarding to the engine on images and on the virtual drive, the
// completion events, and what destruction leaves on the medium.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "korva/TKorva.hpp"
#include <filesystem>
#include <random>

namespace {

// A scratch directory, removed with its contents.
class TempDir {
public:
  TempDir() {
    std::error_code ec;
    const auto base = std::filesystem::temp_directory_path(ec);
    std::random_device random;
    for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
      const auto dir = base / ("korva-component-" + std::to_string(random()));
      if (std::filesystem::create_directory(dir, ec)) path_ = dir.generic_string();
    }
  }
  ~TempDir() {
    // What a drive of the module still holds open stays where the system keeps it.
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  std::string File(const std::string &name) const { return path_ + "/" + name; }

private:
  std::string path_;
};

// Records one completion event: who called, from which thread, with what result.
struct EventProbe {
  std::mutex m;
  std::condition_variable cv;
  int calls = 0;
  bool failed = false;
  TKorva *sender = nullptr;
  std::thread::id thread;

  void operator()(TKorva *s, bool f) {
    std::lock_guard<std::mutex> lock(m);
    ++calls;
    failed = f;
    sender = s;
    thread = std::this_thread::get_id();
    cv.notify_all();
  }
  // Waits up to `timeout` for the call, then, should a clock that runs fast (a run under a
  // clock shifter) have cut that short, for ten million rounds of yielding the processor: a
  // count of attempts, not the clock alone, bounds the wait.
  bool WaitForCall(std::chrono::seconds timeout = std::chrono::seconds(30)) {
    std::unique_lock<std::mutex> lock(m);
    if (cv.wait_for(lock, timeout, [&] { return calls > 0; })) return true;
    for (int attempt = 0; attempt < 10000000 && calls == 0; ++attempt) {
      lock.unlock();
      std::this_thread::yield();
      lock.lock();
    }
    return calls > 0;
  }
};

// Formats the mounted target of k and waits for OnFormatDone.
bool FormatAndWait(TKorva &k, const char *label, bool quick, EventProbe &probe) {
  k.OnFormatDone = [&probe](TKorva *s, bool f) { probe(s, f); };
  if (k.UDF_FormatVolume(label, quick ? -1 : 0) == 0) return false;
  return probe.WaitForCall() && !probe.failed;
}

std::u16string W(const char *s) {
  std::u16string out;
  while (*s)
    out.push_back(static_cast<char16_t>(*s++));
  return out;
}

TEST(Component, FreshComponentDefaultsAndModeRules) {
  TKorva k;
  EXPECT_EQ(k.UDFMode(), umRewritable);
  EXPECT_TRUE(k.PreferCDMRWFormat());
  ASSERT_NE(k.Volume(), nullptr);

  // Write-once cannot be chosen once the component exists; everything still forwards.
  k.SetUDFMode(umWriteOnce);
  EXPECT_EQ(k.UDFMode(), umRewritable);
  TUDFRewritableVolume *record = k.Volume();
  k.SetUDFMode(umRewritable); // no second record
  EXPECT_EQ(k.Volume(), record);
  k.SetPreferCDMRWFormat(false);
  EXPECT_FALSE(k.PreferCDMRWFormat());
  EXPECT_EQ(k.GetPreferCDMRWFormat(), KFALSE);
  k.SetPreferCDMRWFormat(true);
  EXPECT_EQ(k.GetPreferCDMRWFormat(), KTRUE);

  EXPECT_EQ(k.Version(), std::string(GetKORVAVersion()));
  EXPECT_FALSE(k.Version().empty());

  // Nothing initialised: an empty device table, and drive operations refused with 18.
  EXPECT_EQ(k.GetDeviceCount(), 0);
  EXPECT_EQ(k.SelectDevice(0), KFALSE);
  EXPECT_EQ(k.UDF_GetLastErrorNumber(), 0);
  EXPECT_EQ(k.GetDeviceName(0), "");
  EXPECT_EQ(k.LockMedium(), KFALSE);
  EXPECT_EQ(k.UDF_GetLastErrorNumber(), 18);
  EXPECT_STREQ(k.UDF_GetLastErrorDescription(), "Device is not selected.");
  EXPECT_EQ(k.EraseDisc(true), KFALSE); // forwards: refused by the engine, not by the mode
  EXPECT_EQ(k.UDF_GetLastErrorNumber(), 18);
  EXPECT_EQ(k.UDF_DismountVolume(), KFALSE);
  EXPECT_EQ(k.UDF_GetLastErrorNumber(), 17);
  EXPECT_EQ(k.UDF_GetFileCount(), 0u);
  EXPECT_EQ(k.UDF_GetLastErrorNumber(), 10);
}

TEST(Component, RefusedFormatNeverCallsTheHandler) {
  TKorva k;
  int calls = 0;
  k.OnFormatDone = [&](TKorva *, bool) { ++calls; };
  EXPECT_EQ(k.UDF_FormatVolume("X", 0), 0); // nothing mounted
  EXPECT_EQ(k.UDF_GetLastErrorNumber(), 17);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(calls, 0);
}

TEST(Component, ForwardsEveryVolumeOperationOnAnImage) {
  TempDir dir;
  const std::string image = dir.File("a.iso");
  TKorva k;
  ASSERT_EQ(k.UDF_MountImage(image.c_str(), 8), KTRUE);
  EXPECT_EQ(k.UDF_GetVolumeCompatibility(), KFALSE); // new and empty

  EventProbe probe;
  ASSERT_TRUE(FormatAndWait(k, "COMP", false, probe));
  EXPECT_EQ(probe.calls, 1);
  EXPECT_EQ(probe.sender, &k);
  EXPECT_NE(probe.thread, std::this_thread::get_id());
  EXPECT_EQ(k.UDF_GetPhysicalFormattingPercentage(), 100);
  ASSERT_EQ(k.UDF_GetVolumeCompatibility(), KTRUE);
  const uint32_t total = k.UDF_GetTotalBlocksOfLogicalVolume();
  const uint32_t freeAtStart = k.UDF_GetFreeBlocksOfLogicalVolume();
  EXPECT_GT(total, freeAtStart);
  EXPECT_EQ(k.UDF_GetDirCount(), 1u);
  EXPECT_EQ(k.UDF_GetFileCount(), 0u);

  // Directories through both string forms.
  ASSERT_EQ(k.UDF_CreateDirectory("\\", "docs"), KTRUE);
  ASSERT_EQ(k.UDF_CreateDirectoryW(u"\\docs", u"d\u00e9j\u00e0"), KTRUE);
  EXPECT_EQ(k.UDF_GetDirCount(), 3u);
  EXPECT_EQ(k.UDF_CreateDirectory("\\", "docs"), KFALSE);
  EXPECT_EQ(k.UDF_GetLastErrorNumber(), 6);
  EXPECT_NE(k.UDF_GetLastErrorDescriptionW(), nullptr);

  // A file written in two calls and read back.
  std::vector<uint8_t> data(70000);
  for (size_t i = 0; i < data.size(); ++i)
    data[i] = static_cast<uint8_t>(i * 7 + 3);
  UDF_HANDLE h = k.UDF_CreateFileW(u"\\docs\\data.bin", UDF_GENERIC_WRITE, UDF_CREATE_NEW, 0);
  ASSERT_NE(h, UDF_INVALID_HANDLE);
  uint32_t done = 0;
  ASSERT_EQ(k.UDF_WriteFile(h, data.data(), 50000, &done), KTRUE);
  EXPECT_EQ(done, 50000u);
  ASSERT_EQ(k.UDF_WriteFile(h, data.data() + 50000, 20000, &done), KTRUE);
  EXPECT_EQ(k.UDF_CloseHandle(h), KTRUE);
  EXPECT_EQ(k.UDF_CloseHandle(h), KFALSE);

  h = k.UDF_CreateFile("\\docs\\data.bin", UDF_GENERIC_READ, UDF_OPEN_EXISTING, 0);
  ASSERT_NE(h, UDF_INVALID_HANDLE);
  std::vector<uint8_t> back(data.size() + 10);
  ASSERT_EQ(k.UDF_ReadFile(h, back.data(), static_cast<uint32_t>(back.size()), &done), KTRUE);
  EXPECT_EQ(done, data.size());
  back.resize(done);
  EXPECT_EQ(back, data);
  // Writing through a read handle is refused with the engine's own number.
  EXPECT_EQ(k.UDF_WriteFile(h, data.data(), 1, &done), KFALSE);
  EXPECT_EQ(k.UDF_GetLastErrorNumber(), 8);
  k.UDF_CloseHandle(h);
  EXPECT_EQ(k.UDF_GetFileCount(), 1u);
  EXPECT_LT(k.UDF_GetFreeBlocksOfLogicalVolume(), freeAtStart);

  // Find, wide and 8-bit.
  _UDF_FIND_DATAW w{};
  UDF_HANDLE f = k.UDF_FindFirstFileW(u"\\docs\\*", &w);
  ASSERT_NE(f, UDF_INVALID_HANDLE);
  std::vector<std::u16string> names{w.cFileName};
  while (k.UDF_FindNextFileW(f, &w))
    names.push_back(w.cFileName);
  EXPECT_EQ(k.UDF_FindClose(f), KTRUE);
  EXPECT_EQ(names, (std::vector<std::u16string>{u"d\u00e9j\u00e0", u"data.bin"}));
  _UDF_FIND_DATAA a{};
  f = k.UDF_FindFirstFile("\\docs\\data.bin", &a);
  ASSERT_NE(f, UDF_INVALID_HANDLE);
  EXPECT_STREQ(a.cFileName, "data.bin");
  EXPECT_EQ(a.nFileSizeLow, data.size());
  EXPECT_EQ(k.UDF_FindNextFile(f, &a), KFALSE);
  EXPECT_EQ(k.UDF_FindClose(f), KTRUE);
  EXPECT_EQ(k.UDF_FindClose(f), KFALSE);

  // Removal through both forms.
  EXPECT_EQ(k.UDF_RemoveDirectory("\\docs"), KFALSE); // not empty
  EXPECT_EQ(k.UDF_GetLastErrorNumber(), 23);
  EXPECT_EQ(k.UDF_DeleteFile("\\docs\\data.bin"), KTRUE);
  EXPECT_EQ(k.UDF_DeleteFileW(u"\\docs\\data.bin"), KFALSE);
  EXPECT_EQ(k.UDF_RemoveDirectoryW(u"\\docs\\d\u00e9j\u00e0"), KTRUE);
  EXPECT_EQ(k.UDF_RemoveDirectory("\\docs"), KTRUE);
  EXPECT_EQ(k.UDF_GetFileCount(), 0u);
  EXPECT_EQ(k.UDF_GetDirCount(), 1u);
  EXPECT_EQ(k.UDF_GetFreeBlocksOfLogicalVolume(), freeAtStart);

  EXPECT_EQ(k.UDF_DismountVolume(), KTRUE);
  EXPECT_EQ(k.UDF_DismountVolume(), KFALSE);
  EXPECT_EQ(k.UDF_GetLastErrorNumber(), 17);

  // The wide mount finds the closed volume again.
  const std::u16string wide = W(image.c_str());
  ASSERT_EQ(k.UDF_MountImageW(wide.c_str(), 8), KTRUE);
  EXPECT_EQ(k.UDF_GetVolumeCompatibility(), KTRUE);
  EXPECT_EQ(k.UDF_GetFreeBlocksOfLogicalVolume(), freeAtStart);
  EXPECT_EQ(k.UDF_DismountVolume(), KTRUE);
}

TEST(Component, HandlerInPlaceAtStartIsTheOneCalled) {
  TempDir dir;
  auto k = std::make_unique<TKorva>();
  ASSERT_EQ(k->UDF_MountImage(dir.File("h.iso").c_str(), 8), KTRUE);
  EventProbe first, second;
  k->OnFormatDone = [&first](TKorva *s, bool f) { first(s, f); };
  ASSERT_NE(k->UDF_FormatVolumeW(u"H", 0), 0);
  // Replacing the handler while the format runs does not redirect its completion.
  k->OnFormatDone = [&second](TKorva *s, bool f) { second(s, f); };
  ASSERT_TRUE(first.WaitForCall());
  EXPECT_FALSE(first.failed);
  k.reset(); // waits until the handler has returned
  EXPECT_EQ(first.calls, 1);
  EXPECT_EQ(second.calls, 0);
}

TEST(Component, DestroyingAMountedComponentClosesTheVolume) {
  TempDir dir;
  const std::string image = dir.File("left.iso");
  uint32_t freeBlocks = 0;
  {
    auto k = std::make_unique<TKorva>();
    ASSERT_EQ(k->UDF_MountImage(image.c_str(), 8), KTRUE);
    EventProbe probe;
    ASSERT_TRUE(FormatAndWait(*k, "LEFT", true, probe));
    ASSERT_EQ(k->UDF_CreateDirectory("\\", "kept"), KTRUE);
    UDF_HANDLE h = k->UDF_CreateFile("\\kept\\f.txt", UDF_GENERIC_WRITE, UDF_CREATE_NEW, 0);
    ASSERT_NE(h, UDF_INVALID_HANDLE);
    uint32_t done = 0;
    ASSERT_EQ(k->UDF_WriteFile(h, "hello", 5, &done), KTRUE);
    freeBlocks = k->UDF_GetFreeBlocksOfLogicalVolume();
    // No dismount, and a handle left open: the component's destruction must close it.
  }
  TKorva k;
  ASSERT_EQ(k.UDF_MountImage(image.c_str(), 8), KTRUE);
  ASSERT_EQ(k.UDF_GetVolumeCompatibility(), KTRUE);
  EXPECT_EQ(k.UDF_GetFreeBlocksOfLogicalVolume(), freeBlocks); // the bitmap was stored
  EXPECT_EQ(k.UDF_GetFileCount(), 1u);
  _UDF_FIND_DATAA a{};
  UDF_HANDLE f = k.UDF_FindFirstFile("\\kept\\f.txt", &a);
  ASSERT_NE(f, UDF_INVALID_HANDLE);
  EXPECT_EQ(a.nFileSizeLow, 5u);
  k.UDF_FindClose(f);
}

TEST(Component, CheckAndRepairReportThroughOnFinding) {
  TempDir dir;
  const std::string image = dir.File("crashed.iso");
  {
    TKorva k;
    ASSERT_EQ(k.UDF_MountImage(image.c_str(), 8), KTRUE);
    EventProbe probe;
    ASSERT_TRUE(FormatAndWait(k, "CRASH", true, probe));
    ASSERT_EQ(k.UDF_CreateDirectory("\\", "kept"), KTRUE);
    // The session ends without a dismount, as a crash would end it: what stays is the image
    // as it stands while mounted.
    std::filesystem::copy_file(image, image + ".crashed");
  }
  std::filesystem::rename(image + ".crashed", image);
  TKorva k;
  std::vector<int32_t> kinds;
  std::vector<bool> repaired;
  k.OnFinding = [&](TKorva *sender, const KorvaFinding &f) {
    EXPECT_EQ(sender, &k);
    kinds.push_back(f.Kind);
    repaired.push_back(f.Repaired != 0);
  };
  ASSERT_EQ(k.UDF_MountImage(image.c_str(), 8), KTRUE);
  ASSERT_EQ(k.UDF_GetVolumeCompatibility(), KFALSE);
  EXPECT_EQ(k.CheckVolume(), KFALSE);
  EXPECT_EQ(k.UDF_GetLastErrorNumber(), KORVA_E_CHECK_FINDINGS);
  ASSERT_FALSE(kinds.empty());
  EXPECT_NE(std::find(kinds.begin(), kinds.end(), KORVA_FINDING_LEFT_OPEN), kinds.end());
  const size_t found = kinds.size();
  kinds.clear();
  EXPECT_EQ(k.RepairVolume(), KTRUE);
  EXPECT_EQ(kinds.size(), found);
  EXPECT_EQ(std::count(repaired.begin() + found, repaired.end(), true), long(found));
  EXPECT_EQ(k.UDF_GetVolumeCompatibility(), KTRUE);
  EXPECT_EQ(k.UDF_GetDirCount(), 2u);
  kinds.clear();
  EXPECT_EQ(k.CheckVolume(), KTRUE);
  EXPECT_TRUE(kinds.empty());
}

TEST(Component, DestroyingDuringAFormatWaitsForItAndItsHandler) {
  TempDir dir;
  const std::string image = dir.File("busy.iso");
  std::atomic<int> calls{0};
  std::atomic<bool> handlerFinished{false};
  {
    TKorva k;
    ASSERT_EQ(k.UDF_MountImage(image.c_str(), 64), KTRUE);
    k.OnFormatDone = [&](TKorva *, bool failed) {
      EXPECT_FALSE(failed);
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      ++calls;
      handlerFinished = true;
    };
    ASSERT_NE(k.UDF_FormatVolume("BUSY", 0), 0);
  } // destroyed at once, while the format may still run
  EXPECT_TRUE(handlerFinished);
  EXPECT_EQ(calls, 1);
  TKorva k;
  ASSERT_EQ(k.UDF_MountImage(image.c_str(), 64), KTRUE);
  EXPECT_EQ(k.UDF_GetVolumeCompatibility(), KTRUE);
}

#ifdef KORVA_VDRIVE_MODULE
// A virtual CD-RW burner loaded as an ASPI-style module.
class ComponentOnDrive : public ::testing::Test {
protected:
  void SetUp() override {
    disc_ = dir_.File("disc.img");
    const std::string config = "cd-rw/format=50,blank=50:" + disc_;
#if defined(_WIN32)
    _putenv_s("KORVA_VDRIVE", config.c_str());
#else
    setenv("KORVA_VDRIVE", config.c_str(), 1);
#endif
  }
  TempDir dir_;
  std::string disc_;
};

// Asks until the drive is ready, as hosts do after a load.
bool SpinUp(TKorva &k) {
  for (int i = 0; i < 8; ++i)
    if (k.TestUnitReady() == KTRUE) return true;
  return false;
}

TEST_F(ComponentOnDrive, ForwardsDriveOperationsFormatAndErase) {
  TKorva k;
  ASSERT_EQ(k.InitializeASPI(true, KORVA_VDRIVE_MODULE, ""), KTRUE);
  ASSERT_GE(k.GetDeviceCount(), 1);
  EXPECT_NE(k.GetDeviceName(0), "");
  EXPECT_EQ(k.GetDeviceName(k.GetDeviceCount()), "");
  EXPECT_EQ(k.SelectDeviceByLetter('Q'), KFALSE); // no such drive
  const std::string name = k.GetDeviceName(0);
  const size_t comma = name.find(',');
  ASSERT_NE(comma, std::string::npos) << name;
  EXPECT_EQ(k.SelectDeviceByLetter(name[comma + 1]), KTRUE) << name;
  ASSERT_EQ(k.SelectDevice(0), KTRUE);
  EXPECT_EQ(k.DeviceIsBurner(), KTRUE);
  EXPECT_EQ(k.DeviceCan(2), KTRUE);  // reads CD-RW
  EXPECT_EQ(k.DeviceCan(12), KTRUE); // writes CD-RW
  EXPECT_EQ(k.DeviceCan(9), KFALSE); // no such code
  // A disc just loaded spins up before the drive answers ready.
  EXPECT_TRUE(SpinUp(k));
  EXPECT_EQ(k.DiscIs(), mtCDRW);
  EXPECT_EQ(k.Erasable(), KTRUE);
  EXPECT_EQ(k.TestUnitReady(), KTRUE);
  EXPECT_GT(k.GetDeviceMaxReadSpeed(), 0);
  EXPECT_GT(k.GetDeviceMaxWriteSpeed(), 0);
  EXPECT_GT(k.GetReadSpeed(), 0);
  EXPECT_GT(k.GetWriteSpeed(), 0);
  EXPECT_GT(k.GetMaxWriteSpeed(), 0);
  EXPECT_GT(k.GetDeviceBufferSize(), 0u);
  k.SetDeviceSpeed(0, 0);
  EXPECT_EQ(k.UDF_GetLastErrorNumber(), 0);
  EXPECT_EQ(k.LockMedium(), KTRUE);
  EXPECT_EQ(k.UnlockMedium(), KTRUE);
  EXPECT_EQ(k.UnlockDrive(), KTRUE);
  (void)k.GetDeviceSupportsMRWRead();
  (void)k.GetDeviceSupportsMRWWrite();

  // A blank disc: quick format refused, full format with progress and the event.
  ASSERT_EQ(k.UDF_MountVolume(), KTRUE);
  EXPECT_EQ(k.UDF_FormatVolume("DISC", -1), 0);
  EXPECT_EQ(k.UDF_GetLastErrorNumber(), 21);
  EventProbe formatted;
  ASSERT_TRUE(FormatAndWait(k, "DISC", false, formatted));
  EXPECT_NE(formatted.thread, std::this_thread::get_id());
  EXPECT_EQ(k.UDF_GetPhysicalFormattingPercentage(), 100);
  EXPECT_EQ(k.UDF_GetVolumeCompatibility(), KTRUE);
  ASSERT_EQ(k.UDF_CreateDirectory("\\", "ondisc"), KTRUE);

  // Erasing is refused while the drive's volume is mounted.
  EXPECT_EQ(k.EraseDisc(true), KFALSE);
  EXPECT_EQ(k.UDF_GetLastErrorNumber(), 19);
  ASSERT_EQ(k.UDF_DismountVolume(), KTRUE);
  ASSERT_EQ(k.UDF_MountVolume(), KTRUE);
  EXPECT_EQ(k.UDF_GetVolumeCompatibility(), KTRUE);
  EXPECT_EQ(k.UDF_GetDirCount(), 2u);
  ASSERT_EQ(k.UDF_DismountVolume(), KTRUE);

  EventProbe erased;
  k.OnEraseDone = [&erased](TKorva *s, bool f) { erased(s, f); };
  ASSERT_EQ(k.EraseDisc(true), KTRUE);
  ASSERT_TRUE(erased.WaitForCall());
  EXPECT_FALSE(erased.failed);
  EXPECT_EQ(erased.sender, &k);
  EXPECT_NE(erased.thread, std::this_thread::get_id());
  ASSERT_EQ(k.UDF_MountVolume(), KTRUE);
  EXPECT_EQ(k.UDF_GetVolumeCompatibility(), KFALSE); // nothing left on the disc
  ASSERT_EQ(k.UDF_DismountVolume(), KTRUE);

  EXPECT_EQ(k.EjectMedium(false), KTRUE);
  EXPECT_EQ(k.TestUnitReady(), KFALSE);
  EXPECT_EQ(k.LoadMedium(false), KTRUE);
  EXPECT_TRUE(SpinUp(k));
}

TEST_F(ComponentOnDrive, DestroyingLeavesTheDiscVolumeClosed) {
  {
    TKorva k;
    ASSERT_EQ(k.InitializeASPI(true, KORVA_VDRIVE_MODULE, ""), KTRUE);
    ASSERT_EQ(k.SelectDevice(0), KTRUE);
    ASSERT_EQ(k.UDF_MountVolume(), KTRUE);
    EventProbe probe;
    ASSERT_TRUE(FormatAndWait(k, "DRIVE", false, probe));
    ASSERT_EQ(k.UDF_CreateDirectory("\\", "x"), KTRUE);
  }
  TKorva k;
  ASSERT_EQ(k.InitializeASPI(true, KORVA_VDRIVE_MODULE, ""), KTRUE);
  ASSERT_EQ(k.SelectDevice(0), KTRUE);
  ASSERT_EQ(k.UDF_MountVolume(), KTRUE);
  EXPECT_EQ(k.UDF_GetVolumeCompatibility(), KTRUE);
  EXPECT_EQ(k.UDF_GetDirCount(), 2u);
  EXPECT_EQ(k.UDF_DismountVolume(), KTRUE);
}
#endif

} // namespace
