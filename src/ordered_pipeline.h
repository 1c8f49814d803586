#pragma once

#include <cstddef>
#include <functional>

namespace obj2mesh {

// Runs work(i) for the items i = 0, 1, 2, ... on `threads` threads, while
// the calling thread makes each item (make(i) returns false when there are
// no more) and takes the finished ones in order (take(i) returns false to
// stop). At most `window` items are made and not yet taken, so the caller
// keeps them in `window` slots, item i in slot i % window. An exception
// from any step ends the run and is thrown again here, once every thread
// has stopped. With no threads, or when none can be started, the calling
// thread does all of the work itself.
void runInOrder(unsigned threads, size_t window, const std::function<bool(size_t)>& make,
                const std::function<void(size_t)>& work, const std::function<bool(size_t)>& take);

// The CPUs this process may run on (at least 1).
unsigned availableCpus();

}  // namespace obj2mesh
