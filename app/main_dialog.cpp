#include "app/main_dialog.h"

#include "report/advisory_text.h"
#include "report/correction_text.h"
#include "report/messages.h"
#include "report/requirements.h"

#include "app/platform.h"
#include "base/version.h"
#include "check/settings_text.h"
#include "correct/correction.h"
#include "output/photo_writer.h"
#include "view/photo_view.h"

#include <algorithm>

#include <QApplication>
#include <QContextMenuEvent>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QFrame>
#include <QFutureWatcher>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMimeData>
#include <QPainter>
#include <QPushButton>
#include <QShortcut>
#include <QThreadPool>
#include <QUrl>
#include <QtConcurrent/QtConcurrentRun>

#include <cmath>
#include <type_traits>
#include <utility>

// The pictures are compiled into a static library, whose resources are registered by hand.
static void InitPictureResources() {
    Q_INIT_RESOURCE(resources);
}

namespace vrel {

QRect DialogUnitsToPixels(int x, int y, int width, int height) {
    auto horizontal = [](int du) { return static_cast<int>(std::lround(du * 701.0 / 401.0)); };
    auto vertical = [](int du) { return static_cast<int>(std::lround(du * 488.0 / 277.0)); };
    return QRect(horizontal(x), vertical(y), horizontal(width), vertical(height));
}

ScaledPicture::ScaledPicture(const QString& path) : normal_(path) {
    const qsizetype dot = path.lastIndexOf(u'.');
    sharp_ = QPixmap(path.left(dot) + QStringLiteral("@2x") + path.mid(dot));
    sharp_.setDevicePixelRatio(2); // as the image reader sets it from the name
}

const QPixmap& ScaledPicture::ForRatio(qreal device_pixel_ratio) const {
    // Between 1x and 2x too the sharp drawing made smaller beats the small one made larger.
    return device_pixel_ratio > 1 && !sharp_.isNull() ? sharp_ : normal_;
}

PictureButton::PictureButton(const QString& text, const QString& picture, QWidget* parent)
    : QAbstractButton(parent), picture_(picture) {
    setText(text);
    setAccessibleName(text);
    setCursor(Qt::PointingHandCursor);
}

void PictureButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRect face = isDown() ? rect().translated(1, 1) : rect();
    painter.drawPixmap(face, Picture()); // in logical pixels, whatever the drawing's resolution
    if (isDown()) {
        painter.fillRect(face, QColor(0, 0, 0, 40));
    } else if (hovered_) {
        painter.fillRect(face, QColor(255, 255, 255, 36));
    }
    if (hasFocus()) {
        QPen pen(QColor(255, 255, 255, 200), 1, Qt::DotLine);
        painter.setPen(pen);
        painter.drawRoundedRect(QRectF(rect()).adjusted(5.5, 5.5, -6.5, -6.5), 6, 6);
    }
}

void PictureButton::keyPressEvent(QKeyEvent* event) {
    // Enter presses the button that has the focus, as in a dialog.
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        animateClick();
        return;
    }
    // Alt+Space is the window menu's key, never a click.
    if (event->key() == Qt::Key_Space && (event->modifiers() & Qt::AltModifier)) {
        event->ignore();
        return;
    }
    QAbstractButton::keyPressEvent(event);
}

void PictureButton::enterEvent(QEnterEvent* event) {
    hovered_ = true;
    update();
    QAbstractButton::enterEvent(event);
}

void PictureButton::leaveEvent(QEvent* event) {
    hovered_ = false;
    update();
    QAbstractButton::leaveEvent(event);
}

// What a review on the worker thread came to.
struct MainDialog::Review {
    std::string file; // UTF-8
    ReviewResult result;
    cv::Mat tip; // the tip picture of a rejection
};

struct MainDialog::Corrected {
    Correction correction;
    BackdropColour backdrop;
    std::string refusal; // why the photo was not corrected, in words
};

