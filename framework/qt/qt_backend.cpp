// The Qt backend: dialogs built from the template description of res/ (positions in dialog units
// converted with the dialog font's metrics, controls in tab order, the default button), static texts
// and icons, buttons and the check box, the read-only edit, the progress bar, timers, posted and sent
// messages between threads, message boxes, the window's context menu standing in for the system menu.
//
// Each window is a record in one registry, under one lock, with a serial-number handle that is never
// reused: a message for a window that is gone finds nothing instead of a newer window at the same
// address. Widgets are touched on the window thread only; other threads reach a window through events
// posted to its dialog's widget (postEvent is thread-safe), under the registry's lock, which the window
// thread takes to remove a record before it deletes the widget, so an event is never posted to a widget
// being deleted. Deleting a widget deletes its pending events; a sent message's event then releases its
// sender with 0.
//
// The dialog's top-level widget is a plain QWidget, not a QDialog: a QDialog acts on Enter and Escape by
// itself, and here every key goes through the dialog's pre-translation first, as it does on Windows.
#include "framework/qt/qt_backend.h"

#include "framework/dialog.h"
#include "framework/handler_guard.h"
#include "framework/styles.h"
#include "os/os_api.h"
#include "res/resource.h"
#include "res/resource_tables.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QEvent>
#include <QEventLoop>
#include <QFontMetrics>
#include <QGroupBox>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QPixmap>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QThread>
#include <QTimer>
#include <QWidget>
#include <QWindow>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace {

// --- Icons: the list of res/resources.inc, each from its .ico file compiled into the program.

struct IconFile {
    int id;
    const char *file; // relative to res/, as the resource script names it
};
#define TARNEX_DIALOG(id, x, y, width, height, style, ex_style, caption, points, font, weight, italic,       \
                      charset)
#define TARNEX_CONTROL(text, id, class_name, style, x, y, width, height)
#define TARNEX_ICON_CONTROL(icon, id, style, x, y, width, height)
#define TARNEX_DIALOG_END()
#define TARNEX_STRINGS_BEGIN()
#define TARNEX_STRING(id, text)
#define TARNEX_STRINGS_END()
#define TARNEX_ICON(id, file) {id, file},
constexpr IconFile ICON_FILES[] = {
#include "res/resources.inc"
};
#undef TARNEX_DIALOG
#undef TARNEX_CONTROL
#undef TARNEX_ICON_CONTROL
#undef TARNEX_DIALOG_END
#undef TARNEX_STRINGS_BEGIN
#undef TARNEX_STRING
#undef TARNEX_STRINGS_END
#undef TARNEX_ICON

// The size of an icon as the window system hands it out (SM_CXICON, SM_CYICON).
constexpr int ICON_SIZE = 32;

// An icon handle is its resource id: it can be handed out on any thread, before there is a
// QApplication, and compares like the picture it stands for. The QIcon is made on the window thread.
int icon_id(IconHandle icon) {
    return static_cast<int>(reinterpret_cast<uintptr_t>(icon));
}

const QIcon &icon_of(IconHandle icon) {
    static std::map<int, QIcon> *loaded = new std::map<int, QIcon>;
    static const QIcon none;
    const int id = icon_id(icon);
    auto it = loaded->find(id);
    if (it != loaded->end())
        return it->second;
    for (const IconFile &file : ICON_FILES)
        if (file.id == id)
            return loaded->emplace(id, QIcon(QStringLiteral(":/res/") + QString::fromUtf8(file.file)))
                .first->second;
    return none;
}

// --- The registry of windows.

struct Record {
    uintptr_t handle = 0;
    uintptr_t dialog_handle = 0; // the dialog's own handle, for the dialog and its controls
    QWidget *widget = nullptr;   // window thread only; null once the record is being removed
    CDialog *dialog = nullptr;   // dialogs: where their messages go
    int template_id = 0;
    int id = 0; // controls: the control id
    std::string class_name;
    uint32_t style = 0;
    bool shown = false;
    // Dialogs.
    bool end_requested = false;
    intptr_t result = 0;
    QEventLoop *loop = nullptr;
    QMenu *menu = nullptr;
    IconHandle big_icon = nullptr, small_icon = nullptr;
    std::vector<uintptr_t> children; // tab order
    // Static controls.
    IconHandle icon = nullptr;
    // Timers of this window.
    std::map<uintptr_t, QTimer *> timers;
    std::map<uintptr_t, TimerCallback> callbacks;
};

struct Registry {
    std::mutex mutex;
    std::map<uintptr_t, std::unique_ptr<Record>> records;
    uintptr_t next_handle = 0x1000;
    std::vector<QMessageBox *> boxes; // open message boxes, oldest first
    // Changes, for waiters on other threads.
    std::mutex change_mutex;
    std::condition_variable changed;
    uint64_t generation = 0;
    std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
};

// Created once and never destroyed: a worker may still send a report while the process ends.
Registry &registry() {
    static Registry *instance = new Registry;
    return *instance;
}

using Lock = std::unique_lock<std::mutex>;

uintptr_t raw(WindowHandle window) {
    return reinterpret_cast<uintptr_t>(window);
}
WindowHandle handle_of(uintptr_t value) {
    return reinterpret_cast<WindowHandle>(value);
}

Record *find_locked(uintptr_t handle) {
    auto it = registry().records.find(handle);
    return it != registry().records.end() ? it->second.get() : nullptr;
}

// Window thread: the record of a handle. Records are removed on the window thread only, so the pointer
// stays good until the dialog it belongs to is destroyed.
Record *record_of(uintptr_t handle) {
    Lock lock(registry().mutex);
    return find_locked(handle);
}

void changed() {
    Registry &r = registry();
    {
        std::lock_guard<std::mutex> lock(r.change_mutex);
        ++r.generation;
    }
    r.changed.notify_all();
}

uint32_t tick_count() {
    return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now() - registry().started)
                                     .count());
}

bool on_window_thread() {
    QCoreApplication *app = QCoreApplication::instance();
    return app != nullptr && QThread::currentThread() == app->thread();
}

QString text_of(const char *text) {
    return QString::fromUtf8(text != nullptr ? text : "");
}

