#include "ExchangeLog.h"

#include "Cp1251.h"
#include "DiskFile.h"
#include "ExchangeJournal.h"

#include <algorithm>
#include <atomic>

namespace {

uint64_t NewEpoch()
{
    static std::atomic<uint64_t> last{0};
    return ++last;
}

} // namespace

// The spilled lines, in the bytes a saved log has, in a scratch file that
// goes with the log. An index of every kStep-th line's offset finds a line
// without keeping one number per line.
class ExchangeLog::SpillFile {
public:
    static constexpr std::size_t kStep = 1024;

    static std::unique_ptr<SpillFile> Create()
    {
        auto file = ScratchFile::Create();
        if (!file)
            return nullptr;
        return std::unique_ptr<SpillFile>(new SpillFile(std::move(file)));
    }

    // Lines, each ended by CR LF.
    bool Append(const std::string& bytes)
    {
        const std::size_t oldLines = lines_;
        const std::size_t oldIndex = index_.size();
        for (std::size_t at = 0; at < bytes.size(); ++lines_) {
            if (lines_ % kStep == 0)
                index_.push_back(size_ + at);
            const std::size_t end = bytes.find('\n', at);
            at = end == std::string::npos ? bytes.size() : end + 1;
        }
        if (!file_->WriteAt(size_, bytes.data(), bytes.size())) {
            // Only whole appends count: a torn one is overwritten by the next.
            lines_ = oldLines;
            index_.resize(oldIndex);
            return false;
        }
        size_ += bytes.size();
        return true;
    }

    std::size_t Read(uint64_t offset, char* buffer, std::size_t size)
    {
        if (offset >= size_)
            return 0;
        size = static_cast<std::size_t>(std::min<uint64_t>(size, size_ - offset));
        return file_->ReadAt(offset, buffer, size);
    }

    // Lines first..last-1, converted back and each followed by lineEnd.
    void ReadLines(std::size_t first, std::size_t last, std::string_view lineEnd, std::string& out)
    {
        last = std::min(last, lines_);
        if (first >= last)
            return;
        std::size_t line = first / kStep * kStep;
        uint64_t offset = index_[first / kStep];
        std::string pending;
        std::vector<char> buffer(1 << 16);
        while (line < last) {
            const std::size_t got = Read(offset, buffer.data(), buffer.size());
            if (got == 0)
                return;
            offset += got;
            pending.append(buffer.data(), got);
            std::size_t at = 0;
            for (std::size_t end; line < last && (end = pending.find("\r\n", at)) != std::string::npos; at = end + 2) {
                if (line++ >= first) {
                    out += Cp1251ToUtf8(std::string_view(pending).substr(at, end - at));
                    out += lineEnd;
                }
            }
            pending.erase(0, at);
        }
    }

    uint64_t Size() const { return size_; }

private:
    explicit SpillFile(std::unique_ptr<ScratchFile> file) : file_(std::move(file)) {}

    std::unique_ptr<ScratchFile> file_;
    uint64_t size_ = 0;
    std::size_t lines_ = 0;
    std::vector<uint64_t> index_;
};

ExchangeLog::ExchangeLog() : epoch_(NewEpoch()) {}

ExchangeLog::~ExchangeLog() = default;

void ExchangeLog::SetJournal(ExchangeJournal* journal)
{
    std::lock_guard lock(mutex_);
    journal_ = journal;
}

uint64_t ExchangeLog::Epoch() const
{
    std::lock_guard lock(mutex_);
    return epoch_;
}

std::string_view ExchangeLog::At(const Ref& ref) const
{
    return std::string_view(blocks_[ref.block - firstBlock_]).substr(ref.offset, ref.length);
}

void ExchangeLog::Add(std::string_view line)
{
    std::lock_guard lock(mutex_);
    if (blocks_.empty() || blocks_.back().size() + line.size() > blocks_.back().capacity()) {
        blocks_.emplace_back();
        blocks_.back().reserve(std::max(kBlockSize, line.size()));
    }
    std::string& block = blocks_.back();
    refs_.push_back({firstBlock_ + blocks_.size() - 1, static_cast<uint32_t>(block.size()),
                     static_cast<uint32_t>(line.size())});
    block.append(line);
    // Under the log's lock, so the journal has the lines in the log's order.
    if (journal_)
        journal_->Append(line);
}

void ExchangeLog::JournalOnly(std::string_view line)
{
    std::lock_guard lock(mutex_);
    if (journal_)
        journal_->Append(line);
}

std::size_t ExchangeLog::Count() const
{
    std::lock_guard lock(mutex_);
    return first_ + refs_.size();
}