namespace {

// Runs work on the pool and then show(its result) on the context's thread, unless the context
// is gone by then.
template <typename Work, typename Show>
void RunInBackground(QThreadPool& pool, QObject* context, Work work, Show show) {
    using Result = std::invoke_result_t<Work>;
    auto* watcher = new QFutureWatcher<Result>(context);
    QObject::connect(watcher, &QFutureWatcherBase::finished, context, [watcher, show] {
        const Result result = watcher->result();
        watcher->deleteLater();
        show(result);
    });
    watcher->setFuture(QtConcurrent::run(&pool, std::move(work)));
}

} // namespace

MainDialog::MainDialog(Platform& platform, QWidget* parent)
    : QDialog(parent, Qt::Window | Qt::FramelessWindowHint), platform_(platform),
      cancelled_(std::make_shared<std::atomic<bool>>(false)),
      workers_(std::make_unique<QThreadPool>()) {
    workers_->setMaxThreadCount(1);
    InitPictureResources();
    setWindowIcon(QApplication::windowIcon());
    ready_ = LoadCheckSettings();
    if (!ready_) {
        return;
    }
    CheckFaceDetector();
    BuildWindow();
}

MainDialog::~MainDialog() {
    CancelWork();
    workers_->waitForDone();
    if (busy_) {
        QApplication::restoreOverrideCursor();
    }
}

void MainDialog::BuildWindow() {
    setWindowTitle(QStringLiteral("VrelPictureCheck"));
    setFixedSize(701, 488);
    setAcceptDrops(true);
    background_ = ScaledPicture(QStringLiteral(":/pictures/background.png"));

    // In template order, which is the tab order.
    open_ = new PictureButton(QStringLiteral("打开"), QStringLiteral(":/pictures/open.png"), this);
    open_->setGeometry(DialogUnitsToPixels(269, 95, 113, 37));
    exit_ = new PictureButton(QStringLiteral("退出"), QStringLiteral(":/pictures/exit.png"), this);
    exit_->setGeometry(DialogUnitsToPixels(271, 210, 113, 36));
    exit_->setFocusPolicy(Qt::ClickFocus); // no tab stop
    save_ = new PictureButton(QStringLiteral("保存"), QStringLiteral(":/pictures/save.png"), this);
    save_->setGeometry(DialogUnitsToPixels(271, 154, 112, 35));

    photo_frame_ = new QFrame(this);
    photo_frame_->setGeometry(DialogUnitsToPixels(148, 99, 99, 129));
    photo_frame_->setAutoFillBackground(true);
    QPalette white = photo_frame_->palette();
    white.setColor(QPalette::Window, Qt::white);
    photo_frame_->setPalette(white);

    auto* version =
        new QLabel(QStringLiteral(" 版本号：v") + QString::fromLatin1(vrel::kVersion), this);
    version->setGeometry(DialogUnitsToPixels(340, 263, 55, 11));
    version->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);

    info_ = new QLabel(QStringLiteral("信息提示区"), this);
    info_->setGeometry(DialogUnitsToPixels(148, 232, 99, 12));
    info_->setAlignment(Qt::AlignCenter);

    advice_ = new QLabel(this);
    advice_->setGeometry(DialogUnitsToPixels(146, 244, 103, 15));
    advice_->setAlignment(Qt::AlignCenter);
    // Over the frame's caption, which it hides while it has something to say.
    QPalette amber = advice_->palette();
    amber.setColor(QPalette::WindowText, QColor(0x7a, 0x4a, 0x00));
    amber.setColor(QPalette::Window, Qt::white);
    advice_->setPalette(amber);
    advice_->setAutoFillBackground(true);
    advice_->hide();

    // What the settings check, where the applicant looks before opening a photo.
    QString requirements = QStringLiteral("照片要求：");
    for (const std::string& sentence : RequirementSentences(RequirementsOf(settings_))) {
        requirements += QStringLiteral("\n· ") + QString::fromStdString(sentence);
    }
    open_->setToolTip(requirements);
    photo_frame_->setToolTip(requirements);

    setTabOrder(open_, exit_);
    setTabOrder(exit_, save_);
    open_->setFocus();

    connect(exit_, &QAbstractButton::clicked, this, &MainDialog::Exit);
    connect(open_, &QAbstractButton::clicked, this, &MainDialog::OpenPhoto);
    connect(save_, &QAbstractButton::clicked, this, &MainDialog::SavePassedPhoto);

    // A caption-less window has no system menu of its own: Alt+Space and a right click open
    // one with the About item.
    auto* menu_key = new QShortcut(QKeySequence(Qt::ALT | Qt::Key_Space), this);
    connect(menu_key, &QShortcut::activated, this,
            [this] { ShowWindowMenu(mapToGlobal(QPoint(0, 0))); });
}

