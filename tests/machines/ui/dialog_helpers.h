// Helpers of the dialog tests: a machine table to edit and a way to answer the
// modal windows a click opens.
#pragma once

#include "machines/machine_config.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QTimer>
#include <QWidget>
#include <gtest/gtest.h>

#include <functional>

namespace vorl::test {

// Terminal entry and two machines with distinct settings.
inline MachineList sampleMachines() {
    MachineList list;
    list[0].capability = 'T';
    list[0].port = 1;
    list[0].baudRate = 4800;
    list[0].dataBits = 8;
    list[0].stopBits = 1;
    for (int i = 1; i <= 2; ++i) {
        MachineConfig& m = list[i];
        m.capability = i == 1 ? 'B' : 'D';
        m.name = i == 1 ? "Mill" : "Lathe";
        m.downloadExtension = ".nc";
        m.uploadExtension = ".tap";
        m.downloadDirectory = "/srv/nc/" + m.name;
        m.port = static_cast<int16_t>(i + 1);
        m.baudRate = i == 1 ? 9600 : 4800;
        m.dataBits = 7;
        m.stopBits = 2;
        m.parity = 2;
        m.handshake = 1;
        m.blockDelay = 250 * i;
        m.eobMode = 1;
        m.triggers[DownloadStart] = "%\r\n";
        m.downloadFilterChars = "\x12";
    }
    list.count = 3;
    list.selected = 1;
    return list;
}

// Calls `handle` with the next modal window once it is open; gives up (and
// fails the test) after five seconds.
inline void onNextModal(std::function<void(QWidget*)> handle, QWidget* notThis = nullptr) {
    auto* timer = new QTimer;
    const QDeadlineTimer deadline(5000);
    timer->setInterval(5);
    QObject::connect(timer, &QTimer::timeout, [timer, deadline, handle, notThis] {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal != nullptr && modal != notThis && modal->isVisible()) {
            timer->stop();
            timer->deleteLater();
            handle(modal);
        } else if (deadline.hasExpired()) {
            timer->stop();
            timer->deleteLater();
            ADD_FAILURE() << "no modal window opened";
        }
    });
    timer->start();
}

} // namespace vorl::test
