#include "ExchangeLog.h"

void ExchangeLog::Add(std::string line)
{
    std::lock_guard lock(mutex_);
    lines_.push_back(std::move(line));
}

std::size_t ExchangeLog::Count() const
{
    std::lock_guard lock(mutex_);
    return lines_.size();
}

std::string ExchangeLog::Line(std::size_t index) const
{
    std::lock_guard lock(mutex_);
    return index < lines_.size() ? lines_[index] : std::string();
}

std::vector<std::string> ExchangeLog::Lines() const
{
    std::lock_guard lock(mutex_);
    return lines_;
}

std::string ExchangeLog::Text() const
{
    std::lock_guard lock(mutex_);
    std::size_t size = 0;
    for (const auto& line : lines_)
        size += line.size() + 2;
    std::string text;
    text.reserve(size);
    for (const auto& line : lines_) {
        text += line;
        text += "\r\n";
    }
    return text;
}

void ExchangeLog::Clear()
{
    std::lock_guard lock(mutex_);
    lines_.clear();
}