bool MainDialog::LoadCheckSettings() {
    const Result<CheckSettings> load =
        LoadSettingsForReview(platform_.AppDirectory() + kSettingsFileName);
    if (load) {
        settings_ = *load;
        ReviewKit kit;
        kit.settings = settings_;
        kit.data_dir = platform_.AppDirectory();
        kit.review = ReviewOptions();
        kit.backdrop = *KitBackdrop(std::nullopt, settings_);
        kit.labels = false;
        tools_ = std::make_shared<ToolsOnWorker>(std::move(kit));
        // Read as written, but likely slips: told once, before the first photo.
        const std::vector<SettingsWarning> warnings =
            SettingsFileWarnings(platform_.AppDirectory() + kSettingsFileName);
        if (!warnings.empty()) {
            platform_.MessageBox(nullptr,
                                 QString::fromStdString(SettingsWarningsMessage(warnings)));
        }
        return true;
    }
    if (load.Err().Code() == ErrorCode::Invalid) {
        const Result<std::string> text =
            ReadSettingsText(platform_.AppDirectory() + kSettingsFileName);
        std::string fault = text ? SettingsFaultText(*text) : std::string();
        // The slips that likely made it so (a decimal comma read as 0) are told with it.
        for (const SettingsWarning& warning :
             text ? SettingsWarnings(*text) : std::vector<SettingsWarning>()) {
            fault += "\n" + SettingsWarningText(warning);
        }
        platform_.MessageBox(nullptr, QString::fromUtf8(kBadSettingsMessage) +
                                          QString::fromStdString(fault));
    } else {
        platform_.MessageBox(nullptr, QString::fromUtf8(kMissingSettingsMessage));
    }
    return false;
}

void MainDialog::CheckFaceDetector() {
    if (!FaceDetector(platform_.AppDirectory() + kCascadeFileName).Loaded()) {
        platform_.MessageBox(nullptr, QString::fromUtf8(kMissingDetectorMessage));
    }
}

void MainDialog::ShowWindowMenu(const QPoint& where) {
    QMenu menu(this);
    QAction* close = menu.addAction(QStringLiteral("关闭(&C)"));
    menu.addSeparator();
    QAction* about = menu.addAction(QString::fromUtf8(kAboutMenuText));
    QAction* chosen = menu.exec(where);
    if (chosen == close) {
        RunWindowCommand(WindowCommand::Close);
    } else if (chosen == about) {
        RunWindowCommand(WindowCommand::About);
    }
}

void MainDialog::RunWindowCommand(WindowCommand command) {
    switch (command) {
    case WindowCommand::About: {
        AboutDialog about(this);
        platform_.RunModal(about);
        // Without a window manager nobody gives the focus back, and the window's keys would go
        // nowhere.
        activateWindow();
        return;
    }
    case WindowCommand::Close:
        reject();
        return;
    }
}

void MainDialog::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawPixmap(rect(), Background());
}

void MainDialog::contextMenuEvent(QContextMenuEvent* event) {
    ShowWindowMenu(event->globalPos());
}

