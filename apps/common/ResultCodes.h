// The result codes that reach a host from the module, its engine and the
// framework's parameter store, in one table with the reason in words, so that
// every refusal a tool prints says why beside its code.
//
// Shared by the host program and the monitor. Threads: pure functions, any
// thread.
#pragma once

#include <string>

namespace apps {

// The reason in words; "unknown result code" for a code not in the table.
const char* ResultReason(int code);

// "0xE0000102 (value out of the parameter's range or form)".
std::string DescribeResult(int code);

// "0xE0000102".
std::string HexCode(int code);

}  // namespace apps
