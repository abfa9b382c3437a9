// Feeds untrusted bytes to everything that reads on-disc data: the tag check, every descriptor
// parser, compressed Unicode, d-strings and the UTF conversions. The first input byte picks the
// reader; with its top bit set the tag is repaired first (version, serial number, checksum and
// CRC made right) so the structural checks behind the tag get exercised too. Whatever parses
// must rebuild and parse again to the same values.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "udf/byte_order.h"
#include "udf/crc.h"
#include "udf/descriptors.h"
#include "udf/partition_maps.h"
#include "udf/tag.h"
#include "udf/unicode.h"
#include "udf/utf8.h"

using namespace korva;

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

void RepairTag(std::vector<uint8_t> &b) {
  if (b.size() < 16) return;
  StoreLE16(b.data() + 2, 2);
  StoreLE16(b.data() + 6, 1);
  uint16_t crcLength = LoadLE16(b.data() + 10);
  if (crcLength > b.size() - 16) crcLength = static_cast<uint16_t>(b.size() - 16);
  StoreLE16(b.data() + 10, crcLength);
  StoreLE16(b.data() + 8, CalculateCRC(b.data() + 16, crcLength));
  b[4] = TagChecksum(b.data());
}

// `n`: the bytes parsed (a block of up to 4096 bytes of another writer's volume).
void FileEntryRoundTrip(const FileEntryInfo &fe, uint32_t loc, size_t n) {
  // The parser stays within the bytes it was given.
  if (fe.DescriptorOffset + uint64_t(fe.DescriptorLength) > n) std::abort();
  if (fe.Extents.size() * sizeof(UDF_ShortAD) > fe.DescriptorLength) std::abort();
  // The builder records one sector's worth; a longer list is only ever read.
  if (fe.Extents.size() > kFileEntryMaxExtents) return;
  std::vector<uint8_t> out(kSectorSize);
  if (BuildFileEntry(out.data(), out.size(), loc, fe) == 0) {
    Check((fe.ICBFlags & ~(kICBFlagArchive | kICBFlagSystem)) != 0);
    return;
  }
  auto again = ParseFileEntry(out.data(), out.size(), loc);
  Check(again.has_value());
  Check(again->Extents.size() == fe.Extents.size());
  Check(again->InformationLength == fe.InformationLength && again->UniqueID == fe.UniqueID);
}

