#pragma once

#include "check/check_run.h"
#include "check/settings.h"
#include "correct/correction.h"

#include <QAbstractButton>
#include <QDialog>
#include <QPixmap>
#include <QRect>

#include <opencv2/core.hpp>

class QFrame;
class QLabel;

namespace vrel {

class Platform;
class PhotoView;

inline constexpr int kSysMenuAbout = 16;
inline constexpr int kSysCommandClose = 0xF060;
inline constexpr const char* kAboutMenuText = "关于 VrelPictureCheck(&A)...";
// The JPEG filter first, as the tool has always had it; then every format the correction reads.
inline constexpr const char* kOpenFilter = "JPEG Files (*.jpg *.jpeg *.jfif);;所有照片 (*.jpg "
                                           "*.jpeg *.jfif *.png *.webp *.bmp *.tif *.tiff)";
// The question after a mendable rejection: "照片可以自动修正（<what the correction
// does>），是否修正？".
inline constexpr const char* kOfferCorrectionBefore = "照片可以自动修正（";
inline constexpr const char* kOfferCorrectionAfter = "），是否修正？";
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
// picture buttons, the photo frame and the info line.
class CVrelPictureCheckDlg : public QDialog {
    Q_OBJECT
public:
    // Reads the settings; when setting.vr is missing, shows the message and ends the process
    // through the platform before any window is shown.
    explicit CVrelPictureCheckDlg(Platform& platform, QWidget* parent = nullptr);
    ~CVrelPictureCheckDlg() override;

    void OnSysCommand(int command);
    void OpenAndCheckPhoto();
    void SavePassedPhoto();
    void ExitApplication();
    // Reviews one file as Open does after its dialog.
    void CheckPhotoFile(const QString& path);

    // The photo kept after a pass until the next Open; read by Save.
    const cv::Mat& ResultImage() const { return result_image_; }
    // The image the check run shows: the photo, the normalised photo or a tip picture.
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

protected:
    void paintEvent(QPaintEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void LoadCheckSettings();
    void CheckFaceDetector();
    void ShowVerdict(const PhotoReviewer& reviewer, CheckVerdict verdict, const cv::Mat& kept);
    // The first advisory on the second line, every one in its tooltip; empty without any.
    void ShowAdvisories(const std::vector<AdvisoryNote>& notes);
    // After a rejection: offers the correction where it mends the photo, and shows the
    // corrected photo, ready to be saved, when the operator takes it.
    void OfferCorrection(const std::string& path, const ReviewResult& result);
    // What the correction did, on the second line.
    void ShowCorrected(const Correction& correction, const BackdropColour& backdrop);
    void ShowSystemMenu(const QPoint& where);
    void PreparePhotoView();
    void ShowInPhotoView(const cv::Mat& image);

    Platform& platform_;
    cv::Mat result_image_;
    cv::Mat work_image_;
    CheckSettings settings_;
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
class CAboutDlg : public QDialog {
    Q_OBJECT
public:
    explicit CAboutDlg(QWidget* parent = nullptr);
};

} // namespace vrel
