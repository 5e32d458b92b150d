// A second, deliberately plain record walk: word by word over the whole input
// held in memory, no blocks, no holding back, no copying in place. It is the
// model that the real copier is compared with (property test, fuzzer), so it
// must stay short enough to check by eye against the rules of the repair.
#pragma once

#include "memory_io.hpp"
#include "record_copier.hpp"
#include "threaded_sink.hpp"

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

namespace strmfix::testing {

struct OracleRepair {
    std::uint64_t offset;
    std::uint32_t columns;
    std::uint32_t rows;
};

struct OracleResult {
    Bytes output;
    std::vector<OracleRepair> repairs;
    RunEnd end = RunEnd::clean;
    std::uint64_t record_offset = 0; // for RunEnd::inside_record
};

inline OracleResult oracle_walk(const Bytes& in) {
    OracleResult r;
    const std::size_t size = in.size();
    auto word_at = [&](std::size_t at) -> std::uint32_t { return (in[at] << 8) | in[at + 1]; };
    auto copy = [&](std::size_t from, std::size_t to) {
        r.output.insert(r.output.end(), in.begin() + static_cast<std::ptrdiff_t>(from),
                        in.begin() + static_cast<std::ptrdiff_t>(to));
    };
    auto cut_at = [&](std::size_t record) {
        copy(record, size);
        r.end = RunEnd::inside_record;
        r.record_offset = record;
        return r;
    };

    std::size_t pos = 0; // start of the next record
    for (;;) {
        if (pos == size) return r;               // at a record boundary: clean
        if (size - pos < 2) return cut_at(pos);  // half a length word
        const std::uint32_t length = word_at(pos);
        if (length < 2) {                        // zero padding: the rest as it is
            copy(pos, size);
            return r;
        }
        if (length == 8 && size - pos >= 4 && word_at(pos + 2) == 0x1302) {
            if (size - pos < 12) return cut_at(pos); // too short to decide
            const std::uint32_t w1 = word_at(pos + 4), w2 = word_at(pos + 6);
            const std::uint32_t w3 = word_at(pos + 8), w4 = word_at(pos + 10);
            const bool counts_fit = w1 == 0 && w3 == 0;
            const bool xy_follows = w3 == 0x001C && w4 == 0x1003; // AREF's XY header: already sound
            if (counts_fit || !xy_follows) {
                // Length and type words, then the low words of both counts.
                r.output.insert(r.output.end(), {0x00, 0x08, 0x13, 0x02});
                r.output.insert(r.output.end(), {static_cast<std::uint8_t>(w2 >> 8), static_cast<std::uint8_t>(w2),
                                                 static_cast<std::uint8_t>(w4 >> 8), static_cast<std::uint8_t>(w4)});
                r.repairs.push_back({pos, (w1 << 16) | w2, (w3 << 16) | w4});
                pos += 12;
                continue;
            }
        }
        const std::size_t record_size = length & ~1U; // odd length: whole words only
        if (size - pos < record_size) return cut_at(pos);
        copy(pos, pos + record_size);
        pos += record_size;
    }
}

// Runs the real copier on `input` served in slices cycling through `slices`
// into a sink of `block_size`, and describes every difference from the
// oracle; an empty string means they agree in output bytes, repairs (offset,
// index, counts) and end state.
// With `ring_blocks` 0 the copier writes into the plain in-memory sink;
// otherwise into the tool's threaded sink, over a ring of that many blocks.
inline std::string compare_with_oracle(const Bytes& input, const std::vector<std::size_t>& slices,
                                       std::size_t block_size, std::size_t ring_blocks = 0) {
    SlicedSource source(input, slices);
    RecordingListener listener;
    RunResult got;
    Bytes output;
    int finish_calls = 0;
    if (ring_blocks == 0) {
        MemorySink sink(block_size);
        got = run_copy(source, sink, listener);
        output = std::move(sink.output);
        finish_calls = sink.finish_calls;
    } else {
        MemoryWriter writer;
        ThreadedSink sink(writer, block_size, ring_blocks);
        got = run_copy(source, sink, listener);
        output = std::move(writer.output);
        finish_calls = writer.close_calls;
    }
    const OracleResult want = oracle_walk(input);

    std::ostringstream diff;
    if (output != want.output) {
        std::size_t at = 0;
        while (at < output.size() && at < want.output.size() && output[at] == want.output[at]) ++at;
        diff << "output differs at byte " << at << " (sizes " << output.size() << " and "
             << want.output.size() << "); ";
    }
    if (listener.repairs.size() != want.repairs.size())
        diff << "repairs " << listener.repairs.size() << " instead of " << want.repairs.size() << "; ";
    std::uint64_t lossy = 0;
    for (std::size_t i = 0; i < want.repairs.size(); ++i) {
        const OracleRepair& w = want.repairs[i];
        if (w.columns > 0xFFFF || w.rows > 0xFFFF) ++lossy;
        if (i >= listener.repairs.size()) continue;
        const Repair& g = listener.repairs[i];
        if (g.offset != w.offset || g.index != i || g.columns != w.columns || g.rows != w.rows)
            diff << "repair " << i << " is (" << g.offset << ", #" << g.index << ", " << g.columns << " x "
                 << g.rows << ") instead of (" << w.offset << ", " << w.columns << " x " << w.rows << "); ";
    }
    if (got.end != want.end)
        diff << "end " << static_cast<int>(got.end) << " instead of " << static_cast<int>(want.end) << "; ";
    if (want.end == RunEnd::inside_record && got.record_offset != want.record_offset)
        diff << "cut record at " << got.record_offset << " instead of " << want.record_offset << "; ";
    if (got.bytes_read != input.size()) diff << "read " << got.bytes_read << " of " << input.size() << "; ";
    if (got.colrow_count != want.repairs.size()) diff << "colrow_count " << got.colrow_count << "; ";
    if (got.lossy_count != lossy) diff << "lossy_count " << got.lossy_count << " instead of " << lossy << "; ";
    if (finish_calls != 1) diff << "finish called " << finish_calls << " times; ";
    return diff.str();
}

// How fuzz inputs (and the saved corpus) choose their slicing: the first byte
// gives the number of slice sizes (low 3 bits, plus one) and the sink's block
// size (next 3 bits); each following size byte is a slice size, 0 standing
// for the tool's real block size. The remaining bytes are the input.
struct FuzzCase {
    std::vector<std::size_t> slices;
    std::size_t block_size = default_block_size_for_fuzz;
    Bytes input;

    static constexpr std::size_t default_block_size_for_fuzz = 256 * 1024;
};

inline FuzzCase decode_fuzz_case(const std::uint8_t* data, std::size_t size) {
    static constexpr std::size_t block_sizes[8] = {1, 2, 3, 12, 13, 100, 4093, 256 * 1024};
    FuzzCase c;
    if (size == 0) {
        c.slices = {1};
        return c;
    }
    const std::size_t count = (data[0] & 7U) + 1;
    c.block_size = block_sizes[(data[0] >> 3) & 7U];
    std::size_t at = 1;
    for (; at < size && c.slices.size() < count; ++at)
        c.slices.push_back(data[at] == 0 ? FuzzCase::default_block_size_for_fuzz : data[at]);
    if (c.slices.empty()) c.slices = {1};
    c.input.assign(data + at, data + size);
    return c;
}

} // namespace strmfix::testing
