// err.h - the value every operation returns: none (success) or an error text.
// Check operations may also return `err::no_result()`, "no result this time".
#pragma once

#include <cstdarg>
#include <string>
#include <string_view>
#include <utility>

// printf-style argument checking. mingw's compiler reads "printf" as the
// Microsoft runtime's dialect; the agent formats with the C99 one everywhere.
#if defined(__MINGW32__)
#define ZP_PRINTF(fmt_pos, first_arg) __attribute__((format(gnu_printf, fmt_pos, first_arg)))
#else
#define ZP_PRINTF(fmt_pos, first_arg) __attribute__((format(printf, fmt_pos, first_arg)))
#endif

namespace zp {

class [[nodiscard]] err {
public:
    err() = default;  // none: success

    // An error with this text (a plain text, never read as a format).
    static err text(std::string msg) { return err(kind::error, std::move(msg)); }
    // The special "no result this time" of check operations; not an error text.
    static err no_result() { return err(kind::no_result, {}); }

    // True for anything but success, so that `if (auto e = f()) return e;` passes
    // errors (and "no result") upwards.
    explicit operator bool() const { return k_ != kind::none; }
    bool ok() const { return k_ == kind::none; }
    bool is_error() const { return k_ == kind::error; }
    bool is_no_result() const { return k_ == kind::no_result; }

    // The error text; empty for success and for "no result".
    const std::string& message() const { return msg_; }
    const char* c_str() const { return msg_.c_str(); }

private:
    enum class kind : unsigned char { none, error, no_result };
    err(kind k, std::string msg) : k_(k), msg_(std::move(msg)) {}
    kind k_ = kind::none;
    std::string msg_;
};

// Longest text format_error keeps: its texts were made in 256-byte buffers, and
// the server and the log see them cut there.
inline constexpr size_t format_error_max = 255;

// An error text formatted like printf; texts longer than format_error_max bytes
// are cut. Safe from any thread (the text is owned by the returned value).
err format_error(const char* fmt, ...) ZP_PRINTF(1, 2);
err vformat_error(const char* fmt, va_list ap);

// printf into a std::string, no length limit.
std::string strprintf(const char* fmt, ...) ZP_PRINTF(1, 2);
std::string vstrprintf(const char* fmt, va_list ap);

// The system's text for an error code (errno on Linux, GetLastError/WSA codes on
// Windows), without trailing line breaks; "%u" when the system has no text.
std::string system_error_text(int code);
// The calling thread's last system error code (errno, or GetLastError()).
int last_system_error();

}  // namespace zp
