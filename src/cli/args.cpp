#include "cli/args.h"

#include <charconv>
#include <string_view>

#include "cli/shown.h"

namespace cellvault::cli {
namespace {

// The most threads that --jobs accepts; far beyond any useful number, but
// it keeps a typo such as "-j 80000" from starting that many threads.
constexpr unsigned kMaxJobs = 1024;

enum class Opt {
  OutputDir,
  ContainerVersion,
  PasswordFile,
  PasswordEnv,
  FilesFrom,
  Null,
  Jobs,
  Force,
  Quiet,
  Help,
  Verify,
  IgnoreIntegrity,
  // Refused on purpose: see kPasswordOnCommandLine.
  Password,
  Count,  // the number of options, not one of them
};

// The commands that take an option, as bits.
constexpr unsigned kEncrypt = 1u << static_cast<unsigned>(Command::Encrypt);
constexpr unsigned kVerify = 1u << static_cast<unsigned>(Command::Verify);
constexpr unsigned kDecrypt = 1u << static_cast<unsigned>(Command::Decrypt);
constexpr unsigned kAll = kEncrypt | kVerify | kDecrypt;
// The commands that write outputs.
constexpr unsigned kWriting = kEncrypt | kDecrypt;

struct OptSpec {
  std::string_view long_name;
  char short_name;  // 0 when there is none
  bool takes_value;
  Opt opt;
  unsigned commands;
};

constexpr OptSpec kOptions[] = {
    {"output-dir", 'o', true, Opt::OutputDir, kWriting},
    {"container-version", 0, true, Opt::ContainerVersion, kEncrypt},
    {"password-file", 0, true, Opt::PasswordFile, kAll},
    {"password-env", 0, true, Opt::PasswordEnv, kAll},
    {"files-from", 0, true, Opt::FilesFrom, kAll},
    {"null", 0, false, Opt::Null, kAll},
    {"jobs", 'j', true, Opt::Jobs, kAll},
    {"force", 'f', false, Opt::Force, kWriting},
    {"quiet", 'q', false, Opt::Quiet, kAll},
    {"help", 'h', false, Opt::Help, kAll},
    {"verify", 0, false, Opt::Verify, kEncrypt},
    {"ignore-integrity", 0, false, Opt::IgnoreIntegrity, kDecrypt},
    {"password", 'p', true, Opt::Password, kAll},
};

constexpr std::string_view kPasswordOnCommandLine =
    "a password is never taken from the command line, where other users can "
    "read it in the process list; use --password-file FILE, --password-env "
    "NAME or the prompt";

const OptSpec* find_long(std::string_view name) {
  for (const OptSpec& option : kOptions) {
    if (option.long_name == name) return &option;
  }
  return nullptr;
}

const OptSpec* find_short(char name) {
  for (const OptSpec& option : kOptions) {
    if (option.short_name != 0 && option.short_name == name) return &option;
  }
  return nullptr;
}

TextResult<unsigned> parse_jobs(std::string_view text) {
  unsigned value = 0;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc() || ptr != end || value < 1 ||
      value > kMaxJobs) {
    return Err{"--jobs needs a whole number from 1 to " +
               std::to_string(kMaxJobs) + ", not " + shown_quoted(text)};
  }
  return value;
}

TextResult<void> apply(Options& options, Opt opt, std::string_view value) {
  switch (opt) {
    case Opt::OutputDir:
      if (value.empty()) return Err{std::string("--output-dir needs a directory")};
      options.output_dir = std::string(value);
      break;
    case Opt::ContainerVersion:
      if (value == "3") {
        options.version = cfb::Version::V3;
      } else if (value == "4") {
        options.version = cfb::Version::V4;
      } else {
        return Err{"--container-version must be 3 or 4, not " + shown_quoted(value)};
      }
      break;
    case Opt::PasswordFile:
      options.password_file = std::string(value);
      break;
    case Opt::PasswordEnv:
      if (value.empty()) return Err{std::string("--password-env needs a variable name")};
      options.password_env = std::string(value);
      break;
    case Opt::FilesFrom:
      if (value.empty()) return Err{std::string("--files-from needs a file")};
      options.files_from = std::string(value);
      break;
    case Opt::Null:
      options.null_separated = true;
      break;
    case Opt::Jobs: {
      CV_TRY_ASSIGN(options.jobs, parse_jobs(value));
      break;
    }
    case Opt::Force:
      options.force = true;
      break;
    case Opt::Quiet:
      options.quiet = true;
      break;
    case Opt::Help:
      options.action = Action::CommandHelp;
      break;
    case Opt::Verify:
      options.verify_output = true;
      break;
    case Opt::IgnoreIntegrity:
      options.ignore_integrity = true;
      break;
    case Opt::Password:
      return Err{std::string(kPasswordOnCommandLine)};
    case Opt::Count:
      break;
  }
  return {};
}

// OptionsSeen refuses a second value for an option that takes one: with
// "-o A -o B" it is unclear which directory was meant. Flags may repeat.
class OptionsSeen {
 public:
  TextResult<void> note(const OptSpec& option) {
    if (!option.takes_value) return {};
    bool& seen = seen_[static_cast<size_t>(option.opt)];
    if (seen) {
      return Err{"option '--" + std::string(option.long_name) + "' is given more than once"};
    }
    seen = true;
    return {};
  }

