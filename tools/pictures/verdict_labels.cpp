// Verdict labels (480 x 44, transparent around a semi-opaque bar). The command line pastes one
// of them under the photo it annotates; OpenCV cannot draw Chinese text itself.

#include "pictures.h"

#include "drawing.h"

#include <QPen>

#include <cmath>
#include <utility>
#include <vector>

namespace {

struct Label {
    QString file;
    QString text;
    bool ok;
};

QColor withAlpha(QColor c, int alpha) {
    c.setAlpha(alpha);
    return c;
}

// Soft shadow (only outside the bar, so the bar keeps its opacity), slightly lighter at the
// top, thin darker rim.
void drawBar(QPainter& p, const QRectF& bar, const QColor& base) {
    const double radius = 10;
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0, 0, 0, 40));
    p.drawPath(roundedRect(bar.translated(0, 1.5), radius).subtracted(roundedRect(bar, radius)));
    p.setBrush(vertical(bar, withAlpha(base.lighter(118), 220), withAlpha(base, 220)));
    p.setPen(QPen(withAlpha(base.darker(135), 235), 1));
    p.drawPath(roundedRect(bar, radius));
}

// White disc with the check mark or cross cut in the bar colour.
void drawMark(QPainter& p, QPointF c, double r, const QColor& base, bool ok) {
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0, 0, 0, 50));
    p.drawEllipse(c + QPointF(0, 1), r, r);
    p.setBrush(Qt::white);
    p.drawEllipse(c, r, r);
    p.setPen(QPen(base, 3.2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    if (ok) {
        QPainterPath check;
        check.moveTo(c + QPointF(-r * 0.46, r * 0.02));
        check.lineTo(c + QPointF(-r * 0.14, r * 0.34));
        check.lineTo(c + QPointF(r * 0.46, -r * 0.30));
        p.drawPath(check);
    } else {
        const double d = r * 0.36;
        p.drawLine(c + QPointF(-d, -d), c + QPointF(d, d));
        p.drawLine(c + QPointF(d, -d), c + QPointF(-d, d));
    }
}

QImage renderLabel(const Label& label) {
    const int W = 480, H = 44;
    QImage img(W, H, QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::transparent);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);

    const QColor base = label.ok ? kGreen : kRed;
    const QRectF bar(4.5, 3.5, W - 9, H - 9);
    drawBar(p, bar, base);

    // symbol and text are centred together; the symbol sits left of the text
    const double badgeD = 24, gap = 10, pad = 12;
    const QFont f =
        fitFont(label.text, 24, true, bar.width() - 2 * pad - badgeD - gap, 22, label.file);
    const double tw = textWidth(f, label.text);
    const double left = bar.center().x() - (badgeD + gap + tw) / 2;
    drawMark(p, QPointF(left + badgeD / 2, bar.center().y()), badgeD / 2, base, label.ok);

    const QRectF textBox(left + badgeD + gap, bar.top(), tw + 1, bar.height());
    drawLine(p, textBox.translated(0, 1), label.text, f, QColor(0, 0, 0, 80),
             Qt::AlignLeft | Qt::AlignVCenter, label.file);
    const QRectF ink = drawLine(p, textBox, label.text, f, Qt::white,
                                Qt::AlignLeft | Qt::AlignVCenter, label.file);
    if (ink.left() < bar.left() + pad - 0.5 || ink.right() > bar.right() - pad + 0.5)
        problem(label.file + ": text runs into the rounded ends of the bar");
    p.end();
    return img;
}

} // namespace

void writeVerdictLabels(const QString& dir) {
    const std::vector<Label> verdicts = {
        {"Passed.png", QStringLiteral("审核通过"), true},
        {"PassedByBypass.png", QStringLiteral("免检通过"), true},
        {"BackgroundRejected.png", QStringLiteral("审核不通过：背景颜色不符合要求"), false},
        {"FaceCountWrong.png", QStringLiteral("审核不通过：未检测到唯一人脸"), false},
        {"PlacementWrong.png", QStringLiteral("审核不通过：人脸大小或位置不符合要求"), false},
        {"NotCentred.png", QStringLiteral("审核不通过：人脸未居中"), false},
    };
    for (const Label& label : verdicts)
        save(renderLabel(label), dir + "/" + label.file, "PNG");

    // The words of the measured numbers, white on transparent and as tall as the numbers
    // OpenCV writes beside them (its 0.5 scale): the command line tints each in its note's
    // colour.
    const std::vector<std::pair<QString, QString>> words = {
        {"word-pixel.png", QStringLiteral("背景像素")},
        {"word-hue.png", QStringLiteral("色调")},
        {"word-saturation.png", QStringLiteral("饱和度")},
        {"word-value.png", QStringLiteral("亮度")},
        {"word-white.png", QStringLiteral("白色背景：")},
        {"word-blue.png", QStringLiteral("蓝色背景：")},
        {"word-faces.png", QStringLiteral("人脸数")},
        {"word-needed.png", QStringLiteral("须为")},
        {"word-below-chin.png", QStringLiteral("下颌线以下占比")},
        {"word-beside-face.png", QStringLiteral("脸旁占比")},
        {"word-within.png", QStringLiteral("须在")},
        {"word-margins.png", QStringLiteral("左右边距")},
        {"word-difference.png", QStringLiteral("相差")},
    };
    const QFont f = font(14);
    for (const auto& [file, text] : words) {
        const int w = static_cast<int>(std::ceil(textWidth(f, text))) + 2, h = 18;
        QImage img(w, h, QImage::Format_ARGB32_Premultiplied);
        img.fill(Qt::transparent);
        QPainter p(&img);
        p.setRenderHint(QPainter::TextAntialiasing);
        drawLine(p, QRectF(1, 0, w - 2, h), text, f, Qt::white, Qt::AlignLeft | Qt::AlignVCenter,
                 file);
        p.end();
        save(img, dir + "/" + file, "PNG");
    }
}
