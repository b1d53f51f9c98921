// The windows on a real X11 display (an Xvfb server of the test's own), as the window manager and the tray see
// them: the captions in the windows' properties, and the tray icon docking into a tray that appears late.
#include <gtest/gtest.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <QSystemTrayIcon>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "tests/support/process.h"
#include "tests/support/qtapp.h"
#include "tests/support/tempdir.h"
#include "ui/admshowmes.h"
#include "ui/ma.h"
#include "ui/pasx.h"

namespace {

using namespace std::chrono_literals;

constexpr const char* kXvfbPath = "/usr/bin/Xvfb";

// One Xvfb server for the test process, and the driver's application object on it (the xcb platform).
class XvfbEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        if (access(kXvfbPath, X_OK) != 0) GTEST_SKIP() << "no " << kXvfbPath << " (scripts/setup installs it)";
        m_dir = std::make_unique<drvtest::TempDir>();
        const std::string out = m_dir->file("xvfb.out");
        m_xvfb = std::make_unique<drvtest::ChildProcess>(drvtest::ChildProcess::Options{
            .argv = {kXvfbPath, "-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten", "tcp"},
            .cwd = {},
            .env = {},
            .stdoutPath = out,
            .stderrPath = m_dir->file("xvfb.err")});
        std::string display;
        const bool up = drvtest::WaitUntil([&] {
            display = drvtest::ReadFile(out);
            return !display.empty() && display.back() == '\n';
        });
        if (!up) {
            m_xvfb.reset();
            GTEST_SKIP() << "Xvfb did not start: " << drvtest::ReadFile(m_dir->file("xvfb.err"));
        }
        display = ":" + display.substr(0, display.size() - 1);
        setenv("DISPLAY", display.c_str(), 1);
        setenv("QT_QPA_PLATFORM", "xcb", 1);
        unsetenv("WAYLAND_DISPLAY");
        unsetenv("DBUS_SESSION_BUS_ADDRESS");  // no desktop bus: the tray is the X11 one
        drvtest::TestApp();
    }
    void TearDown() override { m_xvfb.reset(); }
    bool Up() const { return m_xvfb != nullptr; }

private:
    std::unique_ptr<drvtest::TempDir> m_dir;
    std::unique_ptr<drvtest::ChildProcess> m_xvfb;
};

XvfbEnvironment* const kXvfb = static_cast<XvfbEnvironment*>(::testing::AddGlobalTestEnvironment(new XvfbEnvironment));

// A connection of its own to the test's X server, as another client (a window manager, a tray) has one.
class XClient {
public:
    XClient() : m_c(xcb_connect(nullptr, nullptr)) {}
    ~XClient() { xcb_disconnect(m_c); }
    bool Ok() const { return xcb_connection_has_error(m_c) == 0; }
    xcb_connection_t* c() const { return m_c; }
    xcb_window_t Root() const { return xcb_setup_roots_iterator(xcb_get_setup(m_c)).data->root; }

    xcb_atom_t Atom(const char* name) const {
        auto* r = xcb_intern_atom_reply(m_c, xcb_intern_atom(m_c, 0, std::strlen(name), name), nullptr);
        const xcb_atom_t a = r != nullptr ? r->atom : xcb_atom_t{XCB_ATOM_NONE};
        std::free(r);
        return a;
    }

    // The window's _NET_WM_NAME (UTF-8), the caption a window manager shows; empty when it has none.
    std::string Caption(xcb_window_t w) const {
        const auto cookie = xcb_get_property(m_c, 0, w, Atom("_NET_WM_NAME"), Atom("UTF8_STRING"), 0, 1024);
        auto* r = xcb_get_property_reply(m_c, cookie, nullptr);
        std::string name;
        if (r != nullptr)
            name.assign(static_cast<const char*>(xcb_get_property_value(r)), xcb_get_property_value_length(r));
        std::free(r);
        return name;
    }

private:
    xcb_connection_t* m_c;
};

class Desktop : public ::testing::Test {
protected:
    void SetUp() override {
        if (!kXvfb->Up()) GTEST_SKIP() << "no X server";
        ASSERT_TRUE(x.Ok());
    }

