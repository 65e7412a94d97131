#pragma once

#include <QImage>
#include <QObject>
#include <QPointer>
#include <QWidget>

// Covers its owner window's surface with a bitmap repeated in tiles, drawn after the owner's background
// erase and before the owner's own painting and its child controls. It hooks the owner's painting when
// created (the owner's own paintEvent still runs afterwards) and unhooks when destroyed.
//
// A paint of the owner redirected into another surface with an offset (QWidget::render, as transparent
// check boxes do) gets the matching piece of the texture.
namespace signposter::ui {

class TLbBackground : public QObject {
    Q_OBJECT

public:
    explicit TLbBackground(QWidget* owner);
    ~TLbBackground() override;

    bool Enabled() const { return m_enabled; }
    void SetEnabled(bool enabled);
    const QImage& Image() const { return m_image; }
    void SetImage(const QImage& image);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void Tile();

    QPointer<QWidget> m_owner;
    bool m_enabled = false;
    QImage m_image;
};

}  // namespace signposter::ui
