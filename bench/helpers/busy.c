/* One busy loop per argument-less run: spins on the CPU until stdin ends, to load a core
 * while the contention benchmarks run. Checks stdin once every few million turns.
 *
 *   busy
 */
#define _GNU_SOURCE
#include <poll.h>
#include <stdint.h>
#include <unistd.h>

int main(void) {
  volatile uint64_t spin = 0;
  for (;;) {
    for (int i = 0; i < 4000000; ++i) spin += (uint64_t)i;
    struct pollfd p = {0, POLLIN, 0};
    if (poll(&p, 1, 0) > 0) {
      char buf[64];
      if (read(0, buf, sizeof buf) <= 0) return 0;
    }
  }
}
