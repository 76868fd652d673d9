// The tables of res/resource_tables.h, expanded from res/resources.inc.
#include "res/resource_tables.h"

#include "framework/messages.h"
#include "framework/styles.h"
#include "res/resource.h"
#include "res/version.h"

namespace {

// --- Pass 1: the controls of each dialog, one array per template, named after its id.
#define TARNEX_ICON(id, file)
#define TARNEX_STRINGS_BEGIN()
#define TARNEX_STRING(id, text)
#define TARNEX_STRINGS_END()
#define TARNEX_DIALOG(id, x, y, width, height, style, ex_style, caption, points, font, weight, italic,       \
                      charset)                                                                               \
    const DialogItemResource items_##id[] = {
#define TARNEX_CONTROL(text, id, class_name, style, x, y, width, height)                                     \
    {text, 0, id, class_name, static_cast<uint32_t>(style), x, y, width, height},
#define TARNEX_ICON_CONTROL(icon, id, style, x, y, width, height)                                            \
    {"", icon, id, "Static", static_cast<uint32_t>(style), x, y, width, height},
#define TARNEX_DIALOG_END()                                                                                  \
    }                                                                                                        \
    ;
#include "res/resources.inc"
#undef TARNEX_DIALOG
#undef TARNEX_CONTROL
#undef TARNEX_ICON_CONTROL
#undef TARNEX_DIALOG_END

// --- Pass 2: the templates.
// clang-format off
#define TARNEX_DIALOG(id, x, y, width, height, style, ex_style, caption, points, font, weight, italic, charset) \
    {id, x, y, width, height, static_cast<uint32_t>(style), static_cast<uint32_t>(ex_style), caption,        \
     points, font, weight, italic, charset, items_##id, sizeof items_##id / sizeof items_##id[0]},
// clang-format on
#define TARNEX_CONTROL(text, id, class_name, style, x, y, width, height)
#define TARNEX_ICON_CONTROL(icon, id, style, x, y, width, height)
#define TARNEX_DIALOG_END()
const DialogResource DIALOGS[] = {
#include "res/resources.inc"
};
#undef TARNEX_DIALOG
#undef TARNEX_STRING
#undef TARNEX_ICON

// --- Pass 3: strings and icons.
struct StringResource {
    int id;
    const char *text;
};
#define TARNEX_DIALOG(id, x, y, width, height, style, ex_style, caption, points, font, weight, italic,       \
                      charset)
#define TARNEX_STRING(id, text) {id, text},
#define TARNEX_ICON(id, file)
const StringResource STRINGS[] = {
#include "res/resources.inc"
};
#undef TARNEX_STRING
#undef TARNEX_ICON
#define TARNEX_STRING(id, text)
#define TARNEX_ICON(id, file) id,
const int ICONS[] = {
#include "res/resources.inc"
};

} // namespace

const DialogResource *find_dialog_resource(int id) {
    for (const DialogResource &dialog : DIALOGS)
        if (dialog.id == id)
            return &dialog;
    return nullptr;
}

const char *find_string_resource(int id) {
    for (const StringResource &entry : STRINGS)
        if (entry.id == id)
            return entry.text;
    return nullptr;
}

bool has_icon_resource(int id) {
    for (int icon : ICONS)
        if (icon == id)
            return true;
    return false;
}

const DialogResource *dialog_resources(size_t *count) {
    *count = sizeof DIALOGS / sizeof DIALOGS[0];
    return DIALOGS;
}
