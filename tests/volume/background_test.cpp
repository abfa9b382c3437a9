// Background formatting: the handler runs once, after the work, on a thread of its own.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "tests/support/volume_fixture.h"
#include "volume/engine.h"

namespace korva {
namespace {

struct Seen {
  std::mutex mutex;
  std::condition_variable cv;
  int calls = 0;
  std::thread::id thread;
  int32_t failed = 0;
  bool compatibleAtCall = false;
  TUDFRewritableVolume *volume = nullptr;
};

void Record(void *context, void *sender, int32_t failed) {
  auto *s = static_cast<Seen *>(context);
  std::lock_guard<std::mutex> lock(s->mutex);
  ++s->calls;
  s->thread = std::this_thread::get_id();
  s->failed = failed;
  s->compatibleAtCall = s->volume->Compatible != 0;
  EXPECT_NE(sender, nullptr);
}

TEST(Background, HandlerRunsOnceOnAnotherThreadAfterTheWork) {
  test::TempDir dir;
  auto v = test::NewVolume();
  ASSERT_EQ(UDF_MountImage(v.get(), dir.File("b.img").c_str(), 10), KTRUE);
  Seen seen;
  seen.volume = v.get();
  ASSERT_EQ(UDF_FormatVolumeW(v.get(), u"B", 0, Record, &seen), -1);
  UDF_WaitForBackgroundOperation(v.get());
  EXPECT_EQ(seen.calls, 1);
  EXPECT_EQ(seen.failed, 0);
  EXPECT_NE(seen.thread, std::this_thread::get_id());
  EXPECT_TRUE(seen.compatibleAtCall) << "the work had ended when the handler ran";
  EXPECT_FALSE(korva::HasBackgroundState(*v));

  // Without a handler the operation still runs and ends.
  ASSERT_EQ(UDF_FormatVolumeW(v.get(), u"C", 1, nullptr, nullptr), -1);
  UDF_WaitForBackgroundOperation(v.get());
  EXPECT_EQ(std::u16string(v->VolumeLabel), u"C");
  EXPECT_EQ(UDF_DismountVolume(v.get()), KTRUE);
}

// Progress polling while a format fails must not wipe the error the format reports.
TEST(Background, PollingProgressKeepsTheFormatsError) {
  test::TempDir dir;
  auto v = test::NewVolume();
  test::FaultyImageIO io;
  io.Attach(*v);
  ASSERT_EQ(UDF_MountImage(v.get(), dir.File("p.img").c_str(), 10), KTRUE);
  io.FailWriteAt(3, true);
  Seen seen;
  seen.volume = v.get();
  ASSERT_EQ(UDF_FormatVolumeW(v.get(), u"P", 0, Record, &seen), -1);
  for (;;) {
    UDF_GetPhysicalFormattingPercentage(v.get());
    std::lock_guard<std::mutex> lock(seen.mutex);
    if (seen.calls) break;
  }
  UDF_WaitForBackgroundOperation(v.get());
  EXPECT_NE(seen.failed, 0);
  EXPECT_EQ(UDF_GetLastErrorNumber(v.get()), 16);
  io.Reset();
  EXPECT_EQ(UDF_DismountVolume(v.get()), KTRUE);
  v->ImageIO = nullptr;
}

} // namespace
} // namespace korva
