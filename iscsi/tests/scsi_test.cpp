// The SCSI device on LUN 0 through a logged-in raw client: capacities, range
// checks, pages, sense data, eject, write protection and error mapping.
#include "iscsi/tests/support/iscsi_client.h"

#include <cerrno>
#include <gtest/gtest.h>

namespace tw::test {
namespace {

constexpr uint8_t kCheckCondition = 0x02;

Bytes cdb10(uint8_t opcode, uint32_t lba, uint16_t blocks, uint8_t byte1 = 0) {
    return {opcode,
            byte1,
            static_cast<uint8_t>(lba >> 24),
            static_cast<uint8_t>(lba >> 16),
            static_cast<uint8_t>(lba >> 8),
            static_cast<uint8_t>(lba),
            0,
            static_cast<uint8_t>(blocks >> 8),
            static_cast<uint8_t>(blocks),
            0};
}

Bytes cdb16(uint8_t opcode, uint64_t lba, uint32_t blocks) {
    Bytes cdb(16, 0);
    cdb[0] = opcode;
    for (int i = 0; i < 8; ++i)
        cdb[2 + i] = static_cast<uint8_t>(lba >> (56 - 8 * i));
    put32(cdb.data() + 10, blocks);
    return cdb;
}

// Sense key, ASC and ASCQ of a CHECK CONDITION.
struct Sense {
    uint8_t key, asc, ascq;
    bool operator==(const Sense &) const = default;
};

std::ostream &operator<<(std::ostream &out, const Sense &s) {
    return out << "key " << int(s.key) << " asc 0x" << std::hex << int(s.asc) << " ascq 0x"
               << int(s.ascq) << std::dec;
}

Sense sense_of(const ScsiResult &r) {
    if (r.status != kCheckCondition || r.sense.size() != 18)
        return {0xFF, 0xFF, 0xFF};
    return {r.sense[2], r.sense[12], r.sense[13]};
}

class Scsi : public ::testing::Test {
  protected:
    void start(uint64_t size = 1 << 20, bool read_only = false, bool switch_permitted = false) {
        BlockDevice device = disk.device(size, read_only);
        device.write_protect_switch_permitted = switch_permitted;
        ASSERT_TRUE(target.start(test_config(), device));
        ASSERT_TRUE(client.connect_to(target.port));
        ASSERT_TRUE(client.login());
    }

    ScsiResult run(const Bytes &cdb, uint32_t expected, const Bytes &data = {}) {
        return run_command(client, cdb, expected, data);
    }

