// The sink that writes on its own thread: many blocks through a small ring,
// at block sizes small enough that records and repairs straddle every
// boundary, and write errors that surface as they do without the thread.
#include "file_io.hpp"
#include "gds_bytes.hpp"
#include "memory_io.hpp"
#include "record_copier.hpp"
#include "threaded_sink.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdint>
#include <string>

#include <fcntl.h>
#include <unistd.h>

namespace strmfix::testing {
namespace {

// A library with hundreds of defective AREFs, and its repaired form.
struct Library {
    Bytes defective;
    Bytes sound;
    std::size_t arefs = 0;
};

Library library_with_arefs(std::uint32_t count) {
    Library library{header, header, 0};
    for (std::uint32_t i = 0; i < count; ++i) {
        const auto columns = static_cast<std::uint16_t>(i % 1000 + 1);
        const auto rows = static_cast<std::uint16_t>(i % 7 + 1);
        library.defective = concat({library.defective, boundary, aref(colrow12(columns, rows))});
        library.sound = concat({library.sound, boundary, aref(colrow8(columns, rows))});
        ++library.arefs;
    }
    library.defective = concat({library.defective, endlib, zeros(6)});
    library.sound = concat({library.sound, endlib, zeros(6)});
    return library;
}

struct RingShape {
    std::size_t block_size;
    std::size_t ring_blocks;
    std::size_t slice; // bytes per read
};

class ThreadedSinkRing : public ::testing::TestWithParam<RingShape> {};

TEST_P(ThreadedSinkRing, ManyBlocksComeOutInOrderWithEveryRepair) {
    const RingShape shape = GetParam();
    const Library library = library_with_arefs(300);
    SlicedSource source(library.defective, {shape.slice});
    MemoryWriter writer;
    RecordingListener listener;
    RunResult result;
    {
        ThreadedSink sink(writer, shape.block_size, shape.ring_blocks);
        result = run_copy(source, sink, listener);
    }
    EXPECT_EQ(result.end, RunEnd::clean);
    EXPECT_EQ(writer.output, library.sound);
    EXPECT_EQ(result.colrow_count, library.arefs);
    ASSERT_EQ(listener.repairs.size(), library.arefs);
    for (std::size_t i = 0; i < listener.repairs.size(); ++i) EXPECT_EQ(listener.repairs[i].index, i);
    EXPECT_EQ(writer.close_calls, 1);
}

INSTANTIATE_TEST_SUITE_P(Shapes, ThreadedSinkRing,
                         ::testing::Values(RingShape{1, 1, 1}, RingShape{1, 2, 3}, RingShape{13, 2, 13},
                                           RingShape{13, 3, 5}, RingShape{64, 4, 7}, RingShape{4096, 4, 65536}),
                         [](const ::testing::TestParamInfo<RingShape>& info) {
                             return "block" + std::to_string(info.param.block_size) + "_ring" +
                                    std::to_string(info.param.ring_blocks) + "_slice" +
                                    std::to_string(info.param.slice);
                         });

TEST(ThreadedSinkErrors, WriteErrorStopsTheRunAndKeepsWhatWasWrittenBefore) {
    const Library library = library_with_arefs(50);
    for (const std::size_t fail_after : {std::size_t{0}, std::size_t{100}, library.sound.size() - 1}) {
        SCOPED_TRACE("fail after " + std::to_string(fail_after));
        SlicedSource source(library.defective, {16});
        MemoryWriter writer(fail_after);
        RecordingListener listener;
        ThreadedSink sink(writer, 16, 3);
        const RunResult result = run_copy(source, sink, listener);

        EXPECT_EQ(result.end, RunEnd::write_error);
        EXPECT_EQ(result.error, ENOSPC);
        ASSERT_LE(writer.output.size(), fail_after);
        EXPECT_EQ(writer.output, Bytes(library.sound.begin(),
                                       library.sound.begin() + static_cast<std::ptrdiff_t>(writer.output.size())));
        EXPECT_EQ(writer.writes_after_failure, 0);
        EXPECT_EQ(writer.close_calls, 1);
    }
}

TEST(ThreadedSinkErrors, CloseErrorIsAWriteError) {
    const Library library = library_with_arefs(3);
    SlicedSource source(library.defective, {64});
    MemoryWriter writer(SIZE_MAX, EIO);
    RecordingListener listener;
    ThreadedSink sink(writer, 64, 2);
    const RunResult result = run_copy(source, sink, listener);

    EXPECT_EQ(result.end, RunEnd::write_error);
    EXPECT_EQ(result.error, EIO);
    EXPECT_EQ(writer.output, library.sound);
}

// The descriptor errors the command line reports, raised on the writer thread.
TEST(ThreadedSinkErrors, DescriptorErrorsReachTheRun) {
    std::signal(SIGPIPE, SIG_IGN);
    const Library library = library_with_arefs(20);

    const int full = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(full, 0);
    int pipe_ends[2];
    ASSERT_EQ(::pipe2(pipe_ends, O_CLOEXEC), 0);
    ::close(pipe_ends[0]); // the reader is gone

    const struct {
        const char* name;
        int fd;
        int error;
    } cases[] = {{"/dev/full", full, ENOSPC}, {"pipe without a reader", pipe_ends[1], EPIPE}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SlicedSource source(library.defective, {100});
        FdWriter writer(c.fd);
        RecordingListener listener;
        ThreadedSink sink(writer, 32, 2);
        const RunResult result = run_copy(source, sink, listener);
        EXPECT_EQ(result.end, RunEnd::write_error);
        EXPECT_EQ(result.error, c.error);
    }
}

} // namespace
} // namespace strmfix::testing
