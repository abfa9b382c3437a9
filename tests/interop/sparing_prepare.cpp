// Prepares an image for the kernel's check of relocated packets: formats it, writes
// /D/f.bin, relocates the first packet of the partition and one packet of the file's data
// to spare packets (originals scribbled over), then lets korva overwrite bytes inside the
// relocated data packet and append to the file. Writes the bytes the file must now hold.
// Usage: sparing_prepare IMAGE EXPECTED
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "korva/files.h"
#include "tests/support/sparing_image.h"
#include "tests/support/volume_fixture.h"

using namespace korva;

namespace {

constexpr uint32_t kUnit = 32;
constexpr uint32_t kSpareA = 384, kSpareB = 416; // between the two sparing tables

bool Write(TUDFRewritableVolume &v, const char *path, uint64_t at, const std::vector<uint8_t> &d,
           uint32_t disposition) {
  UDF_HANDLE h = UDF_CreateFile(&v, path, UDF_GENERIC_READ | UDF_GENERIC_WRITE, disposition, 0);
  if (h == UDF_INVALID_HANDLE) return false;
  uint32_t n = 0;
  const bool ok = UDF_SetFilePointer(&v, h, at) &&
                  UDF_WriteFile(&v, h, d.data(), uint32_t(d.size()), &n) && n == d.size();
  return UDF_CloseHandle(&v, h) && ok;
}

int Fail(const char *what) {
  std::fprintf(stderr, "sparing_prepare: %s\n", what);
  return 1;
}

} // namespace

int main(int argc, char **argv) {
  if (argc != 3) return Fail("usage: sparing_prepare IMAGE EXPECTED");
  const std::string image = argv[1];
  std::remove(image.c_str());
  test::VolumePtr v = test::NewVolume();
  if (!UDF_MountImage(v.get(), image.c_str(), 64) || test::FormatAndWait(*v, u"SPARING") != 0)
    return Fail("format failed");
  std::vector<uint8_t> data(300 * 2048);
  for (size_t i = 0; i < data.size(); ++i)
    data[i] = uint8_t((i * 7 + i / 2048) & 0xFF);
  if (!UDF_CreateDirectory(v.get(), "\\", "D") || !Write(*v, "\\D\\f.bin", 0, data, UDF_CREATE_NEW))
    return Fail("writing the file failed");
  const test::SparingGeometry g = test::GeometryOf(*v);
  if (!UDF_DismountVolume(v.get())) return Fail("dismount failed");

  // The file's first block, found on the image; its entry shares the partition's first packet.
  uint32_t first = UINT32_MAX;
  std::vector<uint8_t> s;
  for (uint32_t b = 0; b < kUnit && first == UINT32_MAX; ++b)
    if (test::RawRead(image, g.PartitionStart + b, 1, s) &&
        std::memcmp(s.data(), data.data(), 2048) == 0)
      first = b;
  if (first == UINT32_MAX) return Fail("the file's data was not found");
  const uint32_t dataPacket = (first + 100) / kUnit * kUnit;
  if (!test::RelocateSectors(image, g.PartitionStart, kSpareA, kUnit) ||
      !test::RelocateSectors(image, g.PartitionStart + dataPacket, kSpareB, kUnit) ||
      !test::InstallSparingTables(image, g,
                                  {{0, kSpareA}, {dataPacket, kSpareB}, {0xFFFFFFFFu, 1376}}))
    return Fail("relocating failed");

  if (!UDF_MountImage(v.get(), image.c_str(), 0) || !v->Compatible)
    return Fail("the relocated volume does not mount");
  const uint64_t at = uint64_t(dataPacket - first) * 2048 + 100;
  const std::vector<uint8_t> patch(3000, 0x5A), tail(7000, 0x3C);
  if (!Write(*v, "\\D\\f.bin", at, patch, UDF_OPEN_EXISTING) ||
      !Write(*v, "\\D\\f.bin", data.size(), tail, UDF_OPEN_EXISTING) ||
      !UDF_DismountVolume(v.get()))
    return Fail("writing into the relocated packet failed");
  if (!test::AllBytes(image, g.PartitionStart + dataPacket, kUnit, test::kScribble))
    return Fail("the original packet was written");
  std::copy(patch.begin(), patch.end(), data.begin() + long(at));
  data.insert(data.end(), tail.begin(), tail.end());
  std::ofstream out(argv[2], std::ios::binary);
  out.write(reinterpret_cast<const char *>(data.data()), std::streamsize(data.size()));
  return out ? 0 : Fail("writing the expected bytes failed");
}
