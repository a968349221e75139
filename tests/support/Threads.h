// Threads of this process as the kernel lists them, to show that code under
// test started or left none behind.
//
// Threads: any thread may call these; they only read /proc.
#pragma once

#include <cstdint>
#include <string>

namespace ts {

// All threads of this process.
int ThreadCount();
// Threads whose name is `name` (a sanitizer may add threads of its own, so a
// plain count cannot single out the threads of the code under test).
int ThreadsNamed(const std::string& name);
// CPU time in ns that the threads named `name` have had so far (0 when none).
uint64_t ThreadCpuNs(const std::string& name);

}  // namespace ts
