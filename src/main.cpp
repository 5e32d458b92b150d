// strmfix IN OUT: copies a GDSII stream file record by record, rewriting each
// COLROW record written with 4-byte counts into its well-formed 8-byte form.
//
// This file is the command line: arguments, opening the two files (or taking
// standard input and output for `-`), choosing raw or gzip I/O, the notices,
// the progress line, messages on standard error and the exit status.
#include "file_io.hpp"
#include "gzip_io.hpp"
#include "progress.hpp"
#include "record_copier.hpp"
#include "threaded_sink.hpp"

#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include <fcntl.h>
#include <unistd.h>

namespace {

using namespace strmfix;

constexpr std::string_view usage_text = "strmfix inputfile outputfile";
// The name that stands for standard input as IN and standard output as OUT.
constexpr std::string_view standard_stream_name = "-";

TextOutput standard_output(STDOUT_FILENO);
TextOutput standard_error_text(STDERR_FILENO);
// Where the notices go: standard output, or standard error when the output
// stream itself is on standard output.
TextOutput* notices = &standard_output;
std::optional<ProgressLine> progress;
bool closed_at_start[3] = {};

// The one way out of the process: the notices are flushed first.
[[noreturn]] void stop_run(int status) {
    if (progress) progress->erase();
    standard_output.flush();
    standard_error_text.flush();
    std::exit(status);
}

std::string decimal(std::uint64_t value) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    return {digits, end};
}

// One line on standard error: "strmfix: FILE: WHAT".
void complain(std::string_view file, std::string_view what) {
    if (progress) progress->erase();
    // Notices on standard error come before the message, in the order they arose.
    if (notices == &standard_error_text) standard_error_text.flush();
    std::string line = "strmfix: ";
    line.append(file).append(": ").append(what).append("\n");
    write_all(STDERR_FILENO, reinterpret_cast<const std::byte*>(line.data()), line.size());
}

// A descriptor among 0, 1 and 2 that was closed when the program started is
// taken by /dev/null, so that neither file of the run lands on it. A closed
// standard output then fails as soon as a notice is due.
void hold_standard_descriptors() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        if (::open("/dev/null", O_RDWR) != fd) continue;
        closed_at_start[fd] = true;
        if (fd == STDOUT_FILENO) standard_output.fail(EBADF);
        if (fd == STDERR_FILENO) standard_error_text.fail(EBADF);
    }
}

// Standard input or output taken as a file of the run; one that was closed
// at the start is refused rather than read or written as /dev/null.
OpenedFile standard_stream(int fd) {
    OpenedFile file;
    if (closed_at_start[fd]) {
        file.error = EBADF;
    } else if (::fstat(fd, &file.status) != 0) {
        file.error = errno;
    } else if (S_ISDIR(file.status.st_mode)) {
        file.error = EISDIR;
    } else {
        file.fd = fd;
    }
    return file;
}

// Only a regular file or a disk can be overwritten while it is read; a pipe,
// socket or terminal on both standard streams is not one file being rewritten.
bool same_storage(const struct stat& a, const struct stat& b) {
    return (S_ISREG(a.st_mode) || S_ISBLK(a.st_mode)) && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool ends_with_gz(std::string_view path) {
    return path.ends_with(".gz");
}

// The input size, when known, for the progress line; 0 otherwise.
std::uint64_t size_to_read(const OpenedFile& input) {
    if (!S_ISREG(input.status.st_mode)) return 0;
    const off_t position = ::lseek(input.fd, 0, SEEK_CUR);
    if (position < 0 || position > input.status.st_size) return 0;
    return static_cast<std::uint64_t>(input.status.st_size - position);
}

class NoticePrinter final : public RepairListener {
public:
    explicit NoticePrinter(std::string_view input_name) : input_name_(input_name) {}

    void repaired(const Repair& repair) override {
        char line[40] = "colrow ";
        char* end = std::to_chars(line + 7, line + sizeof line - 2, repair.index).ptr;
        *end++ = ' ';
        *end++ = '\n';
        notices->write({line, static_cast<std::size_t>(end - line)});
        if (progress) progress->add_repair();
        if (repair.lossy()) {
            complain(input_name_, "COLROW counts " + decimal(repair.columns) + " x " +
                                      decimal(repair.rows) + " do not fit in 16 bits; kept " +
                                      decimal(repair.columns & 0xFFFF) + " x " +
                                      decimal(repair.rows & 0xFFFF) + " (at byte " +
                                      decimal(repair.offset) + ")");
        }
    }

private:
    std::string_view input_name_;
};

std::string read_failure(const RunResult& result, const GzipSource& decoder) {
    const std::string at = " (at compressed byte " + decimal(decoder.compressed_offset()) + ")";
    switch (decoder.fault()) {
    case GzipFault::corrupt: return "corrupt gzip data" + at;
    case GzipFault::ends_early: return "gzip stream ends early" + at;
    case GzipFault::trailing: return "data after the end of the gzip stream" + at;
    case GzipFault::none: break;
    }
    return std::string(std::strerror(result.error)) + " (at byte " + decimal(result.bytes_read) + ")";
}

int report(const RunResult& result, const GzipSource& decoder, std::string_view input_name,
           std::string_view output_name, bool output_is_standard) {
    switch (result.end) {
    case RunEnd::clean:
        break;
    case RunEnd::inside_record:
        complain(input_name, "input ends at byte " + decimal(result.bytes_read) +
                                 " inside the record at byte " + decimal(result.record_offset));
        break;
    case RunEnd::read_error:
        complain(input_name, read_failure(result, decoder));
        break;
    case RunEnd::write_error:
        // A reader of the output stream that quit early has had all it wanted.
        if (!(output_is_standard && result.error == EPIPE)) complain(output_name, std::strerror(result.error));
        break;
    }
    return result.end == RunEnd::clean && result.lossy_count == 0 ? EXIT_SUCCESS : EXIT_FAILURE;
}

} // namespace

