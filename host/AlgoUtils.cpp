// CAlgoUtils: small checks shared by modules.
#include "algo/ParamManage.h"

bool CAlgoUtils::CheckIpValid(const char* text) {
    if (text == nullptr) {
        return false;
    }
    const char* p = text;
    for (int octet = 0; octet < 4; ++octet) {
        if (octet > 0) {
            if (*p != '.') {
                return false;
            }
            ++p;
        }
        if (*p < '0' || *p > '9') {
            return false;
        }
        // A leading zero is refused: the classic address parsers read "010"
        // as octal, so such a text would not mean what it shows.
        if (*p == '0' && p[1] >= '0' && p[1] <= '9') {
            return false;
        }
        int value = 0;
        int digits = 0;
        while (*p >= '0' && *p <= '9') {
            value = value * 10 + (*p - '0');
            if (++digits > 3 || value > 255) {
                return false;
            }
            ++p;
        }
    }
    return *p == '\0';
}
