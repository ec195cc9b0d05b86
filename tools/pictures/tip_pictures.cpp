// Tip pictures (480 x 640, shown shrunk in the photo frame): the verdict, what is wrong and an
// illustration of the fix, one picture for each rejection with a tip.

#include "pictures.h"

#include "drawing.h"

#include <QDir>
#include <QPen>
#include <QPolygonF>
#include <QStringList>

#include <algorithm>
#include <functional>
#include <vector>

namespace {

struct Tip {
    QString file;
    QStringList title;
    QStringList advice;
    std::function<void(QPainter&, const QRectF&)> illustrate;
};

// Dashed outline where the head should be.
void drawTargetHead(QPainter& p, const QRectF& frame, const QColor& color) {
    p.save();
    QPen pen(color, 3, Qt::DashLine, Qt::RoundCap);
    pen.setDashPattern({3, 2});
    p.setPen(pen);
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(frameOf(kGoodHead, frame).adjusted(-2, -2, 2, 2));
    p.restore();
}

// A document with a folded corner, a thumbnail and a coloured label.
void drawFile(QPainter& p, const QRectF& r, const QString& label, const QColor& labelColor) {
    p.save();
    const double fold = r.width() * 0.26;
    QPainterPath page;
    page.moveTo(r.topLeft());
    page.lineTo(r.right() - fold, r.top());
    page.lineTo(r.right(), r.top() + fold);
    page.lineTo(r.bottomRight());
    page.lineTo(r.bottomLeft());
    page.closeSubpath();
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0, 0, 0, 40));
    p.drawPath(page.translated(3, 4));
    p.setBrush(Qt::white);
    p.setPen(QPen(QColor(0x90, 0xa4, 0xae), 3, Qt::SolidLine, Qt::SquareCap, Qt::RoundJoin));
    p.drawPath(page);
    QPainterPath dog;
    dog.moveTo(r.right() - fold, r.top());
    dog.lineTo(r.right() - fold, r.top() + fold);
    dog.lineTo(r.right(), r.top() + fold);
    dog.closeSubpath();
    p.setBrush(QColor(0xe3, 0xe9, 0xee));
    p.drawPath(dog);

    const QRectF thumb(r.left() + r.width() * 0.16, r.top() + r.height() * 0.16, r.width() * 0.5,
                       r.height() * 0.42);
    drawPhoto(p, thumb, kLightGrey, {Head{0.5, 0.14, 0.46}}, {}, 1.5);

    const QRectF band(r.left() - r.width() * 0.08, r.top() + r.height() * 0.66, r.width() * 0.84,
                      r.height() * 0.2);
    p.setPen(Qt::NoPen);
    p.setBrush(vertical(band, labelColor.lighter(115), labelColor));
    p.drawPath(roundedRect(band, 6));
    const QFont f = fitFont(label, band.height() * 0.72, true, band.width() - 12, 12, "file label");
    drawLine(p, band, label, f, Qt::white, Qt::AlignCenter, "file label");
    p.restore();
}

void illustrateFormat(QPainter& p, const QRectF& r) {
    const double h = std::min(r.height() * 0.9, 210.0);
    const double w = h * 0.76;
    const double cy = r.center().y();
    const QRectF bad(r.center().x() - 95 - w / 2 - 20, cy - h / 2, w, h);
    const QRectF good(r.center().x() + 95 - w / 2 + 20, cy - h / 2, w, h);
    drawFile(p, bad, "PNG", QColor(0x8d, 0x6e, 0x63));
    drawFile(p, good, "JPG", QColor(0x1e, 0x88, 0xe5));
    drawArrow(p, QPointF(bad.right() + 14, cy), QPointF(good.left() - 14, cy),
              QColor(0x60, 0x7d, 0x8b), 7, 22);
    drawBadge(p, QPointF(bad.right() - 6, bad.bottom() - 8), 26, false);
    drawBadge(p, QPointF(good.right() - 6, good.bottom() - 8), 26, true);
}

