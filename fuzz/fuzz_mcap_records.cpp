// Arbitrary bytes as an MCAP file: the reader hands out messages and names damage, and never
// crashes, reads out of bounds, throws or holds more than its chunk limit. The same bytes are
// also split into records directly, as the chunk reader does.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>

#include "bag/mcap_bag.hpp"
#include "bag/mcap_records.hpp"
#include "fuzz_support.hpp"

namespace
{

namespace mcap = velmora_bag::mcap;

// Small enough that no input can make a fuzzer run allocate much.
constexpr uint64_t kFuzzChunkLimit = 1 << 20;

void parseRecords(const uint8_t * data, std::size_t size, int depth)
{
  mcap::forEachRecord(
    data, size, [depth](uint8_t opcode, const uint8_t * content, std::size_t length, std::size_t) {
      switch (opcode) {
        case mcap::kHeader: mcap::parseHeader(content, length); break;
        case mcap::kFooter: mcap::parseFooter(content, length); break;
        case mcap::kSchema: mcap::parseSchema(content, length); break;
        case mcap::kChannel: mcap::parseChannel(content, length); break;
        case mcap::kMessage: mcap::parseMessage(content, length); break;
        case mcap::kStatistics: mcap::parseStatistics(content, length); break;
        case mcap::kChunk:
          if (depth == 0) {
            const auto records = mcap::chunkRecords(mcap::parseChunk(content, length), kFuzzChunkLimit);
            parseRecords(records.data(), records.size(), depth + 1);
          }
          break;
        default: break;
      }
    });
}

void readAsFile(const uint8_t * data, std::size_t size)
{
  const int fd = memfd_create("mcap", 0);
  if (fd < 0) {
    return;
  }
  if (write(fd, data, size) == static_cast<ssize_t>(size)) {
    try {
      velmora_bag::McapBag bag("/proc/self/fd/" + std::to_string(fd), kFuzzChunkLimit);
      velmora_bag::BagMessage message;
      while (bag.next(message)) {
        if (message.topic >= bag.topics().size()) {
          fuzz_support::fail("a message names a topic the bag does not list");
        }
      }
    } catch (const velmora_bag::BagError &) {
    }
  }
  close(fd);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t * data, std::size_t size)
{
  try {
    if (size >= mcap::kMagic.size()) {
      try {
        parseRecords(data + mcap::kMagic.size(), size - mcap::kMagic.size(), 0);
      } catch (const mcap::RecordError &) {
      }
    }
    readAsFile(data, size);
  } catch (const std::exception & error) {
    fuzz_support::fail("reading an MCAP threw:", error.what());
  }
  return 0;
}
