// The dynamic interface of libudptrans.so matches the export map exactly:
// every name the map lists is exported (except groups whose sources are not
// part of this build), and nothing else is.
#include <gtest/gtest.h>
#include <stdio.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>

namespace {

// Names between "global:" and "local:" in the version script.
std::set<std::string> MapNames(const std::string& path) {
    std::ifstream in(path);
    std::stringstream all;
    all << in.rdbuf();
    std::string text = all.str();
    // Drop /* ... */ comments.
    for (size_t open = text.find("/*"); open != std::string::npos; open = text.find("/*")) {
        const size_t close = text.find("*/", open);
        text.erase(open, close == std::string::npos ? std::string::npos : close + 2 - open);
    }
    const size_t global = text.find("global:");
    const size_t local = text.find("local:");
    std::set<std::string> names;
    if (global == std::string::npos || local == std::string::npos) {
        return names;
    }
    std::istringstream body(text.substr(global + 7, local - global - 7));
    std::string token;
    while (std::getline(body, token, ';')) {
        const size_t b = token.find_first_not_of(" \t\r\n");
        const size_t e = token.find_last_not_of(" \t\r\n");
        if (b != std::string::npos) {
            names.insert(token.substr(b, e - b + 1));
        }
    }
    return names;
}

std::set<std::string> ExportedNames(const std::string& library) {
    std::set<std::string> names;
    const std::string command = "nm -D --defined-only '" + library + "' 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return names;
    }
    char line[512];
    while (fgets(line, sizeof(line), pipe) != nullptr) {
        char address[64];
        char type[8];
        char name[400];
        if (sscanf(line, "%63s %7s %399s", address, type, name) == 3) {
            std::string symbol(name);
            const size_t at = symbol.find('@');  // strip a version suffix
            names.insert(symbol.substr(0, at));
        }
    }
    pclose(pipe);
    return names;
}

bool Gated(const std::string& name) {
#if !UDPTRANS_HAVE_MODULE
    if (name == "CreateModule" || name == "DestroyModule") {
        return true;
    }
#endif
#if !UDPTRANS_HAVE_SOCKET_UTIL
    static const std::set<std::string> kUtil = {
        "util_select", "util_recv",          "util_send",         "util_recvn",
        "util_sendn",  "sendn_with_error",   "recv_with_timeout", "send_with_timeout",
        "setNonBlock", "connectWithTimeOut", "setTCPKeepAlive"};
    if (kUtil.count(name) != 0) {
        return true;
    }
#endif
    (void)name;
    return false;
}

TEST(ExportedSymbols, ExactlyTheMappedNamesAreExported) {
    const std::set<std::string> mapped = MapNames(UDPTRANS_EXPORT_MAP);
    ASSERT_GT(mapped.size(), 20u) << "could not read " << UDPTRANS_EXPORT_MAP;
    EXPECT_EQ(1u, mapped.count("log_print_mod"));
    const std::set<std::string> exported = ExportedNames(UDPTRANS_LIBRARY);
    ASSERT_FALSE(exported.empty()) << "nm found nothing in " << UDPTRANS_LIBRARY;

    for (const std::string& name : mapped) {
        if (!Gated(name)) {
            EXPECT_EQ(1u, exported.count(name)) << name << " is listed but not exported";
        }
    }
    for (const std::string& name : exported) {
        EXPECT_EQ(1u, mapped.count(name)) << name << " is exported but not listed";
    }
}

}  // namespace
