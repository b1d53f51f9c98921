// Program entry: the message window, then the main window (startup), then the closing-password dialog, then the
// message loop until the main window has closed.
#include <QApplication>
#include <memory>

#include "app/driverapp.h"
#include "core/ma.h"
#include "ui/admshowmes.h"
#include "ui/pasx.h"

int main(int argc, char** argv) {
    DriverApplication app(argc, argv);
    QApplication::setApplicationDisplayName(QStringLiteral("Драйвер Орвел"));

    auto advsm = std::make_unique<Tadvsm>();
    auto form1 = std::make_unique<TForm1>(advsm.get());
    auto form2 = std::make_unique<TForm2>([f = form1.get()] { return f->State().ClosePassword; });
    form1->SetPasswordDialog(form2.get());
    form1->show();

    // The window lives in the tray and dialogs come and go: only an accepted close of the main window ends the run.
    QObject::connect(form1.get(), &TForm1::Closed, &app, &QApplication::quit, Qt::QueuedConnection);
    const int rc = app.exec();
    return rc;
}