// A static control without SS_NOPREFIX shows "&x" as an underlined x and "&&" as "&"; a label shows
// its text as it is, so the marks go.
QString static_text(const char *text, uint32_t style) {
    QString shown = text_of(text);
    if ((style & SS_NOPREFIX) != 0)
        return shown;
    QString result;
    for (int i = 0; i < shown.size(); ++i) {
        if (shown[i] == QLatin1Char('&') && i + 1 < shown.size())
            ++i;
        result += shown[i];
    }
    return result;
}

// --- Messages between threads: one event type, posted to the dialog's widget.

struct SentCall {
    std::mutex mutex;
    std::condition_variable done_changed;
    bool done = false;
    LRESULT result = 0;

    void finish(LRESULT value) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (done)
                return;
            done = true;
            result = value;
        }
        done_changed.notify_all();
    }
};

QEvent::Type message_event_type() {
    static const QEvent::Type type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

class MessageEvent : public QEvent {
public:
    MessageEvent(uintptr_t target, UINT message, WPARAM wParam, LPARAM lParam, std::shared_ptr<SentCall> sent)
        : QEvent(message_event_type()), m_target(target), m_message(message), m_wParam(wParam),
          m_lParam(lParam), m_sent(std::move(sent)) {}
    // Dropped unhandled (its window went, or the program ends): the sender gets 0.
    ~MessageEvent() override {
        if (m_sent != nullptr)
            m_sent->finish(0);
    }
    uintptr_t m_target;
    UINT m_message;
    WPARAM m_wParam;
    LPARAM m_lParam;
    std::shared_ptr<SentCall> m_sent; // null: posted
};

LRESULT call_window(uintptr_t handle, UINT message, WPARAM wParam, LPARAM lParam);

// The dialog a record belongs to.
Record *dialog_of(Record *record) {
    if (record == nullptr)
        return nullptr;
    return record->dialog != nullptr ? record : record_of(record->dialog_handle);
}

// A queued message's turn: the pre-translation of its dialog, then its window.
void dispatch_queued(uintptr_t target, UINT message, WPARAM wParam, LPARAM lParam) {
    Record *dialog = dialog_of(record_of(target));
    if (dialog == nullptr || dialog->dialog == nullptr)
        return;
    Msg msg = {handle_of(target), message, wParam, lParam, tick_count()};
    CDialog *object = dialog->dialog;
    if (run_guarded("pre-translation", FALSE, [&] { return object->PreTranslateMessage(&msg); }))
        return;
    call_window(target, message, wParam, lParam);
}

// --- The dialog's top-level widget.

class DialogWidget : public QWidget {
public:
    explicit DialogWidget(uintptr_t handle) : m_handle(handle) {}

    bool m_painting = false;

protected:
    bool event(QEvent *event) override {
        if (event->type() == message_event_type()) {
            auto *message = static_cast<MessageEvent *>(event);
            if (message->m_sent != nullptr) {
                std::shared_ptr<SentCall> sent = std::move(message->m_sent);
                sent->finish(
                    call_window(message->m_target, message->m_message, message->m_wParam, message->m_lParam));
            } else {
                dispatch_queued(message->m_target, message->m_message, message->m_wParam, message->m_lParam);
            }
            return true;
        }
        if (event->type() == QEvent::WindowStateChange || event->type() == QEvent::EnabledChange)
            changed();
        return QWidget::event(event);
    }

    // The title bar's close button: the system's close command, which the dialog ends in "Cancel".
    // The widget itself never closes: the modal run destroys it.
    void closeEvent(QCloseEvent *event) override {
        event->ignore();
        call_window(m_handle, WM_SYSCOMMAND, SC_CLOSE, 0);
    }

    void paintEvent(QPaintEvent *event) override {
        QWidget::paintEvent(event);
        m_painting = true;
        call_window(m_handle, WM_PAINT, 0, 0);
        m_painting = false;
    }

    void contextMenuEvent(QContextMenuEvent *event) override {
        Record *record = record_of(m_handle);
        if (record == nullptr || record->menu == nullptr)
            return;
        record->menu->popup(event->globalPos());
    }

private:
    uintptr_t m_handle;
};

// --- Keys: every key press for one of our dialogs goes through its pre-translation first.

WPARAM virtual_key(const QKeyEvent *key) {
    const int code = key->key();
    switch (code) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        return VK_RETURN;
    case Qt::Key_Escape:
        return VK_ESCAPE;
    case Qt::Key_Tab:
    case Qt::Key_Backtab:
        return VK_TAB;
    case Qt::Key_Space:
        return 0x20; // VK_SPACE
    case Qt::Key_Menu:
        return 0x5D; // VK_APPS
    default:
        break;
    }
    if (code >= Qt::Key_F1 && code <= Qt::Key_F24)
        return static_cast<WPARAM>(0x70 + (code - Qt::Key_F1)); // VK_F1 ...
    if ((code >= Qt::Key_A && code <= Qt::Key_Z) || (code >= Qt::Key_0 && code <= Qt::Key_9))
        return static_cast<WPARAM>(code); // the virtual keys of letters and digits are their ASCII codes
    return 0;
}

uintptr_t handle_of_widget(const QWidget *widget) {
    return widget->property("tarnex.handle").value<qulonglong>();
}

class KeyFilter : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject *object, QEvent *event) override {
        if (event->type() != QEvent::KeyPress || !object->isWidgetType())
            return false;
        auto *widget = static_cast<QWidget *>(object);
        auto *dialog = dynamic_cast<DialogWidget *>(widget->window());
        // A key travels from the focus widget up to its parents; the dialog sees it once, at the start.
        if (dialog == nullptr ||
            widget != (dialog->focusWidget() != nullptr ? dialog->focusWidget() : dialog))
            return false;
        auto *key = static_cast<QKeyEvent *>(event);
        const uintptr_t target = handle_of_widget(widget);
        Record *record = dialog_of(record_of(target));
        if (record == nullptr || record->dialog == nullptr)
            return false;
        if (const WPARAM vk = virtual_key(key); vk != 0) {
            Msg msg = {handle_of(target), WM_KEYDOWN, vk, 0, tick_count()};
            CDialog *object_dialog = record->dialog;
            if (run_guarded("pre-translation", FALSE,
                            [&] { return object_dialog->PreTranslateMessage(&msg); }))
                return true;
        }
        // Shift+F10 and the menu key open the window's menu, as everywhere on the desktop.
        if (record->menu != nullptr &&
            (key->key() == Qt::Key_Menu ||
             (key->key() == Qt::Key_F10 && key->modifiers() == Qt::ShiftModifier))) {
            record->menu->popup(widget->mapToGlobal(QPoint(0, widget->height())));
            return true;
        }
        return false;
    }
};

