// The command line end to end: the built binary, its exit status, standard
// output, standard error and the bytes of every file afterwards.
#include "gds_bytes.hpp"
#include "run_tool.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include <sys/stat.h>

namespace strmfix::testing {
namespace {

namespace fs = std::filesystem;

const std::string usage = "strmfix inputfile outputfile";

const Bytes defective = concat({header, boundary, aref(colrow12(3, 5)), aref(colrow12(2, 7)), endlib});
const Bytes repaired = concat({header, boundary, aref(colrow8(3, 5)), aref(colrow8(2, 7)), endlib});
const Bytes precious = {'k', 'e', 'e', 'p'};

class CommandLine : public ::testing::Test {
protected:
    void SetUp() override { write_file(in, defective); }

    TempDir dir;
    const std::string in = dir / "in.gds";
    const std::string out = dir / "out.gds";
};

TEST_F(CommandLine, RepairsPrintsNumberedNoticesAndSucceeds) {
    const ToolRun run = run_tool({in, out});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "colrow 0 \ncolrow 1 \n");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(read_file(out), repaired);
}

TEST_F(CommandLine, SoundFileComesOutTheSameWithoutNotices) {
    write_file(in, repaired);
    write_file(out, precious);
    const ToolRun run = run_tool({in, out});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(read_file(out), repaired);
}

TEST_F(CommandLine, WrongArgumentCountPrintsUsageAndTouchesNothing) {
    write_file(out, precious);
    const std::vector<std::vector<std::string>> arg_lists = {
        {}, {in}, {in, dir / "new.gds", out}, {in, out, out, out}};
    for (const auto& args : arg_lists) {
        SCOPED_TRACE(args.size());
        const ToolRun run = run_tool(args);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.out, usage);
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(read_file(out), precious);
        EXPECT_FALSE(fs::exists(dir / "new.gds"));
    }
}

TEST_F(CommandLine, InputThatCannotBeReadLeavesTheOutputAlone) {
    fs::create_directory(dir / "folder");
    struct Case {
        std::string input;
        std::string reason;
    };
    for (const Case& c : {Case{dir / "missing.gds", "No such file or directory"},
                          Case{dir / "folder", "Is a directory"},
                          Case{dir / "in.gds/x", "Not a directory"}}) {
        SCOPED_TRACE(c.input);
        for (const bool output_exists : {true, false}) {
            if (output_exists) write_file(out, precious); else fs::remove(out);
            const ToolRun run = run_tool({c.input, out});
            EXPECT_EQ(run.status, 1);
            EXPECT_EQ(run.out, "");
            EXPECT_EQ(run.err, "strmfix: " + c.input + ": " + c.reason + "\n");
            EXPECT_EQ(fs::exists(out), output_exists);
            if (output_exists) {
                EXPECT_EQ(read_file(out), precious);
            }
        }
    }
}

TEST_F(CommandLine, OutputThatCannotBeWrittenIsReportedBeforeAnyNotice) {
    fs::create_directory(dir / "folder");
    struct Case {
        std::string output;
        std::string reason;
    };
    for (const Case& c : {Case{dir / "missing/out.gds", "No such file or directory"},
                          Case{dir / "folder", "Is a directory"}}) {
        SCOPED_TRACE(c.output);
        const ToolRun run = run_tool({in, c.output});
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, "strmfix: " + c.output + ": " + c.reason + "\n");
    }
}

TEST_F(CommandLine, FullOutputDeviceFails) {
    const ToolRun run = run_tool({in, "/dev/full"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "strmfix: /dev/full: No space left on device\n");
}

TEST_F(CommandLine, SameFileUnderAnyNameIsRefusedAndLeftUntouched) {
    fs::create_symlink(in, dir / "link.gds");
    fs::create_hard_link(in, dir / "hard.gds");
    for (const std::string& name : {in, std::string("./in.gds"), dir / "link.gds", dir / "hard.gds"}) {
        SCOPED_TRACE(name);
        ToolOptions options;
        options.cwd = dir.path();
        const ToolRun run = run_tool({in, name}, options);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, "strmfix: " + name + ": is the same file as " + in + "\n");
        EXPECT_EQ(read_file(in), defective);
    }
}

TEST_F(CommandLine, TruncatedInputKeepsWhatWasReadAndSaysWhere) {
    const Bytes cut = without_last(concat({header, boundary, endlib}), 3);
    write_file(in, cut);
    const ToolRun run = run_tool({in, out});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "strmfix: " + in + ": input ends at byte " + std::to_string(cut.size()) +
                           " inside the record at byte " + std::to_string(header.size() + boundary.size()) +
                           "\n");
    EXPECT_EQ(read_file(out), cut);
}

TEST_F(CommandLine, CountThatDoesNotFitIsRepairedWithAWarning) {
    write_file(in, concat({header, aref(colrow12(70000, 3)), endlib}));
    const ToolRun run = run_tool({in, out});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "colrow 0 \n");
    const std::size_t at = header.size() + aref_head.size() + sname.size();
    EXPECT_EQ(run.err, "strmfix: " + in + ": COLROW counts 70000 x 3 do not fit in 16 bits; kept 4464 x 3 (at byte " +
                           std::to_string(at) + ")\n");
    EXPECT_EQ(read_file(out), concat({header, aref(colrow8(4464, 3)), endlib}));
}

TEST_F(CommandLine, StandardInputCanBeTheInput) {
    ToolOptions options;
    options.stdin_path = in;
    const ToolRun run = run_tool({"/dev/stdin", out}, options);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "colrow 0 \ncolrow 1 \n");
    EXPECT_EQ(read_file(out), repaired);
}

// Enough repairs that the notices overflow a pipe's buffer.
Bytes many_arefs(std::size_t count, bool defective_form) {
    const Bytes element = aref(defective_form ? colrow12(3, 5) : colrow8(3, 5));
    Bytes all = header;
    for (std::size_t i = 0; i < count; ++i) all.insert(all.end(), element.begin(), element.end());
    all.insert(all.end(), endlib.begin(), endlib.end());
    return all;
}

TEST(StandardOutputFailure, NeverCostsTheOutputFile) {
    TempDir dir;
    const std::string in = dir / "in.gds";
    const std::string out = dir / "out.gds";
    write_file(in, many_arefs(20000, true));
    const Bytes expected = many_arefs(20000, false);
    struct Case {
        StdoutMode mode;
        std::string err;
    };
    for (const Case& c : {Case{StdoutMode::dev_full, "strmfix: standard output: No space left on device\n"},
                          Case{StdoutMode::closed, "strmfix: standard output: Bad file descriptor\n"},
                          Case{StdoutMode::reader_quits, ""}}) {
        SCOPED_TRACE(static_cast<int>(c.mode));
        fs::remove(out);
        ToolOptions options;
        options.stdout_mode = c.mode;
        const ToolRun run = run_tool({in, out}, options);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.err, c.err);
        EXPECT_EQ(read_file(out), expected);
    }
}

} // namespace
} // namespace strmfix::testing