    // The caption of the shown widget's X window once the window has one (or what it has after 20 s).
    std::string CaptionOf(QWidget& w) {
        std::string caption;
        drvtest::WaitWithEvents([&] {
            caption = x.Caption(static_cast<xcb_window_t>(w.winId()));
            return !caption.empty();
        });
        return caption;
    }

    // The main window, started in a directory of its own without a Z8 link.
    std::unique_ptr<TForm1> MainWindow() {
        dir.write("drvorvel.ini", "[main]\nSendZ8=0\n");
        TForm1Options options;
        options.workingDirectory = dir.path();
        options.randomSeed = 1;
        return std::make_unique<TForm1>(&messages, options);
    }

    XClient x;
    drvtest::TempDir dir;
    Tadvsm messages;
};

}  // namespace

// Each window's caption is its own, with nothing the platform adds (such as the program's display name).
TEST_F(Desktop, EveryWindowShowsExactlyItsOwnCaption) {
    const std::unique_ptr<TForm1> form = MainWindow();
    TForm2 dialog([] { return std::string("12345"); });
    messages.SetMessageText(QStringLiteral("Порт уже занят!"));
    form->show();
    dialog.show();
    messages.show();
    EXPECT_EQ(CaptionOf(*form), "Драйвер Орвел");
    EXPECT_EQ(CaptionOf(dialog), "Закрытый доступ");
    EXPECT_EQ(CaptionOf(messages), "advsm");
    messages.hide();
    dialog.hide();
}

// The tray program starts after the driver, as a session's autostart order may have it: the icon docks into it.
TEST_F(Desktop, TheTrayIconDocksIntoATrayThatAppearsLater) {
    const std::unique_ptr<TForm1> form = MainWindow();
    form->show();
    drvtest::WaitWithEvents([] { return false; }, 300ms);
    ASSERT_FALSE(QSystemTrayIcon::isSystemTrayAvailable());

    // A tray as the system-tray protocol has it: it owns the selection _NET_SYSTEM_TRAY_S0 and says so to
    // every client; icons then ask it to dock their window.
    XClient tray;
    const xcb_window_t trayWindow = xcb_generate_id(tray.c());
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(tray.c())).data;
    xcb_create_window(tray.c(), XCB_COPY_FROM_PARENT, trayWindow, screen->root, 0, 0, 1, 1, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual, 0, nullptr);
    const xcb_atom_t selection = tray.Atom("_NET_SYSTEM_TRAY_S0");
    const xcb_atom_t opcode = tray.Atom("_NET_SYSTEM_TRAY_OPCODE");
    xcb_set_selection_owner(tray.c(), trayWindow, selection, XCB_CURRENT_TIME);
    xcb_client_message_event_t manager{};
    manager.response_type = XCB_CLIENT_MESSAGE;
    manager.format = 32;
    manager.window = screen->root;
    manager.type = tray.Atom("MANAGER");
    manager.data.data32[0] = XCB_CURRENT_TIME;
    manager.data.data32[1] = selection;
    manager.data.data32[2] = trayWindow;
    xcb_send_event(tray.c(), 0, screen->root, XCB_EVENT_MASK_STRUCTURE_NOTIFY, reinterpret_cast<const char*>(&manager));
    xcb_flush(tray.c());

    std::optional<xcb_window_t> docked;
    const bool asked = drvtest::WaitWithEvents([&] {
        while (xcb_generic_event_t* e = xcb_poll_for_event(tray.c())) {
            const auto* m = reinterpret_cast<const xcb_client_message_event_t*>(e);
            if ((e->response_type & 0x7f) == XCB_CLIENT_MESSAGE && m->type == opcode && m->data.data32[1] == 0)
                docked = m->data.data32[2];  // SYSTEM_TRAY_REQUEST_DOCK, the icon's window
            std::free(e);
        }
        return docked.has_value();
    });
    EXPECT_TRUE(asked) << "the tray icon never asked the late tray to dock it";
    EXPECT_TRUE(QSystemTrayIcon::isSystemTrayAvailable());
    EXPECT_TRUE(form->TrayIcon1->isVisible());
}
