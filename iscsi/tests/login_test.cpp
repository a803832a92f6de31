// Login phase over a raw socket: identity checks, CHAP, negotiation, TSIH and
// the PDU limit.
#include "iscsi/tests/support/iscsi_client.h"
#include <algorithm>

#include <gtest/gtest.h>

namespace tw::test {
namespace {

constexpr uint8_t kSecurityToOperational = 0x81; // T, CSG 0, NSG 1
constexpr uint8_t kSecurityStay = 0x01;
constexpr uint8_t kOperationalToFull = 0x87; // T, CSG 1, NSG 3

uint16_t status_of(const Pdu &pdu) {
    return static_cast<uint16_t>(pdu.header[36] << 8 | pdu.header[37]);
}

uint16_t tsih_of(const Pdu &pdu) {
    return static_cast<uint16_t>(pdu.header[14] << 8 | pdu.header[15]);
}

std::string target_key() {
    return std::string("TargetName=") + kTestTargetName;
}
const char *kInitiator = "InitiatorName=iqn.2026-01.test:initiator";

class Login : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(target.start(test_config(), disk.device(1 << 20, false)));
        ASSERT_TRUE(client.connect_to(target.port));
    }

    // Security stage up to an issued challenge; returns CHAP_I and CHAP_C.
    std::map<std::string, std::string> challenge() {
        Pdu response;
        EXPECT_EQ(client.login_step(kSecurityStay,
                                    keys({kInitiator, target_key(), "AuthMethod=CHAP"}), &response),
                  0);
        EXPECT_EQ(client.login_step(kSecurityStay, keys({"CHAP_A=5"}), &response), 0);
        return parse_keys(response.data);
    }

    MemoryDisk disk;
    RunningTarget target;
    Client client;
};

TEST_F(Login, FirstPduThatIsNotALoginIsClosedWithoutReply) {
    Header nop{};
    nop[0] = 0x40;
    put32(nop.data() + 16, 1);
    ASSERT_TRUE(client.send(nop));
    EXPECT_TRUE(client.closed_without_reply());
}

TEST_F(Login, VersionMaxOneIsRefusedAndClosed) {
    ASSERT_TRUE(client.send(client.login_header(kSecurityStay, 1),
                            keys({kInitiator, target_key(), "AuthMethod=CHAP"})));
    Pdu response;
    ASSERT_EQ(client.receive(&response), 0);
    EXPECT_EQ(status_of(response), 0x0205);
    EXPECT_TRUE(client.closed_without_reply());
}

struct FirstRequestCase {
    const char *name;
    uint8_t flags;
    std::vector<std::string> keys;
    uint16_t status;
};

class FirstRequest : public Login, public ::testing::WithParamInterface<FirstRequestCase> {};

