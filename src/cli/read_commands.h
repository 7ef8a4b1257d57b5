// The commands that read locked files: verify and decrypt.

#ifndef CELLVAULT_CLI_READ_COMMANDS_H_
#define CELLVAULT_CLI_READ_COMMANDS_H_

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/plan.h"
#include "cli/progress.h"

namespace cellvault::cli {

// verify_line checks the locked file |path| with |password| and returns
// its line of the report, "FILE: ok (...)" or "FILE: FAILED: CAUSE";
// |passed| tells which.
std::string verify_line(const std::string& path, std::string_view password, bool* passed);

// verify_files checks every one of |paths| on up to |threads| threads and
// writes their lines to standard output in the order of |paths|, each as
// soon as the ones before it are written. Each file is counted in
// |reporter|, which shows no line of its own for them. A stop signal
// starts no more files.
void verify_files(const std::vector<std::string>& paths, std::string_view password,
                  unsigned threads, Reporter& reporter);

struct DecryptSettings {
  bool replace_existing = false;  // --force
  bool ignore_integrity = false;  // --ignore-integrity
};

// decrypt_one writes the plain package of |job|'s input to its output
// through AtomicOutput, so that the output appears complete or not at all.
// It returns nothing on success, else one line naming the file and the
// cause. With |settings.ignore_integrity| a file whose integrity value does
// not match is decrypted all the same, and |reporter| shows a line that
// says so.
std::optional<std::string> decrypt_one(const Job& job, std::string_view password,
                                       const DecryptSettings& settings, Reporter& reporter);

// decrypt_jobs runs decrypt_one for every job on up to |threads| threads,
// reporting each result to |reporter| as it finishes.
void decrypt_jobs(const std::vector<Job>& jobs, std::string_view password,
                  const DecryptSettings& settings, unsigned threads, Reporter& reporter);

}  // namespace cellvault::cli

#endif  // CELLVAULT_CLI_READ_COMMANDS_H_
