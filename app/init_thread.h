// The start-up thread: reads the device lists and starts the disk layer while
// the window is already on screen.
#pragma once

#include <QThread>

class init_c : public QThread {
    Q_OBJECT
public:
    using QThread::QThread;

signals:
    // Emitted once, after startup_done is set; the lists are then complete
    // (or, when reading them failed, as far as they got).
    void init_finished();

protected:
    void run() override;
};
