// The ASPI-style module, loaded as the library loads it (dlopen, or LoadLibrary on Windows).
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>
#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>
#endif

#include "korva/aspi.h"
#include "tests/vdrive/vdrive_test_util.h"

namespace {

using korva::vdrive::testing::ScratchDir;

// The module and a completion event, as the library makes them on each system: an eventfd,
// whose count says how many blocks completed, or a Win32 event, which only says that one did.
#if defined(_WIN32)
void *OpenModule(const char *path) {
  return reinterpret_cast<void *>(::LoadLibraryA(path));
}
void *Symbol(void *module, const char *name) {
  return reinterpret_cast<void *>(::GetProcAddress(static_cast<HMODULE>(module), name));
}
TKorvaPostProc NewEvent() {
  return ::CreateEventA(nullptr, FALSE, FALSE, nullptr);
}
void CloseEvent(TKorvaPostProc event) {
  ::CloseHandle(static_cast<HANDLE>(event));
}
// Waits up to 5 s for a signal: 1, or 0 when none came.
uint64_t WaitEvent(TKorvaPostProc event) {
  return ::WaitForSingleObject(static_cast<HANDLE>(event), 5000) == WAIT_OBJECT_0 ? 1 : 0;
}
constexpr TKorvaPostProc kNoEvent = nullptr;
#else
void *OpenModule(const char *path) {
  return ::dlopen(path, RTLD_NOW | RTLD_LOCAL);
}
void *Symbol(void *module, const char *name) {
  return ::dlsym(module, name);
}
TKorvaPostProc NewEvent() {
  return ::eventfd(0, EFD_CLOEXEC);
}
void CloseEvent(TKorvaPostProc event) {
  ::close(event);
}
// Waits for signals: how many came (the eventfd's count), or 0 when none did. A poll of up
// to 5 s, then, should a clock that runs fast (a run under a clock shifter) have cut that
// short, a million polls that do not wait with the processor yielded between: a count of
// attempts, not the clock alone, bounds the wait.
uint64_t WaitEvent(TKorvaPostProc event) {
  pollfd p{event, POLLIN, 0};
  bool ready = ::poll(&p, 1, 5000) == 1;
  for (int attempt = 0; !ready && attempt < 1000000; ++attempt) {
    std::this_thread::yield();
    ready = ::poll(&p, 1, 0) == 1;
  }
  if (!ready) return 0;
  uint64_t value = 0;
  return ::read(event, &value, sizeof value) == ssize_t(sizeof value) ? value : 0;
}
constexpr TKorvaPostProc kNoEvent = -1;
#endif

class ModuleTest : public ::testing::Test {
protected:
  void SetUp() override {
    // The transport is the subject here; the drive's own strictness is tested elsewhere.
    const std::string config =
        "cdrw/lenient,format=400,blank=100,background=300:" + dir.File("a.disc") +
        ";dvd+rw/lenient,dvdrom,formatted:" + dir.File("b.disc");
    korva::vdrive::testing::SetEnvironment("KORVA_VDRIVE", config);
    module = OpenModule(KORVA_VDRIVE_MODULE);
    ASSERT_NE(module, nullptr) << KORVA_VDRIVE_MODULE;
    support = reinterpret_cast<TGetASPI32SupportInfo>(Symbol(module, "GetASPI32SupportInfo"));
    send = reinterpret_cast<TSendASPI32Command>(Symbol(module, "SendASPI32Command"));
    control = reinterpret_cast<int (*)(int, const char *)>(Symbol(module, "KorvaVDriveControl"));
    ASSERT_TRUE(support && send && control);
    ASSERT_EQ(control(-1, "reload"), 2);
    event = NewEvent();
    ASSERT_NE(event, kNoEvent);
  }
  void TearDown() override {
    if (event != kNoEvent) CloseEvent(event);
  }

