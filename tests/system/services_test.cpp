// Tests of the service scanner against a fake unit manager that owns
// org.freedesktop.systemd1 on a private message bus started for the test.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "monitors/system/services_os.h"
#include "monitors/system/system.h"
#include "tests/support/files.h"

extern char** environ;

namespace zp {
namespace {

struct unit {
    const char *name, *description, *load, *active;
};
const unit units[] = {
    {"ssh.service", "OpenBSD Secure Shell server", "loaded", "active"},
    {"cron.service", "Regular background program processing daemon", "loaded", "failed"},
    {"nginx.service", "A high performance web server", "loaded", "reloading"},
    {"odd.service", "", "loaded", "maintenance"},
    {"plymouth.service", "plymouth.service", "not-found", "inactive"},
    {"dbus.socket", "D-Bus System Message Bus Socket", "loaded", "active"},
};
constexpr const char* unit_prefix = "/org/freedesktop/systemd1/unit/";

const unit* unit_at(const char* path) {
    std::string_view p(path);
    if (p.rfind(unit_prefix, 0) != 0) return nullptr;
    size_t i = std::stoul(std::string(p.substr(std::strlen(unit_prefix))));
    return i < std::size(units) ? &units[i] : nullptr;
}

int list_units(sd_bus_message* m, void*, sd_bus_error*) {
    sd_bus_message* reply = nullptr;
    sd_bus_message_new_method_return(m, &reply);
    sd_bus_message_open_container(reply, 'a', "(ssssssouso)");
    for (size_t i = 0; i < std::size(units); ++i) {
        std::string path = unit_prefix + std::to_string(i);
        sd_bus_message_append(reply, "(ssssssouso)", units[i].name, units[i].description, units[i].load,
                              units[i].active, "dead", "", path.c_str(), 0u, "", "/");
    }
    sd_bus_message_close_container(reply);
    int r = sd_bus_send(nullptr, reply, nullptr);
    sd_bus_message_unref(reply);
    return r;
}

int load_unit(sd_bus_message* m, void*, sd_bus_error*) {
    const char* name = nullptr;
    sd_bus_message_read(m, "s", &name);
    for (size_t i = 0; i < std::size(units); ++i)
        if (std::strcmp(units[i].name, name) == 0)
            return sd_bus_reply_method_return(m, "o", (unit_prefix + std::to_string(i)).c_str());
    // Like the real manager: an unknown name loads as a not-found unit.
    return sd_bus_reply_method_return(m, "o", (unit_prefix + std::string("99")).c_str());
}

int unit_property(sd_bus*, const char* path, const char*, const char* property, sd_bus_message* reply, void*,
                  sd_bus_error*) {
    const unit* u = unit_at(path);
    if (std::strcmp(property, "LoadState") == 0) return sd_bus_message_append(reply, "s", u ? u->load : "not-found");
    return sd_bus_message_append(reply, "s", u ? u->active : "inactive");
}

const sd_bus_vtable manager_vtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("ListUnits", "", "a(ssssssouso)", list_units, 0),
    SD_BUS_METHOD("LoadUnit", "s", "o", load_unit, 0),
    SD_BUS_VTABLE_END,
};
const sd_bus_vtable unit_vtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_PROPERTY("LoadState", "s", unit_property, 0, 0),
    SD_BUS_PROPERTY("ActiveState", "s", unit_property, 0, 0),
    SD_BUS_VTABLE_END,
};

class Services : public ::testing::Test {
protected:
    void SetUp() override {
        std::string sock = env.path("bus");
        test::write_file(env.path("bus.conf"),
                         "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\" "
                         "\"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                         "<busconfig><listen>unix:path=" + sock + "</listen><auth>EXTERNAL</auth>"
                         "<policy context=\"default\"><allow send_destination=\"*\"/><allow own=\"*\"/>"
                         "<allow receive_sender=\"*\"/></policy></busconfig>\n");
        std::string conf = "--config-file=" + env.path("bus.conf");
        const char* argv[] = {"dbus-daemon", conf.c_str(), "--nofork", nullptr};
        ASSERT_EQ(posix_spawnp(&daemon, "dbus-daemon", nullptr, nullptr, const_cast<char**>(argv), environ), 0);
        for (int i = 0; i < 200 && !test::exists(sock); ++i) usleep(10000);
        address = "unix:path=" + sock;
        ::setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1);

