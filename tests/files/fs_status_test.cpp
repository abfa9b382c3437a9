// What the exported functions leave in LastError: the number of the step that failed, 0
// after a success, and the lifecycle's reaction to an I/O failure that follows a write.
#include <gtest/gtest.h>

#include "tests/files/fs_chain.h"
#include "tests/files/fs_helpers.h"
#include "tests/support/volume_fixture.h"
#include "volume/engine.h"
#include "volume/engine_state.h"
#include "volume/fs/fs_internal.h"
#include "volume/medium/packet_cache.h"

using namespace korva;
using namespace korva::test;

namespace {
class FsStatus : public ::testing::Test {
protected:
  FormattedImage img{100};
  TUDFRewritableVolume &v = img.Volume();
  void SetUp() override { ASSERT_TRUE(img.Ok()); }
};
} // namespace

TEST_F(FsStatus, MoveLeavesTheFailingStepsNumberAndNothingAfterSuccess) {
  ASSERT_EQ(UDF_CreateDirectoryW(&v, u"\\", u"D"), KTRUE);
  // A failure from a step still reporting through LastError, then one of the move itself.
  EXPECT_EQ(UDF_MoveFileW(&v, u"\\none", u"\\x"), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), KORVA_E_FILE_NOT_FOUND);
  EXPECT_EQ(UDF_MoveFileW(&v, u"\\D", nullptr), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), KORVA_E_INVALID_PARAMETER);
  EXPECT_EQ(UDF_MoveFileW(&v, u"\\D", u"\\D\\x"), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), KORVA_E_BAD_MOVE);
  // A success clears the number a failure left.
  ASSERT_EQ(UDF_MoveFileW(&v, u"\\D", u"\\E"), KTRUE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), 0u);
  // Replacing a file on a read-only volume is refused with 27 before anything changes.
  ASSERT_TRUE(WriteWhole(v, u"\\f", Pattern(10, 1)));
  ASSERT_TRUE(WriteWhole(v, u"\\g", Pattern(10, 2)));
  v.ReadOnly = 1;
  EXPECT_EQ(UDF_MoveFileW(&v, u"\\f", u"\\g"), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), KORVA_E_READ_ONLY);
  v.ReadOnly = 0;
  EXPECT_EQ(UDF_GetVolumeCompatibility(&v), KTRUE);
}

// Every read from the n-th on fails during a move into another directory. A failure before
// the move wrote is 13 and leaves the volume usable; one after is 14, and the volume is
// lost until dismount, which still closes it.
TEST(FsStatusFaults, AReadFailureAfterAMoveWroteLosesTheVolume) {
  bool sawClean = false, sawDirty = false;
  for (uint32_t n = 1; n <= 40 && !(sawClean && sawDirty); ++n) {
    FormattedImage img(100);
    ASSERT_TRUE(img.Ok());
    TUDFRewritableVolume &v = img.Volume();
    ASSERT_EQ(UDF_CreateDirectoryW(&v, u"\\", u"D"), KTRUE);
    ASSERT_TRUE(WriteWhole(v, u"\\a", Pattern(3000, 2)));
    FaultyImageIO io;
    io.Attach(v);
    ReleasePacketCache(v);
    io.FailReadAt(n, true);
    const KBOOL moved = UDF_MoveFileW(&v, u"\\a", u"\\D\\a");
    const uint32_t error = UDF_GetLastErrorNumber(&v);
    io.FailReadAt(0);
    if (moved) {
      EXPECT_EQ(error, 0u);
      continue;
    }
    ASSERT_TRUE(error == KORVA_E_READ || error == KORVA_E_READ_DIRTY) << "read " << n << ": " << error;
    if (error == KORVA_E_READ) {
      sawClean = true;
      EXPECT_EQ(UDF_GetVolumeCompatibility(&v), KTRUE) << "read " << n;
      EXPECT_EQ(LifecycleOf(v), Lifecycle::MountedWritable);
    } else {
      sawDirty = true;
      EXPECT_EQ(UDF_GetVolumeCompatibility(&v), KFALSE) << "read " << n;
      EXPECT_EQ(LifecycleOf(v), Lifecycle::Failed);
      EXPECT_EQ(v.CloseAfterFailure, 1u);
    }
  }
  EXPECT_TRUE(sawClean);
  EXPECT_TRUE(sawDirty);
}

