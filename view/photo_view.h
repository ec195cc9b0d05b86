#pragma once

#include <QImage>
#include <QWidget>

#include <opencv2/core.hpp>

namespace vrel {

// Draws one photo stretched over its whole area, like an image window in its normal mode.
// An empty image leaves the area blank.
class PhotoView : public QWidget {
    Q_OBJECT
public:
    explicit PhotoView(QWidget* parent = nullptr);
    // Shows a CV_8UC3 blue-green-red image (other types show nothing).
    void SetImage(const cv::Mat& image);
    const QImage& Image() const { return image_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QImage image_;
};

// A blue-green-red image as a Qt image of its own (a deep copy); null for an empty or
// unsupported image.
QImage ToQImage(const cv::Mat& image);

} // namespace vrel