// --- Default handling of dialogs, and the controls' own messages.

LRESULT default_dialog_procedure(uintptr_t handle, UINT message, WPARAM wParam, LPARAM lParam) {
    Record *dialog = record_of(handle);
    if (dialog == nullptr || dialog->widget == nullptr)
        return 0;
    switch (message) {
    case WM_CLOSE: {
        // The close button is the Cancel command, unless the Cancel button is disabled.
        for (uintptr_t child : dialog->children) {
            Record *control = record_of(child);
            if (control != nullptr && control->id == IDCANCEL) {
                if (control->widget != nullptr && !control->widget->isEnabledTo(dialog->widget))
                    return 0;
                return call_window(handle, WM_COMMAND, make_wparam(IDCANCEL, BN_CLICKED),
                                   static_cast<LPARAM>(child));
            }
        }
        return call_window(handle, WM_COMMAND, make_wparam(IDCANCEL, BN_CLICKED), 0);
    }
    case WM_SYSCOMMAND:
        switch (wParam & 0xFFF0) {
        case SC_CLOSE:
            return call_window(handle, WM_CLOSE, 0, 0);
        case SC_MINIMIZE:
            dialog->widget->showMinimized();
            return 0;
        case SC_RESTORE:
            dialog->widget->showNormal();
            return 0;
        }
        return 0;
    case WM_SETICON: {
        IconHandle &slot = wParam == ICON_BIG ? dialog->big_icon : dialog->small_icon;
        IconHandle previous = slot;
        slot = reinterpret_cast<IconHandle>(lParam);
        // Qt has one window icon with every size in it: the big one, else the small one.
        IconHandle shown = dialog->big_icon != nullptr ? dialog->big_icon : dialog->small_icon;
        dialog->widget->setWindowIcon(icon_of(shown));
        changed();
        return reinterpret_cast<LRESULT>(previous);
    }
    default:
        return 0;
    }
}

QPixmap icon_pixmap(IconHandle icon) {
    return icon != nullptr ? icon_of(icon).pixmap(ICON_SIZE, ICON_SIZE) : QPixmap();
}

LRESULT control_procedure(uintptr_t handle, UINT message, WPARAM wParam, LPARAM lParam) {
    Record *control = record_of(handle);
    if (control == nullptr || control->widget == nullptr)
        return 0;
    QWidget *widget = control->widget;
    switch (message) {
    case STM_SETICON: {
        IconHandle previous = control->icon;
        control->icon = reinterpret_cast<IconHandle>(wParam);
        if (auto *label = qobject_cast<QLabel *>(widget))
            label->setPixmap(icon_pixmap(control->icon));
        changed();
        return reinterpret_cast<LRESULT>(previous);
    }
    case STM_GETICON:
        return reinterpret_cast<LRESULT>(control->icon);
    case BM_GETCHECK:
        if (auto *box = qobject_cast<QCheckBox *>(widget))
            return box->isChecked() ? BST_CHECKED : BST_UNCHECKED;
        return BST_UNCHECKED;
    case BM_SETCHECK:
        if (auto *box = qobject_cast<QCheckBox *>(widget))
            box->setChecked(static_cast<int>(wParam) == BST_CHECKED);
        changed();
        return 0;
    case PBM_SETRANGE:
        if (auto *bar = qobject_cast<QProgressBar *>(widget)) {
            const LRESULT previous = static_cast<LRESULT>(
                make_wparam(static_cast<UINT>(bar->minimum()), static_cast<UINT>(bar->maximum())));
            const int low = static_cast<int>(low_word(static_cast<uintptr_t>(lParam)));
            const int high = static_cast<int>(high_word(static_cast<uintptr_t>(lParam)));
            const int position = bar->value();
            bar->setRange(low, std::max(low, high));
            bar->setValue(std::clamp(position, bar->minimum(), bar->maximum()));
            changed();
            return previous;
        }
        return 0;
    case PBM_SETPOS:
        if (auto *bar = qobject_cast<QProgressBar *>(widget)) {
            const LRESULT previous = bar->value();
            bar->setValue(
                std::clamp(static_cast<int>(static_cast<intptr_t>(wParam)), bar->minimum(), bar->maximum()));
            changed();
            return previous;
        }
        return 0;
    case PBM_GETPOS:
        if (auto *bar = qobject_cast<QProgressBar *>(widget))
            return bar->value();
        return 0;
    case PBM_GETRANGE:
        if (auto *bar = qobject_cast<QProgressBar *>(widget))
            return wParam != 0 ? bar->minimum() : bar->maximum();
        return 0;
    default:
        return 0;
    }
}

LRESULT call_window(uintptr_t handle, UINT message, WPARAM wParam, LPARAM lParam) {
    Record *record = record_of(handle);
    if (record == nullptr)
        return 0;
    if (record->dialog == nullptr)
        return control_procedure(handle, message, wParam, lParam);
    CDialog *dialog = record->dialog;
    LRESULT result = 0;
    if (run_guarded("a window procedure", false,
                    [&] { return dialog->OnMessage(message, wParam, lParam, &result); }))
        return result;
    return default_dialog_procedure(handle, message, wParam, lParam);
}

// --- Building a dialog from its template.

// Dialog units to pixels with the dialog font's metrics, as the window system of the templates does:
// a horizontal unit is a quarter of the font's average character width (over the 52 letters), a
// vertical one an eighth of its height; both rounded.
struct DialogUnits {
    int base_x, base_y;
    int x(int units) const { return (units * base_x + 2) / 4; }
    int y(int units) const { return (units * base_y + 4) / 8; }
};

DialogUnits dialog_units(const QFont &font) {
    const QFontMetrics metrics(font);
    const int letters =
        metrics.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    return {std::max(1, (letters / 26 + 1) / 2), std::max(1, metrics.height())};
}

