#include "cli/run.h"

#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <exception>
#include <new>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "cli/interrupt.h"
#include "cli/plan.h"
#include "cli/pool.h"
#include "cli/shown.h"
#include "common/abort.h"
#include "common/atomic_output.h"
#include "common/cancel.h"
#include "common/destination.h"
#include "common/file.h"
#include "common/package_buffer.h"
#include "common/source.h"
#include "reader/read_back.h"

namespace cellvault::cli {
namespace {

std::string shown_input(const Job& job) {
  return job.from_stdin ? "standard input" : shown(job.input);
}

std::string cannot_read(const Job& job, const IoError& error) {
  return "cannot read " + shown_input(job) + ": " + error.message();
}

std::string cannot_encrypt(const Job& job, std::string_view why) {
  return "cannot encrypt " + shown_input(job) + ": " + std::string(why);
}

// stop_requested answers the source's cancellation hook: the first stop
// signal ends a wait for input (the files being written still finish).
bool stop_requested(void* /*context*/) { return StopOnSignal::requested() != 0; }

// failure_line words what the pipeline threw for |job| in one line: an
// abort with an I/O error behind it is the output's failure, one without
// comes from the encryption itself.
std::string failure_line(const Job& job, const std::exception_ptr& thrown) {
  try {
    std::rethrow_exception(thrown);
  } catch (const Abort& abort) {
    if (abort.cause()) return cannot_write(job.output, *abort.cause());
    return cannot_encrypt(job, abort.message());
  } catch (const std::bad_alloc&) {
    return cannot_encrypt(job, "out of memory");
  } catch (const std::exception& e) {
    return cannot_encrypt(job, e.what());
  }
}

// guarded runs |step| and returns its error line, or the line of what it
// threw.
template <class Step>
std::optional<std::string> guarded(const Job& job, Step&& step) {
  try {
    return step();
  } catch (...) {
    return failure_line(job, std::current_exception());
  }
}

// One file of a group, from its source's opening to its commit.
struct Entry {
  const Job* job = nullptr;
  File source;
  // Set once the file has failed: it goes no further.
  std::optional<std::string> error;
  FileSecrets secrets;
  PasswordKeys keys;
  // Committed; its directory's flush may still be due.
  std::optional<AtomicOutput> output;
};

// start opens the job's source and asks the output's answer. Both come
// before the key derivation, so that a file that would fail anyway costs
// none; the package itself is read only after it, so that a group holds
// one package in memory at a time. The output asks again when it begins,
// in case the file system changed meanwhile.
std::optional<std::string> start(Entry& e, const OutputOptions& options,
                                 Reporter& reporter) {
  const Job& job = *e.job;
  if (job.refused) return job.refused;
  IoResult<File> file = job.from_stdin ? open_stdin() : open_source(job.input);
  if (!file.ok()) return cannot_read(job, file.error());
  // A directory opens for reading; its first read would fail, so say so now.
  struct stat st;
  if (::fstat(file->fd(), &st) == 0 && S_ISDIR(st.st_mode)) {
    return cannot_read(job, IoError::from_os(EISDIR));
  }
  // Refused from its size rather than after reading and encrypting it all
  // (the container's writer would refuse it only then). A pipe has no
  // size: the writer's own check stays for it.
  if (const uint64_t limit = max_package_len(options.version);
      file->remaining_len_hint() > limit) {
    return cannot_encrypt(
        job, "it is larger than the " + std::to_string(limit) + " bytes that a version " +
                 std::to_string(static_cast<unsigned>(options.version)) +
                 " container holds (use --container-version 4)");
  }
  IoResult<Destination> dest =
      writable_destination(output_path(job.output), options.replace_existing);
  if (!dest.ok()) return cannot_write(job.output, dest.error());
  if (const nlink_t links = dest->st.st_nlink;
      dest->exists && !dest->in_place && S_ISREG(dest->st.st_mode) && links > 1) {
    // Replacing gives this name a new file; the other names keep the old
    // one, plain text included.
    const nlink_t others = links - 1;
    reporter.warned(shown(job.output) + " has " + std::to_string(others) + " other hard " +
                    (others == 1 ? "link, which keeps" : "links, which keep") +
                    " the old contents: only this name gets the encrypted file");
  }
  e.source = std::move(*file);
  return std::nullopt;
}

// derive_keys draws the secrets of the group's files that are still going,
// one file after the other, and derives their password keys together.
void derive_keys(std::span<Entry> group, std::string_view password,
                 const lanes::Sha512Lanes& kernel) {
  std::vector<Entry*> live;
  for (Entry& e : group) {
    if (!e.error) live.push_back(&e);
  }
  if (live.empty()) return;
  try {
    for (Entry* e : live) e->secrets = draw_file_secrets();
    if (live.size() == 1) {
      live[0]->keys = derive_password_keys(password, live[0]->secrets.password_salt);
      return;
    }
    std::vector<PasswordAndSalt> inputs;
    for (const Entry* e : live) inputs.push_back({password, e->secrets.password_salt});
    std::vector<PasswordKeys> keys = derive_password_keys(inputs, kernel);
    for (size_t k = 0; k < live.size(); ++k) live[k]->keys = std::move(keys[k]);
  } catch (...) {
    // A failure here (the random source, the password's text) is the same
    // for every file of the group.
    const std::exception_ptr thrown = std::current_exception();
    for (Entry* e : live) e->error = failure_line(*e->job, thrown);
  }
}

// commit_alone commits |e|'s written output on its own (without group
// commit).
std::optional<std::string> commit_alone(Entry& e) {
  IoResult<void> done = e.output->commit();
  e.output.reset();
  if (!done.ok()) return cannot_write(e.job->output, done.error());
  return std::nullopt;
}

// single_streamed takes a group of one large regular file, with the
// processor's other core free, from its source to its published output
// with encrypt_file, whose key derivation runs on a second thread while
// the package streams. It returns false, touching nothing, for any other
// group.
bool single_streamed(std::span<Entry> group, std::string_view password,
                     const OutputOptions& options, bool verify_output) {
  if (!options.derive_beside || verify_output || group.size() != 1 || group[0].error) {
    return false;
  }
  Entry& e = group[0];
  const std::optional<uint64_t> streamed = streamed_len(e.source);
  if (!streamed) return false;
  e.error = guarded(*e.job, [&]() -> std::optional<std::string> {
    encrypt_file(output_path(e.job->output), e.source, *streamed, password, options);
    return std::nullopt;
  });
  return true;
}

// finish_one reads the package, seals it under the keys and writes the
// container into a new output, which it leaves for the group to commit
// (or commits itself without |group_commit|); a large regular file is
// streamed into the container instead of read whole. This is the one place
// where a file goes from its keys to its written output, so a check of the
// output before it is published belongs here, at its end.
std::optional<std::string> finish_one(Entry& e, const OutputOptions& options,
                                      bool group_commit, std::string_view password,
                                      bool verify_output) {
  const Job& job = *e.job;
  return guarded(job, [&]() -> std::optional<std::string> {
    // Streamed, the package is never whole in memory; --verify's check
    // needs the package's digest before it is encrypted where it lies, so
    // such files are read whole.
    if (const std::optional<uint64_t> streamed =
            verify_output ? std::nullopt : streamed_len(e.source)) {
      IoResult<AtomicOutput> begun =
          AtomicOutput::begin(output_path(job.output), options.replace_existing,
                              options.cancel);
      if (!begun.ok()) return cannot_write(job.output, begun.error());
      AtomicOutput& out = e.output.emplace(std::move(*begun));
      write_streamed_container(out.file(), e.source, *streamed, e.secrets, e.keys,
                               options.version);
      (void)e.source.close();
      return group_commit ? std::nullopt : commit_alone(e);
    }
    const CancelHook cancel(stop_requested, nullptr);
    IoResult<PackageBuffer> data = read_package(e.source, cancel);
    if (!data.ok()) return cannot_read(job, data.error());
    (void)e.source.close();
    // --verify: the package is encrypted where it lies, so it is
    // remembered by its digest, and the written file is read back against
    // that before it may be published.
    std::optional<reader::PackageFingerprint> expected;
    if (verify_output) expected = reader::fingerprint_of(data->package());
    SealedPackage sealed = seal_package(std::move(*data), e.secrets, e.keys);
    // Only now is the destination touched.
    IoResult<AtomicOutput> begun =
        AtomicOutput::begin(output_path(job.output), options.replace_existing,
                            options.cancel);
    if (!begun.ok()) return cannot_write(job.output, begun.error());
    AtomicOutput& out = e.output.emplace(std::move(*begun));
    if (expected && out.in_place()) {
      return cannot_encrypt(job, "the output is not a regular file, so it would be written in "
                                 "place and cannot be checked before it is published");
    }
    write_container(out.file(), sealed, options.version);
    // The stream's bytes are in the file; give the memory back before the
    // read-back and the flush to disk.
    sealed.buffer = PackageBuffer();
    if (expected) {
      if (std::optional<std::string> wrong =
              reader::check_read_back(out.file(), password, *expected)) {
        return cannot_encrypt(
            job, "the written file does not check out, so it was not published: " + *wrong);
      }
    }
    return group_commit ? std::nullopt : commit_alone(e);
  });
}

// write_group takes |group| from its sources to its written outputs and
// returns the files started: a stop signal before a file starts leaves it
// and the rest of the group unstarted (and unreported).
std::span<Entry> write_group(std::span<Entry> group, std::string_view password,
                             const OutputOptions& options, bool verify_output,
                             const Batch& batch, Reporter& reporter) {
  size_t started = 0;
  for (Entry& e : group) {
    if (StopOnSignal::requested() != 0) break;
    e.error = guarded(*e.job, [&] { return start(e, options, reporter); });
    ++started;
  }
  group = group.first(started);
  // Published already when it was streamed alone: nothing left to commit.
  if (single_streamed(group, password, options, verify_output)) return group;
  derive_keys(group, password, batch.kernel);
  for (Entry& e : group) {
    if (!e.error) {
      e.error = finish_one(e, options, batch.group_commit, password, verify_output);
    }
    if (e.error) e.output.reset();  // a written output that failed is removed
  }
  return group;
}

// commit_and_report commits the written outputs of |group| together and
// reports each file, a success only once its output is durable.
void commit_and_report(std::span<Entry> group, Reporter& reporter) {
  std::vector<AtomicOutput*> outputs;
  for (Entry& e : group) outputs.push_back(e.output ? &*e.output : nullptr);
  const std::vector<IoResult<void>> committed = AtomicOutput::commit_group(outputs);
  for (size_t k = 0; k < group.size(); ++k) {
    Entry& e = group[k];
    if (!e.error && !committed[k].ok()) e.error = cannot_write(e.job->output, committed[k].error());
    if (e.error) {
      reporter.failed(*e.error);
    } else {
      reporter.succeeded();
    }
  }
}

// Committer commits a worker's groups on a thread of its own, one group at
// a time, so that the worker derives the next group's keys while the disk
// flushes the last group's files.
class Committer {
 public:
  explicit Committer(Reporter& reporter) : reporter_(reporter) {}
  ~Committer() { wait(); }
  Committer(const Committer&) = delete;
  Committer& operator=(const Committer&) = delete;

