#include "StartupChecks.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstdlib>
#include <exception>

#include "FileCheck.h"
#include "algo/ParamManage.h"
#include "udptrans/udptrans_host.h"

namespace hostprog {
namespace {

constexpr size_t kStoreFileMax = 1024 * 1024;  // the store's own limit

std::optional<int> ParsePort(const std::string& text) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos ||
        text.size() > 5) {
        return std::nullopt;
    }
    const long value = std::strtol(text.c_str(), nullptr, 10);
    if (value < 1 || value > 65535) {
        return std::nullopt;
    }
    return static_cast<int>(value);
}

// The store text's "key=value" lines; the last line of a key wins.
std::map<std::string, std::string> StoredLines(const std::string& content) {
    std::map<std::string, std::string> lines;
    size_t pos = 0;
    while (pos < content.size()) {
        size_t end = content.find('\n', pos);
        if (end == std::string::npos) {
            end = content.size();
        }
        std::string line = content.substr(pos, end - pos);
        pos = end + 1;
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        const size_t eq = line.find('=');
        if (eq != std::string::npos && eq != 0) {
            lines[line.substr(0, eq)] = line.substr(eq + 1);
        }
    }
    return lines;
}

std::optional<int> StoredPort(const std::map<std::string, std::string>& lines,
                              const std::string& key) {
    const auto it = lines.find(key);
    return it == lines.end() ? std::nullopt : ParsePort(it->second);
}

std::optional<int> DefaultPort(CParamManage& description, bool loaded, const char* key) {
    if (!loaded) {
        return std::nullopt;
    }
    try {
        return ParsePort(description.GetParam(key, 0));
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

}  // namespace

RequestedPorts ReadRequestedPorts(const std::string& storeFile, const std::string& description) {
    std::string content;
    std::string error;
    const bool haveStore = apps::ReadRegularFile(storeFile, kStoreFileMax, content, error);
    CParamManage defaults;
    bool loaded = false;
    if (apps::CheckRegularFile(description, kStoreFileMax, error)) {
        loaded = defaults.LoadDescription(description) == 0;
    }
    RequestedPorts ports;
    if (haveStore) {
        ports.mapStored = StoredLines(content);
    }
    ports.nHostPort = StoredPort(ports.mapStored, UDPTRANS_PARAM_HOST_PORT);
    if (!ports.nHostPort) {
        ports.nHostPort = DefaultPort(defaults, loaded, UDPTRANS_PARAM_HOST_PORT);
    }
    ports.nHostHbPort = StoredPort(ports.mapStored, UDPTRANS_PARAM_HOST_HEARTBEAT_PORT);
    if (!ports.nHostHbPort) {
        ports.nHostHbPort = DefaultPort(defaults, loaded, UDPTRANS_PARAM_HOST_HEARTBEAT_PORT);
    }
    return ports;
}

bool TargetAddressUsable(const std::string& text) {
    return inet_addr(text.c_str()) != INADDR_NONE;
}

}  // namespace hostprog
