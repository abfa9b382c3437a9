#include "volume/medium/partition_map.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>

#include "udf/byte_order.h"
#include "udf/descriptors.h"
#include "volume/engine.h"
#include "volume/engine_state.h"
#include "volume/medium/sparing.h"

namespace korva {
namespace {

// How far back from the medium's last block a write-once volume's VAT is looked for: an
// image or a disc may end in blocks written after it (padding, a closing session's run-out),
// and a drive may report more than was recorded. Blocks that cannot be read end the search
// early, so that a drive does not retry its way through an unrecorded end.
constexpr uint32_t kVatSearchBlocks = 4096;
constexpr uint32_t kVatSearchUnreadable = 32;
// No VAT or metadata file of a volume this engine addresses is larger.
constexpr uint64_t kMaxTableFileBytes = 64ull << 20;

} // namespace

struct Part {
  PartitionKind Kind = PartitionKind::Unknown;
  uint32_t Start = 0, Length = 0;  // the partition descriptor's sectors (of the underlying one)
  uint32_t Offset = 0, Blocks = 0; // its blocks in the engine's block space
  std::vector<uint32_t> Table;     // virtual and metadata: block -> underlying block
  // Sparable, on blocks other than a sector: the first block of each relocated packet ->
  // the medium block it is recorded at now, ascending (sectors go through sparing.h).
  std::vector<std::pair<uint32_t, uint32_t>> Spared;
  uint32_t Packet = 0; // blocks per relocated packet
};

struct PartitionMapState {
  uint32_t Base = 0;
  uint32_t BlockBytes = kSectorSize; // the volume's logical block size
  // Blocks larger than a sector: the engine block of a logical block holds its first sector,
  // and each further sector of it lies this many engine blocks further on (see BlockSpace).
  uint32_t Upper = 0;
  std::vector<Part> Parts; // by partition reference
  std::string Note;
  bool HasCounts = false;
  uint32_t Files = 0, Dirs = 0;
};

void DestroyPart(PartitionMapState *part) { delete part; }

namespace {

const PartitionMapState *StateOf(const TUDFRewritableVolume &v) {
  return PartOf(v, &EngineState::Partitions);
}

const char *KindText(PartitionKind k) {
  switch (k) {
  case PartitionKind::Physical:
    return "plain partition";
  case PartitionKind::Sparable:
    return "sparable partition";
  case PartitionKind::Virtual:
    return "virtual partition (VAT)";
  case PartitionKind::Metadata:
    return "metadata partition";
  default:
    return "partition of unknown kind";
  }
}

const UDF_PartitionDescriptor *DescriptorOf(const ForeignDescriptors &d, uint16_t number) {
  for (const UDF_PartitionDescriptor &p : d.Partitions)
    if (p.PartitionNumber == number) return &p;
  return nullptr;
}

// The data of the file whose entry is `fe` (in block `block` of the partition that starts
// at medium block `start`), read from that partition. Nothing when its data cannot be read.
std::optional<std::vector<uint8_t>> EntryData(TUDFRewritableVolume &v, uint32_t blockBytes,
                                              uint32_t start, const uint8_t *buf,
                                              const FileEntryInfo &fe) {
  if (fe.InformationLength > kMaxTableFileBytes) return std::nullopt;
  const size_t length = static_cast<size_t>(fe.InformationLength);
  if ((fe.ICBFlags & kICBFlagDescriptorMask) == kDescriptorsEmbedded)
    return std::vector<uint8_t>(buf + fe.DescriptorOffset, buf + fe.DescriptorOffset + length);
  std::vector<uint8_t> data;
  for (const UDF_ShortAD &ad : fe.Extents) {
    const uint32_t bytes = ExtentLength(ad);
    const uint64_t blocks = (uint64_t(bytes) + blockBytes - 1) / blockBytes;
    if (ExtentTypeOf(ad) != kExtentRecorded ||
        uint64_t(start) + ad.Position + blocks > MediumBlocks(v, blockBytes))
      return std::nullopt;
    const size_t at = data.size();
    data.resize(at + bytes);
    if (!ReadMediumBytes(v, (uint64_t(start) + ad.Position) * blockBytes, bytes, &data[at]))
      return std::nullopt;
    if (data.size() >= length) break;
  }
  if (data.size() < length) return std::nullopt;
  data.resize(length);
  return data;
}

// The VAT whose file entry is in medium block `at`, if it holds one (a VAT file entry, or
// the unspecified type of a UDF 1.50 VAT).
std::optional<VatInfo> VatAt(TUDFRewritableVolume &v, uint32_t blockBytes, const Part &p,
                             uint32_t at, bool &unreadable) {
  uint8_t buf[kMaxBlockBytes];
  unreadable = !ReadMediumBlock(v, blockBytes, at, buf);
  if (unreadable) return std::nullopt;
  const auto fe = ParseFileEntry(buf, blockBytes, at - p.Start);
  if (!fe || (fe->FileType != kFileTypeVat && fe->FileType != kFileTypeUnspecified))
    return std::nullopt;
  const auto data = EntryData(v, blockBytes, p.Start, buf, *fe);
  if (!data) return std::nullopt;
  return ParseVat(data->data(), data->size(), fe->FileType == kFileTypeVat);
}

// The newest VAT: the file entry nearest the end of the medium.
bool LoadVat(TUDFRewritableVolume &v, Part &p, PartitionMapState &m) {
  const uint64_t blocks = MediumBlocks(v, m.BlockBytes);
  if (blocks == 0 || blocks - 1 > 0xFFFFFFFFu) return false;
  const uint32_t last = static_cast<uint32_t>(blocks - 1);
  uint32_t unreadable = 0;
  for (uint32_t b = last; b >= p.Start && last - b < kVatSearchBlocks; --b) {
    bool failed = false;
    std::optional<VatInfo> vat = VatAt(v, m.BlockBytes, p, b, failed);
    if (failed && ++unreadable > kVatSearchUnreadable) break;
    if (vat) {
      v.LastError = 0; // the unrecorded blocks read on the way are no failure
      p.Table = std::move(vat->Entries);
      m.HasCounts = vat->HasCounts;
      m.Files = vat->Files;
      m.Dirs = vat->Directories;
      return true;
    }
    if (b == 0) break;
  }
  return false;
}

// The blocks of the metadata file (or of its mirror) in the physical partition, in order.
bool LoadMetadataFile(TUDFRewritableVolume &v, Part &p, const PartitionMapInfo &info,
                      uint32_t blockBytes) {
  for (const auto &[block, type] : {std::pair{info.MetadataFile, kFileTypeMetadata},
                                   std::pair{info.MetadataMirror, kFileTypeMetadataMirror}}) {
    uint8_t buf[kMaxBlockBytes];
    if (!ReadMediumBlock(v, blockBytes, uint64_t(p.Start) + block, buf)) continue;
    const auto fe = ParseFileEntry(buf, blockBytes, block);
    if (!fe || fe->FileType != type) continue;
    std::vector<uint32_t> table;
    for (const UDF_ShortAD &ad : fe->Extents) {
      const uint32_t blocks = (ExtentLength(ad) + blockBytes - 1) / blockBytes;
      if (table.size() + blocks > p.Length) break;
      for (uint32_t i = 0; i < blocks; ++i)
        table.push_back(ExtentTypeOf(ad) == kExtentRecorded ? ad.Position + i : kVatUnmapped);
    }
    if (table.empty()) continue;
    p.Table = std::move(table);
    return true;
  }
  return false;
}

// The relocations of a sparing table of blocks other than a sector, from the copy of the
// higher sequence number among the valid ones. Only read: an entry is kept when it starts a
// packet of the partition and its packet lies on the medium.
bool LoadSparedBlocks(TUDFRewritableVolume &v, Part &p, const PartitionMapInfo &info,
                      uint32_t blockBytes) {
  if (info.PacketLength == 0 || info.SparingTableBytes < sizeof(UDF_SparingTableHeader) ||
      info.SparingTableBytes > SparingTableSize(0xFFFF))
    return false;
  const uint64_t blocks = MediumBlocks(v, blockBytes);
  std::optional<SparingTableInfo> best;
  std::vector<uint8_t> buf(info.SparingTableBytes);
  for (const uint32_t at : info.SparingTables) {
    if (at >= blocks || !ReadMediumBytes(v, uint64_t(at) * blockBytes, buf.size(), buf.data()))
      continue;
    auto t = ParseSparingTable(buf.data(), buf.size(), at);
    if (t && (!best || SupersedesSparingCopy(*t, *best))) best = std::move(t);
  }
  v.LastError = 0; // an unreadable copy is what the other is for
  if (!best) return false;
  p.Packet = info.PacketLength;
  for (const UDF_SparingEntry &e : best->Entries) {
    const uint32_t original = e.OriginalLocation, mapped = e.MappedLocation;
    if (original % p.Packet == 0 && original < p.Length && uint64_t(mapped) + p.Packet <= blocks)
      p.Spared.emplace_back(original, mapped);
  }
  std::sort(p.Spared.begin(), p.Spared.end());
  p.Spared.erase(std::unique(p.Spared.begin(), p.Spared.end(),
                             [](const auto &a, const auto &b) { return a.first == b.first; }),
                 p.Spared.end());
  return true;
}

// Honours the relocations of a sparable partition's table; a table that cannot be read
// leaves the blocks where the partition says (noted).
void LoadSparing(TUDFRewritableVolume &v, Part &p, const PartitionMapInfo &info,
                 PartitionMapState &m) {
  if (info.SparingTables.empty()) return;
  if (m.BlockBytes != kSectorSize) {
    if (!LoadSparedBlocks(v, p, info, m.BlockBytes))
      m.Note += "; its sparing table cannot be used, relocated packets are not followed";
    return;
  }
  SparingLayout l;
  l.Table1 = info.SparingTables[0];
  l.Table2 = info.SparingTables.size() > 1 ? info.SparingTables[1] : info.SparingTables[0];
  l.TableBytes = info.SparingTableBytes;
  l.PacketLength = info.PacketLength;
  l.PartitionStart = p.Start;
  l.PartitionLength = p.Length;
  if (LoadSparingMap(v, l) != SparingLoad::Ok) {
    v.LastError = 0;
    m.Note += "; its sparing table cannot be used, relocated packets are not followed";
  }
}

// Where block `lb` of a plain or sparable partition is recorded, and how many of the `run`
// blocks from it follow it there.
uint32_t PlainBlocks(const Part &p, uint32_t lb, uint32_t run, uint32_t &physical) {
  physical = p.Start + lb;
  if (p.Spared.empty()) return run;
  const uint32_t packet = lb - lb % p.Packet;
  const auto it = std::lower_bound(p.Spared.begin(), p.Spared.end(),
                                   std::pair<uint32_t, uint32_t>(packet, 0));
  if (it != p.Spared.end() && it->first == packet) {
    physical = it->second + lb % p.Packet;
    return std::min(run, p.Packet - lb % p.Packet);
  }
  const uint32_t next = it == p.Spared.end() ? p.Length : it->first;
  return std::min(run, std::max(1u, next - lb));
}

bool BuildPart(TUDFRewritableVolume &v, const ForeignDescriptors &d, const PartitionMapInfo &info,
               PartitionMapState &m, Part &p, std::string &why) {
  p.Kind = info.Kind;
  const UDF_PartitionDescriptor *pd = DescriptorOf(d, info.PartitionNumber);
  if (p.Kind == PartitionKind::Unknown) return true; // nothing of it is read
  if (!pd || pd->PartitionStartingLocation >= MediumBlocks(v, m.BlockBytes)) {
    why = "partition " + std::to_string(info.PartitionNumber) + " lies outside the medium";
    return false;
  }
  p.Start = pd->PartitionStartingLocation;
  p.Length = pd->PartitionLength;
  switch (p.Kind) {
  case PartitionKind::Virtual:
    if (!LoadVat(v, p, m)) {
      why = "the virtual allocation table (VAT) cannot be found or read";
      return false;
    }
    p.Blocks = static_cast<uint32_t>(p.Table.size());
    return true;
  case PartitionKind::Metadata:
    if (!LoadMetadataFile(v, p, info, m.BlockBytes)) {
      why = "neither the metadata file nor its mirror can be read";
      return false;
    }
    p.Blocks = static_cast<uint32_t>(p.Table.size());
    return true;
  case PartitionKind::Sparable:
    LoadSparing(v, p, info, m);
    [[fallthrough]];
  default:
    p.Blocks = p.Length;
    return true;
  }
}

// Places the file set's partition first, the others after it; the further sectors of
// blocks larger than a sector follow all of them.
bool LayOut(TUDFRewritableVolume &v, PartitionMapState &m, uint16_t main, std::string &why) {
  const uint32_t pb = PacketBlocksOf(v);
  m.Base = static_cast<uint32_t>((uint64_t(v.TotalSectors) + pb - 1) / pb * pb);
  uint64_t next = m.Parts[main].Blocks;
  for (size_t i = 0; i < m.Parts.size(); ++i) {
    if (i == main) continue;
    m.Parts[i].Offset = static_cast<uint32_t>(std::min<uint64_t>(next, 0xFFFFFFFFu));
    next += m.Parts[i].Blocks;
  }
  const uint32_t pieces = std::max(1u, m.BlockBytes / kSectorSize);
  if (m.Base + next * pieces >= kUnmappedSector) {
    why = "the partitions are too large to address";
    return false;
  }
  m.Upper = pieces > 1 ? static_cast<uint32_t>(next) : 0;
  v.PartitionStart = m.Base;
  v.PartitionLength = static_cast<uint32_t>(next * pieces);
  return true;
}

} // namespace

bool InstallPartitionMap(TUDFRewritableVolume &v, const ForeignDescriptors &d, std::string &why) {
  ReleasePartitionMap(v);
  const uint16_t main = d.FileSet.Location.PartitionReferenceNumber;
  if (d.Maps.empty() || main >= d.Maps.size()) {
    why = "the file set lies in a partition the volume does not map";
    return false;
  }
  auto m = std::make_unique<PartitionMapState>();
  m->BlockBytes = d.BlockBytes;
  m->Parts.resize(d.Maps.size());
  for (size_t i = 0; i < d.Maps.size(); ++i)
    if (!BuildPart(v, d, d.Maps[i], *m, m->Parts[i], why)) return false;
  if (m->Parts[main].Blocks == 0) {
    why = std::string("the file set lies in a ") + KindText(m->Parts[main].Kind);
    return false;
  }
  if (!LayOut(v, *m, main, why)) return false;
  const uint32_t fsd = d.FileSet.Location.LogicalBlockNumber;
  if (fsd >= m->Parts[main].Blocks) {
    why = "the file set descriptor lies outside its partition";
    return false;
  }
  v.FileSetSector = m->Base + fsd;
  std::string kinds;
  for (const Part &p : m->Parts)
    if (kinds.find(KindText(p.Kind)) == std::string::npos)
      kinds += std::string(kinds.empty() ? "" : ", ") + KindText(p.Kind);
  m->Note = (d.Revision ? "UDF " + RevisionText(d.Revision) : std::string("ECMA-167")) +
            " volume written by \"" + d.Writer + "\", " + kinds +
            (d.BlockBytes != kSectorSize ? ", " + std::to_string(d.BlockBytes) + "-byte blocks"
                                         : std::string()) +
            m->Note;
  EngineOf(v).Partitions.reset(m.release());
  return true;
}

void ReleasePartitionMap(TUDFRewritableVolume &v) {
  DropPart(v, &EngineState::Partitions);
}

bool HasPartitionMap(const TUDFRewritableVolume &v) {
  return StateOf(v) != nullptr;
}

void NoteUnreadableVolume(TUDFRewritableVolume &v, const std::string &why) {
  ReleasePartitionMap(v);
  EnginePart<PartitionMapState> m(new PartitionMapState);
  m->Base = kUnmappedSector; // every sector is itself
  m->Note = "another writer's volume that cannot be read: " + why;
  EngineOf(v).Partitions = std::move(m);
}

namespace {

// Blocks [lb, lb + run) of a partition mapped through its table (VAT or metadata file): the
// blocks of the run that map to consecutive blocks, with the first's place in `physical`.
uint32_t TableBlocks(const Part &p, uint32_t lb, uint32_t run, uint32_t &physical) {
  const uint32_t first = p.Table[lb];
  physical = first == kVatUnmapped || first >= p.Length ? kUnmappedSector : p.Start + first;
  uint32_t n = 1;
  while (physical != kUnmappedSector && n < run && p.Table[lb + n] == first + n)
    ++n;
  return n;
}

// The whole blocks, larger than a sector, that the medium holds. A block past its end reads
// as zeros, as where a run of sectors reaches it (a partition may be longer than what was
// recorded of it).
uint32_t WholeBlocksOnMedium(const TUDFRewritableVolume &v, const PartitionMapState &m) {
  return v.TotalSectors / (m.BlockBytes / kSectorSize);
}

// The sector holding sector `piece` of the block at `physical`, for blocks larger than a
// sector.
uint32_t PieceOfBlock(const TUDFRewritableVolume &v, const PartitionMapState &m,
                      uint32_t physical, uint32_t piece) {
  if (physical == kUnmappedSector || physical >= WholeBlocksOnMedium(v, m))
    return kUnmappedSector;
  return physical * (m.BlockBytes / kSectorSize) + piece;
}

// Blocks [b, b + count) of the block space: how many of them lie one after another on the
// medium, the first at the partition's block `physical` (kUnmappedSector for none).
uint32_t MapBlocks(const PartitionMapState &m, uint32_t b, uint32_t count, uint32_t &physical) {
  for (const Part &p : m.Parts) {
    if (b < p.Offset || b - p.Offset >= p.Blocks) continue;
    const uint32_t lb = b - p.Offset;
    const uint32_t run = std::min(count, p.Blocks - lb);
    return p.Table.empty() ? PlainBlocks(p, lb, run, physical) : TableBlocks(p, lb, run, physical);
  }
  physical = kUnmappedSector;
  return 1;
}

} // namespace

uint32_t MapSectors(const TUDFRewritableVolume &v, uint32_t sector, uint32_t count,
                    uint32_t &physical) {
  physical = sector;
  const PartitionMapState *m = StateOf(v);
  if (!m || count == 0) return count;
  if (sector < m->Base) return std::min(count, m->Base - sector);
  uint32_t b = sector - m->Base, piece = 0;
  if (!m->Upper) return MapBlocks(*m, b, count, physical);
  // Sector `piece` of a block larger than a sector: one sector, apart from its neighbours.
  piece = b / m->Upper;
  b %= m->Upper;
  const uint32_t n = MapBlocks(*m, b, 1, physical);
  physical = PieceOfBlock(v, *m, physical, piece);
  return n;
}

uint32_t MapWholeBlocks(const TUDFRewritableVolume &v, uint32_t sector, uint32_t count,
                        uint32_t &physical) {
  physical = kUnmappedSector;
  const PartitionMapState *m = StateOf(v);
  if (!m || !m->Upper || count == 0 || sector < m->Base || sector - m->Base >= m->Upper)
    return 0;
  const uint32_t b = sector - m->Base;
  const uint32_t n = MapBlocks(*m, b, std::min(count, m->Upper - b), physical);
  if (physical == kUnmappedSector) return n;
  // Only what the medium holds: a block past its end reads as zeros, one at a time.
  const uint32_t onMedium = WholeBlocksOnMedium(v, *m);
  if (physical >= onMedium) {
    physical = kUnmappedSector;
    return 1;
  }
  const uint32_t held = std::min(n, onMedium - physical);
  physical = PieceOfBlock(v, *m, physical, 0);
  return held;
}

BlockSpace BlockSpaceOf(const TUDFRewritableVolume &v) {
  BlockSpace s(v.PartitionLength);
  if (const PartitionMapState *m = StateOf(v)) {
    for (const Part &p : m->Parts)
      s.RefStart.push_back(p.Blocks ? p.Offset : kUnmappedSector);
    s.BlockBytes = m->BlockBytes;
    if (m->Upper) s.Length = s.Upper = m->Upper;
  }
  return s;
}

uint32_t BlockBytesOf(const TUDFRewritableVolume &v) {
  const PartitionMapState *m = StateOf(v);
  return m ? m->BlockBytes : kSectorSize;
}

uint32_t SmallBlockBytes(const TUDFRewritableVolume &v, uint32_t sector) {
  const PartitionMapState *m = StateOf(v);
  return m && m->BlockBytes < kSectorSize && sector >= m->Base ? m->BlockBytes : 0;
}

bool InOtherBlockSize(const TUDFRewritableVolume &v, uint32_t sector) {
  const PartitionMapState *m = StateOf(v);
  return m && m->BlockBytes != kSectorSize && sector >= m->Base;
}

std::string ForeignVolumeNote(const TUDFRewritableVolume &v) {
  const PartitionMapState *m = StateOf(v);
  return m ? m->Note : std::string();
}

const char *ForeignVolumeNoteText(const TUDFRewritableVolume &v) {
  const PartitionMapState *m = StateOf(v);
  return m ? m->Note.c_str() : "";
}

bool ForeignVolumeCounts(const TUDFRewritableVolume &v, uint32_t &files, uint32_t &dirs) {
  const PartitionMapState *m = StateOf(v);
  if (!m || !m->HasCounts) return false;
  files = m->Files;
  dirs = m->Dirs;
  return true;
}

} // namespace korva
