// AtomicOutput: writing the destination so that a failure never damages it.
//
// A regular destination is built as a temporary file in its own directory
// (so the final rename stays on one file system), flushed with fsync,
// renamed over the destination only when complete, and then the directory
// is flushed too. Until the rename the destination keeps its old bytes, or
// stays absent. The temporary file has no name (O_TMPFILE) until commit
// gives it one, just before the rename, so that even a process killed
// meanwhile leaves nothing behind; where the file system cannot make
// unnamed files, it is a hidden named file from the start, which an output
// abandoned before commit removes.
//
// A destination that is a symbolic link keeps the link: the file at the end
// of the chain receives the new bytes. An existing regular destination keeps
// its permission bits (and its owner and group where the process may set
// them); a new one gets 0666 less the umask.
//
// A destination that cannot be replaced is written in place instead, which
// is not atomic: a descriptor reached through the kernel's links
// (/dev/stdout, /proc/self/fd/N), a device such as /dev/null, a FIFO. The
// output is then built in an unnamed temporary file and copied to the
// destination in order at commit, so that a pipe or an append-mode file
// receives exactly the output's bytes, from where its descriptor stands.
// A regular file that no rename may replace is written in place the same
// way: a file bind-mounted on its own (EBUSY) and another user's file in a
// sticky directory (EPERM), found at begin or when the rename fails.
//
// Usage:
//   AtomicOutput out = unwrap(AtomicOutput::begin(path, replace_existing));
//   ... write through out.file(), or lend it to a writer ...
//   unwrap(out.commit());
// The output owns the file from begin to commit; writers borrow it. Any
// exception or early return before commit leaves the destination as it
// was.
//
// Many outputs at once (group commit): AtomicOutput::commit_group commits
// a group of outputs for little more than the cost of one, and each output
// stays exactly as atomic as with commit.

#ifndef CELLVAULT_COMMON_ATOMIC_OUTPUT_H_
#define CELLVAULT_COMMON_ATOMIC_OUTPUT_H_

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/cancel.h"
#include "common/destination.h"
#include "common/error.h"
#include "common/file.h"

namespace cellvault {

// The words between the destination's path and the OS's message in the one
// failure after which the destination has changed: the rename was done, but
// the directory flush after it failed, so the rename may not survive a
// crash.
inline constexpr std::string_view kReplacedUnflushedMessage =
    " was replaced, but its directory could not be flushed to disk: ";

// replaced_but_unflushed is that failure for |path| and OS error
// |os_error|: "<path> was replaced, but its directory could not be flushed
// to disk: <the OS's text>", of the kind that |os_error| has.
IoError replaced_but_unflushed(std::string_view path, int os_error);

class AtomicOutput {
 public:
  // begin prepares to write |to_path|. On success the returned output holds
  // an open, empty, writable file (see file). On failure nothing was
  // created or changed, and the error is writable_destination's refusal
  // (the error that opening |to_path| for reading and writing with create
  // and truncate would have given: NotFound for a missing directory,
  // IsADirectory, NotADirectory, PermissionDenied for a file without write
  // permission, InvalidInput for a NUL byte in the path; AlreadyExists
  // kDestinationExistsMessage without |replace_existing|), or the error of
  // creating the temporary file beside the destination (a temporary file
  // that cannot be made is never a reason to write a file in place).
  //
  // A destination that is a FIFO waits, like any writer of one, until a
  // reader opens it; with an active |cancel| the wait asks it every
  // kCancelPollMs and ends with the Interrupted error
  // kCancelledOutputMessage when it says stop.
  static IoResult<AtomicOutput> begin(std::string_view to_path,
                                      bool replace_existing = true,
                                      const CancelHook& cancel = {});

  AtomicOutput(AtomicOutput&& other) noexcept;
  AtomicOutput& operator=(AtomicOutput&&) = delete;
  AtomicOutput(const AtomicOutput&) = delete;
  AtomicOutput& operator=(const AtomicOutput&) = delete;

  // ~AtomicOutput removes the temporary file unless commit renamed it into
  // place. A destination written in place is left as it is.
  ~AtomicOutput();

  // file is the file to write, positioned at 0 and empty at begin. It stays
  // the output's: callers write through it or lend it on, and are done with
  // it before commit. Moving the output moves the file.
  File& file() { return file_; }

  // commit finishes the output. For a temporary file it flushes the file,
  // closes it, renames it over the destination and flushes the directory;
  // in place it copies the file to the destination. Any failure is returned (IoError); a
  // failure before the rename removes the temporary file and leaves the
  // destination as it was. A failure of the directory flush comes after the
  // rename: it is replaced_but_unflushed, and the destination holds the new
  // bytes. Without replace_existing, a destination that
  // appeared since begin is not replaced: the result is AlreadyExists
  // kDestinationExistsMessage.
  IoResult<void> commit();

  // commit_group commits every output of |outputs| as commit would, as one
  // group: the temporary files are flushed to disk at the same time (a
  // journaling file system then writes them in one journal commit instead
  // of one each), renamed in order, and then each directory that holds
  // some of them is flushed once. Element k of the result answers for
  // outputs[k] (a null element is answered with success): a failure to
  // flush or rename one output fails that output alone, its temporary file
  // removed and its destination as it was; a failure to flush a directory
  // fails each output in it, whose new bytes are then in place but whose
  // rename may not survive a crash. An output is durable only once the
  // call has returned; a crash before that leaves each output of the group
  // either as it was or complete, never partial.
  static std::vector<IoResult<void>> commit_group(
      std::span<AtomicOutput* const> outputs);

  // in_place tells whether the destination is written in place rather than
  // replaced (see above).
  bool in_place() const { return in_place_; }

  // temp_name is the name of the temporary file inside the destination's
  // directory (the name it gets at commit while it is unnamed), empty when
  // writing in place.
  const std::string& temp_name() const { return temp_name_; }

  // unnamed tells whether the temporary file has no name yet (see above).
  bool unnamed() const { return unnamed_; }

 private:
  AtomicOutput() = default;

  // discard removes the temporary file if it still exists.
  void discard();
  // write_over_destination copies the named temporary file into the
  // destination in place, for a destination that the rename may not
  // replace.
  IoResult<void> write_over_destination();
  // give_name links the unnamed temporary file into the directory under
  // temp_name (a fresh one if that is taken).
  IoResult<void> give_name();
  // replace renames the temporary file to the destination's name.
  IoResult<void> replace();
  // flush_directories flushes the directory of every output whose commit
  // left that for later (dir_flush_due_), once per directory; element k
  // answers for outputs[k], success where nothing was due.
  static std::vector<IoResult<void>> flush_directories(
      std::span<AtomicOutput* const> outputs);

  std::string path_;            // the destination as given to begin
  File dir_;                    // the destination's (final) directory
  bool dir_syncable_ = false;   // dir_ was opened for reading, not O_PATH
  std::string name_;            // the destination's name inside dir_
  std::string temp_name_;       // empty when writing in place
  File file_;                   // the file being written
  bool unnamed_ = false;        // file_ has no name in dir_ yet
  File target_;                 // in place: the destination, open for writing
  bool in_place_ = false;
  bool replace_existing_ = true;
  bool pending_ = false;        // the temporary file has a name, ours to remove
  // For commit_group: the file is flushed already; commit leaves the
  // directory's flush out; the rename is done but that flush still due.
  bool synced_ = false;
  bool defer_dir_flush_ = false;
  bool dir_flush_due_ = false;
};

}  // namespace cellvault

#endif  // CELLVAULT_COMMON_ATOMIC_OUTPUT_H_
