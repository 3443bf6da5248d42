// cfxtool.exe as a script uses it: whole commands run as processes, with
// their output and exit codes, against the real storage server.
#include "storeserver/RemoteStorage.h"
#include "storeserver/ToolProcess.h"

#include "common/Base64.h"

#include "support/LoadedLibrary.h"
#include "support/StorageFolderOpen.h"

#include <shlwapi.h>

namespace cfx::store::test {
namespace {

// Runs cfxtool.exe with the arguments and collects what it prints; a run
// that has not ended in five minutes is ended and fails the test.
ToolRun cfxtool(const std::wstring& arguments) {
    // A file of its own for each run: under Wine the last one may still be
    // held open after cfxtool.exe has ended (a sharing violation).
    static int runs = 0;
    wchar_t folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    const std::wstring output = folder + (L"cfxtool-" + std::to_wstring(++runs) + L".txt");
    ToolRun run = runTool(arguments, output, 300000);
    EXPECT_TRUE(run.ended) << "cfxtool.exe did not end: " << run.output;
    return run;
}

class Cfxtool : public testing::Test {
protected:
    void SetUp() override {
        const std::wstring keyId = toBase64(firstCertificate().keyId);
        ToolRun created = cfxtool(L"create " + quotedArgument(storage_) + L" --key-id " + keyId);
        ASSERT_EQ(0u, created.exitCode) << created.output;
    }

