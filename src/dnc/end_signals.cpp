#include "dnc/end_signals.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace vorl::dnc {
namespace {

int gPipe[2] = {-1, -1};
volatile sig_atomic_t gInterrupts = 0;

void onSignal(int signal) {
    if (signal == SIGINT) {
        gInterrupts = gInterrupts + 1;
        if (gInterrupts >= 2) {
            ::_exit(130);
        }
    }
    const int saved = errno;
    const unsigned char number = static_cast<unsigned char>(signal);
    [[maybe_unused]] const ssize_t n = ::write(gPipe[1], &number, 1);
    errno = saved;
}

} // namespace

EndSignals::EndSignals(QObject* parent) : QObject(parent) {
    if (gPipe[0] < 0 && ::pipe2(gPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        return;
    }
    auto* notifier = new QSocketNotifier(gPipe[0], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, [this] {
        unsigned char numbers[16];
        ssize_t n;
        while ((n = ::read(gPipe[0], numbers, sizeof numbers)) > 0) {
            for (ssize_t i = 0; i < n; ++i) {
                Q_EMIT arrived(numbers[i]);
            }
        }
    });
    struct sigaction action {};
    action.sa_handler = &onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
}

EndSignals::~EndSignals() {
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
}

} // namespace vorl::dnc
