// The loader's DllMain notifications: attach at load with the library's own
// module handle, detach at unload, and a refused attach failing the load.
#include <gtest/gtest.h>
#include <windows.h>

#include <dlfcn.h>
#include <stdlib.h>

#include <string>

namespace {

void *LoadProbe()
{
    return dlopen(OMB_ATTACH_PROBE, RTLD_NOW | RTLD_LOCAL);
}

TEST(DllMain, AttachRunsAtLoadAndDetachAtUnload)
{
    void *library = LoadProbe();
    ASSERT_NE(library, nullptr) << dlerror();
    auto attaches = reinterpret_cast<int (*)()>(dlsym(library, "ProbeAttaches"));
    auto module = reinterpret_cast<HINSTANCE (*)()>(dlsym(library, "ProbeModule"));
    auto onDetach = reinterpret_cast<void (*)(int *)>(dlsym(library, "ProbeOnDetach"));
    ASSERT_TRUE(attaches && module && onDetach);
    EXPECT_EQ(attaches(), 1);

    // The module handle names the library itself.
    wchar_t path[MAX_PATH];
    const DWORD n = GetModuleFileNameW(module(), path, MAX_PATH);
    ASSERT_GT(n, 0u);
    const std::wstring name(path, n);
    EXPECT_NE(name.find(L"libattach_probe.so"), std::wstring::npos) << n;

    int detached = 0;
    onDetach(&detached);
    ASSERT_EQ(dlclose(library), 0);
    EXPECT_EQ(detached, 1);
}

TEST(DllMainDeathTest, RefusedAttachFailsTheLoad)
{
    EXPECT_DEATH(
        {
            setenv("OMB_ATTACH_REFUSE", "1", 1);
            LoadProbe();
        },
        "DllMain of .*libattach_probe.so failed DLL_PROCESS_ATTACH");
}

} // namespace
