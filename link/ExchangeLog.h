#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

// The time-stamped lines of every exchange. Appended to by the poll thread
// and the UI thread, read and cleared by the UI thread: every access locks.
class ExchangeLog {
public:
    void Add(std::string line);
    std::size_t Count() const;
    std::string Line(std::size_t index) const;  // empty when out of range
    std::vector<std::string> Lines() const;
    // Every line followed by CR LF.
    std::string Text() const;
    void Clear();

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};
