// Error codes, their messages, the exception family and the failure text.
#include <climits>
#include <cstring>
#include <set>
#include <string>

#include "report/error_code.h"
#include "report/failure.h"
#include "tests/support/allocation.h"
#include "tests/support/platform_test.h"

namespace {

using interposer::Call;
using overlay::MakeGenericCode;
using overlay::MakeSystemCode;

class ErrorMessageTest : public PlatformTest {
 protected:
  std::string MessageFor(const std::string& platform_text) {
    interposer::Platform().fake_message = true;
    interposer::Platform().message_text = platform_text;
    return overlay::SystemMessage(5);
  }
};

// The runtime's standard description of an errno value.
std::string ErrnoText(int value) { return std::strerror(value); }

// The platform's own text for a value, exactly as FormatMessageA gives it.
std::string RawPlatformMessage(DWORD value) {
  char* buffer = nullptr;
  const DWORD length =
      ::FormatMessageA(0x1300, nullptr, value, 0, reinterpret_cast<LPSTR>(&buffer), 0, nullptr);
  std::string text = buffer != nullptr ? std::string(buffer, length) : std::string();
  ::LocalFree(buffer);
  return text;
}

TEST_F(ErrorMessageTest, TrimsOnlyTrailingNulTabLineFeedCarriageReturnAndBlank) {
  EXPECT_EQ(MessageFor("Path not found.\r\n"), "Path not found.");
  EXPECT_EQ(MessageFor(std::string("Gone \t\r\n\0", 9)), "Gone");
  EXPECT_EQ(MessageFor("  Leading stays"), "  Leading stays");
  EXPECT_EQ(MessageFor("Two\r\nlines\r\n"), "Two\r\nlines");
  EXPECT_EQ(MessageFor("Vertical tab\v"), "Vertical tab\v");
  EXPECT_EQ(MessageFor("Form feed\f \r\n"), "Form feed\f");
  EXPECT_EQ(MessageFor("High byte\xA0"), "High byte\xA0");
  EXPECT_EQ(MessageFor("High byte\xA0\r\n"), "High byte\xA0");
}

TEST_F(ErrorMessageTest, FallsBackToUnknownErrorWhenNothingIsLeft) {
  EXPECT_EQ(MessageFor(" \t\r\n "), "unknown error");
  EXPECT_EQ(MessageFor(""), "unknown error");
  interposer::Platform().message_fails = true;
  EXPECT_EQ(overlay::SystemMessage(0x20001234), "unknown error");
  // Nothing was allocated, and null was handed back all the same.
  EXPECT_EQ(interposer::Platform().null_local_frees, 1);
}

TEST_F(ErrorMessageTest, AsksWithIgnoredInsertsAndKeepsPlaceholdersLiterally) {
  EXPECT_EQ(MessageFor("Insert %1 into drive %2."), "Insert %1 into drive %2.");
  const auto calls = interposer::CallsOf(Call::FormatMessageA);
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].detail, 0x1300);
}

TEST_F(ErrorMessageTest, ReleasesThePlatformBufferOnEveryPath) {
  MessageFor("Access denied.\r\n");
  EXPECT_EQ(interposer::Platform().message_buffers_live, 0);
  MessageFor("\r\n");
  EXPECT_EQ(interposer::Platform().message_buffers_live, 0);

  // Copying the text runs out of memory: the buffer is still released.
  interposer::Platform().message_text = "A text long enough to need its own allocation.";
  alloc::FailAt(1);
  EXPECT_THROW(overlay::SystemMessage(5), std::bad_alloc);
  alloc::Disarm();
  EXPECT_EQ(interposer::Platform().message_buffers_live, 0);
}

TEST_F(ErrorMessageTest, GivesThePlatformTextOfRealValuesWithoutTheLineBreak) {
  for (DWORD value : {ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND, ERROR_ACCESS_DENIED}) {
    const std::string raw = RawPlatformMessage(value);
    const std::string message = overlay::SystemMessage(static_cast<int>(value));
    ASSERT_FALSE(raw.empty()) << value;
    EXPECT_EQ(raw.compare(0, message.size(), message), 0) << "a prefix of the platform's text";
    EXPECT_NE(message.back(), '\n');
    EXPECT_NE(message.back(), '\r');
  }
}

