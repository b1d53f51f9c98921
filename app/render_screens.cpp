// Renders the operator's windows to PNG files for the documentation: the main window's two pages, the message
// window and the closing-password dialog. Usage: drvorvel-screens <output directory>. Runs on any Qt platform,
// offscreen included; the driver it shows runs in a temporary working directory with the Z7 link shown and
// no port open (a rescan on the settings page finds two pseudo-terminals as COM1 and COM3), no Z8 link, a fixed
// clock and a fixed password, so the pictures are the same at every run.
#include <pty.h>
#include <unistd.h>

#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QLineEdit>
#include <QPainter>
#include <QPixmap>
#include <QTemporaryDir>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "app/driverapp.h"
#include "ui/ma.h"
#include "platform/uniquefd.h"
#include "ui/admshowmes.h"
#include "ui/drivericon.h"
#include "ui/indicator.h"
#include "ui/pasx.h"

namespace {

bool Save(QWidget* widget, const QDir& dir, const char* name) {
    widget->show();
    QApplication::processEvents();
    const QString path = dir.filePath(QString::fromLatin1(name));
    if (!widget->grab().save(path, "PNG")) {
        std::fprintf(stderr, "drvorvel-screens: cannot write %s\n", path.toLocal8Bit().constData());
        return false;
    }
    std::printf("%s\n", path.toLocal8Bit().constData());
    return true;
}

// The window with the combo box's list dropped down: the list is a window of its own, painted onto the
// window's picture where it stands.
bool SaveWithPopup(QWidget* window, QComboBox* combo, const QDir& dir, const char* name) {
    combo->showPopup();
    QApplication::processEvents();
    QWidget* popup = combo->view()->window();
    QPixmap picture = window->grab();
    {
        QPainter p(&picture);
        p.drawPixmap(window->mapFromGlobal(popup->mapToGlobal(QPoint(0, 0))), popup->grab());
    }
    combo->hidePopup();
    const QString path = dir.filePath(QString::fromLatin1(name));
    if (!picture.save(path, "PNG")) {
        std::fprintf(stderr, "drvorvel-screens: cannot write %s\n", path.toLocal8Bit().constData());
        return false;
    }
    std::printf("%s\n", path.toLocal8Bit().constData());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    DriverApplication app(argc, argv);
    QApplication::setWindowIcon(DriverIcon());
    if (argc != 2) {
        std::fprintf(stderr, "usage: drvorvel-screens <output directory>\n");
        return 2;
    }
    const QDir out(QString::fromLocal8Bit(argv[1]));
    if (!QDir().mkpath(out.path())) {
        std::fprintf(stderr, "drvorvel-screens: cannot create %s\n", argv[1]);
        return 1;
    }
    QTemporaryDir work;
    if (!work.isValid()) return 1;
    // COM1 and COM3 are pseudo-terminals, every other COM name a missing device: the rescan lists those two.
    std::vector<drv::UniqueFd> ports;
    std::string portsSection = "[ports]\r\n";
    for (int n = 1; n <= 32; ++n) {
        std::string device = QDir(work.path()).filePath(QStringLiteral("absent")).toStdString();
        int master = -1;
        int slave = -1;
        char name[256] = {};
        if ((n == 1 || n == 3) && ::openpty(&master, &slave, name, nullptr, nullptr) == 0) {
            ports.emplace_back(master);
            ::close(slave);
            device = name;
        }
        portsSection += "COM" + std::to_string(n) + "=" + device + "\r\n";
    }
    std::ofstream(QDir(work.path()).filePath(QStringLiteral("drvorvel.ini")).toStdString())
        << "[main]\r\nSendZ7=1\r\nSendZ8=0\r\n"
        << portsSection;

    const drv::TDateTime start = drv::EncodeDateTime({2025, 3, 14, 9, 26, 53, 0});
    TForm1Options options;
    options.workingDirectory = work.path().toStdString();
    options.clock.wall = [start] { return start; };
    options.randomSeed = 20250314;

    auto advsm = std::make_unique<Tadvsm>();
    auto form1 = std::make_unique<TForm1>(advsm.get(), options);
    auto form2 = std::make_unique<TForm2>([f = form1.get()] { return f->State().ClosePassword; });
    form1->SetPasswordDialog(form2.get());

    DrawIndicator(form1->Image2, true, 0);
    DrawIndicator(form1->Image3, true, 5);
    DrawIndicator(form1->Image1, false, 13);
    const std::string day = drv::FormatDateTime(start).substr(0, 10);
    for (const char* line :
         {" 9:26:53 Соединение...", " 9:26:53 Соединение установлено.", " 9:41:07 Сервер дал команду на рассоединение.",
          " 9:41:12 Соединение...", " 9:41:12 Соединение установлено."}) {
        form1->AppendLinkLog(QString::fromStdString(day) + QString::fromUtf8(line));
    }
    form1->AdvGlowButton1Click();

    bool ok = Save(form1.get(), out, "main-default.png");
    form1->AdvGlowButton47Click();
    ok = Save(form1.get(), out, "main-setup.png") && ok;
    ok = SaveWithPopup(form1.get(), form1->AdvOfficeComboBox1, out, "main-setup-list.png") && ok;
    form1->AdvGlowButton28Click();
    form1->hide();

    advsm->SetMessageText(QStringLiteral("Порт уже занят. Смените его."));
    ok = Save(advsm.get(), out, "message.png") && ok;
    advsm->hide();

    form2->MaskEdit1->setText(QStringLiteral("123"));
    ok = Save(form2.get(), out, "password.png") && ok;
    form2->hide();

    // The driver would now run on; the pictures are all this program wants.
    form1->State().RemoteCloseRequested = true;
    form1->close();
    return ok ? 0 : 1;
}