void MainDialog::PreparePhotoView() {
    if (view_ == nullptr) {
        view_ = new PhotoView(photo_frame_);
    }
    view_->setGeometry(photo_frame_->contentsRect());
    photo_frame_->hide();
}

void MainDialog::ShowInPhotoView(const cv::Mat& image) {
    view_->SetImage(image);
    view_->show();
    photo_frame_->show();
}

void MainDialog::OpenPhoto() {
    if (busy_) {
        return;
    }
    result_image_.release();
    PreparePhotoView();
    const auto path = platform_.OpenFileName(this, QString::fromUtf8(kOpenFilter));
    if (!path) {
        return; // cancelled: the info line keeps its text and the frame stays hidden
    }
    ReviewPhotoFile(*path);
}

void MainDialog::SetBusy(bool busy) {
    if (busy == busy_) {
        return;
    }
    busy_ = busy;
    if (busy) {
        QApplication::setOverrideCursor(Qt::WaitCursor);
    } else {
        QApplication::restoreOverrideCursor();
    }
}

void MainDialog::CancelWork() {
    cancelled_->store(true);
}

void MainDialog::ReviewPhotoFile(const QString& path) {
    if (busy_) {
        return;
    }
    SetBusy(true);
    ShowAdvisories({});
    info_->setToolTip(QString());
    photo_folder_ = QFileInfo(path).absolutePath();
    cancelled_ = std::make_shared<std::atomic<bool>>(false);
    // The face detector is read anew for each photo, as the desktop tool always has.
    auto review = [tools = tools_, file = path.toStdString(), cancelled = cancelled_] {
        WorkLimit limit;
        limit.cancelled = cancelled.get();
        PhotoReviewer& reviewer = tools->Get().reviewer;
        Review done{file, {}, {}};
        try {
            done.result = reviewer.Review(file, &limit);
        } catch (const std::exception& e) {
            // Memory ran out: the photo is not passed, nor offered the correction.
            done.result = ReviewResult();
            done.result.verdict = CheckVerdict::PixelSizeOutOfRange;
            done.result.failed = FailedRule(Rule::ReviewFailed);
            done.result.error = {ErrorCode::Invalid, e.what()};
        }
        try {
            if (!IsPass(done.result.verdict)) {
                done.tip = reviewer.LoadTipPicture(done.result.verdict);
            }
        } catch (const std::exception&) {
            done.tip.release(); // the frame stays empty
        }
        return done;
    };
    RunInBackground(*workers_, this, std::move(review),
                    [this, cancelled = cancelled_](const Review& done) {
                        if (!cancelled->load()) {
                            ShowReview(done);
                            if (MayCorrect(done.result) && AskToCorrect()) {
                                Correct(done.file, done.result);
                                return; // busy until the correction is shown
                            }
                        }
                        SetBusy(false);
                        emit Idle();
                    });
}

void MainDialog::ShowReview(const Review& review) {
    const ReviewResult& result = review.result;
    ShowVerdict(result.verdict, result.result_image, review.tip);
    ShowAdvisories(result.measures.advisories.value_or(std::vector<AdvisoryNote>()));
    // A face count other than one, as the face network sees it: the operator may overrule.
    if (result.measures.face_check) {
        const QString text = QString::fromStdString(
            FaceCheckText(*result.measures.face_check, result.measures.face_rects));
        advice_->setText(advice_->fontMetrics().elidedText(text, Qt::ElideRight, advice_->width()));
        advice_->setToolTip(text);
        advice_->show();
    }
}

