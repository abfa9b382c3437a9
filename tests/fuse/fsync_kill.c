/* fsync_kill PID CUT SYNCED_SRC SYNCED_DST LATER_SRC LATER_DST: creates LATER_DST, writes
 * SYNCED_SRC to SYNCED_DST (created, or written over in place) and fsyncs it; the
 * moment the fsync returns it creates CUT (image_barriers.so lands nothing after that),
 * writes LATER_SRC into LATER_DST and kills PID with SIGKILL before closing
 * anything: nothing but the fsync can have made SYNCED_DST durable. */
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

static char buf[1 << 20];

// Reads the whole (small) file into buf; its length, or -1.
static ssize_t Load(const char *from) {
  const int in = open(from, O_RDONLY);
  if (in < 0) return -1;
  const ssize_t n = read(in, buf, sizeof buf);
  close(in);
  return n;
}

int main(int argc, char **argv) {
  if (argc != 7) {
    fprintf(stderr, "usage: fsync_kill PID CUT SYNCED_SRC SYNCED_DST LATER_SRC LATER_DST\n");
    return 2;
  }
  const int later = open(argv[6], O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const int synced = open(argv[4], O_WRONLY | O_CREAT, 0644);
  ssize_t n = Load(argv[3]);
  if (later < 0 || synced < 0 || n < 0 || write(synced, buf, (size_t)n) != n ||
      fsync(synced) != 0) {
    perror("the fsynced copy");
    return 1;
  }
  const int cut = open(argv[2], O_WRONLY | O_CREAT, 0644);
  if (cut < 0) {
    perror("the cut");
    return 1;
  }
  close(cut);
  n = Load(argv[5]);
  if (n < 0 || write(later, buf, (size_t)n) != n) perror("the later write");
  return kill(atoi(argv[1]), SIGKILL) == 0 ? 0 : 1;
}
