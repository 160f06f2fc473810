#include <sys/resource.h>

#include "app/dump_protection.h"

namespace nevrik {

// Without a dumpable flag to clear, a core file limit of 0 bytes: a limit the process lowers
// itself cannot be raised again by it.
void KeepMemoryOutOfDumps() {
  const rlimit none{0, 0};
  setrlimit(RLIMIT_CORE, &none);
}

}  // namespace nevrik
