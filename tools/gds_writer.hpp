// gds_writer.hpp - minimal writer of GDSII stream records.
//
// Every function appends to an output that is either a
// std::vector<std::uint8_t> or any object with a member
// `put(const std::uint8_t*, std::size_t)` (a byte sink). All multi-byte
// values are big-endian, as the stream format requires.
#pragma once

#include <array>
#include <cmath>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <optional>
#include <span>
#include <stdexcept>
#include <string_view>
#include <vector>

namespace gdsgen {

// Record types (second byte of the record header).
namespace rec {
inline constexpr std::uint8_t HEADER = 0x00;
inline constexpr std::uint8_t BGNLIB = 0x01;
inline constexpr std::uint8_t LIBNAME = 0x02;
inline constexpr std::uint8_t UNITS = 0x03;
inline constexpr std::uint8_t ENDLIB = 0x04;
inline constexpr std::uint8_t BGNSTR = 0x05;
inline constexpr std::uint8_t STRNAME = 0x06;
inline constexpr std::uint8_t ENDSTR = 0x07;
inline constexpr std::uint8_t BOUNDARY = 0x08;
inline constexpr std::uint8_t PATH = 0x09;
inline constexpr std::uint8_t SREF = 0x0A;
inline constexpr std::uint8_t AREF = 0x0B;
inline constexpr std::uint8_t TEXT = 0x0C;
inline constexpr std::uint8_t LAYER = 0x0D;
inline constexpr std::uint8_t DATATYPE = 0x0E;
inline constexpr std::uint8_t WIDTH = 0x0F;
inline constexpr std::uint8_t XY = 0x10;
inline constexpr std::uint8_t ENDEL = 0x11;
inline constexpr std::uint8_t SNAME = 0x12;
inline constexpr std::uint8_t COLROW = 0x13;
inline constexpr std::uint8_t TEXTNODE = 0x14;
inline constexpr std::uint8_t NODE = 0x15;
inline constexpr std::uint8_t TEXTTYPE = 0x16;
inline constexpr std::uint8_t PRESENTATION = 0x17;
inline constexpr std::uint8_t SPACING = 0x18;
inline constexpr std::uint8_t STRING = 0x19;
inline constexpr std::uint8_t STRANS = 0x1A;
inline constexpr std::uint8_t MAG = 0x1B;
inline constexpr std::uint8_t ANGLE = 0x1C;
inline constexpr std::uint8_t UINTEGER = 0x1D;
inline constexpr std::uint8_t USTRING = 0x1E;
inline constexpr std::uint8_t REFLIBS = 0x1F;
inline constexpr std::uint8_t FONTS = 0x20;
inline constexpr std::uint8_t PATHTYPE = 0x21;
inline constexpr std::uint8_t GENERATIONS = 0x22;
inline constexpr std::uint8_t ATTRTABLE = 0x23;
inline constexpr std::uint8_t STYPTABLE = 0x24;
inline constexpr std::uint8_t STRTYPE = 0x25;
inline constexpr std::uint8_t ELFLAGS = 0x26;
inline constexpr std::uint8_t ELKEY = 0x27;
inline constexpr std::uint8_t LINKTYPE = 0x28;
inline constexpr std::uint8_t LINKKEYS = 0x29;
inline constexpr std::uint8_t NODETYPE = 0x2A;
inline constexpr std::uint8_t PROPATTR = 0x2B;
inline constexpr std::uint8_t PROPVALUE = 0x2C;
inline constexpr std::uint8_t BOX = 0x2D;
inline constexpr std::uint8_t BOXTYPE = 0x2E;
inline constexpr std::uint8_t PLEX = 0x2F;
inline constexpr std::uint8_t BGNEXTN = 0x30;
inline constexpr std::uint8_t ENDEXTN = 0x31;
inline constexpr std::uint8_t TAPENUM = 0x32;
inline constexpr std::uint8_t TAPECODE = 0x33;
inline constexpr std::uint8_t STRCLASS = 0x34;
inline constexpr std::uint8_t RESERVED = 0x35;
inline constexpr std::uint8_t FORMAT = 0x36;
inline constexpr std::uint8_t MASK = 0x37;
inline constexpr std::uint8_t ENDMASKS = 0x38;
inline constexpr std::uint8_t LIBDIRSIZE = 0x39;
inline constexpr std::uint8_t SRFNAME = 0x3A;
inline constexpr std::uint8_t LIBSECUR = 0x3B;
}  // namespace rec

// Data types (third byte of the record header).
namespace dt {
inline constexpr std::uint8_t NODATA = 0;
inline constexpr std::uint8_t BITARRAY = 1;
inline constexpr std::uint8_t INT2 = 2;
inline constexpr std::uint8_t INT4 = 3;
inline constexpr std::uint8_t REAL4 = 4;
inline constexpr std::uint8_t REAL8 = 5;
inline constexpr std::uint8_t ASCII = 6;
}  // namespace dt

// The length word is 16 bits and records are even-sized, so 65534 is the
// largest record; the 4-byte header leaves 65530 bytes of data.
inline constexpr std::size_t kMaxRecordSize = 65534;
inline constexpr std::size_t kMaxRecordData = kMaxRecordSize - 4;

// Files written to tape were padded with zeros to whole 2048-byte blocks.
inline constexpr std::size_t kBlockSize = 2048;

template <class T>
concept ByteSink = requires(T& s, const std::uint8_t* p, std::size_t n) { s.put(p, n); };

template <class T>
concept ByteOutput = std::same_as<T, std::vector<std::uint8_t>> || ByteSink<T>;

template <ByteOutput Out>
inline void put_bytes(Out& out, const std::uint8_t* p, std::size_t n) {
    if constexpr (std::same_as<Out, std::vector<std::uint8_t>>) {
        out.insert(out.end(), p, p + n);
    } else {
        out.put(p, n);
    }
}

inline void store_be16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 8);
    p[1] = static_cast<std::uint8_t>(v);
}

