// Thread start-up: stack floor, real-time fallback, detached threads, names.
#include "algo/Thread.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <string>

#include "Wait.h"

namespace {

struct Seen {
    size_t stackSize = 0;
    int detachState = -1;
    char name[16] = {};
    int nameResult = -1;
    std::atomic<bool> done{false};
};

void* Entry(void* arg) {
    auto* seen = static_cast<Seen*>(arg);
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        pthread_attr_getstacksize(&attr, &seen->stackSize);
        pthread_attr_getdetachstate(&attr, &seen->detachState);
        pthread_attr_destroy(&attr);
    }
    seen->nameResult = thread_set_name("udp_input_task_long_name");
    pthread_getname_np(pthread_self(), seen->name, sizeof(seen->name));
    seen->done.store(true);
    return nullptr;
}

// PTHREAD_STACK_MIN is 16 KiB on x86-64 and 128 KiB on AArch64: a request for
// 10 KiB that works on one would fail with EINVAL on the other if it reached
// pthread_attr_setstacksize unchanged.
TEST(ThreadTest, SmallStackRequestIsRaisedAndRealTimeFallsBackQuietly) {
    // Real time where the process may, the default policy where it may not:
    // either way the thread runs.
    for (int realtime = 0; realtime <= 1; ++realtime) {
        SCOPED_TRACE("realtime " + std::to_string(realtime));
        Seen seen;
        THREAD_HANDLE handle{};
        ASSERT_EQ(thread_spawn_ex(&handle, 0, realtime, 60, 10240, Entry, &seen), 0);
        ASSERT_EQ(pthread_join(handle, nullptr), 0);
        ASSERT_TRUE(seen.done.load());
        EXPECT_EQ(seen.detachState, PTHREAD_CREATE_JOINABLE);
        EXPECT_GE(seen.stackSize, 256u * 1024u);
        EXPECT_EQ(seen.nameResult, 0);
        EXPECT_STREQ(seen.name, "udp_input_task_");  // cut to 15 characters
    }
}

TEST(ThreadTest, DetachedThreadRunsWithoutJoin) {
    Seen seen;  // the thread's store to `done` is its last use of it
    THREAD_HANDLE handle{};
    ASSERT_EQ(thread_spawn_ex(&handle, 1, 0, 0, 0, Entry, &seen), 0);
    ASSERT_TRUE(ts::WaitFor([&] { return seen.done.load(); }));
    EXPECT_EQ(seen.detachState, PTHREAD_CREATE_DETACHED);
}

TEST(ThreadTest, BadArgumentsAreRefused) {
    THREAD_HANDLE handle{};
    EXPECT_EQ(thread_spawn_ex(nullptr, 0, 0, 0, 0, Entry, nullptr), EINVAL);
    EXPECT_EQ(thread_spawn_ex(&handle, 0, 0, 0, 0, nullptr, nullptr), EINVAL);
    EXPECT_EQ(thread_set_name(nullptr), EINVAL);
}

}  // namespace
