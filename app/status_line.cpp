#include "app/status_line.h"

#include "res/resource.h"

namespace {

std::string with_percent(const std::string &status, const std::string &percent) {
    if (status.empty())
        return "No device";
    return percent.empty() ? status : status + " " + percent;
}

} // namespace

std::string status_line(Operator &op) {
    return with_percent(op.text(IDC_STATUS), op.text(IDC_PERCENT_CAPTION));
}

std::string station_row_line(Operator &op, int row) {
    const std::string name = op.text(IDC_ROW_NAME + row);
    if (name.empty())
        return "";
    const std::string serial = op.text(IDC_ROW_SERIAL + row);
    const std::string reason = op.text(IDC_ROW_REASON + row);
    std::string line = serial.empty() ? name : name + " [" + serial + "]";
    line += ": " + with_percent(op.text(IDC_ROW_STATUS + row), op.text(IDC_ROW_PERCENT + row));
    return reason.empty() ? line : line + " (" + reason + ")";
}

std::string station_counters_line(Operator &op) {
    return "Succeeded " + op.text(IDC_SUCCEEDED_COUNT) + ", failed " + op.text(IDC_FAILED_COUNT);
}
