// Login phase: identity checks, CHAP-MD5 (mandatory, one-way) and the
// operational key negotiation.
#include "iscsi/session.h"
#include "platform/secure_memory.h"
#include "runtime/random.h"
#include "runtime/text.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <openssl/evp.h>

namespace tw {

namespace {

constexpr int kMaxLoginPdus = 32;
constexpr size_t kChallengeLength = 32;
constexpr size_t kMaxOperationalKey = 63;

// Login status (class << 8 | detail).
constexpr uint16_t kStatusSuccess = 0x0000;
constexpr uint16_t kStatusInitiatorError = 0x0200;
constexpr uint16_t kStatusAuthenticationFailure = 0x0201;
constexpr uint16_t kStatusAuthorizationFailure = 0x0202;
constexpr uint16_t kStatusNotFound = 0x0203;
constexpr uint16_t kStatusUnsupportedVersion = 0x0205;
constexpr uint16_t kStatusMissingParameter = 0x0207;
constexpr uint16_t kStatusOutOfResources = 0x0302;

struct LoginState {
    TextBuffer received; // login text accumulated across continued PDUs
    bool first_request = true;
    bool authenticated = false;
    bool challenge_issued = false;
    uint8_t challenge[kChallengeLength] = {};
    uint8_t chap_id = 0;
    bool declared_limits = false;

