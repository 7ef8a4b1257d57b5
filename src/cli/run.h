// Encrypting the files of a plan: the groups whose keys are derived
// together, and the pool of threads that does them all.

#ifndef CELLVAULT_CLI_RUN_H_
#define CELLVAULT_CLI_RUN_H_

#include <cstddef>
#include <string_view>
#include <vector>

#include "cli/plan.h"
#include "cli/progress.h"
#include "common/error.h"
#include "helper/crypt/encrypt.h"
#include "helper/crypt/lanes/sha512_lanes.h"

namespace cellvault::cli {

// The environment variable that turns group commit off ("off") or on
// ("on", the default): measurements compare the two.
inline constexpr char kGroupCommitVariable[] = "CELLVAULT_GROUP_COMMIT";

// How run_jobs groups the files.
struct Batch {
  // The kernel whose lanes derive the keys of a group's files together.
  lanes::Sha512Lanes kernel;
  // The outputs of a group are committed together; without it each output
  // flushes its file and its directory on its own.
  bool group_commit = true;
};

// batch_from_environment returns the kernel that CELLVAULT_SHA512_KERNEL
// names (the fastest this processor runs when it is unset) and
// CELLVAULT_GROUP_COMMIT's choice. An error starts with the variable's
// name.
TextResult<Batch> batch_from_environment();

// group_size is how many files a worker takes at a time: as many as the
// kernel has |lanes|, fewer when |jobs| would not give each of |workers|
// a share (a group of one derives its key on one chain, the quickest way
// for one file).
size_t group_size(size_t jobs, size_t workers, size_t lanes);

// run_jobs encrypts every job on up to |threads| threads (at least one),
// reporting each result to |reporter| as its group finishes. A worker
// takes group_size jobs, opens their sources and checks their outputs,
// derives the keys of those that may go on in the lanes of
// |batch.kernel|, then reads, encrypts and writes each of them in turn;
// with |batch.group_commit| their outputs are then committed together
// (AtomicOutput::commit_group) on a thread of the worker's own while the
// worker goes on with its next group, else each right after it is
// written. A file is reported done only once its output is durable. Each failure is
// one line naming the file and the cause; a failing job never stops the
// others, not even those of its group. Without |output.replace_existing|
// an existing output is an error and is left untouched. A source too large
// for the container version is refused from its size, before it is read.
// With |verify_output| (--verify) each written file is read back,
// decrypted and compared with its input before it may be published; a
// mismatch publishes nothing and is the job's error.
// A stop signal (StopOnSignal) starts no job after it, and the jobs in
// progress (the group's files started) finish; a job whose input keeps it
// waiting (a FIFO without a writer) then ends with nothing written.
void run_jobs(const std::vector<Job>& jobs, std::string_view password,
              const OutputOptions& output, bool verify_output, unsigned threads,
              const Batch& batch, Reporter& reporter);

}  // namespace cellvault::cli

#endif  // CELLVAULT_CLI_RUN_H_