QWidget *make_control(const DialogItemResource &item, QWidget *parent) {
    const std::string kind = item.class_name;
    const uint32_t style = item.style;
    if (kind == "Button") {
        switch (style & BS_TYPEMASK) {
        case BS_AUTOCHECKBOX:
            return new QCheckBox(text_of(item.text), parent);
        case BS_GROUPBOX:
            return new QGroupBox(text_of(item.text), parent);
        default: {
            auto *button = new QPushButton(text_of(item.text), parent);
            // The dialog's keys are ours (is_dialog_message): a focused button must not act on Enter.
            button->setAutoDefault(false);
            button->setDefault((style & BS_TYPEMASK) == BS_DEFPUSHBUTTON);
            return button;
        }
        }
    }
    if (kind == "Edit") {
        auto *edit = new QLineEdit(text_of(item.text), parent);
        edit->setReadOnly((style & ES_READONLY) != 0);
        edit->setFrame((style & WS_BORDER) != 0);
        return edit;
    }
    if (kind == "msctls_progress32") {
        auto *bar = new QProgressBar(parent);
        bar->setRange(0, 100); // the common control's range until it is set
        bar->setValue(0);
        bar->setTextVisible(false);
        return bar;
    }
    auto *label = new QLabel(parent);
    if ((style & SS_TYPEMASK) == SS_ICON) {
        label->setAlignment(Qt::AlignCenter);
    } else {
        label->setTextFormat(Qt::PlainText);
        label->setText(static_text(item.text, style));
        label->setAlignment(((style & SS_TYPEMASK) == SS_RIGHT ? Qt::AlignRight : Qt::AlignLeft) |
                            Qt::AlignTop);
    }
    return label;
}

// Makes the dialog's widget and controls (hidden) and their records. Window thread.
uintptr_t create_dialog(const DialogResource &resource, CDialog *dialog) {
    Registry &r = registry();
    uintptr_t handle;
    {
        Lock lock(r.mutex);
        handle = r.next_handle++;
    }
    auto *widget = new DialogWidget(handle);
    widget->setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           ((resource.style & WS_SYSMENU) != 0
                                ? Qt::WindowCloseButtonHint | Qt::WindowSystemMenuHint
                                : Qt::WindowFlags()));
    widget->setWindowTitle(text_of(resource.caption));
    widget->setProperty("tarnex.handle", qulonglong(handle));
    QFont font(text_of(resource.font_name));
    font.setPointSize(resource.font_points > 0 ? resource.font_points : 9);
    widget->setFont(font);
    const DialogUnits units = dialog_units(widget->font());
    widget->setFixedSize(units.x(resource.width), units.y(resource.height));

    auto record = std::make_unique<Record>();
    record->handle = handle;
    record->dialog_handle = handle;
    record->widget = widget;
    record->dialog = dialog;
    record->template_id = resource.id;
    record->class_name = "#32770";
    record->style = resource.style;
    if ((resource.style & WS_SYSMENU) != 0) {
        // The system menu of a Linux window is its context menu: the close command, and whatever the
        // program appends.
        record->menu = new QMenu(widget);
        QAction *close = record->menu->addAction(QStringLiteral("&Close"));
        close->setData(QVariant::fromValue<qulonglong>(SC_CLOSE));
        QObject::connect(record->menu, &QMenu::triggered, widget, [handle](QAction *action) {
            // Posted, as a menu's choice is: the menu has closed when the command runs.
            g_FrameworkBackend.post_message(handle_of(handle), WM_SYSCOMMAND,
                                            static_cast<WPARAM>(action->data().value<qulonglong>()), 0);
        });
    }
    if ((resource.style & WS_DISABLED) != 0)
        widget->setEnabled(false);

    std::vector<std::unique_ptr<Record>> controls;
    for (size_t i = 0; i < resource.item_count; ++i) {
        const DialogItemResource &item = resource.items[i];
        QWidget *control = make_control(item, widget);
        auto child = std::make_unique<Record>();
        {
            Lock lock(r.mutex);
            child->handle = r.next_handle++;
        }
        child->dialog_handle = handle;
        child->widget = control;
        child->id = item.id;
        child->class_name = item.class_name;
        child->style = item.style;
        control->setProperty("tarnex.handle", qulonglong(child->handle));
        control->setGeometry(units.x(item.x), units.y(item.y), units.x(item.width), units.y(item.height));
        // The tab order is the template's order (the order of creation); only tab stops take the focus
        // from the keyboard.
        control->setFocusPolicy((item.style & WS_TABSTOP) != 0 ? Qt::StrongFocus : Qt::NoFocus);
        control->setEnabled((item.style & WS_DISABLED) == 0);
        control->setVisible((item.style & WS_VISIBLE) != 0);
        if (item.icon != 0) {
            child->icon = g_FrameworkBackend.load_icon(item.icon);
            if (auto *label = qobject_cast<QLabel *>(control))
                label->setPixmap(icon_pixmap(child->icon));
        }
        if (auto *button = qobject_cast<QAbstractButton *>(control)) {
            const uintptr_t control_handle = child->handle;
            const UINT id = static_cast<UINT>(item.id);
            QObject::connect(button, &QAbstractButton::clicked, button, [handle, control_handle, id] {
                call_window(handle, WM_COMMAND, make_wparam(id, BN_CLICKED),
                            static_cast<LPARAM>(control_handle));
            });
            QObject::connect(button, &QAbstractButton::toggled, button, [] { changed(); });
        }
        record->children.push_back(child->handle);
        controls.push_back(std::move(child));
    }
    {
        Lock lock(r.mutex);
        for (auto &control : controls)
            r.records.emplace(control->handle, std::move(control));
        r.records.emplace(handle, std::move(record));
    }
    changed();
    return handle;
}

// Removes the dialog's records, then its widget (and with it the events still waiting for it).
void destroy_dialog(uintptr_t handle) {
    Registry &r = registry();
    QWidget *widget = nullptr;
    {
        Lock lock(r.mutex);
        Record *dialog = find_locked(handle);
        if (dialog == nullptr)
            return;
        widget = dialog->widget;
        for (uintptr_t child : dialog->children)
            r.records.erase(child);
        r.records.erase(handle);
    }
    delete widget;
    changed();
}

