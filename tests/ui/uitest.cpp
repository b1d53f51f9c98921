#include "tests/ui/uitest.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <chrono>
#include <memory>

#include "tests/support/process.h"
#include "ui/admshowmes.h"
#include "ui/pasx.h"

namespace uitest {

namespace {

class QtEnvironment : public ::testing::Environment {
public:
    void SetUp() override { m_app = std::make_unique<QApplication>(m_argc, m_argv); }
    void TearDown() override { m_app.reset(); }

private:
    int m_argc = 1;
    char m_name[8] = "test_ui";
    char* m_argv[2] = {m_name, nullptr};
    std::unique_ptr<QApplication> m_app;
};

[[maybe_unused]] ::testing::Environment* const kEnvironment = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

std::string Describe(QWidget* w) {
    if (auto* m = qobject_cast<Tadvsm*>(w)) return "Tadvsm: " + m->label1->text().toStdString();
    return w->metaObject()->className();
}

}  // namespace

ModalAnswerer::ModalAnswerer(std::vector<Action> actions) : m_actions(std::move(actions)) {
    QObject::connect(&m_timer, &QTimer::timeout, [this] { Look(); });
    m_timer.start(5);
}

ModalAnswerer::~ModalAnswerer() { m_timer.stop(); }

void ModalAnswerer::Look() {
    QWidget* modal = QApplication::activeModalWidget();
    if (modal == nullptr || !modal->isVisible()) return;
    if (m_next < m_actions.size()) {
        const std::string what = Describe(modal);
        if (m_actions[m_next](modal)) {
            m_seen.push_back(what);
            ++m_next;
        }
        return;
    }
    m_seen.push_back(Describe(modal));
    ++m_unexpected;
    if (auto* d = qobject_cast<QDialog*>(modal)) d->reject();
}

ModalAnswerer::Action EnterPassword(const QString& text) {
    return [text](QWidget* w) {
        auto* d = qobject_cast<TForm2*>(w);
        if (d == nullptr) return false;
        d->MaskEdit1->setText(text);
        d->BitBtn1->click();
        return true;
    };
}

ModalAnswerer::Action PressCancel() {
    return [](QWidget* w) {
        auto* d = qobject_cast<TForm2*>(w);
        if (d == nullptr) return false;
        d->BitBtn2->click();
        return true;
    };
}

ModalAnswerer::Action CloseByFrame() {
    return [](QWidget* w) {
        w->close();
        return true;
    };
}

ModalAnswerer::Action PressMessageOk() {
    return [](QWidget* w) {
        auto* m = qobject_cast<Tadvsm*>(w);
        if (m == nullptr) return false;
        m->BitBtn1->click();
        return true;
    };
}

bool PumpUntil(const std::function<bool()>& cond) {
    return drvtest::WaitUntil([&] {
        QApplication::processEvents(QEventLoop::AllEvents, 5);
        return cond();
    });
}

void Drain() {
    bool reached = false;
    QMetaObject::invokeMethod(
        qApp, [&reached] { reached = true; }, Qt::QueuedConnection);
    EXPECT_TRUE(PumpUntil([&] { return reached; }));
}

}  // namespace uitest
