// library_log.cpp - the library loggers and their sink into the agent's log.
#include "core/library_log.h"

#include <string>

#include <spdlog/spdlog.h>

#include "core/log.h"

namespace zpagent {

void ZerpalSink::sink_it_(const spdlog::details::log_msg& msg) {
    spdlog::memory_buf_t formatted;
    formatter_->format(msg, formatted);
    std::string text(formatted.data(), formatted.size());
    // The record ends in the library's line ending ("\n" here, "\r\n" on Windows).
    if (!text.empty() && text.back() == '\n') text.pop_back();
    if (!text.empty() && text.back() == '\r') text.pop_back();
    zp::log_text(3, text);
}

}  // namespace zpagent

namespace zp {

namespace {

std::shared_ptr<spdlog::logger> make_logger(const char* name) {
    if (auto existing = spdlog::get(name)) return existing;
    auto l = std::make_shared<spdlog::logger>(name, std::make_shared<zpagent::ZerpalSink>());
    spdlog::register_logger(l);
    return l;
}

// Both loggers exist from static initialisation on.
const bool loggers_made = (client_logger(), devices_logger(), true);

}  // namespace

std::shared_ptr<spdlog::logger> client_logger() {
    static std::shared_ptr<spdlog::logger> l = make_logger("zpclient");
    return l;
}

std::shared_ptr<spdlog::logger> devices_logger() {
    static std::shared_ptr<spdlog::logger> l = make_logger("devices");
    return l;
}

void setup_library_logging() {
    (void)loggers_made;
    client_logger();
    devices_logger();
    spdlog::set_pattern("[%n] [%l] %v");
    int level = get_log_level() + 1;
    if (level < spdlog::level::trace) level = spdlog::level::trace;
    if (level > spdlog::level::off) level = spdlog::level::off;
    spdlog::set_level(static_cast<spdlog::level::level_enum>(level));
}

}  // namespace zp
