#ifndef PELORIN_STANDIN_COM_OBJECT_H
#define PELORIN_STANDIN_COM_OBJECT_H

// IUnknown and IDispatch for the stand-in's objects. They are reached only
// through their method tables (typelib marshaling calls those directly), so
// late binding through IDispatch is not offered.

#include <windows.h>
#include <oaidl.h>

template <class Interface>
class StandinObject : public Interface {
public:
    STDMETHODIMP QueryInterface(REFIID iid, void **out) override
    {
        if (out == NULL)
            return E_POINTER;
        *out = NULL;
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch) || IsEqualIID(iid, __uuidof(Interface)))
            *out = static_cast<Interface *>(this);
        else
            *out = QueryOtherInterface(iid);
        if (*out == NULL)
            return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override
    {
        return (ULONG)InterlockedIncrement(&references);
    }
    STDMETHODIMP_(ULONG) Release() override
    {
        LONG left = InterlockedDecrement(&references);
        if (left == 0)
            delete this;
        return (ULONG)left;
    }
    STDMETHODIMP GetTypeInfoCount(UINT *count) override
    {
        if (count == NULL)
            return E_POINTER;
        *count = 0;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo **info) override
    {
        if (info != NULL)
            *info = NULL;
        return E_NOTIMPL;
    }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR *, UINT, LCID, DISPID *) override
    {
        return E_NOTIMPL;
    }
    STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS *, VARIANT *, EXCEPINFO *, UINT *) override
    {
        return E_NOTIMPL;
    }

protected:
    StandinObject() : references(1) {}
    virtual ~StandinObject() {}
    // A second interface of the same object, unreferenced; NULL when none.
    virtual void *QueryOtherInterface(REFIID) { return NULL; }

private:
    LONG references;
};

// For an object with a second IDispatch-derived face: that face's IUnknown and
// IDispatch methods are the first face's, so both share one identity.
#define STANDIN_SECOND_FACE(Base) \
    STDMETHODIMP QueryInterface(REFIID iid, void **out) override { return Base::QueryInterface(iid, out); } \
    STDMETHODIMP_(ULONG) AddRef() override { return Base::AddRef(); } \
    STDMETHODIMP_(ULONG) Release() override { return Base::Release(); } \
    STDMETHODIMP GetTypeInfoCount(UINT *count) override { return Base::GetTypeInfoCount(count); } \
    STDMETHODIMP GetTypeInfo(UINT index, LCID locale, ITypeInfo **info) override \
    { \
        return Base::GetTypeInfo(index, locale, info); \
    } \
    STDMETHODIMP GetIDsOfNames(REFIID iid, LPOLESTR *names, UINT count, LCID locale, DISPID *ids) override \
    { \
        return Base::GetIDsOfNames(iid, names, count, locale, ids); \
    } \
    STDMETHODIMP Invoke(DISPID id, REFIID iid, LCID locale, WORD flags, DISPPARAMS *parameters, VARIANT *result, \
                        EXCEPINFO *exception, UINT *argumentError) override \
    { \
        return Base::Invoke(id, iid, locale, flags, parameters, result, exception, argumentError); \
    }

#endif
