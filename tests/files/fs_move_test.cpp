// Moving entries, entry information, times and permissions, and the handle operations
// beyond sequential transfer (position, emptying a file).
#include <gtest/gtest.h>

#include "korva/check.h"
#include "tests/files/fs_helpers.h"
#include "tests/support/volume_fixture.h"
#include "volume/engine.h"
#include "volume/fs/fs_internal.h"

using namespace korva;
using namespace korva::test;

namespace {

constexpr uint32_t RW = UDF_GENERIC_READ | UDF_GENERIC_WRITE;

class FsMove : public ::testing::Test {
protected:
  FormattedImage img{100};
  TUDFRewritableVolume &v = img.Volume();
  void SetUp() override { ASSERT_TRUE(img.Ok()); }
  void Put(const std::u16string &path, size_t n, uint32_t seed) {
    ASSERT_TRUE(WriteWhole(v, path, Pattern(n, seed))) << UDF_GetLastErrorNumber(&v);
  }
  std::vector<uint8_t> Get(const std::u16string &path) {
    std::vector<uint8_t> out;
    EXPECT_TRUE(ReadWhole(v, path, out)) << UDF_GetLastErrorNumber(&v);
    return out;
  }
  KorvaFileInfo Info(const char16_t *path) {
    KorvaFileInfo info{};
    EXPECT_EQ(UDF_GetFileInfoW(&v, path, &info), KTRUE) << UDF_GetLastErrorNumber(&v);
    return info;
  }
  // The volume's own check finds nothing to complain about.
  void ExpectClean() {
    std::string findings;
    auto note = [](void *c, const KorvaFinding *f) {
      *static_cast<std::string *>(c) += std::string(f->Path) + ": " + f->Text + "\n";
    };
    EXPECT_EQ(UDF_CheckVolume(&v, note, &findings), KTRUE) << findings;
  }
  bool Exists(const char16_t *path) {
    KorvaFileInfo info{};
    return UDF_GetFileInfoW(&v, path, &info) == KTRUE;
  }
  // Every name a directory lists, in order.
  std::vector<std::u16string> Names(const std::u16string &dir) {
    std::vector<std::u16string> out;
    for (const Listed &l : List(v, dir + u"\\*"))
      out.push_back(l.Name);
    return out;
  }
};

} // namespace

TEST_F(FsMove, MovesFilesAndDirectoriesKeepingDataAndCounts) {
  ASSERT_EQ(UDF_CreateDirectoryW(&v, u"\\", u"A"), KTRUE);
  ASSERT_EQ(UDF_CreateDirectoryW(&v, u"\\A", u"B"), KTRUE);
  ASSERT_EQ(UDF_CreateDirectoryW(&v, u"\\", u"C"), KTRUE);
  Put(u"\\A\\B\\f.bin", 70000, 1);
  const uint32_t files = UDF_GetFileCount(&v), dirs = UDF_GetDirCount(&v);
  const uint32_t block = EntryBlock(v, u"\\A\\B\\f.bin");

  // A rename in place, then a move to another directory under a new name.
  ASSERT_EQ(UDF_MoveFileW(&v, u"\\A\\B\\f.bin", u"\\A\\B\\g.bin"), KTRUE);
  EXPECT_FALSE(Exists(u"\\A\\B\\f.bin"));
  EXPECT_EQ(EntryBlock(v, u"\\A\\B\\g.bin"), block);
  ASSERT_EQ(UDF_MoveFile(&v, "/A/B/g.bin", "\\C\\h.bin"), KFALSE); // slashes are names
  ASSERT_EQ(UDF_MoveFile(&v, "\\A\\B\\g.bin", "\\C\\h.bin"), KTRUE);
  EXPECT_EQ(Get(u"\\C\\h.bin"), Pattern(70000, 1));
  EXPECT_TRUE(Names(u"\\A\\B").empty());

  // A directory with its contents: link counts follow, and its parent entry names the new
  // parent, so the kernel's ".." and a later remove of the old parent agree.
  const uint32_t rootLinks = Info(u"\\").LinkCount, cLinks = Info(u"\\C").LinkCount;
  ASSERT_EQ(UDF_MoveFileW(&v, u"\\A\\B", u"\\C\\B2"), KTRUE);
  EXPECT_EQ(Info(u"\\C").LinkCount, cLinks + 1);
  EXPECT_EQ(Info(u"\\A").LinkCount, 1u);
  EXPECT_EQ(Info(u"\\").LinkCount, rootLinks);
  ASSERT_EQ(UDF_RemoveDirectoryW(&v, u"\\A"), KTRUE);
  DirectoryStream dir(ReaderOf(v), v.PartitionLength);
  ASSERT_EQ(dir.Open(EntryBlock(v, u"\\C\\B2")), DirectoryStream::Ok);
  FidEntry parent;
  ASSERT_EQ(dir.ReadFid(0, parent), DirectoryStream::Ok);
  EXPECT_TRUE(parent.Characteristics & kFidParent);
  EXPECT_EQ(parent.ICBBlock, EntryBlock(v, u"\\C"));
  ASSERT_EQ(UDF_CreateDirectoryW(&v, u"\\C\\B2", u"deeper"), KTRUE);

  EXPECT_EQ(UDF_GetFileCount(&v), files);
  EXPECT_EQ(UDF_GetDirCount(&v), dirs);
  ASSERT_TRUE(img.Remount());
  EXPECT_EQ(Get(u"\\C\\h.bin"), Pattern(70000, 1));
  EXPECT_EQ(Names(u"\\C"), (std::vector<std::u16string>{u"h.bin", u"B2"}));
  EXPECT_EQ(Names(u"\\C\\B2"), std::vector<std::u16string>{u"deeper"});
  ExpectClean();
}

