#pragma once

#include <string>
#include <string_view>

namespace nevrik::usbbus {

// Answers the updater's two console prompts for a person who is not there (no terminal on
// standard input: continuous integration, a pipe): "y" to the confirmation and the key's SO PIN
// to the PIN prompt. It reads what the updater writes, so an answer goes out only once its
// question has been asked, and it shows the answers as a terminal would show a person's typing:
// "y" and the Enter after the question; nothing for the PIN, which the updater reads without echo
// (the updater itself ends that line).
class ConsoleScript {
 public:
  explicit ConsoleScript(std::string soPin) : soPin(std::move(soPin)) {}

  struct Reply {
    std::string typed;  // to write to the updater's standard input
    std::string shown;  // to show once the updater has read what was typed
  };

  // Takes the next piece of the updater's output; the reply is empty until a prompt is complete.
  Reply Read(std::string_view output);

 private:
  std::string soPin;
  std::string recent;  // the end of the output since the last answer
};

}  // namespace nevrik::usbbus
