// Entries of the types other systems record beside files and directories: symbolic links,
// device entries, FIFOs and sockets, with owners. They are read back through the entry
// information and the link reader, listed, kept by check and repair, and deleted by name.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "korva/check.h"
#include "tests/files/fs_helpers.h"
#include "tests/support/volume_fixture.h"
#include "udf/byte_order.h"
#include "udf/descriptors.h"
#include "udf/path_components.h"
#include "udf/tag.h"
#include "volume/engine.h"
#include "volume/fs/fs_internal.h"
#include "volume/fs/fs_records.h"

using namespace korva;
using namespace korva::test;

namespace {

// An extended attribute header followed by a device specification attribute.
std::vector<uint8_t> DeviceAttributes(uint32_t major, uint32_t minor) {
  std::vector<uint8_t> ea(24 + 24, 0);
  StoreLE16(ea.data(), 262);
  StoreLE32(ea.data() + 16, uint32_t(ea.size())); // implementation attributes: none
  StoreLE32(ea.data() + 20, uint32_t(ea.size())); // application attributes: none
  uint8_t *dev = ea.data() + 24;
  StoreLE32(dev, 12);
  dev[4] = 1;
  StoreLE32(dev + 8, 24);
  StoreLE32(dev + 16, major);
  StoreLE32(dev + 20, minor);
  return ea;
}

class FsTypes : public ::testing::Test {
protected:
  FormattedImage img{100};
  TUDFRewritableVolume &v = img.Volume();
  void SetUp() override { ASSERT_TRUE(img.Ok()); }

  // Creates an empty file at path and turns its entry into one of another type as the Linux
  // kernel records it: owner and group, extended attributes, data embedded in the entry.
  void MakeEntry(const std::u16string &path, uint8_t type, const std::vector<uint8_t> &ea,
                 const std::vector<uint8_t> &data, uint32_t uid = 1000, uint32_t gid = 100) {
    ASSERT_TRUE(WriteWhole(v, path, {}));
    const uint32_t block = EntryBlock(v, path);
    ASSERT_NE(block, 0u);
    uint8_t fe[kBlockSize];
    ASSERT_TRUE(ReadBlock(v, block, fe));
    ASSERT_LE(176 + ea.size() + data.size(), size_t(kBlockSize));
    fe[27] = type;
    StoreLE16(fe + 34, kDescriptorsEmbedded);
    StoreLE32(fe + 36, uid);
    StoreLE32(fe + 40, gid);
    StoreLE64(fe + 56, data.size());
    StoreLE64(fe + 64, 0);
    StoreLE32(fe + 168, uint32_t(ea.size()));
    StoreLE32(fe + 172, uint32_t(data.size()));
    std::memset(fe + 176, 0, kBlockSize - 176);
    if (!ea.empty()) std::memcpy(fe + 176, ea.data(), ea.size());
    if (!data.empty()) std::memcpy(fe + 176 + ea.size(), data.data(), data.size());
    RefillEntryTag(fe, block);
    ASSERT_TRUE(WriteBlock(v, block, fe));
  }

  void MakeLink(const std::u16string &path, const std::u16string &target) {
    const auto components = ComponentsFromPath(target);
    ASSERT_TRUE(components);
    MakeEntry(path, kFileTypeSymlink, {}, *components);
  }

  KorvaFileInfo Info(const std::u16string &path) {
    KorvaFileInfo info{};
    EXPECT_EQ(UDF_GetFileInfoW(&v, path.c_str(), &info), KTRUE) << v.LastError;
    return info;
  }

  std::u16string Link(const std::u16string &path) {
    std::vector<KWCHAR> buf(8192);
    uint32_t n = 0;
    EXPECT_EQ(UDF_ReadLinkW(&v, path.c_str(), buf.data(), 8192, &n), KTRUE) << v.LastError;
    return std::u16string(buf.data(), n);
  }
};

} // namespace

