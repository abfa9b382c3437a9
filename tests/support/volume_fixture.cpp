// Test helpers shared by the engine's test suites.
#include "tests/support/volume_fixture.h"

#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>

namespace korva::test {

TempDir::TempDir() {
  // The system's temporary folder ($TMPDIR, else /tmp; %TMP% on Windows), a new name in it.
  std::error_code ec;
  const std::filesystem::path base = std::filesystem::temp_directory_path(ec);
  std::random_device random;
  for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
    const std::filesystem::path dir = base / ("korva-test-" + std::to_string(random()));
    if (std::filesystem::create_directory(dir, ec)) path_ = dir.generic_string();
  }
}

TempDir::~TempDir() {
  if (path_.empty()) return;
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

// ---- FaultyImageIO ------------------------------------------------------------------------

FaultyImageIO::FaultyImageIO() : posix_(KorvaPosixImageIO()) {
  io_ = {this, Open, Create, Size, Reserve, ReadAt, WriteAt, Flush, Close, Remove, OpenReadOnly};
}

void FaultyImageIO::Reset() {
  writes_ = reads_ = flushes_ = 0;
  failWriteAt_ = failReadAt_ = 0;
  failWritesAfter_ = failReadsAfter_ = false;
  failReadSector_ = -1;
  reserveError_ = 0;
  closeError_ = 0;
}

void FaultyImageIO::FailWriteAt(uint32_t n, bool failAllAfter) {
  failWriteAt_ = n ? writes_ + n : 0;
  failWritesAfter_ = failAllAfter;
}

void FaultyImageIO::FailReadAt(uint32_t n, bool failAllAfter) {
  failReadAt_ = n ? reads_ + n : 0;
  failReadsAfter_ = failAllAfter;
}

int FaultyImageIO::Open(void *c, const char *path, int32_t *h) {
  auto *self = static_cast<FaultyImageIO *>(c);
  return self->posix_->Open(nullptr, path, h);
}

int FaultyImageIO::OpenReadOnly(void *c, const char *path, int32_t *h) {
  auto *self = static_cast<FaultyImageIO *>(c);
  return self->posix_->OpenReadOnly(nullptr, path, h);
}

int FaultyImageIO::Create(void *c, const char *path, int32_t *h) {
  auto *self = static_cast<FaultyImageIO *>(c);
  return self->posix_->Create(nullptr, path, h);
}

int FaultyImageIO::Size(void *c, int32_t h, uint64_t *size) {
  auto *self = static_cast<FaultyImageIO *>(c);
  return self->posix_->Size(nullptr, h, size);
}

int FaultyImageIO::Reserve(void *c, int32_t h, uint64_t size) {
  auto *self = static_cast<FaultyImageIO *>(c);
  if (self->reserveError_) return self->reserveError_;
  return self->posix_->Reserve(nullptr, h, size);
}

int FaultyImageIO::ReadAt(void *c, int32_t h, void *b, uint32_t n, uint64_t off) {
  auto *self = static_cast<FaultyImageIO *>(c);
  ++self->reads_;
  if (self->failReadAt_ && (self->reads_ == self->failReadAt_ ||
                            (self->failReadsAfter_ && self->reads_ > self->failReadAt_)))
    return EIO;
  if (self->failReadSector_ >= 0 && self->sectorFailuresLeft_ > 0) {
    const uint64_t s = uint64_t(self->failReadSector_) * 2048;
    if (s >= off && s < off + n) {
      if (self->sectorFailuresLeft_ != UINT32_MAX) --self->sectorFailuresLeft_;
      return EIO;
    }
  }
  return self->posix_->ReadAt(nullptr, h, b, n, off);
}

int FaultyImageIO::WriteAt(void *c, int32_t h, const void *b, uint32_t n, uint64_t off) {
  auto *self = static_cast<FaultyImageIO *>(c);
  ++self->writes_;
  if (self->failWriteAt_ && (self->writes_ == self->failWriteAt_ ||
                             (self->failWritesAfter_ && self->writes_ > self->failWriteAt_)))
    return EIO;
  self->lastWriteOffset_ = off;
  return self->posix_->WriteAt(nullptr, h, b, n, off);
}

int FaultyImageIO::Flush(void *c, int32_t h) {
  auto *self = static_cast<FaultyImageIO *>(c);
  ++self->flushes_;
  return self->posix_->Flush(nullptr, h);
}

int FaultyImageIO::Close(void *c, int32_t h) {
  auto *self = static_cast<FaultyImageIO *>(c);
  const int rc = self->posix_->Close(nullptr, h);
  return self->closeError_ ? self->closeError_ : rc;
}

int FaultyImageIO::Remove(void *c, const char *path) {
  auto *self = static_cast<FaultyImageIO *>(c);
  return self->posix_->Remove(nullptr, path);
}

// ---- Formatting --------------------------------------------------------------------------

namespace {

struct Completion {
  std::mutex mutex;
  std::condition_variable cv;
  int calls = 0;
  int32_t failed = 0;
};

void OnDone(void *context, void *, int32_t failed) {
  auto *c = static_cast<Completion *>(context);
  std::lock_guard<std::mutex> lock(c->mutex);
  ++c->calls;
  c->failed = failed;
  c->cv.notify_all();
}

// Waits for the background operation a call started; 2 when its handler did not run once.
int WaitForCompletion(TUDFRewritableVolume &v, Completion &done) {
  UDF_WaitForBackgroundOperation(&v);
  std::lock_guard<std::mutex> lock(done.mutex);
  if (done.calls != 1) return 2;
  return done.failed ? 1 : 0;
}

} // namespace

int FormatAndWait(TUDFRewritableVolume &v, const std::u16string &label, bool quick) {
  Completion done;
  if (!UDF_FormatVolumeW(&v, label.c_str(), quick ? 1 : 0, OnDone, &done)) return -1;
  return WaitForCompletion(v, done);
}

int EraseAndWait(TUDFRewritableVolume &v, bool quick) {
  Completion done;
  if (!EraseDisc(&v, quick ? KTRUE : KFALSE, OnDone, &done)) return -1;
  return WaitForCompletion(v, done);
}

void VolumeDeleter::operator()(TUDFRewritableVolume *v) const {
  if (!v) return;
  UDF_ReleaseVolume(v);
  std::free(v);
}

VolumePtr NewVolume() {
  return VolumePtr(
      static_cast<TUDFRewritableVolume *>(std::calloc(1, sizeof(TUDFRewritableVolume))));
}

FormattedImage::FormattedImage(uint16_t sizeMiB, const std::u16string &label, bool remount)
    : path_(dir_.File("volume.img")), volume_(NewVolume()) {
  if (!UDF_MountImage(volume_.get(), path_.c_str(), sizeMiB)) return;
  if (FormatAndWait(*volume_, label) != 0) return;
  ok_ = remount ? Remount() : volume_->Compatible != 0;
}

bool FormattedImage::Remount() {
  if (!UDF_DismountVolume(volume_.get())) return false;
  if (!UDF_MountImage(volume_.get(), path_.c_str(), 0)) return false;
  return UDF_GetVolumeCompatibility(volume_.get()) != 0;
}

namespace {

// The record's own image layer for everything except writing: writes and flushes fail, as
// they would on a medium whose power went.
struct DeadWrites {
  static const KorvaImageIO &Inner(void *c) { return *static_cast<const KorvaImageIO *>(c); }
  static int Open(void *c, const char *p, int32_t *h) {
    return Inner(c).Open(Inner(c).Context, p, h);
  }
  static int Create(void *, const char *, int32_t *) { return EIO; }
  static int Size(void *c, int32_t h, uint64_t *s) { return Inner(c).Size(Inner(c).Context, h, s); }
  static int Reserve(void *, int32_t, uint64_t) { return EIO; }
  static int ReadAt(void *c, int32_t h, void *b, uint32_t n, uint64_t off) {
    return Inner(c).ReadAt(Inner(c).Context, h, b, n, off);
  }
  static int WriteAt(void *, int32_t, const void *, uint32_t, uint64_t) { return EIO; }
  static int Flush(void *, int32_t) { return EIO; }
  static int Close(void *c, int32_t h) { return Inner(c).Close(Inner(c).Context, h); }
  static int Remove(void *, const char *) { return EIO; }
  static int OpenReadOnly(void *c, const char *p, int32_t *h) {
    return Inner(c).OpenReadOnly ? Inner(c).OpenReadOnly(Inner(c).Context, p, h) : ENOTSUP;
  }
};

} // namespace

void AbandonVolume(TUDFRewritableVolume &v) {
  const KorvaImageIO *own = v.ImageIO;
  const KorvaImageIO &inner = own ? *own : *KorvaPosixImageIO();
  const KorvaImageIO dead = {const_cast<KorvaImageIO *>(&inner),
                             DeadWrites::Open,
                             DeadWrites::Create,
                             DeadWrites::Size,
                             DeadWrites::Reserve,
                             DeadWrites::ReadAt,
                             DeadWrites::WriteAt,
                             DeadWrites::Flush,
                             DeadWrites::Close,
                             DeadWrites::Remove,
                             DeadWrites::OpenReadOnly};
  v.ImageIO = &dead;
  UDF_ReleaseVolume(&v);
  v.ImageIO = own;
}

std::string FileBytes(const std::string &path) {
  std::error_code ec;
  const uintmax_t size = std::filesystem::file_size(path, ec);
  if (ec) return {};
  std::string s(size, '\0');
  std::ifstream in(path, std::ios::binary);
  if (!in.read(s.data(), std::streamsize(s.size()))) s.resize(size_t(in.gcount()));
  return s;
}

std::string ReadImageSector(const std::string &path, uint32_t sector) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  in.seekg(std::streamoff(sector) * 2048);
  std::string data(2048, '\0');
  if (!in.read(data.data(), 2048)) return {};
  return data;
}

} // namespace korva::test
