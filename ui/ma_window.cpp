// The main window's layout, pages, tray and closing.
#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStackedWidget>
#include <QSystemTrayIcon>
#include <QToolButton>

#include "core/ma.h"
#include "ui/indicator.h"
#include "ui/pasx.h"

namespace {
QLabel* MakeLabel(QWidget* parent, const char* text, int left, int top) {
    auto* l = new QLabel(QString::fromUtf8(text), parent);
    l->move(left, top);
    l->adjustSize();
    return l;
}
TImage* MakeImage(QWidget* parent, int left, int top) {
    auto* i = new TImage(parent);
    i->move(left, top);
    return i;
}
}  // namespace

void TForm1::BuildUi() {
    setWindowTitle(QStringLiteral("Драйвер Орвел"));
    auto* central = new QWidget(this);
    setCentralWidget(central);
    setFixedSize(447, 331);

    HeaderBand = new QWidget(central);
    HeaderBand->setGeometry(0, 0, 447, 100);
    AdvGlowButton28 = new QToolButton(central);
    AdvGlowButton28->setText(QStringLiteral("Состояние"));
    AdvGlowButton28->setCheckable(true);
    AdvGlowButton28->setChecked(true);
    AdvGlowButton28->setGeometry(4, 106, 100, 26);
    AdvGlowButton47 = new QToolButton(central);
    AdvGlowButton47->setText(QStringLiteral("Настройки"));
    AdvGlowButton47->setCheckable(true);
    AdvGlowButton47->setGeometry(108, 106, 100, 26);

    Pages = new QStackedWidget(central);
    Pages->setGeometry(0, 138, 447, 193);
    PageDefault = new QWidget(Pages);
    PageSetup = new QWidget(Pages);
    Pages->addWidget(PageDefault);
    Pages->addWidget(PageSetup);

    Label12 = MakeLabel(PageDefault, "Контроль связи со станцией", 8, 10);
    Image2 = MakeImage(PageDefault, 176, 8);
    Label23 = MakeLabel(PageDefault, "Связь с сервером сообщений", 256, 10);
    Image3 = MakeImage(PageDefault, 416, 8);
    Label1 = new QLabel(QStringLiteral("Дата и время запуска"), PageDefault);
    Label1->setGeometry(7, 37, 111, 16);
    Label1->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    Label6 = MakeLabel(PageDefault, "", 124, 37);
    Label13 = MakeLabel(PageDefault, "Связь с сервером сообщений", 256, 37);
    Image1 = MakeImage(PageDefault, 416, 35);
    Label17 = MakeLabel(PageDefault, "Пароль для закрытия", 7, 65);
    Label15 = MakeLabel(PageDefault, "", 124, 65);
    Memo1 = new QPlainTextEdit(PageDefault);
    Memo1->setReadOnly(true);
    Memo1->setGeometry(7, 84, 432, 100);

    AdvGroupBox1 = new QGroupBox(QStringLiteral("Com порт"), PageSetup);
    AdvGroupBox1->setGeometry(8, 8, 431, 80);
    AdvOfficeComboBox1 = new QComboBox(AdvGroupBox1);
    AdvOfficeComboBox1->setEditable(true);
    AdvOfficeComboBox1->setGeometry(10, 30, 120, 24);
    AdvGlowButton2 = new QPushButton(QStringLiteral("Остановить"), AdvGroupBox1);
    AdvGlowButton2->setGeometry(140, 30, 120, 26);
    AdvGlowButton1 = new QPushButton(QStringLiteral("Сканировать заново"), AdvGroupBox1);
    AdvGlowButton1->setGeometry(270, 30, 150, 26);
    AdvGlowButton1->setEnabled(false);
    AdvOfficeComboBox1->setEnabled(false);

    connect(AdvGlowButton28, &QToolButton::clicked, this, [this] { AdvGlowButton28Click(); });
    connect(AdvGlowButton47, &QToolButton::clicked, this, [this] { AdvGlowButton47Click(); });

    TrayIcon1 = new QSystemTrayIcon(this);
    TrayIcon1->setToolTip(QStringLiteral("Драйвер Орвел"));
    PopupMenu1 = new QMenu(this);
    N4 = PopupMenu1->addAction(QStringLiteral("Восстановить"));
    PopupMenu1->addSeparator();
    N6 = PopupMenu1->addAction(QStringLiteral("Закрыть"));
    TrayIcon1->setContextMenu(PopupMenu1);
    connect(N4, &QAction::triggered, this, [this] { N4Click(); });
    connect(N6, &QAction::triggered, this, [this] { N6Click(); });
    if (QSystemTrayIcon::isSystemTrayAvailable()) TrayIcon1->show();
}

void TForm1::SetPortControlsStopped() {
    AdvGlowButton2->setText(QStringLiteral("Запустить"));
    AdvGlowButton1->setEnabled(true);
    AdvOfficeComboBox1->setEnabled(true);
    AdvOfficeComboBox1->setCurrentIndex(0);
}

bool TForm1::PortControlsRunning() const { return AdvGlowButton2->text() != QStringLiteral("Запустить"); }

void TForm1::closeEvent(QCloseEvent* event) {
    FormClose(event);
    if (event->isAccepted()) emit Closed();
}

void TForm1::changeEvent(QEvent* event) {
    QMainWindow::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange && (windowState() & Qt::WindowMinimized)) {
        ApplicationEvents1Minimize();
    }
}

void TForm1::FormClose(QCloseEvent* event) {
    event->ignore();
}

void TForm1::N4Click() {
    showNormal();
    activateWindow();
}

void TForm1::N6Click() { close(); }

void TForm1::ApplicationEvents1Minimize() {
    if (QSystemTrayIcon::isSystemTrayAvailable() && TrayIcon1->isVisible()) hide();
}

void TForm1::AdvGlowButton28Click() {
    Pages->setCurrentWidget(PageDefault);
    AdvGlowButton28->setChecked(true);
    AdvGlowButton47->setChecked(false);
}

void TForm1::AdvGlowButton47Click() {
    Pages->setCurrentWidget(PageSetup);
    AdvGlowButton47->setChecked(true);
    AdvGlowButton28->setChecked(false);
}
