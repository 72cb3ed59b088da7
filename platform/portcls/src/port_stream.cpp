// IPortWaveRTStream: what the port offers a miniport's WaveRT stream for its
// cyclic buffer — whole pages described by an MDL, unmapped until the stream
// maps them, freed by it again.
#include "internal.h"

#include <new>

namespace standin::portcls {

namespace {

class PortStream final : public SingleInterface<IPortWaveRTStream> {
public:
    PortStream() : SingleInterface(IID_IPortWaveRTStream) {}

    STDMETHODIMP_(PMDL) AllocatePagesForMdl(PHYSICAL_ADDRESS HighAddress, SIZE_T TotalBytes) override
    {
        PHYSICAL_ADDRESS low{}, skip{};
        return MmAllocatePagesForMdlEx(low, HighAddress, skip, TotalBytes, MmCached, MM_ALLOCATE_FULLY_REQUIRED);
    }
    STDMETHODIMP_(PMDL)
    AllocateContiguousPagesForMdl(PHYSICAL_ADDRESS LowAddress, PHYSICAL_ADDRESS HighAddress, SIZE_T TotalBytes) override
    {
        PHYSICAL_ADDRESS skip{};
        return MmAllocatePagesForMdlEx(LowAddress, HighAddress, skip, TotalBytes, MmCached, MM_ALLOCATE_FULLY_REQUIRED);
    }
    STDMETHODIMP_(PVOID) MapAllocatedPages(PMDL MemoryDescriptorList, MEMORY_CACHING_TYPE CacheType) override
    {
        return MmMapLockedPagesSpecifyCache(MemoryDescriptorList, KernelMode, CacheType, nullptr, FALSE,
                                            MappingPriority());
    }
    STDMETHODIMP_(VOID) UnmapAllocatedPages(PVOID BaseAddress, PMDL MemoryDescriptorList) override
    {
        MmUnmapLockedPages(BaseAddress, MemoryDescriptorList);
    }
    STDMETHODIMP_(VOID) FreePagesFromMdl(PMDL MemoryDescriptorList) override
    {
        MmFreePagesFromMdl(MemoryDescriptorList);
        ExFreePool(MemoryDescriptorList);
    }
    STDMETHODIMP_(ULONG) GetPhysicalPagesCount(PMDL MemoryDescriptorList) override
    {
        return ADDRESS_AND_SIZE_TO_SPAN_PAGES(MmGetMdlVirtualAddress(MemoryDescriptorList),
                                              MmGetMdlByteCount(MemoryDescriptorList));
    }
    STDMETHODIMP_(PHYSICAL_ADDRESS) GetPhysicalPageAddress(PMDL MemoryDescriptorList, ULONG Index) override
    {
        PHYSICAL_ADDRESS address{};
        if (Index < GetPhysicalPagesCount(MemoryDescriptorList))
            address.QuadPart = static_cast<LONGLONG>(MmGetMdlPfnArray(MemoryDescriptorList)[Index]) << PAGE_SHIFT;
        return address;
    }

private:
    ~PortStream() override = default;
};

} // namespace

NTSTATUS NewPortStream(IPortWaveRTStream **stream)
{
    auto *object = new (std::nothrow) PortStream;
    if (object == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    *stream = object;
    return STATUS_SUCCESS;
}

} // namespace standin::portcls
