#include "dnc/dnc_view.h"

#include <QTimer>

#include <sys/ioctl.h>
#include <unistd.h>

namespace vorl::dnc {
namespace {

constexpr std::chrono::milliseconds kRedrawEvery{250};

} // namespace

DncView::DncView(int fd, bool terminal, bool quiet)
    : fd_(fd), terminal_(terminal), quiet_(quiet), redraw_(new QTimer(this)) {
    redraw_->setSingleShot(true);
    connect(redraw_, &QTimer::timeout, this, [this] { draw(); });
}

void DncView::write(const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd_, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return; // nowhere to show it: the transfer goes on regardless
        }
        done += static_cast<size_t>(n);
    }
}

void DncView::error(const std::string& text) {
    if (text.empty()) {
        return;
    }
    if (onError) {
        onError(text);
        return;
    }
    std::string out;
    if (lineShown_) {
        out = "\r\033[K"; // the progress line comes back at the next draw
        lineShown_ = false;
    }
    write(out + "vorl-dnc: " + text + "\n");
}

void DncView::ShowStatus(const std::string& text) {
    status_ = text;
    if (quiet_ || !started_ || closed_ || text.empty()) {
        return;
    }
    if (terminal_) {
        changed();
    } else if (text != printedStatus_) {
        printedStatus_ = text;
        write(text + "\n");
    }
}

void DncView::ShowPanel(Panel panel, const std::string& text) {
    panels_[panel] = text;
    if (terminal_ && !quiet_) {
        changed();
    }
}

void DncView::ShowProgress(int percent) {
    percent_ = percent;
    if (terminal_ && !quiet_) {
        changed();
    }
}

std::optional<std::string> DncView::AskOpenFile(const FileQuestion&) {
    return std::nullopt; // the program comes from the command line
}

std::optional<std::string> DncView::AskSaveFile(const FileQuestion&) {
    if (receiveTarget.empty()) {
        return std::nullopt;
    }
    return receiveTarget;
}

void DncView::TransferEnded(const TransferOutcome& outcome) {
    if (onEnded) {
        onEnded(outcome);
    }
}

std::string DncView::lastStatusFor(int port) const {
    const std::string tail = " (COM" + std::to_string(port) + ")";
    if (status_.size() > tail.size() &&
        status_.compare(status_.size() - tail.size(), tail.size(), tail) == 0) {
        return status_.substr(0, status_.size() - tail.size());
    }
    return status_;
}

void DncView::WaitingForMachine(bool waiting) {
    if (onWaiting) {
        onWaiting(waiting);
    }
}

std::string DncView::progressLine() const {
    auto panel = [this](Panel p) {
        const auto it = panels_.find(p);
        return it == panels_.end() ? std::string() : it->second;
    };
    std::string line = std::to_string(percent_) + "%";
    const std::string done = panel(Panel::CharsTransferred);
    const std::string total = panel(Panel::CharsTotal);
    if (!done.empty() || !total.empty()) {
        line += "  " + (done.empty() ? std::string("0") : done) +
                (total.empty() ? std::string() : "/" + total) + " chars";
    }
    if (const std::string cps = panel(Panel::CPS); !cps.empty()) {
        line += "  " + cps + " cps";
    }
    if (const std::string left = panel(Panel::RemainingTime); !left.empty()) {
        line += "  " + left + " left";
    }
    if (!status_.empty()) {
        line += "  " + status_;
    }
    return line;
}

// At most one draw per kRedrawEvery; a change within it is drawn when it ends.
void DncView::changed() {
    if (!started_ || closed_) {
        return;
    }
    const auto since = std::chrono::steady_clock::now() - lastDraw_;
    if (since >= kRedrawEvery) {
        draw();
    } else if (!redraw_->isActive()) {
        redraw_->start(std::chrono::ceil<std::chrono::milliseconds>(kRedrawEvery - since));
    }
}

void DncView::draw() {
    redraw_->stop();
    lastDraw_ = std::chrono::steady_clock::now();
    std::string line = progressLine();
    // A line longer than the terminal would wrap, and the next \r would
    // rewrite only its last part.
    winsize size{};
    if (::ioctl(fd_, TIOCGWINSZ, &size) == 0 && size.ws_col > 1 && line.size() >= size.ws_col) {
        line.resize(size.ws_col - 1);
    }
    write("\r" + line + "\033[K");
    lineShown_ = true;
}

void DncView::finish() {
    if (!terminal_ || quiet_ || closed_) {
        closed_ = true;
        return;
    }
    if (redraw_->isActive() || lineShown_) {
        draw();
    }
    if (lineShown_) {
        write("\n");
        lineShown_ = false;
    }
    closed_ = true;
}

} // namespace vorl::dnc
