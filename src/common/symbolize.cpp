#include "common/symbolize.h"

#include <cxxabi.h>
#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

extern char** environ;

namespace cellvault {
namespace {

// One loaded object: its file, where it is loaded, and its function
// symbols, read once per report.
struct Object {
  std::string path;
  uintptr_t base = 0;
  bool relative = false;  // symbol values are offsets from |base| (ET_DYN)
  struct Symbol {
    uint64_t start;
    uint64_t size;
    std::string name;
  };
  std::vector<Symbol> functions;
};

struct Unmap {
  size_t len;
  void operator()(void* p) const { ::munmap(p, len); }
};

// in_bounds tells whether [offset, offset + len) lies inside a file of
// |size| bytes, without overflow.
bool in_bounds(uint64_t offset, uint64_t len, uint64_t size) {
  return offset <= size && len <= size - offset;
}

// read_functions fills |obj| from the ELF file at obj.path: the function
// symbols of .symtab (kept unless the object was stripped), else those of
// .dynsym. A file that is not a well-formed 64-bit ELF object leaves it
// empty.
void read_functions(Object& obj) {
  const int fd = ::open(obj.path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  struct stat st;
  const bool sized = ::fstat(fd, &st) == 0 && st.st_size > 0;
  void* map = sized ? ::mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ,
                             MAP_PRIVATE, fd, 0)
                    : MAP_FAILED;
  ::close(fd);
  if (map == MAP_FAILED) return;
  const uint64_t size = static_cast<uint64_t>(st.st_size);
  std::unique_ptr<void, Unmap> owner(map, Unmap{static_cast<size_t>(size)});
  const auto* bytes = static_cast<const uint8_t*>(map);

  Elf64_Ehdr eh;
  if (size < sizeof(eh)) return;
  std::memcpy(&eh, bytes, sizeof(eh));
  if (std::memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0 || eh.e_ident[EI_CLASS] != ELFCLASS64 ||
      eh.e_shentsize != sizeof(Elf64_Shdr) ||
      !in_bounds(eh.e_shoff, uint64_t{eh.e_shnum} * sizeof(Elf64_Shdr), size)) {
    return;
  }
  obj.relative = eh.e_type == ET_DYN;
  auto section = [&](size_t i) {
    Elf64_Shdr sh;
    std::memcpy(&sh, bytes + eh.e_shoff + i * sizeof(Elf64_Shdr), sizeof(sh));
    return sh;
  };
  for (uint32_t wanted : {SHT_SYMTAB, SHT_DYNSYM}) {
    for (size_t i = 0; i < eh.e_shnum; ++i) {
      const Elf64_Shdr sh = section(i);
      if (sh.sh_type != wanted || sh.sh_entsize != sizeof(Elf64_Sym) ||
          sh.sh_link >= eh.e_shnum || !in_bounds(sh.sh_offset, sh.sh_size, size)) {
        continue;
      }
      const Elf64_Shdr strings = section(sh.sh_link);
      if (!in_bounds(strings.sh_offset, strings.sh_size, size)) continue;
      const char* names = reinterpret_cast<const char*>(bytes + strings.sh_offset);
      for (uint64_t at = 0; at + sizeof(Elf64_Sym) <= sh.sh_size; at += sizeof(Elf64_Sym)) {
        Elf64_Sym sym;
        std::memcpy(&sym, bytes + sh.sh_offset + at, sizeof(sym));
        if (ELF64_ST_TYPE(sym.st_info) != STT_FUNC || sym.st_value == 0 ||
            sym.st_name >= strings.sh_size) {
          continue;
        }
        const size_t max = static_cast<size_t>(strings.sh_size - sym.st_name);
        obj.functions.push_back({sym.st_value, sym.st_size,
                                 std::string(names + sym.st_name, strnlen(names + sym.st_name, max))});
      }
    }
    if (!obj.functions.empty()) return;
  }
}

std::string demangle(const std::string& name) {
  int status = 0;
  std::unique_ptr<char, decltype(&std::free)> out(
      abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status), &std::free);
  return status == 0 && out ? std::string(out.get()) : name;
}

// find_program returns the path of |name| in PATH, if any.
std::optional<std::string> find_program(const char* name) {
  const char* path = std::getenv("PATH");
  if (path == nullptr) return std::nullopt;
  std::string dirs(path);
  size_t start = 0;
  while (start <= dirs.size()) {
    const size_t end = std::min(dirs.find(':', start), dirs.size());
    std::string candidate = dirs.substr(start, end - start);
    if (!candidate.empty()) {
      candidate += '/';
      candidate += name;
      if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    start = end + 1;
  }
  return std::nullopt;
}

// source_lines asks addr2line for the file and line of each offset in
// |obj|; an entry stays empty where nothing is known.
std::vector<std::string> source_lines(const std::string& tool, const Object& obj,
                                      const std::vector<uint64_t>& offsets) {
  std::vector<std::string> out(offsets.size());
  std::vector<std::string> args = {tool, "-e", obj.path};
  for (uint64_t off : offsets) {
    char hex[24];
    std::snprintf(hex, sizeof(hex), "%#llx", static_cast<unsigned long long>(off));
    args.push_back(hex);
  }
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) return out;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  const int spawned = ::posix_spawn(&pid, tool.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipe_fds[1]);
  std::string text;
  if (spawned == 0) {
    char buf[4096];
    for (;;) {
      const ssize_t n = ::read(pipe_fds[0], buf, sizeof(buf));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      text.append(buf, static_cast<size_t>(n));
    }
    int status;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }
  ::close(pipe_fds[0]);
  size_t line = 0, start = 0;
  while (line < out.size() && start < text.size()) {
    const size_t end = std::min(text.find('\n', start), text.size());
    std::string entry = text.substr(start, end - start);
    if (entry.rfind("??", 0) != 0 && entry.find(":?") == std::string::npos &&
        entry.find(":0") + 2 != entry.size()) {
      out[line] = entry;
    }
    ++line;
    start = end + 1;
  }
  return out;
}

}  // namespace