std::string ExchangeLog::Line(std::size_t index) const
{
    std::lock_guard spill(spillMutex_);
    {
        std::lock_guard lock(mutex_);
        if (index >= first_ + refs_.size())
            return {};
        if (index >= first_)
            return std::string(At(refs_[index - first_]));
    }
    std::string text;
    if (spill_)
        spill_->ReadLines(index, index + 1, "", text);
    return text;
}

std::vector<std::string> ExchangeLog::Lines() const
{
    const std::string text = TextFrom(0, "\n");
    std::vector<std::string> lines;
    for (std::size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1)
        lines.emplace_back(text, at, end - at);
    return lines;
}

void ExchangeLog::AppendInMemory(std::size_t first, std::string_view lineEnd, std::string& out) const
{
    std::size_t size = 0;
    for (std::size_t i = first; i < refs_.size(); ++i)
        size += refs_[i].length + lineEnd.size();
    out.reserve(out.size() + size);
    for (std::size_t i = first; i < refs_.size(); ++i) {
        out += At(refs_[i]);
        out += lineEnd;
    }
}

std::string ExchangeLog::TextFrom(std::size_t first, std::string_view lineEnd, std::size_t* end) const
{
    std::lock_guard spill(spillMutex_);
    std::string text;
    std::size_t inMemory;
    {
        std::lock_guard lock(mutex_);
        inMemory = first_;
        if (first >= first_) {
            if (end)
                *end = first_ + refs_.size();
            AppendInMemory(first - first_, lineEnd, text);
            return text;
        }
    }
    // The file's part first; only this thread spills or clears, so the
    // lines in memory from inMemory on are still there afterwards.
    if (spill_)
        spill_->ReadLines(first, inMemory, lineEnd, text);
    std::lock_guard lock(mutex_);
    if (end)
        *end = first_ + refs_.size();
    AppendInMemory(0, lineEnd, text);
    return text;
}

void ExchangeLog::Clear()
{
    std::lock_guard spill(spillMutex_);
    std::lock_guard lock(mutex_);
    // Give the memory back: a cleared log may have held days of lines.
    std::deque<std::string>().swap(blocks_);
    std::deque<Ref>().swap(refs_);
    firstBlock_ = 0;
    first_ = 0;
    spill_.reset();
    epoch_ = NewEpoch();
}

bool ExchangeLog::SpillBefore(std::size_t index)
{
    std::lock_guard spill(spillMutex_);
    std::vector<std::string_view> lines;
    {
        std::lock_guard lock(mutex_);
        index = std::min(index, first_ + refs_.size());
        if (index <= first_)
            return true;
        for (std::size_t i = 0; i < index - first_; ++i)
            lines.push_back(At(refs_[i]));
    }
    // These lines stay where they are until they are popped below: only
    // this thread pops, and Add only appends after them.
    std::string bytes;
    for (std::string_view line : lines) {
        bytes += Utf8ToCp1251(line);
        bytes += "\r\n";
    }
    if (!spill_)
        spill_ = SpillFile::Create();
    if (!spill_ || !spill_->Append(bytes))
        return false;
    std::lock_guard lock(mutex_);
    refs_.erase(refs_.begin(), refs_.begin() + static_cast<std::ptrdiff_t>(lines.size()));
    first_ += lines.size();
    const uint64_t firstUsed = refs_.empty() ? firstBlock_ + blocks_.size() - 1 : refs_.front().block;
    while (firstBlock_ < firstUsed) {
        blocks_.pop_front();
        ++firstBlock_;
    }
    return true;
}

std::size_t ExchangeLog::FirstInMemory() const
{
    std::lock_guard lock(mutex_);
    return first_;
}

uint64_t ExchangeLog::SpilledBytes() const
{
    std::lock_guard spill(spillMutex_);
    return spill_ ? spill_->Size() : 0;
}

std::size_t ExchangeLog::ReadSpilled(uint64_t offset, char* buffer, std::size_t size) const
{
    std::lock_guard spill(spillMutex_);
    return spill_ ? spill_->Read(offset, buffer, size) : 0;
}

std::string ExchangeLog::SavedText(std::size_t first, std::size_t last) const
{
    std::lock_guard lock(mutex_);
    std::string text;
    first = std::max(first, first_);
    last = std::min(last, first_ + refs_.size());
    for (std::size_t i = first; i < last; ++i) {
        text += Utf8ToCp1251(At(refs_[i - first_]));
        text += "\r\n";
    }
    return text;
}

std::size_t ExchangeLog::MemoryBytes() const
{
    std::lock_guard lock(mutex_);
    std::size_t bytes = refs_.size() * sizeof(Ref) + blocks_.size() * sizeof(std::string);
    for (const auto& block : blocks_)
        bytes += block.capacity();
    return bytes;
}
