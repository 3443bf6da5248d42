// The writer the crash-safety test kills: it opens the container given on
// its command line, unlocks it with the certificate in "MY", and goes on
// from the generation it finds, forever. Generation k:
//   1. makes the empty file "g<k>" (a commit), then writes 100 bytes into it;
//   2. rewrites every 4096-byte block of "data.bin" (12 MiB) in a shuffled
//      order with the bytes of generation k;
//   3. appends k (8 bytes) to "log.bin";
//   4. sets the root's generation property to k, which commits 1 to 4,
//      and prints k.
// A killed writer must leave exactly what some generation's commit left.
#include "common/Base64.h"
#include "Container.h"
#include "CrashGeneration.h"
#include "KeyClient.h"

#include "cfxstorage.h"

#include <objbase.h>

#include <algorithm>
#include <cstdio>
#include <numeric>
#include <random>
#include <vector>

using namespace cfx::store;
using namespace cfx::store::test;
using cfx::fromBase64;

namespace {

std::wstring text(const Item& item, const GUID& property) {
    VARIANT value;
    item.getProperty(property, &value);
    std::wstring result = value.vt == VT_BSTR
                              ? std::wstring(value.bstrVal, SysStringLen(value.bstrVal))
                              : std::wstring();
    VariantClear(&value);
    return result;
}

int run(const std::wstring& path) {
    // Not durable: flushes to the disk protect against power failures, which
    // this writer does not meet; a killed process leaves the system's cache.
    auto storage = Container::open(path, Container::Options{false});
    Item root = storage->root();
    // Unlocked in process, as a tool holding the key does: the key record
    // decrypted with the certificate's private key.
    std::vector<BYTE> keyId = fromBase64(text(root, StorageProperty_KeyId));
    CRYPT_HASH_BLOB blob{static_cast<DWORD>(keyId.size()), keyId.data()};
    HCERTSTORE store = CertOpenSystemStoreW(0, L"MY");
    PCCERT_CONTEXT certificate =
        CertFindCertificateInStore(store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                   CERT_FIND_KEY_IDENTIFIER, &blob, nullptr);
    HCRYPTPROV provider = 0;
    DWORD keySpec = 0;
    BOOL release = FALSE;
    HCRYPTKEY key = 0;
    if (!certificate ||
        !CryptAcquireCertificatePrivateKey(certificate, 0, nullptr, &provider, &keySpec,
                                           &release) ||
        !CryptGetUserKey(provider, keySpec, &key))
        fail(HRESULT_FROM_WIN32(GetLastError()), L"The key certificate is not installed.");
    storage->unlock(decryptKeyRecord(key, fromBase64(text(root, StorageProperty_KeyRecord))));
    CryptDestroyKey(key);
    if (release)
        CryptReleaseContext(provider, 0);
    CertFreeCertificateContext(certificate);
    CertCloseStore(store, 0);

    VARIANT value;
    root.getProperty(kGenerationProperty, &value);
    ULONGLONG generation = value.vt == VT_UI8 ? value.ullVal : 0;
    Item data = *root.openFile(L"data.bin", true);
    Item log = *root.openFile(L"log.bin", true);
    for (;;) {
        ++generation;
        FileStream mark = root.openFile(L"g" + std::to_wstring(generation), true)->openStream();
        std::vector<BYTE> first = generationBytes(generation, 9999);
        mark.write(0, first.data(), 100);
        std::vector<size_t> order(kCrashBlocks);
        std::iota(order.begin(), order.end(), 0);
        std::shuffle(order.begin(), order.end(), std::mt19937(static_cast<unsigned>(generation)));
        FileStream stream = data.openStream();
        for (size_t block : order) {
            std::vector<BYTE> bytes = generationBytes(generation, block);
            stream.write(block * 4096, bytes.data(), 4096);
        }
        FileStream logStream = log.openStream();
        logStream.write(logStream.size(), &generation, sizeof generation);
        VARIANT number;
        VariantInit(&number);
        number.vt = VT_UI8;
        number.ullVal = generation;
        root.setProperty(kGenerationProperty, number);
        std::printf("%llu\n", static_cast<unsigned long long>(generation));
        std::fflush(stdout);
    }
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: store_crash_writer <container>\n");
        return 2;
    }
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    try {
        return run(argv[1]);
    } catch (const StoreError& e) {
        std::fprintf(stderr, "failed: 0x%08lX %ls\n", static_cast<unsigned long>(e.Error()),
                     e.description().c_str());
        return 1;
    }
}
