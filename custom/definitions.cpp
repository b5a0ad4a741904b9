// definitions.cpp - the custom check and agent action files: line reading,
// sections and keys.
#include <algorithm>
#include <cstring>

#include "core/file_text.h"
#include "core/log.h"
#include "custom/custom.h"
#include "custom/definition_os.h"
#include "logcheck/pattern.h"

namespace zp {

namespace {

constexpr const char* integer_pattern = "^Result:[[:space:]]*([[:digit:]]+)[[:space:]]*$";
constexpr const char* real_pattern =
    "^Result:[[:space:]]*([[:digit:]]+(\\.[[:digit:]]*))[[:space:]]*$";

// Hands out the lines of a definition file as the agent has always read them:
// at most 1023 bytes at a time, ending at a NUL byte, without trailing white
// space; empty and comment lines are skipped.
class line_reader {
public:
    explicit line_reader(std::string_view text) : rest_(text) {}

    bool next(std::string_view& line) {
        while (!rest_.empty()) {
            size_t n = std::min<size_t>(rest_.size(), 1023);
            size_t lf = rest_.substr(0, n).find('\n');
            if (lf != std::string_view::npos) n = lf + 1;
            std::string_view l = rest_.substr(0, n);
            rest_.remove_prefix(n);
            l = l.substr(0, l.find('\0'));
            while (!l.empty() && is_space(l.back())) l.remove_suffix(1);
            if (l.empty() || l[0] == '#') continue;
            line = l;
            return true;
        }
        return false;
    }

private:
    std::string_view rest_;
};

bool is_header(std::string_view line) { return line.size() >= 2 && line.front() == '[' && line.back() == ']'; }

// Splits "key=value": the key exactly as written, the value without its
// leading white space. False without "=".
bool split_key(std::string_view line, std::string_view& key, std::string_view& value) {
    size_t eq = line.find('=');
    if (eq == std::string_view::npos) return false;
    key = line.substr(0, eq);
    value = line.substr(eq + 1);
    while (!value.empty() && is_space(value.front())) value.remove_prefix(1);
    return true;
}

err compile_result_pattern(std::string_view text, std::shared_ptr<pattern>& out) {
    std::unique_ptr<pattern> p;
    if (auto e = compile_pattern(text, 0, &p)) return e;
    if (p->groups() < 1) return err::text("The result needs to be enclosed in parentheses");
    out = std::move(p);
    return {};
}

err set_custom_key(custom_check& c, std::string_view key, std::string_view value) {
    if (key == "execfile" || key == "command") {
        if (value.empty()) return err::text("Command expected");
        c.command = value;
    } else if (key == "timeout") {
        if (value.empty()) return err::text("Timeout expected");
        c.timeout = atoi32(std::string(value));
    } else if (key == "no_value_exitcode") {
        if (value.empty()) return err::text("Expected integer");
        c.no_value_exitcode = atoi32(std::string(value));
    } else if (key == "no_value_if_no_match") {
        if (value.empty()) return err::text("Expected integer");
        c.no_value_if_no_match = 1;
    } else if (key == "type") {
        static constexpr std::string_view names[] = {"boolean", "integer", "real", "diff_integer", "diff_real"};
        auto it = std::find(std::begin(names), std::end(names), value);
        if (it == std::end(names))
            return err::text("One of boolean, integer, real, diff_integer and diff_real expected");
        c.type = static_cast<int32_t>(it - std::begin(names));
    } else if (key == "unit") {
        if (value.empty()) return err::text("Unit expected");
        c.unit = std::string(value);
    } else if (key == "result_pattern") {
        if (value.empty()) return err::text("Pattern expected");
        return compile_result_pattern(value, c.result_pattern);
    }
    return {};
}

err finish_custom(custom_check& c) {
    // A negative time-out would end every run before it starts.
    if (c.timeout <= 0) c.timeout = custom_default_timeout;
    if (c.type != custom_boolean && !c.result_pattern) {
        bool real = c.type == custom_real || c.type == custom_diff_real;
        if (auto e = compile_result_pattern(real ? real_pattern : integer_pattern, c.result_pattern)) return e;
    }
    if (c.command.empty()) return err::text("No executeable is given for check");
    log(0, "Custom check \"%s\" found", c.name.c_str());
    return {};
}

err finish_action(const agent_action& a) {
    if (a.command.empty()) return err::text("No executeable is given for action");
    log(0, "AgentAction \"%s\" found", a.name.c_str());
    return {};
}

// The section structure both files share. `header_error` formats a line that
// should have been a header; `finish` completes a section; `set_key` takes one
// key of it.
template <typename T, typename Fmt, typename Finish, typename SetKey>
err parse_sections(std::string_view text, std::vector<T>& out, Fmt header_error, const char* no_name,
                   Finish finish, SetKey set_key) {
    std::vector<T> list;
    std::optional<T> cur;
    line_reader lines(text);
    std::string_view line;
    while (lines.next(line)) {
        if (line[0] == '[' || !cur) {
            if (cur) {
                if (auto e = finish(*cur)) return e;
                list.push_back(std::move(*cur));
                cur.reset();
            }
            if (!is_header(line)) return header_error(std::string(line));
            if (line.size() == 2) return err::text(no_name);
            cur.emplace();
            cur->name = line.substr(1, line.size() - 2);
            continue;
        }
        std::string_view key, value;
        if (!split_key(line, key, value)) return err::text("Expected equalsign");
        if (auto e = set_key(*cur, key, value)) return e;
    }
    if (cur) {
        if (auto e = finish(*cur)) return e;
        list.push_back(std::move(*cur));
    }
    std::reverse(list.begin(), list.end());
    out = std::move(list);
    return {};
}

}  // namespace

err parse_custom_checks(std::string_view text, custom_check_list& out) {
    return parse_sections(
        text, out, [](const std::string& l) { return format_error("Expected [checkname], got %s", l.c_str()); },
        "Check without a name found", finish_custom, set_custom_key);
}

err parse_agent_actions(std::string_view text, agent_action_list& out) {
    auto set_key = [](agent_action& a, std::string_view key, std::string_view value) -> err {
        if (key != "execfile" && key != "command") return {};
        if (value.empty()) return err::text("Executable name expected");
        a.command = value;
        return {};
    };
    return parse_sections(
        text, out,
        [](const std::string& l) { return format_error("Expected \"[actioname]\", got \"%s\"", l.c_str()); },
        "Action without a name found", finish_action, set_key);
}

err read_custom_checks(const std::string& path, custom_check_list& out) {
    std::string text;
    if (auto e = definition_os::read_trusted_file(path, custom_file_max, text)) return e;
    return parse_custom_checks(text, out);
}

err read_agent_actions(const std::string& path, agent_action_list& out) {
    std::string text;
    if (auto e = definition_os::read_trusted_file(path, custom_file_max, text)) return e;
    return parse_agent_actions(text, out);
}

}  // namespace zp
