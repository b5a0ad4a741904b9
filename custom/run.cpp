// run.cpp - the command runner: the child with its output pipe, the reader
// thread and the two events through which it and the main thread take turns on
// the output buffer, the deadline and the clean-up on every path.
#include "custom/run.h"

#include <atomic>
#include <chrono>
#include <system_error>
#include <thread>

#include "core/log.h"
#include "custom/run_os.h"
#include "host/wait.h"

namespace zp {

namespace {

// The runner's process-wide state. The buffer, its fill position and the last
// read belong to the reader thread from a data_processed_evt to the next
// read_complete_evt, and to the main thread from then on; `handover` gives
// that turn-taking its memory ordering.
struct runner {
    wait_event read_complete_evt;
    wait_event data_processed_evt;
    wait_event reader_ended;
    run_os::pipe_reader pipe;
    std::thread reader;
    std::atomic<bool> reading{false};
    std::atomic<unsigned> handover{0};
    output_buffer buf;
    run_os::read_outcome last;
    std::atomic<int> reads{0};
};

runner& rs() {
    static runner r;
    return r;
}

int64_t now_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Creates an event the first time it is needed.
err ensure_event(wait_event& ev, const char* name) {
    if (ev.valid()) return {};
    if (auto e = wait_event::create(false, false, ev)) return format_error("Could not create %s: %s", name, e.c_str());
    return {};
}

// Every way out after the child was started: kill its group, reap it, stop
// the reader.
void stop_child(run_os::child& child) {
    run_os::kill_child(child);
    run_os::release_child(child);
    close_thread();
}

}  // namespace

err run_custom_check(custom_check& c, resnode& result) {
    runner& r = rs();
    if (auto e = ensure_event(r.read_complete_evt, "read_complete_evt")) return e;
    if (auto e = ensure_event(r.data_processed_evt, "data_processed_evt")) return e;
    if (auto e = ensure_event(r.reader_ended, "reader_ended_evt")) return e;

    intptr_t write_end = -1;
    if (!run_os::make_pipe(r.pipe, write_end)) return err::text("Error creating pipes");
    run_os::child child;
    if (auto e = run_os::start_child(c.command, write_end, child)) {
        run_os::close_write_end(write_end);
        run_os::close_pipe(r.pipe);
        return format_error("Failed executing '%s': %s", c.command.c_str(), e.c_str());
    }
    // The pipe breaks once the child and its descendants have closed their copies.
    run_os::close_write_end(write_end);
    r.buf.fill = 0;
    r.buf.data[0] = '\0';
    r.reading = true;
    r.read_complete_evt.reset();
    r.data_processed_evt.reset();
    r.reader_ended.reset();
    try {
        r.reader = std::thread([] { (void)read_thread(); });
    } catch (const std::system_error& ex) {
        r.reading = false;
        run_os::kill_child(child);
        run_os::release_child(child);
        run_os::close_pipe(r.pipe);
        return format_error("Could not create read_thread when executing custom check %s: %s", c.name.c_str(),
                            ex.what());
    }

    output_values v;
    const int64_t deadline = now_ms() + static_cast<int64_t>(c.timeout) * 1000;
    bool timed_out = false;
    for (;;) {
        int64_t left = deadline - now_ms();
        if (left < 0) {
            log(-1, "Timeout without sleep");
            timed_out = true;
            break;
        }
        log(-1, "Sleeping for %d milliseconds", static_cast<int>(left));
        int w = r.read_complete_evt.wait(left);
        log(-1, "Finished sleeping: %d", w);
        if (w == 0) {
            timed_out = true;
            break;
        }
        if (w < 0) {
            int code = last_system_error();
            stop_child(child);
            return format_error("Waiting for output failed: %s", system_error_text(code).c_str());
        }
        (void)r.handover.load(std::memory_order_acquire);
        run_os::read_outcome o = r.last;
        log(-1, "Data on pipe: status=%d, %d bytes, err=%d", o.status == run_os::read_status::data ? 1 : 0,
            static_cast<int>(o.bytes), o.error);
        if (o.status != run_os::read_status::data) {
            if (o.status == run_os::read_status::failed)
                log(3, "ReadFile[%d] returned error %d", r.reads.load(), o.error);
            break;
        }
        r.buf.fill += o.bytes;
        r.buf.data[r.buf.fill] = '\0';
        err pe = process_output(c, r.buf, v);
        r.handover.fetch_add(1, std::memory_order_release);
        r.data_processed_evt.set();
        if (pe) {
            stop_child(child);
            return pe;
        }
    }
    if (timed_out) {
        log(-1, "Sleep timed out");
        stop_child(child);
        return format_error("Timeout (%d s)", c.timeout);
    }

    // The last line may lack its line feed. The reader thread waits for
    // data_processed_evt, so the buffer is still the main thread's.
    err tail;
    if (r.buf.fill > 0) {
        r.buf.data[r.buf.fill++] = '\n';
        r.buf.data[r.buf.fill] = '\0';
        tail = process_output(c, r.buf, v);
    }

    int exit_code = 0, wait_error = 0;
    switch (run_os::wait_child(child, static_cast<int64_t>(c.timeout) * 1000, exit_code, wait_error)) {
    case run_os::wait_status::running:
        stop_child(child);
        return format_error("Timeout (%d s)", c.timeout);
    case run_os::wait_status::failed:
        stop_child(child);
        return format_error("Waiting for termination failed: %s", system_error_text(wait_error).c_str());
    case run_os::wait_status::abnormal:
        stop_child(child);
        return format_error("Custom check %s: Abnormal termination", c.name.c_str());
    case run_os::wait_status::exited: break;
    }
    log(0, "Exit code: %i", exit_code);
    // Whatever the command left running in its group goes with it.
    run_os::release_child(child);
    close_thread();
    if (tail) return tail;
    bool no_value_code = c.no_value_exitcode != 0 && c.no_value_exitcode == exit_code;
    if (auto why = run_os::shell_start_failure(exit_code); why && !no_value_code)
        return format_error("Failed executing '%s': %s", c.command.c_str(), why->c_str());
    return make_custom_result(result, c, v, exit_code);
}

int read_thread() {
    runner& r = rs();
    r.reads = 0;
    int code = 0;
    run_os::pipe_reader pipe = r.pipe;
    while (r.reading) {
        (void)r.handover.load(std::memory_order_acquire);
        r.last = run_os::read_pipe(pipe, r.buf.data + r.buf.fill, custom_output_size - r.buf.fill);
        r.handover.fetch_add(1, std::memory_order_release);
        r.read_complete_evt.set();
        if (r.data_processed_evt.wait(-1) < 0) {
            code = 2;
            break;
        }
        ++r.reads;
    }
    r.reader_ended.set();
    return code;
}

void close_thread() {
    runner& r = rs();
    log(-1, "close_thread() invoked");
    r.reading = false;
    run_os::cancel_read(r.pipe);
    log(-1, "Closed pipe, now setting event");
    r.data_processed_evt.set();
    if (!r.reader.joinable()) {
        run_os::close_pipe(r.pipe);
        return;
    }
    log(-1, "Waiting for thread to terminate");
    int w = r.reader_ended.wait(10000);
    if (w == 1) {
        log(-1, "Thread terminated");
        r.reader.join();
        run_os::close_pipe(r.pipe);
        return;
    }
    if (w == 0)
        log(3, "Reader thread did not terminate in 10 seconds");
    else
        log(3, "Waiting for the thread failed: %s", system_error_text(last_system_error()).c_str());
    // Abandoned: the thread may still use its copy of the pipe, so the
    // handles stay open rather than being reused under it.
    r.reader.detach();
    r.pipe = {};
}

err run_detached(const std::string& command_line) {
    if (auto e = run_os::start_detached(command_line))
        return format_error("Failed executing \"%s\": %s", command_line.c_str(), e.c_str());
    return {};
}

}  // namespace zp
