// CStoreFile: the parameter store's file format and the file operations that
// keep it safe; CParamManage decides what the settings mean.
//
// Store file: "key=value" lines. The value is the rest of the line after the
// first '=', taken literally except for the escapes \\, \n and \r, so any
// text survives a round trip. Lines starting with '#' and empty lines are
// ignored. Every line ends with a line end: a last line without one was cut
// short. A file is replaced atomically (temporary file beside it, fsync,
// rename, fsync of the folder), through a symbolic link to the file it names.
#include "StoreFile.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <utility>

namespace {

std::string EscapeValue(const std::string& value) {
    std::string out;
    out.reserve(value.size());
    for (const char c : value) {
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            default:
                out.push_back(c);
        }
    }
    return out;
}

bool UnescapeValue(std::string_view text, std::string* out) {
    out->clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            out->push_back(text[i]);
            continue;
        }
        if (++i >= text.size()) {
            return false;
        }
        switch (text[i]) {
            case '\\':
                out->push_back('\\');
                break;
            case 'n':
                out->push_back('\n');
                break;
            case 'r':
                out->push_back('\r');
                break;
            default:
                return false;
        }
    }
    return true;
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    return text;
}

// Writes all of `data`; a short write is continued, so that a limit reached
// part-way shows as the error of the next call. 0 or an errno value.
int WriteAll(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        if (n == 0) {
            return EIO;
        }
        done += static_cast<size_t>(n);
    }
    return 0;
}

std::string DirectoryOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

int CStoreFile::ReadWhole(const std::string& path, size_t limit, std::string* content) {
    // O_NONBLOCK: a FIFO in the file's place must not stop the start.
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return errno;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        const int err = S_ISDIR(st.st_mode) ? EISDIR : ENODEV;
        close(fd);
        return err;
    }
    int rc = 0;
    char chunk[4096];
    for (;;) {
        const ssize_t n = read(fd, chunk, sizeof(chunk));
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            rc = errno;
            break;
        }
        if (n == 0) {
            break;
        }
        content->append(chunk, static_cast<size_t>(n));
        if (content->size() > limit) {
            rc = EFBIG;
            break;
        }
    }
    close(fd);
    return rc;
}

std::string CStoreFile::FinalTarget(const std::string& path) {
    std::string target = path;
    for (int hops = 0; hops < 40; ++hops) {
        char link[PATH_MAX];
        const ssize_t n = readlink(target.c_str(), link, sizeof(link) - 1);
        if (n <= 0) {
            break;  // not a link (or gone): this is the file
        }
        const std::string next(link, static_cast<size_t>(n));
        target = next[0] == '/' ? next : DirectoryOf(target) + "/" + next;
    }
    return target;
}

std::string CStoreFile::AsideName(const std::string& path, const char* tag) {
    char stamp[32] = {};
    const time_t now = time(nullptr);
    tm utc{};
    gmtime_r(&now, &utc);
    std::strftime(stamp, sizeof(stamp), "%Y%m%d-%H%M%S", &utc);
    const std::string base = path + "." + tag + "-" + stamp;
    std::string name = base;
    struct stat st {};
    for (int n = 2; lstat(name.c_str(), &st) == 0 && n < 1000; ++n) {
        name = base + "-" + std::to_string(n);
    }
    return name;
}

int CStoreFile::CopyAside(const std::string& from, const std::string& to) {
    const int in = open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (in < 0) {
        return errno;
    }
    const int out = open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (out < 0) {
        const int err = errno;
        close(in);
        return err;
    }
    int rc = 0;
    char chunk[16384];
    for (;;) {
        const ssize_t n = read(in, chunk, sizeof(chunk));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            rc = n < 0 ? errno : 0;
            break;
        }
        rc = WriteAll(out, std::string(chunk, static_cast<size_t>(n)));
        if (rc != 0) {
            break;
        }
    }
    if (rc == 0 && fsync(out) != 0) {
        rc = errno;
    }
    close(in);
    if (close(out) != 0 && rc == 0) {
        rc = errno;
    }
    if (rc != 0) {
        unlink(to.c_str());
    }
    return rc;
}