  // Sends one execute block and waits for its completion the way the library does.
  TSRB_ExecSCSICmd Exec(uint8_t target, std::initializer_list<int> cdb, uint8_t flags, void *buffer,
                        uint32_t length) {
    TSRB_ExecSCSICmd srb{};
    srb.SRB_Cmd = SC_EXEC_SCSI_CMD;
    srb.SRB_Target = target;
    srb.SRB_Flags = static_cast<uint8_t>(flags | SRB_EVENT_NOTIFY);
    srb.SRB_BufLen = length;
    srb.SRB_BufPointer = buffer;
    srb.SRB_SenseLen = 24;
    srb.SRB_CDBLen = static_cast<uint8_t>(cdb.size());
    srb.SRB_PostProc = event;
    size_t i = 0;
    for (int b : cdb)
      srb.CDBByte[i++] = static_cast<uint8_t>(b);
    const uint32_t immediate = send(&srb);
    if (immediate == SS_PENDING) {
      EXPECT_EQ(WaitEvent(event), 1u) << "no completion event";
    }
    return srb;
  }

  ScratchDir dir;
  void *module = nullptr;
  TGetASPI32SupportInfo support = nullptr;
  TSendASPI32Command send = nullptr;
  int (*control)(int, const char *) = nullptr;
  TKorvaPostProc event = kNoEvent;
};

TEST_F(ModuleTest, AnswersDiscoveryAndCompletesCommandsThroughTheEvent) {
  EXPECT_EQ(support(), 0x0101u);
  TSRB_HAInquiry ha{};
  ha.SRB_Cmd = SC_HA_INQUIRY;
  EXPECT_EQ(send(&ha), SS_COMP);
  EXPECT_EQ(ha.HA_Count, 1);

  uint8_t inquiry[64] = {};
  TSRB_ExecSCSICmd srb = Exec(1, {0x12, 0, 0, 0, 64, 0}, SRB_DIR_IN, inquiry, 64);
  EXPECT_EQ(srb.SRB_Status, SS_COMP);
  EXPECT_EQ(inquiry[0], 5);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(inquiry + 16), 12), "VDVD-ROM 16X");

  // Addresses without a drive answer at once, never pending.
  TSRB_ExecSCSICmd none{};
  none.SRB_Cmd = SC_EXEC_SCSI_CMD;
  none.SRB_Target = 2;
  none.SRB_CDBLen = 6;
  EXPECT_NE(send(&none), SS_PENDING);
  EXPECT_NE(none.SRB_Status, SS_COMP);

  TSRB_GetDiskInfo info{};
  info.SRB_Cmd = SC_GET_DISK_INFO;
  info.SRB_Target = 1;
  EXPECT_EQ(send(&info), SS_COMP);
  EXPECT_EQ('A' + info.SRB_Int13HDriveInfo, 'E');
  uint8_t unknown[8] = {0x55};
  EXPECT_NE(send(unknown), SS_COMP);

  // A changed configuration takes effect when the library initializes again.
  korva::vdrive::testing::SetEnvironment("KORVA_VDRIVE", "dvd-ram/lenient:" + dir.File("c.disc"));
  EXPECT_EQ(control(-1, "drives"), 2);
  EXPECT_EQ(support(), 0x0101u);
  EXPECT_EQ(control(-1, "drives"), 1);
  EXPECT_EQ(Exec(0, {0x00, 0, 0, 0, 0, 0}, 0, nullptr, 0).SRB_Status, SS_COMP);
  korva::vdrive::testing::SetEnvironment("KORVA_VDRIVE", "floppy:/nowhere");
  EXPECT_EQ(support(), 0u);
}

