// Encrypting the files of a plan: one job, and the pool of threads that
// does them all.

#ifndef CELLVAULT_CLI_RUN_H_
#define CELLVAULT_CLI_RUN_H_

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/plan.h"
#include "cli/progress.h"
#include "helper/crypt/encrypt.h"

namespace cellvault::cli {

// encrypt_one reads |job|'s input and writes it encrypted. It returns
// nothing on success, else one line naming the file and the cause. Without
// |output.replace_existing| an existing output is an error and is left
// untouched. A source too large for the container version is refused from
// its size, before it is read. While the input keeps it waiting (a FIFO
// without a writer), a stop signal (StopOnSignal) ends the job with
// nothing written. With |verify_output| (--verify) the written file is
// read back, decrypted and compared with the input before it is
// published; a mismatch publishes nothing and is the job's error.
std::optional<std::string> encrypt_one(const Job& job, std::string_view password,
                                       const OutputOptions& output, bool verify_output);

// run_jobs encrypts every job on up to |threads| threads (at least one),
// reporting each result to |reporter| as it finishes. A failing job never
// stops the others; a stop signal (StopOnSignal) does: no job starts after
// it, and the jobs in progress finish.
void run_jobs(const std::vector<Job>& jobs, std::string_view password,
              const OutputOptions& output, bool verify_output, unsigned threads,
              Reporter& reporter);

}  // namespace cellvault::cli

#endif  // CELLVAULT_CLI_RUN_H_
