// Encrypting the files: which input goes to which output, and the pool of
// threads that does the work.

#ifndef CELLVAULT_CLI_RUN_H_
#define CELLVAULT_CLI_RUN_H_

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/args.h"
#include "cli/progress.h"
#include "helper/crypt/encrypt.h"

namespace cellvault::cli {

struct Job {
  std::string input;
  std::string output;
  // Set when the job must not run at all: its output is the output of an
  // earlier job too (two inputs with the same name for one directory).
  std::optional<std::string> refused;
};

// plan_jobs pairs every input with its output: OUTPUT itself, or
// DIR/<the input's file name> with --output-dir. An output that an earlier
// job already writes is refused, so that one input never silently replaces
// another's result.
std::vector<Job> plan_jobs(const Options& options);

// output_name returns DIR/<last component of |input|>.
std::string output_name(std::string_view dir, std::string_view input);

// encrypt_one reads |job|'s input and writes it encrypted. It returns
// nothing on success, else one line naming the file and the cause. Without
// |output.replace_existing| an existing output is an error and is left
// untouched.
std::optional<std::string> encrypt_one(const Job& job, std::string_view password,
                                       const OutputOptions& output);

// run_jobs encrypts every job on up to |threads| threads (at least one),
// reporting each result to |reporter| as it finishes. A failing job never
// stops the others; a stop signal (StopOnSignal) does: no job starts after
// it, and the jobs in progress finish.
void run_jobs(const std::vector<Job>& jobs, std::string_view password,
              const OutputOptions& output, unsigned threads, Reporter& reporter);

}  // namespace cellvault::cli

#endif  // CELLVAULT_CLI_RUN_H_
