#include "platform/single_instance.h"

#include "platform/drive_table.h"
#include "platform/folders.h"

#include <QLocalSocket>
#include <QVariant>

namespace platform {

namespace {
// A hand-over is a few paths; anything longer is not one of ours.
constexpr qint64 max_message_bytes = 64 * 1024;
}  // namespace

single_instance_c::single_instance_c(const QString& folder, QObject* parent)
    : QObject(parent), folder_(folder.isEmpty() ? QString::fromLocal8Bit(runtime_dir().c_str()) : folder)
{
    connect(&server_, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* socket = server_.nextPendingConnection()) {
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            connect(socket, &QLocalSocket::readyRead, this, [this, socket] { read_from(socket); });
        }
    });
}

single_instance_c::~single_instance_c() { server_.close(); }

QString single_instance_c::lock_path() const { return folder_ + QStringLiteral("/Quarvel.lock"); }
QString single_instance_c::socket_path() const { return folder_ + QStringLiteral("/Quarvel.socket"); }

bool single_instance_c::take()
{
    lock_ = std::make_unique<QLockFile>(lock_path());
    // Never stale by age: only when the copy that wrote it is gone (Qt
    // checks the process it names).
    lock_->setStaleLockTime(0);
    if (lock_->tryLock(0))
        return true;
    lock_.reset();
    return false;
}

bool single_instance_c::listen()
{
    if (!lock_)
        return false;
    // The lock is ours: a socket file there is a killed copy's.
    QLocalServer::removeServer(socket_path());
    server_.setSocketOptions(QLocalServer::UserAccessOption);
    return server_.listen(socket_path());
}

void single_instance_c::read_from(QLocalSocket* socket)
{
    // Paths, each ended by a zero byte; an empty one ends the message.
    QByteArray buffer = socket->property("quarvel_buffer").toByteArray() + socket->readAll();
    if (buffer.size() > max_message_bytes) {
        socket->abort();
        return;
    }
    if (!buffer.endsWith(QByteArray(2, '\0')) && buffer != QByteArray(1, '\0')) {
        socket->setProperty("quarvel_buffer", buffer);
        return;
    }
    QStringList images;
    for (const QByteArray& part : buffer.split('\0'))
        if (!part.isEmpty() && images.size() < max_drives)
            images << QString::fromUtf8(part);
    socket->write("ok", 2);
    socket->disconnectFromServer();
    emit images_handed(images);
}

bool single_instance_c::hand_over(const QStringList& images, int timeout_ms) const
{
    QLocalSocket socket;
    socket.connectToServer(socket_path());
    if (!socket.waitForConnected(timeout_ms))
        return false;
    QByteArray message;
    for (const QString& image : images)
        message += image.toUtf8() + '\0';
    message += '\0';
    socket.write(message);
    if (!socket.waitForBytesWritten(timeout_ms))
        return false;
    while (socket.bytesAvailable() < 2 && socket.waitForReadyRead(timeout_ms)) {
    }
    return socket.read(2) == "ok";
}

}  // namespace platform