void center_on(QWidget *widget, QWidget *owner) {
    QRect area;
    if (owner != nullptr && owner->isVisible())
        area = owner->frameGeometry();
    else if (QScreen *screen = widget->screen())
        area = screen->availableGeometry();
    if (!area.isEmpty())
        widget->move(area.center() - widget->rect().center());
}

// Keeps a window above its owner for the window manager, without making it Qt's child (a child of a
// disabled widget would be disabled with it).
void set_transient_parent(QWidget *widget, QWidget *owner) {
    if (owner == nullptr)
        return;
    widget->winId();
    owner->winId();
    if (widget->windowHandle() != nullptr && owner->windowHandle() != nullptr)
        widget->windowHandle()->setTransientParent(owner->windowHandle());
}

// The owner of a modal dialog or message box: disabled while the modal window is up, as the window
// system does, and kept below it. Window thread.
struct ModalOwner {
    ModalOwner(WindowHandle owner_handle, QWidget *modal) : handle(owner_handle) {
        Record *record = record_of(raw(owner_handle));
        widget = record != nullptr && record->dialog != nullptr ? record->widget : nullptr;
        was_enabled = widget != nullptr && widget->isEnabled();
        if (was_enabled)
            widget->setEnabled(false);
        set_transient_parent(modal, widget);
    }

    // Gives the owner its input back, if it still exists.
    void restore() const {
        if (was_enabled && qt_window_exists(handle))
            widget->setEnabled(true);
    }

    WindowHandle handle;
    QWidget *widget = nullptr;
    bool was_enabled = false;
};

// The first control that takes the focus from the keyboard, as a dialog starts with.
void focus_first_control(Record *dialog) {
    for (uintptr_t child : dialog->children) {
        Record *control = record_of(child);
        if (control != nullptr && control->widget != nullptr && (control->style & WS_TABSTOP) != 0 &&
            control->widget->isEnabled() && control->widget->isVisibleTo(dialog->widget)) {
            control->widget->setFocus(Qt::OtherFocusReason);
            return;
        }
    }
}

// --- Running code on the window thread for other threads.

struct Call {
    std::mutex mutex;
    std::condition_variable changed;
    bool started = false, abandoned = false, done = false;
};

// --- The backend table.

std::string &program_name() {
    static std::string *name = new std::string("tarnex");
    return *name;
}

// Why the platform Qt is going to start has no display to connect to, or empty when it may have one:
// xcb (X11, the default here) needs DISPLAY, wayland WAYLAND_DISPLAY; the others (offscreen, vnc ...)
// none. Only the first platform of a list ("wayland;xcb") and no options (":...") are looked at.
std::string missing_display() {
    const auto set = [](const char *name) {
        const char *value = std::getenv(name);
        return value != nullptr && value[0] != '\0';
    };
    const char *named = std::getenv("QT_QPA_PLATFORM");
    std::string platform = named != nullptr ? named : "";
    platform = platform.substr(0, platform.find_first_of(":;"));
    if (platform.empty() && !set("DISPLAY") && !set("WAYLAND_DISPLAY"))
        return "DISPLAY is not set";
    if (platform == "xcb" && !set("DISPLAY"))
        return "QT_QPA_PLATFORM is xcb and DISPLAY is not set";
    if (platform.rfind("wayland", 0) == 0 && !set("WAYLAND_DISPLAY"))
        return "QT_QPA_PLATFORM is " + platform + " and WAYLAND_DISPLAY is not set";
    return "";
}

[[noreturn]] void end_without_display(const std::string &reason) {
    std::fprintf(stderr,
                 "%s: there is no display to show the window on (%s); run it in a desktop session, or use "
                 "the console flasher on a station without one\n",
                 program_name().c_str(), reason.c_str());
    std::fflush(stderr);
    // Nothing has been deployed or opened yet; Qt's own objects are half made and are not to be torn
    // down now.
    std::_Exit(1);
}

// What Qt says while the application object is made: kept back, and shown as it would have been once
// the object stands. A platform that cannot start (a display that does not answer) is a fatal message,
// after which Qt would abort: the flasher says why in one line and ends with 1 instead.
std::vector<std::string> &startup_messages() {
    static auto *messages = new std::vector<std::string>;
    return *messages;
}

void startup_message_handler(QtMsgType type, const QMessageLogContext &context, const QString &message) {
    std::string line = message.toStdString();
    if (context.category != nullptr && std::string(context.category) != "default")
        line = std::string(context.category) + ": " + line;
    if (type != QtFatalMsg) {
        startup_messages().push_back(line);
        return;
    }
    // The first thing said is the reason ("qt.qpa.xcb: could not connect to display :5"); the fatal
    // message itself is a paragraph on plugins.
    std::string reason = startup_messages().empty() ? line : startup_messages().front();
    reason = reason.substr(0, reason.find('\n'));
    end_without_display(reason);
}

void qt_initialize() {
    if (QCoreApplication::instance() != nullptr)
        return;
    std::string name;
    if (g_FrameworkBackend.module_name(&name) && !name.empty())
        program_name() = name;
    // Without a display Qt would end the process with an abort; a technician gets a sentence instead.
    if (const std::string missing = missing_display(); !missing.empty())
        end_without_display(missing);
    static int argc = 1;
    static char *argv[] = {program_name().data(), nullptr};
    const QtMessageHandler previous = qInstallMessageHandler(startup_message_handler);
    auto *app = new QApplication(argc, argv);
    qInstallMessageHandler(previous);
    for (const std::string &line : startup_messages())
        std::fprintf(stderr, "%s\n", line.c_str());
    startup_messages().clear();
    // Windows end when their modal run ends, never by Qt's rules about the last window.
    app->setQuitOnLastWindowClosed(false);
    app->installEventFilter(new KeyFilter(app));
}

