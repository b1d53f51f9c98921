#include "ui/indicator.h"

#include <gtest/gtest.h>

#include <QImage>
#include <set>
#include <string>

namespace {

const QRgb kWhite = qRgb(255, 255, 255);
const QRgb kGreen = qRgb(0, 128, 0);
const QRgb kRed = qRgb(255, 0, 0);

bool OnOutline(int x, int y) {
    const bool rows = (y == 3 || y == 4 || y == 13 || y == 14) && x >= 0 && x <= 15;
    const bool columns = (x == 0 || x == 1 || x == 14 || x == 15) && y >= 3 && y <= 14;
    return rows || columns;
}

// The whole 16 × 16 picture expected for the given bar columns, as one string of '.', 'o' (outline) and '|'
// (bar), so a failure shows the picture.
std::string Expected(const std::set<int>& barColumns) {
    std::string s;
    for (int y = 0; y < 16; ++y) {
        for (int x = 0; x < 16; ++x) {
            const bool bar = barColumns.count(x) != 0 && y >= 5 && y <= 11;
            s += bar ? '|' : OnOutline(x, y) ? 'o' : '.';
        }
        s += '\n';
    }
    return s;
}

// The picture as drawn, in the same letters; any colour other than white or c is written as '?'.
std::string Drawn(const QImage& img, QRgb c, const std::set<int>& barColumns) {
    std::string s;
    for (int y = 0; y < 16; ++y) {
        for (int x = 0; x < 16; ++x) {
            const QRgb p = img.pixel(x, y) & 0xFFFFFF;
            if (p == (kWhite & 0xFFFFFF)) {
                s += '.';
            } else if (p != (c & 0xFFFFFF)) {
                s += '?';
            } else {
                const bool bar = barColumns.count(x) != 0 && y >= 5 && y <= 11;
                s += bar ? '|' : 'o';
            }
        }
        s += '\n';
    }
    return s;
}

struct PhaseCase {
    int phase;
    std::set<int> columns;  // the table's columns; 16 lies outside the picture
};

const PhaseCase kPhases[] = {
    {0, {0, 1, 2, 3, 4}},     {5, {5, 6, 7, 8, 9}},    {12, {12, 13, 14, 15, 16}}, {13, {13, 14, 15, 16, 1}},
    {14, {14, 15, 16, 1, 2}}, {15, {15, 16, 1, 2, 3}}, {16, {16, 1, 2, 3, 4}},
};

}  // namespace

TEST(DrawIndicator, EveryPixelOfTheTablesPhasesUpAndDown) {
    for (const bool up : {true, false}) {
        for (const auto& c : kPhases) {
            QImage img(16, 16, QImage::Format_RGB32);
            img.fill(Qt::black);  // whatever was there before must go
            DrawIndicator(img, up, c.phase);
            EXPECT_EQ(Drawn(img, up ? kGreen : kRed, c.columns), Expected(c.columns))
                << "phase " << c.phase << (up ? " up" : " down");
        }
    }
}

TEST(DrawIndicator, ColoursAreExactAndABarPixelOverTheOutlineKeepsTheColour) {
    QImage img(16, 16, QImage::Format_RGB32);
    DrawIndicator(img, true, 0);
    EXPECT_EQ(img.pixel(0, 3), kGreen);
    EXPECT_EQ(img.pixel(2, 5), kGreen);
    EXPECT_EQ(img.pixel(2, 12), kWhite);  // the bar's end point is not drawn
    EXPECT_EQ(img.pixel(7, 0), kWhite);
    DrawIndicator(img, false, 0);
    EXPECT_EQ(img.pixel(0, 3), kRed);
    EXPECT_EQ(img.pixel(4, 11), kRed);
    EXPECT_EQ(img.pixel(5, 11), kWhite);
}

TEST(DrawIndicator, ActivityCounterRunsSeventeenPhasesAndPhasesOutOfRangeAreSafe) {
    int phase = 0;
    std::set<int> seen;
    for (int i = 0; i < kIndicatorPhases; ++i) {
        seen.insert(phase);
        phase = NextIndicatorPhase(phase);
    }
    EXPECT_EQ(phase, 0);
    EXPECT_EQ(seen.size(), 17u);
    EXPECT_EQ(NextIndicatorPhase(16), 0);

    // A counter that was never meant to leave 0..16 must still not write outside the picture.
    for (int bad : {-7, 17, 40, 100000}) {
        QImage img(16, 16, QImage::Format_RGB32);
        DrawIndicator(img, true, bad);
        EXPECT_EQ(img.pixel(7, 0), kWhite) << bad;
        EXPECT_EQ(img.pixel(0, 3), kGreen) << bad;
    }
}

TEST(DrawIndicator, WindowPictureShowsNothingUntilDrawnThenKeepsItsPicture) {
    TImage image;
    EXPECT_FALSE(image.Drawn());
    DrawIndicator(&image, false, 13);
    EXPECT_TRUE(image.Drawn());
    QImage expected(16, 16, QImage::Format_RGB32);
    DrawIndicator(expected, false, 13);
    EXPECT_EQ(image.Picture(), expected);
    const QImage shown = image.grab().toImage().convertToFormat(QImage::Format_RGB32);
    EXPECT_EQ(shown, expected);
    DrawIndicator(static_cast<TImage*>(nullptr), true, 0);  // ignored
}
