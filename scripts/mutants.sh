#!/usr/bin/env bash
# One-line mutants of the library and the storage engine: each changes one
# line with sed (the script checks that exactly that line changed), the test
# program meant to catch it is rebuilt in build-mutants (or $CFX_BUILD_DIR) and
# run, and the file is restored whatever happens. A mutant is killed when the
# program fails (or hangs for five minutes). Prints a row per mutant and the
# count; exits 1 when one survives.
#
#   scripts/mutants.sh            every mutant
#   scripts/mutants.sh M3 E1      the named ones
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
export CFX_BUILD_DIR="${CFX_BUILD_DIR:-$top/build-mutants}"
build=$CFX_BUILD_DIR

# id | file | text of the line to change (unique in the file) | the part of it
# to replace | its replacement | test program | test filter
mutants=(
"M6|cfxview/module/Module.cpp|    KernelHandle created(CreateMutexW(&attributes, TRUE, kPresenceMutexName));|kPresenceMutexName|nullptr|module_tests|PresenceMutex.*"
"M1|cfxview/module/DllMain.cpp|return module::lockCount() == 0 ? S_OK : S_FALSE;|== 0|<= 1|module_tests|ClassObjects.*"
"M2|cfxview/module/ClassFactory.cpp|        module::lock();|lock()|unlock()|module_tests|ClassObjects.*"
"M3|cfxview/module/DllMain.cpp|        *out = nullptr;|*out = nullptr;|(void)out;|module_tests|ClassObjects.*"
"M4|cfxview/module/ClassTable.cpp|if (std::memcmp(entry.clsid, &clsid, sizeof(CLSID)) == 0)|sizeof(CLSID)|sizeof(CLSID) - 1|module_tests|ClassObjects.*"
"M5|cfxview/module/Module.cpp|    InterlockedDecrement(&g_lockCount);|InterlockedDecrement(&g_lockCount)|(void)g_lockCount|module_tests|ClassObjects.*:SixClasses/*"
"F1|cfxview/folder/StorageItemId.cpp|    return id && cbOf(id) > kLargestForeignSize &&|>|>=|item_id_tests|StorageItemIdFuzz.*"
"F2|cfxview/folder/StorageItemId.cpp|    const std::size_t cb = kStorageItemIdFixedSize + 2 * length;|2 * length|2 * length + 1|item_id_tests|StorageItemId.*"
"F3|cfxview/folder/StorageItemId.cpp|    if (length > kMaxItemNameLength)|>|>=|item_id_tests|StorageItemId.*"
"F4|cfxview/folder/StorageItemId.cpp|        ILFree(*out);|ILFree(*out)|(void)out|item_id_tests|StorageItemId.*"
"F5|cfxview/folder/StorageItemId.cpp|            std::memcmp(bytesOf(prefix) + sizeof cb, bytesOf(list) + sizeof cb, rest) != 0)|rest)|rest - 1)|item_id_tests|StorageItemIdFuzz.*"
"F8|cfxview/folder/StorageItemId.cpp|                       sizeof kStorageItemIdSignature) == 0;|sizeof kStorageItemIdSignature|sizeof kStorageItemIdSignature - 1|item_id_tests|StorageItemIdFuzz.*"
"F6|cfxview/folder/ThreadMailbox.cpp|                                           ThreadMailbox::Posted) == ThreadMailbox::Posted)|==|!=|mailbox_tests|Mailbox.*"
"F7|cfxview/folder/ThreadMailbox.cpp|            package.status = CallPackage::Failed;|Failed|StandardException|mailbox_tests|Forward.*"
"S8|cfxview/server/ErrorReport.cpp|    if (hr == RPC_E_CANTCALLOUT_ININPUTSYNCCALL)|==|!=|server_access_tests|ServerNotFound.*"
"S9|cfxview/server/StorageUnlock.cpp|    if (!certificate && (readFlags(storage) & kKeyAttached)) {|kKeyAttached)|kKeyAttached) && false|key_tests|Unlock.*"
"S1|cfxview/server/ErrorReport.cpp|    std::swprintf(digits, 16, L\"%lX\", static_cast<unsigned long>(code));|%lX|%lx|server_access_tests|ErrorText.*"
"S2|cfxview/server/ErrorReport.cpp|    static CriticalSection lock;|static|thread_local|server_access_tests|ErrorBox.OneErrorBoxAtATime"
"S3|cfxview/server/StoragePointer.cpp|            stored_->Release();|stored_->Release()|(void)stored_|server_access_tests|StorageServerTest.*"
"S4|cfxview/server/ServerCall.cpp|        support->InterfaceSupportsErrorInfo(iid) != S_OK)|!=|==|server_access_tests|StorageServerTest.*"
"S5|cfxview/server/KeyTable.cpp|        InterlockedIncrement(&found->second.uses);|InterlockedIncrement(&found->second.uses)|(void)found|key_tests|Unlock.*"
"S6|cfxview/server/StorageThread.cpp|            if (WaitForSingleObject(g_thread.get(), 1000) == WAIT_TIMEOUT)|== WAIT_TIMEOUT|== WAIT_FAILED|mailbox_tests|StorageThreadTest.StopEnds*"
"S7|cfxview/server/StorageUnlock.cpp|        if (unlockInProgress.exchange(true))|unlockInProgress|false && unlockInProgress|key_tests|Unlock.AnUnlockStarted*"
"K1|cfxview/server/KeyCommands.cpp|            if (GetKeyIdentifier(certificates.front().get()) ==|==|!=|shellfile_tests|ShellFile/AttachKeys.*"
"K2|cfxview/server/KeyCommands.cpp|    storagefile::FreezeStorage(storagePath, true);|true|false|shellfile_tests|ShellFile.DeleteAsks*"
"K3|cfxview/server/KeyCommands.cpp|        ~RemoveWhenDone() { DeleteFileW(path.c_str()); }|DeleteFileW(path.c_str())|(void)path|shellfile_tests|ShellFile.InstallingTheAttachedKey*"
"P1|cfxview/storagefile/StorageState.cpp|!(command == KeyCommand::Install && state.installed());|state.installed())|false)|shellfile_tests|ShellFile/Pages.*"
"P2|cfxview/storagefile/StorageContextMenu.cpp|        if (state_.frozen == (offset == kUnfreeze))|==|!=|shellfile_tests|ShellFile/Menus.*"
"U7|cfxview/ui/ProgressDialogHost.cpp|    case 5:|case 5|case 7|progress_dialog_tests|ClassicVariant.*"
"U1|cfxview/ui/ProgressDialog.cpp|                     ((static_cast<double>(maximum) - static_cast<double>(minimum)) / 100.0);|100.0|101.0|progress_dialog_tests|Modern/*SetPos*"
"U2|cfxview/ui/InputDialog.cpp|        if (!(request.flags & kInputEmptyAllowed)) {|!(request.flags & kInputEmptyAllowed)|false|input_dialog_tests|*Empty*"
"U3|cfxview/ui/PaintWhiteBand.cpp|    DeleteObject(pen);|DeleteObject(pen)|(void)pen|input_dialog_tests|*GivesBack*"
"U4|cfxview/ui/ProgressKind.cpp|    return itemCount == 1 ? single : single + 1;|==|<=|progress_dialog_tests|ProgressKinds.*"
"U5|cfxview/ui/ModernProgressDialog.cpp|constexpr int kHeaderLeft = 30;|30|20|progress_dialog_tests|Modern/*Header*"
"U6|cfxview/ui/IconHandle.cpp|    : icon_(other.icon_ && other.duplicate_ ? other.duplicate_(other.icon_) : nullptr),|other.icon_ && other.duplicate_ ? other.duplicate_(other.icon_) : nullptr|other.icon_|progress_dialog_tests|IconHandles.*"
"T1|cfxview/transfer/TransferEngine.cpp|answer == IDOK;|answer == IDOK|false|transfer_tests|*Overwrite*"
"T2|cfxview/transfer/DropEffect.h|keys == MK_RBUTTON)|keys == MK_RBUTTON|keys == MK_LBUTTON|transfer_tests|*Keys*"
"T3|cfxview/transfer/StorageDataObject.cpp|    record.nFileSizeHigh = static_cast<DWORD>(size >> 32);|>> 32|>> 31|transfer_tests|TransferDescriptor.*"
"T4|cfxview/transfer/TransferEngine.cpp|    const bool succeeded = sized && !failed && !(isMove && context.incomplete);|!(isMove && context.incomplete)|true|transfer_tests|*Drops*"
"T5|cfxview/transfer/StreamWrapper.cpp|    const LONG left = InterlockedDecrement(&references_);|InterlockedDecrement|InterlockedIncrement|transfer_tests|*CopiesOut*"
"T6|cfxview/transfer/StorageDataObject.cpp|                    descriptors_.clear();|descriptors_.clear()|(void)0|transfer_tests|*Optimised*"
# E7: a journal never played back; the journal's own test finds it every time.
"E7|storeserver/engine/JournaledFile.cpp|    bool restored = playBack(journal.get(), file.get(), path, &identity);|playBack(|false && playBack(|store_engine_tests|JournaledFileTest.*"
"E1|storeserver/engine/Container.cpp|    if (!equalSecret(tag.data(), sealed.data() + kRecordHead + size, kTagSize))|!equalSecret|false && !equalSecret|store_engine_tests|ContainerTest.AnyChangedByte*"
"E2|storeserver/engine/KeyProtection.cpp|    if (answer.session != session_)|!=|==|store_engine_tests|KeyProtocolTest.*"
"E3|storeserver/engine/ItemName.cpp|    return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c;|L'Z' ?|L'W' ?|store_engine_tests|ContainerTest.*"
"E4|storeserver/engine/FileContents.cpp|    file_.generations[block] = generationOf(block) + 1;| + 1;|;|store_engine_tests|FileContentsTest.*"
"E5|storeserver/engine/Aes256.cpp|        a = static_cast<BYTE>((a << 1) ^ ((a & 0x80) ? 0x1B : 0));|0x1B|0x1D|store_engine_tests|Engines/CipherTest.*"
"E6|storeserver/engine/KeyMaterial.cpp|      authentication_(derivedCipher(prf, \"cfx catalog mac\")),|cfx catalog mac|cfx catalog|store_engine_tests|KeyMaterialTest.*"
)

