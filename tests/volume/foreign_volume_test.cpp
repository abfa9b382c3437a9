// Volumes this library did not write (made by mkudffs, from udftools): each partition kind
// mounts read-only with a note that says what it is, and a mount for writing leaves every
// byte alone. And images whose size is not whole packets: read, never written.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "korva/check.h"
#include "korva/files.h"
#include "tests/support/volume_fixture.h"
#include "udf/byte_order.h"
#include "udf/descriptors.h"
#include "udf/tag.h"
#include "volume/engine.h"

namespace korva {
namespace {

namespace fs = std::filesystem;
using test::FaultyImageIO;
using test::FileBytes;
using test::NewVolume;
using test::TempDir;

bool HaveMkudffs() { return std::system("command -v mkudffs >/dev/null 2>&1") == 0; }

// The names in the root directory, through find.
std::vector<std::u16string> RootNames(TUDFRewritableVolume &v) {
  std::vector<std::u16string> names;
  _UDF_FIND_DATAW data{};
  const UDF_HANDLE h = UDF_FindFirstFileW(&v, u"\\*", &data);
  if (h == UDF_INVALID_HANDLE) return names;
  do
    names.emplace_back(reinterpret_cast<const char16_t *>(data.cFileName));
  while (UDF_FindNextFileW(&v, h, &data));
  UDF_FindClose(&v, h);
  return names;
}

TEST(ForeignVolumes, EachPartitionKindIsReadAndNeverWritten) {
  if (!HaveMkudffs()) GTEST_SKIP() << "mkudffs not installed";
  struct Case {
    const char *media, *revision, *note;
  } const cases[] = {
      {"hd", "2.01", "UDF 2.01 volume written by \"*Linux UDFFS\", plain partition"},
      {"cdrw", "1.50", "UDF 1.50 volume written by \"*Linux UDFFS\", sparable partition"},
      {"dvdrw", "2.00", "UDF 2.00 volume written by \"*Linux UDFFS\", sparable partition"},
      {"cdr", "1.50", "virtual partition (VAT)"},
      {"bdr", "2.60", "UDF 2.60 volume written by \"*Linux UDFFS\", plain partition, virtual"},
      {"dvd", "1.02", "UDF 1.02 volume written by \"*Linux UDFFS\", plain partition"},
  };
  TempDir dir;
  for (const Case &c : cases) {
    const std::string path = dir.File(std::string(c.media) + c.revision + ".img");
    const std::string make = std::string("mkudffs --media-type=") + c.media + " --udfrev=" +
                             c.revision + " --blocksize=2048 --new-file '" + path +
                             "' 4096 >/dev/null 2>&1";
    ASSERT_EQ(std::system(make.c_str()), 0) << make;
    const std::string before = FileBytes(path);
    auto v = NewVolume();
    ASSERT_EQ(UDF_MountImageReadOnly(v.get(), path.c_str()), KTRUE) << c.media;
    EXPECT_EQ(UDF_GetVolumeCompatibility(v.get()), KTRUE) << c.media << " " << c.revision;
    EXPECT_NE(std::string(UDF_GetVolumeNote(v.get())).find(c.note), std::string::npos)
        << UDF_GetVolumeNote(v.get());
    // The 1.50 sparable volume holds its list of spare space as a file; the others hold
    // nothing but the root.
    const auto names = RootNames(*v);
    EXPECT_EQ(names.size(), std::string(c.revision) == "1.50" && c.media[0] == 'c' &&
                                    c.media[2] == 'r' && c.media[3] == 'w'
                                ? 1u
                                : 0u)
        << c.media;
    // A change is refused even though the record is usable.
    EXPECT_EQ(UDF_CreateFileW(v.get(), u"\\new", UDF_GENERIC_WRITE, UDF_CREATE_NEW, 0),
              UDF_INVALID_HANDLE);
    EXPECT_EQ(UDF_DismountVolume(v.get()), KTRUE);

    // Mounted for writing it is not compatible, says why, and nothing is written to it.
    const bool whole = fs::file_size(path) % 32768 == 0;
    EXPECT_EQ(UDF_MountImage(v.get(), path.c_str(), 0), whole ? KTRUE : KFALSE) << c.media;
    if (whole) {
      EXPECT_EQ(UDF_GetVolumeCompatibility(v.get()), KFALSE);
      EXPECT_EQ(UDF_GetLastErrorNumber(v.get()), 0);
      EXPECT_NE(std::string(UDF_GetVolumeNote(v.get())).find(c.note), std::string::npos);
      EXPECT_EQ(UDF_DismountVolume(v.get()), KTRUE);
    } else {
      EXPECT_EQ(UDF_GetLastErrorNumber(v.get()), KORVA_E_IMAGE_SIZE);
    }
    EXPECT_EQ(FileBytes(path), before) << c.media << " " << c.revision;
  }
}

// An image held in memory, sector by sector, written back whole.
struct RawImage {
  std::string bytes;
  explicit RawImage(const std::string &path) : bytes(FileBytes(path)) {}
  uint8_t *At(uint32_t sector) { return reinterpret_cast<uint8_t *>(&bytes[size_t(sector) * 2048]); }
  void Save(const std::string &path) const { std::ofstream(path, std::ios::binary) << bytes; }
};

// mkudffs makes no metadata partition: one is made from its 2.01 volume. The file set, the
// root and their neighbours (the first 4 blocks) move to blocks 100-103 of the partition,
// where the metadata file (and its mirror) say the metadata partition's blocks lie; the
// logical volume gets the metadata map, and every address of the tree names it.
void MakeMetadataVolume(const std::string &path, bool mainFile, bool mirror) {
  constexpr uint32_t kStart = 257, kMoved = 100, kFile = 200, kMirror = 201, kBlocks = 4;
  RawImage img(path);
  ASSERT_EQ(LoadLE16(img.At(kStart + 1)), kTagFileSet);
  for (uint32_t b = 0; b < kBlocks; ++b) {
    std::memcpy(img.At(kStart + kMoved + b), img.At(kStart + b), 2048);
    if (b > 0) std::memset(img.At(kStart + b), 0, 2048);
  }
  for (const auto &[block, type, wanted] : {std::tuple{kFile, uint8_t(250), mainFile},
                                            std::tuple{kMirror, uint8_t(251), mirror}}) {
    FileEntryInfo fe;
    fe.FileType = type;
    fe.InformationLength = kBlocks * 2048;
    fe.BlocksRecorded = kBlocks;
    fe.Extents = {MakeShortAD(kBlocks * 2048, kMoved)};
    if (wanted) {
      ASSERT_GT(BuildFileEntry(img.At(kStart + block), 2048, block, fe), 0u);
    }
  }
  // The logical volume: its second map, its file set in partition reference 1, revision 2.50.
  const uint32_t lvdSector = 96 + 1;
  uint8_t *lvd = img.At(lvdSector);
  ASSERT_EQ(LoadLE16(lvd), kTagLogicalVolume);
  uint8_t *map = lvd + 440 + 6;
  std::memset(map, 0, 64);
  map[0] = 2;
  map[1] = 64;
  std::memcpy(map + 5, "*UDF Metadata Partition", 23);
  StoreLE16(map + 36, 1);
  StoreLE32(map + 40, kFile);
  StoreLE32(map + 44, kMirror);
  StoreLE32(map + 48, 0xFFFFFFFFu);
  StoreLE32(lvd + 264, 70);
  StoreLE32(lvd + 268, 2);
  StoreLE16(lvd + 216 + 24, 0x0250);
  StoreLE16(lvd + 248 + 8, 1);
  FillTagAt(lvd, kTagLogicalVolume, 440 + 70 - 16, lvdSector);
  // The file set names the root in the metadata partition; so does the root's parent entry.
  uint8_t *fsd = img.At(kStart + kMoved + 1);
  const uint32_t root = LoadLE32(fsd + 404);
  StoreLE16(fsd + 408, 1);
  FillTagAt(fsd, kTagFileSet, LoadLE16(fsd + 10), 1);
  uint8_t *entry = img.At(kStart + kMoved + root);
  ASSERT_EQ(LoadLE16(entry), kTagExtendedFileEntry);
  uint8_t *fid = entry + kExtendedFileEntryHeaderSize;
  ASSERT_EQ(LoadLE16(fid), kTagFileIdentifier);
  StoreLE16(fid + 20 + 8, 1);
  FillTagAt(fid, kTagFileIdentifier, LoadLE16(fid + 10), root);
  FillTagAt(entry, kTagExtendedFileEntry, LoadLE16(entry + 10), root);
  img.Save(path);
}

TEST(ForeignVolumes, AMetadataPartitionIsReadThroughItsFileOrItsMirror) {
  if (!HaveMkudffs()) GTEST_SKIP() << "mkudffs not installed";
  TempDir dir;
  const std::string path = dir.File("meta.img");
  const std::string make = "mkudffs --media-type=hd --udfrev=2.01 --blocksize=2048 --new-file '" +
                           path + "' 4096 >/dev/null 2>&1";
  ASSERT_EQ(std::system(make.c_str()), 0);
  const std::string original = FileBytes(path);
  struct Case {
    bool file, mirror, readable;
  } const cases[] = {{true, true, true}, {false, true, true}, {false, false, false}};
  for (const Case &c : cases) {
    std::ofstream(path, std::ios::binary) << original;
    MakeMetadataVolume(path, c.file, c.mirror);
    auto v = NewVolume();
    ASSERT_EQ(UDF_MountImageReadOnly(v.get(), path.c_str()), KTRUE);
    const std::string note = UDF_GetVolumeNote(v.get());
    EXPECT_EQ(UDF_GetVolumeCompatibility(v.get()), c.readable ? KTRUE : KFALSE) << note;
    if (c.readable) {
      EXPECT_NE(note.find("UDF 2.50 volume written by \"*Linux UDFFS\", plain partition, "
                          "metadata partition"),
                std::string::npos)
          << note;
      EXPECT_TRUE(RootNames(*v).empty());
    } else {
      EXPECT_NE(note.find("neither the metadata file nor its mirror"), std::string::npos) << note;
    }
    EXPECT_EQ(UDF_DismountVolume(v.get()), KTRUE);
  }
}

// A volume of another block size made by mkudffs, given a tree by hand: a root directory
// whose entries cross block boundaries and files whose data does, each block one of `size`
// bytes. At least 8192 blocks, so that the tree's blocks below fit any size.
class SmallBlockVolume {
public:
  SmallBlockVolume(const std::string &path, uint32_t size, const std::string &media = "hd")
      : path_(path), size_(size) {
    const std::string make = "mkudffs --media-type=" + media + " --udfrev=2.01 --blocksize=" +
                             std::to_string(size) + " --new-file '" + path + "' " +
                             std::to_string(std::max(8388608 / size, 8192u)) + " >/dev/null 2>&1";
    made_ = std::system(make.c_str()) == 0;
    if (made_) bytes_ = FileBytes(path);
  }
  bool Made() const { return made_; }
  uint8_t *Block(uint32_t b) { return reinterpret_cast<uint8_t *>(&bytes_[size_t(b) * size_]); }

