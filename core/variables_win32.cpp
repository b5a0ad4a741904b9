// variables_win32.cpp - the variables in the registry on Windows: one string
// value per variable in the subkey "Variables" of "SOFTWARE\Zerpal\<key>"
// (core/config_os.h: registry_base),
// under the current user when the configuration was found there, else under
// the local machine.
//
// Keys and values are arbitrary bytes. Each byte b is stored as the character
// U+00bb (the zero byte, which a value name cannot hold, as U+0100) through
// the wide registry calls, so that every store reads back exactly; text in
// the ASCII range reads as itself in the registry editor.
//
// One RegSetValueEx is atomic; a store of many values is not. So a flush
// first writes the whole store into the subkey "Variables.new" and flushes
// it, then creates its subkey "committed" (the commit point), and only then
// brings "Variables" to the store and deletes "Variables.new". A load that
// finds "Variables.new\committed" finishes that copy first; one that finds
// "Variables.new" without it ignores it (the flush died before committing).
// Whatever moment a crash hits, the next load reads the old store or the new
// one, whole.
#include <windows.h>

#include <set>

#include "core/config.h"
#include "core/config_os.h"
#include "core/log.h"
#include "core/variables.h"
#include "core/variables_os.h"

namespace zp {

namespace {

constexpr const char* staged_name = "Variables.new";
constexpr const char* committed_name = "Variables.new\\committed";

// Values of "Variables" the load could not use (not text, too long, not
// written by the agent): never deleted by a flush, for a person to look at.
// Guarded by the store's lock, which every call here runs under.
std::set<std::wstring>& left_alone() {
    static std::set<std::wstring> names;
    return names;
}

struct key_closer {
    HKEY h = nullptr;
    ~key_closer() {
        if (h) RegCloseKey(h);
    }
};

HKEY root() { return config_from_user() ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE; }

std::wstring widen(const std::string& bytes) {
    std::wstring out;
    out.reserve(bytes.size());
    for (char ch : bytes) {
        auto b = static_cast<unsigned char>(ch);
        out += static_cast<wchar_t>(b ? b : 0x100);
    }
    return out;
}

// False when a character is none the agent writes.
bool narrow(const wchar_t* text, size_t n, std::string& out) {
    out.clear();
    out.reserve(n);
    for (size_t i = 0; i < n; ++i) {
        unsigned c = text[i];
        if (c == 0x100)
            out += '\0';
        else if (c != 0 && c <= 0xFF)
            out += static_cast<char>(c);
        else
            return false;
    }
    return true;
}

std::string printable(const std::wstring& name) {
    std::string out;
    for (wchar_t c : name) out += c > 0x20 && c < 0x7F ? static_cast<char>(c) : '?';
    return out;
}

LSTATUS set_value(HKEY key, const std::string& name, const std::string& value) {
    std::wstring data = widen(value);
    data += L'\0';
    return RegSetValueExW(key, widen(name).c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                          static_cast<DWORD>(data.size() * sizeof(wchar_t)));
}

// The values of `key` into `out`; unusable ones are logged and, when `skipped`
// is given, named there.
err read_values(HKEY key, variable_pairs& out, std::set<std::wstring>* skipped) {
    DWORD count = 0;
    if (RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count, nullptr, nullptr,
                         nullptr, nullptr) != ERROR_SUCCESS)
        return err::text("Cannot get registry info on variables key");
    std::wstring name(16384, L'\0');
    std::wstring data(variable_max_size + 2, L'\0');
    for (DWORD i = 0; i < count; ++i) {
        DWORD name_len = static_cast<DWORD>(name.size()), type = 0, size = 0;
        LSTATUS rc = RegEnumValueW(key, i, name.data(), &name_len, nullptr, &type, nullptr, &size);
        if (rc == ERROR_NO_MORE_ITEMS) break;
        if (rc != ERROR_SUCCESS) return err::text("Cannot read variabel key");
        std::wstring wname(name.data(), name_len);
        const char* why = nullptr;
        std::string k, v;
        if (type != REG_SZ)
            why = "not a string value";
        else if (name_len > variable_max_size || size > (variable_max_size + 1) * sizeof(wchar_t))
            why = "longer than 1023 bytes";
        else if (!narrow(wname.data(), wname.size(), k))
            why = "a name the agent does not write";
        if (!why) {
            DWORD got = static_cast<DWORD>(data.size() * sizeof(wchar_t));
            rc = RegQueryValueExW(key, wname.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &got);
            size_t n = got / sizeof(wchar_t);
            if (n > 0 && data[n - 1] == L'\0') --n;
            if (rc != ERROR_SUCCESS || type != REG_SZ)
                why = "changed while read";
            else if (!narrow(data.data(), n, v))
                why = "a value the agent does not write";
        }
        if (why) {
            log(3, "Variable \"%s\" in the registry is unusable (%s); left alone", printable(wname).c_str(), why);
            if (skipped) skipped->insert(std::move(wname));
            continue;
        }
        out.emplace_back(std::move(k), std::move(v));
    }
    return {};
}

// Brings the key `vars_key` to exactly `vars`, apart from the values left alone.
LSTATUS write_store(HKEY vars_key, const variable_pairs& vars) {
    std::set<std::wstring> keep;
    for (const auto& [k, v] : vars) {
        if (LSTATUS rc = set_value(vars_key, k, v); rc != ERROR_SUCCESS) return rc;
        keep.insert(widen(k));
    }
    std::vector<std::wstring> stale;
    std::wstring name(16384, L'\0');
    for (DWORD i = 0;; ++i) {
        DWORD len = static_cast<DWORD>(name.size());
        LSTATUS rc = RegEnumValueW(vars_key, i, name.data(), &len, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_NO_MORE_ITEMS) break;
        if (rc != ERROR_SUCCESS) return rc;
        std::wstring n(name.data(), len);
        if (!keep.count(n) && !left_alone().count(n)) stale.push_back(std::move(n));
    }
    for (const auto& n : stale)
        if (LSTATUS rc = RegDeleteValueW(vars_key, n.c_str()); rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND)
            return rc;
    return RegFlushKey(vars_key);
}

std::string agent_path(const variables_place& place) {
    return strprintf("%s\\%s", registry_base().c_str(), place.key_name.c_str());
}

// True when a flush committed "Variables.new" and may have died before
// "Variables" held it all.
bool committed_flush_pending(HKEY agent_key) {
    key_closer committed;
    return RegOpenKeyExA(agent_key, committed_name, 0, KEY_READ, &committed.h) == ERROR_SUCCESS;
}

// Makes "Variables" hold the committed store of "Variables.new", into `vars`.
err finish_committed_flush(const std::string& path, variable_pairs& vars) {
    key_closer agent_key;
    if (RegOpenKeyExA(root(), path.c_str(), 0, KEY_ALL_ACCESS, &agent_key.h) != ERROR_SUCCESS)
        return err::text("Couldn't create the variable registrykey during read");
    key_closer staged;
    if (RegOpenKeyExA(agent_key.h, staged_name, 0, KEY_READ, &staged.h) != ERROR_SUCCESS)
        return err::text("Couldn't create the variable registrykey during read");
    variable_pairs committed;
    if (err e = read_values(staged.h, committed, nullptr)) return e;
    key_closer live;
    if (RegCreateKeyExA(agent_key.h, "Variables", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &live.h, nullptr) !=
        ERROR_SUCCESS)
        return err::text("Couldn't create the variable registrykey during read");
    if (write_store(live.h, committed) != ERROR_SUCCESS)
        return err::text("Couldn't create registryvalue in key variables");
    RegDeleteTreeA(agent_key.h, staged_name);
    log(2, "Variables: finished a flush that was cut off");
    vars = std::move(committed);
    return {};
}

}  // namespace

