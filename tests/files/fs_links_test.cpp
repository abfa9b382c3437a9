// Entries made beyond files and directories: hard links, symbolic links and special files,
// read back through entry information and the volume's own check.
#include <gtest/gtest.h>

#include "korva/check.h"
#include "tests/files/fs_helpers.h"
#include "tests/support/volume_fixture.h"
#include "volume/engine.h"

using namespace korva;
using namespace korva::test;

namespace {

class FsLinks : public ::testing::Test {
protected:
  FormattedImage img{100};
  TUDFRewritableVolume &v = img.Volume();
  void SetUp() override { ASSERT_TRUE(img.Ok()); }
  KorvaFileInfo Info(const char16_t *path) {
    KorvaFileInfo info{};
    EXPECT_EQ(UDF_GetFileInfoW(&v, path, &info), KTRUE) << UDF_GetLastErrorNumber(&v);
    return info;
  }
  void ExpectClean() {
    std::string findings;
    auto note = [](void *c, const KorvaFinding *f) {
      *static_cast<std::string *>(c) += std::string(f->Path) + ": " + f->Text + "\n";
    };
    EXPECT_EQ(UDF_CheckVolume(&v, note, &findings), KTRUE) << findings;
  }
  std::u16string Link(const char16_t *path) {
    KWCHAR buf[600] = {};
    uint32_t n = 0;
    EXPECT_EQ(UDF_ReadLinkW(&v, path, buf, 600, &n), KTRUE) << UDF_GetLastErrorNumber(&v);
    return std::u16string(buf, n);
  }
};

} // namespace

TEST_F(FsLinks, HardLinksShareOneEntryAndCountEveryName) {
  const std::vector<uint8_t> data = Pattern(5000, 3);
  ASSERT_TRUE(WriteWhole(v, u"\\f", data));
  ASSERT_EQ(UDF_CreateDirectoryW(&v, u"\\", u"d"), KTRUE);
  const uint32_t free0 = v.FreeBlocks;
  ASSERT_EQ(UDF_CreateHardLinkW(&v, u"\\f", u"\\d\\g"), KTRUE);
  ASSERT_EQ(UDF_CreateHardLink(&v, "\\d\\g", "\\h"), KTRUE);
  EXPECT_EQ(v.FreeBlocks, free0); // names only, in blocks the directories had
  EXPECT_EQ(UDF_GetFileCount(&v), 1u);
  EXPECT_EQ(Info(u"\\f").LinkCount, 3u);
  EXPECT_EQ(Info(u"\\d\\g").UniqueID, Info(u"\\f").UniqueID);
  EXPECT_EQ(UDF_CreateHardLinkW(&v, u"\\f", u"\\h"), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), KORVA_E_FILE_EXISTS);
  EXPECT_EQ(UDF_CreateHardLinkW(&v, u"\\d", u"\\dl"), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), KORVA_E_ACCESS);
  EXPECT_EQ(UDF_CreateHardLinkW(&v, u"\\missing", u"\\x"), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), KORVA_E_FILE_NOT_FOUND);
  ExpectClean();
  // Deleting names lowers the count; the last one frees the file.
  ASSERT_EQ(UDF_DeleteFileW(&v, u"\\f"), KTRUE);
  std::vector<uint8_t> back;
  ASSERT_TRUE(ReadWhole(v, u"\\h", back));
  EXPECT_EQ(back, data);
  EXPECT_EQ(Info(u"\\h").LinkCount, 2u);
  ASSERT_TRUE(img.Remount());
  ExpectClean();
  ASSERT_EQ(UDF_DeleteFileW(&v, u"\\h"), KTRUE);
  ASSERT_EQ(UDF_DeleteFileW(&v, u"\\d\\g"), KTRUE);
  EXPECT_EQ(v.FreeBlocks, free0 + 4);
  EXPECT_EQ(UDF_GetFileCount(&v), 0u);
  ExpectClean();
}

