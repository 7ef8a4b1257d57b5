#include "cli/run.h"

#include <sys/stat.h>

#include <atomic>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "cli/interrupt.h"
#include "cli/shown.h"
#include "common/abort.h"
#include "common/cancel.h"
#include "common/file.h"
#include "common/package_buffer.h"
#include "common/source.h"

namespace cellvault::cli {
namespace {

std::string already_exists(const std::string& output) {
  return "cannot write " + shown(output) + ": it already exists (use --force to replace it)";
}

// stop_requested answers the source's cancellation hook: the first stop
// signal ends a wait for input (the files being written still finish).
bool stop_requested(void* /*context*/) { return StopOnSignal::requested() != 0; }

}  // namespace

std::optional<std::string> encrypt_one(const Job& job, std::string_view password,
                                       const OutputOptions& output) {
  if (job.refused) return job.refused;
  const std::string input = shown(job.input);
  try {
    IoResult<File> file = open_source(job.input);
    if (!file.ok()) return "cannot read " + input + ": " + file.error().message();
    // Refused from its size rather than after reading and encrypting it all
    // (the container's writer would refuse it only then). A pipe has no
    // size: the writer's own check stays for it.
    if (const uint64_t limit = max_package_len(output.version);
        file->remaining_len_hint() > limit) {
      return "cannot encrypt " + input + ": it is larger than the " + std::to_string(limit) +
             " bytes that a version " +
             std::to_string(static_cast<unsigned>(output.version)) +
             " container holds (use --container-version 4)";
    }
    const CancelHook cancel(stop_requested, nullptr);
    IoResult<PackageBuffer> data = read_package(*file, cancel);
    if (!data.ok()) return "cannot read " + input + ": " + data.error().message();
    (void)file->close();
    // A quick look before the key derivation saves its cost for an output
    // that would be refused anyway; the atomic output still refuses on its
    // own if the file appears meanwhile.
    struct stat st;
    if (lstat(job.output.c_str(), &st) == 0) {
      if (S_ISDIR(st.st_mode)) {
        return "cannot write " + shown(job.output) +
               ": it is a directory (use --output-dir DIR to write into it)";
      }
      if (!output.replace_existing) return already_exists(job.output);
    }
    try {
      encrypt(job.output, std::move(*data), password, output);
    } catch (const Abort& abort) {
      if (abort.cause() && abort.cause()->kind() == ErrorKind::AlreadyExists &&
          !output.replace_existing) {
        return already_exists(job.output);
      }
      // An abort with an I/O error behind it is the output's failure; one
      // without comes from the encryption itself.
      if (abort.cause()) {
        return "cannot write " + shown(job.output) + ": " + abort.cause()->message();
      }
      return "cannot encrypt " + input + ": " + abort.message();
    }
  } catch (const std::bad_alloc&) {
    return "cannot encrypt " + input + ": out of memory";
  } catch (const std::exception& e) {
    return "cannot encrypt " + input + ": " + e.what();
  }
  return std::nullopt;
}

void run_jobs(const std::vector<Job>& jobs, std::string_view password,
              const OutputOptions& output, unsigned threads, Reporter& reporter) {
  std::atomic<size_t> next{0};
  auto work = [&] {
    for (;;) {
      if (StopOnSignal::requested() != 0) return;
      const size_t i = next.fetch_add(1);
      if (i >= jobs.size()) return;
      std::optional<std::string> error = encrypt_one(jobs[i], password, output);
      if (error) {
        reporter.failed(*error);
      } else {
        reporter.succeeded();
      }
    }
  };
  std::vector<std::thread> pool;
  for (unsigned t = 1; t < threads && t < jobs.size(); ++t) {
    try {
      pool.emplace_back(work);
    } catch (const std::system_error&) {
      break;  // fewer threads than asked for still do all the work
    }
  }
  work();
  for (std::thread& thread : pool) thread.join();
}

}  // namespace cellvault::cli
