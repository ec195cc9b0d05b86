#include "drawing.h"

#include <QFontMetricsF>
#include <QLineF>
#include <QPen>
#include <QPolygonF>
#include <QRadialGradient>
#include <QStringList>

#include <algorithm>
#include <cmath>
#include <cstdio>

const char* const kFamily = "WenQuanYi Micro Hei";

const Head kGoodHead{0.5, 0.13, 0.46};
const QColor kLightBlue(0xd3, 0xe6, 0xf6);
const QColor kLightGrey(0xe8, 0xea, 0xec);
const QColor kRed(0xc6, 0x28, 0x28);
const QColor kGreen(0x2e, 0x7d, 0x32);

namespace {
QStringList g_problems;
} // namespace

void problem(const QString& what) {
    g_problems << what;
    std::fprintf(stderr, "make_pictures: %s\n", qPrintable(what));
}

int problemCount() {
    return int(g_problems.size());
}

QFont font(double px, bool bold) {
    QFont f(QString::fromLatin1(kFamily));
    f.setPixelSize(static_cast<int>(std::lround(px)));
    f.setBold(bold);
    f.setStyleStrategy(QFont::PreferAntialias);
    f.setHintingPreference(QFont::PreferNoHinting);
    return f;
}

double textWidth(const QFont& f, const QString& text) {
    return QFontMetricsF(f).horizontalAdvance(text);
}

QFont fitFont(const QString& text, double px, bool bold, double maxWidth, double minPx,
              const QString& where) {
    for (double size = px; size >= minPx; size -= 1) {
        QFont f = font(size, bold);
        if (textWidth(f, text) <= maxWidth)
            return f;
    }
    problem(QString("%1: \"%2\" does not fit into %3 px").arg(where, text).arg(maxWidth));
    return font(minPx, bold);
}

QRectF drawLine(QPainter& p, const QRectF& box, const QString& text, const QFont& f,
                const QColor& color, Qt::Alignment align, const QString& where) {
    QFontMetricsF fm(f);
    const double w = fm.horizontalAdvance(text);
    const double h = fm.height();
    if (w > box.width() + 0.5 || h > box.height() + 0.5)
        problem(QString("%1: \"%2\" needs %3 x %4, box is %5 x %6")
                    .arg(where, text)
                    .arg(w)
                    .arg(h)
                    .arg(box.width())
                    .arg(box.height()));
    p.setFont(f);
    p.setPen(color);
    p.drawText(box, int(align) | Qt::TextSingleLine, text);
    double x = box.left();
    if (align & Qt::AlignHCenter)
        x = box.center().x() - w / 2;
    else if (align & Qt::AlignRight)
        x = box.right() - w;
    double y = box.top();
    if (align & Qt::AlignVCenter)
        y = box.center().y() - h / 2;
    else if (align & Qt::AlignBottom)
        y = box.bottom() - h;
    return QRectF(x, y, w, h);
}

QPainterPath roundedRect(const QRectF& r, double radius) {
    QPainterPath path;
    path.addRoundedRect(r, radius, radius);
    return path;
}

QLinearGradient vertical(const QRectF& r, const QColor& top, const QColor& bottom) {
    QLinearGradient g(r.topLeft(), r.bottomLeft());
    g.setColorAt(0, top);
    g.setColorAt(1, bottom);
    return g;
}

void drawArrow(QPainter& p, QPointF from, QPointF to, const QColor& color, double width,
               double head, bool bothEnds) {
    const QLineF line(from, to);
    const double len = line.length();
    if (len < 1)
        return;
    const QPointF dir = (to - from) / len;
    const QPointF normal(-dir.y(), dir.x());
    auto headAt = [&](QPointF tip, QPointF d) {
        QPolygonF tri;
        tri << tip << tip - d * head + normal * head * 0.6 << tip - d * head - normal * head * 0.6;
        p.setPen(Qt::NoPen);
        p.setBrush(color);
        p.drawPolygon(tri);
    };
    const QPointF start = bothEnds ? from + dir * head * 0.8 : from;
    const QPointF end = to - dir * head * 0.8;
    p.setPen(QPen(color, width, Qt::SolidLine, Qt::FlatCap));
    p.drawLine(start, end);
    headAt(to, dir);
    if (bothEnds)
        headAt(from, -dir);
}