std::vector<CStoreFile::Entry> CStoreFile::Parse(std::string_view all, bool truncated) {
    std::vector<Entry> entries;
    size_t lineNo = 0;
    size_t pos = 0;
    while (pos < all.size()) {
        size_t end = all.find('\n', pos);
        const bool complete = end != std::string_view::npos;
        if (!complete) {
            end = all.size();
        }
        std::string_view line = all.substr(pos, end - pos);
        pos = end + 1;
        ++lineNo;
        if (!complete) {
            entries.push_back({lineNo,
                               {},
                               {},
                               truncated ? "beyond the size limit, with all after it"
                                         : "cut short: no line end"});
            break;
        }
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        if (Trim(line).empty() || Trim(line).front() == '#') {
            continue;
        }
        const size_t eq = line.find('=');
        Entry entry{lineNo, {}, {}, nullptr};
        if (line.find('\0') != std::string_view::npos) {
            entry.szWhy = "zero byte";
        } else if (eq == std::string_view::npos || Trim(line.substr(0, eq)).empty()) {
            entry.szWhy = "not key=value";
        } else if (!UnescapeValue(line.substr(eq + 1), &entry.strValue)) {
            entry.szWhy = "bad escape";
        } else {
            entry.strKey = std::string(Trim(line.substr(0, eq)));
        }
        entries.push_back(std::move(entry));
    }
    return entries;
}

std::string CStoreFile::Format(const std::vector<std::pair<std::string, std::string>>& values) {
    std::string text = "# parameter store, written by the framework: key=value\n";
    for (const auto& [key, value] : values) {
        text += key;
        text += '=';
        text += EscapeValue(value);
        text += '\n';
    }
    return text;
}

bool CStoreFile::Write(const std::string& path, const std::string& text, bool* replaced) {
    *replaced = false;
    // The temporary file is made beside the final file, so that the rename
    // stays within one file system and replaces that file, not a link to it.
    const std::string target = FinalTarget(path);
    const std::string tmp = target + ".tmp";
    const int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        std::fprintf(stderr, "CParamManage: cannot create %s: %s\n", Shown(tmp).c_str(),
                     std::strerror(errno));
        return false;
    }
    // A shared file keeps the permissions it was given.
    struct stat previous {};
    int rc = 0;
    if (stat(target.c_str(), &previous) == 0 && S_ISREG(previous.st_mode) &&
        fchmod(fd, previous.st_mode & 07777) != 0) {
        rc = errno;
    }
    if (rc == 0) {
        rc = WriteAll(fd, text);
    }
    if (rc == 0 && fsync(fd) != 0) {
        rc = errno;
    }
    if (close(fd) != 0 && rc == 0) {
        rc = errno;
    }
    if (rc == 0 && rename(tmp.c_str(), target.c_str()) != 0) {
        rc = errno;
    }
    if (rc != 0) {
        std::fprintf(stderr, "CParamManage: cannot save parameter store %s: %s\n",
                     Shown(path).c_str(), std::strerror(rc));
        unlink(tmp.c_str());
        return false;
    }
    *replaced = true;

    // Make the rename itself durable. Some file systems cannot sync a
    // directory (EINVAL); the file's content is already safe there.
    const int dirFd = open(DirectoryOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0 || (fsync(dirFd) != 0 && errno != EINVAL)) {
        const int err = errno;
        if (dirFd >= 0) {
            close(dirFd);
        }
        std::fprintf(stderr, "CParamManage: cannot sync the folder of %s: %s\n",
                     Shown(path).c_str(), std::strerror(err));
        return false;
    }
    close(dirFd);
    return true;
}

std::string CStoreFile::Shown(const std::string& name) {
    std::string out;
    for (const char c : name) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f) {
            char hex[8];
            std::snprintf(hex, sizeof(hex), "\\x%02x", u);
            out += hex;
        } else {
            out += c;
        }
    }
    return out;
}
