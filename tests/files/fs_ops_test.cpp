// Directories, files and find on a formatted image: block accounting, dispositions,
// attributes, thread errors, and the refusals that keep a directory readable.
#include <gtest/gtest.h>

#include <filesystem>

#include "korva/check.h"
#include "tests/files/fs_helpers.h"
#include "tests/support/volume_fixture.h"
#include "volume/engine.h"
#include "volume/medium/packet_cache.h"
#include "volume/fs/fs_internal.h"
#include "volume/fs/fs_path.h"

using namespace korva;
using namespace korva::test;

namespace {

constexpr uint32_t RW = UDF_GENERIC_READ | UDF_GENERIC_WRITE;

class FsOps : public ::testing::Test {
protected:
  FormattedImage img{100};
  TUDFRewritableVolume &v = img.Volume();
  void SetUp() override { ASSERT_TRUE(img.Ok()); }
  UDF_HANDLE Create(const char16_t *path, uint32_t disp = UDF_CREATE_NEW, uint32_t attr = 0) {
    return UDF_CreateFileW(&v, path, RW, disp, attr);
  }
  void MakeFile(const char16_t *path, uint32_t attr = 0) {
    UDF_HANDLE h = Create(path, UDF_CREATE_NEW, attr);
    ASSERT_NE(h, UDF_INVALID_HANDLE) << UDF_GetLastErrorNumber(&v);
    UDF_CloseHandle(&v, h);
  }
};

} // namespace

TEST_F(FsOps, CreateDirectoryAccountsBlocksAndGrowsTheRoot) {
  const uint32_t root = RootBlock(v);
  const uint32_t free0 = v.FreeBlocks;
  RawEntry before = ReadEntry(v, root);
  ASSERT_TRUE(before.Ok);
  EXPECT_EQ(before.Info.InformationLength, 40u);

  ASSERT_EQ(UDF_CreateDirectoryW(&v, u"\\", u"A"), KTRUE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), 0);
  RawEntry after = ReadEntry(v, root);
  EXPECT_EQ(after.Info.InformationLength, 84u);
  EXPECT_EQ(after.Info.LinkCount, before.Info.LinkCount + 1);
  EXPECT_EQ(UDF_GetDirCount(&v), 2u);
  EXPECT_EQ(UDF_GetFreeBlocksOfLogicalVolume(&v), free0 - 2);

  // The new directory: its data block is the lowest free block, its entry the next one.
  const uint32_t a = EntryBlock(v, u"\\A");
  RawEntry dir = ReadEntry(v, a);
  ASSERT_TRUE(dir.Ok);
  EXPECT_EQ(dir.Info.FileType, 4);
  EXPECT_EQ(dir.Info.InformationLength, 40u);
  ASSERT_EQ(dir.List.Extents.size(), 1u);
  EXPECT_EQ(dir.List.Extents[0].AD.Block + 1, a);

  // Nested paths, trailing and missing leading backslashes.
  ASSERT_EQ(UDF_CreateDirectoryW(&v, u"\\A", u"B"), KTRUE);
  ASSERT_EQ(UDF_CreateDirectoryW(&v, u"A\\B\\", u"C"), KTRUE);
  EXPECT_NE(EntryBlock(v, u"\\A\\B\\C"), 0u);
  EXPECT_EQ(EntryBlock(v, u"A\\B\\C\\"), EntryBlock(v, u"\\A\\B\\C"));

  // A parent that is missing, names a file, or names nothing: error 1.
  MakeFile(u"\\f.txt");
  EXPECT_EQ(UDF_CreateDirectoryW(&v, u"\\nope", u"X"), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), KORVA_E_PARENT_NOT_REACHABLE);
  EXPECT_EQ(UDF_CreateDirectoryW(&v, u"\\f.txt", u"X"), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), KORVA_E_PARENT_NOT_REACHABLE);
  EXPECT_EQ(UDF_CreateDirectoryW(&v, u"", u"X"), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), KORVA_E_PARENT_NOT_REACHABLE);
}