void illustrateFileSize(QPainter& p, const QRectF& r) {
    const double labelH = 34, barH = 24, pointerH = 22;
    const double fileH = std::min(r.height() - labelH - barH - pointerH - 36, 170.0);
    const double fileW = fileH * 0.76;
    const double total = fileH + 28 + pointerH + barH + 6 + labelH;
    double y = r.top() + (r.height() - total) / 2;
    const QRectF file(r.center().x() - fileW / 2, y, fileW, fileH);
    drawFile(p, file, "JPG", QColor(0x1e, 0x88, 0xe5));
    drawBadge(p, QPointF(file.right() - 4, file.bottom() - 8), 24, false);
    y += fileH + 28;

    const QRectF bar(r.center().x() - 180, y + pointerH, 360, barH);
    const double ends = 0.28;
    p.save();
    p.setPen(Qt::NoPen);
    p.setClipPath(roundedRect(bar, barH / 2));
    p.fillRect(QRectF(bar.left(), bar.top(), bar.width() * ends, barH), QColor(0xef, 0x53, 0x50));
    p.fillRect(
        QRectF(bar.left() + bar.width() * ends, bar.top(), bar.width() * (1 - 2 * ends), barH),
        QColor(0x66, 0xbb, 0x6a));
    p.fillRect(QRectF(bar.right() - bar.width() * ends, bar.top(), bar.width() * ends, barH),
               QColor(0xef, 0x53, 0x50));
    p.setClipping(false);
    // pointers in both red ends
    p.setBrush(kRed);
    for (double at : {0.1, 0.9}) {
        const double x = bar.left() + bar.width() * at;
        QPolygonF tri;
        tri << QPointF(x, bar.top() - 3) << QPointF(x - 13, bar.top() - pointerH)
            << QPointF(x + 13, bar.top() - pointerH);
        p.drawPolygon(tri);
    }
    p.restore();
    const QFont f = font(26, true);
    const double ly = bar.bottom() + 6;
    drawLine(p, QRectF(bar.left(), ly, bar.width() * ends, labelH), "过小", f, kRed,
             Qt::AlignCenter, "state3");
    drawLine(p, QRectF(bar.left() + bar.width() * ends, ly, bar.width() * (1 - 2 * ends), labelH),
             "合适", f, kGreen, Qt::AlignCenter, "state3");
    drawLine(p, QRectF(bar.right() - bar.width() * ends, ly, bar.width() * ends, labelH), "过大", f,
             kRed, Qt::AlignCenter, "state3");
}

// A dimension arrow with its value on a white tag in the middle.
void drawDimension(QPainter& p, QPointF a, QPointF b, const QString& value) {
    const QColor c(0x15, 0x65, 0xc0);
    drawArrow(p, a, b, c, 3, 14, true);
    const QFont f = font(24, true);
    const double w = textWidth(f, value) + 12;
    const QRectF tag(QLineF(a, b).center() - QPointF(w / 2, 16), QSizeF(w, 32));
    p.save();
    p.setPen(QPen(c, 2));
    p.setBrush(Qt::white);
    p.drawPath(roundedRect(tag, 6));
    p.restore();
    drawLine(p, tag, value, f, c, Qt::AlignCenter, "dimension");
}

void illustrateDimensions(QPainter& p, const QRectF& r) {
    const double goodH = std::min(r.height() - 48, 220.0);
    const double goodW = goodH * 0.75;
    const QSizeF badSize(160, 108);
    const double gap = 70;
    const double total = badSize.width() + gap + goodW + 40;
    const double x0 = r.center().x() - total / 2;
    const double top = r.top() + (r.height() - goodH - 40) / 2;

    const QRectF bad(QPointF(x0, top + (goodH - badSize.height()) / 2), badSize);
    drawPhoto(p, bad, kLightGrey, {Head{0.5, 0.12, 0.5}});
    drawBadge(p, bad.topRight() + QPointF(-4, 4), 24, false);

    const QRectF good(x0 + badSize.width() + gap, top, goodW, goodH);
    drawPhoto(p, good, kLightGrey, {kGoodHead});
    drawDimension(p, QPointF(good.left(), good.bottom() + 24),
                  QPointF(good.right(), good.bottom() + 24), QStringLiteral("宽"));
    drawDimension(p, QPointF(good.right() + 24, good.top()),
                  QPointF(good.right() + 24, good.bottom()), QStringLiteral("高"));
    drawBadge(p, good.topLeft() + QPointF(4, 4), 24, true);
    drawArrow(p, QPointF(bad.right() + 26, bad.center().y()),
              QPointF(good.left() - 10, bad.center().y()), QColor(0x60, 0x7d, 0x8b), 6, 18);
}

