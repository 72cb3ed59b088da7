// Stand-in: MessageBoxW without a desktop. The box goes to the diagnostic
// output, or to the sink a test installed, and is answered with OK at once.
#include <stdio.h>
#include <win32_standin.h>

namespace {
standin::win32::MessageBoxSink messageSink = nullptr;
void *messageContext = nullptr;
} // namespace

void standin::win32::SetMessageBoxSink(MessageBoxSink sink, void *context)
{
    messageSink = sink;
    messageContext = context;
}

int WINAPI MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type)
{
    if (messageSink != nullptr)
        messageSink(caption ? caption : L"", text ? text : L"", type, messageContext);
    else
        fprintf(stderr, "[message box] %ls: %ls\n", caption ? caption : L"", text ? text : L"");
    return IDOK;
}
