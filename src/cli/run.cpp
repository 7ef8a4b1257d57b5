#include "cli/run.h"

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
#include "common/destination.h"
#include "common/file.h"
#include "common/package_buffer.h"
#include "common/source.h"
#include "reader/read_back.h"

namespace cellvault::cli {
namespace {

// stop_requested answers the source's cancellation hook: the first stop
// signal ends a wait for input (the files being written still finish).
bool stop_requested(void* /*context*/) { return StopOnSignal::requested() != 0; }

}  // namespace

std::optional<std::string> encrypt_one(const Job& job, std::string_view password,
                                       const OutputOptions& output, bool verify_output) {
  if (job.refused) return job.refused;
  const std::string input = job.from_stdin ? "standard input" : shown(job.input);
  try {
    IoResult<File> file = job.from_stdin ? open_stdin() : open_source(job.input);
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
    // A large regular file is streamed; anything else is read whole first,
    // as is every file with --verify, whose check needs the package's
    // digest before it is encrypted where it lies.
    const std::optional<uint64_t> streamed =
        verify_output ? std::nullopt : streamed_len(*file);
    IoResult<PackageBuffer> data = PackageBuffer();
    if (!streamed) {
      const CancelHook cancel(stop_requested, nullptr);
      data = read_package(*file, cancel);
      if (!data.ok()) return "cannot read " + input + ": " + data.error().message();
      (void)file->close();
    }
    // The output's own answer, asked before the key derivation so that its
    // cost is saved for an output that would be refused anyway; the output
    // asks again when it begins, in case the file system changed meanwhile.
    if (IoResult<Destination> dest =
            writable_destination(job.output, output.replace_existing);
        !dest.ok()) {
      return cannot_write(job.output, dest.error());
    }
    try {
      if (streamed) {
        encrypt_file(job.output, *file, *streamed, password, output);
      } else {
        // --verify: the package is encrypted where it lies, so it is
        // remembered by its digest, and the written file is read back against
        // that before it may be published.
        OutputCheck check;
        if (verify_output) {
          check = [&, expected = reader::fingerprint_of(data->package())](File& written) {
            if (std::optional<std::string> wrong =
                    reader::check_read_back(written, password, expected)) {
              abort_call("the written file does not check out, so it was not published: " +
                         *wrong);
            }
          };
        }
        encrypt(job.output, std::move(*data), password, output, check);
      }
    } catch (const Abort& abort) {
      // An abort with an I/O error behind it is the output's failure; one
      // without comes from the encryption itself.
      if (abort.cause()) return cannot_write(job.output, *abort.cause());
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
              const OutputOptions& output, bool verify_output, unsigned threads,
              Reporter& reporter) {
  std::atomic<size_t> next{0};
  // A single file has the second core to itself: its spin chain runs there
  // while its package streams (for a large file; a small one ignores it).
  OutputOptions one_file = output;
  one_file.derive_beside = jobs.size() == 1;
  auto work = [&] {
    for (;;) {
      if (StopOnSignal::requested() != 0) return;
      const size_t i = next.fetch_add(1);
      if (i >= jobs.size()) return;
      std::optional<std::string> error =
          encrypt_one(jobs[i], password, one_file, verify_output);
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
