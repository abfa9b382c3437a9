// Repair never pays for damage with a sound file: damaged directory entries cost only
// themselves, a name of the wrong kind does not cost the sound name of the same entry, and
// blocks two entries claim go to the consistent claim (or are copied so that both keep
// their bytes).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>

#include "tests/recovery/recovery_fixture.h"
#include "udf/byte_order.h"
#include "udf/descriptors.h"
#include "udf/tag.h"

namespace korva::test {
namespace {

// Changes bytes of a directory's first data block without refilling any tag.
void Scribble(ImageDamage &d, const Layout &l, uint32_t data, uint32_t offset,
              const std::function<void(uint8_t *)> &change) {
  std::vector<uint8_t> s = d.Read(l.PartitionStart + data);
  change(s.data() + offset);
  ASSERT_TRUE(d.Write(l.PartitionStart + data, s));
}

// The block holding the root directory's entries.
uint32_t RootData(TUDFRewritableVolume &v) {
  RawEntry e = ReadEntry(v, v.RootICBSector - v.PartitionStart);
  EXPECT_TRUE(e.Ok && !e.List.Extents.empty());
  return e.Ok && !e.List.Extents.empty() ? e.List.Extents[0].AD.Block : 0;
}

uint32_t OffsetOf(ImageDamage &d, uint32_t data, const char *name) {
  uint32_t off = 0;
  EXPECT_TRUE(d.FindFid(data, name, off)) << name;
  return off;
}

TEST_F(Recovery, DataClaimedTwiceIsCopiedSoBothFilesKeepTheirBytes) {
  const uint32_t f1 = DataBlock(u"\\f1");
  const uint32_t f2 = blocks_.at(u"\\a\\f2");
  Dismount();
  // /a/f2 now records five blocks, exactly /f1's data, which the walk reaches first.
  ASSERT_TRUE(Damage().EditBlock(f2, [&](uint8_t *s) {
    StoreLE64(s + 56, 10000);
    StoreLE32(s + 176, 10000);
    StoreLE32(s + 176 + 4, f1);
  }));
  ASSERT_TRUE(Mount());
  std::vector<uint8_t> before;
  ASSERT_TRUE(ReadWhole(V(), u"\\a\\f2", before));
  std::vector<Found> found = RepairExpecting(KORVA_FINDING_CLAIMED_TWICE);
  EXPECT_EQ(FindKind(found, KORVA_FINDING_CLAIMED_TWICE)->Path, "/a/f2");
  EXPECT_EQ(UDF_GetFileCount(&V()), 4u);
  std::vector<uint8_t> after;
  ASSERT_TRUE(ReadWhole(V(), u"\\a\\f2", after));
  EXPECT_EQ(after, before);
  EXPECT_NE(ReadEntry(V(), f2).List.Extents[0].AD.Block, f1);
  ExpectTreeIntact(u"\\a\\f2");
}

TEST_F(Recovery, ASoundFileReachedSecondKeepsItsData) {
  const uint32_t f1 = blocks_.at(u"\\f1");
  const uint32_t f2Data = DataBlock(u"\\a\\f2");
  Dismount();
  // /f1, reached first, now claims the start of /a/f2's data.
  ASSERT_TRUE(Damage().EditBlock(f1, [&](uint8_t *s) { StoreLE32(s + 176 + 4, f2Data); }));
  ASSERT_TRUE(Mount());
  RepairExpecting(KORVA_FINDING_CLAIMED_TWICE);
  EXPECT_EQ(UDF_GetFileCount(&V()), 4u);
  ExpectTreeIntact(u"\\f1");
}

TEST_F(Recovery, AnExtentOverAFileEntryLosesToThatEntry) {
  const uint32_t f1 = blocks_.at(u"\\f1");
  const uint32_t loop = blocks_.at(u"\\a\\b\\loop");
  Dismount();
  // /f1 is reached before /a/b/loop, whose file entry its extent now covers.
  ASSERT_TRUE(Damage().EditBlock(f1, [&](uint8_t *s) {
    StoreLE32(s + 176, 2048);
    StoreLE32(s + 176 + 4, loop);
  }));
  ASSERT_TRUE(Mount());
  std::vector<Found> found = RepairExpecting(KORVA_FINDING_CLAIMED_TWICE);
  EXPECT_EQ(FindKind(found, KORVA_FINDING_CLAIMED_TWICE)->Path, "/f1") << Describe(found);
  EXPECT_EQ(UDF_GetDirCount(&V()), 4u);
  EXPECT_EQ(UDF_GetFileCount(&V()), 3u);
  EXPECT_EQ(List(V(), u"\\a\\b\\loop").size(), 1u);
  ExpectTreeIntact(u"\\f1");
}

TEST_F(Recovery, ANameOfTheWrongKindDoesNotCostTheSoundName) {
  const uint32_t root = RootData(V());
  const uint32_t f2 = blocks_.at(u"\\a\\f2");
  Dismount();
  {
    // /empty, reached before /a/f2, now names f2's entry as a directory.
    ImageDamage d = Damage();
    ASSERT_TRUE(d.EditFid(root, "empty", [&](uint8_t *fid) {
      fid[18] |= kFileDirectory;
      StoreLE32(fid + 24, f2);
    }));
  }
  ASSERT_TRUE(Mount());
  std::vector<Found> found = RepairExpecting(KORVA_FINDING_BAD_ENTRY);
  EXPECT_EQ(FindKind(found, KORVA_FINDING_BAD_ENTRY)->Path, "/empty");
  EXPECT_EQ(UDF_GetFileCount(&V()), 3u);
  ExpectTreeIntact(u"\\empty");
}

TEST_F(Recovery, ADamagedParentEntryCostsNothing) {
  const uint32_t root = RootData(V());
  Dismount();
  {
    ImageDamage d = Damage();
    Scribble(d, layout_, root, 0, [](uint8_t *fid) { fid[20] ^= 0x40; }); // its CRC fails
  }
  ASSERT_TRUE(Mount());
  RepairExpecting(KORVA_FINDING_DIRECTORY_DATA);
  EXPECT_EQ(UDF_GetFileCount(&V()), 4u);
  EXPECT_EQ(UDF_GetDirCount(&V()), 4u);
  EXPECT_EQ(UDF_GetFreeBlocksOfLogicalVolume(&V()), freeBefore_);
  ExpectTreeIntact();
}

// /a with forty more files, its first entry (/a/b) damaged in different ways.
class DamagedFirstEntry : public Recovery {
protected:
  void Fill() {
    for (int i = 0; i < 40; ++i)
      ASSERT_TRUE(WriteWhole(V(), Name(i), Pattern(100, 50 + i)));
    data_ = DataBlock(u"\\a");
    bBlock_ = blocks_.at(u"\\a\\b");
  }
  static std::u16string Name(int i) {
    return u"\\a\\n" + std::u16string(1, char16_t(u'A' + i / 10)) + char16_t(u'0' + i % 10);
  }
  void ExpectTheOthers() {
    for (int i = 0; i < 40; ++i) {
      std::vector<uint8_t> got;
      EXPECT_TRUE(ReadWhole(V(), Name(i), got));
      EXPECT_EQ(got, Pattern(100, 50 + i));
    }
  }
  uint32_t data_ = 0, bBlock_ = 0;
};

TEST_F(DamagedFirstEntry, WithAWrongNameLengthKeepsItsDirectoryUnderAMadeName) {
  Fill();
  Dismount();
  {
    ImageDamage d = Damage();
    const uint32_t off = OffsetOf(d, data_, "b");
    Scribble(d, layout_, data_, off, [](uint8_t *fid) { fid[19] ^= 0x31; });
  }
  ASSERT_TRUE(Mount());
  RepairExpecting(KORVA_FINDING_DIRECTORY_DATA);
  EXPECT_EQ(UDF_GetFileCount(&V()), 44u);
  EXPECT_EQ(UDF_GetDirCount(&V()), 4u);
  std::vector<uint8_t> f3;
  const std::u16string made = u"\\a\\#";
  std::string digits = std::to_string(bBlock_);
  EXPECT_TRUE(ReadWhole(V(), made + std::u16string(digits.begin(), digits.end()) + u"\\f3", f3));
  EXPECT_EQ(f3, Pattern(3000, 2));
  ExpectTheOthers();
}

TEST_F(DamagedFirstEntry, LeadingNowhereIsDroppedAlone) {
  Fill();
  Dismount();
  {
    ImageDamage d = Damage();
    const uint32_t off = OffsetOf(d, data_, "b");
    Scribble(d, layout_, data_, off, [](uint8_t *fid) { std::memset(fid + 1, 0xEE, 39); });
  }
  ASSERT_TRUE(Mount());
  RepairExpecting(KORVA_FINDING_DIRECTORY_DATA);
  // /a/b and what only it reached are gone; every other entry of /a stays.
  EXPECT_EQ(UDF_GetFileCount(&V()), 43u);
  EXPECT_EQ(UDF_GetDirCount(&V()), 2u);
  ExpectTheOthers();
  ExpectTreeIntact(u"\\a\\b\\f3");
}

TEST_F(Recovery, AnEntryWithADamagedTagIsKept) {
  const uint32_t data = DataBlock(u"\\a");
  Dismount();
  {
    ImageDamage d = Damage();
    const uint32_t off = OffsetOf(d, data, "f2"); // the last entry of /a
    // The last byte of the name: the identifier's CRC fails.
    Scribble(d, layout_, data, off, [](uint8_t *fid) {
      fid[38 + LoadLE16(fid + 36) + fid[19] - 1] ^= 0x40;
    });
  }
  ASSERT_TRUE(Mount());
  std::vector<Found> found = RepairExpecting(KORVA_FINDING_DIRECTORY_DATA);
  EXPECT_EQ(FindKind(found, KORVA_FINDING_DIRECTORY_DATA)->Path, "/a/fr");
  std::vector<uint8_t> bytes;
  EXPECT_TRUE(ReadWhole(V(), u"\\a\\fr", bytes));
  EXPECT_EQ(bytes, Pattern(70000, 1));
  EXPECT_EQ(UDF_GetFileCount(&V()), 4u);
  EXPECT_EQ(UDF_GetFreeBlocksOfLogicalVolume(&V()), freeBefore_);
}

TEST_F(Recovery, DirectoryDataTooShortForAnEntryIsCut) {
  const uint32_t a = blocks_.at(u"\\a");
  Dismount();
  // 20 bytes more than the entries hold: too few for another entry.
  ASSERT_TRUE(Damage().EditBlock(a, [](uint8_t *fe) {
    StoreLE64(fe + 56, LoadLE64(fe + 56) + 20);
    StoreLE32(fe + 176, LoadLE32(fe + 176) + 20);
  }));
  ASSERT_TRUE(Mount());
  std::vector<Found> found = RepairExpecting(KORVA_FINDING_DIRECTORY_DATA);
  EXPECT_EQ(FindKind(found, KORVA_FINDING_DIRECTORY_DATA)->Path, "/a");
  ExpectTreeIntact();
  EXPECT_EQ(UDF_GetFreeBlocksOfLogicalVolume(&V()), freeBefore_);
}

// /a/f2's one extent moved into an extension block whose descriptor length is impossible:
// damage, as the same length in a file entry is, never an empty list (which would make the
// file look short and free blocks the chain still records).
TEST_F(Recovery, AnExtensionBlockWithAnImpossibleLengthIsDamage) {
  const uint32_t f2 = blocks_.at(u"\\a\\f2");
  const uint32_t aed = layout_.PartitionLength - 64;
  Dismount();
  {
    ImageDamage d = Damage();
    std::vector<uint8_t> fe = d.Read(layout_.PartitionStart + f2);
    std::vector<uint8_t> ext(2048, 0);
    std::memcpy(&ext[24], &fe[176], 8);
    StoreLE32(&ext[20], 5000);
    FillTagAt(ext.data(), kTagAllocationExtent, 8 + 8, aed);
    ASSERT_TRUE(d.Write(layout_.PartitionStart + aed, ext));
    ASSERT_TRUE(d.SetBitmap(aed, 1, false));
    ASSERT_TRUE(d.EditBlock(f2, [&](uint8_t *s) {
      StoreLE32(s + 176, (3u << 30) | 2048);
      StoreLE32(s + 180, aed);
    }));
  }
  ASSERT_TRUE(Mount());
  KBOOL result = 0;
  std::vector<Found> found = CheckFindings(V(), result);
  EXPECT_EQ(FindKind(found, KORVA_FINDING_LENGTH), nullptr) << Describe(found);
  found = RepairExpecting(KORVA_FINDING_BAD_ENTRY);
  EXPECT_EQ(FindKind(found, KORVA_FINDING_BAD_ENTRY)->Path, "/a/f2");
  EXPECT_TRUE(List(V(), u"\\a\\f2").empty());
  ExpectTreeIntact(u"\\a\\f2");
  EXPECT_EQ(UDF_GetFreeBlocksOfLogicalVolume(&V()), freeBefore_ + 36);
}

// A link count above the names that reach a file: check finds it, repair records the names,
// and removing the one name then frees the file's blocks.
// Names a reader cannot use, or that an earlier entry already holds, cost nothing: each
// entry is renamed so that it can be read and removed, and keeps its bytes.
class BadNames : public Recovery {
protected:
  // Writes `files` (name -> pattern seed) into the root, then rewrites each directory
  // entry in place with `edit`, keeping its length. Names are stored 16-bit: character i
  // is at Char(fid, i) + 1 (low byte), after a zero high byte.
  void Plant(const std::vector<std::pair<std::string, uint32_t>> &files,
             const std::function<void(const std::string &, uint8_t *fid)> &edit) {
    for (const auto &[name, seed] : files)
      ASSERT_TRUE(WriteWhole(V(), u"\\" + std::u16string(name.begin(), name.end()),
                             Pattern(700 + seed, seed)));
    const uint32_t root = RootData(V());
    Dismount();
    ImageDamage d = Damage();
    for (const auto &[name, seed] : files)
      ASSERT_TRUE(d.EditFid(root, name, [&](uint8_t *fid) { edit(name, fid); })) << name;
  }

