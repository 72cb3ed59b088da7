/* Stand-in: the parts of the file-system kernel header that drivers use
   beyond wdm.h: attaching to a process's address space and waiting on a
   handle. */
#pragma once

#include <ntddk.h>

EXTERN_C_START

typedef struct _KAPC_STATE {
    LIST_ENTRY ApcListHead[2];
    PVOID Process; /* the process the thread was in before the attach */
    UCHAR InProgressFlags;
    BOOLEAN KernelApcPending;
    BOOLEAN UserApcPending;
} KAPC_STATE, *PKAPC_STATE, *PRKAPC_STATE;

/* Runs the calling thread in the process's address space until the matching
   KeUnstackDetachProcess; attaches nest, and each detach must name the state
   of the innermost attach. */
VOID KeStackAttachProcess(PRKPROCESS Process, PRKAPC_STATE ApcState);
VOID KeUnstackDetachProcess(PRKAPC_STATE ApcState);

NTSTATUS ZwWaitForSingleObject(HANDLE Handle, BOOLEAN Alertable, PLARGE_INTEGER Timeout);

/* The process with the id, referenced (ObDereferenceObject when done);
   STATUS_INVALID_CID when there is none. A process that has ended is
   still found while its object lives. */
NTSTATUS PsLookupProcessByProcessId(HANDLE ProcessId, PEPROCESS *Process);

EXTERN_C_END
