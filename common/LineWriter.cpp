#include "common/LineWriter.h"

void LineWriter::writeLine(const std::string& text) {
    // One send per line: the line and its end leave together.
    const std::string framed = text + lineEnd_;
    socket_.sendAll(framed.data(), framed.size());
}
