// ipmi_posix.cpp - the BMC through the Linux IPMI driver: a request goes out with
// IPMICTL_SEND_COMMAND, its reply is fetched with IPMICTL_RECEIVE_MSG_TRUNC once
// poll says one is waiting.
#include "monitors/ipmi/ipmi_os.h"

#include <algorithm>
#include <cerrno>
#include <chrono>

#include <fcntl.h>
#include <linux/ipmi.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace zp::ipmi_os {

namespace {

constexpr const char* device_path = "/dev/ipmi0";
// The driver retries on its own and answers a lost request with a completion
// code; this only guards against a driver that never answers.
constexpr int reply_timeout_ms = 10000;
constexpr size_t max_message = 272;  // the driver's largest message

// Failures after which the device has to be opened again.
bool device_gone(int code) { return code == ENODEV || code == ENXIO || code == EBADF || code == EIO; }

err system_failure(const char* what, bool& lost) {
    int code = errno;
    lost = device_gone(code);
    return format_error("%s: %s (%d)", what, system_error_text(code).c_str(), code);
}

class ipmi_device final : public ipmi_transport {
public:
    explicit ipmi_device(int fd) : fd_(fd) {}
    ~ipmi_device() override { ::close(fd_); }
    ipmi_device(const ipmi_device&) = delete;
    ipmi_device& operator=(const ipmi_device&) = delete;

    err exchange(const ipmi_request& req, ipmi_reply& reply, bool& lost) override {
        lost = false;
        if (req.data.size() > max_message) return err::text("IPMI request too long");
        ipmi_system_interface_addr addr{};
        addr.addr_type = IPMI_SYSTEM_INTERFACE_ADDR_TYPE;
        addr.channel = IPMI_BMC_CHANNEL;
        addr.lun = req.lun;
        unsigned char data[max_message];
        std::copy(req.data.begin(), req.data.end(), data);
        ipmi_req out{};
        out.addr = reinterpret_cast<unsigned char*>(&addr);
        out.addr_len = sizeof addr;
        out.msgid = ++last_id_;
        out.msg.netfn = req.netfn;
        out.msg.cmd = req.cmd;
        out.msg.data_len = static_cast<unsigned short>(req.data.size());
        out.msg.data = data;
        if (::ioctl(fd_, IPMICTL_SEND_COMMAND, &out) < 0) return system_failure("Error sending IPMI request", lost);

        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(reply_timeout_ms);
        for (;;) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return err::text("Timeout waiting for IPMI response");
            pollfd p{fd_, POLLIN, 0};
            int n = ::poll(&p, 1, static_cast<int>(left.count()));
            if (n < 0) {
                if (errno == EINTR) continue;
                return system_failure("Error waiting for IPMI response", lost);
            }
            if (n == 0) return err::text("Timeout waiting for IPMI response");
            if (p.revents & (POLLERR | POLLHUP | POLLNVAL)) {
                lost = true;
                return err::text("Error waiting for IPMI response: device closed");
            }
            unsigned char buf[max_message];
            ipmi_addr from{};
            ipmi_recv in{};
            in.addr = reinterpret_cast<unsigned char*>(&from);
            in.addr_len = sizeof from;
            in.msg.data = buf;
            in.msg.data_len = sizeof buf;
            if (::ioctl(fd_, IPMICTL_RECEIVE_MSG_TRUNC, &in) < 0) {
                if (errno == EAGAIN || errno == EINTR) continue;
                return system_failure("Error receiving IPMI response", lost);
            }
            // Events, commands from elsewhere and late answers to requests that
            // were given up on are not ours.
            if (in.recv_type != IPMI_RESPONSE_RECV_TYPE || in.msgid != out.msgid) continue;
            size_t len = std::min<size_t>(in.msg.data_len, sizeof buf);
            reply.netfn = in.msg.netfn;
            reply.cmd = in.msg.cmd;
            reply.bytes.assign(buf, buf + len);
            return {};
        }
    }

private:
    int fd_;
    long last_id_ = 0;
};

}  // namespace

err open_device(ipmi_transport_ptr& out) {
    int fd = ::open(device_path, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        int code = errno;
        if (code == ENOENT || code == ENODEV || code == ENXIO) return {};
        return format_error("Error opening %s: %s (%d)", device_path, system_error_text(code).c_str(), code);
    }
    out = std::make_unique<ipmi_device>(fd);
    return {};
}

}  // namespace zp::ipmi_os
