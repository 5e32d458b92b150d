#include "file_io.hpp"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace strmfix {

int write_all(int fd, const std::byte* data, std::size_t size) {
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return 0;
}

// Whether `path` names the FIFO that standard input already reads from, as
// /dev/stdin does under `strmfix /dev/stdin OUT < fifo`.
static bool names_standard_input_fifo(const char* path) {
    struct stat named = {}, standard_input = {};
    return ::stat(path, &named) == 0 && S_ISFIFO(named.st_mode) &&
           ::fstat(STDIN_FILENO, &standard_input) == 0 && named.st_dev == standard_input.st_dev &&
           named.st_ino == standard_input.st_ino;
}

OpenedFile open_input(const char* path) {
    OpenedFile file;
    // Opening a FIFO again waits for a writer; the one that filled it may have
    // finished and gone, so it is read through standard input's descriptor.
    file.fd = names_standard_input_fifo(path) ? ::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 0)
                                              : ::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (file.fd < 0) {
        file.error = errno;
        return file;
    }
    if (::fstat(file.fd, &file.status) != 0 || S_ISDIR(file.status.st_mode)) {
        file.error = S_ISDIR(file.status.st_mode) ? EISDIR : errno;
        ::close(file.fd);
        file.fd = -1;
    }
    return file;
}

OpenedFile open_output(const char* path, const struct stat& input) {
    OpenedFile file;
    // No O_TRUNC: the file is emptied only once it is known not to be the input.
    file.fd = ::open(path, O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY, 0666);
    if (file.fd < 0) {
        file.error = errno;
        return file;
    }
    if (::fstat(file.fd, &file.status) != 0) {
        file.error = errno;
    } else if (file.status.st_dev == input.st_dev && file.status.st_ino == input.st_ino) {
        file.same_as_input = true;
    } else if (S_ISREG(file.status.st_mode) && ::ftruncate(file.fd, 0) != 0) {
        file.error = errno;
    }
    if (file.error != 0 || file.same_as_input) {
        ::close(file.fd);
        file.fd = -1;
    }
    return file;
}

IoResult FdSource::read(std::span<std::byte> into) {
    for (;;) {
        const ssize_t got = ::read(fd_, into.data(), into.size());
        if (got >= 0) return {static_cast<std::size_t>(got), 0};
        if (errno != EINTR) return {0, errno};
    }
}

FdWriter::~FdWriter() {
    if (fd_ >= 0) ::close(fd_);
}

int FdWriter::write(std::span<const std::byte> bytes) {
    return write_all(fd_, bytes.data(), bytes.size());
}

int FdWriter::close() {
    const int fd = fd_;
    fd_ = -1;
    // close() reports the errors of file systems that write late (NFS, quotas).
    return ::close(fd) == 0 ? 0 : errno;
}

TextOutput::TextOutput(int fd, std::size_t capacity)
    : fd_(fd), buffer_(std::make_unique_for_overwrite<char[]>(capacity)), capacity_(capacity) {}

void TextOutput::write(std::string_view text) {
    if (error_ != 0) return;
    if (size_ + text.size() > capacity_) {
        if (flush() != 0) return;
        if (text.size() > capacity_) {
            error_ = write_all(fd_, reinterpret_cast<const std::byte*>(text.data()), text.size());
            return;
        }
    }
    std::memcpy(buffer_.get() + size_, text.data(), text.size());
    size_ += text.size();
}

int TextOutput::flush() {
    if (error_ == 0 && size_ > 0)
        error_ = write_all(fd_, reinterpret_cast<const std::byte*>(buffer_.get()), size_);
    size_ = 0;
    return error_;
}

} // namespace strmfix
