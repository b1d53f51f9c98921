// The main window's layout, pages, tray, link log and closing.
#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QLinearGradient>
#include <QMenu>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QStackedWidget>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QToolButton>
#include <cstdio>
#include <exception>

#include "platform/faults.h"
#include "platform/version.h"
#include "ui/admshowmes.h"
#include "ui/drivericon.h"
#include "ui/indicator.h"
#include "ui/ma.h"
#include "ui/pasx.h"
#include "ui/traywatch.h"

namespace {

// Eats Enter and Return in the widget it filters.
class EnterSwallower : public QObject {
public:
    using QObject::QObject;
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::KeyPress || event->type() == QEvent::KeyRelease) {
            const int key = static_cast<QKeyEvent*>(event)->key();
            if (key == Qt::Key_Return || key == Qt::Key_Enter) return true;
        }
        return QObject::eventFilter(watched, event);
    }
};

constexpr const char* kCaption = "Драйвер Орвел";
constexpr const char* kStatusButton = "Состояние";
constexpr const char* kSettingsButton = "Настройки";
constexpr const char* kStationLinkText = "Контроль связи со станцией";
constexpr const char* kMessageServerText = "Связь с сервером сообщений";
constexpr const char* kStartTimeText = "Дата и время запуска";
constexpr const char* kPasswordText = "Пароль для закрытия";
constexpr const char* kPortGroupText = "Com порт";
constexpr const char* kStartText = "Запустить";
constexpr const char* kStopText = "Остановить";
constexpr const char* kRescanText = "Сканировать заново";
constexpr const char* kRestoreText = "Восстановить";
constexpr const char* kCloseText = "Закрыть";
constexpr const char* kWrongPasswordText = "Не правильный пароль.";
constexpr const char* kStationTip = "station";
constexpr const char* kZ8Tip = "Z8 server";
constexpr const char* kZ7Tip = "Z7 message server";

constexpr int kClientWidth = 447;
constexpr int kClientHeight = 331;
constexpr int kHeaderHeight = 92;
constexpr int kPageTop = 138;
constexpr int kPageHeight = 193;

QString Text(const char* utf8) { return QString::fromUtf8(utf8); }

// The band at the top of the window: the program's icon, name and version on a dark gradient.
class HeaderBandWidget : public QWidget {
public:
    explicit HeaderBandWidget(QWidget* parent) : QWidget(parent), m_icon(DriverIconPixmap(48)) {}

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        QLinearGradient g(0, 0, width(), height());
        g.setColorAt(0, QColor(0x1d, 0x3f, 0x63));
        g.setColorAt(1, QColor(0x2f, 0x6e, 0x9e));
        p.fillRect(rect(), g);
        p.setPen(QColor(255, 255, 255, 40));
        p.drawLine(0, height() - 1, width(), height() - 1);
        p.drawPixmap(20, (height() - m_icon.height()) / 2, m_icon);

        QFont title = font();
        title.setPointSize(16);
        title.setBold(true);
        p.setFont(title);
        p.setPen(QColor(0xf4, 0xf7, 0xfa));
        p.drawText(QRect(84, 18, width() - 100, 30), Qt::AlignLeft | Qt::AlignVCenter, Text(kCaption));
        QFont small = font();
        small.setPointSize(9);
        p.setFont(small);
        p.setPen(QColor(0xc6, 0xd7, 0xe8));
        p.drawText(QRect(84, 50, width() - 100, 20), Qt::AlignLeft | Qt::AlignVCenter,
                   QStringLiteral("drvorvel %1").arg(QString::fromStdString(drv::DriverVersionString())));
    }

private:
    QPixmap m_icon;
};

