#include "tests/support/program_under_test.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace nevrik::test {

std::string ProgramUnderTest(const std::string& builtFile) {
  const char* otherBuild = std::getenv("NEVRIK_PROGRAMS_UNDER_TEST");
  if (otherBuild == nullptr || *otherBuild == '\0') {
    return builtFile;
  }
  const std::filesystem::path inBuild =
      std::filesystem::path(builtFile).lexically_relative(NEVRIK_BUILD_DIR);
  const std::filesystem::path file = std::filesystem::path(otherBuild) / inBuild;
  if (inBuild.empty() || *inBuild.begin() == ".." || !std::filesystem::exists(file)) {
    std::fprintf(stderr, "NEVRIK_PROGRAMS_UNDER_TEST=%s holds no %s\n", otherBuild,
                 inBuild.string().c_str());
    std::exit(125);
  }
  return file.string();
}

}  // namespace nevrik::test
