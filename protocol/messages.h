// messages.h - the messages of session set-up and of the short requests
// (time, downtime, rescan, hardware scan notice, upgrade), and the helpers
// every message reader and writer is built from.
//
// A message is one constructed value with an application tag, indefinite
// length, its members in a fixed order and an end-of-contents. Readers take an
// optional tag code that the caller has already read (0: read it here), check
// it and the indefinite length, read the members, and skip members they do not
// know. "_incomplete" readers stop after their leading members and leave the
// rest, including the end-of-contents, to the caller; writers of the same kind
// write only the identifier, 0x80 and the leading members. A failing member is
// reported as "<record>.<member>: <text>". Out-parameters are unchanged on
// failure. Every function belongs to the thread that owns the stream.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "core/build_config.h"
#include "protocol/bignum.h"
#include "protocol/codec.h"

namespace zp {

// Tag codes of the messages.
inline constexpr tag_code tag_client_wants = application_tag(0);
inline constexpr tag_code tag_server_offers = application_tag(1);
inline constexpr tag_code tag_negotiate_ack = application_tag(2);
inline constexpr tag_code tag_negotiate_nack = application_tag(3);
inline constexpr tag_code tag_diffie_hellmann_parameters = application_tag(4);
inline constexpr tag_code tag_sporadic_bignum = application_tag(5);
inline constexpr tag_code tag_auth_challenge = application_tag(6);
inline constexpr tag_code tag_auth_response = application_tag(7);
inline constexpr tag_code tag_configure_req = application_tag(8);
inline constexpr tag_code tag_configure_resp = application_tag(9);
inline constexpr tag_code tag_checkin_req = application_tag(10);
inline constexpr tag_code tag_checkin_resp = application_tag(11);
inline constexpr tag_code tag_upgrade_req = application_tag(12);
inline constexpr tag_code tag_upgrade_resp = application_tag(13);
inline constexpr tag_code tag_server_time_req = application_tag(23);
inline constexpr tag_code tag_server_time_resp = application_tag(24);
inline constexpr tag_code tag_downtime_req = application_tag(30);
inline constexpr tag_code tag_downtime_resp = application_tag(31);
inline constexpr tag_code tag_h_w_scan_req = application_tag(32);
inline constexpr tag_code tag_h_w_scan_resp = application_tag(33);
inline constexpr tag_code tag_rescan_req = application_tag(34);
inline constexpr tag_code tag_rescan_resp = application_tag(35);

// The private key records inside client_wants and server_offers.
inline constexpr tag_code tag_private_key = context_tag(1);

// Values the agent always writes.
inline constexpr int32_t protocol_version = 515;  // 0x0203
inline constexpr int32_t package_id = 44;
inline constexpr int32_t major_version = build::version_major;  // from project() VERSION
inline constexpr int32_t minor_version = build::version_minor;
inline constexpr int32_t build_number = build::build_number;
inline constexpr int32_t agent_caps = 0;

// Largest program file an upgrade_resp may carry.
inline constexpr uint32_t max_upgrade_size = 10485760;

// ---- helpers for message readers and writers ----

// "<member>: <text of e>" (member is "record.member").
err member_error(const char* member, const err& e);
// Reads the identifier (unless `tag` is given), requires `expected`, then the
// indefinite length. Texts: "Wrong tag (%d) encountered in <reader>",
// "Definite length read in <reader>".
err read_record_start(ProtocolStream& s, tag_code expected, const char* reader, tag_code tag);
// Reads a list's identifier and length: BE_SEQ ("Wrong tag in <reader>") and
// indefinite ("Not indefinite length in <reader>").
err read_list_start(ProtocolStream& s, const char* reader, tag_code tag = 0);
// Reads the next element's identifier of a list; `end` is set at the list's
// end-of-contents, whose length must be 0 ("List not terminated correctly in
// <reader>").
err read_list_next(ProtocolStream& s, const char* reader, tag_code& tag, bool& end);

// ---- session set-up ----

struct client_private_key {
    std::string name;
    std::string domain;
    std::string id;
    bool hasMasterKey = false;
    bool hasHallmark = false;
    bool testing = false;  // always false from the agent
};

struct server_private_key {
    bool hasMasterKey = false;
    bool hasHallmark = false;
};

// 60 80 and the version; the caller writes the client_private_key and the
// end-of-contents.
err write_client_wants(ProtocolStream& s);
err write_client_private_key(ProtocolStream& s, const client_private_key& key);
// Leading member: the server's protocol version.
err read_server_offers_incomplete(ProtocolStream& s, int32_t& version, tag_code tag = 0);
err read_server_private_key(ProtocolStream& s, server_private_key& key, tag_code tag = 0);
err write_negotiate_ack(ProtocolStream& s);
err read_negotiate_ack(ProtocolStream& s, tag_code tag = 0);
err read_negotiate_nack(ProtocolStream& s, std::string& reason, tag_code tag = 0);

// The reply to client_wants: either the server's offer or its refusal.
struct client_wants_reply {
    bool nack = false;
    std::string reason;  // of a negotiate_nack
    int32_t version = 0;
    server_private_key key;
};
// Reads a server_offers with its server_private_key (skipping what follows)
// or a negotiate_nack. Other tags: "Server returned bad reply to client_wants:
// %d"; a server_offers without the key record: "Zerpal Server does not support
// private key authentication.  Upgrade  the Zerpal Server."
err read_client_wants_reply(ProtocolStream& s, client_wants_reply& reply);

// ---- key exchange and authentication ----

err read_diffie_hellmann_parameters(ProtocolStream& s, bignum_ptr& modulus, bignum_ptr& generator,
                                    tag_code tag = 0);
err write_sporadic_bignum(ProtocolStream& s, const bignum& num);
err read_sporadic_bignum(ProtocolStream& s, bignum_ptr& num, tag_code tag = 0);
err write_auth_challenge(ProtocolStream& s, const bignum& num);
err read_auth_challenge(ProtocolStream& s, bignum_ptr& num, tag_code tag = 0);
err write_auth_response(ProtocolStream& s, const bignum& num);
err read_auth_response(ProtocolStream& s, bignum_ptr& num, tag_code tag = 0);

// The server's start of a key exchange: its group parameters or a refusal.
struct dh_parameters_reply {
    bool nack = false;
    std::string reason;
    bignum_ptr modulus;
    bignum_ptr generator;
};
// Other tags: "Wrong tag (%d) encountered, expected diffie_hellmann_parameters".
err read_dh_parameters_reply(ProtocolStream& s, dh_parameters_reply& reply);
// The server's answer to the agent's public value (servers above version 512
// send one): negotiate_ack, or negotiate_nack with its reason in `reason` and
// `nack` set. Other tags: "Server returned bad reply to key: %d (%x)" with the
// tag code and the server's version.
err read_key_reply(ProtocolStream& s, int32_t server_version, bool& nack, std::string& reason);

// ---- time, downtime, rescan, hardware scan notice ----

// agentTimeUSec is always 0.
err write_server_time_req(ProtocolStream& s, int32_t agent_time_sec);
err read_server_time_resp(ProtocolStream& s, int32_t& server_time_sec, int32_t& server_time_usec,
                          tag_code tag = 0);
// The comment is at most 256 octets ("downtime_req.comment: %s").
err write_downtime_req(ProtocolStream& s, int32_t minutes, std::string_view comment);
err read_downtime_resp(ProtocolStream& s, bool& success, std::string& message, tag_code tag = 0);
err write_rescan_req(ProtocolStream& s);
err read_rescan_resp(ProtocolStream& s, bool& success, std::string& message, tag_code tag = 0);
err write_h_w_scan_req(ProtocolStream& s);
err read_h_w_scan_resp(ProtocolStream& s, bool& nack, tag_code tag = 0);

// ---- upgrade ----

err write_upgrade_req(ProtocolStream& s);
// Receives one piece (at most 1024 octets) of the program file; an error ends
// the read with that error.
using upgrade_sink = std::function<err(const uint8_t* data, size_t n)>;
// Reads the upgrade_resp and hands the program file to `sink` piece by piece.
// A file longer than max_upgrade_size is refused before any of it is read.
err read_upgrade_resp(ProtocolStream& s, const upgrade_sink& sink, tag_code tag = 0);

}  // namespace zp
