#pragma once

#include <QImage>
#include <QWidget>

#include "driver/driverview.h"  // the phases of an activity counter

// A 16 × 16 picture of the main window (Image1, Image2, Image3). It keeps its last drawing and shows nothing
// until it is first drawn. Main thread only.
class TImage : public QWidget {
    Q_OBJECT

public:
    explicit TImage(QWidget* parent = nullptr);

    QImage& Picture() { return m_picture; }
    const QImage& Picture() const { return m_picture; }
    bool Drawn() const { return m_drawn; }
    // Shows the current picture from now on.
    void MarkDrawn();

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QImage m_picture;
    bool m_drawn = false;
};

// Draws one link indicator into a 16 × 16 picture: white ground; in green RGB(0,128,0) when up, else red
// RGB(255,0,0), the 2-pixel outline of the rectangle (0,3)-(16,15) drawn inside its pixels (columns 0-1 and
// 14-15 of rows 3-14, rows 3-4 and 13-14 of columns 0-15), and five 1-pixel columns of rows 5-11 at
// x = phase .. phase + 4, where an x above 16 becomes x - 16. Columns outside the picture (16, or a phase out
// of 0..16) are left out, so any phase is safe.
void DrawIndicator(QImage& picture, bool up, int phase);
// The same on a picture of the window, which then shows it; a null picture is ignored.
void DrawIndicator(TImage* picture, bool up, int phase);
