#include "CommandHandler.h"

#include <cstring>
#include <exception>

#include "ResultCodes.h"
#include "TextEscape.h"

namespace hostprog {
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

std::string Refusal(const std::string& what, int code) {
    return "ERR " + what + ": " + apps::DescribeResult(code);
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
    // szMsg always ends in a zero byte; the module keeps at most 127 characters.
    const std::string text(request.szMsg, strnlen(request.szMsg, sizeof(request.szMsg)));
    std::optional<std::string> answer;
    try {
        answer = Answer(text);
    } catch (const std::exception& e) {
        // The module lets the store's exceptions through; the peer learns
        // that its command failed, the host goes on.
        answer = "ERR failed: " + std::string(e.what());
    }
    if (!answer) {
        m_nIgnored.fetch_add(1);
        if (m_bVerbose) {
            m_console.Print("ignored \"%s\"", apps::EscapeText(text).c_str());
        }
        return false;
    }
    m_nAnswered.fetch_add(1);
    reply = std::move(*answer);
    if (m_bVerbose) {
        m_console.Print("command \"%s\" -> \"%s\"", apps::EscapeText(text).c_str(),
                        apps::EscapeText(reply).c_str());
    }
    return true;
}

std::optional<std::string> CCommandHandler::Answer(std::string text) {
    // Tools such as nc send a line end with the command.
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
        text.pop_back();
    }
    const std::string command = NextWord(text);
    if (command == "PING" && text.empty()) {
        return std::string("PONG");
    }
    if (command == "TRIGGER" && text.empty()) {
        const int count = m_driver.FireTrigger();
        if (count == CFrameDriver::kTriggerRefused) {
            return "ERR TRIGGER refused: " + std::to_string(kMaxPendingTriggers) +
                   " triggered frames already wait";
        }
        return "TRIGGER " + std::to_string(count);
    }
    if (command == "GET") {
        const std::string key = NextWord(text);
        if (key.empty() || !text.empty()) {
            return std::string("ERR usage: GET <key>");
        }
        char value[256] = {};
        int length = 0;
        const int result = m_module.GetParam(key.c_str(), value, sizeof(value), &length);
        if (result != 0) {
            return Refusal("GET " + key, result);
        }
        // The module answers some keys (the target addresses) with nothing.
        return key + "=" + value;
    }
    if (command == "SET") {
        if (!m_bAllowRemoteSet) {
            return std::string("ERR SET refused: start the host with --allow-remote-set");
        }
        const std::string key = NextWord(text);
        const size_t begin = text.find_first_not_of(' ');
        const std::string value = begin == std::string::npos ? std::string() : text.substr(begin);
        if (key.empty() || value.empty()) {
            return std::string("ERR usage: SET <key> <value>");
        }
        const int result =
            m_module.SetParam(key.c_str(), value.c_str(), static_cast<int>(value.size()));
        if (result != 0) {
            return Refusal("SET " + key + " " + value, result);
        }
        return "OK " + key + "=" + value;
    }
    return std::nullopt;
}

}  // namespace hostprog
