#include "ParamTable.h"

#include "udptrans/udptrans_host.h"

namespace hostprog {

const std::vector<ParamInfo>& ParamTable() {
    static const std::vector<ParamInfo> table = [] {
        std::vector<ParamInfo> rows;
#define UDPTRANS_INT_ROW(ID)                                                            \
    rows.push_back({UDPTRANS_PARAM_##ID, std::to_string(UDPTRANS_PARAM_##ID##_DEFAULT), \
                    std::to_string(UDPTRANS_PARAM_##ID##_MIN) + ".." +                  \
                        std::to_string(UDPTRANS_PARAM_##ID##_MAX)});
#define UDPTRANS_TEXT_ROW(ID)                                \
    rows.push_back(                                          \
        {UDPTRANS_PARAM_##ID, UDPTRANS_PARAM_##ID##_DEFAULT, \
         "text, at most " + std::to_string(UDPTRANS_PARAM_##ID##_MAX_LENGTH) + " bytes"});
#define UDPTRANS_IPV4_ROW(ID) \
    rows.push_back({UDPTRANS_PARAM_##ID, UDPTRANS_PARAM_##ID##_DEFAULT, "IPv4 address"});
        UDPTRANS_PARAM_INT_KEYS(UDPTRANS_INT_ROW)
        UDPTRANS_PARAM_STRING_KEYS(UDPTRANS_TEXT_ROW)
        UDPTRANS_PARAM_IPV4_KEYS(UDPTRANS_IPV4_ROW)
#undef UDPTRANS_INT_ROW
#undef UDPTRANS_TEXT_ROW
#undef UDPTRANS_IPV4_ROW
        // Back into the description's order.
        std::vector<ParamInfo> ordered;
        for (const char* key : {
#define UDPTRANS_KEY(ID) UDPTRANS_PARAM_##ID,
                 UDPTRANS_PARAM_KEYS(UDPTRANS_KEY)
#undef UDPTRANS_KEY
             }) {
            for (const ParamInfo& row : rows) {
                if (std::string(row.pKey) == key) {
                    ordered.push_back(row);
                }
            }
        }
        return ordered;
    }();
    return table;
}

}  // namespace hostprog
