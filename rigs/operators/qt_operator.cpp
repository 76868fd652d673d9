#include "rigs/operators/qt_operator.h"

#include "framework/messages.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QGroupBox>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPixmap>
#include <QPointer>
#include <QProgressBar>
#include <QTest>
#include <QWidget>

#include <algorithm>
#include <chrono>

namespace {

// How long a read waits for the window thread.
constexpr int READ_MS = 5000;

// Runs `read` on the window thread with the widget of `window` (null when it is gone); false when the
// window thread did not get to it in time.
template <typename Read>
bool read_widget(WindowHandle window, Read read) {
    return qt_call([&] { read(qt_widget(window)); }, READ_MS);
}

WindowHandle item(WindowHandle dialog, int id) {
    return dialog != nullptr ? g_FrameworkBackend.get_dlg_item(dialog, id) : nullptr;
}

Qt::Key qt_key(WPARAM key) {
    switch (key) {
    case VK_RETURN:
        return Qt::Key_Return;
    case VK_ESCAPE:
        return Qt::Key_Escape;
    case VK_TAB:
        return Qt::Key_Tab;
    case 0x20:
        return Qt::Key_Space;
    default:
        break;
    }
    if (key >= 0x70 && key <= 0x87)
        return static_cast<Qt::Key>(Qt::Key_F1 + static_cast<int>(key - 0x70));
    if ((key >= 'A' && key <= 'Z') || (key >= '0' && key <= '9'))
        return static_cast<Qt::Key>(key);
    return Qt::Key_unknown;
}

} // namespace

bool QtOperator::wait_window(int template_id, int timeout_ms) {
    WindowHandle found = nullptr;
    wait_until([&] { return (found = qt_find_dialog(template_id)) != nullptr; }, timeout_ms);
    if (found == nullptr)
        return false;
    m_window = found;
    return true;
}

bool QtOperator::window_exists() {
    return qt_window_exists(m_window);
}

bool QtOperator::window_enabled() {
    bool enabled = false;
    read_widget(m_window, [&](QWidget *widget) { enabled = widget != nullptr && widget->isEnabled(); });
    return enabled;
}

std::string QtOperator::caption() {
    std::string text;
    read_widget(m_window, [&](QWidget *widget) { text = qt_widget_text(widget); });
    return text;
}

std::string QtOperator::text(int id) {
    std::string text;
    read_widget(item(m_window, id), [&](QWidget *widget) { text = qt_widget_text(widget); });
    return text;
}

bool QtOperator::enabled(int id) {
    // What a person can click: the control and its dialog both take input (isEnabled says both).
    bool enabled = false;
    read_widget(item(m_window, id),
                [&](QWidget *widget) { enabled = widget != nullptr && widget->isEnabled(); });
    return enabled;
}

int QtOperator::check(int id) {
    int check = -1;
    read_widget(item(m_window, id), [&](QWidget *widget) {
        if (auto *button = qobject_cast<QAbstractButton *>(widget))
            check = button->isChecked() ? BST_CHECKED : BST_UNCHECKED;
    });
    return check;
}

OperatorProgress QtOperator::progress(int id) {
    OperatorProgress progress;
    read_widget(item(m_window, id), [&](QWidget *widget) {
        if (auto *bar = qobject_cast<QProgressBar *>(widget))
            progress = {bar->value(), bar->minimum(), bar->maximum()};
    });
    return progress;
}

// The picture itself: a hash of the pixels the label shows.
uintptr_t QtOperator::picture(int id) {
    uintptr_t picture = 0;
    read_widget(item(m_window, id), [&](QWidget *widget) {
        auto *label = qobject_cast<QLabel *>(widget);
        if (label == nullptr || label->pixmap().isNull())
            return;
        const QImage image = label->pixmap().toImage().convertToFormat(QImage::Format_ARGB32);
        picture =
            static_cast<uintptr_t>(qHashBits(image.constBits(), static_cast<size_t>(image.sizeInBytes()))) |
            1;
    });
    return picture;
}

bool QtOperator::click(int id) {
    const WindowHandle control = item(m_window, id);
    bool clickable = false;
    read_widget(control, [&](QWidget *widget) {
        clickable =
            qobject_cast<QAbstractButton *>(widget) != nullptr && widget->isEnabled() && widget->isVisible();
    });
    if (!clickable)
        return false;
    // The press and release of the left button in the middle of the button, as a person's click.
    return qt_post([control] {
        if (QWidget *widget = qt_widget(control))
            QTest::mouseClick(widget, Qt::LeftButton, Qt::NoModifier, widget->rect().center());
    });
}

