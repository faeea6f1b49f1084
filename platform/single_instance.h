// One running copy of the window per user. The lock and the socket a second
// start talks to live in the user's runtime folder, so another user's copy
// never blocks this one; a lock left by a killed copy is taken over.
#pragma once

#include <QLocalServer>
#include <QLockFile>
#include <QObject>
#include <QStringList>
#include <memory>

namespace platform {

class single_instance_c : public QObject {
    Q_OBJECT
public:
    // folder: where the lock and the socket go (the runtime folder when empty).
    explicit single_instance_c(const QString& folder = {}, QObject* parent = nullptr);
    ~single_instance_c() override;

    // Takes the lock. False when a copy of this user's already holds it.
    bool take();
    // For the copy that holds the lock: listens for later starts (after the
    // application object exists); each hand-over comes as images_handed.
    bool listen();
    // For a later start: hands the disk images it was given (absolute paths)
    // to the running copy. True when that copy took them.
    bool hand_over(const QStringList& images, int timeout_ms = 3000) const;

    QString lock_path() const;
    QString socket_path() const;

signals:
    void images_handed(const QStringList& images);

private:
    void read_from(class QLocalSocket* socket);

    QString folder_;
    std::unique_ptr<QLockFile> lock_;
    QLocalServer server_;
};

}  // namespace platform
