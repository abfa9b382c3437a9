// Lays down a complete empty volume with the descriptor builders and lets an independent
// reader (udfinfo from udftools) judge it.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <optional>
#include <string>
#include <unistd.h>
#include <vector>

#include "udf/descriptors.h"
#include "udf/unicode.h"

using namespace korva;

namespace {

// A 100 MiB image with 16-sector packets and one sparing entry.
struct Layout {
  uint32_t N = 51200, Anchor = 256, Main = 272, Reserve = 288, Integrity = 304;
  uint32_t Sparing1 = 320, Sparing2 = 1344, SpareStart = 1376;
  uint32_t PartStart = 1408, PartLength = 49504, BitmapBlocks = 4;
  uint32_t FileSetBlock = 4, RootBlock = 5, RootDataBlock = 6;
};

class Image {
public:
  explicit Image(uint32_t sectors) : sectors_(sectors) {
    char name[] = "/tmp/korva_udf_imageXXXXXX";
    fd_ = mkstemp(name);
    path_ = name;
    if (fd_ >= 0 && ftruncate(fd_, off_t(sectors) * kSectorSize) != 0) {
      close(fd_);
      fd_ = -1;
    }
  }
  ~Image() {
    if (fd_ >= 0) close(fd_);
    unlink(path_.c_str());
  }
  bool ok() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  const std::string &path() const { return path_; }
  void Put(uint32_t sector, const std::vector<uint8_t> &data) {
    ASSERT_LT(sector, sectors_);
    ASSERT_EQ(pwrite(fd_, data.data(), data.size(), off_t(sector) * kSectorSize),
              ssize_t(data.size()));
  }

private:
  uint32_t sectors_;
  int fd_ = -1;
  std::string path_;
};

std::string RunCommand(const std::string &cmd) {
  std::string out;
  FILE *p = popen(cmd.c_str(), "r");
  if (p == nullptr) return out;
  char buf[512];
  while (fgets(buf, sizeof buf, p) != nullptr)
    out += buf;
  pclose(p);
  return out;
}

bool HaveUdfinfo() {
  return system("command -v udfinfo >/dev/null 2>&1") == 0;
}

void Format(Image &img, const Layout &L, const std::u16string &label, uint32_t integrityType) {
  UDF_Label lab;
  ASSERT_TRUE(MakeLabel(label, lab));
  const int64_t now = 1796688000; // 2026-12-08
  UDF_TimeStamp t{};
  udf_time_to_stamp(&t, now, 0);
  std::vector<uint8_t> s(kSectorSize);

  std::vector<uint8_t> vrs(3 * kSectorSize);
  ASSERT_TRUE(BuildVolumeRecognitionSequence(vrs.data(), vrs.size()));
  img.Put(16, vrs);
  for (uint32_t where : {L.Anchor, L.N - 257}) {
    ASSERT_TRUE(BuildAnchor(s.data(), s.size(), where, L.Main, L.Reserve));
    img.Put(where, s);
  }
  for (uint32_t v : {L.Main, L.Reserve}) {
    ASSERT_TRUE(BuildPrimaryVolumeDescriptor(s.data(), s.size(), v, lab, t, now));
    img.Put(v, s);
    const LogicalVolumeLayout lv{L.FileSetBlock, L.Integrity, L.Sparing1, L.Sparing2, 1};
    ASSERT_TRUE(BuildLogicalVolumeDescriptor(s.data(), s.size(), v + 1, lab, lv));
    img.Put(v + 1, s);
    ASSERT_TRUE(BuildPartitionDescriptor(s.data(), s.size(), v + 2, L.PartStart, L.PartLength,
                                         L.BitmapBlocks));
    img.Put(v + 2, s);
    ASSERT_TRUE(BuildUnallocatedSpaceDescriptor(s.data(), s.size(), v + 3));
    img.Put(v + 3, s);
    ASSERT_TRUE(BuildImplementationUseVolumeDescriptor(s.data(), s.size(), v + 4, lab));
    img.Put(v + 4, s);
    ASSERT_TRUE(BuildTerminatingDescriptor(s.data(), s.size(), v + 5));
    img.Put(v + 5, s);
  }
  const uint32_t used = L.BitmapBlocks + 3;
  const IntegrityInfo ii{t, integrityType, 16, L.PartLength - used, L.PartLength, 0, 1};
  ASSERT_TRUE(BuildIntegrityDescriptor(s.data(), s.size(), L.Integrity, ii));
  img.Put(L.Integrity, s);
  ASSERT_TRUE(BuildTerminatingDescriptor(s.data(), s.size(), L.Integrity + 1));
  img.Put(L.Integrity + 1, s);
  for (uint32_t where : {L.Sparing1, L.Sparing2}) {
    ASSERT_TRUE(BuildSparingTable(s.data(), s.size(), where, L.SpareStart, 1));
    img.Put(where, s);
  }
  std::vector<uint8_t> bitmap(SpaceBitmapBytes(L.PartLength), 0xFF);
  for (uint32_t b = 0; b < used; ++b)
    bitmap[b / 8] &= uint8_t(~(1u << (b % 8)));
  std::vector<uint8_t> sbd(L.BitmapBlocks * kSectorSize);
  ASSERT_TRUE(BuildSpaceBitmapDescriptor(sbd.data(), sbd.size(), 0, bitmap.data(), L.PartLength));
  img.Put(L.PartStart, sbd);
  ASSERT_TRUE(BuildFileSetDescriptor(s.data(), s.size(), L.FileSetBlock, lab, t, L.RootBlock));
  img.Put(L.PartStart + L.FileSetBlock, s);
  ASSERT_TRUE(BuildFileEntry(s.data(), s.size(), L.RootBlock,
                             NewDirectoryEntryInfo(t, 0, L.RootDataBlock)));
  img.Put(L.PartStart + L.RootBlock, s);
  std::fill(s.begin(), s.end(), 0);
  ASSERT_TRUE(BuildFileIdentifierDescriptor(s.data(), s.size(), L.RootDataBlock,
                                            kFileDirectory | kFileParent, L.RootBlock, nullptr, 0));
  img.Put(L.PartStart + L.RootDataBlock, s);
}

} // namespace