  // Every file of the root whose name starts with `prefix`, read whole.
  std::vector<std::vector<uint8_t>> ReadPrefixed(const std::u16string &prefix) {
    std::vector<std::vector<uint8_t>> all;
    for (const Listed &l : List(V(), u"\\*")) {
      if (l.Name.compare(0, prefix.size(), prefix) != 0) continue;
      all.emplace_back();
      EXPECT_TRUE(ReadWhole(V(), u"\\" + l.Name, all.back()));
    }
    return all;
  }
};

TEST_F(BadNames, AreGivenNamesMadeFromTheirBlocks) {
  // "..", "p/", a NUL, "." and half a 16-bit character (one byte more, same padding).
  Plant({{"p1", 1}, {"p2", 2}, {"p3", 3}, {"z", 4}, {"q4", 5}},
        [](const std::string &name, uint8_t *fid) {
          uint8_t *low = fid + 38 + LoadLE16(fid + 36) + 2; // low byte of the first character
          if (name == "p1") low[0] = low[2] = '.';
          if (name == "p2") low[2] = '/';
          if (name == "p3") low[0] = 0;
          if (name == "z") low[0] = '.';
          if (name == "q4") fid[19] = 6;
        });
  ASSERT_TRUE(Mount());
  std::vector<Found> found = RepairExpecting(KORVA_FINDING_NAME);
  EXPECT_EQ(std::count_if(found.begin(), found.end(),
                          [](const Found &f) { return f.Kind == KORVA_FINDING_NAME; }),
            5)
      << Describe(found);
  EXPECT_EQ(UDF_GetFileCount(&V()), 4u + 5u);
  std::vector<std::vector<uint8_t>> renamed = ReadPrefixed(u"#");
  ASSERT_EQ(renamed.size(), 5u);
  for (uint32_t seed = 1; seed <= 5; ++seed)
    EXPECT_NE(std::find(renamed.begin(), renamed.end(), Pattern(700 + seed, seed)),
              renamed.end())
        << seed;
  ExpectTreeIntact();
}

TEST_F(BadNames, ASecondEntryOfTheSameNameIsRenamed) {
  Plant({{"f9", 9}, {"f8", 8}},
        [](const std::string &, uint8_t *fid) { fid[38 + LoadLE16(fid + 36) + 4] = '1'; });
  ASSERT_TRUE(Mount());
  std::vector<Found> found = RepairExpecting(KORVA_FINDING_DUPLICATE_NAME);
  EXPECT_EQ(std::count_if(found.begin(), found.end(),
                          [](const Found &f) { return f.Kind == KORVA_FINDING_DUPLICATE_NAME; }),
            2);
  ExpectTreeIntact(); // the first /f1 keeps its name
  std::vector<uint8_t> second, third;
  ASSERT_TRUE(ReadWhole(V(), u"\\f1~2", second));
  ASSERT_TRUE(ReadWhole(V(), u"\\f1~3", third));
  EXPECT_EQ(second, Pattern(709, 9));
  EXPECT_EQ(third, Pattern(708, 8));
  EXPECT_EQ(UDF_GetFileCount(&V()), 4u + 2u);
}

TEST_F(Recovery, ALinkCountAboveTheNamesIsSetToThem) {
  const uint32_t f1 = blocks_.at(u"\\f1");
  Dismount();
  ASSERT_TRUE(Damage().EditBlock(f1, [](uint8_t *fe) { StoreLE16(fe + 48, 3); }));
  ASSERT_TRUE(Mount());
  std::vector<Found> found = RepairExpecting(KORVA_FINDING_LINK_COUNT);
  EXPECT_EQ(FindKind(found, KORVA_FINDING_LINK_COUNT)->Path, "/f1");
  EXPECT_EQ(ReadEntry(V(), f1).Info.LinkCount, 1u);
  const uint32_t free = UDF_GetFreeBlocksOfLogicalVolume(&V());
  ASSERT_EQ(UDF_DeleteFileW(&V(), u"\\f1"), KTRUE);
  EXPECT_EQ(UDF_GetFreeBlocksOfLogicalVolume(&V()), free + 6);
  KBOOL result = 0;
  EXPECT_TRUE(CheckFindings(V(), result).empty());
  EXPECT_EQ(result, KTRUE);
}

// Without a repair first, removing the one name of such a file leaves its entry and blocks
// until the dismount, which finds that no name reaches it and frees them: nothing leaks.
TEST_F(Recovery, ALinkCountAboveTheNamesLeaksNothingAfterTheLastNameGoes) {
  const uint32_t f1 = blocks_.at(u"\\f1");
  Dismount();
  ASSERT_TRUE(Damage().EditBlock(f1, [](uint8_t *fe) { StoreLE16(fe + 48, 3); }));
  ASSERT_TRUE(Mount());
  const uint32_t free = UDF_GetFreeBlocksOfLogicalVolume(&V());
  const uint32_t files = UDF_GetFileCount(&V());
  ASSERT_TRUE(WriteWhole(V(), u"\\a\\kept", Pattern(5000, 3)));
  ASSERT_EQ(UDF_CreateHardLinkW(&V(), u"\\a\\kept", u"\\kept2"), KTRUE);
  ASSERT_EQ(UDF_DeleteFileW(&V(), u"\\f1"), KTRUE);
  ASSERT_EQ(UDF_DeleteFileW(&V(), u"\\kept2"), KTRUE);
  // A file whose names all go, one at a time, is freed and counted once.
  ASSERT_TRUE(WriteWhole(V(), u"\\gone", Pattern(3000, 4)));
  ASSERT_EQ(UDF_CreateHardLinkW(&V(), u"\\gone", u"\\gone2"), KTRUE);
  ASSERT_EQ(UDF_DeleteFileW(&V(), u"\\gone2"), KTRUE);
  ASSERT_EQ(UDF_DeleteFileW(&V(), u"\\gone"), KTRUE);
  Dismount();
  ASSERT_TRUE(Mount());
  // f1's entry and 5 data blocks are free again; kept's entry and 3 blocks are not.
  EXPECT_EQ(UDF_GetFreeBlocksOfLogicalVolume(&V()), free + 6 - 4);
  EXPECT_EQ(UDF_GetFileCount(&V()), files);
  KBOOL result = 0;
  EXPECT_TRUE(CheckFindings(V(), result).empty()) << Describe(CheckFindings(V(), result));
  EXPECT_EQ(result, KTRUE);
  std::vector<uint8_t> kept;
  EXPECT_TRUE(ReadWhole(V(), u"\\a\\kept", kept));
  EXPECT_EQ(kept, Pattern(5000, 3));
}

// Unique IDs never wrap: with the last one in use, repair records it as the next one and
// leaves it there (a second check is clean), and new entries are refused.
TEST_F(Recovery, UniqueIDsAtTheLimitAreNeverWrapped) {
  const uint32_t f1 = blocks_.at(u"\\f1");
  Dismount();
  ASSERT_TRUE(Damage().EditBlock(f1, [](uint8_t *fe) { StoreLE64(fe + 160, UINT64_MAX - 2); }));
  ASSERT_TRUE(Mount());
  RepairExpecting(KORVA_FINDING_UNIQUE_ID);
  // The one ID left below the last, then none.
  EXPECT_TRUE(WriteWhole(V(), u"\\last", Pattern(10, 1)));
  EXPECT_FALSE(WriteWhole(V(), u"\\later", Pattern(10, 1)));
  EXPECT_EQ(UDF_GetLastErrorNumber(&V()), KORVA_E_NO_SPACE);
  EXPECT_EQ(UDF_CreateDirectoryW(&V(), u"\\", u"later"), KFALSE);
  Dismount();
  ASSERT_TRUE(Damage().EditBlock(f1, [](uint8_t *fe) { StoreLE64(fe + 160, UINT64_MAX); }));
  ASSERT_TRUE(Mount());
  KBOOL result = 0;
  RepairFindings(V(), result);
  EXPECT_EQ(result, KTRUE);
  EXPECT_TRUE(CheckFindings(V(), result).empty());
  EXPECT_EQ(result, KTRUE);
  ExpectTreeIntact();
}

// A bitmap that validly marks live blocks free does not hand them to the next write, even
// when the only way to them lies after a damaged entry of their directory.
TEST_F(Recovery, WritesNeverTrustABitmapThatDisagreesWithTheTree) {
  const uint32_t f2 = DataBlock(u"\\a\\f2");
  const uint32_t data = DataBlock(u"\\a");
  Dismount();
  {
    ImageDamage d = Damage();
    ASSERT_TRUE(d.SetBitmap(f2, 35, true));
    const uint32_t off = OffsetOf(d, data, "b"); // the entry before f2
    Scribble(d, layout_, data, off, [](uint8_t *fid) { fid[39] ^= 0x01; });
  }
  ASSERT_TRUE(Mount());
  ASSERT_TRUE(WriteWhole(V(), u"\\new", Pattern(80000, 7)));
  ASSERT_EQ(UDF_CreateDirectoryW(&V(), u"\\", u"newdir"), KTRUE);
  std::vector<uint8_t> back;
  ASSERT_TRUE(ReadWhole(V(), u"\\new", back));
  EXPECT_EQ(back, Pattern(80000, 7));
  std::vector<uint8_t> f2Bytes;
  ASSERT_TRUE(ReadWhole(V(), u"\\a\\f2", f2Bytes));
  EXPECT_EQ(f2Bytes, Pattern(70000, 1));
}

// A repair cut short at any write says it failed, and leaves every renamed file reachable:
// its unusable name goes only after its new one is on the medium, so the next repair finds
// it by one of them (with the old order, a cut between the two left the entry unnamed and
// its blocks leaked).
TEST_F(BadNames, ARepairCutAtAnyWriteFailsAndKeepsEveryRenamedFile) {
  Plant({{"p1", 1}, {"f9", 9}, {"f8", 8}}, [](const std::string &name, uint8_t *fid) {
    uint8_t *low = fid + 38 + LoadLE16(fid + 36) + 2;
    if (name == "p1") low[2] = '/';
    if (name == "f8") low[2] = '9'; // a second "f9"
  });
  const std::string path = img_->ImagePath();
  const std::string damaged = path + ".damaged";
  std::filesystem::copy_file(path, damaged);
  bool completed = false;
  for (uint32_t cut = 1; !completed && cut < 400; ++cut) {
    // Removed first: MinGW's copy_file does not honour overwrite_existing.
    std::filesystem::remove(path);
    std::filesystem::copy_file(damaged, path);
    {
      VolumePtr v = NewVolume();
      FaultyImageIO io;
      io.Attach(*v);
      ASSERT_EQ(UDF_MountImage(v.get(), path.c_str(), 0), KTRUE);
      const uint32_t before = io.Writes();
      io.FailWriteAt(cut, true);
      const bool repaired = UDF_RepairVolume(v.get(), nullptr, nullptr) == KTRUE;
      const bool cutShort = io.Writes() - before >= cut;
      if (cutShort) {
        EXPECT_FALSE(repaired) << "write " << cut << " failed, yet the repair succeeded";
      }
      completed = repaired && !cutShort;
      AbandonVolume(*v);
    }
    VolumePtr v = NewVolume();
    ASSERT_EQ(UDF_MountImage(v.get(), path.c_str(), 0), KTRUE) << "cut at write " << cut;
    ASSERT_EQ(UDF_RepairVolume(v.get(), nullptr, nullptr), KTRUE)
        << "cut at write " << cut << ": " << UDF_GetLastErrorDescription(v.get());
    std::vector<std::vector<uint8_t>> all;
    for (const Listed &l : List(*v, u"\\*")) {
      all.emplace_back();
      ReadWhole(*v, u"\\" + l.Name, all.back());
    }
    for (uint32_t seed : {1u, 9u, 8u})
      EXPECT_NE(std::find(all.begin(), all.end(), Pattern(700 + seed, seed)), all.end())
          << "cut at write " << cut << ": the file of seed " << seed << " is lost";
  }
  EXPECT_TRUE(completed);
}

} // namespace
} // namespace korva::test
