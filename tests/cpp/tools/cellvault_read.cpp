// cellvault_read: the reader driven from the Python tests and benchmarks.
//
//   cellvault_read verify FILE
//   cellvault_read decrypt FILE OUT [--ignore-integrity]
//
// The password comes from the environment variable CELLVAULT_PASSWORD (so
// that it needs no quoting and no command line shows it). On success one
// line "ok <integrity> <package length> v<container version> <encryption>"
// goes to standard output, integrity being "matches", "absent" or
// "not-checked", and the status is 0. On failure one line "<kind>:
// <message>" goes to standard output, kind as read_error_kind_name gives
// it, and the status is 1. Status 2 is a usage error.

#include <fcntl.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "common/file.h"
#include "reader/reader.h"

namespace {

using cellvault::File;
using namespace cellvault::reader;

int usage() {
  std::fprintf(stderr,
               "usage: cellvault_read verify FILE | decrypt FILE OUT [--ignore-integrity]\n");
  return 2;
}

std::string integrity_word(Integrity i) {
  switch (i) {
    case Integrity::kMatches: return "matches";
    case Integrity::kAbsent: return "absent";
    case Integrity::kNotChecked: return "not-checked";
  }
  return "?";
}

int print(const ReadResult<Report>& r) {
  if (!r.ok()) {
    std::printf("%s: %s\n", std::string(read_error_kind_name(r.error().kind())).c_str(),
                r.error().describe().c_str());
    return 1;
  }
  std::printf("ok %s %llu v%d %s\n", integrity_word(r->integrity).c_str(),
              static_cast<unsigned long long>(r->package_len),
              static_cast<int>(r->container_version), r->encryption.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return usage();
  const std::string_view command = argv[1];
  const char* env = std::getenv("CELLVAULT_PASSWORD");
  const std::string password = env ? env : "";
  cellvault::IoResult<File> in = File::open_read(argv[2]);
  if (!in.ok()) {
    std::printf("io: %s\n", in.error().message().c_str());
    return 1;
  }
  if (command == "verify" && argc == 3) return print(verify_file(*in, password));
  if (command != "decrypt" || argc < 4 || argc > 5) return usage();
  DecryptOptions options;
  if (argc == 5) {
    if (std::string_view(argv[4]) != "--ignore-integrity") return usage();
    options.ignore_integrity = true;
  }
  cellvault::IoResult<File> out = File::create(argv[3]);
  if (!out.ok()) {
    std::printf("io: %s\n", out.error().message().c_str());
    return 1;
  }
  const int status = print(decrypt_file(*in, password, *out, options));
  cellvault::IoResult<void> closed = out->close();
  if (status == 0 && !closed.ok()) {
    std::printf("io: %s\n", closed.error().message().c_str());
    return 1;
  }
  return status;
}