    ~LoginState() { forget_challenge(); }
    void forget_challenge() {
        secure_wipe(challenge, sizeof challenge);
        chap_id = 0;
        challenge_issued = false;
    }
};

bool chap_md5(uint8_t id, const uint8_t *secret, size_t secret_length, const uint8_t *challenge,
              uint8_t digest[16]) {
    EVP_MD_CTX *ctx = EVP_MD_CTX_new();
    if (!ctx)
        return false;
    unsigned int length = 0;
    bool ok = EVP_DigestInit_ex(ctx, EVP_md5(), nullptr) == 1 &&
              EVP_DigestUpdate(ctx, &id, 1) == 1 &&
              EVP_DigestUpdate(ctx, secret, secret_length) == 1 &&
              EVP_DigestUpdate(ctx, challenge, kChallengeLength) == 1 &&
              EVP_DigestFinal_ex(ctx, digest, &length) == 1 && length == 16;
    EVP_MD_CTX_free(ctx);
    return ok;
}

// The initiator's answer passes only against a challenge issued on this
// connection, under the configured name, as "0x" + exactly 32 hex digits equal
// to MD5(identifier, secret, challenge). The comparison takes the same time
// for every mismatch.
bool chap_response_matches(const IscsiTarget *target, const LoginState &state, bool has_name,
                           std::string_view name, bool has_response, std::string_view response) {
    if (!state.challenge_issued || !has_name || !has_response)
        return false;
    if (name != std::string_view(target->config.chap_name))
        return false;
    if (response.size() != 34 || response[0] != '0' || (response[1] != 'x' && response[1] != 'X'))
        return false;
    uint8_t offered[16];
    for (size_t i = 0; i < 16; ++i) {
        int high = hex_digit_value(response[2 + 2 * i]);
        int low = hex_digit_value(response[3 + 2 * i]);
        if (high < 0 || low < 0)
            return false;
        offered[i] = static_cast<uint8_t>(high << 4 | low);
    }
    uint8_t expected[16];
    bool ok = chap_md5(state.chap_id, target->config.chap_secret, target->config.chap_secret_length,
                       state.challenge, expected);
    uint8_t difference = 0;
    for (size_t i = 0; i < 16; ++i)
        difference |= static_cast<uint8_t>(offered[i] ^ expected[i]);
    secure_wipe(expected, sizeof expected);
    return ok && difference == 0;
}

uint16_t check_identity(IscsiTarget *target, LoginState *state, const TextBuffer &text) {
    std::string_view value;
    bool has_initiator = find_key(text.bytes, text.length, "InitiatorName", &value);
    bool first = state->first_request;
    state->first_request = false;
    if (!first && !has_initiator)
        return kStatusSuccess;
    if (!has_initiator)
        return kStatusMissingParameter;
    bool discovery =
        find_key(text.bytes, text.length, "SessionType", &value) && value == "Discovery";
    // The target name is checked whenever a request makes the session a
    // normal one, so a discovery login cannot turn into a normal session
    // without naming this target.
    if (!discovery && (first || target->discovery)) {
        if (!find_key(text.bytes, text.length, "TargetName", &value) ||
            value != std::string_view(target->config.target_name))
            return kStatusNotFound;
    }
    target->discovery = discovery;
    return kStatusSuccess;
}

uint16_t security_stage(IscsiTarget *target, LoginState *state, const TextBuffer &text,
                        bool transit, bool *transit_allowed, TextBuffer *answer) {
    std::string_view value;
    bool in_progress = false;
    if (find_key(text.bytes, text.length, "AuthMethod", &value)) {
        in_progress = true;
        // CHAP is mandatory: there is no path that accepts "None".
        if (!list_contains(value, "CHAP"))
            return kStatusAuthenticationFailure;
        append_key(answer, "AuthMethod", "CHAP");
        if (!target->discovery)
            append_key(answer, "TargetPortalGroupTag", "1");
    }
    if (find_key(text.bytes, text.length, "CHAP_A", &value)) {
        in_progress = true;
        if (!list_contains(value, "5"))
            return kStatusAuthenticationFailure;
        uint8_t random[kChallengeLength + 1];
        if (!random_bytes(random, sizeof random)) {
            secure_wipe(random, sizeof random);
            return kStatusAuthenticationFailure;
        }
        memcpy(state->challenge, random, kChallengeLength);
        state->chap_id = random[kChallengeLength];
        state->challenge_issued = true;
        secure_wipe(random, sizeof random);
        char id[4];
        snprintf(id, sizeof id, "%u", state->chap_id);
        char hex[2 + 2 * kChallengeLength + 1] = "0x";
        for (size_t i = 0; i < kChallengeLength; ++i)
            snprintf(hex + 2 + 2 * i, 3, "%02x", state->challenge[i]);
        append_key(answer, "CHAP_A", "5");
        append_key(answer, "CHAP_I", id);
        append_key(answer, "CHAP_C", hex);
    }
    std::string_view name, response;
    bool has_name = find_key(text.bytes, text.length, "CHAP_N", &name);
    bool has_response = find_key(text.bytes, text.length, "CHAP_R", &response);
    if (has_name || has_response) {
        bool ok = chap_response_matches(target, *state, has_name, name, has_response, response);
        // One challenge, one answer: a retry needs a new CHAP_A exchange.
        state->forget_challenge();
        if (!ok)
            return kStatusAuthenticationFailure;
        // The initiator asking to authenticate the target (mutual CHAP) is
        // not supported.
        if (find_key(text.bytes, text.length, "CHAP_C", &value))
            return kStatusAuthenticationFailure;
        state->authenticated = true;
    }
    if (transit && !state->authenticated) {
        // An initiator may ask to transit while it starts the CHAP exchange
        // (AuthMethod or CHAP_A in this request): it is answered with T = 0
        // and stays in the security stage. A request to transit that does
        // not move the exchange on would skip authentication.
        if (!in_progress)
            return kStatusAuthenticationFailure;
        *transit_allowed = false;
    }
    return kStatusSuccess;
}

uint32_t clamp_offer(std::string_view value, uint32_t low, uint32_t high, uint32_t fallback) {
    uint32_t number;
    if (!parse_number(value, &number))
        return fallback;
    return number < low ? low : number > high ? high : number;
}

void negotiate_key(IscsiTarget *target, std::string_view key, std::string_view value,
                   TextBuffer *answer) {
    char number[16];
    if (key == "HeaderDigest" || key == "DataDigest") {
        append_key(answer, key, list_contains(value, "None") ? "None" : "Reject");
    } else if (key == "MaxConnections") {
        append_key(answer, key, "1");
    } else if (key == "InitialR2T") {
        append_key(answer, key, "Yes");
    } else if (key == "ImmediateData") {
        target->immediate_data = value == "Yes";
        append_key(answer, key, target->immediate_data ? "Yes" : "No");
    } else if (key == "MaxRecvDataSegmentLength") {
        // Declarative: the largest segment the target may send.
        target->max_send_segment = clamp_offer(value, 512, 16777215, 8192);
    } else if (key == "MaxBurstLength") {
        target->max_burst_length = clamp_offer(value, 512, 1048576, 262144);
        snprintf(number, sizeof number, "%u", target->max_burst_length);
        append_key(answer, key, number);
    } else if (key == "FirstBurstLength") {
        target->first_burst_length = clamp_offer(value, 512, 262144, 65536);
        snprintf(number, sizeof number, "%u", target->first_burst_length);
        append_key(answer, key, number);
    } else if (key == "DefaultTime2Wait") {
        uint32_t wait;
        bool high_enough = parse_number(value, &wait) && wait >= 3;
        snprintf(number, sizeof number, "%u", high_enough ? wait : 2);
        append_key(answer, key, number);
    } else if (key == "DefaultTime2Retain" || key == "ErrorRecoveryLevel") {
        append_key(answer, key, "0");
    } else if (key == "MaxOutstandingR2T") {
        append_key(answer, key, "1");
    } else if (key == "DataPDUInOrder" || key == "DataSequenceInOrder") {
        append_key(answer, key, "Yes");
    } else if (key == "IFMarker" || key == "OFMarker") {
        append_key(answer, key, "No");
    } else if (key == "IFMarkInt" || key == "OFMarkInt") {
        append_key(answer, key, "Irrelevant");
    } else if (key == "InitiatorName" || key == "InitiatorAlias" || key == "SessionType" ||
               key == "TargetName" || key == "AuthMethod" || key.starts_with("CHAP_")) {
        // Known, nothing to answer.
    } else {
        append_key(answer, key, "NotUnderstood");
    }
}

uint16_t operational_stage(IscsiTarget *target, LoginState *state, const TextBuffer &text,
                           TextBuffer *answer) {
    if (!state->authenticated)
        return kStatusAuthorizationFailure;
    size_t pos = 0;
    while (pos < text.length) {
        const char *item = reinterpret_cast<const char *>(text.bytes + pos);
        std::string_view pair(item, strnlen(item, text.length - pos));
        pos += pair.size() + 1;
        size_t equals = pair.find('=');
        if (equals == std::string_view::npos || equals > kMaxOperationalKey)
            continue;
        negotiate_key(target, pair.substr(0, equals), pair.substr(equals + 1), answer);
    }
    if (!state->declared_limits) {
        state->declared_limits = true;
        append_key(answer, "MaxRecvDataSegmentLength", "262144");
        append_key(answer, "TargetPortalGroupTag", "1");
    }
    return kStatusSuccess;
}

int send_login_response(IscsiTarget *target, const Pdu &request, bool transit, uint16_t status,
                        const TextBuffer *answer) {
    uint8_t header[kHeaderLength] = {};
    uint8_t csg = (request.flags() >> 2) & 3;
    uint8_t nsg = request.flags() & 3;
    header[0] = kOpLoginResponse;
    header[1] = static_cast<uint8_t>((transit ? 0x80 : 0) | csg << 2 | (transit ? nsg : 0));
    memcpy(header + 8, request.header + 8, 6);   // ISID
    memcpy(header + 16, request.header + 16, 4); // ITT
    if (transit && nsg == 3) {
        uint32_t counter = target->tsih_counter.fetch_add(1) + 1;
        store16(header + 14, (counter & 0x7FFF) + 1);
    }
    put_sequence_numbers(target, header, true, true);
    header[36] = static_cast<uint8_t>(status >> 8);
    header[37] = static_cast<uint8_t>(status);
    bool with_text = answer && status == kStatusSuccess;
    return send_pdu(target, header, with_text ? answer->bytes : nullptr,
                    with_text ? static_cast<uint32_t>(answer->length) : 0);
}

} // namespace

int login_phase(IscsiTarget *target, Pdu *first) {
    LoginState state;
    Pdu next;
    Pdu *pdu = first;
    for (int count = 1;; ++count) {
        if (count > kMaxLoginPdus)
            return -EPROTO;
        if (pdu->opcode() != kOpLoginRequest || pdu->header[2] != 0 || pdu->header[3] != 0) {
            uint16_t status =
                pdu->header[2] != 0 ? kStatusUnsupportedVersion : kStatusInitiatorError;
            send_login_response(target, *pdu, false, status, nullptr);
            return -EPROTO;
        }
        state.received.append(pdu->data, pdu->length);
        if (pdu->flags() & 0x40) {
            // Continued text: acknowledge and wait for the rest.
            int rc = send_login_response(target, *pdu, false, kStatusSuccess, nullptr);
            if (rc < 0)
                return rc;
        } else {
            bool transit = (pdu->flags() & 0x80) != 0;
            uint8_t csg = (pdu->flags() >> 2) & 3;
            TextBuffer answer;
            bool transit_allowed = true;
            uint16_t status = state.received.out_of_memory
                                  ? kStatusOutOfResources
                                  : check_identity(target, &state, state.received);
            if (status == kStatusSuccess) {
                if (csg == 0)
                    status = security_stage(target, &state, state.received, transit,
                                            &transit_allowed, &answer);
                else if (csg == 1)
                    status = operational_stage(target, &state, state.received, &answer);
                else
                    status = kStatusInitiatorError;
            }
            if (status == kStatusSuccess && answer.out_of_memory)
                status = kStatusOutOfResources;
            state.received.clear();
            transit = transit && transit_allowed && status == kStatusSuccess;
            // A normal session counts as connected from the moment the
            // initiator can learn that its login succeeded, so nobody who
            // asks after the final response sees it as not yet connected.
            const bool entering_full_feature = transit && (pdu->flags() & 3) == 3;
            if (entering_full_feature && !target->discovery)
                target->session_active.store(1);
            int rc = send_login_response(target, *pdu, transit, status, &answer);
            if (rc < 0) {
                target->session_active.store(0);
                return rc;
            }
            if (status != kStatusSuccess)
                return -EACCES;
            if (transit && (pdu->flags() & 3) == 3)
                return 0;
        }
        int rc = receive_pdu(target, &next);
        if (rc < 0)
            return rc;
        pdu = &next;
    }
}

} // namespace tw