int main(int argc, char** argv) {
    // A reader of the notices that quits early must not end the copy.
    std::signal(SIGPIPE, SIG_IGN);
    hold_standard_descriptors();

    if (argc != 3) {
        standard_output.write(usage_text);
        stop_run(EXIT_FAILURE);
    }
    const bool input_is_standard = argv[1] == standard_stream_name;
    const bool output_is_standard = argv[2] == standard_stream_name;
    const std::string_view input_name = input_is_standard ? "standard input" : argv[1];
    const std::string_view output_name = output_is_standard ? "standard output" : argv[2];

    const OpenedFile input = input_is_standard ? standard_stream(STDIN_FILENO) : open_input(argv[1]);
    if (input.fd < 0) {
        complain(input_name, std::strerror(input.error));
        stop_run(EXIT_FAILURE);
    }
    OpenedFile output;
    if (output_is_standard) {
        output = standard_stream(STDOUT_FILENO);
        if (output.fd >= 0 && same_storage(output.status, input.status)) {
            output.fd = -1;
            output.same_as_input = true;
        }
    } else {
        output = open_output(argv[2], input.status);
    }
    if (output.same_as_input) {
        complain(output_name, "is the same file as " + std::string(input_name));
        stop_run(EXIT_FAILURE);
    }
    if (output.fd < 0) {
        complain(output_name, std::strerror(output.error));
        stop_run(EXIT_FAILURE);
    }
    if (::isatty(output.fd)) {
        complain(output_name, "is a terminal; will not write a stream there");
        stop_run(EXIT_FAILURE);
    }
    // Data and notices never share a stream.
    if (output_is_standard) notices = &standard_error_text;

    FdWriter file_writer(output.fd);
    std::optional<GzipWriter> gzip_writer;
    ByteWriter* writer = &file_writer;
    if (!output_is_standard && ends_with_gz(argv[2])) writer = &gzip_writer.emplace(file_writer);
    ThreadedSink sink(*writer);

    FdSource file_source(input.fd);
    ByteSource* source = &file_source;
    std::optional<ProgressSource> counted;
    if (::isatty(STDERR_FILENO)) {
        progress.emplace(STDERR_FILENO, size_to_read(input),
                         notices == &standard_error_text ? &standard_error_text : nullptr);
        source = &counted.emplace(file_source, *progress);
    }
    GzipSource decoder(*source);
    if (progress) progress->watch(decoder);

    NoticePrinter printer(input_name);
    const RunResult result = run_copy(decoder, sink, printer);
    if (progress) progress->erase();
    int status = report(result, decoder, input_name, output_name, output_is_standard);
    if (!input_is_standard) ::close(input.fd);

    if (const int error = notices->flush()) {
        // A reader that quit early has had all it wanted; anything else is
        // news, told on standard error unless that is what failed.
        if (error != EPIPE && notices == &standard_output) complain("standard output", std::strerror(error));
        status = EXIT_FAILURE;
    }
    stop_run(status);
}