// Replacing a file without write or delete permission is refused by the operating-system
// error alone (LastError 0), whether the file has one name or several; the refusal clears
// the number an earlier failure left, and a replacement that succeeds says it replaced.
TEST_F(FsStatus, CreateAlwaysOverAReadOnlyFileFailsWithoutANumber) {
  constexpr uint32_t RW = UDF_GENERIC_READ | UDF_GENERIC_WRITE;
  UDF_HANDLE h = UDF_CreateFileW(&v, u"\\ro", RW, UDF_CREATE_NEW, UDF_FILE_ATTRIBUTE_READONLY);
  ASSERT_NE(h, UDF_INVALID_HANDLE);
  ASSERT_EQ(UDF_CloseHandle(&v, h), KTRUE);
  ASSERT_EQ(UDF_CreateHardLinkW(&v, u"\\ro", u"\\ro2"), KTRUE);
  ASSERT_TRUE(WriteWhole(v, u"\\rw", Pattern(3000, 5)));
  ASSERT_TRUE(WriteWhole(v, u"\\single", Pattern(10, 6)));
  ASSERT_EQ(UDF_SetFilePermissionsW(&v, u"\\single", 0x1084), KTRUE); // read only

  for (const char16_t *path : {u"\\ro", u"\\single"}) {
    EXPECT_EQ(UDF_CreateFileW(&v, u"\\none", RW, UDF_OPEN_EXISTING, 0), UDF_INVALID_HANDLE);
    EXPECT_EQ(UDF_GetLastErrorNumber(&v), KORVA_E_FILE_NOT_FOUND);
    KorvaSetLastOSError(0);
    EXPECT_EQ(UDF_CreateFileW(&v, path, RW, UDF_CREATE_ALWAYS, 0), UDF_INVALID_HANDLE);
    EXPECT_EQ(UDF_GetLastErrorNumber(&v), 0u);
    EXPECT_EQ(KorvaGetLastOSError(), uint32_t(KORVA_ERROR_ACCESS_DENIED));
  }
  std::vector<uint8_t> kept;
  ASSERT_TRUE(ReadWhole(v, u"\\single", kept));
  EXPECT_EQ(kept, Pattern(10, 6));

  h = UDF_CreateFileW(&v, u"\\rw", RW, UDF_CREATE_ALWAYS, 0);
  ASSERT_NE(h, UDF_INVALID_HANDLE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), 0u);
  EXPECT_EQ(KorvaGetLastOSError(), uint32_t(KORVA_ERROR_ALREADY_EXISTS));
  EXPECT_EQ(UDF_CloseHandle(&v, h), KTRUE);
  EXPECT_EQ(UDF_GetVolumeCompatibility(&v), KTRUE);
}

// A file deleted while open keeps its entry until the last handle closes. When that entry
// is no longer one by then, the close cannot free its blocks: it fails with 32 (repair
// gives the blocks back), never with LastError 0.
TEST_F(FsStatus, ClosingTheLastHandleOfADamagedOrphanSaysDamaged) {
  constexpr uint32_t RW = UDF_GENERIC_READ | UDF_GENERIC_WRITE;
  ASSERT_TRUE(WriteWhole(v, u"\\f", Pattern(5000, 3)));
  const uint32_t entry = EntryBlock(v, u"\\f");
  UDF_HANDLE h = UDF_CreateFileW(&v, u"\\f", RW, UDF_OPEN_EXISTING, 0);
  ASSERT_NE(h, UDF_INVALID_HANDLE);
  ASSERT_EQ(UDF_DeleteFileW(&v, u"\\f"), KTRUE);
  const uint8_t zeros[kBlockSize] = {};
  ASSERT_TRUE(WriteBlock(v, entry, zeros));
  EXPECT_EQ(UDF_CloseHandle(&v, h), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), KORVA_E_DAMAGED);
  // The handle is gone all the same, and the volume stays usable.
  EXPECT_EQ(UDF_CloseHandle(&v, h), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), 0u);
  EXPECT_EQ(UDF_CreateDirectoryW(&v, u"\\", u"D"), KTRUE);
}

