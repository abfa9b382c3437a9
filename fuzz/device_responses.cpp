// Arbitrary drive answers fed to discovery, selection, capability and medium reading
// through a scripted platform: every answer must stay inside its buffer and leave the
// record consistent.
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "device/platform.h"
#include "korva/scsi.hpp"

namespace {

class Input {
public:
  Input(const uint8_t *data, size_t size) : data_(data), size_(size) {}
  uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  size_t Take(uint8_t *out, size_t want) {
    const size_t n = want < size_ - pos_ ? want : size_ - pos_;
    if (n) std::memcpy(out, data_ + pos_, n);
    pos_ += n;
    return n;
  }
  bool Done() const { return pos_ >= size_; }

private:
  const uint8_t *data_;
  size_t size_;
  size_t pos_ = 0;
};

// Each answer: a control byte (bit 0 failure, bit 1 SG_IO error, bit 2 host error), a
// 16-bit length and that many bytes, handed over as far as the buffer reaches.
class ScriptedPlatform : public korva::DevicePlatform {
public:
  explicit ScriptedPlatform(Input &in) : in_(in) {}
  std::string OpticalDriveLetters() override { return "DE"; }
  int OpenDrive(char letter, bool) override { return letter == 'D' || letter == 'E' ? 7 : -2; }
  int CloseDrive(int) override { return 0; }
  int SendSgIo(int, sg_io_hdr_t *h) override {
    const uint8_t control = in_.Byte();
    if (control & 2) return -EIO;
    size_t length = in_.Byte();
    length = (length << 8) | in_.Byte();
    uint8_t scratch[1024];
    size_t got = in_.Take(scratch, length < sizeof scratch ? length : sizeof scratch);
    if (h->dxfer_direction == SG_DXFER_FROM_DEV && h->dxferp != nullptr) {
      const size_t n = got < h->dxfer_len ? got : h->dxfer_len;
      std::memcpy(h->dxferp, scratch, n);
    }
    h->status = (control & 1) ? 2 : 0;
    h->host_status = (control & 4) ? 1 : 0;
    h->driver_status = 0;
    if (control & 1) {
      const size_t n = got < h->mx_sb_len ? got : h->mx_sb_len;
      std::memcpy(h->sbp, scratch, n);
      h->sb_len_wr = static_cast<unsigned char>(n);
    }
    return 0;
  }
  int QueryAddress(int, TSCSI_ADDRESS *address) override {
    const uint8_t b = in_.Byte();
    if (b & 1) return -ENOTTY;
    address->PortNumber = in_.Byte();
    address->TargetId = in_.Byte();
    address->Lun = in_.Byte();
    return 0;
  }
  void *LoadModule(const char *) override { return nullptr; }
  void *ModuleSymbol(void *, const char *) override { return nullptr; }
  const char *Environment(const char *) override { return nullptr; }
  void SleepMs(uint32_t) override {}
  void UtcTimeOfDay(int *m, int *s, int *ms) override { *m = *s = *ms = 0; }

private:
  Input &in_;
};

void Check(bool condition) {
  if (!condition) std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  Input in(data, size);
  ScriptedPlatform platform(in);
  auto dev = std::make_unique<TSCSIDevice>();
  std::memset(dev.get(), 0, sizeof *dev);
  dev->Platform = static_cast<korva::DevicePlatform *>(&platform);

  korva::InitializeASPI(dev.get(), false, nullptr, nullptr);
  Check(dev->DeviceCount <= 26);
  for (int i = 0; i < dev->DeviceCount; ++i) {
    const char *name = korva::GetDeviceName(dev.get(), static_cast<uint8_t>(i));
    Check(name != nullptr && std::strlen(name) < 128);
  }
  Check(korva::GetDeviceName(dev.get(), dev->DeviceCount) == nullptr);

  korva::SelectDevice(dev.get(), static_cast<uint8_t>(in.Byte() % 3));
  Check(dev->VendorId[8] == 0 && dev->ProductId[16] == 0);
  while (!in.Done()) {
    switch (in.Byte() % 8) {
    case 0:
      Check(korva::DiscIs(dev.get()) <= mtDDCDRW);
      break;
    case 1:
      korva::Erasable(dev.get());
      break;
    case 2:
      korva::ReadTrackInformation(dev.get(), in.Byte());
      break;
    case 3:
      korva::ReadBufferCapacity(dev.get());
      break;
    case 4:
      korva::GetFormatCapacity(dev.get());
      break;
    case 5:
      korva::GetWriteSpeed(dev.get());
      korva::GetDeviceMaxReadSpeed(dev.get());
      break;
    case 6:
      for (int code = 0; code < 72; ++code)
        korva::DeviceCan(dev.get(), static_cast<uint8_t>(code));
      korva::DeviceIsBurner(dev.get());
      break;
    case 7:
      korva::SelectDeviceByLetter(dev.get(), static_cast<char>(in.Byte()));
      break;
    }
  }
  korva::CloseDevice(dev.get());
  return 0;
}
