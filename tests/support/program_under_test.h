#pragma once

#include <string>

namespace nevrik::test {

// The program that a test runs on the emulated bus, given the file this build made. When
// NEVRIK_PROGRAMS_UNDER_TEST names another build tree of the project, the same file in that tree
// instead: the native bus and test drivers then run the programs of a cross build (arm64, through
// qemu-user). Stops the test program if that file is missing, rather than test the wrong one.
std::string ProgramUnderTest(const std::string& builtFile);

}  // namespace nevrik::test
