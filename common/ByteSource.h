#pragma once
// Where a line reader gets its bytes: a socket, or a test feeding chunks.
#include <cstddef>

class ByteSource {
public:
    virtual ~ByteSource() = default;
    // Up to len bytes into buf; 0 at the end of the stream. Blocks until at
    // least one byte or the end; raises NetError (NetTimeout) on failure.
    virtual size_t receive(char* buf, size_t len) = 0;
};
