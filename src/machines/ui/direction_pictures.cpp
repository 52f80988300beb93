#include "machines/ui/direction_pictures.h"

#include <QPainter>
#include <QPolygon>

namespace vorl {
namespace {

constexpr int kWidth = 44;
constexpr int kHeight = 18;

void drawComputer(QPainter& p) {
    p.drawRect(1, 2, 10, 8);   // screen
    p.drawLine(6, 11, 6, 13);  // neck
    p.drawLine(2, 14, 10, 14); // keyboard
}

void drawMachineTool(QPainter& p) {
    p.drawRect(33, 1, 9, 15);   // column and table
    p.drawLine(36, 4, 39, 4);   // controller screen
    p.drawLine(37, 9, 37, 12);  // spindle
    p.drawLine(34, 13, 41, 13); // work table
}

} // namespace

QPixmap directionPicture(Direction direction) {
    QPixmap picture(kWidth, kHeight);
    picture.fill(Qt::transparent);
    QPainter p(&picture);
    p.setPen(QPen(Qt::black, 1));
    drawComputer(p);
    drawMachineTool(p);

    const int y = 8;
    if (direction == Direction::Neutral) {
        p.setPen(QPen(Qt::gray, 1, Qt::DotLine));
        p.drawLine(14, y, 30, y);
        return picture;
    }
    p.setPen(QPen(Qt::darkBlue, 2));
    p.drawLine(14, y, 30, y);
    p.setBrush(Qt::darkBlue);
    const bool right = direction == Direction::ToController;
    const int tip = right ? 31 : 13;
    const int back = right ? 26 : 18;
    p.drawPolygon(QPolygon({QPoint(tip, y), QPoint(back, y - 4), QPoint(back, y + 4)}));
    return picture;
}

} // namespace vorl
