// CCommandHandler: the application's answers to the texts that arrive on the
// module's port. The module hands each text to the communication proxy, the
// proxy calls this handler on its own thread, and the answer travels back
// through the module to its configured target.
//
//   "PING"              -> "PONG"
//   "GET <key>"         -> the value, read through the module's GetParam
//   "TRIGGER"           -> a software trigger; answered "TRIGGER <count>", or
//                          "ERR ..." when too many triggered frames wait
//   "SET <key> <value>" -> only when remote changes are allowed
//   anything else       -> not answered, only counted: answers go to the
//                          module's target, where a flood of "ERR" answers to
//                          noise would crowd out the results
// A refusal names the code and its reason.
//
// Threads: Handle runs on the proxy's thread "comm_proxy". The module and the
// frame driver must outlive the handler's installation; the host removes the
// handler and waits for the proxy to be idle before destroying either.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

#include "Console.h"
#include "FrameDriver.h"
#include "algo/AbstractUserModule.h"
#include "algo/CommProxy.h"

namespace hostprog {

class CCommandHandler {
public:
    CCommandHandler(CAbstractUserModule& module, CFrameDriver& driver, bool allowRemoteSet,
                    bool verbose, CConsole& console);

    // The proxy's CommandHandler: true with `reply` set when there is an answer.
    bool Handle(const CCommProxy::MessageInfo& request, std::string& reply);

    // The answer to one command text (trailing blanks and "\r\n" ignored);
    // nothing when the text is not one of the commands.
    std::optional<std::string> Answer(std::string text);

    uint64_t Answered() const { return m_nAnswered.load(); }
    uint64_t Ignored() const { return m_nIgnored.load(); }

private:
    CAbstractUserModule& m_module;
    CFrameDriver& m_driver;
    const bool m_bAllowRemoteSet;
    const bool m_bVerbose;
    CConsole& m_console;
    // Written on the proxy thread, read by the main thread.
    std::atomic<uint64_t> m_nAnswered{0};
    std::atomic<uint64_t> m_nIgnored{0};
};

}  // namespace hostprog
