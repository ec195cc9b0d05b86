// make_pictures: draws every picture the application ships with.
//
//   make_pictures <repository root>
//
// writes data/tips/state*.jpg (the rejection tips shown in the photo frame),
// app/resources/background.png (the main window), the three button pictures,
// the application icon in three sizes and data/labels/*.png (the verdict
// labels the command line pastes under an annotated photo). Everything is drawn with QPainter
// from shapes and text, so the output only depends on the Qt version and the
// "WenQuanYi Micro Hei" font. Layout problems (text wider than its box, text
// over the places where widgets sit) are reported and make the run fail.

#include <QDir>
#include <QFont>
#include <QFontInfo>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QString>
#include <QStringList>

#include <cmath>
#include <cstdio>
#include <functional>
#include <vector>

namespace {

const char* const kFamily = "WenQuanYi Micro Hei";

QStringList g_problems;

void problem(const QString& what) {
    g_problems << what;
    std::fprintf(stderr, "make_pictures: %s\n", qPrintable(what));
}

QFont font(double px, bool bold = false) {
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

// Largest font (down to minPx) in which the text fits into maxWidth.
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

// Draws one line of text in box and returns the rectangle the text covers.
// Reports a problem when the text is wider or taller than the box.
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
               double head, bool bothEnds = false) {
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

// Round badge: a green check mark (ok) or a red cross.
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

struct Head {
    double cx;  // centre of the head, fraction of the frame width
    double top; // top of the hair, fraction of the frame height
    double h;   // head height (hair to chin), fraction of the frame height
};

struct Look {
    QColor suit = QColor(0x2f, 0x3e, 0x55);
    QColor hair = QColor(0x2b, 0x21, 0x1c);
    QColor skin = QColor(0xf6, 0xd2, 0xb3);
};

void drawPerson(QPainter& p, const QRectF& frame, const Head& hd, const Look& look = Look()) {
    const double H = hd.h * frame.height();
    const double W = H * 0.74;
    const double cx = frame.left() + hd.cx * frame.width();
    const double top = frame.top() + hd.top * frame.height();
    const double chin = top + H;
    const QColor skinShade = look.skin.darker(112);

    p.save();
    p.setPen(Qt::NoPen);

    // body with rounded shoulders
    const double neckW = W * 0.40;
    const double shoulderY = chin + H * 0.22;
    const double half = H * 1.12;
    const double bottom = chin + H * 2.0;
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

    // shirt collar and neck
    QPainterPath shirt;
    shirt.moveTo(cx - neckW * 0.95, shoulderY);
    shirt.lineTo(cx, shoulderY + H * 0.52);
    shirt.lineTo(cx + neckW * 0.95, shoulderY);
    shirt.closeSubpath();
    p.setBrush(QColor(0xf7, 0xf9, 0xfb));
    p.drawPath(shirt);

    QPainterPath neck;
    neck.moveTo(cx - neckW / 2, chin - H * 0.2);
    neck.lineTo(cx - neckW / 2, shoulderY);
    neck.lineTo(cx, shoulderY + H * 0.2);
    neck.lineTo(cx + neckW / 2, shoulderY);
    neck.lineTo(cx + neckW / 2, chin - H * 0.2);
    neck.closeSubpath();
    p.setBrush(skinShade);
    p.drawPath(neck);

    // ears, face
    p.setBrush(skinShade);
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

    // hair: a cap over the forehead with short sides
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

    // features
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
    p.setPen(QPen(skinShade.darker(115), std::max(0.8, H * 0.022), Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(cx, eyeY + H * 0.06), QPointF(cx - W * 0.03, eyeY + H * 0.15));
    QPainterPath mouth;
    mouth.moveTo(cx - W * 0.12, top + H * 0.78);
    mouth.quadTo(cx, top + H * 0.84, cx + W * 0.12, top + H * 0.78);
    p.setPen(QPen(QColor(0xb5, 0x4a, 0x45), std::max(0.8, H * 0.028), Qt::SolidLine, Qt::RoundCap));
    p.drawPath(mouth);
    p.restore();
}

// A photo: backdrop, figures clipped to the frame, thin border and shadow.
void drawPhoto(QPainter& p, const QRectF& frame, const QColor& backdrop,
               const std::vector<Head>& heads, const std::vector<Look>& looks = {},
               double border = 3) {
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

const Head kGoodHead{0.5, 0.13, 0.46};
const QColor kLightBlue(0xd3, 0xe6, 0xf6);
const QColor kLightGrey(0xe8, 0xea, 0xec);

QRectF frameOf(const Head& hd, const QRectF& frame) {
    const double H = hd.h * frame.height();
    const double W = H * 0.74;
    const double cx = frame.left() + hd.cx * frame.width();
    return QRectF(cx - W / 2, frame.top() + hd.top * frame.height(), W, H);
}

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
    drawPhoto(p, thumb, kLightBlue, {Head{0.5, 0.14, 0.46}}, {}, 1.5);

    const QRectF band(r.left() - r.width() * 0.08, r.top() + r.height() * 0.66, r.width() * 0.84,
                      r.height() * 0.2);
    p.setPen(Qt::NoPen);
    p.setBrush(vertical(band, labelColor.lighter(115), labelColor));
    p.drawPath(roundedRect(band, 6));
    const QFont f = fitFont(label, band.height() * 0.72, true, band.width() - 12, 12, "file label");
    drawLine(p, band, label, f, Qt::white, Qt::AlignCenter, "file label");
    p.restore();
}

// ---------------------------------------------------------------------------
// Tip pictures (480 x 640, shown shrunk in the photo frame)

struct Tip {
    QString file;
    QStringList title;
    QStringList advice;
    std::function<void(QPainter&, const QRectF&)> illustrate;
};

const QColor kRed(0xc6, 0x28, 0x28);
const QColor kGreen(0x2e, 0x7d, 0x32);

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
    drawPhoto(p, bad, kLightBlue, {Head{0.5, 0.12, 0.5}});
    drawBadge(p, bad.topRight() + QPointF(-4, 4), 24, false);

    const QRectF good(x0 + badSize.width() + gap, top, goodW, goodH);
    drawPhoto(p, good, kLightBlue, {kGoodHead});
    drawDimension(p, QPointF(good.left(), good.bottom() + 24),
                  QPointF(good.right(), good.bottom() + 24), "480");
    drawDimension(p, QPointF(good.right() + 24, good.top()),
                  QPointF(good.right() + 24, good.bottom()), "640");
    drawBadge(p, good.topLeft() + QPointF(4, 4), 24, true);
    drawArrow(p, QPointF(bad.right() + 26, bad.center().y()),
              QPointF(good.left() - 10, bad.center().y()), QColor(0x60, 0x7d, 0x8b), 6, 18);
}

void illustrateBackground(QPainter& p, const QRectF& r) {
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
    const QColor ok[] = {QColor(0xff, 0xff, 0xff), kLightGrey, kLightBlue};
    const double gap = 18;
    double y = photo.center().y() - (3 * sw + 2 * gap) / 2;
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
    drawPhoto(p, none, kLightBlue, {});
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
    drawPhoto(p, two, kLightBlue, {Head{0.73, 0.2, 0.34}, Head{0.3, 0.16, 0.36}}, {second, Look()});
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
    drawPhoto(p, big, kLightBlue, {Head{0.5, -0.02, 0.8}});
    drawTargetHead(p, big, target);
    drawBadge(p, big.topRight() + QPointF(-4, 4), 24, false);

    const QRectF small(x0 + w + gap, top, w, h);
    drawPhoto(p, small, kLightBlue, {Head{0.5, 0.6, 0.24}});
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
    drawPhoto(p, off, kLightBlue, {Head{0.27, 0.16, 0.44}});
    centreLine(off, QColor(0xe5, 0x1c, 0x1c));
    drawBadge(p, off.topRight() + QPointF(-4, 4), 24, false);

    const QRectF good(x0 + w + gap, top, w, h);
    drawPhoto(p, good, kLightBlue, {Head{0.5, 0.16, 0.44}});
    centreLine(good, QColor(0x2e, 0x9d, 0x3a));
    drawBadge(p, good.topRight() + QPointF(-4, 4), 24, true);

    drawArrow(p, QPointF(off.right() + 8, off.center().y()),
              QPointF(good.left() - 8, off.center().y()), QColor(0x60, 0x7d, 0x8b), 6, 18);
}

QImage renderTip(const Tip& tip) {
    const int W = 480, H = 640;
    QImage img(W, H, QImage::Format_RGB32);
    img.fill(QColor(0xfa, 0xfb, 0xfc));
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    p.setRenderHint(QPainter::SmoothPixmapTransform);

    // red banner with a cross badge
    const QRectF banner(0, 0, W, 96);
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

    // title
    const double margin = 20;
    double y = banner.bottom() + 14;
    const double titleLine = 60;
    for (const QString& line : tip.title) {
        const QFont f = fitFont(line, 48, true, W - 2 * margin, 44, tip.file);
        drawLine(p, QRectF(margin, y, W - 2 * margin, titleLine), line, f, QColor(0x1a, 0x2b, 0x4c),
                 Qt::AlignCenter, tip.file);
        y += titleLine;
    }
    p.fillRect(QRectF(W / 2 - 50, y + 4, 100, 4), QColor(0xe5, 0x39, 0x35));
    const double illuTop = y + 30;

    // advice box at the bottom
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
        const QFont& f = adviceFont;
        drawLine(p, QRectF(box.left() + 14, ay, box.width() - 28, adviceLine), line, f,
                 QColor(0x4e, 0x34, 0x2e), Qt::AlignCenter, tip.file);
        ay += adviceLine;
    }

    const QRectF illu(margin, illuTop, W - 2 * margin, box.top() - 16 - illuTop);
    if (illu.height() < 180)
        problem(tip.file + ": too little room for the illustration");
    tip.illustrate(p, illu);
    p.end();
    return img;
}

// ---------------------------------------------------------------------------
// Application icon

QImage renderIcon(int size) {
    QImage img(size, size, QImage::Format_ARGB32);
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
                    const QString& where) {
    QImage img(200, 67, QImage::Format_ARGB32);
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

QImage renderBackground() {
    const int W = 701, H = 488;
    QImage img(W, H, QImage::Format_RGB32);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);

    const QRectF all(0, 0, W, H);
    p.fillRect(all, vertical(all, QColor(0xea, 0xf1, 0xf8), QColor(0xdc, 0xe6, 0xf1)));

    // title banner
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
    p.drawImage(QPointF(14, 9), renderIcon(32));
    const QFont nameFont = font(23, true);
    const QRectF nameInk =
        drawBgText(p, QRectF(56, 0, 300, 50), "VrelPictureCheck", nameFont, Qt::white);
    drawBgText(p, QRectF(nameInk.right() + 12, 2, 300, 50), QStringLiteral("报名照片审核工具"),
               font(22), QColor(0xe3, 0xef, 0xff));

    // requirements and usage
    const QRectF panel(12, 60, W - 24, 94);
    drawCard(p, panel);
    const double colGap = 14;
    const double colW = (panel.width() - 3 * colGap) / 2;
    const QRectF left(panel.left() + colGap, panel.top() + 8, colW, panel.height() - 16);
    const QRectF right(left.right() + colGap, left.top(), colW, left.height());
    p.fillRect(QRectF(right.left() - colGap / 2, panel.top() + 12, 1, panel.height() - 24),
               QColor(0xc4, 0xd4, 0xe6));

    const QColor heading(0x15, 0x4f, 0x96), body(0x2b, 0x3a, 0x4a);
    const QFont headFont = font(15, true), bodyFont = font(14);
    const double lineH = 19.5;
    auto headingAt = [&](const QRectF& col, const QString& text) {
        p.fillRect(QRectF(col.left(), col.top() + 4, 4, 14), QColor(0x2f, 0x80, 0xdc));
        drawBgText(p, QRectF(col.left() + 10, col.top(), col.width() - 10, 22), text, headFont,
                   heading);
    };
    headingAt(left, QStringLiteral("照片要求"));
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
        p.drawEllipse(QPointF(left.left() + 6, y + lineH / 2), 2.6, 2.6);
        p.restore();
        drawBgText(p, QRectF(left.left() + 15, y, left.width() - 15, lineH), line, bodyFont, body);
        y += lineH;
    }
    headingAt(right, QStringLiteral("使用方法"));
    const QStringList steps = {
        QStringLiteral("打开照片文件 → 程序自动审核"),
        QStringLiteral("审核通过后，保存照片文件"),
        QStringLiteral("不通过则按提示修改后重新审核"),
    };
    y = right.top() + 23;
    int n = 1;
    for (const QString& line : steps) {
        drawNumber(p, QPointF(right.left() + 8, y + lineH / 2), n++);
        drawBgText(p, QRectF(right.left() + 22, y, right.width() - 22, lineH), line, bodyFont,
                   body);
        y += lineH;
    }
    if (y > panel.bottom())
        problem("background: text panel overflows");

