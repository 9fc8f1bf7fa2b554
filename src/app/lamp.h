#pragma once

#include <QColor>
#include <QWidget>

// A round indicator lamp: green when on, the button-face colour when off. It reports its state to
// accessibility tools through its description ("on" / "off").
class Lamp : public QWidget
{
    Q_OBJECT
public:
    explicit Lamp(QWidget *parent = nullptr);

    void setOn(bool on);
    bool isOn() const { return m_on; }
    QColor fillColor() const;

    static QColor onColor() { return QColor(0, 255, 0); }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    bool m_on = false;
};
