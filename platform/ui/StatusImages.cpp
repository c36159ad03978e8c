#include "platform/ui/StatusImages.h"

#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>

#include <cmath>

namespace {

constexpr int kSize = 48;  // pixels; shown at 24 points on a normal screen

QImage canvas() {
    QImage image(kSize, kSize, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    image.setDevicePixelRatio(2.0);
    return image;
}

QPolygonF octagon(const QRectF& r) {
    QPolygonF p;
    for (int i = 0; i < 8; ++i) {
        const double a = M_PI / 8 + i * M_PI / 4;
        p << QPointF(r.center().x() + r.width() / 2 * std::cos(a), r.center().y() + r.height() / 2 * std::sin(a));
    }
    return p;
}

}  // namespace

QImage statusImageNamed(const QString& name) {
    QImage image = canvas();
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF box(1.5, 1.5, 21, 21);  // in points
    QPen white(Qt::white, 2.6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    if (name == QLatin1String("NSStatusNone")) {
        p.setPen(QPen(QColor(170, 170, 170), 2.2));
        p.setBrush(QColor(60, 60, 60, 160));
        p.drawEllipse(box.adjusted(1, 1, -1, -1));
        p.drawLine(QPointF(8, 12), QPointF(16, 12));
    } else if (name == QLatin1String("NSStatusAvailable")) {
        p.setPen(QPen(QColor(10, 70, 25), 1));
        p.setBrush(QColor(40, 170, 70));
        p.drawEllipse(box);
        p.setPen(white);
        QPainterPath check;
        check.moveTo(7, 12.5);
        check.lineTo(10.5, 16);
        check.lineTo(17, 8.5);
        p.drawPath(check);
    } else if (name == QLatin1String("NSStatusUnavailable")) {
        p.setPen(QPen(QColor(90, 10, 10), 1));
        p.setBrush(QColor(215, 40, 40));
        p.drawPolygon(octagon(box));
        p.setPen(white);
        p.drawLine(QPointF(8.5, 8.5), QPointF(15.5, 15.5));
        p.drawLine(QPointF(15.5, 8.5), QPointF(8.5, 15.5));
    } else {
        return QImage();
    }
    p.end();
    image.setText(QStringLiteral("name"), name);
    return image;
}

QString statusImageDescription(const QImage& image) {
    const QString name = image.text(QStringLiteral("name"));
    if (name == QLatin1String("NSStatusNone")) return QStringLiteral("Source folder: not checked yet");
    if (name == QLatin1String("NSStatusAvailable")) return QStringLiteral("Source folder: available");
    if (name == QLatin1String("NSStatusUnavailable")) return QStringLiteral("Source folder: unavailable");
    return QString();
}

QString statusToolTip(const QImage& image, const QString& detail) {
    const QString description = statusImageDescription(image);
    if (detail.isEmpty() || description.isEmpty()) return description;
    return description + QLatin1Char('\n') + detail;
}