TEST_F(FsOps, NamesAreUniqueAndStorable) {
  const uint32_t free0 = v.FreeBlocks;
  ASSERT_EQ(UDF_CreateDirectoryW(&v, u"\\", u"A"), KTRUE);
  MakeFile(u"\\b.txt");
  const uint32_t free1 = v.FreeBlocks;
  EXPECT_EQ(free1, free0 - 3);

  // Taken by a directory or by a file, for a new directory or a new file.
  EXPECT_EQ(UDF_CreateDirectoryW(&v, u"\\", u"A"), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), KORVA_E_FILE_EXISTS);
  EXPECT_EQ(UDF_CreateDirectoryW(&v, u"\\", u"b.txt"), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), KORVA_E_FILE_EXISTS);
  for (uint32_t disp : {UDF_CREATE_NEW, UDF_CREATE_ALWAYS, UDF_OPEN_ALWAYS}) {
    EXPECT_EQ(Create(u"\\A", disp), UDF_INVALID_HANDLE);
    EXPECT_EQ(UDF_GetLastErrorNumber(&v), KORVA_E_FILE_EXISTS) << disp;
  }
  EXPECT_EQ(Create(u"\\A", UDF_OPEN_EXISTING), UDF_INVALID_HANDLE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), KORVA_E_FILE_NOT_FOUND);
  // Hidden entries hold their names too.
  MakeFile(u"\\h", UDF_FILE_ATTRIBUTE_HIDDEN);
  EXPECT_EQ(UDF_CreateDirectoryW(&v, u"\\", u"h"), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), KORVA_E_FILE_EXISTS);

  // Names that cannot be stored.
  const uint32_t free2 = v.FreeBlocks;
  // One byte holds the compressed length: 127 16-bit characters, 254 8-bit ones.
  std::u16string longName(128, u'\x3b1');
  EXPECT_EQ(UDF_CreateDirectoryW(&v, u"\\", longName.c_str()), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), KORVA_E_INVALID_NAME);
  EXPECT_EQ(UDF_CreateDirectoryW(&v, u"\\", std::u16string(255, u'n').c_str()), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), KORVA_E_INVALID_NAME);
  EXPECT_EQ(UDF_CreateDirectoryW(&v, u"\\", u""), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), KORVA_E_INVALID_NAME);
  EXPECT_EQ(Create(u"\\A\\"), UDF_INVALID_HANDLE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), KORVA_E_INVALID_NAME);
  EXPECT_EQ(Create((u"\\" + longName).c_str()), UDF_INVALID_HANDLE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), KORVA_E_INVALID_NAME);
  EXPECT_EQ(UDF_CreateFile(&v, "\\bad\xC0\x80", RW, UDF_CREATE_NEW, 0), UDF_INVALID_HANDLE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), KORVA_E_INVALID_NAME);
  EXPECT_EQ(v.FreeBlocks, free2);
  // The longest names.
  std::u16string name127(127, u'\x3b1');
  EXPECT_EQ(UDF_CreateDirectoryW(&v, u"\\", name127.c_str()), KTRUE);
  ASSERT_EQ(List(v, u"\\" + name127).size(), 1u);
  std::u16string name254(254, u'\xe9');
  EXPECT_EQ(UDF_CreateDirectoryW(&v, u"\\", name254.c_str()), KTRUE);
  ASSERT_EQ(List(v, u"\\" + name254).size(), 1u);
}

TEST_F(FsOps, NamesFreedByRemovalCanBeTakenAgain) {
  ASSERT_EQ(UDF_CreateDirectoryW(&v, u"\\", u"D"), KTRUE);
  const uint32_t d = EntryBlock(v, u"\\D");
  MakeFile(u"\\D\\x");
  EXPECT_EQ(Create(u"\\D\\x"), UDF_INVALID_HANDLE);
  ASSERT_EQ(UDF_DeleteFileW(&v, u"\\D\\x"), KTRUE);
  MakeFile(u"\\D\\x");
  EXPECT_EQ(Create(u"\\D\\x"), UDF_INVALID_HANDLE);
  UDF_HANDLE h = Create(u"\\D\\x", UDF_CREATE_ALWAYS);
  ASSERT_NE(h, UDF_INVALID_HANDLE);
  UDF_CloseHandle(&v, h);
  EXPECT_EQ(List(v, u"\\D\\*").size(), 1u);

  // A directory made in the blocks of a removed one starts without its names.
  ASSERT_EQ(UDF_DeleteFileW(&v, u"\\D\\x"), KTRUE);
  ASSERT_EQ(UDF_RemoveDirectoryW(&v, u"\\D"), KTRUE);
  ASSERT_EQ(UDF_CreateDirectoryW(&v, u"\\", u"E"), KTRUE);
  EXPECT_EQ(EntryBlock(v, u"\\E"), d);
  MakeFile(u"\\E\\x");
  EXPECT_EQ(List(v, u"\\E\\*").size(), 1u);
  EXPECT_EQ(UDF_CreateDirectoryW(&v, u"\\", u"D"), KTRUE);
}

TEST_F(FsOps, RemoveDirectoryRefusesNonEmptyAndFreesExactly) {
  const uint32_t free0 = v.FreeBlocks;
  ASSERT_EQ(UDF_CreateDirectoryW(&v, u"\\", u"A"), KTRUE);
  MakeFile(u"\\A\\x");
  const uint32_t free1 = v.FreeBlocks;
  EXPECT_EQ(UDF_RemoveDirectoryW(&v, u"\\A"), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), KORVA_E_DIR_NOT_EMPTY);
  EXPECT_EQ(v.FreeBlocks, free1);
  EXPECT_EQ(List(v, u"\\A\\*").size(), 1u);

  ASSERT_EQ(UDF_DeleteFileW(&v, u"\\A\\x"), KTRUE);
  EXPECT_EQ(UDF_GetFileCount(&v), 0u);
  ASSERT_EQ(UDF_RemoveDirectoryW(&v, u"\\A"), KTRUE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), 0);
  EXPECT_EQ(UDF_GetDirCount(&v), 1u);
  // The directory's entry and data block come back; the root keeps its grown data block.
  EXPECT_EQ(v.FreeBlocks, free0);
  EXPECT_TRUE(List(v, u"\\*").empty());
  EXPECT_EQ(RootBlock(v), EntryBlock(v, u"\\"));
  RawEntry root = ReadEntry(v, RootBlock(v));
  EXPECT_EQ(root.Info.LinkCount, 1);

  // Missing: false without an error. A freed block is the first one reused.
  EXPECT_EQ(UDF_RemoveDirectoryW(&v, u"\\A"), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), 0);
  EXPECT_EQ(UDF_RemoveDirectoryW(&v, u"\\"), KFALSE);
  uint32_t lowest = 0, len = 0;
  ASSERT_TRUE(FindFreeRun(v, 0, 1, false, lowest, len).IsOk());
  ASSERT_EQ(len, 1u);
  MakeFile(u"\\y");
  EXPECT_EQ(EntryBlock(v, u"\\y"), lowest);

  // Read-only files cannot be deleted.
  MakeFile(u"\\ro", UDF_FILE_ATTRIBUTE_READONLY);
  KorvaSetLastOSError(0);
  EXPECT_EQ(UDF_DeleteFileW(&v, u"\\ro"), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), 0);
  EXPECT_EQ(KorvaGetLastOSError(), uint32_t(KORVA_ERROR_ACCESS_DENIED));

  // Removing the newest entry records its ID as the next one: a remount gives it out again.
  const uint64_t idNew = v.NextUniqueID;
  MakeFile(u"\\last");
  ASSERT_EQ(UDF_DeleteFileW(&v, u"\\last"), KTRUE);
  EXPECT_EQ(v.NextUniqueID, idNew + 1);
  ASSERT_TRUE(img.Remount());
  EXPECT_EQ(v.NextUniqueID, idNew);
  EXPECT_EQ(v.FreeBlocks, UDF_GetFreeBlocksOfLogicalVolume(&v));
}

