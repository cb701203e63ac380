// Keeps the server's interfaces registered with the RPC runtime for as long as
// it runs. Under Wine, COM unregisters an interface when the last object stub
// of it goes, and it waits there for that interface's calls in progress while
// holding the lock that every marshaling takes: a call in progress that hands
// out an object then waits for the lock, and the server hangs for good. Seen
// with connections from several processes at once, where the class factory's
// stub goes and comes with each connection. One object of ours, marshaled for
// the server's life under every interface that the server hands out, keeps
// every registration above zero.
#include <string.h>

#include <vector>

#include "server.h"

namespace {

std::vector<IID> PinnedIids;
std::vector<IStream *> PinStreams;

int IsPinned(REFIID iid)
{
    for (const IID &pinned : PinnedIids) {
        if (IsEqualIID(pinned, iid))
            return 1;
    }
    return 0;
}

// Answers exactly the pinned interfaces (never IMarshal and the like, which
// COM would then call); nobody ever calls it through them.
class RegistrationPin : public IUnknown {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **out) override
    {
        *out = IsEqualIID(iid, IID_IUnknown) || IsPinned(iid) ? this : NULL;
        return *out != NULL ? S_OK : E_NOINTERFACE;
    }
    // Lives as long as the process.
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
};

RegistrationPin Pin;

void AddIid(REFIID iid)
{
    if (!IsPinned(iid))
        PinnedIids.push_back(iid);
}

}  // namespace

void PinInterfaceRegistrations(void)
{
    AddIid(IID_IClassFactory);
    AddIid(IID_IServiceProvider);
    AddIid(IID_IDispatch);
    AddIid(IID_IStandinLock);
    for (const StandinGeneration &generation : StandinGenerations) {
        for (const StandinInterfaceLayout &layout : generation.interfaces) {
            AddIid(layout.iid);
            AddIid(layout.marshalIid);
        }
    }
    for (const IID &iid : PinnedIids) {
        IStream *stream = NULL;
        if (FAILED(CreateStreamOnHGlobal(NULL, TRUE, &stream)))
            continue;
        if (SUCCEEDED(CoMarshalInterface(stream, iid, &Pin, MSHCTX_LOCAL, NULL, MSHLFLAGS_TABLESTRONG)))
            PinStreams.push_back(stream);
        else
            stream->Release();
    }
}

void UnpinInterfaceRegistrations(void)
{
    for (IStream *stream : PinStreams) {
        LARGE_INTEGER start = {};
        stream->Seek(start, STREAM_SEEK_SET, NULL);
        CoReleaseMarshalData(stream);
        stream->Release();
    }
    PinStreams.clear();
}
