// Read-only mounts and volumes left open: nothing reaches the medium, reading works, every
// change is refused with the read-only error, and an image that cannot be written is mounted
// read-only by itself.
#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>
#include <iterator>
#include <string>

#include "korva/files.h"
#include "tests/support/volume_fixture.h"
#include "volume/engine.h"

namespace korva {
namespace {

using test::FaultyImageIO;
using test::FormatAndWait;
using test::FileBytes;
using test::FormattedImage;
using test::NewVolume;
using test::TempDir;

// A small volume holding /d/f.txt with known contents, dismounted (closed).
struct ClosedVolume {
  FormattedImage img{8};
  ClosedVolume() {
    TUDFRewritableVolume &v = img.Volume();
    EXPECT_EQ(UDF_CreateDirectoryW(&v, u"\\", u"d"), KTRUE);
    const UDF_HANDLE h = UDF_CreateFileW(&v, u"\\d\\f.txt", UDF_GENERIC_WRITE, UDF_CREATE_NEW, 0);
    EXPECT_NE(h, UDF_INVALID_HANDLE);
    uint32_t n = 0;
    EXPECT_EQ(UDF_WriteFile(&v, h, "hello", 5, &n), KTRUE);
    UDF_CloseHandle(&v, h);
    EXPECT_EQ(UDF_DismountVolume(&v), KTRUE);
  }
  TUDFRewritableVolume &V() { return img.Volume(); }
  const std::string &Path() const { return img.ImagePath(); }
};

std::string ReadWhole(TUDFRewritableVolume &v, const char16_t *path) {
  const UDF_HANDLE h = UDF_CreateFileW(&v, path, UDF_GENERIC_READ, UDF_OPEN_EXISTING, 0);
  if (h == UDF_INVALID_HANDLE) return "<no handle>";
  char buf[64] = {};
  uint32_t n = 0;
  UDF_ReadFile(&v, h, buf, sizeof buf, &n);
  UDF_CloseHandle(&v, h);
  return std::string(buf, n);
}

// Every kind of change fails with the read-only error.
void ExpectEveryChangeRefused(TUDFRewritableVolume &v) {
  EXPECT_EQ(UDF_CreateDirectoryW(&v, u"\\", u"new"), KFALSE);
  EXPECT_EQ(v.LastError, uint32_t(KORVA_E_READ_ONLY));
  EXPECT_EQ(UDF_CreateFileW(&v, u"\\n.txt", UDF_GENERIC_WRITE, UDF_CREATE_NEW, 0),
            UDF_INVALID_HANDLE);
  EXPECT_EQ(v.LastError, uint32_t(KORVA_E_READ_ONLY));
  EXPECT_EQ(UDF_CreateFileW(&v, u"\\n.txt", UDF_GENERIC_READ, UDF_OPEN_ALWAYS, 0),
            UDF_INVALID_HANDLE);
  EXPECT_EQ(v.LastError, uint32_t(KORVA_E_READ_ONLY));
  EXPECT_EQ(UDF_CreateFileW(&v, u"\\d\\f.txt", UDF_GENERIC_WRITE, UDF_OPEN_EXISTING, 0),
            UDF_INVALID_HANDLE);
  EXPECT_EQ(v.LastError, uint32_t(KORVA_E_READ_ONLY));
  EXPECT_EQ(UDF_DeleteFileW(&v, u"\\d\\f.txt"), KFALSE);
  EXPECT_EQ(v.LastError, uint32_t(KORVA_E_READ_ONLY));
  EXPECT_EQ(UDF_RemoveDirectoryW(&v, u"\\d"), KFALSE);
  EXPECT_EQ(v.LastError, uint32_t(KORVA_E_READ_ONLY));
  EXPECT_EQ(FormatAndWait(v, u"NO"), -1);
  EXPECT_EQ(v.LastError, uint32_t(KORVA_E_READ_ONLY));
  // The sector layer refuses too, whoever asks.
  v.LastError = 0;
  EXPECT_EQ(WritePacket(v, 0).Error(), uint32_t(KORVA_E_READ_ONLY));
  // Reading still works.
  EXPECT_EQ(ReadWhole(v, u"\\d\\f.txt"), "hello");
  EXPECT_EQ(UDF_GetVolumeCompatibility(&v), KTRUE);
}

TEST(ReadOnlyMount, WritesNothingAndRefusesEveryChange) {
  ClosedVolume c;
  const std::string before = FileBytes(c.Path());
  FaultyImageIO io;
  io.Attach(c.V());
  ASSERT_EQ(UDF_MountImageReadOnly(&c.V(), c.Path().c_str()), KTRUE);
  EXPECT_EQ(UDF_GetVolumeCompatibility(&c.V()), KTRUE);
  EXPECT_EQ(c.V().ReadOnly, 1);
  EXPECT_EQ(c.V().LeftOpen, 0);
  ExpectEveryChangeRefused(c.V());
  _UDF_FIND_DATAW fd;
  const UDF_HANDLE f = UDF_FindFirstFileW(&c.V(), u"\\d\\*", &fd);
  ASSERT_NE(f, UDF_INVALID_HANDLE);
  EXPECT_EQ(std::u16string(fd.cFileName), u"f.txt");
  UDF_FindClose(&c.V(), f);
  EXPECT_EQ(UDF_DismountVolume(&c.V()), KTRUE);
  EXPECT_EQ(c.V().ReadOnly, 0);
  EXPECT_EQ(io.Writes(), 0u);
  EXPECT_EQ(io.Flushes(), 0u);
  EXPECT_EQ(FileBytes(c.Path()), before);
  // A plain mount afterwards is writable again.
  ASSERT_EQ(UDF_MountImage(&c.V(), c.Path().c_str(), 0), KTRUE);
  EXPECT_EQ(UDF_GetVolumeCompatibility(&c.V()), KTRUE);
  EXPECT_EQ(c.V().ReadOnly, 0);
  EXPECT_EQ(UDF_CreateDirectoryW(&c.V(), u"\\", u"new"), KTRUE);
  EXPECT_EQ(UDF_DismountVolume(&c.V()), KTRUE);
}

TEST(ReadOnlyMount, MissingImageIsNeitherCreatedNorUsable) {
  TempDir dir;
  auto v = NewVolume();
  const std::string path = dir.File("none.img");
  EXPECT_EQ(UDF_MountImageReadOnly(v.get(), path.c_str()), KTRUE);
  EXPECT_EQ(v->LastError, uint32_t(KORVA_E_READ));
  EXPECT_EQ(UDF_GetVolumeCompatibility(v.get()), KFALSE);
  EXPECT_FALSE(std::ifstream(path).good());
  EXPECT_EQ(UDF_DismountVolume(v.get()), KTRUE);
}

TEST(LeftOpen, RefusedUntilRepairedButReadableReadOnly) {
  ClosedVolume c;
  // Mount and let go without dismounting, as a crash would.
  ASSERT_EQ(UDF_MountImage(&c.V(), c.Path().c_str(), 0), KTRUE);
  ASSERT_EQ(UDF_GetVolumeCompatibility(&c.V()), KTRUE);
  test::AbandonVolume(c.V());
  const std::string before = FileBytes(c.Path());

  ASSERT_EQ(UDF_MountImage(&c.V(), c.Path().c_str(), 0), KTRUE);
  EXPECT_EQ(c.V().LastError, uint32_t(KORVA_E_LEFT_OPEN));
  EXPECT_EQ(c.V().LeftOpen, 1);
  EXPECT_EQ(c.V().ReadOnly, 0);
  EXPECT_EQ(UDF_GetVolumeCompatibility(&c.V()), KFALSE);
  EXPECT_EQ(UDF_DismountVolume(&c.V()), KTRUE);
  EXPECT_EQ(FileBytes(c.Path()), before);

  ASSERT_EQ(UDF_MountImageReadOnly(&c.V(), c.Path().c_str()), KTRUE);
  EXPECT_EQ(c.V().LeftOpen, 1);
  EXPECT_EQ(c.V().ReadOnly, 1);
  ExpectEveryChangeRefused(c.V());
  EXPECT_EQ(UDF_DismountVolume(&c.V()), KTRUE);
  EXPECT_EQ(FileBytes(c.Path()), before);

  // Formatting replaces it, and the new volume is not left open.
  ASSERT_EQ(UDF_MountImage(&c.V(), c.Path().c_str(), 0), KTRUE);
  EXPECT_EQ(FormatAndWait(c.V(), u"NEW"), 0);
  EXPECT_EQ(c.V().LeftOpen, 0);
  EXPECT_TRUE(c.img.Remount());
}

TEST(LeftOpen, DamageBesidesBeingLeftOpenIsNotReportedAsLeftOpen) {
  ClosedVolume c;
  ASSERT_EQ(UDF_MountImage(&c.V(), c.Path().c_str(), 0), KTRUE);
  ASSERT_EQ(UDF_GetVolumeCompatibility(&c.V()), KTRUE);
  const uint32_t root = c.V().RootICBSector;
  test::AbandonVolume(c.V());
  // Left open, and nothing else wrong with it yet.
  ASSERT_EQ(UDF_MountImageReadOnly(&c.V(), c.Path().c_str()), KTRUE);
  ASSERT_EQ(c.V().LeftOpen, 1);
  ASSERT_EQ(UDF_DismountVolume(&c.V()), KTRUE);
  // Break the root directory's file entry.
  std::fstream f(c.Path(), std::ios::in | std::ios::out | std::ios::binary);
  f.seekp(std::streamoff(root) * 2048);
  f.write("XXXX", 4);
  f.close();
  ASSERT_EQ(UDF_MountImage(&c.V(), c.Path().c_str(), 0), KTRUE);
  EXPECT_EQ(UDF_GetVolumeCompatibility(&c.V()), KFALSE);
  EXPECT_EQ(c.V().LeftOpen, 0);
  EXPECT_EQ(UDF_DismountVolume(&c.V()), KTRUE);
}

// The POSIX layer, except that opening for writing is refused as on a read-only file system.
int RefuseWriteOpen(void *, const char *, int32_t *) {
  return EROFS;
}

TEST(ReadOnlyMount, ImageThatCannotBeWrittenIsMountedReadOnlyByItself) {
  ClosedVolume c;
  const std::string before = FileBytes(c.Path());
  KorvaImageIO io = *KorvaPosixImageIO();
  io.Open = RefuseWriteOpen;
  c.V().ImageIO = &io;
  ASSERT_EQ(UDF_MountImage(&c.V(), c.Path().c_str(), 0), KTRUE);
  EXPECT_EQ(UDF_GetVolumeCompatibility(&c.V()), KTRUE);
  EXPECT_EQ(c.V().ReadOnly, 1);
  ExpectEveryChangeRefused(c.V());
  EXPECT_EQ(UDF_DismountVolume(&c.V()), KTRUE);
  EXPECT_EQ(FileBytes(c.Path()), before);
  // A layer that cannot open for reading only leaves the volume unusable, not written.
  io.OpenReadOnly = nullptr;
  ASSERT_EQ(UDF_MountImage(&c.V(), c.Path().c_str(), 0), KTRUE);
  EXPECT_EQ(UDF_GetVolumeCompatibility(&c.V()), KFALSE);
  EXPECT_EQ(UDF_DismountVolume(&c.V()), KTRUE);
  c.V().ImageIO = nullptr;
}

#if !defined(_WIN32) // Windows names are characters of the code page (tests/windows)
TEST(ImagePaths, AnyBytesTheSystemAcceptsNameAnImage) {
  TempDir dir;
  auto v = NewVolume();
  const std::string path = dir.File("caf\xE9-\xFF.img"); // Latin-1, not UTF-8
  ASSERT_EQ(UDF_MountImage(v.get(), path.c_str(), 4), KTRUE);
  EXPECT_EQ(FormatAndWait(*v, u"BYTES"), 0);
  EXPECT_EQ(UDF_DismountVolume(v.get()), KTRUE);
  ASSERT_EQ(UDF_MountImageReadOnly(v.get(), path.c_str()), KTRUE);
  EXPECT_EQ(UDF_GetVolumeCompatibility(v.get()), KTRUE);
  EXPECT_EQ(UDF_DismountVolume(v.get()), KTRUE);
  EXPECT_EQ(UDF_MountImage(v.get(), "", 4), KFALSE);
  EXPECT_EQ(v->LastError, uint32_t(KORVA_E_INVALID_NAME));
}
#endif

} // namespace
} // namespace korva

