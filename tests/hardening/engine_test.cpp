// The volume record across mounts and releases, and the path rules of the engine.
#include <gtest/gtest.h>

#include <condition_variable>
#include <filesystem>
#include <mutex>

#include "tests/files/fs_helpers.h"
#include "tests/hardening/damage.h"
#include "tests/support/volume_fixture.h"
#include "udf/byte_order.h"
#include "volume/engine.h"

using namespace korva;
using namespace korva::test;

namespace {

constexpr uint32_t RW = UDF_GENERIC_READ | UDF_GENERIC_WRITE;
constexpr uint32_t kIntegritySector = 304;

uint32_t IntegrityTypeOnDisc(const std::string &image) {
  const std::string s = ReadImageSector(image, kIntegritySector);
  if (s.empty()) return 0xFFFFFFFF;
  return LoadLE32(reinterpret_cast<const uint8_t *>(s.data()) + 28);
}

// An image layer whose writes can be held at a gate, so a background operation stays in the
// middle of its work while the test tries the record from outside.
class GatedImageIO {
public:
  GatedImageIO() : posix_(KorvaPosixImageIO()) {
    io_ = *posix_;
    io_.Context = this;
    io_.WriteAt = WriteAt;
  }
  void Attach(TUDFRewritableVolume &v) { v.ImageIO = &io_; }
  void Close() {
    std::lock_guard<std::mutex> lock(m_);
    closed_ = true;
  }
  void Open() {
    std::lock_guard<std::mutex> lock(m_);
    closed_ = false;
    cv_.notify_all();
  }
  // Waits until a write is held at the closed gate.
  bool WaitForHeldWrite() {
    std::unique_lock<std::mutex> lock(m_);
    return cv_.wait_for(lock, std::chrono::seconds(20), [this] { return held_ > 0; });
  }

private:
  static int WriteAt(void *c, int32_t h, const void *b, uint32_t n, uint64_t off) {
    auto *self = static_cast<GatedImageIO *>(c);
    {
      std::unique_lock<std::mutex> lock(self->m_);
      ++self->held_;
      self->cv_.notify_all();
      self->cv_.wait(lock, [self] { return !self->closed_; });
      --self->held_;
    }
    return self->posix_->WriteAt(nullptr, h, b, n, off);
  }
  const KorvaImageIO *posix_;
  KorvaImageIO io_;
  std::mutex m_;
  std::condition_variable cv_;
  bool closed_ = false;
  int held_ = 0;
};

bool MakeFile(TUDFRewritableVolume &v, const char16_t *path) {
  UDF_HANDLE h = UDF_CreateFileW(&v, path, RW, UDF_CREATE_NEW, 0);
  if (h == UDF_INVALID_HANDLE) return false;
  UDF_CloseHandle(&v, h);
  return true;
}

} // namespace

// A mount on a record that still holds a usable volume, and the release of such a record,
// close that volume first: it mounts compatible again afterwards.
TEST(RecordLife, MountAndReleaseCloseTheMountedVolume) {
  FormattedImage img(20);
  ASSERT_TRUE(img.Ok());
  TUDFRewritableVolume &v = img.Volume();
  ASSERT_TRUE(MakeFile(v, u"\\kept"));
  const uint32_t freeBlocks = v.FreeBlocks;

  // Mounting the same image again over the mounted one.
  ASSERT_EQ(UDF_MountImage(&v, img.ImagePath().c_str(), 0), KTRUE);
  ASSERT_EQ(UDF_GetVolumeCompatibility(&v), KTRUE);
  EXPECT_EQ(v.FreeBlocks, freeBlocks);
  EXPECT_EQ(List(v, u"\\*").size(), 1u);

  // Mounting another image: the first is left closed, with its bitmap.
  TempDir other;
  ASSERT_EQ(UDF_MountImage(&v, other.File("b.img").c_str(), 20), KTRUE);
  EXPECT_EQ(IntegrityTypeOnDisc(img.ImagePath()), uint32_t(::itClose));
  ASSERT_EQ(UDF_MountImage(&v, img.ImagePath().c_str(), 0), KTRUE);
  ASSERT_EQ(UDF_GetVolumeCompatibility(&v), KTRUE);
  EXPECT_EQ(v.FreeBlocks, freeBlocks);
}