TEST_F(FsOps, DispositionsAttributesAndHandles) {
  const uint32_t free0 = v.FreeBlocks;
  UDF_HANDLE h = Create(u"report.txt", UDF_CREATE_NEW, 0x27);
  ASSERT_NE(h, UDF_INVALID_HANDLE);
  EXPECT_NE(h, -1);
  // The FID fitted into the root's block: the file entry is the only block taken.
  EXPECT_EQ(v.FreeBlocks, free0 - 1);
  EXPECT_EQ(UDF_GetFileCount(&v), 1u);
  EXPECT_EQ(UDF_CloseHandle(&v, h), KTRUE);
  EXPECT_EQ(UDF_CloseHandle(&v, h), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), 0);
  EXPECT_EQ(UDF_CloseHandle(&v, 0x5A5A), KFALSE);
  EXPECT_EQ(UDF_CloseHandle(&v, -1), KFALSE);

  std::vector<Listed> l = List(v, u"\\report.txt");
  ASSERT_EQ(l.size(), 1u);
  EXPECT_EQ(l[0].Attributes, 0x27u);

  EXPECT_EQ(Create(u"\\report.txt", UDF_CREATE_NEW), UDF_INVALID_HANDLE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), KORVA_E_FILE_EXISTS);
  KorvaSetLastOSError(0);
  h = Create(u"\\report.txt", UDF_OPEN_ALWAYS);
  ASSERT_NE(h, UDF_INVALID_HANDLE);
  EXPECT_EQ(KorvaGetLastOSError(), uint32_t(KORVA_ERROR_ALREADY_EXISTS));
  UDF_CloseHandle(&v, h);
  EXPECT_EQ(Create(u"\\missing", UDF_OPEN_EXISTING), UDF_INVALID_HANDLE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), KORVA_E_FILE_NOT_FOUND);
  h = Create(u"\\new", UDF_OPEN_ALWAYS);
  EXPECT_NE(h, UDF_INVALID_HANDLE);
  UDF_CloseHandle(&v, h);
  for (uint32_t bad : {0u, 5u, 0xFFFFFFFFu}) {
    EXPECT_EQ(Create(u"\\other", bad), UDF_INVALID_HANDLE);
    EXPECT_EQ(UDF_GetLastErrorNumber(&v), KORVA_E_INVALID_PARAMETER);
  }
  EXPECT_TRUE(List(v, u"\\other").empty());

  // In a subdirectory; a parent that is not a directory.
  ASSERT_EQ(UDF_CreateDirectoryW(&v, u"\\", u"A"), KTRUE);
  h = Create(u"\\A\\report.txt");
  EXPECT_NE(h, UDF_INVALID_HANDLE);
  UDF_CloseHandle(&v, h);
  EXPECT_EQ(Create(u"\\new\\x"), UDF_INVALID_HANDLE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), KORVA_E_PARENT_NOT_REACHABLE);

  // Access rights are checked per handle.
  h = UDF_CreateFileW(&v, u"\\new", UDF_GENERIC_READ, UDF_OPEN_EXISTING, 0);
  uint32_t n = 0;
  uint8_t b = 1;
  EXPECT_EQ(UDF_WriteFile(&v, h, &b, 1, &n), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), KORVA_E_ACCESS);
  UDF_CloseHandle(&v, h);
  h = UDF_CreateFileW(&v, u"\\new", UDF_GENERIC_WRITE, UDF_OPEN_EXISTING, 0);
  EXPECT_EQ(UDF_ReadFile(&v, h, &b, 1, &n), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), KORVA_E_ACCESS);
  EXPECT_EQ(UDF_WriteFile(&v, h, nullptr, 5, &n), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), KORVA_E_INVALID_PARAMETER);
  UDF_CloseHandle(&v, h);
  EXPECT_EQ(UDF_WriteFile(&v, h, &b, 1, &n), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), KORVA_E_BAD_FILE_HANDLE);
}

