#include "com_object.h"

#include "standin_store.h"

#include <utility>

namespace {

HRESULT STDMETHODCALLTYPE FaceQueryInterface(StandinFace *face, REFIID iid, void **out)
{
    return face->owner->QueryInterface(iid, out);
}

ULONG STDMETHODCALLTYPE FaceAddRef(StandinFace *face)
{
    return face->owner->AddRef();
}

ULONG STDMETHODCALLTYPE FaceRelease(StandinFace *face)
{
    return face->owner->Release();
}

HRESULT STDMETHODCALLTYPE FaceGetTypeInfoCount(StandinFace *face, UINT *count)
{
    return face->owner->GetTypeInfoCount(count);
}

HRESULT STDMETHODCALLTYPE FaceGetTypeInfo(StandinFace *face, UINT index, LCID locale, ITypeInfo **info)
{
    return face->owner->GetTypeInfo(index, locale, info);
}

HRESULT STDMETHODCALLTYPE FaceGetIDsOfNames(StandinFace *face, REFIID iid, LPOLESTR *names, UINT count, LCID locale,
                                            DISPID *ids)
{
    return face->owner->GetIDsOfNames(iid, names, count, locale, ids);
}

HRESULT STDMETHODCALLTYPE FaceInvoke(StandinFace *face, DISPID id, REFIID iid, LCID locale, WORD flags,
                                     DISPPARAMS *parameters, VARIANT *result, EXCEPINFO *exception, UINT *argumentError)
{
    return face->owner->Invoke(id, iid, locale, flags, parameters, result, exception, argumentError);
}

template <class Function>
StandinMethod AsMethod(Function function)
{
    return reinterpret_cast<StandinMethod>(function);
}

const int FirstOwnPosition = 7;
const StandinMethod BaseMethods[FirstOwnPosition] = {
    AsMethod(&FaceQueryInterface), AsMethod(&FaceAddRef), AsMethod(&FaceRelease), AsMethod(&FaceGetTypeInfoCount),
    AsMethod(&FaceGetTypeInfo), AsMethod(&FaceGetIDsOfNames), AsMethod(&FaceInvoke),
};

// A filler knows its position from its instance: it takes no arguments (the
// caller cleans up whatever a wrong call passed, in this ABI).
template <int Position>
HRESULT STDMETHODCALLTYPE Filler(StandinFace *face)
{
    return face->owner->CallFiller(Position);
}

struct FillerTable {
    StandinMethod at[STANDIN_LAST_POSITION + 1];

    template <size_t... Positions>
    explicit FillerTable(std::index_sequence<Positions...>) : at{ AsMethod(&Filler<(int)Positions>)... }
    {
    }
};

const FillerTable Fillers(std::make_index_sequence<STANDIN_LAST_POSITION + 1>{});

// Every generation's tables, built when the first object is made and kept
// for the life of the program.
StandinMethod Tables[STANDIN_LAYOUT_COUNT][STANDIN_LAST_POSITION + 1];

bool BuildTables()
{
    for (const StandinGeneration &generation : StandinGenerations) {
        for (const StandinInterfaceLayout &layout : generation.interfaces) {
            StandinMethod *table = Tables[layout.index];
            for (int position = 0; position <= layout.lastPosition; position++)
                table[position] = position < FirstOwnPosition ? BaseMethods[position] : Fillers.at[position];
            for (int i = 0; i < layout.slotCount; i++) {
                StandinMethod implementation = StandinImplementationOf(layout.slots[i].method);
                if (implementation != NULL)
                    table[layout.slots[i].position] = implementation;
            }
        }
    }
    return true;
}

const StandinMethod *MethodTableOf(const StandinInterfaceLayout *layout)
{
    // A function's static is initialised once, even when threads race for it.
    static const bool built = BuildTables();
    if (layout == NULL || !built)
        return BaseMethods;
    return Tables[layout->index];
}

}  // namespace

StandinObject::StandinObject(const StandinInterfaceLayout *interfaceLayout)
    : layout(interfaceLayout), references(1)
{
    face.methods = MethodTableOf(interfaceLayout);
    face.owner = this;
}

