// One application per user: the first start holds an exclusive lock in the
// per-user runtime folder and listens on a local socket beside it; a later
// start hands its request to the first and ends.
//
// A hand-off is one message on a fresh connection: the identifier as a
// 32-bit little-endian number, the data's length (32-bit little-endian),
// then the data. The receiver answers with one 32-bit little-endian number,
// non-zero when it took the request.
//   "TKV1" (0x544B5631) opens paths: each path in UTF-8 ending in a NUL
//       byte, then one more NUL (an empty list is a single NUL).
//   "TKV2" (0x544B5632) starts sign-in mounting; no data.
#pragma once

#include "platform/descriptor.h"

#include <QByteArray>
#include <QObject>
#include <cstdint>
#include <string>
#include <vector>

class QLocalServer;

namespace tw {

inline constexpr uint32_t kHandOffPaths = 0x544B5631;  // "TKV1"
inline constexpr uint32_t kHandOffSignIn = 0x544B5632; // "TKV2"
inline constexpr size_t kHandOffPathLimit = 64;
// Largest data of a hand-off: 64 paths of at most 32767 bytes each.
inline constexpr size_t kHandOffDataLimit = kHandOffPathLimit * 32768 + 1;

// The lock file and socket in the per-user runtime folder.
struct InstancePaths {
    std::string lock;
    std::string socket;
};
int instance_paths(InstancePaths *out);

// Takes the instance lock: 1 when this is the first instance (the lock is
// then held by *lock for the life of the process), 0 when another instance
// holds it, or a negative errno.
int instance_lock(const InstancePaths &paths, FileHandle *lock);

// The data of a "TKV1" hand-off, and back. Decoding reads at most 64
// NUL-terminated paths, never beyond the data, and refuses data that does
// not end in its terminator or holds a path that is not UTF-8.
QByteArray hand_off_encode_paths(const std::vector<std::string> &paths);
bool hand_off_decode_paths(const QByteArray &data, std::vector<std::string> *paths);

// Sends one hand-off and waits (5 s at most) for the answer. 0 when the
// first instance took it; -ECONNREFUSED when nothing listens; -ETIMEDOUT;
// -EPROTO for a zero answer.
int hand_off_send(const std::string &socket, uint32_t identifier, const QByteArray &data);

// The first instance's listener; calls the handler for each hand-off on the
// thread that owns it.
class InstanceServer : public QObject {
    Q_OBJECT

  public:
    explicit InstanceServer(QObject *parent = nullptr);
    // Listens on the socket (a stale socket left by an ended instance is
    // removed first: the lock proves it is stale). 0 or -EADDRINUSE.
    int listen(const std::string &socket);

  signals:
    // `accepted` is set by the receiver; it starts as false.
    void handOff(uint32_t identifier, const QByteArray &data, bool *accepted);

  private:
    void on_connection();
    QLocalServer *server_;
};

} // namespace tw
