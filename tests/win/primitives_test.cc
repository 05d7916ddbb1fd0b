#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/crypto_win.h"
#include "common/file_win.h"
#include "common/handle_win.h"
#include "common/text.h"
#include "common/text_win.h"
#include "test_support_win.h"

namespace nuvra {
namespace {

using testing::reasonOf;
using testing::ScratchDirectory;
using testing::writeFile;

TEST(Sha256Hex, MatchesThePublishedDigests) {
  EXPECT_EQ(sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(sha256Hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  // A million "a": the long published vector, hashed in one call.
  EXPECT_EQ(sha256Hex(std::string(1000000, 'a')),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(RandomBytes, FillsTheWholeBufferAndDrawsDiffer) {
  unsigned char first[32] = {};
  unsigned char second[32] = {};
  randomBytes(first, sizeof(first), "random_failed");
  randomBytes(second, sizeof(second), "random_failed");
  EXPECT_NE(std::string(reinterpret_cast<char*>(first), 32),
            std::string(reinterpret_cast<char*>(second), 32));
  EXPECT_NE(std::string(reinterpret_cast<char*>(first), 32), std::string(32, '\0'));
}

TEST(CanonicalPath, HasNoLongPathPrefixAndMatchesTheDriveLetterPath) {
  ScratchDirectory scratch;
  const std::wstring path = scratch.file(L"Canonical.txt");
  ASSERT_TRUE(writeFile(path, "x"));
  UniqueHandle file(
      CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(file);
  const std::wstring canonical = canonicalPath(file.get());
  EXPECT_NE(canonical.rfind(L"\\\\?\\", 0), 0u) << "prefix kept";
  EXPECT_EQ(canonical.size() > 3 && canonical[1] == L':' && canonical[2] == L'\\', true);
  EXPECT_TRUE(samePathIgnoringCase(canonical, path));
}

TEST(CanonicalPath, FailsWithProfilePathOnANonFileHandle) {
  UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  ASSERT_TRUE(event);
  EXPECT_EQ(reasonOf([&] { canonicalPath(event.get()); }), "profile_path");
}

TEST(FileIdentity, TwoHandlesOfOneFileAgreeAndAHardLinkIsCounted) {
  ScratchDirectory scratch;
  const std::wstring path = scratch.file(L"identity.txt");
  const std::wstring other = scratch.file(L"other.txt");
  ASSERT_TRUE(writeFile(path, "12345"));
  ASSERT_TRUE(writeFile(other, "1"));
  auto open = [](const std::wstring& name) {
    return UniqueHandle(CreateFileW(name.c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, 0, nullptr));
  };
  UniqueHandle a = open(path), b = open(path), c = open(other);
  FileIdentity first, second, third;
  ASSERT_TRUE(fileIdentity(a.get(), first));
  ASSERT_TRUE(fileIdentity(b.get(), second));
  ASSERT_TRUE(fileIdentity(c.get(), third));
  EXPECT_TRUE(first.sameFile(second));
  EXPECT_FALSE(first.sameFile(third));
  EXPECT_EQ(first.size, 5u);
  EXPECT_EQ(first.links, 1u);
  EXPECT_EQ(first.text().size(), 25u);
  EXPECT_EQ(first.text()[8], ':');
  EXPECT_EQ(first.text(), second.text());

  ASSERT_TRUE(CreateHardLinkW(scratch.file(L"link.txt").c_str(), path.c_str(), nullptr));
  FileIdentity linked;
  ASSERT_TRUE(fileIdentity(a.get(), linked));
  EXPECT_EQ(linked.links, 2u);
}

TEST(FileIdentity, ReportsFailureOnANonFileHandle) {
  FileIdentity identity;
  EXPECT_FALSE(fileIdentity(nullptr, identity));
}

TEST(PathComparison, IgnoresCaseButNothingElse) {
  EXPECT_TRUE(samePathIgnoringCase(L"C:\\Dir\\File.TXT", L"c:\\dir\\file.txt"));
  EXPECT_TRUE(samePathIgnoringCase(L"C:\\\u00c9T\u00c9", L"c:\\\u00e9t\u00e9"));
  EXPECT_FALSE(samePathIgnoringCase(L"C:\\dir\\file.txt", L"C:\\dir\\file.txt\\"));
  EXPECT_FALSE(samePathIgnoringCase(L"C:\\dir/file.txt", L"C:\\dir\\file.txt"));
}

TEST(UniqueHandle, NullAndInvalidValueBothMeanNoHandle) {
  UniqueHandle invalid(INVALID_HANDLE_VALUE);
  EXPECT_FALSE(invalid);
  EXPECT_EQ(invalid.get(), nullptr);
  UniqueHandle empty;
  EXPECT_FALSE(empty);
}

TEST(UniqueHandle, ClosingAnEmptySlotDoesNothing) {
  UniqueHandle empty;
  EXPECT_EQ(reasonOf([&] { empty.closeOrFail(); }), "");
  EXPECT_TRUE(empty.closeForCleanup());
  empty.closeQuietly();
  UniqueHandle invalid(INVALID_HANDLE_VALUE);
  EXPECT_EQ(reasonOf([&] { invalid.closeOrFail(); }), "");
  EXPECT_TRUE(invalid.closeForCleanup());
}

TEST(UniqueHandle, ClosingAPresentHandleEmptiesTheSlot) {
  UniqueHandle a(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  ASSERT_TRUE(a);
  a.closeOrFail();
  EXPECT_FALSE(a);
  UniqueHandle b(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  ASSERT_TRUE(b);
  EXPECT_TRUE(b.closeForCleanup());
  EXPECT_FALSE(b);
}

TEST(UniqueHandle, AFailedCloseIsReportedAndTheValueGivenUp) {
  // A value no handle table entry has: CloseHandle refuses it.
  const auto bogus = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(0x7ffffff0));
  UniqueHandle cleanup(bogus);
  EXPECT_FALSE(cleanup.closeForCleanup());
  EXPECT_FALSE(cleanup);
  UniqueHandle strict(bogus);
  EXPECT_EQ(reasonOf([&] { strict.closeOrFail(); }), "profile_close_failed");
  EXPECT_FALSE(strict);
}

TEST(UniqueHandle, AValueThatWouldNotCloseIsNeverClosedAgain) {
  UniqueHandle stale(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  ASSERT_TRUE(stale);
  const HANDLE value = stale.get();
  ASSERT_TRUE(CloseHandle(value));  // behind the slot's back
  EXPECT_FALSE(stale.closeForCleanup());
  // The table hands the freed value out again, to someone else's handle.
  UniqueHandle reused(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  ASSERT_EQ(reused.get(), value) << "the value was not reused, so nothing below is shown";
  stale = UniqueHandle();
  DWORD flags = 0;
  EXPECT_TRUE(GetHandleInformation(reused.get(), &flags));
}

TEST(Inheritance, RequireNonInheritableClearsTheFlag) {
  SECURITY_ATTRIBUTES attributes{sizeof(attributes), nullptr, TRUE};
  UniqueHandle event(CreateEventW(&attributes, TRUE, FALSE, nullptr));
  ASSERT_TRUE(event);
  DWORD flags = 0;
  ASSERT_TRUE(GetHandleInformation(event.get(), &flags));
  ASSERT_NE(flags & HANDLE_FLAG_INHERIT, 0u) << "the event should start inheritable";
  requireNonInheritable(event.get());
  ASSERT_TRUE(GetHandleInformation(event.get(), &flags));
  EXPECT_EQ(flags & HANDLE_FLAG_INHERIT, 0u);
}

TEST(Inheritance, RequireNonInheritableRefusesANonHandle) {
  EXPECT_EQ(reasonOf([] { requireNonInheritable(nullptr); }), "profile_inheritance");
}

// Without a holder, a duplicate for a child is inheritable only between
// setInheritable and clearInheritable, the bracket around the one process
// creation.
TEST(Inheritance, DuplicateForChildIsInheritableOnlyInsideTheBracket) {
  UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  ASSERT_TRUE(event);
  InheritList list;
  HANDLE duplicate = duplicateForChild(event.get(), list, 0);
  ASSERT_EQ(list.values(), std::vector<HANDLE>{duplicate});
  EXPECT_NE(duplicate, event.get());
  const auto inheritable = [](HANDLE handle) {
    DWORD flags = 0;
    EXPECT_TRUE(GetHandleInformation(handle, &flags));
    return (flags & HANDLE_FLAG_INHERIT) != 0;
  };
  EXPECT_FALSE(inheritable(duplicate));
  list.setInheritable();
  EXPECT_TRUE(inheritable(duplicate));
  EXPECT_TRUE(list.clearInheritable());
  EXPECT_FALSE(inheritable(duplicate));
  EXPECT_FALSE(inheritable(event.get()));
  // The duplicate is the same event.
  ASSERT_TRUE(SetEvent(duplicate));
  EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_OBJECT_0);

  HANDLE limited = duplicateForChild(event.get(), list, SYNCHRONIZE);
  EXPECT_EQ(list.values().size(), 2u);
  EXPECT_EQ(WaitForSingleObject(limited, 0), WAIT_OBJECT_0);
  EXPECT_EQ(reasonOf([&] { duplicateForChild(nullptr, list, 0); }), "profile_duplicate");
  EXPECT_EQ(list.values().size(), 2u);
  EXPECT_TRUE(list.close());
  EXPECT_TRUE(list.values().empty());
}

// With a holder, the copies live in the holder and nothing of this process
// is ever inheritable; closing the list takes them out of the holder again.
TEST(Inheritance, CopiesForAChildLiveInTheHolderUntilClosed) {
  wchar_t self[MAX_PATH] = {};
  ASSERT_NE(GetModuleFileNameW(nullptr, self, MAX_PATH), 0u);
  std::wstring commandLine = L"\"" + std::wstring(self) + L"\" --gtest_list_tests";
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION created{};
  ASSERT_TRUE(CreateProcessW(self, commandLine.data(), nullptr, nullptr, FALSE,
                             CREATE_SUSPENDED | CREATE_NO_WINDOW, nullptr, nullptr, &startup,
                             &created));
  const UniqueHandle holder(created.hProcess);
  const UniqueHandle thread(created.hThread);
  const auto inHolder = [&](HANDLE value) {
    HANDLE back = nullptr;
    if (!DuplicateHandle(holder.get(), value, GetCurrentProcess(), &back, 0, FALSE,
                         DUPLICATE_SAME_ACCESS)) {
      return false;
    }
    const UniqueHandle owned(back);
    return true;
  };
  UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  ASSERT_TRUE(event);
  std::vector<HANDLE> values;
  {
    InheritList list(holder.get());
    values.push_back(duplicateForChild(event.get(), list, SYNCHRONIZE));
    UniqueHandle own(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    ASSERT_TRUE(own);
    values.push_back(list.add(std::move(own)));
    EXPECT_FALSE(own);
    EXPECT_EQ(list.values(), values);
    for (HANDLE value : values) EXPECT_TRUE(inHolder(value));
    DWORD flags = 0;
    ASSERT_TRUE(GetHandleInformation(event.get(), &flags));
    EXPECT_EQ(flags & HANDLE_FLAG_INHERIT, 0u);
    EXPECT_TRUE(list.close());
    for (HANDLE value : values) EXPECT_FALSE(inHolder(value));
    // A list dropped without close() empties the holder too.
    values = {duplicateForChild(event.get(), list, 0)};
    EXPECT_TRUE(inHolder(values[0]));
  }
  EXPECT_FALSE(inHolder(values[0]));
  TerminateProcess(holder.get(), 0);
}

TEST(Utf8ToUtf16, RefusesEmptyAndInvalidInput) {
  EXPECT_EQ(reasonOf([] { utf8ToUtf16(""); }), "profile_utf8");
  EXPECT_EQ(reasonOf([] { utf8ToUtf16("\xc3\x28"); }), "profile_utf8");
  EXPECT_EQ(reasonOf([] { utf8ToUtf16("\xc3"); }), "profile_utf8");
  EXPECT_EQ(reasonOf([] { utf8ToUtf16("\xed\xa0\x80"); }), "profile_utf8");  // encoded surrogate
  EXPECT_EQ(reasonOf([] { utf8ToUtf16("\xc0\xaf"); }), "profile_utf8");      // overlong
}

TEST(Utf8ToUtf16, ConvertsValidInputExactly) {
  EXPECT_EQ(utf8ToUtf16("\xc3\xa9"), std::wstring(1, L'\u00e9'));
  EXPECT_EQ(utf8ToUtf16("abc"), L"abc");
  EXPECT_EQ(utf8ToUtf16("\xf0\x9f\x98\x80"), L"\U0001F600");
  EXPECT_EQ(utf8ToUtf16(std::string_view("a\0b", 3)), std::wstring(L"a\0b", 3));
}

TEST(Utf16ToUtf8, RefusesEmptyInputAndUnpairedSurrogates) {
  EXPECT_EQ(reasonOf([] { utf16ToUtf8(L""); }), "profile_utf16");
  EXPECT_EQ(reasonOf([] { utf16ToUtf8(std::wstring(1, wchar_t(0xD800))); }), "profile_utf16");
  EXPECT_EQ(reasonOf([] { utf16ToUtf8(std::wstring(1, wchar_t(0xDC00))); }), "profile_utf16");
  EXPECT_EQ(reasonOf([] {
              utf16ToUtf8(std::wstring{L'a', wchar_t(0xD83D), L'b'});
            }),
            "profile_utf16");
}

TEST(Utf16ToUtf8, RoundTripsValidText) {
  for (const std::wstring text : {L"plain", L"caf\u00e9", L"\U0001F600 smile", L"\u4e2d\u6587"}) {
    EXPECT_EQ(utf8ToUtf16(utf16ToUtf8(text)), text);
  }
  EXPECT_EQ(utf16ToUtf8(L"\u00e9"), "\xc3\xa9");
}

// The system's own splitter, looked up at run time so the tests need no
// extra import library.
using SplitFunction = LPWSTR*(WINAPI*)(LPCWSTR, int*);

TEST(QuoteArgument, TheSystemSplitterGivesBackEveryShortArgument) {
  HMODULE shell = LoadLibraryW(L"shell32.dll");
  ASSERT_NE(shell, nullptr);
  auto split = reinterpret_cast<SplitFunction>(
      reinterpret_cast<void*>(GetProcAddress(shell, "CommandLineToArgvW")));
  ASSERT_NE(split, nullptr);
  const std::wstring alphabet = L"a \\\"\t";
  std::size_t mismatches = 0;
  for (std::size_t length = 0; length <= 5; ++length) {
    std::vector<std::size_t> digits(length, 0);
    while (true) {
      std::wstring sample;
      for (std::size_t digit : digits) sample.push_back(alphabet[digit]);
      const std::wstring line =
          L"\"C:\\prog.exe\" " + quoteArgument(sample) + L" " + quoteArgument(sample + L"z");
      int count = 0;
      LPWSTR* arguments = split(line.c_str(), &count);
      ASSERT_NE(arguments, nullptr);
      const bool same = count == 3 && std::wstring(arguments[0]) == L"C:\\prog.exe" &&
                        sample == arguments[1] && sample + L"z" == arguments[2];
      LocalFree(arguments);
      if (!same && ++mismatches <= 5) ADD_FAILURE() << "argument not preserved, length " << length;
      std::size_t position = 0;
      while (position < length && ++digits[position] == alphabet.size()) digits[position++] = 0;
      if (position == length) break;
    }
  }
  EXPECT_EQ(mismatches, 0u);
  FreeLibrary(shell);
}

}  // namespace
}  // namespace nuvra
