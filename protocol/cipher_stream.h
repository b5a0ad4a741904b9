// cipher_stream.h - the AES-128-ECB layer that enciphers a connection once the
// hallmark is known: writes are gathered into 16-byte blocks, a flush pads the
// last partial block with 0x19 octets, reads pull whole 16-byte blocks.
#pragma once

#include <string_view>

#include "protocol/stream.h"

namespace zp {

// Opens a cipher stream over `lower` with the AES-128 key given as 32
// hexadecimal characters (upper or lower case), normally the hallmark.
// On success the cipher stream owns the lower stream (`lower` is left empty)
// and closing the cipher stream closes it. On failure (a key text that is not
// 32 hexadecimal characters, or no cipher handle) it returns null and `lower`
// stays with the caller.
//
// The stream's operations:
// - write gathers bytes; only whole enciphered blocks reach the lower stream.
// - flush pads a partial block with 0x19 octets (skipped by the reader of the
//   far side where it expects an identifier, so flush only at a message's end),
//   writes it and flushes the lower stream.
// - read pulls exactly 16 octets from the lower stream whenever its block is
//   empty; it never flushes pending output (flush before waiting for a reply).
// - wait_readable asks the lower stream; deciphered bytes still held here are
//   not counted.
// - close drops a partial output block unsent and closes the lower stream.
// Errors of the lower stream are returned unchanged. One thread per stream.
stream_ptr open_cipher_stream(stream_ptr& lower, std::string_view key_text);

}  // namespace zp