void OtherWriters(uint8_t which, const uint8_t *p, size_t n) {
  if (which == 0) {
    const uint32_t count = n >= 1 ? p[0] : 0;
    if (auto maps = ParsePartitionMaps(n >= 1 ? p + 1 : p, n >= 1 ? n - 1 : 0, count)) {
      Check(maps->size() == count);
      for (const PartitionMapInfo &m : *maps)
        Check(m.SparingTables.size() <= 4);
    }
  } else if (which == 3) {
    if (auto e = ParseExtendedAD(p, n))
      Check(n >= kExtendedADBytes &&
            (e->RecordedLength & 0x3FFFFFFFu) <= (e->ExtentLength & 0x3FFFFFFFu));
  } else if (auto vat = ParseVat(p, n, which == 1)) {
    Check(vat->Entries.size() * 4 <= n);
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  const uint8_t mode = data[0];
  // An exact-size heap copy, so any read past the end is caught.
  std::vector<uint8_t> b(data + 1, data + size);
  if (mode & 0x80) RepairTag(b);
  const uint8_t *p = b.empty() ? nullptr : b.data();
  const size_t n = b.size();
  const uint32_t loc = n >= 16 ? LoadLE32(p + 12) : 0;

  // Bit 4: the readers of other writers' volumes (partition maps, the VAT, extended
  // allocation descriptors).
  if (mode & 0x10) {
    OtherWriters(mode & 0x0F, p, n);
    return 0;
  }
  switch (mode & 0x0F) {
  case 0:
    IsTagValid(n >= 2 ? LoadLE16(p) : 0, p, n, loc);
    break;
  case 1:
    if (auto a = ParseAnchor(p, n, loc)) Check(n >= 512);
    break;
  case 2:
    if (auto d = ParsePrimaryVolumeDescriptor(p, n, loc)) {
      std::u16string label;
      ReadDString(d->VolumeIdentifier, sizeof d->VolumeIdentifier, label);
      ReadDString(d->VolumeSetIdentifier, sizeof d->VolumeSetIdentifier, label);
    }
    break;
  case 3:
    if (auto d = ParseLogicalVolumeDescriptor(p, n, loc)) {
      Check(uint64_t(d->Descriptor.MapTableLength) + 440 <= n);
      std::u16string label;
      ReadDString(d->Descriptor.LogicalVolumeIdentifier, 128, label);
    }
    break;
  case 4:
    ParsePartitionDescriptor(p, n, loc);
    break;
  case 5:
    ParseImplementationUseVolumeDescriptor(p, n, loc);
    break;
  case 6:
    if (auto d = ParseIntegrityDescriptor(p, n, loc)) Check(d->NumberOfPartitions == 1u);
    break;
  case 7:
    if (auto d = ParseSparingTable(p, n, loc))
      Check(d->Entries.size() == d->Header.ReallocationTableLength);
    break;
  case 8:
    if (auto d = ParseSpaceBitmapHeader(p, n, loc))
      Check(d->NumberOfBytes == SpaceBitmapBytes(d->NumberOfBits));
    break;
  case 9:
    if (auto d = ParseFileSetDescriptor(p, n, loc)) {
      std::u16string label;
      ReadDString(d->FileSetIdentifier, sizeof d->FileSetIdentifier, label);
    }
    break;
  case 10:
    if (auto fe = ParseFileEntry(p, n, loc)) FileEntryRoundTrip(*fe, loc, n);
    break;
  case 11:
    if (auto f = ParseFileIdentifierDescriptor(p, n, loc)) {
      Check(f->TotalLength <= n && f->TotalLength % 4 == 0);
      std::vector<char16_t> name(UncompressedLength(f->NameLength, f->Name));
      UncompressUnicode(f->NameLength, f->Name, name.data(), name.size());
      std::vector<uint8_t> out(f->TotalLength);
      if (f->ImplementationUseLength == 0) {
        Check(BuildFileIdentifierDescriptor(out.data(), out.size(), loc, f->Characteristics,
                                            f->ICB.Location.LogicalBlockNumber, f->Name,
                                            f->NameLength) == f->TotalLength);
        Check(ParseFileIdentifierDescriptor(out.data(), out.size(), loc).has_value());
      }
    }
    break;
  case 12:
    if (auto ads = ParseAllocationExtentDescriptor(p, n, loc))
      Check(ads->size() <= kAllocationExtentMaxExtents);
    break;
  case 13: {
    const auto count = static_cast<int32_t>(n);
    std::vector<char16_t> out(UncompressedLength(count, p));
    const int32_t got = UncompressUnicode(count, p, out.data(), out.size());
    Check(got == -1 || size_t(got) == out.size());
    if (got > 0 && p[0] == 16 && n % 2 == 1) {
      std::vector<uint8_t> back(n);
      Check(CompressUnicode(got, 16, out.data(), back.data()) == count);
      Check(std::memcmp(back.data(), p, n) == 0);
    }
    break;
  }
  case 14: {
    std::u16string wide;
    if (Utf8ToUtf16(reinterpret_cast<const char *>(p), n, wide)) {
      std::string back;
      Check(Utf16ToUtf8(wide, back));
      Check(back.size() == n && (n == 0 || std::memcmp(back.data(), p, n) == 0));
    }
    break;
  }
  case 15: {
    std::vector<char16_t> units(n / 2);
    for (size_t i = 0; i < units.size(); ++i)
      units[i] = LoadLE16(p + 2 * i);
    std::string narrow;
    if (Utf16ToUtf8(units.data(), units.size(), narrow)) {
      std::u16string back;
      Check(Utf8ToUtf16(narrow, back));
      Check(back == std::u16string(units.begin(), units.end()));
    }
    if (n >= 1) {
      std::u16string s;
      ReadDString(p, n, s);
      IsVolumeStructure(p, n, "NSR02");
    }
    break;
  }
  }
  return 0;
}
