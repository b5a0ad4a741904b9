// requests.h - the short conversations: asking the server for a downtime or a
// rescan of this host (for the command pipe and the command client), and
// downloading a new agent program file.
//
// The requests run on whichever thread owns the stream; the download opens and
// closes its own connection and may run on the download thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "core/config.h"
#include "core/err.h"
#include "protocol/stream.h"

namespace zp {

// The reply buffer size of the command pipe and the command client.
inline constexpr size_t reply_buffer_size = 1024;

// Asks for `minutes` of downtime with `comment` (absent: empty; at most 256
// bytes). On success `reply` is "OK <message>" or "FAILURE <message>", shorter
// than `size`. On failure the stream is closed and `reply` is unchanged; on
// success the caller closes it.
err request_downtime(ProtocolStream& s, int32_t minutes, size_t size, const std::optional<std::string>& comment,
                     std::string& reply);

// Asks for a rescan. On success `reply` is "OK <message>" or "FAILED
// <message>", the message cut so that the reply is shorter than `size`. On
// failure the stream is closed and `reply` is unchanged.
err request_rescan(ProtocolStream& s, size_t size, std::string& reply);

// Downloads the program file the server offers into `path` (created or
// truncated) over its own connection to the current server. A failure while
// receiving leaves the partly written file.
err download_upgrade(const config& c, const std::string& path);

// The command client's own requests when no agent answers: the reply text to
// show, either the server's or a "FAILED ..." text.
std::string connect_and_request_downtime(const config& c, int32_t minutes,
                                         const std::optional<std::string>& comment);
std::string send_rescan_to_server(const config& c);

}  // namespace zp
