// Image volumes end to end: creating, formatting to the known layout, mounting, dismounting,
// refusals, I/O faults at every write, and hostile images.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
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
using test::FormatAndWait;
using test::FormattedImage;
using test::NewVolume;
using test::ReadImageSector;
using test::TempDir;

uint32_t IntegrityTypeOnDisc(const std::string &image, uint32_t sector = 304) {
  const std::string s = ReadImageSector(image, sector);
  if (s.empty()) return 0xFFFFFFFF;
  return LoadLE32(reinterpret_cast<const uint8_t *>(s.data()) + 28);
}

// Where the record points the engine's sector I/O.
std::vector<uint32_t> RecordedGeometry(const TUDFRewritableVolume &v) {
  return {v.MainVDSSector,   v.ReserveVDSSector, v.IntegritySector,   v.SparingTableSector1,
          v.SparingTableSector2, v.PartitionStart, v.PartitionLength, v.SpaceBitmapSector,
          v.SpaceBitmapBlocks, v.FileSetSector,  v.RootICBSector};
}

void PatchImage(const std::string &image, uint64_t offset, const void *data, size_t n) {
  std::fstream f(image, std::ios::in | std::ios::out | std::ios::binary);
  f.seekp(std::streamoff(offset));
  f.write(static_cast<const char *>(data), std::streamsize(n));
}

// Rewrites a descriptor's tag after a field was changed, as a foreign writer would.
void Retag(const std::string &image, uint32_t sector, uint16_t id, uint16_t crcLength,
           uint32_t location) {
  std::string s = ReadImageSector(image, sector);
  FillTagAt(s.data(), id, crcLength, location);
  PatchImage(image, uint64_t(sector) * 2048, s.data(), 2048);
}

TEST(ImageCreate, NewImageIsReservedZeroFilledAndNotYetAVolume) {
  TempDir dir;
  const std::string path = dir.File("new.img");
  auto v = NewVolume();
  ASSERT_EQ(UDF_MountImage(v.get(), path.c_str(), 100), KTRUE);
  EXPECT_EQ(fs::file_size(path), 104857600u);
#if !defined(_WIN32) // Windows allocates a file's length at once; stat has no block count
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_GE(uint64_t(st.st_blocks) * 512, 104857600u) << "space is reserved, not sparse";
#endif
  EXPECT_EQ(UDF_GetVolumeCompatibility(v.get()), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(v.get()), 0);
  EXPECT_EQ(v->TotalSectors, 51200u);
  EXPECT_EQ(v->ImagePackets, 3200u);
  EXPECT_EQ(ReadImageSector(path, 51199), std::string(2048, '\0'));
  EXPECT_EQ(UDF_DismountVolume(v.get()), KTRUE);
  EXPECT_EQ(ReadImageSector(path, 16), std::string(2048, '\0')) << "nothing written";
}

TEST(ImageCreate, RefusesBadSizesAndCleansUpAfterAFullDisk) {
  TempDir dir;
  auto v = NewVolume();
  // Size 0 for a new image.
  EXPECT_EQ(UDF_MountImage(v.get(), dir.File("zero.img").c_str(), 0), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(v.get()), 11);
  EXPECT_FALSE(fs::exists(dir.File("zero.img")));
  // An existing image whose size is not whole packets.
  const std::string odd = dir.File("odd.img");
  { std::ofstream(odd, std::ios::binary) << std::string(32769, '\0'); }
  EXPECT_EQ(UDF_MountImage(v.get(), odd.c_str(), 100), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(v.get()), 11);
  EXPECT_FALSE(v->ImageFileOpen);
  EXPECT_EQ(fs::file_size(odd), 32769u) << "an existing image is never resized";
  // A disk that cannot hold the image: an error, and no half-made file.
  test::FaultyImageIO io;
  io.Attach(*v);
  io.FailReserve(ENOSPC);
  EXPECT_EQ(UDF_MountImage(v.get(), dir.File("full.img").c_str(), 50), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(v.get()), 15);
  EXPECT_EQ(KorvaGetLastOSError(), uint32_t(KORVA_ERROR_DISK_FULL));
  EXPECT_FALSE(fs::exists(dir.File("full.img")));
  // No name at all.
  EXPECT_EQ(UDF_MountImage(v.get(), "", 1), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(v.get()), 22);
  v->ImageIO = nullptr;
}

