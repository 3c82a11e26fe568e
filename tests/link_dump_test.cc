#include <gtest/gtest.h>

#include <linux/if_arp.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "platform/link_dump.h"

namespace {

const std::uint32_t kSequence = 7;

// A datagram as the kernel would send it, built message by message.
struct Reply {
  std::vector<char> bytes;

  Reply& Message(std::uint16_t type, const std::string& payload,
                 std::uint32_t sequence = kSequence, std::uint16_t flags = NLM_F_MULTI) {
    nlmsghdr header = {};
    header.nlmsg_len = NLMSG_LENGTH(payload.size());
    header.nlmsg_type = type;
    header.nlmsg_flags = flags;
    header.nlmsg_seq = sequence;
    const size_t start = bytes.size();
    bytes.resize(start + NLMSG_ALIGN(header.nlmsg_len));
    std::memcpy(&bytes[start], &header, sizeof header);
    std::memcpy(&bytes[start + NLMSG_HDRLEN], payload.data(), payload.size());
    return *this;
  }
  Reply& Link(std::vector<unsigned char> address, unsigned short type = ARPHRD_ETHER,
              std::uint16_t flags = NLM_F_MULTI) {
    return Message(RTM_NEWLINK, LinkPayload(&address, type), kSequence, flags);
  }
  Reply& LinkWithoutAddress() {
    return Message(RTM_NEWLINK, LinkPayload(nullptr, ARPHRD_NONE));
  }
  Reply& Done(int error = 0) {
    return Message(NLMSG_DONE, std::string(reinterpret_cast<char*>(&error), sizeof error));
  }

  static std::string Attribute(unsigned short type, const void* data, size_t length) {
    rtattr attribute = {static_cast<unsigned short>(RTA_LENGTH(length)), type};
    std::string bytes(RTA_SPACE(length), '\0');
    std::memcpy(&bytes[0], &attribute, sizeof attribute);
    if (length > 0)
      std::memcpy(&bytes[RTA_LENGTH(0)], data, length);
    return bytes;
  }
  static std::string LinkPayload(const std::vector<unsigned char>* address, unsigned short type) {
    ifinfomsg link = {};
    link.ifi_type = type;
    std::string payload(reinterpret_cast<char*>(&link), sizeof link);
    payload += Attribute(IFLA_IFNAME, "x0", 3);
    if (address != nullptr)
      payload += Attribute(IFLA_ADDRESS, address->data(), address->size());
    payload += Attribute(IFLA_MTU, "\0\5\0\0", 4);
    return payload;
  }
};

struct Dump {
  LinkDump dump = StartLinkDump(kSequence);

  ~Dump() { EndLinkDump(dump); }
  bool Take(const Reply& reply, std::uint32_t sender = 0, bool truncated = false) {
    return TakeLinkReply(dump, reply.bytes.data(), reply.bytes.size(), sender, truncated);
  }
  std::vector<std::vector<unsigned char>> Chain() const {
    std::vector<IP_ADAPTER_INFO> chain(dump.count);
    ChainLinkRecords(dump, chain.data());
    std::vector<std::vector<unsigned char>> addresses;
    for (const IP_ADAPTER_INFO* record = chain.data(); record; record = record->Next)
      addresses.emplace_back(record->Address, record->Address + record->AddressLength);
    return addresses;
  }
};

}  // namespace

TEST(LinkDump, ChainsEveryLinkButLoopbackInDumpOrderAcrossDatagrams) {
  Dump dump;
  ASSERT_TRUE(dump.Take(Reply().Link({0, 0, 0, 0, 0, 0}, ARPHRD_LOOPBACK).Link({2, 0, 0, 0, 0, 1})
                            .Link({2, 0, 0, 0, 0, 1})));
  EXPECT_FALSE(dump.dump.done);
  ASSERT_TRUE(dump.Take(Reply().Link({0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF}).Done()));
  EXPECT_TRUE(dump.dump.done);
  EXPECT_FALSE(dump.dump.interrupted);
  EXPECT_EQ(dump.Chain(), (std::vector<std::vector<unsigned char>>{
                              {2, 0, 0, 0, 0, 1}, {2, 0, 0, 0, 0, 1}, {0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF}}));
}

TEST(LinkDump, KeepsTheFirstAddressBytesAndZeroesTheRest) {
  std::vector<unsigned char> twenty(20);
  for (size_t i = 0; i < twenty.size(); ++i)
    twenty[i] = static_cast<unsigned char>(0xA0 + i);
  const std::vector<unsigned char> six = {0, 0x1B, 0x9C, 0xA0, 0xFF, 0x0A};
  const std::string altnames(40000, 'y');
  const std::string large_link = Reply::LinkPayload(&six, ARPHRD_ETHER) +
                                 Reply::Attribute(IFLA_PROP_LIST, altnames.data(), altnames.size()) +
                                 Reply::Attribute(IFLA_PROP_LIST, altnames.data(), altnames.size());
  const struct {
    const char* name;
    Reply reply;
    std::vector<unsigned char> kept;
  } cases[] = {
      {"missing", Reply().LinkWithoutAddress(), {}},
      {"0 bytes", Reply().Link({}), {}},
      {"4 bytes", Reply().Link({10, 0, 0, 1}), {10, 0, 0, 1}},
      {"6 bytes", Reply().Link(six), six},
      {"8 bytes", Reply().Link({1, 2, 3, 4, 5, 6, 7, 8}), {1, 2, 3, 4, 5, 6, 7, 8}},
      {"20 bytes", Reply().Link(twenty), std::vector<unsigned char>(twenty.begin(), twenty.begin() + 8)},
      // Hundreds of long altnames make one link's message larger than 64 KiB.
      {"6 bytes, in a datagram over 64 KiB", Reply().Message(RTM_NEWLINK, large_link), six},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Dump dump;
    ASSERT_TRUE(dump.Take(c.reply));
    ASSERT_EQ(dump.dump.count, 1u);
    const IP_ADAPTER_INFO& record = dump.dump.records[0];
    ASSERT_EQ(record.AddressLength, c.kept.size());
    std::vector<unsigned char> all(c.kept);
    all.resize(MAX_ADAPTER_ADDRESS_LENGTH);
    EXPECT_EQ(std::vector<unsigned char>(record.Address, record.Address + sizeof record.Address), all);
  }
}

