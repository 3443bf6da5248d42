#include "common/PfxImport.h"

#include "common/Exceptions.h"
#include "common/Wine.h"
#include "common/WineKeyContainers.h"

namespace cfx {

std::vector<Certificate> ImportPfxBlob(const std::vector<BYTE>& pfx, const wchar_t* password) {
    constexpr DWORD kFlags = CRYPT_EXPORTABLE | CRYPT_USER_KEYSET;
    CRYPT_DATA_BLOB blob{static_cast<DWORD>(pfx.size()), const_cast<BYTE*>(pfx.data())};
    // Wine's import fails without setting an error code (a wrong password
    // among others): a code of 0 would read as success to whoever catches it.
    SetLastError(ERROR_SUCCESS);
    CertificateStore imported(PFXImportCertStore(&blob, password ? password : L"", kFlags));
    // Files written without a password differ in whether they want the empty
    // one or none at all.
    if (!imported && !password)
        imported.reset(PFXImportCertStore(&blob, nullptr, kFlags));
    if (!imported) {
        DWORD error = GetLastError();
        throw win_except(error != ERROR_SUCCESS ? error : ERROR_INVALID_PASSWORD);
    }

    std::vector<Certificate> certificates;
    Certificate current; // the enumeration's own reference, passed back to it
    while ((current = Certificate(CertEnumCertificatesInStore(imported.get(), current.release()))))
        certificates.push_back(current);
    if (runningUnderWine())
        moveImportedKeysToOwnContainers(certificates);
    return certificates;
}

} // namespace cfx
