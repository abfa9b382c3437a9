#include "tests/recovery/damage.h"

#include <cstring>

#include "udf/byte_order.h"
#include "udf/descriptors.h"
#include "udf/tag.h"
#include "volume/fs/fs_dir.h"

namespace korva::test {

Layout LayoutOf(const TUDFRewritableVolume &v) {
  Layout l;
  l.PartitionStart = v.PartitionStart;
  l.PartitionLength = v.PartitionLength;
  l.IntegritySector = v.IntegritySector;
  l.BitmapSector = v.SpaceBitmapSector;
  l.BitmapSectors = SpaceBitmapSectors(v.PartitionLength);
  return l;
}

ImageDamage::ImageDamage(const std::string &path, const Layout &layout)
    : io_(KorvaPosixImageIO()), layout_(layout) {
  ok_ = io_->Open(io_->Context, path.c_str(), &handle_) == 0;
}

ImageDamage::~ImageDamage() {
  if (ok_) {
    io_->Flush(io_->Context, handle_);
    io_->Close(io_->Context, handle_);
  }
}

std::vector<uint8_t> ImageDamage::Read(uint32_t sector, uint32_t count) {
  std::vector<uint8_t> d(size_t(count) * kSectorSize);
  if (io_->ReadAt(io_->Context, handle_, d.data(), uint32_t(d.size()),
                  uint64_t(sector) * kSectorSize) != 0)
    d.clear();
  return d;
}

bool ImageDamage::Write(uint32_t sector, const std::vector<uint8_t> &data) {
  return io_->WriteAt(io_->Context, handle_, data.data(), uint32_t(data.size()),
                      uint64_t(sector) * kSectorSize) == 0;
}

bool ImageDamage::Edit(uint32_t sector, uint32_t tagLocation,
                       const std::function<void(uint8_t *)> &change) {
  std::vector<uint8_t> d = Read(sector);
  if (d.empty()) return false;
  change(d.data());
  FillTagAt(d.data(), LoadLE16(d.data()), LoadLE16(d.data() + 10), tagLocation);
  return Write(sector, d);
}

bool ImageDamage::SetBitmap(uint32_t first, uint32_t count, bool free) {
  std::vector<uint8_t> d = Read(layout_.BitmapSector, layout_.BitmapSectors);
  if (d.empty()) return false;
  for (uint32_t b = first; b < first + count; ++b) {
    uint8_t &byte = d[24 + b / 8];
    byte = free ? uint8_t(byte | (1u << (b % 8))) : uint8_t(byte & ~(1u << (b % 8)));
  }
  // Whatever the descriptor's CRC covers, it must agree with the changed bits.
  const uint16_t crcLength = LoadLE16(d.data() + 10);
  FillTagAt(d.data(), kTagSpaceBitmap, crcLength, layout_.BitmapSector - layout_.PartitionStart);
  return Write(layout_.BitmapSector, d);
}

bool ImageDamage::RecordedFree(uint32_t block) {
  std::vector<uint8_t> d = Read(layout_.BitmapSector, layout_.BitmapSectors);
  return !d.empty() && (d[24 + block / 8] & (1u << (block % 8)));
}

bool ImageDamage::FindFid(uint32_t dataBlock, const std::string &name, uint32_t &offset) {
  std::vector<uint8_t> d = Read(layout_.PartitionStart + dataBlock);
  if (d.empty()) return false;
  for (uint32_t off = 0; off + 38 <= d.size();) {
    const auto fid = ParseFileIdentifierDescriptor(d.data() + off, d.size() - off, dataBlock);
    if (!fid) return false;
    std::u16string decoded;
    if (DecodeName(fid->Name, fid->NameLength, decoded) &&
        decoded == std::u16string(name.begin(), name.end())) {
      offset = off;
      return true;
    }
    off += fid->TotalLength;
  }
  return false;
}

bool ImageDamage::EditFid(uint32_t dataBlock, const std::string &name,
                          const std::function<void(uint8_t *)> &change) {
  uint32_t off = 0;
  if (!FindFid(dataBlock, name, off)) return false;
  std::vector<uint8_t> s = Read(layout_.PartitionStart + dataBlock);
  change(s.data() + off);
  UDF_FileIdentifierDescriptorHeader h;
  std::memcpy(&h, s.data() + off, sizeof h);
  const uint32_t length =
      FileIdentifierDescriptorLength(h.LengthofFileIdentifier, h.LengthofImplementationUse);
  FillTagAt(s.data() + off, kTagFileIdentifier, uint16_t(length - 16), dataBlock);
  return Write(layout_.PartitionStart + dataBlock, s);
}

bool ImageDamage::PointFidAt(uint32_t dataBlock, const std::string &name, uint32_t target) {
  return EditFid(dataBlock, name, [target](uint8_t *fid) {
    UDF_FileIdentifierDescriptorHeader h;
    std::memcpy(&h, fid, sizeof h);
    h.ICB.Location.LogicalBlockNumber = target;
    std::memcpy(fid, &h, sizeof h);
  });
}

namespace {
void Collect(void *context, const KorvaFinding *f) {
  static_cast<std::vector<Found> *>(context)->push_back(
      {f->Kind, f->Block, f->Path, f->Text, f->Repaired != 0});
}
} // namespace

std::vector<Found> CheckFindings(TUDFRewritableVolume &v, KBOOL &result) {
  std::vector<Found> all;
  result = UDF_CheckVolume(&v, Collect, &all);
  return all;
}

std::vector<Found> RepairFindings(TUDFRewritableVolume &v, KBOOL &result) {
  std::vector<Found> all;
  result = UDF_RepairVolume(&v, Collect, &all);
  return all;
}

const Found *FindKind(const std::vector<Found> &all, int32_t kind) {
  for (const Found &f : all)
    if (f.Kind == kind) return &f;
  return nullptr;
}

std::string Describe(const std::vector<Found> &all) {
  std::string s;
  for (const Found &f : all)
    s += std::to_string(f.Kind) + " " + f.Path + " [" + std::to_string(f.Block) + "] " + f.Text +
         (f.Repaired ? " (repaired)\n" : "\n");
  return s;
}

} // namespace korva::test
