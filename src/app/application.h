// The application object: the standard box for exceptions that reach the
// event loop, so that no exception leaves a slot or an event handler unseen;
// and the end of the session (SIGTERM, SIGHUP, SIGINT) closing the main
// window as the operator would, so its close sequence still runs.
#pragma once

#include <QApplication>

#include <exception>

namespace vorl {

class TApplication : public QApplication {
    Q_OBJECT

public:
    TApplication(int& argc, char** argv);

    bool notify(QObject* receiver, QEvent* event) override;

    // Shows `message` in the exception box (stop icon, OK).
    static void ShowException(const QString& message);
    // The same for an exception caught elsewhere (event handlers of the port
    // and protocol components).
    static void ShowExceptionPtr(std::exception_ptr error);

private:
    void closeOnEndSignals();
};

} // namespace vorl
