// codec.h - the tagged value encoding the agent and the server exchange: tag
// codes, identifier and length octets, and the primitive readers and writers.
//
// A tag code is tag number * 8 + class * 2 + constructed (class 0 universal,
// 1 application, 2 context-specific, 3 private). Tag code 0 is end-of-contents.
//
// Every primitive works directly on a ProtocolStream with no buffering or
// look-ahead of its own: a reader consumes exactly the octets of the value it
// reads. Each returns none or an error text; out-parameters are left unchanged
// on failure. After an error the position in the stream is undefined and the
// caller abandons the connection. Every reader of a single value takes, last, a
// tag code the caller may already have read; 0 means "read the identifier here".
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "protocol/stream.h"

namespace zp {

using tag_code = uint32_t;

inline constexpr tag_code BE_EOC = 0;
inline constexpr tag_code BE_BOOLEAN = 8;
inline constexpr tag_code BE_INTEGER = 16;
inline constexpr tag_code BE_STRING = 32;
inline constexpr tag_code BE_NULL = 40;
inline constexpr tag_code BE_REAL = 72;
inline constexpr tag_code BE_ENUMERATED = 80;
inline constexpr tag_code BE_SEQ = 129;
// Universal 25, primitive: the cipher stream pads its blocks with this octet,
// and identifier readers skip it.
inline constexpr tag_code BE_FILLER = 200;
inline constexpr uint8_t filler_octet = 0x19;
// Most filler octets read_tag skips in a row before it gives up.
inline constexpr uint32_t max_filler_run = 4096;

// Tag codes of application-class constructed values (messages) and of
// context-specific constructed values (choice variants and nested records).
constexpr tag_code application_tag(uint32_t number) { return number * 8 + 3; }
constexpr tag_code context_tag(uint32_t number) { return number * 8 + 5; }

// Deepest nesting of indefinite-length values that skip_value walks (and that
// the recursive list readers accept); deeper values are refused, so that a
// peer cannot exhaust the stack.
inline constexpr int max_nesting = 64;

// Longest contents of a REAL the reader accepts.
inline constexpr uint32_t max_real_length = 59;

// ---- readers ----

// Reads identifier octets, skipping 0x19 fillers before them. The high-tag
// number form is read both ways; numbers that do not fit a tag code are refused.
err read_tag(ProtocolStream& s, tag_code& tag);
// Reads length octets: 0x80 gives length 0 and indefinite true; otherwise the
// short form or the long form with 1 to 4 octets.
err read_length(ProtocolStream& s, uint32_t& length, bool& indefinite);
// A 32-bit INTEGER in [minimum, maximum].
err read_signed_int(ProtocolStream& s, int32_t minimum, int32_t maximum, int32_t& value,
                    tag_code tag = 0);
// A BOOLEAN of exactly one octet; any non-zero octet is true (1).
err read_bool(ProtocolStream& s, int32_t& value, tag_code tag = 0);
err read_bool(ProtocolStream& s, bool& value, tag_code tag = 0);
// An unsigned ENUMERATED of 0 to 5 octets under the tag `expected`
// (BE_ENUMERATED for every field of the protocol).
err read_enumerated(ProtocolStream& s, uint32_t& value, tag_code expected, tag_code tag = 0);
// An OCTET STRING of at most `maximum` octets. The contents are kept as they
// came, NUL octets included. The caller owns the result.
err read_string(ProtocolStream& s, size_t maximum, std::string& value, tag_code tag = 0);
// A NULL; any contents are refused.
err read_null(ProtocolStream& s, tag_code tag = 0);
// A REAL in the agent's own forms (empty, 0x00 + "%e" text, 0x40, 0x41, 0x60).
err read_real(ProtocolStream& s, double& value, tag_code tag = 0);
// Skips one complete value of any type (by its length form only). Nesting
// deeper than max_nesting is refused.
err skip_value(ProtocolStream& s, tag_code tag = 0);
// Skips the remaining values of the current constructed value and consumes its
// end-of-contents.
err skip_to_eol(ProtocolStream& s);
// Reads the length octet of an end-of-contents whose identifier the caller has
// read; it must be the definite length 0, otherwise `text` is returned.
err read_eoc_length(ProtocolStream& s, const char* text);

// ---- writers ----

err write_tag(ProtocolStream& s, tag_code tag);
err write_length(ProtocolStream& s, uint32_t length);
err write_indefinite(ProtocolStream& s);
err write_end_of_contents(ProtocolStream& s);
// 30 80: a list in indefinite form.
err write_list_start(ProtocolStream& s);
// Identifier and 0x80 of a constructed value.
err write_constructed_start(ProtocolStream& s, tag_code tag);
// Writes nothing when `value` is outside [minimum, maximum].
err write_signed_int(ProtocolStream& s, int32_t minimum, int32_t maximum, int32_t value);
err write_bool(ProtocolStream& s, bool value);
err write_enumerated(ProtocolStream& s, uint32_t value, tag_code tag = BE_ENUMERATED);
// Writes nothing when `value` is longer than `maximum`.
err write_string(ProtocolStream& s, size_t maximum, std::string_view value);
// A null pointer is written like the empty string.
err write_string(ProtocolStream& s, size_t maximum, const char* value);
err write_null(ProtocolStream& s);
err write_real(ProtocolStream& s, double value);

}  // namespace zp