// The backdrop tip, with the colours the settings take: white and light grey, and light blue
// where they take blue (bgc=1).
void illustrateBackground(QPainter& p, const QRectF& r, const std::vector<QColor>& ok) {
    const double h = std::min(r.height() - 8, 260.0);
    const double w = h * 0.75;
    const double sw = 58, arrowW = 56;
    const double total = w + arrowW + sw + 20;
    const double x0 = r.center().x() - total / 2;
    const QRectF photo(x0, r.center().y() - h / 2, w, h);
    drawPhoto(p, photo, QColor(0x7c, 0x9a, 0x3c), {kGoodHead});

    // the two top corners, where the backdrop is measured
    const double c = w * 0.3;
    p.save();
    for (const QRectF& corner :
         {QRectF(photo.left(), photo.top(), c, c), QRectF(photo.right() - c, photo.top(), c, c)}) {
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0xff, 0x30, 0x30, 70));
        p.drawRect(corner);
        QPen pen(QColor(0xe5, 0x1c, 0x1c), 4, Qt::DashLine, Qt::FlatCap, Qt::MiterJoin);
        pen.setDashPattern({2.5, 1.5});
        p.setPen(pen);
        p.setBrush(Qt::NoBrush);
        p.drawRect(corner.adjusted(2, 2, -2, -2));
    }
    p.restore();
    drawBadge(p, QPointF(photo.left() + c / 2, photo.top() + c / 2), 18, false);
    drawBadge(p, QPointF(photo.right() - c / 2, photo.top() + c / 2), 18, false);

    const double ax = photo.right() + 10;
    drawArrow(p, QPointF(ax, photo.center().y()), QPointF(ax + arrowW - 12, photo.center().y()),
              QColor(0x60, 0x7d, 0x8b), 6, 18);

    // the accepted backdrop colours
    const double gap = 18;
    const double n = static_cast<double>(ok.size());
    double y = photo.center().y() - (n * sw + (n - 1) * gap) / 2;
    const double sx = photo.right() + arrowW + 12;
    for (const QColor& col : ok) {
        const QRectF s(sx, y, sw, sw);
        p.save();
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0, 0, 0, 35));
        p.drawPath(roundedRect(s.translated(2, 3), 8));
        p.setBrush(col);
        p.setPen(QPen(QColor(0x90, 0xa4, 0xae), 2));
        p.drawPath(roundedRect(s, 8));
        p.restore();
        drawBadge(p, s.bottomRight() + QPointF(-2, -2), 13, true);
        y += sw + gap;
    }
}

void illustrateFaceCount(QPainter& p, const QRectF& r) {
    const double h = std::min(r.height() - 8, 250.0);
    const double w = h * 0.75;
    const double gap = 44;
    const double x0 = r.center().x() - (2 * w + gap) / 2;
    const double top = r.center().y() - h / 2;

    const QRectF none(x0, top, w, h);
    drawPhoto(p, none, kLightGrey, {});
    p.save();
    QPen pen(QColor(0x90, 0xa4, 0xae), 4, Qt::DashLine, Qt::RoundCap);
    pen.setDashPattern({2.5, 2});
    p.setPen(pen);
    p.drawEllipse(frameOf(kGoodHead, none));
    p.restore();
    drawLine(p, frameOf(kGoodHead, none), "?", font(h * 0.28, true), QColor(0x90, 0xa4, 0xae),
             Qt::AlignCenter, "state7");
    drawBadge(p, none.topRight() + QPointF(-4, 4), 24, false);

    const QRectF two(x0 + w + gap, top, w, h);
    Look second;
    second.suit = QColor(0x6d, 0x4c, 0x41);
    second.hair = QColor(0x4e, 0x34, 0x2e);
    drawPhoto(p, two, kLightGrey, {Head{0.73, 0.2, 0.34}, Head{0.3, 0.16, 0.36}}, {second, Look()});
    drawBadge(p, two.topRight() + QPointF(-4, 4), 24, false);
}

void illustrateFaceSize(QPainter& p, const QRectF& r) {
    const double h = std::min(r.height() - 8, 250.0);
    const double w = h * 0.75;
    const double gap = 44;
    const double x0 = r.center().x() - (2 * w + gap) / 2;
    const double top = r.center().y() - h / 2;
    const QColor target(0x2e, 0x9d, 0x3a);

    const QRectF big(x0, top, w, h);
    drawPhoto(p, big, kLightGrey, {Head{0.5, -0.02, 0.8}});
    drawTargetHead(p, big, target);
    drawBadge(p, big.topRight() + QPointF(-4, 4), 24, false);

    const QRectF small(x0 + w + gap, top, w, h);
    drawPhoto(p, small, kLightGrey, {Head{0.5, 0.6, 0.24}});
    drawTargetHead(p, small, target);
    drawBadge(p, small.topRight() + QPointF(-4, 4), 24, false);
}

