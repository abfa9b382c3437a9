// The Linux device layer, and the default events (eventfd) and clock of the Linux build.
#include "device/platform.h"
#include "device/drive_map.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <thread>
#include <vector>

#include <dlfcn.h>
#include <fcntl.h>
#include <linux/cdrom.h>
#include <poll.h>
#include <scsi/scsi.h>
#include <scsi/scsi_ioctl.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace korva {

int DevicePlatform::CreateEvent() {
  const int fd = eventfd(0, EFD_CLOEXEC);
  return fd >= 0 ? fd : -errno;
}

int DevicePlatform::WaitEvent(int event, uint32_t timeout_ms) {
  const uint64_t deadline = MonotonicMs() + timeout_ms;
  for (;;) {
    const uint64_t now = MonotonicMs();
    if (now >= deadline) return -ETIMEDOUT;
    const uint64_t left = deadline - now;
    pollfd p{event, POLLIN, 0};
    const int ready = poll(&p, 1, static_cast<int>(std::min<uint64_t>(left, 60000)));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return -errno;
    if (ready == 0) continue;
    uint64_t value = 0;
    const ssize_t n = read(event, &value, sizeof value);
    if (n == static_cast<ssize_t>(sizeof value)) return 0;
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    return n < 0 ? -errno : -EIO;
  }
}

void DevicePlatform::CloseEvent(int event) {
  if (event >= 0) close(event);
}

bool DevicePlatform::EventSignalled(int event) {
  pollfd p{event, POLLIN, 0};
  return poll(&p, 1, 0) == 1 && (p.revents & POLLIN) != 0;
}

void DevicePlatform::UtcTimeOfDay(int *minute, int *second, int *millisecond) {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  const long long of_hour = static_cast<long long>(now.tv_sec) % 3600;
  *minute = static_cast<int>(of_hour / 60);
  *second = static_cast<int>(of_hour % 60);
  *millisecond = static_cast<int>(now.tv_nsec / 1000000);
}

namespace {

class LinuxPlatform final : public DevicePlatform {
public:
  std::string OpticalDriveLetters() override {
    std::string letters;
    for (const auto &entry : CurrentMap())
      letters.push_back(entry.letter);
    return letters;
  }

  int OpenDrive(char letter, bool writable) override {
    const std::string path = PathOf(CurrentMap(), letter);
    if (path.empty()) return -ENOENT;
    // Exclusive where writing is meant: the kernel then refuses to mount the disc (and
    // other exclusive openers) while Korva writes it.
    int fd = open(path.c_str(), (writable ? O_RDWR | O_EXCL : O_RDONLY) | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -errno;
    if (fd == 0) {
      // 0 marks a closed handle in a fresh record; move the descriptor out of the way.
      const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
      const int saved = errno;
      close(fd);
      if (moved < 0) return -saved;
      fd = moved;
    }
    return fd;
  }

  int CloseDrive(int handle) override { return close(handle) == 0 ? 0 : -errno; }

  int SendSgIo(int handle, sg_io_hdr_t *header) override {
    return ioctl(handle, SG_IO, header) == 0 ? 0 : -errno;
  }

  int QueryAddress(int handle, TSCSI_ADDRESS *address) override {
    sg_scsi_id id{};
    if (ioctl(handle, SG_GET_SCSI_ID, &id) == 0) {
      address->PortNumber = static_cast<uint8_t>(id.host_no);
      address->PathId = static_cast<uint8_t>(id.channel);
      address->TargetId = static_cast<uint8_t>(id.scsi_id);
      address->Lun = static_cast<uint8_t>(id.lun);
      return 0;
    }
    // sr nodes answer the older query: id, lun, channel and host packed in one word.
    struct {
      uint32_t dev_id;
      uint32_t host_unique_id;
    } idlun{};
    if (ioctl(handle, SCSI_IOCTL_GET_IDLUN, &idlun) == 0) {
      address->TargetId = static_cast<uint8_t>(idlun.dev_id);
      address->Lun = static_cast<uint8_t>(idlun.dev_id >> 8);
      address->PathId = static_cast<uint8_t>(idlun.dev_id >> 16);
      address->PortNumber = static_cast<uint8_t>(idlun.dev_id >> 24);
      return 0;
    }
    return -errno;
  }

  void *LoadModule(const char *file_name) override { return dlopen(file_name, RTLD_NOW); }

  void *ModuleSymbol(void *module, const char *name) override { return dlsym(module, name); }

  void UnloadModule(void *module) override {
    if (module != nullptr) dlclose(module);
  }

  // The CD-ROM layer's own door lock: it sets the drive's "keep locked" state, so the
  // unlock it otherwise sends at the last close is left out. sg nodes do not know it, and
  // need it not: they never unlock on close.
  int KeepDoorLocked(int handle, bool locked) override {
    return ioctl(handle, CDROM_LOCKDOOR, locked ? 1 : 0) == 0 ? 0 : -errno;
  }

  const char *Environment(const char *name) override { return std::getenv(name); }

  void SleepMs(uint32_t milliseconds) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
  }

private:
  std::vector<DriveMapEntry> CurrentMap() {
    const char *custom = Environment("KORVA_DRIVES");
    if (custom != nullptr && *custom != 0) return ParseDriveMap(custom);
    return DefaultDriveMap(ListOpticalBlockDevices("/sys/class/block"));
  }
};

} // namespace

DevicePlatform &LinuxDevicePlatform() {
  static LinuxPlatform platform;
  return platform;
}

DevicePlatform &PlatformOf(const TSCSIDevice *device) {
  if (device != nullptr && device->Platform != nullptr)
    return *static_cast<DevicePlatform *>(device->Platform);
  return LinuxDevicePlatform();
}

} // namespace korva
