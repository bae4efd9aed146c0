#include "monitor/web_address.h"

#include <gtest/gtest.h>

TEST(TrimAddress, DropsBlanksAndControlCharactersAtBothEnds) {
  EXPECT_EQ(TrimAddress(L" \t https://example.com/a b \r\n"), L"https://example.com/a b");
  EXPECT_EQ(TrimAddress(L"   "), L"");
  EXPECT_EQ(TrimAddress(L"intranet"), L"intranet");
}

TEST(IsWebAddress, HttpAndHttpsAddressesAndBareHostNames) {
  for (const wchar_t* web :
       {L"http://intranet/", L"HTTPS://www.example.com/a?b=c#d", L"https://10.0.0.1:8443/x",
        L"www.example.com", L"portal.example.com:8080/start/page.html", L"example.com",
        L"sub-domain.example.org/path?q=1"})
    EXPECT_TRUE(IsWebAddress(web)) << web;
}

TEST(IsWebAddress, NothingThatTheShellWouldStartOrOpenAsAFile) {
  for (const wchar_t* other : {L"",
                               L"http://",
                               L"C:\\Windows\\notepad.exe",
                               L"\\\\server\\share\\setup.exe",
                               L"file:///C:/Windows/notepad.exe",
                               L"FILE://server/share",
                               L"notepad",
                               L"notepad.exe",
                               L"setup.msi",
                               L"run.bat",
                               L"javascript:alert(1)",
                               L"mailto:a@example.com",
                               L"ftp://example.com/",
                               L"shell:startup",
                               L"..\\evil.example.com",
                               L"a..example.com",
                               L"-x.example.com",
                               L"example.com:port",
                               L"http://example.com\\..\\x",
                               L"www.example.com/a b",
                               L"calc.exe/x",
                               L"https://example.com/a\tb",
                               L"https://example.com/\r\nstart",
                               L"example.com/\x01"})
    EXPECT_FALSE(IsWebAddress(other)) << other;
}

TEST(AddressToOpen, ABareHostIsOpenedAsAnHttpAddressNeverAsAFileName) {
  EXPECT_EQ(AddressToOpen(L"portal.example.com"), L"http://portal.example.com");
  EXPECT_EQ(AddressToOpen(L"www.example.com:8080/start"), L"http://www.example.com:8080/start");
  EXPECT_EQ(AddressToOpen(L"HTTPS://www.example.com/"), L"HTTPS://www.example.com/");
  EXPECT_EQ(AddressToOpen(L"notepad.exe"), std::nullopt);
  EXPECT_EQ(AddressToOpen(L"https://example.com/\tx"), std::nullopt);
}
