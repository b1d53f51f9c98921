#include "ui/admshowmes.h"

#include <QFont>
#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QScreen>

Tadvsm::Tadvsm(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("advsm"));
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    label1 = new QLabel(this);
    QFont f(QStringLiteral("Times New Roman"), kFontPoints);
    f.setBold(true);
    label1->setFont(f);
    label1->setAlignment(Qt::AlignCenter);
    label1->move(2, 16);
    BitBtn1 = new QPushButton(QStringLiteral("ОК"), this);
    BitBtn1->setGeometry(0, 41, kButtonWidth, 25);
    BitBtn1->setDefault(true);
    connect(BitBtn1, &QPushButton::clicked, this, &QDialog::accept);
    setFixedSize(kButtonWidth, kClientHeight);
}

void Tadvsm::SetMessageText(const QString& text) {
    const int width = WindowWidth(static_cast<int>(text.size()));
    label1->setText(text);
    setFixedSize(width, kClientHeight);
    label1->setGeometry(2, 16, width, label1->sizeHint().height());
    label1->repaint();
    BitBtn1->move(ButtonLeft(width), 41);
    const QScreen* screen = QGuiApplication::primaryScreen();
    if (screen != nullptr) {
        const QRect area = screen->availableGeometry();
        move(area.center() - QPoint(width / 2, kClientHeight / 2));
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