TEST_P(FirstRequest, EndsWithStatus) {
    const FirstRequestCase &c = GetParam();
    Pdu response;
    ASSERT_EQ(client.login_step(c.flags, keys(c.keys), &response), 0);
    EXPECT_EQ(status_of(response), c.status);
    EXPECT_EQ(response.header[1] & 0x80, 0) << "a failed login never transits";
    EXPECT_TRUE(client.closed_without_reply());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FirstRequest,
    ::testing::Values(
        FirstRequestCase{
            "AuthMethodNone", kSecurityStay, {kInitiator, target_key(), "AuthMethod=None"}, 0x0201},
        FirstRequestCase{"OperationalWithoutChap",
                         kOperationalToFull,
                         {kInitiator, target_key(), "HeaderDigest=None"},
                         0x0202},
        FirstRequestCase{
            "MissingInitiatorName", kSecurityStay, {target_key(), "AuthMethod=CHAP"}, 0x0207},
        FirstRequestCase{"OtherTargetName",
                         kSecurityStay,
                         {kInitiator, "TargetName=iqn.2026-01.test:other", "AuthMethod=CHAP"},
                         0x0203},
        FirstRequestCase{
            "NoTargetNameInNormalSession", kSecurityStay, {kInitiator, "AuthMethod=CHAP"}, 0x0203},
        FirstRequestCase{"ChapAlgorithmSevenOnly",
                         kSecurityStay,
                         {kInitiator, target_key(), "CHAP_A=7"},
                         0x0201},
        FirstRequestCase{"TransitWithoutAuthentication",
                         kSecurityToOperational,
                         {kInitiator, target_key()},
                         0x0201},
        FirstRequestCase{"FullFeatureStage", 0x0F, {kInitiator, target_key()}, 0x0200}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(Login, ChapAlgorithmListWithFiveIsAnsweredWithFive) {
    Pdu response;
    ASSERT_EQ(client.login_step(kSecurityStay, keys({kInitiator, target_key(), "AuthMethod=CHAP"}),
                                &response),
              0);
    auto answer = parse_keys(response.data);
    EXPECT_EQ(answer["AuthMethod"], "CHAP");
    EXPECT_EQ(answer["TargetPortalGroupTag"], "1");
    ASSERT_EQ(client.login_step(kSecurityStay, keys({"CHAP_A=7,5"}), &response), 0);
    EXPECT_EQ(status_of(response), 0);
    answer = parse_keys(response.data);
    EXPECT_EQ(answer["CHAP_A"], "5");
    EXPECT_EQ(answer["CHAP_C"].size(), 66u);
    EXPECT_EQ(answer["CHAP_C"].substr(0, 2), "0x");
}

// An initiator that asks to leave the security stage while it starts the
// CHAP exchange is answered with T = 0 and stays until it has proven itself.
TEST_F(Login, TransitAskedWhileChapStartsIsAnsweredWithoutTransit) {
    Pdu response;
    ASSERT_EQ(client.login_step(kSecurityToOperational,
                                keys({kInitiator, target_key(), "AuthMethod=CHAP"}), &response),
              0);
    EXPECT_EQ(status_of(response), 0);
    EXPECT_EQ(response.header[1] & 0x80, 0) << "T bit";
    EXPECT_EQ(parse_keys(response.data)["AuthMethod"], "CHAP");
    ASSERT_EQ(client.login_step(kSecurityToOperational, keys({"CHAP_A=5"}), &response), 0);
    EXPECT_EQ(status_of(response), 0);
    EXPECT_EQ(response.header[1] & 0x80, 0) << "T bit";
    EXPECT_EQ(parse_keys(response.data)["CHAP_A"], "5");
    // Asking again without the CHAP answer would skip authentication.
    ASSERT_EQ(client.login_step(kSecurityToOperational, keys({}), &response), 0);
    EXPECT_EQ(status_of(response), 0x0201);
}

// How the initiator's CHAP answer is changed before it is sent.
struct ChapCase {
    const char *name;
    std::string (*response)(const std::string &correct);
    const char *chap_name;
    bool mutual;
    uint16_t status;
};

std::string keep(const std::string &r) {
    return r;
}
std::string upper_case(const std::string &r) {
    std::string u = "0X";
    for (size_t i = 2; i < r.size(); ++i)
        u += static_cast<char>(toupper(r[i]));
    return u;
}
std::string thirty_digits(const std::string &r) {
    return r.substr(0, 32);
}
std::string thirty_four_digits(const std::string &r) {
    return r + "00";
}
std::string no_prefix(const std::string &r) {
    return r.substr(2);
}
std::string one_bit_off(const std::string &r) {
    std::string w = r;
    w.back() = w.back() == '0' ? '1' : '0';
    return w;
}

class ChapResponse : public Login, public ::testing::WithParamInterface<ChapCase> {};

TEST_P(ChapResponse, IsCheckedExactly) {
    const ChapCase &c = GetParam();
    auto offered = challenge();
    std::string correct = chap_response(offered["CHAP_I"], offered["CHAP_C"], kTestSecret);
    std::vector<std::string> answer{std::string("CHAP_N=") + c.chap_name,
                                    "CHAP_R=" + c.response(correct)};
    if (c.mutual) {
        answer.push_back("CHAP_I=7");
        answer.push_back("CHAP_C=0x00112233445566778899aabbccddeeff");
    }
    Pdu response;
    ASSERT_EQ(client.login_step(kSecurityToOperational, keys(answer), &response), 0);
    EXPECT_EQ(status_of(response), c.status);
    if (c.status == 0) {
        EXPECT_TRUE(response.header[1] & 0x80);
        EXPECT_EQ(response.header[1] & 3, 1) << "moves to the operational stage";
    } else {
        EXPECT_TRUE(client.closed_without_reply());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ChapResponse,
    ::testing::Values(ChapCase{"Correct", keep, kTestChapName, false, 0},
                      ChapCase{"UpperCase", upper_case, kTestChapName, false, 0},
                      ChapCase{"ThirtyDigits", thirty_digits, kTestChapName, false, 0x0201},
                      ChapCase{"ThirtyFourDigits", thirty_four_digits, kTestChapName, false,
                               0x0201},
                      ChapCase{"NoPrefix", no_prefix, kTestChapName, false, 0x0201},
                      ChapCase{"WrongDigest", one_bit_off, kTestChapName, false, 0x0201},
                      ChapCase{"WrongName", keep, "someone-else", false, 0x0201},
                      ChapCase{"MutualChapRefused", keep, kTestChapName, true, 0x0201}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(Login, ChapResponseWithoutChallengeFails) {
    Pdu response;
    ASSERT_EQ(client.login_step(kSecurityToOperational,
                                keys({kInitiator, target_key(), "AuthMethod=CHAP",
                                      std::string("CHAP_N=") + kTestChapName,
                                      "CHAP_R=0x00112233445566778899aabbccddeeff"}),
                                &response),
              0);
    EXPECT_EQ(status_of(response), 0x0201);
}

TEST_F(Login, TsihOnlyOnTheResponseThatCompletesLogin) {
    std::vector<Pdu> responses(4);
    ASSERT_EQ(client.login_step(kSecurityStay, keys({kInitiator, target_key(), "AuthMethod=CHAP"}),
                                &responses[0]),
              0);
    ASSERT_EQ(client.login_step(kSecurityStay, keys({"CHAP_A=5"}), &responses[1]), 0);
    auto offered = parse_keys(responses[1].data);
    ASSERT_EQ(client.login_step(kSecurityToOperational,
                                keys({std::string("CHAP_N=") + kTestChapName,
                                      "CHAP_R=" + chap_response(offered["CHAP_I"],
                                                                offered["CHAP_C"], kTestSecret)}),
                                &responses[2]),
              0);
    ASSERT_EQ(client.login_step(kOperationalToFull, keys({"HeaderDigest=None"}), &responses[3]), 0);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(tsih_of(responses[i]), 0) << "response " << i;
    EXPECT_EQ(status_of(responses[3]), 0);
    EXPECT_EQ(responses[3].header[1], 0x87);
    EXPECT_NE(tsih_of(responses[3]), 0);
}

// Operational offers and the target's answers ("" = no answer expected).
struct OfferCase {
    std::string offer;
    std::string key;
    std::string answer;
};

TEST_F(Login, OperationalOffersAreAnsweredByTheTable) {
    const std::vector<OfferCase> cases = {
        {"HeaderDigest=CRC32C,None", "HeaderDigest", "None"},
        {"DataDigest=CRC32C", "DataDigest", "Reject"},
        {"MaxConnections=4", "MaxConnections", "1"},
        {"InitialR2T=No", "InitialR2T", "Yes"},
        {"ImmediateData=No", "ImmediateData", "No"},
        {"MaxBurstLength=abc", "MaxBurstLength", "262144"},
        {"FirstBurstLength=999999", "FirstBurstLength", "262144"},
        {"DefaultTime2Wait=1", "DefaultTime2Wait", "2"},
        {"DefaultTime2Retain=20", "DefaultTime2Retain", "0"},
        {"MaxOutstandingR2T=8", "MaxOutstandingR2T", "1"},
        {"DataPDUInOrder=No", "DataPDUInOrder", "Yes"},
        {"ErrorRecoveryLevel=2", "ErrorRecoveryLevel", "0"},
        {"IFMarker=Yes", "IFMarker", "No"},
        {"OFMarkInt=2048", "OFMarkInt", "Irrelevant"},
        {"X-com.example.Unknown=1", "X-com.example.Unknown", "NotUnderstood"},
        {"InitiatorAlias=host", "InitiatorAlias", ""},
        {std::string(64, 'K') + "=1", std::string(64, 'K'), ""},
    };
    std::vector<std::string> offers;
    for (const OfferCase &c : cases)
        offers.push_back(c.offer);
    Pdu final_response;
    ASSERT_TRUE(client.login(offers, false, &final_response));
    auto answers = parse_keys(final_response.data);
    for (const OfferCase &c : cases) {
        if (c.answer.empty()) {
            EXPECT_EQ(answers.count(c.key), 0u) << c.offer;
        } else {
            EXPECT_EQ(answers[c.key], c.answer) << c.offer;
        }
    }
    EXPECT_EQ(answers["MaxRecvDataSegmentLength"], "262144");
    EXPECT_EQ(answers["TargetPortalGroupTag"], "1");
}

TEST_F(Login, ClampedNumbersAndHighWaitAreAnswered) {
    Pdu final_response;
    ASSERT_TRUE(client.login({"MaxBurstLength=100", "FirstBurstLength=70000", "DefaultTime2Wait=20",
                              "ImmediateData=Yes"},
                             false, &final_response));
    auto answers = parse_keys(final_response.data);
    EXPECT_EQ(answers["MaxBurstLength"], "512");
    EXPECT_EQ(answers["FirstBurstLength"], "70000");
    EXPECT_EQ(answers["DefaultTime2Wait"], "20");
    EXPECT_EQ(answers["ImmediateData"], "Yes");
}

// The initiator's receive limit is clamped to 512..16777215; a value that is
// not a number falls back to 8192. A 64 KiB read comes back in Data-In PDUs
// of that size, numbered from 0 with increasing buffer offsets.
TEST(LoginLimits, ReceiveSegmentOfferIsClampedOrDefaulted) {
    struct Case {
        const char *offer;
        size_t piece; // Data-In segment size for a 64 KiB read
    } cases[] = {
        {"MaxRecvDataSegmentLength=100", 512},
        {"MaxRecvDataSegmentLength=4096", 4096},
        {"MaxRecvDataSegmentLength=16777216", 65536},
        {"MaxRecvDataSegmentLength=4294967295", 65536},
        {"MaxRecvDataSegmentLength=lots", 8192},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.offer);
        MemoryDisk disk;
        RunningTarget target;
        ASSERT_TRUE(target.start(test_config(), disk.device(1 << 20, false)));
        Client client;
        ASSERT_TRUE(client.connect_to(target.port));
        ASSERT_TRUE(client.login({c.offer, "MaxBurstLength=262144"}));
        // READ(10) of 128 blocks.
        ASSERT_TRUE(client.send_command({0x28, 0, 0, 0, 0, 0, 0, 0, 128, 0}, 65536, 0xC0));
        size_t total = 0;
        for (uint32_t pieces = 0;; ++pieces) {
            Pdu pdu;
            ASSERT_EQ(client.receive(&pdu), 0);
            ASSERT_EQ(pdu.opcode(), 0x25);
            EXPECT_EQ(pdu.data.size(), std::min(c.piece, size_t{65536} - total));
            EXPECT_EQ(get32(pdu.header.data() + 36), pieces) << "DataSN";
            EXPECT_EQ(get32(pdu.header.data() + 40), total) << "buffer offset";
            total += pdu.data.size();
            if (pdu.header[1] & 0x01)
                break;
            EXPECT_EQ(pdu.header[1], 0);
        }
        EXPECT_EQ(total, 65536u);
    }
}

TEST_F(Login, ContinuedTextIsJoinedAcrossPdus) {
    Bytes text = keys({kInitiator, target_key(), "AuthMethod=CHAP"});
    Bytes head(text.begin(), text.begin() + 20), tail(text.begin() + 20, text.end());
    Pdu response;
    ASSERT_EQ(client.login_step(0x41, head, &response), 0); // C bit
    EXPECT_EQ(status_of(response), 0);
    EXPECT_TRUE(response.data.empty());
    EXPECT_EQ(response.header[1] & 0x80, 0);
    ASSERT_EQ(client.login_step(kSecurityStay, tail, &response), 0);
    EXPECT_EQ(status_of(response), 0);
    EXPECT_EQ(parse_keys(response.data)["AuthMethod"], "CHAP");
}

TEST_F(Login, TheThirtyThirdLoginPduEndsTheConnection) {
    Pdu response;
    for (int i = 0; i < 32; ++i) {
        ASSERT_EQ(client.login_step(0x41, keys({"X"}), &response), 0) << "PDU " << i + 1;
        ASSERT_EQ(status_of(response), 0);
    }
    ASSERT_TRUE(client.send_login(0x41, keys({"X"})));
    EXPECT_TRUE(client.closed_without_reply());
}

} // namespace
} // namespace tw::test