  // commit waits for the previous group, then commits |group| (its files
  // |started|) in the background, or here when no thread can be had.
  void commit(std::vector<Entry> group, size_t started) {
    wait();
    group_ = std::move(group);
    started_ = started;
    try {
      thread_ = std::thread([this] { commit_and_report(std::span(group_).first(started_), reporter_); });
    } catch (const std::system_error&) {
      commit_and_report(std::span(group_).first(started_), reporter_);
    }
  }

  void wait() {
    if (thread_.joinable()) thread_.join();
  }

 private:
  Reporter& reporter_;
  std::vector<Entry> group_;
  size_t started_ = 0;
  std::thread thread_;
};

// A file of a group holds up to five descriptors at once (its source, its
// temporary output and that output's directory while its group is written,
// the directory still while the group is committed); the rest of the
// process needs a few more (standard streams, the password file).
constexpr size_t kDescriptorsPerFile = 5;
constexpr rlim_t kDescriptorsElsewhere = 16;

// fit_to_descriptors returns the largest group of at most |size| files
// whose descriptors |workers| workers can hold at once, raising the soft
// limit on open descriptors towards the hard one if that helps: a file
// that finds no descriptor would fail (EMFILE) for nothing.
size_t fit_to_descriptors(size_t size, size_t workers) {
  struct rlimit lim;
  if (::getrlimit(RLIMIT_NOFILE, &lim) != 0) return size;
  const rlim_t want = kDescriptorsElsewhere + kDescriptorsPerFile * workers * size;
  if (lim.rlim_cur != RLIM_INFINITY && lim.rlim_cur < want) {
    struct rlimit raised = lim;
    raised.rlim_cur = lim.rlim_max == RLIM_INFINITY ? want : std::min(want, lim.rlim_max);
    if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) lim = raised;
  }
  if (lim.rlim_cur == RLIM_INFINITY || lim.rlim_cur >= want) return size;
  const rlim_t room = lim.rlim_cur > kDescriptorsElsewhere ? lim.rlim_cur - kDescriptorsElsewhere : 0;
  return std::clamp<size_t>(room / (kDescriptorsPerFile * workers), 1, size);
}

}  // namespace