TEST_F(ModuleTest, FailuresCarrySenseAndControlInjectsThem) {
  ASSERT_EQ(control(0, "fail-next 00 2 04/44/00"), 0);
  for (int i = 0; i < 2; ++i) {
    TSRB_ExecSCSICmd srb = Exec(0, {0x00, 0, 0, 0, 0, 0}, 0, nullptr, 0);
    EXPECT_EQ(srb.SRB_Status, SS_ERR);
    EXPECT_EQ(srb.SRB_TargStat, 2);
    EXPECT_EQ(srb.SenseArea[2], 4);
    EXPECT_EQ(srb.SenseArea[12], 0x44);
  }
  EXPECT_EQ(Exec(0, {0x00, 0, 0, 0, 0, 0}, 0, nullptr, 0).SRB_Status, SS_COMP);
  EXPECT_EQ(control(0, "count 00"), 3);
  EXPECT_EQ(control(0, "fail-next zz 1"), -1);
  EXPECT_EQ(control(7, "present"), -1);

  ASSERT_EQ(control(1, "remove"), 0);
  EXPECT_EQ(control(1, "present"), 0);
  TSRB_ExecSCSICmd srb = Exec(1, {0x00, 0, 0, 0, 0, 0}, 0, nullptr, 0);
  EXPECT_EQ(srb.SRB_Status, SS_ERR);
  EXPECT_EQ(srb.SenseArea[12], 0x3A);
  ASSERT_EQ(control(1, "insert"), 0);
  EXPECT_EQ(Exec(1, {0x00, 0, 0, 0, 0, 0}, 0, nullptr, 0).SRB_Status, SS_COMP);
}

TEST_F(ModuleTest, FormatsAndStoresDataEndToEnd) {
  std::vector<uint8_t> list = korva::vdrive::testing::CdRwFixedFormatList(295264);
  EXPECT_EQ(Exec(0, {0x04, 0x17, 0, 0, 0, 0}, SRB_DIR_OUT, list.data(), 16).SRB_Status, SS_COMP);
  uint8_t info[42];
  bool saw_progress = false;
  TSRB_ExecSCSICmd srb{};
  for (int i = 0; i < 500; ++i) {
    srb = Exec(0, {0x51, 0, 0, 0, 0, 0, 0, 0, 42, 0}, SRB_DIR_IN, info, 42);
    if (srb.SRB_Status == SS_COMP || srb.SenseArea[12] != 0x04) break;
    saw_progress = saw_progress || srb.SenseArea[15] == 0x80;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(saw_progress);
  ASSERT_EQ(srb.SRB_Status, SS_COMP);
  EXPECT_EQ(info[8], 0x20);

  std::vector<uint8_t> out(32 * 2048, 0x7C), in(32 * 2048, 0);
  EXPECT_EQ(Exec(0, {0x2A, 0, 0, 0, 0, 64, 0, 0, 32, 0}, SRB_DIR_OUT, out.data(), 65536).SRB_Status,
            SS_COMP);
  EXPECT_EQ(Exec(0, {0x28, 0, 0, 0, 0, 64, 0, 0, 32, 0}, SRB_DIR_IN, in.data(), 65536).SRB_Status,
            SS_COMP);
  EXPECT_EQ(in, out);
  // Several blocks in flight on one drive complete, each with its own event count.
  std::vector<TSRB_ExecSCSICmd> blocks(4);
  for (auto &b : blocks) {
    b.SRB_Cmd = SC_EXEC_SCSI_CMD;
    b.SRB_Flags = SRB_EVENT_NOTIFY;
    b.SRB_CDBLen = 6;
    b.SRB_PostProc = event;
    ASSERT_EQ(send(&b), SS_PENDING);
  }
#if defined(_WIN32)
  // A Win32 event is not counted: wait until no block is pending.
  auto pending = [&] {
    for (const auto &b : blocks)
      if (static_cast<volatile const uint8_t &>(b.SRB_Status) == SS_PENDING) return true;
    return false;
  };
  while (pending())
    ASSERT_EQ(WaitEvent(event), 1u) << "a block stays pending";
#else
  uint64_t total = 0;
  while (total < blocks.size()) {
    const uint64_t value = WaitEvent(event);
    ASSERT_NE(value, 0u) << "a block stays pending";
    total += value;
  }
  EXPECT_EQ(total, blocks.size()) << "one signal a block";
#endif
  for (auto &b : blocks)
    EXPECT_EQ(b.SRB_Status, SS_COMP);
}

} // namespace
