// What the host checks around the module's start that the module itself does
// not report: a stored target address that keeps the transport from starting
// (the module then starts "successfully" and sends nothing), and a host port
// that was taken, so that the module stepped to the next free one and saved
// that in the store for good.
//
// Threads: main thread, before and after the module's start.
#pragma once

#include <map>
#include <optional>
#include <string>

namespace hostprog {

// The host ports the module will ask for: the store file's values where it
// has valid ones, else the description's defaults. Read before the module
// starts, since its start writes the bound ports back. Unknown ports are
// left empty.
struct RequestedPorts {
    std::optional<int> nHostPort;
    std::optional<int> nHostHbPort;
    // Every key=value line the store file held before the start (the last
    // line of a key wins), for where a value came from.
    std::map<std::string, std::string> mapStored;
};
RequestedPorts ReadRequestedPorts(const std::string& storeFile, const std::string& description);

// True when the module can use `text` as a target address: it converts it the
// classic way (numbers and dots, short and octal forms included), and
// refuses what does not convert and the broadcast address.
bool TargetAddressUsable(const std::string& text);

}  // namespace hostprog
