#include "gzip_io.hpp"

#include "file_io.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <unistd.h>
#include <zlib.h>

namespace strmfix {

namespace {

// windowBits 15 with 16 added: a gzip wrapper, not a zlib one.
constexpr int gzip_window_bits = 15 + 16;
constexpr std::byte gzip_magic_0{0x1F};
constexpr std::byte gzip_magic_1{0x8B};

Bytef* bytes(std::byte* p) noexcept { return reinterpret_cast<Bytef*>(p); }
// zlib's next_in is not const before 1.2.9's ZLIB_CONST; it is only read.
Bytef* bytes(const std::byte* p) noexcept { return reinterpret_cast<Bytef*>(const_cast<std::byte*>(p)); }

} // namespace

struct GzipSource::Stream {
    z_stream z = {};
    bool ready = false;
    ~Stream() {
        if (ready) inflateEnd(&z);
    }
};

GzipSource::GzipSource(ByteSource& inner) : inner_(inner), stream_(std::make_unique<Stream>()) {}

GzipSource::~GzipSource() = default;

IoResult GzipSource::read(std::span<std::byte> into) {
    switch (mode_) {
    case Mode::undecided:
        return detect(into);
    case Mode::raw:
        if (in_begin_ != in_end_) {
            // The bytes read to look for the magic come first.
            const std::size_t count = std::min(into.size(), in_end_ - in_begin_);
            std::memcpy(into.data(), in_.get() + in_begin_, count);
            in_begin_ += count;
            return {count, 0};
        }
        return inner_.read(into);
    case Mode::inflate:
        return inflate_into(into);
    }
    return {0, EINVAL};
}

IoResult GzipSource::detect(std::span<std::byte> into) {
    in_ = std::make_unique_for_overwrite<std::byte[]>(gzip_buffer_size);
    while (in_end_ < 2) {
        const IoResult got = inner_.read({in_.get() + in_end_, gzip_buffer_size - in_end_});
        if (got.error != 0) return got;
        if (got.count == 0) break;
        in_end_ += got.count;
    }
    if (in_end_ >= 2 && in_[0] == gzip_magic_0 && in_[1] == gzip_magic_1) {
        if (inflateInit2(&stream_->z, gzip_window_bits) != Z_OK) return {0, ENOMEM};
        stream_->ready = true;
        mode_ = Mode::inflate;
        between_ = Between::after_member; // the first member starts here
    } else {
        mode_ = Mode::raw;
    }
    return read(into);
}

int GzipSource::refill() {
    in_begin_ = in_end_ = 0;
    const IoResult got = inner_.read({in_.get(), gzip_buffer_size});
    in_end_ = got.count;
    if (got.error == 0 && got.count == 0) inner_ended_ = true;
    return got.error;
}

IoResult GzipSource::fail(GzipFault fault, int error) {
    fault_ = fault;
    pending_error_ = error;
    return {0, error};
}

IoResult GzipSource::inflate_into(std::span<std::byte> into) {
    if (pending_error_ != 0) return {0, pending_error_};
    z_stream& z = stream_->z;
    z.next_out = bytes(into.data());
    z.avail_out = static_cast<uInt>(std::min<std::size_t>(into.size(), UINT32_MAX));
    const uInt out_size = z.avail_out;
    IoResult stop = {};
    while (z.avail_out > 0) {
        if (in_begin_ == in_end_) {
            if (!inner_ended_) {
                if (const int error = refill()) {
                    stop = {0, error};
                    break;
                }
            }
            if (inner_ended_) {
                if (between_ == Between::in_member) stop = fail(GzipFault::ends_early, EBADMSG);
                break;
            }
        }
        if (between_ == Between::after_member) {
            if (in_[in_begin_] == gzip_magic_0) {
                inflateReset(&z);
                between_ = Between::in_member;
            } else if (in_[in_begin_] == std::byte{0}) {
                between_ = Between::zero_padding;
            } else {
                stop = fail(GzipFault::trailing, EBADMSG);
                break;
            }
        }
        if (between_ == Between::zero_padding) {
            const std::byte* begin = in_.get() + in_begin_;
            const std::byte* end = in_.get() + in_end_;
            const std::byte* nonzero = std::find_if(begin, end, [](std::byte b) { return b != std::byte{0}; });
            in_begin_ += static_cast<std::size_t>(nonzero - begin);
            compressed_offset_ += static_cast<std::uint64_t>(nonzero - begin);
            if (nonzero != end) {
                stop = fail(GzipFault::trailing, EBADMSG);
                break;
            }
            continue;
        }
        z.next_in = bytes(in_.get() + in_begin_);
        z.avail_in = static_cast<uInt>(in_end_ - in_begin_);
        const int rc = inflate(&z, Z_NO_FLUSH);
        const std::size_t consumed = in_end_ - in_begin_ - z.avail_in;
        in_begin_ += consumed;
        compressed_offset_ += consumed;
        if (rc == Z_STREAM_END) {
            // The next member, padding or the end may follow in the same buffer.
            between_ = Between::after_member;
        } else if (rc == Z_MEM_ERROR) {
            stop = fail(GzipFault::none, ENOMEM);
            break;
        } else if (rc != Z_OK && rc != Z_BUF_ERROR) {
            stop = fail(GzipFault::corrupt, EBADMSG);
            break;
        }
    }
    const std::size_t produced = out_size - z.avail_out;
    if (produced > 0) {
        // What was inflated before a fault reaches the output; the fault is
        // reported by the next read.
        if (stop.error != 0) pending_error_ = stop.error;
        return {produced, 0};
    }
    return stop;
}

struct GzipWriter::Stream {
    z_stream z = {};
    bool ready = false;
    void end() {
        if (ready) deflateEnd(&z);
        ready = false;
    }
    ~Stream() { end(); }
};

GzipWriter::GzipWriter(ByteWriter& inner)
    : inner_(inner), out_(std::make_unique_for_overwrite<std::byte[]>(gzip_buffer_size)),
      stream_(std::make_unique<Stream>()) {
    if (deflateInit2(&stream_->z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, gzip_window_bits, 8,
                     Z_DEFAULT_STRATEGY) == Z_OK) {
        stream_->ready = true;
    } else {
        error_ = ENOMEM;
    }
}

GzipWriter::~GzipWriter() = default;

int GzipWriter::deflate_all(const std::byte* begin, std::size_t size, int flush) {
    z_stream& z = stream_->z;
    z.next_in = bytes(begin);
    z.avail_in = static_cast<uInt>(size);
    int rc = Z_OK;
    do {
        z.next_out = bytes(out_.get());
        z.avail_out = static_cast<uInt>(gzip_buffer_size);
        rc = deflate(&z, flush);
        if (rc == Z_STREAM_ERROR) return EINVAL;
        const std::size_t have = gzip_buffer_size - z.avail_out;
        if (have > 0) {
            if (const int error = inner_.write({out_.get(), have})) return error;
        }
    } while (z.avail_out == 0 || (flush == Z_FINISH && rc != Z_STREAM_END));
    return 0;
}

int GzipWriter::write(std::span<const std::byte> bytes) {
    if (error_ == 0) error_ = deflate_all(bytes.data(), bytes.size(), Z_NO_FLUSH);
    return error_;
}

int GzipWriter::close() {
    if (error_ == 0) error_ = deflate_all(nullptr, 0, Z_FINISH);
    stream_->end();
    const int close_error = inner_.close();
    if (error_ == 0) error_ = close_error;
    return error_;
}

} // namespace strmfix
