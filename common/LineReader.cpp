#include "common/LineReader.h"

#include <utility>

LineReader::LineReader(ByteSource& source, size_t maxLine) : source_(source), maxLine_(maxLine) {}

bool LineReader::fill() {
    if (atEnd_) return false;
    const size_t n = source_.receive(buf_, sizeof buf_);
    pos_ = 0;
    end_ = n;
    if (n == 0) atEnd_ = true;
    return n > 0;
}

LineReader::Result LineReader::take(Status status) {
    if (status != Status::EndOfStream && tooLong_) status = Status::TooLong;
    Result result{status, std::move(line_)};
    line_.clear();
    tooLong_ = false;
    started_ = false;
    return result;
}

LineReader::Result LineReader::readLine() {
    for (;;) {
        if (pos_ == end_ && !fill()) {
            // A last line without terminator still counts as a line.
            return take(started_ ? Status::Line : Status::EndOfStream);
        }
        if (skipLF_) {
            skipLF_ = false;
            if (buf_[pos_] == '\n') {
                ++pos_;
                continue;
            }
        }
        while (pos_ < end_) {
            const char c = buf_[pos_++];
            if (c == '\n' || c == '\r') {
                skipLF_ = (c == '\r');
                return take(Status::Line);
            }
            started_ = true;
            if (line_.size() < maxLine_) {
                line_ += c;
            } else {
                tooLong_ = true;
            }
        }
    }
}
