// Full-feature phase over a raw socket: command numbering, NOP, text,
// logout, task management, reject, and the write data sequence.
#include "iscsi/tests/support/iscsi_client.h"

#include <chrono>
#include <gtest/gtest.h>

namespace tw::test {
namespace {

const Bytes kTestUnitReady = {0, 0, 0, 0, 0, 0};

Bytes write10(uint32_t lba, uint16_t blocks) {
    return {0x2A,
            0,
            static_cast<uint8_t>(lba >> 24),
            static_cast<uint8_t>(lba >> 16),
            static_cast<uint8_t>(lba >> 8),
            static_cast<uint8_t>(lba),
            0,
            static_cast<uint8_t>(blocks >> 8),
            static_cast<uint8_t>(blocks),
            0};
}

Bytes pattern(size_t size, uint8_t seed) {
    Bytes bytes(size);
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<uint8_t>(seed + i * 7);
    return bytes;
}

class FullFeature : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(target.start(test_config(), disk.device(1 << 20, false)));
        ASSERT_TRUE(client.connect_to(target.port));
    }

    void login(const std::vector<std::string> &keys = {}) { ASSERT_TRUE(client.login(keys)); }

    MemoryDisk disk;
    RunningTarget target;
    Client client;
};

TEST_F(FullFeature, SessionActiveFlagFollowsTheSession) {
    EXPECT_EQ(target_is_connected(target.target), 0u);
    login();
    EXPECT_EQ(target_is_connected(target.target), 1u);
    Header logout{};
    logout[0] = 0x06;
    logout[1] = 0x80;
    put32(logout.data() + 16, 77);
    put32(logout.data() + 24, client.cmd_sn);
    ASSERT_TRUE(client.send(logout));
    Pdu response;
    ASSERT_EQ(client.receive(&response), 0);
    EXPECT_EQ(response.opcode(), 0x26);
    EXPECT_EQ(response.header[2], 0);
    EXPECT_EQ(get32(response.header.data() + 16), 77u);
    EXPECT_TRUE(client.closed_without_reply());
    for (int i = 0; i < 100 && target_is_connected(target.target); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(target_is_connected(target.target), 0u);
}

TEST_F(FullFeature, RepeatedCmdSnIsDroppedAndTheSessionGoesOn) {
    login();
    ASSERT_TRUE(run_command(client, kTestUnitReady, 0).ok);
    // Reuse the CmdSN just accepted: silently ignored.
    client.cmd_sn -= 1;
    ASSERT_TRUE(client.send_command(kTestUnitReady, 0, 0x80));
    Pdu pdu;
    EXPECT_EQ(client.receive(&pdu, 300), -ETIMEDOUT);
    ScsiResult next = run_command(client, kTestUnitReady, 0);
    ASSERT_TRUE(next.ok);
    EXPECT_EQ(next.status, 0);
}

TEST_F(FullFeature, CmdSnAheadOfTheWindowEndsTheConnection) {
    login();
    client.cmd_sn += 1;
    ASSERT_TRUE(client.send_command(kTestUnitReady, 0, 0x80));
    EXPECT_TRUE(client.closed_without_reply());
}

TEST_F(FullFeature, ImmediateCommandsBypassNumbering) {
    login();
    Header h = client.command_header(kTestUnitReady, 0, 0x80);
    h[0] |= 0x40;
    put32(h.data() + 24, client.cmd_sn + 5); // would be ahead if checked
    ASSERT_TRUE(client.send(h));
    Pdu response;
    ASSERT_EQ(client.receive(&response), 0);
    EXPECT_EQ(response.opcode(), 0x21);
    EXPECT_EQ(get32(response.header.data() + 28), client.cmd_sn) << "ExpCmdSN did not move";
    EXPECT_EQ(get32(response.header.data() + 32), client.cmd_sn) << "window of one";
}

TEST_F(FullFeature, NopOutIsEchoedUnlessItsTagIsReserved) {
    login();
    Header nop{};
    nop[0] = 0x40; // immediate
    nop[1] = 0x80;
    put32(nop.data() + 16, 0xFFFFFFFF);
    put32(nop.data() + 20, 0xFFFFFFFF);
    put32(nop.data() + 24, client.cmd_sn);
    ASSERT_TRUE(client.send(nop));
    Pdu pdu;
    EXPECT_EQ(client.receive(&pdu, 300), -ETIMEDOUT) << "no NOP-In for the reserved ITT";

    put32(nop.data() + 16, 42);
    Bytes ping = {'p', 'i', 'n', 'g', '!'};
    ASSERT_TRUE(client.send(nop, ping));
    ASSERT_EQ(client.receive(&pdu), 0);
    EXPECT_EQ(pdu.opcode(), 0x20);
    EXPECT_EQ(get32(pdu.header.data() + 16), 42u);
    EXPECT_EQ(get32(pdu.header.data() + 20), 0xFFFFFFFFu);
    EXPECT_EQ(pdu.data, ping);
}

// A NOP-Out without the I bit but with the reserved ITT is outside the
// numbering: a CmdSN far ahead neither ends the connection nor moves
// ExpCmdSN, and the next command with the expected CmdSN is served.
TEST_F(FullFeature, ReservedTagNopOutIsOutsideTheNumbering) {
    login();
    Header nop{};
    nop[0] = 0x00; // not immediate
    nop[1] = 0x80;
    put32(nop.data() + 16, 0xFFFFFFFF);
    put32(nop.data() + 20, 0xFFFFFFFF);
    put32(nop.data() + 24, client.cmd_sn + 7);
    ASSERT_TRUE(client.send(nop));
    Pdu pdu;
    EXPECT_EQ(client.receive(&pdu, 300), -ETIMEDOUT) << "no reply, and the connection stays";
    ASSERT_TRUE(client.send(client.command_header(kTestUnitReady, 0, 0x80)));
    ASSERT_EQ(client.receive(&pdu), 0);
    EXPECT_EQ(pdu.opcode(), 0x21);
    EXPECT_EQ(get32(pdu.header.data() + 28), client.cmd_sn + 1) << "ExpCmdSN counts the command";
}

struct SendTargetsCase {
    const char *name;
    std::string value;
    bool answered;
};

class SendTargets : public FullFeature, public ::testing::WithParamInterface<SendTargetsCase> {};

TEST_P(SendTargets, NamesOnlyThisTarget) {
    ASSERT_TRUE(client.login({}, true));
    Header text{};
    text[0] = 0x04;
    text[1] = 0x80;
    put32(text.data() + 16, 9);
    put32(text.data() + 20, 0xFFFFFFFF);
    put32(text.data() + 24, client.cmd_sn++);
    ASSERT_TRUE(client.send(text, keys({"SendTargets=" + GetParam().value})));
    Pdu response;
    ASSERT_EQ(client.receive(&response), 0);
    EXPECT_EQ(response.opcode(), 0x24);
    EXPECT_EQ(response.header[1], 0x80);
    EXPECT_EQ(get32(response.header.data() + 16), 9u);
    auto answer = parse_keys(response.data);
    if (GetParam().answered) {
        EXPECT_EQ(answer["TargetName"], kTestTargetName);
        EXPECT_EQ(answer["TargetAddress"], "127.0.0.1:" + std::to_string(target.port) + ",1");
    } else {
        EXPECT_TRUE(response.data.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SendTargets,
    ::testing::Values(SendTargetsCase{"Empty", "", true}, SendTargetsCase{"All", "All", true},
                      SendTargetsCase{"ThisTarget", kTestTargetName, true},
                      SendTargetsCase{"OtherTarget", "iqn.2026-01.x:y", false}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(FullFeature, DiscoverySessionRejectsScsiCommands) {
    ASSERT_TRUE(client.login({}, true));
    EXPECT_EQ(target_is_connected(target.target), 0u);
    ASSERT_TRUE(client.send_command(kTestUnitReady, 0, 0x80));
    Pdu pdu;
    ASSERT_EQ(client.receive(&pdu), 0);
    EXPECT_EQ(pdu.opcode(), 0x3F);
    EXPECT_EQ(pdu.header[2], 0x05);
    ASSERT_EQ(pdu.data.size(), 48u);
    EXPECT_EQ(pdu.data[0] & 0x3F, 0x01) << "carries the rejected header";
}

TEST_F(FullFeature, LoginDuringFullFeatureIsRejected) {
    login();
    ASSERT_TRUE(client.send_login(0x81, keys({"AuthMethod=CHAP"})));
    Pdu pdu;
    ASSERT_EQ(client.receive(&pdu), 0);
    EXPECT_EQ(pdu.opcode(), 0x3F);
    EXPECT_EQ(pdu.header[2], 0x04);
    EXPECT_EQ(get32(pdu.header.data() + 16), 0xFFFFFFFFu);
}

TEST_F(FullFeature, TaskManagementAnswers) {
    login();
    const std::pair<uint8_t, uint8_t> cases[] = {{1, 1}, {5, 0}, {6, 0}}; // function, response
    for (auto [function, expected] : cases) {
        Header tmf{};
        tmf[0] = 0x42;
        tmf[1] = static_cast<uint8_t>(0x80 | function);
        put32(tmf.data() + 16, 100 + function);
        put32(tmf.data() + 24, client.cmd_sn);
        ASSERT_TRUE(client.send(tmf));
        Pdu pdu;
        ASSERT_EQ(client.receive(&pdu), 0);
        EXPECT_EQ(pdu.opcode(), 0x22);
        EXPECT_EQ(pdu.header[2], expected) << "function " << int(function);
        EXPECT_EQ(get32(pdu.header.data() + 16), 100u + function);
    }
}

TEST_F(FullFeature, StopEndsAnIdleConnectionAndServe) {
    login();
    auto start = std::chrono::steady_clock::now();
    target_stop(target.target);
    target.thread.join();
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_LT(elapsed, std::chrono::milliseconds(1500));
    EXPECT_EQ(target.serve_result, 0);
    EXPECT_TRUE(client.closed_without_reply());
}

TEST_F(FullFeature, WriteThroughR2TAndImmediateData) {
    login({"ImmediateData=Yes", "FirstBurstLength=4096", "MaxBurstLength=8192"});
    Bytes data = pattern(16 * 512, 3);
    ScsiResult r2t = run_command(client, write10(10, 16), 8192, data);
    ASSERT_TRUE(r2t.ok);
    EXPECT_EQ(r2t.status, 0);
    EXPECT_EQ(r2t.r2ts, 1);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), disk.bytes.begin() + 10 * 512));

    Bytes small = pattern(4096, 9);
    ScsiResult immediate = run_command(client, write10(40, 8), 4096, small, true);
    ASSERT_TRUE(immediate.ok);
    EXPECT_EQ(immediate.status, 0);
    EXPECT_EQ(immediate.r2ts, 0);
    EXPECT_TRUE(std::equal(small.begin(), small.end(), disk.bytes.begin() + 40 * 512));
}

TEST_F(FullFeature, BurstsFollowMaxBurstLength) {
    login({"MaxBurstLength=2048"});
    Bytes data = pattern(8 * 512, 5);
    ScsiResult result = run_command(client, write10(0, 8), 4096, data);
    ASSERT_TRUE(result.ok);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.r2ts, 2);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), disk.bytes.begin()));
}

