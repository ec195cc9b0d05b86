#pragma once

#include "check/check_run.h"
#include "check/settings.h"
#include "correct/correction.h"
#include "setup/review_kit.h"

#include <QAbstractButton>
#include <QDialog>
#include <QPixmap>
#include <QRect>

#include <opencv2/core.hpp>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

class QFrame;
class QLabel;
class QThreadPool;

namespace vrel {

class Platform;
class PhotoView;

// What the window menu does.
enum class WindowCommand {
    Close,
    About,
};
inline constexpr const char* kAboutMenuText = "关于 VrelPictureCheck(&A)...";
// The JPEG filter first, as the tool has always had it; then every format the correction reads.
inline constexpr const char* kOpenFilter = "JPEG Files (*.jpg *.jpeg *.jfif);;所有照片 (*.jpg "
                                           "*.jpeg *.jfif *.png *.webp *.bmp *.tif *.tiff)";
// The question after a rejection the correction may mend: "照片可以自动修正（<what a correction
// can do>），是否修正？". What it does to this photo shows only once it is done.
inline constexpr const char* kOfferCorrectionBefore = "照片可以自动修正（";
inline constexpr const char* kCorrectionCanDo = "转换格式与大小、重新裁剪构图、更换为白色背景等";
inline constexpr const char* kOfferCorrectionAfter = "），是否修正？";
// Where the correction itself failed (memory ran out, say) rather than refused the photo.
inline constexpr const char* kCorrectionFailedMessage = "照片无法自动修正，请重新提交照片";
inline constexpr const char* kCorrectedText = "修正后审核通过，保存后退出";
inline constexpr const char* kSaveFilter = "JPEG (*.jpg *.jpeg *.jpe *.jfif)";
inline constexpr const char* kSaveInitialName = "报名照片";
inline constexpr const char* kBadSettingsMessage = "setting配置文件有误，请重新下载程序：";
inline constexpr const char* kMissingDetectorMessage =
    "人脸检测文件 haarcascade_frontalface_alt2.xml "
    "丢失或无法读取，照片将无法通过人脸检查。请重新下载程序";

// The dialog is laid out in dialog units: 401 x 277 of them make the 701 x 488 pixels of the
// background picture.
QRect DialogUnitsToPixels(int x, int y, int width, int height);

// A picture of the resources with, where there is one, its drawing at twice the resolution
// (name@2x.png, as Qt names them). Both have the same size in logical pixels.
class ScaledPicture {
public:
    ScaledPicture() = default;
    explicit ScaledPicture(const QString& path);
    // The drawing for a screen with this device pixel ratio: the sharp one above 1.
    const QPixmap& ForRatio(qreal device_pixel_ratio) const;

private:
    QPixmap normal_;
    QPixmap sharp_;
};

// A push button that shows a picture stretched over its face.
class PictureButton : public QAbstractButton {
    Q_OBJECT
public:
    PictureButton(const QString& text, const QString& picture, QWidget* parent);
    // The drawing the button paints on its screen.
    const QPixmap& Picture() const { return picture_.ForRatio(devicePixelRatioF()); }

protected:
    void paintEvent(QPaintEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    ScaledPicture picture_;
    bool hovered_ = false;
};

// The main window: a caption-less dialog with the background picture, the Open, Save and Exit
// picture buttons, the photo frame and the info line. The review of a photo, and its
// correction, run on a thread of their own, one at a time, each with its own reviewer or
// corrector; the window only shows what they came to, and stays responsive meanwhile.
class MainDialog : public QDialog {
    Q_OBJECT
public:
    // Reads the settings; when they are missing or unusable, shows the message and is not
    // Ready: such a dialog is never shown.
    explicit MainDialog(Platform& platform, QWidget* parent = nullptr);
    ~MainDialog() override;

    // Whether the settings could be read.
    bool Ready() const { return ready_; }
    // Whether a review or a correction is running; Open and drops are ignored meanwhile.
    bool Busy() const { return busy_; }

