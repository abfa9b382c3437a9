// The in-memory space bitmap: first fit from the hint, no wrap, marking, and the bounds.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <thread>
#include <vector>

#include <cstdlib>
#include <memory>
#include "volume/engine.h"
#include "volume/medium/packet_cache.h"

namespace korva {
namespace {

// A zero-filled record on the heap (it is too large for a stack). Taking blocks makes the
// packet cache note them; it goes with the record.
struct Free {
  void operator()(TUDFRewritableVolume *v) const {
    ReleasePacketCache(*v);
    std::free(v);
  }
};
using Record = std::unique_ptr<TUDFRewritableVolume, Free>;
Record NewRecord() {
  return Record(static_cast<TUDFRewritableVolume *>(std::calloc(1, sizeof(TUDFRewritableVolume))));
}

class SpaceBitmapTest : public ::testing::Test {
protected:
  void SetBitmap(std::vector<uint8_t> bytes, uint32_t blocks) {
    bitmap_ = std::move(bytes);
    v_->SpaceBitmap = bitmap_.data();
    v_->SpaceBitmapBytes = static_cast<uint32_t>(bitmap_.size());
    v_->PartitionLength = blocks;
  }
  void TearDown() override {
    // The bitmap belongs to the test, not the engine.
    v_->SpaceBitmap = nullptr;
    v_->SpaceBitmapBytes = 0;
  }
  Record v_ = NewRecord();
  std::vector<uint8_t> bitmap_;
};

TEST_F(SpaceBitmapTest, FirstFitHonoursTheHintInsideTheFirstByte) {
  SetBitmap({0x00, 0xFF, 0x00}, 24);
  uint32_t first = 0, length = 0;
  // Bits below position 5 of byte 1 are not eligible for hint 13.
  ASSERT_TRUE(FindFreeRun(*v_, 13, 100, false, first, length).IsOk() && length > 0);
  EXPECT_EQ(first, 13u);
  EXPECT_EQ(length, 3u);
  ASSERT_TRUE(FindFreeRun(*v_, 0, 4, false, first, length).IsOk() && length > 0);
  EXPECT_EQ(first, 8u);
  EXPECT_EQ(length, 4u);
  EXPECT_EQ(bitmap_[1], 0xFF) << "searching without marking changes nothing";
}

TEST_F(SpaceBitmapTest, RunsCrossBytesStopAtUsedBlocksAndNeverWrap) {
  SetBitmap({0xF0, 0xFF, 0x03, 0x00, 0x01}, 33);
  uint32_t first = 0, length = 0;
  ASSERT_TRUE(FindFreeRun(*v_, 0, 100, false, first, length).IsOk() && length > 0);
  EXPECT_EQ(first, 4u);
  EXPECT_EQ(length, 14u); // blocks 4..17
  // From past the run: the lone free block at the end, shorter than wanted.
  ASSERT_TRUE(FindFreeRun(*v_, 18, 8, false, first, length).IsOk() && length > 0);
  EXPECT_EQ(first, 32u);
  EXPECT_EQ(length, 1u);
  // Nothing free at or after 33 and no wrap-around to the start.
  EXPECT_TRUE(FindFreeRun(*v_, 33, 1, false, first, length).IsOk() && length == 0);
  EXPECT_TRUE(FindFreeRun(*v_, 4000, 1, false, first, length).IsOk() && length == 0);
}

TEST_F(SpaceBitmapTest, MarkingTakesExactlyTheRunAndMarkRunGivesItBack) {
  SetBitmap({0xFF, 0xFF}, 16);
  uint32_t first = 0, length = 0;
  ASSERT_TRUE(FindFreeRun(*v_, 3, 6, true, first, length).IsOk() && length > 0);
  EXPECT_EQ(first, 3u);
  EXPECT_EQ(length, 6u);
  EXPECT_EQ(bitmap_[0], 0x07);
  EXPECT_EQ(bitmap_[1], 0xFE);
  // The lowest free block is now 0, then 9.
  ASSERT_TRUE(FindFreeRun(*v_, 0, 1, true, first, length).IsOk() && length > 0);
  EXPECT_EQ(first, 0u);
  ASSERT_TRUE(FindFreeRun(*v_, 1, 1, true, first, length).IsOk() && length > 0);
  EXPECT_EQ(first, 1u);
  MarkRun(*v_, 3, 6, false);
  EXPECT_EQ(bitmap_[0], 0xFC);
  EXPECT_EQ(bitmap_[1], 0xFF);
}

TEST_F(SpaceBitmapTest, MarkRunStaysInsideThePartition) {
  SetBitmap({0x00, 0x00}, 12);
  MarkRun(*v_, 10, 100, false); // would run far past the bitmap
  EXPECT_EQ(bitmap_[1], 0x0C);  // blocks 10 and 11 only
  MarkRun(*v_, 0xFFFFFFF0u, 0x20, false);
  EXPECT_EQ(bitmap_[0], 0x00);
}

// A step of the bitmap that fails names its reason: its callers (format, dismount, repair)
// pass a failure on and must never report one without a number.
TEST(SpaceBitmapFailure, EveryRefusalCarriesItsNumber) {
  Record v = NewRecord();
  EXPECT_EQ(StoreSpaceBitmap(*v).Error(), uint32_t(KORVA_E_NOT_COMPATIBLE))
      << "nothing in memory to store";

  EXPECT_EQ(BuildFreshSpaceBitmap(*v, 0).Error(), uint32_t(KORVA_E_NOT_COMPATIBLE))
      << "a record without a partition";
  EXPECT_EQ(v->SpaceBitmap, nullptr);

  // A descriptor that does not start a packet is refused before anything is read.
  v->PacketBlocks = 16;
  v->PartitionLength = 64;
  v->SpaceBitmapSector = 3;
  v->SpaceBitmapBlocks = 1;
  EXPECT_EQ(LoadSpaceBitmap(*v).Error(), uint32_t(KORVA_E_DAMAGED));
  // Nor may it be too short for the partition's bits.
  v->SpaceBitmapSector = 32;
  v->PartitionLength = 64 * 1024;
  EXPECT_EQ(LoadSpaceBitmap(*v).Error(), uint32_t(KORVA_E_DAMAGED));
  EXPECT_EQ(v->SpaceBitmap, nullptr);
}

TEST(SpaceBitmapFailure, AFreshBitmapFreesAllButTheUsedBlocks) {
  Record v = NewRecord();
  v->PartitionLength = 20;
  ASSERT_TRUE(BuildFreshSpaceBitmap(*v, 5).IsOk());
  ASSERT_EQ(v->SpaceBitmapBytes, 3u);
  EXPECT_EQ(v->SpaceBitmap[0], 0xE0);
  EXPECT_EQ(v->SpaceBitmap[1], 0xFF);
  EXPECT_EQ(v->SpaceBitmap[2], 0x0F) << "bits past the partition stay used";
  EXPECT_EQ(CountFreeBlocks(*v), 15u);
  ReleaseSpaceBitmap(*v);
}

TEST(ErrorTable, MessagesInBothFormsAndGaps) {
  auto v = NewRecord();
  EXPECT_STREQ(UDF_GetLastErrorDescription(v.get()), "No error.");
  v->LastError = 8;
  EXPECT_STREQ(UDF_GetLastErrorDescription(v.get()),
               "Specified UDF File Handle doesn't possess appropriate access right to perform "
               "the operation.");
  EXPECT_EQ(std::u16string(UDF_GetLastErrorDescriptionW(v.get())),
            u"Specified UDF file handle doesn't possess appropriate access right to perform "
            u"the operation.");
  // Every other number reads the same in both forms.
  for (uint32_t n = 0; n <= KORVA_E_LOOP; ++n) {
    if (n == 8) continue;
    v->LastError = n;
    const char *text = UDF_GetLastErrorDescription(v.get());
    const KWCHAR *wide = UDF_GetLastErrorDescriptionW(v.get());
    ASSERT_EQ(text == nullptr, wide == nullptr) << n;
    if (!text) continue;
    std::u16string widened(text, text + std::strlen(text));
    EXPECT_EQ(widened, std::u16string(wide)) << n;
  }
  v->LastError = 20;
  EXPECT_EQ(UDF_GetLastErrorDescription(v.get()), nullptr);
  v->LastError = KORVA_E_LOOP + 1;
  EXPECT_EQ(UDF_GetLastErrorDescriptionW(v.get()), nullptr);
  v->LastError = 24;
  EXPECT_STREQ(UDF_GetLastErrorDescription(v.get()), "Capacity is too small for a UDF volume.");
  v->LastError = 0x10016;
  EXPECT_EQ(UDF_GetLastErrorNumber(v.get()), 0x16);
}

TEST(OSError, IsPerThreadAndSetsErrno) {
  KorvaSetLastOSError(KORVA_ERROR_ALREADY_EXISTS);
  EXPECT_EQ(errno, EEXIST);
  uint32_t seen = 1;
  std::thread([&] { seen = KorvaGetLastOSError(); }).join();
  EXPECT_EQ(seen, 0u);
  EXPECT_EQ(KorvaGetLastOSError(), uint32_t(KORVA_ERROR_ALREADY_EXISTS));
  KorvaSetLastOSError(0);
}

} // namespace
} // namespace korva