void drawBadge(QPainter& p, QPointF c, double r, bool ok) {
    p.save();
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0, 0, 0, 45));
    p.drawEllipse(c + QPointF(0, r * 0.08), r * 1.04, r * 1.04);
    p.setBrush(Qt::white);
    p.drawEllipse(c, r, r);
    QRadialGradient g(c - QPointF(r * 0.3, r * 0.35), r * 1.2);
    g.setColorAt(0, ok ? QColor(0x5c, 0xc0, 0x63) : QColor(0xf4, 0x5b, 0x55));
    g.setColorAt(1, ok ? QColor(0x2e, 0x7d, 0x32) : QColor(0xc6, 0x28, 0x28));
    p.setBrush(g);
    p.drawEllipse(c, r * 0.86, r * 0.86);
    QPen pen(Qt::white, r * 0.24, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    p.setPen(pen);
    p.setBrush(Qt::NoBrush);
    if (ok) {
        QPainterPath check;
        check.moveTo(c + QPointF(-r * 0.42, r * 0.02));
        check.lineTo(c + QPointF(-r * 0.12, r * 0.32));
        check.lineTo(c + QPointF(r * 0.44, -r * 0.30));
        p.drawPath(check);
    } else {
        const double d = r * 0.33;
        p.drawLine(c + QPointF(-d, -d), c + QPointF(d, d));
        p.drawLine(c + QPointF(d, -d), c + QPointF(-d, d));
    }
    p.restore();
}

// ---------------------------------------------------------------------------
// Head-and-shoulders figure

