// The tool in a layout engineer's flow, end to end: gzip input and output
// checked with gzip and zcat, `-` for the standard streams with notices on
// standard error, refusal to write a stream to a terminal, and the progress
// line on a terminal's standard error.
#include "gds_bytes.hpp"
#include "run_tool.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace strmfix::testing {
namespace {

namespace fs = std::filesystem;

std::string text_of(const Bytes& bytes) { return {bytes.begin(), bytes.end()}; }

// Runs a shell command line; the test's paths hold no spaces or quotes.
ToolRun shell(const std::string& command, ToolOptions options = {}) {
    options.program = "/bin/sh";
    return run_tool({"-c", command}, options);
}

std::string notices_for(std::size_t count) {
    std::string text;
    for (std::size_t i = 0; i < count; ++i) text += "colrow " + std::to_string(i) + " \n";
    return text;
}

bool starts_with(const Bytes& whole, const Bytes& part) {
    return part.size() <= whole.size() && std::equal(part.begin(), part.end(), whole.begin());
}

// One generated layout, in its sound and defective forms, shared by the suite.
class Flow : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        layouts = new TempDir;
        ToolOptions generator;
        generator.program = GDSGEN_BINARY;
        const ToolRun generated = run_tool({"--sound", *layouts / "sound.gds", "--defective",
                                            *layouts / "defective.gds", "--seed", "11", "--size", "1M",
                                            "--aref-every", "40", "--count-arefs"},
                                           generator);
        ASSERT_EQ(generated.status, 0) << generated.err;
        arefs = std::stoul(generated.out);
        ASSERT_EQ(shell("gzip -c " + *layouts / "defective.gds" + " > " + *layouts / "defective.gds.gz").status, 0);
        sound = read_file(*layouts / "sound.gds");
    }
    static void TearDownTestSuite() {
        delete layouts;
        layouts = nullptr;
    }

    static std::string layout(const std::string& name) { return *layouts / name; }

    static inline TempDir* layouts = nullptr;
    static inline std::size_t arefs = 0;
    static inline Bytes sound;
    TempDir dir;
};

TEST_F(Flow, GzipRoundTripsThroughGzipAndZcat) {
    ASSERT_GT(arefs, 10u);
    struct Case {
        std::string input;
        std::string output;
        std::string decompress; // command that prints the output as raw bytes
    };
    const std::string out_gz = dir / "out.gds.gz";
    const std::string out_raw = dir / "out.gds";
    for (const Case& c : {Case{layout("defective.gds.gz"), out_gz, "gzip -dc " + out_gz},
                          Case{layout("defective.gds"), out_gz, "zcat " + out_gz},
                          Case{layout("defective.gds.gz"), out_raw, "cat " + out_raw}}) {
        SCOPED_TRACE(c.input + " -> " + c.output);
        const ToolRun run = run_tool({c.input, c.output});
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(run.out, notices_for(arefs));
        const ToolRun decompressed = shell(c.decompress);
        EXPECT_EQ(decompressed.status, 0) << decompressed.err;
        EXPECT_TRUE(decompressed.out == text_of(sound));
        // gzip itself finds the compressed output sound, CRC and length included.
        if (c.output == out_gz) {
            EXPECT_EQ(shell("gzip -t " + out_gz).status, 0);
        }
    }
}