// Releasing a record that holds a mounted volume closes the volume first, as a dismount
// would: its bitmap and free count are stored, and it mounts compatible with its data.
TEST(RecordLife, ReleaseClosesTheMountedVolume) {
  TempDir dir;
  const std::string path = dir.File("r.img");
  const std::vector<uint8_t> data = Pattern(70000, 5);
  uint32_t freeBlocks = 0;
  {
    VolumePtr v = NewVolume();
    ASSERT_EQ(UDF_MountImage(v.get(), path.c_str(), 20), KTRUE);
    ASSERT_EQ(FormatAndWait(*v, u"REL"), 0);
    ASSERT_EQ(UDF_DismountVolume(v.get()), KTRUE);
    ASSERT_EQ(UDF_MountImage(v.get(), path.c_str(), 0), KTRUE);
    ASSERT_EQ(UDF_GetVolumeCompatibility(v.get()), KTRUE);
    ASSERT_TRUE(WriteWhole(*v, u"\\data", data));
    freeBlocks = v->FreeBlocks;
    UDF_ReleaseVolume(v.get());
    EXPECT_EQ(v->VolumeOpen, 0);
    EXPECT_EQ(v->SpaceBitmap, nullptr);
    EXPECT_EQ(UDF_GetLastErrorNumber(v.get()), 0);
    EXPECT_EQ(IntegrityTypeOnDisc(path), uint32_t(::itClose));
    // The released record is a fresh record again.
    ASSERT_EQ(UDF_MountImage(v.get(), path.c_str(), 0), KTRUE);
    EXPECT_EQ(UDF_GetVolumeCompatibility(v.get()), KTRUE);
  } // released again by its owner, still mounted
  VolumePtr v = NewVolume();
  ASSERT_EQ(UDF_MountImage(v.get(), path.c_str(), 0), KTRUE);
  ASSERT_EQ(UDF_GetVolumeCompatibility(v.get()), KTRUE) << UDF_GetLastErrorNumber(v.get());
  EXPECT_EQ(v->FreeBlocks, freeBlocks);
  EXPECT_EQ(CountFreeBlocks(*v), freeBlocks);
  std::vector<uint8_t> back;
  ASSERT_TRUE(ReadWhole(*v, u"\\data", back));
  EXPECT_EQ(back, data);
}

// A release whose closing writes fail still frees the record; the volume is then left as a
// crash would leave it (open), the write error stays readable on the record, and the volume
// needs a repair before it is used again.
TEST(RecordLife, ReleaseThatCannotCloseTheVolumeStillFreesTheRecord) {
  FormattedImage img(20, u"KORVA", true);
  ASSERT_TRUE(img.Ok());
  TUDFRewritableVolume &v = img.Volume();
  ASSERT_TRUE(MakeFile(v, u"\\kept"));
  FaultyImageIO io;
  io.Attach(v);
  io.FailWriteAt(1, true);
  UDF_ReleaseVolume(&v);
  EXPECT_GT(io.Writes(), 0u) << "release tried to close the volume";
  EXPECT_EQ(v.VolumeOpen, 0);
  EXPECT_EQ(v.ImageFileOpen, 0);
  EXPECT_EQ(v.SpaceBitmap, nullptr);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), KORVA_E_WRITE_DIRTY);
  io.FailWriteAt(0);
  ASSERT_EQ(UDF_MountImage(&v, img.ImagePath().c_str(), 0), KTRUE);
  EXPECT_EQ(UDF_GetVolumeCompatibility(&v), KFALSE);
  EXPECT_EQ(v.LeftOpen, 1);
}

