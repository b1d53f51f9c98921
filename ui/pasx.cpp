#include "ui/pasx.h"

#include <QEvent>
#include <QLabel>
#include <QLineEdit>
#include <QProxyStyle>
#include <QPushButton>
#include <QRegularExpressionValidator>

namespace {

// Shows every character of a password edit as "*", whatever the platform's style would use.
class AsteriskStyle : public QProxyStyle {
public:
    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* returnData) const override {
        if (hint == SH_LineEdit_PasswordCharacter) return '*';
        return QProxyStyle::styleHint(hint, option, widget, returnData);
    }
};

}  // namespace

TForm2::TForm2(std::function<std::string()> password, QWidget* parent)
    : QDialog(parent), m_password(std::move(password)) {
    setWindowTitle(QStringLiteral("Закрытый доступ"));
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    setFixedSize(281, 93);

    auto* label = new QLabel(QStringLiteral("Введите пароль для доступа"), this);
    label->setGeometry(12, 8, 257, 20);

    MaskEdit1 = new QLineEdit(this);
    auto* style = new AsteriskStyle;
    style->setParent(MaskEdit1);
    MaskEdit1->setStyle(style);
    MaskEdit1->setEchoMode(QLineEdit::Password);
    MaskEdit1->setMaxLength(5);
    MaskEdit1->setValidator(
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]{0,5}")), MaskEdit1));
    MaskEdit1->setGeometry(12, 30, 257, 24);

    BitBtn1 = new QPushButton(QStringLiteral("ОК"), this);
    BitBtn1->setGeometry(108, 61, 78, 26);
    BitBtn1->setDefault(true);
    BitBtn2 = new QPushButton(QStringLiteral("Отмена"), this);
    BitBtn2->setGeometry(191, 61, 78, 26);
    BitBtn2->setAutoDefault(false);
    connect(BitBtn1, &QPushButton::clicked, this, &TForm2::BitBtn1Click);
    connect(BitBtn2, &QPushButton::clicked, this, [this] { done(kResultCancel); });
}

int TForm2::ShowModal() {
    if (m_showing) {
        raise();
        activateWindow();
        return kResultCancel;
    }
    m_showing = true;
    setResult(kResultCancel);
    const int r = exec();
    m_showing = false;
    return r == kResultOk || r == kResultWrong ? r : kResultCancel;
}

void TForm2::FormActivate() {
    MaskEdit1->selectAll();
    MaskEdit1->setFocus();
    MaskEdit1->repaint();
}

void TForm2::BitBtn1Click() {
    // An empty closing password (none drawn yet) opens nothing, not even an empty edit.
    const std::string expected = m_password ? m_password() : std::string();
    const bool right = !expected.empty() && MaskEdit1->text().toStdString() == expected;
    done(right ? kResultOk : kResultWrong);
}

void TForm2::reject() { done(kResultCancel); }

bool TForm2::event(QEvent* e) {
    const bool handled = QDialog::event(e);
    if (e->type() == QEvent::WindowActivate) FormActivate();
    return handled;
}

void TForm2::showEvent(QShowEvent* e) {
    QDialog::showEvent(e);
    FormActivate();
}