TextResult<Batch> batch_from_environment() {
  TextResult<lanes::Sha512Lanes> kernel = lanes::Sha512Lanes::from_environment();
  if (!kernel.ok()) return Err{std::move(kernel).error()};
  Batch batch{*kernel, true};
  const char* value = std::getenv(kGroupCommitVariable);
  const std::string_view choice = value == nullptr ? "" : value;
  if (choice == "off") {
    batch.group_commit = false;
  } else if (!choice.empty() && choice != "on") {
    return Err{std::string(kGroupCommitVariable) + ": " + quote(choice) +
               " is neither on nor off"};
  }
  return batch;
}

size_t group_size(size_t jobs, size_t workers, size_t lanes) {
  const size_t share = (jobs + std::max<size_t>(workers, 1) - 1) / std::max<size_t>(workers, 1);
  return std::clamp<size_t>(share, 1, std::max<size_t>(lanes, 1));
}

void run_jobs(const std::vector<Job>& jobs, std::string_view password,
              const OutputOptions& output, bool verify_output, unsigned threads,
              const Batch& batch, Reporter& reporter) {
  const size_t workers = std::clamp<size_t>(threads, 1, std::max<size_t>(jobs.size(), 1));
  const size_t size =
      fit_to_descriptors(group_size(jobs.size(), workers, batch.kernel.lanes()), workers);
  // A single file has the second core to itself: its spin chain runs there
  // while its package streams (for a large file; a small one ignores it).
  OutputOptions one_file = output;
  one_file.derive_beside = jobs.size() == 1;
  // The first stop signal also ends a wait for an output's reader (a FIFO).
  one_file.cancel = CancelHook(stop_requested, nullptr);
  std::atomic<size_t> next{0};
  auto work = [&] {
    Committer committer(reporter);
    for (;;) {
      if (StopOnSignal::requested() != 0) return;
      const size_t first = next.fetch_add(size);
      if (first >= jobs.size()) return;
      const size_t count = std::min(size, jobs.size() - first);
      std::vector<Entry> group(count);
      for (size_t k = 0; k < count; ++k) group[k].job = &jobs[first + k];
      const size_t started =
          write_group(group, password, one_file, verify_output, batch, reporter).size();
      committer.commit(std::move(group), started);
    }
  };
  on_threads(workers, work);
}

}  // namespace cellvault::cli
