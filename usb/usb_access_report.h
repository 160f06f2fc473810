#pragma once

#include <string>
#include <vector>

namespace nevrik {

// Offered by enumerators that must open a device to learn whether it is a NEVRIK key: how many
// such candidates the last Enumerate had to skip because this process may not open them, and
// where they are. Lets the application tell "no key" apart from "no permission to look".
class UsbAccessReport {
 public:
  virtual unsigned GetInaccessibleCount() const = 0;
  // The operating system's paths of those candidates, in the order they were listed.
  virtual std::vector<std::wstring> GetInaccessiblePaths() const = 0;

 protected:
  ~UsbAccessReport() = default;
};

}  // namespace nevrik
