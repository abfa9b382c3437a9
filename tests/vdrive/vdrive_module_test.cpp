// The ASPI-style module, loaded with dlopen as the library loads it.
#include <gtest/gtest.h>

#include <cstring>
#include <dlfcn.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "korva/aspi.h"
#include "tests/vdrive/vdrive_test_util.h"

namespace {

using korva::vdrive::testing::ScratchDir;

class ModuleTest : public ::testing::Test {
protected:
  void SetUp() override {
    // The transport is the subject here; the drive's own strictness is tested elsewhere.
    const std::string config =
        "cdrw/lenient,format=400,blank=100,background=300:" + dir.File("a.disc") +
        ";dvd+rw/lenient,dvdrom,formatted:" + dir.File("b.disc");
    korva::vdrive::testing::SetEnvironment("KORVA_VDRIVE", config);
    module = ::dlopen(KORVA_VDRIVE_MODULE, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(module, nullptr) << ::dlerror();
    support = reinterpret_cast<TGetASPI32SupportInfo>(::dlsym(module, "GetASPI32SupportInfo"));
    send = reinterpret_cast<TSendASPI32Command>(::dlsym(module, "SendASPI32Command"));
    control = reinterpret_cast<int (*)(int, const char *)>(::dlsym(module, "KorvaVDriveControl"));
    ASSERT_TRUE(support && send && control);
    ASSERT_EQ(control(-1, "reload"), 2);
    event = ::eventfd(0, EFD_CLOEXEC);
    ASSERT_GE(event, 0);
  }
  void TearDown() override {
    if (event >= 0) ::close(event);
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
      pollfd p{event, POLLIN, 0};
      EXPECT_EQ(::poll(&p, 1, 5000), 1) << "no completion event";
      uint64_t value = 0;
      EXPECT_EQ(::read(event, &value, sizeof value), ssize_t(sizeof value));
      EXPECT_EQ(value, 1u);
    }
    return srb;
  }

  ScratchDir dir;
  void *module = nullptr;
  TGetASPI32SupportInfo support = nullptr;
  TSendASPI32Command send = nullptr;
  int (*control)(int, const char *) = nullptr;
  int event = -1;
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
    ::usleep(10000);
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
  uint64_t total = 0;
  while (total < blocks.size()) {
    pollfd p{event, POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 5000), 1);
    uint64_t value = 0;
    ASSERT_EQ(::read(event, &value, sizeof value), ssize_t(sizeof value));
    total += value;
  }
  for (auto &b : blocks)
    EXPECT_EQ(b.SRB_Status, SS_COMP);
}

} // namespace