TEST_F(Flow, ConcatenatedMembersAndZeroPaddingAreReadThrough) {
    // Split at an odd byte, inside some record: the walk must not notice the seam.
    const Bytes defective = read_file(layout("defective.gds"));
    const std::size_t seam = 123457;
    write_file(dir / "a", Bytes(defective.begin(), defective.begin() + seam));
    write_file(dir / "b", Bytes(defective.begin() + seam, defective.end()));
    write_file(dir / "pad", zeros(4096));
    const std::string in = dir / "joined.gds.gz";
    ASSERT_EQ(shell("(gzip -c " + dir / "a" + "; gzip -1c " + dir / "b" + "; cat " + dir / "pad" + ") > " + in)
                  .status,
              0);
    const ToolRun run = run_tool({in, dir / "out.gds"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out, notices_for(arefs));
    EXPECT_TRUE(read_file(dir / "out.gds") == sound);
}

TEST_F(Flow, BrokenGzipInputKeepsWhatWasDecompressed) {
    const Bytes gz = read_file(layout("defective.gds.gz"));
    ASSERT_GT(gz.size(), 1000u);
    Bytes bad_crc = gz;
    bad_crc.at(gz.size() - 8) ^= 0xFF;
    Bytes bad_block = gz;
    bad_block.at(gz.size() / 2) ^= 0xFF;
    struct Case {
        std::string name;
        Bytes input;
        std::string message_start;
        // A damaged block may inflate to wrong bytes before the damage shows,
        // as with gzip; a cut, a CRC or trailing data leave the data right.
        bool data_right;
    };
    const std::string in = dir / "in.gds.gz";
    for (const Case& c : {
             Case{"cut short", without_last(gz, gz.size() / 3),
                  "gzip stream ends early (at compressed byte " + std::to_string(gz.size() - gz.size() / 3) + ")",
                  true},
             Case{"bad CRC", bad_crc, "corrupt gzip data (at compressed byte ", true},
             Case{"bad block", bad_block, "corrupt gzip data (at compressed byte ", false},
             Case{"trailing data", concat({gz, {'x', 'y'}}),
                  "data after the end of the gzip stream (at compressed byte " + std::to_string(gz.size()) + ")",
                  true},
         }) {
        SCOPED_TRACE(c.name);
        write_file(in, c.input);
        const ToolRun run = run_tool({in, dir / "out.gds"});
        EXPECT_EQ(run.status, 1);
        const std::string prefix = "strmfix: " + in + ": ";
        EXPECT_EQ(run.err.rfind(prefix + c.message_start, 0), 0u) << run.err;
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
        const Bytes out = read_file(dir / "out.gds");
        EXPECT_GT(out.size(), sound.size() / 3);
        if (!c.data_right) continue;
        // The notices and the output are those of the data before the fault.
        EXPECT_TRUE(starts_with(sound, out));
        EXPECT_EQ(run.out.rfind(notices_for(1), 0), 0u);
        EXPECT_TRUE(notices_for(arefs).starts_with(run.out));
    }
}

TEST_F(Flow, DashIsStandardInputAndStandardOutputWithNoticesOnStandardError) {
    struct Case {
        std::string name;
        std::vector<std::string> args;
        std::string stdin_path;
        bool data_on_stdout;
    };
    const std::string out = dir / "out.gds";
    for (const Case& c : {Case{"dash in", {"-", out}, layout("defective.gds"), false},
                          Case{"gzip on dash in", {"-", out}, layout("defective.gds.gz"), false},
                          Case{"dash out", {layout("defective.gds"), "-"}, "/dev/null", true},
                          Case{"dash both, gzip in", {"-", "-"}, layout("defective.gds.gz"), true}}) {
        SCOPED_TRACE(c.name);
        fs::remove(out);
        ToolOptions options;
        options.stdin_path = c.stdin_path;
        const ToolRun run = run_tool(c.args, options);
        EXPECT_EQ(run.status, 0);
        if (c.data_on_stdout) {
            EXPECT_TRUE(run.out == text_of(sound));
            EXPECT_EQ(run.err, notices_for(arefs));
            EXPECT_FALSE(fs::exists(out));
        } else {
            EXPECT_EQ(run.out, notices_for(arefs));
            EXPECT_EQ(run.err, "");
            EXPECT_TRUE(read_file(out) == sound);
        }
    }
}

TEST_F(Flow, FileNamedDashIsReachedAsDotSlashDash) {
    fs::copy_file(layout("defective.gds"), dir / "-");
    ToolOptions options;
    options.cwd = dir.path();
    const ToolRun in = run_tool({"./-", "repaired.gds"}, options);
    EXPECT_EQ(in.status, 0);
    EXPECT_EQ(in.out, notices_for(arefs));
    EXPECT_TRUE(read_file(dir / "repaired.gds") == sound);

    fs::remove(dir / "-");
    const ToolRun out = run_tool({layout("defective.gds"), "./-"}, options);
    EXPECT_EQ(out.status, 0);
    EXPECT_EQ(out.out, notices_for(arefs));
    EXPECT_TRUE(read_file(dir / "-") == sound);
}

TEST_F(Flow, ClosedOrFailingStandardStreams) {
    struct Case {
        std::string name;
        std::vector<std::string> args;
        ToolOptions options;
        std::string err; // after the notices, which go to standard error with "-" out
        bool data_on_stdout;
    };
    ToolOptions stdin_closed;
    stdin_closed.stdin_path = "";
    ToolOptions stdout_closed;
    stdout_closed.stdout_mode = StdoutMode::closed;
    ToolOptions reader_quits;
    reader_quits.stdout_mode = StdoutMode::reader_quits;
    ToolOptions stderr_full;
    stderr_full.stderr_path = "/dev/full";
    const std::string in = layout("defective.gds");
    const std::string out = dir / "out.gds";
    for (const Case& c : {
             // A closed standard stream is never read or written as /dev/null.
             Case{"stdin closed", {"-", out}, stdin_closed, "strmfix: standard input: Bad file descriptor\n", false},
             Case{"stdout closed", {in, "-"}, stdout_closed, "strmfix: standard output: Bad file descriptor\n", false},
             // A reader of the stream that quits early: status 1, no message, as for notices.
             Case{"reader quits", {in, "-"}, reader_quits, "", false},
             // Notices that cannot be written cost nothing of the stream.
             Case{"notices fail", {in, "-"}, stderr_full, "", true},
         }) {
        SCOPED_TRACE(c.name);
        fs::remove(out);
        const ToolRun run = run_tool(c.args, c.options);
        EXPECT_EQ(run.status, 1);
        std::string err = run.err;
        for (std::size_t i = 0; err.starts_with(notices_for(i + 1).substr(notices_for(i).size())); ++i)
            err.erase(0, notices_for(i + 1).size() - notices_for(i).size());
        EXPECT_EQ(err, c.err);
        if (c.data_on_stdout) {
            EXPECT_TRUE(run.out == text_of(sound));
        }
        EXPECT_FALSE(fs::exists(out));
    }
}

TEST_F(Flow, SameFileThroughTheStandardStreamsIsRefused) {
    const Bytes defective = read_file(layout("defective.gds"));
    const std::string file = dir / "f.gds";
    struct Case {
        std::string name;
        std::vector<std::string> args;
        bool stdin_is_file;
        bool stdout_is_file;
        std::string err;
    };
    for (const Case& c : {
             Case{"dash both", {"-", "-"}, true, true, "strmfix: standard output: is the same file as standard input\n"},
             Case{"dash out", {file, "-"}, false, true, "strmfix: standard output: is the same file as " + file + "\n"},
             Case{"dash in", {"-", file}, true, false, "strmfix: " + file + ": is the same file as standard input\n"},
         }) {
        SCOPED_TRACE(c.name);
        write_file(file, defective);
        ToolOptions options;
        if (c.stdin_is_file) options.stdin_path = file;
        if (c.stdout_is_file) {
            options.stdout_mode = StdoutMode::path;
            options.stdout_path = file;
        }
        const ToolRun run = run_tool(c.args, options);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.err, c.err);
        EXPECT_TRUE(read_file(file) == defective);
    }
}

