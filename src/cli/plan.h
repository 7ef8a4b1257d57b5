// Which input goes to which output, and the pairs that must not run.

#ifndef CELLVAULT_CLI_PLAN_H_
#define CELLVAULT_CLI_PLAN_H_

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/args.h"
#include "common/error.h"

namespace cellvault::cli {

struct Job {
  std::string input;
  std::string output;
  // Set when the job must not run at all, to the line that says why.
  std::optional<std::string> refused;
  // The input is standard input (INPUT '-' of encrypt).
  bool from_stdin = false;
};

// plan_jobs pairs every input with its output: OUTPUT itself, or
// DIR/<the input's file name> with --output-dir. In a batch, a job is
// refused before any work when its output
//   - has the name of an earlier job's output (two inputs of one name),
//   - is, once links are followed, the very file of another job's input
//     (a link or a hard link in DIR that leads to an input), which it
//     would destroy before that input is read, or
//   - is the very file of an earlier job's output.
// Files are compared by device and inode (for an output that does not
// exist yet: its directory's and its name). A job's output may be its own
// input: the input is open before the output begins, and the output is a
// new file until it is renamed into place. The file system
// may still change after the plan; the outputs then refuse or fail on
// their own.
std::vector<Job> plan_jobs(const Options& options);

// The OUTPUT that stands for standard output, and the path through which it
// is written: the kernel's link to this process's descriptor 1, which the
// output writes in place.
inline constexpr std::string_view kStandardOutput = "-";
inline constexpr std::string_view kStandardOutputPath = "/dev/stdout";

// output_path is the path that |output| (an OUTPUT as given) is written
// through; shown_output is how messages name it.
std::string_view output_path(const std::string& output);
std::string shown_output(const std::string& output);

// cannot_write words the refusal or failure of |output| in one line. The
// two refusals a user can act on name the option that helps; a directory
// is never answered with --force, which could not replace it.
std::string cannot_write(const std::string& output, const IoError& error);

// output_name returns DIR/<last component of |input|>.
std::string output_name(std::string_view dir, std::string_view input);

}  // namespace cellvault::cli

#endif  // CELLVAULT_CLI_PLAN_H_