namespace {

// Where the parts of one figure go, in pixels.
struct Figure {
    double H;    // head height
    double W;    // head width
    double cx;   // centre line
    double top;  // top of the hair
    double chin; // bottom of the face
    double neckW;
    double shoulderY;
    QColor skinShade;
};

Figure figureIn(const QRectF& frame, const Head& hd, const Look& look) {
    Figure f;
    f.H = hd.h * frame.height();
    f.W = f.H * 0.74;
    f.cx = frame.left() + hd.cx * frame.width();
    f.top = frame.top() + hd.top * frame.height();
    f.chin = f.top + f.H;
    f.neckW = f.W * 0.40;
    f.shoulderY = f.chin + f.H * 0.22;
    f.skinShade = look.skin.darker(112);
    return f;
}

// Suit with rounded shoulders and the shirt collar.
void drawBody(QPainter& p, const Figure& f, const Look& look) {
    const double H = f.H, cx = f.cx, neckW = f.neckW, shoulderY = f.shoulderY;
    const double half = H * 1.12;
    const double bottom = f.chin + H * 2.0;
    QPainterPath body;
    body.moveTo(cx - half, bottom);
    body.lineTo(cx - half, shoulderY + H * 0.42);
    body.cubicTo(cx - half, shoulderY + H * 0.08, cx - half * 0.72, shoulderY, cx - neckW * 0.9,
                 shoulderY);
    body.lineTo(cx + neckW * 0.9, shoulderY);
    body.cubicTo(cx + half * 0.72, shoulderY, cx + half, shoulderY + H * 0.08, cx + half,
                 shoulderY + H * 0.42);
    body.lineTo(cx + half, bottom);
    body.closeSubpath();
    p.setBrush(
        vertical(QRectF(cx - half, shoulderY, 2 * half, H), look.suit.lighter(125), look.suit));
    p.drawPath(body);

    QPainterPath shirt;
    shirt.moveTo(cx - neckW * 0.95, shoulderY);
    shirt.lineTo(cx, shoulderY + H * 0.52);
    shirt.lineTo(cx + neckW * 0.95, shoulderY);
    shirt.closeSubpath();
    p.setBrush(QColor(0xf7, 0xf9, 0xfb));
    p.drawPath(shirt);
}

// Neck, ears and face.
void drawHead(QPainter& p, const Figure& f, const Look& look) {
    const double H = f.H, W = f.W, cx = f.cx, top = f.top, chin = f.chin;
    QPainterPath neck;
    neck.moveTo(cx - f.neckW / 2, chin - H * 0.2);
    neck.lineTo(cx - f.neckW / 2, f.shoulderY);
    neck.lineTo(cx, f.shoulderY + H * 0.2);
    neck.lineTo(cx + f.neckW / 2, f.shoulderY);
    neck.lineTo(cx + f.neckW / 2, chin - H * 0.2);
    neck.closeSubpath();
    p.setBrush(f.skinShade);
    p.drawPath(neck);

    p.setBrush(f.skinShade);
    p.drawEllipse(QPointF(cx - W * 0.49, top + H * 0.55), H * 0.07, H * 0.11);
    p.drawEllipse(QPointF(cx + W * 0.49, top + H * 0.55), H * 0.07, H * 0.11);
    QPainterPath face;
    face.moveTo(cx, chin);
    face.cubicTo(cx - W * 0.36, chin, cx - W * 0.5, top + H * 0.72, cx - W * 0.5, top + H * 0.46);
    face.cubicTo(cx - W * 0.5, top + H * 0.12, cx - W * 0.28, top, cx, top);
    face.cubicTo(cx + W * 0.28, top, cx + W * 0.5, top + H * 0.12, cx + W * 0.5, top + H * 0.46);
    face.cubicTo(cx + W * 0.5, top + H * 0.72, cx + W * 0.36, chin, cx, chin);
    p.setBrush(look.skin);
    p.drawPath(face);
}

// A cap over the forehead with short sides.
void drawHair(QPainter& p, const Figure& f, const Look& look) {
    const double H = f.H, W = f.W, cx = f.cx, top = f.top;
    QPainterPath cap;
    cap.addEllipse(QRectF(cx - W * 0.56, top - H * 0.05, W * 1.12, H * 0.78));
    QPainterPath faceOpen;
    faceOpen.moveTo(cx - W * 0.44, top + H * 0.62);
    faceOpen.lineTo(cx - W * 0.44, top + H * 0.36);
    faceOpen.cubicTo(cx - W * 0.2, top + H * 0.30, cx + W * 0.25, top + H * 0.24, cx + W * 0.44,
                     top + H * 0.30);
    faceOpen.lineTo(cx + W * 0.44, top + H * 0.62);
    faceOpen.closeSubpath();
    QPainterPath below;
    below.addRect(QRectF(cx - W, top + H * 0.52, 2 * W, H));
    QPainterPath hair = cap.subtracted(faceOpen).subtracted(below);
    p.setBrush(look.hair);
    p.drawPath(hair);
}

// Eyes, brows, nose and mouth.
void drawFeatures(QPainter& p, const Figure& f) {
    const double H = f.H, W = f.W, cx = f.cx, top = f.top;
    const QColor dark(0x3a, 0x2a, 0x22);
    p.setBrush(dark);
    const double eyeY = top + H * 0.52;
    p.drawEllipse(QPointF(cx - W * 0.19, eyeY), W * 0.055, H * 0.035);
    p.drawEllipse(QPointF(cx + W * 0.19, eyeY), W * 0.055, H * 0.035);
    QPen line(dark, std::max(0.8, H * 0.025), Qt::SolidLine, Qt::RoundCap);
    p.setPen(line);
    p.setBrush(Qt::NoBrush);
    p.drawLine(QPointF(cx - W * 0.28, eyeY - H * 0.08), QPointF(cx - W * 0.10, eyeY - H * 0.09));
    p.drawLine(QPointF(cx + W * 0.10, eyeY - H * 0.09), QPointF(cx + W * 0.28, eyeY - H * 0.08));
    p.setPen(QPen(f.skinShade.darker(115), std::max(0.8, H * 0.022), Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(cx, eyeY + H * 0.06), QPointF(cx - W * 0.03, eyeY + H * 0.15));
    QPainterPath mouth;
    mouth.moveTo(cx - W * 0.12, top + H * 0.78);
    mouth.quadTo(cx, top + H * 0.84, cx + W * 0.12, top + H * 0.78);
    p.setPen(QPen(QColor(0xb5, 0x4a, 0x45), std::max(0.8, H * 0.028), Qt::SolidLine, Qt::RoundCap));
    p.drawPath(mouth);
}

} // namespace

void drawPerson(QPainter& p, const QRectF& frame, const Head& hd, const Look& look) {
    const Figure f = figureIn(frame, hd, look);
    p.save();
    p.setPen(Qt::NoPen);
    drawBody(p, f, look);
    drawHead(p, f, look);
    drawHair(p, f, look);
    drawFeatures(p, f);
    p.restore();
}

void drawPhoto(QPainter& p, const QRectF& frame, const QColor& backdrop,
               const std::vector<Head>& heads, const std::vector<Look>& looks, double border) {
    p.save();
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0, 0, 0, 40));
    p.drawRect(frame.translated(3, 4));
    p.setBrush(vertical(frame, backdrop.lighter(106), backdrop));
    p.drawRect(frame);
    p.setClipRect(frame);
    for (size_t i = 0; i < heads.size(); ++i)
        drawPerson(p, frame, heads[i], i < looks.size() ? looks[i] : Look());
    p.setClipping(false);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(QColor(0x78, 0x8c, 0x9c), border));
    p.drawRect(frame.adjusted(border / 2, border / 2, -border / 2, -border / 2));
    p.restore();
}

QRectF frameOf(const Head& hd, const QRectF& frame) {
    const double H = hd.h * frame.height();
    const double W = H * 0.74;
    const double cx = frame.left() + hd.cx * frame.width();
    return QRectF(cx - W / 2, frame.top() + hd.top * frame.height(), W, H);
}

bool save(const QImage& img, const QString& path, const char* format, int quality) {
    if (!img.save(path, format, quality)) {
        problem("cannot write " + path);
        return false;
    }
    std::printf("wrote %s (%d x %d)\n", qPrintable(path), img.width(), img.height());
    return true;
}
