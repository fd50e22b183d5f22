#include "qt_images.h"

#include <QBuffer>
#include <QImageReader>
#include <QPainter>

namespace ui::detail {

QPixmap pixmapFromBmp(const std::vector<uint8_t>& bmpFile) {
    QPixmap p;
    p.loadFromData(bmpFile.data(), static_cast<uint>(bmpFile.size()), "BMP");
    return p;
}

QIcon iconFromIco(const std::vector<uint8_t>& icoFile) {
    QByteArray bytes(reinterpret_cast<const char*>(icoFile.data()), static_cast<qsizetype>(icoFile.size()));
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, "ICO");
    QIcon icon;
    // Every image of the file, so that each size the desktop asks for has its own.
    const int count = reader.imageCount();
    for (int i = 0; i < std::max(count, 1); ++i) {
        if (i > 0 && !reader.jumpToImage(i)) break;
        const QImage image = reader.read();
        if (!image.isNull()) icon.addPixmap(QPixmap::fromImage(image));
    }
    return icon;
}

void PictureButton::setBitmaps(QPixmap up, QPixmap down) {
    up_ = std::move(up);
    down_ = std::move(down);
    setFlat(!up_.isNull());
    update();
}

void PictureButton::paintEvent(QPaintEvent* event) {
    if (up_.isNull()) {
        QPushButton::paintEvent(event);
        return;
    }
    QPainter painter(this);
    const QPixmap& face = (isDown() && !down_.isNull()) ? down_ : up_;
    if (!isEnabled()) painter.setOpacity(0.4);
    painter.drawPixmap(rect(), face);
    if (hasFocus()) {
        painter.setOpacity(1.0);
        QPen pen(palette().color(QPalette::WindowText));
        pen.setStyle(Qt::DotLine);
        painter.setPen(pen);
        painter.drawRect(rect().adjusted(2, 2, -3, -3));
    }
}

}  // namespace ui::detail
