// checkin.cpp - the check-in conversation and the time synchronisation.
#include "protocol/checkin.h"

#include <algorithm>
#include <iterator>
#include <unordered_map>

#include "core/clock.h"
#include "core/log.h"
#include "core/variables.h"
#include "protocol/messages_checkin.h"
#include "protocol/session.h"
#include "protocol/socket.h"

namespace zp {

namespace {

constexpr int reply_wait = 600;

// One pass over a tree: from each check the results after the first `skip`
// ones, at most `most` of them, while the budget lasts.
struct result_pass {
    ProtocolStream& s;
    uint32_t& budget;
    size_t skip;
    size_t most;
    std::vector<sent_count>& sent;
    std::unordered_map<devnode*, size_t>& index;

    err write_check(devnode& node) {
        size_t n = 0, written = 0;
        for (resnode* r = node.results.front(); r && budget > 0 && written < most; r = r->next(), ++n) {
            if (n < skip) continue;
            // Normally only the newest result of a check carries its text.
            bool with_comment = r->next() == nullptr || budget <= 1;
            int32_t check_time =
                static_cast<int32_t>(static_cast<uint32_t>(r->time) - static_cast<uint32_t>(time_offset()));
            if (auto e = write_result_record(s, node, *r, check_time, with_comment)) return e;
            --budget;
            ++written;
        }
        if (written) {
            auto [it, fresh] = index.try_emplace(&node, sent.size());
            if (fresh)
                sent.push_back({&node, written});
            else
                sent[it->second].count += written;
        }
        return {};
    }

