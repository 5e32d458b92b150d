// Runs the built strmfix binary (or another program) as a user would, with its standard streams
// redirected, and collects its exit status, standard output and error.
#pragma once

#include "memory_io.hpp"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace strmfix::testing {

enum class StdoutMode {
    file,            // captured whole
    closed,          // descriptor 1 closed before exec
    dev_full,        // every write fails with ENOSPC
    reader_quits,    // a pipe whose reader takes one line and closes it
    path,            // ToolOptions::stdout_path, opened for writing without truncation
};

// A standard stream that is a pseudo-terminal in raw mode; what the program
// writes there is collected into ToolRun::out or ToolRun::err.
enum class Terminal {
    none,
    stdout_stream,
    stderr_stream,
};

struct ToolRun {
    int status = -1; // exit status, or 128 + signal
    std::string out;
    std::string err;
    long max_rss_kib = 0; // peak resident memory of the program
};

struct ToolOptions {
    StdoutMode stdout_mode = StdoutMode::file;
    std::string stdin_path = "/dev/null"; // empty: descriptor 0 closed before exec; a FIFO waits for its writer
    int stdin_fd = -1;                    // if set, taken as standard input instead of stdin_path
    std::string stdout_path = {};         // for StdoutMode::path
    std::string stderr_path = {};         // written to instead of being captured
    Terminal terminal = Terminal::none;
    std::filesystem::path cwd = {};
    std::string program = STRMFIX_BINARY;
    // Runs the program under this user and group id (needs root), so that
    // file modes apply to it.
    std::optional<unsigned> run_as_user = {};
};

ToolRun run_tool(const std::vector<std::string>& args, const ToolOptions& options = {});

// A fresh temporary folder, removed with its contents at the end of a test.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::string operator/(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

Bytes read_file(const std::filesystem::path& path);
void write_file(const std::filesystem::path& path, const Bytes& bytes);

} // namespace strmfix::testing
