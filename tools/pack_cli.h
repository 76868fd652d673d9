// The command line of tarnex-pack, callable in-process so that tests can run it.
#pragma once

#include <cstdio>

// Runs tarnex-pack with ARGC/ARGV (ARGV[0] is the program name). Normal output goes to OUT, messages and
// warnings to ERR; the locator's own diagnostic lines still go to standard output. Returns the exit code:
// 0 success, 1 refused or failed, 2 bad usage.
int tarnex_pack_main(int argc, char **argv, FILE *out, FILE *err);
