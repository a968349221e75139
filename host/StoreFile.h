// CStoreFile: the parameter store's file format and the file operations that
// keep it safe; CParamManage decides what the settings mean. Internal to the
// framework, not installed.
//
// Store file: "key=value" lines. The value is the rest of the line after the
// first '=', taken literally except for the escapes \\, \n and \r, so any
// text survives a round trip. Lines starting with '#' and empty lines are
// ignored. Every line ends with a line end: a last line without one was cut
// short. A file is replaced atomically (temporary file beside it, fsync,
// rename, fsync of the folder), through a symbolic link to the file it names.
//
// Threads: no state; any thread. Writers of one file are serialised by the
// caller.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

class CStoreFile {
public:
    // One line of a store file: a setting (szWhy null), or why it is not one.
    struct Entry {
        size_t nLine;
        std::string strKey;
        std::string strValue;
        const char* szWhy;
    };

    // Reads a whole regular file of at most `limit` bytes, without blocking
    // on a FIFO. 0, ENOENT, EFBIG (too large: `content` holds the first part),
    // EISDIR (a folder), ENODEV (not a regular file) or another errno value.
    static int ReadWhole(const std::string& path, size_t limit, std::string* content);
    // The settings and the refused lines of `content`, in file order; with
    // `truncated` the content was cut at the size limit.
    static std::vector<Entry> Parse(std::string_view content, bool truncated);
    // The file's text for `values` (key, value), in the given order.
    static std::string Format(const std::vector<std::pair<std::string, std::string>>& values);
    // Replaces the file that `path` names in the end with `text`, keeping its
    // permissions. True when the folder is synced too; `replaced` tells
    // whether the file itself was. On failure a line on stderr says why, and
    // the previous file is untouched unless `replaced`.
    static bool Write(const std::string& path, const std::string& text, bool* replaced);

    // The file that `path` names in the end, symbolic links followed (also a
    // link to a file that does not exist yet). A save replaces that file, so a
    // store linked to a shared file keeps its link.
    static std::string FinalTarget(const std::string& path);
    // "<path>.<tag>-<UTC time>", with "-<n>" added when that name is taken.
    static std::string AsideName(const std::string& path, const char* tag);
    // Copies the file `from` byte for byte to the new file `to` (never
    // replacing one) and makes the copy durable. 0 or an errno value.
    static int CopyAside(const std::string& from, const std::string& to);
    // A file name as it is printed: it comes from the host's command line or
    // configuration, so bytes a terminal would act on are shown as \xNN.
    static std::string Shown(const std::string& name);
};
