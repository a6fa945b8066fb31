/* What the two bare CONNECT references share: a listener on 127.0.0.1 whose port they
 * print, the request head read up to its blank line, and the dial to the literal
 * 127.0.0.1:PORT it names. Included by connect_responder.c and splice_relay.c. */
#pragma once

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

static const char connect_ok[] = "HTTP/1.1 200 Connection established\r\n\r\n";

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

/* A socket connected to 127.0.0.1:port, or -1. */
static int dial_target(int port) {
  if (port <= 0) return -1;
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in a = {.sin_family = AF_INET, .sin_port = htons((uint16_t)port),
                          .sin_addr.s_addr = htonl(INADDR_LOOPBACK)};
  if (fd >= 0 && connect(fd, (struct sockaddr *)&a, sizeof a) == 0) return fd;
  if (fd >= 0) close(fd);
  return -1;
}

/* A listener on 127.0.0.1 at a port of the system's choosing, printed as "port=N"; exits
 * the program when it cannot be had. */
static int listen_and_print_port(void) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  struct sockaddr_in a = {.sin_family = AF_INET, .sin_addr.s_addr = htonl(INADDR_LOOPBACK)};
  socklen_t len = sizeof a;
  if (fd < 0 || bind(fd, (struct sockaddr *)&a, sizeof a) != 0 || listen(fd, 4096) != 0 ||
      getsockname(fd, (struct sockaddr *)&a, &len) != 0) {
    perror("listen");
    exit(1);
  }
  printf("port=%d\n", ntohs(a.sin_port));
  fflush(stdout);
  return fd;
}
