#include "threaded_sink.hpp"

#include <system_error>

namespace strmfix {

ThreadedSink::ThreadedSink(ByteWriter& output, std::size_t block_size, std::size_t ring_blocks)
    : output_(output), block_size_(block_size), resume_at_(ring_blocks / 2),
      storage_(std::make_unique_for_overwrite<std::byte[]>((block_headroom + block_size) * ring_blocks)) {
    for (std::size_t i = 0; i < ring_blocks; ++i)
        slots_.push_back({storage_.get() + i * (block_headroom + block_size) + block_headroom});
    try {
        writer_ = std::thread([this] { run_writer(); });
    } catch (const std::system_error&) {
        // No thread to be had (a process limit): submit writes each block.
    }
}

ThreadedSink::~ThreadedSink() { stop_writer(); }

void ThreadedSink::stop_writer() {
    if (!writer_.joinable()) return;
    {
        const std::lock_guard lock(mutex_);
        finishing_ = true;
    }
    submitted_wake_.notify_one();
    writer_.join();
}

void ThreadedSink::write_next(std::unique_lock<std::mutex>& lock) {
    const Slot& slot = slots_[written_ % slots_.size()];
    if (write_error_ == 0) {
        lock.unlock();
        const int error = output_.write({slot.out_begin, slot.out_end});
        lock.lock();
        write_error_ = error;
    }
    ++written_;
}

void ThreadedSink::run_writer() {
    std::unique_lock lock(mutex_);
    for (;;) {
        submitted_wake_.wait(lock, [this] { return submitted_ > written_ || finishing_; });
        if (submitted_ == written_) return; // finishing, and all is written
        write_next(lock);
        if (submitted_ - written_ <= resume_at_) written_wake_.notify_one();
    }
}

Block ThreadedSink::acquire() {
    std::unique_lock lock(mutex_);
    // A full ring is left to drain to half before the walk goes on: one
    // wakeup per half ring rather than one per block.
    if (submitted_ - written_ == slots_.size())
        written_wake_.wait(lock, [this] { return submitted_ - written_ <= resume_at_; });
    return {slots_[submitted_ % slots_.size()].data, block_size_};
}

int ThreadedSink::submit(const std::byte* begin, const std::byte* end) {
    std::unique_lock lock(mutex_);
    Slot& slot = slots_[submitted_ % slots_.size()];
    slot.out_begin = begin;
    slot.out_end = end;
    ++submitted_;
    if (writer_.joinable()) {
        lock.unlock();
        submitted_wake_.notify_one();
        lock.lock();
    } else {
        write_next(lock);
    }
    return write_error_;
}

int ThreadedSink::finish() {
    stop_writer();
    const int close_error = output_.close();
    return write_error_ != 0 ? write_error_ : close_error;
}

} // namespace strmfix
