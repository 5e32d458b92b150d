// The record walk on bytes in memory: every case runs with the input cut into
// slices of many sizes, so that words and records straddle block boundaries.
#include "gds_bytes.hpp"
#include "memory_io.hpp"
#include "record_copier.hpp"

#include <gtest/gtest.h>

#include <cctype>
#include <ostream>
#include <string>

namespace strmfix::testing {
namespace {

struct WalkCase {
    std::string name;
    Bytes input;
    Bytes expected;
    std::size_t repairs;
    std::size_t lossy;
    RunEnd end;
    std::uint64_t cut_record_offset; // for RunEnd::inside_record
};

void PrintTo(const WalkCase& c, std::ostream* os) { *os << c.name; }

std::vector<WalkCase> walk_cases() {
    const Bytes sound_library = concat({header, boundary, aref(colrow8(3, 5)), boundary, endlib});
    return {
        {"empty input", {}, {}, 0, 0, RunEnd::clean, 0},
        {"sound library unchanged", sound_library, sound_library, 0, 0, RunEnd::clean, 0},
        {"12-byte COLROW repaired", colrow12(3, 5), colrow8(3, 5), 1, 0, RunEnd::clean, 0},
        {"defective AREF in a library",
         concat({header, boundary, aref(colrow12(3, 5)), boundary, endlib}), sound_library, 1, 0,
         RunEnd::clean, 0},
        {"counts with the high bit set", aref(colrow12(65535, 32768)), aref(colrow8(65535, 32768)),
         1, 0, RunEnd::clean, 0},
        {"repairs in sequence",
         concat({aref(colrow12(1, 1)), aref(colrow8(2, 2)), aref(colrow12(7, 9)), aref(colrow12(1000, 1000))}),
         concat({aref(colrow8(1, 1)), aref(colrow8(2, 2)), aref(colrow8(7, 9)), aref(colrow8(1000, 1000))}),
         3, 0, RunEnd::clean, 0},
        {"count over 16 bits keeps its low word", aref(colrow12(70000, 3)), aref(colrow8(70000 & 0xFFFF, 3)),
         1, 1, RunEnd::clean, 0},
        {"counts over 16 bits before a foreign record", concat({colrow12(0x10002, 0x30004), endlib}),
         concat({colrow8(2, 4), endlib}), 1, 1, RunEnd::clean, 0},
        {"COLROW of another data type", concat({{0x00, 0x08, 0x13, 0x03}, int4(3), endlib}),
         concat({{0x00, 0x08, 0x13, 0x03}, int4(3), endlib}), 0, 0, RunEnd::clean, 0},
        {"COLROW of another length", concat({{0x00, 0x0C, 0x13, 0x02}, int4(3), int4(5), endlib}),
         concat({{0x00, 0x0C, 0x13, 0x02}, int4(3), int4(5), endlib}), 0, 0, RunEnd::clean, 0},
        {"zero padding after ENDLIB", concat({sound_library, zeros(2048 - sound_library.size() % 2048)}),
         concat({sound_library, zeros(2048 - sound_library.size() % 2048)}), 0, 0, RunEnd::clean, 0},
        {"padding of odd length", concat({endlib, zeros(5)}), concat({endlib, zeros(5)}), 0, 0,
         RunEnd::clean, 0},
        {"length word 0 passes the rest", concat({endlib, zeros(2), colrow12(3, 5)}),
         concat({endlib, zeros(2), colrow12(3, 5)}), 0, 0, RunEnd::clean, 0},
        {"length word 1 passes the rest", concat({word(1), colrow12(3, 5), {0x07}}),
         concat({word(1), colrow12(3, 5), {0x07}}), 0, 0, RunEnd::clean, 0},
        {"length word 2 stands alone", concat({word(2), colrow12(3, 5)}), concat({word(2), colrow8(3, 5)}),
         1, 0, RunEnd::clean, 0},
        {"length word 3 stands alone", concat({word(3), colrow12(3, 5)}), concat({word(3), colrow8(3, 5)}),
         1, 0, RunEnd::clean, 0},
        {"length word 5 takes two words", concat({word(5), {0xAA, 0xBB}, colrow12(3, 5)}),
         concat({word(5), {0xAA, 0xBB}, colrow8(3, 5)}), 1, 0, RunEnd::clean, 0},
        {"record over 32 KiB is skipped whole", concat({long_record(0xFFFE), colrow12(3, 5)}),
         concat({long_record(0xFFFE), colrow8(3, 5)}), 1, 0, RunEnd::clean, 0},
        {"odd byte after the last record", concat({endlib, {0x07}}), concat({endlib, {0x07}}), 0, 0,
         RunEnd::inside_record, 4},
        {"input ends inside a record", concat({header, {0x00, 0x0C, 0x05, 0x02, 0x00}}),
         concat({header, {0x00, 0x0C, 0x05, 0x02, 0x00}}), 0, 0, RunEnd::inside_record, 6},
        {"input ends inside a 12-byte COLROW", without_last(concat({header, colrow12(3, 5)}), 4),
         without_last(concat({header, colrow12(3, 5)}), 4), 0, 0, RunEnd::inside_record, 6},
        {"input ends inside a length word", concat({header, {0x00}}), concat({header, {0x00}}), 0, 0,
         RunEnd::inside_record, 6},
        {"sound COLROW at the end of the input", concat({header, colrow8(3, 5)}),
         concat({header, colrow8(3, 5)}), 0, 0, RunEnd::inside_record, 6},
    };
}

// Slice patterns: whole blocks, single bytes, and sizes that put every
// boundary at every position of a 12-byte COLROW and of a length word.
const std::vector<std::vector<std::size_t>> slicings = {
    {65536}, {1}, {2}, {3}, {5}, {7}, {11}, {12}, {13}, {1, 12, 2, 30, 4, 3}, {4093},
};

class RecordWalk : public ::testing::TestWithParam<WalkCase> {};

TEST_P(RecordWalk, OutputRepairsAndEndAreTheSameForEverySlicing) {
    const WalkCase& c = GetParam();
    for (const auto& slicing : slicings) {
        for (const std::size_t block_size : {std::size_t{65536}, std::size_t{1}, std::size_t{13}}) {
            SCOPED_TRACE("first slice " + std::to_string(slicing.front()) + ", block size " +
                         std::to_string(block_size));
            SlicedSource source(c.input, slicing);
            MemorySink sink(block_size);
            RecordingListener listener;
            const RunResult result = run_copy(source, sink, listener);

            EXPECT_EQ(sink.output, c.expected);
            EXPECT_EQ(listener.repairs.size(), c.repairs);
            EXPECT_EQ(result.colrow_count, c.repairs);
            EXPECT_EQ(result.lossy_count, c.lossy);
            EXPECT_EQ(result.end, c.end);
            EXPECT_EQ(result.bytes_read, c.input.size());
            if (c.end == RunEnd::inside_record) {
                EXPECT_EQ(result.record_offset, c.cut_record_offset);
            }
            EXPECT_EQ(sink.finish_calls, 1);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, RecordWalk, ::testing::ValuesIn(walk_cases()),
                         [](const ::testing::TestParamInfo<WalkCase>& info) {
                             std::string name;
                             for (const char ch : info.param.name)
                                 name += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
                             return name;
                         });

TEST(RecordWalkRepairs, ReportEachRecordWithItsOffsetIndexAndFullCounts) {
    const Bytes input = concat({header, aref(colrow12(3, 5)), boundary, aref(colrow8(4, 4)),
                                aref(colrow12(0x12345, 2)), endlib});
    const std::uint64_t first = header.size() + aref_head.size() + sname.size();
    const std::uint64_t second =
        header.size() + 2 * aref(colrow12(3, 5)).size() + boundary.size() - 4 + first - header.size();

    for (const auto& slicing : slicings) {
        SlicedSource source(input, slicing);
        MemorySink sink(64);
        RecordingListener listener;
        run_copy(source, sink, listener);

        ASSERT_EQ(listener.repairs.size(), 2U);
        EXPECT_EQ(listener.repairs[0].offset, first);
        EXPECT_EQ(listener.repairs[0].index, 0U);
        EXPECT_EQ(listener.repairs[0].columns, 3U);
        EXPECT_EQ(listener.repairs[0].rows, 5U);
        EXPECT_FALSE(listener.repairs[0].lossy());
        EXPECT_EQ(listener.repairs[1].offset, second);
        EXPECT_EQ(listener.repairs[1].index, 1U);
        EXPECT_EQ(listener.repairs[1].columns, 0x12345U);
        EXPECT_EQ(listener.repairs[1].rows, 2U);
        EXPECT_TRUE(listener.repairs[1].lossy());
    }
}

TEST(RecordWalkRepairs, OutputOfARepairPassesThroughUnchanged) {
    const Bytes defective = concat({header, boundary, aref(colrow12(3, 5)), aref(colrow12(65535, 1)),
                                    aref(colrow12(1, 40000)), endlib, zeros(4)});
    SlicedSource first_source(defective, {7});
    MemorySink first_sink(100);
    RecordingListener first_listener;
    run_copy(first_source, first_sink, first_listener);
    ASSERT_EQ(first_listener.repairs.size(), 3U);

    SlicedSource second_source(first_sink.output, {5});
    MemorySink second_sink(100);
    RecordingListener second_listener;
    const RunResult again = run_copy(second_source, second_sink, second_listener);
    EXPECT_EQ(second_sink.output, first_sink.output);
    EXPECT_TRUE(second_listener.repairs.empty());
    EXPECT_EQ(again.end, RunEnd::clean);
}

TEST(RecordWalkErrors, ReadErrorKeepsEverythingReadBeforeIt) {
    const Bytes input = concat({header, aref(colrow12(3, 5)), endlib});
    // Fail inside the 12-byte COLROW, while its first bytes are held back.
    const std::size_t fail_after = header.size() + aref_head.size() + sname.size() + 7;
    SlicedSource source(input, {3}, fail_after);
    MemorySink sink(64);
    RecordingListener listener;
    const RunResult result = run_copy(source, sink, listener);

    EXPECT_EQ(result.end, RunEnd::read_error);
    EXPECT_EQ(result.error, EIO);
    EXPECT_EQ(result.bytes_read, fail_after);
    EXPECT_EQ(sink.output, Bytes(input.begin(), input.begin() + static_cast<std::ptrdiff_t>(fail_after)));
    EXPECT_TRUE(listener.repairs.empty());
}

TEST(RecordWalkErrors, WriteErrorStopsTheRun) {
    const Bytes input = concat({header, boundary, boundary, boundary, endlib});
    SlicedSource source(input, {16});
    MemorySink sink(16, 20);
    RecordingListener listener;
    const RunResult result = run_copy(source, sink, listener);

    EXPECT_EQ(result.end, RunEnd::write_error);
    EXPECT_EQ(result.error, ENOSPC);
    EXPECT_EQ(result.bytes_read, 32U);
    EXPECT_EQ(sink.finish_calls, 1);
}

} // namespace
} // namespace strmfix::testing