void MainDialog::ShowCorrected(const Correction& correction, const BackdropColour& backdrop) {
    // The line is narrow: a conversion goes without saying where more was done (the tooltip
    // says it).
    std::vector<CorrectionStep> shown = correction.steps;
    if (shown.size() > 1) {
        shown.erase(std::remove(shown.begin(), shown.end(), CorrectionStep::Convert), shown.end());
    }
    QString line = QStringLiteral("已修正：") + QString::fromStdString(StepsText(shown, backdrop));
    QString all =
        QStringLiteral("已修正：") + QString::fromStdString(StepsText(correction.steps, backdrop));
    for (const std::string& warning : correction.warnings) {
        line += QStringLiteral("；") + QString::fromStdString(CorrectionWarningText(warning));
        all += QStringLiteral("\n") + QString::fromStdString(CorrectionWarningText(warning));
    }
    // The corrected photo's own quality, measured again.
    for (const AdvisoryNote& note :
         correction.review.measures.advisories.value_or(std::vector<AdvisoryNote>())) {
        const QString text = QString::fromStdString(AdvisoryText(note));
        line += QStringLiteral("；") + text;
        all += QStringLiteral("\n修正后的照片：") + text;
    }
    advice_->setText(advice_->fontMetrics().elidedText(line, Qt::ElideRight, advice_->width()));
    advice_->setToolTip(all);
    advice_->show();
}

void MainDialog::ShowAdvisories(const std::vector<AdvisoryNote>& notes) {
    if (notes.empty()) {
        advice_->clear();
        advice_->setToolTip(QString());
        advice_->hide();
        return;
    }
    QString first =
        QStringLiteral("画质提示：") + QString::fromStdString(AdvisoryText(notes.front()));
    QString all;
    for (const AdvisoryNote& note : notes) {
        all += (all.isEmpty() ? QString() : QStringLiteral("\n")) +
               QString::fromStdString(AdvisoryText(note));
    }
    // The line is narrow: it shows what fits, and the tooltip all of it.
    advice_->setText(advice_->fontMetrics().elidedText(first, Qt::ElideRight, advice_->width()));
    advice_->setToolTip(all);
    advice_->show();
}

void MainDialog::ShowVerdict(CheckVerdict verdict, const cv::Mat& kept, const cv::Mat& tip) {
    info_->setText(QString::fromStdString(InfoText(verdict)));
    if (IsPass(verdict)) {
        work_image_.release();
        result_image_ = kept;
        ShowInPhotoView(result_image_);
    } else {
        work_image_ = tip;
        ShowInPhotoView(work_image_);
    }
}

bool MainDialog::AskToCorrect() {
    QApplication::restoreOverrideCursor(); // the question waits for the operator
    const bool take = platform_.AskYesNo(this, QString::fromUtf8(kOfferCorrectionBefore) +
                                                   QString::fromUtf8(kCorrectionCanDo) +
                                                   QString::fromUtf8(kOfferCorrectionAfter));
    QApplication::setOverrideCursor(Qt::WaitCursor);
    return take && !cancelled_->load();
}

void MainDialog::Correct(const std::string& file, const ReviewResult& result) {
    auto correct = [tools = tools_, file, result, cancelled = cancelled_] {
        WorkLimit limit;
        limit.cancelled = cancelled.get();
        Corrected done;
        try {
            WorkerTools& made = tools->Get();
            PhotoCorrector& corrector = *made.corrector;
            done.correction = corrector.CorrectFile(file, result, &limit);
            done.backdrop = corrector.Backdrop();
            if (done.correction.status != CorrectionStatus::Corrected) {
                done.refusal = CorrectionReason(done.correction, made.settings);
            }
        } catch (const std::exception&) {
            done.correction = Correction();
            done.refusal = kCorrectionFailedMessage;
        }
        return done;
    };
    RunInBackground(*workers_, this, std::move(correct),
                    [this, cancelled = cancelled_](const Corrected& done) {
                        SetBusy(false);
                        if (!cancelled->load()) {
                            ShowCorrection(done);
                        }
                        emit Idle();
                    });
}

