#include "progress.hpp"

#include <cstdio>

namespace strmfix {

std::string human_size(double bytes) {
    static constexpr const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    std::size_t unit = 0;
    while (bytes >= 1024 && unit + 1 < std::size(units)) {
        bytes /= 1024;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, units[unit]);
    return text;
}

std::string progress_text(std::uint64_t read, std::uint64_t total, bool compressed, double seconds,
                          std::uint64_t repairs) {
    std::string text = "strmfix: " + human_size(static_cast<double>(read));
    if (total > 0) text += " of " + human_size(static_cast<double>(total));
    text += compressed ? " compressed read" : " read";
    if (total > 0) text += " (" + std::to_string(read * 100 / total) + "%)";
    if (seconds > 0) text += ", " + human_size(static_cast<double>(read) / seconds) + "/s";
    text += ", " + std::to_string(repairs) + (repairs == 1 ? " repair" : " repairs");
    return text;
}

ProgressLine::ProgressLine(int fd, std::uint64_t total, TextOutput* shared)
    : fd_(fd), total_(total), shared_(shared) {}

void ProgressLine::write_raw(std::string_view text) {
    // A terminal that fails to take the line must not stop the run.
    (void)write_all(fd_, reinterpret_cast<const std::byte*>(text.data()), text.size());
}

void ProgressLine::tick() {
    const auto now = ProgressClock::now();
    if (now < next_draw_) return;
    next_draw_ = now + period;
    if (shared_ != nullptr) {
        erase();
        shared_->flush();
    }
    const double seconds = std::chrono::duration<double>(now - start_).count();
    const bool compressed = decoder_ != nullptr && decoder_->compressed();
    // Cleared to the end of the line, in case the last one was longer.
    std::string line = "\r";
    line.append(progress_text(read_, total_, compressed, seconds, repairs_)).append("\x1b[K");
    write_raw(line);
    drawn_ = true;
}

void ProgressLine::erase() {
    if (!drawn_) return;
    write_raw("\r\x1b[K");
    drawn_ = false;
}

} // namespace strmfix
