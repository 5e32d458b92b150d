// One input larger than 4 GiB, made by the generator on the fly: nothing is
// stored on disk. The generator writes both forms into FIFOs; the defective
// form reaches the tool through another FIFO with a lossy COLROW and a cut
// record appended, so both messages carry offsets past 4 GiB; the tool's
// output goes into a FIFO too, and is compared with the sound form (plus the
// expected tail) by a hash of each stream. Its peak memory must not grow
// with the input.
#include "file_io.hpp"
#include "gds_bytes.hpp"
#include "run_tool.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace strmfix::testing {
namespace {

// 64-bit hash of a byte stream, independent of how the stream was split.
class StreamHash {
public:
    void feed(const std::uint8_t* data, std::size_t size) {
        bytes_ += size;
        for (std::size_t i = 0; i < size; ++i) {
            word_ = (word_ << 8) | data[i];
            if (++in_word_ == 8) mix();
        }
    }
    void feed(const Bytes& bytes) { feed(bytes.data(), bytes.size()); }
    std::uint64_t digest() {
        if (in_word_ > 0) mix();
        return hash_ ^ bytes_;
    }
    std::uint64_t size() const { return bytes_; }

private:
    void mix() {
        hash_ = (hash_ ^ word_) * 0x9E3779B97F4A7C15ULL;
        hash_ ^= hash_ >> 29;
        word_ = 0;
        in_word_ = 0;
    }
    std::uint64_t hash_ = 0xCBF29CE484222325ULL;
    std::uint64_t word_ = 0;
    std::uint64_t bytes_ = 0;
    int in_word_ = 0;
};

// Descriptors here are close-on-exec: a FIFO end leaked into a child run
// by another thread would keep its reader from ever seeing the end.
// Reads the FIFO to its end into `hash`, and copies it to `copy_to` if that is open.
void drain(const std::string& fifo, StreamHash* hash, int copy_to = -1) {
    const int fd = ::open(fifo.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    const auto buffer = std::make_unique<std::uint8_t[]>(1 << 20);
    for (;;) {
        const ssize_t got = ::read(fd, buffer.get(), 1 << 20);
        if (got <= 0) break;
        if (hash) hash->feed(buffer.get(), static_cast<std::size_t>(got));
        if (copy_to >= 0 && write_all(copy_to, reinterpret_cast<const std::byte*>(buffer.get()),
                                      static_cast<std::size_t>(got)) != 0)
            break;
    }
    ::close(fd);
}

TEST(LargeInput, OverFourGibibytesThroughFifos) {
    TempDir dir;
    const std::string sound_fifo = dir / "sound.fifo";
    const std::string defective_fifo = dir / "defective.fifo";
    const std::string input_fifo = dir / "input.fifo";
    const std::string output_fifo = dir / "output.fifo";
    for (const std::string& fifo : {sound_fifo, defective_fifo, input_fifo, output_fifo})
        ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);

    // After the generator's ENDLIB the walk goes on record by record.
    const Bytes tail_defective = concat({colrow12(70000, 3), {0x00, 0x0C, 0x05, 0x02, 0x00}});
    const Bytes tail_sound = concat({colrow8(70000 & 0xFFFF, 3), {0x00, 0x0C, 0x05, 0x02, 0x00}});

    ToolRun generated;
    std::thread generator([&] {
        ToolOptions options;
        options.program = GDSGEN_BINARY;
        generated = run_tool({"--sound", sound_fifo, "--defective", defective_fifo, "--seed", "4242", "--size",
                              "4200M", "--aref-every", "200", "--max-count", "65535", "--count-arefs"},
                             options);
    });
    StreamHash sound;
    std::thread sound_reader([&] {
        drain(sound_fifo, &sound);
        sound.feed(tail_sound);
    });
    StreamHash forwarded;
    std::thread feeder([&] {
        const int to_tool = ::open(input_fifo.c_str(), O_WRONLY | O_CLOEXEC);
        drain(defective_fifo, &forwarded, to_tool);
        write_all(to_tool, reinterpret_cast<const std::byte*>(tail_defective.data()), tail_defective.size());
        ::close(to_tool);
    });
    StreamHash output;
    std::thread output_reader([&] { drain(output_fifo, &output); });

    const ToolRun run = run_tool({input_fifo, output_fifo});
    generator.join();
    sound_reader.join();
    feeder.join();
    output_reader.join();

    ASSERT_EQ(generated.status, 0) << generated.err;
    const std::uint64_t arefs = std::stoull(generated.out);
    const std::uint64_t generated_size = forwarded.size();
    ASSERT_GT(generated_size, std::uint64_t{1} << 32);

    const std::uint64_t colrow_at = generated_size;
    const std::uint64_t cut_at = generated_size + 12;
    const std::uint64_t end = cut_at + 5;
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "strmfix: " + input_fifo + ": COLROW counts 70000 x 3 do not fit in 16 bits; kept 4464 x 3 (at byte " +
                           std::to_string(colrow_at) + ")\n" + "strmfix: " + input_fifo + ": input ends at byte " +
                           std::to_string(end) + " inside the record at byte " + std::to_string(cut_at) + "\n");
    EXPECT_EQ(run.out.size(), [&] {
        std::size_t size = 0;
        for (std::uint64_t i = 0; i <= arefs; ++i) size += std::to_string(i).size() + 9; // "colrow N \n"
        return size;
    }());
    EXPECT_TRUE(run.out.ends_with("colrow " + std::to_string(arefs) + " \n"));
    EXPECT_EQ(output.size(), sound.size());
    EXPECT_EQ(output.size(), end - 4 * (arefs + 1));
    EXPECT_EQ(output.digest(), sound.digest());
    // Memory is the blocks in flight, whatever the input's size.
    EXPECT_LT(run.max_rss_kib, 128 * 1024);
    std::cout << "input " << end << " bytes, " << arefs + 1 << " repairs, peak memory of strmfix "
              << run.max_rss_kib << " KiB\n";
}

} // namespace
} // namespace strmfix::testing
