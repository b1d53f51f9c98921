#include "ui/admshowmes.h"

#include <QFont>
#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <algorithm>

Tadvsm::Tadvsm(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("advsm"));
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    label1 = new QLabel(this);
    QFont f(QStringLiteral("Times New Roman"), kFontPoints);
    f.setBold(true);
    label1->setFont(f);
    label1->setAlignment(Qt::AlignCenter);
    label1->move(kLabelLeft, kLabelTop);
    BitBtn1 = new QPushButton(QStringLiteral("ОК"), this);
    BitBtn1->setGeometry(0, kButtonTop, kButtonWidth, kButtonHeight);
    BitBtn1->setDefault(true);
    connect(BitBtn1, &QPushButton::clicked, this, &QDialog::accept);
    setFixedSize(kButtonWidth, kClientHeight);
}

void Tadvsm::SetMessageText(const QString& text) {
    label1->setText(text);
    // The label's own measure, or the text's advance where a font's bold glyphs reach further.
    const QSize needed(std::max(label1->sizeHint().width(), label1->fontMetrics().horizontalAdvance(text)),
                       label1->sizeHint().height());
    const int ruleWidth = WindowWidth(static_cast<int>(text.size()));
    // The rule's size is the smallest; where the font needs more room, the window grows so that the whole text
    // stands between margins of kLabelLeft, and the button keeps its place below it.
    const bool fits = needed.width() + 2 * kLabelLeft <= ruleWidth;
    const int width = fits ? ruleWidth : needed.width() + 2 * kLabelLeft;
    const int lower = std::max(0, kLabelTop + needed.height() - kButtonTop);
    const int height = kClientHeight + lower;
    setFixedSize(width, height);
    label1->setGeometry(kLabelLeft, kLabelTop, fits ? ruleWidth : needed.width(), needed.height());
    label1->repaint();
    BitBtn1->move(ButtonLeft(width), kButtonTop + lower);
    const QScreen* screen = QGuiApplication::primaryScreen();
    if (screen != nullptr) {
        const QRect area = screen->availableGeometry();
        move(area.center() - QPoint(width / 2, height / 2));
    }
}

void Tadvsm::ShowMessageText(const QString& text) {
    if (m_showing) {
        Tadvsm second(parentWidget());
        m_nested = &second;
        second.ShowMessageText(text);
        m_nested = nullptr;
        return;
    }
    SetMessageText(text);
    m_showing = true;
    exec();
    m_showing = false;
}

void Tadvsm::Dismiss() {
    if (m_nested != nullptr) m_nested->Dismiss();
    if (m_showing) accept();
}
