#include "Address.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace wire {

bool ParseAddress(const std::string& text, bool resolve, Address& address, std::string& error) {
    const size_t colon = text.rfind(':');
    const std::string host = colon == std::string::npos ? "0.0.0.0" : text.substr(0, colon);
    const std::string port = colon == std::string::npos ? text : text.substr(colon + 1);
    char* end = nullptr;
    errno = 0;
    const unsigned long number = port.empty() ? 0 : std::strtoul(port.c_str(), &end, 10);
    if (port.empty() || *end != '\0' || errno != 0 || number > 65535 || port[0] == '-') {
        error = "\"" + text + "\": the port must be a number from 0 to 65535";
        return false;
    }
    in_addr parsed{};
    if (inet_pton(AF_INET, host.c_str(), &parsed) == 1) {
        address.nIp = ntohl(parsed.s_addr);
    } else if (resolve && !host.empty()) {
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_DGRAM;
        addrinfo* found = nullptr;
        const int status = getaddrinfo(host.c_str(), nullptr, &hints, &found);
        if (status != 0 || found == nullptr) {
            error = "\"" + host + "\": " + gai_strerror(status);
            return false;
        }
        address.nIp = ntohl(reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr.s_addr);
        freeaddrinfo(found);
    } else {
        error = "\"" + text + "\": expected an IPv4 address and a port, as 0.0.0.0:9000";
        return false;
    }
    address.nPort = static_cast<uint16_t>(number);
    return true;
}

const char* FormatIp(uint32_t ip, char* out) {
    std::snprintf(out, 16, "%u.%u.%u.%u", (ip >> 24) & 0xffu, (ip >> 16) & 0xffu, (ip >> 8) & 0xffu,
                  ip & 0xffu);
    return out;
}

std::string FormatAddress(const Address& address) {
    char ip[16];
    return std::string(FormatIp(address.nIp, ip)) + ":" + std::to_string(address.nPort);
}

}  // namespace wire
