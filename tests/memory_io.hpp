// In-memory input and output for driving run_copy in tests: the input comes
// in slices of chosen sizes, so records and words straddle block boundaries.
#pragma once

#include "file_io.hpp"
#include "record_copier.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <vector>

namespace strmfix::testing {

using Bytes = std::vector<std::uint8_t>;

inline Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

// Serves the input in slices whose sizes cycle through `slices`; can fail
// with EIO once `fail_after` bytes have been served.
class SlicedSource final : public ByteSource {
public:
    SlicedSource(const Bytes& input, std::vector<std::size_t> slices,
                 std::size_t fail_after = SIZE_MAX)
        : input_(input), slices_(std::move(slices)), fail_after_(fail_after) {}

    IoResult read(std::span<std::byte> into) override {
        if (position_ >= fail_after_) return {0, EIO};
        const std::size_t slice = slices_[next_slice_++ % slices_.size()];
        const std::size_t count = std::min({slice, into.size(), input_.size() - position_,
                                            fail_after_ - position_});
        // An empty input's data() may be null, which memcpy must not get.
        if (count > 0) std::memcpy(into.data(), input_.data() + position_, count);
        position_ += count;
        return {count, 0};
    }

private:
    const Bytes& input_;
    std::vector<std::size_t> slices_;
    std::size_t fail_after_;
    std::size_t position_ = 0;
    std::size_t next_slice_ = 0;
};

// Collects the output; can fail with ENOSPC once `fail_after` bytes are in.
class MemorySink final : public BlockSink {
public:
    explicit MemorySink(std::size_t block_size, std::size_t fail_after = SIZE_MAX)
        : buffer_(block_headroom + block_size), fail_after_(fail_after) {}

    Block acquire() override { return {buffer_.data() + block_headroom, buffer_.size() - block_headroom}; }

    int submit(const std::byte* begin, const std::byte* end) override {
        const auto size = static_cast<std::size_t>(end - begin);
        if (output.size() + size > fail_after_) return ENOSPC;
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(begin);
        output.insert(output.end(), bytes, bytes + size);
        return 0;
    }

    int finish() override {
        ++finish_calls;
        return 0;
    }

    Bytes output;
    int finish_calls = 0;

private:
    std::vector<std::byte> buffer_;
    std::size_t fail_after_;
};

// Collects what a sink writes (under ThreadedSink, on its writer thread); can fail with ENOSPC once
// `fail_after` bytes are in, and counts the writes tried after a failure.
class MemoryWriter final : public ByteWriter {
public:
    explicit MemoryWriter(std::size_t fail_after = SIZE_MAX, int close_error = 0)
        : fail_after_(fail_after), close_error_(close_error) {}

    int write(std::span<const std::byte> bytes) override {
        if (failed_) ++writes_after_failure;
        if (output.size() + bytes.size() > fail_after_) {
            failed_ = true;
            return ENOSPC;
        }
        const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data());
        output.insert(output.end(), data, data + bytes.size());
        return 0;
    }

    int close() override {
        ++close_calls;
        return close_error_;
    }

    Bytes output;
    int close_calls = 0;
    int writes_after_failure = 0;

private:
    std::size_t fail_after_;
    int close_error_;
    bool failed_ = false;
};

class RecordingListener final : public RepairListener {
public:
    void repaired(const Repair& repair) override { repairs.push_back(repair); }
    std::vector<Repair> repairs;
};

} // namespace strmfix::testing
