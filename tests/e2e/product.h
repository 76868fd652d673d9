// Which program the end-to-end scenarios run against: the one-phone flasher, or the station with the
// scenario's phone in its first row. Each test program links one definition (product_flasher.cpp,
// product_station.cpp); the front ends and the scenarios ask it what to start and which controls show the
// phone.
#pragma once

#include <string>

struct ProductUnderTest {
    bool station;          // the station (tarnex-station), else the one-phone flasher (tarnex)
    const char *base_name; // its base executable's name without extension
    int dialog;            // its main window's template
    // The controls of the phone: the one-phone window's, or those of the station's first row.
    int start, status, progress, percent, picture;
    // Before each of a phone's protocol lines on standard error: the station names the phone's row.
    std::string line_prefix;
    // Whether "Start" of the phone is enabled again after an outcome while the phone stays (the station
    // lets the operator start it by hand; the flasher waits for it to be plugged in again).
    bool restartable;
};

const ProductUnderTest &product_under_test();
