// Chunking and threads: cutting the input into chunks of whole lines,
// parsing them ahead on worker threads, and handing them back in file order
// with each chunk's failure at its turn (see chunk_pipeline.h).

#include "chunk_pipeline.h"

#include <sched.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "padded_text.h"

namespace obj2mesh {
namespace {

// Cuts the input into chunks of whole lines.
class ChunkCutter {
 public:
  ChunkCutter(size_t chunkBytes, const ReadMore& readMore)
      : chunkBytes_(std::max<size_t>(chunkBytes, 1)), readMore_(readMore) {}

  // Fills `text` with the next chunk; false when no text is left. When the
  // input cannot be read further, `readFailed` is set and the chunk holds
  // the whole lines read before.
  bool next(PaddedText& text, bool& readFailed) {
    if (atEnd_) return false;
    text.resize(0);
    text.reserve(std::max(chunkBytes_, 2 * carry_.size()));
    if (carry_.size()) std::memcpy(text.data(), carry_.data(), carry_.size());
    text.resize(carry_.size());
    carry_.resize(0);
    const char* lastNewline = nullptr;
    for (;;) {
      if (text.size() >= chunkBytes_ &&
          (lastNewline = static_cast<const char*>(memrchr(text.data(), '\n', text.size()))))
        break;
      if (text.size() == text.capacity()) text.reserve(2 * text.capacity());
      const ssize_t got = readMore_(text.data() + text.size(), text.capacity() - text.size());
      if (got < 0) {
        // The unfinished line is not read, as if the input ended before it.
        atEnd_ = readFailed = true;
        lastNewline = static_cast<const char*>(memrchr(text.data(), '\n', text.size()));
        text.resize(lastNewline ? size_t(lastNewline - text.data()) + 1 : 0);
        return true;
      }
      if (got == 0) {
        atEnd_ = true;
        return text.size() > 0;
      }
      text.resize(text.size() + keepVisible(text.data() + text.size(), size_t(got), hidden_));
    }
    const size_t cut = size_t(lastNewline - text.data()) + 1;
    carry_.reserve(text.size() - cut);
    std::memcpy(carry_.data(), text.data() + cut, text.size() - cut);
    carry_.resize(text.size() - cut);
    text.resize(cut);
    return true;
  }

 private:
  const size_t chunkBytes_;
  const ReadMore& readMore_;
  PaddedText carry_;  // the unfinished line after the last chunk
  bool hidden_ = false;
  bool atEnd_ = false;
};

struct Slot {
  PaddedText text;
  ChunkRecord record;
  std::exception_ptr error;  // from cutting or parsing the chunk
  bool readFailed = false;   // the input could not be read after the chunk
  bool parsed = false;       // guarded by the pipeline's mutex
};

class Pipeline {
 public:
  Pipeline(const ChunkOptions& options, const ReadMore& readMore)
      : options_(options),
        cutter_(options.chunkBytes, readMore),
        // One thread parses each chunk just before applying it; more keep
        // one chunk per thread in flight, and one being made and applied.
        slots_(options.threads > 1 ? size_t(options.threads) + 1 : 1) {}

  ~Pipeline() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    workReady_.notify_all();
    for (std::thread& thread : workers_) thread.join();
  }

  ChunksEnd run(const ApplyChunk& apply) {
    for (unsigned i = 1; i < options_.threads; ++i) {
      try {
        workers_.emplace_back([this] { work(); });
      } catch (const std::system_error&) {
        break;  // fewer threads, down to the calling one alone
      }
    }
    size_t applied = 0;
    bool inputDone = false;
    for (;;) {
      while (!inputDone && made_ - applied < slots_.size()) {
        Slot& slot = slotOf(made_);
        slot.error = nullptr;
        slot.readFailed = slot.parsed = false;
        try {
          if (!cutter_.next(slot.text, slot.readFailed)) break;
        } catch (...) {
          slot.error = std::current_exception();
        }
        inputDone = slot.error || slot.readFailed;
        {
          std::lock_guard<std::mutex> lock(mutex_);
          ++made_;
        }
        workReady_.notify_one();
      }
      if (applied == made_) return ChunksEnd::Finished;
      waitForParsed(applied);
      Slot& head = slotOf(applied);
      // A record cut short by an exception still holds the statements
      // before it; they come first in file order.
      if (!apply(head.record)) return ChunksEnd::Stopped;
      if (head.error) std::rethrow_exception(head.error);
      if (head.readFailed) return ChunksEnd::ReadFailed;
      ++applied;
    }
  }

 private:
  Slot& slotOf(size_t chunk) { return slots_[chunk % slots_.size()]; }

  void parse(size_t chunk) {
    Slot& slot = slotOf(chunk);
    slot.record.clear();
    if (slot.error) return;
    try {
      if (options_.beforeParse) options_.beforeParse(chunk);
      parseChunk(slot.text.data(), slot.text.data() + slot.text.size(), slot.record, options_.texcoords);
    } catch (...) {
      slot.error = std::current_exception();
    }
  }

  void work() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      workReady_.wait(lock, [&] { return stopping_ || claimed_ < made_; });
      if (stopping_) return;
      parseClaimed(lock);
    }
  }

  // Parses the next chunk nobody has taken yet; the lock is held on entry
  // and on return.
  void parseClaimed(std::unique_lock<std::mutex>& lock) {
    const size_t chunk = claimed_++;
    lock.unlock();
    parse(chunk);
    lock.lock();
    slotOf(chunk).parsed = true;
    chunkParsed_.notify_all();
  }

  // Until the chunk is parsed, the calling thread parses the chunks that
  // no worker has taken.
  void waitForParsed(size_t chunk) {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!slotOf(chunk).parsed) {
      if (claimed_ < made_)
        parseClaimed(lock);
      else
        chunkParsed_.wait(lock);
    }
  }

  const ChunkOptions& options_;
  ChunkCutter cutter_;
  std::vector<Slot> slots_;
  std::vector<std::thread> workers_;
  std::mutex mutex_;
  std::condition_variable workReady_, chunkParsed_;
  size_t made_ = 0, claimed_ = 0;
  bool stopping_ = false;
};

}  // namespace

ChunksEnd readChunks(const ChunkOptions& options, const ReadMore& readMore, const ApplyChunk& apply) {
  Pipeline pipeline(options, readMore);
  return pipeline.run(apply);
}

unsigned availableCpus() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) != 0) return 1;
  int count = CPU_COUNT(&set);
  return count > 0 ? unsigned(count) : 1;
}

}  // namespace obj2mesh
