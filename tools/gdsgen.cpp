// gdsgen - writes a random but deterministic GDSII library twice: once with
// sound COLROW records (8 bytes) and once with defective ones (length word 8
// but 4-byte counts, 12 bytes). Apart from those records the two files are
// byte-identical, so a repaired defective file can be compared with the
// sound one directly.

#include "gds_writer.hpp"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <numbers>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>

#include <sys/stat.h>

namespace {

constexpr const char* kUsage =
    "usage: gdsgen [--sound FILE] [--defective FILE] [--seed N] [--size BYTES[K|M|G]] [--aref-every N] "
    "[--max-count N] [--elements-per-structure N] [--pad] [--count-arefs]";

// The first structure has nothing earlier to reference; keeping it small
// lets SREFs and AREFs start early even in small files.
constexpr std::uint64_t kFirstStructureElements = 16;

// AREF lattices are kept within this extent so that nested arrays stay far
// from the 32-bit coordinate limit.
constexpr std::int64_t kArefExtent = 20'000'000;
constexpr std::int32_t kPlacementRange = 1'000'000;

// splitmix64: small, fast and identical on every platform, unlike the
// standard distributions.
struct Rng {
    std::uint64_t state;
    std::uint64_t next() {
        std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    std::uint64_t below(std::uint64_t n) { return next() % n; }  // n > 0
    std::int64_t range(std::int64_t lo, std::int64_t hi) {      // inclusive
        return lo + static_cast<std::int64_t>(below(static_cast<std::uint64_t>(hi - lo) + 1));
    }
    std::int32_t coord(std::int32_t lo, std::int32_t hi) { return static_cast<std::int32_t>(range(lo, hi)); }
    std::int16_t small(std::int16_t lo, std::int16_t hi) { return static_cast<std::int16_t>(range(lo, hi)); }
};

// Buffered output that also counts bytes, so the size of a form is known
// even when that form is not being written.
class FileOut {
public:
    static constexpr std::size_t kBufferSize = 1 << 20;

    bool open(const char* path) {
        path_ = path;
        f_ = std::fopen(path, "wb");
        if (!f_) {
            err_ = errno;
            return false;
        }
        std::setvbuf(f_, nullptr, _IONBF, 0);  // we buffer ourselves
        buf_ = std::make_unique<std::uint8_t[]>(kBufferSize);
        return true;
    }

    void put(const std::uint8_t* p, std::size_t n) {
        total_ += n;
        if (!f_ || err_) return;
        if (n > kBufferSize - used_) flush();
        if (n >= kBufferSize) {
            write(p, n);
            return;
        }
        std::memcpy(buf_.get() + used_, p, n);
        used_ += n;
    }

    // Flushes and closes; false if any write or the close failed.
    bool finish() {
        if (!f_) return err_ == 0;
        flush();
        if (std::fclose(f_) != 0 && !err_) err_ = errno ? errno : EIO;
        f_ = nullptr;
        return err_ == 0;
    }

    bool failed() const { return err_ != 0; }
    std::uint64_t total() const { return total_; }
    void report() const { std::fprintf(stderr, "gdsgen: %s: %s\n", path_.c_str(), std::strerror(err_)); }

    ~FileOut() {
        if (f_) std::fclose(f_);
    }

private:
    void flush() {
        if (used_) write(buf_.get(), used_);
        used_ = 0;
    }
    void write(const std::uint8_t* p, std::size_t n) {
        if (err_) return;
        errno = 0;
        if (std::fwrite(p, 1, n, f_) != n) err_ = errno ? errno : EIO;
    }

