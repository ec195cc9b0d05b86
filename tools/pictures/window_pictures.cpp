// The window pictures: the main window's background (701 x 488), the three button pictures
// (200 x 67) and the application icon, each drawn at 1x and, for the sharp set Qt picks on a
// screen at twice the scale, at 2x (name@2x.png): the same drawing at twice the resolution.

#include "pictures.h"

#include "drawing.h"

#include <QPen>
#include <QRect>

#include <functional>

namespace {

// A picture of width x height drawing units at scale device pixels per unit; a painter on it
// draws in drawing units.
QImage canvas(int width, int height, QImage::Format format, int scale) {
    QImage img(width * scale, height * scale, format);
    img.setDevicePixelRatio(scale);
    return img;
}

// ---------------------------------------------------------------------------
// Application icon

QImage renderIcon(int size, int scale) {
    QImage img = canvas(size, size, QImage::Format_ARGB32, scale);
    img.fill(Qt::transparent);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    const double s = size / 48.0;
    p.scale(s, s);
    const bool tiny = size <= 16;

    const QRectF tile = tiny ? QRectF(0, 0, 48, 48) : QRectF(1, 1, 46, 46);
    p.setPen(Qt::NoPen);
    p.setBrush(vertical(tile, QColor(0x3d, 0x8b, 0xe6), QColor(0x17, 0x4e, 0x9a)));
    p.drawPath(roundedRect(tile, 9));

    // white portrait figure
    p.setBrush(Qt::white);
    const double headR = tiny ? 8.5 : 8;
    const QPointF headC(tiny ? 19 : 20, tiny ? 15 : 16);
    p.drawEllipse(headC, headR * 0.86, headR);
    QPainterPath shoulders;
    const double sy = headC.y() + headR + 3;
    shoulders.moveTo(headC.x() - 15, 48);
    shoulders.lineTo(headC.x() - 15, sy + 10);
    shoulders.cubicTo(headC.x() - 15, sy + 2, headC.x() - 9, sy, headC.x(), sy);
    shoulders.cubicTo(headC.x() + 9, sy, headC.x() + 15, sy + 2, headC.x() + 15, sy + 10);
    shoulders.lineTo(headC.x() + 15, 48);
    shoulders.closeSubpath();
    p.save();
    p.setClipPath(roundedRect(tile, 9));
    p.drawPath(shoulders);
    p.restore();

    // green check badge
    const QPointF c(tiny ? 34 : 35, tiny ? 34 : 35);
    const double r = tiny ? 13.5 : 12;
    p.setBrush(Qt::white);
    p.drawEllipse(c, r + (tiny ? 0 : 1.5), r + (tiny ? 0 : 1.5));
    p.setBrush(QColor(0x2e, 0xa0, 0x43));
    p.drawEllipse(c, r - (tiny ? 2.5 : 1), r - (tiny ? 2.5 : 1));
    QPen pen(Qt::white, tiny ? 4.5 : 3.6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    p.setPen(pen);
    p.setBrush(Qt::NoBrush);
    QPainterPath check;
    check.moveTo(c + QPointF(-r * 0.45, r * 0.02));
    check.lineTo(c + QPointF(-r * 0.12, r * 0.36));
    check.lineTo(c + QPointF(r * 0.46, -r * 0.32));
    p.drawPath(check);
    p.end();
    return img;
}

// ---------------------------------------------------------------------------
// Buttons (200 x 67)

void drawFolderSymbol(QPainter& p, const QRectF& r) {
    p.save();
    p.setPen(QPen(QColor(0xb2, 0x6a, 0x00), 1.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    QPainterPath back;
    back.moveTo(r.left(), r.bottom());
    back.lineTo(r.left(), r.top() + r.height() * 0.12);
    back.lineTo(r.left() + r.width() * 0.36, r.top() + r.height() * 0.12);
    back.lineTo(r.left() + r.width() * 0.44, r.top() + r.height() * 0.24);
    back.lineTo(r.right() - r.width() * 0.08, r.top() + r.height() * 0.24);
    back.lineTo(r.right() - r.width() * 0.08, r.bottom());
    back.closeSubpath();
    p.setBrush(QColor(0xf5, 0xb0, 0x1e));
    p.drawPath(back);
    // a sheet sticking out
    p.setPen(QPen(QColor(0x90, 0xa4, 0xae), 1));
    p.setBrush(Qt::white);
    p.drawRect(QRectF(r.left() + r.width() * 0.14, r.top() + r.height() * 0.3, r.width() * 0.66,
                      r.height() * 0.5));
    QPainterPath front;
    front.moveTo(r.left(), r.bottom());
    front.lineTo(r.left() + r.width() * 0.18, r.top() + r.height() * 0.46);
    front.lineTo(r.right(), r.top() + r.height() * 0.46);
    front.lineTo(r.right() - r.width() * 0.14, r.bottom());
    front.closeSubpath();
    p.setPen(QPen(QColor(0xb2, 0x6a, 0x00), 1.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(vertical(r, QColor(0xff, 0xe0, 0x82), QColor(0xff, 0xc1, 0x07)));
    p.drawPath(front);
    p.restore();
}

void drawFloppySymbol(QPainter& p, const QRectF& r) {
    p.save();
    QPainterPath body;
    const double cut = r.width() * 0.16;
    body.moveTo(r.left() + 4, r.top());
    body.lineTo(r.right() - cut, r.top());
    body.lineTo(r.right(), r.top() + cut);
    body.lineTo(r.right(), r.bottom() - 4);
    body.quadTo(r.right(), r.bottom(), r.right() - 4, r.bottom());
    body.lineTo(r.left() + 4, r.bottom());
    body.quadTo(r.left(), r.bottom(), r.left(), r.bottom() - 4);
    body.lineTo(r.left(), r.top() + 4);
    body.quadTo(r.left(), r.top(), r.left() + 4, r.top());
    p.setPen(QPen(QColor(0x10, 0x2a, 0x43), 1.5));
    p.setBrush(vertical(r, QColor(0x3a, 0x5f, 0x8a), QColor(0x1f, 0x3c, 0x5e)));
    p.drawPath(body);
    // metal shutter
    const QRectF shutter(r.left() + r.width() * 0.24, r.top() + 1, r.width() * 0.5,
                         r.height() * 0.32);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0xcf, 0xd8, 0xdc));
    p.drawRect(shutter);
    p.setBrush(QColor(0x1f, 0x3c, 0x5e));
    p.drawRect(QRectF(shutter.left() + shutter.width() * 0.62, shutter.top() + 3,
                      shutter.width() * 0.2, shutter.height() - 6));
    // label
    const QRectF label(r.left() + r.width() * 0.14, r.top() + r.height() * 0.5, r.width() * 0.72,
                       r.height() * 0.42);
    p.setBrush(Qt::white);
    p.drawPath(roundedRect(label, 2));
    p.setPen(QPen(QColor(0x90, 0xa4, 0xae), 1.2));
    for (int i = 1; i <= 2; ++i) {
        const double ly = label.top() + label.height() * i / 3.0;
        p.drawLine(QPointF(label.left() + 4, ly), QPointF(label.right() - 4, ly));
    }
    p.restore();
}

void drawExitSymbol(QPainter& p, const QRectF& r) {
    p.save();
    // an open bracket for the door and an arrow leaving through it
    const QRectF door(r.left() + 1, r.top(), r.width() * 0.5, r.height());
    p.setPen(QPen(Qt::white, 3.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    QPainterPath frame;
    frame.moveTo(door.right(), door.top() + door.height() * 0.28);
    frame.lineTo(door.right(), door.top() + 3);
    frame.quadTo(door.right(), door.top(), door.right() - 3, door.top());
    frame.lineTo(door.left() + 3, door.top());
    frame.quadTo(door.left(), door.top(), door.left(), door.top() + 3);
    frame.lineTo(door.left(), door.bottom() - 3);
    frame.quadTo(door.left(), door.bottom(), door.left() + 3, door.bottom());
    frame.lineTo(door.right() - 3, door.bottom());
    frame.quadTo(door.right(), door.bottom(), door.right(), door.bottom() - 3);
    frame.lineTo(door.right(), door.bottom() - door.height() * 0.28);
    p.drawPath(frame);
    const double ay = r.center().y();
    drawArrow(p, QPointF(door.left() + door.width() * 0.4, ay), QPointF(r.right() + 3, ay),
              Qt::white, 4, 12);
    p.restore();
}

QImage renderButton(const QString& text, const QColor& top, const QColor& bottom,
                    const std::function<void(QPainter&, const QRectF&)>& symbol,
                    const QString& where, int scale) {
    QImage img = canvas(200, 67, QImage::Format_ARGB32, scale);
    img.fill(Qt::transparent);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);

    const QRectF body(1.5, 1.5, 197, 62);
    const double radius = 14;
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0, 0, 0, 50));
    p.drawPath(roundedRect(body.translated(0, 2.5), radius));
    p.setBrush(vertical(body, top, bottom));
    p.setPen(QPen(bottom.darker(135), 1.5));
    p.drawPath(roundedRect(body, radius));
    // gloss on the upper half
    p.save();
    p.setClipPath(roundedRect(body.adjusted(2, 2, -2, -2), radius - 2));
    QLinearGradient gloss(body.topLeft(), QPointF(body.left(), body.center().y()));
    gloss.setColorAt(0, QColor(255, 255, 255, 110));
    gloss.setColorAt(1, QColor(255, 255, 255, 20));
    p.setPen(Qt::NoPen);
    p.setBrush(gloss);
    p.drawRect(QRectF(body.left(), body.top(), body.width(), body.height() / 2));
    p.restore();

    // icon well
    const QRectF well(12, 11, 44, 44);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(255, 255, 255, 45));
    p.drawEllipse(well);
    symbol(p, well.adjusted(8, 9, -8, -9));

    const QRectF textBox(well.right() + 6, body.top(), body.right() - well.right() - 14,
                         body.height());
    const QFont f = fitFont(text, 23, true, textBox.width(), 19, where);
    drawLine(p, textBox.translated(1, 1.5), text, f, QColor(0, 0, 0, 90), Qt::AlignCenter, where);
    drawLine(p, textBox, text, f, Qt::white, Qt::AlignCenter, where);
    p.end();
    return img;
}

// ---------------------------------------------------------------------------
// Main window background (701 x 488)

// Rectangles where the window lays widgets over the background.
const QRect kPhotoFrame(259, 174, 173, 227);
const QRect kInfoLine(259, 409, 173, 21);
const QRect kButtonArea(465, 160, 236, 280);
const QRect kVersion(594, 463, 96, 19);

void checkClear(const QRectF& ink, const QString& what) {
    for (const QRect& r : {kPhotoFrame, kInfoLine, kButtonArea, kVersion})
        if (ink.intersects(QRectF(r)))
            problem(QString("background: \"%1\" overlaps a widget area").arg(what));
    if (!QRectF(0, 0, 701, 488).contains(ink))
        problem(QString("background: \"%1\" runs off the window").arg(what));
}

QRectF drawBgText(QPainter& p, const QRectF& box, const QString& text, const QFont& f,
                  const QColor& color, Qt::Alignment align = Qt::AlignLeft | Qt::AlignVCenter) {
    const QRectF ink = drawLine(p, box, text, f, color, align, "background");
    checkClear(ink, text);
    return ink;
}

void drawNumber(QPainter& p, QPointF c, int n) {
    p.save();
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x1e, 0x6f, 0xd0));
    p.drawEllipse(c, 8, 8);
    p.restore();
    drawLine(p, QRectF(c.x() - 8, c.y() - 9, 16, 18), QString::number(n), font(12, true), Qt::white,
             Qt::AlignCenter, "number");
}

