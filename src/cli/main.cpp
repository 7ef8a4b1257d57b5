// cellvault: the command line face of the encryption core.

#include <sched.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "cli/args.h"
#include "cli/help.h"
#include "cli/interrupt.h"
#include "cli/password.h"
#include "cli/progress.h"
#include "cli/run.h"

namespace cellvault::cli {
namespace {

// The exit statuses.
constexpr int kAllDone = 0;
constexpr int kSomeFailed = 1;
constexpr int kUsageError = 2;

void print(std::FILE* out, std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), out);
}

// default_jobs is the number of CPUs that this process may run on, which
// is fewer than the machine has under taskset or a container's CPU set.
unsigned default_jobs() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof(set), &set) == 0 && CPU_COUNT(&set) > 0) {
    return static_cast<unsigned>(CPU_COUNT(&set));
  }
  unsigned n = std::thread::hardware_concurrency();
  return n == 0 ? 1 : n;
}

int encrypt_command(const Options& options) {
  TextResult<SecretBytes> password = read_password(options);
  if (!password.ok()) {
    print(stderr, "cellvault: " + password.error() + "\n");
    return kUsageError;
  }
  const std::string_view text(reinterpret_cast<const char*>(password->data()),
                              password->size());
  const std::vector<Job> jobs = plan_jobs(options);
  const unsigned threads = options.jobs != 0 ? options.jobs : default_jobs();
  const OutputOptions output{options.version, /*replace_existing=*/options.force};

  const bool show_bar = jobs.size() > 1 && !options.quiet && isatty(STDERR_FILENO);
  const auto start = std::chrono::steady_clock::now();
  StopOnSignal stop;
  Reporter reporter(jobs.size(), show_bar, STDERR_FILENO);
  run_jobs(jobs, text, output, threads, reporter);
  reporter.finish();
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;

  const bool interrupted = StopOnSignal::requested() != 0;
  if (interrupted) {
    print(stderr, "cellvault: interrupted; the files in progress were finished\n");
  }
  if (!options.quiet || interrupted) {
    print(stderr, "cellvault: " +
                      summary_line(jobs.size(), reporter.done(), reporter.failures(),
                                   elapsed.count()) +
                      "\n");
  }
  stop.reraise();
  return reporter.failures() == 0 ? kAllDone : kSomeFailed;
}

int run_command(int argc, char** argv) {
  TextResult<Options> parsed = parse_args(argc, argv);
  if (!parsed.ok()) {
    print(stderr, "cellvault: " + parsed.error() + "\n");
    const bool in_encrypt = argc > 1 && std::string_view(argv[1]) == "encrypt";
    print(stderr, in_encrypt ? kTryEncryptHelp : kTryHelp);
    return kUsageError;
  }
  switch (parsed->action) {
    case Action::Help:
      print(stdout, kMainHelp);
      return kAllDone;
    case Action::EncryptHelp:
      print(stdout, kEncryptHelp);
      return kAllDone;
    case Action::Version:
      print(stdout, "cellvault " CELLVAULT_VERSION "\n");
      return kAllDone;
    case Action::Encrypt:
      break;
  }
  return encrypt_command(*parsed);
}

}  // namespace
}  // namespace cellvault::cli

int main(int argc, char** argv) { return cellvault::cli::run_command(argc, argv); }
