// The gzip layer on its own: GzipSource over inputs served in slices of
// chosen sizes (so headers, members and trailers straddle reads), read in
// chunks of chosen sizes; GzipWriter read back through GzipSource.
#include "file_io.hpp"
#include "gzip_io.hpp"
#include "gds_bytes.hpp"
#include "run_tool.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

namespace strmfix::testing {
namespace {

// One gzip member of `data`, made by zlib itself.
Bytes gzip_member(const Bytes& data, int level = Z_DEFAULT_COMPRESSION) {
    z_stream z = {};
    EXPECT_EQ(deflateInit2(&z, level, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY), Z_OK);
    Bytes out(deflateBound(&z, data.size()) + 64);
    z.next_in = const_cast<Bytef*>(data.data());
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

// Bytes that compress somewhat, like a layout: words with a pattern and noise.
Bytes sample(std::size_t size, std::uint32_t seed) {
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        seed = seed * 1103515245 + 12345;
        bytes[i] = static_cast<std::uint8_t>(i % 7 == 0 ? (seed >> 16) : i / 64);
    }
    return bytes;
}

struct Drained {
    Bytes data;
    int error = 0;
};

// Reads the source to its end or first error, `chunk` bytes at a time.
Drained drain(ByteSource& source, std::size_t chunk) {
    Drained drained;
    std::vector<std::byte> buffer(chunk);
    for (;;) {
        const IoResult got = source.read(buffer);
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(buffer.data());
        drained.data.insert(drained.data.end(), bytes, bytes + got.count);
        if (got.error != 0) {
            EXPECT_EQ(got.count, 0u) << "data and an error from one read";
            drained.error = got.error;
            return drained;
        }
        if (got.count == 0) return drained;
    }
}

const Bytes first = sample(300000, 1);
const Bytes second = sample(70000, 2);
const Bytes first_gz = gzip_member(first);
const Bytes second_gz = gzip_member(second, 1);
const Bytes stored_gz = gzip_member(second, 0);

Bytes flipped(Bytes bytes, std::size_t at) {
    bytes[at] ^= 0x55;
    return bytes;
}

struct SourceCase {
    std::string name;
    Bytes input;
    Bytes expected;      // all that comes out, or what must come out before the fault
    bool compressed;
    GzipFault fault;
    std::size_t fault_at; // compressed offset of the fault, when it is sure
};

const std::vector<SourceCase> source_cases = {
    {"raw input passes unchanged", first, first, false, GzipFault::none, 0},
    {"empty input", {}, {}, false, GzipFault::none, 0},
    {"lone first magic byte is raw", {0x1F}, {0x1F}, false, GzipFault::none, 0},
    {"magic start then other byte is raw", {0x1F, 0x00, 0x06}, {0x1F, 0x00, 0x06}, false, GzipFault::none, 0},
    {"one member", first_gz, first, true, GzipFault::none, 0},
    {"members are read through", concat({first_gz, second_gz, stored_gz}), concat({first, second, second}),
     true, GzipFault::none, 0},
    {"empty member between", concat({first_gz, gzip_member({}), second_gz}), concat({first, second}), true,
     GzipFault::none, 0},
    {"zero padding after the last member", concat({first_gz, zeros(5000)}), first, true, GzipFault::none, 0},
    {"cut inside the data", without_last(first_gz, first_gz.size() / 2), {}, true, GzipFault::ends_early,
     first_gz.size() - first_gz.size() / 2},
    {"cut inside the trailer", without_last(concat({first_gz, second_gz}), 3), concat({first, second}), true,
     GzipFault::ends_early, first_gz.size() + second_gz.size() - 3},
    {"cut inside the second header", concat({first_gz, {0x1F, 0x8B, 0x08}}), first, true, GzipFault::ends_early,
     first_gz.size() + 3},
    {"bad CRC", flipped(first_gz, first_gz.size() - 6), first, true, GzipFault::corrupt, 0},
    {"bad compression method", flipped(concat({first_gz, second_gz}), first_gz.size() + 2), first, true,
     GzipFault::corrupt, first_gz.size() + 2},
    {"garbage after a member", concat({first_gz, {'G', 'D', 'S'}}), first, true, GzipFault::trailing,
     first_gz.size()},
    {"garbage after zero padding", concat({first_gz, zeros(10), {0x01}}), first, true, GzipFault::trailing,
     first_gz.size() + 10},
};

void PrintTo(const SourceCase& c, std::ostream* os) { *os << c.name; }

class GzipSourceCases : public ::testing::TestWithParam<SourceCase> {};

TEST_P(GzipSourceCases, InflatesWhatIsThereAndNamesTheFault) {
    const SourceCase& c = GetParam();
    for (const std::vector<std::size_t>& slices : std::vector<std::vector<std::size_t>>{
             {1}, {2, 5, 3}, {10, 4093}, {1 << 20}}) {
        for (const std::size_t chunk : {std::size_t{1}, std::size_t{777}, std::size_t{1} << 18}) {
            SCOPED_TRACE("first slice " + std::to_string(slices[0]) + ", chunk " + std::to_string(chunk));
            if (slices[0] == 1 && chunk == 1 && c.input.size() > 100000) continue; // slow, adds nothing
            SlicedSource sliced(c.input, slices);
            GzipSource source(sliced);
            const Drained drained = drain(source, chunk);
            EXPECT_EQ(source.compressed(), c.compressed);
            EXPECT_EQ(source.fault(), c.fault);
            if (c.fault == GzipFault::none) {
                EXPECT_EQ(drained.error, 0);
                EXPECT_EQ(drained.data, c.expected);
                continue;
            }
            EXPECT_EQ(drained.error, EBADMSG);
            // All that inflate gave before the fault comes out, and only real data.
            ASSERT_LE(c.expected.size(), drained.data.size());
            EXPECT_TRUE(std::equal(c.expected.begin(), c.expected.end(), drained.data.begin()));
            const Bytes whole = concat({first, second});
            ASSERT_LE(drained.data.size(), whole.size());
            EXPECT_TRUE(std::equal(drained.data.begin(), drained.data.end(), whole.begin()));
            if (c.fault_at != 0) {
                // inflate takes header fields a few bytes at a time, so it
                // stops a little past a bad byte, never before it.
                EXPECT_GE(source.compressed_offset(), c.fault_at);
                EXPECT_LE(source.compressed_offset(), c.fault_at + 4);
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Inputs, GzipSourceCases, ::testing::ValuesIn(source_cases),
                         [](const ::testing::TestParamInfo<SourceCase>& info) {
                             std::string name;
                             for (const char ch : info.param.name) name += std::isalnum(ch) ? ch : '_';
                             return name;
                         });

TEST(GzipSource, ReadErrorOfTheInnerSourceComesThrough) {
    SlicedSource sliced(first_gz, {4096}, first_gz.size() / 2);
    GzipSource source(sliced);
    const Drained drained = drain(source, 65536);
    EXPECT_EQ(drained.error, EIO);
    EXPECT_EQ(source.fault(), GzipFault::none);
    EXPECT_GT(drained.data.size(), 0u);
    EXPECT_TRUE(std::equal(drained.data.begin(), drained.data.end(), first.begin()));
}

TEST(GzipWriter, WritesOneMemberThatReadsBack) {
    TempDir dir;
    const std::string path = dir / "out.gz";
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    {
        FdWriter file(fd);
        GzipWriter gzip(file);
        // Pieces of every size the walk may hand on, empty ones included.
        std::size_t at = 0;
        for (std::size_t size = 0; at < first.size(); size = (size * 7 + 13) % 1001) {
            const std::size_t take = std::min(size, first.size() - at);
            ASSERT_EQ(gzip.write({reinterpret_cast<const std::byte*>(first.data() + at), take}), 0);
            at += take;
        }
        ASSERT_EQ(gzip.close(), 0);
    }
    const Bytes written = read_file(path);
    ASSERT_GE(written.size(), 18u);
    EXPECT_EQ(written[0], 0x1F);
    EXPECT_EQ(written[1], 0x8B);
    EXPECT_LT(written.size(), first.size());
    SlicedSource sliced(written, {65536});
    GzipSource source(sliced);
    const Drained drained = drain(source, 65536);
    EXPECT_EQ(drained.error, 0);
    EXPECT_EQ(drained.data, first);
}

TEST(GzipWriter, FullDeviceIsReported) {
    const int fd = ::open("/dev/full", O_WRONLY);
    ASSERT_GE(fd, 0);
    FdWriter file(fd);
    GzipWriter gzip(file);
    int error = 0;
    for (std::size_t at = 0; at < first.size() && error == 0; at += 65536) {
        const std::size_t take = std::min<std::size_t>(65536, first.size() - at);
        error = gzip.write({reinterpret_cast<const std::byte*>(first.data() + at), take});
    }
    const int close_error = gzip.close();
    EXPECT_EQ(error != 0 ? error : close_error, ENOSPC);
    EXPECT_EQ(close_error, ENOSPC);
}

} // namespace
} // namespace strmfix::testing