TEST(ImageFormat, HundredMiBImageGetsTheKnownLayoutAndSurvivesRemount) {
  FormattedImage img(100, u"KORVA");
  ASSERT_TRUE(img.Ok());
  TUDFRewritableVolume &v = img.Volume();
  EXPECT_EQ(v.MainVDSSector, 272u);
  EXPECT_EQ(v.ReserveVDSSector, 288u);
  EXPECT_EQ(v.IntegritySector, 304u);
  EXPECT_EQ(v.SparingTableSector1, 320u);
  EXPECT_EQ(v.SparingTableSector2, 1344u);
  EXPECT_EQ(v.SpareAreaStart, 1376u);
  EXPECT_EQ(v.PartitionStart, 1408u);
  EXPECT_EQ(v.PartitionLength, 49504u);
  EXPECT_EQ(v.SpaceBitmapSector, 1408u);
  EXPECT_EQ(v.SpaceBitmapBlocks, 4u);
  EXPECT_EQ(v.FileSetSector, 1412u);
  EXPECT_EQ(v.RootICBSector, 1413u);
  const std::vector<uint32_t> formatted = RecordedGeometry(v);
  EXPECT_EQ(UDF_GetFreeBlocksOfLogicalVolume(&v), 49497u);
  EXPECT_EQ(UDF_GetPhysicalFormattingPercentage(&v), 100);
  // Every anchor, and the open integrity type while mounted.
  const std::string path = img.ImagePath();
  for (uint32_t s : {256u, 50943u}) {
    const std::string sector = ReadImageSector(path, s);
    EXPECT_TRUE(IsSectorTagValid(kTagAnchor, sector.data(), s)) << s;
  }
  EXPECT_EQ(IntegrityTypeOnDisc(path), uint32_t(itOpen));

  ASSERT_EQ(UDF_DismountVolume(&v), KTRUE);
  EXPECT_EQ(IntegrityTypeOnDisc(path), uint32_t(itClose));
  // The bitmap's CRC covers its header, as the kernel checks it (6212 bytes over four sectors).
  std::string bitmap;
  for (uint32_t s = 1408; s < 1412; ++s)
    bitmap += ReadImageSector(path, s);
  EXPECT_EQ(uint8_t(bitmap[10]) | uint8_t(bitmap[11]) << 8, 8);
  EXPECT_TRUE(IsTagValid(kTagSpaceBitmap, bitmap.data(), bitmap.size(), 0));
  EXPECT_EQ(uint8_t(bitmap[24]), 0x80) << "blocks 0-6 used, 7 onward free";

  ASSERT_EQ(UDF_MountImage(&v, path.c_str(), 0), KTRUE);
  ASSERT_EQ(UDF_GetVolumeCompatibility(&v), KTRUE);
  EXPECT_EQ(RecordedGeometry(v), formatted) << "the mount reads back what the format laid out";
  EXPECT_EQ(UDF_GetFreeBlocksOfLogicalVolume(&v), 49497u);
  EXPECT_EQ(UDF_GetTotalBlocksOfLogicalVolume(&v), 49504u);
  EXPECT_EQ(UDF_GetFileCount(&v), 0u);
  EXPECT_EQ(UDF_GetDirCount(&v), 1u);
  EXPECT_EQ(std::u16string(v.VolumeLabel), u"KORVA");
  EXPECT_EQ(IntegrityTypeOnDisc(path), uint32_t(itOpen));
  uint32_t first = 0, length = 0;
  ASSERT_TRUE(FindFreeRun(v, 0, 1, false, first, length).IsOk() && length > 0);
  EXPECT_EQ(first, 7u) << "the loaded bitmap matches the empty volume";

  ASSERT_EQ(UDF_DismountVolume(&v), KTRUE);
  EXPECT_EQ(UDF_DismountVolume(&v), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), 17);
}

