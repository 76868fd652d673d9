#include "tests/e2e/product.h"

#include "res/resource.h"

// The simulated phone "phone" with its default interface name, in the first row.
const ProductUnderTest &product_under_test() {
    static const ProductUnderTest station = {
        true,
        "tarnex-station",
        IDD_STATION_DIALOG,
        IDC_ROW_START,
        IDC_ROW_STATUS,
        IDC_ROW_PROGRESS,
        IDC_ROW_PERCENT,
        IDC_ROW_PICTURE,
        "\\\\?\\usb#vid_1209&pid_7458#SIM-phone#{f72fe0d4-cbcb-407d-8814-9ed673d0dd6b}: ",
        true};
    return station;
}
