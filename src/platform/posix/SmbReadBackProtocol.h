#pragma once

// What the program and its read-back helper (sorvik-share-reader) say to each other over a
// socket pair, in lines of text.
//
// The helper is started as: sorvik-share-reader PARENT_PID; the socket is its descriptor
// `socketFd`, its standard input and outputs are /dev/null. It ends with the thread that started
// it (the parent-death signal), and when the program closes the socket.
//   program -> helper  "O <path>\n"  the file to read back, which the program has just created
//                                    and is writing: its native path in hex
//                      "W <bytes>\n"  the program's writes up to <bytes> were answered
//                      "C <bytes>\n"  the file is closed with <bytes>: read on to its end
//   helper -> program  "R <bytes>\n"  read back so far
//                      "D <bytes> <crc>\n"  read to the end: <bytes> in all, their CRC-32 in hex
//                      "E <errno> <reason>\n"  could not read back (the reason in words)
namespace SmbReadBackProtocol {
constexpr int socketFd = 3;
constexpr const char *helperVariable = "SORVIK_SHARE_READER";
constexpr const char *helperName = "sorvik-share-reader";
} // namespace SmbReadBackProtocol