err load_variables(const variables_place& place, variable_pairs& out, bool* fatal_fault) {
    std::string path = agent_path(place);
    key_closer agent_key;
    LSTATUS rc = RegOpenKeyExA(root(), path.c_str(), 0, KEY_READ, &agent_key.h);
    key_closer vars_key;
    if (rc == ERROR_SUCCESS) rc = RegOpenKeyExA(agent_key.h, "Variables", 0, KEY_READ, &vars_key.h);
    if (rc == ERROR_ACCESS_DENIED) {
        // The key that may hold the host id is there but not ours to read.
        if (fatal_fault) *fatal_fault = true;
        return format_error("Cannot read variables registry key \"%s\\Variables\": %s", path.c_str(),
                            system_error_text(static_cast<int>(rc)).c_str());
    }
    bool pending = agent_key.h && committed_flush_pending(agent_key.h);
    if (rc != ERROR_SUCCESS && !pending) return format_error("Cannot open variables registrykey. returncode %ld", rc);
    variable_pairs vars;
    std::set<std::wstring> skipped;
    if (vars_key.h)
        if (err e = read_values(vars_key.h, vars, &skipped)) return e;
    left_alone() = std::move(skipped);
    if (pending)
        if (err e = finish_committed_flush(path, vars)) return e;
    out = std::move(vars);
    return {};
}

err store_variables(const variables_place& place, const variable_pairs& vars) {
    std::string path = agent_path(place);
    key_closer agent_key;
    LSTATUS rc = RegCreateKeyExA(root(), path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &agent_key.h, nullptr);
    if (rc != ERROR_SUCCESS) return format_error("Cannot open variables path for write returncode %ld", rc);

    // What an earlier flush left uncommitted goes first.
    RegDeleteTreeA(agent_key.h, staged_name);
    {
        key_closer staged;
        if (RegCreateKeyExA(agent_key.h, staged_name, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &staged.h, nullptr) !=
            ERROR_SUCCESS)
            return err::text("Couldn't create the variable registrykey during flush");
        for (const auto& [k, v] : vars)
            if (set_value(staged.h, k, v) != ERROR_SUCCESS) {
                RegDeleteTreeA(agent_key.h, staged_name);
                return err::text("Couldn't create registryvalue in key variables");
            }
        if (RegFlushKey(staged.h) != ERROR_SUCCESS) {
            RegDeleteTreeA(agent_key.h, staged_name);
            return err::text("Couldn't create registryvalue in key variables");
        }
    }
    key_closer committed;
    if (RegCreateKeyExA(agent_key.h, committed_name, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &committed.h,
                        nullptr) != ERROR_SUCCESS ||
        RegFlushKey(agent_key.h) != ERROR_SUCCESS) {
        RegDeleteTreeA(agent_key.h, staged_name);
        return err::text("Couldn't create the variable registrykey during flush");
    }

    key_closer live;
    if (RegCreateKeyExA(agent_key.h, "Variables", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &live.h, nullptr) !=
        ERROR_SUCCESS)
        return err::text("Couldn't create the variable registrykey during flush");
    // From here on the new store is committed: a failure leaves it for the
    // next load to finish, and the next flush starts afresh.
    if (write_store(live.h, vars) != ERROR_SUCCESS) return err::text("Couldn't create registryvalue in key variables");
    RegDeleteTreeA(agent_key.h, staged_name);
    return {};
}

}  // namespace zp
