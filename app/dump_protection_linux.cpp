#include <sys/prctl.h>
#include <sys/resource.h>

#include "app/dump_protection.h"

namespace nevrik {

// Two locks, as the kernel's core dump paths differ. A process that is not dumpable gets no core
// dump, and only root may attach to it or read its memory through /proc. The core file limit of
// 1 byte holds even where the machine's settings would dump it anyway: the kernel writes no core
// file below a page, and it aborts a dump piped to a crash handler at exactly 1 (its marker for
// the handler's own crash), while it ignores every other limit, 0 included, for a pipe. The hard
// limit is lowered too, so nothing in the process can raise it again.
void KeepMemoryOutOfDumps() {
  prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
  const rlimit oneByte{1, 1};
  setrlimit(RLIMIT_CORE, &oneByte);
}

}  // namespace nevrik
