// Files that a tool is told to read (a payload, a module): checked before they
// are used, so that a folder, a device such as /dev/zero or a FIFO that nobody
// writes gives a clear message instead of an exception, an allocation without
// end or a program that hangs.
//
// Shared by the host program and the monitor. Threads: any.
#pragma once

#include <cstddef>
#include <string>

namespace apps {

// True when `path` names a regular file (symlinks followed) of at most
// `maxBytes` bytes; else false with the reason in `error`. Never blocks.
bool CheckRegularFile(const std::string& path, size_t maxBytes, std::string& error);

// Reads the whole regular file `path` of at most `maxBytes` bytes into
// `bytes`. The file is opened without blocking (a FIFO is refused, not waited
// on) and checked on the open descriptor, so it cannot be swapped in between.
// False with the reason in `error`.
bool ReadRegularFile(const std::string& path, size_t maxBytes, std::string& bytes,
                     std::string& error);

}  // namespace apps
