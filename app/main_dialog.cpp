#include "app/main_dialog.h"

#include "report/advisory_text.h"
#include "report/correction_text.h"

#include "app/platform.h"
#include "correct/correction.h"
#include "output/photo_writer.h"
#include "view/photo_view.h"

#include <algorithm>

#include <QApplication>
#include <QContextMenuEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMimeData>
#include <QPainter>
#include <QPushButton>
#include <QShortcut>
#include <QUrl>

#include <cmath>

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

CVrelPictureCheckDlg::CVrelPictureCheckDlg(Platform& platform, QWidget* parent)
    : QDialog(parent, Qt::Window | Qt::FramelessWindowHint), platform_(platform) {
    InitPictureResources();
    setWindowIcon(QApplication::windowIcon());
    LoadCheckSettings();
    CheckFaceDetector();

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

    auto* version = new QLabel(QStringLiteral(" 版本号：v2.5.2"), this);
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

    setTabOrder(open_, exit_);
    setTabOrder(exit_, save_);
    open_->setFocus();

    connect(exit_, &QAbstractButton::clicked, this, &CVrelPictureCheckDlg::ExitApplication);
    connect(open_, &QAbstractButton::clicked, this, &CVrelPictureCheckDlg::OpenAndCheckPhoto);
    connect(save_, &QAbstractButton::clicked, this, &CVrelPictureCheckDlg::SavePassedPhoto);

    // A caption-less window has no system menu of its own: Alt+Space and a right click open
    // one with the About item.
    auto* menu_key = new QShortcut(QKeySequence(Qt::ALT | Qt::Key_Space), this);
    connect(menu_key, &QShortcut::activated, this,
            [this] { ShowSystemMenu(mapToGlobal(QPoint(0, 0))); });
}

CVrelPictureCheckDlg::~CVrelPictureCheckDlg() = default;

void CVrelPictureCheckDlg::LoadCheckSettings() {
    const SettingsLoad load = LoadSettingsForReview(platform_.AppDirectory() + kSettingsFileName);
    switch (load.fault) {
    case SettingsFault::None:
        settings_ = load.settings;
        return;
    case SettingsFault::Missing:
    case SettingsFault::Unreadable:
        platform_.MessageBox(nullptr, QString::fromUtf8(kMissingSettingsMessage));
        break;
    case SettingsFault::NoSection:
    case SettingsFault::Invalid:
        platform_.MessageBox(nullptr, QString::fromUtf8(kBadSettingsMessage) +
                                          QString::fromStdString(load.detail));
        break;
    }
    platform_.ExitProcess(0);
}

void CVrelPictureCheckDlg::CheckFaceDetector() {
    if (!FaceDetector(platform_.AppDirectory() + kCascadeFileName).Loaded()) {
        platform_.MessageBox(nullptr, QString::fromUtf8(kMissingDetectorMessage));
    }
}

void CVrelPictureCheckDlg::ShowSystemMenu(const QPoint& where) {
    QMenu menu(this);
    QAction* close = menu.addAction(QStringLiteral("关闭(&C)"));
    close->setData(kSysCommandClose);
    menu.addSeparator();
    QAction* about = menu.addAction(QString::fromUtf8(kAboutMenuText));
    about->setData(kSysMenuAbout);
    if (QAction* chosen = menu.exec(where)) {
        OnSysCommand(chosen->data().toInt());
    }
}

void CVrelPictureCheckDlg::OnSysCommand(int command) {
    if ((command & 0xFFF0) == kSysMenuAbout) {
        CAboutDlg about(this);
        platform_.RunModal(about);
        // Without a window manager nobody gives the focus back, and the window's keys would go
        // nowhere.
        activateWindow();
        return;
    }
    // What the window would do with the command by itself.
    if ((command & 0xFFF0) == kSysCommandClose) {
        reject();
    }
}

void CVrelPictureCheckDlg::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawPixmap(rect(), Background());
}

void CVrelPictureCheckDlg::contextMenuEvent(QContextMenuEvent* event) {
    ShowSystemMenu(event->globalPos());
}

void CVrelPictureCheckDlg::PreparePhotoView() {
    if (view_ == nullptr) {
        view_ = new PhotoView(photo_frame_);
    }
    view_->setGeometry(photo_frame_->contentsRect());
    photo_frame_->hide();
}

void CVrelPictureCheckDlg::ShowInPhotoView(const cv::Mat& image) {
    view_->SetImage(image);
    view_->show();
    photo_frame_->show();
}

void CVrelPictureCheckDlg::OpenAndCheckPhoto() {
    result_image_.release();
    PreparePhotoView();
    const auto path = platform_.OpenFileName(this, QString::fromUtf8(kOpenFilter));
    if (!path) {
        return; // cancelled: the info line keeps its text and the frame stays hidden
    }
    CheckPhotoFile(*path);
}

namespace {

// The wait cursor for as long as the review runs, however it ends.
class WaitCursor {
public:
    WaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~WaitCursor() { QApplication::restoreOverrideCursor(); }
    WaitCursor(const WaitCursor&) = delete;
    WaitCursor& operator=(const WaitCursor&) = delete;
};

} // namespace

