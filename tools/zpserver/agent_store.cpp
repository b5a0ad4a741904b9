// agent_store.cpp - per-agent records and their files.
#include "tools/zpserver/agent_store.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "core/log.h"
#include "protocol/crypto.h"

namespace zp::server {

namespace {

// Largest record file the store reads; a scan of many thousand checks fits.
constexpr std::uintmax_t max_record_file = 64u << 20;

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Splits a line at blanks; each part is unescaped.
bool split_fields(std::string_view line, std::vector<std::string>& out) {
    std::vector<std::string> parts;
    size_t pos = 0;
    while (pos < line.size()) {
        size_t end = line.find(' ', pos);
        if (end == std::string_view::npos) end = line.size();
        std::string f;
        if (!unescape_field(line.substr(pos, end - pos), f)) return false;
        parts.push_back(std::move(f));
        pos = end + 1;
    }
    out = std::move(parts);
    return true;
}

}  // namespace

std::string identity_digest(const std::string& name, const std::string& domain) {
    md5 d;
    d.update(name);
    d.update("\n", 1);
    d.update(domain);
    md5_digest digest{};
    if (d.finish(digest)) return {};
    return digest_hex(digest);
}

std::string escape_field(std::string_view text) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (unsigned char c : text) {
        if (c < 0x21 || c > 0x7E || c == '%') {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    // An empty text still needs a visible field.
    return out.empty() ? std::string("%") : out;
}

bool unescape_field(std::string_view text, std::string& out) {
    if (text == "%") {
        out.clear();
        return true;
    }
    std::string r;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            r += text[i];
            continue;
        }
        if (i + 2 >= text.size()) return false;
        int h = hex_value(text[i + 1]), l = hex_value(text[i + 2]);
        if (h < 0 || l < 0) return false;
        r += static_cast<char>(h * 16 + l);
        i += 2;
    }
    out = std::move(r);
    return true;
}

std::string format_record(const agent_record& rec) {
    std::string out;
    out += "name " + escape_field(rec.name) + "\n";
    out += "domain " + escape_field(rec.domain) + "\n";
    if (rec.hostkey) out += "hostkey " + escape_field(*rec.hostkey) + "\n";
    if (rec.hallmark) out += "hallmark " + escape_field(*rec.hallmark) + "\n";
    if (!rec.host_id.empty()) out += "host_id " + escape_field(rec.host_id) + "\n";
    out += std::string("scanned ") + (rec.scanned ? "1" : "0") + "\n";
    for (const auto& c : rec.checks) {
        out += "check " + std::to_string(c.type);
        for (const auto& id : c.path) out += " " + escape_field(id);
        out += "\n";
        if (!c.thresholds.empty()) {
            out += "limits";
            for (double v : c.thresholds) out += strprintf(" %.17g", v);
            out += "\n";
        }
        if (!c.states.empty()) {
            out += "states";
            for (uint32_t v : c.states) out += " " + std::to_string(v);
            out += "\n";
        }
    }
    return out;
}

err parse_record(std::string_view text, agent_record& out) {
    agent_record rec;
    size_t pos = 0;
    int line_no = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(pos, end - pos);
        pos = end + 1;
        ++line_no;
        if (line.empty()) continue;
        std::vector<std::string> f;
        if (!split_fields(line, f) || f.empty()) return format_error("Bad line %d in agent record", line_no);
        const std::string& key = f[0];
        if (key == "check") {
            if (f.size() < 3) return format_error("Bad check on line %d in agent record", line_no);
            known_check c;
            char* stop = nullptr;
            unsigned long t = std::strtoul(f[1].c_str(), &stop, 10);
            if (!stop || *stop || f[1].empty() || t > 0xFFFFFFFFul)
                return format_error("Bad check type on line %d in agent record", line_no);
            c.type = static_cast<uint32_t>(t);
            c.path.assign(f.begin() + 2, f.end());
            rec.checks.push_back(std::move(c));
            continue;
        }
        if (key == "limits" || key == "states") {
            // The configuration of the check on the line before.
            if (rec.checks.empty() || f.size() > 5) return format_error("Bad %s on line %d in agent record", key.c_str(), line_no);
            for (size_t i = 1; i < f.size(); ++i) {
                char* stop = nullptr;
                double v = std::strtod(f[i].c_str(), &stop);
                if (!stop || *stop || f[i].empty() || !(v >= -1 && v <= 1e15) ||
                    (key == "states" && v != 0 && v != 1 && v != 2))
                    return format_error("Bad %s on line %d in agent record", key.c_str(), line_no);
                if (key == "limits")
                    rec.checks.back().thresholds.push_back(v);
                else
                    rec.checks.back().states.push_back(static_cast<uint32_t>(v));
            }
            continue;
        }
        if (f.size() != 2) return format_error("Bad line %d in agent record", line_no);
        if (key == "name")
            rec.name = f[1];
        else if (key == "domain")
            rec.domain = f[1];
        else if (key == "hostkey")
            rec.hostkey = f[1];
        else if (key == "hallmark")
            rec.hallmark = f[1];
        else if (key == "host_id")
            rec.host_id = f[1];
        else if (key == "scanned")
            rec.scanned = f[1] == "1";
        else
            return format_error("Unknown field on line %d in agent record", line_no);
    }
    out = std::move(rec);
    return {};
}