TEST_F(ErrorMessageTest, NegativeAndUnknownValuesAnswerWithoutFailing) {
  for (int value : {-1, INT_MIN, 0x7FFFFFFF}) {
    const std::string raw = RawPlatformMessage(static_cast<DWORD>(value));
    const std::string message = overlay::SystemMessage(value);
    if (raw.find_first_not_of(" \t\r\n") == std::string::npos) {
      EXPECT_EQ(message, "unknown error") << value;
    } else {
      EXPECT_FALSE(message.empty());
    }
  }
  EXPECT_EQ(overlay::GenericMessage(-1), ErrnoText(-1));
  EXPECT_EQ(overlay::GenericMessage(INT_MIN), ErrnoText(INT_MIN));
  EXPECT_EQ(overlay::GenericMessage(100000), ErrnoText(100000));
}

TEST(ErrorCategoryTest, GenericTextsComeFromTheRuntimeAndDifferFromSystemTexts) {
  EXPECT_EQ(overlay::GenericMessage(17), ErrnoText(17));
  EXPECT_EQ(overlay::GenericMessage(22), ErrnoText(22));
  EXPECT_NE(MakeGenericCode(17).message(), MakeSystemCode(17).message());
  EXPECT_EQ(MakeSystemCode(17).message(), overlay::SystemMessage(17));
}

TEST(ErrorCategoryTest, CodesAndCategories) {
  EXPECT_STREQ(overlay::generic_category().name(), "generic");
  EXPECT_STREQ(overlay::system_category().name(), "system");
  EXPECT_EQ(&overlay::system_category(), &overlay::system_category());

  const overlay::error_code fresh;
  EXPECT_EQ(fresh.value(), 0);
  EXPECT_EQ(&fresh.category(), &overlay::system_category());
  EXPECT_FALSE(fresh);
  EXPECT_FALSE(MakeGenericCode(0));
  EXPECT_TRUE(MakeGenericCode(17));
  EXPECT_TRUE(MakeSystemCode(0xFFFFFFFFu));
  EXPECT_EQ(MakeSystemCode(0xFFFFFFFFu).value(), -1);
}

class FailureTextTest : public PlatformTest {
 protected:
  std::string Text(const std::wstring& source, const std::wstring& target,
                   overlay::error_code code = MakeSystemCode(ERROR_PATH_NOT_FOUND)) {
    return overlay::filesystem_error("copy", source, target, code).what();
  }
  std::string Message(int value = ERROR_PATH_NOT_FOUND) { return overlay::SystemMessage(value); }
};

TEST_F(FailureTextTest, NamesOperationMessageAndBothRootsAsGiven) {
  EXPECT_EQ(Text(L"C:\\Games\\update", L"C:\\Games\\Varenko"),
            "copy: " + Message() + ": \"C:\\Games\\update\", \"C:\\Games\\Varenko\"");
  EXPECT_EQ(Text(L"..\\rel/mixed\\", L"D:/fwd/slashes/"),
            "copy: " + Message() + ": \"..\\rel/mixed\\\", \"D:/fwd/slashes/\"");
  EXPECT_EQ(Text(L"a b", L"c", MakeGenericCode(17)),
            "copy: " + std::string(ErrnoText(17)) + ": \"a b\", \"c\"");

  const overlay::filesystem_error failure("copy", L"src", L"dst", MakeSystemCode(5));
  EXPECT_EQ(failure.path1(), L"src");
  EXPECT_EQ(failure.path2(), L"dst");
  EXPECT_EQ(failure.code().value(), 5);
}

TEST_F(FailureTextTest, EmptyRoots) {
  EXPECT_EQ(Text(L"C:\\src", L""), "copy: " + Message() + ": \"C:\\src\"");
  EXPECT_EQ(Text(L"", L"C:\\dst"), "copy: " + Message() + ": \"\", \"C:\\dst\"");
  // An empty root is not handed to the platform at all.
  interposer::Reset();
  EXPECT_EQ(Text(L"", L""), "copy: " + Message() + ": \"\"");
  EXPECT_EQ(interposer::CountOf(Call::WideCharToMultiByte), 0);
}