HRESULT StandinObject::QueryInterface(REFIID iid, void **out)
{
    if (out == NULL)
        return E_POINTER;
    *out = NULL;
    // A later release that changed this interface answers another identifier.
    GUID other;
    bool mismatched = layout != NULL && ReadStandinMismatch(layout->name, &other);
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch) ||
        (mismatched && IsEqualIID(iid, other)) ||
        (!mismatched && layout != NULL && (IsEqualIID(iid, layout->iid) || IsEqualIID(iid, layout->marshalIid))))
        *out = &face;
    else
        *out = QueryOtherInterface(iid);
    if (*out == NULL)
        return E_NOINTERFACE;
    AddRef();
    return S_OK;
}

ULONG StandinObject::AddRef()
{
    return (ULONG)InterlockedIncrement(&references);
}

ULONG StandinObject::Release()
{
    LONG left = InterlockedDecrement(&references);
    if (left == 0)
        delete this;
    return (ULONG)left;
}

HRESULT StandinObject::GetTypeInfoCount(UINT *count)
{
    if (count == NULL)
        return E_POINTER;
    *count = 0;
    return S_OK;
}

HRESULT StandinObject::GetTypeInfo(UINT, LCID, ITypeInfo **info)
{
    if (info != NULL)
        *info = NULL;
    return E_NOTIMPL;
}

HRESULT StandinObject::GetIDsOfNames(REFIID, LPOLESTR *, UINT, LCID, DISPID *)
{
    return E_NOTIMPL;
}

HRESULT StandinObject::Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS *, VARIANT *, EXCEPINFO *, UINT *)
{
    return E_NOTIMPL;
}

IMarshal *StandinTypedMarshal::Standard(DWORD context, void *contextData, DWORD flags)
{
    IMarshal *standard = NULL;
    if (FAILED(CoGetStandardMarshal(*iid, object, context, contextData, flags, &standard)))
        return NULL;
    return standard;
}

STDMETHODIMP StandinTypedMarshal::GetUnmarshalClass(REFIID, void *, DWORD context, void *contextData, DWORD flags,
                                                    CLSID *clsid)
{
    IMarshal *standard = Standard(context, contextData, flags);
    if (standard == NULL)
        return E_OUTOFMEMORY;
    HRESULT result = standard->GetUnmarshalClass(*iid, object, context, contextData, flags, clsid);
    standard->Release();
    return result;
}

STDMETHODIMP StandinTypedMarshal::GetMarshalSizeMax(REFIID, void *, DWORD context, void *contextData, DWORD flags,
                                                    DWORD *size)
{
    IMarshal *standard = Standard(context, contextData, flags);
    if (standard == NULL)
        return E_OUTOFMEMORY;
    HRESULT result = standard->GetMarshalSizeMax(*iid, object, context, contextData, flags, size);
    standard->Release();
    return result;
}

STDMETHODIMP StandinTypedMarshal::MarshalInterface(IStream *stream, REFIID, void *, DWORD context, void *contextData,
                                                   DWORD flags)
{
    IMarshal *standard = Standard(context, contextData, flags);
    if (standard == NULL)
        return E_OUTOFMEMORY;
    HRESULT result = standard->MarshalInterface(stream, *iid, object, context, contextData, flags);
    standard->Release();
    return result;
}

STDMETHODIMP StandinTypedMarshal::UnmarshalInterface(IStream *, REFIID, void **out)
{
    if (out != NULL)
        *out = NULL;
    return E_NOTIMPL;
}

STDMETHODIMP StandinTypedMarshal::ReleaseMarshalData(IStream *stream)
{
    IMarshal *standard = Standard(MSHCTX_LOCAL, NULL, MSHLFLAGS_NORMAL);
    if (standard == NULL)
        return E_OUTOFMEMORY;
    HRESULT result = standard->ReleaseMarshalData(stream);
    standard->Release();
    return result;
}

STDMETHODIMP StandinTypedMarshal::DisconnectObject(DWORD reserved)
{
    IMarshal *standard = Standard(MSHCTX_LOCAL, NULL, MSHLFLAGS_NORMAL);
    if (standard == NULL)
        return E_OUTOFMEMORY;
    HRESULT result = standard->DisconnectObject(reserved);
    standard->Release();
    return result;
}
