// strmfix IN OUT: copies a GDSII stream file record by record, rewriting each
// COLROW record written with 4-byte counts into its well-formed 8-byte form.
//
// This file is the command line: arguments, opening the two files, the
// notices on standard output, messages on standard error and the exit status.
#include "file_io.hpp"
#include "record_copier.hpp"
#include "threaded_sink.hpp"

#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include <fcntl.h>
#include <unistd.h>

namespace {

using namespace strmfix;

constexpr std::string_view usage_text = "strmfix inputfile outputfile";

TextOutput standard_output(STDOUT_FILENO);

// The one way out of the process: the notices are flushed first.
[[noreturn]] void stop_run(int status) {
    standard_output.flush();
    std::exit(status);
}

std::string decimal(std::uint64_t value) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    return {digits, end};
}

// One line on standard error: "strmfix: FILE: WHAT".
void complain(std::string_view file, std::string_view what) {
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
        if (fd == STDOUT_FILENO) standard_output.fail(EBADF);
    }
}

class NoticePrinter final : public RepairListener {
public:
    explicit NoticePrinter(const char* input_path) : input_path_(input_path) {}

    void repaired(const Repair& repair) override {
        char line[40] = "colrow ";
        char* end = std::to_chars(line + 7, line + sizeof line - 2, repair.index).ptr;
        *end++ = ' ';
        *end++ = '\n';
        standard_output.write({line, static_cast<std::size_t>(end - line)});
        if (repair.lossy()) {
            complain(input_path_, "COLROW counts " + decimal(repair.columns) + " x " +
                                      decimal(repair.rows) + " do not fit in 16 bits; kept " +
                                      decimal(repair.columns & 0xFFFF) + " x " +
                                      decimal(repair.rows & 0xFFFF) + " (at byte " +
                                      decimal(repair.offset) + ")");
        }
    }

private:
    const char* input_path_;
};

int report(const RunResult& result, const char* input_path, const char* output_path) {
    switch (result.end) {
    case RunEnd::clean:
        break;
    case RunEnd::inside_record:
        complain(input_path, "input ends at byte " + decimal(result.bytes_read) +
                                 " inside the record at byte " + decimal(result.record_offset));
        break;
    case RunEnd::read_error:
        complain(input_path, std::string(std::strerror(result.error)) + " (at byte " +
                                 decimal(result.bytes_read) + ")");
        break;
    case RunEnd::write_error:
        complain(output_path, std::strerror(result.error));
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
    const char* input_path = argv[1];
    const char* output_path = argv[2];

    const OpenedFile input = open_input(input_path);
    if (input.fd < 0) {
        complain(input_path, std::strerror(input.error));
        stop_run(EXIT_FAILURE);
    }
    const OpenedFile output = open_output(output_path, input.status);
    if (output.same_as_input) {
        complain(output_path, std::string("is the same file as ") + input_path);
        stop_run(EXIT_FAILURE);
    }
    if (output.fd < 0) {
        complain(output_path, std::strerror(output.error));
        stop_run(EXIT_FAILURE);
    }

    FdSource source(input.fd);
    FdWriter writer(output.fd);
    ThreadedSink sink(writer);
    NoticePrinter printer(input_path);
    int status = report(run_copy(source, sink, printer), input_path, output_path);
    ::close(input.fd);

    if (const int error = standard_output.flush()) {
        // A reader that quit early has had all it wanted; anything else is news.
        if (error != EPIPE) complain("standard output", std::strerror(error));
        status = EXIT_FAILURE;
    }
    stop_run(status);
}