TEST(Interop, UdfinfoReadsFormattedVolume) {
  if (!HaveUdfinfo()) GTEST_SKIP() << "udfinfo not installed";
  Layout L;
  Image img(L.N);
  ASSERT_TRUE(img.ok());
  Format(img, L, u"KorvaDisc", itClose);
  const std::string out = RunCommand("udfinfo --blocksize=2048 " + img.path() + " 2>&1");
  SCOPED_TRACE(out);
  EXPECT_NE(out.find("label=KorvaDisc"), std::string::npos);
  EXPECT_NE(out.find("udfrev=1.50"), std::string::npos);
  EXPECT_NE(out.find("blocks=51200"), std::string::npos);
  EXPECT_NE(out.find("fullvsid=6B174880Quorrelstane"), std::string::npos);
  EXPECT_NE(out.find("impid=*Quorrelstan KorvaUDF"), std::string::npos);
  EXPECT_NE(out.find("numdirs=1"), std::string::npos);
  EXPECT_NE(out.find("usedblocks=7"), std::string::npos);
  EXPECT_NE(out.find("start=1376, blocks=32, type=SSPACE"), std::string::npos);
  EXPECT_NE(out.find("start=50943, blocks=1, type=ANCHOR"), std::string::npos);
  EXPECT_NE(out.find("integrity=closed"), std::string::npos);
  EXPECT_NE(out.find("freeblocks=49497"), std::string::npos);
  EXPECT_NE(out.find("start=1408, blocks=49504, type=PSPACE"), std::string::npos);
  EXPECT_NE(out.find("start=320, blocks=1, type=STABLE"), std::string::npos);
  EXPECT_NE(out.find("start=1344, blocks=1, type=STABLE"), std::string::npos);
  EXPECT_NE(out.find("start=16, blocks=3, type=VRS"), std::string::npos);
  EXPECT_EQ(out.find("rror"), std::string::npos);
  EXPECT_EQ(out.find("arning"), std::string::npos);
}

