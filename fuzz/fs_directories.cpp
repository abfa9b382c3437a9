// Fuzzes the directory, file-entry and data reading of the file system: a small formatted
// image holding a tree (nested directories, identifiers crossing block ends, a file whose
// descriptor list continues in an extension block, and entries in the forms other writers
// record: embedded data and directory entries, long descriptors in the entry and in an
// extension chain, an extended file entry, extents allocated but not recorded and not
// allocated at all) is mutated in its file entries, directory blocks and extension blocks,
// mounted, and then listed with find, every entry opened, read, written into and some emptied
// or deleted, and a file created and deleted in each directory found.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "korva/files.h"
#include "korva/volume.h"
#include "udf/byte_order.h"
#include "udf/descriptors.h"
#include "udf/tag.h"

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
const KorvaImageIO kMemoryIO = {nullptr, Open,  Create, Size,   Reserve, ReadAt,
                                WriteAt, Flush, Close,  Remove, Open};

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

// Entries rewritten in the forms other writers record, found in the template image by what
// they hold. Block b of the partition is at sector start + b.
struct Forms {
  std::vector<uint8_t> &image;
  uint32_t start, blocks;
  uint8_t *Block(uint32_t b) { return image.data() + size_t(start + b) * 2048; }
  // The file entry of the given type and information length.
  uint8_t *Entry(uint8_t type, uint64_t length, uint32_t &block) {
    for (block = 0; block < blocks && size_t(start + block + 1) * 2048 <= image.size(); ++block) {
      const uint8_t *d = Block(block);
      if (korva::LoadLE16(d) == korva::kTagFileEntry && d[27] == type &&
          korva::LoadLE64(d + 56) == length)
        return Block(block);
    }
    return nullptr;
  }
  static void Refill(uint8_t *fe, uint32_t block) {
    const uint32_t end = 176 + korva::LoadLE32(fe + 168) + korva::LoadLE32(fe + 172);
    korva::FillTagAt(fe, korva::LoadLE16(fe), uint16_t(end - 16), block);
  }
  // Data (or directory entries) moved into the entry itself.
  void Embed(uint8_t *fe, uint32_t block) {
    const uint32_t length = uint32_t(korva::LoadLE64(fe + 56));
    const uint32_t data = korva::LoadLE32(fe + 180);
    if (length > 2048 - 176) return;
    std::vector<uint8_t> bytes(Block(data), Block(data) + length);
    for (uint32_t off = 0; off + 38 <= length && fe[27] == korva::kFileTypeDirectory;) {
      const uint32_t n =
          korva::FileIdentifierDescriptorLength(bytes[off + 19], korva::LoadLE16(&bytes[off + 36]));
      if (off + n > length) break;
      korva::FillTagAt(&bytes[off], korva::kTagFileIdentifier, uint16_t(n - 16), block);
      off += n;
    }
    std::memset(fe + 176, 0, 2048 - 176);
    std::memcpy(fe + 176, bytes.data(), length);
    korva::StoreLE16(fe + 34, uint16_t(korva::LoadLE16(fe + 34) | 3));
    korva::StoreLE32(fe + 172, length);
    korva::StoreLE64(fe + 64, 0);
    Refill(fe, block);
  }
  // Short descriptors written as long ones.
  static void Lengthen(uint8_t *fe, uint32_t block) {
    const uint32_t n = korva::LoadLE32(fe + 172) / 8;
    if (n > 100) return;
    std::vector<uint8_t> area(fe + 176, fe + 176 + 8 * n);
    std::memset(fe + 176, 0, 2048 - 176);
    for (uint32_t i = 0; i < n; ++i)
      std::memcpy(fe + 176 + 16 * i, &area[8 * i], 8);
    korva::StoreLE16(fe + 34, uint16_t(korva::LoadLE16(fe + 34) | 1));
    korva::StoreLE32(fe + 172, 16 * n);
    Refill(fe, block);
  }
  // A list of short descriptors (in the entry, perhaps continued in one extension block)
  // rewritten in long ones over the entry and a chain of extension blocks: the one it had,
  // and blocks taken from the end of the file's own data, which gets shorter by them.
  void LengthenChain(uint8_t *fe, uint32_t block) {
    std::vector<std::pair<uint32_t, uint32_t>> ads; // length word, location
    std::vector<uint32_t> exts;
    auto gather = [&](const uint8_t *b, uint32_t first, uint32_t length) {
      for (uint32_t off = first; off + 8 <= first + length && off + 8 <= 2048; off += 8) {
        const uint32_t len = korva::LoadLE32(b + off), at = korva::LoadLE32(b + off + 4);
        if (len >> 30 == 3) return at;
        if ((len & 0x3FFFFFFF) == 0) break;
        ads.emplace_back(len, at);
      }
      return 0u;
    };
    if (const uint32_t ext = gather(fe, 176, korva::LoadLE32(fe + 172))) {
      if (ext >= blocks || gather(Block(ext), 24, korva::LoadLE32(Block(ext) + 20)) != 0) return;
      exts.push_back(ext);
    }
    constexpr uint32_t inEntry = (2048 - 176 - 16) / 16, perBlock = (2048 - 24 - 16) / 16;
    auto needed = [&] {
      size_t rest = ads.size() > inEntry ? ads.size() - inEntry : 0, k = 0;
      for (; rest > perBlock + 1; rest -= perBlock)
        ++k;
      return rest ? k + 1 : k;
    };
    uint64_t length = korva::LoadLE64(fe + 56), recorded = korva::LoadLE64(fe + 64);
    while (exts.size() < needed()) {
      auto &[len, at] = ads.back();
      const uint32_t n = ((len & 0x3FFFFFFF) + 2047) / 2048;
      if (len >> 30 != 0 || n == 0) return;
      exts.push_back(at + n - 1);
      length -= (len & 0x3FFFFFFF) - (n - 1) * 2048;
      --recorded;
      len = (n - 1) * 2048;
      if (n == 1) ads.pop_back();
    }
    if (exts.empty()) return;
    uint8_t *list = fe;
    uint32_t first = 176, off = 176, room = inEntry;
    size_t next = 0;
    for (size_t i = 0;; ++i) {
      std::memset(list + first, 0, 2048 - first);
      const bool last = i == exts.size();
      for (uint32_t k = 0; next < ads.size() && (k < room || (last && k <= room)); ++k, ++next) {
        korva::StoreLE32(list + off, ads[next].first);
        korva::StoreLE32(list + off + 4, ads[next].second);
        off += 16;
      }
      if (!last) {
        korva::StoreLE32(list + off, (3u << 30) | 2048);
        korva::StoreLE32(list + off + 4, exts[i]);
        off += 16;
      }
      korva::StoreLE32(list + (list == fe ? 172 : 20), off - first);
      if (list != fe) korva::FillTagAt(list, korva::kTagAllocationExtent, 8, exts[i - 1]);
      if (last) break;
      list = Block(exts[i]);
      std::memset(list, 0, 24);
      korva::StoreLE16(list, korva::kTagAllocationExtent);
      first = off = 24;
      room = perBlock;
    }
    korva::StoreLE64(fe + 56, length);
    korva::StoreLE64(fe + 64, recorded);
    korva::StoreLE16(fe + 34, uint16_t(korva::LoadLE16(fe + 34) | 1));
    Refill(fe, block);
  }
  // A file entry rewritten as an extended file entry: the fields up to the information length
  // stay, the rest move 40 bytes on.
  static void Extend(uint8_t *fe, uint32_t block) {
    const uint32_t ad = korva::LoadLE32(fe + 172);
    if (216 + ad > 2048) return;
    uint8_t out[2048] = {};
    std::memcpy(out, fe, 64);
    korva::StoreLE16(out, korva::kTagExtendedFileEntry);
    korva::StoreLE64(out + 64, korva::LoadLE64(fe + 56)); // object size
    std::memcpy(out + 72, fe + 64, 8);                    // blocks recorded
    std::memcpy(out + 80, fe + 72, 24);                   // access and modification times
    std::memcpy(out + 104, fe + 72, 12);                  // creation time
    std::memcpy(out + 116, fe + 96, 12 + 4);              // attribute time, checkpoint
    std::memcpy(out + 168, fe + 128, 32);                 // implementation
    std::memcpy(out + 200, fe + 160, 8);                  // unique ID
    korva::StoreLE32(out + 212, ad);
    std::memcpy(out + 216, fe + 176, ad);
    korva::FillTagAt(out, korva::kTagExtendedFileEntry, uint16_t(216 + ad - 16), block);
    std::memcpy(fe, out, sizeof out);
  }
  // One recorded extent of three blocks split: recorded, not allocated, allocated only.
  static void Holes(uint8_t *fe, uint32_t block) {
    const uint32_t first = korva::LoadLE32(fe + 180);
    const uint32_t ads[6] = {2048, first, 2048u | (2u << 30), 0, 2048u | (1u << 30), first + 2};
    for (int i = 0; i < 6; ++i)
      korva::StoreLE32(fe + 176 + 4 * i, ads[i]);
    korva::StoreLE32(fe + 172, 24);
    Refill(fe, block);
  }
};

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
  // Entries that other writers' forms replace below, told apart by their lengths.
  UDF_CreateDirectoryW(v, u"\\", u"E");
  WriteFile(v, u"\\E\\embedded", 777, 0x33);
  WriteFile(v, u"\\E\\long", 3 * 2048 + 1, 0x44);
  WriteFile(v, u"\\E\\holes", 3 * 2048, 0x55);
  WriteFile(v, u"\\extended", 2 * 2048 + 5, 0x66);
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
  Forms forms{t.image, start, used};
  uint32_t b = 0;
  if (uint8_t *fe = forms.Entry(korva::kFileTypeFile, 777, b)) forms.Embed(fe, b);
  if (uint8_t *fe = forms.Entry(korva::kFileTypeFile, 3 * 2048 + 1, b)) forms.Lengthen(fe, b);
  if (uint8_t *fe = forms.Entry(korva::kFileTypeFile, 3 * 2048, b)) forms.Holes(fe, b);
  if (uint8_t *fe = forms.Entry(korva::kFileTypeFile, 2048 * 600, b)) forms.LengthenChain(fe, b);
  if (uint8_t *fe = forms.Entry(korva::kFileTypeFile, 2 * 2048 + 5, b)) forms.Extend(fe, b);
  // The directory holding those three: its parent entry and three identifiers.
  const uint32_t dirLength = 40 + korva::FileIdentifierDescriptorLength(1 + 2 * 8) +
                             korva::FileIdentifierDescriptorLength(1 + 2 * 4) +
                             korva::FileIdentifierDescriptorLength(1 + 2 * 5);
  if (uint8_t *fe = forms.Entry(korva::kFileTypeDirectory, dirLength, b)) forms.Embed(fe, b);
  for (uint32_t b = 0; b < used; ++b) {
    const size_t off = size_t(start + b) * 2048;
    if (off + 2048 > t.image.size()) break;
    const uint16_t tag = uint16_t(t.image[off] | (t.image[off + 1] << 8));
    if (tag == 261 || tag == 266 || tag == 257 || tag == 258) t.sectors.push_back(start + b);
  }
  // An input names a block by one byte: the extension blocks and the extended entry, which
  // lie far on, come first so that every input can reach them.
  std::stable_partition(t.sectors.begin(), t.sectors.end(), [&](uint32_t sector) {
    const uint16_t tag = korva::LoadLE16(t.image.data() + size_t(sector) * 2048);
    return tag == 258 || tag == 266;
  });
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
  int files = 0;
  for (auto &[name, isDir] : entries) {
    const std::u16string path = dir + u"\\" + name;
    if (isDir) {
      ReadEverything(v, path, depth + 1, budget);
      continue;
    }
    UDF_HANDLE f = UDF_CreateFileW(v, path.c_str(), UDF_GENERIC_READ | UDF_GENERIC_WRITE,
                                   UDF_OPEN_EXISTING, 0);
    if (f == UDF_INVALID_HANDLE) continue;
    uint32_t n = 0;
    for (int i = 0; i < 4 && UDF_ReadFile(v, f, buf.data(), uint32_t(buf.size()), &n) && n; ++i) {
    }
    // Changed in whatever form it is recorded: written over and past its end, then some
    // emptied and some deleted.
    UDF_WriteFile(v, f, buf.data(), 2100, &n);
    ++files;
    if (files % 3 == 0) UDF_TruncateFile(v, f);
    UDF_CloseHandle(v, f);
    if (files % 4 == 0) UDF_DeleteFileW(v, path.c_str());
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
