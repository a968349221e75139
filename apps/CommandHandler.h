// CCommandHandler: the application's answers to the texts that arrive on the
// module's port. The module hands each text to the communication proxy, the
// proxy calls this handler on its own thread, and the answer travels back
// through the module to its configured target.
//
//   "PING"              -> "PONG"
//   "GET <key>"         -> the value, read through the module's GetParam
//   "TRIGGER"           -> a software trigger; answered "TRIGGER <count>"
//   "SET <key> <value>" -> only when remote changes are allowed
//   anything else       -> "ERR ..." with a short reason
//
// Threads: Handle runs on the proxy's thread "comm_proxy". The module and the
// frame driver must outlive the handler's installation; the host removes the
// handler and waits for the proxy to be idle before destroying either.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "Console.h"
#include "FrameDriver.h"
#include "algo/AbstractUserModule.h"
#include "algo/CommProxy.h"

namespace host {

class CCommandHandler {
public:
    CCommandHandler(CAbstractUserModule& module, CFrameDriver& driver, bool allowRemoteSet,
                    bool verbose, CConsole& console);

    // The proxy's CommandHandler: true with `reply` set when there is an answer.
    bool Handle(const CCommProxy::MessageInfo& request, std::string& reply);

    // Builds the answer to one command text (trailing "\r\n" ignored).
    std::string Answer(std::string text);

    uint64_t Count() const { return m_nCount.load(); }

private:
    CAbstractUserModule& m_module;
    CFrameDriver& m_driver;
    const bool m_bAllowRemoteSet;
    const bool m_bVerbose;
    CConsole& m_console;
    std::atomic<uint64_t> m_nCount{0};  // written on the proxy thread, read by the main thread
};

}  // namespace host
