// The real copier against the plain model in walk_oracle.hpp: thousands of
// deterministic random and mutated inputs, each served in random slices, and
// the fuzzer's saved corpus. Any difference in output bytes, repairs or end
// state fails with the input that shows it.
#include "gds_bytes.hpp"
#include "walk_oracle.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>

namespace strmfix::testing {
namespace {

namespace fs = std::filesystem;

std::string hex(const Bytes& bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    for (std::size_t i = 0; i < bytes.size() && i < 512; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 15];
        text += ' ';
    }
    if (bytes.size() > 512) text += "...";
    return text;
}

std::string describe(const std::vector<std::size_t>& slices, std::size_t block_size) {
    std::ostringstream text;
    text << "slices";
    for (const std::size_t s : slices) text << ' ' << s;
    text << ", block size " << block_size;
    return text.str();
}

// The model must itself be right on cases whose answer is known by hand.
TEST(WalkOracle, AgreesWithHandMadeCases) {
    const Bytes library = concat({header, aref(colrow12(3, 5)), aref(colrow12(70000, 2)), aref(colrow8(4, 6)), endlib});
    const OracleResult walked = oracle_walk(library);
    EXPECT_EQ(walked.output, concat({header, aref(colrow8(3, 5)), aref(colrow8(4464, 2)), aref(colrow8(4, 6)), endlib}));
    ASSERT_EQ(walked.repairs.size(), 2U);
    EXPECT_EQ(walked.repairs[0].offset, header.size() + aref_head.size() + sname.size());
    EXPECT_EQ(walked.repairs[1].columns, 70000U);
    EXPECT_EQ(walked.end, RunEnd::clean);

    const OracleResult cut = oracle_walk(without_last(library, 3));
    EXPECT_EQ(cut.output, without_last(walked.output, 3));
    EXPECT_EQ(cut.end, RunEnd::inside_record);
    EXPECT_EQ(cut.record_offset, library.size() - endlib.size());

    const Bytes padded = concat({endlib, zeros(3), colrow12(1, 1)});
    EXPECT_EQ(oracle_walk(padded).output, padded);
    EXPECT_EQ(oracle_walk(padded).end, RunEnd::clean);
    EXPECT_EQ(oracle_walk(concat({word(7), {1, 2, 3, 4}, colrow12(1, 2)})).output,
              concat({word(7), {1, 2, 3, 4}, colrow8(1, 2)}));
}

// Deterministic across platforms: raw 64-bit draws only, no std distributions.
class Draw {
public:
    explicit Draw(std::uint64_t seed) : engine_(seed) {}
    std::uint64_t below(std::uint64_t n) { return engine_() % n; }
    bool one_in(std::uint64_t n) { return below(n) == 0; }
    template <typename T> const T& pick(const std::vector<T>& items) { return items[below(items.size())]; }

private:
    std::mt19937_64 engine_;
};

std::uint32_t random_count(Draw& draw) {
    switch (draw.below(6)) {
    case 0: return static_cast<std::uint32_t>(draw.below(4));
    case 1: return static_cast<std::uint32_t>(1 + draw.below(1000));
    case 2: return static_cast<std::uint32_t>(0x8000 + draw.below(0x8000)); // high bit of the low word
    case 3: return 0xFFFF;
    case 4: return static_cast<std::uint32_t>(0x10000 + draw.below(0x100000)); // does not fit
    default: return static_cast<std::uint32_t>(draw.below(0x100000000));
    }
}

Bytes random_bytes(Draw& draw, std::size_t count) {
    Bytes bytes(count);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(draw.below(256));
    return bytes;
}

// One record, or a near miss of one, drawn from the shapes that matter to the walk.
Bytes random_record(Draw& draw) {
    switch (draw.below(14)) {
    case 0: case 1: return colrow12(random_count(draw), random_count(draw));
    case 2: return aref(colrow12(random_count(draw), random_count(draw)));
    case 3: return aref(colrow8(static_cast<std::uint16_t>(random_count(draw)), static_cast<std::uint16_t>(random_count(draw))));
    case 4: return concat({colrow8(static_cast<std::uint16_t>(draw.below(3)), static_cast<std::uint16_t>(draw.below(65536))), aref_xy});
    // A COLROW followed by an almost-XY header, either word wrong.
    case 5: return concat({colrow8(1, 0x1C), draw.one_in(2) ? Bytes{0x10, 0x02} : Bytes{0x10, 0x03}, random_bytes(draw, 2)});
    case 6: return draw.pick(std::vector<Bytes>{header, endel, endlib, sname, boundary, aref_head});
    case 7: case 8: { // any record of 2 to 41 bytes, odd lengths included
        const auto length = static_cast<std::uint16_t>(2 + draw.below(40));
        return concat({word(length), random_bytes(draw, (length & ~1U) - 2)});
    }
    case 9: return concat({word(8), {0x13, 0x02}}); // COLROW head whose data comes from what follows
    case 10: { // a record whose data looks like 12-byte COLROWs, now and then over 32 KiB
        const auto length = static_cast<std::uint16_t>(draw.one_in(8) ? 0x8000 + draw.below(0x7FFF) : 12 + draw.below(200));
        Bytes record = concat({word(length), {0x19, 0x06}});
        const Bytes lookalike = colrow12(3, 5);
        while (record.size() < length) record.push_back(lookalike[record.size() % lookalike.size()]);
        record.resize(length & ~1U);
        return record;
    }
    case 11: return concat({word(static_cast<std::uint16_t>(draw.below(2))), random_bytes(draw, draw.below(30))});
    case 12: return zeros(1 + draw.below(5));
    default: return random_bytes(draw, 1 + draw.below(6));
    }
}

Bytes mutate(Draw& draw, Bytes input) {
    const std::size_t rounds = draw.below(4);
    for (std::size_t i = 0; i < rounds && !input.empty(); ++i) {
        const std::size_t at = draw.below(input.size());
        switch (draw.below(5)) {
        case 0: input[at] = static_cast<std::uint8_t>(draw.below(256)); break;
        case 1: input[at] ^= static_cast<std::uint8_t>(1U << draw.below(8)); break;
        case 2: input.resize(at); break;
        case 3: input.erase(input.begin() + static_cast<std::ptrdiff_t>(at)); break;
        default: {
            const Bytes head = {0x00, 0x08, 0x13, 0x02};
            input.insert(input.begin() + static_cast<std::ptrdiff_t>(at), head.begin(), head.end());
        }
        }
    }
    return input;
}

std::vector<std::size_t> random_slices(Draw& draw) {
    const std::vector<std::size_t> sizes = {1, 2, 3, 4, 5, 7, 8, 11, 12, 13, 16, 29, 4093, 65536, 256 * 1024};
    std::vector<std::size_t> slices(1 + draw.below(6));
    for (auto& s : slices) s = draw.one_in(3) ? 1 + draw.below(40) : draw.pick(sizes);
    return slices;
}

TEST(CopierAgainstOracle, RandomAndMutatedInputsInRandomSlices) {
    Draw draw(20261211);
    const std::vector<std::size_t> block_sizes = {1, 2, 3, 12, 13, 64, 4093, 256 * 1024};
    const std::vector<std::size_t> ring_sizes = {1, 2, 3, 8};
    const std::vector<std::size_t> threaded_block_sizes = {13, 64, 4093};
    int failures = 0;
    for (int round = 0; round < 4000 && failures < 5; ++round) {
        Bytes input;
        const std::size_t records = draw.below(40);
        for (std::size_t i = 0; i < records; ++i) {
            const Bytes record = random_record(draw);
            input.insert(input.end(), record.begin(), record.end());
        }
        if (draw.one_in(2)) input = mutate(draw, input);
        // Into the plain in-memory sink, and in one round of eight through
        // the tool's threaded sink with a small ring (each block is a hand-off
        // between threads, so tiny blocks there are kept to a few rounds).
        for (const bool threaded : {false, round % 8 == 0}) {
            const auto slices = random_slices(draw);
            const std::size_t block_size = draw.pick(threaded ? threaded_block_sizes : block_sizes);
            const std::size_t ring_blocks = threaded ? draw.pick(ring_sizes) : 0;
            const std::string diff = compare_with_oracle(input, slices, block_size, ring_blocks);
            if (!diff.empty()) {
                ++failures;
                ADD_FAILURE() << "round " << round << ", " << describe(slices, block_size) << ", ring of "
                              << ring_blocks << ": " << diff
                              << "\ninput: " << hex(input);
            }
        }
    }
}

TEST(CopierAgainstOracle, SavedFuzzCorpus) {
    const fs::path corpus = FUZZ_CORPUS_DIR;
    ASSERT_TRUE(fs::is_directory(corpus)) << corpus << " is missing";
    std::size_t files = 0;
    for (const auto& entry : fs::directory_iterator(corpus)) {
        if (!entry.is_regular_file()) continue;
        ++files;
        std::ifstream in(entry.path(), std::ios::binary);
        const Bytes data{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        const FuzzCase c = decode_fuzz_case(data.data(), data.size());
        // The slicing the fuzzer chose, and a few fixed ones besides.
        const std::vector<std::pair<std::vector<std::size_t>, std::size_t>> runs = {
            {c.slices, c.block_size}, {{1}, 1}, {{7}, 13}, {{65536}, 256 * 1024}};
        for (const auto& [slices, block_size] : runs) {
            const std::string diff = compare_with_oracle(c.input, slices, block_size);
            EXPECT_EQ(diff, "") << entry.path().filename() << ", " << describe(slices, block_size);
        }
    }
    EXPECT_GE(files, 10U) << "the saved corpus in " << corpus << " is nearly empty";
}

} // namespace
} // namespace strmfix::testing
