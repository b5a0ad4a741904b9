// accept_loop.cpp - the server's accept loop: one thread per connection, a
// cap on connections at once, and the live summary table.
#include <chrono>
#include <cstdio>
#include <list>
#include <thread>

#include "core/log.h"
#include "protocol/crypto.h"
#include "tools/zpserver/net.h"
#include "tools/zpserver/server.h"

namespace zp::server {

namespace {

struct worker {
    std::thread thread;
    std::atomic<bool> done{false};
};

}  // namespace

err run_server(const server_options& opt, const std::atomic<bool>& stop,
               const std::function<void(uint16_t port)>& listening) {
    crypto_init();
    std::unique_ptr<server_state> st;
    if (auto e = server_state::create(opt, st)) return e;
    // On a terminal, standard output shows the live table instead of the
    // JSON lines; the log on standard error tells the port as well.
    const bool to_stdout = opt.results_path.empty() || opt.results_path == "-";
    const bool live_table = to_stdout && opt.summary != 0 && is_terminal(1);
    if (!live_table) {
        if (auto e = st->results().open(opt.results_path)) return e;
    }
    listener l;
    if (auto e = l.open(opt.address, opt.port)) return e;
    std::printf("listening on %s:%u\n", opt.address.c_str(), l.port());
    std::fflush(stdout);
    if (listening) listening(l.port());
    log(1, "zpserver listening on %s:%u", opt.address.c_str(), l.port());

    bool show = live_table || opt.summary == 1 || (opt.summary == -1 && is_terminal(2));
    std::FILE* table_out = live_table ? stdout : stderr;
    bool on_terminal = is_terminal(live_table ? 1 : 2);
    std::string shown;
    auto last_shown = std::chrono::steady_clock::now();

    std::list<worker> workers;
    while (!stop.load()) {
        stream_ptr conn;
        if (auto e = l.accept(250, opt.io_timeout, opt.conversation_limit, conn)) {
            log(2, "%s", e.c_str());
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        for (auto it = workers.begin(); it != workers.end();) {
            if (it->done.load()) {
                it->thread.join();
                it = workers.erase(it);
            } else {
                ++it;
            }
        }
        if (conn) {
            if (static_cast<int>(workers.size()) >= opt.max_connections) {
                log(2, "Too many connections; closing a new one");
                conn->close();
            } else {
                auto& w = workers.emplace_back();
                server_state* state = st.get();
                w.thread = std::thread([state, c = std::move(conn), &w]() mutable {
                    (void)serve_connection(*state, std::move(c));
                    w.done.store(true);
                });
            }
        }
        if (show && std::chrono::steady_clock::now() - last_shown > std::chrono::milliseconds(500)) {
            last_shown = std::chrono::steady_clock::now();
            int rows = on_terminal ? terminal_rows(live_table ? 1 : 2) : 0;
            std::string table = st->table().render(rows > 2 ? static_cast<size_t>(rows - 1) : SIZE_MAX);
            if (table != shown) {
                shown = table;
                if (on_terminal) std::fputs("\x1b[H\x1b[2J", table_out);
                std::fputs(table.c_str(), table_out);
                if (!on_terminal) std::fputs("\n", table_out);
                std::fflush(table_out);
            }
        }
    }
    for (auto& w : workers) w.thread.join();
    return {};
}

}  // namespace zp::server