intptr_t qt_run_modal(CDialog *dialog, int template_id, WindowHandle owner_handle) {
    const DialogResource *resource = find_dialog_resource(template_id);
    if (resource == nullptr || dialog == nullptr)
        return -1;
    qt_initialize();
    if (!on_window_thread()) {
        std::fprintf(stderr, "a dialog was run on a thread that is not the window thread\n");
        return -1;
    }
    const uintptr_t handle = create_dialog(*resource, dialog);
    Record *record = record_of(handle);
    QWidget *widget = record->widget;
    const ModalOwner owner(owner_handle, widget);

    dialog->Attach(handle_of(handle));
    const bool focus_given = call_window(handle, WM_INITDIALOG, 0, 0) != 0;
    if (!record->end_requested) {
        center_on(widget, owner.widget);
        widget->show();
        // The offscreen platform of the tests has no stacking and says so on every call.
        if (QGuiApplication::platformName() != QLatin1String("offscreen")) {
            widget->raise();
            widget->activateWindow();
        }
        if (focus_given)
            focus_first_control(record);
        {
            Lock lock(registry().mutex);
            record->shown = true;
        }
        changed();
        QEventLoop loop;
        record->loop = &loop;
        if (!record->end_requested)
            loop.exec();
        record->loop = nullptr;
    }
    call_window(handle, WM_DESTROY, 0, 0);
    const intptr_t result = record->result;
    // The owner is enabled before the dialog goes, so that the activation returns to it.
    owner.restore();
    destroy_dialog(handle);
    return result;
}

void qt_end_dialog(WindowHandle window, intptr_t result) {
    Record *record = record_of(raw(window));
    if (record == nullptr || record->dialog == nullptr)
        return;
    record->end_requested = true;
    record->result = result;
    if (record->loop != nullptr)
        record->loop->quit();
}

bool qt_is_dialog_message(WindowHandle window, const Msg *msg) {
    if (msg->message != WM_KEYDOWN)
        return false;
    Record *dialog = record_of(raw(window));
    Record *target = record_of(raw(msg->hwnd));
    if (dialog == nullptr || dialog->dialog == nullptr || target == nullptr ||
        target->dialog_handle != dialog->handle)
        return false;
    if (msg->wParam == VK_RETURN) {
        // The default push button, when it takes input; Enter is the dialog's either way.
        for (uintptr_t child : dialog->children) {
            Record *button = record_of(child);
            if (button != nullptr && button->class_name == "Button" &&
                (button->style & BS_TYPEMASK) == BS_DEFPUSHBUTTON) {
                if (button->widget != nullptr && button->widget->isEnabled())
                    call_window(dialog->handle, WM_COMMAND,
                                make_wparam(static_cast<UINT>(button->id), BN_CLICKED),
                                static_cast<LPARAM>(child));
                break;
            }
        }
        return true;
    }
    if (msg->wParam == VK_ESCAPE) {
        uintptr_t cancel = 0;
        for (uintptr_t child : dialog->children)
            if (Record *control = record_of(child); control != nullptr && control->id == IDCANCEL)
                cancel = child;
        call_window(dialog->handle, WM_COMMAND, make_wparam(IDCANCEL, BN_CLICKED),
                    static_cast<LPARAM>(cancel));
        return true;
    }
    // Tab and the rest: Qt moves the focus along the tab stops and lets the focused control act.
    return false;
}

LRESULT qt_send_message(WindowHandle window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (on_window_thread())
        return qt_window_exists(window) ? call_window(raw(window), message, wParam, lParam) : 0;
    auto sent = std::make_shared<SentCall>();
    {
        Lock lock(registry().mutex);
        Record *target = find_locked(raw(window));
        Record *dialog = target != nullptr ? find_locked(target->dialog_handle) : nullptr;
        if (dialog == nullptr || dialog->widget == nullptr)
            return 0;
        // Ahead of posted messages, as sent ones are.
        QCoreApplication::postEvent(dialog->widget,
                                    new MessageEvent(raw(window), message, wParam, lParam, sent),
                                    Qt::HighEventPriority);
    }
    Lock wait(sent->mutex);
    sent->done_changed.wait(wait, [&] { return sent->done; });
    return sent->result;
}

bool qt_post_message(WindowHandle window, UINT message, WPARAM wParam, LPARAM lParam) {
    Lock lock(registry().mutex);
    Record *target = find_locked(raw(window));
    Record *dialog = target != nullptr ? find_locked(target->dialog_handle) : nullptr;
    if (dialog == nullptr || dialog->widget == nullptr)
        return false;
    QCoreApplication::postEvent(dialog->widget,
                                new MessageEvent(raw(window), message, wParam, lParam, nullptr));
    return true;
}

WindowHandle qt_get_dlg_item(WindowHandle window, int id) {
    Lock lock(registry().mutex);
    Record *dialog = find_locked(raw(window));
    if (dialog == nullptr)
        return nullptr;
    for (uintptr_t child : dialog->children)
        if (Record *control = find_locked(child); control != nullptr && control->id == id)
            return handle_of(child);
    return nullptr;
}

void qt_set_window_text(WindowHandle window, const char *text) {
    Record *record = record_of(raw(window));
    if (record == nullptr || record->widget == nullptr)
        return;
    QWidget *widget = record->widget;
    if (record->dialog != nullptr)
        widget->setWindowTitle(text_of(text));
    else if (auto *label = qobject_cast<QLabel *>(widget))
        label->setText(static_text(text, record->style));
    else if (auto *edit = qobject_cast<QLineEdit *>(widget)) {
        edit->setText(text_of(text));
        edit->setCursorPosition(0);
    } else if (auto *button = qobject_cast<QAbstractButton *>(widget))
        button->setText(text_of(text));
    else if (auto *group = qobject_cast<QGroupBox *>(widget))
        group->setTitle(text_of(text));
    changed();
}

std::string qt_get_window_text(WindowHandle window) {
    return qt_widget_text(qt_widget(window));
}

// A control's own state, as the window system keeps it: a control of a disabled dialog is still
// enabled itself.
bool own_enabled(QWidget *widget) {
    return widget->isWindow() ? widget->isEnabled() : widget->isEnabledTo(widget->window());
}

bool qt_enable_window(WindowHandle window, bool enable) {
    QWidget *widget = qt_widget(window);
    if (widget == nullptr)
        return false;
    const bool was_disabled = !own_enabled(widget);
    widget->setEnabled(enable);
    changed();
    return was_disabled;
}

