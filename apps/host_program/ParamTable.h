// The module's thirteen parameters as the host program shows them: key,
// default and range, taken from the installed contract header, so that the
// program and the header never disagree (a test checks the header against the
// description the module loads).
//
// Threads: read-only table, any thread.
#pragma once

#include <string>
#include <vector>

namespace hostprog {

struct ParamInfo {
    const char* pKey;
    std::string strDefault;
    std::string strRange;  // "1..65535", "IPv4 address", "text, at most 32 bytes"
};

// In the description's order (the order GetAllParam lists them in).
const std::vector<ParamInfo>& ParamTable();

}  // namespace hostprog
