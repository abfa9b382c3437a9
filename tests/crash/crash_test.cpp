// Power cuts at every write of a scripted workload.
//
// The workload runs once on an image held in memory while every write the engine makes is
// logged. A power cut after the k-th write leaves exactly the image as it was before the
// workload plus the first k writes (and, for a torn write, the first j sectors of write
// k + 1). Each such image is checked: before repair, its bitmap marks used every block the
// tree reaches; after repair it mounts compatible, checks clean, holds every operation that
// had returned and the one in flight either not at all, as it was, or (for a write) with a
// true prefix of its data; the bitmap and the counts are exact by an independent walk; and it
// takes a new file.
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "korva/files.h"
#include "korva/volume.h"
#include "tests/support/volume_fixture.h"

#if __has_include("korva/check.h")
#include "korva/check.h"
#define KORVA_CRASH_HAS_REPAIR 1
#else
#define KORVA_CRASH_HAS_REPAIR 0
#endif

namespace {

using korva::test::FormatAndWait;
using korva::test::NewVolume;
using korva::test::VolumePtr;

constexpr uint32_t kSector = 2048;

// An image file in memory; writes can be logged. It holds its own bytes, or lies over a base
// image that it never changes and keeps what is written to it in sectors of its own, so that
// each cut image is checked and repaired without copying the whole medium.
class MemoryImage {
public:
  struct Write {
    uint64_t Offset;
    std::vector<uint8_t> Data;
  };

  MemoryImage() {
    io_ = {};
    io_.Context = this;
    io_.Open = [](void *c, const char *, int32_t *h) {
      *h = 1;
      return static_cast<MemoryImage *>(c)->Size() == 0 ? ENOENT : 0;
    };
    io_.Create = [](void *, const char *, int32_t *h) {
      *h = 1;
      return 0;
    };
    io_.Size = [](void *c, int32_t, uint64_t *size) {
      *size = static_cast<MemoryImage *>(c)->Size();
      return 0;
    };
    io_.Reserve = [](void *c, int32_t, uint64_t size) {
      auto &m = *static_cast<MemoryImage *>(c);
      if (m.base_) return EIO; // an image over a base keeps its size
      m.bytes_.assign(size, 0);
      return 0;
    };
    io_.ReadAt = [](void *c, int32_t, void *b, uint32_t n, uint64_t off) {
      auto &m = *static_cast<MemoryImage *>(c);
      if (off + n > m.Size()) return EIO;
      m.Read(off, static_cast<uint8_t *>(b), n);
      return 0;
    };
    io_.WriteAt = [](void *c, int32_t, const void *b, uint32_t n, uint64_t off) {
      auto &m = *static_cast<MemoryImage *>(c);
      if (off + n > m.Size()) return EIO;
      const auto *p = static_cast<const uint8_t *>(b);
      m.Put(off, p, n);
      if (m.recording_) m.log_.push_back({off, std::vector<uint8_t>(p, p + n)});
      return 0;
    };
    io_.Flush = [](void *c, int32_t) {
      auto &m = *static_cast<MemoryImage *>(c);
      if (m.recording_ && m.barriers_) m.barrierAt_.push_back(m.log_.size());
      return 0;
    };
    io_.Close = [](void *, int32_t) { return 0; };
    io_.Remove = [](void *, const char *) { return 0; };
  }
  // Over `base`, which must outlive this image and stay unchanged while it is used.
  explicit MemoryImage(const std::vector<uint8_t> &base) : MemoryImage() { base_ = &base; }
  MemoryImage(const MemoryImage &) = delete;
  MemoryImage &operator=(const MemoryImage &) = delete;

  const KorvaImageIO *IO() const { return &io_; }
  // The bytes of an image that holds its own.
  std::vector<uint8_t> &Bytes() { return bytes_; }
  uint64_t Size() const { return base_ ? base_->size() : bytes_.size(); }
  // Sector s as it reads now, or null past the end.
  const uint8_t *Sector(uint64_t s) const {
    if ((s + 1) * kSector > Size()) return nullptr;
    if (!base_) return bytes_.data() + s * kSector;
    auto it = own_.find(s);
    return it != own_.end() ? it->second.data() : base_->data() + s * kSector;
  }
  // Writes bytes as the medium would take them (not logged).
  void Put(uint64_t off, const uint8_t *p, size_t n) {
    if (!base_) {
      std::memcpy(bytes_.data() + off, p, n);
      return;
    }
    for (size_t done = 0; done < n;) {
      const uint64_t s = (off + done) / kSector, in = (off + done) % kSector;
      const size_t c = std::min<size_t>(n - done, kSector - in);
      auto [it, fresh] = own_.try_emplace(s);
      if (fresh) std::memcpy(it->second.data(), base_->data() + s * kSector, kSector);
      std::memcpy(it->second.data() + in, p + done, c);
      done += c;
    }
  }
  void Record(bool on) { recording_ = on; }
  const std::vector<Write> &Log() const { return log_; }
  // Where each barrier (fdatasync) fell in the log: the writes before it had landed. With
  // barriers off, the layer does nothing at fdatasync, as a medium whose cache ignores it.
  const std::vector<size_t> &Barriers() const { return barrierAt_; }
  void HonourBarriers(bool on) { barriers_ = on; }

private:
  void Read(uint64_t off, uint8_t *p, size_t n) const {
    for (size_t done = 0; done < n;) {
      const uint64_t s = (off + done) / kSector, in = (off + done) % kSector;
      const size_t c = std::min<size_t>(n - done, kSector - in);
      std::memcpy(p + done, Sector(s) + in, c);
      done += c;
    }
  }

