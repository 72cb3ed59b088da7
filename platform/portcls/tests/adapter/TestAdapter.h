// A PortCls adapter driver written for the tests (not the product's): a
// WaveRT miniport with a stream and a topology miniport, registered as the
// subdevices "wave" and "topo" with a physical connection between them. The
// tests reach it only as Windows would, through its device interfaces and
// kernel-streaming requests; this header (no wide text, so client-side tests
// use it too) loads it, plays its hardware, and reports what it saw.
#pragma once

#include <guiddef.h>
#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace testadapter {

// The test miniports' private property set on the wave filter and pin:
// Value (GET/SET/BASICSUPPORT, a ULONG), Pended (GET, completed later from
// another thread), Probe (GET, records the request PortCls built).
constexpr GUID TestPropertySet = {0x7c1d9a40, 0x2b6e, 0x4f1a, {0x9d, 0x33, 0x51, 0x8e, 0x0a, 0x6c, 0x12, 0xd4}};
enum TestProperty : uint32_t { PropertyValue = 1, PropertyPended = 2, PropertyProbe = 3 };
// A node event of the topology filter's volume node.
constexpr GUID TestNodeEventSet = {0x0e4f2c11, 0x6a5d, 0x4b8e, {0xa1, 0x27, 0x3c, 0x90, 0xd2, 0x45, 0x7b, 0x18}};

// Pins and nodes of the two filters.
enum WavePin : uint32_t { WaveStreamingPin = 0, WaveBridgePin = 1 };
enum TopologyPin : uint32_t { TopologyBridgePin = 0, TopologyJackPin = 1 };
enum Node : uint32_t { WaveDacNode = 0, TopologyVolumeNode = 0 };

enum class DescriptorFault {
    None,
    Version,          // version 1
    PinSize,          // a pin size not a multiple of 8
    NodeSize,         // a node size smaller than the structure
    Connection,       // a connection to a pin that does not exist
    PropertyItemSize, // an automation table's property item size too small
    NullHandler,      // a property item without a handler
};

struct Config {
    bool capture = false;      // the streaming pin's data flows out (a capture pin)
    bool notification = true;  // the stream offers IMiniportWaveRTStreamNotification
    bool packets = true;       // ... and the packet interfaces
    bool clockRegister = true; // GetClockRegister answers (else STATUS_NOT_SUPPORTED)
    uint32_t maxGlobalInstances = 1;
    uint32_t maxFilterInstances = 1;
    int32_t newStreamStatus = 0; // NewStream fails with it when not 0
    uint32_t maxSubdevices = 2;  // PcAddAdapterDevice's limit
    uint32_t extensionSize = 0;  // PcAddAdapterDevice's device extension size
    bool holdPended = false;     // the Pended property completes only after ReleasePended
    uint32_t handlerYields = 64; // the Value handler yields this often inside (room to overlap)
    DescriptorFault descriptorFault = DescriptorFault::None;
    // The streaming pin answers the proposed-format property with the device
    // format (SetDeviceFormat changes it); else the port answers from the
    // data ranges.
    bool proposesFormat = false;
    uint32_t deviceRate = 48000; // 16-bit stereo PCM, or 32-bit float stereo at 48 kHz
    bool deviceFloat = false;
    // Buffers smaller than this are rounded up to it (0: none).
    uint32_t minimumBufferBytes = 0;
};