TEST(ImageFormat, AVolumeNeverDismountedMountsNotCompatible) {
  FormattedImage img(40);
  ASSERT_TRUE(img.Ok());
  // What a crash leaves: the image as it stands while the volume is mounted.
  const std::string crashed = img.ImagePath() + ".crashed";
  fs::copy_file(img.ImagePath(), crashed);
  ASSERT_EQ(UDF_DismountVolume(&img.Volume()), KTRUE);
  fs::rename(crashed, img.ImagePath());
  ASSERT_EQ(UDF_MountImage(&img.Volume(), img.ImagePath().c_str(), 0), KTRUE);
  EXPECT_EQ(UDF_GetVolumeCompatibility(&img.Volume()), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&img.Volume()), 0);
  // Dismounting an open, unusable volume writes nothing.
  const std::string before = ReadImageSector(img.ImagePath(), 304);
  EXPECT_EQ(UDF_DismountVolume(&img.Volume()), KTRUE);
  EXPECT_EQ(ReadImageSector(img.ImagePath(), 304), before);
  // Formatting again makes it usable.
  ASSERT_EQ(UDF_MountImage(&img.Volume(), img.ImagePath().c_str(), 0), KTRUE);
  EXPECT_EQ(FormatAndWait(img.Volume(), u"AGAIN"), 0);
  EXPECT_TRUE(img.Remount());
}

TEST(ImageFormat, RefusalsStartNoThread) {
  TempDir dir;
  auto v = NewVolume();
  EXPECT_EQ(FormatAndWait(*v, u"X"), -1);
  EXPECT_EQ(UDF_GetLastErrorNumber(v.get()), 17);
  ASSERT_EQ(UDF_MountImage(v.get(), dir.File("a.img").c_str(), 10), KTRUE);
  EXPECT_EQ(FormatAndWait(*v, u"0123456789ABCDEF"), -1);
  EXPECT_EQ(UDF_GetLastErrorNumber(v.get()), 22);
  EXPECT_EQ(UDF_FormatVolume(v.get(), "\xFF", 0, nullptr, nullptr), 0);
  EXPECT_EQ(UDF_GetLastErrorNumber(v.get()), 22);
  EXPECT_FALSE(korva::HasBackgroundState(*v)) << "no operation was started";
  // Fifteen characters fit, and an 8-bit label is taken as UTF-8.
  EXPECT_EQ(FormatAndWait(*v, u"0123456789ABCDE"), 0);
  EXPECT_EQ(std::u16string(v->VolumeLabel), u"0123456789ABCDE");
  EXPECT_EQ(UDF_DismountVolume(v.get()), KTRUE);
  // 1 MiB cannot hold the layout.
  ASSERT_EQ(UDF_MountImage(v.get(), dir.File("small.img").c_str(), 1), KTRUE);
  EXPECT_EQ(FormatAndWait(*v, u"X"), -1);
  EXPECT_EQ(UDF_GetLastErrorNumber(v.get()), 24);
  EXPECT_EQ(UDF_DismountVolume(v.get()), KTRUE);
  // An existing empty file mounts (not compatible) but cannot be formatted.
  { std::ofstream(dir.File("empty.img")); }
  ASSERT_EQ(UDF_MountImage(v.get(), dir.File("empty.img").c_str(), 5), KTRUE);
  EXPECT_EQ(UDF_GetVolumeCompatibility(v.get()), KFALSE);
  EXPECT_EQ(FormatAndWait(*v, u"X"), -1);
  EXPECT_EQ(UDF_GetLastErrorNumber(v.get()), 24);
}

TEST(ImageFormat, QuickFormatAndEmptyLabelOnAnImage) {
  TempDir dir;
  auto v = NewVolume();
  ASSERT_EQ(UDF_MountImage(v.get(), dir.File("q.img").c_str(), 20), KTRUE);
  EXPECT_EQ(FormatAndWait(*v, u"", true), 0);
  const std::string pvd = ReadImageSector(dir.File("q.img"), v->MainVDSSector);
  EXPECT_EQ(uint8_t(pvd[24 + 31]), 1) << "an empty label is the compression id alone";
  EXPECT_EQ(UDF_DismountVolume(v.get()), KTRUE);
}

