#pragma once

#include <QWidget>

namespace signposter::ui {

// A lowered frame around a group of fields: shadow on the top and left edges, highlight on the bottom
// and right. It draws only the frame, so whatever lies under it (the window's texture) shows through,
// and it never takes mouse input.
class TBevel : public QWidget {
    Q_OBJECT
public:
    explicit TBevel(QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;
};

}  // namespace signposter::ui
