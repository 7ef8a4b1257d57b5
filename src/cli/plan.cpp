#include "cli/plan.h"

#include "common/atomic_output.h"

#include <sys/stat.h>

#include <compare>
#include <map>
#include <utility>

#include "cli/shown.h"
#include "common/destination.h"

namespace cellvault::cli {
namespace {

// FileKey names the file that a path leads to, links followed: its device
// and inode when it exists, else its directory's device and inode and the
// name that a create would give it there.
struct FileKey {
  dev_t dev = 0;
  ino_t ino = 0;
  std::string name;
  auto operator<=>(const FileKey&) const = default;
};

// input_key is the file that reading |path| reads; nothing when it cannot
// be had (the job then fails on its own when it reads).
std::optional<FileKey> input_key(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  return FileKey{st.st_dev, st.st_ino, {}};
}

// output_key is the file that writing |path| replaces or creates, found the
// way the output itself finds it (a dangling link leads to the missing
// name it points at); nothing when the output would fail anyway.
std::optional<FileKey> output_key(const std::string& path) {
  IoResult<Destination> dest = resolve_destination(path);
  if (!dest.ok()) return std::nullopt;
  if (dest->exists) return FileKey{dest->st.st_dev, dest->st.st_ino, {}};
  struct stat dir;
  if (::fstat(dest->dir.fd(), &dir) != 0) return std::nullopt;
  return FileKey{dir.st_dev, dir.st_ino, dest->name};
}

std::string cannot_write_for(const Job& job) {
  return "cannot write " + shown(job.output) + " for " + shown(job.input) + ": ";
}

void refuse_shared_files(std::vector<Job>& jobs) {
  // Every job that reads a file, by the file.
  std::map<FileKey, std::vector<size_t>> readers;
  for (size_t i = 0; i < jobs.size(); ++i) {
    if (std::optional<FileKey> key = input_key(jobs[i].input)) {
      readers[std::move(*key)].push_back(i);
    }
  }
  std::map<FileKey, size_t> writer_of;
  for (size_t i = 0; i < jobs.size(); ++i) {
    Job& job = jobs[i];
    if (job.refused) continue;
    std::optional<FileKey> key = output_key(job.output);
    if (!key) continue;
    if (auto it = readers.find(*key); it != readers.end()) {
      for (const size_t reader : it->second) {
        if (reader == i) continue;
        job.refused = cannot_write_for(job) + "it is the same file as " +
                      shown(jobs[reader].input) + ", another input";
        break;
      }
      if (job.refused) continue;
    }
    auto [it, inserted] = writer_of.emplace(std::move(*key), i);
    if (!inserted) {
      const Job& first = jobs[it->second];
      job.refused = cannot_write_for(job) + "it is the same file as " + shown(first.output) +
                    ", the output of " + shown(first.input);
    }
  }
}

}  // namespace

std::string_view output_path(const std::string& output) {
  return output == kStandardOutput ? kStandardOutputPath : std::string_view(output);
}

std::string shown_output(const std::string& output) {
  return output == kStandardOutput ? "standard output" : shown(output);
}

std::string cannot_write(const std::string& output, const IoError& error) {
  // The one failure after which the output has changed is no "cannot
  // write": it says what happened, with the name shown safely.
  const std::string unflushed = std::string(output_path(output)) +
                                std::string(kReplacedUnflushedMessage);
  if (error.message().starts_with(unflushed)) {
    return shown_output(output) + std::string(kReplacedUnflushedMessage) +
           error.message().substr(unflushed.size());
  }
  const std::string line = "cannot write " + shown_output(output) + ": ";
  if (error.kind() == ErrorKind::IsADirectory) {
    return line + "it is a directory (use --output-dir DIR to write into it)";
  }
  if (error.kind() == ErrorKind::AlreadyExists &&
      error.message() == kDestinationExistsMessage) {
    return line + "it already exists (use --force to replace it)";
  }
  return line + error.message();
}

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
    jobs.push_back(Job{options.paths[0], options.paths[1], std::nullopt,
                       options.command == Command::Encrypt &&
                           options.paths[0] == kStdinInput});
    return jobs;
  }
  std::map<std::string, std::string> first_input_of;
  for (const std::string& input : options.paths) {
    Job job{input, output_name(*options.output_dir, input), std::nullopt};
    auto [it, inserted] = first_input_of.emplace(job.output, input);
    if (!inserted) {
      job.refused = cannot_write_for(job) + "it is already the output of " + shown(it->second);
    }
    jobs.push_back(std::move(job));
  }
  refuse_shared_files(jobs);
  return jobs;
}

}  // namespace cellvault::cli
