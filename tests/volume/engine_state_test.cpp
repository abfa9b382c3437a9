// The engine's state of a record: held while a volume is mounted or background work is
// known, gone once neither is, so that a record may be freed without a release.
#include <gtest/gtest.h>

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

} // namespace
} // namespace korva
