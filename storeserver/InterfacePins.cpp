#include "InterfacePins.h"

#include "OpenStorages.h"
#include "ServerEnum.h"
#include "ServerFile.h"
#include "ServerFolder.h"
#include "StorageServer.h"

#include "cfxstorage.h"
#include "common/Wine.h"

#include <objbase.h>

namespace cfx::storeserver {

namespace {

// Marshals the interface into a stream that is never released: its stub stays.
void pin(IUnknown* object, REFIID iid) {
    IStream* kept = nullptr;
    if (SUCCEEDED(CreateStreamOnHGlobal(nullptr, TRUE, &kept)))
        CoMarshalInterface(kept, iid, object, MSHCTX_LOCAL, nullptr, MSHLFLAGS_TABLESTRONG);
}

} // namespace

void pinServedInterfacesUnderWine(IClassFactory* factory) {
    if (!runningUnderWine())
        return;
    // Objects no client reaches: items of a storage that is never opened.
    const ItemPlace nowhere(std::make_shared<StorageEntry>(std::wstring()), std::nullopt);
    IStream* stream = nullptr;
    if (FAILED(CreateStreamOnHGlobal(nullptr, TRUE, &stream)))
        return;
    IUnknown* const root =
        static_cast<IStorageServer*>(new StorageServer(StorageServer::kUncounted));
    IUnknown* const folder = static_cast<IStorageFolder*>(new ServerFolder(nowhere));
    IUnknown* const file = static_cast<IStorageFile*>(new ServerFile(nowhere));
    IUnknown* const items = static_cast<IStorageEnum*>(new ServerEnum({}));
    const struct {
        IUnknown* object;
        const IID& iid;
    } pins[] = {
        {factory, IID_IClassFactory}, {root, IID_IStorageServer},   {root, IID_ISupportErrorInfo},
        {folder, IID_IStorageFolder}, {folder, IID_IStorageObject}, {folder, IID_IStorageItem},
        {file, IID_IStorageFile},     {items, IID_IStorageEnum},    {stream, IID_IStream},
    };
    for (const auto& kept : pins)
        pin(kept.object, kept.iid);
    for (IUnknown* made : {root, folder, file, items, static_cast<IUnknown*>(stream)})
        made->Release(); // the stubs hold them now
}

} // namespace cfx::storeserver
