#include "iscsi/tests/support/iscsi_client.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/evp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tw::test {

uint32_t get32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}

void put32(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

Bytes keys(const std::vector<std::string> &pairs) {
    Bytes text;
    for (const std::string &pair : pairs) {
        text.insert(text.end(), pair.begin(), pair.end());
        text.push_back(0);
    }
    return text;
}

std::map<std::string, std::string> parse_keys(const Bytes &text) {
    std::map<std::string, std::string> result;
    size_t pos = 0;
    while (pos < text.size()) {
        std::string item(
            reinterpret_cast<const char *>(text.data() + pos),
            strnlen(reinterpret_cast<const char *>(text.data() + pos), text.size() - pos));
        pos += item.size() + 1;
        size_t equals = item.find('=');
        if (equals != std::string::npos && !result.count(item.substr(0, equals)))
            result[item.substr(0, equals)] = item.substr(equals + 1);
    }
    return result;
}

std::string chap_response(const std::string &id, const std::string &challenge,
                          const std::string &secret) {
    uint8_t id_byte = static_cast<uint8_t>(std::stoul(id));
    Bytes challenge_bytes;
    for (size_t i = 2; i + 1 < challenge.size(); i += 2)
        challenge_bytes.push_back(
            static_cast<uint8_t>(std::stoul(challenge.substr(i, 2), nullptr, 16)));
    uint8_t digest[16];
    unsigned int length = 0;
    EVP_MD_CTX *ctx = EVP_MD_CTX_new();
    EVP_DigestInit_ex(ctx, EVP_md5(), nullptr);
    EVP_DigestUpdate(ctx, &id_byte, 1);
    EVP_DigestUpdate(ctx, secret.data(), secret.size());
    EVP_DigestUpdate(ctx, challenge_bytes.data(), challenge_bytes.size());
    EVP_DigestFinal_ex(ctx, digest, &length);
    EVP_MD_CTX_free(ctx);
    std::string hex = "0x";
    char two[3];
    for (uint8_t byte : digest) {
        snprintf(two, sizeof two, "%02x", byte);
        hex += two;
    }
    return hex;
}

namespace {

int disk_read(void *context, void *buffer, uint64_t offset, size_t count) {
    auto *disk = static_cast<MemoryDisk *>(context);
    ++disk->reads;
    if (disk->read_result)
        return disk->read_result;
    memcpy(buffer, disk->bytes.data() + offset, count);
    return 0;
}

int disk_write(void *context, const void *buffer, uint64_t offset, size_t count) {
    auto *disk = static_cast<MemoryDisk *>(context);
    ++disk->writes;
    if (disk->write_result)
        return disk->write_result;
    memcpy(disk->bytes.data() + offset, buffer, count);
    return 0;
}

int disk_flush(void *context) {
    auto *disk = static_cast<MemoryDisk *>(context);
    ++disk->flushes;
    return disk->flush_result;
}

void disk_activity(void *context, int active, int) {
    auto *disk = static_cast<MemoryDisk *>(context);
    ++(active ? disk->activity_begin : disk->activity_end);
}

void disk_eject(void *context) {
    ++static_cast<MemoryDisk *>(context)->ejects;
}

// Large sizes are declared but never backed: tests at those sizes only look
// at capacity.
int sparse_read(void *, void *buffer, uint64_t, size_t count) {
    memset(buffer, 0, count);
    return 0;
}

} // namespace

BlockDevice MemoryDisk::device(uint64_t size, bool read_only) {
    BlockDevice device{};
    device.context = this;
    device.size = size;
    device.read_only = read_only;
    device.removable = 1;
    if (size <= (64u << 20)) {
        bytes.assign(size, 0);
        device.read = disk_read;
    } else {
        device.read = sparse_read;
    }
    device.write = disk_write;
    device.flush = disk_flush;
    device.activity = disk_activity;
    device.eject = disk_eject;
    return device;
}

bool admit_everyone(void *, const TargetPeer *) {
    return true;
}

TargetConfig test_config(TargetAdmit admit, void *admit_context) {
    TargetConfig config{};
    strcpy(config.target_name, kTestTargetName);
    strcpy(config.chap_name, kTestChapName);
    memcpy(config.chap_secret, kTestSecret, 16);
    config.chap_secret_length = 16;
    strcpy(config.serial, "0123456789ABCDEF0123456789ABCDEF");
    static const uint8_t naa[8] = {0xA1, 2, 3, 4, 5, 6, 7, 8};
    memcpy(config.naa, naa, 8);
    config.admit = admit ? admit : admit_everyone;
    config.admit_context = admit_context;
    return config;
}

bool RunningTarget::start(const TargetConfig &config, const BlockDevice &device) {
    target = target_create(&config, &device, &port);
    if (!target)
        return false;
    thread = std::thread([this] { serve_result = target_serve(target); });
    return true;
}

RunningTarget::~RunningTarget() {
    if (!target)
        return;
    target_stop(target);
    if (thread.joinable())
        thread.join();
    target_destroy(target);
}

Client::~Client() {
    if (fd >= 0)
        close(fd);
}

bool Client::connect_to(uint16_t port) {
    fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
}

bool Client::send(const Header &header, const Bytes &data) {
    Header h = header;
    h[5] = static_cast<uint8_t>(data.size() >> 16);
    h[6] = static_cast<uint8_t>(data.size() >> 8);
    h[7] = static_cast<uint8_t>(data.size());
    Bytes wire(h.begin(), h.end());
    wire.insert(wire.end(), data.begin(), data.end());
    wire.resize((wire.size() + 3) & ~size_t{3}, 0);
    size_t sent = 0;
    while (sent < wire.size()) {
        ssize_t n = ::send(fd, wire.data() + sent, wire.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

namespace {

int read_exactly(int fd, uint8_t *buffer, size_t count, int timeout_ms) {
    while (count > 0) {
        pollfd pfd{fd, POLLIN, 0};
        int n = poll(&pfd, 1, timeout_ms);
        if (n == 0)
            return -ETIMEDOUT;
        ssize_t got = recv(fd, buffer, count, 0);
        if (got <= 0)
            return -EPIPE;
        buffer += got;
        count -= static_cast<size_t>(got);
    }
    return 0;
}

} // namespace

int Client::receive(Pdu *pdu, int timeout_ms) {
    int rc = read_exactly(fd, pdu->header.data(), 48, timeout_ms);
    if (rc < 0)
        return rc;
    uint32_t length =
        static_cast<uint32_t>(pdu->header[5]) << 16 | pdu->header[6] << 8 | pdu->header[7];
    Bytes padded((length + 3) & ~3u);
    if (!padded.empty()) {
        rc = read_exactly(fd, padded.data(), padded.size(), timeout_ms);
        if (rc < 0)
            return rc;
    }
    padded.resize(length);
    pdu->data = std::move(padded);
    uint8_t op = pdu->opcode();
    bool has_status = op != 0x25 && op != 0x31 ? true : (pdu->header[1] & 0x01) != 0;
    if (has_status && op != 0x31)
        exp_stat_sn = get32(pdu->header.data() + 24) + 1;
    return 0;
}

bool Client::closed_without_reply(int timeout_ms) {
    pollfd pfd{fd, POLLIN, 0};
    if (poll(&pfd, 1, timeout_ms) != 1)
        return false;
    uint8_t byte;
    return recv(fd, &byte, 1, 0) == 0;
}

Header Client::login_header(uint8_t flags, uint8_t version_max) {
    Header h{};
    h[0] = 0x43; // Login Request, immediate
    h[1] = flags;
    h[2] = version_max;
    static const uint8_t isid[6] = {0x80, 0x12, 0x34, 0x56, 0x00, 0x01};
    memcpy(h.data() + 8, isid, 6);
    put32(h.data() + 16, itt);
    put32(h.data() + 24, cmd_sn);
    put32(h.data() + 28, exp_stat_sn);
    return h;
}

bool Client::send_login(uint8_t flags, const Bytes &text) {
    return send(login_header(flags), text);
}

int Client::login_step(uint8_t flags, const Bytes &text, Pdu *response) {
    if (!send_login(flags, text))
        return -EPIPE;
    return receive(response);
}

bool Client::login(const std::vector<std::string> &operational, bool discovery,
                   Pdu *final_response) {
    std::vector<std::string> first{"InitiatorName=iqn.2026-01.test:initiator", "AuthMethod=CHAP"};
    if (discovery)
        first.push_back("SessionType=Discovery");
    else
        first.push_back(std::string("TargetName=") + kTestTargetName);
    Pdu response;
    if (login_step(0x01, keys(first), &response) < 0 || response.header[36] != 0)
        return false;
    if (login_step(0x01, keys({"CHAP_A=5"}), &response) < 0 || response.header[36] != 0)
        return false;
    auto offered = parse_keys(response.data);
    std::string answer = chap_response(offered["CHAP_I"], offered["CHAP_C"], kTestSecret);
    if (login_step(0x81, keys({std::string("CHAP_N=") + kTestChapName, "CHAP_R=" + answer}),
                   &response) < 0 ||
        response.header[36] != 0)
        return false;
    std::vector<std::string> op = operational;
    if (op.empty())
        op = {"HeaderDigest=None", "DataDigest=None", "MaxRecvDataSegmentLength=262144"};
    if (login_step(0x87, keys(op), &response) < 0)
        return false;
    if (final_response)
        *final_response = response;
    return response.header[36] == 0 && (response.header[1] & 0x80);
}

Header Client::command_header(const Bytes &cdb, uint32_t expected, uint8_t flags) {
    Header h{};
    h[0] = 0x01;
    h[1] = flags;
    put32(h.data() + 16, ++itt);
    put32(h.data() + 20, expected);
    put32(h.data() + 24, cmd_sn);
    put32(h.data() + 28, exp_stat_sn);
    memcpy(h.data() + 32, cdb.data(), std::min<size_t>(cdb.size(), 16));
    return h;
}

bool Client::send_command(const Bytes &cdb, uint32_t expected, uint8_t flags,
                          const Bytes &immediate) {
    bool ok = send(command_header(cdb, expected, flags), immediate);
    ++cmd_sn;
    return ok;
}

ScsiResult run_command(Client &client, const Bytes &cdb, uint32_t expected, const Bytes &write_data,
                       bool use_immediate) {
    ScsiResult result;
    bool writing = !write_data.empty();
    uint8_t flags = 0x80 | (writing ? 0x20 : (expected ? 0x40 : 0));
    Bytes immediate;
    if (writing && use_immediate)
        immediate = write_data;
    if (!client.send_command(cdb, expected, flags, immediate))
        return result;
    uint32_t command_itt = client.itt;
    for (;;) {
        Pdu pdu;
        if (client.receive(&pdu) < 0)
            return result;
        const uint8_t *h = pdu.header.data();
        if (pdu.opcode() == 0x31) { // R2T: send the asked range in one Data-Out
            ++result.r2ts;
            uint32_t offset = get32(h + 40), length = get32(h + 44);
            Header out{};
            out[0] = 0x05;
            out[1] = 0x80;
            put32(out.data() + 16, command_itt);
            put32(out.data() + 20, get32(h + 20));
            put32(out.data() + 28, client.exp_stat_sn);
            put32(out.data() + 40, offset);
            Bytes piece(write_data.begin() + offset, write_data.begin() + offset + length);
            if (!client.send(out, piece))
                return result;
            continue;
        }
        if (pdu.opcode() == 0x25) {
            result.data.insert(result.data.end(), pdu.data.begin(), pdu.data.end());
            if (h[1] & 0x01) {
                result.ok = true;
                result.status = h[3];
                result.response_flags = h[1];
                result.residual = get32(h + 44);
                return result;
            }
            continue;
        }
        if (pdu.opcode() == 0x21) {
            result.ok = true;
            result.status = h[3];
            result.response_flags = h[1];
            result.residual = get32(h + 44);
            if (pdu.data.size() >= 2)
                result.sense.assign(pdu.data.begin() + 2, pdu.data.end());
            return result;
        }
        return result; // anything else is unexpected here
    }
}

} // namespace tw::test
