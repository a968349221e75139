#include "CommandHandler.h"

#include <cstdio>
#include <cstring>

#include "DatagramListener.h"

namespace host {
namespace {

// Splits off the first blank-separated word of `text`.
std::string NextWord(std::string& text) {
    const size_t begin = text.find_first_not_of(' ');
    if (begin == std::string::npos) {
        text.clear();
        return {};
    }
    const size_t end = text.find(' ', begin);
    std::string word =
        text.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
    text = end == std::string::npos ? std::string() : text.substr(end + 1);
    return word;
}

}  // namespace

CCommandHandler::CCommandHandler(CAbstractUserModule& module, CFrameDriver& driver,
                                 bool allowRemoteSet, bool verbose, CConsole& console)
    : m_module(module),
      m_driver(driver),
      m_bAllowRemoteSet(allowRemoteSet),
      m_bVerbose(verbose),
      m_console(console) {}

bool CCommandHandler::Handle(const CCommProxy::MessageInfo& request, std::string& reply) {
    m_nCount.fetch_add(1);
    // szMsg always ends in a zero byte; the module keeps at most 127 characters.
    const std::string text(request.szMsg, strnlen(request.szMsg, sizeof(request.szMsg)));
    reply = Answer(text);
    if (m_bVerbose) {
        const std::string shown = CDatagramListener::Escape(text.data(), text.size());
        m_console.Print("command \"%s\" -> \"%s\"", shown.c_str(), reply.c_str());
    }
    return true;
}

std::string CCommandHandler::Answer(std::string text) {
    // Tools such as nc send a line end with the command.
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
        text.pop_back();
    }
    const std::string command = NextWord(text);
    if (command == "PING" && text.empty()) {
        return "PONG";
    }
    if (command == "TRIGGER" && text.empty()) {
        return "TRIGGER " + std::to_string(m_driver.FireTrigger());
    }
    if (command == "GET") {
        const std::string key = NextWord(text);
        if (key.empty() || !text.empty()) {
            return "ERR usage: GET <key>";
        }
        char value[256] = {};
        int length = 0;
        const int result = m_module.GetParam(key.c_str(), value, sizeof(value), &length);
        if (result != 0) {
            char answer[320];
            std::snprintf(answer, sizeof(answer), "ERR GET %s: 0x%08X", key.c_str(),
                          static_cast<unsigned>(result));
            return answer;
        }
        // The module answers some keys (the target addresses) with nothing.
        return key + "=" + value;
    }
    if (command == "SET") {
        if (!m_bAllowRemoteSet) {
            return "ERR SET refused: start the host with --allow-remote-set";
        }
        const std::string key = NextWord(text);
        const size_t begin = text.find_first_not_of(' ');
        const std::string value = begin == std::string::npos ? std::string() : text.substr(begin);
        if (key.empty() || value.empty()) {
            return "ERR usage: SET <key> <value>";
        }
        const int result =
            m_module.SetParam(key.c_str(), value.c_str(), static_cast<int>(value.size()));
        if (result != 0) {
            char answer[400];
            std::snprintf(answer, sizeof(answer), "ERR SET %s %s: 0x%08X", key.c_str(),
                          value.c_str(), static_cast<unsigned>(result));
            return answer;
        }
        return "OK " + key + "=" + value;
    }
    return "ERR unknown command (PING, GET <key>, TRIGGER, SET <key> <value>)";
}

}  // namespace host