void drawCard(QPainter& p, const QRectF& r) {
    p.save();
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x1e, 0x3a, 0x5f, 22));
    p.drawPath(roundedRect(r.translated(0, 2), 10));
    p.setBrush(vertical(r, QColor(255, 255, 255, 235), QColor(0xf4, 0xf8, 0xfc, 235)));
    p.setPen(QPen(QColor(0xc4, 0xd4, 0xe6), 1));
    p.drawPath(roundedRect(r, 10));
    p.restore();
}

// Frame drawn around (not over) a widget rectangle.
void drawFrameAround(QPainter& p, const QRect& r, const QColor& fill) {
    p.save();
    p.setRenderHint(QPainter::Antialiasing, false);
    p.fillRect(r.adjusted(-3, -3, 3, 3), QColor(0xb8, 0xc8, 0xda));
    p.fillRect(r.adjusted(-2, -2, 2, 2), QColor(0xf4, 0xf7, 0xfa));
    p.fillRect(r.adjusted(-1, -1, 1, 1), QColor(0x8a, 0xa2, 0xbc));
    p.fillRect(r, fill);
    p.restore();
}

const int kWindowW = 701, kWindowH = 488;

// Title banner with the icon and the names.
void drawTitleBanner(QPainter& p, int scale) {
    const int W = kWindowW;
    const QRectF banner(0, 0, W, 50);
    QLinearGradient bg(banner.topLeft(), banner.bottomRight());
    bg.setColorAt(0, QColor(0x17, 0x4e, 0x9a));
    bg.setColorAt(1, QColor(0x2f, 0x80, 0xdc));
    p.fillRect(banner, bg);
    p.save();
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(255, 255, 255, 18));
    p.drawEllipse(QPointF(640, -20), 110, 110);
    p.drawEllipse(QPointF(560, 70), 70, 70);
    p.setClipRect(banner);
    p.setBrush(vertical(banner, QColor(255, 255, 255, 40), QColor(255, 255, 255, 0)));
    p.drawRect(QRectF(0, 0, W, 25));
    p.restore();
    p.fillRect(QRectF(0, banner.bottom(), W, 2), QColor(0x0f, 0x3b, 0x78));
    p.drawImage(QPointF(14, 9), renderIcon(32, scale));
    const QFont nameFont = font(23, true);
    const QRectF nameInk =
        drawBgText(p, QRectF(56, 0, 300, 50), "VrelPictureCheck", nameFont, Qt::white);
    drawBgText(p, QRectF(nameInk.right() + 12, 2, 300, 50), QStringLiteral("报名照片审核工具"),
               font(22), QColor(0xe3, 0xef, 0xff));
}

