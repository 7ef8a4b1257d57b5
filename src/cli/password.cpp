#include "cli/password.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

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
      return Err{"cannot read password file " + std::string(name) + ": " +
                 os_text(errno)};
    }
    if (n == 0) break;
    if (out.size() + static_cast<size_t>(n) > kMaxPasswordBytes) {
      return Err{"password file " + std::string(name) + " is larger than " +
                 std::to_string(kMaxPasswordBytes) +
                 " bytes; it does not look like a password"};
    }
    out.insert(out.end(), chunk, chunk + n);
  }
  return out;
}

void strip_one_newline(SecretBytes& text) {
  if (!text.empty() && text.back() == '\n') {
    text.pop_back();
    if (!text.empty() && text.back() == '\r') text.pop_back();
  }
}

TextResult<SecretBytes> password_from_env(const std::string& name) {
  const char* value = std::getenv(name.c_str());
  if (value == nullptr) {
    return Err{"environment variable " + name + " is not set"};
  }
  const auto* p = reinterpret_cast<const uint8_t*>(value);
  return SecretBytes(p, p + std::strlen(value));
}

}  // namespace

TextResult<SecretBytes> password_from_file(std::string_view path) {
  SecretBytes out;
  if (path == "-") {
    CV_TRY_ASSIGN(out, read_all_secret(STDIN_FILENO, "(standard input)"));
  } else {
    IoResult<File> file = File::open_read(path);
    if (!file.ok()) {
      return Err{"cannot read password file " + std::string(path) + ": " +
                 file.error().message()};
    }
    CV_TRY_ASSIGN(out, read_all_secret(file->fd(), path));
  }
  strip_one_newline(out);
  return out;
}

TextResult<SecretBytes> read_password(const Options& options) {
  SecretBytes password;
  std::string source;
  if (options.password_file) {
    CV_TRY_ASSIGN(password, password_from_file(*options.password_file));
    source = *options.password_file == "-"
                 ? std::string("the password from standard input")
                 : "the password in " + *options.password_file;
  } else if (options.password_env) {
    CV_TRY_ASSIGN(password, password_from_env(*options.password_env));
    source = "the password in " + *options.password_env;
  } else {
    CV_TRY_ASSIGN(password, prompt_password());
    source = "the password";
  }
  if (password.empty()) return Err{source + " is empty"};
  if (!is_valid_utf8(password)) return Err{source + " is not valid UTF-8 text"};
  return password;
}

}  // namespace cellvault::cli
