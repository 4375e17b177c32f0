#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

#include "common/LineReader.h"
#include "common/NetError.h"

namespace {

// Delivers the given chunks one receive at a time, then the end of stream;
// an empty chunk stands for a failed receive.
class ChunkSource : public ByteSource {
public:
    explicit ChunkSource(std::vector<std::string> chunks) : chunks_(chunks.begin(), chunks.end()) {}
    size_t receive(char* buf, size_t len) override {
        if (chunks_.empty()) return 0;
        std::string& front = chunks_.front();
        if (front.empty()) {
            chunks_.pop_front();
            throw NetError("recv: failed");
        }
        const size_t n = std::min(len, front.size());
        front.copy(buf, n);
        front.erase(0, n);
        if (front.empty()) chunks_.pop_front();
        return n;
    }

private:
    std::deque<std::string> chunks_;
};

std::vector<std::string> readAll(LineReader& reader) {
    std::vector<std::string> lines;
    for (;;) {
        LineReader::Result r = reader.readLine();
        if (r.endOfStream()) return lines;
        lines.push_back(r.text);
    }
}

}  // namespace

TEST(LineReader, EndsLinesAtLfCrAndCrLf) {
    ChunkSource source({"one\ntwo\rthree\r\nfour\n"});
    LineReader reader(source);
    EXPECT_EQ(readAll(reader), (std::vector<std::string>{"one", "two", "three", "four"}));
}

TEST(LineReader, CrLfSplitAcrossReadsIsOneLineEnd) {
    ChunkSource source({"AT\r", "\nNEXT\r", "\n", "\r\n"});
    LineReader reader(source);
    EXPECT_EQ(readAll(reader), (std::vector<std::string>{"AT", "NEXT", ""}));
}

TEST(LineReader, EmptyLinesAreToldApartFromTheEndOfStream) {
    ChunkSource source({"\n\nx"});
    LineReader reader(source);
    LineReader::Result first = reader.readLine();
    EXPECT_EQ(first.status, LineReader::Status::Line);
    EXPECT_EQ(first.text, "");
    EXPECT_EQ(reader.readLine().text, "");
    LineReader::Result last = reader.readLine();
    EXPECT_EQ(last.status, LineReader::Status::Line);
    EXPECT_EQ(last.text, "x");
    EXPECT_TRUE(reader.readLine().endOfStream());
    EXPECT_TRUE(reader.readLine().endOfStream());
}

TEST(LineReader, BytesPassThroughUnchanged) {
    const std::string binary("\x00\x7F\x80\xFF\x1B", 5);
    ChunkSource source({binary + "\n"});
    LineReader reader(source);
    EXPECT_EQ(reader.readLine().text, binary);
}

TEST(LineReader, OverLongLineIsReadToItsEndButKeptBounded) {
    const std::string huge(100000, 'x');
    std::vector<std::string> chunks;
    for (size_t i = 0; i < huge.size(); i += 777) chunks.push_back(huge.substr(i, 777));
    chunks.push_back("\nshort\n");
    ChunkSource source(chunks);
    LineReader reader(source, 64);
    LineReader::Result first = reader.readLine();
    EXPECT_EQ(first.status, LineReader::Status::TooLong);
    EXPECT_EQ(first.text, std::string(64, 'x'));
    LineReader::Result second = reader.readLine();
    EXPECT_EQ(second.status, LineReader::Status::Line);
    EXPECT_EQ(second.text, "short");
}

TEST(LineReader, LineOfExactlyTheLimitIsNotTooLong) {
    ChunkSource source({std::string(64, 'y') + "\n"});
    LineReader reader(source, 64);
    EXPECT_EQ(reader.readLine().status, LineReader::Status::Line);
}

TEST(LineReader, AFailedReceiveKeepsWhatWasAlreadyRead) {
    ChunkSource source({"hel", "", "lo\n"});
    LineReader reader(source);
    EXPECT_THROW(reader.readLine(), NetError);
    EXPECT_EQ(reader.readLine().text, "hello");
}

TEST(LineReader, EveryChunkingGivesTheSameLines) {
    const std::string stream = "a\r\nbb\n\rccc\r\r\ndddd";
    const std::vector<std::string> expected{"a", "bb", "", "ccc", "", "dddd"};
    for (size_t size = 1; size <= stream.size(); ++size) {
        std::vector<std::string> chunks;
        for (size_t i = 0; i < stream.size(); i += size) chunks.push_back(stream.substr(i, size));
        ChunkSource source(chunks);
        LineReader reader(source);
        EXPECT_EQ(readAll(reader), expected) << "chunk size " << size;
    }
}
