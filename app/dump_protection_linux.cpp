#include <sys/prctl.h>

#include "app/dump_protection.h"

namespace nevrik {

// A process that is not dumpable writes no core file, and only root may attach to it or read
// its memory through /proc.
void KeepMemoryOutOfDumps() {
  prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
}

}  // namespace nevrik
