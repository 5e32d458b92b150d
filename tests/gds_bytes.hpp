// Small GDSII records built byte by byte, for tests that need exact bytes.
#pragma once

#include "memory_io.hpp"

#include <cstdint>

namespace strmfix::testing {

inline Bytes word(std::uint16_t value) { return {static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)}; }

inline Bytes int4(std::uint32_t value) { return concat({word(value >> 16), word(value & 0xFFFF)}); }

inline Bytes zeros(std::size_t count) { return Bytes(count, 0); }

inline Bytes without_last(Bytes bytes, std::size_t count) {
    bytes.resize(bytes.size() - count);
    return bytes;
}

// COLROW as the faulty writers emit it: 4-byte counts under a length word of 8.
inline Bytes colrow12(std::uint32_t columns, std::uint32_t rows) {
    return concat({{0x00, 0x08, 0x13, 0x02}, int4(columns), int4(rows)});
}

inline Bytes colrow8(std::uint16_t columns, std::uint16_t rows) {
    return concat({{0x00, 0x08, 0x13, 0x02}, word(columns), word(rows)});
}

inline const Bytes header = {0x00, 0x06, 0x00, 0x02, 0x02, 0x58};
inline const Bytes endel = {0x00, 0x04, 0x11, 0x00};
inline const Bytes endlib = {0x00, 0x04, 0x04, 0x00};
// SNAME "CELL": a length word of 8 that is not a COLROW.
inline const Bytes sname = {0x00, 0x08, 0x12, 0x06, 'C', 'E', 'L', 'L'};
// The 3-point XY record that follows COLROW in an AREF.
inline const Bytes aref_xy = concat({{0x00, 0x1C, 0x10, 0x03}, int4(0), int4(0), int4(3000), int4(0), int4(0), int4(5000)});
inline const Bytes aref_head = {0x00, 0x04, 0x0B, 0x00};

inline Bytes aref(const Bytes& colrow) { return concat({aref_head, sname, colrow, aref_xy, endel}); }

inline const Bytes boundary = concat({{0x00, 0x04, 0x08, 0x00, 0x00, 0x06, 0x0D, 0x02, 0x00, 0x01,
                                0x00, 0x06, 0x0E, 0x02, 0x00, 0x00, 0x00, 0x2C, 0x10, 0x03},
                               int4(0), int4(0), int4(10), int4(0), int4(10), int4(10),
                               int4(0), int4(10), int4(0), int4(0), endel});

// A record of the given length whose data holds what looks like a 12-byte COLROW.
inline Bytes long_record(std::uint16_t length) {
    Bytes record = concat({word(length), {0x19, 0x06}});
    while (record.size() + 12 <= length) record = concat({record, colrow12(3, 5)});
    record.resize(length, 'x');
    return record;
}

} // namespace strmfix::testing