TEST_F(FsTypes, InformationReportsTypeOwnerAndDeviceNumbers) {
  MakeEntry(u"\\tty", kFileTypeCharDevice, DeviceAttributes(4, 64), {}, 0, 5);
  MakeEntry(u"\\sda", kFileTypeBlockDevice, DeviceAttributes(8, 1), {});
  MakeEntry(u"\\fifo", kFileTypeFifo, {}, {});
  MakeEntry(u"\\sock", kFileTypeSocket, {}, {}, 7, 8);
  ASSERT_TRUE(WriteWhole(v, u"\\plain", Pattern(10, 1)));

  KorvaFileInfo tty = Info(u"\\tty");
  EXPECT_EQ(tty.Kind, KORVA_ENTRY_FILE);
  EXPECT_EQ(tty.FileType, KORVA_FILE_TYPE_CHAR_DEVICE);
  EXPECT_EQ(tty.Uid, 0u);
  EXPECT_EQ(tty.Gid, 5u);
  EXPECT_EQ(tty.DeviceMajor, 4u);
  EXPECT_EQ(tty.DeviceMinor, 64u);
  KorvaFileInfo sda = Info(u"\\sda");
  EXPECT_EQ(sda.FileType, KORVA_FILE_TYPE_BLOCK_DEVICE);
  EXPECT_EQ(sda.DeviceMajor, 8u);
  EXPECT_EQ(sda.DeviceMinor, 1u);
  EXPECT_EQ(Info(u"\\fifo").FileType, KORVA_FILE_TYPE_FIFO);
  KorvaFileInfo sock = Info(u"\\sock");
  EXPECT_EQ(sock.FileType, KORVA_FILE_TYPE_SOCKET);
  EXPECT_EQ(sock.Uid, 7u);
  EXPECT_EQ(sock.DeviceMajor, 0u);
  KorvaFileInfo plain = Info(u"\\plain");
  EXPECT_EQ(plain.FileType, KORVA_FILE_TYPE_FILE);
  EXPECT_EQ(plain.Uid, KORVA_ID_NOT_RECORDED);
  EXPECT_EQ(plain.Gid, KORVA_ID_NOT_RECORDED);
  EXPECT_EQ(Info(u"\\").FileType, KORVA_FILE_TYPE_DIRECTORY);
  EXPECT_EQ(List(v, u"\\*").size(), 5u);
}

TEST_F(FsTypes, LinkTargetsReadAsPaths) {
  MakeLink(u"\\abs", u"/usr/lib/x");
  MakeLink(u"\\rel", u"../up/./here");
  MakeLink(u"\\root", u"/");
  std::u16string wide(200, u'\x3b1'); // a name that needs 16-bit characters
  MakeLink(u"\\wide", wide.substr(0, 127));
  EXPECT_EQ(Link(u"\\abs"), u"/usr/lib/x");
  EXPECT_EQ(Link(u"\\rel"), u"../up/./here");
  EXPECT_EQ(Link(u"\\root"), u"/");
  EXPECT_EQ(Link(u"\\wide"), wide.substr(0, 127));
  EXPECT_EQ(Info(u"\\abs").FileType, KORVA_FILE_TYPE_SYMLINK);

  // The 8-bit form, its sizes in bytes, and a buffer one byte short.
  char narrow[64];
  uint32_t n = 0;
  ASSERT_EQ(UDF_ReadLink(&v, "\\abs", narrow, sizeof narrow, &n), KTRUE);
  EXPECT_STREQ(narrow, "/usr/lib/x");
  EXPECT_EQ(n, 10u);
  EXPECT_EQ(UDF_ReadLink(&v, "\\abs", narrow, 10, &n), KFALSE);
  EXPECT_EQ(v.LastError, uint32_t(KORVA_E_INVALID_PARAMETER));
  EXPECT_EQ(n, 10u);

  // Not a link, missing, and components that run past the data.
  ASSERT_TRUE(WriteWhole(v, u"\\plain", Pattern(10, 1)));
  KWCHAR buf[64];
  EXPECT_EQ(UDF_ReadLinkW(&v, u"\\plain", buf, 64, nullptr), KFALSE);
  EXPECT_EQ(v.LastError, uint32_t(KORVA_E_INVALID_PARAMETER));
  EXPECT_EQ(UDF_ReadLinkW(&v, u"\\none", buf, 64, nullptr), KFALSE);
  EXPECT_EQ(v.LastError, uint32_t(KORVA_E_FILE_NOT_FOUND));
  MakeEntry(u"\\cut", kFileTypeSymlink, {}, {5, 9, 0, 0, 8, 'a'});
  EXPECT_EQ(UDF_ReadLinkW(&v, u"\\cut", buf, 64, nullptr), KFALSE);
  EXPECT_EQ(v.LastError, uint32_t(KORVA_E_DAMAGED));
}

