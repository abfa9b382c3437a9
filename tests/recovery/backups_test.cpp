// A volume survives a damaged copy of its anchors or descriptor sequences: the mount reads
// the backups, check reports the damaged copy and repair writes it again from the good one.
// An image cut short after its last used block is read.
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/recovery/recovery_fixture.h"
#include "udf/byte_order.h"
#include "udf/descriptors.h"
#include "udf/tag.h"

namespace korva::test {
namespace {

class Backups : public Recovery {
protected:
  uint32_t Sectors() {
    return uint32_t(std::filesystem::file_size(img_->ImagePath()) / 2048);
  }
  bool AnchorValid(ImageDamage &d, uint32_t sector) {
    std::vector<uint8_t> s = d.Read(sector);
    return !s.empty() && ParseAnchor(s.data(), s.size(), sector).has_value();
  }
  void RepairsTheCopy() {
    std::vector<Found> found = RepairExpecting(KORVA_FINDING_DESCRIPTOR);
    EXPECT_EQ(UDF_GetFileCount(&V()), 4u);
    ExpectTreeIntact();
  }
};

TEST_F(Backups, ADamagedFirstAnchorIsReadFromTheSecondAndWrittenAgain) {
  Dismount();
  {
    ImageDamage d = Damage();
    ASSERT_TRUE(AnchorValid(d, Sectors() - 257));
    ASSERT_TRUE(d.Write(256, std::vector<uint8_t>(2048, 0xA5)));
  }
  ASSERT_TRUE(Mount());
  ExpectTreeIntact();
  RepairsTheCopy();
  Dismount();
  ImageDamage d = Damage();
  EXPECT_TRUE(AnchorValid(d, 256));
}

TEST_F(Backups, AMissingSecondAnchorIsWrittenAgain) {
  const uint32_t second = Sectors() - 257;
  Dismount();
  ASSERT_TRUE(Damage().Write(second, std::vector<uint8_t>(2048, 0)));
  ASSERT_TRUE(Mount());
  RepairsTheCopy();
  Dismount();
  ImageDamage d = Damage();
  EXPECT_TRUE(AnchorValid(d, second));
}

TEST_F(Backups, AWipedMainSequenceIsReadFromTheReserveAndWrittenAgain) {
  const uint32_t main = V().MainVDSSector;
  Dismount();
  std::vector<uint8_t> before;
  {
    ImageDamage d = Damage();
    before = d.Read(main, 8);
    ASSERT_TRUE(d.Write(main, std::vector<uint8_t>(8 * 2048, 0)));
  }
  ASSERT_TRUE(Mount());
  ExpectTreeIntact();
  RepairsTheCopy();
  Dismount();
  ImageDamage d = Damage();
  EXPECT_EQ(d.Read(main, 8), before);
}

TEST_F(Backups, ADamagedReserveSequenceIsWrittenAgain) {
  const uint32_t reserve = V().ReserveVDSSector;
  Dismount();
  std::vector<uint8_t> before;
  {
    ImageDamage d = Damage();
    before = d.Read(reserve, 8);
    std::vector<uint8_t> s = before;
    s[2048 + 100] ^= 1; // the second descriptor's CRC fails
    ASSERT_TRUE(d.Write(reserve, s));
  }
  ASSERT_TRUE(Mount());
  RepairsTheCopy();
  Dismount();
  ImageDamage d = Damage();
  EXPECT_EQ(d.Read(reserve, 8), before);
}

TEST_F(Backups, BothSequencesDamagedIsStructuralDamage) {
  const uint32_t main = V().MainVDSSector, reserve = V().ReserveVDSSector;
  Dismount();
  {
    ImageDamage d = Damage();
    ASSERT_TRUE(d.Write(main, std::vector<uint8_t>(2048, 0)));
    ASSERT_TRUE(d.Write(reserve, std::vector<uint8_t>(2048, 0)));
  }
  EXPECT_FALSE(Mount());
  KBOOL result = 0;
  std::vector<Found> found = CheckFindings(V(), result);
  EXPECT_NE(FindKind(found, KORVA_FINDING_VOLUME_STRUCTURE), nullptr) << Describe(found);
}

TEST_F(Backups, AnImageCutAfterItsLastUsedBlockIsRead) {
  const uint32_t end = layout_.PartitionStart + layout_.PartitionLength;
  Dismount();
  // Every used block lies well before the cut.
  std::filesystem::resize_file(img_->ImagePath(), uint64_t(end - 2000) * 2048);
  ASSERT_EQ(UDF_MountImageReadOnly(&V(), img_->ImagePath().c_str()), KTRUE);
  EXPECT_EQ(UDF_GetVolumeCompatibility(&V()), KTRUE);
  ExpectTreeIntact();
}

// Check reports the lost length and repair gives it back: the image ends after its second
// anchor again, which is written, and a second check is clean.
TEST_F(Backups, RepairGivesAShortenedImageItsLengthBack) {
  const uint32_t end = layout_.PartitionStart + layout_.PartitionLength;
  Dismount();
  std::filesystem::resize_file(img_->ImagePath(), uint64_t(end - 2000) * 2048);
  ASSERT_TRUE(Mount());
  std::vector<Found> found = RepairExpecting(KORVA_FINDING_DESCRIPTOR);
  EXPECT_NE(FindKind(found, KORVA_FINDING_DESCRIPTOR)->Text.find("fewer than its partition"),
            std::string::npos)
      << Describe(found);
  const uint64_t sectors = std::filesystem::file_size(img_->ImagePath()) / 2048;
  EXPECT_GE(sectors, uint64_t(end) + 257);
  EXPECT_LT(sectors, uint64_t(end) + 257 + 32);
  ExpectTreeIntact();
  // The image is read once the volume lets go of it (Windows shares it with no writer).
  Dismount();
  std::vector<uint8_t> anchor = Damage().Read(uint32_t(sectors - 257));
  ASSERT_EQ(anchor.size(), 2048u);
  EXPECT_EQ(LoadLE16(anchor.data()), kTagAnchor);
}

} // namespace
} // namespace korva::test