// Only the last component of a find pattern is a pattern; everything else, and every
// component of a create, open, delete or remove, names one entry exactly.
TEST(PathRules, WildcardsOnlyInTheLastComponentOfAFind) {
  FormattedImage img(20);
  ASSERT_TRUE(img.Ok());
  TUDFRewritableVolume &v = img.Volume();
  ASSERT_EQ(UDF_CreateDirectoryW(&v, u"\\", u"A"), KTRUE);
  ASSERT_TRUE(MakeFile(v, u"\\A\\f.txt"));

  // "*" in the middle of a path is a name, and no directory has it.
  EXPECT_EQ(UDF_DeleteFileW(&v, u"\\*\\f.txt"), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), 0);
  EXPECT_EQ(List(v, u"\\*\\*").size(), 0u);
  EXPECT_EQ(UDF_CreateDirectoryW(&v, u"\\*", u"B"), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), KORVA_E_PARENT_NOT_REACHABLE);
  EXPECT_EQ(UDF_CreateFileW(&v, u"\\?\\g", RW, UDF_CREATE_NEW, 0), UDF_INVALID_HANDLE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), KORVA_E_PARENT_NOT_REACHABLE);
  EXPECT_EQ(UDF_RemoveDirectoryW(&v, u"\\*"), KFALSE);
  EXPECT_EQ(List(v, u"\\A\\*").size(), 1u);
  EXPECT_EQ(List(v, u"\\*").size(), 1u) << "the last component still lists";

  // Names a pattern could not tell apart, and the reserved characters of other systems,
  // cannot be created.
  const uint32_t freeBlocks = v.FreeBlocks;
  for (const char16_t *name :
       {u"*", u"?", u"a*b", u"c:d", u"<", u">", u"|", u"\"q\"", u"tab\t", u"\x1b[31m"}) {
    EXPECT_EQ(UDF_CreateDirectoryW(&v, u"\\", name), KFALSE);
    EXPECT_EQ(UDF_GetLastErrorNumber(&v), KORVA_E_INVALID_NAME);
    EXPECT_EQ(UDF_CreateFileW(&v, (u"\\A\\" + std::u16string(name)).c_str(), RW, UDF_CREATE_NEW, 0),
              UDF_INVALID_HANDLE);
    EXPECT_EQ(UDF_GetLastErrorNumber(&v), KORVA_E_INVALID_NAME);
  }
  EXPECT_EQ(v.FreeBlocks, freeBlocks);
  EXPECT_EQ(UDF_CreateDirectoryW(&v, u"\\", u"ok name (1) [x] {y} #%&'+,;=@^`~"), KTRUE);
}

// A directory literally named "*" (as another writer may store it) is reached by its name
// alone: a path through it never wanders into a sibling.
TEST(PathRules, AStoredWildcardNameIsReachedExactly) {
  FormattedImage img(20);
  ASSERT_TRUE(img.Ok());
  TUDFRewritableVolume &v = img.Volume();
  ASSERT_EQ(UDF_CreateDirectoryW(&v, u"\\", u"A"), KTRUE);
  ASSERT_EQ(UDF_CreateDirectoryW(&v, u"\\", u"S"), KTRUE);
  ASSERT_TRUE(MakeFile(v, u"\\A\\f.txt"));
  ASSERT_TRUE(MakeFile(v, u"\\S\\f.txt"));
  ASSERT_TRUE(RenameOnMedium(v, u"\\S", u"*"));
  ASSERT_TRUE(img.Remount());

  EXPECT_EQ(List(v, u"\\*\\*").size(), 1u);
  ASSERT_EQ(UDF_DeleteFileW(&v, u"\\*\\f.txt"), KTRUE);
  EXPECT_EQ(List(v, u"\\*\\*").size(), 0u);
  EXPECT_EQ(List(v, u"\\A\\*").size(), 1u) << "the sibling's file is untouched";
  ASSERT_EQ(UDF_RemoveDirectoryW(&v, u"\\*"), KTRUE);
  EXPECT_EQ(UDF_RemoveDirectoryW(&v, u"\\*"), KFALSE);
  EXPECT_NE(EntryBlock(v, u"\\A"), 0u);
}

