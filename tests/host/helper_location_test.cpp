#include <gtest/gtest.h>

#include <filesystem>

#include "host/helper_location.h"
#include "transcribe_run.h"

namespace olvek::host {
namespace {

using testing::TempDir;
using testing::writeFile;

TEST(HelperLocation, InstalledFolderFirstThenBesideTheProgram) {
    struct Row {
        const char* name;
        std::string programDir, relative;
        std::vector<std::string> expected;
    };
    const Row rows[] = {
        {"installed layout", "/usr/bin", "../libexec/olvek-speech-helper",
         {"/usr/bin/../libexec/olvek-speech-helper/h", "/usr/bin/h"}},
        {"absolute install folder", "/opt/x/bin", "/usr/libexec/olvek",
         {"/usr/libexec/olvek/h", "/opt/x/bin/h"}},
        {"helper installed beside", "/usr/bin", ".", {"/usr/bin/h"}},
        {"no install folder", "/usr/bin", "", {"/usr/bin/h"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(helperCandidates(row.programDir, row.relative, "h"), row.expected);
    }
}

TEST(HelperLocation, FirstExecutableSkipsWhatCannotRun) {
    TempDir dir;
    namespace fs = std::filesystem;
    writeFile(dir.file("plain"), "#!/bin/sh\n", false);
    writeFile(dir.file("runs"), "#!/bin/sh\n", true);
    fs::create_directory(dir.file("folder"));
    const std::string absent = dir.file("absent"), plain = dir.file("plain"), runs = dir.file("runs"),
                      folder = dir.file("folder");

    // Not executable even for root: access(X_OK) wants an execute bit.
    EXPECT_EQ(firstExecutable({absent, plain, folder, runs}), runs);
    EXPECT_EQ(firstExecutable({runs, absent}), runs) << "the first that runs wins";
    EXPECT_EQ(firstExecutable({absent, plain, folder}), "");
}

} // namespace
} // namespace olvek::host
