#include "ui/pasx.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

TForm2::TForm2(std::function<std::string()> password, QWidget* parent) : QDialog(parent), m_password(std::move(password)) {
    setWindowTitle(QStringLiteral("Закрытый доступ"));
    setFixedSize(281, 93);
    auto* label = new QLabel(QStringLiteral("Введите пароль для доступа"), this);
    label->move(8, 8);
    MaskEdit1 = new QLineEdit(this);
    MaskEdit1->setEchoMode(QLineEdit::Password);
    MaskEdit1->setMaxLength(5);
    MaskEdit1->setInputMask(QStringLiteral("99999;_"));
    MaskEdit1->setGeometry(8, 28, 265, 22);
    BitBtn1 = new QPushButton(QStringLiteral("ОК"), this);
    BitBtn1->setGeometry(112, 60, 75, 25);
    BitBtn2 = new QPushButton(QStringLiteral("Отмена"), this);
    BitBtn2->setGeometry(198, 60, 75, 25);
    connect(BitBtn1, &QPushButton::clicked, this, &TForm2::BitBtn1Click);
    connect(BitBtn2, &QPushButton::clicked, this, [this] { done(kResultCancel); });
}

int TForm2::ShowModal() {
    setResult(kResultCancel);
    FormActivate();
    const int r = exec();
    return r == QDialog::Rejected ? kResultCancel : r;
}

void TForm2::FormActivate() {
    MaskEdit1->selectAll();
    MaskEdit1->setFocus();
    MaskEdit1->repaint();
}

void TForm2::BitBtn1Click() {
    const bool right = MaskEdit1->text().toStdString() == m_password();
    done(right ? kResultOk : kResultWrong);
}