    MemoryDisk disk;
    RunningTarget target;
    Client client;
};

TEST_F(Scsi, CapacityOfTwoTebibytesAndMore) {
    const uint64_t size = 2ull << 40; // 2 TiB: 2^32 blocks
    start(size);
    ScsiResult ten = run({0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 8);
    ASSERT_EQ(ten.data.size(), 8u);
    EXPECT_EQ(get32(ten.data.data()), 0xFFFFFFFFu);
    EXPECT_EQ(get32(ten.data.data() + 4), 512u);

    Bytes rc16(16, 0);
    rc16[0] = 0x9E;
    rc16[1] = 0x10;
    put32(rc16.data() + 10, 32);
    ScsiResult sixteen = run(rc16, 32);
    ASSERT_EQ(sixteen.data.size(), 32u);
    uint64_t last =
        static_cast<uint64_t>(get32(sixteen.data.data())) << 32 | get32(sixteen.data.data() + 4);
    EXPECT_EQ(last, size / 512 - 1);
    EXPECT_EQ(get32(sixteen.data.data() + 8), 512u);
    EXPECT_EQ(sixteen.data[13], 3);

    rc16[1] = 0x11; // another service action
    EXPECT_EQ(sense_of(run(rc16, 32)), (Sense{5, 0x20, 0}));
}

TEST_F(Scsi, ReadSixWithLengthZeroReadsTwoHundredFiftySixBlocks) {
    start();
    for (size_t i = 0; i < disk.bytes.size(); ++i)
        disk.bytes[i] = static_cast<uint8_t>(i / 512);
    ScsiResult r = run({0x08, 0, 0, 1, 0, 0}, 256 * 512);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.status, 0);
    ASSERT_EQ(r.data.size(), 256u * 512);
    EXPECT_TRUE(std::equal(r.data.begin(), r.data.end(), disk.bytes.begin() + 512));
}

struct RangeCase {
    const char *name;
    Bytes cdb;
    uint32_t expected;
    Sense sense; // {0,0,0} = GOOD
};

class Ranges : public Scsi, public ::testing::WithParamInterface<RangeCase> {};

TEST_P(Ranges, AreChecked) {
    start(1 << 20); // 2048 blocks
    const RangeCase &c = GetParam();
    Bytes data;
    if (c.cdb[0] == 0x2A)
        data.assign(c.expected, 0x5A);
    ScsiResult r = run(c.cdb, c.expected, data);
    ASSERT_TRUE(r.ok);
    if (c.sense == Sense{0, 0, 0}) {
        EXPECT_EQ(r.status, 0);
    } else {
        EXPECT_EQ(sense_of(r), c.sense);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Ranges,
    ::testing::Values(RangeCase{"ReadEndingAtLastBlock", cdb10(0x28, 2040, 8), 4096, {0, 0, 0}},
                      RangeCase{"ReadOneBlockFurther", cdb10(0x28, 2041, 8), 4096, {5, 0x21, 0}},
                      RangeCase{"ReadStartingPastTheEnd", cdb10(0x28, 2049, 0), 0, {5, 0x21, 0}},
                      RangeCase{"ZeroBlocksAtTheEnd", cdb10(0x28, 2048, 0), 0, {0, 0, 0}},
                      RangeCase{"Read16HugeLba", cdb16(0x88, ~0ull, 1), 512, {5, 0x21, 0}},
                      RangeCase{"VerifyInRange", cdb10(0x2F, 0, 100), 0, {0, 0, 0}},
                      RangeCase{"VerifyOutOfRange", cdb10(0x2F, 2000, 100), 0, {5, 0x21, 0}},
                      RangeCase{"VerifyWithBytchk", cdb10(0x2F, 0, 1, 0x02), 0, {5, 0x24, 0}},
                      RangeCase{"WriteLengthMismatch", cdb10(0x2A, 0, 2), 512, {5, 0x24, 0}}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(Scsi, ReadOfMoreThanTwoThousandFortyEightBlocksIsRefused) {
    start(4 << 20);
    EXPECT_EQ(sense_of(run(cdb10(0x28, 0, 2049), 2049 * 512)), (Sense{5, 0x24, 0}));
    ScsiResult most = run(cdb10(0x28, 0, 2048), 2048 * 512);
    EXPECT_EQ(most.status, 0);
    EXPECT_EQ(most.data.size(), 2048u * 512);
}

TEST_F(Scsi, WriteToReadOnlyDeviceIsRefusedWithoutPullingData) {
    start(1 << 20, true);
    ScsiResult r = run(cdb10(0x2A, 0, 4), 2048, Bytes(2048, 1));
    EXPECT_EQ(sense_of(r), (Sense{7, 0x27, 0}));
    EXPECT_EQ(r.r2ts, 0);
    EXPECT_EQ(disk.writes, 0);
    EXPECT_EQ(r.residual, 2048u) << "nothing transferred";
}

TEST_F(Scsi, ReadWithLargerExpectedLengthReportsUnderflow) {
    start();
    ScsiResult r = run(cdb10(0x28, 0, 2), 4096);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.data.size(), 1024u);
    EXPECT_EQ(r.response_flags, 0x83); // F, S, U
    EXPECT_EQ(r.residual, 3072u);
}

TEST_F(Scsi, ReadWithSmallerExpectedLengthReportsOverflow) {
    start();
    ScsiResult r = run(cdb10(0x28, 0, 2), 512);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.data.size(), 512u);
    EXPECT_EQ(r.response_flags, 0x85); // F, S, O
    EXPECT_EQ(r.residual, 512u);
}

struct ModeSenseCase {
    const char *name;
    Bytes cdb;
    bool read_only;
    size_t length;
    uint8_t device_specific;
    int wce_offset; // -1: no caching page
    uint8_t wce;
};

class ModeSense : public Scsi, public ::testing::WithParamInterface<ModeSenseCase> {};

TEST_P(ModeSense, ReturnsPagesWithoutBlockDescriptor) {
    const ModeSenseCase &c = GetParam();
    start(1 << 20, c.read_only);
    ScsiResult r = run(c.cdb, 255);
    ASSERT_EQ(r.status, 0);
    ASSERT_EQ(r.data.size(), c.length);
    bool ten = c.cdb[0] == 0x5A;
    EXPECT_EQ(r.data[ten ? 3 : 2], c.device_specific);
    if (ten) {
        EXPECT_EQ(r.data[0] << 8 | r.data[1], static_cast<int>(c.length - 2));
    } else {
        EXPECT_EQ(r.data[0], c.length - 1);
    }
    if (c.wce_offset >= 0) {
        EXPECT_EQ(r.data[c.wce_offset], c.wce);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ModeSense,
    ::testing::Values(
        ModeSenseCase{"AllPages6", {0x1A, 0, 0x3F, 0, 255, 0}, false, 36, 0x10, 6, 0x04},
        ModeSenseCase{"Changeable6", {0x1A, 0, 0x7F, 0, 255, 0}, false, 36, 0x10, 6, 0x00},
        ModeSenseCase{"Caching6ReadOnly", {0x1A, 0, 0x08, 0, 255, 0}, true, 24, 0x90, 6, 0x04},
        ModeSenseCase{"Control6", {0x1A, 0, 0x0A, 0, 255, 0}, false, 16, 0x10, -1, 0},
        ModeSenseCase{
            "AllPages10", {0x5A, 0, 0x3F, 0, 0, 0, 0, 0, 255, 0}, false, 40, 0x10, 10, 0x04}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(Scsi, ModeSenseRefusals) {
    start();
    EXPECT_EQ(sense_of(run({0x1A, 0, 0xFF, 0, 255, 0}, 255)), (Sense{5, 0x39, 0}));
    EXPECT_EQ(sense_of(run({0x1A, 0, 0x01, 0, 255, 0}, 255)), (Sense{5, 0x24, 0}));
    ScsiResult clipped = run({0x1A, 0, 0x3F, 0, 10, 0}, 255);
    EXPECT_EQ(clipped.data.size(), 10u) << "allocation length applies";
}

TEST_F(Scsi, ModeSelectCannotSwitchTheWriteCacheOff) {
    start();
    // Header (4) + caching page (20) with WCE clear, then set.
    Bytes list(24, 0);
    list[4] = 0x08;
    list[5] = 0x12;
    EXPECT_EQ(sense_of(run({0x15, 0x10, 0, 0, 24, 0}, 24, list)), (Sense{5, 0x26, 0}));
    list[6] = 0x04;
    EXPECT_EQ(run({0x15, 0x10, 0, 0, 24, 0}, 24, list).status, 0);
    // A block descriptor is skipped before the pages.
    Bytes with_descriptor(32, 0);
    with_descriptor[3] = 8;
    with_descriptor[12] = 0x08;
    with_descriptor[13] = 0x12;
    EXPECT_EQ(sense_of(run({0x15, 0x10, 0, 0, 32, 0}, 32, with_descriptor)), (Sense{5, 0x26, 0}));
    // Over 512 bytes of parameters.
    EXPECT_EQ(sense_of(run({0x55, 0x10, 0, 0, 0, 0, 0, 0x02, 0x01, 0}, 513)), (Sense{5, 0x24, 0}));
}

TEST_F(Scsi, InquiryPages) {
    start();
    ScsiResult standard = run({0x12, 0, 0, 0, 255, 0}, 255);
    ASSERT_EQ(standard.data.size(), 96u);
    EXPECT_EQ(standard.data[0], 0x00);
    EXPECT_EQ(standard.data[1], 0x80) << "removable";
    EXPECT_EQ(standard.data[4], 91);
    EXPECT_EQ(std::string(standard.data.begin() + 8, standard.data.begin() + 36),
              "TARNWICKEncrypted Disk  0300");

    ScsiResult supported = run({0x12, 1, 0x00, 0, 255, 0}, 255);
    EXPECT_EQ(supported.data, (Bytes{0, 0, 0, 5, 0x00, 0x80, 0x83, 0xB0, 0xB1}));

    ScsiResult serial = run({0x12, 1, 0x80, 0, 255, 0}, 255);
    ASSERT_EQ(serial.data.size(), 36u);
    EXPECT_EQ(std::string(serial.data.begin() + 4, serial.data.end()),
              "0123456789ABCDEF0123456789ABCDEF");

    ScsiResult ids = run({0x12, 1, 0x83, 0, 255, 0}, 255);
    ASSERT_EQ(ids.data.size(), 60u);
    EXPECT_EQ(ids.data[2] << 8 | ids.data[3], 56);
    EXPECT_EQ(ids.data[8], 0x31) << "NAA 3, low nibble kept";
    EXPECT_EQ(ids.data[19], 40);
    EXPECT_EQ(std::string(ids.data.begin() + 20, ids.data.begin() + 28), "TARNWICK");

    ScsiResult limits = run({0x12, 1, 0xB0, 0, 255, 0}, 255);
    ASSERT_EQ(limits.data.size(), 64u);
    EXPECT_EQ(get32(limits.data.data() + 8), 2048u);
    ScsiResult characteristics = run({0x12, 1, 0xB1, 0, 255, 0}, 255);
    ASSERT_EQ(characteristics.data.size(), 64u);
    EXPECT_EQ(characteristics.data[5], 1) << "non-rotating";

    EXPECT_EQ(sense_of(run({0x12, 1, 0x86, 0, 255, 0}, 255)), (Sense{5, 0x24, 0}));
    EXPECT_EQ(sense_of(run({0x12, 0, 0x80, 0, 255, 0}, 255)), (Sense{5, 0x24, 0}));
}

TEST_F(Scsi, OtherLunsAnswerOnlyInquiryRequestSenseAndReportLuns) {
    start();
    Header inquiry = client.command_header({0x12, 0, 0, 0, 96, 0}, 96, 0xC0);
    inquiry[9] = 1; // LUN 1
    ASSERT_TRUE(client.send(inquiry));
    ++client.cmd_sn;
    Pdu pdu;
    ASSERT_EQ(client.receive(&pdu), 0);
    ASSERT_EQ(pdu.opcode(), 0x25);
    EXPECT_EQ(pdu.data[0], 0x7F);

    Header tur = client.command_header({0, 0, 0, 0, 0, 0}, 0, 0x80);
    tur[9] = 1;
    ASSERT_TRUE(client.send(tur));
    ++client.cmd_sn;
    ASSERT_EQ(client.receive(&pdu), 0);
    ASSERT_EQ(pdu.opcode(), 0x21);
    EXPECT_EQ(pdu.header[3], kCheckCondition);
    ASSERT_EQ(pdu.data.size(), 20u);
    EXPECT_EQ(pdu.data[2 + 12], 0x25);

    ScsiResult luns = run({0xA0, 0, 0, 0, 0, 0, 0, 0, 0, 255, 0, 0}, 255);
    EXPECT_EQ(luns.data, (Bytes{0, 0, 0, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST_F(Scsi, RequestSenseReturnsTheFailureOnce) {
    start();
    EXPECT_EQ(sense_of(run({0xEE, 0, 0, 0, 0, 0}, 0)), (Sense{5, 0x20, 0}));
    ScsiResult first = run({0x03, 0, 0, 0, 18, 0}, 18);
    ASSERT_EQ(first.data.size(), 18u);
    EXPECT_EQ(first.data[0], 0x70);
    EXPECT_EQ(first.data[2], 5);
    EXPECT_EQ(first.data[12], 0x20);
    ScsiResult second = run({0x03, 0, 0, 0, 18, 0}, 18);
    ASSERT_EQ(second.data.size(), 18u);
    EXPECT_EQ(second.data[2], 0);
    EXPECT_EQ(second.data[7], 10);
    EXPECT_EQ(second.data[12], 0);
}

TEST_F(Scsi, EjectIsFinal) {
    start();
    EXPECT_EQ(run({0x1B, 0, 0, 0, 0x01, 0}, 0).status, 0) << "start: no effect";
    EXPECT_EQ(disk.ejects, 0);
    EXPECT_EQ(run({0x1B, 0, 0, 0, 0x02, 0}, 0).status, 0);
    EXPECT_EQ(disk.ejects, 1);
    EXPECT_EQ(disk.flushes, 1) << "a writable disk is flushed before it goes";
    EXPECT_EQ(run({0x1B, 0, 0, 0, 0x02, 0}, 0).status, 0);
    EXPECT_EQ(disk.ejects, 1) << "eject is reported once";
    const Sense gone{2, 0x3A, 0};
    EXPECT_EQ(sense_of(run({0, 0, 0, 0, 0, 0}, 0)), gone);
    EXPECT_EQ(sense_of(run({0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 8)), gone);
    EXPECT_EQ(sense_of(run(cdb10(0x28, 0, 1), 512)), gone);
    EXPECT_EQ(sense_of(run(cdb10(0x2A, 0, 1), 512, Bytes(512, 1))), gone);
    EXPECT_EQ(sense_of(run(cdb10(0x2F, 0, 1), 0)), gone);
    EXPECT_EQ(sense_of(run({0x35, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 0)), gone);
    EXPECT_EQ(run({0x1B, 0, 0, 0, 0x03, 0}, 0).status, 0) << "load: no effect";
    EXPECT_EQ(sense_of(run({0, 0, 0, 0, 0, 0}, 0)), gone);
}

TEST_F(Scsi, EjectThatCannotFlushKeepsTheMedium) {
    start();
    disk.flush_result = -EIO;
    EXPECT_EQ(sense_of(run({0x1B, 0, 0, 0, 0x02, 0}, 0)), (Sense{3, 0x0C, 0}));
    EXPECT_EQ(disk.ejects, 0);
    EXPECT_EQ(run({0, 0, 0, 0, 0, 0}, 0).status, 0);
}

struct SwitchCase {
    const char *name;
    bool permitted;
    bool read_only;
    uint8_t value;
    bool accepted;
    bool read_only_after;
};

class WriteProtectSwitch : public Scsi, public ::testing::WithParamInterface<SwitchCase> {};

TEST_P(WriteProtectSwitch, ChangesOnlyWhenPermitted) {
    const SwitchCase &c = GetParam();
    start(1 << 20, c.read_only, c.permitted);
    ScsiResult r = run({0xC0, c.value, 0, 0, 0, 0}, 0);
    if (c.accepted) {
        EXPECT_EQ(r.status, 0);
    } else {
        EXPECT_EQ(sense_of(r), (Sense{5, 0x20, 0}));
    }
    ScsiResult write = run(cdb10(0x2A, 0, 1), 512, Bytes(512, 7));
    if (c.read_only_after) {
        EXPECT_EQ(sense_of(write), (Sense{7, 0x27, 0}));
    } else {
        EXPECT_EQ(write.status, 0);
    }
    ScsiResult sense = run({0x1A, 0, 0x08, 0, 255, 0}, 255);
    EXPECT_EQ(sense.data[2] & 0x80, c.read_only_after ? 0x80 : 0) << "WP bit";
}

INSTANTIATE_TEST_SUITE_P(Cases, WriteProtectSwitch,
                         ::testing::Values(SwitchCase{"MakeWritable", true, true, 1, true, false},
                                           SwitchCase{"MakeReadOnly", true, false, 0, true, true},
                                           SwitchCase{"BadValue", true, true, 2, false, true},
                                           SwitchCase{"NotPermitted", false, true, 1, false, true}),
                         [](const auto &info) { return std::string(info.param.name); });

struct ErrorCase {
    const char *name;
    int MemoryDisk::*field;
    int result;
    Bytes cdb;
    Sense sense;
};

class ErrorMapping : public Scsi, public ::testing::WithParamInterface<ErrorCase> {};

TEST_P(ErrorMapping, CallbackErrorsBecomeSense) {
    const ErrorCase &c = GetParam();
    start();
    disk.*c.field = c.result;
    Bytes data;
    uint32_t expected = 0;
    if (c.cdb[0] == 0x2A) {
        data.assign(512, 3);
        expected = 512;
    } else if (c.cdb[0] == 0x28) {
        expected = 512;
    }
    ScsiResult r = run(c.cdb, expected, data);
    EXPECT_EQ(sense_of(r), c.sense);
    EXPECT_TRUE(r.data.empty());
    EXPECT_EQ(disk.activity_begin, disk.activity_end);
    // The connection stays usable.
    EXPECT_EQ(run({0, 0, 0, 0, 0, 0}, 0).status, 0);
}

const Bytes kSync = {0x35, 0, 0, 0, 0, 0, 0, 0, 0, 0};

INSTANTIATE_TEST_SUITE_P(
    Cases, ErrorMapping,
    ::testing::Values(
        ErrorCase{
            "WriteReadOnlyFs", &MemoryDisk::write_result, -EROFS, cdb10(0x2A, 0, 1), {7, 0x27, 0}},
        ErrorCase{"WriteAccessDenied",
                  &MemoryDisk::write_result,
                  -EACCES,
                  cdb10(0x2A, 0, 1),
                  {7, 0x27, 0}},
        ErrorCase{
            "WriteNoSpace", &MemoryDisk::write_result, -ENOSPC, cdb10(0x2A, 0, 1), {7, 0x27, 0x07}},
        ErrorCase{"WriteIo", &MemoryDisk::write_result, -EIO, cdb10(0x2A, 0, 1), {3, 0x0C, 0}},
        ErrorCase{"ReadIo", &MemoryDisk::read_result, -EIO, cdb10(0x28, 0, 1), {3, 0x11, 0}},
        ErrorCase{
            "FuaFlushIo", &MemoryDisk::flush_result, -EIO, cdb10(0x2A, 0, 1, 0x08), {3, 0x0C, 0}},
        ErrorCase{"SyncIo", &MemoryDisk::flush_result, -EIO, kSync, {3, 0x0C, 0}}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(Scsi, ForceUnitAccessFlushesAfterTheWrite) {
    start();
    const Bytes cdbs[] = {cdb10(0x2A, 0, 1, 0x08), {0xAA, 0x08, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0}, [] {
                              Bytes c = cdb16(0x8A, 0, 1);
                              c[1] = 0x08;
                              return c;
                          }()};
    int flushes = 0;
    for (const Bytes &cdb : cdbs) {
        EXPECT_EQ(run(cdb, 512, Bytes(512, 9)).status, 0);
        EXPECT_EQ(disk.flushes, ++flushes) << "opcode 0x" << std::hex << int(cdb[0]);
    }
    EXPECT_EQ(run(cdb10(0x2A, 0, 1), 512, Bytes(512, 9)).status, 0);
    EXPECT_EQ(disk.flushes, flushes) << "no flush without FUA";
}

TEST_F(Scsi, SynchronizeCacheFlushesOnlyWritableDisks) {
    start(1 << 20, true);
    EXPECT_EQ(run(kSync, 0).status, 0);
    EXPECT_EQ(disk.flushes, 0);
    EXPECT_EQ(disk.activity_begin, 1);
}

TEST_F(Scsi, BidirectionalCommandIsRefused) {
    start();
    Header h = client.command_header({0, 0, 0, 0, 0, 0}, 0, 0xE0);
    ASSERT_TRUE(client.send(h));
    ++client.cmd_sn;
    Pdu pdu;
    ASSERT_EQ(client.receive(&pdu), 0);
    EXPECT_EQ(pdu.header[3], kCheckCondition);
    ASSERT_EQ(pdu.data.size(), 20u);
    EXPECT_EQ(pdu.data[2 + 12], 0x24);
}

} // namespace
} // namespace tw::test
