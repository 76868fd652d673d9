// LeakSanitizer's suppressions for the test programs on the Qt window, built into them (LSan asks for
// them through this function, so every way of running the tests has them). Each names one library and
// says why; nothing of ours is suppressed.
extern "C" const char *__lsan_default_suppressions() {
    return
        // fontconfig keeps its configuration and font caches for the life of the process and never
        // frees them; Qt's font database asks for them once.
        "leak:libfontconfig.so\n";
}
