// The one check that a run closed every driver handle it opened exactly once, read from the simulated
// phone's transcript ("open LABEL h=N KIND", "close LABEL h=N KIND", "bad-close ..."): it works the same
// for a flasher in this process and one in another.
#pragma once

#include <map>
#include <sstream>
#include <string>

// Empty when every handle the transcript shows handed out was closed exactly once and no close missed;
// otherwise one line per fault.
inline std::string handle_faults(const std::string &transcript) {
    std::map<std::string, int> open; // "h=N" -> opens minus closes
    std::string faults;
    std::istringstream lines(transcript);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string event, label, handle;
        fields >> event >> label >> handle;
        if (event == "open" && handle.rfind("h=", 0) == 0)
            ++open[handle];
        else if (event == "close" && handle.rfind("h=", 0) == 0 && --open[handle] < 0)
            faults += "closed twice or never opened: " + line + "\n";
        else if (event == "bad-close")
            faults += line + "\n";
    }
    for (const auto &[handle, count] : open)
        if (count > 0)
            faults += "never closed: " + handle + "\n";
    return faults;
}
