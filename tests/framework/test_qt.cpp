// The dialog framework on the Qt backend: the backend contract (backend_contract.cpp) on real Qt
// widgets, with the window on the main thread as Qt wants it (tests/e2e/window_thread.h), and what only
// this backend does: dialogs laid out from the template in the dialog font's units, the window's context
// menu as its system menu, and the icons of res/.
#include "framework/styles.h"
#include "res/resource_tables.h"
#include "rigs/operators/qt_operator.h"
#include "tests/e2e/window_thread.h"
#include "tests/framework/backend_contract.h"
#include "tests/support/test_files.h"

#include <QApplication>
#include <QCheckBox>
#include <QFontMetrics>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QWidget>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <sys/wait.h>

namespace {

class QtHarness : public BackendHarness {
public:
    std::unique_ptr<Operator> make_operator() override { return std::make_unique<QtOperator>(); }
    WindowHandle window_of(Operator &op) override { return static_cast<QtOperator &>(op).window(); }
    bool is_visible(WindowHandle window) override {
        QWidget *widget = qt_widget(window);
        return widget != nullptr && widget->isVisible();
    }
    void run_window_thread(std::function<void()> job) override { run_on_main_thread(std::move(job)); }
    void join_window_thread() override { EXPECT_TRUE(wait_main_thread(60000)) << "the window thread hangs"; }
};

using QtBackend = BackendContract;

} // namespace

std::unique_ptr<BackendHarness> make_backend_harness() {
    return std::make_unique<QtHarness>();
}

// The main window's template, laid out in the units of its own font: every control where the template
// puts it, of the kind it names, with its initial state, and the keyboard's tab order the template's.
TEST_F(QtBackend, DialogIsLaidOutFromItsTemplateInTheFontsDialogUnits) {
    ProbeDialog main(harness.get(), IDD_TARNEX_DIALOG);
    Start(&main, IDD_TARNEX_DIALOG);
    const DialogResource *resource = find_dialog_resource(IDD_TARNEX_DIALOG);
    OnWindowThread([&] {
        QWidget *widget = qt_widget(window);
        ASSERT_NE(widget, nullptr);
        const QFontMetrics metrics(widget->font());
        const int base_x =
            (metrics.horizontalAdvance("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz") / 26 + 1) / 2;
        const int base_y = metrics.height();
        auto px = [&](int units) { return (units * base_x + 2) / 4; };
        auto py = [&](int units) { return (units * base_y + 4) / 8; };
        EXPECT_EQ(widget->size(), QSize(px(resource->width), py(resource->height)));
        EXPECT_EQ(widget->windowTitle().toStdString(), resource->caption);
        std::vector<QWidget *> tab_stops;
        for (size_t i = 0; i < resource->item_count; ++i) {
            const DialogItemResource &item = resource->items[i];
            if (item.id == -1)
                continue;
            QWidget *control = qt_widget(g_FrameworkBackend.get_dlg_item(window, item.id));
            ASSERT_NE(control, nullptr) << item.id;
            EXPECT_EQ(control->geometry(), QRect(px(item.x), py(item.y), px(item.width), py(item.height)))
                << item.id;
            EXPECT_EQ(control->isEnabledTo(widget), (item.style & WS_DISABLED) == 0) << item.id;
            if ((item.style & WS_TABSTOP) != 0)
                tab_stops.push_back(control);
        }
        EXPECT_TRUE(qobject_cast<QPushButton *>(qt_widget(g_FrameworkBackend.get_dlg_item(window, IDOK)))
                        ->isDefault());
        EXPECT_NE(qobject_cast<QCheckBox *>(qt_widget(g_FrameworkBackend.get_dlg_item(window, 1013))),
                  nullptr);
        EXPECT_NE(qobject_cast<QProgressBar *>(qt_widget(g_FrameworkBackend.get_dlg_item(window, 1002))),
                  nullptr);
        // Tab goes from each tab stop to the next in the template's order.
        for (size_t i = 0; i + 1 < tab_stops.size(); ++i) {
            QWidget *next = tab_stops[i]->nextInFocusChain();
            while (next != nullptr && next->focusPolicy() == Qt::NoFocus)
                next = next->nextInFocusChain();
            EXPECT_EQ(next, tab_stops[i + 1]) << i;
        }
    });
    // The dialog object is this test's own: it ends here.
    ASSERT_TRUE(op->click(IDCANCEL));
    ui.join();
    EXPECT_EQ(result, IDCANCEL);
}

