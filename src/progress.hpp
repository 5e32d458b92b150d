// The progress line of the command line: shown on a terminal's standard
// error once a run has lasted a while, redrawn a few times a second, erased
// at the end. The input reaches it through ProgressSource, which counts the
// bytes read from the file as it stands (compressed bytes for a gzip input).
#pragma once

#include "file_io.hpp"
#include "gzip_io.hpp"
#include "record_copier.hpp"

#include <chrono>
#include <cstdint>
#include <string>

namespace strmfix {

using ProgressClock = std::chrono::steady_clock;

// "1.5 MiB", "312 B": sizes as people read them.
std::string human_size(double bytes);

// The text of the line, e.g. "strmfix: 12.0 MiB of 48.0 MiB read (25%), 6.0 MiB/s, 3 repairs".
// `total` is 0 when the input size is unknown.
std::string progress_text(std::uint64_t read, std::uint64_t total, bool compressed, double seconds,
                          std::uint64_t repairs);

class ProgressLine {
public:
    static constexpr auto delay = std::chrono::seconds(2);
    static constexpr auto period = std::chrono::milliseconds(250);

    // `shared` is text buffered for the same descriptor (notices sent to
    // standard error); it is flushed on a clean line before each redraw.
    ProgressLine(int fd, std::uint64_t total, TextOutput* shared);

    void add_read(std::uint64_t count) noexcept { read_ += count; }
    void add_repair() noexcept { ++repairs_; }
    // Once set, the line says whether the bytes counted are compressed ones.
    void watch(const GzipSource& decoder) noexcept { decoder_ = &decoder; }

    // Looks at the clock; redraws when the line is due.
    void tick();
    // Clears the line, if drawn, so that other text starts on a clean line.
    void erase();

private:
    void write_raw(std::string_view text);

    int fd_;
    std::uint64_t total_;
    TextOutput* shared_;
    ProgressClock::time_point start_ = ProgressClock::now();
    ProgressClock::time_point next_draw_ = start_ + delay;
    std::uint64_t read_ = 0;
    std::uint64_t repairs_ = 0;
    const GzipSource* decoder_ = nullptr;
    bool drawn_ = false;
};

// Counts what `inner` reads and lets the line look at the clock once per read.
class ProgressSource final : public ByteSource {
public:
    ProgressSource(ByteSource& inner, ProgressLine& line) noexcept : inner_(inner), line_(line) {}

    IoResult read(std::span<std::byte> into) override {
        const IoResult got = inner_.read(into);
        line_.add_read(got.count);
        line_.tick();
        return got;
    }

private:
    ByteSource& inner_;
    ProgressLine& line_;
};

} // namespace strmfix
