#include "common/guard.h"

#include <errno.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <exception>
#include <new>

#include "common/abort.h"
#include "common/backtrace.h"

namespace cellvault {
namespace {

std::string location_text(const SourceLocation& where) {
  return std::string(where.file_name()) + ":" + std::to_string(where.line()) +
         ":" + std::to_string(where.column());
}

// thread_name gives "main" for the process's first thread and the OS name of
// any other thread, or "<unnamed>" when that is only the inherited program
// name (threads started by the interpreter do not name themselves).
std::string thread_name() {
  if (::gettid() == ::getpid()) return "main";
  char name[16] = {};
  if (pthread_getname_np(pthread_self(), name, sizeof(name)) != 0 ||
      name[0] == '\0' ||
      std::strncmp(name, program_invocation_short_name, sizeof(name) - 1) == 0) {
    return "<unnamed>";
  }
  return name;
}

void write_all(int fd, std::string_view text) noexcept {
  while (!text.empty()) {
    ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text.remove_prefix(static_cast<size_t>(n));
  }
}

// Only the first report of the process carries the backtrace note.
std::atomic<bool> note_given{false};

}  // namespace

CallFailure failure_from_current_exception() noexcept {
  CallFailure failure;
  try {
    try {
      throw;
    } catch (const Abort& abort) {
      failure.message = abort.message().empty() ? std::string(kEmptyAbortMessage)
                                                : abort.message();
      failure.location = location_text(abort.where());
    } catch (const std::bad_alloc&) {
      failure.kind = CallFailure::Kind::OutOfMemory;
    } catch (const std::exception& e) {
      failure.message = e.what();
      if (failure.message.empty()) failure.message = kEmptyAbortMessage;
    } catch (...) {
      failure.message = "the call failed with an exception of unknown type";
    }
  } catch (...) {
    // Copying the message ran out of memory.
    failure = CallFailure{CallFailure::Kind::OutOfMemory, {}, {}};
  }
  return failure;
}

std::string format_failure_report(const CallFailure& failure,
                                  std::string_view thread, bool with_note) {
  std::string out = "thread '";
  out += thread;
  out += "' failed at ";
  out += failure.location.empty() ? "<unknown location>" : failure.location;
  out += ":\n";
  out += failure.message;
  out += "\n";
  if (with_note) out += kBacktraceNote;
  return out;
}

void report_failure(const CallFailure& failure) noexcept {
  try {
    const bool backtrace = backtrace_requested();
    const bool first = !note_given.exchange(true);
    write_all(STDERR_FILENO,
              format_failure_report(failure, thread_name(), first && !backtrace));
    if (backtrace) {
      write_all(STDERR_FILENO, "stack backtrace:\n");
      if (!write_abort_backtrace(STDERR_FILENO)) {
        write_all(STDERR_FILENO, "  (no frames were recorded for this failure)\n");
      }
    }
  } catch (...) {
    // Out of memory while formatting: the Python exception still follows.
  }
}

}  // namespace cellvault
