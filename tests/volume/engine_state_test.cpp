// The engine's state of a record: held while a volume is mounted or background work is
// known, gone once neither is, so that a record may be freed without a release.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "korva/files.h"
#include "tests/support/volume_fixture.h"
#include "volume/engine.h"
#include "volume/engine_state.h"
#include "volume/fs/fs_state.h"

namespace korva {
namespace {

TEST(EngineState, HeldWhileMountedAndFreedByDismount) {
  test::TempDir dir;
  auto v = test::NewVolume();
  EXPECT_EQ(v->Engine, nullptr) << "a fresh record holds nothing";
  ASSERT_EQ(UDF_MountImage(v.get(), dir.File("e.img").c_str(), 10), KTRUE);
  ASSERT_EQ(UDF_FormatVolumeW(v.get(), u"E", 0, nullptr, nullptr), -1);
  ASSERT_NE(v->Engine, nullptr);
  EXPECT_TRUE(HasBackgroundState(*v));
  UDF_WaitForBackgroundOperation(v.get());
  EXPECT_FALSE(HasBackgroundState(*v));
  ASSERT_NE(v->Engine, nullptr) << "the mount still holds its lists";
  EXPECT_NE(OpenFilesOf(*v), nullptr);
  const int32_t h = UDF_CreateFile(v.get(), "\\a", UDF_GENERIC_WRITE, UDF_CREATE_NEW, 0);
  ASSERT_GE(h, 0);
  EXPECT_EQ(UDF_CloseHandle(v.get(), h), KTRUE);
  ASSERT_EQ(UDF_DismountVolume(v.get()), KTRUE);
  EXPECT_EQ(OpenFilesOf(*v), nullptr);
  EXPECT_EQ(v->Engine, nullptr);

  // A mount and a dismount with no background work leave nothing behind either.
  ASSERT_EQ(UDF_MountImage(v.get(), dir.File("e.img").c_str(), 10), KTRUE);
  EXPECT_NE(v->Engine, nullptr);
  ASSERT_EQ(UDF_DismountVolume(v.get()), KTRUE);
  EXPECT_EQ(v->Engine, nullptr);
}

TEST(EngineState, FreeingTheLastPartFreesTheState) {
  auto v = test::NewVolume();
  CreateFileSystemState(*v);
  ASSERT_NE(FindHandlesOf(*v), nullptr);
  FindHandlesOf(*v)->Add(std::make_unique<DirectoryInformation>());
  const int32_t h = OpenFilesOf(*v)->Add(std::make_unique<OpenFileInformation>());
  ASSERT_NE(OpenFilesOf(*v)->Find(h), nullptr);
  CreateFileSystemState(*v); // a second mount starts with empty lists
  EXPECT_EQ(OpenFilesOf(*v)->Find(h), nullptr);
  ReleaseFileSystemState(*v);
  EXPECT_EQ(OpenFilesOf(*v), nullptr);
  EXPECT_EQ(FindHandlesOf(*v), nullptr);
  EXPECT_EQ(v->Engine, nullptr) << "a record holding nothing may be freed as it is";
}

TEST(EngineState, ReleaseFreesEverything) {
  test::FormattedImage image(10);
  ASSERT_TRUE(image.Ok());
  TUDFRewritableVolume &v = image.Volume();
  const int32_t h = UDF_CreateFile(&v, "\\open", UDF_GENERIC_WRITE, UDF_CREATE_NEW, 0);
  ASSERT_GE(h, 0);
  ASSERT_NE(v.Engine, nullptr);
  UDF_ReleaseVolume(&v);
  EXPECT_EQ(v.Engine, nullptr);
  EXPECT_EQ(v.VolumeOpen, 0);
  // A released record is a fresh one: it mounts again.
  ASSERT_EQ(UDF_MountImage(&v, image.ImagePath().c_str(), 10), KTRUE);
  EXPECT_EQ(v.Compatible, 1);
}

TEST(Lifecycle, TheTableAllowsOnlyTheDocumentedSteps) {
  using L = Lifecycle;
  const L all[] = {L::Idle,   L::DeviceSelected, L::Opened, L::MountedReadOnly, L::MountedWritable,
                   L::Failed, L::Working};
  for (L s : all)
    EXPECT_TRUE(MayEnter(s, s)) << LifecycleName(s);
  for (L s : {L::Opened, L::MountedReadOnly, L::MountedWritable, L::Failed}) {
    EXPECT_TRUE(MayEnter(s, L::Idle)) << "dismount from " << LifecycleName(s);
    EXPECT_TRUE(MayEnter(s, L::DeviceSelected)) << LifecycleName(s);
  }
  // A usable volume is reached only through a mount that opened the medium.
  EXPECT_TRUE(MayEnter(L::DeviceSelected, L::Opened));
  EXPECT_FALSE(MayEnter(L::Idle, L::MountedWritable));
  EXPECT_FALSE(MayEnter(L::DeviceSelected, L::MountedReadOnly));
  EXPECT_FALSE(MayEnter(L::DeviceSelected, L::Failed));
  // A read-only volume is never rewritten, nor made writable in place.
  EXPECT_FALSE(MayEnter(L::MountedReadOnly, L::MountedWritable));
  EXPECT_FALSE(MayEnter(L::MountedReadOnly, L::Opened));
  EXPECT_FALSE(MayEnter(L::Failed, L::MountedReadOnly));
  EXPECT_TRUE(MayEnter(L::MountedWritable, L::Failed));
  EXPECT_TRUE(MayEnter(L::Failed, L::MountedWritable)) << "format or repair";
  EXPECT_STREQ(LifecycleName(L::Working), "working");
}

TEST(Lifecycle, FollowsAVolumeFromMountThroughFailureToDismount) {
  test::TempDir dir;
  const std::string path = dir.File("l.img");
  auto v = test::NewVolume();
  EXPECT_EQ(LifecycleOf(*v), Lifecycle::Idle);
  ASSERT_EQ(UDF_MountImage(v.get(), path.c_str(), 10), KTRUE);
  EXPECT_EQ(LifecycleOf(*v), Lifecycle::Opened) << "a new image holds no volume yet";
  ASSERT_EQ(test::FormatAndWait(*v, u"L"), 0);
  EXPECT_EQ(LifecycleOf(*v), Lifecycle::MountedWritable);

  // A write that fails after the operation has written loses the volume until dismount,
  // which still closes it.
  test::FaultyImageIO io;
  io.Attach(*v);
  io.FailWriteAt(2, true);
  EXPECT_EQ(UDF_CreateDirectory(v.get(), "\\", "d"), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(v.get()), 16);
  EXPECT_EQ(LifecycleOf(*v), Lifecycle::Failed);
  EXPECT_EQ(v->Compatible, 0);
  EXPECT_EQ(v->CloseAfterFailure, 1);
  io.Reset();
  io.FailWriteAt(0);
  EXPECT_EQ(UDF_DismountVolume(v.get()), KTRUE);
  EXPECT_EQ(LifecycleOf(*v), Lifecycle::DeviceSelected);
  EXPECT_EQ(v->CloseAfterFailure, 0);

  ASSERT_EQ(UDF_MountImageReadOnly(v.get(), path.c_str()), KTRUE);
  EXPECT_EQ(LifecycleOf(*v), Lifecycle::MountedReadOnly);
  ASSERT_EQ(UDF_MountImage(v.get(), path.c_str(), 0), KTRUE);
  EXPECT_EQ(LifecycleOf(*v), Lifecycle::MountedWritable) << "closed by the failed session";
  UDF_ReleaseVolume(v.get());
  EXPECT_EQ(LifecycleOf(*v), Lifecycle::DeviceSelected);
  v->ImageIO = nullptr;
}

// A record mounted as the flags say: a usable volume, writable unless readOnly.
TUDFRewritableVolume MountedRecord(bool readOnly) {
  TUDFRewritableVolume v{};
  v.ImageMode = 1;
  v.VolumeOpen = 1;
  v.Compatible = 1;
  v.ReadOnly = readOnly ? 1 : 0;
  return v;
}

TEST(Lifecycle, AMediumChangeOrAFailedFlushFailsTheVolumeUntilWatchedAgain) {
  for (bool readOnly : {false, true}) {
    TUDFRewritableVolume v = MountedRecord(readOnly);
    EnterMediumChanged(v);
    EXPECT_EQ(MountStateOf(v), Lifecycle::Failed) << readOnly;
    EXPECT_EQ(v.MediumChanged, 1);
    EXPECT_EQ(v.Compatible, 1) << "the change alone leaves the error to the caller";
    EXPECT_EQ(v.LastError, 0u);
    EnterCacheFlushFailed(v);
    EXPECT_EQ(v.CacheFlushFailed, 1);
    EnterFailed(v, false);
    EnterMediumWatched(v);
    EXPECT_EQ(v.MediumChanged, 0);
    EXPECT_EQ(v.CacheFlushFailed, 0);
    EXPECT_EQ(MountStateOf(v), Lifecycle::Opened) << "a format or repair takes it on";
  }
  TUDFRewritableVolume v = MountedRecord(false);
  EnterCacheFlushFailed(v);
  EXPECT_EQ(MountStateOf(v), Lifecycle::Failed);
  EXPECT_EQ(v.MediumChanged, 0);
  EnterClosed(v);
  EXPECT_EQ(MountStateOf(v), Lifecycle::DeviceSelected);
  EXPECT_EQ(v.CacheFlushFailed, 1) << "callers still read why the volume stopped";
  EnterMediumWatched(v);
  EXPECT_EQ(v.CacheFlushFailed, 0);
}

TEST(Lifecycle, ReadOnlyIsChosenBeforeTheVolumeIsUsable) {
  TUDFRewritableVolume v{};
  v.ImageMode = 1;
  EnterReadOnly(v);
  EXPECT_EQ(MountStateOf(v), Lifecycle::DeviceSelected);
  EnterOpened(v);
  EXPECT_EQ(v.ReadOnly, 1) << "opening keeps the choice";
  EnterUsable(v);
  EXPECT_EQ(MountStateOf(v), Lifecycle::MountedReadOnly);
  EnterClosed(v);
  EXPECT_EQ(v.ReadOnly, 0) << "the next mount chooses again";

  // A medium that refuses the first write: the opened volume becomes usable read-only.
  EnterOpened(v);
  EnterReadOnly(v);
  EXPECT_EQ(MountStateOf(v), Lifecycle::Opened);
  EnterUsable(v);
  EXPECT_EQ(MountStateOf(v), Lifecycle::MountedReadOnly);
}

TEST(LifecycleDeathTest, AWrongTransitionStopsCheckedBuilds) {
  if (!TransitionChecksOn()) GTEST_SKIP() << "release builds take transitions as they come";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        TUDFRewritableVolume v{};
        v.VolumeOpen = 1;
        v.ReadOnly = 1;
        v.Compatible = 1;
        EnterRewriting(v); // a read-only volume is never formatted or repaired
      },
      "mounted read-only cannot become opened");
  // A writable volume in use is never made read-only in place: its open mark and held
  // changes would never be written.
  EXPECT_DEATH(
      {
        TUDFRewritableVolume v = MountedRecord(false);
        EnterReadOnly(v);
      },
      "mounted writable cannot become mounted read-only");
  // Nor is a volume that failed taken back without a format or repair.
  EXPECT_DEATH(
      {
        TUDFRewritableVolume v = MountedRecord(true);
        EnterMediumChanged(v);
        EnterMediumWatched(v);
      },
      "failed cannot become mounted read-only");
}

} // namespace
} // namespace korva
