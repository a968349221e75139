// Fuzzes the parameter store's file parser: any bytes as the store file of
// the module's description, loaded, saved and loaded again.
//
// Checked for every input: no crash or memory error; every value the store
// holds after loading passes its own check; a damaged file is kept aside
// byte for byte, and a clean one is not; what was saved loads again clean,
// with exactly the same values (nothing lost, nothing changed by the round
// trip).
//
// Threads: libFuzzer's thread only.
#include <dirent.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "FuzzFolder.h"
#include "algo/ParamManage.h"

namespace {

std::string g_dir;

std::vector<std::string> Entries() {
    std::vector<std::string> names;
    DIR* dir = opendir(g_dir.c_str());
    Check(dir != nullptr, "opendir");
    while (const dirent* e = readdir(dir)) {
        const std::string name = e->d_name;
        if (name != "." && name != "..") {
            names.push_back(name);
        }
    }
    closedir(dir);
    return names;
}

void Clear() {
    for (const auto& name : Entries()) {
        unlink((g_dir + "/" + name).c_str());
    }
}

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::string> Values(const CParamManage& store) {
    std::vector<std::string> values;
    for (const auto& key : store.Keys()) {
        values.push_back(store.GetParam(key, 0));
    }
    return values;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    g_dir = MakeFuzzFolder("fuzz_store");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Clear();
    const std::string path = g_dir + "/udptrans.param";
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    {
        std::ofstream out(path, std::ios::binary);
        out << bytes;
    }

    CParamManage store;
    Check(store.LoadDescription(UDPTRANS_PDESC) == 0, "description");
    Check(store.LoadFile(path) == 0, "LoadFile");
    for (const auto& key : store.Keys()) {
        Check(store.CheckParam(key.c_str(), store.GetParam(key, 0).c_str()) == 0,
              "loaded value refused: " + key);
    }
    // At most one copy, and it is the file as it was.
    std::string copy;
    for (const auto& name : Entries()) {
        if (name.rfind("udptrans.param.damaged-", 0) == 0) {
            Check(copy.empty(), "two copies");
            copy = name;
        }
    }
    if (!copy.empty()) {
        Check(ReadAll(g_dir + "/" + copy) == bytes, "copy differs from the file");
    }

    // Saved into the emptied folder, so that only the saved file is there.
    Clear();
    Check(store.SaveFile() == 0, "SaveFile");
    CParamManage again;
    Check(again.LoadDescription(UDPTRANS_PDESC) == 0, "description again");
    Check(again.LoadFile(path) == 0, "reload");
    Check(Entries().size() == 1, "a saved store loaded as damaged");
    Check(Values(again) == Values(store), "round trip changed a value");
    return 0;
}
