// One of our programs (udptrans-host, udptrans-monitor) run as a child
// process by a test, its standard output and error in numbered files of the
// test's folder.
//
// Threads: one test thread owns each run.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "ChildProcess.h"
#include "TempDir.h"

namespace ts {

class ProgramRun : public ChildProcess {
public:
    // `env` ("NAME=value") as ChildProcess takes it.
    ProgramRun(const std::string& program, const std::string& dir, std::vector<std::string> args,
               const std::vector<std::string>& env = {})
        : ProgramRun(program, std::move(args), dir + "/run." + std::to_string(++s_nRun), env) {}
    std::string Out() const { return ReadFile(m_base + ".stdout"); }
    std::string Err() const { return ReadFile(m_base + ".stderr"); }

private:
    ProgramRun(const std::string& program, std::vector<std::string> args, const std::string& base,
               const std::vector<std::string>& env)
        : ChildProcess(Argv(program, std::move(args)), base + ".stdout", base + ".stderr", env),
          m_base(base) {}
    static std::vector<std::string> Argv(const std::string& program,
                                         std::vector<std::string> args) {
        args.insert(args.begin(), program);
        return args;
    }

    static inline int s_nRun = 0;
    std::string m_base;
};

}  // namespace ts