TEST_F(FsMove, ReplacesLikeRenameAndRefusesLoops) {
  ASSERT_EQ(UDF_CreateDirectoryW(&v, u"\\", u"D"), KTRUE);
  ASSERT_EQ(UDF_CreateDirectoryW(&v, u"\\D", u"E"), KTRUE);
  ASSERT_EQ(UDF_CreateDirectoryW(&v, u"\\", u"empty"), KTRUE);
  Put(u"\\a", 5000, 2);
  Put(u"\\b", 9000, 3);
  const uint32_t free0 = v.FreeBlocks;

  // A directory cannot go into itself or below; a file is not a parent.
  EXPECT_EQ(UDF_MoveFileW(&v, u"\\D", u"\\D\\x"), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), KORVA_E_BAD_MOVE);
  EXPECT_EQ(UDF_MoveFileW(&v, u"\\D", u"\\D\\E\\x"), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), KORVA_E_BAD_MOVE);
  EXPECT_EQ(UDF_MoveFileW(&v, u"\\a", u"\\b\\x"), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), KORVA_E_PARENT_NOT_REACHABLE);
  EXPECT_EQ(UDF_MoveFileW(&v, u"\\nothing", u"\\x"), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), KORVA_E_FILE_NOT_FOUND);
  EXPECT_EQ(UDF_MoveFileW(&v, u"\\", u"\\x"), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), KORVA_E_INVALID_PARAMETER);
  EXPECT_EQ(UDF_MoveFileW(&v, u"\\a", u"\\"), KFALSE);
  EXPECT_EQ(UDF_MoveFileW(&v, u"\\a", std::u16string(255, u'n').c_str()), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), KORVA_E_INVALID_NAME);
  // Kinds must agree, and a directory replaced must be empty.
  EXPECT_EQ(UDF_MoveFileW(&v, u"\\a", u"\\D"), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), KORVA_E_FILE_EXISTS);
  EXPECT_EQ(UDF_MoveFileW(&v, u"\\empty", u"\\a"), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), KORVA_E_FILE_EXISTS);
  EXPECT_EQ(UDF_MoveFileW(&v, u"\\empty", u"\\D"), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), KORVA_E_DIR_NOT_EMPTY);
  EXPECT_EQ(v.FreeBlocks, free0);
  // Onto itself: nothing happens.
  EXPECT_EQ(UDF_MoveFileW(&v, u"\\a", u"a\\"), KTRUE);

  // A file replaces a file, whose blocks come free; an open handle on the moved file stays.
  UDF_HANDLE h = UDF_CreateFileW(&v, u"\\a", RW, UDF_OPEN_EXISTING, 0);
  ASSERT_NE(h, UDF_INVALID_HANDLE);
  ASSERT_EQ(UDF_MoveFileW(&v, u"\\a", u"\\b"), KTRUE);
  EXPECT_EQ(v.FreeBlocks, free0 + 6); // the replaced file's 5 data blocks and its entry
  EXPECT_EQ(Get(u"\\b"), Pattern(5000, 2));
  EXPECT_FALSE(Exists(u"\\a"));
  uint8_t buf[10];
  uint32_t got = 0;
  EXPECT_EQ(UDF_ReadFile(&v, h, buf, sizeof buf, &got), KTRUE);
  EXPECT_EQ(got, 10u);
  UDF_CloseHandle(&v, h);
  // A directory replaces an empty directory.
  ASSERT_EQ(UDF_MoveFileW(&v, u"\\D\\E", u"\\empty"), KTRUE);
  EXPECT_TRUE(Names(u"\\D").empty());
  EXPECT_EQ(UDF_GetDirCount(&v), 3u);
  EXPECT_EQ(UDF_GetFileCount(&v), 1u);
  // A read-only target is not deleted.
  Put(u"\\c", 10, 4);
  ASSERT_EQ(UDF_SetFilePermissionsW(&v, u"\\c", 0x14A5), KTRUE);
  EXPECT_EQ(UDF_MoveFileW(&v, u"\\b", u"\\c"), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), KORVA_E_ACCESS);
  EXPECT_TRUE(Exists(u"\\b"));
  ExpectClean();
}