namespace korva {
namespace {

// Opening an entry by name reads a few blocks wherever it lies in its directory: the name
// index leads straight to it instead of a scan from the start.
TEST(NameIndex, LookUpByNameReadsFewBlocksInALargeDirectory) {
  FormattedImage img(40);
  ASSERT_TRUE(img.Ok());
  TUDFRewritableVolume &v = img.Volume();
  ASSERT_EQ(UDF_CreateDirectoryW(&v, u"\\", u"big"), KTRUE);
  const int n = 1500; // about 35 blocks of directory data
  for (int i = 0; i < n; ++i) {
    const std::u16string path = u"\\big\\f" + std::u16string(1, char16_t(u'A' + i % 26)) +
                                std::u16string(1, char16_t(u'A' + i / 26 % 26)) +
                                std::u16string(1, char16_t(u'A' + i / 676));
    const UDF_HANDLE h = UDF_CreateFileW(&v, path.c_str(), UDF_GENERIC_WRITE, UDF_CREATE_NEW, 0);
    ASSERT_NE(h, UDF_INVALID_HANDLE) << i;
    UDF_CloseHandle(&v, h);
  }
  FaultyImageIO io;
  io.Attach(v);
  _UDF_FIND_DATAW d;
  const UDF_HANDLE first = UDF_FindFirstFileW(&v, u"\\big\\fAAA", &d); // builds the index
  ASSERT_NE(first, UDF_INVALID_HANDLE);
  UDF_FindClose(&v, first);
  io.Reset();
  // The last entry created: i = 1499 -> 'R','F','C'.
  const UDF_HANDLE h = UDF_CreateFileW(&v, u"\\big\\fRFC", UDF_GENERIC_READ, UDF_OPEN_EXISTING, 0);
  ASSERT_NE(h, UDF_INVALID_HANDLE);
  UDF_CloseHandle(&v, h);
  EXPECT_LT(io.Reads(), 20u);
  io.Reset();
  const UDF_HANDLE f = UDF_FindFirstFileW(&v, u"\\big\\fRFC", &d);
  ASSERT_NE(f, UDF_INVALID_HANDLE);
  EXPECT_EQ(std::u16string(d.cFileName), u"fRFC");
  UDF_FindClose(&v, f);
  EXPECT_LT(io.Reads(), 20u);
  // A name that is not there costs no scan either.
  io.Reset();
  EXPECT_EQ(UDF_FindFirstFileW(&v, u"\\big\\nothing", &d), UDF_INVALID_HANDLE);
  EXPECT_LT(io.Reads(), 20u);
  v.ImageIO = nullptr;
}

} // namespace
} // namespace korva