// What each disposition does with a name a directory holds, and with a missing name that can
// be looked up but not stored: nothing is opened, created or replaced.
TEST_F(FsOps, DispositionsRefuseADirectorysNameAndAnUnstorableNewName) {
  ASSERT_EQ(UDF_CreateDirectoryW(&v, u"\\", u"D"), KTRUE);
  ASSERT_EQ(UDF_CreateDirectoryW(&v, u"\\D", u"inner"), KTRUE);
  const uint32_t free0 = v.FreeBlocks;
  const struct {
    uint32_t Disposition;
    uint32_t OnDirectory; // error for "\D"
    uint32_t OnUnstorable; // error for the missing "\a:b"
  } cases[] = {
      {UDF_CREATE_NEW, KORVA_E_FILE_EXISTS, KORVA_E_INVALID_NAME},
      {UDF_CREATE_ALWAYS, KORVA_E_FILE_EXISTS, KORVA_E_INVALID_NAME},
      {UDF_OPEN_EXISTING, KORVA_E_FILE_NOT_FOUND, KORVA_E_FILE_NOT_FOUND},
      {UDF_OPEN_ALWAYS, KORVA_E_FILE_EXISTS, KORVA_E_INVALID_NAME},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.Disposition);
    EXPECT_EQ(Create(u"\\D", c.Disposition), UDF_INVALID_HANDLE);
    EXPECT_EQ(UDF_GetLastErrorNumber(&v), c.OnDirectory);
    EXPECT_EQ(Create(u"\\a:b", c.Disposition), UDF_INVALID_HANDLE);
    EXPECT_EQ(UDF_GetLastErrorNumber(&v), c.OnUnstorable);
  }
  EXPECT_EQ(v.FreeBlocks, free0);
  EXPECT_EQ(List(v, u"\\D\\*").size(), 1u); // the directory kept its entry
  EXPECT_TRUE(List(v, u"\\a:b").empty());
  // A file created under OPEN_ALWAYS says it did not exist.
  KorvaSetLastOSError(KORVA_ERROR_ALREADY_EXISTS);
  UDF_HANDLE h = Create(u"\\fresh", UDF_OPEN_ALWAYS);
  ASSERT_NE(h, UDF_INVALID_HANDLE);
  EXPECT_EQ(KorvaGetLastOSError(), uint32_t(KORVA_ERROR_SUCCESS));
  EXPECT_EQ(UDF_CloseHandle(&v, h), KTRUE);
}

TEST_F(FsOps, ReplacingAFileInvalidatesItsHandlesDeletingKeepsThemUntilClosed) {
  ASSERT_TRUE(WriteWhole(v, u"\\f", Pattern(5000, 1)));
  UDF_HANDLE reader = UDF_CreateFileW(&v, u"\\f", RW, UDF_OPEN_EXISTING, 0);
  ASSERT_NE(reader, UDF_INVALID_HANDLE);
  const uint32_t free0 = v.FreeBlocks;
  KorvaSetLastOSError(0);
  UDF_HANDLE h = Create(u"\\f", UDF_CREATE_ALWAYS);
  ASSERT_NE(h, UDF_INVALID_HANDLE);
  EXPECT_EQ(KorvaGetLastOSError(), uint32_t(KORVA_ERROR_ALREADY_EXISTS));
  // Old entry and its 3 data blocks freed, a new entry taken.
  EXPECT_EQ(v.FreeBlocks, free0 + 3);
  std::vector<Listed> l = List(v, u"\\*");
  ASSERT_EQ(l.size(), 1u);
  EXPECT_EQ(l[0].Size, 0u);
  EXPECT_EQ(UDF_GetFileCount(&v), 1u);

  uint8_t buf[16] = {};
  uint32_t n = 0;
  EXPECT_EQ(UDF_ReadFile(&v, reader, buf, 16, &n), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), KORVA_E_BAD_FILE_HANDLE);
  EXPECT_EQ(UDF_WriteFile(&v, reader, buf, 16, &n), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), KORVA_E_BAD_FILE_HANDLE);
  EXPECT_EQ(UDF_CloseHandle(&v, reader), KTRUE);

  // Deleting while open: the name goes at once, the file stays readable and writable
  // through the handle, and its blocks come back when the handle closes.
  ASSERT_EQ(UDF_WriteFile(&v, h, buf, 16, &n), KTRUE);
  const uint32_t beforeDelete = v.FreeBlocks;
  ASSERT_EQ(UDF_DeleteFileW(&v, u"\\f"), KTRUE);
  EXPECT_EQ(UDF_GetFileCount(&v), 0u);
  EXPECT_EQ(v.FreeBlocks, beforeDelete);
  EXPECT_TRUE(List(v, u"\\*").empty());
  std::vector<uint8_t> other = Pattern(8192, 2);
  ASSERT_TRUE(WriteWhole(v, u"\\g", other));
  const std::vector<uint8_t> more = Pattern(5000, 3);
  ASSERT_EQ(UDF_WriteFile(&v, h, more.data(), 5000, &n), KTRUE);
  std::vector<uint8_t> got(5016);
  ASSERT_EQ(UDF_SetFilePointer(&v, h, 0), KTRUE);
  ASSERT_EQ(UDF_ReadFile(&v, h, got.data(), 5016, &n), KTRUE);
  EXPECT_EQ(n, 5016u);
  EXPECT_TRUE(std::equal(more.begin(), more.end(), got.begin() + 16));
  const uint32_t beforeClose = v.FreeBlocks;
  EXPECT_EQ(UDF_CloseHandle(&v, h), KTRUE);
  EXPECT_EQ(v.FreeBlocks, beforeClose + 4); // its entry and three data blocks
  std::vector<uint8_t> back;
  ASSERT_TRUE(ReadWhole(v, u"\\g", back));
  EXPECT_EQ(back, other);
  ASSERT_TRUE(img.Remount());
  EXPECT_EQ(UDF_GetFreeBlocksOfLogicalVolume(&v), CountFreeBlocks(v));
  EXPECT_EQ(UDF_CheckVolume(&v, nullptr, nullptr), KTRUE);
}

