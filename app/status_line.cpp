#include "app/status_line.h"

#include "res/resource.h"

std::string status_line(Operator &op) {
    const std::string status = op.text(IDC_STATUS);
    const std::string percent = op.text(IDC_PERCENT_CAPTION);
    if (status.empty())
        return "No device";
    return percent.empty() ? status : status + " " + percent;
}