    // sample portrait and the display frame
    const QRect sample(42, kPhotoFrame.top(), kPhotoFrame.width(), kPhotoFrame.height());
    const QRect sampleInfo(sample.left(), kInfoLine.top(), kInfoLine.width(), kInfoLine.height());
    const double captionTop = kInfoLine.bottom() + 6;
    for (const QRect& f : {sample, kPhotoFrame})
        drawCard(p, QRectF(f.left() - 14, 162, f.width() + 28, captionTop + 24 - 162 + 4));

    drawFrameAround(p, sample, Qt::white);
    p.save();
    p.setClipRect(sample);
    drawPhoto(p, QRectF(sample), kLightBlue, {kGoodHead}, {}, 0.01);
    p.restore();
    drawFrameAround(p, sampleInfo, QColor(0xe8, 0xf1, 0xfb));
    drawBgText(p, QRectF(sampleInfo), QStringLiteral("480×640 像素 · 浅色背景"), font(13),
               QColor(0x4a, 0x60, 0x78), Qt::AlignCenter);
    drawBgText(p, QRectF(sample.left(), captionTop, sample.width(), 24),
               QStringLiteral("标准证件照样式"), font(15, true), heading, Qt::AlignCenter);

    drawFrameAround(p, kPhotoFrame, Qt::white);
    drawFrameAround(p, kInfoLine, Qt::white);
    drawBgText(p, QRectF(kPhotoFrame.left(), captionTop, kPhotoFrame.width(), 24),
               QStringLiteral("审核通过照片显示区"), font(15, true), heading, Qt::AlignCenter);

