/* One piece of memory a pipe shares with its client: whole locked pages
   described by a memory descriptor list, mapped once into system space and,
   while a client holds the pipe, into the client's process. */
#pragma once

#include <wdm.h>

struct SharedPages {
    PMDL Mdl = nullptr;
    PVOID SystemView = nullptr;
    // In the owner's process; null when not mapped. Read without a lock.
    PVOID volatile UserView = nullptr;
};

/* The page priority (with the no-execute flag where the system knows it) of
   every view the driver makes of its pages. */
ULONG MappingPriority();

/* Zero-filled pages for at least `bytes`, mapped into system space.
   0 or STATUS_INSUFFICIENT_RESOURCES; a failure leaves nothing behind. */
NTSTATUS AllocateSharedPages(SharedPages &pages, ULONG bytes);

/* Maps the pages into the current process, under the exception guard.
   0, STATUS_INSUFFICIENT_RESOURCES or the code of the exception the
   mapping raised; a failure leaves no user view. */
NTSTATUS MapSharedPagesToUser(SharedPages &pages);

/* Removes the user view, if any; runs in the process that holds it. */
void UnmapSharedPagesFromUser(SharedPages &pages);

/* Unmaps the system view and frees the pages and their descriptor. */
void ReleaseSharedPages(SharedPages &pages);
