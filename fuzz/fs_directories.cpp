// Fuzzes the directory, file-entry and data reading of the file system: a small formatted
// image holding a tree (nested directories, identifiers crossing block ends, a file whose
// descriptor list continues in an extension block) is mutated in its file entries,
// directory blocks and extension blocks, mounted, and then listed with find, every entry
// opened and read, and a file created and deleted in each directory found.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "korva/files.h"
#include "korva/volume.h"

namespace {

// An image file held in memory, behind the engine's image layer.
struct MemoryImage {
  std::vector<uint8_t> bytes;
  bool exists = false;
};
MemoryImage g_image;

int Open(void *, const char *, int32_t *h) {
  if (!g_image.exists) return 2;
  *h = 1;
  return 0;
}
int Create(void *, const char *, int32_t *h) {
  g_image.exists = true;
  g_image.bytes.clear();
  *h = 1;
  return 0;
}
int Size(void *, int32_t, uint64_t *size) {
  *size = g_image.bytes.size();
  return 0;
}
int Reserve(void *, int32_t, uint64_t size) {
  g_image.bytes.assign(size, 0);
  return 0;
}
int ReadAt(void *, int32_t, void *b, uint32_t n, uint64_t off) {
  if (off + n > g_image.bytes.size()) return 5;
  std::memcpy(b, g_image.bytes.data() + off, n);
  return 0;
}
int WriteAt(void *, int32_t, const void *b, uint32_t n, uint64_t off) {
  if (off + n > g_image.bytes.size()) return 5;
  std::memcpy(g_image.bytes.data() + off, b, n);
  return 0;
}
int Flush(void *, int32_t) {
  return 0;
}
int Close(void *, int32_t) {
  return 0;
}
int Remove(void *, const char *) {
  g_image.exists = false;
  return 0;
}
const KorvaImageIO kMemoryIO = {nullptr, Open,    Create, Size,  Reserve,
                                ReadAt,  WriteAt, Flush,  Close, Remove};

TUDFRewritableVolume *NewVolume() {
  auto *v = static_cast<TUDFRewritableVolume *>(std::calloc(1, sizeof(TUDFRewritableVolume)));
  v->ImageIO = &kMemoryIO;
  return v;
}

void FreeVolume(TUDFRewritableVolume *v) {
  UDF_ReleaseVolume(v);
  std::free(v);
}

void Done(void *, void *, int32_t) {}

bool WriteFile(TUDFRewritableVolume *v, const char16_t *path, uint32_t size, uint8_t fill) {
  UDF_HANDLE h = UDF_CreateFileW(v, path, UDF_GENERIC_WRITE, UDF_CREATE_NEW, 0);
  if (h == UDF_INVALID_HANDLE) return false;
  std::vector<uint8_t> data(size, fill);
  uint32_t n = 0;
  bool ok = UDF_WriteFile(v, h, data.data(), size, &n) != 0;
  UDF_CloseHandle(v, h);
  return ok;
}

// The formatted and populated image every input starts from, and the blocks worth mutating.
struct Template {
  std::vector<uint8_t> image;
  std::vector<uint32_t> sectors;
  bool ok = false;
};

Template BuildTemplate() {
  Template t;
  TUDFRewritableVolume *v = NewVolume();
  g_image = MemoryImage();
  if (!UDF_MountImage(v, "fuzz.img", 8) || !UDF_FormatVolumeW(v, u"FUZZ", 1, Done, nullptr)) {
    FreeVolume(v);
    return t;
  }
  UDF_WaitForBackgroundOperation(v);
  if (!UDF_GetVolumeCompatibility(v)) {
    FreeVolume(v);
    return t;
  }
  UDF_CreateDirectoryW(v, u"\\", u"A");
  UDF_CreateDirectoryW(v, u"\\A", u"B");
  WriteFile(v, u"\\A\\B\\data", 5000, 0x11);
  // Long names so identifiers cross block ends.
  for (int i = 0; i < 20; ++i) {
    std::u16string name = u"\\A\\" + std::u16string(100, char16_t(u'a' + i));
    WriteFile(v, name.c_str(), uint32_t(i * 300), uint8_t(i));
  }
  // A fragmented file: holes left by deleted files make its descriptor list long enough
  // to continue in an extension block. The files around the holes go afterwards, so the
  // tree stays small enough to walk quickly.
  UDF_CreateDirectoryW(v, u"\\", u"h");
  auto holeName = [](int i) {
    std::u16string name = u"\\h\\f";
    for (char c : std::to_string(i))
      name.push_back(char16_t(c));
    return name;
  };
  for (int i = 0; i < 480; ++i)
    WriteFile(v, holeName(i).c_str(), 100, 0);
  for (int i = 0; i < 480; i += 2)
    UDF_DeleteFileW(v, holeName(i).c_str());
  WriteFile(v, u"\\frag", 2048 * 600, 0x22);
  for (int i = 1; i < 480; i += 2)
    UDF_DeleteFileW(v, holeName(i).c_str());
  const uint32_t start = v->PartitionStart;
  const uint32_t used = v->PartitionLength;
  // Metadata blocks: every block whose first bytes carry a file entry, identifier or
  // extension tag.
  UDF_DismountVolume(v);
  FreeVolume(v);
  t.image = g_image.bytes;
  for (uint32_t b = 0; b < used; ++b) {
    const size_t off = size_t(start + b) * 2048;
    if (off + 2048 > t.image.size()) break;
    const uint16_t tag = uint16_t(t.image[off] | (t.image[off + 1] << 8));
    if (tag == 261 || tag == 257 || tag == 258) t.sectors.push_back(start + b);
  }
  t.ok = !t.sectors.empty();
  return t;
}

void ReadEverything(TUDFRewritableVolume *v, const std::u16string &dir, int depth, int &budget) {
  if (depth > 6 || budget <= 0) return;
  _UDF_FIND_DATAW d;
  const std::u16string pattern = dir + u"\\*";
  UDF_HANDLE h = UDF_FindFirstFileW(v, pattern.c_str(), &d);
  if (h == UDF_INVALID_HANDLE) return;
  std::vector<std::pair<std::u16string, bool>> entries;
  do {
    entries.emplace_back(d.cFileName, (d.dwFileAttributes & UDF_FILE_ATTRIBUTE_DIRECTORY) != 0);
  } while (--budget > 0 && UDF_FindNextFileW(v, h, &d));
  UDF_FindClose(v, h);
  std::vector<uint8_t> buf(65536);
  for (auto &[name, isDir] : entries) {
    const std::u16string path = dir + u"\\" + name;
    if (isDir) {
      ReadEverything(v, path, depth + 1, budget);
      continue;
    }
    UDF_HANDLE f = UDF_CreateFileW(v, path.c_str(), UDF_GENERIC_READ, UDF_OPEN_EXISTING, 0);
    if (f == UDF_INVALID_HANDLE) continue;
    uint32_t n = 0;
    for (int i = 0; i < 4 && UDF_ReadFile(v, f, buf.data(), uint32_t(buf.size()), &n) && n; ++i) {
    }
    UDF_CloseHandle(v, f);
  }
  // Growing and shrinking a damaged directory must not crash either.
  const std::u16string probe = dir + u"\\probe";
  UDF_HANDLE f = UDF_CreateFileW(v, probe.c_str(), UDF_GENERIC_WRITE, UDF_CREATE_NEW, 0);
  if (f != UDF_INVALID_HANDLE) {
    uint32_t n = 0;
    UDF_WriteFile(v, f, buf.data(), 3000, &n);
    UDF_CloseHandle(v, f);
    UDF_DeleteFileW(v, probe.c_str());
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const Template t = BuildTemplate();
  if (!t.ok) return 0;
  g_image.bytes = t.image;
  g_image.exists = true;
  // Each 4 bytes patch one byte: which metadata block, the offset in it, the new value.
  for (size_t i = 0; i + 4 <= size; i += 4) {
    const uint32_t sector = t.sectors[data[i] % t.sectors.size()];
    const uint32_t offset = uint32_t(data[i + 1] | (data[i + 2] << 8)) % 2048;
    g_image.bytes[size_t(sector) * 2048 + offset] = data[i + 3];
  }
  TUDFRewritableVolume *v = NewVolume();
  if (UDF_MountImage(v, "fuzz.img", 0) && UDF_GetVolumeCompatibility(v)) {
    int budget = 300;
    ReadEverything(v, u"", 0, budget);
    UDF_DismountVolume(v);
  }
  FreeVolume(v);
  return 0;
}