TEST_F(FullFeature, ImmediateDataBeyondTheLimitsEndsTheConnection) {
    // Above FirstBurstLength.
    login({"ImmediateData=Yes", "FirstBurstLength=1024"});
    ASSERT_TRUE(client.send_command(write10(0, 4), 2048, 0xA0, pattern(2048, 1)));
    EXPECT_TRUE(client.closed_without_reply());
    EXPECT_EQ(disk.writes, 0);
}

TEST_F(FullFeature, ImmediateDataRefusedWhenNotNegotiated) {
    login({"ImmediateData=No"});
    ASSERT_TRUE(client.send_command(write10(0, 1), 512, 0xA0, pattern(512, 1)));
    EXPECT_TRUE(client.closed_without_reply());
    EXPECT_EQ(disk.writes, 0);
}

// One Data-Out answering the first R2T of a two-block write, changed by the
// case; every change is a sequence error that ends the connection.
struct DataOutCase {
    const char *name;
    void (*change)(Header &header, Bytes &data);
};

class DataOutSequence : public FullFeature, public ::testing::WithParamInterface<DataOutCase> {};

TEST_P(DataOutSequence, ErrorEndsTheConnectionWithoutWriting) {
    login();
    ASSERT_TRUE(client.send_command(write10(0, 2), 1024, 0xA0));
    Pdu r2t;
    ASSERT_EQ(client.receive(&r2t), 0);
    ASSERT_EQ(r2t.opcode(), 0x31);
    EXPECT_EQ(get32(r2t.header.data() + 36), 0u) << "R2TSN";
    EXPECT_EQ(get32(r2t.header.data() + 40), 0u) << "offset";
    EXPECT_EQ(get32(r2t.header.data() + 44), 1024u) << "desired length";
    Header out{};
    out[0] = 0x05;
    out[1] = 0x80;
    put32(out.data() + 16, client.itt);
    put32(out.data() + 20, get32(r2t.header.data() + 20));
    Bytes data = pattern(1024, 2);
    GetParam().change(out, data);
    ASSERT_TRUE(client.send(out, data));
    EXPECT_TRUE(client.closed_without_reply());
    EXPECT_EQ(disk.writes, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DataOutSequence,
    ::testing::Values(
        DataOutCase{"WrongItt", [](Header &h, Bytes &) { put32(h.data() + 16, 0x1234); }},
        DataOutCase{"WrongTtt",
                    [](Header &h, Bytes &) { put32(h.data() + 20, get32(h.data() + 20) + 1); }},
        DataOutCase{"WrongOffset", [](Header &h, Bytes &) { put32(h.data() + 40, 512); }},
        DataOutCase{"WrongDataSn", [](Header &h, Bytes &) { put32(h.data() + 36, 27); }},
        DataOutCase{"MoreThanTheBurst", [](Header &, Bytes &d) { d.resize(1536); }},
        DataOutCase{"FinalBeforeTheBurstEnds", [](Header &, Bytes &d) { d.resize(512); }},
        DataOutCase{"OtherPdu",
                    [](Header &h, Bytes &d) {
                        h = Header{};
                        h[0] = 0x01;
                        h[1] = 0x80;
                        d.clear();
                    }}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(FullFeature, NopBetweenBurstsIsAnsweredAndTheWriteCompletes) {
    login();
    ASSERT_TRUE(client.send_command(write10(2, 2), 1024, 0xA0));
    Pdu r2t;
    ASSERT_EQ(client.receive(&r2t), 0);
    ASSERT_EQ(r2t.opcode(), 0x31);
    Header nop{};
    nop[0] = 0x00; // numbered NOP-Out inside the window
    nop[1] = 0x80;
    put32(nop.data() + 16, 555);
    put32(nop.data() + 20, 0xFFFFFFFF);
    put32(nop.data() + 24, client.cmd_sn++);
    ASSERT_TRUE(client.send(nop));
    Pdu nop_in;
    ASSERT_EQ(client.receive(&nop_in), 0);
    EXPECT_EQ(nop_in.opcode(), 0x20);
    EXPECT_EQ(get32(nop_in.header.data() + 16), 555u);
    Header out{};
    out[0] = 0x05;
    out[1] = 0x80;
    put32(out.data() + 16, client.itt);
    put32(out.data() + 20, get32(r2t.header.data() + 20));
    Bytes data = pattern(1024, 4);
    ASSERT_TRUE(client.send(out, data));
    Pdu response;
    ASSERT_EQ(client.receive(&response), 0);
    EXPECT_EQ(response.opcode(), 0x21);
    EXPECT_EQ(response.header[3], 0);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), disk.bytes.begin() + 1024));
    // The NOP-Out advanced the window: the next command is accepted.
    ScsiResult next = run_command(client, kTestUnitReady, 0);
    ASSERT_TRUE(next.ok);
    EXPECT_EQ(next.status, 0);
}

TEST_F(FullFeature, DataOutOutsideAWriteIsIgnored) {
    login();
    Header out{};
    out[0] = 0x05;
    out[1] = 0x80;
    put32(out.data() + 16, 999);
    ASSERT_TRUE(client.send(out, pattern(512, 1)));
    ScsiResult next = run_command(client, kTestUnitReady, 0);
    ASSERT_TRUE(next.ok);
    EXPECT_EQ(next.status, 0);
}

} // namespace
} // namespace tw::test
