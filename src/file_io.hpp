// Byte I/O over file descriptors: opening the run's files, block reads and
// writes that retry short transfers and EINTR, and buffered text output.
#pragma once

#include "record_copier.hpp"

#include <cstddef>
#include <memory>
#include <span>
#include <string_view>

#include <sys/stat.h>

namespace strmfix {

inline constexpr std::size_t default_block_size = 256 * 1024;

// Writes all of [data, data + size); returns errno, or 0 once all is out.
int write_all(int fd, const std::byte* data, std::size_t size);

struct OpenedFile {
    int fd = -1;
    int error = 0;              // errno when fd is -1
    bool same_as_input = false; // the output names the input file
    struct stat status = {};
};

// Opens a file to read records from. A directory is refused with EISDIR.
OpenedFile open_input(const char* path);

// Opens the output for writing, creating it if need be. A path that reaches
// the input file (by any name or link) is refused before anything is
// truncated; an existing regular file is then emptied.
OpenedFile open_output(const char* path, const struct stat& input);

class FdSource final : public ByteSource {
public:
    explicit FdSource(int fd) noexcept : fd_(fd) {}
    IoResult read(std::span<std::byte> into) override;

private:
    int fd_;
};

// Output written in whole spans, then closed: where a ThreadedPipe writes.
class ByteWriter {
public:
    // Writes all of `bytes`; returns errno or 0.
    virtual int write(std::span<const std::byte> bytes) = 0;
    // Returns errno or 0; called once, after the last write.
    virtual int close() = 0;

protected:
    ~ByteWriter() = default;
};

// Owns the descriptor and closes it (at the latest when destroyed).
class FdWriter final : public ByteWriter {
public:
    explicit FdWriter(int fd) noexcept : fd_(fd) {}
    ~FdWriter();
    FdWriter(const FdWriter&) = delete;
    FdWriter& operator=(const FdWriter&) = delete;

    int write(std::span<const std::byte> bytes) override;
    int close() override;

private:
    int fd_;
};

// Buffered text on a descriptor. The first write error sticks: later text is
// dropped, so a closed reader never stops the run that produces the text.
class TextOutput {
public:
    explicit TextOutput(int fd, std::size_t capacity = 64 * 1024);

    void write(std::string_view text);
    // Flushes what is buffered; returns the first write error, or 0.
    int flush();
    int error() const noexcept { return error_; }
    // Marks the descriptor as unusable (closed when the program started).
    void fail(int error) noexcept { error_ = error; }

private:
    int fd_;
    std::unique_ptr<char[]> buffer_;
    std::size_t capacity_;
    std::size_t size_ = 0;
    int error_ = 0;
};

} // namespace strmfix
