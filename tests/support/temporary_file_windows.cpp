#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <atomic>
#include <cerrno>
#include <string>

#include "tests/support/temporary_file.h"

namespace nevrik::test {

// The C runtime's tmpfile() picks a name that is free, then opens it without claiming it, so
// test processes running side by side can end up in the same file. Here the name holds the
// process id, the file is created exclusively, and the C runtime deletes it on close. The file
// is opened through the C runtime rather than CreateFileW because the Windows tests replace this
// program's CreateFileW with a fake.
std::FILE* OpenTemporaryFile() {
  static std::atomic<unsigned> counter = 0;
  wchar_t directory[MAX_PATH + 1];
  const DWORD length = GetTempPathW(MAX_PATH + 1, directory);
  if (length == 0 || length > MAX_PATH) {
    return nullptr;
  }
  const std::wstring prefix =
      std::wstring(directory) + L"nevrik-test-" + std::to_wstring(GetCurrentProcessId()) + L"-";
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::wstring path = prefix + std::to_wstring(counter++) + L".tmp";
    const int descriptor =
        _wopen(path.c_str(), _O_CREAT | _O_EXCL | _O_RDWR | _O_BINARY | _O_TEMPORARY,
               _S_IREAD | _S_IWRITE);
    if (descriptor >= 0) {
      std::FILE* file = _fdopen(descriptor, "w+b");
      if (file == nullptr) {
        _close(descriptor);
      }
      return file;
    }
    if (errno != EEXIST) {
      return nullptr;
    }
  }
  return nullptr;
}

}  // namespace nevrik::test
