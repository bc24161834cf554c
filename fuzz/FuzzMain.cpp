// libFuzzer's entry point for one target, chosen at build time by BRINDLE_FUZZ_TARGET (a function of
// FuzzTargets.h). A broken invariant is reported and aborts, which libFuzzer records as a crash.

#include "fuzz/FuzzTargets.h"

#include <cstdio>
#include <cstdlib>

#ifndef BRINDLE_FUZZ_TARGET
#error "BRINDLE_FUZZ_TARGET names the target function"
#endif

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        brindle::fuzz::BRINDLE_FUZZ_TARGET(std::string_view(reinterpret_cast<const char*>(data), size));
    } catch (const brindle::fuzz::InvariantBroken& broken) {
        std::fprintf(stderr, "invariant broken: %s\n", broken.what());
        std::abort();
    }
    return 0;
}