void MainDialog::ShowCorrection(const Corrected& corrected) {
    const Correction& correction = corrected.correction;
    if (correction.status != CorrectionStatus::Corrected) {
        // The tip picture stays; the reason names everything in the way.
        platform_.MessageBox(this, QString::fromStdString(corrected.refusal));
        return;
    }
    info_->setText(QString::fromUtf8(kCorrectedText));
    ShowAdvisories({}); // they were the original's
    ShowCorrected(correction, corrected.backdrop);
    work_image_.release();
    result_image_ = correction.photo;
    ShowInPhotoView(result_image_);
}

void MainDialog::keyPressEvent(QKeyEvent* event) {
    // Alt+Space reaches the window itself when no shortcut took it (the window was not active).
    if (event->key() == Qt::Key_Space && (event->modifiers() & Qt::AltModifier)) {
        ShowWindowMenu(mapToGlobal(QPoint(0, 0)));
        return;
    }
    QDialog::keyPressEvent(event);
}

void MainDialog::SavePassedPhoto() {
    if (result_image_.empty()) {
        return;
    }
    // Beside the photo it was made from, where the applicant will look for it.
    const QString initial = photo_folder_.isEmpty()
                                ? QString::fromUtf8(kSaveInitialName)
                                : QDir(photo_folder_).filePath(QString::fromUtf8(kSaveInitialName));
    const auto path = platform_.SaveFileName(this, initial, QStringLiteral("jpg"),
                                             QString::fromUtf8(kSaveFilter));
    if (!path) {
        return;
    }
    const SaveOutcome outcome = SavePassedPhotoFile(result_image_, path->toStdString(), settings_);
    if (outcome.status != SaveStatus::Saved) {
        platform_.MessageBox(this, QString::fromStdString(SaveMessage(outcome)));
        return;
    }
    // Where it went: the whole path in the tool tip, as much as fits on the line.
    const QString where = QDir::toNativeSeparators(*path);
    info_->setToolTip(where);
    info_->setText(info_->fontMetrics().elidedText(QStringLiteral("已保存到 ") + where,
                                                   Qt::ElideMiddle, info_->width()));
}

void MainDialog::Exit() {
    reject();
}

void MainDialog::done(int result) {
    // However the window closes (Exit, Esc, the window menu), the work in hand is dropped.
    CancelWork();
    QDialog::done(result);
}

void MainDialog::dragEnterEvent(QDragEnterEvent* event) {
    const QList<QUrl> urls = event->mimeData()->urls();
    if (!busy_ && urls.size() == 1 && urls.front().isLocalFile()) {
        event->acceptProposedAction();
    }
}

void MainDialog::dropEvent(QDropEvent* event) {
    const QList<QUrl> urls = event->mimeData()->urls();
    if (busy_ || urls.size() != 1 || !urls.front().isLocalFile()) {
        return;
    }
    event->acceptProposedAction();
    result_image_.release();
    PreparePhotoView();
    ReviewPhotoFile(urls.front().toLocalFile());
}

AboutDialog::AboutDialog(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("关于 VrelPictureCheck"));
    const QRect box = DialogUnitsToPixels(0, 0, 170, 62);
    setFixedSize(box.width(), box.height());

    auto* icon = new QLabel(this);
    icon->setPixmap(
        ScaledPicture(QStringLiteral(":/pictures/icon32.png")).ForRatio(devicePixelRatioF()));
    icon->setGeometry(DialogUnitsToPixels(14, 14, 20, 20));
    auto* name = new QLabel(QStringLiteral("VrelPictureCheck，5.0 版"), this);
    name->setTextFormat(Qt::PlainText);
    name->setGeometry(DialogUnitsToPixels(42, 12, 120, 10));
    auto* second = new QLabel(QStringLiteral("报名照片审核工具"), this);
    second->setGeometry(DialogUnitsToPixels(42, 24, 120, 10));
    auto* ok = new QPushButton(QStringLiteral("确定"), this);
    ok->setGeometry(DialogUnitsToPixels(113, 41, 50, 14));
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}

} // namespace vrel
