#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "listing/listing.h"
#include "platform/adapter_query.h"

namespace {

// One answer of the scripted query: how many adapters there are at that
// moment, or a status to fail with.
struct Answer {
  int adapters;
  DWORD failure;
};

std::vector<Answer> script;
std::vector<ULONG> lengths_given;

unsigned char AddressByte(int adapter, int position) {
  return static_cast<unsigned char>(adapter * 7 + position * 0x31);
}

std::string ExpectedLines(int adapters) {
  std::string lines;
  for (int adapter = 0; adapter < adapters; ++adapter) {
    char line[40];
    std::snprintf(line, sizeof line, "MAC Address: %02X-%02X-%02X-%02X-%02X-%02X\n",
                  AddressByte(adapter, 0), AddressByte(adapter, 1), AddressByte(adapter, 2),
                  AddressByte(adapter, 3), AddressByte(adapter, 4), AddressByte(adapter, 5));
    lines += line;
  }
  return lines;
}

struct Listing {
  std::string output;
  std::string failure;
};

Listing ListWith(std::vector<Answer> answers) {
  script = answers;
  lengths_given.clear();
  testing::internal::CaptureStdout();
  const char* failure = ListAdapters();
  return {testing::internal::GetCapturedStdout(), failure ? failure : ""};
}

}  // namespace

DWORD GetAdaptersInfo(IP_ADAPTER_INFO* records, ULONG* length) {
  const size_t query = lengths_given.size();
  lengths_given.push_back(*length);
  const Answer answer = script.at(query < script.size() ? query : script.size() - 1);
  if (answer.failure != ERROR_SUCCESS)
    return answer.failure;
  if (answer.adapters == 0)
    return ERROR_NO_DATA;
  const ULONG needed = answer.adapters * sizeof(IP_ADAPTER_INFO);
  if (needed > *length) {
    *length = needed;
    return ERROR_BUFFER_OVERFLOW;
  }
  for (int adapter = 0; adapter < answer.adapters; ++adapter) {
    std::memset(&records[adapter], 0xEE, sizeof records[adapter]);
    records[adapter].Next = adapter + 1 < answer.adapters ? &records[adapter + 1] : nullptr;
    for (int position = 0; position < 6; ++position)
      records[adapter].Address[position] = AddressByte(adapter, position);
  }
  return ERROR_SUCCESS;
}

const char* DescribeAdapterQueryFailure(DWORD status) {
  return status == ERROR_GEN_FAILURE ? "socket: Permission denied" : "unexpected status";
}

TEST(AddressLine, IsUpperCaseHexWithLeadingZerosAndNoSignExtension) {
  const struct {
    unsigned char address[6];
    const char* line;
  } cases[] = {
      {{0, 0, 0, 0, 0, 0}, "MAC Address: 00-00-00-00-00-00\n"},
      {{0x00, 0x1B, 0x9C, 0xA0, 0xFF, 0x0A}, "MAC Address: 00-1B-9C-A0-FF-0A\n"},
  };
  for (const auto& c : cases) {
    testing::internal::CaptureStdout();
    PrintAddressLine(c.address);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.line);
  }
}

TEST(ListAdapters, ListsEveryAdapterInChainOrderWhateverTheQueryAnswers) {
  const ULONG record = sizeof(IP_ADAPTER_INFO);
  const int fit = 10240 / record;
  const struct {
    const char* name;
    std::vector<Answer> answers;
    int listed;
    std::vector<ULONG> lengths;
  } cases[] = {
      {"fits", {{3, 0}}, 3, {10240}},
      {"fills the buffer", {{fit, 0}}, fit, {10240}},
      {"overflows once", {{fit + 1, 0}}, fit + 1, {10240, (fit + 1) * record}},
      {"grows between queries",
       {{fit + 1, 0}, {fit + 50, 0}},
       fit + 50,
       {10240, (fit + 1) * record, (fit + 50) * record}},
      {"no adapter", {{0, 0}}, 0, {10240}},
      {"no adapter after an overflow", {{fit + 1, 0}, {0, 0}}, 0, {10240, (fit + 1) * record}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Listing run = ListWith(c.answers);
    EXPECT_EQ(run.failure, "");
    EXPECT_EQ(run.output, ExpectedLines(c.listed));
    EXPECT_EQ(lengths_given, c.lengths);
  }
}

TEST(ListAdapters, FailsWithoutOutputWhenTheQueryFails) {
  const struct {
    const char* name;
    std::vector<Answer> answers;
    const char* failure;
    size_t queries;
  } cases[] = {
      {"query fails", {{0, ERROR_GEN_FAILURE}}, "socket: Permission denied", 1},
      {"query fails after an overflow", {{500, 0}, {0, ERROR_GEN_FAILURE}},
       "socket: Permission denied", 2},
      {"list never stops growing",
       {{500, 0}, {600, 0}, {700, 0}, {800, 0}, {900, 0}},
       "the adapter list kept growing",
       4},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Listing run = ListWith(c.answers);
    EXPECT_EQ(run.failure, c.failure);
    EXPECT_EQ(run.output, "");
    EXPECT_EQ(lengths_given.size(), c.queries);
  }
}
