// What the tool asks of the local system beyond the C runtime's file calls (open, read,
// write, close, stat, unlink, access), one implementation per system: directory listings,
// directory identities, creating directories, the terminal test, interrupt handling and
// the lock that keeps two korva commands off one image.
#ifndef KORVA_CLI_LOCAL_H
#define KORVA_CLI_LOCAL_H

#include <cstdint>
#include <string>
#include <vector>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

#if defined(_WIN32)
#include <io.h>
// The C runtime's names for the same calls. Every open of the tool says O_CLOEXEC: there it
// also keeps the C runtime from translating line ends, as local files are data.
#ifndef O_CLOEXEC
#define O_CLOEXEC (_O_NOINHERIT | _O_BINARY)
#endif
#ifndef S_ISREG
#define S_ISREG(m) (((m) & _S_IFMT) == _S_IFREG)
#endif
#ifndef S_ISDIR
#define S_ISDIR(m) (((m) & _S_IFMT) == _S_IFDIR)
#endif
#ifndef R_OK
#define R_OK 4
#endif
// No disk quotas: a full disk is the one way the local side runs out of room.
#ifndef EDQUOT
#define EDQUOT ENOSPC
#endif
#if defined(_MSC_VER)
#include <BaseTsd.h>
typedef SSIZE_T ssize_t;
#endif
#else
#include <unistd.h>
#endif

namespace korvacli {

// Calls handler at Ctrl-C and at termination requests (and, where there are such signals,
// hang-ups), and keeps a closed pipe from killing the process.
void InstallInterruptHandlers(void (*handler)(int));

bool StderrIsTerminal();

// The names in a local directory, without "." and "..". False with errno set.
bool ListLocalDirectory(const std::string &dir, std::vector<std::string> &names);

// Text that two paths to the same local directory share (device and inode, or volume and
// file index), to find a directory that contains a link to itself. Empty when unknown.
std::string LocalIdentity(const std::string &path);

// Creates a local directory: 0, or the errno value.
int MakeLocalDirectory(const std::string &path);

// Creates a symbolic link at path to target (components separated by '/'): 0, or the errno
// value. On Windows the separators become '\\', and a system that does not let this user
// make links answers EPERM.
int MakeLocalSymlink(const std::u16string &target, const std::string &path);

// Creates a FIFO: 0, or the errno value (ENOSYS where the file system has none: Windows).
int MakeLocalFifo(const std::string &path);

// Holds the tool's lock on an image for the whole run: exclusive while anything is written,
// shared while it is only read, so that readers may run together.
class ImageLock {
public:
  ImageLock() = default;
  ~ImageLock();
  ImageLock(const ImageLock &) = delete;
  ImageLock &operator=(const ImageLock &) = delete;
  // Locks an existing image. "" on success, else the reason; busy says that another
  // command holds it.
  std::string LockExisting(const std::string &path, bool shared, bool &busy);
  // Makes a new image of bytes zero bytes at path, locked before it can be seen half-made.
  // "" on success, else the reason; exists says that another command made it meanwhile.
  std::string CreateLocked(const std::string &path, uint64_t bytes, bool &exists);

private:
  intptr_t handle_ = -1;
};

} // namespace korvacli

#endif
