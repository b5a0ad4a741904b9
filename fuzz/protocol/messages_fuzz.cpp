// messages_fuzz.cpp - feeds arbitrary octets to the agent's message readers:
// the first octet picks the reader, the rest is what the server sent.
#include <cstddef>
#include <cstdint>
#include <span>

#include "core/log.h"
#include "fuzz/protocol/message_readers.h"
#include "protocol/memory_stream.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    zp::set_log_level(100);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    zp::memory_stream s(std::span<const uint8_t>(data + 1, size - 1));
    (void)zp::fuzz::read_message(data[0], s);
    return 0;
}
