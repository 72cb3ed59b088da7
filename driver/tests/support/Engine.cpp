// The test engine on one endpoint.
#include "Engine.h"
#include "ControlProtocol.h"
#include "DriverUnderTest.h"

namespace ks_client {

namespace boundary = standin::io::boundary;

// Runs the calling thread in the engine's process for the scope.
class Engine::In {
public:
    explicit In(const Engine &engine) { boundary::EnterProcess(engine.process); }
    ~In() { boundary::LeaveProcess(); }
    In(const In &) = delete;
    In &operator=(const In &) = delete;
};

Engine::Engine(int pipe, bool is32Bit) : process(boundary::CreateClientProcess(is32Bit))
{
    In in(*this);
    const bool capture = pipe == PipeRender;
    ks_client::Open(driver_under_test::FilterPath(capture ? u"wave_c" : u"wave_r"), &wave);
    ks_client::Open(driver_under_test::FilterPath(capture ? u"topo_c" : u"topo_r"), &topology);
    boundary::CreateEvent(false, false, &formatEvent);
    boundary::CreateEvent(false, false, &jackEvent);
    EnableEvent(wave, KSEVENTSETID_PinCapsChange, KSEVENT_PINCAPS_FORMATCHANGE, 0, formatEvent, &formatData);
    EnableEvent(topology, KSEVENTSETID_PinCapsChange, KSEVENT_PINCAPS_JACKINFOCHANGE, capture ? 1 : 0, jackEvent,
                &jackData);
}

Engine::~Engine()
{
    if (!boundary::IsProcessEnded(process)) {
        In in(*this);
        pin.CloseHandle();
    }
    boundary::EndClientProcess(process); // its handles close with it
}

bool Engine::FormatChanged()
{
    In in(*this);
    const int64_t now = 0;
    return boundary::WaitForObject(formatEvent, &now) == 0;
}

bool Engine::JackChanged()
{
    In in(*this);
    const int64_t now = 0;
    return boundary::WaitForObject(jackEvent, &now) == 0;
}

Status Engine::Open(const DataFormatDesc &format)
{
    In in(*this);
    return pin.Create(wave, WaveFormat(format.SR, format.BPS, format.NC, format.BPC, format.CC));
}

Status Engine::OpenProposed()
{
    In in(*this);
    KSDATAFORMAT_WAVEFORMATEXTENSIBLE format = {};
    const Status status = PinProperty(wave, 0, KSPROPSETID_Pin, KSPROPERTY_PIN_PROPOSEDATAFORMAT,
                                      KSPROPERTY_TYPE_GET, &format, sizeof format)
                              .status;
    return status < 0 ? status : pin.Create(wave, format);
}

Status Engine::Close()
{
    In in(*this);
    return pin.CloseHandle();
}

Status Engine::Step(KSSTATE state)
{
    In in(*this);
    return pin.SetState(state);
}

Status Engine::AllocateBuffer(ULONG bytes, ULONG notifications)
{
    In in(*this);
    return pin.AllocateBuffer(bytes, notifications);
}

} // namespace ks_client
