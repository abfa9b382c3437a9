// The damaged-image corpus, in the manner of e2fsprogs' tests/f_*: each case damages a copy
// of one fixture volume (three directories deep, four files) in one way, then the first check,
// the repair and a second check run, and what they report is compared with the expected
// output in tests/corpus/expected/<case>.txt. The images are made at test time from the
// fixture, so the repository holds only the cases and their outputs. Every file the damage
// left sound (its entry, data and path untouched) must come out of repair with its bytes,
// and a second repair must change nothing.
//
// KORVA_CORPUS_UPDATE=1 writes the expected outputs from what the cases now report (to be
// read before committing).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <sstream>

#include "tests/recovery/recovery_fixture.h"
#include "udf/byte_order.h"
#include "udf/descriptors.h"
#include "udf/tag.h"

#ifndef KORVA_CORPUS_DIR
#error "KORVA_CORPUS_DIR names the folder of expected outputs"
#endif

namespace korva::test {
namespace {

uint64_t Fnv(const std::vector<uint8_t> &bytes) {
  uint64_t h = 1469598103934665603ull;
  for (uint8_t b : bytes)
    h = (h ^ b) * 1099511628211ull;
  return h;
}

// What a case may use to damage the closed image.
struct Scene {
  ImageDamage &D;
  const Layout &L;
  std::map<std::u16string, uint32_t> Entry; // file entry block of each path
  std::map<std::u16string, uint32_t> Data;  // first data block of each path
  uint32_t RootData = 0, Main = 0, Reserve = 0, Sectors = 0;
  uint32_t Sparing1 = 0, Sparing2 = 0;

