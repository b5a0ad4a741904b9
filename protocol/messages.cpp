// messages.cpp - readers and writers of the session and short-request messages.
#include "protocol/messages.h"

#include <climits>

namespace zp {

namespace {

constexpr int32_t any_min = INT32_MIN;
constexpr int32_t any_max = INT32_MAX;

}  // namespace

// ---- helpers ----

err member_error(const char* member, const err& e) { return format_error("%s: %s", member, e.c_str()); }

err read_record_start(ProtocolStream& s, tag_code expected, const char* reader, tag_code tag) {
    if (!tag) {
        if (auto e = read_tag(s, tag)) return e;
    }
    if (tag != expected) return format_error("Wrong tag (%d) encountered in %s", static_cast<int>(tag), reader);
    uint32_t length;
    bool indefinite;
    if (auto e = read_length(s, length, indefinite)) return e;
    if (!indefinite) return format_error("Definite length read in %s", reader);
    return {};
}

err read_list_start(ProtocolStream& s, const char* reader, tag_code tag) {
    if (!tag) {
        if (auto e = read_tag(s, tag)) return e;
    }
    if (tag != BE_SEQ) return format_error("Wrong tag in %s", reader);
    uint32_t length;
    bool indefinite;
    if (auto e = read_length(s, length, indefinite)) return e;
    if (!indefinite) return format_error("Not indefinite length in %s", reader);
    return {};
}

err read_list_next(ProtocolStream& s, const char* reader, tag_code& tag, bool& end) {
    tag_code t;
    if (auto e = read_tag(s, t)) return e;
    if (t == BE_EOC) {
        uint32_t length;
        bool indefinite;
        if (auto e = read_length(s, length, indefinite)) return e;
        if (indefinite || length) return format_error("List not terminated correctly in %s", reader);
        end = true;
        return {};
    }
    tag = t;
    end = false;
    return {};
}

// ---- session set-up ----

err write_client_wants(ProtocolStream& s) {
    if (auto e = write_constructed_start(s, tag_client_wants)) return e;
    if (auto e = write_signed_int(s, 0, 65535, protocol_version)) return member_error("client_wants.version", e);
    return {};
}

err write_client_private_key(ProtocolStream& s, const client_private_key& key) {
    if (auto e = write_constructed_start(s, tag_private_key)) return e;
    if (auto e = write_string(s, 256, key.name)) return member_error("client_private_key.name", e);
    if (auto e = write_string(s, 1024, key.domain)) return member_error("client_private_key.domain", e);
    if (auto e = write_string(s, 128, key.id)) return member_error("client_private_key.id", e);
    if (auto e = write_bool(s, key.hasMasterKey)) return member_error("client_private_key.hasMasterKey", e);
    if (auto e = write_bool(s, key.hasHallmark)) return member_error("client_private_key.hasHallmark", e);
    if (auto e = write_bool(s, key.testing)) return member_error("client_private_key.testing", e);
    return write_end_of_contents(s);
}

err read_server_offers_incomplete(ProtocolStream& s, int32_t& version, tag_code tag) {
    if (auto e = read_record_start(s, tag_server_offers, "read_server_offers_incomplete", tag)) return e;
    int32_t v;
    if (auto e = read_signed_int(s, 0, 65535, v)) return member_error("server_offers.version", e);
    version = v;
    return {};
}

err read_server_private_key(ProtocolStream& s, server_private_key& key, tag_code tag) {
    if (auto e = read_record_start(s, tag_private_key, "read_server_private_key", tag)) return e;
    server_private_key k;
    if (auto e = read_bool(s, k.hasMasterKey)) return member_error("server_private_key.hasMasterKey", e);
    if (auto e = read_bool(s, k.hasHallmark)) return member_error("server_private_key.hasHallmark", e);
    if (auto e = skip_to_eol(s)) return e;
    key = k;
    return {};
}

err write_negotiate_ack(ProtocolStream& s) {
    static const uint8_t octets[4] = {0x62, 0x80, 0x00, 0x00};
    return s.write(octets, sizeof octets);
}

err read_negotiate_ack(ProtocolStream& s, tag_code tag) {
    if (auto e = read_record_start(s, tag_negotiate_ack, "read_negotiate_ack", tag)) return e;
    return skip_to_eol(s);
}

err read_negotiate_nack(ProtocolStream& s, std::string& reason, tag_code tag) {
    if (auto e = read_record_start(s, tag_negotiate_nack, "read_negotiate_nack", tag)) return e;
    std::string r;
    if (auto e = read_string(s, 1024, r)) return member_error("negotiate_nack.reason", e);
    if (auto e = skip_to_eol(s)) return e;
    reason = std::move(r);
    return {};
}

err read_client_wants_reply(ProtocolStream& s, client_wants_reply& reply) {
    tag_code tag;
    if (auto e = read_tag(s, tag)) return e;
    client_wants_reply r;
    if (tag == tag_negotiate_nack) {
        if (auto e = read_negotiate_nack(s, r.reason, tag)) return e;
        r.nack = true;
        reply = std::move(r);
        return {};
    }
    if (tag != tag_server_offers)
        return format_error("Server returned bad reply to client_wants: %d", static_cast<int>(tag));
    if (auto e = read_server_offers_incomplete(s, r.version, tag)) return e;
    tag_code key_tag;
    if (auto e = read_tag(s, key_tag)) return e;
    if (key_tag != tag_private_key)
        return err::text(
            "Zerpal Server does not support private key authentication.  Upgrade  the Zerpal Server.");
    if (auto e = read_server_private_key(s, r.key, key_tag)) return e;
    if (auto e = skip_to_eol(s)) return e;
    reply = std::move(r);
    return {};
}

// ---- key exchange and authentication ----

namespace {

err write_bignum_message(ProtocolStream& s, tag_code tag, const char* member, const bignum& num) {
    if (auto e = write_constructed_start(s, tag)) return e;
    if (auto e = write_bignum(s, num)) return member_error(member, e);
    return write_end_of_contents(s);
}

err read_bignum_message(ProtocolStream& s, tag_code expected, const char* reader, const char* member,
                        bignum_ptr& num, tag_code tag) {
    if (auto e = read_record_start(s, expected, reader, tag)) return e;
    bignum_ptr n;
    if (auto e = read_bignum(s, n)) return member_error(member, e);
    if (auto e = skip_to_eol(s)) return e;
    num = std::move(n);
    return {};
}

}  // namespace

err read_diffie_hellmann_parameters(ProtocolStream& s, bignum_ptr& modulus, bignum_ptr& generator, tag_code tag) {
    if (auto e = read_record_start(s, tag_diffie_hellmann_parameters, "read_diffie_hellmann_parameters", tag))
        return e;
    bignum_ptr p, g;
    if (auto e = read_bignum(s, p)) return member_error("diffie_hellmann_parameters.modulus", e);
    if (auto e = read_bignum(s, g)) return member_error("diffie_hellmann_parameters.generator", e);
    if (auto e = skip_to_eol(s)) return e;
    modulus = std::move(p);
    generator = std::move(g);
    return {};
}

err write_sporadic_bignum(ProtocolStream& s, const bignum& num) {
    return write_bignum_message(s, tag_sporadic_bignum, "sporadic_bignum.num", num);
}

err read_sporadic_bignum(ProtocolStream& s, bignum_ptr& num, tag_code tag) {
    return read_bignum_message(s, tag_sporadic_bignum, "read_sporadic_bignum", "sporadic_bignum.num", num, tag);
}

err write_auth_challenge(ProtocolStream& s, const bignum& num) {
    return write_bignum_message(s, tag_auth_challenge, "auth_challenge.num", num);
}

err read_auth_challenge(ProtocolStream& s, bignum_ptr& num, tag_code tag) {
    return read_bignum_message(s, tag_auth_challenge, "read_auth_challenge", "auth_challenge.num", num, tag);
}

err write_auth_response(ProtocolStream& s, const bignum& num) {
    return write_bignum_message(s, tag_auth_response, "auth_response.num", num);
}

err read_auth_response(ProtocolStream& s, bignum_ptr& num, tag_code tag) {
    return read_bignum_message(s, tag_auth_response, "read_auth_response", "auth_response.num", num, tag);
}

err read_dh_parameters_reply(ProtocolStream& s, dh_parameters_reply& reply) {
    tag_code tag;
    if (auto e = read_tag(s, tag)) return e;
    dh_parameters_reply r;
    if (tag == tag_negotiate_nack) {
        if (auto e = read_negotiate_nack(s, r.reason, tag)) return e;
        r.nack = true;
    } else if (tag == tag_diffie_hellmann_parameters) {
        if (auto e = read_diffie_hellmann_parameters(s, r.modulus, r.generator, tag)) return e;
    } else {
        return format_error("Wrong tag (%d) encountered, expected diffie_hellmann_parameters", static_cast<int>(tag));
    }
    reply = std::move(r);
    return {};
}

err read_key_reply(ProtocolStream& s, int32_t server_version, bool& nack, std::string& reason) {
    tag_code tag;
    if (auto e = read_tag(s, tag)) return e;
    if (tag == tag_negotiate_ack) {
        if (auto e = read_negotiate_ack(s, tag)) return e;
        nack = false;
        return {};
    }
    if (tag == tag_negotiate_nack) {
        std::string r;
        if (auto e = read_negotiate_nack(s, r, tag)) return e;
        reason = std::move(r);
        nack = true;
        return {};
    }
    return format_error("Server returned bad reply to key: %d (%x)", static_cast<int>(tag),
                        static_cast<unsigned>(server_version));
}

// ---- time, downtime, rescan, hardware scan notice ----

err write_server_time_req(ProtocolStream& s, int32_t agent_time_sec) {
    if (auto e = write_constructed_start(s, tag_server_time_req)) return e;
    if (auto e = write_signed_int(s, any_min, any_max, agent_time_sec))
        return member_error("server_time_req.agentTimeSec", e);
    if (auto e = write_signed_int(s, 0, 999999, 0)) return member_error("server_time_req.agentTimeUSec", e);
    return write_end_of_contents(s);
}

err read_server_time_resp(ProtocolStream& s, int32_t& server_time_sec, int32_t& server_time_usec,
                          tag_code tag) {
    if (auto e = read_record_start(s, tag_server_time_resp, "read_server_time_resp", tag)) return e;
    int32_t sec, usec;
    if (auto e = read_signed_int(s, any_min, any_max, sec)) return member_error("server_time_resp.serverTimeSec", e);
    if (auto e = read_signed_int(s, 0, 999999, usec)) return member_error("server_time_resp.serverTimeUSec", e);
    if (auto e = skip_to_eol(s)) return e;
    server_time_sec = sec;
    server_time_usec = usec;
    return {};
}

err write_downtime_req(ProtocolStream& s, int32_t minutes, std::string_view comment) {
    if (auto e = write_constructed_start(s, tag_downtime_req)) return e;
    if (auto e = write_signed_int(s, any_min, any_max, minutes))
        return member_error("downtime_req.downtimeInMinutes", e);
    if (auto e = write_string(s, 256, comment)) return member_error("downtime_req.comment", e);
    return write_end_of_contents(s);
}

namespace {

// The success flag and message shared by downtime_resp and rescan_resp.
err read_flag_and_message(ProtocolStream& s, tag_code expected, const char* reader, const char* flag_member,
                          const char* message_member, bool& success, std::string& message, tag_code tag) {
    if (auto e = read_record_start(s, expected, reader, tag)) return e;
    bool ok;
    std::string text;
    if (auto e = read_bool(s, ok)) return member_error(flag_member, e);
    if (auto e = read_string(s, 1024, text)) return member_error(message_member, e);
    if (auto e = skip_to_eol(s)) return e;
    success = ok;
    message = std::move(text);
    return {};
}

err write_empty_message(ProtocolStream& s, tag_code tag) {
    if (auto e = write_constructed_start(s, tag)) return e;
    return write_end_of_contents(s);
}

}  // namespace

err read_downtime_resp(ProtocolStream& s, bool& success, std::string& message, tag_code tag) {
    return read_flag_and_message(s, tag_downtime_resp, "read_downtime_resp", "downtime_resp.success",
                                 "downtime_resp.message", success, message, tag);
}

err write_rescan_req(ProtocolStream& s) { return write_empty_message(s, tag_rescan_req); }

err read_rescan_resp(ProtocolStream& s, bool& success, std::string& message, tag_code tag) {
    return read_flag_and_message(s, tag_rescan_resp, "read_rescan_resp", "rescan_resp.success",
                                 "rescan_resp.message", success, message, tag);
}

err write_h_w_scan_req(ProtocolStream& s) { return write_empty_message(s, tag_h_w_scan_req); }

err read_h_w_scan_resp(ProtocolStream& s, bool& nack, tag_code tag) {
    if (auto e = read_record_start(s, tag_h_w_scan_resp, "read_h_w_scan_resp", tag)) return e;
    bool v;
    if (auto e = read_bool(s, v)) return member_error("h_w_scan_resp.nack", e);
    if (auto e = skip_to_eol(s)) return e;
    nack = v;
    return {};
}

// ---- upgrade ----

err write_upgrade_req(ProtocolStream& s) {
    if (auto e = write_constructed_start(s, tag_upgrade_req)) return e;
    if (auto e = write_signed_int(s, any_min, any_max, package_id)) return member_error("upgrade_req.packageId", e);
    if (auto e = write_signed_int(s, any_min, any_max, major_version))
        return member_error("upgrade_req.majorVersion", e);
    if (auto e = write_signed_int(s, any_min, any_max, minor_version))
        return member_error("upgrade_req.minorVersion", e);
    if (auto e = write_signed_int(s, any_min, any_max, build_number))
        return member_error("upgrade_req.buildNumber", e);
    if (auto e = write_signed_int(s, any_min, any_max, agent_caps)) return member_error("upgrade_req.agentCaps", e);
    return write_end_of_contents(s);
}

err read_upgrade_resp(ProtocolStream& s, const upgrade_sink& sink, tag_code tag) {
    if (!tag) {
        if (auto e = read_tag(s, tag)) return e;
    }
    if (tag != tag_upgrade_resp) return err::text("Wrong tag encountered in read_upgrade_resp");
    uint32_t length;
    bool indefinite;
    if (auto e = read_length(s, length, indefinite)) return e;
    if (!indefinite) return err::text("Definite length read in read_upgrade_resp");
    int32_t unused;
    if (auto e = read_signed_int(s, any_min, any_max, unused)) return e;
    tag_code t;
    if (auto e = read_tag(s, t)) return e;
    if (t != BE_STRING) return err::text("Wrong tag, expected BE_STRING");
    if (auto e = read_length(s, length, indefinite)) return e;
    if (indefinite || length > max_upgrade_size) return err::text("data out of range in read_string");
    uint8_t piece[1024];
    while (length) {
        uint32_t n = length < sizeof piece ? length : static_cast<uint32_t>(sizeof piece);
        if (auto e = s.read(piece, n)) return e;
        if (auto e = sink(piece, n)) return e;
        length -= n;
    }
    return skip_to_eol(s);
}

}  // namespace zp
