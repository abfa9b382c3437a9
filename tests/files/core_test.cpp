// The record-level pieces of the file system that formatted images cannot easily show:
// hostile directory data over an in-memory partition, and the handle tables.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "udf/byte_order.h"
#include "udf/tag.h"
#include "volume/fs/fs_dir.h"
#include "volume/fs/fs_path.h"
#include "volume/fs/fs_records.h"
#include "volume/fs/fs_state.h"

using namespace korva;

namespace {

struct MemPartition {
  explicit MemPartition(uint32_t blocks) : data(size_t(blocks) * kBlockSize), length(blocks) {}
  std::vector<uint8_t> data;
  uint32_t length;
  int reads = 0;
  uint8_t *Block(uint32_t b) { return data.data() + size_t(b) * kBlockSize; }
  BlockReadFn Reader() {
    return [this](uint32_t b, uint8_t *out) {
      ++reads;
      if (b >= length) return false;
      std::memcpy(out, Block(b), kBlockSize);
      return true;
    };
  }
};

// Writes a directory: its file entry at feBlock and its FIDs packed over the data blocks.
struct DirBuilder {
  MemPartition &p;
  uint32_t feBlock;
  std::vector<uint32_t> blocks;
  std::vector<uint8_t> bytes;
  void Add(uint8_t chars, uint32_t icb, std::u16string_view name) {
    uint8_t fid[400];
    const uint32_t n = BuildFid(fid, chars, icb, name, blocks[bytes.size() / kBlockSize]);
    bytes.insert(bytes.end(), fid, fid + n);
  }
  void Write() {
    NewFileEntry e;
    e.FileType = kFileTypeDirectory;
    e.InformationLength = bytes.size();
    uint8_t *fe = p.Block(feBlock);
    MakeFileEntry(fe, feBlock, e);
    for (size_t i = 0; i * kBlockSize < bytes.size(); ++i) {
      const size_t n = std::min<size_t>(kBlockSize, bytes.size() - i * kBlockSize);
      std::memcpy(p.Block(blocks[i]), bytes.data() + i * kBlockSize, n);
      StoreAD(fe + kFEFirstSlot + 8 * i, {uint32_t(n), blocks[i]});
    }
    RefillListBlockTag(fe, feBlock, true);
  }
};

std::vector<FidEntry> ReadAll(DirectoryStream &d) {
  std::vector<FidEntry> out;
  uint64_t off = 0;
  FidEntry f;
  while (d.ReadFid(off, f) == DirectoryStream::Ok) {
    out.push_back(f);
    off += f.Length;
  }
  return out;
}

} // namespace

TEST(FsDir, HostileDirectoryDataEndsTheScan) {
  MemPartition p(64);
  DirBuilder d{p, 10, {20}, {}};
  d.Add(kFidDirectory | kFidParent, 10, u"");
  d.Add(0, 30, u"one");
  d.Add(0, 31, u"two");
  d.Write();
  DirectoryStream s(p.Reader(), p.length);

  // Information length beyond the recorded extents: cut to the extents.
  uint8_t *fe = p.Block(10);
  StoreLE64(fe + 56, 1u << 30);
  RefillListBlockTag(fe, 10, true);
  ASSERT_EQ(s.Open(10), DirectoryStream::Ok);
  EXPECT_EQ(s.Size(), d.bytes.size());
  EXPECT_EQ(ReadAll(s).size(), 3u);

  // A name length that runs past the data: the scan ends there.
  p.Block(20)[40 + 19] = 255;
  ASSERT_EQ(s.Open(10), DirectoryStream::Ok);
  EXPECT_EQ(ReadAll(s).size(), 1u);

  // An extent outside the partition ends the list; a continuation chain that loops too.
  DirBuilder e{p, 11, {21}, {}};
  e.Add(kFidDirectory | kFidParent, 11, u"");
  e.Write();
  StoreAD(p.Block(11) + 176, {40, 1000});
  RefillListBlockTag(p.Block(11), 11, true);
  ASSERT_EQ(s.Open(11), DirectoryStream::Ok);
  EXPECT_TRUE(s.List().Corrupt);
  EXPECT_EQ(s.Size(), 0u);

  BuildAllocationExtent(p.Block(12), 12);
  AppendListAD(p.Block(12), 24, {40, 21});
  AppendListAD(p.Block(12), 32, {(3u << 30) | 2048, 12}); // points back at itself
  RefillListBlockTag(p.Block(12), 12, false);
  StoreAD(p.Block(11) + 176, {(3u << 30) | 2048, 12});
  RefillListBlockTag(p.Block(11), 11, true);
  p.reads = 0;
  ASSERT_EQ(s.Open(11), DirectoryStream::Ok);
  EXPECT_TRUE(s.List().Corrupt);
  EXPECT_EQ(s.List().Extents.size(), 1u);
  EXPECT_LT(p.reads, 10);

  // Not a file entry, or not a directory: nothing to scan.
  EXPECT_EQ(s.Open(13), DirectoryStream::End);
  EXPECT_EQ(s.Open(5000), DirectoryStream::End);
  // A read failure is reported as such.
  DirectoryStream failing([](uint32_t, uint8_t *) { return false; }, 64);
  EXPECT_EQ(failing.Open(10), DirectoryStream::IoError);
}

