#ifndef PELORIN_STANDIN_COM_OBJECT_H
#define PELORIN_STANDIN_COM_OBJECT_H

// The stand-in's COM objects. A client holds an object's face: a pointer to a
// method table that is built at run time from the layout of one generation's
// interface (standin_generation.h), so that one implementation of a method
// serves it at every generation's position. IUnknown and IDispatch come first
// (late binding is not offered: typelib marshaling calls the table directly);
// every position that the layout leaves free holds a filler that journals its
// call and answers E_NOTIMPL.

#include <windows.h>
#include <oaidl.h>

#include "standin_generation.h"

// Any entry of a method table (the one function type that every other one
// may be cast to without a warning).
typedef void (*StandinMethod)(void);

class StandinObject;

struct StandinFace {
    const StandinMethod *methods;
    StandinObject *owner;
};

// The function that implements a method in this program; NULL for the
// methods of the other program (server or session DLL).
StandinMethod StandinImplementationOf(StandinMethodId method);

class StandinObject {
public:
    HRESULT QueryInterface(REFIID iid, void **out);
    ULONG AddRef();
    ULONG Release();
    HRESULT GetTypeInfoCount(UINT *count);
    HRESULT GetTypeInfo(UINT index, LCID locale, ITypeInfo **info);
    HRESULT GetIDsOfNames(REFIID iid, LPOLESTR *names, UINT count, LCID locale, DISPID *ids);
    HRESULT Invoke(DISPID id, REFIID iid, LCID locale, WORD flags, DISPPARAMS *parameters, VARIANT *result,
                   EXCEPINFO *exception, UINT *argumentError);

    // The object's own interface, without a new reference.
    void *Face() { return &face; }
    // A filler at that position was called: journal it, answer E_NOTIMPL.
    virtual HRESULT CallFiller(int position) = 0;

protected:
    // Without a layout the object answers only IUnknown and IDispatch.
    explicit StandinObject(const StandinInterfaceLayout *layout);
    virtual ~StandinObject() {}
    // A further interface of the same object, unreferenced; NULL when none.
    virtual void *QueryOtherInterface(REFIID) { return NULL; }

    const StandinInterfaceLayout *const layout;

private:
    StandinFace face;
    LONG references;
};

// Marshals an object as one interface of its own (the standard marshaler does
// the work; only the identifier is ours), so that the receiving process's
// proxy knows that interface and answers QueryInterface for it itself.
class StandinTypedMarshal : public IMarshal {
public:
    StandinTypedMarshal(IUnknown *marshaled, const GUID *typedIid) : object(marshaled), iid(typedIid) {}

    STDMETHODIMP QueryInterface(REFIID wanted, void **out) override { return object->QueryInterface(wanted, out); }
    STDMETHODIMP_(ULONG) AddRef() override { return object->AddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return object->Release(); }
    STDMETHODIMP GetUnmarshalClass(REFIID, void *, DWORD context, void *contextData, DWORD flags, CLSID *clsid) override;
    STDMETHODIMP GetMarshalSizeMax(REFIID, void *, DWORD context, void *contextData, DWORD flags, DWORD *size) override;
    STDMETHODIMP MarshalInterface(IStream *stream, REFIID, void *, DWORD context, void *contextData, DWORD flags) override;
    // Unmarshaling happens in the other process, by the standard marshaler.
    STDMETHODIMP UnmarshalInterface(IStream *, REFIID, void **out) override;
    STDMETHODIMP ReleaseMarshalData(IStream *stream) override;
    STDMETHODIMP DisconnectObject(DWORD reserved) override;

private:
    IMarshal *Standard(DWORD context, void *contextData, DWORD flags);

    IUnknown *object;
    const GUID *iid;
};

// The method table entry that calls Member on the object behind the face.
template <auto Member>
struct StandinThunk;
template <class Object, class... Arguments, HRESULT (Object::*Member)(Arguments...)>
struct StandinThunk<Member> {
    static HRESULT STDMETHODCALLTYPE Call(StandinFace *face, Arguments... arguments)
    {
        return (static_cast<Object *>(face->owner)->*Member)(arguments...);
    }
};

template <auto Member>
StandinMethod StandinEntry()
{
    return reinterpret_cast<StandinMethod>(&StandinThunk<Member>::Call);
}

// For an object that also implements a private interface declared in
// standin.idl (a C++ class): that face's IUnknown and IDispatch methods are the
// object's, so both faces share one identity.
#define STANDIN_SECOND_FACE \
    STDMETHODIMP QueryInterface(REFIID iid, void **out) override { return StandinObject::QueryInterface(iid, out); } \
    STDMETHODIMP_(ULONG) AddRef() override { return StandinObject::AddRef(); } \
    STDMETHODIMP_(ULONG) Release() override { return StandinObject::Release(); } \
    STDMETHODIMP GetTypeInfoCount(UINT *count) override { return StandinObject::GetTypeInfoCount(count); } \
    STDMETHODIMP GetTypeInfo(UINT index, LCID locale, ITypeInfo **info) override \
    { \
        return StandinObject::GetTypeInfo(index, locale, info); \
    } \
    STDMETHODIMP GetIDsOfNames(REFIID iid, LPOLESTR *names, UINT count, LCID locale, DISPID *ids) override \
    { \
        return StandinObject::GetIDsOfNames(iid, names, count, locale, ids); \
    } \
    STDMETHODIMP Invoke(DISPID id, REFIID iid, LCID locale, WORD flags, DISPPARAMS *parameters, VARIANT *result, \
                        EXCEPINFO *exception, UINT *argumentError) override \
    { \
        return StandinObject::Invoke(id, iid, locale, flags, parameters, result, exception, argumentError); \
    }

#endif
