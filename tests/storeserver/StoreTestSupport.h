// What the storage engine's tests share: scratch folders, RSA 2048 key
// certificates installed in "MY", and the client's half of unlocking.
#pragma once

#include "Container.h"
#include "common/Variant.h"
#include "support/TestText.h"

#include <windows.h>
#include <wincrypt.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace cfx::store::test {

using cfx::test::narrow;

// A self-signed certificate with a Subject Key Identifier, installed in "MY".
struct KeyCertificate {
    std::vector<BYTE> encoded;
    std::vector<BYTE> keyId;
};

const KeyCertificate& firstCertificate();

// A folder of its own under the temporary folder, removed with all it holds.
class ScratchFolder {
public:
    ScratchFolder();
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    const std::wstring& path() const { return path_; }
    std::wstring file(const std::wstring& name) const { return path_ + L"\\" + name; }

private:
    std::wstring path_;
};

// The client's answer to a key-state request, with the certificate in "MY".
std::wstring answerWithInstalledKey(const std::wstring& keyRecord, const std::wstring& keyState);
void unlockWithInstalledKey(Container& container);

// A new container for the first certificate, open and unlocked.
std::shared_ptr<Container> newContainer(const std::wstring& path, Container::Options options = {});

std::vector<BYTE> fileBytes(const std::wstring& path);
void putFileBytes(const std::wstring& path, const std::vector<BYTE>& bytes);
ULONGLONG fileSize(const std::wstring& path);

std::wstring readText(const Item& item, const GUID& property);

// The HRESULT of the StoreError a call raises (S_OK when none); the
// description, when asked for, must name the text.
template <class Call> HRESULT errorOf(Call&& call, const std::wstring& named = {}) {
    try {
        call();
    } catch (const StoreError& e) {
        EXPECT_NE(e.description().find(named), std::wstring::npos) << narrow(e.description());
        return e.Error();
    }
    return S_OK;
}

std::vector<BYTE> patternBytes(size_t size, unsigned seed);

} // namespace cfx::store::test
