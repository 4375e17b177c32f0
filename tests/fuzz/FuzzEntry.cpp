// libFuzzer's entry for one target; ORVO_FUZZ_CHECK names its check.
#include <cstdio>
#include <cstdlib>

#include "tests/fuzz/FuzzChecks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string broken = ORVO_FUZZ_CHECK(data, size);
    if (!broken.empty()) {
        std::fprintf(stderr, "property broken: %s\n", broken.c_str());
        std::abort();
    }
    return 0;
}
