// A minimal native image over the library, linked without any C runtime: its
// imports show what the library needs from the system (ntoskrnl.exe and
// hal.dll only).
#include "AttributeList.h"
#include "DataFormat.h"
#include "GuidNameTables.h"
#include "KernelHelpers.h"
#include "Startup.h"
#include "TextFormat.h"

using namespace Mosaik;

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath)
{
    if (!LibraryStartup())
        return STATUS_UNSUCCESSFUL;
    RunGlobalInitializers();

    WCHAR text[MessageCapacity];
    FormatText(text, MessageCapacity, L"%U\\Parameters %p", registryPath, driverObject);
    GuidName(text, GuidNameCapacity, KSDATAFORMAT_SUBTYPE_PCM, SubFormatNames);

    WAVEFORMATEXTENSIBLE record = {};
    KSDATAFORMAT_WAVEFORMATEXTENSIBLE block;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    if (BuildFormat(&record, 48000, 24, 2, 0, StandardChannelMask, false, false)) {
        BuildKsDataFormat(record, &block);
        WAVEFORMATEXTENSIBLE parsed = {};
        status = ParseKsDataFormat(&parsed, &block.DataFormat, sizeof block, nullptr, 0, text);
        if (NT_SUCCESS(status) && !IsExtensibleFormat(parsed))
            MakeExtensible(&parsed);
    }

    auto *mutex = new MutexLock;
    auto *spin = new SpinLock;
    if (mutex && spin) {
        Lock(*mutex);
        Lock(*spin);
        Unlock(*spin);
        Unlock(*mutex);
    }
    delete spin;
    delete mutex;
    LibraryShutdown();
    return status;
}