TEST_F(FsMove, ManyMovesInOneDirectoryStayConsistent) {
  // Growing the directory past several blocks while entries move around inside it.
  for (int i = 0; i < 200; ++i) {
    const std::u16string name = u"\\file" + std::u16string(1, char16_t(u'A' + i % 26)) +
                                std::u16string(1, char16_t(u'a' + i / 26));
    Put(name, i, uint32_t(i));
  }
  for (int i = 0; i < 200; i += 2) {
    const std::u16string from = u"\\file" + std::u16string(1, char16_t(u'A' + i % 26)) +
                                std::u16string(1, char16_t(u'a' + i / 26));
    ASSERT_EQ(UDF_MoveFileW(&v, from.c_str(), (from + u".moved").c_str()), KTRUE) << i;
  }
  ASSERT_TRUE(img.Remount());
  EXPECT_EQ(Names(u"").size(), 200u);
  EXPECT_EQ(UDF_GetFileCount(&v), 200u);
  EXPECT_EQ(Get(u"\\fileCa.moved"), Pattern(2, 2));
  EXPECT_EQ(Get(u"\\fileDa"), Pattern(3, 3));
  ExpectClean();
}

TEST_F(FsMove, InfoTimesAndPermissions) {
  ASSERT_EQ(UDF_CreateDirectoryW(&v, u"\\", u"dir"), KTRUE);
  Put(u"\\dir\\f", 3000, 5);
  KorvaFileInfo f = Info(u"\\dir\\f");
  EXPECT_EQ(f.Kind, KORVA_ENTRY_FILE);
  EXPECT_EQ(f.Size, 3000u);
  EXPECT_EQ(f.BlocksRecorded, 2u);
  EXPECT_EQ(f.LinkCount, 1u);
  EXPECT_EQ(f.Attributes, UDF_FILE_ATTRIBUTE_NORMAL);
  EXPECT_NE(f.ModificationTime, 0u);
  KorvaFileInfo d = Info(u"\\dir");
  EXPECT_EQ(d.Kind, KORVA_ENTRY_DIRECTORY);
  EXPECT_EQ(d.Attributes, UDF_FILE_ATTRIBUTE_DIRECTORY);
  KorvaFileInfo root{};
  ASSERT_EQ(UDF_GetFileInfo(&v, "\\", &root), KTRUE);
  EXPECT_EQ(root.Kind, KORVA_ENTRY_DIRECTORY);
  EXPECT_EQ(root.LinkCount, 2u);

  KorvaFileInfo none{};
  EXPECT_EQ(UDF_GetFileInfoW(&v, u"\\dir\\g", &none), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), KORVA_E_FILE_NOT_FOUND);
  EXPECT_EQ(UDF_GetFileInfoW(&v, u"\\nodir\\g", &none), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), KORVA_E_PARENT_NOT_REACHABLE);
  EXPECT_EQ(UDF_GetFileInfoW(&v, u"\\dir\\f\\g", &none), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), KORVA_E_PARENT_NOT_REACHABLE);

  // Times keep their microseconds; one may be left alone.
  const uint64_t t1 = 132000000000000000ull + 1234560; // 100 ns units, whole microseconds
  const uint64_t t2 = 125000000000000000ull + 10;
  ASSERT_EQ(UDF_SetFileTimesW(&v, u"\\dir\\f", &t1, &t2), KTRUE);
  ASSERT_TRUE(img.Remount());
  f = Info(u"\\dir\\f");
  EXPECT_EQ(f.AccessTime, t1);
  EXPECT_EQ(f.ModificationTime, t2);
  ASSERT_EQ(UDF_SetFileTimesW(&v, u"\\dir", nullptr, &t1), KTRUE);
  EXPECT_EQ(Info(u"\\dir").ModificationTime, t1);
  const uint64_t tooLate = ~0ull;
  EXPECT_EQ(UDF_SetFileTimesW(&v, u"\\dir", &tooLate, nullptr), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), KORVA_E_INVALID_PARAMETER);

  // Permissions: read-only when neither write nor delete is allowed; such a file stays.
  ASSERT_EQ(UDF_SetFilePermissionsW(&v, u"\\dir\\f", 0x1084), KTRUE);
  EXPECT_EQ(Info(u"\\dir\\f").Permissions, 0x1084u);
  EXPECT_EQ(Info(u"\\dir\\f").Attributes, UDF_FILE_ATTRIBUTE_READONLY);
  EXPECT_EQ(UDF_DeleteFileW(&v, u"\\dir\\f"), KFALSE);
  EXPECT_EQ(UDF_SetFilePermissionsW(&v, u"\\dir\\f", 0x40000), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), KORVA_E_INVALID_PARAMETER);
  // Set-user-ID, set-group-ID and sticky bits live in the entry's ICB flags, beside the
  // archive flag the entry keeps.
  const uint32_t special = UDF_PERMISSION_SETUID | UDF_PERMISSION_SETGID | UDF_PERMISSION_STICKY;
  for (uint32_t bits : {special | 0x1084u, UDF_PERMISSION_STICKY | 0x1084u, 0x1084u}) {
    ASSERT_EQ(UDF_SetFilePermissionsW(&v, u"\\dir\\f", bits), KTRUE);
    EXPECT_EQ(Info(u"\\dir\\f").Permissions, bits);
    const RawEntry e = ReadEntry(v, EntryBlock(v, u"\\dir\\f"));
    EXPECT_EQ(e.Info.ICBFlags & 0x1C0u, ((bits & UDF_PERMISSION_SETUID) ? 0x40u : 0u) |
                                            ((bits & UDF_PERMISSION_SETGID) ? 0x80u : 0u) |
                                            ((bits & UDF_PERMISSION_STICKY) ? 0x100u : 0u));
  }
  ASSERT_EQ(UDF_SetFilePermissions(&v, "\\dir\\f", 0x7BDE), KTRUE);
  EXPECT_EQ(UDF_DeleteFileW(&v, u"\\dir\\f"), KTRUE);
}

