/* The smallest Windows program and library, built for x86 and x64 with the cross compilers
   (tarnex_tiny_windows_modules in cmake/tarnex.cmake): the packer's architecture check and the loader's
   error words are tested against real files of both architectures. They are read or refused, never
   run. */
#ifdef TINY_LIBRARY
__declspec(dllexport) int tiny_answer(void) {
    return 42;
}
#else
int main(void) {
    return 0;
}
#endif
