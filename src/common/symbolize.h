// Names for the addresses of a backtrace.
//
// backtrace_symbols() names only exported symbols, and the core's functions
// are not exported (the module exports PyInit_cellvault alone), so frames
// would read "+0x1c2f0". symbolize_frames reads the function names from the
// symbol table of each loaded object instead, and, where the build carries
// line information and binutils' addr2line is installed, adds the source
// file and line.

#ifndef CELLVAULT_COMMON_SYMBOLIZE_H_
#define CELLVAULT_COMMON_SYMBOLIZE_H_

#include <span>
#include <string>

namespace cellvault {

// symbolize_frames returns the report lines for the return addresses
// |frames| (innermost first): per frame "  <n>: <function>" (demangled;
// the object and offset when no symbol covers the address), followed by
// "             at <file>:<line>" when that is known. It allocates and may
// start addr2line, so it is for failure reports, not for signal handlers.
std::string symbolize_frames(std::span<void* const> frames);

}  // namespace cellvault

#endif  // CELLVAULT_COMMON_SYMBOLIZE_H_
