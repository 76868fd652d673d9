// The in-process front end (in_process_front_end.h) on the headless window: the one the native
// end-to-end scenarios and the application tests of tests/app run on.
#pragma once

#include "framework/headless/headless_operator.h"
#include "tests/e2e/in_process_front_end.h"

class HeadlessFrontEnd : public InProcessFrontEnd {
public:
    ~HeadlessFrontEnd() override { end(); }

    bool launch(const FlasherRun &run) override {
        headless_clear_message_box_history();
        return InProcessFrontEnd::launch(run);
    }

    // The window worked by the operator (null before it was found).
    WindowHandle window() { return static_cast<HeadlessOperator &>(op()).window(); }

protected:
    std::unique_ptr<Operator> new_operator() override { return std::make_unique<HeadlessOperator>(); }
};
