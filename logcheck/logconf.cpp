// logconf.cpp - the log check configuration file, wildcard matching and the
// file system walk that offers log files to the server.
#include "logcheck/logconf.h"

#include <algorithm>

#include "core/config.h"
#include "core/file_text.h"
#include "core/log.h"
#include "logcheck/channel.h"
#include "logcheck/logfile_os.h"
#include "logcheck/logpath.h"

namespace zp {

namespace {

constexpr size_t line_max = 1023;             // the rest of a longer line reads as a line of its own
constexpr size_t config_file_max = 1 << 20;   // bytes of configuration read at most
constexpr size_t dir_entries_max = 100000;    // entries of one directory looked at
constexpr int walk_depth_max = 128;           // directory levels below the top

std::optional<log_config>& kept_config() {
    static std::optional<log_config> c;
    return c;
}

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool iequals(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return lower(x) == lower(y);
           });
}

bool has_wildcard(const std::string& s) { return s.find_first_of("*?") != std::string::npos; }

std::string chain_text(const log_chain_ref& c) {
    std::string out;
    for (size_t i = c.pos; i < c.line->size(); i++) {
        if (i > c.pos) out += " -> ";
        out += (*c.line)[i].text;
    }
    return out;
}

// The root a path line begins with, as the drive component's text: "/" on
// Linux; on Windows a drive letter and its colon as written, or a share
// "\\\\server\\share" (written with either separator). Sets *end to the
// byte after it; empty after logging when the line has no root.
std::string line_root(const std::string& line, path_style style, size_t* end) {
    if (style == path_style::posix) {
        if (line[0] == '/') {
            *end = 1;
            return "/";
        }
    } else if (line.size() >= 2 && is_path_separator(line[0], style) && is_path_separator(line[1], style)) {
        // A share: two names, neither empty nor with wildcards; "\\\\.\\"
        // and "\\\\?\\" name devices and local paths, not shares.
        std::string names[2];
        size_t i = 2;
        for (auto& n : names) {
            size_t j = i;
            while (j < line.size() && !is_path_separator(line[j], style)) j++;
            n = line.substr(i, j - i);
            *end = j;
            i = std::min(j + 1, line.size());
        }
        bool ok = names[0] != "." && !names[0].empty() && !names[1].empty();
        for (auto& n : names) ok = ok && n.find_first_of("*?") == std::string::npos;
        if (ok) return "\\\\" + names[0] + "\\" + names[1];
    } else if ((line[0] >= 'A' && line[0] <= 'Z') || (line[0] >= 'a' && line[0] <= 'z')) {
        if (line.size() >= 2 && line[1] == ':') {
            *end = 2;
            return line.substr(0, 2);
        }
        log(1, "log check configuration line must start with a drive letter and a colon: \"%s\"", line.c_str());
        return {};
    }
    log(1, "log check configuration line did not start with a drive letter: \"%s\"", line.c_str());
    return {};
}

// One line of the file, already trimmed; false when it fails the file.
bool parse_line(const std::string& line, path_style style, log_config& out) {
    auto parts = std::make_shared<log_conf_line>();
    if (line.rfind("eventlog:", 0) == 0) {
        size_t i = 9;
        while (i < line.size() && is_space(line[i])) i++;
        if (i == line.size()) {
            log(1, "Event-log entry did not detail which parts to include");
            return false;
        }
        parts->push_back({log_conf_part::eventlog, line.substr(i)});
        out.push_back(std::move(parts));
        return true;
    }
    size_t i = 0;
    std::string root = line_root(line, style, &i);
    if (root.empty()) return false;
    parts->push_back({log_conf_part::drive, std::move(root)});
    while (i < line.size()) {
        while (i < line.size() && is_path_separator(line[i], style)) i++;
        if (i == line.size()) break;
        size_t j = i;
        while (j < line.size() && !is_path_separator(line[j], style)) j++;
        std::string text = line.substr(i, j - i);
        if (text == "**") {
            parts->push_back({log_conf_part::recursive, text});
        } else if (text.find("**") != std::string::npos) {
            log(1, "Found misplaced '**' in log check configuration: \"%s\"", line.c_str());
            log(1, "Unable to parse components of log check configuration line: \"%s\"", line.c_str() + i);
            return false;
        } else {
            parts->push_back({log_conf_part::name, text});
        }
        i = j;
    }
    if (parts->back().kind == log_conf_part::recursive) {
        log(1, "No line must end with '**' - skipping line");
        return true;
    }
    out.push_back(std::move(parts));
    return true;
}

void add_match(std::vector<log_match>& list, log_match m) {
    for (auto& have : list)
        if (iequals(have.name, m.name)) {
            for (auto& c : m.chains) have.chains.push_back(std::move(c));
            return;
        }
    list.push_back(std::move(m));
}


