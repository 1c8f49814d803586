#pragma once

// Chunking and threads: OBJ text is cut into chunks after a line feed,
// each chunk is parsed into a ChunkRecord, and the records are handed back
// in file order. One thread parses a chunk and then hands it over; more
// threads parse the chunks ahead while the calling thread reads the input
// and applies the records.

#include <sys/types.h>

#include <cstddef>
#include <functional>

#include "obj_grammar.h"

namespace obj2mesh {

struct ChunkOptions {
  unsigned threads = 1;  // the calling thread counts as one
  // Chunks are cut after the first line feed from this size on. Tests and
  // fuzzers make it small, so that every kind of statement meets a chunk's
  // end.
  size_t chunkBytes = size_t(256) << 10;
  // Called before chunk n (0, 1, ...) is parsed, on the thread parsing it;
  // tests throw from it to fail a chosen chunk.
  std::function<void(size_t chunk)> beforeParse;
  // Keep the values of "vt" lines (see parseChunk).
  bool texcoords = false;
};

// Gives the next bytes of the input: how many were read into `into` (at
// most `room`), 0 at its end, -1 when it cannot be read.
using ReadMore = std::function<ssize_t(char* into, size_t room)>;
// Applies one chunk's record to the load; false stops the reading.
using ApplyChunk = std::function<bool(ChunkRecord& record)>;

enum class ChunksEnd { Finished, Stopped, ReadFailed };

// Reads the whole input in chunks and applies their records in file
// order. An exception from reading or parsing a chunk (running out of
// memory) is thrown here when that chunk's turn comes, after every chunk
// before it was applied, so the failure reported is the first in file order
// whatever the number of threads. ReadFailed likewise comes after the text
// read before the failure was applied.
ChunksEnd readChunks(const ChunkOptions& options, const ReadMore& readMore, const ApplyChunk& apply);

// The CPUs this process may run on (at least 1).
unsigned availableCpus();

}  // namespace obj2mesh
