#include "record_copier.hpp"

#include <cstring>

namespace strmfix {

std::byte* RecordWalker::prepend_held_back(std::byte* data) noexcept {
    std::byte* begin = data - held_size_;
    std::memcpy(begin, held_, held_size_);
    return begin;
}

std::byte* RecordWalker::walk(std::byte* begin, std::byte* end) {
    std::byte* p = begin;       // next input byte to decide on
    std::byte* out = begin;     // next output byte
    std::byte* unmoved = begin; // input passed since the last repair, not yet at `out`
    held_size_ = 0;

    if (pass_rest_) {
        p = end;
    } else {
        const auto avail = static_cast<std::size_t>(end - p);
        if (to_pass_ >= avail) {
            to_pass_ -= static_cast<std::uint32_t>(avail);
            p = end;
        } else {
            p += to_pass_;
            to_pass_ = 0;
        }
    }

    while (p != end) {
        const auto avail = static_cast<std::size_t>(end - p);
        const RecordStep step = copy_record(p, avail);
        if (step.action == RecordAction::pass) {
            if (step.size > avail) {
                record_offset_ = offset_ + static_cast<std::uint64_t>(p - begin);
                to_pass_ = step.size - static_cast<std::uint32_t>(avail);
                p = end;
                break;
            }
            p += step.size;
        } else if (step.action == RecordAction::repair) {
            const Repair repair{
                .offset = offset_ + static_cast<std::uint64_t>(p - begin),
                .index = colrow_count_,
                .columns = (std::uint32_t{read_word(p + 4)} << 16) | read_word(p + 6),
                .rows = (std::uint32_t{read_word(p + 8)} << 16) | read_word(p + 10),
            };
            // Keep the length and type words, then the low-order word of each
            // count; everything since the last repair moves up with them.
            const auto kept = static_cast<std::size_t>(p + 4 - unmoved);
            std::memmove(out, unmoved, kept);
            out += kept;
            write_word(out, static_cast<std::uint16_t>(repair.columns));
            write_word(out + 2, static_cast<std::uint16_t>(repair.rows));
            out += 4;
            p += colrow_defective_size;
            unmoved = p;
            ++colrow_count_;
            if (repair.lossy()) ++lossy_count_;
            listener_.repaired(repair);
        } else if (step.action == RecordAction::pass_rest) {
            pass_rest_ = true;
            p = end;
        } else {
            break; // wait: the rest of this block is held back
        }
    }

    held_size_ = static_cast<std::size_t>(end - p);
    std::memcpy(held_, p, held_size_);
    const auto passed = static_cast<std::size_t>(p - unmoved);
    std::memmove(out, unmoved, passed);
    offset_ += static_cast<std::uint64_t>(p - begin);
    return out + passed;
}

WalkEnd RecordWalker::end_of_input() const noexcept {
    if (held_size_ > 0) return {true, offset_};
    if (to_pass_ > 0) return {true, record_offset_};
    return {false, 0};
}

RunResult run_copy(ByteSource& input, BlockSink& output, RepairListener& listener) {
    RecordWalker walker(listener);
    RunResult result;
    for (;;) {
        const Block block = output.acquire();
        const IoResult got = input.read({block.data, block.capacity});
        std::byte* begin = walker.prepend_held_back(block.data);
        if (got.error != 0 || got.count == 0) {
            // End of input or a read error: held-back bytes pass as they stand.
            if (got.error != 0) {
                result.end = RunEnd::read_error;
                result.error = got.error;
            }
            if (const int error = output.submit(begin, block.data)) {
                result.end = RunEnd::write_error;
                result.error = error;
            }
            break;
        }
        result.bytes_read += got.count;
        std::byte* out_end = walker.walk(begin, block.data + got.count);
        if (const int error = output.submit(begin, out_end)) {
            result.end = RunEnd::write_error;
            result.error = error;
            break;
        }
    }

    const int finish_error = output.finish();
    if (result.end != RunEnd::write_error && finish_error != 0) {
        result.end = RunEnd::write_error;
        result.error = finish_error;
    }
    if (result.end == RunEnd::clean) {
        const WalkEnd walk_end = walker.end_of_input();
        if (walk_end.inside_record) {
            result.end = RunEnd::inside_record;
            result.record_offset = walk_end.record_offset;
        }
    }
    result.colrow_count = walker.colrow_count();
    result.lossy_count = walker.lossy_count();
    return result;
}

} // namespace strmfix