TEST_F(Flow, StreamIsNeverWrittenToATerminal) {
    fs::create_symlink("/proc/self/fd/1", dir / "tty.gds.gz");
    for (const std::string& output : {std::string("-"), std::string("/proc/self/fd/1"), dir / "tty.gds.gz"}) {
        SCOPED_TRACE(output);
        ToolOptions options;
        options.terminal = Terminal::stdout_stream;
        const ToolRun run = run_tool({layout("defective.gds"), output}, options);
        EXPECT_EQ(run.status, 1);
        const std::string name = output == "-" ? "standard output" : output;
        EXPECT_EQ(run.err, "strmfix: " + name + ": is a terminal; will not write a stream there\n");
        EXPECT_EQ(run.out, "");
    }
}

// Writes `data` into the FIFO at `path` in pieces, slowly enough that the
// run lasts well past the progress line's delay.
std::thread feed_slowly(const std::string& path, const Bytes& data) {
    return std::thread([path, &data] {
        std::ofstream fifo(path, std::ios::binary);
        const std::size_t pieces = 16;
        for (std::size_t i = 0; i < pieces; ++i) {
            const std::size_t begin = data.size() * i / pieces;
            const std::size_t end = data.size() * (i + 1) / pieces;
            fifo.write(reinterpret_cast<const char*>(data.data() + begin), static_cast<std::streamsize>(end - begin));
            fifo.flush();
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
    });
}

// The terminal text without the progress line: each drawing is "\r...\x1b[K".
std::string without_progress(const std::string& text, std::vector<std::string>& lines) {
    std::string rest;
    std::size_t at = 0;
    while (at < text.size()) {
        if (text[at] != '\r') {
            rest += text[at++];
            continue;
        }
        const std::size_t end = text.find("\x1b[K", at);
        if (end == std::string::npos) return rest + text.substr(at);
        lines.push_back(text.substr(at + 1, end - at - 1));
        at = end + 3;
    }
    return rest;
}

TEST_F(Flow, ProgressLineOnATerminalOnlyAndErasedAtTheEnd) {
    const std::string fifo = dir / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const Bytes gz = read_file(layout("defective.gds.gz"));
    struct Case {
        std::string name;
        Terminal terminal;
    };
    for (const Case& c : {Case{"terminal", Terminal::stderr_stream}, Case{"file", Terminal::none}}) {
        SCOPED_TRACE(c.name);
        std::thread feeder = feed_slowly(fifo, gz);
        ToolOptions options;
        options.terminal = c.terminal;
        // Notices share standard error with the line here.
        const ToolRun run = run_tool({fifo, "-"}, options);
        feeder.join();
        EXPECT_EQ(run.status, 0);
        EXPECT_TRUE(run.out == text_of(sound));
        std::vector<std::string> lines;
        EXPECT_EQ(without_progress(run.err, lines), notices_for(arefs));
        if (c.terminal == Terminal::none) {
            EXPECT_TRUE(lines.empty());
            continue;
        }
        // Drawn, then erased: the last "\r\x1b[K" leaves an empty line, on
        // which only the last notices may follow.
        ASSERT_GE(lines.size(), 2u);
        EXPECT_EQ(lines.back(), "");
        const std::string& drawn = lines[lines.size() - 2];
        EXPECT_TRUE(drawn.starts_with("strmfix: ")) << drawn;
        EXPECT_NE(drawn.find(" compressed read, "), std::string::npos) << drawn;
        EXPECT_NE(drawn.find("/s, "), std::string::npos) << drawn;
        EXPECT_NE(drawn.find(" repair"), std::string::npos) << drawn;
    }
}

TEST_F(Flow, QuickRunShowsNoProgressLine) {
    ToolOptions options;
    options.terminal = Terminal::stderr_stream;
    const ToolRun run = run_tool({layout("defective.gds"), dir / "out.gds.gz"}, options);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
}

} // namespace
} // namespace strmfix::testing
