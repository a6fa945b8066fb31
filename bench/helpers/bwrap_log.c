/* Stands in for bwrap to record what the "bubblewrap" backend asks of it, then runs the
 * real one. The backend runs bwrap by descriptor with an empty environment and its
 * options in a file on `--args FD`, so everything is found beside this program:
 *
 *   DIR/bwrap        this program
 *   DIR/real         the path of the real bwrap (written by the runner)
 *   DIR/argv, DIR/args   written here: the command line and the options file, NUL-separated
 */
#define _GNU_SOURCE
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static void put(const char* dir, const char* name, const char* data, size_t len) {
  char path[PATH_MAX];
  snprintf(path, sizeof path, "%s/%s", dir, name);
  int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return;
  while (len > 0) {
    ssize_t n = write(fd, data, len);
    if (n <= 0) break;
    data += n;
    len -= (size_t)n;
  }
  close(fd);
}

int main(int argc, char** argv) {
  char dir[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", dir, sizeof dir - 1);
  if (n <= 0) return 127;
  dir[n] = '\0';
  *strrchr(dir, '/') = '\0';

  static char buf[1 << 20];
  size_t used = 0;
  for (int i = 0; i < argc; ++i) {
    size_t len = strlen(argv[i]) + 1;
    if (used + len > sizeof buf) break;
    memcpy(buf + used, argv[i], len);
    used += len;
  }
  put(dir, "argv", buf, used);
  for (int i = 1; i + 1 < argc; ++i) {
    if (strcmp(argv[i], "--args") != 0) continue;
    /* pread: the real bwrap reads the same open file from its current offset. */
    ssize_t got = pread(atoi(argv[i + 1]), buf, sizeof buf, 0);
    if (got > 0) put(dir, "args", buf, (size_t)got);
    break;
  }

  char real_file[PATH_MAX], real[PATH_MAX];
  snprintf(real_file, sizeof real_file, "%s/real", dir);
  int fd = open(real_file, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 127;
  n = read(fd, real, sizeof real - 1);
  close(fd);
  if (n <= 0) return 127;
  real[n] = '\0';
  execv(real, argv);
  return 127;
}
