// stream.h - the five operations every byte stream offers (socket, cipher, memory).
// A stream belongs to one thread. Each operation returns an error text or none;
// after an error the position in the stream is undefined and the caller closes it.
// The owner holds the stream in a stream_ptr; destroying it closes it.
#pragma once

#include <cstddef>
#include <memory>

#include "core/err.h"

namespace zp {

struct ProtocolStream {
    virtual ~ProtocolStream() = default;
    virtual err read(void* buf, size_t n) = 0;         // exactly n bytes, or error
    virtual err write(const void* buf, size_t n) = 0;  // all n bytes, or error
    virtual err flush() = 0;                           // push out what is held back
    virtual int wait_readable(int seconds) = 0;        // 1 readable, 0 not
    virtual void close() = 0;  // flushes pending output, closes the transport; once
};

using stream_ptr = std::unique_ptr<ProtocolStream>;

}  // namespace zp
