/* What both miniports do with their port: keep it and its event interface,
   let the port list the pin-capability events the engine enables, and raise
   them. */
#pragma once

#include "PortClsHeaders.h"

// Keeps a counted reference to the port and asks it for IPortEvents; the
// query's status is the result (no event interface on failure).
template <typename Port>
NTSTATUS BindPort(Port *newPort, Port *&port, PPORTEVENTS &events)
{
    newPort->AddRef();
    port = newPort;
    PVOID found = nullptr;
    const NTSTATUS status = newPort->QueryInterface(IID_IPortEvents, &found);
    events = NT_SUCCESS(status) ? static_cast<PPORTEVENTS>(found) : nullptr;
    return status;
}

template <typename Port>
void ReleasePort(Port *&port, PPORTEVENTS &events)
{
    if (events != nullptr)
        events->Release();
    events = nullptr;
    if (port != nullptr)
        port->Release();
    port = nullptr;
}

// A pin-capability event request, by verb: an enabled event goes onto the
// port's list; removal and the support query succeed.
NTSTATUS HandlePinCapsEvent(PPCEVENT_REQUEST request, PPORTEVENTS events);

// Signals every listed pin-capability event `id` of `pin`, on any node.
void RaisePinCapsEvent(PPORTEVENTS events, ULONG id, ULONG pin);
