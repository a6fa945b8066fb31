/* The bare tunnel: the least a CONNECT relay can do, as the limit our tunnels are held to.
 * It accepts on 127.0.0.1 (ephemeral port, printed as "port=N"), reads the request head,
 * dials the literal 127.0.0.1:PORT it names, replies 200 and splices both directions, one
 * thread per direction through a 1 MiB pipe each. No filter, no name resolution, no
 * limits. Runs until stdin ends.
 *
 *   splice_relay
 */
#define _GNU_SOURCE
#include <fcntl.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <stdint.h>

#include "connect_head.h"

#define PIPE_BYTES (1 << 20)

struct pump {
  int from, to;
};

static void *pump(void *arg) {
  struct pump p = *(struct pump *)arg;
  free(arg);
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) == 0) {
    fcntl(fds[1], F_SETPIPE_SZ, PIPE_BYTES);
    for (;;) {
      ssize_t n = splice(p.from, NULL, fds[1], NULL, PIPE_BYTES, SPLICE_F_MOVE | SPLICE_F_MORE);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      while (n > 0) {
        ssize_t m = splice(fds[0], NULL, p.to, NULL, (size_t)n, SPLICE_F_MOVE | SPLICE_F_MORE);
        if (m < 0 && errno == EINTR) continue;
        if (m <= 0) goto done;
        n -= m;
      }
    }
  done:
    close(fds[0]);
    close(fds[1]);
  }
  shutdown(p.to, SHUT_WR);
  shutdown(p.from, SHUT_RD);
  return NULL;
}

static void *connection(void *arg) {
  int client = (int)(intptr_t)arg;
  int upstream = dial_target(read_target(client));
  if (upstream < 0 || send(client, connect_ok, sizeof connect_ok - 1, MSG_NOSIGNAL) !=
                          (ssize_t)(sizeof connect_ok - 1)) {
    close(client);
    if (upstream >= 0) close(upstream);
    return NULL;
  }
  int one = 1;
  setsockopt(upstream, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  struct pump *up = malloc(sizeof *up), *down = malloc(sizeof *down);
  *up = (struct pump){client, upstream};
  *down = (struct pump){upstream, client};
  pthread_t t;
  if (pthread_create(&t, NULL, pump, up) == 0) {
    pump(down);
    pthread_join(t, NULL);
  } else {
    free(up);
    free(down);
  }
  close(client);
  close(upstream);
  return NULL;
}

static void *stop_at_eof(void *arg) {
  (void)arg;
  char buf[64];
  while (read(0, buf, sizeof buf) > 0) {
  }
  exit(0);
}

int main(void) {
  int fd = listen_and_print_port();
  pthread_t t;
  pthread_create(&t, NULL, stop_at_eof, NULL);
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_attr_setstacksize(&attr, 256 * 1024);
  for (;;) {
    int c = accept4(fd, NULL, NULL, SOCK_CLOEXEC);
    if (c < 0) {
      if (errno == EINTR || errno == ECONNABORTED || errno == EMFILE) continue;
      perror("accept");
      return 1;
    }
    if (pthread_create(&t, &attr, connection, (void *)(intptr_t)c) != 0) close(c);
  }
}
