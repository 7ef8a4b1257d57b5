#include "cli/password.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <optional>
#include <string>
#include <utility>

#include "cli/shown.h"
#include "common/file.h"
#include "common/text.h"

namespace cellvault::cli {
namespace {

std::string os_text(int os_error) { return IoError::from_os(os_error).message(); }

// read_all_secret reads |fd| to its end into a wiped buffer, refusing more
// than kMaxPasswordBytes.
TextResult<SecretBytes> read_all_secret(int fd, std::string_view name) {
  SecretBytes out;
  out.reserve(256);
  uint8_t chunk[4096];
  ScopedWipe wipe_chunk(chunk, sizeof(chunk));
  for (;;) {
    ssize_t n = ::read(fd, chunk, sizeof(chunk));
    if (n < 0) {
      if (errno == EINTR) continue;
      return Err{"cannot read password file " + shown(name) + ": " + os_text(errno)};
    }
    if (n == 0) break;
    if (out.size() + static_cast<size_t>(n) > kMaxPasswordBytes) {
      return Err{"password file " + shown(name) + " is larger than " +
                 std::to_string(kMaxPasswordBytes) +
                 " bytes; it does not look like a password"};
    }
    out.insert(out.end(), chunk, chunk + n);
  }
  return out;
}

// The UTF-8 byte order mark that some editors (Windows Notepad) put at the
// start of a text file. Nobody can type it, so it is never meant as part of
// the password.
constexpr uint8_t kByteOrderMark[] = {0xef, 0xbb, 0xbf};

// trim drops what a text file or a variable set from one adds around the
// password: a leading byte order mark and one trailing newline ("\n" or
// "\r\n"), the same for both sources.
void trim(SecretBytes& text) {
  if (text.size() >= sizeof(kByteOrderMark) &&
      std::equal(std::begin(kByteOrderMark), std::end(kByteOrderMark), text.begin())) {
    // Shifted down in place: the buffer never holds a copy left unwiped.
    text.erase(text.begin(), text.begin() + sizeof(kByteOrderMark));
  }
  if (!text.empty() && text.back() == '\n') {
    text.pop_back();
    if (!text.empty() && text.back() == '\r') text.pop_back();
  }
}

// readable_by_others returns the warning for a password file that its
// group or other users may read, or nothing. Only a regular file has
// permission bits that mean something here (not a pipe, not a terminal).
std::optional<std::string> readable_by_others(const File& file, std::string_view path) {
  struct stat st;
  if (::fstat(file.fd(), &st) != 0 || !S_ISREG(st.st_mode) ||
      (st.st_mode & (S_IRGRP | S_IROTH)) == 0) {
    return std::nullopt;
  }
  char mode[8];
  std::snprintf(mode, sizeof(mode), "%04o", static_cast<unsigned>(st.st_mode & 07777));
  return "warning: password file " + shown(path) +
         " may be read by its group or by others (mode " + mode + "); chmod 600 it";
}

TextResult<SecretBytes> password_from_env(const std::string& name) {
  const char* value = std::getenv(name.c_str());
  if (value == nullptr) {
    return Err{"environment variable " + shown(name) + " is not set"};
  }
  const auto* p = reinterpret_cast<const uint8_t*>(value);
  SecretBytes out(p, p + std::strlen(value));
  trim(out);
  return out;
}

}  // namespace

TextResult<SecretBytes> password_from_file(std::string_view path,
                                           std::optional<std::string>* warning) {
  SecretBytes out;
  if (path == "-") {
    CV_TRY_ASSIGN(out, read_all_secret(STDIN_FILENO, "(standard input)"));
  } else {
    IoResult<File> file = File::open_read(path);
    if (!file.ok()) {
      return Err{"cannot read password file " + shown(path) + ": " + file.error().message()};
    }
    if (warning != nullptr) *warning = readable_by_others(*file, path);
    CV_TRY_ASSIGN(out, read_all_secret(file->fd(), path));
  }
  trim(out);
  return out;
}

TextResult<SecretBytes> read_password(const Options& options,
                                      std::optional<std::string>* warning) {
  SecretBytes password;
  std::string source;
  std::optional<std::string> file_warning;
  if (options.password_file) {
    CV_TRY_ASSIGN(password, password_from_file(*options.password_file, &file_warning));
    source = *options.password_file == "-"
                 ? std::string("the password from standard input")
                 : "the password in " + shown(*options.password_file);
  } else if (options.password_env) {
    CV_TRY_ASSIGN(password, password_from_env(*options.password_env));
    source = "the password in " + shown(*options.password_env);
  } else {
    CV_TRY_ASSIGN(password, prompt_password(options.command == Command::Encrypt));
    source = "the password";
  }
  if (password.empty()) return Err{source + " is empty"};
  if (!is_valid_utf8(password)) return Err{source + " is not valid UTF-8 text"};
  // The warning counts only for a password that is used.
  if (warning != nullptr) *warning = std::move(file_warning);
  return password;
}

}  // namespace cellvault::cli
