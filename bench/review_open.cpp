// Opens a generated part program (50 MB unless a size in MB is given) in the
// review window on the offscreen platform and prints the time against reading
// the same file, measured in the same run:
//   open       window shown and painted with the program's start
//   at block   the same with a start block in the middle of the program
//   complete   until every line is in the view (it fills in while shown)
#include "viewers/review.h"
#include "viewers/review_form.h"
#include "viewers/text_file_view.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

int writeProgram(const QString& path, qint64 bytes) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        std::exit(1);
    }
    QRandomGenerator random(1);
    QByteArray chunk;
    qint64 written = 0;
    int lines = 0;
    while (written < bytes) {
        ++lines;
        chunk += "N" + QByteArray::number(lines * 10) + " G01 X" +
                 QByteArray::number(random.bounded(-500000, 500000) / 1000.0, 'f', 3) + " Y" +
                 QByteArray::number(random.bounded(-500000, 500000) / 1000.0, 'f', 3) + " F" +
                 QByteArray::number(random.bounded(100, 3000)) + "\r\n";
        if (chunk.size() > (1 << 20)) {
            written += file.write(chunk);
            chunk.clear();
        }
    }
    file.write(chunk);
    return lines;
}

double secondsToRead(const QString& path) {
    double best = 1e9;
    for (int i = 0; i < 3; ++i) {
        QElapsedTimer timer;
        timer.start();
        QFile file(path);
        file.open(QIODevice::ReadOnly);
        const QByteArray bytes = file.readAll();
        if (bytes.isEmpty()) {
            std::exit(1);
        }
        best = std::min(best, timer.nsecsElapsed() / 1e9);
    }
    return best;
}

struct Opening {
    double shown;
    double complete;
};

Opening openInWindow(const QString& path, int startBlock) {
    std::string prefix;
    bool refilter = false;
    vorl::ReviewFields fields{path.toStdString(), startBlock, prefix, refilter};
    QElapsedTimer timer;
    timer.start();
    vorl::TReviewForm form(fields, false);
    auto* view = form.findChild<vorl::TextFileView*>("txtReview");
    QEventLoop loaded;
    QObject::connect(view, &vorl::TextFileView::loadFinished, &loaded, &QEventLoop::quit);
    form.show();
    form.repaint();
    QApplication::processEvents();
    Opening result{timer.nsecsElapsed() / 1e9, 0};
    if (view->isLoading()) {
        loaded.exec();
    }
    result.complete = timer.nsecsElapsed() / 1e9;
    return result;
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    const qint64 megabytes = argc > 1 ? std::atoll(argv[1]) : 50;
    QTemporaryDir dir;
    const QString path = dir.filePath("bench.nc");
    const int lines = writeProgram(path, megabytes * 1024 * 1024);

    const double read = secondsToRead(path);
    const Opening plain = openInWindow(path, 0);
    const Opening middle = openInWindow(path, lines / 2);

    std::printf("review window, %lld MB program of %d lines; reading the file: %.3f s\n", megabytes,
                lines, read);
    std::printf("open:     %.3f s  ratio %.1f\n", plain.shown, plain.shown / read);
    std::printf("at block: %.3f s  ratio %.1f (start block %d)\n", middle.shown,
                middle.shown / read, lines / 2);
    std::printf("complete: %.3f s  ratio %.1f (filled in while the window is usable)\n",
                plain.complete, plain.complete / read);
    return 0;
}