TEST_F(FsMove, PositionAndTruncation) {
  Put(u"\\f", 100000, 6);
  const uint32_t free0 = v.FreeBlocks;
  UDF_HANDLE h = UDF_CreateFileW(&v, u"\\f", RW, UDF_OPEN_EXISTING, 0);
  ASSERT_NE(h, UDF_INVALID_HANDLE);
  // Reading and writing from a position set back and forth.
  std::vector<uint8_t> want = Pattern(100000, 6), got(5000);
  uint32_t n = 0;
  ASSERT_EQ(UDF_SetFilePointer(&v, h, 90000), KTRUE);
  ASSERT_EQ(UDF_ReadFile(&v, h, got.data(), 5000, &n), KTRUE);
  EXPECT_TRUE(std::equal(got.begin(), got.end(), want.begin() + 90000));
  ASSERT_EQ(UDF_SetFilePointer(&v, h, 2047), KTRUE);
  const std::vector<uint8_t> patch = Pattern(3000, 7);
  ASSERT_EQ(UDF_WriteFile(&v, h, patch.data(), 3000, &n), KTRUE);
  std::copy(patch.begin(), patch.end(), want.begin() + 2047);
  ASSERT_EQ(UDF_SetFilePointer(&v, h, 100000), KTRUE);
  ASSERT_EQ(UDF_WriteFile(&v, h, patch.data(), 3000, &n), KTRUE);
  want.insert(want.end(), patch.begin(), patch.end());
  EXPECT_EQ(Get(u"\\f"), want);
  EXPECT_EQ(UDF_SetFilePointer(&v, h, 103001), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), KORVA_E_INVALID_PARAMETER);
  EXPECT_EQ(UDF_SetFilePointer(&v, 12345, 0), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), KORVA_E_BAD_FILE_HANDLE);

  // Emptying gives every block back; the file takes new data afterwards.
  ASSERT_EQ(UDF_TruncateFile(&v, h), KTRUE);
  EXPECT_EQ(v.FreeBlocks, free0 + 49);
  EXPECT_EQ(Info(u"\\f").Size, 0u);
  EXPECT_EQ(Info(u"\\f").BlocksRecorded, 0u);
  ASSERT_EQ(UDF_WriteFile(&v, h, patch.data(), 3000, &n), KTRUE);
  UDF_CloseHandle(&v, h);
  EXPECT_EQ(Get(u"\\f"), patch);
  h = UDF_CreateFileW(&v, u"\\f", UDF_GENERIC_READ, UDF_OPEN_EXISTING, 0);
  EXPECT_EQ(UDF_TruncateFile(&v, h), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), KORVA_E_ACCESS);
  UDF_CloseHandle(&v, h);
  ASSERT_TRUE(img.Remount());
  EXPECT_EQ(Get(u"\\f"), patch);
  EXPECT_EQ(v.FreeBlocks, free0 + 49 - 2);
}

