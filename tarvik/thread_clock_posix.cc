// CPU time of the calling thread, for the library's account of its worker.
#include <time.h>

#include "tarvik/tarvik_core.h"

namespace tarvik {

double ThreadCpuSeconds() {
  timespec now{};
  if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now) != 0) return 0;
  return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

}  // namespace tarvik
