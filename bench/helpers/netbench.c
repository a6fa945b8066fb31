/* Loopback load generator for the proxy benchmarks. Each run starts its own origin
 * server on 127.0.0.1 (ephemeral port) in this process and drives clients through a
 * proxy (or directly), so the proxy under test is the only other party. All traffic
 * stays on 127.0.0.1; every loop is bounded by a byte count, a connection count or a
 * duration.
 *
 *   netbench bulk      direct|http|socks PROXY_PORT up|down BYTES
 *       one transfer of BYTES through a fresh tunnel; prints "secs=S" (handshake excluded)
 *   netbench handshake http|socks PROXY_PORT CLIENTS SECONDS
 *       CLIENTS threads open and close tunnels for SECONDS; prints "count=N secs=S fails=F"
 *       (a tunnel counts once the proxy's success reply has arrived)
 *   netbench hold      http|socks PROXY_PORT N
 *       opens N tunnels, checks each with a one-byte echo, prints "ready ok=N fail=F",
 *       waits for a line on stdin, closes them all, prints "closed", waits for stdin EOF.
 *   netbench latency   http|socks PROXY_PORT N
 *       N tunnels one after another, each opened and closed; prints "median_us=M p90_us=P"
 *       (connect to the proxy until its success reply)
 *   netbench serve     bulk - SECONDS
 *       only the origin: prints "port=N", serves until stdin ends or SECONDS pass
 *
 * With NETBENCH_ORIGIN=PORT in the environment the clients use that origin instead of
 * starting one (a sandboxed client reaching the host's origin through the proxy).
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#define BIG (1 << 20)

enum kind { DIRECT, HTTP, SOCKS };

static int proxy_port;
static int origin_port;
static enum kind kind;

static double now(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

static void die(const char *what) {
  perror(what);
  exit(1);
}

static int listen_loopback(int *port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) die("socket");
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  struct sockaddr_in a = {.sin_family = AF_INET, .sin_addr.s_addr = htonl(INADDR_LOOPBACK)};
  if (bind(fd, (struct sockaddr *)&a, sizeof a) != 0) die("bind");
  if (listen(fd, 4096) != 0) die("listen");
  socklen_t len = sizeof a;
  getsockname(fd, (struct sockaddr *)&a, &len);
  *port = ntohs(a.sin_port);
  return fd;
}

static int connect_loopback(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  /* A stuck peer fails the run instead of hanging it. */
  struct timeval tv = {60, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  struct sockaddr_in a = {.sin_family = AF_INET,
                          .sin_port = htons((uint16_t)port),
                          .sin_addr.s_addr = htonl(INADDR_LOOPBACK)};
  if (connect(fd, (struct sockaddr *)&a, sizeof a) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

static int send_all(int fd, const void *p, size_t n) {
  const char *c = p;
  while (n > 0) {
    ssize_t w = send(fd, c, n, MSG_NOSIGNAL);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return -1;
    c += w;
    n -= (size_t)w;
  }
  return 0;
}

static int recv_exact(int fd, void *p, size_t n) {
  char *c = p;
  while (n > 0) {
    ssize_t r = recv(fd, c, n, 0);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return -1;
    c += r;
    n -= (size_t)r;
  }
  return 0;
}

/* Closes with a reset so that neither side keeps the port pair in TIME_WAIT. */
static void close_reset(int fd) {
  struct linger l = {1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  close(fd);
}

/* Opens a connection to the origin, through the proxy unless kind is DIRECT. */
static int open_tunnel(void) {
  if (kind == DIRECT) return connect_loopback(origin_port);
  int fd = connect_loopback(proxy_port);
  if (fd < 0) return -1;
  if (kind == HTTP) {
    char req[128];
    int n = snprintf(req, sizeof req, "CONNECT 127.0.0.1:%d HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n\r\n",
                     origin_port, origin_port);
    if (send_all(fd, req, (size_t)n) != 0) goto fail;
    /* Nothing follows the head before we send, so reading whole chunks is safe. */
    char head[1024];
    size_t got = 0;
    while (got < 4 || memcmp(head + got - 4, "\r\n\r\n", 4) != 0) {
      if (got == sizeof head) goto fail;
      ssize_t r = recv(fd, head + got, sizeof head - got, 0);
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) goto fail;
      got += (size_t)r;
    }
    if (got < 12 || memcmp(head + 8, " 200", 4) != 0) goto fail;
  } else {
    unsigned char hello[3] = {5, 1, 0}, choice[2];
    if (send_all(fd, hello, 3) != 0 || recv_exact(fd, choice, 2) != 0) goto fail;
    if (choice[0] != 5 || choice[1] != 0) goto fail;
    unsigned char req[10] = {5, 1, 0, 1, 127, 0, 0, 1, (unsigned char)(origin_port >> 8),
                             (unsigned char)(origin_port & 0xff)};
    unsigned char rep[4 + 16 + 2];
    if (send_all(fd, req, sizeof req) != 0 || recv_exact(fd, rep, 4) != 0) goto fail;
    if (rep[1] != 0) goto fail;
    size_t rest = rep[3] == 4 ? 18 : rep[3] == 1 ? 6 : 0;
    if (rest == 0 || recv_exact(fd, rep + 4, rest) != 0) goto fail;
  }
  return fd;
fail:
  close(fd);
  return -1;
}

/* ---- bulk ---- */

static char big[BIG];

static void *bulk_conn(void *arg) {
  int fd = (int)(intptr_t)arg;
  char *buf = malloc(BIG);
  unsigned char hdr[9];
  if (!buf || recv_exact(fd, hdr, 9) != 0) goto out;
  uint64_t bytes;
  memcpy(&bytes, hdr + 1, 8);
  if (hdr[0] == 'D') {
    while (bytes > 0) {
      size_t n = bytes < BIG ? (size_t)bytes : BIG;
      if (send_all(fd, big, n) != 0) goto out;
      bytes -= n;
    }
    shutdown(fd, SHUT_WR);
  } else {
    while (bytes > 0) {
      ssize_t r = recv(fd, buf, BIG, 0);
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) goto out;
      bytes -= (uint64_t)r;
    }
    if (send_all(fd, "k", 1) != 0) goto out;
  }
  while (recv(fd, buf, BIG, 0) > 0) {
  }
out:
  free(buf);
  close(fd);
  return NULL;
}

static void *bulk_origin(void *arg) {
  int lfd = (int)(intptr_t)arg;
  for (;;) {
    int fd = accept4(lfd, NULL, NULL, SOCK_CLOEXEC);
    if (fd < 0) continue;
    pthread_t t;
    if (pthread_create(&t, NULL, bulk_conn, (void *)(intptr_t)fd) != 0) close(fd);
    else pthread_detach(t);
  }
  return NULL;
}

static int run_bulk(int up, uint64_t bytes) {
  int fd = open_tunnel();
  if (fd < 0) {
    fprintf(stderr, "tunnel failed\n");
    return 1;
  }
  char *buf = malloc(BIG);
  unsigned char hdr[9];
  hdr[0] = up ? 'U' : 'D';
  memcpy(hdr + 1, &bytes, 8);
  double t0 = now();
  if (send_all(fd, hdr, 9) != 0) return 1;
  if (up) {
    uint64_t left = bytes;
    while (left > 0) {
      size_t n = left < BIG ? (size_t)left : BIG;
      if (send_all(fd, big, n) != 0) return 1;
      left -= n;
    }
    char ack;
    if (recv_exact(fd, &ack, 1) != 0) return 1;
  } else {
    uint64_t left = bytes;
    while (left > 0) {
      ssize_t r = recv(fd, buf, BIG, 0);
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) return 1;
      left -= (uint64_t)r;
    }
  }
  double t1 = now();
  close(fd);
  printf("secs=%.6f\n", t1 - t0);
  return 0;
}

