// cellvault: the command line face of the encryption core.

#include <sched.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include "cli/args.h"
#include "cli/file_list.h"
#include "cli/help.h"
#include "cli/interrupt.h"
#include "cli/password.h"
#include "cli/progress.h"
#include "cli/read_commands.h"
#include "cli/run.h"
#include "cli/shown.h"

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

// no_core_dumps keeps the password, which this process holds from the
// first read to its exit, out of core files. PR_SET_DUMPABLE 0 makes the
// kernel refuse the dump whatever kernel.core_pattern says, a file or a
// pipe to a crash handler (RLIMIT_CORE would bind only the file, and
// whatever limit a handler chooses to honour), and it also keeps other
// processes of the same user from attaching a debugger or reading
// /proc/PID/mem and environ. A crash of the command then leaves no core to
// debug, which is the point.
void no_core_dumps() {
  // It can fail only for an argument other than 0 or 1.
  (void)prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
}

// check_output_dir makes sure that --output-dir names a directory, once,
// before the password is asked for: otherwise every file would fail alike.
std::optional<std::string> check_output_dir(const std::string& dir) {
  struct stat st;
  if (::stat(dir.c_str(), &st) != 0) {
    return "cannot write into " + shown(dir) + ": " + IoError::from_errno().message();
  }
  if (!S_ISDIR(st.st_mode)) {
    return "cannot write into " + shown(dir) + ": " + IoError::from_os(ENOTDIR).message();
  }
  return std::nullopt;
}

// The word of the summary line.
std::string_view done_word(Command command) {
  switch (command) {
    case Command::Encrypt: return "encrypted";
    case Command::Verify: return "verified";
    case Command::Decrypt: return "decrypted";
  }
  return "encrypted";
}

int files_command(Options options) {
  no_core_dumps();
  if (options.files_from) {
    TextResult<std::vector<std::string>> listed =
        read_file_list(*options.files_from, options.null_separated);
    if (!listed.ok()) {
      print(stderr, "cellvault: " + listed.error() + "\n");
      return kUsageError;
    }
    options.paths.insert(options.paths.end(), listed->begin(), listed->end());
    if (options.paths.empty()) {
      print(stderr, "cellvault: no INPUT file given\n");
      return kUsageError;
    }
  }
  if (options.output_dir) {
    if (std::optional<std::string> error = check_output_dir(*options.output_dir)) {
      print(stderr, "cellvault: " + *error + "\n");
      return kUsageError;
    }
  }
  if (!options.output_dir && options.paths.size() == 2 && options.paths[1] == "-" &&
      isatty(STDOUT_FILENO)) {
    print(stderr, "cellvault: not writing an encrypted workbook to a terminal "
                  "(redirect standard output to a file or a pipe)\n");
    return kUsageError;
  }
  const bool verifying = options.command == Command::Verify;
  const std::vector<Job> jobs = verifying ? std::vector<Job>() : plan_jobs(options);
  const size_t count = verifying ? options.paths.size() : jobs.size();
  // A kernel named wrongly would fail every file alike: say so before the
  // password is asked for.
  TextResult<Batch> batch = batch_from_environment();
  if (!batch.ok()) {
    print(stderr, "cellvault: " + batch.error() + "\n");
    return kUsageError;
  }

  std::optional<std::string> warning;
  TextResult<SecretBytes> password = read_password(options, &warning);
  if (!password.ok()) {
    print(stderr, "cellvault: " + password.error() + "\n");
    return kUsageError;
  }
  if (warning) print(stderr, "cellvault: " + *warning + "\n");
  const std::string_view text(reinterpret_cast<const char*>(password->data()),
                              password->size());
  const unsigned threads = options.jobs != 0 ? options.jobs : default_jobs();
  OutputOptions output;
  output.version = options.version;
  output.replace_existing = options.force;

  // verify's report lines are its progress.
  const bool show_bar = count > 1 && !verifying && !options.quiet && isatty(STDERR_FILENO);
  const auto start = std::chrono::steady_clock::now();
  StopOnSignal stop;
  Reporter reporter(count, show_bar, STDERR_FILENO);
  switch (options.command) {
    case Command::Encrypt:
      run_jobs(jobs, text, output, options.verify_output, threads, *batch, reporter);
      break;
    case Command::Verify:
      verify_files(options.paths, text, threads, reporter);
      break;
    case Command::Decrypt:
      decrypt_jobs(jobs, text, {options.force, options.ignore_integrity}, threads, reporter);
      break;
  }
  reporter.finish();
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;

  const bool interrupted = StopOnSignal::requested() != 0;
  if (interrupted) {
    print(stderr, "cellvault: interrupted; the files in progress were finished\n");
  }
  if (!options.quiet || interrupted) {
    print(stderr, "cellvault: " +
                      summary_line(count, reporter.done(), reporter.failures(),
                                   elapsed.count(), done_word(options.command)) +
                      "\n");
  }
  stop.reraise();
  return reporter.failures() == 0 ? kAllDone : kSomeFailed;
}

int run_command(int argc, char** argv) {
  TextResult<Options> parsed = parse_args(argc, argv);
  if (!parsed.ok()) {
    print(stderr, "cellvault: " + parsed.error() + "\n");
    std::string try_help(kTryHelp);
    for (const Command c : {Command::Encrypt, Command::Verify, Command::Decrypt}) {
      if (argc > 1 && std::string_view(argv[1]) == command_name(c)) try_help = try_command_help(c);
    }
    print(stderr, try_help);
    return kUsageError;
  }
  switch (parsed->action) {
    case Action::Help:
      print(stdout, kMainHelp);
      return kAllDone;
    case Action::CommandHelp:
      print(stdout, command_help(parsed->command));
      return kAllDone;
    case Action::Version:
      print(stdout, "cellvault " CELLVAULT_VERSION "\n");
      return kAllDone;
    case Action::Run:
      break;
  }
  return files_command(std::move(*parsed));
}

}  // namespace
}  // namespace cellvault::cli

int main(int argc, char** argv) { return cellvault::cli::run_command(argc, argv); }
