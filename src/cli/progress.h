// Reporting on standard error while files are encrypted: one line per
// failure, a progress bar for many files on a terminal, and the summary.

#ifndef CELLVAULT_CLI_PROGRESS_H_
#define CELLVAULT_CLI_PROGRESS_H_

#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>

namespace cellvault::cli {

// Reporter is shared by the worker threads; every method may be called from
// any thread. It writes to the descriptor |fd| (standard error).
class Reporter {
 public:
  // |show_bar| draws the progress bar; the caller decides (more than one
  // file, the descriptor is a terminal, not --quiet).
  Reporter(size_t total, bool show_bar, int fd);

  // succeeded and failed count one finished file. failed prints
  // "cellvault: " + |message| on a line of its own above the bar.
  void succeeded();
  void failed(std::string_view message);
  // failed without a message counts a failed file whose line is shown
  // elsewhere (verify reports every file on standard output).
  void failed();
  // note prints "cellvault: " + |message| the same way without counting a
  // file (a warning about a file that still succeeds).
  void note(std::string_view message);

  // finish removes the bar. Call once, after the last file.
  void finish();

  size_t done() const;
  size_t failures() const;

 private:
  void draw_locked();
  // line_locked prints "cellvault: " + |message| above the bar.
  void line_locked(std::string_view message);
  void write_locked(std::string_view text);

  mutable std::mutex mu_;
  const size_t total_;
  const bool show_bar_;
  const int fd_;
  size_t done_ = 0;
  size_t failed_ = 0;
};

// summary_line is the closing line, e.g. "encrypted 3 files in 0.4 s" or
// "encrypted 2 of 5 files in 0.4 s; 1 failed; 2 not started", |verb| being
// the word of the command. Files neither done nor failed were not started
// (the run was interrupted).
std::string summary_line(size_t total, size_t done, size_t failed, double seconds,
                         std::string_view verb = "encrypted");

// bar_text draws "[=====>    ] 3/10" to fit |columns| terminal columns.
std::string bar_text(size_t done, size_t total, size_t columns);

}  // namespace cellvault::cli

#endif  // CELLVAULT_CLI_PROGRESS_H_