void illustrateCentring(QPainter& p, const QRectF& r) {
    const double h = std::min(r.height() - 8, 250.0);
    const double w = h * 0.75;
    const double gap = 60;
    const double x0 = r.center().x() - (2 * w + gap) / 2;
    const double top = r.center().y() - h / 2;

    auto centreLine = [&](const QRectF& f, const QColor& c) {
        p.save();
        QPen pen(c, 3, Qt::DashLine, Qt::FlatCap);
        pen.setDashPattern({3, 2});
        p.setPen(pen);
        p.drawLine(QPointF(f.center().x(), f.top() + 4), QPointF(f.center().x(), f.bottom() - 4));
        p.restore();
    };

    const QRectF off(x0, top, w, h);
    drawPhoto(p, off, kLightGrey, {Head{0.27, 0.16, 0.44}});
    centreLine(off, QColor(0xe5, 0x1c, 0x1c));
    drawBadge(p, off.topRight() + QPointF(-4, 4), 24, false);

    const QRectF good(x0 + w + gap, top, w, h);
    drawPhoto(p, good, kLightGrey, {Head{0.5, 0.16, 0.44}});
    centreLine(good, QColor(0x2e, 0x9d, 0x3a));
    drawBadge(p, good.topRight() + QPointF(-4, 4), 24, true);

    drawArrow(p, QPointF(off.right() + 8, off.center().y()),
              QPointF(good.left() - 8, off.center().y()), QColor(0x60, 0x7d, 0x8b), 6, 18);
}

const int kTipW = 480, kTipH = 640;
const double kTipMargin = 20;
const double kBannerH = 96;

// Red banner with a cross badge and the verdict.
void drawVerdictBanner(QPainter& p, const Tip& tip) {
    const int W = kTipW;
    const QRectF banner(0, 0, W, kBannerH);
    p.fillRect(banner, vertical(banner, QColor(0xe5, 0x39, 0x35), QColor(0xb7, 0x1c, 0x1c)));
    p.fillRect(QRectF(0, banner.bottom() - 5, W, 5), QColor(0x8e, 0x12, 0x12));
    const QString verdict = QStringLiteral("审核不通过");
    const QFont vf = font(54, true);
    const double badgeD = 58, gap = 16;
    const double vw = textWidth(vf, verdict);
    const double vx = (W - (badgeD + gap + vw)) / 2;
    const double vy = (banner.height() - 5) / 2;
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawEllipse(QPointF(vx + badgeD / 2, vy), badgeD / 2, badgeD / 2);
    p.setPen(QPen(kRed, 7, Qt::SolidLine, Qt::RoundCap));
    const double d = badgeD * 0.2;
    p.drawLine(QPointF(vx + badgeD / 2 - d, vy - d), QPointF(vx + badgeD / 2 + d, vy + d));
    p.drawLine(QPointF(vx + badgeD / 2 + d, vy - d), QPointF(vx + badgeD / 2 - d, vy + d));
    drawLine(p, QRectF(vx + badgeD + gap, 0, vw + 2, banner.height() - 5), verdict, vf, Qt::white,
             Qt::AlignLeft | Qt::AlignVCenter, tip.file);
}

// The title under the banner, underlined; returns where the illustration may begin.
double drawTitle(QPainter& p, const Tip& tip) {
    const int W = kTipW;
    const double margin = kTipMargin;
    double y = kBannerH + 14;
    const double titleLine = 60;
    for (const QString& line : tip.title) {
        const QFont f = fitFont(line, 48, true, W - 2 * margin, 44, tip.file);
        drawLine(p, QRectF(margin, y, W - 2 * margin, titleLine), line, f, QColor(0x1a, 0x2b, 0x4c),
                 Qt::AlignCenter, tip.file);
        y += titleLine;
    }
    p.fillRect(QRectF(W / 2 - 50, y + 4, 100, 4), QColor(0xe5, 0x39, 0x35));
    return y + 30;
}

