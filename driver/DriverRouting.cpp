// The adapter's request routing: the control pipes first, then PortCls; a
// WaveRT filter's handle is remembered so that its data-range query can be
// answered from the endpoint's current format before PortCls sees it.
#include "Adapter.h"
#include "PipeRouting.h"
#include "WaveMiniport.h"

struct Adapter::FilterHandleEntry {
    Mosaik::ListNode Node; // first, so a node is its entry
    PFILE_OBJECT File;
    WaveMiniport *Miniport; // not counted: the links keep it while the adapter lives
};

namespace {

// The longest object name the routing looks at, without its terminator.
constexpr USHORT NameCharacters = 15;

PFILE_OBJECT FileOf(PIRP irp) { return IoGetCurrentIrpStackLocation(irp)->FileObject; }

// The request's file name without one leading backslash, cut to fit and
// terminated.
void CopyObjectName(PFILE_OBJECT file, WCHAR (&name)[NameCharacters + 1])
{
    USHORT length = 0;
    if (file != nullptr && file->FileName.Buffer != nullptr) {
        const WCHAR *text = file->FileName.Buffer;
        USHORT characters = file->FileName.Length / sizeof(WCHAR);
        if (characters > 0 && text[0] == L'\\') {
            ++text;
            --characters;
        }
        length = characters < NameCharacters ? characters : NameCharacters;
        RtlCopyMemory(name, text, length * sizeof(WCHAR));
    }
    name[length] = L'\0';
}

bool SameName(const WCHAR *a, const WCHAR *b)
{
    while (*a != L'\0' && *a == *b) {
        ++a;
        ++b;
    }
    return *a == *b;
}

} // namespace

NTSTATUS Adapter::Create(PDEVICE_OBJECT device, PIRP irp)
{
    const PipePair pipes = {&pipeRender, &pipeCapture};
    NTSTATUS status = RoutePipeCreate(pipes, irp);
    if (status != STATUS_MORE_PROCESSING_REQUIRED)
        return status;
    PFILE_OBJECT file = FileOf(irp); // the request is PortCls's once passed on
    WCHAR name[NameCharacters + 1];
    CopyObjectName(file, name);
    status = PcDispatchIrp(device, irp);
    // Pins and other objects created on a filter begin with a brace.
    if (status == STATUS_SUCCESS && name[0] != L'{')
        RecordFilterHandle(file, name);
    return status;
}

NTSTATUS Adapter::Close(PDEVICE_OBJECT device, PIRP irp)
{
    ForgetFilterHandle(FileOf(irp));
    const PipePair pipes = {&pipeRender, &pipeCapture};
    const NTSTATUS status = RoutePipeClose(pipes, irp);
    return status != STATUS_MORE_PROCESSING_REQUIRED ? status : PcDispatchIrp(device, irp);
}

NTSTATUS Adapter::DeviceControl(PDEVICE_OBJECT device, PIRP irp)
{
    const PipePair pipes = {&pipeRender, &pipeCapture};
    NTSTATUS status = RoutePipeControl(pipes, irp);
    if (status != STATUS_MORE_PROCESSING_REQUIRED)
        return status;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_KS_PROPERTY) {
        // A file object's close cannot overtake a request on it, so the
        // miniport found here stays valid while it answers.
        if (WaveMiniport *miniport = FilterOf(stack->FileObject)) {
            status = miniport->AnswerDataRanges(irp);
            if (status != STATUS_MORE_PROCESSING_REQUIRED)
                return status;
        }
    }
    return PcDispatchIrp(device, irp);
}

// ---- Filter handles -------------------------------------------------------------

void Adapter::RecordFilterHandle(PFILE_OBJECT file, const WCHAR *name)
{
    for (WaveMiniport *miniport : waves) {
        if (miniport == nullptr || !SameName(name, miniport->SubdeviceName()))
            continue;
        auto *entry = static_cast<FilterHandleEntry *>(Mosaik::MemAlloc(sizeof(FilterHandleEntry)));
        if (entry == nullptr)
            return; // the filter still opens; its data ranges come from PortCls
        entry->Node = Mosaik::ListNode{};
        entry->File = file;
        entry->Miniport = miniport;
        Mosaik::Lock(handleLock);
        filterHandles.PushBack(&entry->Node);
        Mosaik::Unlock(handleLock);
        return;
    }
}

WaveMiniport *Adapter::FilterOf(PFILE_OBJECT file)
{
    WaveMiniport *miniport = nullptr;
    Mosaik::Lock(handleLock);
    for (Mosaik::ListNode *node = filterHandles.First; node != nullptr; node = node->Next) {
        auto *entry = reinterpret_cast<FilterHandleEntry *>(node);
        if (entry->File == file) {
            miniport = entry->Miniport;
            break;
        }
    }
    Mosaik::Unlock(handleLock);
    return miniport;
}

void Adapter::ForgetFilterHandle(PFILE_OBJECT file)
{
    FilterHandleEntry *found = nullptr;
    Mosaik::Lock(handleLock);
    for (Mosaik::ListNode *node = filterHandles.First; node != nullptr; node = node->Next) {
        auto *entry = reinterpret_cast<FilterHandleEntry *>(node);
        if (entry->File == file) {
            filterHandles.Remove(node);
            found = entry;
            break;
        }
    }
    Mosaik::Unlock(handleLock);
    Mosaik::MemFree(found);
}

ULONG Adapter::FilterHandleCount()
{
    Mosaik::Lock(handleLock);
    const ULONG count = filterHandles.Count;
    Mosaik::Unlock(handleLock);
    return count;
}

Adapter::~Adapter()
{
    Mosaik::Lock(handleLock);
    while (Mosaik::ListNode *node = filterHandles.PopFront())
        Mosaik::MemFree(node);
    Mosaik::Unlock(handleLock);
}
