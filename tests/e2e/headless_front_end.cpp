#include "tests/e2e/headless_front_end.h"

std::unique_ptr<FrontEnd> make_front_end() {
    return std::make_unique<HeadlessFrontEnd>();
}