TEST(LinkDump, IgnoresATailTooShortToHoldAnAttributeAndNothingLonger) {
  // An empty attribute whose length field reads 1024, as a byte-swapping
  // emulator passes it on.
  const std::string unswapped_empty_attribute("\x00\x04\x80\x41", 4);
  const std::vector<unsigned char> address = {0, 0x1B, 0x9C, 0xA0, 0xFF, 0x0A};
  const std::string ether = Reply::LinkPayload(&address, ARPHRD_ETHER);
  const std::string tun = Reply::LinkPayload(nullptr, ARPHRD_NONE);
  const struct {
    const char* name;
    std::string payload;
    bool taken;
    std::vector<std::vector<unsigned char>> chain;
  } cases[] = {
      {"4-byte tail after the address", ether + unswapped_empty_attribute, true, {address}},
      {"4-byte tail on a link without one", tun + unswapped_empty_attribute, true, {{}}},
      {"8-byte tail", ether + unswapped_empty_attribute + std::string(4, '\0'), false, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Dump dump;
    ASSERT_EQ(dump.Take(Reply().Message(RTM_NEWLINK, c.payload)), c.taken);
    if (c.taken)
      EXPECT_EQ(dump.Chain(), c.chain);
    else
      EXPECT_STREQ(dump.dump.fault, "malformed link attributes");
  }
}

// 20-byte InfiniBand addresses, so that the links that fill the records'
// storage (the 64th, the 128th, the 256th) show whether any copy overruns it.
TEST(LinkDump, GathersEveryLinkOfALargeDump) {
  Dump dump;
  std::vector<std::vector<unsigned char>> expected;
  for (int datagram = 0; datagram < 10; ++datagram) {
    Reply reply;
    for (int link = 0; link < 30; ++link) {
      std::vector<unsigned char> address(20, 0xEE);
      address[4] = static_cast<unsigned char>(datagram);
      address[5] = static_cast<unsigned char>(link);
      reply.Link(address);
      expected.emplace_back(address.begin(), address.begin() + MAX_ADAPTER_ADDRESS_LENGTH);
    }
    ASSERT_TRUE(dump.Take(reply));
  }
  ASSERT_TRUE(dump.Take(Reply().Done()));
  EXPECT_EQ(dump.Chain(), expected);
}

TEST(LinkDump, NotesAnInterruptedDump) {
  Dump dump;
  ASSERT_TRUE(dump.Take(Reply().Link({1, 1, 1, 1, 1, 1}, ARPHRD_ETHER, NLM_F_MULTI | NLM_F_DUMP_INTR).Done()));
  EXPECT_TRUE(dump.dump.interrupted);
}

TEST(LinkDump, RefusesRepliesItCannotTrust) {
  Reply good = Reply().Link({1, 1, 1, 1, 1, 1});
  Reply cut = good;
  cut.bytes.resize(cut.bytes.size() - 8);
  Reply overlong_attribute = good;
  reinterpret_cast<rtattr*>(&overlong_attribute.bytes[NLMSG_LENGTH(sizeof(ifinfomsg))])->rta_len = 200;
  Reply trailing = good;
  trailing.bytes.resize(trailing.bytes.size() + 8);
  const struct {
    const char* name;
    Reply reply;
    std::uint32_t sender;
    bool truncated;
    const char* fault;
    int error;
  } cases[] = {
      {"kernel error", Reply().Message(NLMSG_ERROR, std::string("\xff\xff\xff\xff", 4) + std::string(16, '\0')),
       0, false, "error reported", EPERM},
      {"dump ends in an error", Reply().Done(-EINTR), 0, false, "error reported", EINTR},
      {"dump ends in no errno at all", Reply().Done(INT_MIN), 0, false, "error reported", EPROTO},
      {"foreign sender", good, 4242, false, "reply not from the kernel", 0},
      {"foreign sequence", Reply().Message(RTM_NEWLINK, Reply::LinkPayload(nullptr, ARPHRD_ETHER), 8), 0, false,
       "reply to another request", 0},
      {"truncated", good, 0, true, "reply truncated", 0},
      {"message cut short", cut, 0, false, "malformed reply", 0},
      {"garbage after the last message", trailing, 0, false, "malformed reply", 0},
      {"link header cut short", Reply().Message(RTM_NEWLINK, "abc"), 0, false, "link message cut short", 0},
      {"attribute longer than its message", overlong_attribute, 0, false, "malformed link attributes", 0},
      {"error cut short", Reply().Message(NLMSG_ERROR, "ab"), 0, false, "error message cut short", 0},
      {"message after the end", Reply().Done().Link({1, 1, 1, 1, 1, 1}), 0, false,
       "reply after the end of the dump", 0},
      {"empty", Reply(), 0, false, "malformed reply", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Dump dump;
    EXPECT_FALSE(dump.Take(c.reply, c.sender, c.truncated));
    EXPECT_STREQ(dump.dump.fault, c.fault);
    EXPECT_EQ(dump.dump.error, c.error);
  }
}
