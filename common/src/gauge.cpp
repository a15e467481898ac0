#include "common/log.h"
#include "common/util.h"

void gauge_add(gauge &g, int n) {
  g.current += n;
  if (g.current > g.peak) g.peak = g.current;
  g.total += n;
}

void gauge_sub(gauge &g, int n) {
  if (g.current < n) {
    QUILMAR_ASSERT(0);
    log_write("wtf: gauge underflow, [%s]\n", g.name);
  }
  g.current -= n;
}