TEST_F(FsOps, ADeletedFileStillOpenIsFreedAtDismountOrReclaimedByRepairAfterACrash) {
  const uint32_t free0 = v.FreeBlocks;
  for (bool crash : {false, true}) {
    SCOPED_TRACE(crash ? "crash" : "dismount");
    ASSERT_TRUE(WriteWhole(v, u"\\f", Pattern(10000, 4)));
    UDF_HANDLE h = Create(u"\\f", UDF_OPEN_EXISTING);
    ASSERT_NE(h, UDF_INVALID_HANDLE);
    ASSERT_EQ(UDF_DeleteFileW(&v, u"\\f"), KTRUE);
    if (crash) {
      AbandonVolume(v);
      ASSERT_EQ(UDF_MountImage(&v, img.ImagePath().c_str(), 0), KTRUE);
      // Left open, with the entry's blocks taken but no longer reached from the root.
      EXPECT_EQ(UDF_CheckVolume(&v, nullptr, nullptr), KFALSE);
      ASSERT_EQ(UDF_RepairVolume(&v, nullptr, nullptr), KTRUE) << UDF_GetLastErrorNumber(&v);
    } else {
      ASSERT_TRUE(img.Remount());
    }
    EXPECT_EQ(UDF_CheckVolume(&v, nullptr, nullptr), KTRUE);
    EXPECT_EQ(UDF_GetFreeBlocksOfLogicalVolume(&v), free0);
    EXPECT_EQ(UDF_GetFileCount(&v), 0u);
  }
}

TEST_F(FsOps, FindOrderAttributesAndThreadErrors) {
  _UDF_FIND_DATAW d;
  EXPECT_EQ(UDF_FindFirstFileW(&v, u"\\*", &d), UDF_INVALID_HANDLE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), 0);

  ASSERT_EQ(UDF_CreateDirectoryW(&v, u"\\", u"A"), KTRUE);
  MakeFile(u"\\b.txt", UDF_FILE_ATTRIBUTE_HIDDEN);
  MakeFile(u"\\A\\inner");
  UDF_HANDLE h = UDF_FindFirstFileW(&v, u"\\*", &d);
  ASSERT_NE(h, UDF_INVALID_HANDLE);
  EXPECT_EQ(std::u16string(d.cFileName), u"A");
  EXPECT_EQ(d.dwFileAttributes, UDF_FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(d.nFileSizeLow, 0u);
  EXPECT_NE(d.ftLastWriteTime.dwHighDateTime, 0u);
  ASSERT_EQ(UDF_FindNextFileW(&v, h, &d), KTRUE);
  EXPECT_EQ(std::u16string(d.cFileName), u"b.txt");
  EXPECT_EQ(d.dwFileAttributes, UDF_FILE_ATTRIBUTE_HIDDEN);
  // Entries added after the position are found by later calls.
  MakeFile(u"\\late");
  ASSERT_EQ(UDF_FindNextFileW(&v, h, &d), KTRUE);
  EXPECT_EQ(std::u16string(d.cFileName), u"late");
  EXPECT_EQ(d.dwFileAttributes, UDF_FILE_ATTRIBUTE_NORMAL);
  KorvaSetLastOSError(0);
  EXPECT_EQ(UDF_FindNextFileW(&v, h, &d), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), 0);
  EXPECT_EQ(KorvaGetLastOSError(), uint32_t(KORVA_ERROR_NO_MORE_FILES));
  EXPECT_EQ(UDF_FindClose(&v, h), KTRUE);
  EXPECT_EQ(UDF_FindNextFileW(&v, h, &d), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), KORVA_E_BAD_FIND_HANDLE);
  EXPECT_EQ(UDF_FindClose(&v, h), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), 0);

  EXPECT_EQ(List(v, u"\\A\\*").size(), 1u);
  EXPECT_EQ(List(v, u"\\*.txt").size(), 0u);
  EXPECT_EQ(List(v, u"\\b.txt").size(), 1u);
  UDF_CreateDirectoryW(&v, u"\\nope", u"x"); // leaves error 1
  EXPECT_EQ(UDF_FindFirstFileW(&v, u"\\A\\", &d), UDF_INVALID_HANDLE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), KORVA_E_PARENT_NOT_REACHABLE);

  // Deleted entries are skipped.
  ASSERT_EQ(UDF_DeleteFileW(&v, u"\\b.txt"), KTRUE);
  std::vector<Listed> l = List(v, u"\\*");
  ASSERT_EQ(l.size(), 2u);
  EXPECT_EQ(l[1].Name, u"late");

  // The 8-bit record: UTF-8 name, same other fields.
  MakeFile(u"\\Grüße");
  _UDF_FIND_DATAA a;
  h = UDF_FindFirstFile(&v,
                        "\\Gr\xC3\xBC\xC3\x9F"
                        "e",
                        &a);
  ASSERT_NE(h, UDF_INVALID_HANDLE);
  EXPECT_STREQ(a.cFileName, "Gr\xC3\xBC\xC3\x9F"
                            "e");
  EXPECT_EQ(a.dwFileAttributes, UDF_FILE_ATTRIBUTE_NORMAL);
  UDF_FindClose(&v, h);
  static_assert(sizeof(_UDF_FIND_DATAW) == 584 && sizeof(_UDF_FIND_DATAA) == 312);
}

