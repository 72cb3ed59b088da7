// OmbDriver: finds the first present, active interface of the driver's class
// with the device-installation functions and opens pipes on it.
#include <new>
#include "ombapi.h"
#include <setupapi.h>
#include "Status.h"

namespace Ombrivo {

namespace {

constexpr DWORD InterfaceSetFlags = DIGCF_PRESENT | DIGCF_PROFILE | DIGCF_DEVICEINTERFACE;
constexpr unsigned PathCharacters = 260;
// The detail block: the fixed part and room for a path of 260 characters.
constexpr DWORD DetailBytes = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) + PathCharacters * sizeof(WCHAR);

} // namespace

OmbDriver::OmbDriver(const GUID &classId) : classId(classId) { interfacePath[0] = L'\0'; }

OmbDriver::~OmbDriver() { Close(); }

HRESULT OmbDriver::Create(OmbDriver *&driver, const GUID &classId)
{
    driver = nullptr;
    OmbDriver *created = new (std::nothrow) OmbDriver(classId);
    if (created == nullptr)
        return StatusOutOfMemory;
    driver = created;
    return S_OK;
}

void OmbDriver::Delete()
{
    OmbDriver *volatile self = this; // the compiler may not assume this is set
    if (self == nullptr)
        return;
    delete self;
}

HRESULT OmbDriver::Open()
{
    Check();
    const HRESULT status = FindInterface();
    return FAILED(status) ? status : S_OK;
}

void OmbDriver::Close()
{
    Check();
    interfacePath[0] = L'\0';
}

bool OmbDriver::IsOpen() const { return interfacePath[0] != L'\0'; }

const GUID &OmbDriver::GetClassId() const { return classId; }

HRESULT OmbDriver::CreatePipe(OmbPipe *&pipe, bool capture)
{
    Check();
    OmbPipe *created = new (std::nothrow) OmbPipe(this, capture);
    if (created == nullptr)
        return StatusOutOfMemory;
    const HRESULT status = created->Open(interfacePath);
    if (FAILED(status)) {
        created->Delete();
        return status;
    }
    pipe = created;
    return S_OK;
}

void OmbDriver::Check() const {}

HRESULT OmbDriver::FindInterface()
{
    HDEVINFO set = SetupDiGetClassDevsW(&classId, nullptr, nullptr, InterfaceSetFlags);
    if (set == INVALID_HANDLE_VALUE)
        return StatusFromSetupError(GetLastError());

    HRESULT status = StatusGenericFailure;
    SP_DEVICE_INTERFACE_DATA interfaceData = {};
    interfaceData.cbSize = sizeof interfaceData;
    if (!SetupDiEnumDeviceInterfaces(set, nullptr, &classId, 0, &interfaceData)) {
        status = StatusFromSetupError(GetLastError());
        if (status == StatusNoMoreItems)
            status = StatusNoInterface;
    } else if (interfaceData.Flags & SPINT_ACTIVE) {
        alignas(SP_DEVICE_INTERFACE_DETAIL_DATA_W) unsigned char detailBytes[DetailBytes] = {};
        auto *detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W *>(detailBytes);
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        SP_DEVINFO_DATA deviceData = {};
        deviceData.cbSize = sizeof deviceData;
        if (!SetupDiGetDeviceInterfaceDetailW(set, &interfaceData, detail, DetailBytes, nullptr, &deviceData)) {
            status = StatusFromSetupError(GetLastError());
        } else if (wcslen(detail->DevicePath) >= PathCharacters) {
            status = StatusPathTooLong;
        } else {
            wcscpy(interfacePath, detail->DevicePath);
            status = S_OK;
        }
    }
    SetupDiDestroyDeviceInfoList(set);
    return status;
}

} // namespace Ombrivo