TEST_F(FailureTextTest, MessageEndingInFullStopIsFollowedDirectlyByTheQuote) {
  interposer::Platform().fake_message = true;
  interposer::Platform().message_text = "The path is gone.\r\n";
  EXPECT_EQ(Text(L"a", L"b"), "copy: The path is gone.: \"a\", \"b\"");
}

TEST_F(FailureTextTest, SystemErrorTextWithAndWithoutOperation) {
  EXPECT_STREQ(overlay::system_error(MakeSystemCode(5), "copy").what(),
               ("copy: " + Message(5)).c_str());
  EXPECT_STREQ(overlay::system_error(MakeSystemCode(5)).what(), Message(5).c_str());
}

TEST_F(FailureTextTest, CodePageFollowsTheRuntimeThenTheFileFunctionsMode) {
  const std::wstring root = L"caf\u00e9";
  EXPECT_EQ(Text(root, L""), "copy: " + Message() + ": \"caf\xE9\"");  // ANSI 1252
  // The code page is asked once, before any root is narrowed.
  EXPECT_EQ(interposer::CountOf(Call::___lc_codepage_func), 1);
  EXPECT_EQ(interposer::CountOf(Call::AreFileApisANSI), 1);
  ASSERT_GE(interposer::Platform().log.size(), 3u);
  EXPECT_LT(interposer::CountOf(Call::___lc_codepage_func),
            interposer::CountOf(Call::WideCharToMultiByte));

  ::SetFileApisToOEM();
  const std::string oem = Text(root, L"");
  ::SetFileApisToANSI();
  char expected_oem[8] = {};
  ::WideCharToMultiByte(CP_OEMCP, 0, L"\u00e9", 1, expected_oem, sizeof expected_oem, nullptr,
                        nullptr);
  EXPECT_NE(std::string(expected_oem), "\xE9") << "the OEM code page differs from the ANSI one";
  EXPECT_EQ(oem, "copy: " + Message() + ": \"caf" + expected_oem + "\"");

  interposer::Platform().fake_runtime_code_page = true;
  interposer::Platform().runtime_code_page = CP_UTF8;
  ::SetFileApisToOEM();  // the runtime's UTF-8 wins over the file functions' mode
  const std::string utf8 = Text(root, L"");
  ::SetFileApisToANSI();
  EXPECT_EQ(utf8, "copy: " + Message() + ": \"caf\xC3\xA9\"");
}

TEST_F(FailureTextTest, UnrepresentableCharactersBecomeTheDefaultCharacterWithoutBestFit) {
  // U+0100 and U+0142 have best-fit look-alikes (A, l) in code page 1252.
  EXPECT_EQ(Text(L"\u0100\u0142\u0416\u4e2d", L"ok"), "copy: " + Message() + ": \"????\", \"ok\"");
  // Characters outside the BMP: one default character for the pair.
  const std::string outside = Text(L"\U0001F600", L"");
  EXPECT_EQ(outside.find('\xF0'), std::string::npos);
}

TEST_F(FailureTextTest, CodePagesRefusingTheFlagAreAskedAgainWithoutIt) {
  interposer::Platform().faults.push_back(
      {Call::WideCharToMultiByte, 0, ERROR_INVALID_FLAGS, WC_NO_BEST_FIT_CHARS});
  EXPECT_EQ(Text(L"src", L"dst"), "copy: " + Message() + ": \"src\", \"dst\"");
  std::vector<int> flags;
  for (const auto& call : interposer::CallsOf(Call::WideCharToMultiByte))
    flags.push_back(call.detail);
  const int best_fit_off = WC_NO_BEST_FIT_CHARS;
  EXPECT_EQ(flags,
            (std::vector<int>{best_fit_off, 0, best_fit_off, 0, best_fit_off, 0, best_fit_off, 0}));
}

// Measuring the source, converting it, measuring the target, converting it:
// each may fail, and its failure is shown in place of the whole text.
class NarrowingFailureTest : public FailureTextTest, public testing::WithParamInterface<int> {};

