#include "LocalTime.h"

#include <mutex>

std::tm ToLocalTime(std::time_t t)
{
    static std::mutex mutex;
    std::lock_guard lock(mutex);
    const std::tm* local = std::localtime(&t);
    return local ? *local : std::tm{};
}