if [ ! -f "$build/build.ninja" ]; then
    "$top/scripts/build.sh" >"$build.log" 2>&1 || { echo "the build failed: $build.log"; exit 2; }
fi

current=""
backup=""
restore() {
    if [ -n "$current" ]; then
        cp "$backup" "$top/$current"
        current=""
    fi
}
trap 'restore; rm -f "$backup"' EXIT
trap 'restore; exit 130' INT TERM
backup=$(mktemp)

killed=0 survived=0 broken=0
printf '%-4s %-44s %-28s %-22s %s\n' id "file:line" mutation program result
for row in "${mutants[@]}"; do
    IFS='|' read -r id file text from to program filter <<<"$row"
    if [ $# -gt 0 ] && [[ " $* " != *" $id "* ]]; then
        continue
    fi
    mapfile -t lines < <(grep -nF -- "$text" "$top/$file" | cut -d: -f1)
    if [ "${#lines[@]}" -ne 1 ]; then
        printf '%-4s %-44s the line is not there once (%d)\n' "$id" "$file" "${#lines[@]}"
        broken=$((broken + 1))
        continue
    fi
    line=${lines[0]}
    original=$(sed -n "${line}p" "$top/$file")
    mutated=${original/"$from"/"$to"}
    cp "$top/$file" "$backup"
    current=$file
    escaped=${mutated//\\/\\\\}
    sed -i "${line}c\\
$escaped" "$top/$file"
    if [ "$(sed -n "${line}p" "$top/$file")" = "$original" ] ||
        [ "$(diff "$backup" "$top/$file" | grep -c '^[<>]')" -ne 2 ]; then
        printf '%-4s %-44s the mutation changed nothing or more than its line\n' "$id" "$file:$line"
        broken=$((broken + 1))
        restore
        continue
    fi
    result=""
    if ! cmake --build "$build" --target "$program" >"$build/mutant-$id.log" 2>&1; then
        result="not built"
        broken=$((broken + 1))
    elif timeout 300 "$build/run-in-wine.sh" "$build/bin/$program.exe" --gtest_filter="$filter" \
        >>"$build/mutant-$id.log" 2>&1; then
        result="SURVIVED"
        survived=$((survived + 1))
    else
        result="killed"
        killed=$((killed + 1))
    fi
    restore
    printf '%-4s %-44s %-28s %-22s %s\n' "$id" "$file:$line" "$from -> $to" "$program" "$result"
done
echo "mutants: $killed killed, $survived survived, $broken not run"
[ "$survived" -eq 0 ] && [ "$broken" -eq 0 ]
