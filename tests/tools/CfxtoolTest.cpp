// cfxtool.exe as a script uses it: whole commands run as processes, with
// their output and exit codes, against the real storage server.
#include "storeserver/RemoteStorage.h"
#include "storeserver/ToolProcess.h"

#include "common/Base64.h"
#include "support/LoadedLibrary.h"

namespace cfx::store::test {
namespace {

class Cfxtool : public testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(0u, run(L"create @ --key-id #").exitCode); }
    // Runs cfxtool.exe, "@" in the arguments standing for the storage, "#" for
    // the key identifier; a run not ended in five minutes fails the test.
    ToolRun run(std::wstring arguments) {
        if (const size_t at = arguments.find(L'@'); at != std::wstring::npos)
            arguments.replace(at, 1, quotedArgument(storage_));
        if (const size_t at = arguments.find(L'#'); at != std::wstring::npos)
            arguments.replace(at, 1, toBase64(firstCertificate().keyId));
        // A file for each run: under Wine the last may still be held open.
        ToolRun ran = runTool(arguments, scratch_.file(std::to_wstring(++runs_) + L".txt"), 300000);
        EXPECT_TRUE(ran.ended) << "cfxtool.exe did not end: " << ran.output;
        return ran;
    }

    ScratchFolder scratch_;
    const std::wstring storage_ = scratch_.file(L"tool.demo-coffrex");
    int runs_ = 0;
    ComPtr<IStorageServer> server_ = connectServer(); // held, as Explorer holds one
};

TEST_F(Cfxtool, PutsAndGetsAFolderTreeByteForByte) {
    const std::wstring tree = scratch_.file(L"tree"), back = scratch_.file(L"back");
    ASSERT_TRUE(CreateDirectoryW(tree.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((tree + L"\\sub \u00e9t\u00e9").c_str(), nullptr));
    const std::vector<BYTE> big = patternBytes(3 * 1024 * 1024 + 5, 1), small = patternBytes(10, 2);
    putFileBytes(tree + L"\\big.bin", big);
    putFileBytes(tree + L"\\sub \u00e9t\u00e9\\small.txt", small);
    putFileBytes(tree + L"\\empty", {});
    ASSERT_EQ(0u, run(L"put @ " + quotedArgument(tree)).exitCode);
    ToolRun checked = run(L"check @");
    EXPECT_NE(std::string::npos, checked.output.find("3 files: 3 OK")) << checked.output;
    ASSERT_EQ(0u, run(L"get @ tree " + quotedArgument(back)).exitCode);
    EXPECT_EQ(big, fileBytes(back + L"\\big.bin"));
    EXPECT_EQ(small, fileBytes(back + L"\\sub \u00e9t\u00e9\\small.txt"));
    EXPECT_EQ(0u, fileSize(back + L"\\empty"));
}

// One script on one storage: each command's exit code, and a text its output
// has (or, after "!", has not).
TEST_F(Cfxtool, RunsAScriptWithTheExitCodeOfEachCommand) {
    const struct {
        const wchar_t* arguments;
        DWORD exitCode;
        const char* says;
    } script[] = {
        {L"mkdir @ a/b/c", 0, ""},
        {L"rename @ a\\b B2", 0, ""},
        {L"list @ -r", 0, "a\\B2\\c"},
        {L"remove @ a\\nothing", 1, "0x80030002"},
        {L"remove @ a", 0, ""},
        {L"list @ -r", 0, "!B2"},
        {L"mkdir @ \"b c\"", 0, ""},
        {L"comment @ \"b c\" \"\u00dcn\u00efc\u00f6d\u00e9 \u2013 \u65e5\u672c\"", 0, ""},
        {L"comment @ nothing words", 1, "nothing"},
        {L"freeze @", 0, ""},
        {L"list @", 4, ""},
        {L"props @", 0, "Frozen"},
        {L"unfreeze @", 0, ""},
        {L"defrag @", 0, ""},
        {L"list @ --bogus", 2, ""},
        {L"create @ --key-id #", 1, ""}, // over a storage
        {L"", 2, ""},
        {L"frobnicate x", 2, ""},
        {L"list C:\\absent.demo-coffrex", 1, "absent.demo-coffrex"},
    };
    for (const auto& step : script) {
        ToolRun ran = run(step.arguments);
        EXPECT_EQ(step.exitCode, ran.exitCode) << narrow(step.arguments) << ": " << ran.output;
        const bool absent = *step.says == '!';
        EXPECT_EQ(absent, ran.output.find(step.says + absent) == std::string::npos)
            << narrow(step.arguments) << ": " << ran.output;
    }
}

} // namespace
} // namespace cfx::store::test
