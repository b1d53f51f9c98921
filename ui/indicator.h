#pragma once

#include <QImage>
#include <QWidget>

// A 16 × 16 picture of the main window that keeps its last drawing and shows nothing until first drawn.
class TImage : public QWidget {
    Q_OBJECT

public:
    explicit TImage(QWidget* parent = nullptr);

    QImage& Picture() { return m_picture; }
    const QImage& Picture() const { return m_picture; }
    bool Drawn() const { return m_drawn; }
    void MarkDrawn() {
        m_drawn = true;
        update();
    }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QImage m_picture;
    bool m_drawn = false;
};

// Draws one link indicator: white ground, an outline and a five-column bar at the given phase (0..16), green
// when up, red when down.
void DrawIndicator(QImage& picture, bool up, int phase);
void DrawIndicator(TImage* picture, bool up, int phase);