// Directory entries as other writers record them: identifiers with implementation-use bytes
// and names in 8-bit compressed Unicode, embedded in the directory's file entry.
TEST(FsDir, EmbeddedEntriesWithImplementationUseAndEightBitNames) {
  MemPartition p(64);
  uint8_t *fe = p.Block(12);
  NewFileEntry e;
  e.FileType = kFileTypeDirectory;
  MakeFileEntry(fe, 12, e);
  std::vector<uint8_t> bytes(40);
  BuildFid(bytes.data(), kFidDirectory | kFidParent, 12, u"", 12);
  // "caf\xE9" in 8 bits after 6 implementation-use bytes.
  const uint8_t name[] = {8, 'c', 'a', 'f', 0xE9};
  std::vector<uint8_t> fid(FidLength(sizeof name, 6));
  StoreLE16(fid.data() + 16, 1);
  fid[19] = sizeof name;
  StoreLE32(fid.data() + 20, 2048);
  StoreLE32(fid.data() + 24, 33);
  StoreLE16(fid.data() + 36, 6);
  std::memset(fid.data() + 38, 0xAB, 6);
  std::memcpy(fid.data() + 44, name, sizeof name);
  FillTagAt(fid.data(), kTagFileIdentifier, static_cast<uint16_t>(fid.size() - 16), 12);
  bytes.insert(bytes.end(), fid.begin(), fid.end());
  std::memcpy(fe + 176, bytes.data(), bytes.size());
  StoreLE16(fe + 34, 3);
  StoreLE32(fe + 172, static_cast<uint32_t>(bytes.size()));
  StoreLE64(fe + 56, bytes.size());
  RefillEntryTag(fe, 12);

  DirectoryStream s(p.Reader(), p.length);
  ASSERT_EQ(s.Open(12), DirectoryStream::Ok);
  EXPECT_TRUE(s.List().Embedded());
  EXPECT_EQ(s.Size(), bytes.size());
  std::vector<FidEntry> all = ReadAll(s);
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[1].Name, u"caf\u00E9");
  EXPECT_EQ(all[1].ICBBlock, 33u);
  EXPECT_TRUE(all[1].NameEquals(u"caf\u00E9"));
  DirectoryStream::Place at;
  ASSERT_TRUE(s.Locate(40, at));
  EXPECT_EQ(at.Block, 12u);
  EXPECT_EQ(at.Offset, 176 + 40);
  // An embedded length beyond the descriptor area is not taken.
  StoreLE64(fe + 56, 2000);
  RefillEntryTag(fe, 12);
  EXPECT_EQ(s.Open(12), DirectoryStream::End);
}

TEST(FsState, HandleTables) {
  OpenFileList t;
  int32_t a = t.Add(std::make_unique<OpenFileInformation>());
  int32_t b = t.Add(std::make_unique<OpenFileInformation>());
  EXPECT_NE(a, -1);
  EXPECT_NE(a, b);
  EXPECT_NE(t.Find(a), nullptr);
  EXPECT_EQ(t.Find(-1), nullptr);
  EXPECT_EQ(t.Find(12345), nullptr);
  EXPECT_TRUE(t.Remove(a));
  EXPECT_FALSE(t.Remove(a));
  EXPECT_EQ(t.Find(a), nullptr);
  // A closed value is not handed out again straight away.
  int32_t c = t.Add(std::make_unique<OpenFileInformation>());
  EXPECT_NE(c, a);
}

// A file identifier with an implementation-use field: kept when it fits a block, and damage
// when its stored lengths add up to more (its 16-bit CRC length would silently wrap).
TEST(FsDir, IdentifierLengthsAreBoundedByTheBlock) {
  MemPartition p(64);
  DirBuilder d{p, 10, {20}, {}};
  d.Add(kFidDirectory | kFidParent, 10, u"");
  d.Write();
  constexpr uint32_t kDataBlocks = 34;
  auto withEntry = [&](uint16_t liu) {
    std::vector<uint8_t> fid(FidLength(5, liu), 0);
    fid[16] = 1; // file version number
    fid[19] = 5; // L_FI
    StoreLE32(&fid[20], kBlockSize);
    StoreLE32(&fid[24], 30); // ICB block
    StoreLE16(&fid[36], liu);
    const uint8_t name[5] = {8, 'a', 'b', 'c', 'd'};
    std::memcpy(&fid[38 + liu], name, 5);
    FillTagAt(fid.data(), kTagFileIdentifier, uint16_t(fid.size() - 16), 20);
    std::memset(p.Block(20) + 40, 0, size_t(kDataBlocks) * kBlockSize - 40);
    std::memcpy(p.Block(20) + 40, fid.data(), fid.size());
    uint8_t *fe = p.Block(10);
    StoreLE64(fe + 56, 40 + fid.size());
    StoreAD(fe + kFEFirstSlot, {kDataBlocks * kBlockSize, 20});
    RefillListBlockTag(fe, 10, true);
  };
  DirectoryStream s(p.Reader(), p.length);

  withEntry(1000);
  ASSERT_EQ(s.Open(10), DirectoryStream::Ok);
  std::vector<FidEntry> all = ReadAll(s);
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[1].Length, FidLength(5, 1000));
  EXPECT_EQ(all[1].Name, u"abcd");

  withEntry(65500);
  ASSERT_EQ(s.Open(10), DirectoryStream::Ok);
  EXPECT_EQ(ReadAll(s).size(), 1u);
}
