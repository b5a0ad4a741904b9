// Tests of the BMC access layer through the simulated BMC: the repository read
// in pieces, re-reservation, walks over odd repositories, broken replies and a
// connection that breaks.
#include "monitors/ipmi/ipmi.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/ipmi/bmc_fixture.h"

namespace zp {
namespace {

using test::full_record;

// 5 + 59 bytes: a full record with a 16-byte name.
std::vector<uint8_t> record64() { return full_record({.number = 0x30, .name = "Processor 1 Temp"}); }

std::vector<uint8_t> names(const std::vector<sensor_record>& list) {
    std::vector<uint8_t> out;
    for (auto& r : list) out.push_back(r.number);
    return out;
}

class Access : public test::BmcTest {};

TEST_F(Access, RecordIsReadInPiecesHalvedUntilTheBmcCanAnswer) {
    struct row {
        size_t max_chunk;
        uint8_t refuse_code;
        std::vector<uint8_t> chunks;
        const char* error;
    } rows[] = {
        {255, 0xCA, {16, 16, 16, 16}, nullptr},
        {8, 0xCA, {16, 8, 8, 8, 8, 8, 8, 8, 8}, nullptr},
        {2, 0xFF, {16, 8, 4, 2}, nullptr},
        {0, 0xCA, {16, 8, 4, 2, 1}, "Unable to read anything in a record"},
    };
    for (const auto& r : rows) {
        release_bmcs();
        bmc.requests.clear();
        bmc.sdr = {record64()};
        bmc.max_chunk = r.max_chunk;
        bmc.refuse_code = r.refuse_code;
        ASSERT_TRUE(init_bmcs().ok());
        sdr_buffer rec;
        uint16_t next = 0;
        err e = read_sdr_record(rec, next, 0);
        auto chunks = bmc.sdr_chunks();
        chunks.resize(std::min(chunks.size(), r.chunks.size()));
        EXPECT_EQ(chunks, r.chunks) << r.max_chunk;
        if (r.error) {
            EXPECT_EQ(e.message(), r.error);
            continue;
        }
        ASSERT_TRUE(e.ok()) << e.message();
        EXPECT_EQ(rec.size, 64u);
        EXPECT_EQ(next, 0xFFFF);
        EXPECT_TRUE(std::equal(rec.bytes.begin() + 2, rec.bytes.begin() + 64, record64().begin() + 2));
    }
}

TEST_F(Access, CancelledReservationIsRenewedAndTheRecordReadAgain) {
    bmc.sdr = {record64()};
    bmc.cancel_at = 3;
    ASSERT_TRUE(init_bmcs().ok());
    std::vector<sensor_record> list;
    ASSERT_TRUE(walk_sdr_repository(list).ok());
    EXPECT_TRUE(cap.has("SDR Repository reservation lost. Re-reserving"));
    EXPECT_EQ(bmc.count(netfn_storage, cmd_reserve_sdr), 2);
    std::vector<uint8_t> offsets;
    for (auto& q : bmc.requests)
        if (q.cmd == cmd_get_sdr) offsets.push_back(q.data[4]);
    EXPECT_EQ(offsets, (std::vector<uint8_t>{0, 16, 32, 0, 16, 32, 48}));
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].name, "Processor 1 Temp");

    // A BMC that cancels every reservation does not keep the agent forever.
    bmc.fault = [](const ipmi_request& q, ipmi_reply& r) { return q.cmd == cmd_get_sdr && (r.bytes = {0xC5}, true); };
    EXPECT_EQ(walk_sdr_repository(list).message(), "SDR Repository reservation lost too often");
    EXPECT_EQ(bmc.count(netfn_storage, cmd_reserve_sdr), 2 + sdr_max_rereserves);
}

TEST_F(Access, WalkSkipsWhatItCannotUseAndStopsWhereTheRepositoryLoops) {
    test::typical_server(bmc);
    auto truncated = full_record({.number = 0x99, .name = "X"});
    truncated.resize(40);
    truncated[4] = 35;
    bmc.sdr.push_back(truncated);
    bmc.sdr.push_back(test::other_record(0x01, 60, 0x10));
    bmc.sdr.push_back(test::other_record(0x20));
    bmc.last_next = 3;  // back to the third record
    ASSERT_TRUE(init_bmcs().ok());
    std::vector<sensor_record> list;
    ASSERT_TRUE(walk_sdr_repository(list).ok());
    EXPECT_EQ(names(list), (std::vector<uint8_t>{0x71, 0x70, 0x61, 0x60, 0x50, 0x40, 0x31, 0x30}));
    EXPECT_TRUE(cap.has("Error parsing record: Full Sensor Record too short"));
    EXPECT_TRUE(cap.has("has unsupported version 0x10"));
    EXPECT_TRUE(cap.has(" Unknown record type 0x20"));
    EXPECT_TRUE(cap.has("SDR repository leads back to record id 0x3"));
    int firsts = 0;
    for (auto& q : bmc.requests) firsts += q.cmd == cmd_get_sdr && q.data[4] == 0;
    EXPECT_EQ(firsts, 14);  // each record once
}