TEST_F(FsMove, TruncatingAFileWithExtensionBlocksFreesThemToo) {
  // Many small writes with a file in between give the file one extent each, more than the
  // entry holds, so the list continues in extension blocks.
  const uint32_t free0 = v.FreeBlocks;
  UDF_HANDLE h = UDF_CreateFileW(&v, u"\\frag", RW, UDF_CREATE_NEW, 0);
  ASSERT_NE(h, UDF_INVALID_HANDLE);
  const std::vector<uint8_t> block = Pattern(2048, 9);
  for (int i = 0; i < 300; ++i) {
    uint32_t n = 0;
    ASSERT_EQ(UDF_WriteFile(&v, h, block.data(), 2048, &n), KTRUE);
    const std::u16string gap = u"\\gap" + std::u16string(1, char16_t(u'A' + i % 26)) +
                               std::u16string(1, char16_t(u'a' + i / 26));
    Put(gap, 2048, 1);
  }
  UDF_HANDLE probe = UDF_CreateFileW(&v, u"\\frag", UDF_GENERIC_READ, UDF_OPEN_EXISTING, 0);
  RawEntry e = ReadEntry(v, EntryBlock(v, u"\\frag"));
  ASSERT_FALSE(e.List.Extensions.empty());
  UDF_CloseHandle(&v, probe);
  ASSERT_EQ(UDF_TruncateFile(&v, h), KTRUE);
  UDF_CloseHandle(&v, h);
  // What remains in use: the file's entry and the 300 gap files (entry and block each), plus
  // the root's growth.
  const uint32_t rootBlocks = uint32_t(ReadEntry(v, RootBlock(v)).Info.BlocksRecorded) - 1;
  EXPECT_EQ(free0 - v.FreeBlocks, 1 + 600 + rootBlocks);
  ASSERT_TRUE(img.Remount());
  EXPECT_EQ(free0 - v.FreeBlocks, 1 + 600 + rootBlocks);
  ExpectClean();
}

