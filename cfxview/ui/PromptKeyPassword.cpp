#include "ui/PromptKeyPassword.h"

#include "common/Exceptions.h"
#include "server/ErrorReport.h"
#include "ui/InputDialog.h"
#include "ui/resource.h"

namespace cfx::ui {

bool PromptKeyPassword(HMODULE module, HWND owner, std::wstring& password) {
    InputDialogRequest request;
    request.module = module;
    request.prompt = L"Please, input key password:";
    request.caption = server::kMessageCaption;
    request.flags = kInputPassword;
    request.icon = IDI_DOCUMENT;
    INT_PTR result = InputDialog(owner, request);
    if (result == -1)
        throwLastError();
    if (result != 1)
        return false;
    password = std::move(request.result);
    return true;
}

} // namespace cfx::ui