// The page font: of the application's family and the narrow families the machine may have, the one that fits
// every caption of page "Default" between its left edge and the next element at the largest size (9 points
// down to 6), so the captions stay whole whatever fonts are installed.
QFont PageFont(const QFont& base) {
    const struct {
        const char* text;
        int room;
    } columns[] = {{kStationLinkText, 176 - 8 - 4},
                   {kMessageServerText, 416 - 256 - 4},
                   {kStartTimeText, 111},
                   {kPasswordText, 124 - 7 - 4}};
    QFont best = base;
    best.setPointSizeF(6.0);
    QStringList families{base.family()};
    for (const char* narrow : {"DejaVu Sans Condensed", "Liberation Sans Narrow", "Arial Narrow"}) {
        if (QFontDatabase::hasFamily(QString::fromLatin1(narrow))) families << QString::fromLatin1(narrow);
    }
    for (const QString& family : families) {
        QFont f = base;
        f.setFamily(family);
        for (qreal points = 9.0; points > best.pointSizeF(); points -= 0.5) {
            f.setPointSizeF(points);
            const QFontMetrics m(f);
            bool fits = true;
            for (const auto& c : columns) fits = fits && m.horizontalAdvance(Text(c.text)) <= c.room;
            if (fits) {
                best = f;
                break;
            }
        }
    }
    return best;
}

QLabel* MakeLabel(QWidget* parent, const QString& text, int left, int top, int width = 0) {
    auto* l = new QLabel(text, parent);
    l->move(left, top);
    l->adjustSize();
    if (width > 0) l->resize(width, l->height());
    return l;
}

// An indicator with the tooltip that names its link.
TImage* MakeImage(QWidget* parent, int left, int top, const char* tip) {
    auto* i = new TImage(parent);
    i->move(left, top);
    i->setToolTip(QString::fromLatin1(tip));
    return i;
}

QToolButton* MakePageButton(QWidget* parent, const char* text, int left) {
    auto* b = new QToolButton(parent);
    b->setText(Text(text));
    b->setCheckable(true);
    b->setFocusPolicy(Qt::NoFocus);
    b->setGeometry(left, 8, 116, 28);
    return b;
}

