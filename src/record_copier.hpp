// The record walk and the COLROW repair.
//
// A GDSII stream is a chain of records, each starting with a big-endian
// length word that counts the whole record. Some writers emit COLROW records
// (the column and row counts of an AREF) with 4-byte counts under a length
// word of 8, so the record is 12 bytes long and everything after it is
// misframed. The walker follows the length words through blocks of input and
// rewrites each such record, in place, into its well-formed 8-byte form.
//
// Nothing here opens files, prints or exits: input and output come through
// the ByteSource and BlockSink interfaces, repairs are reported to a
// RepairListener, and run_copy returns how the run ended.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace strmfix {

// Big-endian 16-bit words, the unit of GDSII framing.
inline std::uint16_t read_word(const std::byte* p) noexcept {
    return static_cast<std::uint16_t>((std::to_integer<unsigned>(p[0]) << 8) |
                                      std::to_integer<unsigned>(p[1]));
}

inline void write_word(std::byte* p, std::uint16_t word) noexcept {
    p[0] = static_cast<std::byte>(word >> 8);
    p[1] = static_cast<std::byte>(word & 0xFF);
}

// Record type 0x13 (COLROW) with data type 0x02 (2-byte integers).
inline constexpr std::uint16_t colrow_type_word = 0x1302;
// Header of the 3-point XY record (type 0x10, data type 0x03) that follows
// COLROW in every AREF; seeing it after 4 data bytes marks a sound COLROW.
inline constexpr std::uint16_t aref_xy_length_word = 0x001C;
inline constexpr std::uint16_t aref_xy_type_word = 0x1003;

// A COLROW record whose decision needs its 12 bytes at hand; fewer may be
// held back at the end of a block until the next one arrives.
inline constexpr std::size_t colrow_defective_size = 12;
inline constexpr std::size_t max_held_back = colrow_defective_size - 1;
// Bytes a block must have free in front of its data for held-back bytes.
inline constexpr std::size_t block_headroom = 16;

struct Repair {
    std::uint64_t offset;  // input byte offset of the COLROW record
    std::uint64_t index;   // repairs made before this one in the run
    std::uint32_t columns; // counts as the 4-byte integers held them
    std::uint32_t rows;

    // A count of 65,536 or more loses its high-order bits in the repair.
    bool lossy() const noexcept { return columns > 0xFFFF || rows > 0xFFFF; }
};

class RepairListener {
public:
    virtual void repaired(const Repair& repair) = 0;

protected:
    ~RepairListener() = default;
};

// What copy_record decides for the record at hand.
enum class RecordAction : std::uint8_t {
    pass,      // copy `size` bytes unchanged
    repair,    // a 12-byte COLROW: keep the low-order word of each count
    wait,      // too few bytes at hand to decide
    pass_rest, // length word 0 or 1 (zero padding): copy the rest unchanged
};

struct RecordStep {
    RecordAction action;
    std::uint32_t size; // bytes of input the action covers
};

// Decides how to take the record that starts at `p`, of which `avail` bytes
// are at hand. Records with an odd length word are taken as whole words, so
// their last byte starts the next length word, as word-based readers do.
inline RecordStep copy_record(const std::byte* p, std::size_t avail) noexcept {
    if (avail < 2) return {RecordAction::wait, 0};
    const std::uint32_t length = read_word(p);
    if (length == 8) [[unlikely]] {
        if (avail < 4) return {RecordAction::wait, 0};
        if (read_word(p + 2) == colrow_type_word) {
            if (avail < colrow_defective_size) return {RecordAction::wait, 0};
            const std::uint16_t high_columns = read_word(p + 4);
            const std::uint16_t high_rows = read_word(p + 8);
            const bool counts_fit = high_columns == 0 && high_rows == 0;
            const bool xy_follows = high_rows == aref_xy_length_word &&
                                    read_word(p + 10) == aref_xy_type_word;
            if (counts_fit || !xy_follows)
                return {RecordAction::repair, colrow_defective_size};
            // Already well formed: the XY record starts after 4 data bytes.
        }
    }
    if (length < 2) return {RecordAction::pass_rest, 0};
    return {RecordAction::pass, length & ~1U};
}

// How the input ended, as seen by the walker.
struct WalkEnd {
    bool inside_record;          // cut short: not at a record boundary
    std::uint64_t record_offset; // where the cut record starts
};

// Walks the record chain across blocks of input, repairing as it goes.
class RecordWalker {
public:
    explicit RecordWalker(RepairListener& listener) noexcept : listener_(listener) {}

    // Places the bytes held back from the previous block just before `data`
    // (which must have block_headroom bytes free in front) and returns where
    // the walk of this block begins.
    std::byte* prepend_held_back(std::byte* data) noexcept;

    // Walks [begin, end), the input that follows everything walked before,
    // and compacts the output in place from `begin`. Returns the end of the
    // output. Undecided bytes at the end are held back for the next block.
    std::byte* walk(std::byte* begin, std::byte* end);

    // At the end of the input: the held-back bytes, which pass as they stand.
    std::span<const std::byte> held_back() const noexcept { return {held_, held_size_}; }
    WalkEnd end_of_input() const noexcept;

    std::uint64_t colrow_count() const noexcept { return colrow_count_; }
    std::uint64_t lossy_count() const noexcept { return lossy_count_; }
    std::uint64_t offset() const noexcept { return offset_; }

private:
    RepairListener& listener_;
    std::uint64_t offset_ = 0;        // input offset of the next byte to walk
    std::uint64_t record_offset_ = 0; // start of the record being passed
    std::uint32_t to_pass_ = 0;       // bytes of that record still to come
    bool pass_rest_ = false;
    std::uint64_t colrow_count_ = 0;
    std::uint64_t lossy_count_ = 0;
    std::byte held_[max_held_back] = {};
    std::size_t held_size_ = 0;
};

struct IoResult {
    std::size_t count = 0;
    int error = 0; // errno, 0 on success
};

class ByteSource {
public:
    // Reads up to `into.size()` bytes; a count of 0 means the end of input.
    virtual IoResult read(std::span<std::byte> into) = 0;

protected:
    ~ByteSource() = default;
};

// A writable block with block_headroom bytes free in front of `data`.
struct Block {
    std::byte* data;
    std::size_t capacity;
};

// Output in blocks that the sink lends: the walk works in them in place.
class BlockSink {
public:
    virtual Block acquire() = 0;
    // Writes [begin, end) of the block last acquired; returns errno or 0.
    virtual int submit(const std::byte* begin, const std::byte* end) = 0;
    // Flushes and closes; returns errno or 0.
    virtual int finish() = 0;

protected:
    ~BlockSink() = default;
};

enum class RunEnd : std::uint8_t {
    clean,         // ended at a record boundary or inside zero padding
    inside_record, // input cut short inside a record
    read_error,
    write_error,
};

struct RunResult {
    RunEnd end = RunEnd::clean;
    int error = 0;                  // errno for read_error and write_error
    std::uint64_t record_offset = 0; // inside_record: where the cut record starts
    std::uint64_t bytes_read = 0;
    std::uint64_t colrow_count = 0;
    std::uint64_t lossy_count = 0;
};

// Copies the whole input to the output record by record with the COLROW
// repair. Stops at the first read or write error; what was read before a
// read error, and before the end of the input, reaches the output.
RunResult run_copy(ByteSource& input, BlockSink& output, RepairListener& listener);

} // namespace strmfix
