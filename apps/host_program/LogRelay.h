// CLogRelay: the module's log lines, as the host prints them. The module's
// logging facility would write each line straight to standard output, bytes
// from the network included (a requested key, a text the peer sent); the host
// silences that output for the module's id and takes the lines through the
// facility's callback instead, escapes them and prints them on the console it
// is given (standard error, with the program's warnings). The module's own
// colour is kept only when that stream is a terminal.
//
// Threads: Install and Remove on the main thread, while no module code runs
// (before the module is created, after it is destroyed); the callback runs on
// whichever thread logs (the module's tasks, the host's threads).
#pragma once

#include <atomic>

#include "Console.h"
#include "ModuleLibrary.h"

namespace hostprog {

class CLogRelay {
public:
    CLogRelay(CConsole& console, bool colour) : m_console(console), m_bColour(colour) {}
    ~CLogRelay() { Remove(); }
    CLogRelay(const CLogRelay&) = delete;
    CLogRelay& operator=(const CLogRelay&) = delete;

    // Lines of `moduleId` at `level` or above reach the console, escaped; the
    // facility's own output for that id is silenced. One relay per process.
    void Install(const ModuleLogApi& log, int moduleId, int level);
    void Remove();

private:
    static int Deliver(int id, int level, int flag, const char* line, int length);

    CConsole& m_console;
    const bool m_bColour;
    int m_nModuleId = -1;
    const ModuleLogApi* m_pLog = nullptr;
    // The installed relay, read by the callback on any thread.
    static std::atomic<CLogRelay*> s_pInstalled;
};

}  // namespace hostprog
