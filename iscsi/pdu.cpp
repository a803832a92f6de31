#include "iscsi/pdu.h"

#include "platform/io.h"
#include "platform/secure_memory.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>

namespace tw {

namespace {

constexpr size_t kMaxIoPiece = 1 << 20;
constexpr int kStopPollMs = 500;

// Waits until the socket is readable, checking the stop flag every 500 ms so
// that target_stop ends even an idle connection promptly.
int wait_readable(IscsiTarget *target) {
    for (;;) {
        pollfd pfd{target->connection_fd, POLLIN, 0};
        int n = poll(&pfd, 1, kStopPollMs);
        if (n > 0)
            return 0;
        if (n == 0) {
            if (target->stop.load())
                return -ECANCELED;
            continue;
        }
        if (errno != EINTR)
            return -EIO;
    }
}

int receive_exactly(IscsiTarget *target, uint8_t *buffer, size_t count) {
    while (count > 0) {
        int rc = wait_readable(target);
        if (rc < 0)
            return rc;
        ssize_t n = read_some(target->connection_fd, buffer, std::min(count, kMaxIoPiece));
        if (n <= 0)
            return -EPIPE;
        buffer += n;
        count -= static_cast<size_t>(n);
    }
    return 0;
}

int send_pieces(int fd, iovec *iov, int count) {
    while (count > 0) {
        // Never more than 1 MiB per call.
        iovec piece[3];
        int pieces = 0;
        size_t total = 0;
        for (int i = 0; i < count && total < kMaxIoPiece; ++i) {
            size_t take = std::min(iov[i].iov_len, kMaxIoPiece - total);
            piece[pieces++] = {iov[i].iov_base, take};
            total += take;
        }
        msghdr message{};
        message.msg_iov = piece;
        message.msg_iovlen = static_cast<size_t>(pieces);
        ssize_t n = send_message_some(fd, &message, MSG_NOSIGNAL);
        if (n <= 0)
            return -EPIPE;
        size_t sent = static_cast<size_t>(n);
        while (count > 0 && sent >= iov[0].iov_len) {
            sent -= iov[0].iov_len;
            ++iov;
            --count;
        }
        if (count > 0) {
            iov[0].iov_base = static_cast<uint8_t *>(iov[0].iov_base) + sent;
            iov[0].iov_len -= sent;
        }
    }
    return 0;
}

} // namespace

void Pdu::clear() {
    if (data) {
        secure_wipe(data, capacity);
        free(data);
    }
    data = nullptr;
    length = 0;
    capacity = 0;
}

int receive_pdu(IscsiTarget *target, Pdu *pdu) {
    pdu->clear();
    int rc = receive_exactly(target, pdu->header, kHeaderLength);
    if (rc < 0)
        return rc;
    uint32_t length = load24(pdu->header + 5);
    if (length > kMaxReceiveSegment)
        return -EPROTO;
    uint32_t ahs_length = pdu->header[4] * 4u;
    if (ahs_length > 0) {
        uint8_t ahs[1020];
        rc = receive_exactly(target, ahs, ahs_length);
        secure_wipe(ahs, ahs_length);
        if (rc < 0)
            return rc;
    }
    size_t padded = (static_cast<size_t>(length) + 3) & ~size_t{3};
    pdu->data = static_cast<uint8_t *>(calloc(1, padded + 1));
    if (!pdu->data)
        return -ENOMEM;
    pdu->capacity = padded + 1;
    rc = receive_exactly(target, pdu->data, padded);
    if (rc < 0)
        return rc;
    pdu->data[length] = 0;
    pdu->length = length;
    return 0;
}

int send_pdu(IscsiTarget *target, uint8_t *header, const void *data, uint32_t length) {
    static const uint8_t zeros[4] = {};
    store24(header + 5, length);
    header[4] = 0;
    iovec iov[3];
    int count = 0;
    iov[count++] = {header, kHeaderLength};
    if (length > 0) {
        iov[count++] = {const_cast<void *>(data), length};
        uint32_t pad = (4 - (length & 3)) & 3;
        if (pad > 0)
            iov[count++] = {const_cast<uint8_t *>(zeros), pad};
    }
    return send_pieces(target->connection_fd, iov, count);
}

void put_sequence_numbers(IscsiTarget *target, uint8_t *header, bool with_stat_sn,
                          bool advance_stat_sn) {
    if (with_stat_sn) {
        store32(header + 24, target->stat_sn);
        if (advance_stat_sn)
            ++target->stat_sn;
    }
    store32(header + 28, target->exp_cmd_sn);
    store32(header + 32, target->exp_cmd_sn);
}

void TextBuffer::clear() {
    if (bytes) {
        secure_wipe(bytes, capacity);
        free(bytes);
    }
    bytes = nullptr;
    length = 0;
    capacity = 0;
}

void TextBuffer::append(const void *more, size_t count) {
    if (out_of_memory || count == 0)
        return;
    if (length + count > capacity) {
        size_t grown = capacity ? capacity : 256;
        while (grown < length + count)
            grown *= 2;
        // Allocate anew rather than realloc so the old copy can be wiped.
        auto *bigger = static_cast<uint8_t *>(malloc(grown));
        if (!bigger) {
            out_of_memory = true;
            return;
        }
        if (bytes) {
            memcpy(bigger, bytes, length);
            secure_wipe(bytes, capacity);
            free(bytes);
        }
        bytes = bigger;
        capacity = grown;
    }
    memcpy(bytes + length, more, count);
    length += count;
}

void append_key(TextBuffer *text, std::string_view key, std::string_view value) {
    text->append(key.data(), key.size());
    text->append("=", 1);
    text->append(value.data(), value.size());
    text->append("", 1);
}

bool find_key(const uint8_t *text, size_t length, std::string_view key, std::string_view *value) {
    size_t pos = 0;
    while (pos < length) {
        const char *item = reinterpret_cast<const char *>(text + pos);
        size_t item_length = strnlen(item, length - pos);
        if (item_length > key.size() && memcmp(item, key.data(), key.size()) == 0 &&
            item[key.size()] == '=') {
            *value = std::string_view(item + key.size() + 1, item_length - key.size() - 1);
            return true;
        }
        pos += item_length + 1;
    }
    return false;
}

bool list_contains(std::string_view list, std::string_view item) {
    for (;;) {
        size_t comma = list.find(',');
        if (list.substr(0, comma) == item)
            return true;
        if (comma == std::string_view::npos)
            return false;
        list.remove_prefix(comma + 1);
    }
}

bool parse_number(std::string_view text, uint32_t *value) {
    if (text.empty())
        return false;
    uint64_t number = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        // Saturate: a huge offer is still a number, clamped by the caller.
        number = std::min<uint64_t>(number * 10 + static_cast<uint64_t>(c - '0'), 0xFFFFFFFFu);
    }
    *value = static_cast<uint32_t>(number);
    return true;
}

} // namespace tw
