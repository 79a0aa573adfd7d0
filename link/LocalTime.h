#pragma once

#include <ctime>

// std::localtime for every thread of the program: it hands out one shared
// buffer, so all callers go through this one lock.
std::tm ToLocalTime(std::time_t t);