bool qt_is_window_enabled(WindowHandle window) {
    QWidget *widget = qt_widget(window);
    return widget != nullptr && own_enabled(widget);
}

bool qt_is_iconic(WindowHandle window) {
    QWidget *widget = qt_widget(window);
    return widget != nullptr && widget->isMinimized();
}

void qt_get_client_rect(WindowHandle window, Rect *rect) {
    QWidget *widget = qt_widget(window);
    *rect = {0, 0, widget != nullptr ? widget->width() : 0, widget != nullptr ? widget->height() : 0};
}

void fire_timer(uintptr_t handle, uintptr_t id) {
    Record *record = record_of(handle);
    if (record == nullptr)
        return;
    auto it = record->callbacks.find(id);
    if (it == record->callbacks.end())
        return;
    TimerCallback callback = it->second;
    const uint32_t time = tick_count();
    // Like WM_TIMER, the expiry goes through the pre-translation of the window's dialog first.
    Record *dialog = dialog_of(record);
    if (dialog != nullptr && dialog->dialog != nullptr) {
        Msg msg = {handle_of(handle), WM_TIMER, id, 0, time};
        CDialog *object = dialog->dialog;
        if (run_guarded("pre-translation", FALSE, [&] { return object->PreTranslateMessage(&msg); }))
            return;
    }
    run_guarded("a timer callback", 0, [&] {
        callback(handle_of(handle), WM_TIMER, id, time);
        return 0;
    });
}

uintptr_t qt_set_timer(WindowHandle window, uintptr_t id, uint32_t period_ms, TimerCallback callback) {
    Record *record = record_of(raw(window));
    if (record == nullptr || record->widget == nullptr || callback == nullptr)
        return 0;
    QTimer *&timer = record->timers[id];
    if (timer == nullptr) {
        timer = new QTimer(record->widget);
        const uintptr_t handle = record->handle;
        QObject::connect(timer, &QTimer::timeout, timer, [handle, id] { fire_timer(handle, id); });
    }
    record->callbacks[id] = callback;
    timer->start(static_cast<int>(std::min<uint32_t>(period_ms, 0x7FFFFFFF)));
    return id;
}

bool qt_kill_timer(WindowHandle window, uintptr_t id) {
    Record *record = record_of(raw(window));
    if (record == nullptr || record->callbacks.erase(id) == 0)
        return false;
    // Stopped, not deleted: the timer may be the one whose expiry is running now.
    record->timers[id]->stop();
    return true;
}

// A dialog's menu has the dialog's handle.
MenuHandle qt_get_system_menu(WindowHandle window) {
    Record *record = record_of(raw(window));
    return record != nullptr && record->menu != nullptr ? reinterpret_cast<MenuHandle>(window) : nullptr;
}

bool qt_append_menu(MenuHandle menu, UINT flags, uintptr_t id, const char *text) {
    Record *record = record_of(reinterpret_cast<uintptr_t>(menu));
    if (record == nullptr || record->menu == nullptr)
        return false;
    if ((flags & MF_SEPARATOR) != 0) {
        record->menu->addSeparator();
    } else {
        QAction *action = record->menu->addAction(text_of(text));
        action->setData(QVariant::fromValue<qulonglong>(id));
    }
    changed();
    return true;
}

IconHandle qt_load_icon(int id) {
    for (const IconFile &file : ICON_FILES)
        if (file.id == id && id > 0)
            return reinterpret_cast<IconHandle>(static_cast<uintptr_t>(id));
    return nullptr;
}

bool qt_load_string(int id, std::string *text) {
    const char *found = find_string_resource(id);
    if (found == nullptr)
        return false;
    *text = found;
    return true;
}

// Painting happens inside the widget's paint event only; a device context is a painter on it.
struct Painting {
    QPainter painter;
    explicit Painting(QWidget *widget) : painter(widget) {}
};

DeviceContext qt_begin_paint(WindowHandle window) {
    auto *widget = dynamic_cast<DialogWidget *>(qt_widget(window));
    if (widget == nullptr || !widget->m_painting)
        return nullptr;
    return reinterpret_cast<DeviceContext>(new Painting(widget));
}

void qt_end_paint(WindowHandle, DeviceContext dc) {
    delete reinterpret_cast<Painting *>(dc);
}

void qt_draw_icon(DeviceContext dc, int x, int y, IconHandle icon) {
    if (dc != nullptr && icon != nullptr)
        reinterpret_cast<Painting *>(dc)->painter.drawPixmap(x, y, icon_pixmap(icon));
}

int qt_system_metric(int index) {
    return index == SM_CXICON || index == SM_CYICON ? ICON_SIZE : 0;
}

int qt_message_box(WindowHandle owner_handle, const char *text, const char *caption, UINT type) {
    qt_initialize();
    if (!on_window_thread()) {
        std::fprintf(stderr, "[%s] %s (a message box asked for off the window thread)\n", caption, text);
        return IDCANCEL;
    }
    auto *box = new QMessageBox;
    box->setWindowTitle(text_of(caption));
    box->setText(text_of(text));
    box->setTextFormat(Qt::PlainText);
    switch (type & 0xF0) {
    case 0x10: // MB_ICONHAND
        box->setIcon(QMessageBox::Critical);
        break;
    case 0x20: // MB_ICONQUESTION
        box->setIcon(QMessageBox::Question);
        break;
    case 0x30: // MB_ICONEXCLAMATION
        box->setIcon(QMessageBox::Warning);
        break;
    case 0x40: // MB_ICONASTERISK
        box->setIcon(QMessageBox::Information);
        break;
    default:
        break;
    }
    switch (type & 0x0F) {
    case 1: // MB_OKCANCEL
        box->setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
        break;
    case 2: // MB_ABORTRETRYIGNORE
        box->setStandardButtons(QMessageBox::Abort | QMessageBox::Retry | QMessageBox::Ignore);
        break;
    case 3: // MB_YESNOCANCEL
        box->setStandardButtons(QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
        break;
    case 4: // MB_YESNO
        box->setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        break;
    case 5: // MB_RETRYCANCEL
        box->setStandardButtons(QMessageBox::Retry | QMessageBox::Cancel);
        break;
    default:
        box->setStandardButtons(QMessageBox::Ok);
        break;
    }
    const ModalOwner owner(owner_handle, box);

    // The box's own loop, not exec(): the calling thread's messages and timers go on meanwhile, and
    // Escape or the close button choose the box's escape button, as the window system's box does.
    int answer = (type & 0x0F) == 0 ? IDOK : IDCANCEL;
    QEventLoop loop;
    QObject::connect(box, &QMessageBox::buttonClicked, box, [&](QAbstractButton *button) {
        answer = qt_button_id(box->standardButton(button));
        loop.quit();
    });
    QObject::connect(box, &QDialog::finished, box, [&] { loop.quit(); });
    {
        Lock lock(registry().mutex);
        registry().boxes.push_back(box);
    }
    box->show();
    changed();
    loop.exec();
    {
        Lock lock(registry().mutex);
        std::erase(registry().boxes, box);
    }
    owner.restore();
    delete box;
    changed();
    return answer;
}

} // namespace