TEST_F(FsOps, DirectoryGrowsIntoSplitIdentifiersAndAnExtension) {
  ASSERT_EQ(UDF_CreateDirectoryW(&v, u"\\", u"D"), KTRUE);
  const uint32_t dir = EntryBlock(v, u"\\D");
  // 127-character names make 296-byte identifiers: 6.9 to a block, so they cross block
  // ends at many alignments; 233 blocks fill the file entry's slots.
  std::vector<std::u16string> names;
  bool sawSplit = false;
  for (int i = 0;; ++i) {
    std::u16string n = std::u16string(120, u'a' + i % 26) + u"-" + std::u16string(u"000000");
    for (int k = 0, x = i; k < 6; ++k, x /= 10)
      n[126 - k] = u'0' + x % 10;
    RawEntry before = ReadEntry(v, dir);
    const uint32_t free0 = v.FreeBlocks;
    const uint32_t len0 = before.List.Extents.back().AD.Length();
    const bool extensionNext =
        before.List.Extensions.empty() && (before.List.Extents.size() == 233 && len0 + 296 > 2048);
    ASSERT_EQ(UDF_CreateDirectoryW(&v, u"\\D", n.c_str()), KTRUE) << i;
    names.push_back(n);
    RawEntry after = ReadEntry(v, dir);
    const size_t grown = after.List.Extents.size() - before.List.Extents.size();
    if (len0 + 296 > 2048) {
      sawSplit |= len0 < 2048;
      EXPECT_EQ(grown, 1u);
    }
    EXPECT_EQ(v.FreeBlocks, free0 - 2 - grown - (extensionNext ? 1 : 0)) << i;
    if (!after.List.Extensions.empty()) {
      EXPECT_TRUE(extensionNext);
      EXPECT_EQ(after.List.Extents[233].SlotOffset, 24);
      break;
    }
    ASSERT_LT(i, 2000);
  }
  EXPECT_TRUE(sawSplit);
  // Everything reads back in order, through the continuation, also after a remount.
  ASSERT_TRUE(img.Remount());
  std::vector<Listed> l = List(v, u"\\D\\*");
  ASSERT_EQ(l.size(), names.size());
  for (size_t i = 0; i < names.size(); ++i)
    ASSERT_EQ(l[i].Name, names[i]);
  MakeFile((u"\\D\\" + names.back() + u"\\f").c_str());
  EXPECT_EQ(List(v, u"\\D\\" + names.back() + u"\\*").size(), 1u);
}

TEST(FsFaults, FailedWritesLeaveTheVolumeUnusableAndTheFileIntact) {
  FormattedImage img(100);
  ASSERT_TRUE(img.Ok());
  TUDFRewritableVolume &v = img.Volume();
  FaultyImageIO io;
  io.Attach(v);
  std::vector<uint8_t> data = Pattern(5000, 1);
  ASSERT_TRUE(WriteWhole(v, u"\\a", data));

  // A read failure before anything is written: 13, and the volume stays usable.
  UDF_HANDLE h =
      UDF_CreateFileW(&v, u"\\a", UDF_GENERIC_READ | UDF_GENERIC_WRITE, UDF_OPEN_EXISTING, 0);
  ASSERT_NE(h, UDF_INVALID_HANDLE);
  uint8_t buf[100];
  uint32_t n = 7;
  // The file's packets are cached since it was written: the read goes to the medium again,
  // where every read fails (a packet read that fails is tried again sector by sector).
  korva::ReleasePacketCache(v);
  io.FailReadAt(1, true);
  EXPECT_EQ(UDF_ReadFile(&v, h, buf, 100, &n), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), KORVA_E_READ);
  EXPECT_EQ(n, 0u);
  io.FailReadAt(0);
  EXPECT_EQ(UDF_GetVolumeCompatibility(&v), KTRUE);

  // A write failure after the first packet went out: 16, nothing reported written, and
  // every later operation refused until a remount.
  io.FailWriteAt(2, true);
  std::vector<uint8_t> more = Pattern(100000, 2);
  EXPECT_EQ(UDF_WriteFile(&v, h, more.data(), uint32_t(more.size()), &n), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), KORVA_E_WRITE_DIRTY);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(UDF_CreateFileW(&v, u"\\b", UDF_GENERIC_WRITE, UDF_CREATE_NEW, 0), UDF_INVALID_HANDLE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), KORVA_E_NOT_COMPATIBLE);
  io.FailWriteAt(0);
  UDF_CloseHandle(&v, h);

  // The file entry was never rewritten: the file keeps its old size and its one extent.
  RawEntry e = ReadEntry(v, EntryBlock(v, u"\\a"));
  ASSERT_TRUE(e.Ok);
  EXPECT_EQ(e.Info.InformationLength, 5000u);
  EXPECT_EQ(e.List.TotalBytes(), 5000u);

  // Dismount still closes the volume, so it mounts again with the file at its old size; the
  // failed write gave back what it took, and the free count agrees with the bitmap.
  const uint32_t freeBefore = v.FreeBlocks;
  ASSERT_TRUE(img.Remount());
  EXPECT_EQ(UDF_GetFreeBlocksOfLogicalVolume(&v), freeBefore);
  EXPECT_EQ(UDF_GetFreeBlocksOfLogicalVolume(&v), CountFreeBlocks(v));
  std::vector<uint8_t> back;
  ASSERT_TRUE(ReadWhole(v, u"\\a", back));
  // The overwrite of the first 5000 bytes went out in the packet that succeeded.
  EXPECT_TRUE(back == data || back == std::vector<uint8_t>(more.begin(), more.begin() + 5000));
  ASSERT_TRUE(WriteWhole(v, u"\\b", more));
  ASSERT_TRUE(ReadWhole(v, u"\\b", back));
  EXPECT_EQ(back, more);
}