TEST_F(FsMove, SettingTheSizeCutsAnywhereAndFreesTheTail) {
  const std::vector<uint8_t> data = Pattern(40000, 5);
  Put(u"\\f", data.size(), 5);
  const uint32_t free0 = v.FreeBlocks;
  UDF_HANDLE h = UDF_CreateFileW(&v, u"\\f", RW, UDF_OPEN_EXISTING, 0);
  ASSERT_NE(h, UDF_INVALID_HANDLE);
  ASSERT_EQ(UDF_SetFilePointer(&v, h, 30000), KTRUE);
  // Inside a block: that block stays, the 15 after it go.
  ASSERT_EQ(UDF_SetFileSize(&v, h, 10000), KTRUE);
  EXPECT_EQ(v.FreeBlocks, free0 + 15);
  EXPECT_EQ(Info(u"\\f").Size, 10000u);
  EXPECT_EQ(Info(u"\\f").BlocksRecorded, 5u);
  EXPECT_EQ(Get(u"\\f"), std::vector<uint8_t>(data.begin(), data.begin() + 10000));
  // Lengthened again, the cut-off bytes read as zeros; the position stays where it was.
  ASSERT_EQ(UDF_SetFileSize(&v, h, 12000), KTRUE);
  std::vector<uint8_t> want(data.begin(), data.begin() + 10000);
  want.resize(12000);
  EXPECT_EQ(Get(u"\\f"), want);
  ASSERT_EQ(UDF_SetFileSize(&v, h, 4096), KTRUE); // on a block boundary
  uint8_t b = 0;
  uint32_t n = 0;
  EXPECT_EQ(UDF_ReadFile(&v, h, &b, 1, &n), KTRUE);
  EXPECT_EQ(n, 0u); // the position moved to the end
  EXPECT_EQ(v.FreeBlocks, free0 + 18);
  EXPECT_EQ(UDF_SetFileSize(&v, h, 0), KTRUE);
  EXPECT_EQ(v.FreeBlocks, free0 + 20);
  UDF_CloseHandle(&v, h);
  h = UDF_CreateFileW(&v, u"\\f", UDF_GENERIC_READ, UDF_OPEN_EXISTING, 0);
  EXPECT_EQ(UDF_SetFileSize(&v, h, 1), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), KORVA_E_ACCESS);
  UDF_CloseHandle(&v, h);
  ASSERT_TRUE(img.Remount());
  EXPECT_EQ(v.FreeBlocks, free0 + 20);
  ExpectClean();
}

