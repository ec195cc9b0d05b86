#include "view/photo_view.h"

#include <QPainter>

namespace vrel {

QImage ToQImage(const cv::Mat& image) {
    if (image.empty() || image.type() != CV_8UC3) {
        return QImage();
    }
    QImage view(image.data, image.cols, image.rows, static_cast<qsizetype>(image.step),
                QImage::Format_BGR888);
    return view.copy();
}

PhotoView::PhotoView(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void PhotoView::SetImage(const cv::Mat& image) {
    image_ = ToQImage(image);
    update();
}

void PhotoView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    if (image_.isNull()) {
        painter.fillRect(rect(), Qt::white);
        return;
    }
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawImage(rect(), image_);
}

} // namespace vrel