  // Finds the partition through its file set descriptor (whose tag names its own block).
  bool FindFileSet() {
    for (uint32_t b = 256; b < bytes_.size() / size_; ++b) {
      if (LoadLE16(Block(b)) != kTagFileSet) continue;
      start_ = b - LoadLE32(Block(b) + 12);
      root_ = LoadLE32(Block(b) + 404);
      return true;
    }
    return false;
  }

  // Writes a descriptor built into a sector-sized buffer at partition block `b`.
  void Put(uint32_t b, const uint8_t *sector, size_t n) {
    std::memcpy(Block(start_ + b), sector, n);
  }

  // The root with `names` files, file i holding `Data(i)`; with `embedRoot` the root's
  // entries lie in its own file entry.
  void MakeTree(const std::vector<std::string> &names, bool embedRoot = false) {
    constexpr uint32_t kDir = 1000, kEntries = 2000, kData = 3000;
    std::vector<uint8_t> dir(16384, 0);
    uint8_t sector[4096];
    // A descriptor's tag names the block it starts in.
    const auto tagBlock = [&](size_t at) { return embedRoot ? root_ : kDir + uint32_t(at / size_); };
    size_t at = BuildFileIdentifierDescriptor(dir.data(), dir.size(), tagBlock(0), kFileParent,
                                              root_, nullptr, 0);
    for (size_t i = 0; i < names.size(); ++i) {
      std::string name = "\x08" + names[i];
      at += BuildFileIdentifierDescriptor(
          &dir[at], dir.size() - at, tagBlock(at), 0, kEntries + uint32_t(i),
          reinterpret_cast<const uint8_t *>(name.data()), uint8_t(name.size()));
      const std::string data = Data(i);
      std::memcpy(Block(start_ + kData + 40 * uint32_t(i)), data.data(), data.size());
      FileEntryInfo fe;
      fe.InformationLength = data.size();
      fe.BlocksRecorded = (data.size() + size_ - 1) / size_;
      fe.Extents = {MakeShortAD(uint32_t(data.size()), kData + 40 * uint32_t(i))};
      std::memset(sector, 0, sizeof sector);
      BuildFileEntry(sector, sizeof sector, kEntries + uint32_t(i), fe);
      Put(kEntries + uint32_t(i), sector, size_);
    }
    dirBytes_ = at;
    if (embedRoot) {
      PutEntry(root_, kFileTypeDirectory, at, kDescriptorsEmbedded,
               std::string(dir.begin(), dir.begin() + std::ptrdiff_t(at)));
      return;
    }
    std::memcpy(Block(start_ + kDir), dir.data(), at);
    FileEntryInfo root;
    root.FileType = kFileTypeDirectory;
    root.Permissions = kPermissionsDirectory;
    root.InformationLength = at;
    root.BlocksRecorded = (at + size_ - 1) / size_;
    root.Extents = {MakeShortAD(uint32_t(at), kDir)};
    std::memset(sector, 0, sizeof sector);
    BuildFileEntry(sector, sizeof sector, root_, root);
    Put(root_, sector, size_);
    std::ofstream(path_, std::ios::binary) << bytes_;
  }
  // Records a file entry of the whole block at partition block `at` (as the Linux kernel
  // does, up to the block's end): `area` is its allocation descriptors in `form`, or its
  // embedded data.
  void PutEntry(uint32_t at, uint8_t type, uint64_t length, uint16_t form,
                const std::string &area) {
    std::vector<uint8_t> e(size_, 0);
    FileEntryInfo fe;
    fe.FileType = type;
    fe.Permissions = type == kFileTypeDirectory ? kPermissionsDirectory : kPermissionsFile;
    fe.InformationLength = length;
    ASSERT_GT(BuildFileEntry(e.data(), e.size(), at, fe), 0u);
    ASSERT_LE(176 + area.size(), e.size());
    StoreLE16(&e[34], uint16_t((LoadLE16(&e[34]) & ~7u) | form));
    std::memcpy(&e[176], area.data(), area.size());
    StoreLE32(&e[172], uint32_t(area.size()));
    FillTagAt(e.data(), kTagFileEntry, uint16_t(176 + area.size() - 16), at);
    Put(at, e.data(), size_);
    std::ofstream(path_, std::ios::binary) << bytes_;
  }
  static constexpr uint32_t kEntryBlocks = 2000, kDataBlocks = 3000;
  size_t DirectoryBytes() const { return dirBytes_; }
  uint32_t PartitionStart() const { return start_; }
  // Records file i with extended allocation descriptors (as other writers may), its data in
  // two extents: the first whole blocks, the rest.
  void MakeExtended(size_t i) {
    constexpr uint32_t kEntries = 2000, kData = 3000;
    const uint32_t at = kEntries + uint32_t(i), first = kData + 40 * uint32_t(i);
    const uint32_t length = uint32_t(Data(i).size()), head = length / size_ / 2 * size_;
    uint8_t sector[4096] = {};
    FileEntryInfo fe;
    fe.InformationLength = length;
    fe.BlocksRecorded = (length + size_ - 1) / size_;
    fe.Extents = {MakeShortAD(head, first)};
    BuildFileEntry(sector, sizeof sector, at, fe);
    StoreLE16(sector + 34, uint16_t((LoadLE16(sector + 34) & ~7u) | kDescriptorsExtended));
    uint8_t *ad = sector + 176;
    for (const auto &[bytes, block] :
         {std::pair{head, first}, std::pair{length - head, first + head / size_}}) {
      StoreLE32(ad, bytes);
      StoreLE32(ad + 4, bytes);
      StoreLE32(ad + 8, bytes);
      StoreLE32(ad + 12, block);
      StoreLE16(ad + 16, 0);
      ad += 20;
    }
    StoreLE32(sector + 172, 40);
    FillTagAt(sector, kTagFileEntry, uint16_t(176 + 40 - 16), at);
    Put(at, sector, size_);
    std::ofstream(path_, std::ios::binary) << bytes_;
  }
  // Points file i's data past the end of the medium.
  void BreakFile(size_t i) {
    constexpr uint32_t kEntries = 2000;
    uint8_t sector[4096] = {};
    FileEntryInfo fe;
    fe.InformationLength = 4000;
    fe.BlocksRecorded = 8;
    fe.Extents = {MakeShortAD(4000, 0x00FFFFFFu)};
    BuildFileEntry(sector, sizeof sector, kEntries + uint32_t(i), fe);
    Put(kEntries + uint32_t(i), sector, size_);
    std::ofstream(path_, std::ios::binary) << bytes_;
  }

