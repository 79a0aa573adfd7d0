#pragma once

#include <string>

// What the communication settings dialog shows and hands back: the text of
// each of its four inputs, as typed (UTF-8), unchecked.
struct CommSettings {
    std::string port;      // the port the link uses, when shown
    std::string speed;     // SPEED when shown
    std::string timeout;   // RESPONSETIMEOUT as the file holds it
    std::string interval;  // REFRESHINTERVAL as a number
};
