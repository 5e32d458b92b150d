// libFuzzer target: arbitrary bytes through the real copier, served in slices
// that the first bytes choose, compared with the plain model of the walk.
// Any difference aborts with the description, so libFuzzer keeps the input.
#include "walk_oracle.hpp"

#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace strmfix::testing;
    const FuzzCase c = decode_fuzz_case(data, size);
    const std::string diff = compare_with_oracle(c.input, c.slices, c.block_size);
    if (!diff.empty()) {
        std::fprintf(stderr, "copier and model differ: %s\n", diff.c_str());
        std::abort();
    }
    return 0;
}
