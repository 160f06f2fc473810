#include "app/prompts.h"

#include "app/terminal.h"

namespace nevrik {

namespace {

constexpr const char* Question = "Are you sure to update the firmware? [y/n]: ";

enum class Answer { Yes, No, AskAgain, TooLong, InputEnded, Interrupted };

Answer AnswerFor(InputRead read) {
  return read == InputRead::Interrupted ? Answer::Interrupted : Answer::InputEnded;
}

Answer AnswerTo(std::uint8_t character) {
  switch (character) {
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

// Reads one line of which at most one character is kept: the line ends at its newline (consumed,
// with a "\r" before it) or at the end of the input; a second character before the line end
// makes the answer too long.
Answer ReadAnswer(std::FILE* in, const Interruption& interruption) {
  std::uint8_t line[3] = {};
  std::size_t length = 0;
  for (;;) {
    if (const InputRead read = ReadInputByte(in, interruption, line[length]);
        read != InputRead::Byte) {
      return AnswerFor(read);  // even with a character read: the line was never finished
    }
    const std::uint8_t character = line[length++];
    if (character == '\n') {
      // The line without its end: nothing, or one character.
      const std::size_t kept = length - 1 - (length >= 2 && line[length - 2] == '\r' ? 1 : 0);
      return kept == 0 ? Answer::AskAgain : kept == 1 ? AnswerTo(line[0]) : Answer::TooLong;
    }
    // A second character that cannot start a line end, or a third that is no newline.
    if ((length == 2 && character != '\r') || length == 3) {
      return Answer::TooLong;
    }
  }
}

// What is left of an over-long answer's line, up to and including its newline.
bool DiscardRestOfLine(std::FILE* in, const Interruption& interruption) {
  std::uint8_t character = 0;
  for (;;) {
    const InputRead read = ReadInputByte(in, interruption, character);
    if (read == InputRead::Interrupted) {
      return false;
    }
    if (read == InputRead::End || character == '\n') {
      return true;
    }
  }
}

void EndPromptLine(const StandardStreams& streams) {
  std::fprintf(streams.out, "\n");
  std::fflush(streams.out);
}

}  // namespace

bool ConfirmUpdate(const StandardStreams& streams, const Interruption& interruption) {
  for (;;) {
    std::fputs(Question, streams.out);
    std::fflush(streams.out);
    switch (ReadAnswer(streams.in, interruption)) {
      case Answer::Yes:
        return true;
      case Answer::No:
      case Answer::InputEnded:
        return false;
      case Answer::Interrupted:
        EndPromptLine(streams);
        return false;
      case Answer::TooLong:
        if (!DiscardRestOfLine(streams.in, interruption)) {
          EndPromptLine(streams);
          return false;
        }
        std::fprintf(streams.out, "Invalid key input\n");
        std::fflush(streams.out);
        break;
      case Answer::AskAgain:
        break;
    }
  }
}

bool ReadSoPin(const StandardStreams& streams, SecretBytes& pin, const Interruption& interruption) {
  // On every way out, an exception too: no byte of the line stays behind in the reader.
  struct HeldInputForgetter {
    ~HeldInputForgetter() { ForgetHeldInput(); }
  } const forgetHeldInput;
  WipeSecret(pin);
  const bool echoWasOn = SwitchEchoOff(streams.in);
  std::fprintf(streams.out, "SO PIN: ");
  std::fflush(streams.out);

  std::uint8_t character = 0;
  // Wiped on every way out as well: growing the PIN can throw with a byte of it held here.
  struct ByteWiper {
    std::uint8_t& byte;
    ~ByteWiper() { CryptoPP::SecureWipeBuffer(&byte, 1); }
  } const wipeCharacter{character};
  InputRead read = InputRead::Byte;
  while ((read = ReadInputByte(streams.in, interruption, character)) == InputRead::Byte &&
         character != '\n') {
    pin.push_back(character);
  }
  if (read == InputRead::Byte && !pin.empty() && pin.back() == '\r') {
    pin.back() = 0;
    pin.pop_back();  // a "\r\n" line end
  }

  if (echoWasOn) {
    RestoreEcho();
  }
  EndPromptLine(streams);
  if (read == InputRead::Interrupted) {
    WipeSecret(pin);
    return false;
  }
  return !pin.empty();
}

bool ConfirmUpdate(const StandardStreams& streams, const PromptAnswers& answers,
                   const Interruption& interruption) {
  if (!answers.confirmed) {
    return ConfirmUpdate(streams, interruption);
  }
  // What a log of the run would show had the answer been typed.
  std::fprintf(streams.out, "%sy\n", Question);
  std::fflush(streams.out);
  return true;
}

bool ReadSoPin(const StandardStreams& streams, const PromptAnswers& answers, SecretBytes& pin,
               const Interruption& interruption) {
  if (answers.soPinInput == nullptr) {
    return ReadSoPin(streams, pin, interruption);
  }
  return ReadSoPin({answers.soPinInput, streams.out, streams.err}, pin, interruption);
}

}  // namespace nevrik
