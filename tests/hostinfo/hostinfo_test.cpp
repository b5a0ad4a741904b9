// Tests of the host information report: the lines made from gathered facts,
// and the parsers of the files the facts come from.
#include "monitors/hostinfo/hostinfo.h"

#include <gtest/gtest.h>

namespace zp {
namespace {

std::string render(const clinfo_list& lines) {
    std::string out;
    for (const auto& l : lines) out += l.label + (l.value ? "=" + *l.value : "") + "\n";
    return out;
}

TEST(HostInfo, ReportLines) {
    host_facts f;
    f.machine = "x86_64";
    f.cpus = 4;
    f.cpu_enabled = {true, true, true, false};
    f.mem_total = uint64_t{16} << 30;
    f.release = "6.1.0-18-amd64";
    f.os_name = "Debian GNU/Linux 12 (bookworm)";
    f.hostname = "web1";
    f.domain = "example.org";
    f.dns = {"192.0.2.53", "2001:db8:ffff:ffff:ffff:ffff:ffff:53"};
    f.adapters = {{"eth0", 1, {{"192.0.2.10", "255.255.255.0"}}, {"192.0.2.1"}, {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}},
                  {"tun0", 65534, {}, {}, {}}};
    EXPECT_EQ(render(build_host_info(f)),
              "Hardware\nArchitecture=x64 (AMD or Intel)\nNumber of CPUs=4\nCPU 0 status=Enabled\n"
              "CPU 1 status=Enabled\nCPU 2 status=Enabled\nCPU 3 status=Disabled\nInstalled Memory=  16.00GB\n"
              "Software\nOS Id=Debian GNU/Linux 12 (bookworm)\nPlatform=non-NT\nVersion=6.1\nBuild=0\n"
              "Updates=18-amd64\nZerpal agent=v.4.6.2 build 6183 on Linux (x86-64)\n"
              "Identification\nHostname=web1\nDomain Name=example.org\n"
              "DNS Servers=192.0.2.53, 2001:db8:ffff:ffff:ffff:ffff:ffff:53\nRouting=Disabled\nARP Proxy=Disabled\n"
              "Network Interface=eth0\n=Ethernet interface\n=IP: 192.0.2.10/255.255.255.0\n=Gateway: 192.0.2.1\n"
              "=DHCP disabled\n=WINS disabled\n=MAC address: 00:1A:2B:3C:4D:5E\n"
              "Network Interface=tun0\n=Unknown interface type\n=DHCP disabled\n=WINS disabled\n=MAC address: \n");

    host_facts bare;
    bare.release = "weird";
    bare.hostname = std::string(2000, 'h');
    std::string text = render(build_host_info(bare));
    EXPECT_NE(text.find("Architecture=Unknown\nNumber of CPUs=0\nSoftware\nSystem=Unknown\n"), std::string::npos);
    EXPECT_NE(text.find("Hostname=" + std::string(1023, 'h') + "\n"), std::string::npos);  // fits the message
}

TEST(HostInfo, Parsers) {
    EXPECT_EQ(parse_os_release("NAME=\"Debian\"\nPRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\n"),
              "Debian GNU/Linux 12 (bookworm)");
    EXPECT_EQ(parse_os_release("PRETTY_NAME=\n"), std::nullopt);

    std::string domain;
    std::vector<std::string> dns;
    parse_resolv_conf("# generated\nsearch lan corp\nnameserver 10.0.0.1 # first\nnameserver\nnameserver ::1\n", domain,
                      dns);
    EXPECT_EQ(domain, "lan");
    EXPECT_EQ(dns, (std::vector<std::string>{"10.0.0.1", "::1"}));

    auto gw = parse_route(
        "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\n"
        "eth0\t00000000\t0102A8C0\t0003\t0\t0\t100\t00000000\n"
        "eth0\t0002A8C0\t00000000\t0001\t0\t0\t100\t00FFFFFF\n"
        "eth1\t00000000\tZZZZZZZZ\t0003\n"
        "eth2\t00000000\t0102A8C0");
    ASSERT_EQ(gw.size(), 1u);
    EXPECT_EQ(gw["eth0"], (std::vector<std::string>{"192.168.2.1"}));

    struct {
        const char* text;
        size_t bytes;
    } macs[] = {{"00:1a:2b:3c:4d:5e\n", 6}, {"", 0}, {"00:1a:2b:", 0}, {"0g:1a", 0}, {"001a2b", 0}};
    for (const auto& m : macs) EXPECT_EQ(parse_mac(m.text).size(), m.bytes) << m.text;
}

}  // namespace
}  // namespace zp
