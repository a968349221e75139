// Facts that differ between x86-64 and AArch64 and that the code depends on.
//
// Layouts are checked at compile time, so a build for either architecture
// fails when one drifts; the test also prints what it found, so the log of a
// run under emulation shows which architecture it really ran on. What the
// code does with the differences is tested where the code is, and runs under
// emulation with the rest of the suite: bytes of 0x80 and above in a dump
// (LogPrint.ByteDumpLayout; plain char is signed on x86-64, unsigned on
// AArch64), a small stack request on a floor of 16 or 128 KiB
// (ThreadTest.SmallStackRequestIsRaisedAndRealTimeFallsBackQuietly).
#include <gtest/gtest.h>
#include <limits.h>
#include <pthread.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <functional>
#include <limits>
#include <string>

#include "UdpMessage.h"
#include "algo/CommProxy.h"

namespace {

#if defined(__aarch64__)
constexpr const char* kArch = "aarch64";
#elif defined(__x86_64__)
constexpr const char* kArch = "x86_64";
#else
constexpr const char* kArch = "other";
#endif

// The record a module hands to the proxy crosses the boundary between two
// separately built objects (module and framework), so its layout must be the
// same on every architecture the framework exists for, std::function included.
using ReplyFn = std::function<int(int, std::string, void*)>;
static_assert(sizeof(ReplyFn) == 32, "std::function is 32 bytes on x86-64 and AArch64 alike");
static_assert(alignof(ReplyFn) == 8, "std::function alignment");
static_assert(sizeof(CCommProxy::MessageInfo) == 336, "MessageInfo size");
static_assert(alignof(CCommProxy::MessageInfo) == 8, "MessageInfo alignment");
// Non-standard layout (the std::function member): offsetof is conditionally
// supported, and g++ gives the real offsets, which is what is checked here.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
static_assert(offsetof(CCommProxy::MessageInfo, reserved0) == 132, "reserved0 offset");
static_assert(offsetof(CCommProxy::MessageInfo, reserved1) == 268, "reserved1 offset");
static_assert(offsetof(CCommProxy::MessageInfo, reserved2) == 328, "reserved2 offset");
static_assert(offsetof(CCommProxy::MessageInfo, nMsgLen) == 128, "nMsgLen offset");
constexpr size_t kReplyOffset = offsetof(CCommProxy::MessageInfo, fnReply);
constexpr size_t kLogIdOffset = offsetof(CCommProxy::MessageInfo, nLogId);
static_assert(kReplyOffset == 296, "fnReply offset");
static_assert(kLogIdOffset == 264, "nLogId offset");
#pragma GCC diagnostic pop

// Datagram records are copied by value through queues; no padding may appear.
static_assert(sizeof(udp::UdpMessage) == 1032, "UdpMessage size");
static_assert(alignof(udp::UdpMessage) == 4, "UdpMessage alignment");
static_assert(offsetof(udp::UdpMessage, szData) == 4, "payload follows the length");

// Both targets are LP64 and little-endian: IPv4 numbers in host order and the
// 64-bit millisecond clock mean the same on both.
static_assert(sizeof(long) == 8 && sizeof(void*) == 8, "LP64");
static_assert(sizeof(time_t) == 8, "64-bit time_t");

TEST(Arch, ReportsLayoutsOfSharedRecords) {
    std::printf(
        "arch %s: sizeof(MessageInfo)=%zu fnReply@%zu nLogId@%zu sizeof(function)=%zu "
        "sizeof(UdpMessage)=%zu alignof(UdpMessage)=%zu; plain char is %s; "
        "PTHREAD_STACK_MIN=%ld page=%ld\n",
        kArch, sizeof(CCommProxy::MessageInfo), kReplyOffset, kLogIdOffset, sizeof(ReplyFn),
        sizeof(udp::UdpMessage), alignof(udp::UdpMessage),
        std::numeric_limits<char>::is_signed ? "signed" : "unsigned",
        static_cast<long>(PTHREAD_STACK_MIN), sysconf(_SC_PAGESIZE));
    RecordProperty("arch", kArch);

    // A copied record keeps its text and a working callback: what the proxy's
    // queue does with every request.
    CCommProxy::MessageInfo info;
    std::snprintf(info.szMsg, sizeof(info.szMsg), "%s", "\xc3\xa9t\xe9");
    info.nMsgLen = 4;
    int seen = -1;
    info.fnReply = [&seen](int len, std::string, void*) { return seen = len; };
    const CCommProxy::MessageInfo copy = info;
    EXPECT_EQ(0, std::memcmp(copy.szMsg, "\xc3\xa9t\xe9", 5));
    EXPECT_EQ(7, copy.fnReply(7, "answer!", nullptr));
    EXPECT_EQ(7, seen);
}

}  // namespace