// Linux windows have no system menu: the window's context menu is it, with the close command and what
// the program appends, and the menu key or Shift+F10 opens it from the keyboard.
TEST_F(QtBackend, ContextMenuIsTheSystemMenuAndChoosingAnItemSendsItsCommand) {
    Start();
    OnWindowThread([&] {
        CMenu menu(g_FrameworkBackend.get_system_menu(window));
        ASSERT_NE(menu.m_hMenu, nullptr);
        EXPECT_TRUE(menu.AppendMenu(MF_SEPARATOR));
        EXPECT_TRUE(menu.AppendMenu(MF_STRING, ID_HELP, "关于(&A)..."));
    });
    std::vector<std::string> items;
    OnWindowThread([&] {
        for (QAction *action : qt_widget(window)->findChild<QMenu *>()->actions())
            items.push_back(action->isSeparator() ? "-" : action->text().toStdString());
    });
    EXPECT_EQ(items, (std::vector<std::string>{"&Close", "-", "关于(&A)..."}));
    ASSERT_TRUE(op->key(0x79)); // F10 alone is nothing here
    bool popped = false;
    qt_post([this] {
        QWidget *widget = qt_widget(window);
        QKeyEvent press(QEvent::KeyPress, Qt::Key_F10, Qt::ShiftModifier);
        QApplication::sendEvent(widget->focusWidget() != nullptr ? widget->focusWidget() : widget, &press);
    });
    ASSERT_TRUE(op->wait_until(
        [&] {
            qt_call([&] { popped = qt_widget(window)->findChild<QMenu *>()->isVisible(); }, 5000);
            return popped;
        },
        CONTRACT_WAIT_MS));
    OnWindowThread([&] { qt_widget(window)->findChild<QMenu *>()->hide(); });
    // The item's command reaches the window as a system command: here the application's Help.
    ASSERT_TRUE(op->system_command(ID_HELP));
    EXPECT_FALSE(op->system_command(0x4242)) << "no such item";
    g_FrameworkBackend.send_message(window, WM_NULL, 0, 0);
}

// The icons come from the program's own .ico files, each with its three sizes; the About box's static
// icon shows the application icon from the template.
TEST_F(QtBackend, IconsOfTheResourcesLoadWithTheirThreeSizes) {
    Start();
    EXPECT_NE(op->picture(IDC_STATIC), 0u) << "the About box shows the application icon";
    for (int id : {IDI_DEVICE, IDI_NODEVICE, IDR_MAINFRAME}) {
        IconHandle icon = g_FrameworkBackend.load_icon(id);
        ASSERT_NE(icon, nullptr) << id;
        OnWindowThread([&] {
            dialog.SetIcon(icon, TRUE);
            const QList<QSize> sizes = qt_widget(window)->windowIcon().availableSizes();
            for (int size : {16, 32, 48})
                EXPECT_TRUE(sizes.contains(QSize(size, size))) << id << " " << size;
        });
    }
    EXPECT_EQ(g_FrameworkBackend.load_icon(4242), nullptr);
}

// Started without a display, the window flasher says so in one line on standard error and ends with 1,
// whatever names the platform: nothing set at all, QT_QPA_PLATFORM=xcb without DISPLAY, and a DISPLAY
// that nothing answers (where Qt itself would abort).
TEST(QtFlasher, WithoutADisplayItSaysSoInOneLineAndEndsWithOne) {
    const std::string unanswered = ":59999";
    if (std::filesystem::exists("/tmp/.X11-unix/X59999"))
        GTEST_SKIP() << "an X server answers on " << unanswered << " here";
    TempDir dir;
    const std::string errors = dir.Path("stderr.txt");
    for (const std::string &environment :
         std::vector<std::string>{"-u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM",
                                  "-u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=xcb",
                                  "-u WAYLAND_DISPLAY DISPLAY=" + unanswered + " QT_QPA_PLATFORM=xcb"}) {
        // A flasher that found a display would show its message box and wait: the time-out ends it.
        const std::string command =
            "env " + environment + " timeout 60 " TARNEX_QT_FLASHER " </dev/null >/dev/null 2>" + errors;
        const int status = std::system(command.c_str());
        const std::vector<uint8_t> said = read_file(errors);
        const std::string text(said.begin(), said.end());
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << environment << ": status " << status;
        EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << environment << ":\n" << text;
        EXPECT_NE(text.find("tarnex: there is no display to show the window on ("), std::string::npos)
            << environment << ":\n"
            << text;
    }
}
