#include "FileCheck.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace apps {
namespace {

// The reason when `st` is not a regular file of at most `maxBytes` bytes.
bool CheckStat(const struct stat& st, size_t maxBytes, std::string& error) {
    if (S_ISDIR(st.st_mode)) {
        error = "is a folder, not a file";
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        error = "is not a regular file (a device, FIFO or socket)";
        return false;
    }
    if (static_cast<unsigned long long>(st.st_size) > maxBytes) {
        error = "is " + std::to_string(st.st_size) + " bytes, more than the " +
                std::to_string(maxBytes) + " accepted";
        return false;
    }
    return true;
}

}  // namespace

bool CheckRegularFile(const std::string& path, size_t maxBytes, std::string& error) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        error = std::strerror(errno);
        return false;
    }
    return CheckStat(st, maxBytes, error);
}

bool ReadRegularFile(const std::string& path, size_t maxBytes, std::string& bytes,
                     std::string& error) {
    // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer.
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        error = std::strerror(errno);
        return false;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        error = std::strerror(errno);
        close(fd);
        return false;
    }
    if (!CheckStat(st, maxBytes, error)) {
        close(fd);
        return false;
    }
    bytes.clear();
    bytes.reserve(static_cast<size_t>(st.st_size));
    char chunk[4096];
    bool ok = true;
    for (;;) {
        const ssize_t n = read(fd, chunk, sizeof(chunk));
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            error = std::strerror(errno);
            ok = false;
            break;
        }
        if (n == 0) {
            break;
        }
        bytes.append(chunk, static_cast<size_t>(n));
        // A file that grows while it is read is still bounded.
        if (bytes.size() > maxBytes) {
            error = "grew beyond the " + std::to_string(maxBytes) + " bytes accepted";
            ok = false;
            break;
        }
    }
    close(fd);
    return ok;
}

}  // namespace apps
