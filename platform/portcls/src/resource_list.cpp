// IResourceList: the partial descriptors a started device was given, raw and
// translated side by side, and sublists an adapter builds from them for each
// miniport.
#include "internal.h"

#include <new>

namespace standin::portcls {

namespace {

class ResourceList final : public SingleInterface<IResourceList> {
public:
    // A copy of the first full descriptor's partial descriptors of each list.
    ResourceList(PCM_RESOURCE_LIST translated, PCM_RESOURCE_LIST untranslated) : SingleInterface(IID_IResourceList)
    {
        Copy(translated, translated_);
        Copy(untranslated, untranslated_);
        if (untranslated_.size() != translated_.size())
            untranslated_.resize(translated_.size());
        capacity_ = translated_.size();
    }

    explicit ResourceList(ULONG capacity) : SingleInterface(IID_IResourceList), capacity_(capacity) {}

    STDMETHODIMP_(ULONG) NumberOfEntries() override { return static_cast<ULONG>(translated_.size()); }
    STDMETHODIMP_(ULONG) NumberOfEntriesOfType(CM_RESOURCE_TYPE Type) override
    {
        ULONG count = 0;
        for (const auto &entry : translated_)
            count += entry.Type == Type;
        return count;
    }
    STDMETHODIMP_(PCM_PARTIAL_RESOURCE_DESCRIPTOR) FindTranslatedEntry(CM_RESOURCE_TYPE Type, ULONG Index) override
    {
        return Find(translated_, Type, Index);
    }
    STDMETHODIMP_(PCM_PARTIAL_RESOURCE_DESCRIPTOR) FindUntranslatedEntry(CM_RESOURCE_TYPE Type, ULONG Index) override
    {
        const size_t at = Position(translated_, Type, Index);
        return at < untranslated_.size() ? &untranslated_[at] : nullptr;
    }
    STDMETHODIMP_(NTSTATUS)
    AddEntry(PCM_PARTIAL_RESOURCE_DESCRIPTOR Translated, PCM_PARTIAL_RESOURCE_DESCRIPTOR Untranslated) override
    {
        if (Translated == nullptr || Untranslated == nullptr)
            return STATUS_INVALID_PARAMETER;
        if (translated_.size() >= capacity_)
            return STATUS_INSUFFICIENT_RESOURCES;
        translated_.push_back(*Translated);
        untranslated_.push_back(*Untranslated);
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(NTSTATUS) AddEntryFromParent(IResourceList *Parent, CM_RESOURCE_TYPE Type, ULONG Index) override
    {
        if (Parent == nullptr)
            return STATUS_INVALID_PARAMETER;
        PCM_PARTIAL_RESOURCE_DESCRIPTOR translated = Parent->FindTranslatedEntry(Type, Index);
        PCM_PARTIAL_RESOURCE_DESCRIPTOR untranslated = Parent->FindUntranslatedEntry(Type, Index);
        if (translated == nullptr || untranslated == nullptr)
            return STATUS_INVALID_PARAMETER;
        return AddEntry(translated, untranslated);
    }
    STDMETHODIMP_(PCM_RESOURCE_LIST) TranslatedList() override { return Build(translated_, translatedList_); }
    STDMETHODIMP_(PCM_RESOURCE_LIST) UntranslatedList() override { return Build(untranslated_, untranslatedList_); }

private:
    using Entries = std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR>;

    static void Copy(PCM_RESOURCE_LIST list, Entries &into)
    {
        if (list == nullptr || list->Count == 0)
            return;
        const CM_PARTIAL_RESOURCE_LIST &partial = list->List[0].PartialResourceList;
        for (ULONG i = 0; i < partial.Count; ++i)
            into.push_back(partial.PartialDescriptors[i]);
    }

    static size_t Position(const Entries &entries, CM_RESOURCE_TYPE type, ULONG index)
    {
        for (size_t i = 0; i < entries.size(); ++i)
            if (entries[i].Type == type && index-- == 0)
                return i;
        return entries.size();
    }

    static PCM_PARTIAL_RESOURCE_DESCRIPTOR Find(Entries &entries, CM_RESOURCE_TYPE type, ULONG index)
    {
        const size_t at = Position(entries, type, index);
        return at < entries.size() ? &entries[at] : nullptr;
    }

    // A CM_RESOURCE_LIST with one full descriptor holding the entries.
    static PCM_RESOURCE_LIST Build(const Entries &entries, std::vector<uint64_t> &storage)
    {
        const size_t count = entries.empty() ? 1 : entries.size();
        const size_t bytes = sizeof(CM_RESOURCE_LIST) + (count - 1) * sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR);
        storage.assign((bytes + 7) / 8, 0);
        auto *list = reinterpret_cast<PCM_RESOURCE_LIST>(storage.data());
        list->Count = 1;
        list->List[0].InterfaceType = Internal;
        list->List[0].PartialResourceList.Version = 1;
        list->List[0].PartialResourceList.Revision = 1;
        list->List[0].PartialResourceList.Count = static_cast<ULONG>(entries.size());
        for (size_t i = 0; i < entries.size(); ++i)
            list->List[0].PartialResourceList.PartialDescriptors[i] = entries[i];
        return list;
    }

    Entries translated_, untranslated_;
    size_t capacity_ = 0;
    std::vector<uint64_t> translatedList_, untranslatedList_;
};

} // namespace

} // namespace standin::portcls

using namespace standin::portcls;

extern "C" NTSTATUS PcNewResourceList(PRESOURCELIST *OutResourceList, PUNKNOWN OuterUnknown, POOL_TYPE PoolType,
                                      PCM_RESOURCE_LIST TranslatedResources, PCM_RESOURCE_LIST UntranslatedResources)
{
    if (OutResourceList == nullptr)
        return STATUS_INVALID_PARAMETER;
    *OutResourceList = nullptr;
    auto *list = new (std::nothrow) ResourceList(TranslatedResources, UntranslatedResources);
    if (list == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    *OutResourceList = list;
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS PcNewResourceSublist(PRESOURCELIST *OutResourceList, PUNKNOWN OuterUnknown, POOL_TYPE PoolType,
                                         PRESOURCELIST ParentList, ULONG MaximumEntries)
{
    if (OutResourceList == nullptr)
        return STATUS_INVALID_PARAMETER;
    *OutResourceList = nullptr;
    if (ParentList == nullptr)
        return STATUS_INVALID_PARAMETER;
    auto *list = new (std::nothrow) ResourceList(MaximumEntries);
    if (list == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    *OutResourceList = list;
    return STATUS_SUCCESS;
}
