// A small round status lamp, lit or not. Stands in for the status lights
// until the serial layer's light widget takes its place; anything with the
// same setLit/isLit can replace it.
#pragma once

#include <QColor>
#include <QWidget>

namespace vorl {

class LampWidget : public QWidget {
    Q_OBJECT
    Q_PROPERTY(bool lit READ isLit WRITE setLit)

public:
    explicit LampWidget(const QString& name, QWidget* parent = nullptr);

    bool isLit() const { return lit_; }
    void setLit(bool lit);

    QSize sizeHint() const override { return {12, 12}; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    bool lit_ = false;
};

} // namespace vorl