// A write failure at each write of the format: the handler reports failure, the first
// failure is error 15 and every later one 16, and the record is never left usable.
TEST(ImageFaults, FormatFailsCleanlyAtEveryWrite) {
  TempDir dir;
  auto v = NewVolume();
  test::FaultyImageIO io;
  io.Attach(*v);
  const std::string path = dir.File("f.img");
  ASSERT_EQ(UDF_MountImage(v.get(), path.c_str(), 20), KTRUE);
  io.Reset();
  ASSERT_EQ(FormatAndWait(*v, u"X"), 0);
  const uint32_t writes = io.Writes();
  ASSERT_GE(writes, 10u);
  ASSERT_EQ(UDF_DismountVolume(v.get()), KTRUE);
  for (uint32_t k = 1; k <= writes; ++k) {
    ASSERT_EQ(UDF_MountImage(v.get(), path.c_str(), 0), KTRUE);
    io.Reset();
    io.FailWriteAt(k);
    EXPECT_EQ(FormatAndWait(*v, u"X"), 1) << k;
    EXPECT_EQ(UDF_GetLastErrorNumber(v.get()), k == 1 ? 15 : 16) << k;
    EXPECT_EQ(UDF_GetVolumeCompatibility(v.get()), KFALSE) << k;
    io.Reset();
    EXPECT_EQ(UDF_DismountVolume(v.get()), KTRUE) << k;
    EXPECT_FALSE(v->ImageFileOpen);
  }
  v->ImageIO = nullptr;
}

TEST(ImageFaults, ReadAndWriteFailuresAtMountAndDismount) {
  FormattedImage img(30, u"F", true);
  ASSERT_TRUE(img.Ok());
  TUDFRewritableVolume &v = img.Volume();
  test::FaultyImageIO io;
  io.Attach(v);
  // Dismount whose bitmap write fails: reported, the volume still ends closed in memory.
  io.FailWriteAt(1, true);
  EXPECT_EQ(UDF_DismountVolume(&v), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), 16);
  EXPECT_FALSE(v.VolumeOpen);
  EXPECT_EQ(v.SpaceBitmap, nullptr);
  EXPECT_FALSE(v.ImageFileOpen);
  // The medium still says open, so it does not mount as usable.
  io.Reset();
  ASSERT_EQ(UDF_MountImage(&v, img.ImagePath().c_str(), 0), KTRUE);
  EXPECT_EQ(UDF_GetVolumeCompatibility(&v), KFALSE);
  EXPECT_EQ(UDF_DismountVolume(&v), KTRUE);
  // A read failure inside the mount chain: error 13, not compatible, still open.
  // (Every read from the second on: a packet read that fails is tried sector by sector.)
  io.FailReadAt(2, true);
  ASSERT_EQ(UDF_MountImage(&v, img.ImagePath().c_str(), 0), KTRUE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), 13);
  io.FailReadAt(0);
  EXPECT_EQ(UDF_GetVolumeCompatibility(&v), KFALSE);
  EXPECT_EQ(UDF_DismountVolume(&v), KTRUE);
  v.ImageIO = nullptr;
}

// A mount or dismount reports its own failures, and only those: an image whose close fails
// may not hold what was written (error 16, not a silent false), and a sparing table copy
// that cannot be read while the other serves leaves no error behind a usable volume.
TEST(ImageFaults, MountAndDismountReportTheirOwnFailuresOnly) {
  FormattedImage img(30, u"C", true);
  ASSERT_TRUE(img.Ok());
  TUDFRewritableVolume &v = img.Volume();
  const uint32_t firstSparingCopy = v.SparingTableSector1;
  test::FaultyImageIO io;
  io.Attach(v);
  io.FailClose(EIO);
  EXPECT_EQ(UDF_DismountVolume(&v), KFALSE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), 16);
  EXPECT_FALSE(v.ImageFileOpen);
  EXPECT_FALSE(v.VolumeOpen);

  io.Reset();
  io.FailReadsOfSector(firstSparingCopy);
  ASSERT_EQ(UDF_MountImage(&v, img.ImagePath().c_str(), 0), KTRUE);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), 0);
  EXPECT_EQ(UDF_GetVolumeCompatibility(&v), KTRUE);
  EXPECT_EQ(UDF_DismountVolume(&v), KTRUE) << UDF_GetLastErrorNumber(&v);
  EXPECT_EQ(UDF_GetLastErrorNumber(&v), 0);
  v.ImageIO = nullptr;
}