TEST_P(NarrowingFailureTest, ReplacesTheWholeText) {
  interposer::Platform().faults.push_back(
      {Call::WideCharToMultiByte, GetParam(), ERROR_NO_UNICODE_TRANSLATION});
  try {
    Text(L"src", L"dst");
    ADD_FAILURE() << "the conversion failed but the text was composed";
  } catch (const overlay::filesystem_error&) {
    ADD_FAILURE() << "the failure text survived a narrowing failure";
  } catch (const overlay::system_error& failure) {
    EXPECT_EQ(std::string(failure.what()), Message(ERROR_NO_UNICODE_TRANSLATION));
    EXPECT_EQ(failure.code().value(), ERROR_NO_UNICODE_TRANSLATION);
  }
}

INSTANTIATE_TEST_SUITE_P(EachConversionCall, NarrowingFailureTest, testing::Range(1, 5));

TEST_F(FailureTextTest, NarrowingRetryFailingShowsItsOwnError) {
  interposer::Platform().faults.push_back(
      {Call::WideCharToMultiByte, 0, ERROR_INVALID_FLAGS, WC_NO_BEST_FIT_CHARS});
  interposer::Platform().faults.push_back(
      {Call::WideCharToMultiByte, 0, ERROR_INVALID_PARAMETER, 0});
  try {
    Text(L"src", L"dst");
    ADD_FAILURE() << "no failure";
  } catch (const overlay::system_error& failure) {
    EXPECT_EQ(std::string(failure.what()), Message(ERROR_INVALID_PARAMETER));
  }
}

TEST_F(FailureTextTest, AnExceptionThatCannotStoreItsTextSaysUnknownException) {
  alloc::FailAt(1);
  const overlay::runtime_error failure(std::string("x"));
  alloc::Disarm();
  EXPECT_STREQ(failure.what(), "Unknown exception");
  // Copies share the text and never fail.
  const overlay::runtime_error stored(std::string("stored"));
  alloc::FailAt(1);
  const overlay::runtime_error copy = stored;
  alloc::Disarm();
  EXPECT_STREQ(copy.what(), "stored");
  EXPECT_STREQ(overlay::bad_alloc().what(), "bad allocation");
}

// Every allocation made while a failure report is composed, failed in turn.
TEST_F(FailureTextTest, MemoryExhaustionAtEveryAllocationGivesAnAllowedText) {
  const std::wstring source = L"C:\\Games\\update \u00e9", target = L"C:\\Games\\Varenko";
  const std::string full = Text(source, target);
  const std::string roots = ": \"C:\\Games\\update \xE9\", \"C:\\Games\\Varenko\"";
  const std::set<std::string> allowed = {full, "bad allocation", "Unknown exception" + roots};
  std::set<std::string> seen;
  long tried = 0;
  for (long nth = 1;; ++nth) {
    interposer::Reset();
    std::string text;
    text.reserve(256);  // the test's own, allocated before counting starts
    const long live_before = alloc::Live();
    alloc::FailAt(nth);
    try {
      overlay::filesystem_error failure("copy", source, target, MakeSystemCode(3));
      alloc::Disarm();
      text = failure.what();
    } catch (const std::exception& failure) {
      alloc::Disarm();
      text = failure.what();
    }
    const bool failed = alloc::Failed();
    if (!failed) break;
    ++tried;
    EXPECT_TRUE(allowed.count(text)) << "allocation " << nth << " gave: " << text;
    EXPECT_EQ(interposer::Platform().message_buffers_live, 0) << "allocation " << nth;
    interposer::Reset();  // the interposer's own call log is not the program's memory
    EXPECT_EQ(alloc::Live(), live_before) << "leak after failing allocation " << nth;
    seen.insert(text);
  }
  EXPECT_GE(tried, 4);
  EXPECT_TRUE(seen.count("bad allocation"));
  EXPECT_TRUE(seen.count("Unknown exception" + roots));
  std::printf("[ report ] allocation failures tried while composing: %ld, distinct texts: %zu\n",
              tried, seen.size());
}

}  // namespace
