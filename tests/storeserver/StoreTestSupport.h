// What the storage engine's tests share: a scratch folder per test, RSA 2048
// key certificates with their private keys in the current user's store, and
// the client's half of unlocking.
#pragma once

#include "Container.h"
#include "common/Variant.h"
#include "support/TestText.h"

#include <windows.h>
#include <wincrypt.h>

#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <string>
#include <vector>

namespace cfx::store::test {

// A self-signed certificate for an RSA 2048 key-exchange key kept in a key
// container of the test's prefix, with a Subject Key Identifier extension,
// installed in the current user's "MY" store with its private key.
struct KeyCertificate {
    std::vector<BYTE> encoded;
    std::vector<BYTE> keyId;
};

// Two different certificates, made on first use and kept for the process.
const KeyCertificate& firstCertificate();
const KeyCertificate& secondCertificate();

// A folder of its own under the temporary folder, removed with everything in
// it at the end of the test.
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

// Unlocks a container the way a client does: reads KeyRecord and KeyState,
// answers with the certificate in "MY", writes the answer back.
void unlockWithInstalledKey(Container& container);

// A new container for the first certificate, open and unlocked.
std::shared_ptr<Container> newContainer(const std::wstring& path, Container::Options options = {});

// The whole file's bytes, read and written.
std::vector<BYTE> fileBytes(const std::wstring& path);
void putFileBytes(const std::wstring& path, const std::vector<BYTE>& bytes);
ULONGLONG fileSize(const std::wstring& path);

std::wstring readText(const Item& item, const GUID& property);

// Runs a call that must fail with a StoreError of the HRESULT.
template <class Call> testing::AssertionResult failsWith(HRESULT expected, Call&& call) {
    try {
        call();
    } catch (const StoreError& e) {
        if (e.Error() == expected)
            return testing::AssertionSuccess();
        return testing::AssertionFailure()
               << "failed with 0x" << std::hex << static_cast<unsigned long>(e.Error())
               << " instead of 0x" << static_cast<unsigned long>(expected);
    } catch (...) {
        return testing::AssertionFailure() << "threw something other than a StoreError";
    }
    return testing::AssertionFailure() << "did not fail";
}

// The description of the StoreError a call raises (empty when none).
template <class Call> std::wstring failureText(Call&& call) {
    try {
        call();
    } catch (const StoreError& e) {
        return e.description();
    }
    return std::wstring();
}

// The MD5 digest of the bytes, as CryptoAPI computes it.
std::array<BYTE, 16> md5(const std::vector<BYTE>& bytes);

// Deterministic test bytes.
std::vector<BYTE> patternBytes(size_t size, unsigned seed);

using cfx::test::narrow;

} // namespace cfx::store::test
