#pragma once
// Reads text lines from a byte source. A line ends at LF, CR or CR LF, also
// when the CR and the LF arrive in separate reads; the terminator is not part
// of the line. The end of the stream is told apart from an empty line. A
// line longer than the limit is read to its end but only its first maxLine
// characters are kept, and it is marked TooLong, so memory stays bounded.
// One reading thread at a time.
#include <cstddef>
#include <string>

#include "common/ByteSource.h"

class LineReader {
public:
    static constexpr size_t kDefaultMaxLine = 4096;

    enum class Status { Line, TooLong, EndOfStream };
    struct Result {
        Status status;
        std::string text;  // empty at EndOfStream
        bool endOfStream() const { return status == Status::EndOfStream; }
    };

    // The source must outlive the reader.
    explicit LineReader(ByteSource& source, size_t maxLine = kDefaultMaxLine);

    // Blocks until a whole line or the end of the stream; raises NetError
    // (NetTimeout on the source's time-out). After an error the reader may be
    // used again: bytes already received are kept.
    Result readLine();

private:
    bool fill();  // false at the end of the stream
    Result take(Status status);

    ByteSource& source_;
    const size_t maxLine_;
    char buf_[4096];
    size_t pos_ = 0;
    size_t end_ = 0;
    bool skipLF_ = false;  // the last line ended at CR: a first LF belongs to it
    bool atEnd_ = false;
    // The line being read, kept across a failed receive.
    std::string line_;
    bool tooLong_ = false;
    bool started_ = false;
};