TEST_F(FsTypes, LinkTargetsRecordedInBlocksRead) {
  // A target longer than an entry holds: recorded in a data block as a file's data is.
  std::u16string target;
  for (int i = 0; i < 80; ++i)
    target += u"/component-of-a-long-path-" + std::u16string(1, char16_t(u'a' + i % 26));
  const auto components = ComponentsFromPath(target);
  ASSERT_TRUE(components && components->size() > kBlockSize);
  ASSERT_TRUE(WriteWhole(v, u"\\long", *components));
  const uint32_t block = EntryBlock(v, u"\\long");
  uint8_t fe[kBlockSize];
  ASSERT_TRUE(ReadBlock(v, block, fe));
  fe[27] = kFileTypeSymlink;
  RefillEntryTag(fe, block);
  ASSERT_TRUE(WriteBlock(v, block, fe));
  EXPECT_EQ(Link(u"\\long").size(), target.size());
  EXPECT_EQ(Link(u"\\long"), target);
  EXPECT_EQ(UDF_CheckVolume(&v, nullptr, nullptr), KTRUE) << v.LastError;
}

TEST_F(FsTypes, CheckAndRepairKeepEveryTypeAndDeleteRemovesThem) {
  MakeLink(u"\\link", u"target");
  MakeEntry(u"\\tty", kFileTypeCharDevice, DeviceAttributes(4, 1), {});
  MakeEntry(u"\\fifo", kFileTypeFifo, {}, {});
  MakeEntry(u"\\odd", 200, {}, {}); // a type no system here knows: kept as stored
  ASSERT_TRUE(img.Remount());
  EXPECT_EQ(UDF_CheckVolume(&v, nullptr, nullptr), KTRUE) << v.LastError;
  ASSERT_EQ(UDF_RepairVolume(&v, nullptr, nullptr), KTRUE) << v.LastError;
  EXPECT_EQ(List(v, u"\\*").size(), 4u);
  EXPECT_EQ(Link(u"\\link"), u"target");
  EXPECT_EQ(Info(u"\\odd").FileType, 200u);
  EXPECT_EQ(Info(u"\\tty").DeviceMinor, 1u);

  for (const char16_t *p : {u"\\link", u"\\tty", u"\\fifo", u"\\odd"})
    EXPECT_EQ(UDF_DeleteFileW(&v, p), KTRUE) << v.LastError;
  EXPECT_TRUE(List(v, u"\\*").empty());
  EXPECT_EQ(UDF_CheckVolume(&v, nullptr, nullptr), KTRUE) << v.LastError;
}

// An older descriptor of ours whose CRC covered the whole bitmap, with a bit the kernel
// flipped afterwards (it never refreshes that CRC): the volume still mounts and reads, the
// bitmap is marked suspect, and the next dismount records the CRC in the header-only form.
TEST_F(FsTypes, ABitmapChangedUnderItsCRCStillMountsAndReads) {
  ASSERT_TRUE(WriteWhole(v, u"\\kept", Pattern(5000, 3)));
  const uint32_t sector = v.SpaceBitmapSector, bits = v.PartitionLength;
  ASSERT_EQ(UDF_DismountVolume(&v), KTRUE);
  std::vector<uint8_t> desc(SpaceBitmapSectors(bits) * kBlockSize);
  FILE *f = std::fopen(img.ImagePath().c_str(), "r+b");
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(std::fseek(f, long(sector) * kBlockSize, SEEK_SET), 0);
  ASSERT_EQ(std::fread(desc.data(), 1, desc.size(), f), desc.size());
  const uint32_t crcLength = 24 + SpaceBitmapBytes(bits) - 16;
  FillTagAt(desc.data(), kTagSpaceBitmap, uint16_t(crcLength), sector - v.PartitionStart);
  desc[24 + SpaceBitmapBytes(bits) - 10] &= 0x7F; // a free block taken by the other system
  ASSERT_EQ(std::fseek(f, long(sector) * kBlockSize, SEEK_SET), 0);
  ASSERT_EQ(std::fwrite(desc.data(), 1, desc.size(), f), desc.size());
  std::fclose(f);

  ASSERT_EQ(UDF_MountImageReadOnly(&v, img.ImagePath().c_str()), KTRUE) << v.LastError;
  EXPECT_EQ(UDF_GetSpaceBitmapSuspect(&v), KTRUE);
  std::vector<uint8_t> back;
  ASSERT_TRUE(ReadWhole(v, u"\\kept", back));
  EXPECT_EQ(back, Pattern(5000, 3));
  ASSERT_EQ(UDF_DismountVolume(&v), KTRUE);
  ASSERT_EQ(UDF_MountImage(&v, img.ImagePath().c_str(), 0), KTRUE) << v.LastError;
  EXPECT_EQ(UDF_GetVolumeCompatibility(&v), KTRUE);
  EXPECT_EQ(UDF_GetSpaceBitmapSuspect(&v), KTRUE);
  ASSERT_TRUE(WriteWhole(v, u"\\more", Pattern(5000, 4)));
  // The check names the block the bitmap holds but nothing uses, and repair frees it.
  EXPECT_EQ(UDF_CheckVolume(&v, nullptr, nullptr), KFALSE);
  ASSERT_EQ(UDF_RepairVolume(&v, nullptr, nullptr), KTRUE) << v.LastError;
  ASSERT_TRUE(img.Remount());
  EXPECT_EQ(UDF_GetSpaceBitmapSuspect(&v), KFALSE);
  EXPECT_EQ(UDF_CheckVolume(&v, nullptr, nullptr), KTRUE) << v.LastError;
  const std::string head = ReadImageSector(img.ImagePath(), v.SpaceBitmapSector);
  ASSERT_EQ(head.size(), size_t(kBlockSize));
  EXPECT_EQ(LoadLE16(reinterpret_cast<const uint8_t *>(head.data()) + 10), kSpaceBitmapCRCLength);
}