    err write_tree(devtree_list& groups) {
        for (auto& g : groups) {
            if (budget == 0) return {};
            log(-1, "checkin_write_devtree[%s]", g->id.c_str());
            for (auto& n : g->checks) {
                if (auto e = write_check(*n)) return e;
            }
            if (auto e = write_tree(g->children)) return e;
        }
        return {};
    }
};

unsigned count_results(const devtree_list& groups) {
    unsigned n = 0;
    for (const auto& g : groups) {
        for (const auto& c : g->checks) n += static_cast<unsigned>(c->results.size());
        n += count_results(g->children);
    }
    return n;
}

// Removes the actions that have run and whose results have all gone to the
// server, then the groups left empty. An action whose result did not fit
// under the limit stays until its result is acknowledged.
bool prune_sent_actions(devtree_list& groups) {
    for (auto& g : groups) {
        std::erase_if(g->checks,
                      [](const std::unique_ptr<devnode>& n) { return n->next_due != 0 && n->results.empty(); });
        prune_sent_actions(g->children);
    }
    std::erase_if(groups, [](const std::unique_ptr<devtree>& g) { return g->checks.empty() && g->children.empty(); });
    return groups.empty();
}

err read_reply(ProtocolStream& s, bool& ack, bool& conf_changed, bool& upgrade, devtree_list& actions,
               bool& hw_scan) {
    if (auto e = read_checkin_resp_incomplete(s, ack, conf_changed, upgrade)) return e;
    if (auto e = read_action_conf_list(s, actions, nullptr)) return e;
    if (auto e = read_bool(s, hw_scan)) return e;
    return skip_to_eol(s);
}

}  // namespace

int64_t& time_offset() {
    static int64_t offset = 0;
    return offset;
}

err synchronize_time(ProtocolStream& s) {
    int64_t t0 = time_now();
    int32_t server_sec = 0, server_usec = 0;
    err e = write_server_time_req(s, static_cast<int32_t>(t0));
    if (!e) e = s.flush();
    if (!e) e = read_server_time_resp(s, server_sec, server_usec);
    if (e) {
        s.close();
        return e;
    }
    int64_t t1 = time_now();
    time_offset() = t1 - (t1 - t0) / 2 - server_sec;
    log(0, "Time offset is %i", static_cast<int>(time_offset()));
    return {};
}

err write_results(ProtocolStream& s, devtree_list& configured, devtree_list& actions, uint32_t limit,
                  std::vector<sent_count>& sent) {
    uint32_t budget = limit;
    std::vector<sent_count> counts;
    std::unordered_map<devnode*, size_t> index;
    if (auto e = write_list_start(s)) return e;
    result_pass first{s, budget, 0, 1, counts, index};
    if (auto e = first.write_tree(configured)) return e;
    result_pass rest{s, budget, 1, SIZE_MAX, counts, index};
    if (auto e = rest.write_tree(configured)) return e;
    result_pass acts{s, budget, 0, SIZE_MAX, counts, index};
    if (auto e = acts.write_tree(actions)) return e;
    if (auto e = write_end_of_contents(s)) return e;
    sent = std::move(counts);
    return {};
}

void remove_sent(const std::vector<sent_count>& sent) {
    for (const auto& c : sent) {
        for (size_t i = 0; i < c.count; ++i) c.node->results.pop_front();
    }
}

err checkin(config& c, conversation_env& env, uint32_t limit, bool& acknowledged) {
    acknowledged = false;  // until the server's reply says otherwise
    const int64_t start = time_now();
    stream_ptr s;
    if (auto e = connect_server(c, s)) {
        log(0, "setup_connection falied");
        return e;
    }
    const int64_t connected = time_now();
    if (auto e = authenticate(c, s)) {
        s->close();
        log(0, "setup_connection falied");
        return e;
    }
    if (auto e = synchronize_time(*s)) {
        log(0, "Server does not support time synchronization");
        return e;
    }
    const int64_t set_up = time_now();

    devtree_list no_tree;
    devtree_list& configured = env.configured ? *env.configured : no_tree;
    devtree_list& actions = env.actions ? *env.actions : no_tree;

    std::vector<sent_count> sent;
    unsigned queued = count_results(configured);
    if (queued > limit)
        log(0, "Checking in, got %u results, throttling to max %u", queued, limit);
    else
        log(0, "Checking in %u results", queued);
    err e = write_checkin_req(*s);
    if (!e) e = write_results(*s, configured, actions, limit, sent);
    if (!e) e = write_end_of_contents(*s);
    if (!e) e = s->flush();
    if (e) {
        s->close();
        return e;
    }
    const int64_t data_sent = time_now();

    // The reply is read with the I/O time-out anyway; waiting longer first
    // would only make a silent server cost more.
    (void)s->wait_readable(std::min(reply_wait, io_timeout()));
    const int64_t acked_at = time_now();

    bool ack = false, conf_changed = false, upgrade = false, hw_scan = false;
    devtree_list new_actions;
    if (auto re = read_reply(*s, ack, conf_changed, upgrade, new_actions, hw_scan)) {
        s->close();
        return re;
    }

    if (ack) {
        remove_sent(sent);
        prune_sent_actions(actions);
        acknowledged = true;
    } else {
        log(3, "Checkin was not acknowledged by server.");
    }
    if (conf_changed) {
        if (auto ce = configure(*s, c, env, hw_scan)) {
            s->close();
            return ce;
        }
    }
    if (!new_actions.empty()) {
        actions.insert(actions.begin(), std::make_move_iterator(new_actions.begin()),
                       std::make_move_iterator(new_actions.end()));
    }
    if (upgrade) {
        if (!c.allow_autoupgrade)
            log(0, "Server has upgrade, but i am not allowed to download it");
        else if (env.start_upgrade)
            env.start_upgrade();
        else
            log(0, "Server has upgrade, but this agent has no upgrade download");
    }
    if (auto fe = flush_variables(false)) {
        s->close();
        return fe;
    }

    const int64_t now = time_now();
    int64_t half = c.checkin_interval == checkin_interval_unset
                       ? 30
                       : static_cast<int64_t>(static_cast<int32_t>(c.checkin_interval)) / 2;
    log(now - start >= half ? 1 : 0, "Checkin success, conn: %ds, setup: %ds, data: %ds, ack: %ds, finish: %ds",
        static_cast<int>(connected - start), static_cast<int>(set_up - connected),
        static_cast<int>(data_sent - set_up), static_cast<int>(acked_at - data_sent),
        static_cast<int>(now - acked_at));
    s->close();
    return {};
}

}  // namespace zp