    ScratchFolder scratch_;
    const std::wstring storage_ = scratch_.file(L"tool.demo-coffrex");
};

TEST_F(Cfxtool, PutsAndGetsAFolderTreeByteForByte) {
    const std::wstring tree = scratch_.file(L"tree");
    ASSERT_TRUE(CreateDirectoryW(tree.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((tree + L"\\sub \u00e9t\u00e9").c_str(), nullptr));
    const std::vector<BYTE> big = patternBytes(3 * 1024 * 1024 + 5, 1);
    const std::vector<BYTE> small = patternBytes(10, 2);
    putFileBytes(tree + L"\\big.bin", big);
    putFileBytes(tree + L"\\sub \u00e9t\u00e9\\small.txt", small);
    putFileBytes(tree + L"\\empty", {});

    ToolRun put = cfxtool(L"put " + quotedArgument(storage_) + L" " + quotedArgument(tree));
    ASSERT_EQ(0u, put.exitCode) << put.output;

    ToolRun list = cfxtool(L"list " + quotedArgument(storage_) + L" -r");
    EXPECT_EQ(0u, list.exitCode) << list.output;
    EXPECT_NE(std::string::npos, list.output.find("tree\\big.bin")) << list.output;
    EXPECT_NE(std::string::npos, list.output.find("3145733")) << list.output;
    EXPECT_NE(std::string::npos, list.output.find("small.txt")) << list.output;

    ToolRun checked = cfxtool(L"check " + quotedArgument(storage_));
    EXPECT_EQ(0u, checked.exitCode) << checked.output;
    EXPECT_NE(std::string::npos, checked.output.find("3 files: 3 OK")) << checked.output;

    const std::wstring back = scratch_.file(L"back");
    ToolRun get = cfxtool(L"get " + quotedArgument(storage_) + L" tree " + quotedArgument(back));
    ASSERT_EQ(0u, get.exitCode) << get.output;
    EXPECT_EQ(big, fileBytes(back + L"\\big.bin"));
    EXPECT_EQ(small, fileBytes(back + L"\\sub \u00e9t\u00e9\\small.txt"));
    EXPECT_EQ(0u, fileSize(back + L"\\empty"));
}

TEST_F(Cfxtool, ChangesTheTreeAndReportsMissingItems) {
    EXPECT_EQ(0u, cfxtool(L"mkdir " + quotedArgument(storage_) + L" a/b/c").exitCode);
    EXPECT_EQ(0u, cfxtool(L"rename " + quotedArgument(storage_) + L" a\\b B2").exitCode);
    ToolRun list = cfxtool(L"list " + quotedArgument(storage_) + L" -r");
    EXPECT_NE(std::string::npos, list.output.find("a\\B2\\c")) << list.output;

    ToolRun missing = cfxtool(L"remove " + quotedArgument(storage_) + L" a\\nothing");
    EXPECT_EQ(1u, missing.exitCode);
    EXPECT_NE(std::string::npos, missing.output.find("nothing")) << missing.output;
    EXPECT_NE(std::string::npos, missing.output.find("0x80030002")) << missing.output;

    EXPECT_EQ(0u, cfxtool(L"remove " + quotedArgument(storage_) + L" a").exitCode);
    list = cfxtool(L"list " + quotedArgument(storage_) + L" -r");
    EXPECT_EQ(std::string::npos, list.output.find("B2")) << list.output;
}

// What the shell's comment column shows for the item at a path of the storage.
std::wstring commentColumn(const std::wstring& storage, const std::wstring& path) {
    Microsoft::WRL::ComPtr<IShellFolder2> folder = cfx::test::openStorageFolder(storage);
    LPITEMIDLIST item = nullptr;
    SHELLDETAILS details{};
    LPWSTR text = nullptr;
    if (!folder ||
        FAILED(folder->ParseDisplayName(nullptr, nullptr, const_cast<LPWSTR>(path.c_str()), nullptr,
                                        &item, nullptr)))
        return L"(no item)";
    const HRESULT hr = folder->GetDetailsOf(item, 3, &details);
    if (SUCCEEDED(hr))
        StrRetToStrW(&details.str, item, &text);
    CoTaskMemFree(item);
    std::wstring shown = text ? text : L"(none)";
    CoTaskMemFree(text);
    return shown;
}

TEST_F(Cfxtool, SetsCommentsTheShellShows) {
    const struct {
        const wchar_t* path;
        std::wstring comment;
    } rows[] = {
        {L"Caf\u00e9", L"Plain words"},
        {L"b c", L"\u00dcn\u00efc\u00f6d\u00e9 \u2013 \u65e5\u672c"},
    };
    for (const auto& row : rows) {
        ASSERT_EQ(0u,
                  cfxtool(L"mkdir " + quotedArgument(storage_) + L" " + quotedArgument(row.path))
                      .exitCode);
        ToolRun set = cfxtool(L"comment " + quotedArgument(storage_) + L" " +
                              quotedArgument(row.path) + L" " + quotedArgument(row.comment));
        ASSERT_EQ(0u, set.exitCode) << set.output;
    }
    for (const auto& row : rows)
        EXPECT_EQ(row.comment, commentColumn(storage_, row.path)) << narrow(row.path);

    ToolRun missing = cfxtool(L"comment " + quotedArgument(storage_) + L" nothing words");
    EXPECT_EQ(1u, missing.exitCode) << missing.output;
    EXPECT_NE(std::string::npos, missing.output.find("nothing")) << missing.output;
}

TEST_F(Cfxtool, FreezesAndThawsAndShowsProperties) {
    ToolRun frozen = cfxtool(L"freeze " + quotedArgument(storage_));
    ASSERT_EQ(0u, frozen.exitCode) << frozen.output;
    ToolRun refused = cfxtool(L"list " + quotedArgument(storage_));
    EXPECT_EQ(4u, refused.exitCode) << refused.output;
    ToolRun props = cfxtool(L"props " + quotedArgument(storage_));
    EXPECT_EQ(0u, props.exitCode) << props.output;
    EXPECT_NE(std::string::npos, props.output.find("KeyId")) << props.output;
    EXPECT_NE(std::string::npos, props.output.find("Frozen")) << props.output;

    ToolRun thawed = cfxtool(L"unfreeze " + quotedArgument(storage_));
    ASSERT_EQ(0u, thawed.exitCode) << thawed.output;
    EXPECT_EQ(0u, cfxtool(L"list " + quotedArgument(storage_)).exitCode);
    EXPECT_EQ(0u, cfxtool(L"defrag " + quotedArgument(storage_)).exitCode);
}

// Two key files installed one after the other each still open their own
// storage (under Wine only because each key gets a container of its own).
TEST_F(Cfxtool, InstalledKeyFilesEachOpenTheirStorage) {
    for (const wchar_t* name : {L"first", L"second"}) {
        const std::wstring pfx =
            quotedArgument(cfx::test::programFolder() + L"testkeys\\" + name + L".pfx");
        ToolRun installed = cfxtool(L"install " + pfx);
        ASSERT_EQ(0u, installed.exitCode) << installed.output;
        ToolRun created =
            cfxtool(L"create " + quotedArgument(scratch_.file(name)) + L" --pfx " + pfx);
        ASSERT_EQ(0u, created.exitCode) << created.output;
    }
    for (const wchar_t* name : {L"first", L"second"}) {
        const std::wstring storage = quotedArgument(scratch_.file(name));
        // A new server process: the key must come from "MY" again.
        ASSERT_TRUE(waitForServerExit(20000));
        ToolRun listed = cfxtool(L"list " + storage);
        EXPECT_EQ(0u, listed.exitCode) << narrow(name) << ": " << listed.output;
    }
    ToolRun wrong = cfxtool(
        L"install " + quotedArgument(cfx::test::programFolder() + L"testkeys\\protected.pfx") +
        L" --password nonsense");
    EXPECT_EQ(4u, wrong.exitCode) << wrong.output;
}

TEST_F(Cfxtool, BadCommandLinesAndMissingStoragesHaveTheirExitCodes) {
    EXPECT_EQ(2u, cfxtool(L"").exitCode);
    EXPECT_EQ(2u, cfxtool(L"frobnicate x").exitCode);
    EXPECT_EQ(2u, cfxtool(L"list " + quotedArgument(storage_) + L" --bogus").exitCode);
    ToolRun missing = cfxtool(L"list " + quotedArgument(scratch_.file(L"absent.demo-coffrex")));
    EXPECT_EQ(1u, missing.exitCode);
    EXPECT_NE(std::string::npos, missing.output.find("absent.demo-coffrex")) << missing.output;
    ToolRun exists = cfxtool(L"create " + quotedArgument(storage_) + L" --key-id " +
                             toBase64(firstCertificate().keyId));
    EXPECT_EQ(1u, exists.exitCode) << exists.output;
}

} // namespace
} // namespace cfx::store::test