// The other direction: our parsers read a volume that mkudffs wrote.
TEST(Interop, ParsersReadMkudffsVolume) {
  if (system("command -v mkudffs >/dev/null 2>&1") != 0) GTEST_SKIP() << "mkudffs not installed";
  Image img(51200);
  ASSERT_TRUE(img.ok());
  ASSERT_EQ(system(("mkudffs --media-type=cdrw --udfrev=0x0150 --blocksize=2048 --label=MkDisc " +
                    img.path() + " >/dev/null 2>&1")
                       .c_str()),
            0);
  auto sector = [&](uint32_t n) {
    std::vector<uint8_t> s(kSectorSize);
    EXPECT_EQ(pread(img.fd(), s.data(), s.size(), off_t(n) * kSectorSize), ssize_t(s.size()));
    return s;
  };
  auto anchor = ParseAnchor(sector(256).data(), kSectorSize, 256);
  ASSERT_TRUE(anchor);
  const uint32_t vds = anchor->MainVolumeDescriptorSequenceExtent.Location;
  std::optional<LogicalVolumeInfo> lvd;
  std::optional<UDF_PartitionDescriptor> pd;
  bool sawPrimary = false;
  for (uint32_t n = vds; n < vds + 16; ++n) {
    const auto s = sector(n);
    if (IsSectorTagValid(kTagTerminating, s.data(), n)) break;
    sawPrimary |= ParsePrimaryVolumeDescriptor(s.data(), s.size(), n).has_value();
    if (auto l = ParseLogicalVolumeDescriptor(s.data(), s.size(), n)) lvd = l;
    if (auto p = ParsePartitionDescriptor(s.data(), s.size(), n)) pd = p;
  }
  EXPECT_TRUE(sawPrimary);
  ASSERT_TRUE(lvd && pd);
  std::u16string label;
  EXPECT_TRUE(ReadDString(lvd->Descriptor.LogicalVolumeIdentifier, 128, label));
  EXPECT_EQ(label, u"MkDisc");
  ASSERT_TRUE(lvd->HasSparableMap);
  EXPECT_FALSE(IsOurImplementation(lvd->Descriptor.ImplementationIdentifier));
  const uint32_t st = lvd->Descriptor.PartitionMap.LocationsofSparingTables[0];
  std::vector<uint8_t> table(5 * kSectorSize);
  ASSERT_EQ(pread(img.fd(), table.data(), table.size(), off_t(st) * kSectorSize),
            ssize_t(table.size()));
  auto sparing = ParseSparingTable(table.data(), table.size(), st);
  ASSERT_TRUE(sparing);
  EXPECT_GT(sparing->Entries.size(), 0u);
  const uint32_t lvid = lvd->Descriptor.IntegritySequenceExtent.Location;
  auto integrity = ParseIntegrityDescriptor(sector(lvid).data(), kSectorSize, lvid);
  ASSERT_TRUE(integrity);
  EXPECT_EQ(uint32_t(integrity->SizeTable), uint32_t(pd->PartitionLength));
  const uint32_t start = pd->PartitionStartingLocation;
  const uint32_t fsdBlock = lvd->Descriptor.LogicalVolumeContentsUse.Location.LogicalBlockNumber;
  auto fsd = ParseFileSetDescriptor(sector(start + fsdBlock).data(), kSectorSize, fsdBlock);
  ASSERT_TRUE(fsd);
  const uint32_t bitmapBlock = pd->PartitionContentsUse.UnallocatedSpaceBitmap.Position;
  auto bitmap =
      ParseSpaceBitmapHeader(sector(start + bitmapBlock).data(), kSectorSize, bitmapBlock);
  ASSERT_TRUE(bitmap);
  EXPECT_EQ(uint32_t(bitmap->NumberOfBits), uint32_t(pd->PartitionLength));
}
