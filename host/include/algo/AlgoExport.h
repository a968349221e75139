// Visibility of the framework library's interface. Framework types carry
// default visibility so that their vtables and type_info live once, in
// libalgo.so, and dynamic_cast works across the module boundary even though
// the module itself hides everything it does not export.
#pragma once

#define ALGO_API __attribute__((visibility("default")))

// Result codes shared by the framework and the modules it hosts.
#define ALGO_OK 0
#define ALGO_E_INVALID_ARG static_cast<int>(0xE0000001u)
// An operation the framework offers but this module (or the framework's
// default) does not implement.
#define ALGO_E_NOT_SUPPORTED static_cast<int>(0xE0000002u)
