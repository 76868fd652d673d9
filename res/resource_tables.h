// The program's resources as tables, built from the one description in res/resources.inc: what the
// headless backend creates its dialogs from, and what tests compare the resource script's templates with.
#pragma once

#include <cstddef>
#include <cstdint>

// One control of a template, in tab order.
struct DialogItemResource {
    const char *text; // UTF-8; "" for none
    int icon;         // icon resource shown by an SS_ICON static, else 0
    int id;           // -1 for controls nobody addresses
    const char *class_name;
    uint32_t style; // complete: nothing is added to it
    int x, y, width, height;
};

struct DialogResource {
    int id;
    int x, y, width, height;
    uint32_t style, ex_style;
    const char *caption;
    int font_points;
    const char *font_name;
    int font_weight, font_italic, font_charset;
    const DialogItemResource *items;
    size_t item_count;
};

// The template with `id`, or null.
const DialogResource *find_dialog_resource(int id);

// The string with `id` (UTF-8), or null.
const char *find_string_resource(int id);

// True when an icon resource with `id` exists.
bool has_icon_resource(int id);

// Every template, for tests that walk them all.
const DialogResource *dialog_resources(size_t *count);