 private:
  bool seen_[static_cast<size_t>(Opt::Count)] = {};
};

TextResult<void> check(const Options& options) {
  if (options.password_file && options.password_env) {
    return Err{std::string(
        "--password-file and --password-env cannot be used together")};
  }
  const bool writes = options.command != Command::Verify;
  if (options.files_from && writes && !options.output_dir) {
    return Err{std::string("--files-from needs --output-dir DIR")};
  }
  if (options.null_separated && !options.files_from) {
    return Err{std::string("--null needs --files-from FILE")};
  }
  if (options.files_from == "-" && options.password_file == "-") {
    return Err{std::string(
        "--files-from - and --password-file - cannot both read standard input")};
  }
  const size_t n = options.paths.size();
  // INPUT '-' of encrypt is standard input, which has no name to keep in
  // DIR and is read once; a file called '-' is named './-'.
  for (size_t i = 0; options.command == Command::Encrypt && i < n; ++i) {
    if (options.paths[i] != kStdinInput || (i == 1 && !options.output_dir)) continue;
    if (options.output_dir || options.files_from || n != 2) {
      return Err{std::string(
          "INPUT - (standard input) needs an OUTPUT, not --output-dir")};
    }
    if (options.password_file == kStdinInput) {
      return Err{std::string(
          "INPUT - and --password-file - cannot both read standard input")};
    }
  }
  // The names of a list are counted once it is read (see read_file_list).
  if (options.files_from) return {};
  if (!writes) {
    if (n == 0) return Err{std::string("no FILE given")};
    return {};
  }
  if (options.output_dir) {
    if (n == 0) return Err{std::string("no INPUT file given")};
  } else if (n == 0) {
    return Err{std::string("no INPUT and OUTPUT given")};
  } else if (n == 1) {
    return Err{std::string(
        "no OUTPUT given (use --output-dir DIR to keep the input's name)")};
  } else if (n > 2) {
    return Err{std::string(
        "too many files: to " + std::string(command_name(options.command)) +
        " several inputs give --output-dir DIR")};
  }
  return {};
}

// check_taken refuses an option that |command| does not take.
TextResult<void> check_taken(const OptSpec& option, Command command, std::string_view as_given) {
  if ((option.commands & (1u << static_cast<unsigned>(command))) != 0) return {};
  return Err{"option " + shown_quoted(as_given) + " is not an option of '" +
             std::string(command_name(command)) + "'"};
}

TextResult<Options> parse_command(Command command, int argc, const char* const* argv) {
  Options options;
  options.command = command;
  OptionsSeen seen;
  bool only_paths = false;
  for (int i = 2; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (only_paths || arg.size() < 2 || arg[0] != '-') {
      options.paths.emplace_back(arg);
      continue;
    }
    if (arg == "--") {
      only_paths = true;
      continue;
    }
    if (arg.starts_with("--")) {
      std::string_view name = arg.substr(2);
      std::optional<std::string_view> inline_value;
      if (size_t eq = name.find('='); eq != std::string_view::npos) {
        inline_value = name.substr(eq + 1);
        name = name.substr(0, eq);
      }
      const OptSpec* option = find_long(name);
      if (option == nullptr) {
        return Err{"unknown option " + shown_quoted("--" + std::string(name))};
      }
      CV_TRY(seen.note(*option));
      if (option->opt == Opt::Password) return Err{std::string(kPasswordOnCommandLine)};
      CV_TRY(check_taken(*option, command, "--" + std::string(name)));
      std::string_view value;
      if (option->takes_value) {
        if (inline_value) {
          value = *inline_value;
        } else if (i + 1 < argc) {
          value = argv[++i];
        } else {
          return Err{"option '--" + std::string(name) + "' needs a value"};
        }
      } else if (inline_value) {
        return Err{"option '--" + std::string(name) + "' takes no value"};
      }
      CV_TRY(apply(options, option->opt, value));
      if (options.action == Action::CommandHelp) return options;
      continue;
    }
    // A cluster of short options such as "-fq" or "-j4".
    for (size_t k = 1; k < arg.size(); ++k) {
      const OptSpec* option = find_short(arg[k]);
      if (option == nullptr) {
        return Err{"unknown option " + shown_quoted("-" + std::string(1, arg[k]))};
      }
      CV_TRY(seen.note(*option));
      if (option->opt == Opt::Password) return Err{std::string(kPasswordOnCommandLine)};
      CV_TRY(check_taken(*option, command, "-" + std::string(1, arg[k])));
      std::string_view value;
      if (option->takes_value) {
        if (k + 1 < arg.size()) {
          value = arg.substr(k + 1);
        } else if (i + 1 < argc) {
          value = argv[++i];
        } else {
          return Err{"option '-" + std::string(1, arg[k]) + "' needs a value"};
        }
        k = arg.size();
      }
      CV_TRY(apply(options, option->opt, value));
      if (options.action == Action::CommandHelp) return options;
    }
  }
  CV_TRY(check(options));
  return options;
}

}  // namespace

std::string_view command_name(Command command) {
  switch (command) {
    case Command::Encrypt: return "encrypt";
    case Command::Verify: return "verify";
    case Command::Decrypt: return "decrypt";
  }
  return "encrypt";
}

TextResult<Options> parse_args(int argc, const char* const* argv) {
  if (argc < 2) return Err{std::string("no command given")};
  std::string_view command = argv[1];
  if (command == "--help" || command == "-h" || command == "help") {
    Options options;
    options.action = Action::Help;
    return options;
  }
  if (command == "--version" || command == "-V") {
    Options options;
    options.action = Action::Version;
    return options;
  }
  for (const Command c : {Command::Encrypt, Command::Verify, Command::Decrypt}) {
    if (command == command_name(c)) return parse_command(c, argc, argv);
  }
  return Err{"unknown command " + shown_quoted(command)};
}

}  // namespace cellvault::cli
