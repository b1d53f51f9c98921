#include "ui/admshowmes.h"

#include <QFont>
#include <QLabel>
#include <QPushButton>

Tadvsm::Tadvsm(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("advsm"));
    label1 = new QLabel(this);
    QFont f(QStringLiteral("Times New Roman"), 12);
    f.setBold(true);
    label1->setFont(f);
    label1->setAlignment(Qt::AlignCenter);
    label1->move(2, 16);
    BitBtn1 = new QPushButton(QStringLiteral("ОК"), this);
    BitBtn1->resize(72, 25);
    connect(BitBtn1, &QPushButton::clicked, this, &QDialog::accept);
}

void Tadvsm::ShowMessageText(const QString& text) {
    const int width = static_cast<int>(text.size()) * (12 - 2);
    label1->setText(text);
    setFixedSize(width, 73);
    label1->setGeometry(2, 16, width, label1->sizeHint().height());
    label1->repaint();
    BitBtn1->move(static_cast<int>((width - 72) / 2.0), 41);
    exec();
}
