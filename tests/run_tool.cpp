#include "run_tool.hpp"

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include <fcntl.h>
#include <pty.h>
#include <grp.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace strmfix::testing {

namespace {

std::string slurp(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

[[noreturn]] void child_fail(const char* what) {
    const std::string line = std::string("run_tool child: ") + what + "\n";
    (void)!::write(STDERR_FILENO, line.data(), line.size());
    ::_exit(127);
}

} // namespace

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "strmfix-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(path_, ignored);
}

Bytes read_file(const std::filesystem::path& path) {
    const std::string text = slurp(path);
    return {text.begin(), text.end()};
}

void write_file(const std::filesystem::path& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

ToolRun run_tool(const std::vector<std::string>& args, const ToolOptions& options) {
    TempDir streams;
    const std::string out_path = streams / "stdout";
    const std::string err_path = streams / "stderr";

    int pipe_fds[2] = {-1, -1};
    if (options.stdout_mode == StdoutMode::reader_quits && ::pipe(pipe_fds) != 0)
        throw std::runtime_error("pipe failed");
    int pty_master = -1;
    int pty_slave = -1;
    if (options.terminal != Terminal::none) {
        if (::openpty(&pty_master, &pty_slave, nullptr, nullptr, nullptr) != 0)
            throw std::runtime_error("openpty failed");
        // Raw: the bytes arrive as the program wrote them, "\n" not made "\r\n".
        termios mode = {};
        ::tcgetattr(pty_slave, &mode);
        ::cfmakeraw(&mode);
        ::tcsetattr(pty_slave, TCSANOW, &mode);
    }

    std::vector<char*> argv;
    std::string program = options.program;
    argv.push_back(program.data());
    std::vector<std::string> copies = args;
    for (std::string& arg : copies) argv.push_back(arg.data());
    argv.push_back(nullptr);

    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        const std::string& err_target = options.stderr_path.empty() ? err_path : options.stderr_path;
        const int err = ::open(err_target.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (err < 0 || ::dup2(err, STDERR_FILENO) < 0) child_fail("cannot redirect stderr");
        if (options.stdin_fd >= 0) {
            if (::dup2(options.stdin_fd, STDIN_FILENO) < 0) child_fail("cannot redirect stdin");
        } else if (!options.stdin_path.empty()) {
            const int in = ::open(options.stdin_path.c_str(), O_RDONLY);
            if (in < 0 || ::dup2(in, STDIN_FILENO) < 0) child_fail("cannot redirect stdin");
        }
        int out = -1;
        switch (options.stdout_mode) {
        case StdoutMode::file: out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644); break;
        case StdoutMode::dev_full: out = ::open("/dev/full", O_WRONLY); break;
        case StdoutMode::reader_quits: out = pipe_fds[1]; ::close(pipe_fds[0]); break;
        case StdoutMode::path: out = ::open(options.stdout_path.c_str(), O_WRONLY | O_CREAT, 0644); break;
        case StdoutMode::closed: break;
        }
        if (options.stdout_mode == StdoutMode::closed) {
            ::close(STDOUT_FILENO);
        } else if (out < 0 || ::dup2(out, STDOUT_FILENO) < 0) {
            child_fail("cannot redirect stdout");
        }
        if (options.terminal != Terminal::none) {
            const int target = options.terminal == Terminal::stdout_stream ? STDOUT_FILENO : STDERR_FILENO;
            if (::dup2(pty_slave, target) < 0) child_fail("cannot redirect to the terminal");
            ::close(pty_master);
            ::close(pty_slave);
        }
        if (!options.cwd.empty() && ::chdir(options.cwd.c_str()) != 0) child_fail("cannot chdir");
        if (options.run_as_user) {
            const auto id = *options.run_as_user;
            if (::setgroups(0, nullptr) != 0 || ::setgid(id) != 0 || ::setuid(id) != 0)
                child_fail("cannot change user");
        }
        // Closed last, so that no descriptor opened above lands on it.
        if (options.stdin_fd < 0 && options.stdin_path.empty()) ::close(STDIN_FILENO);
        ::execv(argv[0], argv.data());
        child_fail("cannot exec the program");
    }

    if (options.stdout_mode == StdoutMode::reader_quits) {
        // Take one line, then close the pipe as `head -1` does.
        ::close(pipe_fds[1]);
        char ch = 0;
        while (::read(pipe_fds[0], &ch, 1) == 1 && ch != '\n') {}
        ::close(pipe_fds[0]);
    }

    std::string terminal_text;
    if (options.terminal != Terminal::none) {
        // Read until the program and its terminal are gone (EIO once the
        // last descriptor on the slave side is closed).
        ::close(pty_slave);
        char chunk[4096];
        for (;;) {
            const ssize_t got = ::read(pty_master, chunk, sizeof chunk);
            if (got > 0) {
                terminal_text.append(chunk, static_cast<std::size_t>(got));
            } else if (got == 0 || errno != EINTR) {
                break;
            }
        }
        ::close(pty_master);
    }

    int wait_status = 0;
    struct rusage usage = {};
    while (::wait4(pid, &wait_status, 0, &usage) < 0 && errno == EINTR) {}
    ToolRun run;
    run.max_rss_kib = usage.ru_maxrss;
    run.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
    if (options.stdout_mode == StdoutMode::file) run.out = slurp(out_path);
    if (options.stderr_path.empty()) run.err = slurp(err_path);
    if (options.terminal == Terminal::stdout_stream) run.out = terminal_text;
    if (options.terminal == Terminal::stderr_stream) run.err = terminal_text;
    return run;
}

} // namespace strmfix::testing
