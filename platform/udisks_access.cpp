#include "platform/udisks_access.h"

#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusUnixFileDescriptor>
#include <QDBusArgument>
#include <QFileInfo>
#include <QVariantMap>
#include <fcntl.h>
#include <unistd.h>

namespace platform {

namespace {

const QString service = QStringLiteral("org.freedesktop.UDisks2");
const QString block_interface = QStringLiteral("org.freedesktop.UDisks2.Block");
// Long enough for a person to type a password.
constexpr int prompt_timeout_ms = 5 * 60 * 1000;

bool service_missing(const QDBusError& e)
{
    return e.type() == QDBusError::ServiceUnknown || e.name() == QLatin1String("org.freedesktop.DBus.Error.NameHasNoOwner") ||
           e.type() == QDBusError::Disconnected || e.type() == QDBusError::NoServer;
}

QDBusMessage call(const QString& path, const QString& interface, const QString& method, const QVariantList& args)
{
    QDBusMessage message = QDBusMessage::createMethodCall(service, path, interface, method);
    message.setArguments(args);
    message.setInteractiveAuthorizationAllowed(true);
    return QDBusConnection::systemBus().call(message, QDBus::Block, prompt_timeout_ms);
}

// udisks2's object for a device node; empty when it knows none.
QString object_for(const QString& node, QDBusError* error)
{
    QVariantMap device;
    device.insert(QStringLiteral("path"), node);
    const QDBusMessage reply = call(QStringLiteral("/org/freedesktop/UDisks2/Manager"),
                                    QStringLiteral("org.freedesktop.UDisks2.Manager"), QStringLiteral("ResolveDevice"),
                                    {device, QVariantMap()});
    if (reply.type() == QDBusMessage::ErrorMessage) {
        *error = QDBusError(reply);
        return {};
    }
    if (reply.arguments().isEmpty())
        return {};
    const auto paths = qdbus_cast<QList<QDBusObjectPath>>(reply.arguments().constFirst());
    return paths.isEmpty() ? QString() : paths.constFirst().path();
}

int descriptor_of(const QDBusMessage& reply)
{
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return -1;
    const auto handed = qdbus_cast<QDBusUnixFileDescriptor>(reply.arguments().constFirst());
    if (!handed.isValid())
        return -1;
    // The message keeps its own copy and closes it.
    return ::fcntl(handed.fileDescriptor(), F_DUPFD_CLOEXEC, 3);
}

}  // namespace

int open_through_udisks(const std::string& device, descriptor_mode mode, std::string* error, bool* unavailable,
                        open_refusal_e* refusal)
{
    *unavailable = false;
    open_refusal_e ignored = open_refusal_e::none;
    open_refusal_e& kind = refusal ? *refusal : ignored;
    kind = open_refusal_e::other;
    if (!QDBusConnection::systemBus().isConnected()) {
        *unavailable = true;
        return -1;
    }
    const QString node = QFileInfo(QString::fromLocal8Bit(device.c_str())).canonicalFilePath();
    QDBusError lookup;
    const QString object = object_for(node, &lookup);
    if (object.isEmpty()) {
        if (lookup.isValid() && service_missing(lookup)) {
            *unavailable = true;
            return -1;
        }
        *error = "cannot open " + device + ": udisks2 does not know it" +
                 (lookup.isValid() ? " (" + lookup.message().toStdString() + ")" : std::string());
        return -1;
    }
    QVariantMap options;
    options.insert(QStringLiteral("auth.no_user_interaction"), false);
    QDBusMessage reply;
    if (mode == descriptor_mode::read) {
        reply = call(object, block_interface, QStringLiteral("OpenForBackup"), {options});
        // OpenForBackup claims the device, which fails while a volume on it
        // is mounted; reading it does not need the claim.
        if (reply.type() == QDBusMessage::ErrorMessage && reply.errorMessage().contains(QStringLiteral("busy")))
            reply = call(object, block_interface, QStringLiteral("OpenDevice"), {QStringLiteral("r"), options});
    } else {
        QVariantMap write_options = options;
        write_options.insert(QStringLiteral("flags"), int(O_EXCL));
        reply = call(object, block_interface, QStringLiteral("OpenDevice"), {QStringLiteral("rw"), write_options});
    }
    if (reply.type() == QDBusMessage::ErrorMessage) {
        if (service_missing(QDBusError(reply))) {
            *unavailable = true;
            return -1;
        }
        const QString name = reply.errorName();
        std::string why = reply.errorMessage().toStdString();
        if (name.endsWith(QStringLiteral("NotAuthorizedDismissed"))) {
            kind = open_refusal_e::dismissed;
            why = "the password prompt was cancelled";
        } else if (name.endsWith(QStringLiteral("NotAuthorizedCanObtain"))) {
            // Asking was allowed, so the only reason nobody was asked is that
            // no authentication agent runs in the session.
            kind = open_refusal_e::no_agent;
            why = "no password prompt could be shown (no polkit authentication agent runs in this session)";
        } else if (name.endsWith(QStringLiteral("NotAuthorized"))) {
            kind = open_refusal_e::not_authorized;
            why = "permission was refused: " + why;
        }
        else if (mode == descriptor_mode::read_write && reply.errorMessage().contains(QStringLiteral("busy")))
            why = "for writing: it is in use (a partition of it is mounted or held)";
        *error = "cannot open " + device + ": " + why;
        return -1;
    }
    const int fd = descriptor_of(reply);
    if (fd < 0)
        *error = "cannot open " + device + ": udisks2 gave no descriptor";
    else
        kind = open_refusal_e::none;
    return fd;
}

void install_udisks_access()
{
    set_descriptor_source([](const std::string& device, descriptor_mode mode, std::string* error, bool* unavailable,
                             open_refusal_e* refusal) {
        return open_through_udisks(device, mode, error, unavailable, refusal);
    });
}

}  // namespace platform