    std::string path_;
    std::FILE* f_ = nullptr;
    std::unique_ptr<std::uint8_t[]> buf_;
    std::size_t used_ = 0;
    std::uint64_t total_ = 0;
    int err_ = 0;
};

// Everything but COLROW goes to both forms through this sink.
struct BothForms {
    FileOut& sound;
    FileOut& defective;
    void put(const std::uint8_t* p, std::size_t n) {
        sound.put(p, n);
        defective.put(p, n);
    }
};

struct Options {
    const char* sound = nullptr;
    const char* defective = nullptr;
    std::uint64_t seed = 1;
    std::uint64_t size = 64 * 1024;
    std::uint64_t aref_every = 200;
    std::uint64_t max_count = 65535;
    std::uint64_t elements_per_structure = 500;
    bool pad = false;
    bool count_arefs = false;
};

// Unit circle at n equal angles, so that boundaries are star-shaped around
// their centre and therefore never self-intersect.
struct Directions {
    static constexpr int kMin = 4, kMax = 19;
    double c[kMax + 1][kMax];
    double s[kMax + 1][kMax];
    Directions() {
        for (int n = kMin; n <= kMax; ++n)
            for (int i = 0; i < n; ++i) {
                const double a = 2 * std::numbers::pi * (i + 0.5) / n;
                c[n][i] = std::cos(a);
                s[n][i] = std::sin(a);
            }
    }
};

// Every random draw is its own statement: compilers evaluate function
// arguments in different orders, and the output must not depend on the
// compiler.
class Generator {
public:
    Generator(const Options& opt, FileOut& sound, FileOut& defective)
        : opt_(opt), rng_{opt.seed}, sound_(sound), defective_(defective), both_{sound, defective} {}

    std::uint64_t arefs() const { return arefs_; }

    // Returns false as soon as a write failed, to stop early on a full disk.
    bool run() {
        gdsgen::begin_library(both_, "GDSGEN");
        // What still has to follow the current element: ENDSTR and ENDLIB.
        constexpr std::uint64_t kTail = 8;
        bool done = false;
        for (std::uint64_t s = 0; !done; ++s) {
            structure_name(s);
            gdsgen::begin_structure(both_, name_);
            const std::uint64_t n =
                s == 0 ? std::min(opt_.elements_per_structure, kFirstStructureElements) : opt_.elements_per_structure;
            for (std::uint64_t e = 0; e < n; ++e) {
                element(s);
                if (sound_.total() + kTail >= opt_.size) {
                    done = true;
                    break;
                }
            }
            gdsgen::end_structure(both_);
            if (sound_.failed() || defective_.failed()) return false;
        }
        gdsgen::end_library(both_);
        if (opt_.pad) {
            // The two forms differ in length, so each gets its own padding.
            gdsgen::write_padding(sound_, sound_.total());
            gdsgen::write_padding(defective_, defective_.total());
        }
        return true;
    }

private:
    void structure_name(std::uint64_t index) {
        char buf[32] = "CELL_";
        auto r = std::to_chars(buf + 5, buf + sizeof buf, index);
        name_.assign(buf, r.ptr);
    }
    std::string_view ref_name(std::uint64_t index) {
        auto r = std::to_chars(ref_buf_ + 5, ref_buf_ + sizeof ref_buf_, index);
        return {ref_buf_, static_cast<std::size_t>(r.ptr - ref_buf_)};
    }

    gdsgen::Point place() {
        return {rng_.coord(-kPlacementRange, kPlacementRange), rng_.coord(-kPlacementRange, kPlacementRange)};
    }

    void element(std::uint64_t s) {
        // Structure s may reference structures 0..s-1 only, so the hierarchy
        // is acyclic and every referenced name is already defined.
        if (opt_.aref_every != 0 && s > 0 && rng_.below(opt_.aref_every) == 0) {
            aref(s);
            return;
        }
        const auto r = rng_.below(100);
        if (r < 62 || (r >= 87 && s == 0))
            boundary();
        else if (r < 77)
            path();
        else if (r < 87)
            text();
        else
            sref(s);
    }

    void boundary() {
        const int n = static_cast<int>(rng_.range(Directions::kMin, Directions::kMax));
        const gdsgen::Point c = place();
        const double radius = static_cast<double>(rng_.range(50, 5000));
        gdsgen::Point v[Directions::kMax];
        for (int i = 0; i < n; ++i) {
            const double r = radius * (0.5 + static_cast<double>(rng_.below(1024)) / 1024.0);
            v[i] = {c.x + static_cast<std::int32_t>(std::lround(r * dirs_.c[n][i])),
                    c.y + static_cast<std::int32_t>(std::lround(r * dirs_.s[n][i]))};
        }
        const auto lay = layer();
        const auto dtype = datatype();
        gdsgen::write_boundary(both_, lay, dtype, std::span<const gdsgen::Point>(v, static_cast<std::size_t>(n)));
    }

