// The review window on generated part programs (50 MB and 1 GB unless sizes
// in MB are given), on the offscreen platform. Each size runs in a process of
// its own, so its peak memory is its own. Times are set against reading the
// same file in the same run, and against the targets set for the window:
//   open         window shown and painted with the program's start (usable)
//   at block     the same with a start block in the middle, that line at the top
//   indexed      until every line is known (the window is usable meanwhile)
//   any block    once indexed, the slowest of ten jumps to a block, painted
// The targets: 50 MB at a block in the middle within 0.3 s; 1 GB usable within
// 1 s and at any block within 1 s once indexed; memory 0.1 x file + 50 MB.
//   search       a search that reads to the end of the program
//   memory       peak memory (VmHWM) above the idle program, against the file
// The program is written to the temporary directory and removed afterwards.
#include "viewers/review.h"
#include "viewers/review_form.h"
#include "viewers/text_file_view.h"
#include "viewers/text_search.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr double kMB = 1024.0 * 1024.0;

// Peak resident memory of this process so far, in bytes.
double peakMemory() {
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key) {
        if (key == "VmHWM:") {
            double kb = 0;
            status >> kb;
            return kb * 1024;
        }
        status.ignore(1 << 16, '\n');
    }
    return 0;
}

// Blocks of 30 to 45 characters, like a CAM system's finishing passes.
int writeProgram(const QString& path, int64_t bytes) {
    std::FILE* file = std::fopen(QFile::encodeName(path).constData(), "wb");
    if (file == nullptr) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        std::exit(1);
    }
    uint32_t random = 1;
    auto next = [&random](int range) {
        random = random * 1103515245u + 12345u;
        return int((random >> 8) % unsigned(range));
    };
    int64_t written = 0;
    int lines = 0;
    char line[96];
    while (written < bytes) {
        ++lines;
        const int n = std::snprintf(line, sizeof line, "N%d G01 X%d.%03d Y%d.%03d F%d\r\n",
                                    lines * 10, next(1000) - 500, next(1000), next(1000) - 500,
                                    next(1000), 100 + next(2900));
        std::fwrite(line, 1, size_t(n), file);
        written += n;
    }
    std::fclose(file);
    return lines;
}

double secondsToRead(const QString& path) {
    QElapsedTimer timer;
    timer.start();
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY);
    std::vector<char> buffer(1 << 20);
    while (::read(fd, buffer.data(), buffer.size()) > 0) {
    }
    ::close(fd);
    return timer.nsecsElapsed() / 1e9;
}

// Runs the event loop until `done`, at most 60 s.
template <typename F> void waitFor(F done) {
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < 60000) {
        QApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
    }
}

void row(const char* what, double seconds, double read, double target) {
    std::printf("  %-34s %7.3f s  %6.1f x reading", what, seconds, seconds / read);
    if (target > 0) {
        std::printf("   target %.1f s, ratio %.2f%s", target, seconds / target,
                    seconds <= target ? "" : "  MISSED");
    }
    std::printf("\n");
}

int runOne(int64_t megabytes) {
    QTemporaryDir dir;
    const QString path = dir.filePath("bench.nc");
    const int lines = writeProgram(path, megabytes * 1024 * 1024);
    const double size = double(QFile(path).size());

    // The idle program: the window once shown on a small program.
    const QString small = dir.filePath("small.nc");
    writeProgram(small, 1000);
    {
        int start = 0;
        std::string prefix;
        bool refilter = false;
        vorl::TReviewForm form(vorl::ReviewFields{small.toStdString(), start, prefix, refilter, {}},
                               false);
        form.show();
        form.repaint();
        QApplication::processEvents();
    }
    const double idle = peakMemory();
    const double read = secondsToRead(path);

    // At a start block in the middle: until that line is painted at the top.
    double atBlock = 0;
    {
        int start = lines / 2;
        std::string prefix;
        bool refilter = false;
        QElapsedTimer timer;
        timer.start();
        vorl::TReviewForm form(vorl::ReviewFields{path.toStdString(), start, prefix, refilter, {}},
                               false);
        auto* view = form.findChild<vorl::TextFileView*>("txtReview");
        form.show();
        waitFor([&] { return view->firstVisibleLine() == start - 1; });
        form.repaint();
        atBlock = timer.nsecsElapsed() / 1e9;
    }

    int start = 0;
    std::string prefix;
    bool refilter = false;
    QElapsedTimer timer;
    timer.start();
    vorl::TReviewForm form(vorl::ReviewFields{path.toStdString(), start, prefix, refilter, {}},
                           false);
    auto* view = form.findChild<vorl::TextFileView*>("txtReview");
    form.show();
    form.repaint();
    const double open = timer.nsecsElapsed() / 1e9;
    waitFor([&] { return !view->isLoading(); });
    const double indexed = timer.nsecsElapsed() / 1e9;

    double anyBlock = 0;
    for (int i = 1; i <= 10; ++i) {
        const int line = int(int64_t(lines) * (i * 7 % 10) / 10);
        QElapsedTimer jump;
        jump.start();
        view->setPosition(vorl::TextFileView::Position{line, 0});
        view->scrollToLine(line);
        view->viewport()->repaint();
        anyBlock = std::max(anyBlock, jump.nsecsElapsed() / 1e9);
    }
    view->setPosition(vorl::TextFileView::Position{});
    QElapsedTimer searching;
    searching.start();
    const auto outcome = vorl::findNext(view, QStringLiteral("not in the program"), &form);
    const double search = searching.nsecsElapsed() / 1e9;
    const double memory = peakMemory() - idle;
    const double memoryTarget = 0.1 * size + 50 * kMB;

    std::printf("review window, %lld MB program of %d lines; reading the file: %.3f s\n",
                static_cast<long long>(megabytes), lines, read);
    row("open (usable):", open, read, megabytes >= 1024 ? 1.0 : 0);
    row("at a start block in the middle:", atBlock, read, megabytes <= 50 ? 0.3 : 0);
    row("indexed:", indexed, read, 0);
    row("any block, once indexed:", anyBlock, read, 1.0);
    row(outcome == vorl::SearchOutcome::NotFound ? "search to the end:" : "search (failed):",
        search, read, 0);
    std::printf("  %-34s %7.1f MB = %.3f x file   target %.1f MB (0.1 x file + 50 MB), ratio "
                "%.2f%s\n",
                "peak memory above idle:", memory / kMB, memory / size, memoryTarget / kMB,
                memory / memoryTarget, memory <= memoryTarget ? "" : "  MISSED");
    std::fflush(stdout);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    if (argc == 3 && std::strcmp(argv[1], "--one") == 0) {
        QApplication app(argc, argv);
        return runOne(std::atoll(argv[2]));
    }
    QCoreApplication app(argc, argv);
    QStringList sizes;
    for (int i = 1; i < argc; ++i) {
        sizes << QString::fromLocal8Bit(argv[i]);
    }
    if (sizes.isEmpty()) {
        sizes << QStringLiteral("50") << QStringLiteral("1024");
    }
    int result = 0;
    for (const QString& size : sizes) {
        QProcess one;
        one.setProcessChannelMode(QProcess::ForwardedChannels);
        one.start(QString::fromLocal8Bit(argv[0]), {QStringLiteral("--one"), size});
        one.waitForFinished(-1);
        result |= one.exitCode();
    }
    return result;
}
