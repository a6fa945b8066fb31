/* The bare CONNECT responder: the least work that answers a tunnel request, as the limit
 * our handshakes are held to. Four threads block in accept on one listener on 127.0.0.1
 * (ephemeral port, printed as "port=N"); each reads the request head, dials the literal
 * 127.0.0.1:PORT it names, replies 200 and closes both ends. No relay, no filter, no name
 * resolution, no thread per connection. Runs until stdin ends.
 *
 *   connect_responder
 */
#define _GNU_SOURCE
#include <pthread.h>

#include "connect_head.h"

#define WORKERS 4

static int listener;

static void *worker(void *arg) {
  (void)arg;
  for (;;) {
    int c = accept4(listener, NULL, NULL, SOCK_CLOEXEC);
    if (c < 0) continue;
    int up = dial_target(read_target(c));
    if (up >= 0) {
      (void)send(c, connect_ok, sizeof connect_ok - 1, MSG_NOSIGNAL);
      close(up);
    }
    close(c);
  }
  return NULL;
}

int main(void) {
  listener = listen_and_print_port();
  pthread_t t;
  for (int i = 0; i < WORKERS; ++i) pthread_create(&t, NULL, worker, NULL);
  char buf[64];
  while (read(0, buf, sizeof buf) > 0) {
  }
  return 0;
}
