#include "gui/single_instance.h"

#include "platform/folders.h"
#include "runtime/text.h"

#include <QDeadlineTimer>
#include <QLocalServer>
#include <QLocalSocket>
#include <QPointer>
#include <QVariant>
#include <QtEndian>
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>

namespace tw {

int instance_paths(InstancePaths *out) {
    std::string folder;
    if (int rc = runtime_folder(&folder); rc != 0)
        return rc;
    out->lock = folder + "/Tarnwick.Library.lock";
    out->socket = folder + "/Tarnwick.Library";
    return 0;
}

int instance_lock(const InstancePaths &paths, FileHandle *lock) {
    FileHandle fd(open(paths.lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!fd.valid())
        return -errno;
    if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0)
        return errno == EWOULDBLOCK ? 0 : -errno;
    *lock = std::move(fd);
    return 1;
}

QByteArray hand_off_encode_paths(const std::vector<std::string> &paths) {
    QByteArray data;
    for (const std::string &path : paths) {
        data.append(path.data(), static_cast<qsizetype>(path.size()));
        data.append('\0');
    }
    data.append('\0');
    return data;
}

bool hand_off_decode_paths(const QByteArray &data, std::vector<std::string> *paths) {
    paths->clear();
    if (data.isEmpty() || data.back() != '\0')
        return false;
    qsizetype at = 0;
    while (at < data.size() && paths->size() < kHandOffPathLimit) {
        const qsizetype end = data.indexOf('\0', at);
        if (end < 0)
            return false;
        if (end == at)
            break; // the list's terminator
        if (!utf8_is_valid(data.constData() + at, static_cast<size_t>(end - at)))
            return false;
        paths->emplace_back(data.constData() + at, static_cast<size_t>(end - at));
        at = end + 1;
    }
    return true;
}

int hand_off_send(const std::string &socket_path, uint32_t identifier, const QByteArray &data) {
    QLocalSocket socket;
    socket.connectToServer(QString::fromStdString(socket_path));
    if (!socket.waitForConnected(1000))
        return socket.error() == QLocalSocket::SocketTimeoutError ? -ETIMEDOUT : -ECONNREFUSED;
    char header[8];
    qToLittleEndian<uint32_t>(identifier, header);
    qToLittleEndian<uint32_t>(static_cast<uint32_t>(data.size()), header + 4);
    socket.write(header, sizeof header);
    socket.write(data);
    QByteArray reply;
    QDeadlineTimer deadline(5000);
    while (reply.size() < 4) {
        if (socket.bytesAvailable() == 0 &&
            !socket.waitForReadyRead(static_cast<int>(deadline.remainingTime())))
            return -ETIMEDOUT;
        reply.append(socket.read(4 - reply.size()));
    }
    return qFromLittleEndian<uint32_t>(reply.constData()) != 0 ? 0 : -EPROTO;
}

InstanceServer::InstanceServer(QObject *parent) : QObject(parent), server_(new QLocalServer(this)) {
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    connect(server_, &QLocalServer::newConnection, this, &InstanceServer::on_connection);
}

int InstanceServer::listen(const std::string &socket) {
    const QString name = QString::fromStdString(socket);
    QLocalServer::removeServer(name);
    return server_->listen(name) ? 0 : -EADDRINUSE;
}

void InstanceServer::on_connection() {
    while (QLocalSocket *socket = server_->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        // Reads the whole message as it arrives, answers once, and closes.
        connect(socket, &QLocalSocket::readyRead, this, [this, socket]() {
            QByteArray buffer = socket->property("handOff").toByteArray();
            buffer.append(socket->readAll());
            if (buffer.size() >= 8) {
                const uint32_t length = qFromLittleEndian<uint32_t>(buffer.constData() + 4);
                if (length > kHandOffDataLimit) {
                    socket->abort();
                    return;
                }
                if (static_cast<size_t>(buffer.size()) >= 8 + static_cast<size_t>(length)) {
                    const uint32_t identifier = qFromLittleEndian<uint32_t>(buffer.constData());
                    bool accepted = false;
                    QPointer<QLocalSocket> guard(socket);
                    emit handOff(identifier, buffer.mid(8, length), &accepted);
                    if (guard.isNull())
                        return;
                    char reply[4];
                    qToLittleEndian<uint32_t>(accepted ? 1 : 0, reply);
                    socket->write(reply, sizeof reply);
                    socket->flush();
                    socket->disconnectFromServer();
                    return;
                }
            }
            socket->setProperty("handOff", buffer);
        });
    }
}

} // namespace tw
