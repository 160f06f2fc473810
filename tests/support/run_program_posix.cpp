#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

#include "tests/support/captured_file.h"
#include "tests/support/run_program.h"

namespace nevrik::test {

ProgramResult RunProgram(const std::string& path, const std::vector<std::string>& arguments,
                         const std::string& input, const std::vector<std::string>& environment) {
  // Files rather than pipes: the program can write any amount without the caller draining it.
  const CapturedFile in(input);
  const CapturedFile out;
  const CapturedFile err;

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fileno(in.File()), STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, fileno(out.File()), STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, fileno(err.File()), STDERR_FILENO);

  std::vector<char*> argv{const_cast<char*>(path.c_str())};
  for (const std::string& argument : arguments) {
    argv.push_back(const_cast<char*>(argument.c_str()));
  }
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (const std::string& entry : environment) {
    envp.push_back(const_cast<char*>(entry.c_str()));
  }
  // The loader's search path is this test's own: it finds the libraries that the programs of a
  // cross build run with, and tells nothing to a program.
  const char* libraryPath = std::getenv("LD_LIBRARY_PATH");
  const std::string libraryPathEntry =
      libraryPath != nullptr ? std::string("LD_LIBRARY_PATH=") + libraryPath : std::string();
  if (!libraryPathEntry.empty()) {
    envp.push_back(const_cast<char*>(libraryPathEntry.c_str()));
  }
  envp.push_back(nullptr);

  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    throw std::runtime_error("cannot start " + path);
  }
  int status = 0;
  waitpid(pid, &status, 0);

  ProgramResult result;
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.out = out.Text();
  result.err = err.Text();
  return result;
}

std::string WrittenText(const std::string& text) {
  return text;
}

}  // namespace nevrik::test
