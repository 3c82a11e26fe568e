// Feeds the link dump parser whatever libFuzzer makes of a real dump. An input
// is a series of datagrams, each behind three bytes: its length (little
// endian) and flags (1: truncated, 2: from another sender).
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "platform/link_dump.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  LinkDump dump = StartLinkDump(1);
  while (size >= 3 && !dump.done) {
    std::size_t length = data[0] | data[1] << 8;
    const std::uint8_t flags = data[2];
    data += 3;
    size -= 3;
    if (length > size)
      length = size;
    // A buffer of the datagram's own size, so that reading past it is caught.
    const std::vector<std::uint8_t> datagram(data, data + length);
    data += length;
    size -= length;
    if (!TakeLinkReply(dump, datagram.data(), length, flags & 2 ? 4242 : 0, flags & 1))
      break;
  }

  std::vector<IP_ADAPTER_INFO> chain(dump.count);
  ChainLinkRecords(dump, chain.data());
  ULONG walked = 0;
  for (const IP_ADAPTER_INFO* record = dump.count ? chain.data() : nullptr; record;
       record = record->Next) {
    if (record->AddressLength > MAX_ADAPTER_ADDRESS_LENGTH || ++walked > dump.count)
      std::abort();
  }
  if (walked != dump.count)
    std::abort();
  EndLinkDump(dump);
  return 0;
}