// --- What the operator, the harnesses and the demo use (qt_backend.h).

bool qt_call(const std::function<void()> &job, int timeout_ms) {
    QCoreApplication *app = QCoreApplication::instance();
    if (app == nullptr)
        return false;
    if (on_window_thread()) {
        job();
        return true;
    }
    auto call = std::make_shared<Call>();
    // The job is run by reference: the caller waits for it whenever it has started.
    const std::function<void()> *shared_job = &job;
    QMetaObject::invokeMethod(
        app,
        [call, shared_job] {
            {
                std::lock_guard<std::mutex> lock(call->mutex);
                if (call->abandoned)
                    return;
                call->started = true;
            }
            (*shared_job)();
            {
                std::lock_guard<std::mutex> lock(call->mutex);
                call->done = true;
            }
            call->changed.notify_all();
        },
        Qt::QueuedConnection);
    Lock lock(call->mutex);
    if (!call->changed.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return call->done; })) {
        if (!call->started) {
            call->abandoned = true;
            return false;
        }
        call->changed.wait(lock, [&] { return call->done; });
    }
    return true;
}

bool qt_post(std::function<void()> job) {
    QCoreApplication *app = QCoreApplication::instance();
    if (app == nullptr)
        return false;
    QMetaObject::invokeMethod(
        app,
        [job = std::move(job)] {
            run_guarded("a posted job", 0, [&] {
                job();
                return 0;
            });
        },
        Qt::QueuedConnection);
    return true;
}

QWidget *qt_widget(WindowHandle window) {
    Record *record = record_of(raw(window));
    return record != nullptr ? record->widget : nullptr;
}

int qt_button_id(int standard_button) {
    switch (static_cast<QMessageBox::StandardButton>(standard_button)) {
    case QMessageBox::Ok:
        return IDOK;
    case QMessageBox::Cancel:
        return IDCANCEL;
    case QMessageBox::Abort:
        return IDABORT;
    case QMessageBox::Retry:
        return 4; // IDRETRY
    case QMessageBox::Ignore:
        return 5; // IDIGNORE
    case QMessageBox::Yes:
        return 6; // IDYES
    case QMessageBox::No:
        return 7; // IDNO
    default:
        return IDCANCEL;
    }
}

std::string qt_widget_text(QWidget *widget) {
    if (widget == nullptr)
        return std::string();
    QString text;
    if (widget->isWindow())
        text = widget->windowTitle();
    else if (auto *label = qobject_cast<QLabel *>(widget))
        text = label->text();
    else if (auto *edit = qobject_cast<QLineEdit *>(widget))
        text = edit->text();
    else if (auto *button = qobject_cast<QAbstractButton *>(widget))
        text = button->text();
    else if (auto *group = qobject_cast<QGroupBox *>(widget))
        text = group->title();
    return text.toStdString();
}

WindowHandle qt_find_dialog(int template_id) {
    Lock lock(registry().mutex);
    uintptr_t found = 0;
    for (auto &[handle, record] : registry().records)
        if (record->dialog != nullptr && record->template_id == template_id && record->shown)
            found = handle; // handles grow: the last is the newest
    return handle_of(found);
}

bool qt_window_exists(WindowHandle window) {
    Lock lock(registry().mutex);
    return window != nullptr && find_locked(raw(window)) != nullptr;
}

std::vector<QWidget *> qt_message_boxes() {
    Lock lock(registry().mutex);
    return std::vector<QWidget *>(registry().boxes.begin(), registry().boxes.end());
}

int qt_message_box_count() {
    Lock lock(registry().mutex);
    return static_cast<int>(registry().boxes.size());
}

uint64_t qt_generation() {
    std::lock_guard<std::mutex> lock(registry().change_mutex);
    return registry().generation;
}

bool qt_wait_change(uint64_t seen, int timeout_ms) {
    Registry &r = registry();
    Lock lock(r.change_mutex);
    return r.changed.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                              [&] { return r.generation != seen; });
}

bool qt_save_screenshot(WindowHandle window, const std::string &path) {
    std::vector<QWidget *> boxes = qt_message_boxes();
    QWidget *top = !boxes.empty() ? boxes.back() : nullptr;
    if (top == nullptr && window == nullptr) {
        Lock lock(registry().mutex);
        for (auto &[handle, record] : registry().records)
            if (record->dialog != nullptr && record->shown)
                window = handle_of(handle);
    }
    if (top == nullptr)
        top = qt_widget(window);
    if (top == nullptr)
        return false;
    return top->grab().save(QString::fromStdString(path), "PNG");
}

void qt_shutdown() {
    delete QCoreApplication::instance();
}

FrameworkBackend g_FrameworkBackend = {
    qt_initialize,        qt_run_modal,    qt_end_dialog,      qt_is_dialog_message, qt_send_message,
    qt_post_message,      qt_get_dlg_item, qt_set_window_text, qt_get_window_text,   qt_enable_window,
    qt_is_window_enabled, qt_is_iconic,    qt_get_client_rect, qt_set_timer,         qt_kill_timer,
    qt_get_system_menu,   qt_append_menu,  qt_load_icon,       qt_load_string,       qt_begin_paint,
    qt_end_paint,         qt_draw_icon,    qt_system_metric,   qt_message_box,       os_program_name,
};
