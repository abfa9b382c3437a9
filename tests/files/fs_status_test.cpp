// What the exported functions leave in LastError: the number of the step that failed, 0
// after a success, and the lifecycle's reaction to an I/O failure that follows a write.
#include <gtest/gtest.h>

#include "tests/files/fs_chain.h"
#include "tests/files/fs_helpers.h"
#include "tests/support/volume_fixture.h"
#include "udf/descriptors.h"
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

// The calls on an open file's handle: 7 for a handle that is unknown or whose file was
// replaced, 8 without the right, 25 for a position past the end; a success after a failure
// leaves 0.
TEST_F(FsStatus, HandleCallsLeaveTheFailingStepsNumber) {
  ASSERT_TRUE(WriteWhole(v, u"\\f", Pattern(5000, 1)));
  UDF_HANDLE r = UDF_CreateFileW(&v, u"\\f", UDF_GENERIC_READ, UDF_OPEN_EXISTING, 0);
  UDF_HANDLE w = UDF_CreateFileW(&v, u"\\f", UDF_GENERIC_WRITE, UDF_OPEN_EXISTING, 0);
  ASSERT_NE(r, UDF_INVALID_HANDLE);
  ASSERT_NE(w, UDF_INVALID_HANDLE);
  const auto failsWith = [&](KBOOL ok, uint32_t error) {
    EXPECT_EQ(ok, KFALSE);
    EXPECT_EQ(UDF_GetLastErrorNumber(&v), error);
  };
  failsWith(UDF_SetFilePointer(&v, w + 1000, 0), KORVA_E_BAD_FILE_HANDLE);
  failsWith(UDF_SetFilePointer(&v, r, 5001), KORVA_E_INVALID_PARAMETER);
  EXPECT_EQ(UDF_SetFilePointer(&v, r, 5000), KTRUE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), 0u);
  failsWith(UDF_TruncateFile(&v, r), KORVA_E_ACCESS);
  failsWith(UDF_SetFileSize(&v, r, 10), KORVA_E_ACCESS);
  EXPECT_EQ(UDF_SetFileSize(&v, w, 5000), KTRUE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), 0u);
  failsWith(UDF_TruncateFile(&v, w + 1000), KORVA_E_BAD_FILE_HANDLE);
  EXPECT_EQ(UDF_TruncateFile(&v, w), KTRUE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), 0u);
  std::vector<uint8_t> back(1);
  ASSERT_TRUE(ReadWhole(v, u"\\f", back));
  EXPECT_TRUE(back.empty());
  // Replaced under the handles: they no longer reach a file.
  ASSERT_TRUE(WriteWhole(v, u"\\f", Pattern(10, 2)));
  failsWith(UDF_SetFilePointer(&v, r, 0), KORVA_E_BAD_FILE_HANDLE);
  failsWith(UDF_SetFileSize(&v, w, 1), KORVA_E_BAD_FILE_HANDLE);
  EXPECT_EQ(UDF_CloseHandle(&v, r), KTRUE);
  EXPECT_EQ(UDF_CloseHandle(&v, w), KTRUE);
}

namespace {

// Leaves a small volume, written behind, full: its only room is in the frees held back
// from deleting a file, until the writes before them are durable. The handle of the file
// that filled it is left in h, open for writing.
void FillLeavingOnlyHeldFrees(TUDFRewritableVolume &v, UDF_HANDLE &h) {
  v.WriteBehind = 1;
  ASSERT_TRUE(WriteWhole(v, u"\\a", Pattern(200000, 1)));
  constexpr uint32_t RW = UDF_GENERIC_READ | UDF_GENERIC_WRITE;
  h = UDF_CreateFileW(&v, u"\\fill", RW, UDF_CREATE_NEW, 0);
  ASSERT_NE(h, UDF_INVALID_HANDLE);
  const std::vector<uint8_t> chunk = Pattern(64 * 1024, 2);
  uint32_t done = 0;
  for (uint32_t n : {uint32_t(chunk.size()), kBlockSize})
    while (UDF_WriteFile(&v, h, chunk.data(), n, &done))
      ;
  ASSERT_EQ(UDF_GetLastErrorNumber(&v), KORVA_E_NO_SPACE);
  ASSERT_EQ(v.FreeBlocks, 0u);
  ASSERT_EQ(UDF_DeleteFileW(&v, u"\\a"), KTRUE);
  ASSERT_TRUE(HasDeferredFrees(v));
}

} // namespace

// A write that needs the room held back flushes those frees first, whether for new blocks
// at the file's end or for a hole it reaches. When that flush fails, the write fails with
// the flush's write error, never with "no space", and the volume is lost (the writes held
// back belong to operations done before).
TEST(FsStatusFaults, AFailedFlushOfHeldFreesWhileTakingSpaceIsAWriteError) {
  for (const bool hole : {false, true}) {
    FormattedImage img(8);
    ASSERT_TRUE(img.Ok());
    TUDFRewritableVolume &v = img.Volume();
    UDF_HANDLE h = UDF_INVALID_HANDLE;
    if (hole) {
      // One block of data, then four that are not allocated at all.
      ASSERT_TRUE(WriteWhole(v, u"\\sparse", Pattern(kBlockSize, 3)));
      const RawEntry e = ReadEntry(v, EntryBlock(v, u"\\sparse"));
      ASSERT_EQ(e.List.Extents.size(), 1u);
      ASSERT_TRUE(RewriteExtents(v, u"\\sparse",
                                 {MakeShortAD(kBlockSize, e.List.Extents[0].AD.Block),
                                  MakeShortAD(4 * kBlockSize, 0, kExtentNotAllocated)},
                                 5 * kBlockSize));
      ASSERT_NO_FATAL_FAILURE(FillLeavingOnlyHeldFrees(v, h));
      ASSERT_EQ(UDF_CloseHandle(&v, h), KTRUE);
      h = UDF_CreateFileW(&v, u"\\sparse", UDF_GENERIC_WRITE, UDF_OPEN_EXISTING, 0);
      ASSERT_NE(h, UDF_INVALID_HANDLE);
      ASSERT_EQ(UDF_SetFilePointer(&v, h, 2 * kBlockSize), KTRUE);
    } else {
      ASSERT_NO_FATAL_FAILURE(FillLeavingOnlyHeldFrees(v, h));
    }
    FaultyImageIO io;
    io.Attach(v);
    io.FailWriteAt(1, true);
    const std::vector<uint8_t> data = Pattern(kBlockSize, 4);
    uint32_t done = 0;
    EXPECT_EQ(UDF_WriteFile(&v, h, data.data(), kBlockSize, &done), KFALSE) << hole;
    EXPECT_EQ(UDF_GetLastErrorNumber(&v), KORVA_E_WRITE_DIRTY) << hole;
    EXPECT_EQ(UDF_GetVolumeCompatibility(&v), KFALSE) << hole;
    EXPECT_GT(io.Writes(), 0u) << hole;
    io.Reset();
  }
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