// Volumes that are UDF but not ours, or lie about their structure, mount not compatible
// with LastError 0 and without reading or allocating beyond the medium.
TEST(HostileImages, ForeignOrInconsistentVolumesAreRefused) {
  FormattedImage img(30, u"H");
  ASSERT_TRUE(img.Ok());
  TUDFRewritableVolume &v = img.Volume();
  const uint32_t main = v.MainVDSSector, integrity = v.IntegritySector;
  // Taken now: a mount of another writer's volume addresses its partitions elsewhere.
  const uint32_t partitionStart = v.PartitionStart;
  ASSERT_EQ(UDF_DismountVolume(&v), KTRUE);
  const std::string path = img.ImagePath();
  const std::string original = ReadImageSector(path, main + 2);
  const std::string originalLvd = ReadImageSector(path, main + 1);

  auto expectRefused = [&](const char *what) {
    ASSERT_EQ(UDF_MountImage(&v, path.c_str(), 0), KTRUE) << what;
    EXPECT_EQ(UDF_GetVolumeCompatibility(&v), KFALSE) << what;
    EXPECT_EQ(UDF_GetLastErrorNumber(&v), 0) << what;
    EXPECT_EQ(v.SpaceBitmap, nullptr) << what;
    EXPECT_EQ(UDF_DismountVolume(&v), KTRUE) << what;
  };
  auto patchPartition = [&](uint32_t offset, uint32_t value) {
    std::string s = original;
    StoreLE32(reinterpret_cast<uint8_t *>(s.data()) + offset, value);
    PatchImage(path, uint64_t(main + 2) * 2048, s.data(), 2048);
    Retag(path, main + 2, kTagPartition, 496, main + 2);
  };
  patchPartition(192, 0x7FFFFFFF); // partition length far past the medium
  expectRefused("partition length");
  patchPartition(188, 0xFFFFFF00); // partition start past the medium
  expectRefused("partition start");
  patchPartition(64, 0x40000000); // bitmap extent longer than the partition
  expectRefused("bitmap extent");
  PatchImage(path, uint64_t(main + 2) * 2048, original.data(), 2048);

  // Another implementation's identifier in the logical volume descriptor.
  std::string lvd = originalLvd;
  lvd[273] = 'X';
  PatchImage(path, uint64_t(main + 1) * 2048, lvd.data(), 2048);
  Retag(path, main + 1, kTagLogicalVolume, 488, main + 1);
  expectRefused("foreign identifier");
  // Integrity descriptor pointing past the medium.
  lvd = originalLvd;
  StoreLE32(reinterpret_cast<uint8_t *>(lvd.data()) + 436, 0xFFFFFFF0u);
  PatchImage(path, uint64_t(main + 1) * 2048, lvd.data(), 2048);
  Retag(path, main + 1, kTagLogicalVolume, 488, main + 1);
  expectRefused("integrity location");
  PatchImage(path, uint64_t(main + 1) * 2048, originalLvd.data(), 2048);

  // The bitmap descriptor claiming more bytes than the partition needs.
  const std::string bitmap = ReadImageSector(path, partitionStart);
  std::string big = bitmap;
  StoreLE32(reinterpret_cast<uint8_t *>(big.data()) + 20, 0x7FFFFFFF);
  PatchImage(path, uint64_t(partitionStart) * 2048, big.data(), 2048);
  Retag(path, partitionStart, kTagSpaceBitmap, 0, 0);
  expectRefused("bitmap size");
  PatchImage(path, uint64_t(partitionStart) * 2048, bitmap.data(), 2048);

  // Still a good volume after every patch was undone.
  ASSERT_EQ(UDF_MountImage(&v, path.c_str(), 0), KTRUE);
  EXPECT_EQ(UDF_GetVolumeCompatibility(&v), KTRUE);
  EXPECT_EQ(IntegrityTypeOnDisc(path, integrity), uint32_t(itOpen));
}

