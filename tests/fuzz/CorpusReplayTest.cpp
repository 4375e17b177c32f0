// Every committed fuzz input (seeds and crash regressions) through the same
// checks the fuzz programs run, built with the project's own compiler.
#include <gtest/gtest.h>

#include <dirent.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "FuzzChecks.h"

namespace {

using Check = std::string (*)(const uint8_t*, size_t);

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
size_t replay(const std::string& target, Check check) {
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

TEST(FuzzCorpus, SessionInputsKeepEveryProperty) { EXPECT_GT(replay("session", checkSession), 0u); }

}  // namespace
