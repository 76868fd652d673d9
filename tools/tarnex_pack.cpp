// tarnex-pack: makes Tarnex packages and finished flashers, and inspects them.
#include <cstdio>

#include "tools/pack_cli.h"

int main(int argc, char **argv) {
    int code = tarnex_pack_main(argc, argv, stdout, stderr);
    // A full disk can still fail the last buffered output: that is a failure too.
    if (fflush(stdout) != 0 && code == 0)
        code = 1;
    return code;
}
