// Fuzzes the parameter description parser: any bytes as a description file.
//
// Checked for every input: no crash or memory error; a description that loads
// has keys that are unique, its defaults pass its own checks, and a store of
// its defaults saves and loads again with the same values.
//
// Threads: libFuzzer's thread only.
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <string>

#include "FuzzFolder.h"
#include "algo/ParamManage.h"

namespace {

std::string g_dir;

void Check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "fuzz_pdesc: %s\n", what);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    g_dir = MakeFuzzFolder("fuzz_pdesc");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string description = g_dir + "/fuzz.pdesc";
    const std::string store = g_dir + "/fuzz.param";
    {
        std::ofstream out(description, std::ios::binary);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    unlink(store.c_str());

    CParamManage params;
    if (params.LoadDescription(description) != 0) {
        return 0;
    }
    const auto keys = params.Keys();
    Check(std::set<std::string>(keys.begin(), keys.end()).size() == keys.size(), "repeated key");
    if (keys.empty()) {
        return 0;  // a description without keys has no store
    }
    Check(params.LoadFile(store) == 0, "LoadFile of a missing store");
    for (const auto& key : keys) {
        Check(params.CheckParam(key.c_str(), params.GetParam(key, 0).c_str()) == 0,
              "default refused by its own description");
    }
    Check(params.SaveFile() == 0, "SaveFile");
    CParamManage again;
    Check(again.LoadDescription(description) == 0, "description loads twice");
    Check(again.LoadFile(store) == 0, "reload");
    for (const auto& key : keys) {
        Check(again.GetParam(key, 0) == params.GetParam(key, 0), "round trip changed a default");
    }
    return 0;
}
