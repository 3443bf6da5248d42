#include "server/ServerTestSupport.h"

#include "support/LoadedLibrary.h"
#include "support/MemoryStorage.h"
#include "common/ErrorObjectHook.h"

#include <objbase.h>

#include <comdef.h>

#include <cstdio>
#include <thread>

namespace cfx::test {

Bstr text(const std::wstring& value) {
    return Bstr(SysAllocStringLen(value.data(), static_cast<UINT>(value.size())));
}

std::wstring fromBstr(BSTR value) {
    return value ? std::wstring(value, SysStringLen(value)) : std::wstring();
}

RaisedComError comErrorOf(const std::function<void()>& action) {
    RaisedComError raised;
    try {
        action();
    } catch (const _com_error& e) {
        raised.hr = e.Error();
        raised.description = fromBstr(e.Description());
    } catch (const std::exception& e) {
        ADD_FAILURE() << "raised a standard exception instead of _com_error: " << e.what();
        raised.hr = E_UNEXPECTED;
    }
    return raised;
}

void lookAtMessageQueue() {
    MSG message;
    PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE);
}

void onNewThread(const std::function<void()>& action, bool apartment) {
    std::thread thread([&] {
        HRESULT initialized =
            apartment ? CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED) : S_FALSE;
        action();
        if (apartment && SUCCEEDED(initialized))
            CoUninitialize();
    });
    thread.join();
}

namespace {

// The program's single-threaded apartment, with the proxies of the server's
// interfaces registered and the error objects of failed calls carried back
// from the server's process.
class ComApartment : public testing::Environment {
public:
    void SetUp() override {
        ASSERT_TRUE(hrIs(S_OK, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
        ASSERT_TRUE(hrIs(S_OK, cfx::registerErrorObjectHook()));
        LoadedLibrary proxy(L"cfxstorageps.dll");
        ASSERT_TRUE(hrIs(S_OK, proxy.registerServer()));
    }
    void TearDown() override { CoUninitialize(); }
};

[[maybe_unused]] testing::Environment* const kApartment =
    testing::AddGlobalTestEnvironment(new ComApartment);

} // namespace

} // namespace cfx::test