    void path() {
        const int n = static_cast<int>(rng_.range(2, 8));
        gdsgen::Point v[8];
        v[0] = place();
        bool horizontal = rng_.below(2) == 0;
        for (int i = 1; i < n; ++i) {
            // Manhattan steps of non-zero length: no degenerate segments.
            std::int32_t d = rng_.coord(10, 2000);
            if (rng_.below(2)) d = -d;
            v[i] = horizontal ? gdsgen::Point{v[i - 1].x + d, v[i - 1].y} : gdsgen::Point{v[i - 1].x, v[i - 1].y + d};
            horizontal = !horizontal;
        }
        const auto pathtype = rng_.small(0, 2);
        const std::int32_t width = 2 * rng_.coord(1, 100);
        const auto lay = layer();
        const auto dtype = datatype();
        gdsgen::write_path(both_, lay, dtype, pathtype, width, std::span<const gdsgen::Point>(v, static_cast<std::size_t>(n)));
    }

    void text() {
        // Odd and even string lengths, so both NUL-padded and unpadded
        // STRING records occur.
        char buf[32] = "NET_";
        auto r = std::to_chars(buf + 4, buf + sizeof buf, rng_.below(1'000'000));
        const std::string_view str(buf, static_cast<std::size_t>(r.ptr - buf));
        const auto font = static_cast<unsigned>(rng_.below(4));
        const auto vjust = static_cast<unsigned>(rng_.below(3));
        const auto hjust = static_cast<unsigned>(rng_.below(3));
        const auto pres = gdsgen::presentation(font, vjust, hjust);
        std::optional<gdsgen::Strans> st;
        if (rng_.below(4) == 0) st = strans(true);
        const auto lay = layer();
        const auto texttype = rng_.small(0, 3);
        const auto pos = place();
        gdsgen::write_text(both_, lay, texttype, pos, str, pres, st);
    }

    void sref(std::uint64_t s) {
        const std::uint64_t target = rng_.below(s);
        std::optional<gdsgen::Strans> st;
        if (rng_.below(3) == 0) st = strans(true);
        gdsgen::write_sref(both_, ref_name(target), place(), st);
    }

    void aref(std::uint64_t s) {
        const std::uint64_t target = rng_.below(s);
        const auto cols = count();
        const auto rows = count();
        const gdsgen::Point origin = place();
        const gdsgen::Point col_step{step(cols), 0};
        const gdsgen::Point row_step{0, step(rows)};
        std::optional<gdsgen::Strans> st;
        // No magnification on arrays: keeps nested lattices bounded.
        if (rng_.below(5) == 0) st = strans(false);
        const std::string_view sname = ref_name(target);
        gdsgen::write_aref(sound_, sname, cols, rows, origin, col_step, row_step, gdsgen::ColrowForm::sound, st);
        gdsgen::write_aref(defective_, sname, cols, rows, origin, col_step, row_step, gdsgen::ColrowForm::defective,
                           st);
        ++arefs_;
    }

    // Mostly small arrays, as in real layouts, but regularly large ones, and
    // counts of 32768 and above (high bit set in the 16-bit word) whenever
    // --max-count allows them.
    std::uint32_t count() {
        const std::uint64_t max = opt_.max_count;
        const auto r = rng_.below(100);
        std::uint64_t lo = 1, hi = max;
        if (r < 70)
            hi = std::min<std::uint64_t>(max, 16);
        else if (r < 90)
            hi = std::min<std::uint64_t>(max, 1000);
        else if (r >= 95 && max >= 32768)
            lo = 32768;
        return static_cast<std::uint32_t>(rng_.range(static_cast<std::int64_t>(lo), static_cast<std::int64_t>(hi)));
    }