// While a format works on a record, every call that would touch the medium, the drive or
// the state the format rewrites is refused with 26; progress can still be read, and the
// record is usable again from the completion handler on.
TEST(Background, CallsWhileAFormatWorksAreRefusedAsBusy) {
  TempDir dir;
  GatedImageIO io;
  auto v = NewVolume();
  io.Attach(*v);
  const std::string path = dir.File("v.img");
  ASSERT_EQ(UDF_MountImage(v.get(), path.c_str(), 20), KTRUE);

  struct Done {
    std::mutex m;
    std::condition_variable cv;
    bool called = false;
    int32_t failed = 0;
    KBOOL compatibleInHandler = 0;
    TUDFRewritableVolume *v = nullptr;
  } done;
  done.v = v.get();
  auto handler = [](void *c, void *, int32_t failed) {
    auto *d = static_cast<Done *>(c);
    const KBOOL compatible = UDF_GetVolumeCompatibility(d->v);
    std::lock_guard<std::mutex> lock(d->m);
    d->called = true;
    d->failed = failed;
    d->compatibleInHandler = compatible;
    d->cv.notify_all();
  };
  io.Close();
  ASSERT_EQ(UDF_FormatVolumeW(v.get(), u"BUSY", 0, handler, &done), -1);
  ASSERT_TRUE(io.WaitForHeldWrite());

  EXPECT_EQ(UDF_FormatVolumeW(v.get(), u"AGAIN", 0, handler, &done), 0);
  EXPECT_EQ(UDF_GetLastErrorNumber(v.get()), KORVA_E_BUSY);
  EXPECT_STREQ(UDF_GetLastErrorDescription(v.get()),
               "A format or erase is running on this volume.");
  v->LastError = 0;
  EXPECT_EQ(EraseDisc(v.get(), KTRUE, nullptr, nullptr), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(v.get()), KORVA_E_BUSY);
  v->LastError = 0;
  EXPECT_EQ(UDF_MountImage(v.get(), path.c_str(), 0), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(v.get()), KORVA_E_BUSY);
  v->LastError = 0;
  EXPECT_EQ(UDF_DismountVolume(v.get()), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(v.get()), KORVA_E_BUSY);
  v->LastError = 0;
  EXPECT_EQ(UDF_CreateDirectoryW(v.get(), u"\\", u"D"), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(v.get()), KORVA_E_BUSY);
  v->LastError = 0;
  EXPECT_EQ(TestUnitReady(v.get()), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(v.get()), KORVA_E_BUSY);
  v->LastError = 0;
  EXPECT_LE(UDF_GetPhysicalFormattingPercentage(v.get()), 100);
  EXPECT_EQ(UDF_GetLastErrorNumber(v.get()), 0);
  v->LastError = 0;

  io.Open();
  {
    std::unique_lock<std::mutex> lock(done.m);
    ASSERT_TRUE(done.cv.wait_for(lock, std::chrono::seconds(60), [&] { return done.called; }));
  }
  UDF_WaitForBackgroundOperation(v.get());
  EXPECT_EQ(done.failed, 0);
  EXPECT_EQ(done.compatibleInHandler, KTRUE);
  EXPECT_EQ(UDF_CreateDirectoryW(v.get(), u"\\", u"D"), KTRUE);
  EXPECT_EQ(UDF_DismountVolume(v.get()), KTRUE);
}

