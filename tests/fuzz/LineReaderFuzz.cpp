#include <algorithm>
#include <cstring>
#include <vector>

#include "tests/fuzz/FuzzChecks.h"
#include "common/LineReader.h"
#include "common/NetError.h"

namespace {

// The stream cut into the chunks the input describes; a chunk of size 255
// stands for one receive that times out.
struct Chunk {
    bool timeout = false;
    std::string bytes;
};

class ChunkedSource : public ByteSource {
public:
    explicit ChunkedSource(std::vector<Chunk> chunks) : chunks_(std::move(chunks)) {}

    size_t receive(char* buf, size_t len) override {
        if (++calls_ > 100000) throw std::logic_error("the reader keeps receiving after the end");
        while (next_ < chunks_.size()) {
            Chunk& c = chunks_[next_];
            if (c.timeout) {
                ++next_;
                throw NetTimeout("recv: timed out");
            }
            if (offset_ < c.bytes.size()) {
                const size_t n = std::min(len, c.bytes.size() - offset_);
                std::memcpy(buf, c.bytes.data() + offset_, n);
                offset_ += n;
                return n;
            }
            ++next_;
            offset_ = 0;
        }
        return 0;
    }

private:
    std::vector<Chunk> chunks_;
    size_t next_ = 0;
    size_t offset_ = 0;
    size_t calls_ = 0;
};

struct ModelLine {
    LineReader::Status status;
    std::string text;
};

// The whole stream split at LF, CR and CR LF; a last line without its end
// still counts; lines longer than the limit keep their first maxLine bytes.
std::vector<ModelLine> splitModel(const std::string& stream, size_t maxLine) {
    std::vector<ModelLine> lines;
    std::string line;
    bool started = false;
    for (size_t i = 0; i < stream.size(); ++i) {
        const char c = stream[i];
        if (c == '\r' || c == '\n') {
            const bool tooLong = line.size() > maxLine;
            lines.push_back({tooLong ? LineReader::Status::TooLong : LineReader::Status::Line, line.substr(0, maxLine)});
            line.clear();
            started = false;
            if (c == '\r' && i + 1 < stream.size() && stream[i + 1] == '\n') ++i;
            continue;
        }
        line += c;
        started = true;
    }
    if (started) {
        const bool tooLong = line.size() > maxLine;
        lines.push_back({tooLong ? LineReader::Status::TooLong : LineReader::Status::Line, line.substr(0, maxLine)});
    }
    return lines;
}

const char* statusName(LineReader::Status s) {
    switch (s) {
        case LineReader::Status::Line: return "Line";
        case LineReader::Status::TooLong: return "TooLong";
        case LineReader::Status::EndOfStream: return "EndOfStream";
    }
    return "?";
}

}  // namespace

std::string checkLineReader(const uint8_t* data, size_t size) {
    if (size == 0) return {};
    // Small limits reach the over-long path often; 0 and the default too.
    size_t maxLine = data[0] % 48;
    if (data[0] >= 240) maxLine = LineReader::kDefaultMaxLine;

    std::vector<Chunk> chunks;
    std::string stream;
    size_t timeouts = 0;
    for (size_t i = 1; i < size;) {
        const uint8_t n = data[i++];
        if (n == 255) {
            chunks.push_back({true, {}});
            ++timeouts;
            continue;
        }
        const size_t take = std::min<size_t>(n, size - i);
        std::string bytes(reinterpret_cast<const char*>(data + i), take);
        i += take;
        stream += bytes;
        chunks.push_back({false, std::move(bytes)});
    }

    const std::vector<ModelLine> want = splitModel(stream, maxLine);
    ChunkedSource source(std::move(chunks));
    LineReader reader(source, maxLine);
    size_t got = 0;
    size_t timeoutsSeen = 0;
    for (;;) {
        LineReader::Result r;
        try {
            r = reader.readLine();
        } catch (const NetTimeout&) {
            if (++timeoutsSeen > timeouts) return "more time-outs than the source raised";
            continue;
        } catch (const std::logic_error& e) {
            return e.what();
        }
        if (r.endOfStream()) {
            if (!r.text.empty()) return "the end of the stream carried text";
            break;
        }
        if (got >= want.size()) return "a line after the last one: \"" + r.text + "\"";
        const ModelLine& w = want[got];
        if (r.status != w.status || r.text != w.text) {
            return "line " + std::to_string(got) + ": got " + statusName(r.status) + " \"" + r.text + "\", want " +
                   statusName(w.status) + " \"" + w.text + "\"";
        }
        ++got;
    }
    if (got != want.size()) return "lines lost: got " + std::to_string(got) + " of " + std::to_string(want.size());
    // Once at the end, it stays there.
    try {
        if (!reader.readLine().endOfStream()) return "a line after the end of the stream";
    } catch (const std::exception& e) {
        return std::string("reading again at the end raised: ") + e.what();
    }
    return {};
}
