#include "tests/e2e/product.h"

#include "framework/messages.h"
#include "res/resource.h"

const ProductUnderTest &product_under_test() {
    static const ProductUnderTest flasher = {
        false,      "tarnex",     IDD_TARNEX_DIALOG,   IDOK,
        IDC_STATUS, IDC_PROGRESS, IDC_PERCENT_CAPTION, IDC_DEVICE_PICTURE,
        "",         false};
    return flasher;
}
