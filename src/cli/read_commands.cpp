#include "cli/read_commands.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <mutex>
#include <new>
#include <variant>

#include "cli/pool.h"
#include "cli/shown.h"
#include "common/abort.h"
#include "common/atomic_output.h"
#include "common/destination.h"
#include "common/file.h"
#include "common/source.h"
#include "reader/reader.h"

namespace cellvault::cli {
namespace {

using reader::ReadError;
using reader::ReadErrorKind;
using reader::ReadResult;
using reader::Report;

// open_locked opens a locked file for the reader, which reads it by
// offset: a regular file. open_source never waits, so a FIFO given by
// mistake is refused at once instead of waiting for a writer.
std::variant<File, std::string> open_locked(const std::string& path) {
  IoResult<File> file = open_source(path);
  if (!file.ok()) return file.error().message();
  struct stat st;
  if (::fstat(file->fd(), &st) != 0) return IoError::from_errno().message();
  if (S_ISDIR(st.st_mode)) return IoError::from_os(EISDIR).message();
  if (!S_ISREG(st.st_mode)) {
    return std::string("it is not a regular file (a locked file is read by offset, not as a stream)");
  }
  return std::move(*file);
}

std::string report_details(const Report& report) {
  return report.encryption + "; container version " +
         std::to_string(static_cast<unsigned>(report.container_version));
}

// OrderedLines writes the lines of files finished in any order to standard
// output in the order of the files.
class OrderedLines {
 public:
  explicit OrderedLines(size_t count) : lines_(count) {}

  void put(size_t index, std::string line) {
    std::lock_guard<std::mutex> lock(mu_);
    lines_[index] = std::move(line);
    while (next_ < lines_.size() && lines_[next_]) {
      *lines_[next_] += '\n';
      std::fwrite(lines_[next_]->data(), 1, lines_[next_]->size(), stdout);
      lines_[next_].reset();
      ++next_;
    }
    std::fflush(stdout);
  }

 private:
  std::mutex mu_;
  std::vector<std::optional<std::string>> lines_;
  size_t next_ = 0;
};

// decrypt_into decrypts |in| into |out|, telling a failure to write the
// output (|write_error|) apart from the reader's own errors.
ReadResult<Report> decrypt_into(File& in, std::string_view password, File& out,
                                bool ignore_integrity, std::optional<IoError>* write_error) {
  CV_TRY_ASSIGN(reader::FileSource source, reader::FileSource::open(in));
  uint64_t offset = 0;
  const reader::PackageSink sink = [&](ByteView data) -> ReadResult<void> {
    IoResult<void> written = out.write_at(data, offset);
    if (!written.ok()) {
      *write_error = written.error();
      return Err{ReadError::io(std::move(written).error())};
    }
    offset += data.size();
    return {};
  };
  reader::DecryptOptions options;
  options.ignore_integrity = ignore_integrity;
  return reader::decrypt_source(source, password, sink, options);
}

}  // namespace

std::string verify_line(const std::string& path, std::string_view password, bool* passed) {
  *passed = false;
  const std::string name = shown(path);
  std::variant<File, std::string> file = open_locked(path);
  if (auto* error = std::get_if<std::string>(&file)) {
    return name + ": FAILED: cannot read it: " + *error;
  }
  try {
    ReadResult<Report> report = reader::verify_file(std::get<File>(file), password);
    if (!report.ok()) return name + ": FAILED: " + report.error().describe();
    *passed = true;
    if (report->integrity == reader::Integrity::kMatches) {
      return name + ": ok (integrity value matches; " + report_details(*report) + ")";
    }
    return name + ": ok, but it carries no integrity value to check (" +
           report_details(*report) + ")";
  } catch (const std::bad_alloc&) {
    return name + ": FAILED: out of memory";
  } catch (const Abort& abort) {
    return name + ": FAILED: " + abort.message();
  }
}

void verify_files(const std::vector<std::string>& paths, std::string_view password,
                  unsigned threads, Reporter& reporter) {
  OrderedLines lines(paths.size());
  for_each_file(paths.size(), threads, [&](size_t i) {
    bool passed = false;
    lines.put(i, verify_line(paths[i], password, &passed));
    if (passed) {
      reporter.succeeded();
    } else {
      reporter.failed();
    }
  });
}

std::optional<std::string> decrypt_one(const Job& job, std::string_view password,
                                       const DecryptSettings& settings, Reporter& reporter) {
  if (job.refused) return job.refused;
  const std::string input = shown(job.input);
  try {
    std::variant<File, std::string> file = open_locked(job.input);
    if (auto* error = std::get_if<std::string>(&file)) {
      return "cannot read " + input + ": " + *error;
    }
    File& in = std::get<File>(file);
    IoResult<AtomicOutput> output = AtomicOutput::begin(job.output, settings.replace_existing);
    if (!output.ok()) return cannot_write(job.output, output.error());
    std::optional<IoError> write_error;
    ReadResult<Report> report =
        decrypt_into(in, password, output->file(), /*ignore_integrity=*/false, &write_error);
    if (!report.ok() && report.error().kind() == ReadErrorKind::kIntegrityMismatch &&
        settings.ignore_integrity) {
      // The mismatch is found before a byte is written, so the output is
      // still empty for the second pass, which skips the check.
      report = decrypt_into(in, password, output->file(), /*ignore_integrity=*/true, &write_error);
      if (report.ok()) {
        reporter.note(input + ": " + ReadError::integrity_mismatch().describe() +
                      "; decrypted all the same, as --ignore-integrity asks");
      }
    }
    if (write_error) return cannot_write(job.output, *write_error);
    if (!report.ok()) {
      std::string line = "cannot decrypt " + input + ": " + report.error().describe();
      if (report.error().kind() == ReadErrorKind::kIntegrityMismatch) {
        line += " (use --ignore-integrity to decrypt it all the same)";
      }
      return line;
    }
    if (IoResult<void> done = output->commit(); !done.ok()) {
      return cannot_write(job.output, done.error());
    }
  } catch (const std::bad_alloc&) {
    return "cannot decrypt " + input + ": out of memory";
  } catch (const Abort& abort) {
    return "cannot decrypt " + input + ": " + abort.message();
  } catch (const std::exception& e) {
    return "cannot decrypt " + input + ": " + e.what();
  }
  return std::nullopt;
}

void decrypt_jobs(const std::vector<Job>& jobs, std::string_view password,
                  const DecryptSettings& settings, unsigned threads, Reporter& reporter) {
  for_each_file(jobs.size(), threads, [&](size_t i) {
    std::optional<std::string> error = decrypt_one(jobs[i], password, settings, reporter);
    if (error) {
      reporter.failed(*error);
    } else {
      reporter.succeeded();
    }
  });
}

}  // namespace cellvault::cli
