// library_log.h - the two named library loggers, "zpclient" (the main loop's
// start message) and "devices" (the hardware scan), and ZerpalSink, their only
// sink, which hands every formatted record to the agent's log at level 3.
#pragma once

#include <memory>
#include <mutex>

#include <spdlog/logger.h>
#include <spdlog/sinks/base_sink.h>

namespace zpagent {

// Writes each formatted record, without its line ending, through zp::log_text
// at level 3 (the text is never read as a format). Flushing does nothing: every
// record of the agent's log is flushed as it is written.
class ZerpalSink : public spdlog::sinks::base_sink<std::mutex> {
protected:
    void sink_it_(const spdlog::details::log_msg& msg) override;
    void flush_() override {}
};

}  // namespace zpagent

namespace zp {

// The library loggers. They exist from static initialisation on and are
// registered with the library, so setup_library_logging (log.h) reaches them.
std::shared_ptr<spdlog::logger> client_logger();
std::shared_ptr<spdlog::logger> devices_logger();

}  // namespace zp
