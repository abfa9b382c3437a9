#include "udf/partition_maps.h"

#include <cstring>
#include <string>

namespace korva {
namespace {

PartitionMapInfo Type2(const UDF_Type2PartitionMap &m) {
  PartitionMapInfo info;
  info.PartitionNumber = m.PartitionNumber;
  const UDF_EntityID &id = m.PartitionTypeIdentifier;
  if (HasEntityIdentifier(id, "*UDF Sparable Partition")) {
    UDF_SparableMapFields f;
    std::memcpy(&f, m.TypeSpecific, sizeof f);
    info.Kind = PartitionKind::Sparable;
    info.PacketLength = f.PacketLength;
    info.SparingTableBytes = f.SizeofEachSparingTable;
    const uint8_t tables = f.NumberofSparingTables < 4 ? f.NumberofSparingTables : 4;
    for (uint8_t i = 0; i < tables; ++i)
      info.SparingTables.push_back(f.LocationsofSparingTables[i]);
  } else if (HasEntityIdentifier(id, "*UDF Virtual Partition")) {
    info.Kind = PartitionKind::Virtual;
  } else if (HasEntityIdentifier(id, "*UDF Metadata Partition")) {
    UDF_MetadataMapFields f;
    std::memcpy(&f, m.TypeSpecific, sizeof f);
    info.Kind = PartitionKind::Metadata;
    info.MetadataFile = f.MetadataFileLocation;
    info.MetadataMirror = f.MetadataMirrorFileLocation;
    info.MetadataDuplicated = (f.Flags & 1) != 0;
  }
  return info;
}

} // namespace

std::optional<std::vector<PartitionMapInfo>> ParsePartitionMaps(const uint8_t *table,
                                                                size_t length, uint32_t count) {
  std::vector<PartitionMapInfo> maps;
  size_t pos = 0;
  for (uint32_t i = 0; i < count; ++i) {
    if (table == nullptr || pos + 2 > length) return std::nullopt;
    const uint8_t type = table[pos], mapLength = table[pos + 1];
    if (mapLength < 2 || pos + mapLength > length) return std::nullopt;
    if (type == 1 && mapLength == sizeof(UDF_Type1PartitionMap)) {
      UDF_Type1PartitionMap m;
      std::memcpy(&m, table + pos, sizeof m);
      PartitionMapInfo info;
      info.Kind = PartitionKind::Physical;
      info.PartitionNumber = m.PartitionNumber;
      maps.push_back(info);
    } else if (type == 2 && mapLength == sizeof(UDF_Type2PartitionMap)) {
      UDF_Type2PartitionMap m;
      std::memcpy(&m, table + pos, sizeof m);
      maps.push_back(Type2(m));
    } else {
      maps.push_back(PartitionMapInfo());
    }
    pos += mapLength;
  }
  return maps;
}

uint16_t DomainRevision(const UDF_EntityID &domain) {
  if (!HasEntityIdentifier(domain, "*OSTA UDF Compliant")) return 0;
  return uint16_t(domain.IdentifierSuffix[0] | (domain.IdentifierSuffix[1] << 8));
}

std::string RevisionText(uint16_t revision) {
  static const char kHex[] = "0123456789abcdef";
  std::string s;
  s += kHex[(revision >> 8) & 0xF];
  s += '.';
  s += kHex[(revision >> 4) & 0xF];
  s += kHex[revision & 0xF];
  if (revision >> 12) s.insert(s.begin(), kHex[revision >> 12]);
  return s;
}

std::optional<VatInfo> ParseVat(const uint8_t *data, size_t length, bool withHeader) {
  VatInfo vat;
  size_t first = 0, end = length;
  if (data == nullptr) return std::nullopt;
  if (withHeader) {
    UDF_VatHeader h;
    if (length < sizeof h) return std::nullopt;
    std::memcpy(&h, data, sizeof h);
    if (h.LengthofHeader < sizeof h || h.LengthofHeader > length) return std::nullopt;
    first = h.LengthofHeader;
    vat.HasCounts = true;
    vat.Files = h.NumberofFiles;
    vat.Directories = h.NumberofDirectories;
  } else {
    // Entries, then a 32-byte identifier and the previous table's 4-byte location.
    constexpr size_t kTrailer = sizeof(UDF_EntityID) + 4;
    if (length < kTrailer) return std::nullopt;
    UDF_EntityID id;
    std::memcpy(&id, data + length - kTrailer, sizeof id);
    if (!HasEntityIdentifier(id, "*UDF Virtual Alloc Tbl")) return std::nullopt;
    end = length - kTrailer;
  }
  if ((end - first) % 4 != 0) return std::nullopt;
  vat.Entries.resize((end - first) / 4);
  for (size_t i = 0; i < vat.Entries.size(); ++i) {
    le32 e;
    std::memcpy(&e, data + first + 4 * i, 4);
    vat.Entries[i] = e;
  }
  return vat;
}

} // namespace korva
