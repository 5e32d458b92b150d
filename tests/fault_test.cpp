// Faults tried on the real binary: file modes seen by an unprivileged user,
// input from a FIFO fed by another process, and input cut at every byte.
// Each case checks the status, standard output, standard error and the
// bytes of every file afterwards.
#include "gds_bytes.hpp"
#include "run_tool.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace strmfix::testing {
namespace {

namespace fs = std::filesystem;

constexpr unsigned nobody = 65534;

const Bytes defective = concat({header, boundary, aref(colrow12(3, 5)), aref(colrow12(2, 7)), endlib});
const Bytes repaired = concat({header, boundary, aref(colrow8(3, 5)), aref(colrow8(2, 7)), endlib});
const Bytes precious = {'k', 'e', 'e', 'p'};

// Root ignores file modes, so as root the binary runs as `nobody`; any other
// user is subject to them already.
std::optional<unsigned> unprivileged() {
    if (::geteuid() == 0) return nobody;
    return std::nullopt;
}

TEST(FileModes, FilesTheUserMayNotUseAreRefusedAndLeftAlone) {
    TempDir dir;
    fs::permissions(dir.path(), fs::perms::all); // reachable by the unprivileged user
    const std::string readable = dir / "readable.gds";
    const std::string unreadable = dir / "unreadable.gds";
    const std::string read_only = dir / "read-only.gds";
    const std::string writable_dir = dir / "writable";
    const std::string closed_dir = dir / "closed";
    write_file(readable, defective);
    write_file(unreadable, defective);
    write_file(read_only, precious);
    fs::create_directory(writable_dir);
    fs::create_directory(closed_dir);
    fs::permissions(readable, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    fs::permissions(unreadable, fs::perms::none);
    fs::permissions(read_only, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    fs::permissions(writable_dir, fs::perms::all);
    fs::permissions(closed_dir, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                                    fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);

    struct Case {
        std::string input;
        std::string output;
        int status;
        std::string out;
        std::string err;
    };
    const Case cases[] = {
        // The user can do the job when the modes allow it: the refusals below are the modes'.
        {readable, writable_dir + "/out.gds", 0, "colrow 0 \ncolrow 1 \n", ""},
        {unreadable, writable_dir + "/out.gds", 1, "", "strmfix: " + unreadable + ": Permission denied\n"},
        {readable, read_only, 1, "", "strmfix: " + read_only + ": Permission denied\n"},
        {readable, closed_dir + "/out.gds", 1, "", "strmfix: " + closed_dir + "/out.gds: Permission denied\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.input + " -> " + c.output);
        fs::remove(writable_dir + "/out.gds");
        ToolOptions options;
        options.run_as_user = unprivileged();
        const ToolRun run = run_tool({c.input, c.output}, options);
        EXPECT_EQ(run.status, c.status);
        EXPECT_EQ(run.out, c.out);
        EXPECT_EQ(run.err, c.err);
        EXPECT_EQ(read_file(unreadable), defective);
        EXPECT_EQ(read_file(readable), defective);
        EXPECT_EQ(read_file(read_only), precious);
        EXPECT_FALSE(fs::exists(closed_dir + "/out.gds"));
        if (c.status == 0) {
            EXPECT_EQ(read_file(writable_dir + "/out.gds"), repaired);
        } else {
            EXPECT_FALSE(fs::exists(writable_dir + "/out.gds"));
        }
    }
}

// Another process writes `bytes` into the FIFO in small pieces, so the tool
// gets short reads that split records and words.
pid_t feed_fifo(const std::string& fifo, const Bytes& bytes) {
    const pid_t pid = ::fork();
    if (pid != 0) return pid;
    const int fd = ::open(fifo.c_str(), O_WRONLY);
    if (fd < 0) ::_exit(2);
    for (std::size_t at = 0; at < bytes.size(); at += 5) {
        const std::size_t piece = std::min<std::size_t>(5, bytes.size() - at);
        if (::write(fd, bytes.data() + at, piece) != static_cast<ssize_t>(piece)) ::_exit(3);
        ::usleep(200); // let the reader catch up and see a short read
    }
    ::_exit(0);
}

TEST(FifoInput, FedByAnotherProcessWholeOrCut) {
    TempDir dir;
    const std::string fifo = dir / "in.fifo";
    const std::string out = dir / "out.gds";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const Bytes cut = without_last(defective, 3);
    const std::string cut_message = "input ends at byte " + std::to_string(cut.size()) + " inside the record at byte " +
                                    std::to_string(defective.size() - endlib.size()) + "\n";
    struct Case {
        bool through_stdin; // named /dev/stdin, the FIFO open as descriptor 0
        Bytes fed;
        int status;
        Bytes expected;
    };
    for (const Case& c : {Case{false, defective, 0, repaired}, Case{true, defective, 0, repaired},
                          Case{false, cut, 1, without_last(repaired, 3)}, Case{true, cut, 1, without_last(repaired, 3)}}) {
        const std::string input = c.through_stdin ? "/dev/stdin" : fifo;
        SCOPED_TRACE(input + (c.status ? " cut" : " whole"));
        const pid_t writer = feed_fifo(fifo, c.fed);
        ToolOptions options;
        if (c.through_stdin) options.stdin_path = fifo;
        const ToolRun run = run_tool({input, out}, options);
        int writer_status = 0;
        ::waitpid(writer, &writer_status, 0);
        EXPECT_TRUE(WIFEXITED(writer_status) && WEXITSTATUS(writer_status) == 0);
        EXPECT_EQ(run.status, c.status);
        EXPECT_EQ(run.out, "colrow 0 \ncolrow 1 \n");
        EXPECT_EQ(run.err, c.status == 0 ? "" : "strmfix: " + input + ": " + cut_message);
        EXPECT_EQ(read_file(out), c.expected);
    }
}

// The shell opened the FIFO as standard input, and its writer has written
// everything and gone before the tool opens /dev/stdin: opening the FIFO
// again would wait for a new writer forever.
TEST(FifoInput, StandardInputWhoseWriterIsGone) {
    TempDir dir;
    const std::string fifo = dir / "in.fifo";
    const std::string out = dir / "out.gds";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    int writer_status = 0;
    ::waitpid(feed_fifo(fifo, defective), &writer_status, 0);
    ASSERT_TRUE(WIFEXITED(writer_status) && WEXITSTATUS(writer_status) == 0);
    ASSERT_EQ(::fcntl(reader, F_SETFL, 0), 0);

    ToolOptions options;
    options.stdin_fd = reader;
    const ToolRun run = run_tool({"/dev/stdin", out}, options);
    ::close(reader);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "colrow 0 \ncolrow 1 \n");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(read_file(out), repaired);
}

// A small library with two repairs, one of them lossy, and zero padding: cut
// after every byte, the tool must keep exactly what it read, with the repairs
// that were complete, and name the record that was cut.
TEST(TruncatedInput, EveryCutOfASmallLibrary) {
    struct Piece {
        Bytes defective;
        Bytes sound;
    };
    const std::vector<Piece> pieces = {
        {header, header}, {boundary, boundary}, {aref_head, aref_head}, {sname, sname},
        {colrow12(3, 5), colrow8(3, 5)}, {aref_xy, aref_xy}, {endel, endel}, {aref_head, aref_head},
        {sname, sname}, {colrow12(70000, 2), colrow8(4464, 2)}, {aref_xy, aref_xy}, {endel, endel},
        {endlib, endlib}, {zeros(5), zeros(5)}};
    Bytes library;
    std::vector<std::size_t> record_starts; // of the defective form; the padding is not a record
    for (const Piece& piece : pieces) {
        // A piece holds whole records; a COLROW's defective form is one 12-byte record.
        const bool is_padding = &piece == &pieces.back();
        const bool is_colrow = piece.defective.size() != piece.sound.size();
        std::size_t at = 0;
        while (!is_padding && at < piece.defective.size()) {
            record_starts.push_back(library.size() + at);
            at += is_colrow ? piece.defective.size() : (piece.defective[at] << 8 | piece.defective[at + 1]);
        }
        library.insert(library.end(), piece.defective.begin(), piece.defective.end());
    }
    const std::size_t padding_start = library.size() - 5;
    std::size_t colrow_offset = 0; // of the lossy COLROW, the tenth piece
    for (std::size_t i = 0; i < 9; ++i) colrow_offset += pieces[i].defective.size();
    const std::string lossy_warning = "COLROW counts 70000 x 2 do not fit in 16 bits; kept 4464 x 2 (at byte " +
                                      std::to_string(colrow_offset) + ")\n";

    TempDir dir;
    const std::string in = dir / "in.gds";
    const std::string out = dir / "out.gds";
    for (std::size_t cut = 0; cut <= library.size(); ++cut) {
        SCOPED_TRACE("cut at byte " + std::to_string(cut));
        write_file(in, Bytes(library.begin(), library.begin() + static_cast<std::ptrdiff_t>(cut)));

        // What the tool must produce: whole pieces in their sound form, the
        // piece that was cut as it stands.
        Bytes expected;
        std::string notices;
        std::string err;
        std::size_t repairs = 0;
        std::size_t at = 0;
        for (const Piece& piece : pieces) {
            if (at >= cut) break;
            const std::size_t taken = std::min(piece.defective.size(), cut - at);
            if (taken == piece.defective.size()) {
                expected.insert(expected.end(), piece.sound.begin(), piece.sound.end());
                if (piece.defective.size() != piece.sound.size()) {
                    notices += "colrow " + std::to_string(repairs++) + " \n";
                    if (piece.sound == colrow8(4464, 2)) err += "strmfix: " + in + ": " + lossy_warning;
                }
            } else {
                expected.insert(expected.end(), piece.defective.begin(), piece.defective.begin() + static_cast<std::ptrdiff_t>(taken));
            }
            at += piece.defective.size();
        }
        // Clean at a record start, or inside the padding once its length word is whole.
        const bool at_record_start = std::find(record_starts.begin(), record_starts.end(), cut) != record_starts.end();
        const bool clean = at_record_start || cut == padding_start || cut >= padding_start + 2;
        if (!clean) {
            std::size_t record = 0;
            for (const std::size_t start : record_starts) {
                if (start < cut) record = start;
            }
            if (cut > padding_start) record = padding_start;
            err += "strmfix: " + in + ": input ends at byte " + std::to_string(cut) + " inside the record at byte " +
                   std::to_string(record) + "\n";
        }

        const ToolRun run = run_tool({in, out});
        EXPECT_EQ(run.status, clean && err.empty() ? 0 : 1);
        EXPECT_EQ(run.out, notices);
        EXPECT_EQ(run.err, err);
        EXPECT_EQ(read_file(out), expected);
    }
}

} // namespace
} // namespace strmfix::testing
