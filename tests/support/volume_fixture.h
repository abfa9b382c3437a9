// Test helpers shared by the engine's test suites: temporary directories, a fault-injecting
// image layer, synchronous formatting, and a ready-made formatted and mounted image.
#ifndef KORVA_TESTS_SUPPORT_VOLUME_FIXTURE_H
#define KORVA_TESTS_SUPPORT_VOLUME_FIXTURE_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "korva/volume.h"

namespace korva::test {

// A fresh directory under $TMPDIR (or /tmp), removed with its contents on destruction.
class TempDir {
public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  const std::string &Path() const { return path_; }
  std::string File(const std::string &name) const { return path_ + "/" + name; }

private:
  std::string path_;
};

// An image layer over the POSIX one that can be told to fail. Counters count every call
// since construction (or Reset). Install with Attach(volume).
class FaultyImageIO {
public:
  FaultyImageIO();
  // Hands the volume back to the POSIX layer, so that a record outliving the layer (and
  // dismounted when it is released) never calls into it.
  ~FaultyImageIO() {
    if (attached_ && attached_->ImageIO == &io_) attached_->ImageIO = nullptr;
  }
  FaultyImageIO(const FaultyImageIO &) = delete;
  FaultyImageIO &operator=(const FaultyImageIO &) = delete;
  void Attach(TUDFRewritableVolume &v) {
    v.ImageIO = &io_;
    attached_ = &v;
  }
  void Reset();

  // The n-th write from now fails (1 = the next one); 0 = none. failAllAfter makes every
  // later write fail too.
  void FailWriteAt(uint32_t n, bool failAllAfter = false);
  void FailReadAt(uint32_t n, bool failAllAfter = false);
  // Reads touching this sector fail: the next `times` of them, or every one.
  void FailReadsOfSector(uint32_t sector, uint32_t times = UINT32_MAX) {
    failReadSector_ = int64_t(sector);
    sectorFailuresLeft_ = times;
  }
  // Reserve fails with this errno (0 = off).
  void FailReserve(int error) { reserveError_ = error; }
  // Close reports this errno after closing the file (0 = off), as a file system does that
  // finds at close that written data could not be stored.
  void FailClose(int error) { closeError_ = error; }

  uint32_t Writes() const { return writes_; }
  uint32_t Reads() const { return reads_; }
  uint32_t Flushes() const { return flushes_; }
  uint64_t LastWriteOffset() const { return lastWriteOffset_; }

private:
  static int Open(void *c, const char *path, int32_t *h);
  static int Create(void *c, const char *path, int32_t *h);
  static int Size(void *c, int32_t h, uint64_t *size);
  static int Reserve(void *c, int32_t h, uint64_t size);
  static int ReadAt(void *c, int32_t h, void *b, uint32_t n, uint64_t off);
  static int WriteAt(void *c, int32_t h, const void *b, uint32_t n, uint64_t off);
  static int Flush(void *c, int32_t h);
  static int Close(void *c, int32_t h);
  static int Remove(void *c, const char *path);
  static int OpenReadOnly(void *c, const char *path, int32_t *h);

  KorvaImageIO io_;
  const KorvaImageIO *posix_;
  TUDFRewritableVolume *attached_ = nullptr;
  uint32_t writes_ = 0, reads_ = 0, flushes_ = 0;
  uint32_t failWriteAt_ = 0, failReadAt_ = 0;
  bool failWritesAfter_ = false, failReadsAfter_ = false;
  int64_t failReadSector_ = -1;
  uint32_t sectorFailuresLeft_ = 0;
  int reserveError_ = 0;
  int closeError_ = 0;
  uint64_t lastWriteOffset_ = 0;
};

// Starts a format and waits until its completion handler has run. Returns -1 when the
// format was refused (no thread started), 0 when it succeeded, 1 when it failed.
int FormatAndWait(TUDFRewritableVolume &v, const std::u16string &label, bool quick = false);
// The same for an erase of the selected drive's disc.
int EraseAndWait(TUDFRewritableVolume &v, bool quick);

// A zero-filled volume record on the heap (it is too large for a thread's stack), released
// with UDF_ReleaseVolume.
struct VolumeDeleter {
  void operator()(TUDFRewritableVolume *v) const;
};
using VolumePtr = std::unique_ptr<TUDFRewritableVolume, VolumeDeleter>;
VolumePtr NewVolume();

// A temporary image of the given size, created, formatted with the label and left mounted.
// When remount is set it is dismounted and mounted again before use.
class FormattedImage {
public:
  explicit FormattedImage(uint16_t sizeMiB = 100, const std::u16string &label = u"KORVA",
                          bool remount = false);
  TUDFRewritableVolume &Volume() { return *volume_; }
  TUDFRewritableVolume *operator->() { return volume_.get(); }
  const std::string &ImagePath() const { return path_; }
  bool Ok() const { return ok_; }
  // Dismounts and mounts again; true when the volume is compatible afterwards.
  bool Remount();

private:
  TempDir dir_;
  std::string path_;
  VolumePtr volume_;
  bool ok_ = false;
};

// Ends an image session as a crash would: the record is released, but nothing the release
// would still write (bitmap, integrity) reaches the image; its file is closed all the same.
// The image stays exactly as the mounted session left it, open if it was.
void AbandonVolume(TUDFRewritableVolume &v);

// The whole file (an image, a tool's output), read at once; empty when it cannot be read.
std::string FileBytes(const std::string &path);

// Reads one 2048-byte sector of an image file; empty on failure.
std::string ReadImageSector(const std::string &path, uint32_t sector);

} // namespace korva::test

#endif
