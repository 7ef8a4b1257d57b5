// The interactive password prompt on the controlling terminal.

#include <fcntl.h>
#include <openssl/crypto.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <iterator>
#include <string>

#include "cli/password.h"

namespace cellvault::cli {
namespace {

// The signals whose default action ends the process. If one arrives while
// echo is off, the handler puts the terminal back before the process ends,
// so that the user's shell does not stay blind.
constexpr int kFatalSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// What the signal handler needs; set before the handlers are installed and
// left alone while they are.
int g_tty_fd = -1;
struct termios g_saved_termios;

extern "C" void restore_and_reraise(int sig) {
  // tcsetattr, write, signal and raise are async-signal-safe.
  tcsetattr(g_tty_fd, TCSAFLUSH, &g_saved_termios);
  ssize_t ignored = write(g_tty_fd, "\n", 1);
  (void)ignored;
  signal(sig, SIG_DFL);
  raise(sig);
}

// EchoOff turns echo off on the terminal |fd| for its lifetime and catches
// the fatal signals meanwhile. Its destructor restores both.
class EchoOff {
 public:
  explicit EchoOff(int fd) : fd_(fd) {}
  ~EchoOff() {
    if (!active_) return;
    tcsetattr(fd_, TCSAFLUSH, &g_saved_termios);
    for (size_t i = 0; i < std::size(kFatalSignals); ++i) {
      sigaction(kFatalSignals[i], &old_actions_[i], nullptr);
    }
    g_tty_fd = -1;
  }
  EchoOff(const EchoOff&) = delete;
  EchoOff& operator=(const EchoOff&) = delete;

  // start turns echo off; returns the OS error number on failure, else 0.
  int start() {
    if (tcgetattr(fd_, &g_saved_termios) != 0) return errno;
    g_tty_fd = fd_;
    struct sigaction action = {};
    action.sa_handler = restore_and_reraise;
    sigemptyset(&action.sa_mask);
    for (size_t i = 0; i < std::size(kFatalSignals); ++i) {
      sigaction(kFatalSignals[i], &action, &old_actions_[i]);
    }
    active_ = true;
    struct termios quiet = g_saved_termios;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK);
    if (tcsetattr(fd_, TCSAFLUSH, &quiet) != 0) return errno;
    return 0;
  }

 private:
  int fd_;
  bool active_ = false;
  struct sigaction old_actions_[std::size(kFatalSignals)] = {};
};

bool write_text(int fd, std::string_view text) {
  while (!text.empty()) {
    ssize_t n = write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    text.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

// read_line reads one line from |fd| without its end ("\n", "\r\n").
TextResult<SecretBytes> read_line(int fd) {
  SecretBytes line;
  line.reserve(256);
  uint8_t c = 0;
  ScopedWipe wipe_c(&c, sizeof(c));
  for (;;) {
    ssize_t n = read(fd, &c, 1);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Err{"cannot read the password from the terminal: " +
                 IoError::from_errno().message()};
    }
    if (n == 0) {
      if (line.empty()) return Err{std::string("no password entered")};
      break;
    }
    if (c == '\n') break;
    if (line.size() >= kMaxPasswordBytes) {
      return Err{std::string("the password entered is too long")};
    }
    line.push_back(c);
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

// ask shows |prompt| and reads the answer. The typed line feed is not
// echoed, so the line is ended here, also when input ends or fails: the
// message that follows then starts on a line of its own.
TextResult<SecretBytes> ask(int fd, std::string_view prompt) {
  if (!write_text(fd, prompt)) {
    return Err{std::string("cannot write the prompt to the terminal")};
  }
  TextResult<SecretBytes> answer = read_line(fd);
  (void)write_text(fd, "\n");
  return answer;
}

class FdCloser {
 public:
  explicit FdCloser(int fd) : fd_(fd) {}
  ~FdCloser() { close(fd_); }
  FdCloser(const FdCloser&) = delete;
  FdCloser& operator=(const FdCloser&) = delete;

 private:
  int fd_;
};

}  // namespace

TextResult<SecretBytes> prompt_password(bool confirm) {
  int fd = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    return Err{"no terminal to ask for the password (" +
               IoError::from_errno().message() +
               "); use --password-file FILE or --password-env NAME"};
  }
  FdCloser closer(fd);
  EchoOff echo_off(fd);
  if (int err = echo_off.start(); err != 0) {
    return Err{"cannot turn off echo on the terminal: " +
               IoError::from_os(err).message()};
  }
  for (int attempt = 1;; ++attempt) {
    CV_TRY_ASSIGN(SecretBytes first, ask(fd, "Password: "));
    // A password that opens a file needs no repetition: a typo only fails
    // to open it.
    if (!confirm) return first;
    CV_TRY_ASSIGN(SecretBytes second, ask(fd, "Repeat password: "));
    if (first.size() == second.size() &&
        CRYPTO_memcmp(first.data(), second.data(), first.size()) == 0) {
      return first;
    }
    if (attempt == kPromptAttempts) {
      return Err{std::string("the two passwords do not match")};
    }
    if (!write_text(fd, "The two passwords do not match; try again.\n")) {
      return Err{std::string("cannot write the prompt to the terminal")};
    }
  }
}

}  // namespace cellvault::cli