/* ---- handshake ---- */

static volatile int stop_clients;

struct counts {
  long ok, fail;
};

static void *handshake_client(void *arg) {
  struct counts *c = arg;
  while (!__atomic_load_n(&stop_clients, __ATOMIC_RELAXED)) {
    int fd = open_tunnel();
    if (fd < 0) {
      c->fail++;
      if (c->fail > 1000) break;
      continue;
    }
    /* A plain close: the proxy passes the end of stream on, the origin then resets. */
    close(fd);
    c->ok++;
  }
  return NULL;
}

static int run_handshake(int clients, double seconds) {
  pthread_t t[64];
  struct counts c[64];
  if (clients > 64) clients = 64;
  memset(c, 0, sizeof c);
  double t0 = now();
  for (int i = 0; i < clients; ++i) pthread_create(&t[i], NULL, handshake_client, &c[i]);
  struct timespec ts = {(time_t)seconds, (long)((seconds - (double)(time_t)seconds) * 1e9)};
  nanosleep(&ts, NULL);
  __atomic_store_n(&stop_clients, 1, __ATOMIC_RELAXED);
  long ok = 0, fail = 0;
  for (int i = 0; i < clients; ++i) {
    pthread_join(t[i], NULL);
    ok += c[i].ok;
    fail += c[i].fail;
  }
  printf("count=%ld secs=%.6f fails=%ld\n", ok, now() - t0, fail);
  return 0;
}

/* ---- latency ---- */

static int cmp_double(const void *a, const void *b) {
  double x = *(const double *)a, y = *(const double *)b;
  return x < y ? -1 : x > y;
}

static int run_latency(int n) {
  if (n < 1 || n > 100000) return 2;
  double *us = calloc((size_t)n, sizeof(double));
  for (int i = 0; i < n; ++i) {
    double t0 = now();
    int fd = open_tunnel();
    if (fd < 0) {
      fprintf(stderr, "tunnel failed\n");
      return 1;
    }
    us[i] = (now() - t0) * 1e6;
    close(fd);
  }
  qsort(us, (size_t)n, sizeof(double), cmp_double);
  printf("median_us=%.1f p90_us=%.1f\n", us[n / 2], us[(n * 9) / 10]);
  return 0;
}