// Entries written elsewhere may hold characters a new name cannot: they are found, opened
// and deleted by their exact names, and a backslash inside one is given by the engine's
// stand-in (the separator could not carry it).
TEST(PathRules, StoredReservedNamesStayReachable) {
  FormattedImage img(20);
  ASSERT_TRUE(img.Ok());
  TUDFRewritableVolume &v = img.Volume();
  ASSERT_TRUE(MakeFile(v, u"\\abc"));
  ASSERT_TRUE(MakeFile(v, u"\\def"));
  ASSERT_TRUE(MakeFile(v, u"\\ghi"));
  ASSERT_EQ(UDF_CreateDirectoryW(&v, u"\\", u"jkl"), KTRUE);
  ASSERT_TRUE(MakeFile(v, u"\\jkl\\in"));
  ASSERT_TRUE(RenameOnMedium(v, u"\\abc", u"a\\b"));
  ASSERT_TRUE(RenameOnMedium(v, u"\\jkl", u"j\\l"));
  ASSERT_TRUE(RenameOnMedium(v, u"\\def", u"d*f"));
  ASSERT_TRUE(RenameOnMedium(v, u"\\ghi", u"g/i"));
  ASSERT_TRUE(img.Remount());

  UDF_HANDLE h = UDF_CreateFileW(&v, u"\\d*f", RW, UDF_OPEN_EXISTING, 0);
  EXPECT_NE(h, UDF_INVALID_HANDLE);
  UDF_CloseHandle(&v, h);
  EXPECT_EQ(UDF_CreateFileW(&v, u"\\d*f", RW, UDF_CREATE_NEW, 0), UDF_INVALID_HANDLE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), KORVA_E_INVALID_NAME);
  EXPECT_EQ(List(v, u"\\d*f").size(), 0u) << "a pattern, not the name";
  EXPECT_EQ(List(v, u"\\g/i").size(), 1u);

  EXPECT_EQ(UDF_DeleteFileW(&v, u"\\a\\b"), KFALSE);
  ASSERT_EQ(UDF_DeleteFileW(&v, u"\\d*f"), KTRUE);
  ASSERT_EQ(UDF_DeleteFileW(&v, u"\\g/i"), KTRUE);
  // A backslash in a stored name is addressed by the stand-in, in the last component and
  // in a directory on the way; the name found is the stored one.
  const auto names = List(v, u"\\*");
  ASSERT_EQ(names.size(), 2u);
  EXPECT_TRUE(names[0].Name == u"a\\b" || names[1].Name == u"a\\b");
  h = UDF_CreateFileW(&v, u"\\a\uF05Cb", RW, UDF_OPEN_EXISTING, 0);
  EXPECT_NE(h, UDF_INVALID_HANDLE);
  UDF_CloseHandle(&v, h);
  std::vector<uint8_t> data;
  EXPECT_TRUE(ReadWhole(v, u"\\j\uF05Cl\\in", data));
  EXPECT_EQ(UDF_RemoveDirectoryW(&v, u"\\j\uF05Cl"), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), KORVA_E_DIR_NOT_EMPTY);
  ASSERT_EQ(UDF_DeleteFileW(&v, u"\\j\uF05Cl\\in"), KTRUE);
  ASSERT_EQ(UDF_RemoveDirectoryW(&v, u"\\j\uF05Cl"), KTRUE);
  ASSERT_EQ(UDF_DeleteFileW(&v, u"\\a\uF05Cb"), KTRUE);
  EXPECT_EQ(List(v, u"\\*").size(), 0u);
  // The stand-in matches only a stored backslash.
  ASSERT_TRUE(MakeFile(v, u"\\a_b"));
  EXPECT_EQ(UDF_DeleteFileW(&v, u"\\a\uF05Cb"), KFALSE);
  EXPECT_EQ(List(v, u"\\a_b").size(), 1u);
  EXPECT_EQ(UDF_CreateDirectoryW(&v, u"\\", u"x\uF05Cy"), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), KORVA_E_INVALID_NAME);
}
