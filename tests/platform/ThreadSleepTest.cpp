#include "platform/Environment.h"
#include "platform/Os.h"
#include "platform/PacingTimer.h"
#include "platform/Sleep.h"
#include "platform/Thread.h"
#include "platform/ThreadPriority.h"
#include "tests/support/Sandbox.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <pthread.h>
#include <sched.h>
#endif

using namespace std::chrono_literals;
using platform::SteadyClock;
using platform::Thread;

namespace {

// The scheduling class of the calling thread, as the system reports it.
int schedulingClass() {
#ifdef _WIN32
    return ::GetThreadPriority(::GetCurrentThread());
#else
    return sched_getscheduler(0);
#endif
}

// The capture thread's priority: granted, or refused with the reason in its description; either way the
// thread gets back what it had.
TEST(RealtimePriority, GrantedOrRefusedAndGivenBack) {
    std::thread([] {
        const int before = schedulingClass();
        {
            const platform::RealtimePriority priority;
            if (priority.granted() == platform::RealtimePriority::Granted::Normal) {
                EXPECT_EQ(priority.description().rfind("normal (", 0), 0u) << priority.description();
                EXPECT_EQ(schedulingClass(), before);
            } else if (priority.granted() != platform::RealtimePriority::Granted::MultimediaClass) {
                // The multimedia class scheduler boosts the thread without changing its base priority,
                // so only the other two show in what the thread reports.
                EXPECT_NE(schedulingClass(), before) << priority.description();
#ifndef _WIN32
                EXPECT_EQ(schedulingClass(), SCHED_FIFO);
#endif
            }
        }
        EXPECT_EQ(schedulingClass(), before);
        const platform::RealtimePriority off(false);
        EXPECT_EQ(off.granted(), platform::RealtimePriority::Granted::Normal);
        EXPECT_EQ(schedulingClass(), before);
    }).join();
}

TEST(Sleep, NeverWakesBeforeItsDeadline) {
    const SteadyClock::duration waits[] = {0ns, 1us, 999us, 1ms, 1500us, 2ms, 7300us, 20ms};
    for (const auto wait : waits) {
        for (int round = 0; round < 5; ++round) {
            const auto deadline = SteadyClock::now() + wait;
            platform::sleepUntil(deadline);
            EXPECT_GE(SteadyClock::now(), deadline) << "wait of " << wait.count() << " ns";
        }
    }
    platform::TimerResolution fine;
    const auto deadline = SteadyClock::now() + 3ms;
    platform::sleepFor(3ms);
    EXPECT_GE(SteadyClock::now(), deadline);
}

// The capture's pacing on each wait it can have: never before the deadline, and a raise ends even a long
// sleep (on Windows, the stop event beside the high-resolution timer).
TEST(PacingTimer, NeverWakesEarlyAndARaiseEndsALongSleep) {
    for (const auto model : {platform::SleepModel::System, platform::SleepModel::Tick15ms}) {
        platform::PacingTimer timer(model);
        SCOPED_TRACE(timer.description());
        for (const SteadyClock::duration wait :
             {SteadyClock::duration(0ns), SteadyClock::duration(999us), SteadyClock::duration(1500us),
              SteadyClock::duration(20ms)}) {
            const auto deadline = SteadyClock::now() + wait;
            EXPECT_TRUE(timer.sleepUntil(deadline));
            EXPECT_GE(SteadyClock::now(), deadline) << "wait of " << wait.count() << " ns";
        }
        const auto before = SteadyClock::now();
        std::thread raiser([&] {
            std::this_thread::sleep_for(50ms);
            timer.raise();
        });
        EXPECT_FALSE(timer.sleepUntil(before + 60s));
        raiser.join();
        EXPECT_LT(SteadyClock::now() - before, 5s);
        EXPECT_FALSE(timer.sleepUntil(SteadyClock::now() + 1ms)) << "stays raised until reset";
        timer.reset();
        EXPECT_TRUE(timer.sleepUntil(SteadyClock::now() + 1ms));
    }
}

TEST(Environment, PathsAppendTheSuffixWithoutTouchingTheValue) {
    struct Case {
        const char* value;
        const char* suffix;
        const char* windowsPath;
        const char* posixPath;
    };
    const Case cases[] = {
        {"C:\\Data", "\\Dir\\file.txt", "C:\\Data\\Dir\\file.txt", "C:\\Data/Dir/file.txt"},
        {"/srv/data/", "\\Dir\\file.txt", "/srv/data/\\Dir\\file.txt", "/srv/data//Dir/file.txt"},
        {"/srv/data", "", "/srv/data", "/srv/data"},
        {"x", "\\a b\\c,d.json", "x\\a b\\c,d.json", "x/a b/c,d.json"},
    };
    for (const auto& c : cases) {
        ferrox_test::ScopedEnv value("FERROX_TEST_ENV_PATH", c.value);
        const auto path = platform::envPath("FERROX_TEST_ENV_PATH", c.suffix);
        ASSERT_TRUE(path.has_value());
        EXPECT_EQ(*path, platform::kIsWindows ? c.windowsPath : c.posixPath);
    }
    ferrox_test::ScopedEnv unset("FERROX_TEST_ENV_PATH", nullptr);
    EXPECT_FALSE(platform::envPath("FERROX_TEST_ENV_PATH", "\\x").has_value());
    EXPECT_FALSE(platform::getEnv("FERROX_TEST_ENV_PATH").has_value());
}

struct Gate {
    std::atomic<bool> release{false};
    std::atomic<int> ran{0};
    void* argument = nullptr;
};

int waitForGate(void* raw) {
    auto* gate = static_cast<Gate*>(raw);
    gate->argument = raw;
    while (!gate->release.load()) {
        platform::sleepFor(1ms);
    }
    gate->ran.fetch_add(1);
    return 0;
}

TEST(Thread, JoinForTimesOutWhileRunningAndJoinsOnceEnded) {
    Gate gate;
    Thread thread;
    EXPECT_EQ(thread.joinFor(10ms), Thread::JoinResult::NotStarted);
    ASSERT_TRUE(thread.start(&waitForGate, &gate));
    EXPECT_TRUE(thread.held());
    EXPECT_FALSE(thread.start(&waitForGate, &gate)) << "a held thread must be joined before another start";
    EXPECT_FALSE(thread.isCurrent());

    const auto before = SteadyClock::now();
    EXPECT_EQ(thread.joinFor(50ms), Thread::JoinResult::TimedOut);
    EXPECT_GE(SteadyClock::now() - before, 45ms);
    EXPECT_EQ(thread.joinFor(0ms), Thread::JoinResult::TimedOut);
    EXPECT_TRUE(thread.held());

    gate.release = true;
    EXPECT_EQ(thread.joinFor(5000ms), Thread::JoinResult::Joined);
    EXPECT_FALSE(thread.held());
    EXPECT_EQ(gate.ran.load(), 1);
    EXPECT_EQ(gate.argument, &gate);
    EXPECT_EQ(thread.join(), Thread::JoinResult::NotStarted);

    // Reusable once joined.
    ASSERT_TRUE(thread.start(&waitForGate, &gate));
    EXPECT_EQ(thread.join(), Thread::JoinResult::Joined);
    EXPECT_EQ(gate.ran.load(), 2);
}

int recordName(void* raw) {
#ifndef _WIN32
    char name[32] = {};
    ::pthread_getname_np(::pthread_self(), name, sizeof name);
    *static_cast<std::string*>(raw) = name;
#else
    (void)raw; // Windows names a thread only where the system has SetThreadDescription.
#endif
    return 0;
}

TEST(Thread, TakesItsNameCutToWhatTheSystemKeeps) {
    std::string name = "unset";
    Thread thread;
    // Linux refuses a name of more than 15 characters outright, which would leave the thread unnamed.
    ASSERT_TRUE(thread.start(&recordName, &name, "ferrox-capture-and-more"));
    EXPECT_EQ(thread.join(), Thread::JoinResult::Joined);
#ifndef _WIN32
    EXPECT_EQ(name, "ferrox-capture-");
#endif
}

TEST(Thread, DestructorWaitsForTheProcedure) {
    Gate gate;
    {
        Thread thread;
        ASSERT_TRUE(thread.start(&waitForGate, &gate));
        Thread releaser;
        ASSERT_TRUE(releaser.start(
            [](void* raw) {
                platform::sleepFor(30ms);
                static_cast<Gate*>(raw)->release = true;
                return 0;
            },
            &gate));
    }
    EXPECT_EQ(gate.ran.load(), 1);
}

} // namespace
