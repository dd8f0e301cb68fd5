#include "scan/SaveWriters.h"

#include <algorithm>
#include <cerrno>

#include "platform/OutputPath.h"

namespace vel {

HeldFile::HeldFile(OutputFolder& folder, bool hash, Limits limits, std::uint64_t expectedSize)
    : folder_(folder), hash_(hash), limits_(limits) {
    // The recorded size is a hint only (it may lie); the limit holds whatever it says.
    data_.reserve(static_cast<std::size_t>(std::min(expectedSize, limits_.data)));
}

bool HeldFile::write(const void* data, std::size_t size) {
    if (!direct_ && data_.size() + size > limits_.data && !spill()) return false;
    if (direct_) {
        if (!target().write(data, size)) return false;
    } else {
        const auto* p = static_cast<const std::uint8_t*>(data);
        data_.insert(data_.end(), p, p + size);
        if (!pieces_.empty() && !pieces_.back().zeros)
            pieces_.back().length += size;
        else
            pieces_.push_back({false, size});
    }
    size_ += size;
    written_ += size;
    return true;
}

bool HeldFile::writeZeros(std::uint64_t size) {
    if (!direct_ && heldZeros_ + size > limits_.zeros && !spill()) return false;
    if (direct_) {
        if (!target().writeZeros(size)) return false;
    } else {
        heldZeros_ += size;
        if (!pieces_.empty() && pieces_.back().zeros)
            pieces_.back().length += size;
        else
            pieces_.push_back({true, size});
    }
    size_ += size;
    return true;
}

bool HeldFile::spill(bool final) {
    direct_ = true;
    // A file written in one go gets its own name at once; one read in pieces (or whose name was
    // taken meanwhile) is written under a temporary name and named when whole.
    if (!(final && !reserved_.empty() && out_.createNamed(folder_, reserved_)) &&
        !out_.create(folder_))
        return false;
    if (hash_) hasher_.emplace(out_);
    std::uint64_t at = 0;
    for (const Piece& p : pieces_) {
        const bool ok =
            p.zeros ? target().writeZeros(p.length) : target().write(data_.data() + at, p.length);
        if (!ok) return false;
        if (!p.zeros) at += p.length;
    }
    data_ = {};
    pieces_ = {};
    return true;
}

void HeldFile::reserveName(const std::string& name, bool whole) {
    name_ = name;
    whole_ = whole;
    reserved_ = folder_.reserve(OutputFile::nameFor(name, whole));
}

bool HeldFile::commit() {
    if (!direct_ && !spill(true)) {
        out_.discard();
        return false;
    }
    out_.setTimes(access_, modification_);
    if (out_.error() != 0) {
        out_.discard();
        return false;
    }
    if (!out_.commit(name_, whole_, reserved_)) return false;
    if (hasher_) {
        sha256_ = hasher_->hex();
        hasher_.reset();  // here, so the writer thread keeps its hashing context for the next
    }
    return true;
}

void HeldFile::discard() {
    out_.discard();
    data_ = {};
    pieces_ = {};
}

WriterPool::WriterPool(unsigned threads, std::uint64_t byteBudget) : budget_(byteBudget) {
    threads = std::max(threads, 1u);
    for (unsigned i = 0; i < threads; ++i) threads_.emplace_back([this] { work(); });
}

WriterPool::~WriterPool() {
    {
        std::lock_guard guard(lock_);
        quit_ = true;
    }
    queued_.notify_all();
    for (std::thread& t : threads_) t.join();
}

void WriterPool::submit(std::vector<Job*>& batch) {
    std::uint64_t bytes = 0;
    for (const Job* job : batch) bytes += job->bytes;
    std::unique_lock guard(lock_);
    // A batch larger than the whole budget still goes, alone.
    auto fits = [&] { return queue_.empty() || queuedBytes_ + bytes <= budget_; };
    if (!fits()) {
        roomWanted_ = bytes;
        roomAwaited_ = true;
        finished_.wait(guard, fits);
        roomAwaited_ = false;
    }
    for (Job* job : batch) {
        job->done = false;
        queue_.push_back(job);
    }
    queuedBytes_ += bytes;
    guard.unlock();
    queued_.notify_all();
    batch.clear();
}

bool WriterPool::isDone(const Job& job) {
    std::lock_guard guard(lock_);
    return job.done;
}

void WriterPool::wait(const Job& job) {
    std::unique_lock guard(lock_);
    awaited_ = &job;
    finished_.wait(guard, [&] { return job.done; });
    awaited_ = nullptr;
}

void WriterPool::work() {
    std::unique_lock guard(lock_);
    for (;;) {
        queued_.wait(guard, [&] { return quit_ || !queue_.empty(); });
        // Jobs already queued are written before the pool ends: they were read whole.
        if (queue_.empty()) return;
        Job* job = queue_.front();
        queue_.pop_front();
        guard.unlock();
        job->run();
        guard.lock();
        queuedBytes_ -= job->bytes;
        job->done = true;
        if (job == awaited_ ||
            (roomAwaited_ && (queue_.empty() || queuedBytes_ + roomWanted_ <= budget_)))
            finished_.notify_all();
    }
}

}  // namespace vel