const QColor kHeading(0x15, 0x4f, 0x96);
const QColor kBody(0x2b, 0x3a, 0x4a);
const double kLineH = 19.5;

// A column heading with a blue bar before it.
void drawHeading(QPainter& p, const QRectF& col, const QString& text) {
    p.fillRect(QRectF(col.left(), col.top() + 4, 4, 14), QColor(0x2f, 0x80, 0xdc));
    drawBgText(p, QRectF(col.left() + 10, col.top(), col.width() - 10, 22), text, font(15, true),
               kHeading);
}

// The photo requirements, one bullet each; returns the bottom of the last line.
double drawRequirements(QPainter& p, const QRectF& left) {
    drawHeading(p, left, QStringLiteral("照片要求"));
    const QStringList reqs = {
        QStringLiteral("标准证件照，浅灰色、白色或浅蓝色背景"),
        QStringLiteral("JPG 或 JPEG 格式，不小于 480×640 像素"),
        QStringLiteral("照片清晰；审核通过的照片约 20～40 KB"),
    };
    double y = left.top() + 23;
    for (const QString& line : reqs) {
        p.save();
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0x2f, 0x80, 0xdc));
        p.drawEllipse(QPointF(left.left() + 6, y + kLineH / 2), 2.6, 2.6);
        p.restore();
        drawBgText(p, QRectF(left.left() + 15, y, left.width() - 15, kLineH), line, font(14),
                   kBody);
        y += kLineH;
    }
    return y;
}

