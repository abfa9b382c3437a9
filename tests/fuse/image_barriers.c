/* Preloaded into korva: writes to the image named by KORVA_HOLD_IMAGE stay in this process's
 * memory until the next fdatasync or fsync of it, which puts them in the file. Once the file
 * named by KORVA_HOLD_CUT exists the power is off: no barrier lands anything any more. The
 * image then stays as a power cut would leave it with a cache that wrote nothing since the
 * last barrier. Reads see the held writes, as they would see a cache. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <limits.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <unistd.h>

struct Held {
  off_t offset;
  size_t length;
  unsigned char *data;
  struct Held *next;
};

static pthread_mutex_t mu = PTHREAD_MUTEX_INITIALIZER;
static struct Held *first, *last;
static int image_fd = -1;

static int IsImage(int fd) {
  const char *want = getenv("KORVA_HOLD_IMAGE");
  if (!want || fd < 0) return 0;
  if (fd == image_fd) return 1;
  char link[64], path[PATH_MAX], real[PATH_MAX];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  const ssize_t n = readlink(link, path, sizeof path - 1);
  if (n <= 0) return 0;
  path[n] = 0;
  if (!realpath(want, real) || strcmp(path, real) != 0) return 0;
  image_fd = fd;
  return 1;
}

typedef ssize_t (*PreadFn)(int, void *, size_t, off_t);
typedef ssize_t (*PwriteFn)(int, const void *, size_t, off_t);
typedef int (*SyncFn)(int);

static ssize_t RealPwrite(int fd, const void *b, size_t n, off_t off) {
  static PwriteFn real;
  if (!real) *(void **)(&real) = dlsym(RTLD_NEXT, "pwrite64");
  return real(fd, b, n, off);
}

static ssize_t RealPread(int fd, void *b, size_t n, off_t off) {
  static PreadFn real;
  if (!real) *(void **)(&real) = dlsym(RTLD_NEXT, "pread64");
  return real(fd, b, n, off);
}

static ssize_t HeldPwrite(int fd, const void *b, size_t n, off_t off) {
  if (!IsImage(fd)) return RealPwrite(fd, b, n, off);
  struct Held *h = malloc(sizeof *h);
  h->data = malloc(n ? n : 1);
  memcpy(h->data, b, n);
  h->offset = off;
  h->length = n;
  h->next = NULL;
  pthread_mutex_lock(&mu);
  if (last) last->next = h; else first = h;
  last = h;
  pthread_mutex_unlock(&mu);
  return (ssize_t)n;
}

static ssize_t HeldPread(int fd, void *b, size_t n, off_t off) {
  ssize_t got = RealPread(fd, b, n, off);
  if (!IsImage(fd) || got < 0) return got;
  pthread_mutex_lock(&mu);
  for (struct Held *h = first; h; h = h->next) {
    const off_t lo = h->offset > off ? h->offset : off;
    const off_t hi = h->offset + (off_t)h->length < off + (off_t)n ? h->offset + (off_t)h->length
                                                                  : off + (off_t)n;
    if (lo >= hi) continue;
    memcpy((unsigned char *)b + (lo - off), h->data + (lo - h->offset), (size_t)(hi - lo));
    if (hi - off > got) got = hi - off;
  }
  pthread_mutex_unlock(&mu);
  return got;
}

static int PowerCut(void) {
  const char *cut = getenv("KORVA_HOLD_CUT");
  return cut && access(cut, F_OK) == 0;
}

static int Land(int fd, const char *name) {
  SyncFn real;
  *(void **)(&real) = dlsym(RTLD_NEXT, name);
  if (IsImage(fd) && PowerCut()) return 0;
  if (IsImage(fd)) {
    pthread_mutex_lock(&mu);
    for (struct Held *h = first; h;) {
      struct Held *next = h->next;
      RealPwrite(fd, h->data, h->length, h->offset);
      free(h->data);
      free(h);
      h = next;
    }
    first = last = NULL;
    pthread_mutex_unlock(&mu);
  }
  return real(fd);
}

/* Exported whatever the build's default visibility: these must interpose on the C library. */
#define EXPORT __attribute__((visibility("default")))
EXPORT ssize_t pwrite(int fd, const void *b, size_t n, off_t off) { return HeldPwrite(fd, b, n, off); }
EXPORT ssize_t pwrite64(int fd, const void *b, size_t n, off_t off) { return HeldPwrite(fd, b, n, off); }
EXPORT ssize_t pread(int fd, void *b, size_t n, off_t off) { return HeldPread(fd, b, n, off); }
EXPORT ssize_t pread64(int fd, void *b, size_t n, off_t off) { return HeldPread(fd, b, n, off); }
EXPORT int fdatasync(int fd) { return Land(fd, "fdatasync"); }
EXPORT int fsync(int fd) { return Land(fd, "fsync"); }
