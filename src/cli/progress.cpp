#include "cli/progress.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace cellvault::cli {
namespace {

// "\r" returns to the start of the line and "ESC [ K" clears the rest of
// it, so the bar is redrawn in place and an error line replaces it fully.
constexpr std::string_view kClearLine = "\r\x1b[K";

size_t terminal_columns(int fd) {
  struct winsize ws = {};
  if (ioctl(fd, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
  return 80;
}

std::string files(size_t n) { return n == 1 ? "1 file" : std::to_string(n) + " files"; }

}  // namespace

Reporter::Reporter(size_t total, bool show_bar, int fd)
    : total_(total), show_bar_(show_bar), fd_(fd) {
  std::lock_guard<std::mutex> lock(mu_);
  if (show_bar_) draw_locked();
}

void Reporter::succeeded() {
  std::lock_guard<std::mutex> lock(mu_);
  ++done_;
  if (show_bar_) draw_locked();
}

void Reporter::failed(std::string_view message) {
  std::lock_guard<std::mutex> lock(mu_);
  ++done_;
  ++failed_;
  line_locked(message);
}

void Reporter::failed() {
  std::lock_guard<std::mutex> lock(mu_);
  ++done_;
  ++failed_;
  if (show_bar_) draw_locked();
}

void Reporter::note(std::string_view message) {
  std::lock_guard<std::mutex> lock(mu_);
  line_locked(message);
}

void Reporter::line_locked(std::string_view message) {
  std::string line;
  if (show_bar_) line += kClearLine;
  line += "cellvault: ";
  line += message;
  line += '\n';
  write_locked(line);
  if (show_bar_) draw_locked();
}

void Reporter::finish() {
  std::lock_guard<std::mutex> lock(mu_);
  if (show_bar_) write_locked(kClearLine);
}

size_t Reporter::done() const {
  std::lock_guard<std::mutex> lock(mu_);
  return done_;
}

size_t Reporter::failures() const {
  std::lock_guard<std::mutex> lock(mu_);
  return failed_;
}

void Reporter::draw_locked() {
  std::string text(kClearLine);
  text += bar_text(done_, total_, terminal_columns(fd_));
  write_locked(text);
}

void Reporter::write_locked(std::string_view text) {
  // Reporting must never stop the work: a failing standard error loses the
  // text, not the files.
  while (!text.empty()) {
    ssize_t n = write(fd_, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text.remove_prefix(static_cast<size_t>(n));
  }
}

std::string bar_text(size_t done, size_t total, size_t columns) {
  // Built piece by piece: g++ 12 warns falsely (-Wrestrict) about
  // `" " + std::to_string(...)`.
  std::string count(1, ' ');
  count += std::to_string(done);
  count += '/';
  count += std::to_string(total);
  // Leave the last column free: writing into it makes some terminals wrap.
  const size_t room = columns > count.size() + 3 ? columns - count.size() - 3 : 0;
  const size_t width = room < 50 ? room : 50;
  if (width < 5 || total == 0) return count.substr(1);
  const size_t filled = done * width / total;
  std::string bar = "[";
  bar.append(filled, '=');
  if (filled < width) {
    bar += '>';
    bar.append(width - filled - 1, ' ');
  }
  bar += ']';
  return bar + count;
}

std::string summary_line(size_t total, size_t done, size_t failed, double seconds,
                         std::string_view verb) {
  char time[32];
  std::snprintf(time, sizeof(time), " in %.1f s", seconds);
  const size_t succeeded = done - failed;
  std::string line(verb);
  line += ' ';
  if (succeeded == total) return line + files(total) + time;
  line += std::to_string(succeeded) + " of " + files(total) + time;
  if (failed > 0) line += "; " + std::to_string(failed) + " failed";
  if (done < total) line += "; " + std::to_string(total - done) + " not started";
  return line;
}

}  // namespace cellvault::cli