    void RunWindowCommand(WindowCommand command);
    // Asks for a photo and reviews it; does nothing while a review or correction runs.
    void OpenPhoto();
    void SavePassedPhoto();
    // Closes the window, which ends the program; a review or correction still running is
    // stopped and comes to nothing.
    void Exit();
    // Reviews one file as Open does after its dialog.
    void ReviewPhotoFile(const QString& path);

    // The photo kept after a pass until the next Open; read by Save.
    const cv::Mat& ResultImage() const { return result_image_; }
    // The tip picture shown after a rejection; empty after a pass or a correction.
    const cv::Mat& WorkImage() const { return work_image_; }
    // The settings read once at start-up.
    const CheckSettings& Settings() const { return settings_; }

    // For tests and screenshots.
    QLabel* InfoLine() const { return info_; }
    QLabel* AdviceLine() const { return advice_; }
    QFrame* PhotoFrame() const { return photo_frame_; }
    PhotoView* View() const { return view_; }
    QAbstractButton* OpenButton() const { return open_; }
    QAbstractButton* SaveButton() const { return save_; }
    QAbstractButton* ExitButton() const { return exit_; }
    // The background drawing the window paints on its screen.
    const QPixmap& Background() const { return background_.ForRatio(devicePixelRatioF()); }

    void done(int result) override;

signals:
    // A review that Open or a drop started has ended: what it came to is shown (after the
    // question, and the correction where it was taken) and nothing runs any more.
    void Idle();

protected:
    void paintEvent(QPaintEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    struct Review;
    struct Corrected;

    bool LoadCheckSettings();
    void CheckFaceDetector();
    void BuildWindow();
    // The wait cursor and the Busy flag, from the start of a review to the end of its
    // correction.
    void SetBusy(bool busy);
    // Stops the running work, whose result is then dropped.
    void CancelWork();
    void ShowReview(const Review& review);
    void ShowVerdict(CheckVerdict verdict, const cv::Mat& kept, const cv::Mat& tip);
    // The first advisory on the second line, every one in its tooltip; empty without any.
    void ShowAdvisories(const std::vector<AdvisoryNote>& notes);
    // After a rejection the correction may mend: whether the operator wants it.
    bool AskToCorrect();
    // Corrects the photo on the worker thread, then shows what came of it.
    void Correct(const std::string& file, const ReviewResult& result);
    // The corrected photo, ready to be saved; or why the photo could not be corrected.
    void ShowCorrection(const Corrected& corrected);
    // What the correction did, on the second line.
    void ShowCorrected(const Correction& correction, const BackdropColour& backdrop);
    void ShowWindowMenu(const QPoint& where);
    void PreparePhotoView();
    void ShowInPhotoView(const cv::Mat& image);

    Platform& platform_;
    bool ready_ = false;
    bool busy_ = false;
    // Raised to stop the running work; each piece of work has its own.
    std::shared_ptr<std::atomic<bool>> cancelled_;
    std::unique_ptr<QThreadPool> workers_; // one thread: one review or correction at a time
    QString photo_folder_; // of the photo under review: where its saved copy is offered to go
    cv::Mat result_image_;
    cv::Mat work_image_;
    CheckSettings settings_;
    // The reviewer and the corrector, made from the kit on the worker thread when first needed
    // and used only there.
    struct ToolsOnWorker {
        explicit ToolsOnWorker(ReviewKit made) : kit(std::move(made)) {}
        WorkerTools& Get() {
            if (!tools) {
                tools = std::make_unique<WorkerTools>(kit);
            }
            return *tools;
        }
        const ReviewKit kit;
        std::unique_ptr<WorkerTools> tools;
    };
    std::shared_ptr<ToolsOnWorker> tools_;
    ScaledPicture background_;
    PictureButton* open_ = nullptr;
    PictureButton* exit_ = nullptr;
    PictureButton* save_ = nullptr;
    QFrame* photo_frame_ = nullptr;
    QLabel* info_ = nullptr;
    QLabel* advice_ = nullptr; // the second line: quality advisories beside the verdict
    PhotoView* view_ = nullptr;
};

// The About box.
class AboutDialog : public QDialog {
    Q_OBJECT
public:
    explicit AboutDialog(QWidget* parent = nullptr);
};

} // namespace vrel
