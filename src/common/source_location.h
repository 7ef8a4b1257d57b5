// SourceLocation: std::source_location where the compiler provides it.
//
// libstdc++ defines std::source_location only for compilers that have
// __builtin_source_location; clang 14, which builds the fuzz targets, does
// not. There the same four accessors are built from the older builtins
// that it does have, which give the same file, line and function.

#ifndef CELLVAULT_COMMON_SOURCE_LOCATION_H_
#define CELLVAULT_COMMON_SOURCE_LOCATION_H_

#include <cstdint>
#include <source_location>

namespace cellvault {

#if defined(__cpp_lib_source_location)
using SourceLocation = std::source_location;
#else
class SourceLocation {
 public:
  static constexpr SourceLocation current(const char* file = __builtin_FILE(),
                                          const char* function = __builtin_FUNCTION(),
                                          uint_least32_t line = __builtin_LINE()) noexcept {
    SourceLocation here;
    here.file_ = file;
    here.function_ = function;
    here.line_ = line;
    return here;
  }
  constexpr const char* file_name() const noexcept { return file_; }
  constexpr const char* function_name() const noexcept { return function_; }
  constexpr uint_least32_t line() const noexcept { return line_; }
  constexpr uint_least32_t column() const noexcept { return 0; }

 private:
  const char* file_ = "";
  const char* function_ = "";
  uint_least32_t line_ = 0;
};
#endif

}  // namespace cellvault

#endif  // CELLVAULT_COMMON_SOURCE_LOCATION_H_