  // Changes bytes of a block without refilling any tag.
  void Scribble(uint32_t block, uint32_t offset, const std::function<void(uint8_t *)> &change) {
    std::vector<uint8_t> s = D.Read(L.PartitionStart + block);
    change(s.data() + offset);
    D.Write(L.PartitionStart + block, s);
  }
  uint32_t Fid(uint32_t dataBlock, const char *name) {
    uint32_t off = 0;
    EXPECT_TRUE(D.FindFid(dataBlock, name, off)) << name;
    return off;
  }
  // Changes a file identifier and refills its tag: the change itself is the damage.
  void EditFid(uint32_t dataBlock, const char *name, const std::function<void(uint8_t *)> &change) {
    EXPECT_TRUE(D.EditFid(dataBlock, name, change)) << name;
  }
};

struct Case {
  const char *Name;
  std::function<void(Scene &)> Damage;
  std::vector<std::u16string> Lost; // fixture files the damage itself destroys
};

const std::vector<std::u16string> kAll = {u"\\f1", u"\\a\\f2", u"\\a\\b\\f3", u"\\empty"};

std::vector<Case> Cases() {
  using S = Scene;
  return {
      {"clean", [](S &) {}, {}},
      {"left_open",
       [](S &s) { s.D.Edit(s.L.IntegritySector, s.L.IntegritySector, [](uint8_t *d) { StoreLE32(d + 28, 0); }); },
       {}},
      {"integrity_type_2",
       [](S &s) { s.D.Edit(s.L.IntegritySector, s.L.IntegritySector, [](uint8_t *d) { StoreLE32(d + 28, 2); }); },
       {}},
      {"counts_wrong",
       [](S &s) {
         s.D.Edit(s.L.IntegritySector, s.L.IntegritySector, [](uint8_t *d) {
           StoreLE32(d + 120, 99);
           StoreLE32(d + 124, 7);
         });
       },
       {}},
      {"unique_id_low",
       [](S &s) { s.D.Edit(s.L.IntegritySector, s.L.IntegritySector, [](uint8_t *d) { StoreLE64(d + 40, 3); }); },
       {}},
      {"integrity_crc",
       [](S &s) {
         std::vector<uint8_t> d = s.D.Read(s.L.IntegritySector);
         d[100] ^= 1;
         s.D.Write(s.L.IntegritySector, d);
       },
       {}},
      {"bitmap_used_free", [](S &s) { s.D.SetBitmap(s.Data[u"\\a\\f2"], 10, true); }, {}},
      {"bitmap_leaked", [](S &s) { s.D.SetBitmap(s.L.PartitionLength - 100, 7, false); }, {}},
      {"bitmap_bit",
       [](S &s) {
         std::vector<uint8_t> d = s.D.Read(s.L.BitmapSector);
         d[30] ^= 0x10;
         s.D.Write(s.L.BitmapSector, d);
       },
       {}},
      {"entry_crc",
       [](S &s) { s.Scribble(s.Entry[u"\\a\\f2"], 100, [](uint8_t *p) { *p ^= 0x55; }); },
       {u"\\a\\f2"}},
      {"length_beyond_extents",
       [](S &s) { s.D.EditBlock(s.Entry[u"\\a\\b\\f3"], [](uint8_t *fe) { StoreLE64(fe + 56, 103000); }); },
       {}},
      {"extent_into_other_data",
       [](S &s) {
         const uint32_t f1 = s.Data[u"\\f1"];
         s.D.EditBlock(s.Entry[u"\\a\\f2"], [&](uint8_t *fe) {
           StoreLE64(fe + 56, 10000);
           StoreLE32(fe + 176, 10000);
           StoreLE32(fe + 180, f1);
         });
       },
       {u"\\a\\f2"}},
      {"damaged_first_claims_sound_data",
       [](S &s) {
         const uint32_t f2 = s.Data[u"\\a\\f2"];
         s.D.EditBlock(s.Entry[u"\\f1"], [&](uint8_t *fe) { StoreLE32(fe + 180, f2); });
       },
       {u"\\f1"}},
      {"extent_over_file_entry",
       [](S &s) {
         const uint32_t loop = s.Entry[u"\\a\\b\\loop"];
         s.D.EditBlock(s.Entry[u"\\f1"], [&](uint8_t *fe) {
           StoreLE32(fe + 176, 2048);
           StoreLE32(fe + 180, loop);
         });
       },
       {u"\\f1"}},
      {"extent_outside_partition",
       [](S &s) {
         const uint32_t end = s.L.PartitionLength;
         s.D.EditBlock(s.Entry[u"\\f1"], [&](uint8_t *fe) { StoreLE32(fe + 180, end - 2); });
       },
       {u"\\f1"}},
      {"loop_to_root",
       [](S &s) {
         const uint32_t root = s.Entry[u"\\"];
         s.EditFid(s.Data[u"\\a\\b"], "loop", [&](uint8_t *fid) { StoreLE32(fid + 24, root); });
       },
       {}},
      {"loop_to_parent",
       [](S &s) {
         const uint32_t a = s.Entry[u"\\a"];
         s.EditFid(s.Data[u"\\a\\b"], "loop", [&](uint8_t *fid) { StoreLE32(fid + 24, a); });
       },
       {}},
      {"fid_outside_partition",
       [](S &s) { s.EditFid(s.Data[u"\\a"], "f2", [](uint8_t *fid) { StoreLE32(fid + 24, 0xFFFFFF); }); },
       {u"\\a\\f2"}},
      {"fid_wrong_kind_first",
       [](S &s) {
         const uint32_t f2 = s.Entry[u"\\a\\f2"];
         s.EditFid(s.RootData, "empty", [&](uint8_t *fid) {
           fid[18] |= kFileDirectory;
           StoreLE32(fid + 24, f2);
         });
       },
       {u"\\empty"}},
      {"fid_name_crc",
       [](S &s) {
         const uint32_t off = s.Fid(s.Data[u"\\a"], "f2");
         s.Scribble(s.Data[u"\\a"], off, [](uint8_t *fid) {
           fid[38 + LoadLE16(fid + 36) + fid[19] - 1] ^= 0x40;
         });
       },
       {}},
      {"fid_length_field",
       [](S &s) {
         const uint32_t off = s.Fid(s.Data[u"\\a"], "b");
         s.Scribble(s.Data[u"\\a"], off, [](uint8_t *fid) { fid[19] ^= 0x31; });
       },
       {}},
      {"fid_garbage",
       [](S &s) {
         const uint32_t off = s.Fid(s.Data[u"\\a"], "b");
         s.Scribble(s.Data[u"\\a"], off, [](uint8_t *fid) { std::memset(fid + 1, 0xEE, 39); });
       },
       {u"\\a\\b\\f3"}},
      // Names are stored 16-bit: the low byte of character i is 40 + 2i into the entry.
      {"name_dot_dot",
       [](S &s) {
         s.EditFid(s.Data[u"\\a"], "f2", [](uint8_t *fid) { fid[40] = fid[42] = '.'; });
       },
       {u"\\a\\f2"}}, // its data survives as /a/#<block>
      {"name_duplicate",
       [](S &s) {
         s.EditFid(s.Data[u"\\a"], "f2", [](uint8_t *fid) {
           fid[19] = 3; // one character, same padded length
           fid[40] = 'b';
         });
       },
       {u"\\a\\f2"}}, // its data survives as /a/b~2
      {"sparing_copy_crc",
       [](S &s) {
         std::vector<uint8_t> t = s.D.Read(s.Sparing1);
         t[20] ^= 1; // in the sparing identifier, under the CRC
         s.D.Write(s.Sparing1, t);
       },
       {}},
      {"sparing_copy_stale",
       [](S &s) {
         // A cut between the writes of the two copies: the first holds a newer table.
         s.D.Edit(s.Sparing1, s.Sparing1, [](uint8_t *t) {
           uint8_t *seq = t + offsetof(UDF_SparingTableHeader, SequenceNumber);
           StoreLE32(seq, LoadLE32(seq) + 1);
         });
       },
       {}},
      // A length field changed under a refilled tag: the entry swallows the one after it, or
      // stops short of it.
      {"fid_length_grown",
       [](S &s) { s.EditFid(s.RootData, "f1", [](uint8_t *fid) { fid[19] += 24; }); },
       {}},
      {"fid_length_shrunk",
       [](S &s) { s.EditFid(s.RootData, "f1", [](uint8_t *fid) { fid[19] -= 4; }); },
       {}},
      {"fid_partition_reference",
       [](S &s) {
         s.EditFid(s.Data[u"\\a"], "f2", [](uint8_t *fid) {
           UDF_FileIdentifierDescriptorHeader h;
           std::memcpy(&h, fid, sizeof h);
           h.ICB.Location.PartitionReferenceNumber = 3;
           std::memcpy(fid, &h, sizeof h);
         });
       },
       {}},
      {"parent_fid",
       [](S &s) { s.Scribble(s.RootData, 0, [](uint8_t *fid) { fid[20] ^= 0x40; }); },
       {}},
      {"directory_tail",
       [](S &s) {
         s.D.EditBlock(s.Entry[u"\\a"], [](uint8_t *fe) {
           StoreLE64(fe + 56, LoadLE64(fe + 56) + 20);
           StoreLE32(fe + 176, LoadLE32(fe + 176) + 20);
         });
       },
       {}},
      {"second_name_unlinked",
       [](S &s) {
         const uint32_t f1 = s.Entry[u"\\f1"];
         s.EditFid(s.Data[u"\\a\\b"], "f3", [&](uint8_t *fid) { StoreLE32(fid + 24, f1); });
       },
       {u"\\a\\b\\f3"}},
      {"extension_length_impossible",
       [](S &s) {
         const uint32_t fe = s.Entry[u"\\a\\f2"], aed = s.L.PartitionLength - 64;
         std::vector<uint8_t> entry = s.D.Read(s.L.PartitionStart + fe), ext(2048, 0);
         std::memcpy(&ext[24], &entry[176], 8);
         StoreLE32(&ext[20], 5000);
         FillTagAt(ext.data(), kTagAllocationExtent, 16, aed);
         s.D.Write(s.L.PartitionStart + aed, ext);
         s.D.SetBitmap(aed, 1, false);
         s.D.EditBlock(fe, [&](uint8_t *p) {
           StoreLE32(p + 176, (3u << 30) | 2048);
           StoreLE32(p + 180, aed);
         });
       },
       {u"\\a\\f2"}},
      {"link_count_high",
       [](S &s) { s.D.EditBlock(s.Entry[u"\\f1"], [](uint8_t *fe) { StoreLE16(fe + 48, 3); }); },
       {}},
      {"blocks_recorded_wrong",
       [](S &s) {
         s.D.EditBlock(s.Entry[u"\\a\\f2"], [](uint8_t *fe) {
           StoreLE64(fe + offsetof(UDF_FileEntryHeader, LogicalBlocksRecorded), 1000);
         });
       },
       {}},
      {"unique_id_last",
       [](S &s) {
         s.D.EditBlock(s.Entry[u"\\a\\f2"], [](uint8_t *fe) { StoreLE64(fe + 160, UINT64_MAX); });
       },
       {}},
      {"anchor_256", [](S &s) { s.D.Write(256, std::vector<uint8_t>(2048, 0xA5)); }, {}},
      {"second_anchor_missing",
       [](S &s) { s.D.Write(s.Sectors - 257, std::vector<uint8_t>(2048, 0)); },
       {}},
      {"main_sequence_wiped",
       [](S &s) { s.D.Write(s.Main, std::vector<uint8_t>(8 * 2048, 0)); },
       {}},
      {"reserve_sequence_crc",
       [](S &s) {
         std::vector<uint8_t> d = s.D.Read(s.Reserve + 1);
         d[100] ^= 1;
         s.D.Write(s.Reserve + 1, d);
       },
       {}},
      {"both_sequences_wiped",
       [](S &s) {
         s.D.Write(s.Main, std::vector<uint8_t>(2048, 0));
         s.D.Write(s.Reserve, std::vector<uint8_t>(2048, 0));
       },
       kAll},
      {"file_set_crc",
       [](S &s) {
         std::vector<uint8_t> d = s.D.Read(s.L.BitmapSector + s.L.BitmapSectors);
         d[200] ^= 1;
         s.D.Write(s.L.BitmapSector + s.L.BitmapSectors, d);
       },
       kAll},
      {"root_entry_crc",
       [](S &s) { s.Scribble(s.Entry[u"\\"], 100, [](uint8_t *p) { *p ^= 1; }); },
       kAll},
  };
}

class Corpus : public Recovery, public ::testing::WithParamInterface<size_t> {
protected:
  // Every file the volume holds now, by the hash of its bytes.
  std::multiset<uint64_t> Hashes(const std::u16string &dir, int depth = 0) {
    std::multiset<uint64_t> out;
    if (depth > 8) return out;
    for (const Listed &e : List(V(), dir + u"\\*")) {
      const std::u16string path = dir + u"\\" + e.Name;
      if (e.Attributes & UDF_FILE_ATTRIBUTE_DIRECTORY) {
        const auto inner = Hashes(path, depth + 1);
        out.insert(inner.begin(), inner.end());
      } else {
        std::vector<uint8_t> bytes;
        if (ReadWhole(V(), path, bytes)) out.insert(Fnv(bytes));
      }
    }
    return out;
  }
  static std::string Lines(const char *what, const char *outcome, const std::vector<Found> &found) {
    std::string s = std::string(what) + ": " + outcome + "\n";
    for (const Found &f : found)
      s += "  " + std::to_string(f.Kind) + " " + (f.Path.empty() ? "-" : f.Path) + " " + f.Text +
           (f.Repaired ? " [repaired]" : "") + "\n";
    return s;
  }
};

TEST_P(Corpus, RepairKeepsEverySoundFileAndASecondRunIsClean) {
  const Case c = Cases()[GetParam()];
  std::vector<uint64_t> sound;
  for (size_t i = 0; i < std::size(kFiles); ++i)
    if (std::find(c.Lost.begin(), c.Lost.end(), kFiles[i].Path) == c.Lost.end())
      sound.push_back(Fnv(Pattern(kFiles[i].Size, uint32_t(i))));
  std::map<std::u16string, uint32_t> data;
  for (const char16_t *p : {u"\\f1", u"\\a\\f2", u"\\a", u"\\a\\b"}) data[p] = DataBlock(p);
  blocks_[u"\\"] = V().RootICBSector - V().PartitionStart;
  const uint32_t rootData = ReadEntry(V(), blocks_[u"\\"]).List.Extents[0].AD.Block;
  const uint32_t main = V().MainVDSSector, reserve = V().ReserveVDSSector;
  const uint32_t sparing1 = V().SparingTableSector1, sparing2 = V().SparingTableSector2;
  Dismount();
  {
    ImageDamage d = Damage();
    ASSERT_TRUE(d.Ok());
    Scene scene{d,    layout_, blocks_, data, rootData, main, reserve,
                uint32_t(std::filesystem::file_size(img_->ImagePath()) / 2048), sparing1,
                sparing2};
    c.Damage(scene);
  }
  // As the command line runs them: check on a read-only mount, repair on one for writing.
  // Reading (check, listing, copying every file out) changes no byte of the image.
  const std::string damaged = FileBytes(img_->ImagePath());
  UDF_MountImageReadOnly(&V(), img_->ImagePath().c_str());
  KBOOL result = 0;
  const std::vector<Found> first = CheckFindings(V(), result);
  std::string out = Lines("check", result ? "clean" : "findings", first);
  Hashes(u"");
  UDF_DismountVolume(&V());
  EXPECT_TRUE(FileBytes(img_->ImagePath()) == damaged) << "reading the damaged image wrote to it";
  UDF_MountImage(&V(), img_->ImagePath().c_str(), 0);
  std::vector<Found> repaired = RepairFindings(V(), result);
  const KBOOL repairResult = result;
  out += Lines("repair", repairResult ? "done" : "refused", repaired);
  if (repairResult) {
    std::vector<Found> second = CheckFindings(V(), result);
    EXPECT_EQ(result, KTRUE) << Describe(second);
    out += Lines("second check", result ? "clean" : "findings", second);
    EXPECT_TRUE(RepairFindings(V(), result).empty()) << "a second repair changed something";
    const std::multiset<uint64_t> kept = Hashes(u"");
    size_t found = 0;
    for (uint64_t h : sound)
      found += kept.count(h) > 0;
    out += "sound files: " + std::to_string(sound.size()) + ", kept " + std::to_string(found) +
           "; files after repair: " + std::to_string(UDF_GetFileCount(&V())) + "\n";
    EXPECT_EQ(found, sound.size());
  } else {
    out += "error " + std::to_string(UDF_GetLastErrorNumber(&V())) + "\n";
    EXPECT_TRUE(sound.empty()) << "repair refused a volume with sound files";
  }
  const std::string file = std::string(KORVA_CORPUS_DIR) + "/" + c.Name + ".txt";
  if (std::getenv("KORVA_CORPUS_UPDATE")) {
    std::ofstream(file) << out;
    return;
  }
  std::ifstream in(file);
  std::stringstream expected;
  expected << in.rdbuf();
  EXPECT_EQ(out, expected.str()) << c.Name << " (KORVA_CORPUS_UPDATE=1 rewrites " << file << ")";
}

INSTANTIATE_TEST_SUITE_P(Damaged, Corpus, ::testing::Range<size_t>(0, Cases().size()),
                         [](const ::testing::TestParamInfo<size_t> &info) {
                           return std::string(Cases()[info.param].Name);
                         });

} // namespace
} // namespace korva::test
