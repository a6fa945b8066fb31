/* The bare CONNECT responder: the least work that answers a tunnel request, as the limit
 * our handshakes are held to. Four threads block in accept on one listener on 127.0.0.1
 * (ephemeral port, printed as "port=N"); each reads the request head, dials the literal
 * 127.0.0.1:PORT it names, replies 200 and closes both ends. No relay, no filter, no name
 * resolution, no thread per connection. Runs until stdin ends.
 *
 *   connect_responder
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#define WORKERS 4

static int listener;

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

static void *worker(void *arg) {
  (void)arg;
  static const char ok[] = "HTTP/1.1 200 Connection established\r\n\r\n";
  for (;;) {
    int c = accept4(listener, NULL, NULL, SOCK_CLOEXEC);
    if (c < 0) continue;
    int port = read_target(c);
    int up = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in a = {.sin_family = AF_INET, .sin_port = htons((uint16_t)port),
                            .sin_addr.s_addr = htonl(INADDR_LOOPBACK)};
    if (port > 0 && up >= 0 && connect(up, (struct sockaddr *)&a, sizeof a) == 0) {
      (void)send(c, ok, sizeof ok - 1, MSG_NOSIGNAL);
    }
    if (up >= 0) close(up);
    close(c);
  }
  return NULL;
}

int main(void) {
  listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  struct sockaddr_in a = {.sin_family = AF_INET, .sin_addr.s_addr = htonl(INADDR_LOOPBACK)};
  socklen_t len = sizeof a;
  if (listener < 0 || bind(listener, (struct sockaddr *)&a, sizeof a) != 0 ||
      listen(listener, 4096) != 0 || getsockname(listener, (struct sockaddr *)&a, &len) != 0) {
    perror("listen");
    return 1;
  }
  printf("port=%d\n", ntohs(a.sin_port));
  fflush(stdout);
  pthread_t t;
  for (int i = 0; i < WORKERS; ++i) pthread_create(&t, NULL, worker, NULL);
  char buf[64];
  while (read(0, buf, sizeof buf) > 0) {
  }
  return 0;
}