// Another system's name of 254 8-bit characters (the most one byte of length holds): read,
// listed, and deleted by that name.
TEST_F(FsTypes, NamesOf254EightBitCharactersAreReachable) {
  const std::u16string shortName(127, u'\x3b1');
  ASSERT_TRUE(WriteWhole(v, u"\\" + shortName, Pattern(3000, 9)));
  // 127 16-bit characters take 255 bytes, as 254 8-bit ones do: the name is rewritten in place.
  std::u16string longName(254, u'n');
  longName[0] = u'\xe9';
  DirectoryInformation di;
  di.DirICB = RootBlock(v);
  bool found = false;
  ASSERT_TRUE(LocatePath(v, u"\\" + shortName, di, found, {.LastMatch = NameMatch::Exact}).IsOk());
  ASSERT_TRUE(found);
  ASSERT_TRUE(RewriteFid(v, di, [&](uint8_t *fid, uint32_t length, uint32_t location, uint32_t) {
    ASSERT_EQ(fid[19], 255);
    uint8_t *ident = fid + 38 + LoadLE16(fid + 36);
    ident[0] = 8;
    for (size_t i = 0; i < longName.size(); ++i)
      ident[1 + i] = uint8_t(longName[i]);
    FillTagAt(fid, kTagFileIdentifier, uint16_t(length - 16), location);
  }).IsOk());
  ASSERT_TRUE(img.Remount()); // the name index learns the name from the medium
  const std::u16string path = u"\\" + longName;
  std::vector<uint8_t> back;
  ASSERT_TRUE(ReadWhole(v, path, back)) << v.LastError;
  EXPECT_EQ(back, Pattern(3000, 9));
  EXPECT_EQ(Info(path).Size, 3000u);
  ASSERT_EQ(List(v, u"\\*").size(), 1u);
  EXPECT_EQ(List(v, u"\\*")[0].Name, longName);
  EXPECT_EQ(UDF_CheckVolume(&v, nullptr, nullptr), KTRUE) << v.LastError;
  // One character more cannot be stored by anyone: refused as a name, not looked for.
  EXPECT_EQ(UDF_GetFileInfoW(&v, (path + u"x").c_str(), nullptr), KFALSE);
  KorvaFileInfo info{};
  EXPECT_EQ(UDF_GetFileInfoW(&v, (path + u"x").c_str(), &info), KFALSE);
  EXPECT_EQ(v.LastError, uint32_t(KORVA_E_INVALID_NAME));
  // Moved under another long name of 8-bit characters, into a directory and back.
  ASSERT_EQ(UDF_CreateDirectoryW(&v, u"\\", u"d"), KTRUE);
  const std::u16string moved = u"\\d\\" + std::u16string(254, u'\xfc');
  ASSERT_EQ(UDF_MoveFileW(&v, path.c_str(), moved.c_str()), KTRUE) << v.LastError;
  ASSERT_TRUE(ReadWhole(v, moved, back));
  EXPECT_EQ(back, Pattern(3000, 9));
  ASSERT_EQ(UDF_MoveFileW(&v, moved.c_str(), path.c_str()), KTRUE) << v.LastError;
  ASSERT_EQ(UDF_RemoveDirectoryW(&v, u"\\d"), KTRUE);
  EXPECT_EQ(UDF_DeleteFileW(&v, path.c_str()), KTRUE) << v.LastError;
  EXPECT_TRUE(List(v, u"\\*").empty());
  EXPECT_EQ(UDF_CheckVolume(&v, nullptr, nullptr), KTRUE) << v.LastError;
}