TEST_F(Access, BrokenRepliesEndTheWalkWithTheirText) {
    struct row {
        uint8_t cmd;
        std::vector<uint8_t> reply;
        const char* want;
    } rows[] = {
        {cmd_get_sdr, {}, "Must get response data"},
        {cmd_get_sdr, {0x00, 0xFF}, "Received too little data from Get DSR"},
        {cmd_get_sdr, {0x00, 0xFF, 0xFF}, "Received too little data from Get DSR"},  // no record bytes
        {cmd_get_sdr, {0xC1}, "Unexpected error reading SDR"},
        {cmd_reserve_sdr, {0x00, 0x01}, "Received too little data from Reserve SDR Repository"},
        {cmd_reserve_sdr, {0xC1}, "Unable to reserve SDR repository: Invalid Command. Used to indicate an "
                                  "unrecognized or unsupported command (193)"},
    };
    test::typical_server(bmc);
    for (const auto& r : rows) {
        release_bmcs();
        ASSERT_TRUE(init_bmcs().ok());
        bmc.fault = [&](const ipmi_request& q, ipmi_reply& out) { return q.cmd == r.cmd && (out.bytes = r.reply, true); };
        std::vector<sensor_record> list;
        EXPECT_EQ(walk_sdr_repository(list).message(), r.want);
        EXPECT_TRUE(list.empty());
    }
}

TEST_F(Access, BrokenConnectionIsOpenedAgainAndTheNextCommandWorks) {
    ASSERT_TRUE(init_bmcs().ok());
    EXPECT_TRUE(cap.has("Initialized 1 BMCs"));
    const ipmi_request id{netfn_app, 0, cmd_get_device_id, {}};
    ipmi_response resp;
    bmc.breaks = 1;
    EXPECT_EQ(ipmi_command(resp, id).message(), "Error sending IPMI request: No such device (19)");
    EXPECT_EQ(bmc.opens, 2);
    ASSERT_TRUE(ipmi_command(resp, id).ok());
    EXPECT_EQ(resp.netfn, netfn_app | 1);
    EXPECT_EQ(resp.data, std::vector<uint8_t>(bmc.device_id.begin() + 1, bmc.device_id.end()));

    bmc.breaks = 1;
    bmc.open_error = "Error opening /dev/ipmi0: Permission denied (13)";
    EXPECT_EQ(ipmi_command(resp, id).message(),
              "Failure while initializing bmcs during COM subsystem restart: 'Error opening /dev/ipmi0: Permission "
              "denied (13)'. The error prompting the restart was: 'Error sending IPMI request: No such device (19)'.");
    EXPECT_EQ(bmc_count(), 0);
}

TEST(CompletionCode, Texts) {
    struct row {
        uint32_t code;
        const char* want;
    } rows[] = {
        {0x00, "Command completed normally"}, {0x01, "Device-specific code"}, {0x7E, "Device-specific code"},
        {0x7F, "Reserved"}, {0x80, "Command-specific code"}, {0x8E, "Command-specific code"}, {0x8F, "Reserved"},
        {0xC5, "Reservation Canceled or Invalid Reservation ID"},
        {0xD7, "Reserved"}, {0xFF, "Unspecified error"}, {0x100, "Reserved"},
    };
    for (const auto& r : rows) EXPECT_EQ(completion_code_text(r.code), r.want) << r.code;
}

// The system's IPMI device: used where the host has one, and its absence is
// no error.
TEST_F(Access, RealDeviceWhereTheHostHasOne) {
    set_ipmi_opener(nullptr);
    err e = init_bmcs();
    if (!std::filesystem::exists("/dev/ipmi0")) {
        EXPECT_TRUE(e.ok()) << e.message();
        EXPECT_EQ(bmc_count(), 0);
        EXPECT_TRUE(cap.has("No BMCs available"));
        return;
    }
    if (e) GTEST_SKIP() << e.message();  // not ours to open
    ASSERT_EQ(bmc_count(), 1);
    ipmi_response resp;
    ASSERT_TRUE(ipmi_command(resp, {netfn_app, 0, cmd_get_device_id, {}}).ok());
    EXPECT_EQ(resp.ccode, 0u);
    EXPECT_GE(resp.data.size(), 5u);
}

}  // namespace
}  // namespace zp
