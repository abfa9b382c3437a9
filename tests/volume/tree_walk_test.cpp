// The shared traversal of a volume's tree, driven by a recording visitor over the recovery
// tree (/f1, /a/f2, /a/b/f3, /empty, directories /a, /a/b, /a/b/loop) damaged by hand; and
// the claims walk deletes consult, which visits through it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <set>
#include <unordered_set>

#include "tests/recovery/recovery_fixture.h"
#include "udf/byte_order.h"
#include "udf/descriptors.h"
#include "volume/fs/fs_claims.h"
#include "volume/fs/fs_internal.h"
#include "volume/fs/tree_walk.h"
#include "volume/medium/packet_cache.h"

namespace korva::test {
namespace {

// Records what the walk hands it; takes every entry (directories by their name's kind)
// unless told otherwise.
class Recorder : public TreeVisitor {
public:
  std::vector<uint32_t> entries;            // blocks, in the order judged
  std::map<uint32_t, uint32_t> depth;       // block -> depth when judged
  std::vector<std::string> links, refusals; // paths of the names
  std::vector<std::string> events;          // "dir <path>" and "deferred <tag>"
  std::set<uint32_t> refuse, leave, noDescend;
  size_t stopAfter = 0;
  TreeWalk *walk = nullptr;

  bool OnEntry(TreeName &name, Verdict &verdict, uint32_t &cookie) override {
    const uint32_t block = name.Fid.ICBBlock;
    entries.push_back(block);
    depth[block] = name.Depth;
    cookie = block;
    if (refuse.count(block))
      verdict = Verdict::Refuse;
    else if (leave.count(block))
      verdict = Verdict::Leave;
    else if (name.IsDirectory() && !noDescend.count(block))
      verdict = Verdict::Descend;
    else
      verdict = Verdict::Take;
    if (stopAfter && entries.size() == stopAfter) walk->Stop();
    return true;
  }
  bool OnLink(TreeName &name, uint32_t cookie, bool &kept) override {
    EXPECT_EQ(cookie, name.Fid.ICBBlock);
    links.push_back(name.Path);
    kept = true;
    return true;
  }
  bool OnRefused(TreeName &name, uint32_t cookie) override {
    EXPECT_EQ(cookie, name.Fid.ICBBlock);
    refusals.push_back(name.Path);
    return true;
  }
  void OnDirectoryStart(DirectoryStream &, const TreeDirectory &d) override {
    events.push_back("dir " + d.Path);
  }
  bool OnDeferred(uint32_t tag) override {
    events.push_back("deferred " + std::to_string(tag));
    return true;
  }
};

class TreeWalkTest : public Recovery {
protected:
  bool Walk(Recorder &r) {
    TreeWalk walk(ReaderOf(V()), V().PartitionLength, r);
    r.walk = &walk;
    return walk.Run(RootBlock(V()));
  }
  uint32_t Root() { return RootBlock(V()); }
  // Points /a/b/<name> at another file entry and mounts again.
  void Repoint(const char *name, uint32_t target, uint16_t linksOfTarget = 0) {
    const uint32_t data = DataBlock(u"\\a\\b");
    Dismount();
    {
      ImageDamage d = Damage();
      ASSERT_TRUE(d.PointFidAt(data, name, target));
      if (linksOfTarget) {
        ASSERT_TRUE(d.EditBlock(target, [&](uint8_t *fe) { StoreLE16(fe + 48, linksOfTarget); }));
      }
    }
    ASSERT_TRUE(Mount());
  }
};

TEST_F(TreeWalkTest, JudgesEachFileEntryOnceAndReportsFurtherNamesAsLinks) {
  Repoint("f3", blocks_.at(u"\\f1")); // a second name of /f1; f3's own entry is unreached
  Recorder r;
  ASSERT_TRUE(Walk(r));
  const std::set<uint32_t> judged(r.entries.begin(), r.entries.end());
  EXPECT_EQ(judged.size(), r.entries.size()) << "a file entry was judged twice";
  EXPECT_EQ(r.entries.size(), 7u); // the root, three directories, /f1, /a/f2, /empty
  EXPECT_FALSE(judged.count(blocks_.at(u"\\a\\b\\f3")));
  EXPECT_EQ(r.links, std::vector<std::string>{"/a/b/f3"});
  // Breadth first, the root's own entries before those of its subdirectories.
  EXPECT_EQ(r.entries.front(), Root());
  EXPECT_EQ(r.depth.at(Root()), 0u);
  EXPECT_EQ(r.depth.at(blocks_.at(u"\\f1")), 1u);
  EXPECT_EQ(r.depth.at(blocks_.at(u"\\a\\b")), 2u);
  EXPECT_EQ(r.depth.at(blocks_.at(u"\\a\\b\\loop")), 3u);
  EXPECT_EQ(r.events, (std::vector<std::string>{"dir ", "dir /a", "dir /a/b", "dir /a/b/loop"}));
}

// A name leading back up the tree reaches a directory taken already: a link, never a second
// scan, so the walk ends.
TEST_F(TreeWalkTest, DirectoryCyclesEnd) {
  for (const bool toRoot : {false, true}) {
    SCOPED_TRACE(toRoot ? "to the root" : "to /a");
    if (toRoot) SetUp(); // a fresh tree
    Repoint("loop", toRoot ? Root() : blocks_.at(u"\\a"));
    Recorder r;
    ASSERT_TRUE(Walk(r));
    EXPECT_EQ(r.links, std::vector<std::string>{"/a/b/loop"});
    EXPECT_EQ(r.events, (std::vector<std::string>{"dir ", "dir /a", "dir /a/b"}));
    EXPECT_EQ(r.entries.size(), 7u); // /a/b/loop's own entry is unreached
  }
}

// A file entry refused for one name is not judged again for the next; one left is.
TEST_F(TreeWalkTest, RefusedEntriesAreNotJudgedAgainLeftOnesAre) {
  const uint32_t f1 = blocks_.at(u"\\f1");
  Repoint("f3", f1);
  for (const bool remember : {true, false}) {
    Recorder r;
    (remember ? r.refuse : r.leave).insert(f1);
    ASSERT_TRUE(Walk(r));
    EXPECT_EQ(std::count(r.entries.begin(), r.entries.end(), f1), remember ? 1 : 2);
    EXPECT_EQ(r.refusals,
              remember ? std::vector<std::string>{"/a/b/f3"} : std::vector<std::string>{});
    EXPECT_TRUE(r.links.empty());
  }
}

TEST_F(TreeWalkTest, StopsAndSkipsWhereTheVisitorSays) {
  Recorder skip;
  skip.noDescend.insert(blocks_.at(u"\\a"));
  ASSERT_TRUE(Walk(skip));
  EXPECT_EQ(skip.events, std::vector<std::string>{"dir "});
  EXPECT_EQ(skip.entries.size(), 4u); // the root, /f1, /a, /empty

  Recorder stop;
  stop.stopAfter = 2;
  EXPECT_TRUE(Walk(stop));
  EXPECT_EQ(stop.entries.size(), 2u);
}

// Deferred names come after every directory reached so far, the root's subdirectories
// included.
TEST_F(TreeWalkTest, DeferredNamesFollowEverySoundName) {
  struct Deferring : Recorder {
    void OnDirectoryStart(DirectoryStream &dir, const TreeDirectory &d) override {
      Recorder::OnDirectoryStart(dir, d);
      if (d.Depth == 0) walk->Defer(7);
    }
  } r;
  ASSERT_TRUE(Walk(r));
  ASSERT_FALSE(r.events.empty());
  EXPECT_EQ(r.events.back(), "deferred 7");
  EXPECT_EQ(std::count(r.events.begin(), r.events.end(), "dir /a/b/loop"), 1);
}

// A file entry that cannot be read ends the walk as a failure, never as a shorter tree.
TEST_F(TreeWalkTest, AnUnreadableFileEntryFailsTheWalk) {
  FaultyImageIO faults;
  Dismount();
  faults.Attach(V());
  ASSERT_TRUE(Mount());
  struct Reading : Recorder {
    TUDFRewritableVolume *v = nullptr;
    bool OnEntry(TreeName &name, Verdict &verdict, uint32_t &cookie) override {
      uint8_t fe[kBlockSize];
      return ReadBlock(*v, name.Fid.ICBBlock, fe) && Recorder::OnEntry(name, verdict, cookie);
    }
  } r;
  r.v = &V();
  ReleasePacketCache(V()); // the mount's reads go to the medium again
  faults.FailReadsOfSector(layout_.PartitionStart + blocks_.at(u"\\a\\b"));
  EXPECT_FALSE(Walk(r));
  EXPECT_FALSE(std::count(r.entries.begin(), r.entries.end(), blocks_.at(u"\\a\\b\\f3")));
  faults.FailReadsOfSector(0xFFFFFFFFu);
}

TEST_F(TreeWalkTest, DeepTreesAreWalkedWhole) {
  std::u16string path;
  for (int i = 0; i < 40; ++i) {
    ASSERT_EQ(UDF_CreateDirectoryW(&V(), path.empty() ? u"\\" : path.c_str(), u"d"), KTRUE);
    path += u"\\d";
  }
  ASSERT_TRUE(WriteWhole(V(), path + u"\\leaf", Pattern(100, 1)));
  Recorder r;
  ASSERT_TRUE(Walk(r));
  EXPECT_EQ(r.entries.size(), 8u + 40u + 1u);
  EXPECT_EQ(r.depth.at(EntryBlock(V(), path + u"\\leaf")), 41u);
}

// The claims walk: a second name of a file entry that records one link contests its block,
// one that records several does not.
TEST_F(TreeWalkTest, ClaimsContestASecondNameOnlyWithoutSeveralLinks) {
  const uint32_t f1 = blocks_.at(u"\\f1");
  for (const uint16_t links : {uint16_t(1), uint16_t(2)}) {
    SCOPED_TRACE(links);
    if (links > 1) SetUp(); // a fresh tree
    Repoint("f3", f1, links);
    ContestedBlocks claims;
    ASSERT_TRUE(FindContestedBlocks(V(), claims).IsOk());
    EXPECT_EQ(claims.Has(f1), links == 1);
    EXPECT_TRUE(claims.Claimed[f1 / 8] & (1u << (f1 % 8)));
    // f3's own entry is reached by no name and shares nothing: it may be freed.
    const uint32_t f3 = blocks_.at(u"\\a\\b\\f3");
    std::vector<uint32_t> unnamed;
    ASSERT_TRUE(UnnamedEntries(V(), {f3, f1}, unnamed).IsOk());
    EXPECT_EQ(unnamed, std::vector<uint32_t>{f3});
  }
}

// The check: a file entry whose claims did not settle for one name is judged again by the
// next, since an entry evicted meanwhile may have given the blocks back. Here /a/f2's data
// claims /f1's file entry; then /a/b/loop (now a file's name) reaches a copy of /a/b/f3's
// file entry lying in /f1's data, which shows /f1 damaged and evicts it; then /a/b/f3 reaches
// /a/f2's entry again, whose claims now settle.
TEST_F(TreeWalkTest, TheCheckJudgesAnEntryAgainOnceItsClaimsCanSettle) {
  const uint32_t f1 = blocks_.at(u"\\f1"), f2 = blocks_.at(u"\\a\\f2");
  const uint32_t f1Data = DataBlock(u"\\f1"), dir = DataBlock(u"\\a\\b");
  const uint16_t slot = ReadEntry(V(), f2).List.Extents.at(0).SlotOffset;
  Dismount();
  {
    ImageDamage d = Damage();
    uint32_t loop = 0, f3 = 0;
    ASSERT_TRUE(d.FindFid(dir, "loop", loop));
    ASSERT_TRUE(d.FindFid(dir, "f3", f3));
    ASSERT_LT(loop, f3);
    ASSERT_TRUE(d.EditBlock(f2, [&](uint8_t *fe) {
      StoreLE32(fe + slot, kBlockSize);
      StoreLE32(fe + slot + 4, f1);
    }));
    ASSERT_TRUE(d.Write(layout_.PartitionStart + f1Data,
                        d.Read(layout_.PartitionStart + blocks_.at(u"\\a\\b\\f3"))));
    ASSERT_TRUE(d.EditBlock(f1Data, [](uint8_t *) {}));
    ASSERT_TRUE(d.EditFid(dir, "loop", [&](uint8_t *fid) {
      fid[18] = 0; // a file's name
      StoreLE32(fid + 24, f1Data);
    }));
    ASSERT_TRUE(d.PointFidAt(dir, "f3", f2));
  }
  ASSERT_TRUE(Mount());
  KBOOL result = 0;
  const std::vector<Found> found = CheckFindings(V(), result);
  auto dropped = [&](const std::string &path) {
    return std::any_of(found.begin(), found.end(), [&](const Found &f) {
      return f.Path == path && f.Text.find("is dropped") != std::string::npos;
    });
  };
  EXPECT_TRUE(dropped("/a/f2")) << Describe(found);
  EXPECT_TRUE(dropped("/f1")) << Describe(found);
  EXPECT_FALSE(dropped("/a/b/f3")) << Describe(found);
  EXPECT_FALSE(dropped("/a/b/loop")) << Describe(found);
}

class ClaimsOfDamagedData : public TreeWalkTest {
protected:
  // Whether the claims walk finds /a/b/f3's file entry and first data block in use.
  void ExpectF3Claimed() {
    ContestedBlocks claims;
    ASSERT_TRUE(FindContestedBlocks(V(), claims).IsOk());
    const uint32_t fe = blocks_.at(u"\\a\\b\\f3");
    RawEntry e = ReadEntry(V(), fe);
    ASSERT_TRUE(e.Ok);
    ASSERT_FALSE(e.List.Extents.empty());
    for (const uint32_t b : {fe, e.List.Extents[0].AD.Block})
      EXPECT_TRUE(claims.Claimed[b / 8] & (1u << (b % 8))) << b;
  }
};

// A directory entry whose tag is damaged but whose fields still name a file entry is kept by
// repair: its blocks are in use for deletes and allocations too.
TEST_F(ClaimsOfDamagedData, HoldsTheEntryADamagedTagStillNames) {
  const uint32_t data = DataBlock(u"\\a\\b");
  Dismount();
  {
    ImageDamage d = Damage();
    uint32_t off = 0;
    ASSERT_TRUE(d.FindFid(data, "f3", off));
    std::vector<uint8_t> s = d.Read(layout_.PartitionStart + data);
    s[off + 4] ^= 0xFF; // the tag checksum
    ASSERT_TRUE(d.Write(layout_.PartitionStart + data, s));
  }
  ASSERT_TRUE(Mount());
  ExpectF3Claimed();
}

// An entry whose length swallows the next one hides it only from a reader that trusts the
// length; the check reads the one inside, and so must the claims walk.
TEST_F(ClaimsOfDamagedData, HoldsTheEntryADamagedLengthSwallows) {
  const uint32_t data = DataBlock(u"\\a\\b");
  Dismount();
  {
    ImageDamage d = Damage();
    uint32_t loop = 0, f3 = 0;
    ASSERT_TRUE(d.FindFid(data, "loop", loop));
    ASSERT_TRUE(d.FindFid(data, "f3", f3));
    ASSERT_LT(loop, f3);
    std::vector<uint8_t> s = d.Read(layout_.PartitionStart + data);
    const auto next = ParseFileIdentifierDescriptor(s.data() + f3, s.size() - f3, data);
    ASSERT_TRUE(next);
    const uint32_t swallow = f3 - loop + next->TotalLength;
    ASSERT_TRUE(d.EditFid(data, "loop", [&](uint8_t *fid) {
      UDF_FileIdentifierDescriptorHeader h;
      std::memcpy(&h, fid, sizeof h);
      h.LengthofImplementationUse =
          uint16_t(swallow - 38 - h.LengthofFileIdentifier); // padded to the same length
      std::memcpy(fid, &h, sizeof h);
    }));
  }
  ASSERT_TRUE(Mount());
  ExpectF3Claimed();
}

} // namespace
} // namespace korva::test
