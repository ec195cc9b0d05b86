// Drawing helpers shared by the tip pictures, the window pictures and the verdict labels: fonts
// and text that must fit its box, shapes, arrows, badges and the head-and-shoulders figure.
// Layout problems are collected and make the run fail at its end.
#pragma once

#include <QColor>
#include <QFont>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRectF>
#include <QString>

#include <vector>

extern const char* const kFamily;

// Reports a layout problem (text too wide, text over a widget area, ...).
void problem(const QString& what);
int problemCount();

QFont font(double px, bool bold = false);
double textWidth(const QFont& f, const QString& text);
// Largest font (down to minPx) in which the text fits into maxWidth.
QFont fitFont(const QString& text, double px, bool bold, double maxWidth, double minPx,
              const QString& where);
// Draws one line of text in box and returns the rectangle the text covers.
// Reports a problem when the text is wider or taller than the box.
QRectF drawLine(QPainter& p, const QRectF& box, const QString& text, const QFont& f,
                const QColor& color, Qt::Alignment align, const QString& where);

QPainterPath roundedRect(const QRectF& r, double radius);
QLinearGradient vertical(const QRectF& r, const QColor& top, const QColor& bottom);
void drawArrow(QPainter& p, QPointF from, QPointF to, const QColor& color, double width,
               double head, bool bothEnds = false);
// Round badge: a green check mark (ok) or a red cross.
void drawBadge(QPainter& p, QPointF c, double r, bool ok);

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

void drawPerson(QPainter& p, const QRectF& frame, const Head& hd, const Look& look = Look());
// A photo: backdrop, figures clipped to the frame, thin border and shadow.
void drawPhoto(QPainter& p, const QRectF& frame, const QColor& backdrop,
               const std::vector<Head>& heads, const std::vector<Look>& looks = {},
               double border = 3);
// The rectangle the head takes in the frame.
QRectF frameOf(const Head& hd, const QRectF& frame);

extern const Head kGoodHead;
extern const QColor kLightBlue;
extern const QColor kLightGrey;
extern const QColor kRed;
extern const QColor kGreen;

// Writes the picture and says so; reports a problem when it cannot.
bool save(const QImage& img, const QString& path, const char* format, int quality = -1);
