#include "shared/broker_pipe_win.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "common/crypto_win.h"
#include "common/handle_win.h"
#include "common/identity_win.h"
#include "common/text.h"
#include "test_support_win.h"

namespace {

using nuvra::testing::reasonOf;

std::wstring freshPipePath() {
  char raw[24] = {};
  nuvra::randomBytes(raw, sizeof(raw), "test_random");
  const std::string hex = nuvra::hexLower(std::string(raw, sizeof(raw)));
  return L"\\\\.\\pipe\\nuvra-memory-v1-" + std::wstring(hex.begin(), hex.end());
}

bool underWine() {
  return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

// FILE_PIPE_LOCAL_INFORMATION's first member: the type the pipe was created
// with, where Windows keeps FILE_PIPE_REJECT_REMOTE_CLIENTS (2) beside the
// message-type bit.
ULONG pipeTypeBits(HANDLE pipe) {
  using QueryFile = LONG(NTAPI*)(HANDLE, void*, void*, ULONG, int);
  const auto query = reinterpret_cast<QueryFile>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationFile")));
  constexpr int kFilePipeLocalInformation = 24;
  ULONG_PTR status[2] = {};
  ULONG information[10] = {};
  if (query == nullptr ||
      query(pipe, status, information, sizeof(information), kFilePipeLocalInformation) < 0) {
    return 0xffffffffu;
  }
  return information[0];
}

nuvra::UniqueHandle connectClient(const std::wstring& path) {
  return nuvra::UniqueHandle(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                         OPEN_EXISTING, 0, nullptr));
}

TEST(BrokerPipe, EveryInstanceIsAByteModeServerEnd) {
  const std::wstring path = freshPipePath();
  nuvra::UniqueHandle first = nuvra::createBrokerPipeInstance(path, true);
  nuvra::UniqueHandle second = nuvra::createBrokerPipeInstance(path, false);
  for (HANDLE pipe : {first.get(), second.get()}) {
    DWORD flags = 0;
    ASSERT_TRUE(GetNamedPipeInfo(pipe, &flags, nullptr, nullptr, nullptr));
    EXPECT_EQ(flags, static_cast<DWORD>(PIPE_SERVER_END | PIPE_TYPE_BYTE));
    DWORD inherit = 1;
    ASSERT_TRUE(GetHandleInformation(pipe, &inherit));
    EXPECT_EQ(inherit & HANDLE_FLAG_INHERIT, 0u);
  }
}

// Wine neither refuses a second first instance nor stores the descriptor or
// the remote-client flag of a pipe; on Windows each is read back here.
TEST(BrokerPipe, NobodyElseCanSquatOrReachIt) {
  if (underWine()) GTEST_SKIP() << "Wine does not enforce pipe ownership";
  const std::wstring path = freshPipePath();
  nuvra::UniqueHandle first = nuvra::createBrokerPipeInstance(path, true);
  EXPECT_EQ(reasonOf([&] { nuvra::createBrokerPipeInstance(path, true); }), "broker_pipe_create");
  const nuvra::SecurityFacts facts = nuvra::readSecurityFacts(first.get());
  EXPECT_TRUE(nuvra::isStrictlyOwnerOnly(facts, nuvra::currentUserSid(), nuvra::OwnedObject::file));
  EXPECT_EQ(pipeTypeBits(first.get()) & 2u, 2u);
}

TEST(BrokerPipe, TransfersEndAtTheDeadlineOrTheClientsEnd) {
  const std::wstring path = freshPipePath();
  nuvra::UniqueHandle pipe = nuvra::createBrokerPipeInstance(path, true);
  nuvra::UniqueHandle client = connectClient(path);
  ASSERT_TRUE(client);
  nuvra::UniqueHandle never(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  ASSERT_TRUE(nuvra::awaitBrokerClient(pipe.get(), never.get()));
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(client.get(), "abc", 3, &written, nullptr));
  nuvra::BrokerPipeIo io(pipe.get(), GetTickCount64() + 2000);
  char bytes[4] = {};
  ASSERT_TRUE(io.read(bytes, 3));
  EXPECT_EQ(std::string(bytes, 3), "abc");
  ASSERT_TRUE(io.write("xy"));
  char answer[2] = {};
  DWORD read = 0;
  ASSERT_TRUE(ReadFile(client.get(), answer, 2, &read, nullptr));
  EXPECT_EQ(std::string(answer, read), "xy");
  // Nothing more comes: the read gives up at its deadline.
  nuvra::BrokerPipeIo expired(pipe.get(), GetTickCount64() + 50);
  EXPECT_FALSE(expired.read(bytes, 1));
  // The client's end closes: the wait for it returns.
  client.closeQuietly();
  nuvra::BrokerPipeIo closing(pipe.get(), GetTickCount64() + 60000);
  closing.awaitClientClose();
  EXPECT_FALSE(closing.read(bytes, 1));
}

// After its answer a session waits for its client to close, and for nothing
// else: bytes sent instead (a client streams after its request, or had sent
// them with it) end the wait long before the deadline.
TEST(BrokerPipe, TheWaitForTheClientsCloseEndsAtAnyByteItSends) {
  struct Case {
    const char* what;
    std::string withRequest;  // read together with the request's line
    std::string afterwards;   // sent once the session waits
  };
  const Case cases[] = {
      {"one byte after the answer", "", "x"},
      {"a stream after the answer", "", std::string(4000, 's')},
      {"bytes behind the request", "more", ""},
  };
  for (const Case& c : cases) {
    const std::wstring path = freshPipePath();
    nuvra::UniqueHandle pipe = nuvra::createBrokerPipeInstance(path, true);
    nuvra::UniqueHandle client = connectClient(path);
    ASSERT_TRUE(client) << c.what;
    nuvra::UniqueHandle never(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    ASSERT_TRUE(nuvra::awaitBrokerClient(pipe.get(), never.get())) << c.what;
    const std::uint64_t deadline = GetTickCount64() + 20000;
    nuvra::BrokerPipeIo io(pipe.get(), deadline);
    for (const std::string& bytes : {"request\n" + c.withRequest, c.afterwards}) {
      DWORD written = 0;
      if (!bytes.empty()) {
        ASSERT_TRUE(WriteFile(client.get(), bytes.data(), static_cast<DWORD>(bytes.size()),
                              &written, nullptr))
            << c.what;
      }
      std::string line;
      if (bytes.starts_with("request")) {
        ASSERT_TRUE(io.readLine(line, 16)) << c.what;
      }
    }
    io.awaitClientClose();
    // The client is still open: only its bytes can have ended the wait.
    EXPECT_LT(GetTickCount64(), deadline) << c.what;
  }
}

// A line is read in few transfers; what follows it stays for the next read,
// and a line longer than its limit is refused.
TEST(BrokerPipe, ReadsALineAndKeepsWhatFollows) {
  const std::wstring path = freshPipePath();
  nuvra::UniqueHandle pipe = nuvra::createBrokerPipeInstance(path, true);
  nuvra::UniqueHandle client = connectClient(path);
  ASSERT_TRUE(client);
  nuvra::UniqueHandle never(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  ASSERT_TRUE(nuvra::awaitBrokerClient(pipe.get(), never.get()));
  const std::string sent = "NUVRA\t12\nREST" + std::string(9, 'x') + "\n";
  DWORD written = 0;
  ASSERT_TRUE(
      WriteFile(client.get(), sent.data(), static_cast<DWORD>(sent.size()), &written, nullptr));
  nuvra::BrokerPipeIo io(pipe.get(), GetTickCount64() + 2000);
  std::string line;
  ASSERT_TRUE(io.readLine(line, 8));
  EXPECT_EQ(line, "NUVRA\t12");
  char rest[4] = {};
  ASSERT_TRUE(io.read(rest, 4));
  EXPECT_EQ(std::string(rest, 4), "REST");
  // Nine bytes before the line feed, one more than the limit.
  EXPECT_FALSE(io.readLine(line, 8));
}

TEST(BrokerPipe, AStopEndsTheWaitForAClient) {
  nuvra::UniqueHandle pipe = nuvra::createBrokerPipeInstance(freshPipePath(), true);
  nuvra::UniqueHandle stop(CreateEventW(nullptr, TRUE, TRUE, nullptr));
  EXPECT_FALSE(nuvra::awaitBrokerClient(pipe.get(), stop.get()));
}

}  // namespace
