// The file behind a virtual disc: opened (created when missing) and held by one drive at a
// time, read and written at 64-bit offsets. One implementation per system.
#ifndef KORVA_VDRIVE_DISC_FILE_H
#define KORVA_VDRIVE_DISC_FILE_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace korva::vdrive {

class DiscFile {
public:
  // Opens or creates a regular file for reading and writing and locks it against other
  // drives. Null with the reason when it cannot; *existed tells whether it was there.
  static std::unique_ptr<DiscFile> Open(const std::string &path, bool *existed,
                                        std::string *error);
  ~DiscFile();
  DiscFile(const DiscFile &) = delete;
  DiscFile &operator=(const DiscFile &) = delete;

  // Bytes in the file; 0 when it cannot be asked.
  bool Size(uint64_t *size) const;
  // Reads up to n bytes at offset; *got says how many before the end of the file.
  bool ReadAt(uint64_t offset, size_t n, uint8_t *out, size_t *got) const;
  bool WriteAt(uint64_t offset, size_t n, const uint8_t *in);
  // Makes the file size bytes long (new bytes read as zeros).
  bool Resize(uint64_t size);
  // Frees the blocks of a range inside the file, which then reads as zeros. False where
  // the system cannot (the caller writes zeros instead).
  bool PunchHole(uint64_t offset, uint64_t n);

private:
  explicit DiscFile(intptr_t handle) : handle_(handle) {}
  intptr_t handle_;
};

// Renames from to to, replacing a file there in one step (the old file or the new one is
// there at every moment).
bool RenameReplacing(const std::string &from, const std::string &to);

} // namespace korva::vdrive

#endif
