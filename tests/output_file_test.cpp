// Output files that only ever appear complete, with unnamed files and with the
// temporary names used where a file system cannot make them.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/png_test_files.h"
#include "tests/test_support.h"
#include "tools/output_file.h"

using cwtest::TempDir;

namespace {

class OutputFileBothWays : public ::testing::TestWithParam<bool> {
protected:
    TempDir dir;
};

TEST_P(OutputFileBothWays, ACommittedFileHoldsEverythingAndNothingElseIsLeft) {
    cwtool::OutputFile out(GetParam());
    std::string error;
    ASSERT_TRUE(out.open(dir.path("a.bin"), error)) << error;
    EXPECT_EQ(dir.files().size(), GetParam() ? 0u : 1u) << "an unnamed file has no name while it is written";
    std::fputs("hello", out.stream());
    ASSERT_TRUE(out.commit(error)) << error;
    EXPECT_EQ(dir.files(), std::vector<std::string>{"a.bin"});
    EXPECT_EQ(cwtest::readBytes(dir.path("a.bin")), (std::vector<uint8_t>{'h', 'e', 'l', 'l', 'o'}));
}

TEST_P(OutputFileBothWays, AnAbandonedFileLeavesTheOldOneAndNoTemporary) {
    cwtest::writeBytes(dir.path("a.bin"), {1, 2});
    {
        cwtool::OutputFile out(GetParam());
        std::string error;
        ASSERT_TRUE(out.open(dir.path("a.bin"), error)) << error;
        std::fputs("half a picture", out.stream());
    }
    EXPECT_EQ(dir.files(), std::vector<std::string>{"a.bin"});
    EXPECT_EQ(cwtest::readBytes(dir.path("a.bin")), (std::vector<uint8_t>{1, 2}));
}

TEST_P(OutputFileBothWays, TerminatedWhileWritingLeavesNoTemporary) {
    for (int signal_number : {SIGTERM, SIGINT}) {
        const pid_t pid = fork();
        if (pid == 0) {
            cwtool::OutputFile out(GetParam());
            std::string error;
            if (!out.open(dir.path("a.bin"), error)) _exit(3);
            std::fputs("part", out.stream());
            std::fflush(out.stream());
            raise(signal_number);
            _exit(4);
        }
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFSIGNALED(status)) << "exit " << WEXITSTATUS(status);
        EXPECT_EQ(WTERMSIG(status), signal_number) << "the signal still ends the program";
        EXPECT_TRUE(dir.files().empty()) << dir.files()[0];
    }
}

INSTANTIATE_TEST_SUITE_P(Staging, OutputFileBothWays, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& p) {
                             return p.param ? "Unnamed" : "TemporaryName";
                         });

TEST(OutputFile, FailuresNameThePathAndTheReason) {
    cwtool::OutputFile out;
    std::string error;
    EXPECT_FALSE(out.open("/no/such/folder/x.png", error));
    EXPECT_EQ(error, "cannot write /no/such/folder/x.png: No such file or directory");
    EXPECT_FALSE(out.commit(error));
}

}  // namespace