TEST_F(FsLinks, SymbolicLinksKeepTheirTargets) {
  const uint32_t free0 = v.FreeBlocks;
  ASSERT_EQ(UDF_CreateSymbolicLinkW(&v, u"\\rel", u"../a/./b"), KTRUE);
  ASSERT_EQ(UDF_CreateSymbolicLink(&v, "\\abs", "/usr/lib/ünï"), KTRUE);
  EXPECT_EQ(Info(u"\\rel").FileType, KORVA_FILE_TYPE_SYMLINK);
  EXPECT_EQ(Info(u"\\rel").Kind, KORVA_ENTRY_FILE);
  EXPECT_EQ(Link(u"\\rel"), u"../a/./b");
  EXPECT_EQ(Link(u"\\abs"), u"/usr/lib/\u00fcn\u00ef");
  EXPECT_EQ(v.FreeBlocks, free0 - 4); // an entry and a data block each
  // A long target spreads over several blocks.
  std::u16string longTarget;
  for (int i = 0; i < 2000; ++i)
    longTarget += u"x/";
  longTarget += u"end";
  ASSERT_EQ(UDF_CreateSymbolicLinkW(&v, u"\\long", longTarget.c_str()), KTRUE);
  std::vector<KWCHAR> buf(longTarget.size() + 1);
  uint32_t n = 0;
  ASSERT_EQ(UDF_ReadLinkW(&v, u"\\long", buf.data(), uint32_t(buf.size()), &n), KTRUE);
  EXPECT_EQ(std::u16string(buf.data(), n), longTarget.substr(0, longTarget.size()));
  EXPECT_EQ(UDF_CreateSymbolicLinkW(&v, u"\\rel", u"x"), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), KORVA_E_FILE_EXISTS);
  EXPECT_EQ(UDF_CreateSymbolicLinkW(&v, u"\\bad", std::u16string(300, u'n').c_str()), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), KORVA_E_INVALID_NAME);
  ASSERT_TRUE(img.Remount());
  EXPECT_EQ(Link(u"\\rel"), u"../a/./b");
  ExpectClean();
  ASSERT_EQ(UDF_DeleteFileW(&v, u"\\rel"), KTRUE);
  ASSERT_EQ(UDF_DeleteFileW(&v, u"\\abs"), KTRUE);
  ASSERT_EQ(UDF_DeleteFileW(&v, u"\\long"), KTRUE);
  EXPECT_EQ(v.FreeBlocks, free0);
  ExpectClean();
}

TEST_F(FsLinks, SpecialFilesKeepTheirKindAndDeviceNumbers) {
  const uint32_t free0 = v.FreeBlocks;
  ASSERT_EQ(UDF_CreateSpecialFileW(&v, u"\\fifo", KORVA_FILE_TYPE_FIFO, 0, 0), KTRUE);
  ASSERT_EQ(UDF_CreateSpecialFileW(&v, u"\\sock", KORVA_FILE_TYPE_SOCKET, 0, 0), KTRUE);
  ASSERT_EQ(UDF_CreateSpecialFileW(&v, u"\\chr", KORVA_FILE_TYPE_CHAR_DEVICE, 1, 3), KTRUE);
  ASSERT_EQ(UDF_CreateSpecialFile(&v, "\\blk", KORVA_FILE_TYPE_BLOCK_DEVICE, 259, 70000), KTRUE);
  EXPECT_EQ(UDF_CreateSpecialFileW(&v, u"\\x", KORVA_FILE_TYPE_SYMLINK, 0, 0), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), KORVA_E_INVALID_PARAMETER);
  EXPECT_EQ(v.FreeBlocks, free0 - 4);
  ASSERT_TRUE(img.Remount());
  EXPECT_EQ(Info(u"\\fifo").FileType, KORVA_FILE_TYPE_FIFO);
  EXPECT_EQ(Info(u"\\sock").FileType, KORVA_FILE_TYPE_SOCKET);
  const KorvaFileInfo c = Info(u"\\chr"), b = Info(u"\\blk");
  EXPECT_EQ(c.FileType, KORVA_FILE_TYPE_CHAR_DEVICE);
  EXPECT_EQ(c.DeviceMajor, 1u);
  EXPECT_EQ(c.DeviceMinor, 3u);
  EXPECT_EQ(b.FileType, KORVA_FILE_TYPE_BLOCK_DEVICE);
  EXPECT_EQ(b.DeviceMajor, 259u);
  EXPECT_EQ(b.DeviceMinor, 70000u);
  EXPECT_EQ(UDF_GetFileCount(&v), 4u);
  ExpectClean();
  // The set-ID and owner changes a mount makes on them stay with the device attribute.
  ASSERT_EQ(UDF_SetFileOwnerW(&v, u"\\chr", 5, 6), KTRUE);
  ASSERT_EQ(UDF_SetFilePermissionsW(&v, u"\\chr", 0x7FFF | UDF_PERMISSION_SETGID), KTRUE);
  EXPECT_EQ(Info(u"\\chr").DeviceMinor, 3u);
  EXPECT_EQ(Info(u"\\chr").Uid, 5u);
  for (const char16_t *p : {u"\\fifo", u"\\sock", u"\\chr", u"\\blk"})
    ASSERT_EQ(UDF_DeleteFileW(&v, p), KTRUE);
  EXPECT_EQ(v.FreeBlocks, free0);
  ExpectClean();
}
