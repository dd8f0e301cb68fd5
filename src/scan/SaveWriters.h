#pragma once
// Writing saved files on other threads. Reading a file off the volume is quick; creating,
// writing, dating and naming it costs several system calls, so while the save reads the next
// files, writer threads put the ones read so far on disk.
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/EntryWriter.h"
#include "platform/OutputFile.h"

namespace vel {

class OutputFolder;

// A file's bytes held in memory until they are written: the data in one block, holes as lengths.
// Past its limits (a large file, a long hole) it creates its file at once and writes through, so
// memory stays bounded and a long write still hears a Stop between pieces.
class HeldFile final : public EntryWriter {
  public:
    struct Limits {
        std::uint64_t data = 8u << 20;
        std::uint64_t zeros = 64u << 20;
    };
    HeldFile(OutputFolder& folder, bool hash, Limits limits, std::uint64_t expectedSize);

    bool write(const void* data, std::size_t size) override;
    bool writeZeros(std::uint64_t size) override;
    void setTimes(std::optional<HostTime> access, std::optional<HostTime> modification) override {
        access_ = access;
        modification_ = modification;
    }

    // Whether the file was created already (it outgrew the limits).
    bool direct() const { return direct_; }
    // Bytes from the start, holes included, and bytes of data.
    std::uint64_t size() const { return size_; }
    std::uint64_t bytesWritten() const { return written_; }
    // errno of the first failure; 0 when there was none.
    int error() const { return direct_ ? out_.error() : 0; }
    // Memory it holds (what was reserved for the data, used or not).
    std::uint64_t heldBytes() const { return data_.capacity(); }

    // Takes the file's name in its folder: name when it is whole, else name + ".incomplete".
    void reserveName(const std::string& name, bool whole);
    // Creates the file when it is not yet, writes what is held, and gives it the reserved name
    // (or the next free one, should something have taken it meanwhile) as OutputFile::commit
    // does. False with error() set when that fails; nothing is left then.
    bool commit();
    const std::string& committedName() const { return out_.committedName(); }
    // The hash of the whole file ("" when not hashing); after commit().
    const std::string& sha256() const { return sha256_; }
    // Drops the file and anything held.
    void discard();

  private:
    bool spill(bool final = false);
    EntryWriter& target() { return hasher_ ? static_cast<EntryWriter&>(*hasher_) : out_; }

    struct Piece {
        bool zeros = false;
        std::uint64_t length = 0;
    };
    OutputFolder& folder_;
    bool hash_;
    Limits limits_;
    std::vector<std::uint8_t> data_;
    std::vector<Piece> pieces_;
    std::uint64_t size_ = 0, written_ = 0, heldZeros_ = 0;
    bool direct_ = false;
    OutputFile out_;
    std::optional<HashingWriter> hasher_;
    std::optional<HostTime> access_, modification_;
    std::string sha256_;
    std::string name_, reserved_;
    bool whole_ = false;
};

// Threads that run jobs in the background, at most `byteBudget` of held bytes queued at a time.
// Jobs may end in any order; each one's `done` is set under the pool's lock. Jobs come in
// batches and a waiter is woken only by what it waits for: a hand-over per file costs more than
// writing a small file.
class WriterPool {
  public:
    struct Job {
        std::function<void()> run;
        std::uint64_t bytes = 0;
        bool done = false;
    };
    WriterPool(unsigned threads, std::uint64_t byteBudget);
    ~WriterPool();
    WriterPool(const WriterPool&) = delete;
    WriterPool& operator=(const WriterPool&) = delete;

    // Queues the jobs (and empties batch); waits while the queued jobs hold the whole budget.
    // Each job must live until it is done.
    void submit(std::vector<Job*>& batch);
    bool isDone(const Job& job);
    // Waits for a queued job.
    void wait(const Job& job);

  private:
    void work();

    std::mutex lock_;
    std::condition_variable queued_, finished_;
    std::deque<Job*> queue_;
    std::uint64_t budget_, queuedBytes_ = 0;
    const Job* awaited_ = nullptr;
    bool roomAwaited_ = false;  // a submit waits for roomWanted_ bytes of the budget
    std::uint64_t roomWanted_ = 0;
    bool quit_ = false;
    std::vector<std::thread> threads_;
};

}  // namespace vel
