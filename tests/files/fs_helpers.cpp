#include "tests/files/fs_helpers.h"

#include "udf/byte_order.h"
#include "udf/descriptors.h"
#include "volume/engine.h"
#include "volume/fs/fs_internal.h"

namespace korva::test {

std::vector<uint8_t> Pattern(size_t n, uint32_t seed) {
  std::vector<uint8_t> d(n);
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 0; i < n; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    d[i] = static_cast<uint8_t>(x);
  }
  return d;
}

bool WriteWhole(TUDFRewritableVolume &v, const std::u16string &path,
                const std::vector<uint8_t> &data, size_t chunk) {
  UDF_HANDLE h =
      UDF_CreateFileW(&v, path.c_str(), UDF_GENERIC_WRITE | UDF_GENERIC_READ, UDF_CREATE_ALWAYS, 0);
  if (h == UDF_INVALID_HANDLE) return false;
  size_t off = 0;
  bool ok = true;
  do {
    const uint32_t n = static_cast<uint32_t>(std::min(chunk, data.size() - off));
    uint32_t written = 0;
    if (!UDF_WriteFile(&v, h, data.data() + off, n, &written) || written != n) {
      ok = false;
      break;
    }
    off += n;
  } while (off < data.size());
  UDF_CloseHandle(&v, h);
  return ok;
}

bool ReadWhole(TUDFRewritableVolume &v, const std::u16string &path, std::vector<uint8_t> &out,
               size_t chunk) {
  out.clear();
  UDF_HANDLE h = UDF_CreateFileW(&v, path.c_str(), UDF_GENERIC_READ, UDF_OPEN_EXISTING, 0);
  if (h == UDF_INVALID_HANDLE) return false;
  std::vector<uint8_t> buf(chunk);
  for (;;) {
    uint32_t got = 0;
    if (!UDF_ReadFile(&v, h, buf.data(), static_cast<uint32_t>(chunk), &got)) {
      UDF_CloseHandle(&v, h);
      return false;
    }
    out.insert(out.end(), buf.begin(), buf.begin() + got);
    if (got == 0) break;
  }
  UDF_CloseHandle(&v, h);
  return true;
}

std::vector<Listed> List(TUDFRewritableVolume &v, const std::u16string &pattern) {
  std::vector<Listed> out;
  _UDF_FIND_DATAW d;
  UDF_HANDLE h = UDF_FindFirstFileW(&v, pattern.c_str(), &d);
  if (h == UDF_INVALID_HANDLE) return out;
  do {
    out.push_back(
        {d.cFileName, d.dwFileAttributes, (uint64_t(d.nFileSizeHigh) << 32) | d.nFileSizeLow});
  } while (UDF_FindNextFileW(&v, h, &d));
  UDF_FindClose(&v, h);
  return out;
}

RawEntry ReadEntry(TUDFRewritableVolume &v, uint32_t block) {
  RawEntry e;
  uint8_t fe[kBlockSize];
  if (!ReadSector(v, v.PartitionStart + block, fe).IsOk()) return e;
  if (!ReadEntryFields(fe, block, e.Info)) return e;
  e.Ok = ReadDescriptorList(ReaderOf(v), v.PartitionLength, block, fe, e.List);
  return e;
}

bool ListLengthsExact(TUDFRewritableVolume &v, uint32_t feBlock, uint32_t adBytes) {
  uint8_t b[kBlockSize];
  uint32_t block = feBlock;
  for (int hops = 0; hops < 64; ++hops) {
    if (!ReadSector(v, v.PartitionStart + block, b).IsOk()) return false;
    const std::optional<DescriptorArea> area = DescriptorAreaOf(b, kBlockSize);
    if (!area) return false;
    const uint32_t first = area->First;
    uint32_t n = 0;
    while (first + adBytes * (n + 1) <= kBlockSize &&
           (LoadLE32(b + first + adBytes * n) & 0x3FFFFFFFu))
      ++n;
    if (area->Length != adBytes * n) return false;
    if (block == feBlock && LoadLE16(b + 10) != first + adBytes * n - 16) return false;
    if (n == 0 || (LoadLE32(b + first + adBytes * (n - 1)) >> 30) != 3) return true;
    block = LoadLE32(b + first + adBytes * (n - 1) + 4);
  }
  return false;
}

uint32_t EntryBlock(TUDFRewritableVolume &v, const std::u16string &path) {
  if (path == u"\\") return RootBlock(v);
  DirectoryInformation di;
  di.DirICB = RootBlock(v);
  bool found = false;
  if (!LocatePath(v, path, di, found, {.LastMatch = NameMatch::Exact}).IsOk() || !found) return 0;
  return di.EntryICB;
}

bool RewriteExtents(TUDFRewritableVolume &v, const std::u16string &path,
                    const std::vector<UDF_ShortAD> &extents, uint64_t size) {
  const uint32_t block = EntryBlock(v, path);
  uint8_t fe[kBlockSize];
  if (block == 0 || !ReadBlock(v, block, fe)) return false;
  std::optional<FileEntryInfo> info = ParseFileEntry(fe, sizeof fe, block);
  if (!info) return false;
  info->Extents = extents;
  info->InformationLength = size;
  return BuildFileEntry(fe, sizeof fe, block, *info) > 0 && WriteBlock(v, block, fe);
}

} // namespace korva::test
