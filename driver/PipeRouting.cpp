// Routing of create, close and device-control requests to the control pipes.
#include "PipeRouting.h"

namespace {

const WCHAR RenderName[] = PIPE_REFSTRING_RENDER;
const WCHAR CaptureName[] = PIPE_REFSTRING_CAPTURE;

bool IsName(PCUNICODE_STRING name, const WCHAR *text, USHORT characters)
{
    if (name == nullptr || name->Buffer == nullptr || name->Length != characters * sizeof(WCHAR))
        return false;
    for (USHORT i = 0; i < characters; ++i)
        if (name->Buffer[i] != text[i])
            return false;
    return true;
}

template <USHORT N>
bool IsName(PCUNICODE_STRING name, const WCHAR (&text)[N])
{
    return IsName(name, text, N - 1);
}

PFILE_OBJECT FileOf(PIRP irp) { return IoGetCurrentIrpStackLocation(irp)->FileObject; }

} // namespace

ControlPipe *PipeOfName(const PipePair &pipes, PCUNICODE_STRING name)
{
    if (IsName(name, RenderName))
        return pipes.Render;
    if (IsName(name, CaptureName))
        return pipes.Capture;
    return nullptr;
}

ControlPipe *PipeOfOwner(const PipePair &pipes, PFILE_OBJECT file)
{
    if (pipes.Render != nullptr && pipes.Render->IsOwner(file))
        return pipes.Render;
    if (pipes.Capture != nullptr && pipes.Capture->IsOwner(file))
        return pipes.Capture;
    return nullptr;
}

NTSTATUS RoutePipeCreate(const PipePair &pipes, PIRP irp)
{
    PFILE_OBJECT file = FileOf(irp);
    ControlPipe *pipe = file != nullptr ? PipeOfName(pipes, &file->FileName) : nullptr;
    return pipe != nullptr ? pipe->Open(irp) : STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS RoutePipeClose(const PipePair &pipes, PIRP irp)
{
    ControlPipe *pipe = PipeOfOwner(pipes, FileOf(irp));
    return pipe != nullptr ? pipe->Close(irp) : STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS RoutePipeControl(const PipePair &pipes, PIRP irp)
{
    ControlPipe *pipe = PipeOfOwner(pipes, FileOf(irp));
    return pipe != nullptr ? pipe->Control(irp) : STATUS_MORE_PROCESSING_REQUIRED;
}
