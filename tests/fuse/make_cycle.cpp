// Turns a directory entry of a closed image into a way back to the root, as damage or
// another writer might: `make_cycle IMAGE DIR NAME` points the subdirectory NAME of DIR
// (backslash paths) at the root's file entry. Its tag is refilled, so only the cycle is
// wrong. Exit status 0 when done.
#include <cstdio>
#include <string>

#include "tests/files/fs_helpers.h"
#include "tests/recovery/damage.h"
#include "tests/support/volume_fixture.h"
#include "udf/byte_order.h"
#include "udf/descriptors.h"
#include "udf/tag.h"

using namespace korva;
using namespace korva::test;

namespace {

std::u16string Widen(const char *s) { return std::u16string(s, s + std::char_traits<char>::length(s)); }

int Fail(const char *what) {
  std::fprintf(stderr, "make_cycle: %s\n", what);
  return 1;
}

} // namespace

int main(int argc, char **argv) {
  if (argc != 4) return Fail("usage: make_cycle IMAGE DIR NAME");
  VolumePtr v = NewVolume();
  if (!UDF_MountImage(v.get(), argv[1], 0)) return Fail("the image does not mount");
  const RawEntry dir = ReadEntry(*v, EntryBlock(*v, Widen(argv[2])));
  if (!dir.Ok || dir.List.Extents.empty()) return Fail("the directory is not there");
  const uint32_t data = dir.List.Extents[0].AD.Block;
  const uint32_t root = v->RootICBSector - v->PartitionStart;
  const Layout layout = LayoutOf(*v);
  if (!UDF_DismountVolume(v.get())) return Fail("the image does not close");
  ImageDamage d(argv[1], layout);
  if (!d.Ok() || !d.PointFidAt(data, argv[3], root))
    return Fail("the name is not in the directory's first block, or the write failed");
  return 0;
}
