// The partition maps, VAT and revision of other writers' volumes, as read from raw bytes.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "udf/byte_order.h"
#include "udf/partition_maps.h"

using namespace korva;

namespace {

std::vector<uint8_t> Type2Map(const char *identifier, uint16_t partition) {
  std::vector<uint8_t> m(64, 0);
  m[0] = 2;
  m[1] = 64;
  std::memcpy(&m[5], identifier, std::strlen(identifier));
  StoreLE16(&m[38], partition);
  return m;
}

TEST(PartitionMaps, EveryKindIsRecognisedInOrder) {
  std::vector<uint8_t> table = {1, 6, 1, 0, 3, 0}; // plain map of partition 3
  auto sparable = Type2Map("*UDF Sparable Partition", 3);
  StoreLE16(&sparable[40], 32);   // packet length
  sparable[42] = 2;               // two tables
  StoreLE32(&sparable[44], 2048); // bytes each
  StoreLE32(&sparable[48], 100);
  StoreLE32(&sparable[52], 4000);
  auto metadata = Type2Map("*UDF Metadata Partition", 3);
  StoreLE32(&metadata[40], 77);
  StoreLE32(&metadata[44], 900);
  metadata[58] = 1;
  for (const auto &m : {sparable, Type2Map("*UDF Virtual Partition", 3), metadata,
                        Type2Map("*Someone Else", 9)})
    table.insert(table.end(), m.begin(), m.end());
  const auto maps = ParsePartitionMaps(table.data(), table.size(), 5);
  ASSERT_TRUE(maps);
  ASSERT_EQ(maps->size(), 5u);
  EXPECT_EQ((*maps)[0].Kind, PartitionKind::Physical);
  EXPECT_EQ((*maps)[0].PartitionNumber, 3);
  EXPECT_EQ((*maps)[1].Kind, PartitionKind::Sparable);
  EXPECT_EQ((*maps)[1].PacketLength, 32);
  EXPECT_EQ((*maps)[1].SparingTableBytes, 2048u);
  EXPECT_EQ((*maps)[1].SparingTables, (std::vector<uint32_t>{100, 4000}));
  EXPECT_EQ((*maps)[2].Kind, PartitionKind::Virtual);
  EXPECT_EQ((*maps)[3].Kind, PartitionKind::Metadata);
  EXPECT_EQ((*maps)[3].MetadataFile, 77u);
  EXPECT_EQ((*maps)[3].MetadataMirror, 900u);
  EXPECT_TRUE((*maps)[3].MetadataDuplicated);
  EXPECT_EQ((*maps)[4].Kind, PartitionKind::Unknown);
  // A count that runs past the table, or a map longer than what is left of it.
  EXPECT_FALSE(ParsePartitionMaps(table.data(), table.size(), 6));
  EXPECT_FALSE(ParsePartitionMaps(table.data(), table.size() - 1, 5));
  EXPECT_FALSE(ParsePartitionMaps(table.data(), 1, 1));
  const uint8_t zeroLength[2] = {1, 0};
  EXPECT_FALSE(ParsePartitionMaps(zeroLength, 2, 1));
}

TEST(PartitionMaps, RevisionsOfTheOstaDomain) {
  UDF_EntityID domain{};
  std::memcpy(domain.Identifier, "*OSTA UDF Compliant", 19);
  for (const auto &[bytes, text] : {std::pair{0x0102, "1.02"}, std::pair{0x0150, "1.50"},
                                   std::pair{0x0201, "2.01"}, std::pair{0x0260, "2.60"}}) {
    StoreLE16(domain.IdentifierSuffix, uint16_t(bytes));
    EXPECT_EQ(DomainRevision(domain), bytes);
    EXPECT_EQ(RevisionText(DomainRevision(domain)), text);
  }
  domain.Identifier[1] = 'X';
  EXPECT_EQ(DomainRevision(domain), 0);
}

TEST(Vat, BothFormsAndTheirDamage) {
  // 2.00 and later: a 152-byte header (and 4 bytes of implementation use), then entries.
  std::vector<uint8_t> vat(156 + 3 * 4, 0);
  StoreLE16(&vat[0], 156);
  StoreLE16(&vat[2], 4);
  StoreLE32(&vat[132], 0xFFFFFFFFu); // no previous table
  StoreLE32(&vat[136], 7);           // files
  StoreLE32(&vat[140], 2);           // directories
  for (uint32_t i = 0; i < 3; ++i)
    StoreLE32(&vat[156 + 4 * i], i == 1 ? kVatUnmapped : 40 + i);
  auto info = ParseVat(vat.data(), vat.size(), true);
  ASSERT_TRUE(info);
  EXPECT_EQ(info->Entries, (std::vector<uint32_t>{40, kVatUnmapped, 42}));
  EXPECT_TRUE(info->HasCounts);
  EXPECT_EQ(info->Files, 7u);
  EXPECT_EQ(info->Directories, 2u);
  EXPECT_FALSE(ParseVat(vat.data(), vat.size() - 1, true)) << "entries not whole";
  StoreLE16(&vat[0], 2000);
  EXPECT_FALSE(ParseVat(vat.data(), vat.size(), true)) << "header past the data";
  StoreLE16(&vat[0], 100);
  EXPECT_FALSE(ParseVat(vat.data(), vat.size(), true)) << "header shorter than its fields";
  EXPECT_FALSE(ParseVat(vat.data(), 100, true));

  // 1.50: entries, then the identifier and the previous table's location.
  std::vector<uint8_t> old(2 * 4 + 36, 0);
  StoreLE32(&old[0], 5);
  StoreLE32(&old[4], 6);
  std::memcpy(&old[9], "*UDF Virtual Alloc Tbl", 22);
  info = ParseVat(old.data(), old.size(), false);
  ASSERT_TRUE(info);
  EXPECT_EQ(info->Entries, (std::vector<uint32_t>{5, 6}));
  EXPECT_FALSE(info->HasCounts);
  old[10] ^= 1;
  EXPECT_FALSE(ParseVat(old.data(), old.size(), false)) << "no identifier";
  EXPECT_FALSE(ParseVat(old.data(), 20, false));
  EXPECT_FALSE(ParseVat(nullptr, 0, false));
}

} // namespace