std::unique_ptr<devnode> log_devnode(const std::string& name) {
    auto d = alloc_devnode();
    d->id = name;
    d->name = name;
    d->comment = name;
    d->type = type_adv_log;
    d->description = 20;
    return d;
}

}  // namespace

std::optional<log_config> parse_log_config(std::string_view text, path_style style) {
    log_config out;
    size_t i = 0;
    while (i < text.size()) {
        size_t stop = std::min(text.size(), i + line_max);
        size_t nl = text.find('\n', i);
        size_t next = nl != std::string_view::npos && nl < stop ? nl + 1 : stop;
        std::string line(text.substr(i, next - i));
        i = next;
        line = trim(line);
        if (line.empty() || line[0] == '#') continue;
        if (!parse_line(line, style, out)) return std::nullopt;
    }
    if (out.empty()) return std::nullopt;
    return out;
}

std::optional<log_config> read_log_config(const std::string& path) {
    std::string text;
    if (read_text_file(path, config_file_max, text)) {
        log(1, "Unable to open log configuration \"%s\"", path.c_str());
        return std::nullopt;
    }
    return parse_log_config(text);
}

bool log_wildcard_match(std::string_view name, std::string_view pattern) {
    size_t dbl = pattern.find("**");
    if (dbl != std::string_view::npos) {
        if (dbl + 2 != pattern.size()) {
            log(3, "Bad pattern found: \"%.*s\"", static_cast<int>(pattern.size()), pattern.data());
            return false;
        }
        pattern.remove_suffix(1);  // "**" at the end takes the rest, as one "*"
    }
    // "*" is one byte and then any number of bytes: the matcher tries the
    // latest "any number" once per position, so that no pattern costs more
    // than name x pattern steps.
    constexpr int one = -1, any = -2;
    std::vector<int> t;
    for (char c : pattern) {
        if (c == '*') {
            t.push_back(one);
            t.push_back(any);
        } else {
            t.push_back(c == '?' ? one : static_cast<unsigned char>(lower(c)));
        }
    }
    size_t i = 0, j = 0, star = std::string::npos, star_i = 0;
    while (i < name.size()) {
        if (j < t.size() && t[j] == any) {
            star = j++;
            star_i = i;
        } else if (j < t.size() && (t[j] == one || t[j] == static_cast<unsigned char>(lower(name[i])))) {
            i++;
            j++;
        } else if (star != std::string::npos) {
            j = star + 1;
            i = ++star_i;
        } else {
            return false;
        }
    }
    while (j < t.size() && t[j] == any) j++;
    return j == t.size();
}

