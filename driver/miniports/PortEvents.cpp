// Pin-capability events of both miniports.
#include "PortEvents.h"

namespace {
// What an enable request gets without an entry or an event interface.
constexpr NTSTATUS EventNotAdded = static_cast<NTSTATUS>(0xF000FFFF);
constexpr ULONG AnyNode = 0xFFFFFFFF;
} // namespace

NTSTATUS HandlePinCapsEvent(PPCEVENT_REQUEST request, PPORTEVENTS events)
{
    switch (request->Verb) {
    case PCEVENT_VERB_ADD:
        if (request->EventEntry == nullptr || events == nullptr)
            return EventNotAdded;
        events->AddEventToEventList(request->EventEntry);
        return STATUS_SUCCESS;
    case PCEVENT_VERB_REMOVE:
    case PCEVENT_VERB_SUPPORT:
        return STATUS_SUCCESS;
    default:
        return STATUS_INVALID_PARAMETER;
    }
}

void RaisePinCapsEvent(PPORTEVENTS events, ULONG id, ULONG pin)
{
    if (events == nullptr)
        return;
    GUID set = KSEVENTSETID_PinCapsChange; // the port takes a writable set
    events->GenerateEventList(&set, id, TRUE, pin, FALSE, AnyNode);
}
