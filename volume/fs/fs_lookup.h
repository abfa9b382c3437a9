// Looking up one entry by path, for the operations that work on an existing entry (file
// information, times, permissions, moves).
#ifndef KORVA_VOLUME_FS_LOOKUP_H
#define KORVA_VOLUME_FS_LOOKUP_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "korva/volume.h"
#include "volume/fs/fs_state.h"
#include "volume/status.h"

namespace korva {

struct EntryRef {
  bool IsRoot = false;
  std::vector<std::u16string> Parts; // the path's components
  uint32_t DirBlock = 0;             // file entry of the directory holding the entry
  uint32_t EntryBlock = 0;           // the entry's own file entry
  DirectoryInformation At;           // the identifier found (not for the root)
  bool IsDirectory() const;
};

// "\" followed by the first count components joined with backslashes.
std::u16string JoinPath(const std::vector<std::u16string> &parts, size_t count);

// Resolves a path to its entry; a path without components is the root. Error 1 (a parent is
// missing or not a directory), 5 (no such entry), 22 (a name that cannot be stored), 39 (a
// directory leading back up the path) or a read error.
Status ResolveEntry(TUDFRewritableVolume &v, std::u16string_view path, EntryRef &out);

// Converts between file times (100 ns units since 1601) and 12-byte stamps, keeping the
// microseconds a stamp can hold. False when the time has no stamp (years 1 to 9999).
bool FileTimeToStamp(uint64_t fileTime, UDF_TimeStamp &stamp);
uint64_t StampToFineFileTime(const UDF_TimeStamp &stamp);

} // namespace korva

#endif