// A volume closed after a failure part-way through an operation records the free count its
// stored bitmap gives, wherever the operation stopped: blocks it took stay taken, and the
// count says so.
TEST(FsFaults, ClosingAfterAFailureRecordsTheBitmapsFreeCount) {
  FormattedImage img(16);
  ASSERT_TRUE(img.Ok());
  TUDFRewritableVolume &v = img.Volume();
  FaultyImageIO io;
  io.Attach(v);
  ASSERT_TRUE(WriteWhole(v, u"\\seed", Pattern(3000, 1)));
  int failures = 0;
  for (uint32_t k = 1;; ++k) {
    const std::u16string name = u"d" + std::u16string(1, char16_t(u'a' + k % 26));
    io.FailWriteAt(k, true);
    const KBOOL made = UDF_CreateDirectoryW(&v, u"\\", name.c_str());
    const bool wrote = io.Writes() > k - 1;
    io.FailWriteAt(0);
    ASSERT_TRUE(img.Remount()) << "failure at write " << k;
    EXPECT_EQ(UDF_GetFreeBlocksOfLogicalVolume(&v), CountFreeBlocks(v)) << "failure at write " << k;
    EXPECT_EQ(List(v, u"\\seed").size(), 1u);
    if (made) break;
    ++failures;
    ASSERT_TRUE(wrote);
    // What a failed create left behind is gone before the next try.
    if (!List(v, u"\\" + name).empty()) {
      ASSERT_EQ(UDF_RemoveDirectoryW(&v, (u"\\" + name).c_str()), KTRUE);
    }
    ASSERT_LT(k, 50u);
  }
  EXPECT_GT(failures, 1);
}

namespace {

// The longest name, different from the others in its last digits.
std::u16string LongName(int i) {
  std::u16string n(kMaxNameChars, u'n');
  for (size_t k = 0, x = size_t(i); k < 6; ++k, x /= 10)
    n[kMaxNameChars - 1 - k] = char16_t(u'0' + x % 10);
  return n;
}

bool MakeEmptyFile(TUDFRewritableVolume &v, const std::u16string &path) {
  const UDF_HANDLE h = UDF_CreateFileW(&v, path.c_str(), UDF_GENERIC_WRITE, UDF_CREATE_NEW, 0);
  if (h == UDF_INVALID_HANDLE) return false;
  UDF_CloseHandle(&v, h);
  return true;
}

std::vector<std::u16string> Names(TUDFRewritableVolume &v, const std::u16string &pattern) {
  std::vector<std::u16string> out;
  for (const Listed &l : List(v, pattern))
    out.push_back(l.Name);
  return out;
}

void CopyImage(const std::string &from, const std::string &to) {
  // Removed first: MinGW's copy_file refuses to overwrite even when told to.
  std::filesystem::remove(to);
  std::filesystem::copy_file(from, to);
}

} // namespace

// The appends tried (each failed at every write): fewer under the sanitizers, where each
// remount's walk is slow; the second is the first that changes the extension block.
#if defined(__SANITIZE_ADDRESS__)
constexpr int kAppendsTried = 2;
#else
constexpr int kAppendsTried = 4;
#endif

