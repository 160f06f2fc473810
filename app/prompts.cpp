#include "app/prompts.h"

#include "app/terminal.h"

namespace nevrik {

namespace {

enum class Answer { Yes, No, AskAgain, TooLong, InputEnded };

// Reads one line of which at most one character is kept: the line ends at its newline (consumed)
// or at the end of the input; a second character before the newline makes the answer too long
// and stays unread.
Answer ReadAnswer(std::FILE* in) {
  const int first = std::getc(in);
  if (first == EOF) {
    return Answer::InputEnded;
  }
  if (first == '\n') {
    return Answer::AskAgain;
  }
  const int second = std::getc(in);
  if (second == EOF) {
    return Answer::InputEnded;  // even with a character read: the line was never finished
  }
  if (second != '\n') {
    std::ungetc(second, in);
    return Answer::TooLong;
  }
  switch (first) {
    case 'y':
    case 'Y':
      return Answer::Yes;
    case 'n':
    case 'N':
      return Answer::No;
    default:
      return Answer::AskAgain;
  }
}

void DiscardRestOfLine(std::FILE* in) {
  int character = 0;
  do {
    character = std::getc(in);
  } while (character != '\n' && character != EOF);
}

}  // namespace

bool ConfirmUpdate(const StandardStreams& streams) {
  for (;;) {
    std::fprintf(streams.out, "Are you sure to update the firmware? [y/n]: ");
    std::fflush(streams.out);
    switch (ReadAnswer(streams.in)) {
      case Answer::Yes:
        return true;
      case Answer::No:
      case Answer::InputEnded:
        return false;
      case Answer::TooLong:
        DiscardRestOfLine(streams.in);
        std::fprintf(streams.out, "Invalid key input\n");
        std::fflush(streams.out);
        break;
      case Answer::AskAgain:
        break;
    }
  }
}

void ReadSoPin(const StandardStreams& streams, SecretBytes& pin) {
  WipeSecret(pin);
  const bool echoWasOn = SwitchEchoOff(streams.in);
  std::fprintf(streams.out, "SO PIN: ");
  std::fflush(streams.out);

  for (int character = std::getc(streams.in); character != '\n' && character != EOF;
       character = std::getc(streams.in)) {
    pin.push_back(static_cast<std::uint8_t>(character));
  }

  if (echoWasOn) {
    RestoreEcho();
  }
  std::fprintf(streams.out, "\n");
  std::fflush(streams.out);
}

}  // namespace nevrik