static void *stop_after(void *arg) {
  double seconds = *(double *)arg;
  struct timespec ts = {(time_t)seconds, 0};
  nanosleep(&ts, NULL);
  exit(0);
}

static int run_serve(double seconds) {
  printf("port=%d\n", origin_port);
  fflush(stdout);
  pthread_t t;
  if (pthread_create(&t, NULL, stop_after, &seconds) != 0) return 1;
  char line[64];
  while (fgets(line, sizeof line, stdin)) {
  }
  return 0;
}

/* ---- hold ---- */

/* Echoes whatever arrives and closes each connection with a reset once its peer has
 * ended it, so the origin keeps no TIME_WAIT entries. Serves handshake and hold runs. */
static void *echo_origin(void *arg) {
  int lfd = (int)(intptr_t)arg;
  int ep = epoll_create1(EPOLL_CLOEXEC);
  struct epoll_event ev = {.events = EPOLLIN, .data.fd = lfd};
  epoll_ctl(ep, EPOLL_CTL_ADD, lfd, &ev);
  struct epoll_event evs[256];
  char buf[4096];
  for (;;) {
    int n = epoll_wait(ep, evs, 256, -1);
    for (int i = 0; i < n; ++i) {
      int fd = evs[i].data.fd;
      if (fd == lfd) {
        int c = accept4(lfd, NULL, NULL, SOCK_CLOEXEC);
        if (c < 0) continue;
        struct epoll_event cev = {.events = EPOLLIN, .data.fd = c};
        epoll_ctl(ep, EPOLL_CTL_ADD, c, &cev);
        continue;
      }
      ssize_t r = recv(fd, buf, sizeof buf, 0);
      if (r <= 0) {
        epoll_ctl(ep, EPOLL_CTL_DEL, fd, NULL);
        close_reset(fd);
      } else if (send_all(fd, buf, (size_t)r) != 0) {
        epoll_ctl(ep, EPOLL_CTL_DEL, fd, NULL);
        close(fd);
      }
    }
  }
  return NULL;
}

static int run_hold(int n) {
  int *fds = calloc((size_t)n, sizeof(int));
  int ok = 0, fail = 0;
  for (int i = 0; i < n; ++i) {
    fds[i] = open_tunnel();
    char c = 'e', back = 0;
    if (fds[i] >= 0 && send_all(fds[i], &c, 1) == 0 && recv_exact(fds[i], &back, 1) == 0 &&
        back == c) {
      ok++;
    } else {
      fail++;
    }
  }
  printf("ready ok=%d fail=%d\n", ok, fail);
  fflush(stdout);
  char line[64];
  if (!fgets(line, sizeof line, stdin)) return 1;
  for (int i = 0; i < n; ++i)
    if (fds[i] >= 0) close(fds[i]);
  printf("closed\n");
  fflush(stdout);
  while (fgets(line, sizeof line, stdin)) {
  }
  return 0;
}

int main(int argc, char **argv) {
  if (argc < 4) {
    fprintf(stderr, "usage: see the header of netbench.c\n");
    return 2;
  }
  struct rlimit rl;
  if (getrlimit(RLIMIT_NOFILE, &rl) == 0) {
    rl.rlim_cur = rl.rlim_max;
    setrlimit(RLIMIT_NOFILE, &rl);
  }
  memset(big, 'b', sizeof big);
  const char *mode = argv[1];
  kind = strcmp(argv[2], "http") == 0 ? HTTP : strcmp(argv[2], "socks") == 0 ? SOCKS : DIRECT;
  proxy_port = atoi(argv[3]);
  const char *given = getenv("NETBENCH_ORIGIN");
  if (given) {
    origin_port = atoi(given);
  } else {
    int lfd = listen_loopback(&origin_port);
    int bulky = strcmp(mode, "bulk") == 0 || strcmp(mode, "serve") == 0;
    void *(*origin)(void *) = bulky ? bulk_origin : echo_origin;
    pthread_t ot;
    if (pthread_create(&ot, NULL, origin, (void *)(intptr_t)lfd) != 0) die("pthread_create");
    pthread_detach(ot);
  }
  if (strcmp(mode, "bulk") == 0 && argc == 6)
    return run_bulk(strcmp(argv[4], "up") == 0, strtoull(argv[5], NULL, 10));
  if (strcmp(mode, "handshake") == 0 && argc == 6)
    return run_handshake(atoi(argv[4]), atof(argv[5]));
  if (strcmp(mode, "hold") == 0 && argc == 5) return run_hold(atoi(argv[4]));
  if (strcmp(mode, "latency") == 0 && argc == 5) return run_latency(atoi(argv[4]));
  if (strcmp(mode, "serve") == 0 && argc == 5) return run_serve(atof(argv[4]));
  fprintf(stderr, "bad arguments\n");
  return 2;
}