    // soft panel under the buttons
    drawCard(p, QRectF(460, 160, 224, 284));

    // window border (the window has no caption bar)
    p.setRenderHint(QPainter::Antialiasing, false);
    p.setPen(QColor(0x0f, 0x3b, 0x78));
    p.setBrush(Qt::NoBrush);
    p.drawRect(0, 0, W - 1, H - 1);
    p.end();
    return img;
}

// ---------------------------------------------------------------------------
// Verdict labels (480 x 44, transparent around a semi-opaque bar). The command
// line pastes one of them under the photo it annotates; OpenCV cannot draw
// Chinese text itself.

struct Label {
    QString file;
    QString text;
    bool ok;
};

QImage renderLabel(const Label& label) {
    const int W = 480, H = 44;
    QImage img(W, H, QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::transparent);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);

    const QColor base = label.ok ? kGreen : kRed;
    auto withAlpha = [](QColor c, int alpha) {
        c.setAlpha(alpha);
        return c;
    };

    // bar: soft shadow (only outside the bar, so the bar keeps its opacity),
    // slightly lighter at the top, thin darker rim
    const QRectF bar(4.5, 3.5, W - 9, H - 9);
    const double radius = 10;
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0, 0, 0, 40));
    p.drawPath(roundedRect(bar.translated(0, 1.5), radius).subtracted(roundedRect(bar, radius)));
    p.setBrush(vertical(bar, withAlpha(base.lighter(118), 220), withAlpha(base, 220)));
    p.setPen(QPen(withAlpha(base.darker(135), 235), 1));
    p.drawPath(roundedRect(bar, radius));

    // symbol and text are centred together; the symbol sits left of the text
    const double badgeD = 24, gap = 10, pad = 12;
    const QFont f = fitFont(label.text, 24, true, bar.width() - 2 * pad - badgeD - gap, 22,
                            label.file);
    const double tw = textWidth(f, label.text);
    const double left = bar.center().x() - (badgeD + gap + tw) / 2;
    const QPointF c(left + badgeD / 2, bar.center().y());
    const double r = badgeD / 2;

    // white disc with the check mark or cross cut in the bar colour
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0, 0, 0, 50));
    p.drawEllipse(c + QPointF(0, 1), r, r);
    p.setBrush(Qt::white);
    p.drawEllipse(c, r, r);
    p.setPen(QPen(base, 3.2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    if (label.ok) {
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

// ---------------------------------------------------------------------------

bool save(const QImage& img, const QString& path, const char* format, int quality = -1) {
    if (!img.save(path, format, quality)) {
        problem("cannot write " + path);
        return false;
    }
    std::printf("wrote %s (%d x %d)\n", qPrintable(path), img.width(), img.height());
    return true;
}

} // namespace

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_pictures <repository root>\n");
        return 2;
    }
    const QDir root(QString::fromLocal8Bit(argv[1]));
    const QFontInfo info(font(20));
    if (info.family() != QLatin1String(kFamily)) {
        std::fprintf(stderr, "make_pictures: font \"%s\" is missing (got \"%s\")\n", kFamily,
                     qPrintable(info.family()));
        return 1;
    }
    const QString tips = root.filePath("data/tips");
    const QString res = root.filePath("app/resources");
    const QString labels = root.filePath("data/labels");
    if (!QDir().mkpath(tips) || !QDir().mkpath(res) || !QDir().mkpath(labels)) {
        std::fprintf(stderr, "make_pictures: cannot create the output folders\n");
        return 1;
    }

    const std::vector<Tip> all = {
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
         {QStringLiteral("宽至少 480 像素，"), QStringLiteral("高至少 640 像素；"),
          QStringLiteral("高宽比须在 1 与 2 之间，"), QStringLiteral("竖版照片")},
         illustrateDimensions},
        {"state6.jpg",
         {QStringLiteral("背景颜色不符合要求")},
         {QStringLiteral("请使用白色、浅灰色"), QStringLiteral("或浅蓝色纯色背景")},
         illustrateBackground},
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
    for (const Tip& tip : all)
        save(renderTip(tip), tips + "/" + tip.file, "JPG", 90);

    save(renderBackground(), res + "/background.png", "PNG");
    save(renderButton(QStringLiteral("打开照片文件"), QColor(0x5a, 0xa2, 0xf0),
                      QColor(0x1f, 0x5f, 0xb8), drawFolderSymbol, "open.png"),
         res + "/open.png", "PNG");
    save(renderButton(QStringLiteral("保存照片文件"), QColor(0x5c, 0xc0, 0x63),
                      QColor(0x23, 0x7a, 0x2f), drawFloppySymbol, "save.png"),
         res + "/save.png", "PNG");
    save(renderButton(QStringLiteral("关闭退出"), QColor(0xef, 0x6c, 0x64),
                      QColor(0xb3, 0x26, 0x26), drawExitSymbol, "exit.png"),
         res + "/exit.png", "PNG");
    for (int size : {16, 32, 48})
        save(renderIcon(size), res + QString("/icon%1.png").arg(size), "PNG");

    const std::vector<Label> verdicts = {
        {"Passed.png", QStringLiteral("审核通过"), true},
        {"PassedByBypass.png", QStringLiteral("免检通过"), true},
        {"BackgroundRejected.png", QStringLiteral("审核不通过：背景颜色不符合要求"), false},
        {"FaceCountWrong.png", QStringLiteral("审核不通过：未检测到唯一人脸"), false},
        {"PlacementWrong.png", QStringLiteral("审核不通过：人脸大小或位置不符合要求"), false},
        {"NotCentred.png", QStringLiteral("审核不通过：人脸未居中"), false},
    };
    for (const Label& label : verdicts)
        save(renderLabel(label), labels + "/" + label.file, "PNG");

    if (!g_problems.isEmpty()) {
        std::fprintf(stderr, "make_pictures: %d layout problem(s)\n", int(g_problems.size()));
        return 1;
    }
    return 0;
}
