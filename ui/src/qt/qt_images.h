// Pictures of module resources for Qt: .bmp files of bitmap buttons, .ico files of icons; and
// the push button that can show a pair of bitmaps in place of its face.
#pragma once
#include <cstdint>
#include <vector>

#include <QIcon>
#include <QPixmap>
#include <QPushButton>

namespace ui::detail {

QPixmap pixmapFromBmp(const std::vector<uint8_t>& bmpFile);
QIcon iconFromIco(const std::vector<uint8_t>& icoFile);

// A push button; given two bitmaps it draws the up or down one over its whole area instead
// (as a bitmap button does), greyed when disabled.
class PictureButton : public QPushButton {
public:
    using QPushButton::QPushButton;
    void setBitmaps(QPixmap up, QPixmap down);
    bool hasBitmaps() const { return !up_.isNull(); }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QPixmap up_, down_;
};

}  // namespace ui::detail