    std::int32_t step(std::uint32_t n) {
        const std::int64_t max = std::max<std::int64_t>(1, std::min<std::int64_t>(10'000, kArefExtent / n));
        return static_cast<std::int32_t>(rng_.range(1, max));
    }

    gdsgen::Strans strans(bool allow_mag) {
        gdsgen::Strans st;
        st.reflect = rng_.below(2) == 0;
        const auto a = rng_.below(4);
        if (a != 0 || rng_.below(2) == 0) st.angle = 90.0 * static_cast<double>(a);
        // Only 1 or 0.5: magnifying would let nested references outgrow
        // 32-bit coordinates.
        if (allow_mag && rng_.below(3) == 0) st.mag = rng_.below(2) ? 1.0 : 0.5;
        return st;
    }

    std::int16_t layer() { return rng_.small(1, 64); }
    std::int16_t datatype() { return rng_.small(0, 3); }

    const Options& opt_;
    Rng rng_;
    FileOut& sound_;
    FileOut& defective_;
    BothForms both_;
    Directions dirs_;
    std::string name_;
    char ref_buf_[32] = "CELL_";
    std::uint64_t arefs_ = 0;
};

bool parse_uint(std::string_view s, std::uint64_t& out) {
    if (s.empty() || s.front() < '0' || s.front() > '9') return false;
    auto r = std::from_chars(s.data(), s.data() + s.size(), out);
    return r.ec == std::errc{} && r.ptr == s.data() + s.size();
}

// Bytes, with an optional K, M or G suffix (powers of 1024).
bool parse_size(std::string_view s, std::uint64_t& out) {
    unsigned shift = 0;
    if (!s.empty()) {
        switch (s.back()) {
            case 'K': case 'k': shift = 10; break;
            case 'M': case 'm': shift = 20; break;
            case 'G': case 'g': shift = 30; break;
            default: break;
        }
        if (shift) s.remove_suffix(1);
    }
    std::uint64_t v = 0;
    if (!parse_uint(s, v)) return false;
    if (shift && v > (UINT64_MAX >> shift)) return false;
    out = v << shift;
    return true;
}

// Both forms may go to the same device (say /dev/null to time generation).
bool is_device(const char* path) {
    struct stat st;
    return ::stat(path, &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode);
}

int usage() {
    std::fprintf(stderr, "%s\n", kUsage);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (arg.substr(0, 2) != "--") return usage();
        std::string_view name = arg, value;
        bool has_value = false;
        if (auto eq = arg.find('='); eq != std::string_view::npos) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
            has_value = true;
        }
        if (name == "--pad" || name == "--count-arefs" || name == "--help") {
            if (has_value) return usage();
            if (name == "--pad") opt.pad = true;
            else if (name == "--count-arefs") opt.count_arefs = true;
            else {
                std::printf("%s\n", kUsage);
                return 0;
            }
            continue;
        }
        if (!has_value) {
            if (i + 1 >= argc) return usage();
            value = argv[++i];
        }
        bool ok = true;
        if (name == "--sound") {
            opt.sound = value.data();
            ok = !value.empty();
        } else if (name == "--defective") {
            opt.defective = value.data();
            ok = !value.empty();
        } else if (name == "--seed") {
            ok = parse_uint(value, opt.seed);
        } else if (name == "--size") {
            ok = parse_size(value, opt.size);
        } else if (name == "--aref-every") {
            ok = parse_uint(value, opt.aref_every);
        } else if (name == "--max-count") {
            ok = parse_uint(value, opt.max_count) && opt.max_count >= 1 && opt.max_count <= 65535;
        } else if (name == "--elements-per-structure") {
            ok = parse_uint(value, opt.elements_per_structure) && opt.elements_per_structure >= 1;
        } else {
            ok = false;
        }
        if (!ok) return usage();
    }
    if (!opt.sound && !opt.defective) return usage();
    if (opt.sound && opt.defective && std::strcmp(opt.sound, opt.defective) == 0 && !is_device(opt.sound))
        return usage();  // both forms into one file would interleave them

    FileOut sound, defective;
    if (opt.sound && !sound.open(opt.sound)) {
        sound.report();
        return 1;
    }
    if (opt.defective && !defective.open(opt.defective)) {
        defective.report();
        return 1;
    }

    Generator gen(opt, sound, defective);
    try {
        gen.run();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "gdsgen: %s\n", e.what());
        return 1;
    }
    const bool sound_ok = sound.finish();
    const bool defective_ok = defective.finish();
    if (!sound_ok) sound.report();
    if (!defective_ok) defective.report();
    if (!sound_ok || !defective_ok) return 1;

    if (opt.count_arefs) std::printf("%llu\n", static_cast<unsigned long long>(gen.arefs()));
    return 0;
}
