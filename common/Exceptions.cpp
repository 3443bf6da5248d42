#include "common/Exceptions.h"

#include "common/SystemMessage.h"
#include "common/Text.h"

#include <new>

namespace cfx {

win_except::win_except(DWORD code) : code_(code), message_(systemMessage(code)) {
    what_ = message_.empty() ? "Windows error " + std::to_string(code_) : utf8(message_);
}

void throwLastError() {
    throw win_except(GetLastError());
}

void raise(HRESULT hr) {
    throw _com_error(hr);
}

CaughtException caughtException() noexcept {
    CaughtException caught;
    try {
        try {
            throw;
        } catch (const std::bad_alloc& e) {
            caught.hr = E_OUTOFMEMORY;
            caught.standard = true;
            caught.what = e.what();
        } catch (const DescribedError& e) {
            caught.hr = e.Error();
            caught.description = e.description();
        } catch (const _com_error& e) {
            caught.hr = e.Error();
        } catch (HRESULT hr) {
            caught.hr = hr;
        } catch (const win_except& e) {
            const LONG code = static_cast<LONG>(e.code());
            caught.hr = code > 0 ? static_cast<HRESULT>(0x80070000u | (e.code() & 0xFFFFu)) : code;
            caught.description = e.message();
            caught.standard = true;
            caught.what = e.what();
        } catch (const std::exception& e) {
            caught.hr = E_UNEXPECTED;
            caught.standard = true;
            caught.what = e.what();
        } catch (...) {
            caught.hr = E_UNEXPECTED;
        }
    } catch (...) {
        // No memory left for the texts: the HRESULT found so far stands.
        caught.description.clear();
        caught.what.clear();
    }
    return caught;
}

HRESULT hresultOfCurrentException() noexcept {
    return caughtException().hr;
}

} // namespace cfx