TEST_F(FsMove, SettingTheSizeCutsAListContinuedInExtensionBlocks) {
  // One extent per write, more than the entry holds: the list continues in extension blocks.
  UDF_HANDLE h = UDF_CreateFileW(&v, u"\\frag", RW, UDF_CREATE_NEW, 0);
  ASSERT_NE(h, UDF_INVALID_HANDLE);
  std::vector<uint8_t> data;
  for (int i = 0; i < 500; ++i) {
    const std::vector<uint8_t> block = Pattern(2048, uint32_t(i));
    uint32_t n = 0;
    ASSERT_EQ(UDF_WriteFile(&v, h, block.data(), 2048, &n), KTRUE);
    data.insert(data.end(), block.begin(), block.end());
    const std::u16string gap = u"\\g" + std::u16string(1, char16_t(u'A' + i % 26)) +
                               std::u16string(1, char16_t(u'a' + i / 26));
    Put(gap, 10, 1);
  }
  const uint32_t feBlock = EntryBlock(v, u"\\frag");
  ASSERT_GE(ReadEntry(v, feBlock).List.Extensions.size(), 2u);
  const uint32_t free0 = v.FreeBlocks;
  // Into the first extension block: the second goes with the data after the cut.
  ASSERT_EQ(UDF_SetFileSize(&v, h, 300 * 2048 + 5), KTRUE);
  RawEntry e = ReadEntry(v, feBlock);
  EXPECT_EQ(e.List.Extensions.size(), 1u);
  EXPECT_EQ(e.List.TotalBytes(), 300u * 2048 + 5);
  EXPECT_EQ(v.FreeBlocks, free0 + 199 + 1);
  EXPECT_EQ(Get(u"\\frag"), std::vector<uint8_t>(data.begin(), data.begin() + 300 * 2048 + 5));
  // Into the entry's own list: every extension block goes.
  ASSERT_EQ(UDF_SetFileSize(&v, h, 3000), KTRUE);
  e = ReadEntry(v, feBlock);
  EXPECT_TRUE(e.List.Extensions.empty());
  EXPECT_EQ(v.FreeBlocks, free0 + 498 + 2);
  EXPECT_EQ(Get(u"\\frag"), std::vector<uint8_t>(data.begin(), data.begin() + 3000));
  // It grows again from there.
  const std::vector<uint8_t> more = Pattern(5000, 77);
  uint32_t n = 0;
  ASSERT_EQ(UDF_SetFilePointer(&v, h, 3000), KTRUE);
  ASSERT_EQ(UDF_WriteFile(&v, h, more.data(), 5000, &n), KTRUE);
  UDF_CloseHandle(&v, h);
  std::vector<uint8_t> want(data.begin(), data.begin() + 3000);
  want.insert(want.end(), more.begin(), more.end());
  EXPECT_EQ(Get(u"\\frag"), want);
  ASSERT_TRUE(img.Remount());
  EXPECT_EQ(Get(u"\\frag"), want);
  ExpectClean();
}

TEST_F(FsMove, OwnersAreRecordedAndTimesNeverLieAhead) {
  Put(u"\\f", 10, 1);
  const uint32_t block = EntryBlock(v, u"\\f");
  auto owner = [&](size_t offset) {
    uint8_t fe[kBlockSize];
    EXPECT_TRUE(ReadBlock(v, block, fe));
    return uint32_t(fe[offset]) | uint32_t(fe[offset + 1]) << 8 | uint32_t(fe[offset + 2]) << 16 |
           uint32_t(fe[offset + 3]) << 24;
  };
  EXPECT_EQ(owner(36), 0xFFFFFFFFu); // not recorded
  ASSERT_EQ(UDF_SetFileOwnerW(&v, u"\\f", 1000, 100), KTRUE);
  EXPECT_EQ(owner(36), 1000u);
  EXPECT_EQ(owner(40), 100u);
  ASSERT_EQ(UDF_SetFileOwner(&v, "\\f", KORVA_OWNER_UNCHANGED, 0), KTRUE);
  EXPECT_EQ(owner(36), 1000u);
  EXPECT_EQ(owner(40), 0u);
  EXPECT_EQ(UDF_SetFileOwnerW(&v, u"\\missing", 1, 1), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), KORVA_E_FILE_NOT_FOUND);
  // A new entry is stamped with the time cut to the microsecond: never after the clock.
  for (int i = 0; i < 20; ++i) {
    const std::u16string name = u"\\t" + std::u16string(1, char16_t(u'a' + i));
    Put(name, 1, 1);
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    const uint64_t clock = uint64_t(now.tv_sec) * 10000000 + uint64_t(now.tv_nsec) / 100 +
                           116444736000000000ull;
    const KorvaFileInfo info = Info(name.c_str());
    EXPECT_LE(info.ModificationTime, clock);
    EXPECT_GT(info.ModificationTime + 10000000, clock); // and not more than a second behind
  }
  ASSERT_TRUE(img.Remount());
  EXPECT_EQ(owner(36), 1000u);
  ExpectClean();
}