const char* kStyleSheet = R"(
QWidget#central { background: #f3f5f8; }
QWidget#toolBar { background: #e4e9f0; border-bottom: 1px solid #c9d2dd; }
QToolButton {
    border: 1px solid #b8c4d2; border-radius: 4px; background: #fbfcfd; color: #1d3f63; font-weight: bold;
}
QToolButton:hover { background: #eef3f8; }
QToolButton:checked { background: #2f6e9e; border-color: #1d3f63; color: white; }
QStackedWidget > QWidget { background: #f3f5f8; }
QLabel { color: #1f2933; }
QLabel#Label6, QLabel#Label15 { color: #1d3f63; font-weight: bold; }
QPlainTextEdit {
    background: white; border: 1px solid #c9d2dd; border-radius: 3px; color: #1f2933;
    selection-background-color: #2f6e9e;
}
QGroupBox { border: 1px solid #c9d2dd; border-radius: 4px; margin-top: 10px; font-weight: bold; color: #1d3f63; }
QGroupBox::title { subcontrol-origin: margin; left: 10px; padding: 0 4px; }
QPushButton {
    border: 1px solid #b8c4d2; border-radius: 4px; background: #fbfcfd; color: #1d3f63; padding: 2px 10px;
}
QPushButton:hover { background: #eef3f8; }
QPushButton:disabled, QComboBox:disabled { color: #98a4b3; background: #eceff3; }
)";

}  // namespace

void TForm1::BuildUi() {
    setWindowTitle(Text(kCaption));
    setWindowIcon(DriverIcon());
    auto* central = new QWidget(this);
    central->setObjectName(QStringLiteral("central"));
    // Under a style sheet, fonts set on widgets do not reach their children: the page font goes in the sheet.
    const QFont pageFont = PageFont(font());
    central->setStyleSheet(QString::fromUtf8(kStyleSheet) +
                           QStringLiteral("QStackedWidget * { font-family: \"%1\"; font-size: %2pt; }")
                               .arg(pageFont.family())
                               .arg(pageFont.pointSizeF()));
    setCentralWidget(central);
    setFixedSize(kClientWidth, kClientHeight);
    setWindowFlag(Qt::WindowMaximizeButtonHint, false);
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        move(screen->availableGeometry().center() - QPoint(kClientWidth / 2, kClientHeight / 2));
    }

    HeaderBand = new HeaderBandWidget(central);
    HeaderBand->setObjectName(QStringLiteral("HeaderBand"));
    HeaderBand->setGeometry(0, 0, kClientWidth, kHeaderHeight);

    auto* toolBar = new QWidget(central);
    toolBar->setObjectName(QStringLiteral("toolBar"));
    toolBar->setAttribute(Qt::WA_StyledBackground);
    toolBar->setGeometry(0, kHeaderHeight, kClientWidth, kPageTop - kHeaderHeight);
    AdvGlowButton28 = MakePageButton(toolBar, kStatusButton, 8);
    AdvGlowButton28->setChecked(true);
    AdvGlowButton47 = MakePageButton(toolBar, kSettingsButton, 130);

    Pages = new QStackedWidget(central);
    Pages->setGeometry(0, kPageTop, kClientWidth, kPageHeight);
    PageDefault = new QWidget;
    PageDefault->setObjectName(QStringLiteral("Default"));
    PageSetup = new QWidget;
    PageSetup->setObjectName(QStringLiteral("setup"));
    Pages->addWidget(PageDefault);
    Pages->addWidget(PageSetup);

    Label12 = MakeLabel(PageDefault, Text(kStationLinkText), 8, 10);
    Image2 = MakeImage(PageDefault, 176, 8, kStationTip);
    Label23 = MakeLabel(PageDefault, Text(kMessageServerText), 256, 10);
    Image3 = MakeImage(PageDefault, 416, 8, kZ8Tip);
    Label1 = MakeLabel(PageDefault, Text(kStartTimeText), 7, 37, 111);
    Label1->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    Label6 = MakeLabel(PageDefault, QString(), 124, 37, 128);
    Label6->setObjectName(QStringLiteral("Label6"));
    Label13 = MakeLabel(PageDefault, Text(kMessageServerText), 256, 37);
    Image1 = MakeImage(PageDefault, 416, 35, kZ7Tip);
    // Both server captions read alike: the labels name their links in a tooltip too.
    for (auto [label, image] : {std::pair{Label12, Image2}, {Label23, Image3}, {Label13, Image1}})
        label->setToolTip(image->toolTip());
    Label17 = MakeLabel(PageDefault, Text(kPasswordText), 7, 65);
    Label15 = MakeLabel(PageDefault, QString(), 124, 65, 128);
    Label15->setObjectName(QStringLiteral("Label15"));
    Memo1 = new QPlainTextEdit(PageDefault);
    Memo1->setReadOnly(true);
    Memo1->setMaximumBlockCount(kLinkLogLines);
    Memo1->setLineWrapMode(QPlainTextEdit::NoWrap);
    Memo1->setGeometry(7, 84, 432, 100);

    AdvGroupBox1 = new QGroupBox(Text(kPortGroupText), PageSetup);
    AdvGroupBox1->setGeometry(8, 10, 431, 84);
    AdvOfficeComboBox1 = new QComboBox(AdvGroupBox1);
    AdvOfficeComboBox1->setEditable(true);
    // A typed name is only started, never taken into the list or stored: Enter does nothing in the field.
    AdvOfficeComboBox1->setInsertPolicy(QComboBox::NoInsert);
    AdvOfficeComboBox1->lineEdit()->installEventFilter(new EnterSwallower(AdvOfficeComboBox1));
    AdvOfficeComboBox1->setGeometry(14, 34, 118, 28);
    AdvGlowButton2 = new QPushButton(Text(kStopText), AdvGroupBox1);
    AdvGlowButton2->setGeometry(142, 34, 116, 28);
    AdvGlowButton1 = new QPushButton(Text(kRescanText), AdvGroupBox1);
    AdvGlowButton1->setGeometry(268, 34, 150, 28);
    // The window is created with the port running; startup switches to stopped when no port opens.
    AdvGlowButton1->setEnabled(false);
    AdvOfficeComboBox1->setEnabled(false);

    connect(AdvGlowButton28, &QToolButton::clicked, this, [this] { AdvGlowButton28Click(); });
    connect(AdvGlowButton1, &QPushButton::clicked, this,
            [this] { drv::RunHandler("AdvGlowButton1Click", [this] { AdvGlowButton1Click(); }); });
    connect(AdvGlowButton2, &QPushButton::clicked, this,
            [this] { drv::RunHandler("AdvGlowButton2Click", [this] { AdvGlowButton2Click(); }); });
    // The operator's pick only: a rescan runs the selection step itself.
    connect(AdvOfficeComboBox1, &QComboBox::activated, this,
            [this] { drv::RunHandler("AdvOfficeComboBox1Select", [this] { AdvOfficeComboBox1Select(); }); });
    connect(AdvGlowButton47, &QToolButton::clicked, this, [this] { AdvGlowButton47Click(); });

    PopupMenu1 = new QMenu(this);
    N4 = PopupMenu1->addAction(Text(kRestoreText));
    PopupMenu1->addSeparator();
    N6 = PopupMenu1->addAction(Text(kCloseText));
    connect(N4, &QAction::triggered, this, [this] { N4Click(); });
    connect(N6, &QAction::triggered, this, [this] { N6Click(); });
    TrayIcon1 = new QSystemTrayIcon(windowIcon(), this);
    TrayIcon1->setToolTip(Text(kCaption));
    TrayIcon1->setContextMenu(PopupMenu1);
    connect(TrayIcon1, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick) N4Click();
    });
    if (!m_headless) KeepInTray(TrayIcon1);
}

void TForm1::SetPortControlsState(bool running) {
    AdvGlowButton2->setText(Text(running ? kStopText : kStartText));
    AdvGlowButton1->setEnabled(!running);
    AdvOfficeComboBox1->setEnabled(!running);
}

void TForm1::closeEvent(QCloseEvent* event) {
    FormClose(event);
    if (event->isAccepted()) emit Closed();
}

void TForm1::changeEvent(QEvent* event) {
    QMainWindow::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange && (windowState() & Qt::WindowMinimized)) {
        // Hiding from inside the state change would race the window system's own handling of it.
        QTimer::singleShot(0, this, [this] {
            if (windowState() & Qt::WindowMinimized) ApplicationEvents1Minimize();
        });
    }
}

void TForm1::FormClose(QCloseEvent* event) {
    event->ignore();
    if (m_inFormClose) return;
    m_inFormClose = true;
    struct Leave {
        bool& flag;
        ~Leave() { flag = false; }
    } leave{m_inFormClose};

    const drv::DriverState& state = m_driver->State();
    if (!state.RemoteCloseRequested) {
        const int result = m_passwordDialog != nullptr ? m_passwordDialog->ShowModal() : TForm2::kResultCancel;
        if (!state.RemoteCloseRequested) {
            if (result == TForm2::kResultOk) {
                // The operator has the right to close: a port that will not close does not keep the program.
                // Also ends the attempts to reopen a port whose device went away.
                drv::RunHandler("closing the serial port", [this] { m_driver->ClosePort(); });
                event->accept();
                return;
            }
            if (result == TForm2::kResultWrong) ShowMessageText(Text(kWrongPasswordText));
        }
    }
    // The Z7 server's close command, also when it arrived while the operator was being asked.
    if (state.RemoteCloseRequested) {
        try {
            m_driver->ClosePort();
        } catch (...) {
        }
        event->accept();
    }
}

void TForm1::N4Click() {
    showNormal();
    raise();
    activateWindow();
}

void TForm1::N6Click() { close(); }

void TForm1::ApplicationEvents1Minimize() {
    // A hidden window without a tray icon could never be restored or closed: hide only into a tray that exists.
    if (!QSystemTrayIcon::isSystemTrayAvailable()) return;
    if (!TrayIcon1->isVisible()) TrayIcon1->show();
    if (TrayIcon1->isVisible()) hide();
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