// A directory whose descriptor list continues in an extension block: an append that fails at
// any of its writes leaves the directory as it was or with the new entry, never with a list
// that runs past its recorded length. After a failed write the volume is closed and mounted
// again, and the next entry goes where readers find it; after a power cut the directory
// reads complete.
TEST(FsFaults, AppendsAroundADirectorysExtensionSurviveAFailureAtEveryWrite) {
  FormattedImage img(8);
  ASSERT_TRUE(img.Ok());
  TUDFRewritableVolume &v = img.Volume();
  ASSERT_EQ(UDF_CreateDirectoryW(&v, u"\\", u"D"), KTRUE);
  const uint32_t dir = EntryBlock(v, u"\\D");
  // Fill the file entry's slots, up to the append that starts the extension.
  std::vector<std::u16string> names;
  uint64_t fid = 0;
  for (int i = 0;; ++i) {
    const RawEntry e = ReadEntry(v, dir);
    ASSERT_TRUE(e.Ok);
    if (i == 1) fid = e.Info.InformationLength - fid;
    if (i == 0) fid = e.Info.InformationLength;
    const uint32_t last = e.List.Extents.back().AD.Length();
    if (i > 1 && e.List.Extents.size() == 233 && last + fid > kBlockSize) break;
    ASSERT_TRUE(MakeEmptyFile(v, u"\\D\\" + LongName(i))) << i;
    names.push_back(LongName(i));
    ASSERT_LT(i, 3000);
  }
  ASSERT_TRUE(img.Remount());
  const std::string snapshot = img.ImagePath() + ".before";
  FaultyImageIO io;
  io.Attach(v);
  int sawChain = 0, failedAppends = 0;
  // The append that starts the extension and the next ones, which change it.
  for (int op = 0; op < kAppendsTried; ++op) {
    const std::u16string name = LongName(int(names.size()));
    const std::u16string path = u"\\D\\" + name;
    ASSERT_EQ(UDF_DismountVolume(&v), KTRUE);
    CopyImage(img.ImagePath(), snapshot);
    for (uint32_t k = 1;; ++k) {
      SCOPED_TRACE("append " + std::to_string(op) + ", write " + std::to_string(k));
      bool made = false;
      for (bool cut : {false, true}) {
        CopyImage(snapshot, img.ImagePath());
        ASSERT_EQ(UDF_MountImage(&v, img.ImagePath().c_str(), 0), KTRUE);
        ASSERT_EQ(UDF_GetVolumeCompatibility(&v), KTRUE);
        io.Reset();
        io.FailWriteAt(k, cut);
        made = MakeEmptyFile(v, path);
        io.FailWriteAt(0);
        if (made) {
          ASSERT_EQ(UDF_DismountVolume(&v), KTRUE);
          break;
        }
        ++failedAppends;
        std::vector<std::u16string> expected = names, seen;
        if (cut) {
          // A power cut: nothing more reaches the image. Read-only, it lists complete.
          AbandonVolume(v);
          ASSERT_EQ(UDF_MountImageReadOnly(&v, img.ImagePath().c_str()), KTRUE);
          ASSERT_EQ(UDF_GetVolumeCompatibility(&v), KTRUE);
          seen = Names(v, u"\\D\\*");
          if (seen.size() == names.size() + 1) expected.push_back(name);
          EXPECT_TRUE(seen == expected) << seen.size() << " entries listed";
          ASSERT_EQ(UDF_DismountVolume(&v), KTRUE);
          continue;
        }
        // One failed write: the volume is closed and mounts again as it stood.
        ASSERT_EQ(UDF_DismountVolume(&v), KTRUE);
        ASSERT_EQ(UDF_MountImage(&v, img.ImagePath().c_str(), 0), KTRUE);
        ASSERT_EQ(UDF_GetVolumeCompatibility(&v), KTRUE) << UDF_GetLastErrorNumber(&v);
        EXPECT_EQ(UDF_GetFreeBlocksOfLogicalVolume(&v), CountFreeBlocks(v));
        const RawEntry e = ReadEntry(v, dir);
        ASSERT_TRUE(e.Ok);
        EXPECT_EQ(e.Info.InformationLength, e.List.TotalBytes());
        sawChain += !e.List.Extensions.empty();
        seen = Names(v, u"\\D\\*");
        if (seen.size() == names.size() + 1) expected.push_back(name);
        EXPECT_TRUE(seen == expected) << seen.size() << " entries listed";
        // The next entry is found where readers look.
        EXPECT_TRUE(MakeEmptyFile(v, u"\\D\\next")) << UDF_GetLastErrorNumber(&v);
        EXPECT_EQ(List(v, u"\\D\\next").size(), 1u);
        expected.push_back(u"next");
        EXPECT_TRUE(Names(v, u"\\D\\*") == expected);
        ASSERT_EQ(UDF_DismountVolume(&v), KTRUE);
        if (HasFailure()) return;
      }
      if (made) break;
      ASSERT_LT(k, 40u);
    }
    names.push_back(name);
    ASSERT_EQ(UDF_MountImage(&v, img.ImagePath().c_str(), 0), KTRUE);
  }
  EXPECT_GT(sawChain, 0) << failedAppends;
  EXPECT_GE(failedAppends, 8 * kAppendsTried) << failedAppends;
}

// A write that fails before anything refers to its blocks (the image's host file system is
// full, say) gives them back: a file that fits in the free space still goes in, and running
// out of space is "no space".
TEST(FsFaults, AFailedWriteGivesBackItsBlocks) {
  FormattedImage img(16);
  ASSERT_TRUE(img.Ok());
  TUDFRewritableVolume &v = img.Volume();
  FaultyImageIO io;
  io.Attach(v);
  UDF_HANDLE h = UDF_CreateFileW(&v, u"\\big", UDF_GENERIC_WRITE, UDF_CREATE_NEW, 0);
  ASSERT_NE(h, UDF_INVALID_HANDLE);
  const uint32_t free0 = v.FreeBlocks;
  std::vector<uint8_t> data = Pattern(size_t(free0 - 8) * 2048, 4);
  uint32_t n = 0;
  io.FailWriteAt(1);
  EXPECT_EQ(UDF_WriteFile(&v, h, data.data(), uint32_t(data.size()), &n), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), KORVA_E_WRITE);
  EXPECT_EQ(UDF_GetVolumeCompatibility(&v), KTRUE);
  EXPECT_EQ(v.FreeBlocks, free0);
  EXPECT_EQ(CountFreeBlocks(v), free0);
  ASSERT_EQ(UDF_WriteFile(&v, h, data.data(), uint32_t(data.size()), &n), KTRUE)
      << UDF_GetLastErrorNumber(&v);
  std::vector<uint8_t> more(2048 * 16);
  EXPECT_EQ(UDF_WriteFile(&v, h, more.data(), uint32_t(more.size()), &n), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), KORVA_E_NO_SPACE);
  UDF_CloseHandle(&v, h);
  ASSERT_TRUE(img.Remount());
  std::vector<uint8_t> back;
  ASSERT_TRUE(ReadWhole(v, u"\\big", back));
  EXPECT_TRUE(back == data);
}
