#pragma once

// What the program and its formatter helper (sorvik-diag-formatter) say to each other over a
// socket pair. Lines go in batches, so that the two processes do not wait on each other for
// every line:
//   to the helper:   u32 size of what follows, u32 count, then for each line u32 length, bytes
//   from the helper: for each line i32 status, u32 length, the text (status 0) or the error
// The helper's first answer, with no bytes, says whether the component made its formatter. Before
// each line it notes the line's number in memory shared with the program, so that the program
// knows which line the component crashed or hung on.

#include <cstdint>

namespace DiagFormatterProtocol {

// The helper is started as: sorvik-diag-formatter LIBRARY PARENT_PID, with the socket and the
// shared line number as these descriptors.
constexpr int socketFd = 3;
constexpr int progressFd = 4;

// Where the program looks for the helper when it is not beside its executable (the test
// programs, which do not lie in the program's folder).
constexpr const char *helperVariable = "SORVIK_FORMATTER_HELPER";
constexpr const char *helperName = "sorvik-diag-formatter";

struct Header {
    int32_t status;
    uint32_t length;
};

} // namespace DiagFormatterProtocol