// How to use the tool, in numbered steps; returns the bottom of the last line.
double drawUsage(QPainter& p, const QRectF& right) {
    drawHeading(p, right, QStringLiteral("使用方法"));
    const QStringList steps = {
        QStringLiteral("打开照片文件 → 程序自动审核"),
        QStringLiteral("审核通过后，保存照片文件"),
        QStringLiteral("不通过则按提示修改后重新审核"),
    };
    double y = right.top() + 23;
    int n = 1;
    for (const QString& line : steps) {
        drawNumber(p, QPointF(right.left() + 8, y + kLineH / 2), n++);
        drawBgText(p, QRectF(right.left() + 22, y, right.width() - 22, kLineH), line, font(14),
                   kBody);
        y += kLineH;
    }
    return y;
}

// The card with the requirements and the usage side by side.
void drawInstructions(QPainter& p) {
    const QRectF panel(12, 60, kWindowW - 24, 94);
    drawCard(p, panel);
    const double colGap = 14;
    const double colW = (panel.width() - 3 * colGap) / 2;
    const QRectF left(panel.left() + colGap, panel.top() + 8, colW, panel.height() - 16);
    const QRectF right(left.right() + colGap, left.top(), colW, left.height());
    p.fillRect(QRectF(right.left() - colGap / 2, panel.top() + 12, 1, panel.height() - 24),
               QColor(0xc4, 0xd4, 0xe6));
    drawRequirements(p, left);
    if (drawUsage(p, right) > panel.bottom())
        problem("background: text panel overflows");
}

