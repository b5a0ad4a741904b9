// logfile_read.cpp - splitting the new data of a log file into entries at the
// check's record separator, in one fixed buffer, handing each entry over in place.
#include <cstring>
#include <memory>

#include "core/log.h"
#include "logcheck/logfile.h"
#include "logcheck/rules.h"

namespace zp {

bool log_checkin_due();  // logfile.cpp: the hook, or never

namespace {

bool over_half_budget() { return result_budget_used() > result_budget_limit() / 2; }

// A separator that can only match one fixed text is searched for as that text.
const std::string* literal_separator(const pattern& p) {
    const auto& req = p.required();
    if (p.exact() && req.size() == 1 && req[0].size() == 1 && !req[0][0].text.empty()) return &req[0][0].text;
    return nullptr;
}

// Finds the separator in buf[from, end); on a match sets [*s, *e) (buffer offsets).
int find_separator(const pattern* sep, const std::string* literal, const char* buf, size_t from, size_t end,
                   size_t* s, size_t* e) {
    if (!sep) return -2;  // no expression
    std::string_view hay(buf + from, end - from);
    if (literal) {
        size_t at = literal->size() == 1 ? hay.find((*literal)[0]) : hay.find(*literal);
        if (at == std::string_view::npos) return regex_no_match;
        *s = from + at;
        *e = *s + literal->size();
        return regex_matched;
    }
    match_span m[1];
    int rc = sep->exec(hay, m);
    if (rc != regex_matched) return rc;
    *s = from + static_cast<size_t>(m[0].start);
    *e = from + static_cast<size_t>(m[0].end);
    return regex_matched;
}

}  // namespace

err log_read_entries(os_file& f, devnode& node, bool size_changed, int64_t* pending_tail, bool* finished) {
    auto buf = std::make_unique_for_overwrite<char[]>(log_read_buffer_size + 1);
    const lognode* ln = node.lognode.get();
    const pattern* sep = ln ? ln->separator.get() : nullptr;
    const std::string* literal = sep ? literal_separator(*sep) : nullptr;
    const int32_t mode = ln ? ln->inclusion_mode : 0;
    // end of the data, search position, start of the pending record
    size_t end = 0, search = 0, pending = 0;
    auto record_start = [&] { return mode == 1 ? pending : search; };
    auto stop_here = [&] {
        *pending_tail = static_cast<int64_t>(end - record_start());
        if (finished) *finished = false;
        return err();
    };

    os_file_clear_error(f);
    int64_t n = os_file_read(f, buf.get(), log_read_buffer_size);
    while (n > 0) {
        end += static_cast<size_t>(n);
        buf[end] = '\0';
        int rc = regex_no_match;
        size_t from = search;
        while (from < end) {
            size_t s = 0, e = 0;
            rc = find_separator(sep, literal, buf.get(), from, end, &s, &e);
            if (rc != regex_matched) break;
            if (e == search) {
                // An empty match right at the search position separates nothing;
                // look again one byte further, so that the search always advances.
                from = search + 1;
                continue;
            }
            if (s > search) {
                size_t a = mode == 1 ? pending : search;
                size_t b = mode == 0 ? e : s;
                log_got_entry(std::string_view(buf.get() + a, b - a), node);
            }
            pending = s;
            search = e;
            from = e;
            if (over_half_budget()) return stop_here();
        }
        if (rc == -2)
            log(2, "Error finding log separator: %s", os_regex_fault_text(regex_fault::bad_pattern).c_str());
        else if (rc != regex_matched && rc != regex_no_match)
            log(2, "Error finding log separator: %s", os_regex_error_text(rc).c_str());
        if (log_checkin_due()) return stop_here();
        if (end == log_read_buffer_size) {
            if (pending != 0) {
                std::memmove(buf.get(), buf.get() + pending, end - pending);
                end -= pending;
                search -= pending;
                pending = 0;
            } else {
                // One record fills the whole buffer: it goes over in pieces.
                log(-1, "Buffer overflow: %s", buf.get());
                size_t a = record_start();
                if (end > a) log_got_entry(std::string_view(buf.get() + a, end - a), node);
                end = search = pending = 0;
            }
        }
        n = os_file_read(f, buf.get() + end, log_read_buffer_size - end);
    }

    const size_t a = record_start();
    if (size_changed || over_half_budget()) {
        // The last record may still be completed; it is read again next time.
        *pending_tail = static_cast<int64_t>(end - a);
        if (finished) *finished = end == a && n == 0;
        return {};
    }
    log(-1, "End of file: %.*s", static_cast<int>(end - a), buf.get() + a);
    if (end > a) log_got_entry(std::string_view(buf.get() + a, end - a), node);
    *pending_tail = 0;
    if (finished) *finished = true;
    if (n < 0) {
        int code = os_file_error(f);
        os_file_clear_error(f);
        if (finished) *finished = false;
        return format_error("Error during read of log file: %s", system_error_text(code).c_str());
    }
    return {};
}

}  // namespace zp
