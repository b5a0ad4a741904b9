// agent_store.h - what the server keeps per agent (name and domain): the
// master key, the hallmark, the host id and the checks of the last uploaded
// hardware scan, one file per agent in the state directory.
//
// The store is shared by the connection threads; every function takes its
// lock. Records are copied in and out, so a caller never holds a reference
// into the store.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/err.h"

namespace zp::server {

// A check of the uploaded scan: its type and the ids from the top-level group
// down to the check's own id.
struct known_check {
    uint32_t type = 0;
    std::vector<std::string> path;
    // What the server configures for it: thresholds alert high, alert low,
    // warn high, warn low (negative: off; empty: none), or for bitmap checks
    // the status of each value.
    std::vector<double> thresholds;
    std::vector<uint32_t> states;
};

struct agent_record {
    std::string name, domain;
    std::optional<std::string> hostkey;   // decimal text of the agreed secret
    std::optional<std::string> hallmark;  // 32 hexadecimal characters
    std::string host_id;                  // empty until assigned
    bool scanned = false;                 // a hardware scan has been uploaded
    std::vector<known_check> checks;
};

// "<prefix>%XX"-escaping of every octet outside 0x21..0x7E and of '%'.
std::string escape_field(std::string_view text);
// The reverse; false (out unchanged) on a malformed escape.
bool unescape_field(std::string_view text, std::string& out);

// The MD5 of "<name>\n<domain>" in hex digits: one agent's identity in a
// fixed-size form. Empty when the digest could not be made.
std::string identity_digest(const std::string& name, const std::string& domain);

// The record as lines of "<field> <escaped value>", and back. parse_record
// refuses unknown or malformed lines with their line number.
std::string format_record(const agent_record& rec);
err parse_record(std::string_view text, agent_record& out);

class agent_store {
public:
    // `dir` holds the files; empty keeps everything in memory only.
    explicit agent_store(std::string dir) : dir_(std::move(dir)) {}

    // The record of this agent, read from its file on first use; a new record
    // (name and domain set, nothing else) when there is none. A damaged file
    // is logged and treated as absent.
    agent_record get(const std::string& name, const std::string& domain);
    // Stores the record and replaces its file atomically.
    err put(const agent_record& rec);
    // Reads, changes with `fn` and stores the agent's record under one hold
    // of the lock, so that two connections of one agent lose no change of
    // each other. `out` (may be null) receives the stored record. The
    // record changes in memory even when its file cannot be written.
    err update(const std::string& name, const std::string& domain, const std::function<void(agent_record&)>& fn,
               agent_record* out = nullptr);
    // The file name of an agent's record inside the directory.
    static std::string file_name(const std::string& name, const std::string& domain);

private:
    agent_record& load(const std::string& name, const std::string& domain);  // lock held
    err save(const agent_record& rec);                                       // lock held
    std::mutex mu_;
    std::string dir_;
    std::map<std::pair<std::string, std::string>, agent_record> cache_;
};

}  // namespace zp::server
