/* What an endpoint link needs of its endpoint's two miniports. The WaveRT and
   topology miniports implement these beside their PortCls interfaces; until
   they are registered the link's pointers are null and nothing reaches them. */
#pragma once

#include <wdm.h>

class EndpointWave {
public:
    // True exactly while a stream of the endpoint is attached.
    virtual bool HasCurrentStream() = 0;
    // Raises the format-change event of the streaming pin.
    virtual void RaiseFormatChange() = 0;
    // Lets the current stream, if any, take up the device position.
    virtual void UpdateCurrentStream() = 0;
    // Drops the reference the link holds.
    virtual void ReleaseFromLink() = 0;

protected:
    ~EndpointWave() = default;
};

class EndpointTopology {
public:
    // Raises the jack-information-change event.
    virtual void RaiseJackInfoChange() = 0;
    // Drops the reference the link holds.
    virtual void ReleaseFromLink() = 0;

protected:
    ~EndpointTopology() = default;
};
