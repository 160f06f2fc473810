#include "tests/support/temporary_file.h"

namespace nevrik::test {

std::FILE* OpenTemporaryFile() {
  return std::tmpfile();
}

}  // namespace nevrik::test