// The sample portrait beside the frame where the window shows the reviewed photo.
void drawPhotoAreas(QPainter& p) {
    const QRect sample(42, kPhotoFrame.top(), kPhotoFrame.width(), kPhotoFrame.height());
    const QRect sampleInfo(sample.left(), kInfoLine.top(), kInfoLine.width(), kInfoLine.height());
    const double captionTop = kInfoLine.bottom() + 6;
    for (const QRect& f : {sample, kPhotoFrame})
        drawCard(p, QRectF(f.left() - 14, 162, f.width() + 28, captionTop + 24 - 162 + 4));

    drawFrameAround(p, sample, Qt::white);
    p.save();
    p.setClipRect(sample);
    drawPhoto(p, QRectF(sample), kLightGrey, {kGoodHead}, {}, 0.01);
    p.restore();
    drawFrameAround(p, sampleInfo, QColor(0xe8, 0xf1, 0xfb));
    drawBgText(p, QRectF(sampleInfo), QStringLiteral("480×640 像素 · 浅色背景"), font(13),
               QColor(0x4a, 0x60, 0x78), Qt::AlignCenter);
    drawBgText(p, QRectF(sample.left(), captionTop, sample.width(), 24),
               QStringLiteral("标准证件照样式"), font(15, true), kHeading, Qt::AlignCenter);

    drawFrameAround(p, kPhotoFrame, Qt::white);
    drawFrameAround(p, kInfoLine, Qt::white);
    drawBgText(p, QRectF(kPhotoFrame.left(), captionTop, kPhotoFrame.width(), 24),
               QStringLiteral("审核通过照片显示区"), font(15, true), kHeading, Qt::AlignCenter);
}

QImage renderBackground(int scale) {
    const int W = kWindowW, H = kWindowH;
    QImage img = canvas(W, H, QImage::Format_RGB32, scale);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);

    const QRectF all(0, 0, W, H);
    p.fillRect(all, vertical(all, QColor(0xea, 0xf1, 0xf8), QColor(0xdc, 0xe6, 0xf1)));
    drawTitleBanner(p, scale);
    drawInstructions(p);
    drawPhotoAreas(p);
    // soft panel under the buttons
    drawCard(p, QRectF(460, 160, 224, 284));

    // window border (the window has no caption bar), one drawing unit wide at every scale
    p.setRenderHint(QPainter::Antialiasing, false);
    const QColor border(0x0f, 0x3b, 0x78);
    p.fillRect(QRect(0, 0, W, 1), border);
    p.fillRect(QRect(0, H - 1, W, 1), border);
    p.fillRect(QRect(0, 0, 1, H), border);
    p.fillRect(QRect(W - 1, 0, 1, H), border);
    p.end();
    return img;
}

struct Button {
    QString file;
    QString text;
    QColor top, bottom;
    std::function<void(QPainter&, const QRectF&)> symbol;
};

} // namespace

void writeWindowPictures(const QString& dir) {
    const Button buttons[] = {
        {"open", QStringLiteral("打开照片文件"), QColor(0x5a, 0xa2, 0xf0), QColor(0x1f, 0x5f, 0xb8),
         drawFolderSymbol},
        {"save", QStringLiteral("保存照片文件"), QColor(0x5c, 0xc0, 0x63), QColor(0x23, 0x7a, 0x2f),
         drawFloppySymbol},
        {"exit", QStringLiteral("关闭退出"), QColor(0xef, 0x6c, 0x64), QColor(0xb3, 0x26, 0x26),
         drawExitSymbol},
    };
    // 1x, then the sharp set.
    for (int scale : {1, 2}) {
        const QString suffix = scale == 1 ? QString(".png") : QString("@%1x.png").arg(scale);
        save(renderBackground(scale), dir + "/background" + suffix, "PNG");
        for (const Button& b : buttons)
            save(renderButton(b.text, b.top, b.bottom, b.symbol, b.file + ".png", scale),
                 dir + "/" + b.file + suffix, "PNG");
        for (int size : {16, 32, 48})
            save(renderIcon(size, scale), dir + QString("/icon%1").arg(size) + suffix, "PNG");
    }
}