void log_fs_scan(const std::string& dir, devtree& group, const log_match& here, int depth) {
    log(-1, "Entering recursive fs scan with cwd \"%s\"", dir.c_str());
    std::vector<log_match> list;
    for (const auto& chain : here.chains) {
        if (chain.pos >= chain.line->size()) continue;
        const log_conf_part& c = (*chain.line)[chain.pos];
        const bool last = chain.pos + 1 == chain.line->size();
        const log_chain_ref rest{chain.line, chain.pos + 1};
        log(-1, "In cwd \"%s\" will consider part \"%s\"", dir.c_str(), c.text.c_str());
        log_text(-1, chain_text(chain));
        if (c.kind != log_conf_part::recursive && !has_wildcard(c.text)) {
            log_match m{last ? log_match::file : log_match::directory, here.strict, c.text, {}};
            if (!last) m.chains.push_back(rest);
            add_match(list, std::move(m));
            log(-1, "Inserting part as non-wildcard match:");
            log_text(-1, chain_text(chain));
            continue;
        }
        if (c.kind == log_conf_part::recursive)
            log(-1, "\"%s\" is a recdir wildcard", c.text.c_str());
        else
            log(-1, "\"%s\" contains wildcard", c.text.c_str());
        const std::string next = last ? std::string() : (*chain.line)[chain.pos + 1].text;
        if (c.kind == log_conf_part::eventlog) {
            log(0, "Scanning EvenlLog");
            for (auto& name : event_log_channels()) {
                log(-1, "Inserting part \"%s\"(\"%s\")->\"%s\" as wildcard match", c.text.c_str(), name.c_str(),
                    next.c_str());
                log_match m{log_match::eventlog, 0, name, {}};
                if (!last) m.chains.push_back(rest);
                add_match(list, std::move(m));
            }
            continue;
        }
        log(-1, "Will scan \"%s*\" for part \"%s\"", dir.c_str(), c.text.c_str());
        std::vector<dir_entry> entries;
        if (int rc = os_list_dir(dir, dir_entries_max, entries)) {
            log(1, "Error scanning \"%s\": %d", dir.c_str(), rc);
            continue;
        }
        for (const auto& e : entries) {
            if (c.kind == log_conf_part::recursive && e.is_dir) {
                log(-1, "Inserting empty match for \"%s\"", e.name.c_str());
                add_match(list, {log_match::directory, 1, e.name, {chain}});
            }
            if (!log_wildcard_match(e.name, c.text)) continue;
            log(-1, "Entry \"%s\" matched \"%s\"", e.name.c_str(), c.text.c_str());
            if (c.kind == log_conf_part::recursive && !e.is_dir) {
                // A file below "**" must match the last component.
                if (chain.pos + 2 == chain.line->size() && log_wildcard_match(e.name, next)) {
                    log(-1, "Inserting part \"%s\"(\"%s\")->\"%s\" as recdir file match", c.text.c_str(),
                        e.name.c_str(), next.c_str());
                    add_match(list, {log_match::file, 1, e.name, {}});
                }
            } else if (e.is_dir ? !last : last) {
                // A directory that matches the last component holds nothing to
                // offer; a file that matches a component with more after it is
                // not a log file of this line.
                log(-1, "Inserting part \"%s\"(\"%s\")->\"%s\" as wildcard match", c.text.c_str(), e.name.c_str(),
                    next.c_str());
                log_match m{e.is_dir ? log_match::directory : log_match::file, 1, e.name, {}};
                if (!last) m.chains.push_back(rest);
                add_match(list, std::move(m));
            }
        }
    }
    log(-1, "In cwd \"%s\" - finished actual scan.", dir.c_str());

    for (const auto& m : list) {
        if (m.kind != log_match::directory) continue;
        log(-1, "Adding path part \"%s\"", m.name.c_str());
        log(-1, "Matching line list ---------------");
        for (const auto& c : m.chains) log_text(-1, chain_text(c));
        log(-1, "End of matching line list --------");
        if (depth >= walk_depth_max) continue;
        devtree* child = devtree_child(group, m.name, m.name);
        if (!child) {
            log(3, "Out of memory constructing new cwd for scan");
            continue;
        }
        log_fs_scan(path_below(dir, m.name, os_path_style()), *child, m, depth + 1);
        if (!child->checks.empty() || !child->children.empty()) continue;
        auto it = std::find_if(group.children.begin(), group.children.end(),
                               [&](const auto& g) { return g.get() == child; });
        if (it == group.children.end())
            log(2, "Could not find log node \"%s\"", m.name.c_str());
        else
            group.children.erase(it);
    }
    for (const auto& m : list) {
        if (m.kind != log_match::eventlog) continue;
        devtree* ev = devtree_child(group, "eventlog", "eventlog");
        if (!ev) continue;
        ev->name_template = "Eventlog %0r";
        log(-1, "Adding eventlog part \"%s\"", m.name.c_str());
        add_devnodes(*ev, log_devnode(m.name));
    }
    devnode_list files;
    for (const auto& m : list) {
        if (m.kind != log_match::file) continue;
        const std::string full = dir + m.name;
        if (here.strict) {
            path_info info = os_path_info(full);
            if (info.kind == path_kind::missing) {
                log(-1, "Unable to open file part \"%s\" (%d) -> ignoring", full.c_str(), info.error);
                continue;
            }
            if (info.kind != path_kind::file) {
                log(-1, "Ignoring non-file part \"%s\"", full.c_str());
                continue;
            }
            log(-1, "Accepted file part \"%s\" because it exists", full.c_str());
        } else {
            log(-1, "No strict file match enforcement on \"%s\"", full.c_str());
        }
        log(-1, "Adding file part \"%s\"", full.c_str());
        files.push_back(log_devnode(m.name));
    }
    if (!files.empty()) add_devnodes(group, std::move(files));
    log(-1, "Leaving recursive fs scan from cwd \"%s\"", dir.c_str());
}

err scan_log(devtree& root) {
    auto& kept = kept_config();
    const auto& path = the_config().log_chk_conf;
    if (path && !path->empty()) {
        if (auto c = read_log_config(*path)) {
            kept = std::move(c);
            log(1, "Read new log check configuration");
        } else {
            log(3, "Unable to read new log check configuration! Keeping old configuration");
        }
    } else {
        log(1, "No log check configuration");
    }
    devtree* top = devtree_child(root, "log", "Log checks");
    if (!top) return {};
    top->name_template = "Log check %c,1l,\\,0r,";
    if (kept) {
        log_match start{log_match::directory, 0, "", {}};
        for (const auto& line : *kept) start.chains.push_back({line, 0});
        log_fs_scan("", *top, start);
    }
    if (devtree* fwd = devtree_child(*top, "/forward", "Forward LogChecks")) fwd->name_template = "Forward LogCheck %0r";
    return {};
}

void reset_log_config() { kept_config().reset(); }

}  // namespace zp
