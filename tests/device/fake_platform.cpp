#include "fake_platform.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "device/spti.h"
#include "korva/scsi.hpp"
#include "udf/byte_order.h"

namespace korva::test {

Reply CheckCondition(uint8_t key, uint8_t asc, uint8_t ascq) {
  Reply r;
  r.status = 2;
  r.driver_status = 0x08;
  r.sense.assign(18, 0);
  r.sense[0] = 0x70;
  r.sense[2] = key;
  r.sense[7] = 10;
  r.sense[12] = asc;
  r.sense[13] = ascq;
  return r;
}

std::vector<uint8_t> Page2A(uint8_t read, uint8_t write, uint8_t byte4, uint16_t max_read,
                            uint16_t buffer_kb, uint16_t cur_read, uint16_t max_write,
                            uint16_t cur_write) {
  std::vector<uint8_t> p(32, 0);
  p[0] = 0x2A;
  p[1] = 30;
  p[2] = read;
  p[3] = write;
  p[4] = byte4;
  StoreBE16(&p[8], max_read);
  StoreBE16(&p[12], buffer_kb);
  StoreBE16(&p[14], cur_read);
  StoreBE16(&p[18], max_write);
  StoreBE16(&p[20], cur_write);
  return p;
}

namespace {
Reply Data(std::vector<uint8_t> bytes) {
  Reply r;
  r.data = std::move(bytes);
  return r;
}

std::vector<uint8_t> Padded(const std::string &text, size_t width) {
  std::vector<uint8_t> out(width, ' ');
  std::copy_n(text.begin(), std::min(width, text.size()), out.begin());
  return out;
}
} // namespace

Reply ScriptedDrive::Answer(const uint8_t *cdb, uint32_t) {
  if (hook) {
    if (auto r = hook(cdb)) return *r;
  }
  const uint8_t op = cdb[0];
  if (rejected.count(op)) return CheckCondition(5, 0x20);
  switch (op) {
  case 0x00:
    return ready ? Reply{} : CheckCondition(2, 0x3A);
  case 0x12: {
    std::vector<uint8_t> d(64, 0);
    d[0] = peripheral_type;
    d[4] = 59;
    auto v = Padded(vendor, 8), p = Padded(product, 16), r = Padded(revision, 16);
    std::copy(v.begin(), v.end(), d.begin() + 8);
    std::copy(p.begin(), p.end(), d.begin() + 16);
    std::copy(r.begin(), r.end(), d.begin() + 32);
    return Data(d);
  }
  case 0x5A: {
    const uint8_t page = cdb[2] & 0x3F;
    const bool defaults = (cdb[2] & 0xC0) == 0x80;
    if (page == 0x30)
      return just_link ? Data(std::vector<uint8_t>(16, 0)) : CheckCondition(5, 0x24);
    if (page != 0x2A || page2a_default.empty()) return CheckCondition(5, 0x24);
    const auto &body = defaults || page2a_current.empty() ? page2a_default : page2a_current;
    std::vector<uint8_t> d(8 + (block_descriptor ? 8 : 0), 0);
    d[7] = block_descriptor ? 8 : 0;
    d.insert(d.end(), body.begin(), body.end());
    StoreBE16(&d[0], static_cast<uint16_t>(d.size() - 2));
    return Data(d);
  }
  case 0x46: {
    std::vector<uint8_t> d(8, 0);
    StoreBE16(&d[6], profile);
    const uint16_t start = LoadBE16(cdb + 2);
    auto it = features.lower_bound(start);
    if (start == 0 || (it != features.end() && it->first == start)) {
      if (it != features.end()) {
        d.push_back(uint8_t(it->first >> 8));
        d.push_back(uint8_t(it->first));
        d.push_back(0x03);
        d.push_back(uint8_t(it->second.size()));
        d.insert(d.end(), it->second.begin(), it->second.end());
      }
    }
    StoreBE32(&d[0], static_cast<uint32_t>(d.size() - 4));
    return Data(d);
  }
  case 0x43:
    if (!atip_byte6) return CheckCondition(5, 0x24);
    {
      std::vector<uint8_t> d(28, 0);
      d[1] = 26;
      d[6] = *atip_byte6;
      return Data(d);
    }
  case 0x51:
    if (!disc_status) return CheckCondition(5, 0x24);
    {
      std::vector<uint8_t> d(34, 0);
      d[1] = 32;
      d[2] = *disc_status;
      return Data(d);
    }
  case 0x52:
    return track_info.empty() ? CheckCondition(5, 0x24) : Data(track_info);
  case 0x5C:
    return buffer_capacity.empty() ? CheckCondition(5, 0x24) : Data(buffer_capacity);
  case 0x23:
    return format_capacities.empty() ? CheckCondition(5, 0x24) : Data(format_capacities);
  default:
    return Reply{};
  }
}

FakeDrive &FakePlatform::AddDrive(char letter, ScriptedDrive *drive, uint8_t host, uint8_t target,
                                  uint8_t lun) {
  FakeDrive d;
  d.letter = letter;
  d.drive = drive;
  d.address.Length = 8;
  d.address.PortNumber = host;
  d.address.TargetId = target;
  d.address.Lun = lun;
  drives.push_back(d);
  return drives.back();
}

FakeDrive *FakePlatform::Find(char letter) {
  for (auto &d : drives)
    if (d.letter == letter) return &d;
  return nullptr;
}

std::string FakePlatform::OpticalDriveLetters() {
  std::string s;
  for (auto &d : drives)
    if (d.optical) s.push_back(d.letter);
  return s;
}

int FakePlatform::OpenDrive(char letter, bool writable) {
  FakeDrive *d = Find(letter);
  if (d == nullptr) return -ENOENT;
  const int error = writable ? d->open_rw_error : d->open_ro_error;
  if (error != 0) return -error;
  ++opens;
  const int handle = next_handle++;
  open_handles[handle] = letter;
  return handle;
}

int FakePlatform::CloseDrive(int handle) {
  ++closes;
  return open_handles.erase(handle) ? 0 : -EBADF;
}

std::optional<Reply> FakePlatform::Exchange(int handle, SentCommand s, void *data,
                                            size_t &copied) {
  copied = 0;
  auto it = open_handles.find(handle);
  if (it == open_handles.end()) return std::nullopt;
  FakeDrive *d = Find(it->second);
  s.handle = handle;
  s.letter = it->second;
  uint8_t full_cdb[16] = {};
  std::memcpy(full_cdb, s.cdb.data(), std::min<size_t>(s.cdb.size(), 16));
  const uint32_t length = s.length;
  const DataDirection direction = s.direction;
  sent.push_back(std::move(s));
  Reply r = d && d->drive ? d->drive->Answer(full_cdb, length) : Reply{};
  if (r.ioctl_error == 0 && direction == kFromDevice && data != nullptr) {
    copied = std::min<size_t>(r.data.size(), length);
    if (copied) std::memcpy(data, r.data.data(), copied);
  }
  return r;
}

#if !defined(_WIN32)
int FakePlatform::SendSgIo(int handle, sg_io_hdr_t *h) {
  SentCommand s{};
  const uint8_t *cdb = static_cast<const uint8_t *>(h->cmdp);
  s.cdb.assign(cdb, cdb + h->cmd_len);
  s.direction = h->dxfer_direction == SG_DXFER_TO_DEV     ? kToDevice
                : h->dxfer_direction == SG_DXFER_FROM_DEV ? kFromDevice
                                                          : kNoData;
  s.length = h->dxfer_len;
  s.timeout = h->timeout;
  s.max_sense = h->mx_sb_len;
  if (s.direction == kToDevice && h->dxferp != nullptr)
    s.data_out.assign(static_cast<uint8_t *>(h->dxferp),
                      static_cast<uint8_t *>(h->dxferp) + h->dxfer_len);
  size_t n = 0;
  const std::optional<Reply> r = Exchange(handle, std::move(s), h->dxferp, n);
  if (!r) return -EBADF;
  if (r->ioctl_error != 0) return -r->ioctl_error;
  h->status = r->status;
  h->masked_status = r->status >> 1;
  h->host_status = r->host_status;
  h->driver_status = r->driver_status;
  const size_t sense = std::min<size_t>(r->sense.size(), h->mx_sb_len);
  if (sense) std::memcpy(h->sbp, r->sense.data(), sense);
  h->sb_len_wr = static_cast<uint8_t>(sense);
  h->resid = static_cast<int>(h->dxfer_len - n);
  return 0;
}
#else
// Windows has no SG_IO: the transport never calls it there.
int FakePlatform::SendSgIo(int, sg_io_hdr_t *) {
  return -ENOSYS;
}
#endif

namespace {
// The system's error codes the fake control codes answer with.
constexpr int kErrorInvalidHandle = 6;
constexpr int kErrorInvalidParameter = 87;
constexpr int kErrorIoDevice = 1117;
} // namespace

int FakePlatform::IoControl(int handle, uint32_t code, void *in, uint32_t in_length, void *out,
                            uint32_t out_length, uint32_t *returned) {
  if (code == kIoctlScsiGetAddress && out != nullptr && out_length >= sizeof(TSCSI_ADDRESS))
    return QueryAddress(handle, static_cast<TSCSI_ADDRESS *>(out));
  using Record = TSCSI_PASS_THROUGH_DIRECT_WITH_BUFFER;
  if (code != kIoctlScsiPassThroughDirect || in == nullptr || in != out ||
      in_length < sizeof(Record) || out_length < sizeof(Record))
    return -kErrorInvalidParameter;
  auto *record = static_cast<Record *>(in);
  TSCSI_PASS_THROUGH_DIRECT &p = record->Sptd;
  SentCommand s{};
  s.cdb.assign(p.Cdb, p.Cdb + std::min<size_t>(p.CdbLength, sizeof p.Cdb));
  s.direction = p.DataIn == kSptiDataOut ? kToDevice
                : p.DataIn == kSptiDataIn ? kFromDevice
                                          : kNoData;
  s.length = p.DataTransferLength;
  s.timeout = p.TimeOutValue * 1000;
  s.max_sense = p.SenseInfoLength;
  if (s.direction == kToDevice && p.DataBuffer != nullptr)
    s.data_out.assign(static_cast<uint8_t *>(p.DataBuffer),
                      static_cast<uint8_t *>(p.DataBuffer) + p.DataTransferLength);
  size_t n = 0;
  const std::optional<Reply> r = Exchange(handle, std::move(s), p.DataBuffer, n);
  if (!r) return -kErrorInvalidHandle;
  if (r->ioctl_error != 0) return -r->ioctl_error;
  // The record has no host status: the port driver fails the call itself.
  if (r->host_status != 0) return -kErrorIoDevice;
  p.ScsiStatus = r->status;
  const size_t sense = std::min<size_t>(r->sense.size(), p.SenseInfoLength);
  if (sense) std::memcpy(reinterpret_cast<uint8_t *>(record) + p.SenseInfoOffset,
                         r->sense.data(), sense);
  if (p.DataIn == kSptiDataIn) p.DataTransferLength = static_cast<uint32_t>(n);
  *returned = sizeof(Record);
  return 0;
}

int FakePlatform::QueryAddress(int handle, TSCSI_ADDRESS *address) {
  auto it = open_handles.find(handle);
  if (it == open_handles.end()) return -EBADF;
  FakeDrive *d = Find(it->second);
  if (d->address_error != 0) return -d->address_error;
  *address = d->address;
  return 0;
}

void *FakePlatform::LoadModule(const char *file_name) {
  modules_asked.push_back(file_name);
  auto it = modules.find(file_name);
  return it == modules.end() ? nullptr : &it->second;
}

void *FakePlatform::ModuleSymbol(void *module, const char *name) {
  auto *symbols = static_cast<std::map<std::string, void *> *>(module);
  auto it = symbols->find(name);
  return it == symbols->end() ? nullptr : it->second;
}

const char *FakePlatform::Environment(const char *name) {
  auto it = environment.find(name);
  return it == environment.end() ? nullptr : it->second.c_str();
}

Record::Record(FakePlatform *platform) : dev(new TSCSIDevice) {
  std::memset(dev, 0, sizeof *dev);
  dev->Platform = static_cast<DevicePlatform *>(platform);
}

Record::~Record() {
  ReleaseDevice(dev);
  delete dev;
}

void UsePassThrough(TSCSIDevice *dev, char letter) {
  OpenDevice(dev);
  dev->Initialized = 1;
  dev->UsePassThrough = 1;
  dev->Handle = -1;
  dev->DriveLetter = letter;
  dev->HostAdapter = dev->Target = dev->Lun = 0;
}

} // namespace korva::test
