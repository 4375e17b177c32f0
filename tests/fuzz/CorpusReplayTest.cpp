// Every committed fuzz input (seeds and crash regressions) through the same
// checks the fuzz programs run, built with the project's own compiler.
#include <gtest/gtest.h>

#include <dirent.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "tests/fuzz/FuzzChecks.h"
#include "tests/fuzz/SessionHarness.h"

namespace {

using Check = std::function<std::string(const uint8_t*, size_t)>;

std::vector<std::string> filesIn(const std::string& dir) {
    std::vector<std::string> files;
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) return files;
    while (dirent* e = ::readdir(d)) {
        if (e->d_name[0] != '.') files.push_back(dir + "/" + e->d_name);
    }
    ::closedir(d);
    std::sort(files.begin(), files.end());
    return files;
}

// The number of inputs replayed.
size_t replay(const std::string& target, const Check& check) {
    size_t n = 0;
    for (const char* kind : {"corpus", "regressions"}) {
        for (const std::string& file : filesIn(std::string(ORVO_FUZZ_DIR) + "/" + kind + "/" + target)) {
            std::ifstream in(file, std::ios::binary);
            const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            EXPECT_EQ(check(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()), "") << file;
            ++n;
        }
    }
    return n;
}

TEST(FuzzCorpus, HexCodecInputsKeepEveryProperty) { EXPECT_GT(replay("hex_codec", checkHexCodec), 0u); }

TEST(FuzzCorpus, LineReaderInputsKeepEveryProperty) { EXPECT_GT(replay("line_reader", checkLineReader), 0u); }

TEST(FuzzCorpus, TelnetCodecInputsKeepEveryProperty) { EXPECT_GT(replay("telnet_codec", checkTelnetCodec), 0u); }

TEST(FuzzCorpus, SessionInputsKeepEveryProperty) {
    // A harness of this test's lifetime: the controller is gone before the
    // process tears down its class-wide fields.
    SessionHarness harness;
    EXPECT_GT(replay("session", [&harness](const uint8_t* data, size_t size) {
                  return harness.check(std::string(reinterpret_cast<const char*>(data), size));
              }),
              0u);
}

}  // namespace
