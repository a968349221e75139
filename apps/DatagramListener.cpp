#include "DatagramListener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <system_error>

#include "TextEscape.h"

namespace host {

CDatagramListener::CDatagramListener(CConsole& console, std::chrono::steady_clock::time_point start)
    : m_console(console), m_tStart(start) {}

CDatagramListener::~CDatagramListener() {
    Stop();
}

int CDatagramListener::Add(uint32_t address, uint16_t port) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        return errno;
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(address);
    local.sin_port = htons(port);
    if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0) {
        const int error = errno;
        close(fd);
        return error;
    }
    m_vecSocket.push_back(Socket{fd, port});
    return 0;
}

bool CDatagramListener::Start() {
    if (!m_vecSocket.empty() && !m_thread.joinable()) {
        try {
            m_thread = std::thread([this] { Run(); });
        } catch (const std::system_error&) {
            return false;  // no thread: the caller reports it and shuts down
        }
    }
    return true;
}

void CDatagramListener::Stop() {
    m_bStop.store(true);
    if (m_thread.joinable()) {
        m_thread.join();
    }
    for (const Socket& s : m_vecSocket) {
        close(s.nFd);
    }
    m_vecSocket.clear();
}

void CDatagramListener::Run() {
    std::vector<pollfd> fds;
    for (const Socket& s : m_vecSocket) {
        fds.push_back(pollfd{s.nFd, POLLIN, 0});
    }
    char buffer[65536];
    while (!m_bStop.load()) {
        // Bounded wait so that Stop is seen without a wake-up descriptor.
        const int ready = poll(fds.data(), fds.size(), 50);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            m_console.Print("listener: poll failed, errno %d; listener stopped", errno);
            return;
        }
        for (size_t i = 0; i < fds.size(); ++i) {
            if ((fds[i].revents & POLLIN) == 0) {
                continue;
            }
            // Drain everything waiting on this socket: a burst of results must
            // not wait one poll round per datagram.
            for (;;) {
                sockaddr_in from{};
                socklen_t fromLength = sizeof(from);
                const ssize_t n = recvfrom(fds[i].fd, buffer, sizeof(buffer), 0,
                                           reinterpret_cast<sockaddr*>(&from), &fromLength);
                if (n < 0) {
                    break;  // EAGAIN: drained; anything else shows on the next poll
                }
                const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                                    std::chrono::steady_clock::now() - m_tStart)
                                    .count();
                m_nCount.fetch_add(1);
                const std::string text = apps::EscapeText(buffer, static_cast<size_t>(n));
                m_console.Print("%7lld ms  %5u -> %-5u %5zd bytes  \"%s\"",
                                static_cast<long long>(ms), ntohs(from.sin_port),
                                m_vecSocket[i].nPort, n, text.c_str());
            }
        }
    }
}

}  // namespace host
