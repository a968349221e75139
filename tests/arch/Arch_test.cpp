// Facts that differ between x86-64 and AArch64 and that the code depends on.
//
// Layouts are checked at compile time, so a build for either architecture
// fails when one drifts; the tests also print what they found, so the log of
// a run under emulation shows which architecture it really ran on.
#include <gtest/gtest.h>
#include <limits.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <limits>
#include <mutex>
#include <string>

#include "UdpMessage.h"
#include "algo/CommProxy.h"
#include "algo/Thread.h"
#include "udptrans/udptrans_api.h"

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
constexpr size_t kReplyOffset = offsetof(CCommProxy::MessageInfo, fnReply);
constexpr size_t kLogIdOffset = offsetof(CCommProxy::MessageInfo, nLogId);
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
        "sizeof(UdpMessage)=%zu alignof(UdpMessage)=%zu\n",
        kArch, sizeof(CCommProxy::MessageInfo), kReplyOffset, kLogIdOffset, sizeof(ReplyFn),
        sizeof(udp::UdpMessage), alignof(udp::UdpMessage));
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

int g_bytesLines = 0;
std::string g_bytesText;  // the callback runs on the logging (test) thread

int CollectBytes(int id, int, int, const char* line, int length) {
    if (id == LOG_ID_BYTES) {
        ++g_bytesLines;
        g_bytesText.append(line, static_cast<size_t>(length));
    }
    return 0;
}

// Plain char is signed on x86-64 and unsigned on AArch64. Text received from
// the network lives in char buffers; bytes of 0x80 and above must dump and
// compare the same on both.
TEST(Arch, HighBytesOfCharTextDumpAsTwoHexDigits) {
    std::printf("arch %s: plain char is %s\n", kArch,
                std::numeric_limits<char>::is_signed ? "signed" : "unsigned");
#if defined(__aarch64__)
    EXPECT_FALSE(std::numeric_limits<char>::is_signed);
#elif defined(__x86_64__)
    EXPECT_TRUE(std::numeric_limits<char>::is_signed);
#endif

    ASSERT_EQ(0, log_prt_init(0, 0, nullptr));
    log_set_priority(LOG_ID_BYTES, 8);  // callback only, nothing on stdout
    log_set_callbacker(0, CollectBytes);
    const char received[] = "\xff\x80\x7f\x01\xfe";
    log_print_bytes(reinterpret_cast<const unsigned char*>(received), 0, 5);
    log_set_callbacker(8, nullptr);
    EXPECT_EQ("len:5\nff807f01 fe\n", g_bytesText);

    // The comparison received code would make: a byte as unsigned is 0..255.
    EXPECT_EQ(0xff, static_cast<unsigned char>(received[0]));
    EXPECT_EQ(0xff, static_cast<int>(static_cast<uint8_t>(received[0])));
}

constexpr size_t kProbeBytes = 8 * 1024;

struct StackProbe {
    std::atomic<int> done{0};
    size_t stackSize = 0;
    unsigned sum = 0;
};

void* UseEightKiBOfStack(void* arg) {
    auto* probe = static_cast<StackProbe*>(arg);
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        (void)pthread_attr_getstacksize(&attr, &probe->stackSize);
        pthread_attr_destroy(&attr);
    }
    // volatile: every byte is really written, so the pages are touched.
    volatile unsigned char block[kProbeBytes];
    for (size_t i = 0; i < sizeof(block); ++i) {
        block[i] = static_cast<unsigned char>(i % 251);
    }
    unsigned sum = 0;
    for (size_t i = 0; i < sizeof(block); ++i) {
        sum += block[i];
    }
    probe->sum = sum;
    probe->done.store(1);
    return nullptr;
}

// PTHREAD_STACK_MIN is 16 KiB on x86-64 and 128 KiB on AArch64: a request for
// 10 KiB that works on one would fail with EINVAL on the other if it reached
// pthread_attr_setstacksize unchanged. thread_spawn_ex raises it.
TEST(Arch, SmallStackRequestStillRunsAThreadThatUsesEightKiB) {
    const long stackMin = static_cast<long>(PTHREAD_STACK_MIN);
    std::printf("arch %s: PTHREAD_STACK_MIN=%ld page=%ld\n", kArch, stackMin,
                sysconf(_SC_PAGESIZE));
    unsigned expected = 0;
    for (size_t i = 0; i < kProbeBytes; ++i) {
        expected += static_cast<unsigned>(i % 251);
    }
    for (int realtime = 0; realtime <= 1; ++realtime) {
        StackProbe probe;
        THREAD_HANDLE handle{};
        ASSERT_EQ(0, thread_spawn_ex(&handle, 0, realtime, 50, 10240, UseEightKiBOfStack, &probe))
            << "realtime " << realtime;
        ASSERT_EQ(0, pthread_join(handle, nullptr));
        EXPECT_EQ(1, probe.done.load());
        EXPECT_EQ(expected, probe.sum);
        EXPECT_GE(probe.stackSize, static_cast<size_t>(stackMin));
        EXPECT_GE(probe.stackSize, static_cast<size_t>(256 * 1024));
    }
}

}  // namespace