// Removing refuses with the step's number and clears it after a success; a missing entry
// fails without one.
TEST_F(FsStatus, RemovalsLeaveTheFailingStepsNumber) {
  ASSERT_EQ(UDF_CreateDirectoryW(&v, u"\\", u"D"), KTRUE);
  EXPECT_EQ(UDF_CreateDirectoryW(&v, u"\\", u"D"), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), KORVA_E_FILE_EXISTS);
  EXPECT_EQ(UDF_CreateDirectoryW(&v, u"\\none", u"E"), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), KORVA_E_PARENT_NOT_REACHABLE);
  ASSERT_EQ(UDF_CreateDirectoryW(&v, u"\\D", u"E"), KTRUE);
  EXPECT_EQ(UDF_RemoveDirectoryW(&v, u"\\D"), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), KORVA_E_DIR_NOT_EMPTY);
  EXPECT_EQ(UDF_RemoveDirectoryW(&v, u"\\D\\none"), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), 0u);
  EXPECT_EQ(UDF_RemoveDirectoryW(&v, u"\\D\\E"), KTRUE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), 0u);
  v.ReadOnly = 1;
  EXPECT_EQ(UDF_RemoveDirectoryW(&v, u"\\D"), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), KORVA_E_READ_ONLY);
  EXPECT_EQ(UDF_CreateDirectoryW(&v, u"\\", u"F"), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), KORVA_E_READ_ONLY);
  v.ReadOnly = 0;
  EXPECT_EQ(UDF_RemoveDirectoryW(&v, u"\\D"), KTRUE);
}

// The first allocation after a mount walks the tree to learn which blocks it claims. A read
// that fails in that walk is a read failure, never "no space" on a volume with room.
TEST_F(FsStatus, AReadFailureInTheWalkBeforeTakingABlockIsNotNoSpace) {
  for (int i = 0; i < 40; ++i) {
    const std::u16string name = u"D" + std::u16string(1, char16_t(u'A' + i % 26)) +
                                std::u16string(1, char16_t(u'a' + i / 26));
    ASSERT_EQ(UDF_CreateDirectoryW(&v, u"\\", name.c_str()), KTRUE);
  }
  const uint32_t deep = EntryBlock(v, u"\\DNb");
  ASSERT_TRUE(img.Remount());
  FaultyImageIO io;
  io.Attach(v);
  ReleasePacketCache(v);
  io.FailReadsOfSector(v.PartitionStart + deep);
  EXPECT_EQ(UDF_CreateDirectoryW(&v, u"\\", u"E"), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), KORVA_E_READ);
  io.Reset();
}

