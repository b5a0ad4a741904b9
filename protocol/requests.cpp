// requests.cpp - downtime and rescan requests, the upgrade download, and the
// command client's direct requests.
#include "protocol/requests.h"

#include <cstdio>
#include <cstring>
#include <memory>

#include "core/file_text.h"
#include "core/log.h"
#include "protocol/messages.h"
#include "protocol/session.h"

namespace zp {

namespace {

// What a reply buffer of `size` bytes holds of `text` (its last byte is NUL).
std::string fit(std::string text, size_t size) {
    if (size == 0) return {};
    if (text.size() > size - 1) text.resize(size - 1);
    return text;
}

struct file_closer {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using file_ptr = std::unique_ptr<std::FILE, file_closer>;

}  // namespace

err request_downtime(ProtocolStream& s, int32_t minutes, size_t size, const std::optional<std::string>& comment,
                     std::string& reply) {
    bool success = false;
    std::string message;
    err e = write_downtime_req(s, minutes, comment.value_or(""));
    if (!e) e = s.flush();
    if (!e) e = read_downtime_resp(s, success, message);
    if (e) {
        s.close();
        return e;
    }
    log(0, "[cmd] Request downtime. Server says %s", success ? "OK" : "FAILED");
    // Room for "FAILURE ", the message and the NUL.
    if (size < 9 || message.size() >= (size - 1) - 8) {
        s.close();
        return err::text("message too big");
    }
    reply = fit(strprintf("%s %s", success ? "OK" : "FAILURE", message.c_str()), size);
    return {};
}

err request_rescan(ProtocolStream& s, size_t size, std::string& reply) {
    log(0, "request_rescan ST");
    bool success = false;
    std::string message;
    err e = write_rescan_req(s);
    if (!e) e = s.flush();
    if (!e) e = read_rescan_resp(s, success, message);
    if (e) {
        s.close();
        return e;
    }
    const char* word = success ? "OK" : "FAILED";
    log(0, "[cmd] Rescan request. Server says %s", word);
    // The message is cut so that the word, a blank and the NUL still fit.
    size_t room = size > std::strlen(word) + 2 ? size - std::strlen(word) - 2 : 0;
    std::string text = message.c_str();
    if (text.size() >= room) text.resize(room);
    reply = fit(strprintf("%s %s", word, text.c_str()), size);
    log(0, "request_rescan OK");
    return {};
}

err download_upgrade(const config& c, const std::string& path) {
    std::string host;
    uint16_t port = 0;
    if (current_server_address(c, host, port)) log(0, "Talking to server: %s:%d", host.c_str(), port);
    stream_ptr s;
    if (auto e = setup_connection(c, s)) return e;
    err e = write_upgrade_req(*s);
    if (!e) e = s->flush();
    if (e) {
        s->close();
        return e;
    }

    file_ptr f(open_file(path, "wb"));
    if (!f) {
        int code = last_system_error();
        s->close();
        return format_error("Error opening %s: %s", path.c_str(), system_error_text(code).c_str());
    }
    auto sink = [&](const uint8_t* data, size_t n) -> err {
        while (n) {
            size_t w = std::fwrite(data, 1, n, f.get());
            if (w == 0)
                return format_error("Error writing to file: %s", system_error_text(last_system_error()).c_str());
            data += w;
            n -= w;
        }
        return {};
    };
    if (auto re = read_upgrade_resp(*s, sink)) {
        s->close();
        return re;  // the partly written file stays
    }
    s->close();
    if (std::fclose(f.release()) != 0)
        return format_error("Error closing %s: %s", path.c_str(), system_error_text(last_system_error()).c_str());
    return {};
}

std::string connect_and_request_downtime(const config& c, int32_t minutes,
                                         const std::optional<std::string>& comment) {
    log(0, "[cmd] connect_and_request_downtime");
    stream_ptr s;
    if (auto e = setup_connection(c, s))
        return fit(strprintf("FAILED Could not connect to server: %.900s", e.c_str()), reply_buffer_size);
    std::string reply;
    if (auto e = request_downtime(*s, minutes, reply_buffer_size, comment, reply)) {
        log(3, "[cmd] ERROR connect_and_request_downtime: %.900s", e.c_str());
        return fit(strprintf("FAILED Could not request downtime: %.900s", e.c_str()), reply_buffer_size);
    }
    log(3, "[cmd] connect_and_request_downtime: %.900s", reply.c_str());
    s->close();
    return reply;
}

std::string send_rescan_to_server(const config& c) {
    log(0, "[cmd] send_rescan_to_server");
    stream_ptr s;
    if (auto e = setup_connection(c, s))
        return fit(strprintf("FAILED Could not connect to server: %.900s", e.c_str()), reply_buffer_size);
    std::string reply;
    if (auto e = request_rescan(*s, reply_buffer_size, reply)) {
        log(3, "[cmd] ERROR in send_rescan_to_server: %.900s", e.c_str());
        return fit(strprintf("FAILED request_rescan: %.900s", e.c_str()), reply_buffer_size);
    }
    log(0, "[cmd] send_rescan_to_server: %.900s", reply.c_str());
    s->close();
    return reply;
}

}  // namespace zp
