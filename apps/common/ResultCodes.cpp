#include "ResultCodes.h"

#include <cstdint>
#include <cstdio>

namespace apps {
namespace {

struct ResultEntry {
    uint32_t nCode;
    const char* szReason;
};

// The codes as the module, its engine and the framework's store return them.
// Negative codes are the engine's and the module's small ones, shown as the
// 32-bit patterns a host prints.
constexpr ResultEntry kResults[] = {
    {0x00000000u, "success"},
    {0xFFFFFFFFu, "refused: no text given, or the engine could not start its first task"},
    {0xFFFFFFFEu,
     "address cannot be used (not convertible, or the broadcast address), or the engine "
     "could not start its second task"},
    {0xFFFFFFFBu,
     "the engine did not confirm the new host port in time (port taken by another socket, "
     "or the transport is disabled)"},
    {0xE0000001u, "invalid argument, or a parameter could not be read"},
    {0xE0000002u, "not supported by this module"},
    {0xE000000Au, "the trigger source component is missing"},
    {0xE0000101u, "unknown parameter key"},
    {0xE0000102u, "value refused by the parameter description (range, form or length)"},
    {0xE0000103u, "not an IPv4 address in dotted form"},
    {0xE0000104u, "the parameter has no value of that index"},
    {0xE0000105u,
     "the parameter store file could not be written (the value is in force until the next "
     "start, but not saved)"},
    {0xE0000106u, "no parameter store (description or store file not loaded)"},
    {0xE0000400u, "the host's network interface has no address"},
    {0xC0000004u, "no data, or the result was held back (its trigger was already answered)"},
    {0xC0000108u, "key not handled by the module itself"},
};

}  // namespace

const char* ResultReason(int code) {
    const uint32_t bits = static_cast<uint32_t>(code);
    for (const ResultEntry& entry : kResults) {
        if (entry.nCode == bits) {
            return entry.szReason;
        }
    }
    return "unknown result code";
}

std::string HexCode(int code) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(code));
    return text;
}

std::string DescribeResult(int code) {
    return HexCode(code) + " (" + ResultReason(code) + ")";
}

}  // namespace apps
