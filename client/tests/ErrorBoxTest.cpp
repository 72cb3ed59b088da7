// Error(): the message box it shows, captured from the Win32 stand-in.
#include <gtest/gtest.h>
#include <string>
#include <win32_standin.h>
#include "ombapi.h"

namespace {

struct Box {
    int shown = 0;
    std::wstring caption, text;
    UINT type = 0;
};

void Capture(const wchar_t *caption, const wchar_t *text, UINT type, void *context)
{
    Box &box = *static_cast<Box *>(context);
    ++box.shown;
    box.caption = caption;
    box.text = text;
    box.type = type;
}

class ErrorBox : public testing::Test {
protected:
    void SetUp() override { standin::win32::SetMessageBoxSink(Capture, &box); }
    void TearDown() override { standin::win32::SetMessageBoxSink(nullptr, nullptr); }
    Box box;
};

} // namespace

TEST_F(ErrorBox, FormatsCaptionAndStyle)
{
    SetLastError(55);
    Ombrivo::Error(L"pipe %ls failed: %u", L"render", 7u);
    EXPECT_EQ(box.shown, 1);
    EXPECT_EQ(box.caption, L"Error");
    EXPECT_EQ(box.text, L"pipe render failed: 7");
    EXPECT_EQ(box.type, static_cast<UINT>(MB_OK | MB_ICONERROR));
    EXPECT_EQ(GetLastError(), 55u);
}

TEST_F(ErrorBox, LongTextIsCutTo511)
{
    const std::wstring longText(600, L'x');
    Ombrivo::Error(L"%ls!", longText.c_str());
    EXPECT_EQ(box.text, std::wstring(511, L'x'));
    Ombrivo::Error(L"%ls", std::wstring(511, L'y').c_str());
    EXPECT_EQ(box.text, std::wstring(511, L'y'));
}