  KorvaImageIO io_;
  std::vector<uint8_t> bytes_;
  const std::vector<uint8_t> *base_ = nullptr;
  std::unordered_map<uint64_t, std::array<uint8_t, kSector>> own_;
  bool recording_ = false;
  bool barriers_ = true;
  std::vector<Write> log_;
  std::vector<size_t> barrierAt_;
};

uint16_t U16(const uint8_t *p) {
  return uint16_t(p[0] | p[1] << 8);
}
uint32_t U32(const uint8_t *p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
uint64_t U64(const uint8_t *p) {
  return U32(p) | uint64_t(U32(p + 4)) << 32;
}

// Where the volume's structures lie; taken from the mounted volume once.
struct Layout {
  uint32_t PartitionStart = 0, PartitionLength = 0, BitmapSector = 0, BitmapBlocks = 0;
  uint32_t FileSetBlock = 0, RootBlock = 0, IntegritySector = 0;
};

// What an independent reader finds by walking the tree of an image from the root.
struct Walk {
  std::vector<bool> Used; // blocks the volume's structures and the tree reach
  uint32_t Files = 0, Dirs = 0;
  std::vector<std::string> Problems;
};

// A walker of the on-disc tree written for these tests alone: it reads file entries, their
// allocation descriptors (short, long or embedded, continued in extension blocks) and
// directory entries straight from the bytes.
class TreeWalker {
public:
  TreeWalker(const MemoryImage &image, const Layout &l) : img_(image), l_(l) {}

  Walk Run() {
    w_.Used.assign(l_.PartitionLength, false);
    for (uint32_t b = 0; b < l_.BitmapBlocks; ++b)
      Use(b);
    Use(l_.FileSetBlock);
    Entry(l_.RootBlock, true, "/");
    return std::move(w_);
  }

private:
  const uint8_t *Block(uint32_t b) const {
    return b < l_.PartitionLength ? img_.Sector(uint64_t(l_.PartitionStart) + b) : nullptr;
  }
  bool Tagged(const uint8_t *d, uint16_t id, uint32_t location) const {
    if (!d || U16(d) != id || U32(d + 12) != location) return false;
    uint8_t sum = 0;
    for (int i = 0; i < 16; ++i)
      if (i != 4) sum = uint8_t(sum + d[i]);
    return sum == d[4];
  }
  void Use(uint32_t b) {
    if (b < w_.Used.size()) w_.Used[b] = true;
  }
  void Problem(const std::string &s) { w_.Problems.push_back(s); }

  struct Extent {
    uint32_t Length, Block, Type;
  };

  // The data extents of an entry, marking every block its descriptors claim.
  bool Extents(const uint8_t *fe, std::vector<Extent> &out, std::string &embedded) {
    const uint32_t ea = U32(fe + 168), ad = U32(fe + 172);
    if (176ull + ea + ad > kSector) return false;
    const uint32_t form = U16(fe + 34) & 7;
    if (form == 3) {
      embedded.assign(reinterpret_cast<const char *>(fe + 176 + ea), ad);
      return true;
    }
    if (form > 1) return false;
    const uint32_t size = form == 0 ? 8 : 16;
    const uint8_t *area = fe + 176 + ea;
    uint32_t len = ad;
    for (int hops = 0; hops < 10000; ++hops) {
      bool next = false;
      for (uint32_t o = 0; o + size <= len; o += size) {
        const uint32_t word = U32(area + o), block = U32(area + o + 4);
        const uint32_t length = word & 0x3FFFFFFF, type = word >> 30;
        if (length == 0) return true;
        if (type == 3) {
          const uint8_t *aed = Block(block);
          if (!Tagged(aed, 258, block)) return false;
          Use(block);
          area = aed + 24;
          len = std::min<uint32_t>(U32(aed + 20), kSector - 24);
          next = true;
          break;
        }
        if (type != 2)
          for (uint32_t i = 0; i < (length + kSector - 1) / kSector; ++i)
            Use(block + i);
        out.push_back({length, block, type});
      }
      if (!next) return true;
    }
    return false;
  }

  std::string Data(const std::vector<Extent> &ext, uint64_t size) {
    std::string s;
    for (const Extent &e : ext) {
      for (uint32_t i = 0; i * kSector < e.Length && s.size() < size; ++i) {
        const uint8_t *b = Block(e.Block + i);
        const uint32_t n = std::min<uint32_t>(kSector, e.Length - i * kSector);
        if (e.Type != 0 || !b)
          s.append(n, '\0');
        else
          s.append(reinterpret_cast<const char *>(b), n);
      }
    }
    if (s.size() > size) s.resize(size);
    return s;
  }

  void Entry(uint32_t block, bool dir, const std::string &path) {
    if (!seen_.insert(block).second) {
      Problem(path + ": entry reached twice");
      return;
    }
    Use(block);
    const uint8_t *fe = Block(block);
    if (!Tagged(fe, 261, block)) {
      Problem(path + ": no file entry");
      return;
    }
    (dir ? w_.Dirs : w_.Files)++;
    std::vector<Extent> ext;
    std::string embedded;
    if (!Extents(fe, ext, embedded)) {
      Problem(path + ": bad descriptors");
      return;
    }
    if (!dir) return;
    const uint64_t size = U64(fe + 56);
    const std::string d = embedded.empty() ? Data(ext, size) : embedded.substr(0, size);
    for (size_t o = 0; o + 38 <= d.size();) {
      const auto *f = reinterpret_cast<const uint8_t *>(d.data() + o);
      if (U16(f) != 257) {
        Problem(path + ": bad directory entry");
        return;
      }
      const uint8_t chars = f[18], lfi = f[19];
      const uint32_t len = (38u + U16(f + 36) + lfi + 3) & ~3u;
      if (!(chars & 0x0C)) Entry(U32(f + 24), chars & 0x02, path + "?/");
      o += len;
    }
  }

  const MemoryImage &img_;
  Layout l_;
  Walk w_;
  std::set<uint32_t> seen_;
};

bool BitUsed(const MemoryImage &img, const Layout &l, uint32_t b) {
  const uint64_t off = uint64_t(l.BitmapSector) * kSector + 24 + b / 8;
  return !(img.Sector(off / kSector)[off % kSector] & (1u << (b % 8)));
}

// The tree as the library presents it: path -> directory ("/" marker) or file contents.
struct Node {
  bool Dir = false;
  std::string Data;
  bool operator==(const Node &o) const { return Dir == o.Dir && Data == o.Data; }
};
using Tree = std::map<std::string, Node>;

bool ReadFile(TUDFRewritableVolume &v, const std::string &path, std::string &out) {
  UDF_HANDLE h = UDF_CreateFile(&v, path.c_str(), UDF_GENERIC_READ, UDF_OPEN_EXISTING, 0);
  if (h == UDF_INVALID_HANDLE) return false;
  out.clear();
  char buf[65536];
  for (;;) {
    uint32_t n = 0;
    if (UDF_ReadFile(&v, h, buf, sizeof buf, &n) != KTRUE) {
      UDF_CloseHandle(&v, h);
      return false;
    }
    if (n == 0) break;
    out.append(buf, n);
  }
  UDF_CloseHandle(&v, h);
  return true;
}

bool ListTree(TUDFRewritableVolume &v, const std::string &dir, Tree &out) {
  _UDF_FIND_DATAA d;
  const std::string pattern = dir + "\\*";
  UDF_HANDLE h = UDF_FindFirstFile(&v, pattern.c_str(), &d);
  if (h == UDF_INVALID_HANDLE) return UDF_GetLastErrorNumber(&v) == 0;
  std::vector<std::pair<std::string, bool>> entries;
  do {
    entries.push_back({d.cFileName, (d.dwFileAttributes & UDF_FILE_ATTRIBUTE_DIRECTORY) != 0});
  } while (UDF_FindNextFile(&v, h, &d) == KTRUE);
  UDF_FindClose(&v, h);
  for (const auto &[name, isDir] : entries) {
    const std::string path = dir + "\\" + name;
    Node n;
    n.Dir = isDir;
    if (isDir ? !ListTree(v, path, out) : !ReadFile(v, path, n.Data)) return false;
    out[path] = n;
  }
  return true;
}

// The workload ------------------------------------------------------------------------

enum class Kind { Mkdir, Put, Overwrite, Append, Delete, Rmdir };

struct Op {
  Kind K;
  std::string Path;
  std::string Data = {};
  size_t Chunk = 65536;
  size_t Begin = 0, End = 0; // writes [Begin, End) of the log
};

const char *KindName(Kind k) {
  static const char *const names[] = {"mkdir", "put", "overwrite", "append", "delete", "rmdir"};
  return names[int(k)];
}

std::string Bytes(size_t n, uint32_t seed) {
  std::string s(n, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (char &c : s) {
    x = x * 1103515245u + 12345u;
    c = char(x >> 16);
  }
  return s;
}

std::vector<Op> Script() {
  std::vector<Op> ops;
  auto add = [&](Kind k, std::string path, std::string data = {}, size_t chunk = 65536) {
    ops.push_back({k, std::move(path), std::move(data), chunk});
  };
  add(Kind::Mkdir, "\\A");
  add(Kind::Mkdir, "\\A\\B");
  add(Kind::Put, "\\A\\small", Bytes(100, 1));
  add(Kind::Put, "\\A\\B\\three", Bytes(3000, 2));
  add(Kind::Put, "\\empty", "");
  // A directory that grows past one block.
  add(Kind::Mkdir, "\\Big");
  for (int i = 0; i < 60; ++i) {
    char name[64];
    std::snprintf(name, sizeof name, "\\Big\\entry-with-a-long-name-%02d", i);
    if (i % 7 == 3)
      add(Kind::Mkdir, name);
    else
      add(Kind::Put, name, Bytes(size_t(i) * 37, 100 + i));
  }
  // Several packets in several calls.
  add(Kind::Put, "\\A\\multi", Bytes(200000, 3), 65536);
  // Several extents: a file written into the holes of deleted ones.
  add(Kind::Mkdir, "\\frag");
  for (int i = 0; i < 12; ++i)
    add(Kind::Put, "\\frag\\f" + std::to_string(i), Bytes(4096, 200 + i));
  for (int i = 1; i < 12; i += 2)
    add(Kind::Delete, "\\frag\\f" + std::to_string(i));
  add(Kind::Put, "\\A\\extents", Bytes(60000, 4), 20000);
  add(Kind::Overwrite, "\\A\\small", Bytes(5000, 5));
  add(Kind::Overwrite, "\\A\\multi", Bytes(70000, 6), 30000);
  add(Kind::Append, "\\A\\B\\three", Bytes(5000, 7));
  add(Kind::Append, "\\A\\extents", Bytes(10000, 8));
  add(Kind::Delete, "\\A\\B\\three");
  for (int i = 0; i < 12; i += 2)
    add(Kind::Delete, "\\frag\\f" + std::to_string(i));
  add(Kind::Rmdir, "\\frag");
  add(Kind::Rmdir, "\\A\\B");
  return ops;
}

// A few thousand small operations over a bounded set of names.
std::vector<Op> Churn(size_t count) {
  std::vector<Op> ops;
  std::mt19937 rng(7);
  std::map<std::string, size_t> files; // name -> size
  std::set<std::string> dirs;
  ops.push_back({Kind::Mkdir, "\\C"});
  for (size_t i = 0; ops.size() < count; ++i) {
    const uint32_t r = rng() % 100;
    const std::string name = "\\C\\n" + std::to_string(rng() % 150);
    const bool isFile = files.count(name) != 0, isDir = dirs.count(name) != 0;
    const uint32_t seed = static_cast<uint32_t>(1000 + i);
    if (!isFile && !isDir) {
      if (r < 10) {
        ops.push_back({Kind::Mkdir, name});
        dirs.insert(name);
      } else {
        const size_t n = rng() % 3000;
        ops.push_back({Kind::Put, name, Bytes(n, seed), 1024});
        files[name] = n;
      }
    } else if (isDir) {
      ops.push_back({Kind::Rmdir, name});
      dirs.erase(name);
    } else if (r < 35) {
      ops.push_back({Kind::Delete, name});
      files.erase(name);
    } else if (r < 70) {
      const size_t n = rng() % 2500;
      ops.push_back({Kind::Append, name, Bytes(n, seed)});
      files[name] += n;
    } else {
      const size_t n = rng() % 4000;
      ops.push_back({Kind::Overwrite, name, Bytes(n, seed)});
      files[name] = n;
    }
  }
  return ops;
}

bool WriteAll(TUDFRewritableVolume &v, UDF_HANDLE h, const std::string &data, size_t chunk) {
  for (size_t o = 0; o < data.size(); o += chunk) {
    const uint32_t n = static_cast<uint32_t>(std::min(chunk, data.size() - o));
    uint32_t done = 0;
    if (UDF_WriteFile(&v, h, data.data() + o, n, &done) != KTRUE || done != n) return false;
  }
  return true;
}

bool Perform(TUDFRewritableVolume &v, const Op &op) {
  const size_t cut = op.Path.rfind('\\');
  const std::string parent = cut == 0 ? "\\" : op.Path.substr(0, cut);
  switch (op.K) {
  case Kind::Mkdir:
    return UDF_CreateDirectory(&v, parent.c_str(), op.Path.substr(cut + 1).c_str()) == KTRUE;
  case Kind::Put:
  case Kind::Overwrite: {
    UDF_HANDLE h = UDF_CreateFile(&v, op.Path.c_str(), UDF_GENERIC_WRITE,
                                  op.K == Kind::Put ? UDF_CREATE_NEW : UDF_CREATE_ALWAYS, 0);
    if (h == UDF_INVALID_HANDLE) return false;
    const bool ok = WriteAll(v, h, op.Data, op.Chunk);
    return UDF_CloseHandle(&v, h) == KTRUE && ok;
  }
  case Kind::Append: {
    UDF_HANDLE h = UDF_CreateFile(&v, op.Path.c_str(), UDF_GENERIC_READ | UDF_GENERIC_WRITE,
                                  UDF_OPEN_EXISTING, 0);
    if (h == UDF_INVALID_HANDLE) return false;
    // There is no seek: reading to the end puts the position there.
    std::vector<char> skip(65536);
    uint32_t n = 0;
    bool ok = true;
    do {
      ok = UDF_ReadFile(&v, h, skip.data(), uint32_t(skip.size()), &n) == KTRUE;
    } while (ok && n > 0);
    ok = ok && WriteAll(v, h, op.Data, op.Chunk);
    return UDF_CloseHandle(&v, h) == KTRUE && ok;
  }
  case Kind::Delete:
    return UDF_DeleteFile(&v, op.Path.c_str()) == KTRUE;
  case Kind::Rmdir:
    return UDF_RemoveDirectory(&v, op.Path.c_str()) == KTRUE;
  }
  return false;
}

void Apply(Tree &t, const Op &op) {
  switch (op.K) {
  case Kind::Mkdir:
    t[op.Path] = Node{true, {}};
    break;
  case Kind::Put:
  case Kind::Overwrite:
    t[op.Path] = Node{false, op.Data};
    break;
  case Kind::Append:
    t[op.Path].Data += op.Data;
    break;
  case Kind::Delete:
  case Kind::Rmdir:
    t.erase(op.Path);
    break;
  }
}

#if KORVA_CRASH_HAS_REPAIR
std::string Describe(const std::optional<Node> &n) {
  if (!n) return "absent";
  return n->Dir ? "a directory" : "a file of " + std::to_string(n->Data.size()) + " bytes";
}

// Whether what is found at the path of the operation in flight is allowed: as before, as
// after, or for a write a true prefix of the new contents (never shorter than what an append
// started from).
bool InFlightAllowed(const Op &op, const std::optional<Node> &before,
                     const std::optional<Node> &after, const std::optional<Node> &seen) {
  if (seen == before || seen == after) return true;
  if (!seen || seen->Dir || !after || after->Dir) return false;
  if (op.K != Kind::Put && op.K != Kind::Overwrite && op.K != Kind::Append) return false;
  const size_t from = op.K == Kind::Append && before ? before->Data.size() : 0;
  return seen->Data.size() >= from && seen->Data.size() <= after->Data.size() &&
         after->Data.compare(0, seen->Data.size(), seen->Data) == 0;
}

std::optional<Node> At(const Tree &t, const std::string &path) {
  auto it = t.find(path);
  if (it == t.end()) return std::nullopt;
  return it->second;
}
#endif

// The whole run -------------------------------------------------------------------------

struct Recording {
  std::vector<uint8_t> Base; // the image before the first logged write
  std::vector<Op> Ops;
  Layout L;
  size_t DismountBegin = 0; // the writes of the final dismount start here
  std::vector<MemoryImage::Write> Log;
  std::vector<size_t> Barriers; // log positions of the barriers
  // Sync points: the log position when UDF_FlushVolume returned, operations done before it.
  std::vector<std::pair<size_t, size_t>> Syncs;
};

// How the workload runs: the record's cache mode, whether the image honours fdatasync, and
// a sync point after every n-th operation (0: none but the dismount).
struct RunOptions {
  bool WriteBehind = false;
  bool Barriers = true;
  size_t SyncEvery = 0;
  size_t CacheBytes = 0;
};

Layout LayoutOf(const TUDFRewritableVolume &v) {
  Layout l;
  l.PartitionStart = v.PartitionStart;
  l.PartitionLength = v.PartitionLength;
  l.BitmapSector = v.SpaceBitmapSector;
  l.BitmapBlocks = v.SpaceBitmapBlocks;
  l.FileSetBlock = v.FileSetSector - v.PartitionStart;
  l.RootBlock = v.RootICBSector - v.PartitionStart;
  l.IntegritySector = v.IntegritySector;
  return l;
}

// Checks one image cut after `cut` writes (the first `torn` sectors of the next one landed).
class CutChecker {
public:
  CutChecker(const Recording &r) : r_(r) {}

  // Rule 4 before repair: the bitmap marks used every block the tree reaches.
  void BitmapCoversTree(const MemoryImage &img, const std::string &where) {
    Walk w = TreeWalker(img, r_.L).Run();
    for (uint32_t b = 0; b < r_.L.PartitionLength; ++b)
      if (w.Used[b] && !BitUsed(img, r_.L, b)) {
        ADD_FAILURE() << where << ": block " << b
                      << " is reached by the tree but free in the bitmap";
        return;
      }
  }

#if KORVA_CRASH_HAS_REPAIR
  // Rules 1 to 5 after repair. done: operations that returned; inFlight: the next one.
  void AfterRepair(MemoryImage &img, const Tree &done, const Op *inFlight,
                   const std::string &where) {
    Tree after = done;
    if (inFlight) Apply(after, *inFlight);
    AfterRepairWith(img, done, where, [&](const std::string &p, const Tree &seen) {
      if (inFlight && p == inFlight->Path) {
        EXPECT_TRUE(InFlightAllowed(*inFlight, At(done, p), At(after, p), At(seen, p)))
            << where << ": " << KindName(inFlight->K) << " " << p << " in flight left "
            << (At(seen, p) ? std::to_string(At(seen, p)->Data.size()) + " bytes" : "nothing");
        return;
      }
      EXPECT_TRUE(At(seen, p) == At(done, p))
          << where << ": " << p << " is " << Describe(At(seen, p)) << ", expected "
          << Describe(At(done, p));
    });
  }

  // The same rules with the tree judged path by path: judge(path, seen) for every path
  // found or expected (in `expected`).
  template <class Judge>
  void AfterRepairWith(MemoryImage &mem, const Tree &expected, const std::string &where,
                       Judge judge) {
    VolumePtr v = NewVolume();
    v->ImageIO = mem.IO();
    ASSERT_EQ(UDF_MountImage(v.get(), "crash.img", 0), KTRUE) << where;
    ASSERT_EQ(UDF_RepairVolume(v.get(), nullptr, nullptr), KTRUE)
        << where << ": repair failed, error " << UDF_GetLastErrorNumber(v.get());
    // 1. Mounted and compatible, and a fresh check finds nothing.
    ASSERT_EQ(UDF_GetVolumeCompatibility(v.get()), KTRUE) << where;
    std::vector<std::string> findings;
    const KBOOL clean = UDF_CheckVolume(
        v.get(),
        [](void *c, const KorvaFinding *f) {
          static_cast<std::vector<std::string> *>(c)->push_back(f->Text ? f->Text : "");
        },
        &findings);
    EXPECT_EQ(clean, KTRUE) << where << ": check after repair: "
                            << (findings.empty() ? std::string("?") : findings[0]);
    // 2 and 3. Everything that returned is there; the operation in flight is allowed.
    Tree seen;
    ASSERT_TRUE(ListTree(*v, "", seen)) << where;
    std::set<std::string> paths;
    for (const auto &kv : seen)
      paths.insert(kv.first);
    for (const auto &kv : expected)
      paths.insert(kv.first);
    for (const std::string &p : paths)
      judge(p, seen);
    // 4b. The bitmap marks exactly what is in use; the counts are exact.
    const MemoryImage &now = mem;
    Walk w = TreeWalker(now, r_.L).Run();
    EXPECT_TRUE(w.Problems.empty()) << where << ": " << w.Problems[0];
    uint32_t used = 0, wrong = 0;
    for (uint32_t b = 0; b < r_.L.PartitionLength; ++b) {
      used += w.Used[b];
      wrong += w.Used[b] != BitUsed(now, r_.L, b);
    }
    EXPECT_EQ(wrong, 0u) << where << ": bitmap differs from the tree";
    EXPECT_EQ(UDF_GetFreeBlocksOfLogicalVolume(v.get()), r_.L.PartitionLength - used) << where;
    EXPECT_EQ(UDF_GetFileCount(v.get()), w.Files) << where;
    EXPECT_EQ(UDF_GetDirCount(v.get()), w.Dirs) << where;
    // 5. It takes a new file and gives it back, also after a remount.
    const std::string data = Bytes(7000, 99);
    Op put{Kind::Put, "\\after-repair", data, 4096};
    ASSERT_TRUE(Perform(*v, put)) << where << ": error " << UDF_GetLastErrorNumber(v.get());
    ASSERT_EQ(UDF_DismountVolume(v.get()), KTRUE) << where;
    ASSERT_EQ(UDF_MountImage(v.get(), "crash.img", 0), KTRUE) << where;
    ASSERT_EQ(UDF_GetVolumeCompatibility(v.get()), KTRUE) << where;
    std::string back;
    ASSERT_TRUE(ReadFile(*v, "\\after-repair", back)) << where;
    EXPECT_EQ(back, data) << where;
    UDF_DismountVolume(v.get());
  }
#endif

private:
  const Recording &r_;
};

// How densely the cut points are sampled: every write of the scripted part and every n-th of
// the churn (n larger under the sanitizers and Wine, or as the environment says). Sparse runs
// take every third write of the scripted part, and always the first and last of an operation.
struct Sampling {
  size_t ScriptStride = 1;
  size_t ChurnStride = 12;
  size_t TornStride = 4;
};

Sampling SamplingFor() {
  Sampling s;
#if defined(KORVA_CRASH_SPARSE)
  s.ScriptStride = 3;
  s.ChurnStride = 80;
  s.TornStride = 20;
#endif
  if (const char *e = std::getenv("KORVA_CRASH_STRIDE")) {
    const long n = std::strtol(e, nullptr, 10);
    if (n > 0) s.ChurnStride = size_t(n);
  }
  return s;
}

Recording RunWorkload(size_t churn, const RunOptions &o = {}) {
  Recording r;
  MemoryImage mem;
  mem.HonourBarriers(o.Barriers);
  VolumePtr v = NewVolume();
  v->ImageIO = mem.IO();
  v->WriteBehind = o.WriteBehind ? 1 : 0;
  v->PacketCacheBytes = static_cast<uint32_t>(o.CacheBytes);
  EXPECT_EQ(UDF_MountImage(v.get(), "crash.img", 16), KTRUE);
  EXPECT_EQ(FormatAndWait(*v, u"CRASH"), 0);
  EXPECT_EQ(UDF_DismountVolume(v.get()), KTRUE);
  EXPECT_EQ(UDF_MountImage(v.get(), "crash.img", 0), KTRUE);
  EXPECT_EQ(UDF_GetVolumeCompatibility(v.get()), KTRUE);
  r.L = LayoutOf(*v);
  r.Base = mem.Bytes();
  mem.Record(true);
  r.Ops = Script();
  std::vector<Op> more = Churn(churn);
  r.Ops.insert(r.Ops.end(), more.begin(), more.end());
  for (size_t i = 0; i < r.Ops.size(); ++i) {
    Op &op = r.Ops[i];
    op.Begin = mem.Log().size();
    EXPECT_TRUE(Perform(*v, op)) << KindName(op.K) << " " << op.Path << ": error "
                                 << UDF_GetLastErrorNumber(v.get());
    op.End = mem.Log().size();
    if (o.SyncEvery && (i + 1) % o.SyncEvery == 0) {
      EXPECT_EQ(UDF_FlushVolume(v.get()), KTRUE);
      r.Syncs.push_back({mem.Log().size(), i + 1});
    }
  }
  r.DismountBegin = mem.Log().size();
  EXPECT_EQ(UDF_DismountVolume(v.get()), KTRUE);
  r.Log = mem.Log();
  r.Barriers = mem.Barriers();
  return r;
}

TEST(Crash, EveryCutPointLeavesARepairableVolumeWithEveryReturnedOperation) {
  const auto t0 = std::chrono::steady_clock::now();
  const Sampling s = SamplingFor();
  Recording r = RunWorkload(2000);
  ASSERT_FALSE(HasFailure());
  const std::vector<MemoryImage::Write> &log = r.Log;
  const size_t scripted = r.Ops[Script().size()].Begin;
  CutChecker check(r);

  std::vector<uint8_t> img = r.Base;
  Tree done;
  size_t next = 0; // first operation not yet returned at the cut
  size_t cuts = 0, torn = 0;
  std::map<std::string, size_t> byKind;
  for (size_t k = 0; k <= log.size(); ++k) {
    if (k > 0) {
      const auto &w = log[k - 1];
      std::memcpy(img.data() + w.Offset, w.Data.data(), w.Data.size());
    }
    while (next < r.Ops.size() && r.Ops[next].End <= k)
      Apply(done, r.Ops[next++]);
    const Op *inFlight = next < r.Ops.size() && r.Ops[next].Begin <= k ? &r.Ops[next] : nullptr;
    const bool edge = inFlight && (k == inFlight->Begin || k + 1 == inFlight->End);
    const bool sample = k < scripted ? edge || k % s.ScriptStride == 0
                                     : k >= r.DismountBegin || k % s.ChurnStride == 0;
    if (!sample) continue;
    const std::string where =
        "cut after write " + std::to_string(k) +
        (inFlight ? std::string(" in ") + KindName(inFlight->K) + " " + inFlight->Path
                  : std::string());
    byKind[inFlight ? KindName(inFlight->K) : (k >= r.DismountBegin ? "dismount" : "between")]++;
    ++cuts;
    MemoryImage cut(img);
    check.BitmapCoversTree(cut, where);
#if KORVA_CRASH_HAS_REPAIR
    check.AfterRepair(cut, done, inFlight, where);
#endif
    // A torn write: only the first sectors of the next write land.
    if (k < log.size() && k % s.TornStride == 0 && log[k].Data.size() > kSector) {
      const size_t sectors = log[k].Data.size() / kSector;
      const size_t j = 1 + k % (sectors - 1);
      MemoryImage t(img);
      t.Put(log[k].Offset, log[k].Data.data(), j * kSector);
      const std::string tw = where + ", next write torn after " + std::to_string(j) + " sectors";
      check.BitmapCoversTree(t, tw);
#if KORVA_CRASH_HAS_REPAIR
      const Op *op = next < r.Ops.size() && r.Ops[next].Begin <= k ? &r.Ops[next] : nullptr;
      check.AfterRepair(t, done, op, tw);
#endif
      ++torn;
    }
    if (HasFailure()) break;
  }
  const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  std::printf("crash: %zu operations, %zu writes; %zu cut points tested (%zu torn writes)%s in "
              "%.1f s\n",
              r.Ops.size(), log.size(), cuts + torn, torn,
              KORVA_CRASH_HAS_REPAIR ? "" : " [bitmap rule only: no repair in this build]", secs);
  for (const auto &kv : byKind)
    std::printf("  cuts in %s: %zu\n", kv.first.c_str(), kv.second);
}

#if KORVA_CRASH_HAS_REPAIR
// Power cuts with a cache ----------------------------------------------------------------
//
// Between two barriers the medium may write in any order, and a power cut keeps any subset
// of the writes made since the last barrier (the last of them torn, perhaps). Rules: what
// returned before the last completed sync point is intact; each later operation on a path
// is absent, complete, or for a write a true prefix of its data, in the order they ran.

// One cut: the writes [Barrier, Cut) that landed, and the torn one.
struct SubsetCut {
  size_t Barrier = 0, Cut = 0;
  std::vector<size_t> Kept; // log indexes, in order
  size_t TornSectors = 0;   // the last kept write landed only this far (0: whole)
  std::string Name;
};

std::vector<SubsetCut> CutsOfWindow(const Recording &r, size_t b, size_t k, std::mt19937 &rng) {
  std::vector<SubsetCut> cuts;
  if (k <= b) return cuts;
  auto make = [&](const std::string &name, auto keep) {
    SubsetCut c{b, k, {}, 0, name};
    for (size_t i = b; i < k; ++i)
      if (keep(i)) c.Kept.push_back(i);
    cuts.push_back(c);
  };
  make("all kept", [&](size_t) { return true; });
  make("only the last kept", [&](size_t i) { return i == k - 1; });
  make("only the first lost", [&](size_t i) { return i != b; });
  for (int n = 0; n < 2; ++n)
    make("a random subset", [&](size_t) { return rng() % 2 == 0; });
  SubsetCut torn = cuts.back();
  if (!torn.Kept.empty() && r.Log[torn.Kept.back()].Data.size() > kSector) {
    const size_t sectors = r.Log[torn.Kept.back()].Data.size() / kSector;
    torn.TornSectors = 1 + rng() % (sectors - 1);
    torn.Name = "a random subset, the last torn";
    cuts.push_back(torn);
  }
  return cuts;
}

// The writes of a cut, put on an image over the durable one.
void LandCut(const Recording &r, const SubsetCut &c, MemoryImage &img) {
  for (size_t n = 0; n < c.Kept.size(); ++n) {
    const auto &w = r.Log[c.Kept[n]];
    const size_t bytes =
        n + 1 == c.Kept.size() && c.TornSectors ? c.TornSectors * kSector : w.Data.size();
    img.Put(w.Offset, w.Data.data(), bytes);
  }
}

// Judges one cut image against the sync-point rules.
void CheckSubsetCut(CutChecker &check, const Recording &r, MemoryImage &img, const SubsetCut &c) {
  size_t synced = 0; // operations done at the last sync point that is durable
  for (const auto &[pos, ops] : r.Syncs)
    if (pos <= c.Barrier) synced = ops;
  Tree durable;
  for (size_t i = 0; i < synced; ++i)
    Apply(durable, r.Ops[i]);
  std::vector<const Op *> later;
  for (size_t i = synced; i < r.Ops.size() && r.Ops[i].Begin < c.Cut; ++i)
    later.push_back(&r.Ops[i]);
  std::string where = "cut at write " + std::to_string(c.Cut) + " after the barrier at " +
                      std::to_string(c.Barrier) + " (" + c.Name + ", " +
                      std::to_string(c.Kept.size()) + " kept)";
  if (!c.Kept.empty()) {
    const size_t last = c.Kept.back();
    where += ", the last kept at sector " + std::to_string(r.Log[last].Offset / kSector);
    for (const Op &op : r.Ops)
      if (op.Begin <= last && last < op.End)
        where += std::string(" in ") + KindName(op.K) + " " + op.Path;
  }
  check.BitmapCoversTree(img, where);
  check.AfterRepairWith(img, durable, where, [&](const std::string &p, const Tree &seen) {
    std::optional<Node> state = At(durable, p);
    bool ok = At(seen, p) == state;
    for (const Op *op : later) {
      if (op->Path != p) continue;
      Tree t;
      if (state) t[p] = *state;
      Apply(t, *op);
      const std::optional<Node> next = At(t, p);
      ok = ok || InFlightAllowed(*op, state, next, At(seen, p));
      state = next;
    }
    EXPECT_TRUE(ok) << where << ": " << p << " is " << Describe(At(seen, p)) << ", was "
                    << Describe(At(durable, p)) << " at the last sync point";
  });
}

// Runs every window between barriers (every stride-th one) through its cuts; returns the
// number of images checked. Stops at the first failure.
size_t CheckWindows(const Recording &r, size_t stride, uint32_t seed) {
  CutChecker check(r);
  std::mt19937 rng(seed);
  std::vector<size_t> marks = r.Barriers;
  marks.push_back(r.Log.size());
  std::vector<uint8_t> durable = r.Base;
  size_t b = 0, images = 0;
  for (size_t w = 0; w < marks.size(); ++w) {
    const size_t end = marks[w];
    if (end <= b) continue;
    if (w % stride == 0 || w + 1 == marks.size()) {
      std::vector<SubsetCut> cuts = CutsOfWindow(r, b, end, rng);
      // A cut inside the window as well as at its end.
      if (end - b > 2) {
        std::vector<SubsetCut> more = CutsOfWindow(r, b, b + 1 + rng() % (end - b - 1), rng);
        cuts.insert(cuts.end(), more.begin(), more.end());
      }
      for (const SubsetCut &c : cuts) {
        MemoryImage img(durable);
        LandCut(r, c, img);
        CheckSubsetCut(check, r, img, c);
        ++images;
        if (::testing::Test::HasFailure()) return images;
      }
    }
    for (; b < end; ++b)
      std::memcpy(durable.data() + r.Log[b].Offset, r.Log[b].Data.data(), r.Log[b].Data.size());
  }
  return images;
}

// Every window in the release build; every twelfth under the sanitizers, where the run is
// far slower. KORVA_CRASH_WINDOWS=n checks every n-th.
size_t WindowStride() {
  if (const char *e = std::getenv("KORVA_CRASH_WINDOWS")) {
    const long n = std::strtol(e, nullptr, 10);
    if (n > 0) return size_t(n);
  }
#if defined(KORVA_CRASH_SPARSE)
  return 12;
#else
  return 1;
#endif
}

void RunOutOfOrder(const char *name, const RunOptions &o, size_t churn) {
  const auto t0 = std::chrono::steady_clock::now();
  Recording r = RunWorkload(churn, o);
  ASSERT_FALSE(::testing::Test::HasFailure());
  const size_t images = CheckWindows(r, WindowStride(), 11);
  const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  std::printf("%s: %zu operations, %zu writes, %zu barriers, %zu sync points; %zu cut images "
              "in %.1f s\n",
              name, r.Ops.size(), r.Log.size(), r.Barriers.size(), r.Syncs.size(), images, secs);
}

TEST(CrashOutOfOrder, WriteThroughKeepsEverySyncedOperationWhateverSubsetLands) {
  RunOptions o;
  o.SyncEvery = 25;
  RunOutOfOrder("write-through", o, 200);
}

TEST(CrashOutOfOrder, WriteBehindKeepsEverySyncedOperationWhateverSubsetLands) {
  RunOptions o;
  o.WriteBehind = true;
  o.SyncEvery = 25;
  RunOutOfOrder("write-behind", o, 200);
}

// A cache of a few packets: memory pressure pushes packets out in the middle of operations,
// and it must keep the same order as a sync point.
TEST(CrashOutOfOrder, WriteBehindUnderMemoryPressureKeepsTheSameRules) {
  RunOptions o;
  o.WriteBehind = true;
  o.SyncEvery = 25;
  o.CacheBytes = 1; // the smallest bound the cache takes
  RunOutOfOrder("write-behind, small cache", o, 200);
}

// The harness finds what it is for: the same workload written in order with no barrier
// until the dismount (a medium that ignores fdatasync, as the writes of old reached it)
// loses synced operations or leaves an unrepairable volume at some cut.
TEST(CrashOutOfOrder, WritesWithoutBarriersFail) {
  RunOptions o;
  o.Barriers = false;
  o.SyncEvery = 25;
  Recording r = RunWorkload(200, o);
  ASSERT_FALSE(HasFailure());
  ASSERT_TRUE(r.Barriers.empty());
  // Sync points count as returned, though no barrier made them durable.
  Recording claimed = r;
  claimed.Barriers.clear();
  for (const auto &[pos, ops] : r.Syncs)
    claimed.Barriers.push_back(pos);
  ::testing::TestPartResultArray found;
  {
    ::testing::ScopedFakeTestPartResultReporter intercept(
        ::testing::ScopedFakeTestPartResultReporter::INTERCEPT_ONLY_CURRENT_THREAD, &found);
    CheckWindows(claimed, 1, 11);
  }
  EXPECT_GT(found.size(), 0) << "no cut broke the rules without barriers";
}
#endif

} // namespace
