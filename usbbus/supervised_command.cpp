#include "usbbus/supervised_command.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "usbbus/unique_fd.h"

namespace nevrik::usbbus {

namespace {

volatile std::sig_atomic_t pendingSignal = 0;

void NoteSignal(int signalNumber) {
  pendingSignal = signalNumber;
}

struct Pipe {
  UniqueFd read;
  UniqueFd write;
};

void MakePipe(Pipe& pipe) {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) {
    throw std::runtime_error("cannot make a pipe for the command");
  }
  pipe.read.Reset(ends[0]);
  pipe.write.Reset(ends[1]);
}

void Show(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

// The command's console as the script sees it: what it wrote is shown, its prompts answered, and
// an answer is shown as a terminal would echo it only once the command has read it.
struct Console {
  ConsoleScript& script;
  int input;            // the command's standard input
  std::string unshown;  // the echo of the answer still waiting in the input

  // Shows the echo if nothing is left unread.
  void ShowEchoOnceRead() {
    int unread = 0;
    if (!unshown.empty() && ioctl(input, FIONREAD, &unread) == 0 && unread == 0) {
      Show(unshown);
      unshown.clear();
    }
  }

  // A command that has stopped reading (it ended) makes writing fail; that is its own business.
  void PassOn(std::string_view output) {
    ShowEchoOnceRead();  // it was read before this was written
    Show(output);
    const ConsoleScript::Reply reply = script.Read(output);
    if (!reply.typed.empty() && write(input, reply.typed.data(), reply.typed.size()) ==
                                    static_cast<ssize_t>(reply.typed.size())) {
      unshown += reply.shown;
    }
  }

  // False at the end of the output.
  bool ReadOutput(int output) {
    char buffer[4096];
    const ssize_t got = read(output, buffer, sizeof buffer);
    if (got > 0) {
      PassOn(std::string_view(buffer, static_cast<std::size_t>(got)));
      return true;
    }
    return got < 0 && (errno == EINTR || errno == EAGAIN);
  }
};

// A descriptor that becomes readable when the process ends (Linux 5.3 and later); -1 without.
int OpenProcessFd(pid_t process) {
  return static_cast<int>(syscall(SYS_pidfd_open, process, 0));
}

}  // namespace

void PassOnSignals() {
  struct sigaction action {};
  action.sa_handler = NoteSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: poll returns, and the signal is passed on
  for (const int signalNumber : {SIGINT, SIGTERM, SIGHUP}) {
    sigaction(signalNumber, &action, nullptr);
  }
  std::signal(SIGPIPE, SIG_IGN);
}

int RunSupervised(const EmulatedUsbBus& bus, const std::vector<std::string>& command,
                  CommandOptions options, Supervision& supervision) {
  Pipe input;
  Pipe output;
  if (supervision.script) {
    MakePipe(input);
    MakePipe(output);
    options.input = input.read.Get();
    options.output = output.write.Get();
  }
  std::fflush(stdout);
  const pid_t child = bus.StartCommand(command, options);
  input.read.Reset();
  output.write.Reset();
  std::optional<Console> console;
  if (supervision.script) {
    console.emplace(Console{*supervision.script, input.write.Get(), {}});
  }
  const UniqueFd childEnded(OpenProcessFd(child));

  // The signals to pass on arrive only inside ppoll, so none is noticed late. Blocked only now:
  // the command must not inherit the mask.
  sigset_t passedOn;
  sigset_t unblocked;
  sigemptyset(&passedOn);
  for (const int signalNumber : {SIGINT, SIGTERM, SIGHUP}) {
    sigaddset(&passedOn, signalNumber);
  }
  sigprocmask(SIG_BLOCK, &passedOn, &unblocked);

  std::optional<int> status;
  pollfd watched[3] = {{childEnded.Get(), POLLIN, 0},
                       {supervision.pullSignal, POLLIN, 0},
                       {output.read.Get(), POLLIN, 0}};
  // Without a process descriptor, look for the command's end every 10 ms.
  const timespec pollInterval{0, 10'000'000};
  while (!status) {
    // Looked at before each wait, with the signals blocked: one that came before they were
    // blocked, while the command started, is passed on too, not only once output wakes the wait.
    if (const int signalNumber = pendingSignal; signalNumber != 0) {
      pendingSignal = 0;
      if (signalNumber != SIGINT) {
        kill(child, signalNumber);
      }
    }
    const int ready =
        ppoll(watched, 3, childEnded.Get() >= 0 ? nullptr : &pollInterval, &unblocked);
    if (ready < 0) {
      if (errno != EINTR) {
        sigprocmask(SIG_SETMASK, &unblocked, nullptr);
        throw std::runtime_error("cannot wait for the command");
      }
      for (pollfd& entry : watched) {
        entry.revents = 0;
      }
    }
    if (ready <= 0 && childEnded.Get() >= 0) {
      continue;
    }
    if ((watched[1].revents & POLLIN) != 0) {
      std::uint64_t count = 0;
      if (read(supervision.pullSignal, &count, sizeof count) > 0 && supervision.unplugPulled) {
        supervision.unplugPulled();
      }
    }
    if ((watched[2].revents & (POLLIN | POLLHUP)) != 0 && !console->ReadOutput(output.read.Get())) {
      watched[2].fd = -1;
    }
    if (childEnded.Get() < 0 || (watched[0].revents & POLLIN) != 0) {
      int waited = 0;
      const pid_t ended = waitpid(child, &waited, childEnded.Get() < 0 ? WNOHANG : 0);
      if (ended == child) {
        status = waited;
      }
    }
  }

  sigprocmask(SIG_SETMASK, &unblocked, nullptr);

  // What the command wrote just before it ended; a process it left behind may hold the pipe.
  if (watched[2].fd >= 0) {
    fcntl(watched[2].fd, F_SETFL, O_NONBLOCK);
    char buffer[4096];
    for (ssize_t got; (got = read(watched[2].fd, buffer, sizeof buffer)) > 0;) {
      console->PassOn(std::string_view(buffer, static_cast<std::size_t>(got)));
    }
  }
  if (console) {
    console->ShowEchoOnceRead();
  }
  return WIFEXITED(*status) ? WEXITSTATUS(*status) : 128 + WTERMSIG(*status);
}

}  // namespace nevrik::usbbus
