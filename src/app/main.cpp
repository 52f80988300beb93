// Process entry: initialises the application and shows the main window.
#include <QApplication>
#include <QMainWindow>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName("VORL II");
    QMainWindow window;
    window.setWindowTitle("VORL II");
    window.show();
    return QApplication::exec();
}
