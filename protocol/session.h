// session.h - the start of every conversation with the server: choosing and
// connecting to the current server, version negotiation, the master key and
// the hallmark, the switch to the cipher stream, the mutual challenge and
// response, and server failover.
//
// Kept between connections in the variables store: "hostkey" (the master key,
// the decimal text of the agreed secret) and "hallmark" (the session key, 32
// lower-case hexadecimal characters). A set-up whose enciphered exchange fails
// deletes "hallmark", so the next set-up derives a new one from "hostkey".
//
// The process-wide state below (session()) is written and read only by the
// set-up here, on the main thread and on the upgrade download thread, which
// runs set-ups too: its members are atomic. The set-up also reads
// current_server() and, in fail_over, writes it and server_changed() (see
// core/config.h).
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "core/config.h"
#include "core/err.h"
#include "protocol/stream.h"

namespace zp {

struct session_state {
    std::atomic<int32_t> server_version{0};  // server_offers.version of the latest set-up
    std::atomic<int> hallmark_failures{0};   // 0..3: consecutive set-ups whose first enciphered read failed

    session_state() = default;
    session_state(const session_state& o) { *this = o; }
    session_state& operator=(const session_state& o) {
        server_version = o.server_version.load();
        hallmark_failures = o.hallmark_failures.load();
        return *this;
    }
};
session_state& session();

// True when the server's protocol version has our high byte (2).
bool compatible_version(int32_t server_version);

// The current server entry with its port (the configured default port when the
// entry has none). `host` and `port` are unchanged when the list is empty.
bool current_server_address(const config& c, std::string& host, uint16_t& port);

// Connects to the current server. On failure `out` is unchanged and nothing
// stays open.
err connect_server(const config& c, stream_ptr& out);

// Authenticates on a freshly connected stream (name, domain and host id from
// `c`). On success `s` is the enciphered stream that replaces the socket
// stream; on failure `s` still owns what it had and the caller closes it.
err authenticate(const config& c, stream_ptr& s);

// Connects to the current server and authenticates; the server index never
// moves here. On failure `out` is unchanged and the connection is closed.
err setup_connection(const config& c, stream_ptr& out);

// Moves to the next server when the list has at least two entries and raises
// server_changed(); with one server nothing changes.
void fail_over(const config& c);

}  // namespace zp
