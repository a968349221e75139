#include "StartupChecks.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstdlib>
#include <exception>

#include "FileCheck.h"
#include "algo/ParamManage.h"

namespace host {
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

// The last "key=value" line of the store text for `key`, as a port.
std::optional<int> StoredPort(const std::string& content, const std::string& key) {
    std::optional<int> port;
    const std::string prefix = key + "=";
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
        if (line.compare(0, prefix.size(), prefix) == 0) {
            port = ParsePort(line.substr(prefix.size()));
        }
    }
    return port;
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
    ports.nHostPort = haveStore ? StoredPort(content, "HostPort") : std::nullopt;
    if (!ports.nHostPort) {
        ports.nHostPort = DefaultPort(defaults, loaded, "HostPort");
    }
    ports.nHostHbPort = haveStore ? StoredPort(content, "HostHeartbeatPort") : std::nullopt;
    if (!ports.nHostHbPort) {
        ports.nHostHbPort = DefaultPort(defaults, loaded, "HostHeartbeatPort");
    }
    return ports;
}

bool TargetAddressUsable(const std::string& text) {
    return inet_addr(text.c_str()) != INADDR_NONE;
}

}  // namespace host