// Every descriptor the mount reads must carry this library's implementation identifier; one
// from another writer anywhere in the chain makes the volume not compatible, and the volume
// mounts again once the descriptor is restored.
TEST(HostileImages, AForeignIdentifierAnywhereInTheChainIsRefused) {
  FormattedImage img(30, u"F");
  ASSERT_TRUE(img.Ok());
  TUDFRewritableVolume &v = img.Volume();
  const uint32_t main = v.MainVDSSector, reserve = v.ReserveVDSSector;
  struct Case {
    const char *what;
    uint32_t sector;
    size_t identifier; // first byte of the identifier inside its entity
  } const cases[] = {
      {"primary", main, offsetof(UDF_PrimaryVolumeDescriptor, ImplementationIdentifier) + 1},
      {"logical", main + 1, offsetof(UDF_LogicalVolumeDescriptor, ImplementationIdentifier) + 1},
      {"partition", main + 2, offsetof(UDF_PartitionDescriptor, ImplementationIdentifier) + 1},
      {"implementation use", main + 4,
       offsetof(UDF_ImplementationUseVolumeDescriptor, ImplementationID) + 1},
      {"integrity", v.IntegritySector,
       offsetof(UDF_LogicalVolumeIntegrityDescriptor, ImplementationID) + 1},
      {"root entry", v.RootICBSector, offsetof(UDF_FileEntryHeader, ImplementationIdentifier) + 1},
  };
  const uint32_t partitionStart = v.PartitionStart, root = v.RootICBSector;
  ASSERT_EQ(UDF_DismountVolume(&v), KTRUE);
  const std::string path = img.ImagePath();
  for (const Case &c : cases) {
    const std::string original = ReadImageSector(path, c.sector);
    std::string s = original;
    s[c.identifier] = 'X';
    PatchImage(path, uint64_t(c.sector) * 2048, s.data(), 2048);
    const uint32_t location = c.sector == root ? root - partitionStart : c.sector;
    Retag(path, c.sector, LoadLE16(reinterpret_cast<const uint8_t *>(s.data())),
          LoadLE16(reinterpret_cast<const uint8_t *>(s.data()) + 10), location);
    ASSERT_EQ(UDF_MountImage(&v, path.c_str(), 0), KTRUE) << c.what;
    EXPECT_EQ(UDF_GetVolumeCompatibility(&v), KFALSE) << c.what;
    EXPECT_EQ(UDF_DismountVolume(&v), KTRUE) << c.what;
    PatchImage(path, uint64_t(c.sector) * 2048, original.data(), 2048);
    ASSERT_EQ(UDF_MountImage(&v, path.c_str(), 0), KTRUE) << c.what;
    EXPECT_EQ(UDF_GetVolumeCompatibility(&v), KTRUE) << c.what << " restored";
    EXPECT_EQ(UDF_DismountVolume(&v), KTRUE) << c.what;
  }

  // A logical volume descriptor without its sparable partition map names no sparing table:
  // the reserve sequence is read instead, and with both copies so the volume is refused.
  for (const uint32_t sequence : {main, reserve}) {
    const std::string lvd = ReadImageSector(path, sequence + 1);
    std::string noMap = lvd;
    std::memset(noMap.data() + offsetof(UDF_LogicalVolumeDescriptor, PartitionMap), 0,
                sizeof(UDF_SparablePartitionMap));
    StoreLE32(reinterpret_cast<uint8_t *>(noMap.data()) +
                  offsetof(UDF_LogicalVolumeDescriptor, NumberofPartitionMaps),
              0);
    PatchImage(path, uint64_t(sequence + 1) * 2048, noMap.data(), 2048);
    Retag(path, sequence + 1, kTagLogicalVolume, 488, sequence + 1);
    ASSERT_EQ(UDF_MountImage(&v, path.c_str(), 0), KTRUE);
    EXPECT_EQ(UDF_GetVolumeCompatibility(&v), sequence == main ? KTRUE : KFALSE);
    EXPECT_EQ(UDF_DismountVolume(&v), KTRUE);
  }
}

TEST(ImageIO, SectorNumbersAreByteOffsetsBeyondFourGiB) {
  TempDir dir;
  const std::string path = dir.File("big.img");
  // A sparse 5 GiB file: sector n lives at byte n * 2048, also past 2^32 bytes.
  {
    std::ofstream f(path, std::ios::binary);
    f.seekp(std::streamoff(5) * 1024 * 1024 * 1024 - 1);
    f.put('\0');
  }
  auto v = NewVolume();
  ASSERT_EQ(UDF_MountImage(v.get(), path.c_str(), 0), KTRUE);
  EXPECT_EQ(v->TotalSectors, 2621440u);
  const uint32_t sector = 2621440u - 16;
  std::memset(v->SectorBuffer, 0x5A, 2048);
  ASSERT_TRUE(WriteSector(*v, sector + 3, v->SectorBuffer).IsOk());
  EXPECT_EQ(v->LastError, 0u);
  const std::string back = ReadImageSector(path, sector + 3);
  EXPECT_EQ(back, std::string(2048, '\x5A'));
  EXPECT_EQ(ReadImageSector(path, sector + 2), std::string(2048, '\0'));
  uint8_t buffer[2048];
  v->WrittenInOperation = 0;
  EXPECT_EQ(ReadSector(*v, 2621440u, buffer).Error(), 13u) << "past the end";
  EXPECT_EQ(UDF_DismountVolume(v.get()), KTRUE);
}

} // namespace
} // namespace korva

