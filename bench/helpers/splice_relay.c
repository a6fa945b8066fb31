/* The bare tunnel: the least a CONNECT relay can do, as the limit our tunnels are held to.
 * It accepts on 127.0.0.1 (ephemeral port, printed as "port=N"), reads the request head,
 * dials the literal 127.0.0.1:PORT it names, replies 200 and splices both directions, one
 * thread per direction through a 1 MiB pipe each. No filter, no name resolution, no
 * limits. Runs until stdin ends.
 *
 *   splice_relay
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

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

/* The head up to its blank line (nothing follows it before our reply), then the port of
 * "CONNECT 127.0.0.1:PORT". 0 when the head is not that. */
static int read_target(int fd) {
  char head[1024];
  size_t got = 0;
  while (got < 4 || memcmp(head + got - 4, "\r\n\r\n", 4) != 0) {
    if (got == sizeof head - 1) return 0;
    ssize_t r = recv(fd, head + got, sizeof head - 1 - got, 0);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return 0;
    got += (size_t)r;
  }
  head[got] = 0;
  const char prefix[] = "CONNECT 127.0.0.1:";
  if (strncmp(head, prefix, sizeof prefix - 1) != 0) return 0;
  return atoi(head + sizeof prefix - 1);
}

static void *connection(void *arg) {
  int client = (int)(intptr_t)arg;
  int port = read_target(client);
  int upstream = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in a = {.sin_family = AF_INET, .sin_port = htons((uint16_t)port),
                          .sin_addr.s_addr = htonl(INADDR_LOOPBACK)};
  static const char ok[] = "HTTP/1.1 200 Connection established\r\n\r\n";
  if (port <= 0 || upstream < 0 || connect(upstream, (struct sockaddr *)&a, sizeof a) != 0 ||
      send(client, ok, sizeof ok - 1, MSG_NOSIGNAL) != (ssize_t)(sizeof ok - 1)) {
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
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  struct sockaddr_in a = {.sin_family = AF_INET, .sin_addr.s_addr = htonl(INADDR_LOOPBACK)};
  socklen_t len = sizeof a;
  if (fd < 0 || bind(fd, (struct sockaddr *)&a, sizeof a) != 0 || listen(fd, 4096) != 0 ||
      getsockname(fd, (struct sockaddr *)&a, &len) != 0) {
    perror("listen");
    return 1;
  }
  printf("port=%d\n", ntohs(a.sin_port));
  fflush(stdout);
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
