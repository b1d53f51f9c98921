#pragma once

#include <QApplication>

// The program's application object when it has a window. Its notify() is the last line of the general fault
// handler, as DriverCoreApplication's: an exception that escapes an event handler ends only that handler, is
// reported on standard error, and the loop goes on.
class DriverApplication : public QApplication {
    Q_OBJECT

public:
    DriverApplication(int& argc, char** argv);

    bool notify(QObject* receiver, QEvent* event) override;
};
