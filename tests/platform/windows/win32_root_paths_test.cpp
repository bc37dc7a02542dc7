// What a typed path names, made without Win32's trimming (runs under Wine,
// but asks nothing of the system).
#include <gtest/gtest.h>

#include <string>

#include "platform/windows/win32_root_paths.h"

namespace tavrin {
namespace {

// The current folder is C:\work; drive D: is at D:\deep\er, others at their roots.
std::optional<std::wstring> full(std::wstring_view typed, std::wstring_view current = L"C:\\work") {
  return fullPathOf(typed, current, [](wchar_t drive) {
    return drive == L'D' ? std::wstring(L"D:\\deep\\er") : std::wstring{drive, L':', L'\\'};
  });
}

TEST(FullPathOf, TrailingDotsAndBlanksStay) {
  EXPECT_EQ(L"C:\\t\\dot.", full(L"C:\\t\\dot."));
  EXPECT_EQ(L"C:\\t\\sub.\\x.txt", full(L"C:\\t\\sub.\\x.txt"));
  EXPECT_EQ(L"C:\\t\\dir \\a...", full(L"C:\\t\\dir \\a..."));
  EXPECT_EQ(L"C:\\t\\CON", full(L"C:\\t\\CON"));
}

TEST(FullPathOf, RelativeFormsResolveAgainstTheirFolder) {
  EXPECT_EQ(L"C:\\work\\t\\dot.", full(L"t\\dot."));
  EXPECT_EQ(L"C:\\work\\dot.", full(L".\\dot."));
  EXPECT_EQ(L"C:\\t\\sub.", full(L"..\\t\\sub."));
  EXPECT_EQ(L"C:\\work", full(L"."));
  EXPECT_EQ(L"C:\\x", full(L"\\x"));                // the current drive's root
  EXPECT_EQ(L"D:\\deep\\er", full(L"D:"));          // the drive's current folder
  EXPECT_EQ(L"D:\\deep\\er\\sub.", full(L"D:sub."));
  EXPECT_EQ(L"D:\\deep", full(L"D:.."));
  EXPECT_EQ(L"E:\\", full(L"E:"));
  EXPECT_EQ(L"e:\\f", full(L"e:f"));
}

TEST(FullPathOf, DotsSeparatorsAndTheRoot) {
  EXPECT_EQ(L"C:\\a\\c", full(L"C:\\a\\b\\..\\.\\c"));
  EXPECT_EQ(L"C:\\", full(L"C:\\..\\..\\"));        // never above the root
  EXPECT_EQ(L"C:\\a\\b", full(L"C:/a//b/"));
  EXPECT_EQ(L"C:\\", full(L"C:\\"));
  EXPECT_EQ(L"\\\\srv\\share\\b.", full(L"\\\\srv\\share\\a\\..\\..\\b."));
  EXPECT_EQ(L"\\\\srv\\share\\x", full(L"\\x", L"\\\\srv\\share\\dir"));
  EXPECT_EQ(L"\\\\srv\\share\\dir\\y ", full(L"y ", L"\\\\srv\\share\\dir"));
}

TEST(FullPathOf, LiteralDeviceAndBrokenPathsAreLeftToWin32) {
  EXPECT_EQ(std::nullopt, full(L"\\\\?\\C:\\t\\dot."));
  EXPECT_EQ(std::nullopt, full(L"\\\\.\\C:\\t"));
  EXPECT_EQ(std::nullopt, full(L"\\\\srv"));         // no share
  EXPECT_EQ(std::nullopt, full(L"x", L""));          // no current folder
}

TEST(LiteralForm, DrivesAndShares) {
  EXPECT_EQ(L"\\\\?\\C:\\t\\dot.", literalForm(L"C:\\t\\dot."));
  EXPECT_EQ(L"\\\\?\\UNC\\srv\\share\\x", literalForm(L"\\\\srv\\share\\x"));
  EXPECT_EQ(L"\\\\?\\C:\\t", literalForm(L"\\\\.\\C:\\t"));
  EXPECT_EQ(L"\\\\?\\C:\\t", literalForm(L"\\\\?\\C:\\t"));
  EXPECT_EQ(0u, literalPrefixLength(L"\\\\.\\C:\\t"));
  EXPECT_EQ(4u, literalPrefixLength(L"C:\\t"));
  EXPECT_EQ(6u, literalPrefixLength(L"\\\\srv\\share"));
}

}  // namespace
}  // namespace tavrin
