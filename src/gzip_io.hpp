// gzip streams in the byte I/O layer: an input that starts with the gzip
// magic bytes is inflated on the fly, and an output can be deflated on its
// way to its descriptor. Both keep memory constant whatever the file size.
//
// A GDSII stream starts with its HEADER record (0x00 0x06 0x00 0x02), so the
// magic bytes 0x1F 0x8B cannot be taken for one.
#pragma once

#include "file_io.hpp"
#include "record_copier.hpp"

#include <cstdint>
#include <memory>

namespace strmfix {

inline constexpr std::size_t gzip_buffer_size = 256 * 1024;

// What went wrong in a gzip input; read() then fails with EBADMSG, or ENOMEM.
enum class GzipFault : std::uint8_t {
    none,
    corrupt,     // inflate rejected the data (bad header, bad block, bad CRC or length)
    ends_early,  // the input ends inside a member
    trailing,    // data after a member that is neither a member nor zero padding
};

// Serves `inner` as it stands, or inflated when it starts with the gzip
// magic. Concatenated members are read through; zero bytes after the last
// member (padding to a block size) are ignored, as gzip does.
class GzipSource final : public ByteSource {
public:
    explicit GzipSource(ByteSource& inner);
    ~GzipSource();
    GzipSource(const GzipSource&) = delete;
    GzipSource& operator=(const GzipSource&) = delete;

    IoResult read(std::span<std::byte> into) override;

    // Known once the first read has looked at the input.
    bool compressed() const noexcept { return mode_ == Mode::inflate; }
    GzipFault fault() const noexcept { return fault_; }
    // Compressed bytes handed to inflate so far: where a fault was seen.
    std::uint64_t compressed_offset() const noexcept { return compressed_offset_; }

private:
    enum class Mode : std::uint8_t { undecided, raw, inflate };
    enum class Between : std::uint8_t { in_member, after_member, zero_padding };

    IoResult detect(std::span<std::byte> into);
    IoResult inflate_into(std::span<std::byte> into);
    int refill();
    IoResult fail(GzipFault fault, int error);

    ByteSource& inner_;
    Mode mode_ = Mode::undecided;
    Between between_ = Between::in_member;
    bool inner_ended_ = false;
    GzipFault fault_ = GzipFault::none;
    int pending_error_ = 0; // reported by the read after the one that made output
    std::uint64_t compressed_offset_ = 0;
    std::unique_ptr<std::byte[]> in_;
    std::size_t in_begin_ = 0; // unread input is in_[in_begin_, in_end_)
    std::size_t in_end_ = 0;
    struct Stream;
    std::unique_ptr<Stream> stream_;
};

// Deflates what it is given, at zlib's default level, into one gzip member
// passed on to `inner`; closing finishes the member and closes `inner`.
// Under a ThreadedSink the compression runs on the writer thread, beside the
// reading and the walk.
class GzipWriter final : public ByteWriter {
public:
    explicit GzipWriter(ByteWriter& inner);
    ~GzipWriter();
    GzipWriter(const GzipWriter&) = delete;
    GzipWriter& operator=(const GzipWriter&) = delete;

    int write(std::span<const std::byte> bytes) override;
    int close() override;

private:
    int deflate_all(const std::byte* begin, std::size_t size, int flush);

    ByteWriter& inner_;
    std::unique_ptr<std::byte[]> out_;
    struct Stream;
    std::unique_ptr<Stream> stream_;
    int error_ = 0; // zlib init failure or first write error, sticky
};

} // namespace strmfix
