#include "ExchangeLog.h"

#include <algorithm>
#include <atomic>

namespace {

uint64_t NewEpoch()
{
    static std::atomic<uint64_t> last{0};
    return ++last;
}

} // namespace

ExchangeLog::ExchangeLog() : epoch_(NewEpoch()) {}

uint64_t ExchangeLog::Epoch() const
{
    std::lock_guard lock(mutex_);
    return epoch_;
}

std::string_view ExchangeLog::At(const Ref& ref) const
{
    return std::string_view(blocks_[ref.block]).substr(ref.offset, ref.length);
}

void ExchangeLog::Add(std::string_view line)
{
    std::lock_guard lock(mutex_);
    if (blocks_.empty() || blocks_.back().size() + line.size() > blocks_.back().capacity()) {
        blocks_.emplace_back();
        blocks_.back().reserve(std::max(kBlockSize, line.size()));
    }
    std::string& block = blocks_.back();
    refs_.push_back({static_cast<uint32_t>(blocks_.size() - 1), static_cast<uint32_t>(block.size()),
                     static_cast<uint32_t>(line.size())});
    block.append(line);
}

std::size_t ExchangeLog::Count() const
{
    std::lock_guard lock(mutex_);
    return refs_.size();
}

std::string ExchangeLog::Line(std::size_t index) const
{
    std::lock_guard lock(mutex_);
    return index < refs_.size() ? std::string(At(refs_[index])) : std::string();
}

std::vector<std::string> ExchangeLog::Lines() const
{
    std::lock_guard lock(mutex_);
    std::vector<std::string> lines;
    lines.reserve(refs_.size());
    for (const Ref& ref : refs_)
        lines.emplace_back(At(ref));
    return lines;
}

std::string ExchangeLog::TextFrom(std::size_t first, std::string_view lineEnd,
                                  std::size_t* end) const
{
    std::lock_guard lock(mutex_);
    if (end)
        *end = refs_.size();
    std::size_t size = 0;
    for (std::size_t i = first; i < refs_.size(); ++i)
        size += refs_[i].length + lineEnd.size();
    std::string text;
    text.reserve(size);
    for (std::size_t i = first; i < refs_.size(); ++i) {
        text += At(refs_[i]);
        text += lineEnd;
    }
    return text;
}

void ExchangeLog::Clear()
{
    std::lock_guard lock(mutex_);
    // Give the memory back: a cleared log may have held days of lines.
    std::vector<std::string>().swap(blocks_);
    std::vector<Ref>().swap(refs_);
    epoch_ = NewEpoch();
}

std::size_t ExchangeLog::MemoryBytes() const
{
    std::lock_guard lock(mutex_);
    std::size_t bytes = refs_.capacity() * sizeof(Ref) + blocks_.capacity() * sizeof(std::string);
    for (const auto& block : blocks_)
        bytes += block.capacity();
    return bytes;
}
