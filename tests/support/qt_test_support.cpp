// What every test program on the Qt window links.
#include <cstdlib>

// The tests' windows are on Qt's offscreen platform, whatever display the machine has, unless the
// environment names a platform (QT_QPA_PLATFORM=xcb shows them on the display). Set before main(),
// before the application object is made.
[[maybe_unused]] static const int offscreen_platform = setenv("QT_QPA_PLATFORM", "offscreen", 0);

// LeakSanitizer's suppressions, built into the program (LSan asks for them through this function, so
// every way of running the tests has them). Each names one library and says why; nothing of ours is
// suppressed.
extern "C" const char *__lsan_default_suppressions() {
    return
        // fontconfig keeps its configuration and font caches for the life of the process and never
        // frees them; Qt's font database asks for them once.
        "leak:libfontconfig.so\n";
}
