// Starting child processes: what they inherit from the caller.
#include <gtest/gtest.h>

#include <csignal>
#include <pthread.h>

#include "host/child_process.h"

namespace olvek::host {
namespace {

// The signal mask of the process that printed its /proc/self/status.
std::string blockedSignals(const std::string& status) {
    auto at = status.find("SigBlk:");
    if (at == std::string::npos) return "(no SigBlk line)";
    auto end = status.find('\n', at);
    return status.substr(at + 7, end - at - 7);
}

// A host blocks signals around a spawn (so that its handler knows the child
// before it can run); the child must not keep them blocked, or it could not
// be stopped with SIGTERM or interrupted.
TEST(ChildProcess, StartsWithNoSignalBlockedWhateverTheCallerBlocks) {
    struct Row {
        const char* name;
        bool blockAll;
    };
    for (const Row& row : {Row{"caller blocks nothing", false}, Row{"caller blocks every signal", true}}) {
        sigset_t mask, previous;
        sigemptyset(&mask);
        if (row.blockAll) sigfillset(&mask);
        pthread_sigmask(SIG_SETMASK, &mask, &previous);
        auto child = ChildProcess::spawn({"/bin/cat", "/proc/self/status"});
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        ASSERT_TRUE(child) << row.name;
        auto status = child->wait(std::chrono::seconds(30)); // hang guard
        ASSERT_TRUE(status) << row.name;
        EXPECT_TRUE(status->exited && status->code == 0) << row.name << ": " << child->standardError();
        EXPECT_EQ(blockedSignals(child->standardOutput()), "\t0000000000000000") << row.name;
    }
}

} // namespace
} // namespace olvek::host
