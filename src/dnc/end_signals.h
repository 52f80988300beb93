// Ctrl-C (SIGINT) and SIGTERM as events of the Qt event loop: the handler only
// writes the signal's number into a pipe, and a socket notifier reads it on
// the thread that made the EndSignals. A second Ctrl-C ends the process at
// once (status 130), even while that thread is busy.
#pragma once

#include <QObject>

namespace vorl::dnc {

class EndSignals : public QObject {
    Q_OBJECT

public:
    explicit EndSignals(QObject* parent = nullptr);
    ~EndSignals() override;

Q_SIGNALS:
    void arrived(int signal);
};

} // namespace vorl::dnc
