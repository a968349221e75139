// The dynamic interface of libudptrans.so matches the export map exactly:
// every name the map lists is exported, and nothing else is.
#include <gtest/gtest.h>
#include <stdio.h>

#include <set>
#include <sstream>
#include <string>

#include "TempDir.h"

namespace {

// Names between "global:" and "local:" in the version script.
std::set<std::string> MapNames(const std::string& path) {
    std::string text = ts::ReadFile(path);
    for (size_t open; (open = text.find("/*")) != std::string::npos;) {  // drop comments
        text.erase(open, text.find("*/", open) + 2 - open);
    }
    const size_t global = text.find("global:");
    std::istringstream body(text.substr(0, text.find("local:")).substr(global + 7));
    std::set<std::string> names;
    for (std::string token; std::getline(body, token, ';');) {
        std::istringstream word(token);
        if (word >> token) {
            names.insert(token);
        }
    }
    return names;
}

std::set<std::string> ExportedNames(const std::string& library) {
    std::set<std::string> names;
    FILE* pipe = popen(("nm -D --defined-only '" + library + "' 2>/dev/null").c_str(), "r");
    char line[512];
    char name[400];
    while (pipe != nullptr && fgets(line, sizeof(line), pipe) != nullptr) {
        if (sscanf(line, "%*s %*s %399[^@\n]", name) == 1) {  // drops a version suffix
            names.insert(name);
        }
    }
    if (pipe != nullptr) {
        pclose(pipe);
    }
    return names;
}

TEST(ExportedSymbols, ExactlyTheMappedNamesAreExported) {
    const std::set<std::string> mapped = MapNames(UDPTRANS_EXPORT_MAP);
    ASSERT_GT(mapped.size(), 20u) << "could not read " << UDPTRANS_EXPORT_MAP;
    const std::set<std::string> exported = ExportedNames(UDPTRANS_LIBRARY);
    ASSERT_FALSE(exported.empty()) << "nm found nothing in " << UDPTRANS_LIBRARY;
    for (const std::string& name : mapped) {
        EXPECT_EQ(1u, exported.count(name)) << name << " is listed but not exported";
    }
    for (const std::string& name : exported) {
        EXPECT_EQ(1u, mapped.count(name)) << name << " is exported but not listed";
    }
}

}  // namespace