inline void store_be32(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 24);
    p[1] = static_cast<std::uint8_t>(v >> 16);
    p[2] = static_cast<std::uint8_t>(v >> 8);
    p[3] = static_cast<std::uint8_t>(v);
}

struct Point {
    std::int32_t x = 0;
    std::int32_t y = 0;
    friend constexpr bool operator==(const Point&, const Point&) = default;
};

// ---------------------------------------------------------------------------
// 8-byte reals: sign bit, 7-bit exponent of 16 biased by 64, 56-bit fraction
// m with 1/16 <= m < 1, value = m * 16^(exp - 64).

inline std::array<std::uint8_t, 8> encode_real8(double v) {
    std::array<std::uint8_t, 8> b{};
    if (!std::isfinite(v)) throw std::domain_error("GDSII real: not a finite number");
    if (v == 0.0) return b;
    const bool negative = std::signbit(v);
    int e2 = 0;
    const double f = std::frexp(std::fabs(v), &e2);  // |v| = f * 2^e2, 0.5 <= f < 1
    // Smallest power of 16 not below 2^e2; the 0..3 bit shift keeps the
    // fraction normalised (top nibble non-zero).
    int e16 = e2 >= 0 ? (e2 + 3) / 4 : -((-e2) / 4);
    const int shift = 4 * e16 - e2;
    // f has 53 significant bits and 56 - shift >= 53, so this is exact.
    auto mant = static_cast<std::uint64_t>(std::ldexp(f, 56 - shift));
    int exp = e16 + 64;
    if (exp > 127) throw std::overflow_error("GDSII real: magnitude too large");
    while (exp < 0 && mant != 0) {  // below the smallest normal value: denormalise
        mant >>= 4;
        ++exp;
    }
    if (mant == 0) return b;
    b[0] = static_cast<std::uint8_t>((negative ? 0x80 : 0x00) | exp);
    for (int i = 7; i >= 1; --i) {
        b[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(mant);
        mant >>= 8;
    }
    return b;
}

inline double decode_real8(const std::uint8_t* b) {
    std::uint64_t mant = 0;
    for (int i = 1; i < 8; ++i) mant = (mant << 8) | b[i];
    const int exp = b[0] & 0x7F;
    const double v = std::ldexp(static_cast<double>(mant), 4 * (exp - 64) - 56);
    return (b[0] & 0x80) ? -v : v;
}

// ---------------------------------------------------------------------------
// Records

template <ByteOutput Out>
inline void write_record_header(Out& out, std::size_t total_length, std::uint8_t record_type,
                                std::uint8_t data_type) {
    if (total_length > kMaxRecordSize || total_length % 2 != 0 || total_length < 4)
        throw std::length_error("GDSII record length must be even and 4..65534");
    std::uint8_t h[4];
    store_be16(h, static_cast<std::uint16_t>(total_length));
    h[2] = record_type;
    h[3] = data_type;
    put_bytes(out, h, 4);
}

// Arbitrary payload, written as given (caller keeps it even-sized).
template <ByteOutput Out>
inline void write_record(Out& out, std::uint8_t record_type, std::uint8_t data_type,
                         std::span<const std::uint8_t> payload) {
    write_record_header(out, payload.size() + 4, record_type, data_type);
    if (!payload.empty()) put_bytes(out, payload.data(), payload.size());
}

template <ByteOutput Out>
inline void write_nodata(Out& out, std::uint8_t record_type) {
    write_record_header(out, 4, record_type, dt::NODATA);
}

template <ByteOutput Out>
inline void write_bitarray(Out& out, std::uint8_t record_type, std::uint16_t bits) {
    std::uint8_t b[6];
    store_be16(b, 6);
    b[2] = record_type;
    b[3] = dt::BITARRAY;
    store_be16(b + 4, bits);
    put_bytes(out, b, 6);
}

// Big-endian integers of one width, through a small stack buffer so that long
// XY records cost few put calls.
template <typename Int, ByteOutput Out>
inline void write_integers(Out& out, std::uint8_t record_type, std::span<const Int> values) {
    static_assert(sizeof(Int) == 2 || sizeof(Int) == 4);
    write_record_header(out, 4 + sizeof(Int) * values.size(), record_type,
                        sizeof(Int) == 2 ? dt::INT2 : dt::INT4);
    std::uint8_t buf[256];
    std::size_t n = 0;
    for (const Int v : values) {
        if constexpr (sizeof(Int) == 2) {
            store_be16(buf + n, static_cast<std::uint16_t>(v));
        } else {
            store_be32(buf + n, static_cast<std::uint32_t>(v));
        }
        n += sizeof(Int);
        if (n == sizeof buf) {
            put_bytes(out, buf, n);
            n = 0;
        }
    }
    if (n) put_bytes(out, buf, n);
}

template <ByteOutput Out>
inline void write_int16(Out& out, std::uint8_t record_type, std::span<const std::int16_t> values) {
    write_integers(out, record_type, values);
}

template <ByteOutput Out>
inline void write_int16(Out& out, std::uint8_t record_type, std::initializer_list<std::int16_t> values) {
    write_integers(out, record_type, std::span<const std::int16_t>(values.begin(), values.size()));
}

template <ByteOutput Out>
inline void write_int32(Out& out, std::uint8_t record_type, std::span<const std::int32_t> values) {
    write_integers(out, record_type, values);
}

template <ByteOutput Out>
inline void write_int32(Out& out, std::uint8_t record_type, std::initializer_list<std::int32_t> values) {
    write_integers(out, record_type, std::span<const std::int32_t>(values.begin(), values.size()));
}

// ASCII data is NUL-padded to an even length, as record lengths must be even.
template <ByteOutput Out>
inline void write_ascii(Out& out, std::uint8_t record_type, std::string_view s) {
    const std::size_t padded = s.size() + (s.size() % 2);
    write_record_header(out, 4 + padded, record_type, dt::ASCII);
    if (!s.empty()) put_bytes(out, reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
    if (padded != s.size()) {
        const std::uint8_t nul = 0;
        put_bytes(out, &nul, 1);
    }
}

template <ByteOutput Out>
inline void write_real8(Out& out, std::uint8_t record_type, std::span<const double> values) {
    write_record_header(out, 4 + 8 * values.size(), record_type, dt::REAL8);
    for (double v : values) {
        const auto b = encode_real8(v);
        put_bytes(out, b.data(), b.size());
    }
}

template <ByteOutput Out>
inline void write_real8(Out& out, std::uint8_t record_type, std::initializer_list<double> values) {
    write_real8(out, record_type, std::span<const double>(values.begin(), values.size()));
}

template <ByteOutput Out>
inline void write_xy(Out& out, std::span<const Point> points) {
    write_record_header(out, 4 + 8 * points.size(), rec::XY, dt::INT4);
    std::uint8_t buf[512];
    std::size_t n = 0;
    for (const Point& p : points) {
        store_be32(buf + n, static_cast<std::uint32_t>(p.x));
        store_be32(buf + n + 4, static_cast<std::uint32_t>(p.y));
        n += 8;
        if (n == sizeof buf) {
            put_bytes(out, buf, n);
            n = 0;
        }
    }
    if (n) put_bytes(out, buf, n);
}

template <ByteOutput Out>
inline void write_xy(Out& out, std::initializer_list<Point> points) {
    write_xy(out, std::span<const Point>(points.begin(), points.size()));
}

// ---------------------------------------------------------------------------
// Library and structure framing

struct Timestamp {
    std::int16_t year = 2000, month = 1, day = 1, hour = 0, minute = 0, second = 0;
};

// Fixed dates keep generated files byte-for-byte reproducible.
inline constexpr Timestamp kFixedTime{};

struct LibraryOptions {
    std::int16_t version = 600;        // HEADER stream version (600, or 5 for old readers)
    double user_units_per_db = 1e-3;  // UNITS: database unit in user units
    double meters_per_db = 1e-9;      // UNITS: database unit in meters
    Timestamp modified = kFixedTime;
    Timestamp accessed = kFixedTime;
};

template <ByteOutput Out>
inline void write_timestamps(Out& out, std::uint8_t record_type, const Timestamp& a, const Timestamp& b) {
    write_int16(out, record_type,
                {a.year, a.month, a.day, a.hour, a.minute, a.second, b.year, b.month, b.day, b.hour, b.minute,
                 b.second});
}

// HEADER, BGNLIB, LIBNAME, UNITS.
template <ByteOutput Out>
inline void begin_library(Out& out, std::string_view name, const LibraryOptions& opt = {}) {
    write_int16(out, rec::HEADER, {opt.version});
    write_timestamps(out, rec::BGNLIB, opt.modified, opt.accessed);
    write_ascii(out, rec::LIBNAME, name);
    write_real8(out, rec::UNITS, {opt.user_units_per_db, opt.meters_per_db});
}

template <ByteOutput Out>
inline void end_library(Out& out) {
    write_nodata(out, rec::ENDLIB);
}

// BGNSTR, STRNAME.
template <ByteOutput Out>
inline void begin_structure(Out& out, std::string_view name, const Timestamp& created = kFixedTime,
                            const Timestamp& modified = kFixedTime) {
    write_timestamps(out, rec::BGNSTR, created, modified);
    write_ascii(out, rec::STRNAME, name);
}

template <ByteOutput Out>
inline void end_structure(Out& out) {
    write_nodata(out, rec::ENDSTR);
}

// Zero bytes needed after `size` bytes to reach a whole number of blocks.
inline std::size_t padding_for(std::uint64_t size, std::size_t block = kBlockSize) {
    const std::uint64_t rem = size % block;
    return rem == 0 ? 0 : static_cast<std::size_t>(block - rem);
}

template <ByteOutput Out>
inline void write_padding(Out& out, std::uint64_t size_so_far, std::size_t block = kBlockSize) {
    static constexpr std::uint8_t zeros[256] = {};
    std::size_t n = padding_for(size_so_far, block);
    while (n) {
        const std::size_t k = n < sizeof zeros ? n : sizeof zeros;
        put_bytes(out, zeros, k);
        n -= k;
    }
}

// ---------------------------------------------------------------------------
// Elements

// STRANS bits (bit 0 is the most significant bit of the word).
inline constexpr std::uint16_t kStransReflect = 0x8000;  // reflect about x before rotating
inline constexpr std::uint16_t kStransAbsMag = 0x0004;
inline constexpr std::uint16_t kStransAbsAngle = 0x0002;

struct Strans {
    bool reflect = false;
    bool absolute_mag = false;
    bool absolute_angle = false;
    std::optional<double> mag;    // MAG record written only when set
    std::optional<double> angle;  // ANGLE record (degrees, counter-clockwise) only when set
};

template <ByteOutput Out>
inline void write_strans(Out& out, const Strans& s) {
    std::uint16_t bits = 0;
    if (s.reflect) bits |= kStransReflect;
    if (s.absolute_mag) bits |= kStransAbsMag;
    if (s.absolute_angle) bits |= kStransAbsAngle;
    write_bitarray(out, rec::STRANS, bits);
    if (s.mag) write_real8(out, rec::MAG, {*s.mag});
    if (s.angle) write_real8(out, rec::ANGLE, {*s.angle});
}

template <ByteOutput Out>
inline void write_layer_datatype(Out& out, std::int16_t layer, std::int16_t datatype) {
    write_int16(out, rec::LAYER, {layer});
    write_int16(out, rec::DATATYPE, {datatype});
}

// BOUNDARY: `vertices` are the n distinct corners; the closing point (a copy
// of the first) is appended here, so XY holds n + 1 points.
template <ByteOutput Out>
inline void write_boundary(Out& out, std::int16_t layer, std::int16_t datatype, std::span<const Point> vertices) {
    if (vertices.empty()) throw std::invalid_argument("BOUNDARY needs at least one vertex");
    write_nodata(out, rec::BOUNDARY);
    write_layer_datatype(out, layer, datatype);
    const std::size_t n = vertices.size() + 1;
    write_record_header(out, 4 + 8 * n, rec::XY, dt::INT4);
    std::uint8_t buf[512];
    std::size_t k = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const Point& p = vertices[i < vertices.size() ? i : 0];
        store_be32(buf + k, static_cast<std::uint32_t>(p.x));
        store_be32(buf + k + 4, static_cast<std::uint32_t>(p.y));
        k += 8;
        if (k == sizeof buf) {
            put_bytes(out, buf, k);
            k = 0;
        }
    }
    if (k) put_bytes(out, buf, k);
    write_nodata(out, rec::ENDEL);
}

// PATH: pathtype 0 flush, 1 round, 2 half-width extension (4 would need
// BGNEXTN/ENDEXTN, not written here). A negative width is absolute.
template <ByteOutput Out>
inline void write_path(Out& out, std::int16_t layer, std::int16_t datatype, std::int16_t pathtype,
                       std::int32_t width, std::span<const Point> points) {
    write_nodata(out, rec::PATH);
    write_layer_datatype(out, layer, datatype);
    write_int16(out, rec::PATHTYPE, {pathtype});
    write_int32(out, rec::WIDTH, {width});
    write_xy(out, points);
    write_nodata(out, rec::ENDEL);
}

// PRESENTATION word: font in bits 10-11, vertical justification in 12-13
// (0 top, 1 middle, 2 bottom), horizontal in 14-15 (0 left, 1 centre, 2 right).
inline constexpr std::uint16_t presentation(unsigned font, unsigned vjust, unsigned hjust) {
    return static_cast<std::uint16_t>(((font & 3u) << 4) | ((vjust & 3u) << 2) | (hjust & 3u));
}

// TEXT: LAYER TEXTTYPE PRESENTATION [STRANS [MAG] [ANGLE]] XY STRING ENDEL
// (the format puts XY before STRING).
template <ByteOutput Out>
inline void write_text(Out& out, std::int16_t layer, std::int16_t texttype, Point position, std::string_view text,
                       std::uint16_t presentation_bits = 0, const std::optional<Strans>& strans = std::nullopt) {
    write_nodata(out, rec::TEXT);
    write_int16(out, rec::LAYER, {layer});
    write_int16(out, rec::TEXTTYPE, {texttype});
    write_bitarray(out, rec::PRESENTATION, presentation_bits);
    if (strans) write_strans(out, *strans);
    write_xy(out, {position});
    write_ascii(out, rec::STRING, text);
    write_nodata(out, rec::ENDEL);
}

// SREF: SNAME [STRANS [MAG] [ANGLE]] XY ENDEL.
template <ByteOutput Out>
inline void write_sref(Out& out, std::string_view sname, Point position,
                       const std::optional<Strans>& strans = std::nullopt) {
    write_nodata(out, rec::SREF);
    write_ascii(out, rec::SNAME, sname);
    if (strans) write_strans(out, *strans);
    write_xy(out, {position});
    write_nodata(out, rec::ENDEL);
}

// How the COLROW record of an AREF is laid out on disk.
enum class ColrowForm {
    sound,      // 00 08 13 02, cols and rows as 2-byte words: 8 bytes
    defective,  // 00 08 13 02, cols and rows as 4-byte words: 12 bytes, length word wrong
};

inline constexpr std::size_t colrow_size(ColrowForm form) {
    return form == ColrowForm::sound ? 8 : 12;
}

// The counts are unsigned on disk: 32768..65535 are valid column/row counts
// even though the data type is INT2. The sound form rejects counts that do not
// fit 16 bits; the defective form takes any 32-bit value so tests can build
// records no repair could make sound.
template <ByteOutput Out>
inline void write_colrow(Out& out, std::uint32_t cols, std::uint32_t rows, ColrowForm form = ColrowForm::sound) {
    std::uint8_t b[12];
    store_be16(b, 8);  // the defective form keeps the length word of the sound one
    b[2] = rec::COLROW;
    b[3] = dt::INT2;
    if (form == ColrowForm::sound) {
        if (cols > 0xFFFF || rows > 0xFFFF) throw std::out_of_range("COLROW count does not fit 16 bits");
        store_be16(b + 4, static_cast<std::uint16_t>(cols));
        store_be16(b + 6, static_cast<std::uint16_t>(rows));
        put_bytes(out, b, 8);
    } else {
        store_be32(b + 4, cols);
        store_be32(b + 8, rows);
        put_bytes(out, b, 12);
    }
}

// The three AREF reference points: origin, origin displaced by cols column
// steps, origin displaced by rows row steps. Throws if one leaves int32.
inline std::array<Point, 3> aref_points(Point origin, std::uint32_t cols, std::uint32_t rows, Point col_step,
                                        Point row_step) {
    auto coord = [](std::int64_t base, std::int64_t count, std::int64_t step) {
        const std::int64_t v = base + count * step;
        if (v < std::numeric_limits<std::int32_t>::min() || v > std::numeric_limits<std::int32_t>::max())
            throw std::out_of_range("AREF reference point outside 32-bit coordinates");
        return static_cast<std::int32_t>(v);
    };
    return {origin,
            Point{coord(origin.x, cols, col_step.x), coord(origin.y, cols, col_step.y)},
            Point{coord(origin.x, rows, row_step.x), coord(origin.y, rows, row_step.y)}};
}

// AREF: SNAME [STRANS [MAG] [ANGLE]] COLROW XY(3) ENDEL.
template <ByteOutput Out>
inline void write_aref(Out& out, std::string_view sname, std::uint32_t cols, std::uint32_t rows, Point origin,
                       Point col_step, Point row_step, ColrowForm form = ColrowForm::sound,
                       const std::optional<Strans>& strans = std::nullopt) {
    const auto pts = aref_points(origin, cols, rows, col_step, row_step);
    write_nodata(out, rec::AREF);
    write_ascii(out, rec::SNAME, sname);
    if (strans) write_strans(out, *strans);
    write_colrow(out, cols, rows, form);
    write_xy(out, std::span<const Point>(pts));
    write_nodata(out, rec::ENDEL);
}

}  // namespace gdsgen
