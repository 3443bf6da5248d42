// The library's resources as the shell and the dialogs load them: icon indexes
// (which the overlay handlers count on), clips played by a real animation
// control, and the activation context made from the manifest. The pictures
// themselves are checked next to their generator (tools/resgen).
#include "common/Exceptions.h"
#include "module/Module.h"
#include "support/LoadedLibrary.h"
#include "ui/ActivationContext.h"
#include "ui/resource.h"

#include <commctrl.h>
#include <gtest/gtest.h>
#include <shellapi.h>

#include <string>

using cfx::ui::ActivationContext;
using cfx::ui::ActivationScope;

namespace {

class Resources : public testing::Test {
protected:
    cfx::test::LoadedLibrary dll_{L"cfxview.dll"};
};

// The image a group offers for a size, as LoadImage would choose it.
int imageOfGroup(HMODULE module, WORD group, int size) {
    HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(group), RT_GROUP_ICON);
    auto* directory = static_cast<BYTE*>(LockResource(LoadResource(module, found)));
    return found ? LookupIconIdFromDirectoryEx(directory, TRUE, size, size, LR_DEFAULTCOLOR) : -1;
}

TEST_F(Resources, IconIndexesOfTheFileAreTheGroupsInOrder) {
    const std::wstring path = dll_.path();
    EXPECT_EQ(ExtractIconExW(path.c_str(), -1, nullptr, nullptr, 0), 7u);
    // The overlay handlers name icons 1 to 3 of the file.
    const WORD groups[] = {IDI_DOCUMENT, IDI_FROZEN_OVERLAY, IDI_INACCESSIBLE_OVERLAY,
                           IDI_KEY_OVERLAY};
    for (int index = 0; index < 4; ++index) {
        for (int size : {16, 32, 48}) {
            HICON icon = nullptr;
            UINT image = 0;
            ASSERT_EQ(PrivateExtractIconsW(path.c_str(), index, size, size, &icon, &image, 1, 0),
                      1u);
            EXPECT_EQ(static_cast<int>(image), imageOfGroup(dll_.handle(), groups[index], size))
                << "index " << index << " at " << size;
            DestroyIcon(icon);
        }
    }
}

TEST_F(Resources, EveryClipOpensAndPlaysInAnAnimationControl) {
    ActivationContext context(dll_.handle());
    ActivationScope scope(context);
    HWND animation = CreateWindowExW(0, ANIMATE_CLASSW, L"", WS_POPUP, 0, 0, 10, 10, nullptr,
                                     nullptr, GetModuleHandleW(nullptr), nullptr);
    ASSERT_NE(animation, nullptr);
    auto open = [&](int id) {
        return SendMessageW(animation, ACM_OPENW, reinterpret_cast<WPARAM>(dll_.handle()), id);
    };
    for (int id : {IDR_AVI_COPY, IDR_AVI_CHECK, IDR_AVI_COPY_MANY, IDR_AVI_DELETE,
                   IDR_AVI_COPY_SMALL, IDR_AVI_COPY_MANY_SMALL, IDR_AVI_CHECK_SMALL,
                   IDR_AVI_DELETE_SMALL, IDR_AVI_ANALYSE, IDR_AVI_DEFRAGMENT}) {
        ASSERT_TRUE(open(id)) << "clip " << id;
        EXPECT_TRUE(SendMessageW(animation, ACM_PLAY, 1, MAKELPARAM(0, 0xFFFF))) << "clip " << id;
    }
    EXPECT_FALSE(open(IDR_AVI_COPY + 1)) << "a number that is no clip opened";
    DestroyWindow(animation);
}

HANDLE currentContext() {
    HANDLE current = nullptr;
    GetCurrentActCtx(&current);
    if (current)
        ReleaseActCtx(current);
    return current;
}

// What the context brings (the common controls' version 6 buttons) the
// dialog tests see in the dialogs' own buttons.
TEST_F(Resources, ActivationScopesNestAndAProgramWithoutAManifestHasNoContext) {
    ActivationContext context(dll_.handle()), other(dll_.handle());
    ASSERT_NE(context.get(), nullptr);
    {
        ActivationScope scope(context);
        EXPECT_EQ(currentContext(), context.get());
        {
            ActivationScope inner(other);
            EXPECT_EQ(currentContext(), other.get());
        }
        EXPECT_EQ(currentContext(), context.get());
    }
    EXPECT_EQ(currentContext(), nullptr);
    // The test program has no manifest resource 2.
    EXPECT_THROW(ActivationContext{GetModuleHandleW(nullptr)}, cfx::win_except);
}

TEST_F(Resources, TheLibraryMakesItsOwnContextOnce) {
    // In the library the module handle is its own; here it is the loaded DLL's.
    cfx::module::attach(dll_.handle());
    const ActivationContext& first = ActivationContext::library();
    EXPECT_EQ(&ActivationContext::library(), &first);
    {
        ActivationScope scope;
        EXPECT_EQ(currentContext(), first.get());
    }
    cfx::module::detach();
}

} // namespace
