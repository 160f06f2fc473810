#include <windows.h>

#include <stdexcept>
#include <thread>

#include "tests/support/run_program.h"

namespace nevrik::test {

namespace {

std::wstring Widen(const std::string& text) {
  if (text.empty()) {
    return {};
  }
  const int size = static_cast<int>(text.size());
  const int length =
      MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), size, nullptr, 0);
  if (length <= 0) {
    throw std::invalid_argument("not UTF-8: " + text);
  }
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), size, wide.data(), length);
  return wide;
}

// The argument written so that the C runtime's command-line parser gives it back unchanged:
// quoted when it holds blanks or quotes or is empty, with the backslashes before a quote doubled.
std::wstring CommandLineArgument(const std::wstring& argument) {
  if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
    return argument;
  }
  std::wstring quoted = L"\"";
  std::size_t backslashes = 0;
  for (const wchar_t character : argument) {
    if (character == L'\\') {
      ++backslashes;
      continue;
    }
    quoted.append(character == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
    backslashes = 0;
    quoted += character;
  }
  quoted.append(2 * backslashes, L'\\');
  return quoted + L"\"";
}

// Closes a handle when it goes out of scope.
class OwnedHandle {
 public:
  OwnedHandle() = default;
  explicit OwnedHandle(HANDLE handle) : handle(handle) {}
  ~OwnedHandle() { Close(); }
  OwnedHandle(const OwnedHandle&) = delete;
  OwnedHandle& operator=(const OwnedHandle&) = delete;

  HANDLE Get() const { return handle; }
  HANDLE* Out() { return &handle; }
  void Close() {
    if (handle != nullptr) {
      CloseHandle(handle);
      handle = nullptr;
    }
  }

 private:
  HANDLE handle = nullptr;
};

// An anonymous pipe between this process and the program; only the program's end is inherited.
struct Pipe {
  // programReads: the pipe is the program's standard input; otherwise the program writes to it.
  explicit Pipe(bool programReads) {
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inheritable, 0)) {
      throw std::runtime_error("cannot create a pipe");
    }
    *ours.Out() = programReads ? writeEnd : readEnd;
    *programs.Out() = programReads ? readEnd : writeEnd;
    SetHandleInformation(ours.Get(), HANDLE_FLAG_INHERIT, 0);
  }

  OwnedHandle ours;
  OwnedHandle programs;
};

std::string ReadToEnd(HANDLE handle) {
  std::string text;
  char buffer[4096];
  DWORD count = 0;
  while (ReadFile(handle, buffer, sizeof buffer, &count, nullptr) && count > 0) {
    text.append(buffer, count);
  }
  return text;
}

}  // namespace

ProgramResult RunProgram(const std::string& path, const std::vector<std::string>& arguments,
                         const std::string& input, const std::vector<std::string>& environment) {
  std::wstring commandLine = CommandLineArgument(Widen(path));
  for (const std::string& argument : arguments) {
    commandLine += L' ' + CommandLineArgument(Widen(argument));
  }
  // Each entry ends in a null character, and so does the block; an empty block is two of them.
  std::wstring environmentBlock;
  for (const std::string& entry : environment) {
    environmentBlock += Widen(entry) + L'\0';
  }
  environmentBlock.append(environment.empty() ? 2 : 1, L'\0');

  // Pipes, as when a user redirects the program's streams: none of them is a console.
  Pipe in(true);
  Pipe out(false);
  Pipe err(false);

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = in.programs.Get();
  startup.hStdOutput = out.programs.Get();
  startup.hStdError = err.programs.Get();
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE,
                      CREATE_UNICODE_ENVIRONMENT, environmentBlock.data(), nullptr, &startup,
                      &process)) {
    throw std::runtime_error("cannot start " + path);
  }
  const OwnedHandle processHandle(process.hProcess);
  const OwnedHandle threadHandle(process.hThread);
  // Only the program holds its ends now, so each pipe ends when the program lets go of it.
  in.programs.Close();
  out.programs.Close();
  err.programs.Close();

  std::thread feed([&] {
    DWORD written = 0;
    WriteFile(in.ours.Get(), input.data(), static_cast<DWORD>(input.size()), &written, nullptr);
    in.ours.Close();
  });
  std::string errText;
  std::thread drainError([&] { errText = ReadToEnd(err.ours.Get()); });
  ProgramResult result;
  result.out = ReadToEnd(out.ours.Get());
  drainError.join();
  feed.join();
  result.err = errText;

  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD exitCode = 0;
  if (GetExitCodeProcess(process.hProcess, &exitCode)) {
    result.exitCode = static_cast<int>(exitCode);
  }
  return result;
}

std::string WrittenText(const std::string& text) {
  std::string written;
  for (const char character : text) {
    if (character == '\n') {
      written += '\r';
    }
    written += character;
  }
  return written;
}

}  // namespace nevrik::test