// The advice box at the bottom; returns the box.
QRectF drawAdvice(QPainter& p, const Tip& tip) {
    const int W = kTipW, H = kTipH;
    const double margin = kTipMargin;
    const double adviceLine = tip.advice.size() > 2 ? 40 : 44;
    const double boxH = tip.advice.size() * adviceLine + 26;
    const QRectF box(margin, H - margin - boxH, W - 2 * margin, boxH);
    p.setPen(QPen(QColor(0xff, 0xb7, 0x4d), 2));
    p.setBrush(QColor(0xff, 0xf6, 0xe0));
    p.drawPath(roundedRect(box, 14));
    // one size for all lines of the box: the largest in which every line fits
    QFont adviceFont = font(31);
    for (const QString& line : tip.advice) {
        const QFont f = fitFont(line, 31, false, box.width() - 28, 28, tip.file);
        if (f.pixelSize() < adviceFont.pixelSize())
            adviceFont = f;
    }
    double ay = box.top() + 13;
    for (const QString& line : tip.advice) {
        drawLine(p, QRectF(box.left() + 14, ay, box.width() - 28, adviceLine), line, adviceFont,
                 QColor(0x4e, 0x34, 0x2e), Qt::AlignCenter, tip.file);
        ay += adviceLine;
    }
    return box;
}

// The illustrations draw on with the painter as the advice box leaves it (its brush, for one).
QImage renderTip(const Tip& tip) {
    QImage img(kTipW, kTipH, QImage::Format_RGB32);
    img.fill(QColor(0xfa, 0xfb, 0xfc));
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    p.setRenderHint(QPainter::SmoothPixmapTransform);

    drawVerdictBanner(p, tip);
    const double illuTop = drawTitle(p, tip);
    const QRectF box = drawAdvice(p, tip);
    const QRectF illu(kTipMargin, illuTop, kTipW - 2 * kTipMargin, box.top() - 16 - illuTop);
    if (illu.height() < 180)
        problem(tip.file + ": too little room for the illustration");
    tip.illustrate(p, illu);
    p.end();
    return img;
}

const std::vector<Tip>& tips() {
    static const std::vector<Tip> all = {
        {"state1.jpg",
         {QStringLiteral("文件格式错误")},
         {QStringLiteral("请提交 JPG 或 JPEG"), QStringLiteral("格式的照片")},
         illustrateFormat},
        {"state3.jpg",
         {QStringLiteral("文件大小不符合要求")},
         {QStringLiteral("请提交大小合适的照片文件")},
         illustrateFileSize},
        {"state4.jpg",
         {QStringLiteral("照片尺寸不符合要求")},
         {QStringLiteral("宽和高须在照片要求的"), QStringLiteral("像素范围内；"),
          QStringLiteral("高宽比须在 1 与 2 之间，"), QStringLiteral("竖版照片")},
         illustrateDimensions},
        {"state6.jpg",
         {QStringLiteral("背景颜色不符合要求")},
         {QStringLiteral("请使用白色或浅灰色"), QStringLiteral("纯色背景")},
         [](QPainter& p, const QRectF& r) {
             illustrateBackground(p, r, {QColor(0xff, 0xff, 0xff), kLightGrey});
         }},
        {"state6-blue.jpg",
         {QStringLiteral("背景颜色不符合要求")},
         {QStringLiteral("请使用白色、浅灰色"), QStringLiteral("或浅蓝色纯色背景")},
         [](QPainter& p, const QRectF& r) {
             illustrateBackground(p, r, {QColor(0xff, 0xff, 0xff), kLightGrey, kLightBlue});
         }},
        {"state7.jpg",
         {QStringLiteral("未检测到唯一人脸")},
         {QStringLiteral("照片中须有且只有"), QStringLiteral("一张正面人脸")},
         illustrateFaceCount},
        {"state8.jpg",
         {QStringLiteral("人脸大小或位置"), QStringLiteral("不符合要求")},
         {QStringLiteral("头部不要过大过小，"), QStringLiteral("不要过高过低")},
         illustrateFaceSize},
        {"state9.jpg",
         {QStringLiteral("人脸未居中")},
         {QStringLiteral("请使头部位于照片左右正中")},
         illustrateCentring},
    };
    return all;
}

} // namespace

void writeTipPictures(const QString& dir) {
    for (const Tip& tip : tips())
        save(renderTip(tip), dir + "/" + tip.file, "JPG", 90);
}
