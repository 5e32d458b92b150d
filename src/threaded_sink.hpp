// Output written on a second thread, so that writing overlaps reading and
// the record walk: a copy then costs about the longer of the two, not their
// sum.
#pragma once

#include "file_io.hpp"
#include "record_copier.hpp"

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace strmfix {

inline constexpr std::size_t default_ring_blocks = 8;

// Lends the blocks of a small ring in turn; a writer thread writes each
// submitted block while the walk goes on in the next ones. The first write
// error sticks: nothing after it is written, what was written before stays,
// and submit and finish return it. If no thread can be started, each block
// is written in submit.
class ThreadedSink final : public BlockSink {
public:
    ThreadedSink(ByteWriter& output, std::size_t block_size = default_block_size,
                 std::size_t ring_blocks = default_ring_blocks);
    ~ThreadedSink();
    ThreadedSink(const ThreadedSink&) = delete;
    ThreadedSink& operator=(const ThreadedSink&) = delete;

    Block acquire() override;
    int submit(const std::byte* begin, const std::byte* end) override;
    int finish() override;

private:
    struct Slot {
        std::byte* data;
        const std::byte* out_begin = nullptr;
        const std::byte* out_end = nullptr;
    };

    void run_writer();
    // Writes the oldest submitted block, unlocking around the write.
    void write_next(std::unique_lock<std::mutex>& lock);
    void stop_writer();

    ByteWriter& output_;
    std::size_t block_size_;
    std::size_t resume_at_; // blocks still to write when a waiting walk resumes
    std::unique_ptr<std::byte[]> storage_;
    std::vector<Slot> slots_;

    std::mutex mutex_;
    std::condition_variable submitted_wake_; // a block for the writer, or the end
    std::condition_variable written_wake_;   // a block free again
    // Blocks counted since the start; slot i % ring size holds block i.
    std::uint64_t submitted_ = 0;
    std::uint64_t written_ = 0;
    bool finishing_ = false;
    int write_error_ = 0;
    std::thread writer_;
};

} // namespace strmfix
