// codec.cpp - primitive readers and writers of the tagged value encoding.
#include "protocol/codec.h"

#include "protocol/value_writer.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

namespace zp {

namespace {

err read_octet(ProtocolStream& s, uint8_t& b) { return s.read(&b, 1); }

// Takes the caller's tag or reads one.
err take_tag(ProtocolStream& s, tag_code& tag) {
    if (tag) return {};
    return read_tag(s, tag);
}

err skip_octets(ProtocolStream& s, uint32_t length) {
    uint8_t buf[128];
    while (length) {
        uint32_t n = length < sizeof buf ? length : static_cast<uint32_t>(sizeof buf);
        if (auto e = s.read(buf, n)) return e;
        length -= n;
    }
    return {};
}

err skip_nested(ProtocolStream& s, tag_code tag, int depth) {
    if (depth > max_nesting) return err::text("Values nested too deeply in skip_value");
    if (!tag) {
        if (auto e = read_tag(s, tag)) return e;
        if (tag == BE_EOC) return err::text("skip_value encountered end of list");
    }
    uint32_t length;
    bool indefinite;
    if (auto e = read_length(s, length, indefinite)) return e;
    if (!indefinite) return skip_octets(s, length);
    for (;;) {
        tag_code inner;
        if (auto e = read_tag(s, inner)) return e;
        if (inner == BE_EOC) break;
        if (auto e = skip_nested(s, inner, depth + 1)) return e;
    }
    return read_eoc_length(s, "List not terminated correctly in skip_value");
}

}  // namespace

// ---- readers ----

err read_tag(ProtocolStream& s, tag_code& tag) {
    uint8_t b;
    // Filler pads a cipher block (at most 15 octets before a value); a server
    // that sends nothing else would keep the agent reading for ever.
    uint32_t fillers = 0;
    do {
        if (auto e = read_octet(s, b)) return e;
        if (b == filler_octet && ++fillers > max_filler_run) return err::text("Too many filler octets in read_tag");
    } while (b == filler_octet);
    if ((b & 0x1F) != 0x1F) {
        tag = static_cast<tag_code>(((b & 0x1F) << 3) | (b >> 5));
        return {};
    }
    // High-tag-number form: groups of 7 bits, most significant first. A tag
    // code has 29 bits for the number, so at most 5 groups can be meaningful.
    uint32_t number = 0;
    uint8_t c;
    int groups = 0;
    do {
        if (auto e = read_octet(s, c)) return e;
        if (++groups > 5 || number > ((std::numeric_limits<uint32_t>::max() >> 3) >> 7))
            return err::text("data out of range in read_tag");
        number = number * 128 + (c & 0x7F);
    } while (c & 0x80);
    if (number > (std::numeric_limits<uint32_t>::max() >> 3))
        return err::text("data out of range in read_tag");
    tag = number * 8 + (b >> 5);
    return {};
}

err read_length(ProtocolStream& s, uint32_t& length, bool& indefinite) {
    uint8_t b;
    if (auto e = read_octet(s, b)) return e;
    if (b == 0x80) {
        length = 0;
        indefinite = true;
        return {};
    }
    if (b < 0x80) {
        length = b;
        indefinite = false;
        return {};
    }
    size_t n = b & 0x7F;
    if (n > 4) return err::text("data out of range in read_length");
    uint8_t octets[4];
    if (auto e = s.read(octets, n)) return e;
    uint32_t v = 0;
    for (size_t i = 0; i < n; ++i) v = (v << 8) | octets[i];
    length = v;
    indefinite = false;
    return {};
}

err read_signed_int(ProtocolStream& s, int32_t minimum, int32_t maximum, int32_t& value,
                    tag_code tag) {
    if (auto e = take_tag(s, tag)) return e;
    if (tag != BE_INTEGER) return err::text("Wrong tag, expected BE_INTEGER");
    uint32_t length;
    bool indefinite;
    if (auto e = read_length(s, length, indefinite)) return e;
    if (indefinite || length > 4) return err::text("data out of range in read_signed_int");
    uint8_t octets[4];
    if (auto e = s.read(octets, length)) return e;
    int64_t v = 0;
    if (length) {
        v = static_cast<int8_t>(octets[0]);
        for (uint32_t i = 1; i < length; ++i) v = v * 256 + octets[i];
    }
    if (v < minimum || v > maximum) return err::text("data out of range in read_signed_int");
    value = static_cast<int32_t>(v);
    return {};
}

err read_bool(ProtocolStream& s, int32_t& value, tag_code tag) {
    if (auto e = take_tag(s, tag)) return e;
    if (tag != BE_BOOLEAN) return err::text("Wrong tag, expected BE_BOOLEAN");
    uint32_t length;
    bool indefinite;
    if (auto e = read_length(s, length, indefinite)) return e;
    if (indefinite || length != 1) return err::text("data out of range in read_bool");
    uint8_t b;
    if (auto e = read_octet(s, b)) return e;
    value = b ? 1 : 0;
    return {};
}

err read_bool(ProtocolStream& s, bool& value, tag_code tag) {
    int32_t v;
    if (auto e = read_bool(s, v, tag)) return e;
    value = v != 0;
    return {};
}

err read_enumerated(ProtocolStream& s, uint32_t& value, tag_code expected, tag_code tag) {
    if (auto e = take_tag(s, tag)) return e;
    if (tag != expected) return err::text("Wrong tag, expected another type");
    uint32_t length;
    bool indefinite;
    if (auto e = read_length(s, length, indefinite)) return e;
    if (indefinite || length > 5) return err::text("data out of range in read_enumerated");
    uint8_t octets[5];
    if (auto e = s.read(octets, length)) return e;
    if (length && octets[0] >= 0x80) return err::text("data out of range in read_enumerated");
    if (length == 5 && octets[0] != 0) return err::text("data out of range in read_enumerated");
    uint32_t v = 0;
    for (uint32_t i = 0; i < length; ++i) v = (v << 8) | octets[i];
    value = v;
    return {};
}

err read_string(ProtocolStream& s, size_t maximum, std::string& value, tag_code tag) {
    if (auto e = take_tag(s, tag)) return e;
    if (tag != BE_STRING) return err::text("Wrong tag, expected BE_STRING");
    uint32_t length;
    bool indefinite;
    if (auto e = read_length(s, length, indefinite)) return e;
    if (indefinite || length > maximum) return err::text("data out of range in read_string");
    std::string text;
    try {
        text.resize(length);
    } catch (const std::bad_alloc&) {
        return err::text("Unable to allocate data in read_string");
    }
    if (auto e = s.read(text.data(), length)) return e;
    value = std::move(text);
    return {};
}

err read_null(ProtocolStream& s, tag_code tag) {
    if (auto e = take_tag(s, tag)) return e;
    if (tag != BE_NULL) return err::text("Wrong tag, expected BE_NULL");
    uint32_t length;
    bool indefinite;
    if (auto e = read_length(s, length, indefinite)) return e;
    if (indefinite || length != 0) return err::text("Null object contains data of non-zero length");
    return {};
}

err read_real(ProtocolStream& s, double& value, tag_code tag) {
    if (auto e = take_tag(s, tag)) return e;
    if (tag != BE_REAL) return err::text("Wrong tag, expected BE_REAL");
    uint32_t length;
    bool indefinite;
    if (auto e = read_length(s, length, indefinite)) return e;
    if (indefinite || length > max_real_length) return err::text("data out of range in read_real");
    if (length == 0) {
        value = 0.0;
        return {};
    }
    char contents[max_real_length + 1];
    if (auto e = s.read(contents, length)) return e;
    contents[length] = '\0';
    switch (static_cast<uint8_t>(contents[0])) {
    case 0x40:
        value = std::numeric_limits<double>::infinity();
        return {};
    case 0x41:
        value = -std::numeric_limits<double>::infinity();
        return {};
    case 0x60: {
        uint64_t bits = 0xFFF8000000000000ULL;
        std::memcpy(&value, &bits, sizeof value);
        return {};
    }
    case 0x00:
        break;
    default:
        return err::text("Unsupported real number format revceived");
    }
    double v = std::strtod(contents + 1, nullptr);
    if (v == 0.0) return err::text("Zero/non-zero real mismatch");
    value = v;
    return {};
}

err skip_value(ProtocolStream& s, tag_code tag) { return skip_nested(s, tag, 1); }

err skip_to_eol(ProtocolStream& s) {
    tag_code tag;
    if (auto e = read_tag(s, tag)) return e;
    while (tag != BE_EOC) {
        if (auto e = skip_value(s, tag)) return e;
        if (auto e = read_tag(s, tag)) return e;
    }
    return read_eoc_length(s, "List not terminated correctly in skip_to_eol");
}

err read_eoc_length(ProtocolStream& s, const char* text) {
    uint32_t length;
    bool indefinite;
    if (auto e = read_length(s, length, indefinite)) return e;
    if (indefinite || length != 0) return err::text(text);
    return {};
}

// ---- writers ----

namespace {

template <class F>
err write_one(ProtocolStream& s, F encode) {
    value_writer w(s);
    if (auto e = encode(w)) return e;
    return w.finish();
}

}  // namespace

err write_tag(ProtocolStream& s, tag_code tag) {
    return write_one(s, [&](value_writer& w) { w.tag(tag); return err(); });
}

err write_length(ProtocolStream& s, uint32_t length) {
    return write_one(s, [&](value_writer& w) { w.length(length); return err(); });
}

err write_indefinite(ProtocolStream& s) {
    static const uint8_t octet = 0x80;
    return s.write(&octet, 1);
}

err write_end_of_contents(ProtocolStream& s) {
    static const uint8_t octets[2] = {0, 0};
    return s.write(octets, 2);
}

err write_list_start(ProtocolStream& s) {
    static const uint8_t octets[2] = {0x30, 0x80};
    return s.write(octets, 2);
}

err write_constructed_start(ProtocolStream& s, tag_code tag) {
    return write_one(s, [&](value_writer& w) { w.constructed_start(tag); return err(); });
}

err write_signed_int(ProtocolStream& s, int32_t minimum, int32_t maximum, int32_t value) {
    return write_one(s, [&](value_writer& w) { return w.signed_int(minimum, maximum, value); });
}

err write_bool(ProtocolStream& s, bool value) {
    const uint8_t octets[3] = {0x01, 0x01, static_cast<uint8_t>(value ? 1 : 0)};
    return s.write(octets, 3);
}

err write_enumerated(ProtocolStream& s, uint32_t value, tag_code tag) {
    return write_one(s, [&](value_writer& w) { w.enumerated(value, tag); return err(); });
}

err write_string(ProtocolStream& s, size_t maximum, std::string_view value) {
    return write_one(s, [&](value_writer& w) { return w.string(maximum, value); });
}

err write_string(ProtocolStream& s, size_t maximum, const char* value) {
    return write_string(s, maximum, std::string_view(value ? value : ""));
}

err write_null(ProtocolStream& s) {
    static const uint8_t octets[2] = {0x05, 0x00};
    return s.write(octets, 2);
}

err write_real(ProtocolStream& s, double value) {
    return write_one(s, [&](value_writer& w) { return w.real(value); });
}

}  // namespace zp