// Finding: a bad handle is 9, a missing record 25; the end of the listing and a pattern that
// matches nothing fail without a number, the end with the operating system's "no more files".
TEST_F(FsStatus, FindLeavesTheFailingStepsNumber) {
  ASSERT_TRUE(WriteWhole(v, u"\\a", Pattern(10, 1)));
  _UDF_FIND_DATAW w;
  _UDF_FIND_DATAA a;
  EXPECT_EQ(UDF_FindFirstFileW(&v, u"\\*", nullptr), UDF_INVALID_HANDLE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), KORVA_E_INVALID_PARAMETER);
  EXPECT_EQ(UDF_FindFirstFileW(&v, u"\\none*", &w), UDF_INVALID_HANDLE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), 0u);
  UDF_HANDLE h = UDF_FindFirstFile(&v, "\\*", &a);
  ASSERT_NE(h, UDF_INVALID_HANDLE);
  EXPECT_STREQ(a.cFileName, "a");
  EXPECT_EQ(UDF_FindNextFileW(&v, h + 1000, &w), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), KORVA_E_BAD_FIND_HANDLE);
  EXPECT_EQ(UDF_FindNextFileW(&v, h, nullptr), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), KORVA_E_INVALID_PARAMETER);
  KorvaSetLastOSError(0);
  EXPECT_EQ(UDF_FindNextFile(&v, h, &a), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), 0u);
  EXPECT_EQ(KorvaGetLastOSError(), uint32_t(KORVA_ERROR_NO_MORE_FILES));
  EXPECT_EQ(UDF_FindClose(&v, h), KTRUE);
  EXPECT_EQ(UDF_FindClose(&v, h), KFALSE);
}

// A directory whose contents cannot be read is neither empty nor free of names. The
// directory's list goes on in extension blocks, and the first of them fails to read a few
// times during a removal, a move of an empty directory over it, or a create over a name it
// holds. Each fails with a read error or the directory's own answer and leaves it whole,
// never removed, replaced nor holding the name twice; a read that works again finds every
// entry.
TEST(FsStatusFaults, AnUnreadableDirectoryIsNeitherEmptyNorFreeOfNames) {
  enum class Call { Remove, MoveOver, CreateTaken };
  const std::u16string name = u"entry-with-a-rather-long-name-";
  const std::u16string taken = name + u"ca";
  for (const Call call : {Call::Remove, Call::MoveOver, Call::CreateTaken}) {
    bool sawFailure = false;
    for (uint32_t times = 1; times <= 4; ++times) {
      FormattedImage img(100);
      ASSERT_TRUE(img.Ok());
      TUDFRewritableVolume &v = img.Volume();
      ASSERT_EQ(UDF_CreateDirectoryW(&v, u"\\", u"D"), KTRUE);
      ASSERT_EQ(UDF_CreateDirectoryW(&v, u"\\", u"E"), KTRUE);
      for (char16_t c = u'a'; c < u'a' + 26; ++c)
        for (char16_t d = u'a'; d < u'a' + 5; ++d)
          ASSERT_TRUE(WriteWhole(v, u"\\D\\" + name + c + d, Pattern(10, c)));
      const std::vector<uint32_t> chain = Chain(v, u"\\D", 16, 2, 2);
      ASSERT_GE(chain.size(), 2u);
      ASSERT_TRUE(img.Remount()); // no name index, nothing cached
      FaultyImageIO io;
      io.Attach(v);
      ReleasePacketCache(v);
      io.FailReadsOfSector(v.PartitionStart + chain[0], times);
      const KBOOL done = call == Call::Remove     ? UDF_RemoveDirectoryW(&v, u"\\D")
                         : call == Call::MoveOver ? UDF_MoveFileW(&v, u"\\E", u"\\D")
                                                  : UDF_CreateDirectoryW(&v, u"\\D", taken.c_str());
      const uint32_t error = UDF_GetLastErrorNumber(&v);
      io.Reset();
      EXPECT_EQ(done, KFALSE) << times;
      if (error == KORVA_E_READ)
        sawFailure = true;
      else
        EXPECT_EQ(error, call == Call::CreateTaken ? KORVA_E_FILE_EXISTS : KORVA_E_DIR_NOT_EMPTY)
            << times;
      // Nothing was lost; the same create now gets the directory's own answer.
      EXPECT_EQ(List(v, u"\\D\\*").size(), 130u) << times;
      EXPECT_EQ(UDF_CreateDirectoryW(&v, u"\\D", taken.c_str()), KFALSE);
      EXPECT_EQ(UDF_GetLastErrorNumber(&v), KORVA_E_FILE_EXISTS) << times;
    }
    EXPECT_TRUE(sawFailure);
  }
}
