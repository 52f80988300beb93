#include "viewers/toolpath_panel.h"

#include "restart/toolpath_info.h"
#include "viewers/toolpath_view.h"
#include "viewers/value_field.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <system_error>

namespace vorl {
namespace {

using Clock = std::chrono::steady_clock;
// How often the thread reading the program hands over what it has read.
constexpr auto kHandOver = std::chrono::milliseconds(150);
constexpr size_t kPartSegments = 65536;

// The segments and holes of `sofar` with its numbers as they stand; `sofar`
// keeps its numbers and gives up the segments and holes.
Toolpath takePart(Toolpath& sofar) {
    std::deque<PathSegment> segments = std::move(sofar.segments);
    std::deque<PathHole> holes = std::move(sofar.holes);
    sofar.segments.clear();
    sofar.holes.clear();
    Toolpath part = sofar;
    part.segments = std::move(segments);
    part.holes = std::move(holes);
    return part;
}

// Past this many segments (32 MB), what the screen cannot show at Fit is
// merged into its neighbours.
constexpr size_t kSegmentBudget = 1000000;

// `part`'s segments and holes after `path`'s, and its numbers for `path`'s.
// Returns how many segments were merged away.
size_t appendPart(Toolpath& path, Toolpath& part, size_t& budget) {
    std::deque<PathSegment> segments = std::move(path.segments);
    std::deque<PathHole> holes = std::move(path.holes);
    segments.insert(segments.end(), part.segments.begin(), part.segments.end());
    holes.insert(holes.end(), part.holes.begin(), part.holes.end());
    part.segments.clear();
    part.holes.clear();
    path = std::move(part);
    path.segments = std::move(segments);
    path.holes = std::move(holes);
    if (path.segments.size() <= budget) {
        return 0;
    }
    // A pixel of a large screen with the whole path on it.
    const PathExtents& e = path.extents;
    const double pixel =
        std::hypot(e.max[0] - e.min[0], e.max[1] - e.min[1], e.max[2] - e.min[2]) / 2000;
    const size_t before = path.segments.size();
    MergeShortSegments(path.segments, pixel);
    path.segments.shrink_to_fit();
    // What is left is detail the screen shows: kept, and merged again only
    // when as much again has come.
    budget = std::max(budget, path.segments.size() * 2);
    return before - path.segments.size();
}

} // namespace

ToolpathPanel::ToolpathPanel(QWidget* parent) : QWidget(parent) {
    lblView = new QLabel(QStringLiteral("&View:"), this);
    cboView = new QComboBox(this);
    cboView->setObjectName(QStringLiteral("cboView"));
    cboView->addItems({QStringLiteral("Top"), QStringLiteral("Front"), QStringLiteral("Side"),
                       QStringLiteral("Isometric")});
    lblView->setBuddy(cboView);
    cboView->setAccessibleName(QStringLiteral("View"));
    cmdFit = new QPushButton(QStringLiteral("Fit"), this);
    cmdFit->setObjectName(QStringLiteral("cmdFit"));
    cmdFit->setToolTip(QStringLiteral("The whole path in the window (Home)"));
    tpvPath = new ToolpathView(this);
    tpvPath->setObjectName(QStringLiteral("tpvPath"));
    lblLegend = new QLabel(this);
    lblLegend->setObjectName(QStringLiteral("lblLegend"));
    lblLegend->setWordWrap(true);
    lblLegend->setTextFormat(Qt::RichText);
    lblSummary = new QLabel(QStringLiteral("Reading the program..."), this);
    lblSummary->setObjectName(QStringLiteral("lblSummary"));
    lblSummary->setWordWrap(true);
    lblSummary->setTextInteractionFlags(Qt::TextSelectableByMouse);
    lblHighlightWord = new QLabel(QStringLiteral("Highlighted:"), this);
    lblHighlight = new QLabel(this);
    lblHighlight->setObjectName(QStringLiteral("lblHighlight"));
    lblHighlight->setWordWrap(true);
    bindValueField(lblHighlight, lblHighlightWord);
    prgLoad = new QProgressBar(this);
    prgLoad->setObjectName(QStringLiteral("prgLoad"));
    prgLoad->setRange(0, 1000);
    prgLoad->setAccessibleName(QStringLiteral("Reading the program"));
    cmdCancel = new QPushButton(QStringLiteral("Cancel"), this);
    cmdCancel->setObjectName(QStringLiteral("cmdCancel"));

    auto* top = new QHBoxLayout;
    top->addWidget(lblView);
    top->addWidget(cboView);
    top->addStretch(1);
    top->addWidget(cmdFit);
    auto* highlight = new QHBoxLayout;
    highlight->addWidget(lblHighlightWord);
    highlight->addWidget(lblHighlight, 1);
    auto* progress = new QHBoxLayout;
    progress->addWidget(prgLoad, 1);
    progress->addWidget(cmdCancel);
    auto* rows = new QVBoxLayout(this);
    rows->setContentsMargins(0, 0, 0, 0);
    rows->addLayout(top);
    rows->addWidget(tpvPath, 1);
    rows->addWidget(lblLegend);
    rows->addWidget(lblSummary);
    rows->addLayout(highlight);
    rows->addLayout(progress);
    prgLoad->hide();
    cmdCancel->hide();

    connect(cboView, &QComboBox::currentIndexChanged, this,
            [this](int index) { tpvPath->setView(static_cast<PathView>(index)); });
    connect(cmdFit, &QPushButton::clicked, tpvPath, &ToolpathView::fitPath);
    connect(cmdCancel, &QPushButton::clicked, this, [this] {
        cancel_ = true;
        cmdCancel->setEnabled(false);
    });
    connect(tpvPath, &ToolpathView::blockClicked, this, &ToolpathPanel::blockClicked);
    connect(tpvPath, &ToolpathView::highlightChanged, this,
            [this] { showValue(lblHighlight, tpvPath->highlightText()); });
}

ToolpathPanel::~ToolpathPanel() {
    stopWorker();
}

void ToolpathPanel::stopWorker() {
    if (worker_.joinable()) {
        cancel_ = true;
        // A thread waiting for the window to take its part goes on, and stops.
        partsQueued_ = 0;
        partsQueued_.notify_all();
        worker_.join();
    }
}

void ToolpathPanel::load(const std::string& fileName, const ToolpathOptions& options) {
    stopWorker();
    cancel_ = false;
    finished_ = false;
    lathe_ = options.dialect == ControlDialect::Lathe;
    if (lathe_) {
        // A lathe's path lies in X and Z.
        cboView->setCurrentIndex(static_cast<int>(PathView::Front));
    }
    std::error_code failed;
    const uint64_t size = std::filesystem::file_size(fileName, failed);
    prgLoad->setValue(0);
    prgLoad->show();
    cmdCancel->setEnabled(true);
    cmdCancel->show();
    lblSummary->setText(QStringLiteral("Reading the program..."));
    path_ = std::make_shared<Toolpath>();
    budget_ = kSegmentBudget;
    partsQueued_ = 0;
    // What a thread of an earlier load still had on its way is dropped.
    const int generation = ++generation_;
    tpvPath->setPath(path_, lathe_);
    // The thread hands over what it has read every so often and keeps none of
    // it: the segments are held once, by the window.
    worker_ = std::thread([this, fileName, options, size, generation] {
        Toolpath read;
        std::string error;
        Clock::time_point handed{}; // the first piece at once: a first picture soon
        const bool ok = BuildToolpath(
            fileName, options, read, error,
            [&](uint64_t done, Toolpath& sofar) {
                // A part at least every so often, and no bigger than the
                // window takes in one go; while the window has not taken the
                // last part the thread waits (the path is never held twice,
                // once on its way and once drawn).
                const auto now = Clock::now();
                if (now - handed < kHandOver && sofar.segments.size() < kPartSegments) {
                    return;
                }
                partsQueued_.wait(1);
                if (cancel_.load()) {
                    return;
                }
                partsQueued_ = 1;
                handed = now;
                const int permille = size == 0 ? 1000 : static_cast<int>(done * 1000 / size);
                auto part = std::make_shared<Toolpath>(takePart(sofar));
                QMetaObject::invokeMethod(
                    this,
                    [this, part, permille, generation] {
                        if (generation == generation_) {
                            grow(*part, permille);
                        }
                    },
                    Qt::QueuedConnection);
            },
            &cancel_);
        const bool cancelled = cancel_.load();
        auto rest = std::make_shared<Toolpath>(std::move(read));
        QMetaObject::invokeMethod(
            this,
            [this, rest, error = QString::fromStdString(ok ? std::string() : error), cancelled,
             generation] {
                if (generation == generation_) {
                    finish(*rest, error, cancelled);
                }
            },
            Qt::QueuedConnection);
    });
}

void ToolpathPanel::grow(Toolpath& part, int permille) {
    partsQueued_ = 0;
    partsQueued_.notify_one();
    prgLoad->setValue(permille);
    const size_t merged = appendPart(*path_, part, budget_);
    showLegend(*path_);
    tpvPath->pathGrew(merged);
}

void ToolpathPanel::finish(Toolpath& rest, const QString& error, bool cancelled) {
    finished_ = true;
    worker_.join();
    prgLoad->hide();
    cmdCancel->hide();
    if (!error.isEmpty()) {
        lblSummary->setText(error);
        tpvPath->setAccessibleDescription(error);
        Q_EMIT loaded();
        return;
    }
    const size_t merged = appendPart(*path_, rest, budget_);
    QString summary = QString::fromStdString(ToolpathDescription(*path_));
    if (cancelled) {
        summary = QStringLiteral("Cancelled after block %1: the path shows the blocks read. ")
                      .arg(path_->blocks) +
                  summary;
    }
    lblSummary->setText(summary);
    tpvPath->setAccessibleDescription(summary);
    showLegend(*path_);
    tpvPath->pathGrew(merged);
    tpvPath->fitIfLoose();
    Q_EMIT loaded();
}

void ToolpathPanel::showLegend(const Toolpath& path) {
    QString legend;
    for (size_t i = 0; i < path.tools.size(); ++i) {
        const QString name = path.tools[i].word.empty()
                                 ? QStringLiteral("no tool")
                                 : QString::fromStdString(path.tools[i].word).toHtmlEscaped();
        legend += QStringLiteral("<span style=\"color:%1\">&#9632;</span>&nbsp;%2 ")
                      .arg(ToolpathView::toolColour(static_cast<int>(i)).name(), name);
    }
    legend += QStringLiteral(" &nbsp;solid: feed, dashed: rapid, ring: hole");
    lblLegend->setText(legend);
    lblLegend->setAccessibleName(QStringLiteral("Tools"));
    QStringList tools;
    for (const PathTool& t : path.tools) {
        tools << (t.word.empty() ? QStringLiteral("no tool") : QString::fromStdString(t.word));
    }
    lblLegend->setAccessibleDescription(tools.join(QStringLiteral(", ")));
}

} // namespace vorl
