/* The control channel's share of request routing: a create whose file name
   is a pipe's reference string opens that pipe, and the close and
   device-control requests of a pipe's owner go to that pipe. Anything else
   gives STATUS_MORE_PROCESSING_REQUIRED and is left to the caller. */
#pragma once

#include "ControlPipe.h"

struct PipePair {
    ControlPipe *Render;  // PipeRender, reference string ...\Render
    ControlPipe *Capture; // PipeCapture, reference string ...\Capture
};

// The pipe whose reference string is `name` exactly (case and length).
ControlPipe *PipeOfName(const PipePair &pipes, PCUNICODE_STRING name);
ControlPipe *PipeOfOwner(const PipePair &pipes, PFILE_OBJECT file);

NTSTATUS RoutePipeCreate(const PipePair &pipes, PIRP irp);
NTSTATUS RoutePipeClose(const PipePair &pipes, PIRP irp);
NTSTATUS RoutePipeControl(const PipePair &pipes, PIRP irp);