std::string symbolize_frames(std::span<void* const> frames) {
  std::vector<Object> objects;
  struct Frame {
    size_t object = SIZE_MAX;
    uint64_t offset = 0;  // into the object, of the call instruction
    std::string function;
    std::string where;
  };
  std::vector<Frame> out(frames.size());
  for (size_t i = 0; i < frames.size(); ++i) {
    Dl_info info;
    // A return address points after the call; the call itself is a byte
    // earlier, which keeps a call at the end of a function inside it.
    const uintptr_t pc = reinterpret_cast<uintptr_t>(frames[i]) - 1;
    if (::dladdr(reinterpret_cast<void*>(pc), &info) == 0 || info.dli_fname == nullptr) continue;
    // The main program is named as it was started ("python"), which need
    // not be a path from here.
    std::string path = std::strchr(info.dli_fname, '/') != nullptr ? info.dli_fname
                                                                   : "/proc/self/exe";
    const uintptr_t base = reinterpret_cast<uintptr_t>(info.dli_fbase);
    size_t k = 0;
    while (k < objects.size() && objects[k].base != base) ++k;
    if (k == objects.size()) {
      objects.push_back(Object{path, base, false, {}});
      read_functions(objects.back());
    }
    const Object& obj = objects[k];
    Frame& f = out[i];
    f.object = k;
    f.offset = obj.relative ? pc - base : pc;
    for (const Object::Symbol& s : obj.functions) {
      if (f.offset >= s.start && f.offset < s.start + (s.size == 0 ? 1 : s.size)) {
        f.function = demangle(s.name);
        break;
      }
    }
    if (f.function.empty()) {
      char hex[24];
      std::snprintf(hex, sizeof(hex), "%#llx", static_cast<unsigned long long>(f.offset));
      f.function = path + "+" + hex;
    }
  }
  if (const std::optional<std::string> tool = find_program("addr2line")) {
    for (size_t k = 0; k < objects.size(); ++k) {
      std::vector<uint64_t> offsets;
      std::vector<size_t> which;
      for (size_t i = 0; i < out.size(); ++i) {
        if (out[i].object == k) {
          offsets.push_back(out[i].offset);
          which.push_back(i);
        }
      }
      const std::vector<std::string> lines = source_lines(*tool, objects[k], offsets);
      for (size_t j = 0; j < which.size(); ++j) out[which[j]].where = lines[j];
    }
  }
  std::string text;
  for (size_t i = 0; i < out.size(); ++i) {
    char number[32];
    std::snprintf(number, sizeof(number), "%4zu: ", i);
    text += number;
    text += out[i].function.empty() ? "<unknown>" : out[i].function;
    text += '\n';
    if (!out[i].where.empty()) text += "             at " + out[i].where + "\n";
  }
  return text;
}

}  // namespace cellvault