void CVrelPictureCheckDlg::CheckPhotoFile(const QString& path) {
    WaitCursor wait;
    ShowAdvisories({});
    // One review per click, with the face detector read anew, as the desktop tool always has.
    PhotoReviewer reviewer(settings_, platform_.AppDirectory());
    try {
        const std::string file = QFile::encodeName(path).toStdString();
        const ReviewResult result = reviewer.Review(file);
        ShowVerdict(reviewer, result.verdict, result.result_image);
        ShowAdvisories(result.measures.advisories.value_or(std::vector<AdvisoryNote>()));
        if (!IsPass(result.verdict)) {
            OfferCorrection(file, result);
        }
    } catch (const std::exception&) {
        // Memory ran out while showing the verdict: the photo is not passed.
        result_image_.release();
        work_image_.release();
        ShowVerdict(reviewer, CheckVerdict::PixelSizeOutOfRange, cv::Mat());
    }
}

void CVrelPictureCheckDlg::ShowCorrected(const Correction& correction,
                                         const BackdropColour& backdrop) {
    // The line is narrow: a conversion goes without saying where more was done (the question
    // before, and the tooltip, say it).
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
    advice_->setText(advice_->fontMetrics().elidedText(line, Qt::ElideRight, advice_->width()));
    advice_->setToolTip(all);
    advice_->show();
}

void CVrelPictureCheckDlg::ShowAdvisories(const std::vector<AdvisoryNote>& notes) {
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

void CVrelPictureCheckDlg::ShowVerdict(const PhotoReviewer& reviewer, CheckVerdict verdict,
                                       const cv::Mat& kept) {
    info_->setText(QString::fromStdString(InfoText(verdict)));
    if (IsPass(verdict)) {
        work_image_ = kept;
        ShowInPhotoView(work_image_);
        result_image_ = work_image_;
        work_image_.release();
    } else {
        work_image_ = reviewer.LoadTipPicture(verdict);
        ShowInPhotoView(work_image_);
    }
}

void CVrelPictureCheckDlg::OfferCorrection(const std::string& path, const ReviewResult& result) {
    PhotoCorrector corrector(settings_, platform_.AppDirectory());
    const Correction correction = corrector.CorrectFile(path, result);
    if (correction.status != CorrectionStatus::Corrected) {
        return; // as any rejection: the tip picture stays
    }
    QApplication::restoreOverrideCursor(); // the question waits for the operator
    const QString what = QString::fromStdString(StepsText(correction.steps, corrector.Backdrop()));
    const bool take = platform_.AskYesNo(this, QString::fromUtf8(kOfferCorrectionBefore) + what +
                                                   QString::fromUtf8(kOfferCorrectionAfter));
    QApplication::setOverrideCursor(Qt::WaitCursor);
    if (!take) {
        return;
    }
    info_->setText(QString::fromUtf8(kCorrectedText));
    ShowAdvisories({}); // they were the original's
    ShowCorrected(correction, corrector.Backdrop());
    work_image_ = correction.photo;
    ShowInPhotoView(work_image_);
    result_image_ = work_image_;
    work_image_.release();
}

void CVrelPictureCheckDlg::keyPressEvent(QKeyEvent* event) {
    // Alt+Space reaches the window itself when no shortcut took it (the window was not active).
    if (event->key() == Qt::Key_Space && (event->modifiers() & Qt::AltModifier)) {
        ShowSystemMenu(mapToGlobal(QPoint(0, 0)));
        return;
    }
    QDialog::keyPressEvent(event);
}

void CVrelPictureCheckDlg::SavePassedPhoto() {
    if (result_image_.empty()) {
        return;
    }
    const auto path = platform_.SaveFileName(this, QString::fromUtf8(kSaveInitialName),
                                             QStringLiteral("jpg"), QString::fromUtf8(kSaveFilter));
    if (!path) {
        return;
    }
    const SaveOutcome outcome =
        SavePassedPhotoFile(result_image_, QFile::encodeName(*path).toStdString(), settings_);
    if (outcome.status != SaveStatus::Saved) {
        platform_.MessageBox(this, QString::fromStdString(outcome.Message()));
    }
}

void CVrelPictureCheckDlg::ExitApplication() {
    platform_.ExitProcess(0);
}

void CVrelPictureCheckDlg::dragEnterEvent(QDragEnterEvent* event) {
    const QList<QUrl> urls = event->mimeData()->urls();
    if (urls.size() == 1 && urls.front().isLocalFile()) {
        event->acceptProposedAction();
    }
}

void CVrelPictureCheckDlg::dropEvent(QDropEvent* event) {
    const QList<QUrl> urls = event->mimeData()->urls();
    if (urls.size() != 1 || !urls.front().isLocalFile()) {
        return;
    }
    event->acceptProposedAction();
    result_image_.release();
    PreparePhotoView();
    CheckPhotoFile(urls.front().toLocalFile());
}

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
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