// The space bitmap's CRC: kept right on the medium while the volume is in use; bits changed
// under it (bit rot, or another system) never refuse the volume but are found by check; a
// bitmap written with CRC length 0 by earlier versions still mounts.
TEST(ImageFormat, TheBitmapCRCIsKeptAndChecked) {
  using korva::IsTagValid;
  using korva::kTagSpaceBitmap;
  using korva::test::FormattedImage;
  using korva::test::ReadImageSector;
  FormattedImage img(100);
  ASSERT_TRUE(img.Ok());
  TUDFRewritableVolume &v = img.Volume();
  const std::string path = img.ImagePath();
  const uint32_t first = v.SpaceBitmapSector;
  auto descriptor = [&] {
    std::string d;
    for (uint32_t s = first; s < first + 4; ++s)
      d += ReadImageSector(path, s);
    return d;
  };
  UDF_HANDLE h = UDF_CreateFileW(&v, u"\\f", UDF_GENERIC_WRITE, UDF_CREATE_NEW, 0);
  ASSERT_NE(h, UDF_INVALID_HANDLE);
  std::vector<uint8_t> data(3 << 20, 0x42);
  uint32_t n = 0;
  ASSERT_EQ(UDF_WriteFile(&v, h, data.data(), uint32_t(data.size()), &n), KTRUE);
  UDF_CloseHandle(&v, h);
  // Still mounted: the blocks of the file are used on the medium and the CRC holds.
  std::string d = descriptor();
  EXPECT_TRUE(IsTagValid(kTagSpaceBitmap, d.data(), d.size(), 0));
  EXPECT_EQ(uint8_t(d[24 + 100]), 0) << "blocks 800-807 hold the file";
  ASSERT_EQ(UDF_DismountVolume(&v), KTRUE);

  auto patch = [&](uint32_t offset, const std::string &bytes) {
    FILE *f = std::fopen(path.c_str(), "r+b");
    ASSERT_NE(f, nullptr);
    std::fseek(f, long(uint64_t(first) * 2048 + offset), SEEK_SET);
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
  };
  d = descriptor();
  std::string rotten = d.substr(0, 4096);
  rotten[24 + 3000] = char(rotten[24 + 3000] ^ 0x10);
  patch(0, rotten);
  ASSERT_EQ(UDF_MountImageReadOnly(&v, path.c_str()), KTRUE);
  EXPECT_EQ(UDF_GetVolumeCompatibility(&v), KTRUE);
  EXPECT_EQ(UDF_CheckVolume(&v, nullptr, nullptr), KFALSE);
  EXPECT_EQ(v.LastError, uint32_t(KORVA_E_CHECK_FINDINGS));
  ASSERT_EQ(UDF_DismountVolume(&v), KTRUE);

  // The header as earlier versions wrote it: no CRC.
  patch(0, d.substr(0, 4096));
  std::string old = d.substr(0, 16);
  old[10] = old[11] = old[8] = old[9] = 0;
  uint8_t sum = 0;
  for (int i = 0; i < 16; ++i)
    if (i != 4) sum = uint8_t(sum + uint8_t(old[i]));
  old[4] = char(sum);
  patch(0, old);
  ASSERT_EQ(UDF_MountImage(&v, path.c_str(), 0), KTRUE);
  EXPECT_EQ(UDF_GetVolumeCompatibility(&v), KTRUE);
  ASSERT_EQ(UDF_DismountVolume(&v), KTRUE);
  // Dismount wrote it back with its CRC.
  d = descriptor();
  EXPECT_EQ(uint8_t(d[10]) | uint8_t(d[11]) << 8, 8);
}