bool QtOperator::key(WPARAM key) {
    const Qt::Key code = qt_key(key);
    if (code == Qt::Key_unknown || !window_exists())
        return false;
    const WindowHandle window = m_window;
    return qt_post([window, code] {
        QWidget *dialog = qt_widget(window);
        if (dialog == nullptr)
            return;
        QWidget *focus = dialog->focusWidget();
        QTest::keyClick(focus != nullptr ? focus : dialog, code);
    });
}

bool QtOperator::system_command(WPARAM command) {
    const WindowHandle window = m_window;
    if ((command & 0xFFF0) == SC_CLOSE) {
        // The title bar's close button: the window system asks the window to close.
        return window_exists() && qt_post([window] {
                   if (QWidget *dialog = qt_widget(window))
                       dialog->close();
               });
    }
    // Anything else is an item of the window's menu, chosen there.
    bool found = false;
    read_widget(window, [&](QWidget *dialog) {
        auto *menu = dialog != nullptr ? dialog->findChild<QMenu *>() : nullptr;
        if (menu == nullptr)
            return;
        for (QAction *action : menu->actions())
            if (!action->isSeparator() && action->data().value<qulonglong>() == command)
                found = action->isEnabled();
    });
    if (!found)
        return false;
    return qt_post([window, command] {
        QWidget *dialog = qt_widget(window);
        auto *menu = dialog != nullptr ? dialog->findChild<QMenu *>() : nullptr;
        if (menu == nullptr)
            return;
        for (QAction *action : menu->actions())
            if (!action->isSeparator() && action->data().value<qulonglong>() == command) {
                action->trigger();
                return;
            }
    });
}

bool QtOperator::wait_message_box(OperatorMessageBox *box, int timeout_ms) {
    bool described = false;
    wait_until(
        [&] {
            if (qt_message_box_count() == 0)
                return false;
            qt_call(
                [&] {
                    std::vector<QWidget *> boxes = qt_message_boxes();
                    auto *open = boxes.empty() ? nullptr : qobject_cast<QMessageBox *>(boxes.front());
                    if (open == nullptr)
                        return;
                    box->caption = open->windowTitle().toStdString();
                    box->text = open->text().toStdString();
                    box->ok_only = open->standardButtons() == QMessageBox::Ok;
                    box->has_icon = open->icon() != QMessageBox::NoIcon;
                    described = true;
                },
                READ_MS);
            return described;
        },
        timeout_ms);
    return described;
}

bool QtOperator::answer_message_box(int button) {
    QPointer<QAbstractButton> target;
    QWidget *open = nullptr;
    qt_call(
        [&] {
            std::vector<QWidget *> boxes = qt_message_boxes();
            auto *box = boxes.empty() ? nullptr : qobject_cast<QMessageBox *>(boxes.front());
            if (box == nullptr)
                return;
            for (QAbstractButton *each : box->buttons())
                if (qt_button_id(box->standardButton(each)) == button)
                    target = each;
            open = box;
        },
        READ_MS);
    if (target == nullptr)
        return false;
    qt_post([target] {
        if (target != nullptr)
            QTest::mouseClick(target, Qt::LeftButton, Qt::NoModifier, target->rect().center());
    });
    // Answered once the box has gone from the screen (compared, not touched, off the window thread).
    return wait_until(
        [&] {
            const std::vector<QWidget *> boxes = qt_message_boxes();
            return std::find(boxes.begin(), boxes.end(), open) == boxes.end();
        },
        READ_MS);
}

bool QtOperator::wait_until(const std::function<bool()> &condition, int timeout_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        const uint64_t seen = qt_generation();
        if (condition())
            return true;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        qt_wait_change(seen, static_cast<int>(std::min<int64_t>(left.count(), 10)));
    }
}

bool QtOperator::screenshot(const std::string &path) {
    bool saved = false;
    const WindowHandle window = m_window;
    qt_call([&] { saved = qt_save_screenshot(qt_window_exists(window) ? window : nullptr, path); }, READ_MS);
    return saved;
}