// What the driver saw since Load.
struct Observed {
    int32_t addDeviceStatus = 0, startStatus = 0;
    int32_t waveInitStatus = 0, waveRegisterStatus = 0, connectionStatus = 0;
    int newStreams = 0, streamsDestroyed = 0;
    uint32_t newStreamPin = 0;
    bool newStreamCapture = false;
    int deviceStateAtNewStream = 0;   // 1 = D0
    std::vector<uint32_t> states;     // every SetState, in order
    bool nonAdjacentState = false;    // a SetState that was not one step
    std::vector<uint32_t> formatsSet; // sample rates passed to SetFormat
    uint32_t requestedBuffer = 0, notificationCount = 0;
    int buffersAllocated = 0, buffersFreed = 0;
    int eventsRegistered = 0, eventsUnregistered = 0;
    int eventAdds = 0, eventRemoves = 0, eventSupports = 0;
    int miniportIntersections = 0;
    std::vector<int> adapterDeviceStates; // PowerChangeState2's device states
    std::vector<int> adapterSystemStates;
    std::vector<int> miniportPowerNotices; // IPowerNotify::PowerChangeNotify
    int maxConcurrentCalls = 0;            // miniport calls running at once
    // The last PCPROPERTY_REQUEST the Probe property saw.
    bool probeMajorIsMiniport = false, probeMinorIsStream = false, probeMinorNull = false;
    uint32_t probeNode = 0, probeVerb = 0, probeInstanceSize = 0, probeValueSize = 0;
    uint32_t probeInstanceFirst = 0;
};

int32_t Load(const Config &config);
// Removes the device and unloads (the kernel's leak check runs).
int32_t Unload();
Observed Snapshot();

// The hardware: the stream's position moves on by frames; each packet
// boundary crossed counts a packet and sets the registered events.
void Advance(uint32_t frames);
uint32_t PositionRegister(); // what the device's register holds
// The hardware moves on by frames and moves the audio as it goes: a render
// stream's frames are read out of the cyclic buffer into data, a capture
// stream's are written from data into it (data may be null). Returns the
// frames moved: 0 while no stream runs.
uint32_t Transfer(void *data, uint32_t frames);
// The notification events are set without a packet having completed.
void SignalNotification();

// The jack reports connected or not; the jack-information-change event fires.
void SetJack(bool connected);
// The device takes another format (proposesFormat); the format-change event
// fires on the streaming pin unless `announce` is false (an event still on
// its way). A stream that exists keeps its own.
void SetDeviceFormat(uint32_t rate, bool isFloat, bool announce = true);
// What the device reads from its cyclic buffer (through its own view).
uint32_t ReadBuffer(uint32_t offset);

// The miniport raises an event through IPortEvents (topology or wave port),
// from an interrupt (HIGH_LEVEL) when fromInterrupt.
void Generate(bool topology, const GUID *set, uint32_t id, bool pinEvent, uint32_t pin, bool nodeEvent, uint32_t node,
              bool fromInterrupt = false);

// The power manager: device states 1..4 (D0..D3), system states 1..6.
int32_t SetDevicePower(int state);
int32_t SetSystemPower(int state);

// Unplug and plug the wave filter (unregister and register the subdevice and
// its physical connection).
int32_t UnplugWave();
int32_t PlugWave();

// Waits (up to ten seconds) until a Pended request has reached the
// miniport; ReleasePended lets held ones complete.
bool WaitForPendedCall();
void ReleasePended();

// The kernel's fault injection, counting only the platform's operations
// (PortCls's own, not the miniports'): the descriptors of the registers and
// the views in client processes.
enum class PortFault { Mdl, UserMapping };
// Starts counting the port's operations of every kind from 0.
void CountPortOperations();
size_t PortOperations(PortFault kind);
// The n-th operation of kind from now on (1 = the next) fails once.
void FailPortOperation(PortFault kind, size_t n);
size_t InjectedPortFailures(PortFault kind);

// What the adapter driver (its miniports' own calls) and the platform
// (PortCls among it) hold now.
struct Holdings {
    size_t mdls = 0, mappings = 0;
    bool operator==(const Holdings &) const = default;
};
Holdings DriverHoldings();
Holdings PlatformHoldings();

// A second handle of the current process to the object behind handle, with
// only the given access (what an OpenEvent with fewer rights would give).
void *RestrictedHandle(void *handle, uint32_t access);

} // namespace testadapter
