#include "app/lamp_widget.h"

#include <QPainter>

namespace vorl {

LampWidget::LampWidget(const QString& name, QWidget* parent) : QWidget(parent) {
    setAccessibleName(name);
    setAccessibleDescription(tr("off"));
    setFixedSize(sizeHint());
}

void LampWidget::setLit(bool lit) {
    if (lit_ == lit) {
        return;
    }
    lit_ = lit;
    setAccessibleDescription(lit ? tr("on") : tr("off"));
    update();
}

void LampWidget::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QColor(40, 40, 40));
    p.setBrush(lit_ ? QColor(40, 220, 40) : QColor(20, 70, 20));
    p.drawEllipse(rect().adjusted(1, 1, -1, -1));
}

} // namespace vorl
