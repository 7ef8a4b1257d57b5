// set_password: reads a workbook and writes its encrypted form.

#ifndef CELLVAULT_WRITER_XLSX_H_
#define CELLVAULT_WRITER_XLSX_H_

#include <string_view>

#include "common/cancel.h"
#include "helper/crypt/encrypt.h"

namespace cellvault {

// set_password reads the whole file at |from_path| (any content is
// accepted) and writes it encrypted with |password| to |to_path|. A regular
// file longer than one chunk is streamed (encrypt_file: the memory needed
// stays that of a chunk, and a source that changes size while it is read
// fails the call); any other source is read whole first (encrypt). Either
// way the two paths may name the same file. While the source keeps the call waiting
// for input (a FIFO without a writer, a pipe), |cancel| is asked whether to
// stop; a stop aborts with the Interrupted error kCancelledMessage before
// anything is written. It is asked the same way while an output that is a
// FIFO waits for its reader. Every failure throws Abort; the destination is then
// as it was before the call, with the exceptions that encrypt lists.
void set_password(std::string_view from_path, std::string_view to_path,
                  std::string_view password, const OutputOptions& options = {},
                  const CancelHook& cancel = {});

}  // namespace cellvault

#endif  // CELLVAULT_WRITER_XLSX_H_