        ASSERT_GE(sd_bus_new(&manager), 0);
        sd_bus_set_address(manager, address.c_str());
        sd_bus_set_bus_client(manager, 1);
        ASSERT_GE(sd_bus_start(manager), 0);
        ASSERT_GE(sd_bus_add_object_vtable(manager, nullptr, "/org/freedesktop/systemd1",
                                           "org.freedesktop.systemd1.Manager", manager_vtable, nullptr), 0);
        ASSERT_GE(sd_bus_add_fallback_vtable(manager, nullptr, "/org/freedesktop/systemd1/unit",
                                             "org.freedesktop.systemd1.Unit", unit_vtable, nullptr, nullptr), 0);
        ASSERT_GE(sd_bus_request_name(manager, "org.freedesktop.systemd1", 0), 0);
        serving = std::thread([this] {
            while (!stop) {
                if (sd_bus_process(manager, nullptr) > 0) continue;
                sd_bus_wait(manager, 50000);
            }
        });
    }
    void TearDown() override {
        os::close_service_manager();
        stop = true;
        if (serving.joinable()) serving.join();
        sd_bus_flush_close_unref(manager);
        if (daemon > 0) {
            ::kill(daemon, SIGTERM);
            ::waitpid(daemon, nullptr, 0);
        }
        ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    }
    test::temp_env env;
    pid_t daemon = 0;
    std::string address;
    sd_bus* manager = nullptr;
    std::thread serving;
    std::atomic<bool> stop{false};
};

TEST_F(Services, ScanOffersLoadedServicesWithTheirStates) {
    devtree root;
    ASSERT_FALSE(scan_services(root));
    ASSERT_EQ(root.children.size(), 1u);
    const devtree& g = *root.children[0];
    EXPECT_EQ(g.id, "scm");
    EXPECT_STREQ(g.name_template, "Service %0r");
    std::vector<std::string> got;
    for (const auto& c : g.checks) got.push_back(c->id + "|" + c->name + "|" + c->comment);
    EXPECT_EQ(got, (std::vector<std::string>{
                       "ssh.service|OpenBSD Secure Shell server|The service is running",
                       "cron.service|Regular background program processing daemon|The service is stopped",
                       "nginx.service|A high performance web server|The service is continuing",
                       "odd.service|odd.service|Unknown service state",
                   }));
}

TEST_F(Services, CheckGivesRunningAsOneAndTheStateText) {
    struct {
        const char* id;
        const char* error;
        int32_t value;
        const char* text;
    } cases[] = {
        {"ssh.service", nullptr, 1, "The service is running"},
        {"cron.service", nullptr, 0, "The service is stopped"},
        {"nginx.service", nullptr, 0, "The service is continuing"},
        {"odd.service", nullptr, 0, "Unknown service state"},
        {"nope.service", "Error opening the service: Unit nope.service not found.", 0, nullptr},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.id);
        devnode n;
        n.id = k.id;
        resnode res;
        err e = check_service(n, &res);
        if (k.error) {
            EXPECT_EQ(e.message(), k.error);
            continue;
        }
        ASSERT_FALSE(e) << e.message();
        EXPECT_EQ(res.ivalue, k.value);
        EXPECT_EQ(res.text(), k.text);
    }
}

TEST_F(Services, NoBusIsTheManagerError) {
    os::close_service_manager();
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + env.path("nobus")).c_str(), 1);
    devtree root;
    EXPECT_EQ(scan_services(root).message(), "Error opening the Service Control Manager: No such file or directory");
    devnode n;
    n.id = "ssh.service";
    resnode res;
    EXPECT_EQ(check_service(n, &res).message(),
              "Error opening the Service Control Manager: No such file or directory");
}

}  // namespace
}  // namespace zp