std::string agent_store::file_name(const std::string& name, const std::string& domain) {
    std::string readable = "agent-" + escape_field(name) + "@" + escape_field(domain);
    bool plain = readable.size() <= 120 && readable.find('/') == std::string::npos;
    if (plain) return readable + ".state";
    // Long or awkward names get a digest instead.
    std::string digest = identity_digest(name, domain);
    return digest.empty() ? "agent-unnamed.state" : "agent-" + digest + ".state";
}

agent_record& agent_store::load(const std::string& name, const std::string& domain) {
    auto key = std::make_pair(name, domain);
    if (auto it = cache_.find(key); it != cache_.end()) return it->second;
    agent_record rec;
    rec.name = name;
    rec.domain = domain;
    if (!dir_.empty()) {
        std::filesystem::path p = std::filesystem::path(dir_) / file_name(name, domain);
        std::error_code ec;
        auto size = std::filesystem::file_size(p, ec);
        if (!ec && size <= max_record_file) {
            std::ifstream in(p, std::ios::binary);
            std::stringstream buf;
            buf << in.rdbuf();
            agent_record loaded;
            if (auto e = parse_record(buf.str(), loaded)) {
                log(2, "Ignoring agent record %s: %s", p.string().c_str(), e.c_str());
            } else if (loaded.name == name && loaded.domain == domain) {
                rec = std::move(loaded);
            }
        } else if (!ec) {
            log(2, "Ignoring agent record %s: too large", p.string().c_str());
        }
    }
    return cache_[key] = std::move(rec);
}

err agent_store::save(const agent_record& rec) {
    if (dir_.empty()) return {};
    std::error_code ec;
    std::filesystem::create_directories(dir_, ec);
    std::filesystem::path p = std::filesystem::path(dir_) / file_name(rec.name, rec.domain);
    std::filesystem::path tmp = p;
    tmp += ".tmp";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        std::string text = format_record(rec);
        out.write(text.data(), static_cast<std::streamsize>(text.size()));
        out.flush();
        if (!out) return format_error("Error writing %s", tmp.string().c_str());
    }
    std::filesystem::rename(tmp, p, ec);
    if (ec) return format_error("Error renaming %s: %s", tmp.string().c_str(), ec.message().c_str());
    return {};
}

agent_record agent_store::get(const std::string& name, const std::string& domain) {
    std::lock_guard lk(mu_);
    return load(name, domain);
}

err agent_store::put(const agent_record& rec) {
    std::lock_guard lk(mu_);
    cache_[std::make_pair(rec.name, rec.domain)] = rec;
    return save(rec);
}

err agent_store::update(const std::string& name, const std::string& domain,
                        const std::function<void(agent_record&)>& fn, agent_record* out) {
    std::lock_guard lk(mu_);
    agent_record& rec = load(name, domain);
    fn(rec);
    // The key stays what it was looked up by.
    rec.name = name;
    rec.domain = domain;
    if (out) *out = rec;
    return save(rec);
}

}  // namespace zp::server
