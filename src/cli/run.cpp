#include "cli/run.h"

#include <sys/stat.h>

#include <atomic>
#include <map>
#include <new>
#include <system_error>
#include <thread>
#include <utility>

#include "cli/interrupt.h"
#include "common/abort.h"
#include "common/file.h"
#include "common/package_buffer.h"

namespace cellvault::cli {
namespace {

std::string already_exists(const std::string& output) {
  return "cannot write " + output +
         ": it already exists (use --force to replace it)";
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
    // A quick look before the key derivation saves its cost for an output
    // that would be refused anyway; the atomic output still refuses on its
    // own if the file appears meanwhile.
    struct stat st;
    if (lstat(job.output.c_str(), &st) == 0) {
      if (S_ISDIR(st.st_mode)) {
        return "cannot write " + job.output +
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
      if (abort.cause()) return "cannot write " + job.output + ": " + abort.cause()->message();
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
