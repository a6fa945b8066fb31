/* Child for the drain benchmark: writes BYTES bytes to stdout, and with BOTH=1 the same
 * amount to stderr from a second thread, in 1 MiB writes from memory, so the child is
 * never the bottleneck.
 *
 *   emit BYTES BOTH
 */
#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#define CHUNK (1 << 20)

static char buf[CHUNK];

struct job {
  int fd;
  unsigned long long bytes;
};

static void *write_all(void *arg) {
  struct job *j = arg;
  unsigned long long left = j->bytes;
  while (left > 0) {
    size_t n = left < CHUNK ? (size_t)left : CHUNK;
    ssize_t w = write(j->fd, buf, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      _exit(3);
    }
    left -= (unsigned long long)w;
  }
  return NULL;
}

int main(int argc, char **argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: emit BYTES BOTH\n");
    return 2;
  }
  memset(buf, 'x', sizeof buf);
  struct job out = {1, strtoull(argv[1], NULL, 10)};
  struct job err = {2, out.bytes};
  pthread_t t;
  int both = atoi(argv[2]) != 0;
  if (both && pthread_create(&t, NULL, write_all, &err) != 0) return 4;
  write_all(&out);
  if (both) pthread_join(t, NULL);
  return 0;
}