  // Relocates the packet that holds partition block `b` in both copies of the sparing table
  // (to the spare packet of its first entry) and records `data` there at b's place in it.
  // False when the volume has no sparing table.
  bool Relocate(uint32_t b, const std::string &data) {
    int copies = 0;
    for (uint32_t t = 0; t < bytes_.size() / size_; ++t) {
      uint8_t *table = Block(t);
      if (LoadLE16(table) != kTagSparingTable || std::memcmp(table + 17, "*UDF Sparing Table", 18))
        continue;
      const uint32_t packet = 32, mapped = LoadLE32(table + 60); // mkudffs's packets
      StoreLE32(table + 56, b - b % packet);
      FillTagAt(table, kTagSparingTable, LoadLE16(table + 10), t);
      std::memcpy(Block(mapped + b % packet), data.data(), data.size());
      ++copies;
    }
    std::ofstream(path_, std::ios::binary) << bytes_;
    return copies == 2;
  }

  static std::string Data(size_t i) {
    std::string d(700 + 613 * i, '\0');
    for (size_t j = 0; j < d.size(); ++j)
      d[j] = char(j * 31 + i * 7 + j / 512);
    return d;
  }

private:
  std::string path_, bytes_;
  uint32_t size_;
  bool made_ = false;
  uint32_t start_ = 0, root_ = 0;
  size_t dirBytes_ = 0;
};

std::string ReadWhole(TUDFRewritableVolume &v, const std::u16string &path) {
  const UDF_HANDLE h = UDF_CreateFileW(&v, path.c_str(), UDF_GENERIC_READ, UDF_OPEN_EXISTING, 0);
  if (h == UDF_INVALID_HANDLE) return "<cannot open>";
  std::string out(1 << 17, '\0');
  uint32_t n = 0;
  // Odd reads: pieces that start and end inside blocks.
  size_t got = 0;
  while (UDF_ReadFile(&v, h, &out[got], 333, &n) == KTRUE && n > 0)
    if ((got += n) + 333 > out.size()) out.resize(2 * out.size());
  UDF_CloseHandle(&v, h);
  out.resize(got);
  return out;
}

// A volume of `size`-byte blocks at path whose root holds files of these names; null when
// mkudffs or the file set fails.
std::unique_ptr<SmallBlockVolume> TreeVolume(const std::string &path, uint32_t size,
                                             const std::vector<std::string> &names) {
  auto img = std::make_unique<SmallBlockVolume>(path, size);
  if (!img->Made() || !img->FindFileSet()) return nullptr;
  img->MakeTree(names);
  return img;
}

TEST(ForeignVolumes, OtherBlockSizesAreFoundAndReadAcrossTheirBoundaries) {
  if (!HaveMkudffs()) GTEST_SKIP() << "mkudffs not installed";
  TempDir dir;
  for (const uint32_t size : {512u, 1024u, 4096u}) {
    const std::string path = dir.File("blocks" + std::to_string(size) + ".img");
    std::vector<std::string> names;
    // Enough entries for a directory of three blocks of each size.
    for (int i = 0; i < (size > 2048 ? 100 : 30); ++i)
      names.push_back("entry-with-a-name-long-enough-to-cross-blocks-" + std::to_string(i));
    const auto img = TreeVolume(path, size, names);
    ASSERT_TRUE(img);
    ASSERT_GT(img->DirectoryBytes(), 2 * size_t(size)) << "the directory must span blocks";
    const std::string before = FileBytes(path);

    auto v = NewVolume();
    ASSERT_EQ(UDF_MountImageReadOnly(v.get(), path.c_str()), KTRUE) << size;
    ASSERT_EQ(UDF_GetVolumeCompatibility(v.get()), KTRUE) << UDF_GetVolumeNote(v.get());
    EXPECT_EQ(UDF_GetLogicalBlockSize(v.get()), size);
    EXPECT_NE(std::string(UDF_GetVolumeNote(v.get())).find(std::to_string(size) + "-byte blocks"),
              std::string::npos)
        << UDF_GetVolumeNote(v.get());
    const auto listed = RootNames(*v);
    ASSERT_EQ(listed.size(), names.size());
    for (size_t i = 0; i < names.size(); ++i) {
      const std::u16string name(names[i].begin(), names[i].end());
      EXPECT_EQ(listed[i], name);
      EXPECT_EQ(ReadWhole(*v, u"\\" + name), SmallBlockVolume::Data(i)) << size << " " << i;
    }
    // Never written, not even for writing.
    EXPECT_EQ(UDF_CreateFileW(v.get(), u"\\new", UDF_GENERIC_WRITE, UDF_CREATE_NEW, 0),
              UDF_INVALID_HANDLE);
    EXPECT_EQ(UDF_DismountVolume(v.get()), KTRUE);
    EXPECT_EQ(UDF_MountImage(v.get(), path.c_str(), 0), KTRUE);
    EXPECT_EQ(UDF_GetVolumeCompatibility(v.get()), KFALSE);
    EXPECT_EQ(UDF_DismountVolume(v.get()), KTRUE);
    EXPECT_EQ(FileBytes(path), before);
  }
}

// A sparable volume of blocks smaller than a sector: a relocated packet is read where the
// sparing table says, in blocks of the volume's size.
TEST(ForeignVolumes, RelocatedPacketsOfSmallerBlocksAreFollowed) {
  if (!HaveMkudffs()) GTEST_SKIP() << "mkudffs not installed";
  TempDir dir;
  const std::string path = dir.File("spared512.img");
  auto img = std::make_unique<SmallBlockVolume>(path, 512, "cdrw");
  ASSERT_TRUE(img->Made() && img->FindFileSet());
  img->MakeTree({"moved", "kept"});
  // File 0's data lies at partition block 3000, inside the packet of 32 from 2976.
  std::string moved = SmallBlockVolume::Data(0);
  for (char &c : moved)
    c = char(c ^ 0x5A);
  ASSERT_TRUE(img->Relocate(3000, moved));

  auto v = NewVolume();
  ASSERT_EQ(UDF_MountImageReadOnly(v.get(), path.c_str()), KTRUE);
  ASSERT_EQ(UDF_GetVolumeCompatibility(v.get()), KTRUE) << UDF_GetVolumeNote(v.get());
  const std::string note = UDF_GetVolumeNote(v.get());
  EXPECT_NE(note.find("sparable partition"), std::string::npos) << note;
  EXPECT_EQ(note.find("not followed"), std::string::npos) << note;
  EXPECT_EQ(ReadWhole(*v, u"\\moved"), moved);
  EXPECT_EQ(ReadWhole(*v, u"\\kept"), SmallBlockVolume::Data(1));
  EXPECT_EQ(UDF_DismountVolume(v.get()), KTRUE);
}

// An image of 512-byte blocks that ends inside a sector: the blocks of that last partial
// sector are read, not lost (here a file's data, on an image cut short after it).
TEST(ForeignVolumes, TheBlocksOfAPartialLastSectorAreRead) {
  if (!HaveMkudffs()) GTEST_SKIP() << "mkudffs not installed";
  TempDir dir;
  const std::string path = dir.File("partial.img");
  const auto img = TreeVolume(path, 512, {"tail"});
  ASSERT_TRUE(img);
  // The file's two blocks are partition blocks 3000-3001; the image ends after them, and
  // they lie in its last, partial sector.
  const uint64_t end = (uint64_t(img->PartitionStart()) + 3002) * 512;
  ASSERT_NE(end % 2048, 0u);
  ASSERT_GT(end % 2048, 1024u) << "both blocks must lie in the partial sector";
  fs::resize_file(path, end);

  auto v = NewVolume();
  ASSERT_EQ(UDF_MountImageReadOnly(v.get(), path.c_str()), KTRUE);
  ASSERT_EQ(UDF_GetVolumeCompatibility(v.get()), KTRUE) << UDF_GetVolumeNote(v.get());
  EXPECT_EQ(ReadWhole(*v, u"\\tail"), SmallBlockVolume::Data(0));
  EXPECT_EQ(UDF_DismountVolume(v.get()), KTRUE);
}

struct CheckResult {
  KBOOL Result = KFALSE;
  std::vector<std::pair<int32_t, std::string>> Findings; // kind, path and text
};

CheckResult CheckOf(TUDFRewritableVolume &v) {
  CheckResult r;
  r.Result = UDF_CheckVolume(
      &v,
      [](void *context, const KorvaFinding *f) {
        static_cast<CheckResult *>(context)->Findings.emplace_back(
            f->Kind, std::string(f->Path ? f->Path : "") + ": " + f->Text);
      },
      &r);
  return r;
}

TEST(ForeignVolumes, TheEngineChecksAReadOnlyForeignVolumeByReadingItThrough) {
  if (!HaveMkudffs()) GTEST_SKIP() << "mkudffs not installed";
  TempDir dir;
  const std::string path = dir.File("check.img");
  const auto img = TreeVolume(path, 512, {"one", "two", "three"});
  ASSERT_TRUE(img);
  auto v = NewVolume();
  ASSERT_EQ(UDF_MountImageReadOnly(v.get(), path.c_str()), KTRUE);
  CheckResult r = CheckOf(*v);
  EXPECT_EQ(r.Result, KTRUE);
  EXPECT_EQ(UDF_GetLastErrorNumber(v.get()), 0);
  ASSERT_EQ(r.Findings.size(), 1u);
  EXPECT_EQ(r.Findings[0].first, KORVA_FINDING_FOREIGN_VOLUME);
  EXPECT_NE(r.Findings[0].second.find("512-byte blocks"), std::string::npos) << r.Findings[0].second;
  EXPECT_EQ(UDF_DismountVolume(v.get()), KTRUE);

  // A file whose data cannot be read is named; the others still read.
  img->BreakFile(1);
  ASSERT_EQ(UDF_MountImageReadOnly(v.get(), path.c_str()), KTRUE);
  r = CheckOf(*v);
  EXPECT_EQ(r.Result, KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(v.get()), KORVA_E_CHECK_FINDINGS);
  ASSERT_EQ(r.Findings.size(), 2u);
  EXPECT_EQ(r.Findings[1].first, KORVA_FINDING_UNREADABLE);
  EXPECT_EQ(r.Findings[1].second.rfind("/two: ", 0), 0u) << r.Findings[1].second;
  EXPECT_EQ(ReadWhole(*v, u"\\three"), SmallBlockVolume::Data(2));
  EXPECT_EQ(UDF_DismountVolume(v.get()), KTRUE);
}

TEST(ForeignVolumes, ExtendedAllocationDescriptorsAreRead) {
  if (!HaveMkudffs()) GTEST_SKIP() << "mkudffs not installed";
  TempDir dir;
  for (const uint32_t size : {512u, 2048u}) {
    const std::string path = dir.File("ext" + std::to_string(size) + ".img");
    std::vector<std::string> names;
    for (int i = 0; i < 12; ++i)
      names.push_back("f" + std::to_string(i));
    names[10] = "extended";
    const auto img = TreeVolume(path, size, names);
    ASSERT_TRUE(img);
    img->MakeExtended(10);
    auto v = NewVolume();
    ASSERT_EQ(UDF_MountImageReadOnly(v.get(), path.c_str()), KTRUE);
    ASSERT_EQ(UDF_GetVolumeCompatibility(v.get()), KTRUE) << UDF_GetVolumeNote(v.get());
    EXPECT_EQ(ReadWhole(*v, u"\\extended"), SmallBlockVolume::Data(10)) << size;
    KorvaFileInfo info{};
    ASSERT_EQ(UDF_GetFileInfoW(v.get(), u"\\extended", &info), KTRUE);
    EXPECT_EQ(info.Size, SmallBlockVolume::Data(10).size());
    const CheckResult r = CheckOf(*v);
    EXPECT_EQ(r.Result, KTRUE) << (r.Findings.size() > 1 ? r.Findings[1].second : "");
    EXPECT_EQ(UDF_DismountVolume(v.get()), KTRUE);
  }
}

TEST(ForeignVolumes, TheVatIsFoundBehindBlocksWrittenAfterIt) {
  if (!HaveMkudffs()) GTEST_SKIP() << "mkudffs not installed";
  TempDir dir;
  const std::string path = dir.File("vat.img");
  ASSERT_EQ(std::system(("mkudffs --media-type=cdr --udfrev=2.01 --blocksize=2048 --new-file '" +
                         path + "' 4096 >/dev/null 2>&1").c_str()),
            0);
  const uint64_t size = fs::file_size(path);
  // Padding after the VAT (an image rounded up, a disc's run-out), then too much of it.
  for (const uint64_t extra : {uint64_t(300), uint64_t(5000)}) {
    fs::resize_file(path, size + extra * 2048);
    auto v = NewVolume();
    ASSERT_EQ(UDF_MountImageReadOnly(v.get(), path.c_str()), KTRUE);
    const std::string note = UDF_GetVolumeNote(v.get());
    if (extra == 300) {
      EXPECT_EQ(UDF_GetVolumeCompatibility(v.get()), KTRUE) << note;
      EXPECT_NE(note.find("virtual partition (VAT)"), std::string::npos) << note;
      EXPECT_TRUE(RootNames(*v).empty());
    } else {
      EXPECT_EQ(UDF_GetVolumeCompatibility(v.get()), KFALSE);
      EXPECT_NE(note.find("(VAT) cannot be found"), std::string::npos) << note;
    }
    EXPECT_EQ(UDF_DismountVolume(v.get()), KTRUE);
  }
}

// A volume of this library whose image was cut, or had bytes added, off the packet grid:
// read-only it reads, every byte; for writing it is refused as before.
TEST(ImageSize, AnImageThatIsNotWholePacketsIsReadNotWritten) {
  test::FormattedImage img(4, u"ODD");
  ASSERT_TRUE(img.Ok());
  TUDFRewritableVolume &v = img.Volume();
  std::vector<uint8_t> data(70000);
  for (size_t i = 0; i < data.size(); ++i)
    data[i] = static_cast<uint8_t>(i * 7 + 3);
  UDF_HANDLE h = UDF_CreateFileW(&v, u"\\f", UDF_GENERIC_WRITE, UDF_CREATE_NEW, 0);
  ASSERT_NE(h, UDF_INVALID_HANDLE);
  uint32_t n = 0;
  ASSERT_EQ(UDF_WriteFile(&v, h, data.data(), uint32_t(data.size()), &n), KTRUE);
  ASSERT_EQ(UDF_CloseHandle(&v, h), KTRUE);
  ASSERT_EQ(UDF_DismountVolume(&v), KTRUE);
  const std::string path = img.ImagePath();
  for (const int64_t extra : {int64_t(-1000), int64_t(1000), int64_t(2048 * 3)}) {
    fs::resize_file(path, uint64_t(4 * 1048576 + extra));
    ASSERT_EQ(UDF_MountImage(&v, path.c_str(), 0), KFALSE) << extra;
    EXPECT_EQ(UDF_GetLastErrorNumber(&v), KORVA_E_IMAGE_SIZE);
    ASSERT_EQ(UDF_MountImageReadOnly(&v, path.c_str()), KTRUE) << extra;
    ASSERT_EQ(UDF_GetVolumeCompatibility(&v), KTRUE) << extra;
    EXPECT_EQ(v.TotalSectors, uint32_t((4 * 1048576 + extra) / 2048));
    h = UDF_CreateFileW(&v, u"\\f", UDF_GENERIC_READ, UDF_OPEN_EXISTING, 0);
    ASSERT_NE(h, UDF_INVALID_HANDLE);
    std::vector<uint8_t> back(data.size() + 10);
    ASSERT_EQ(UDF_ReadFile(&v, h, back.data(), uint32_t(back.size()), &n), KTRUE);
    back.resize(n);
    EXPECT_EQ(back, data);
    UDF_CloseHandle(&v, h);
    // The last packet ends with the file: the sectors it holds read, zeros follow them; a
    // sector past its end does not read.
    const uint32_t last = v.TotalSectors - 1, packet = last - last % 16;
    if (last % 16 != 15) {
      std::memset(v.PacketBuffer, 0xAA, sizeof v.PacketBuffer);
      EXPECT_TRUE(ReadPacket(v, packet).IsOk()) << extra;
      EXPECT_EQ(v.PacketBuffer[(last - packet + 1) * 2048], 0) << extra;
    }
    uint8_t sector[2048];
    EXPECT_TRUE(ReadSector(v, last, sector).IsOk());
    EXPECT_FALSE(ReadSector(v, last + 1, sector).IsOk());
    v.LastError = 0;
    EXPECT_EQ(UDF_DismountVolume(&v), KTRUE);
  }
  EXPECT_EQ(fs::file_size(path), 4u * 1048576 + 2048 * 3) << "the image was never resized";
}

// The Linux kernel fills a 4096-byte block's file entry up to its end: embedded data of a few
// kilobytes, a directory's entries in its own entry, descriptor lists past the first sector.
// Each entry is read whole, and the check finds nothing wrong with it.
TEST(ForeignVolumes, FileEntriesOfLargeBlocksAreReadWhole) {
  if (!HaveMkudffs()) GTEST_SKIP() << "mkudffs not installed";
  TempDir dir;
  const std::string path = dir.File("entries4096.img");
  std::vector<std::string> names = {"inline", "sparse"};
  for (int i = 2; i < 30; ++i)
    names.push_back("entry-with-a-name-long-enough-to-fill-the-root-" + std::to_string(i));
  auto img = std::make_unique<SmallBlockVolume>(path, 4096);
  ASSERT_TRUE(img->Made() && img->FindFileSet());
  img->MakeTree(names, true);
  ASSERT_GT(img->DirectoryBytes() + 176, 2048u) << "the root's entry must pass its first sector";
  ASSERT_LT(img->DirectoryBytes() + 176, 4096u);
  std::string inlined(3500, '\0');
  for (size_t j = 0; j < inlined.size(); ++j)
    inlined[j] = char(j * 13 + j / 2048);
  img->PutEntry(SmallBlockVolume::kEntryBlocks, kFileTypeFile, inlined.size(),
                kDescriptorsEmbedded, inlined);
  // Holes first, so that the one recorded extent's descriptor lies past byte 2048.
  constexpr uint32_t kHoles = 240;
  std::string ads;
  const auto ad = [&ads](uint32_t word, uint32_t block) {
    uint8_t b[8];
    StoreLE32(b, word);
    StoreLE32(b + 4, block);
    ads.append(reinterpret_cast<const char *>(b), sizeof b);
  };
  for (uint32_t k = 0; k < kHoles; ++k)
    ad((uint32_t(kExtentNotAllocated) << 30) | 4096, 0);
  const std::string tail = SmallBlockVolume::Data(1);
  ad(uint32_t(tail.size()), SmallBlockVolume::kDataBlocks + 40);
  ASSERT_GT(176 + ads.size() - 8, 2048u);
  img->PutEntry(SmallBlockVolume::kEntryBlocks + 1, kFileTypeFile,
                uint64_t(kHoles) * 4096 + tail.size(), kDescriptorsShort, ads);

  auto v = NewVolume();
  ASSERT_EQ(UDF_MountImageReadOnly(v.get(), path.c_str()), KTRUE);
  ASSERT_EQ(UDF_GetVolumeCompatibility(v.get()), KTRUE) << UDF_GetVolumeNote(v.get());
  const auto listed = RootNames(*v);
  ASSERT_EQ(listed.size(), names.size());
  for (size_t i = 0; i < names.size(); ++i)
    EXPECT_EQ(listed[i], std::u16string(names[i].begin(), names[i].end()));
  KorvaFileInfo info{};
  ASSERT_EQ(UDF_GetFileInfoW(v.get(), u"\\inline", &info), KTRUE);
  EXPECT_EQ(info.Size, inlined.size());
  EXPECT_EQ(ReadWhole(*v, u"\\inline"), inlined);
  EXPECT_EQ(ReadWhole(*v, u"\\sparse"), std::string(size_t(kHoles) * 4096, '\0') + tail);
  for (size_t i = 2; i < names.size(); ++i)
    EXPECT_EQ(ReadWhole(*v, u"\\" + std::u16string(names[i].begin(), names[i].end())),
              SmallBlockVolume::Data(i));
  const CheckResult c = CheckOf(*v);
  EXPECT_EQ(c.Result, KTRUE);
  for (const auto &[kind, text] : c.Findings)
    EXPECT_EQ(kind, KORVA_FINDING_FOREIGN_VOLUME) << text;
  EXPECT_EQ(UDF_DismountVolume(v.get()), KTRUE);
}

// A 4096-byte block's two sectors lie apart in the engine's block space, but together on the
// medium: a file's run of blocks is read in one request, not a sector (or a packet of single
// sectors) at a time.
TEST(ForeignVolumes, RunsOfLargeBlocksAreReadInOneRequest) {
  if (!HaveMkudffs()) GTEST_SKIP() << "mkudffs not installed";
  TempDir dir;
  const std::string path = dir.File("runs4096.img");
  std::vector<std::string> names;
  for (int i = 0; i < 21; ++i)
    names.push_back("file-" + std::to_string(i));
  ASSERT_TRUE(TreeVolume(path, 4096, names));
  const std::string want = SmallBlockVolume::Data(20);
  ASSERT_GT(want.size(), 3 * 4096u) << "the file must span several blocks";

  auto v = NewVolume();
  FaultyImageIO io;
  io.Attach(*v);
  ASSERT_EQ(UDF_MountImageReadOnly(v.get(), path.c_str()), KTRUE);
  const UDF_HANDLE h =
      UDF_CreateFileW(v.get(), u"\\file-20", UDF_GENERIC_READ, UDF_OPEN_EXISTING, 0);
  ASSERT_NE(h, UDF_INVALID_HANDLE);
  const uint32_t before = io.Reads();
  std::string got(want.size(), '\0');
  uint32_t n = 0;
  ASSERT_EQ(UDF_ReadFile(v.get(), h, got.data(), uint32_t(got.size()), &n), KTRUE);
  const uint32_t reads = io.Reads() - before;
  EXPECT_EQ(n, want.size());
  EXPECT_EQ(got, want);
  // The data in one request; at most one more for the file entry, read again per transfer.
  EXPECT_LE(reads, 2u);
  UDF_CloseHandle(v.get(), h);
  EXPECT_EQ(UDF_DismountVolume(v.get()), KTRUE);
}

// An image of 512-byte blocks whose size is not whole sectors, with its anchor at block 256
// (and any at N - 257) damaged: the one at its last block, inside the partial last sector,
// is found and read.
TEST(ForeignVolumes, TheLastAnchorInAPartialSectorIsRead) {
  if (!HaveMkudffs()) GTEST_SKIP() << "mkudffs not installed";
  TempDir dir;
  const std::string path = dir.File("odd512.img");
  constexpr uint32_t kBlocks = 16385; // one 512-byte block past whole sectors
  ASSERT_EQ(std::system(("mkudffs --media-type=hd --udfrev=2.01 --blocksize=512 --new-file '" +
                         path + "' " + std::to_string(kBlocks) + " >/dev/null 2>&1")
                            .c_str()),
            0);
  std::string bytes = FileBytes(path);
  ASSERT_EQ(bytes.size(), size_t(kBlocks) * 512);
  ASSERT_EQ(LoadLE16(reinterpret_cast<const uint8_t *>(&bytes[size_t(kBlocks - 1) * 512])),
            kTagAnchor)
      << "mkudffs records an anchor at the last block";
  for (const uint32_t b : {256u, kBlocks - 257})
    if (LoadLE16(reinterpret_cast<const uint8_t *>(&bytes[size_t(b) * 512])) == kTagAnchor)
      std::memset(&bytes[size_t(b) * 512], 0, 512);
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;

  auto v = NewVolume();
  ASSERT_EQ(UDF_MountImageReadOnly(v.get(), path.c_str()), KTRUE);
  ASSERT_EQ(UDF_GetVolumeCompatibility(v.get()), KTRUE) << UDF_GetVolumeNote(v.get());
  EXPECT_EQ(UDF_GetLogicalBlockSize(v.get()), 512u);
  EXPECT_TRUE(RootNames(*v).empty());
  EXPECT_EQ(v->LastError, 0u);
  EXPECT_EQ(UDF_DismountVolume(v.get()), KTRUE);
}

} // namespace
} // namespace korva
