// The record-level pieces of the file system, run over an in-memory partition: path
// syntax, file identifiers crossing blocks, descriptor lists continued in allocation extent
// descriptors, hostile directory data, and the handle tables.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "udf/byte_order.h"
#include "udf/tag.h"
#include "volume/fs_dir.h"
#include "volume/fs_path.h"
#include "volume/fs_records.h"
#include "volume/fs_state.h"

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

// Writes a directory: its file entry at feBlock, data blocks listed in `blocks`, each full
// except the last, FIDs packed across them. Descriptors continue into `aedBlock` when the
// file entry's slots run out at `maxFESlots`.
struct DirBuilder {
  MemPartition &p;
  uint32_t feBlock;
  std::vector<uint32_t> blocks;
  std::vector<uint8_t> bytes;
  void Add(uint8_t chars, uint32_t icb, std::u16string_view name) {
    uint8_t fid[400];
    const uint64_t off = bytes.size();
    const uint32_t loc = blocks[off / kBlockSize];
    uint32_t n = BuildFid(fid, chars, icb, name, loc);
    bytes.insert(bytes.end(), fid, fid + n);
  }
  void Write(size_t maxFESlots = 233, uint32_t aedBlock = 0) {
    for (size_t i = 0; i * kBlockSize < bytes.size(); ++i) {
      size_t n = std::min<size_t>(kBlockSize, bytes.size() - i * kBlockSize);
      std::memcpy(p.Block(blocks[i]), bytes.data() + i * kBlockSize, n);
    }
    NewFileEntry e;
    e.FileType = kFsTypeDirectory;
    e.InformationLength = bytes.size();
    uint8_t *fe = p.Block(feBlock);
    MakeFileEntry(fe, feBlock, e);
    uint8_t *cur = fe;
    uint32_t curBlock = feBlock, slot = kFEFirstSlot;
    size_t used = 0;
    for (size_t i = 0; i * kBlockSize < bytes.size(); ++i) {
      if (cur == fe && used == maxFESlots) {
        StoreAD(fe + slot, {(3u << 30) | kBlockSize, aedBlock});
        BuildAllocationExtent(p.Block(aedBlock), aedBlock);
        cur = p.Block(aedBlock);
        curBlock = aedBlock;
        slot = kAEDFirstSlot;
      }
      uint32_t len =
          static_cast<uint32_t>(std::min<size_t>(kBlockSize, bytes.size() - i * kBlockSize));
      StoreAD(cur + slot, {len, blocks[i]});
      slot += 8;
      ++used;
    }
    RefillListBlockTag(fe, feBlock, true);
    if (curBlock != feBlock) RefillListBlockTag(cur, curBlock, false);
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

TEST(FsPath, SyntaxSplittingAndNames) {
  using V = std::vector<std::u16string>;
  EXPECT_EQ(SplitPath(u"\\A\\B\\"), (V{u"A", u"B"}));
  EXPECT_EQ(SplitPath(u"A\\B"), (V{u"A", u"B"}));
  EXPECT_TRUE(SplitPath(u"\\").empty());
  EXPECT_TRUE(SplitPath(u"").empty());
  EXPECT_EQ(SplitPath(u"A\\\\B"), (V{u"A", u"", u"B"}));

  ParentAndName a = SplitParent(u"report.txt");
  EXPECT_FALSE(a.HasSeparator);
  EXPECT_EQ(a.Name, u"report.txt");
  ParentAndName b = SplitParent(u"\\A\\report.txt");
  EXPECT_EQ(b.Parent, u"\\A\\");
  EXPECT_EQ(b.Name, u"report.txt");
  EXPECT_EQ(SplitParent(u"\\A\\").Name, u"");

  EXPECT_EQ(ClassifyParent(u"\\"), ParentKind::Root);
  EXPECT_EQ(ClassifyParent(u""), ParentKind::Invalid);
  EXPECT_EQ(ClassifyParent(u"\\\\"), ParentKind::Invalid);
  EXPECT_EQ(ClassifyParent(u"\\A\\"), ParentKind::Components);

  EXPECT_FALSE(IsStorableName(u""));
  EXPECT_TRUE(IsStorableName(std::u16string(127, u'x')));
  EXPECT_FALSE(IsStorableName(std::u16string(128, u'x')));
  EXPECT_FALSE(IsStorableName(std::u16string(u"a\0b", 3)));

  EXPECT_TRUE(NameMatches(u"*", u"anything"));
  EXPECT_FALSE(NameMatches(u"*.txt", u"b.txt"));
  EXPECT_FALSE(NameMatches(u"a?c", u"abc"));
  EXPECT_TRUE(NameMatches(u"File", u"File"));
  EXPECT_FALSE(NameMatches(u"File", u"file"));
}

TEST(FsRecords, FidLayoutAndDeletion) {
  uint8_t fid[64];
  ASSERT_EQ(BuildFid(fid, kFidDirectory, 77, u"A", 9), 44u);
  EXPECT_EQ(fid[18], kFidDirectory);
  EXPECT_EQ(fid[19], 3);
  EXPECT_EQ(LoadLE32(fid + 20), 2048u);
  EXPECT_EQ(LoadLE32(fid + 24), 77u);
  EXPECT_EQ(fid[38], 16);
  EXPECT_EQ(fid[39], 0);
  EXPECT_EQ(fid[40], 'A');
  EXPECT_EQ(LoadLE16(fid + 10), 44 - 16);
  EXPECT_TRUE(IsTagValid(kTagFileIdentifier, fid, 44, 9));
  EXPECT_FALSE(IsTagValid(kTagFileIdentifier, fid, 44, 10));
  // The parent entry: no name, 40 bytes.
  EXPECT_EQ(BuildFid(fid, kFidDirectory | kFidParent, 5, u"", 9), 40u);

  BuildFid(fid, 0, 77, u"A", 9);
  MarkFidDeleted(fid, 44, 9);
  EXPECT_EQ(fid[18], kFidDeleted);
  for (int i = 20; i < 36; ++i)
    EXPECT_EQ(fid[i], 0) << i;
  EXPECT_TRUE(IsTagValid(kTagFileIdentifier, fid, 44, 9));
}

TEST(FsDir, FidsCrossingBlocksAndContinuedDescriptorLists) {
  MemPartition p(64);
  DirBuilder d{p, 10, {20, 31, 22, 40}, {}};
  d.Add(kFidDirectory | kFidParent, 10, u"");
  std::vector<std::u16string> names;
  // Names of growing length so FIDs land at every alignment, several crossing a block end.
  for (int i = 0; d.bytes.size() < 3 * kBlockSize + 100; ++i) {
    std::u16string n = u"entry" + std::u16string(size_t(i % 23), u'x') + char16_t(u'a' + i % 26);
    names.push_back(n);
    d.Add(i % 3 == 0 ? kFidHidden : 0, 100 + i, n);
  }
  d.blocks.resize((d.bytes.size() + kBlockSize - 1) / kBlockSize);
  // Only two descriptors fit in the file entry: the rest continue in block 50.
  d.Write(2, 50);

  DirectoryStream s(p.Reader(), p.length);
  ASSERT_EQ(s.Open(10), DirectoryStream::Ok);
  EXPECT_EQ(s.List().Extensions, std::vector<uint32_t>{50});
  ASSERT_EQ(s.List().Extents.size(), d.blocks.size());
  EXPECT_EQ(s.List().Extents[2].SlotBlock, 50u);
  EXPECT_EQ(s.List().Extents[2].SlotOffset, kAEDFirstSlot);
  EXPECT_EQ(s.Size(), d.bytes.size());

  std::vector<FidEntry> all = ReadAll(s);
  ASSERT_EQ(all.size(), names.size() + 1);
  int split = 0;
  for (size_t i = 0; i < names.size(); ++i) {
    const FidEntry &f = all[i + 1];
    EXPECT_EQ(f.Name, names[i]);
    EXPECT_EQ(f.ICBBlock, 100 + i);
    EXPECT_EQ(f.Characteristics, i % 3 == 0 ? kFidHidden : 0);
    if (f.Offset / kBlockSize != (f.Offset + f.Length - 1) / kBlockSize) ++split;
  }
  EXPECT_GE(split, 2);
}

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
  StoreAD(p.Block(12) + 24, {40, 21});
  StoreAD(p.Block(12) + 32, {(3u << 30) | 2048, 12}); // points back at itself
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

  void *pending = nullptr, *open = nullptr, *find = nullptr;
  CreateFileSystemLists(pending, open, find);
  static_cast<FindHandleList *>(find)->Add(std::make_unique<DirectoryInformation>());
  static_cast<OpenFileList *>(open)->Add(std::make_unique<OpenFileInformation>());
  ReleaseFileSystemLists(pending, open, find);
  EXPECT_EQ(open, nullptr);
  EXPECT_EQ(find, nullptr);
}
