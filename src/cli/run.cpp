#include "cli/run.h"

#include <atomic>
#include <map>
#include <new>
#include <system_error>
#include <thread>
#include <utility>

#include "cli/interrupt.h"
#include "common/abort.h"
#include "common/destination.h"
#include "common/file.h"
#include "common/package_buffer.h"

namespace cellvault::cli {
namespace {

// cannot_write words the refusal or failure of |output| in one line. The
// two refusals a user can act on name the option that helps; a directory
// is never answered with --force, which could not replace it.
std::string cannot_write(const std::string& output, const IoError& error) {
  const std::string line = "cannot write " + output + ": ";
  if (error.kind() == ErrorKind::IsADirectory) {
    return line + "it is a directory (use --output-dir DIR to write into it)";
  }
  if (error.kind() == ErrorKind::AlreadyExists &&
      error.message() == kDestinationExistsMessage) {
    return line + "it already exists (use --force to replace it)";
  }
  return line + error.message();
}

}  // namespace

std::string output_name(std::string_view dir, std::string_view input) {
  size_t slash = input.rfind('/');
  std::string_view name = slash == std::string_view::npos ? input : input.substr(slash + 1);
  std::string out(dir);
  if (!out.empty() && out.back() != '/') out += '/';
  out += name;
  return out;
}

std::vector<Job> plan_jobs(const Options& options) {
  std::vector<Job> jobs;
  if (!options.output_dir) {
    jobs.push_back(Job{options.paths[0], options.paths[1], std::nullopt});
    return jobs;
  }
  std::map<std::string, std::string> first_input_of;
  for (const std::string& input : options.paths) {
    Job job{input, output_name(*options.output_dir, input), std::nullopt};
    auto [it, inserted] = first_input_of.emplace(job.output, input);
    if (!inserted) {
      job.refused = "cannot write " + job.output + " for " + input +
                    ": it is already the output of " + it->second;
    }
    jobs.push_back(std::move(job));
  }
  return jobs;
}

std::optional<std::string> encrypt_one(const Job& job, std::string_view password,
                                       const OutputOptions& output) {
  if (job.refused) return job.refused;
  try {
    IoResult<File> file = File::open_read(job.input);
    if (!file.ok()) return "cannot read " + job.input + ": " + file.error().message();
    IoResult<PackageBuffer> data = read_package(*file);
    if (!data.ok()) return "cannot read " + job.input + ": " + data.error().message();
    (void)file->close();
    // The output's own answer, asked before the key derivation so that its
    // cost is saved for an output that would be refused anyway; the output
    // asks again when it begins, in case the file system changed meanwhile.
    if (IoResult<Destination> dest =
            writable_destination(job.output, output.replace_existing);
        !dest.ok()) {
      return cannot_write(job.output, dest.error());
    }
    try {
      encrypt(job.output, std::move(*data), password, output);
    } catch (const Abort& abort) {
      // An abort with an I/O error behind it is the output's failure; one
      // without comes from the encryption itself.
      if (abort.cause()) return cannot_write(job.output, *abort.cause());
      return "cannot encrypt " + job.input + ": " + abort.message();
    }
  } catch (const std::bad_alloc&) {
    return "cannot encrypt " + job.input + ": out of memory";
  } catch (const std::exception& e) {
    return "cannot encrypt " + job.input + ": " + e.what();
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
