#include "settings/run_entry.h"

#include "settings/save_messages.h"
#include "settings/scoped_reg_key.h"
#include "settings/settings_keys.h"

#include "platform/registry_autostart.h"

using namespace platform;

namespace {

std::string g_program;  // empty: the running program

RegStatus RunEntryProgram(std::string& program)
{
    if (!g_program.empty()) {
        program = g_program;
        return ERROR_SUCCESS;
    }
    return GetOwnExecutablePath(program);
}

// True when the entry exists and starts `program`; a missing, unreadable or
// foreign entry is one to write.
bool EntryStarts(HKEY runKey, const std::string& program)
{
    std::string stored(program.size() + 2, '\0');
    std::uint32_t type = REG_NONE;
    auto size = static_cast<std::uint32_t>(stored.size());
    if (RegQueryValueExA(runKey, settings_keys::kRunValue, &type, stored.data(), &size) != ERROR_SUCCESS)
        return false;
    return type == REG_SZ && stored.compare(0, size, program + '\0') == 0;
}

RegStatus WriteEntry(HKEY runKey)
{
    std::string program;
    const RegStatus status = RunEntryProgram(program);
    if (status != ERROR_SUCCESS || EntryStarts(runKey, program))
        return status;
    return RegSetValueExA(runKey, settings_keys::kRunValue, REG_SZ, program.c_str(),
                          static_cast<std::uint32_t>(program.size() + 1));
}

RegStatus RemoveEntry(HKEY runKey)
{
    const RegStatus status = RegDeleteValueA(runKey, settings_keys::kRunValue);
    return status == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : status;
}

// True while no save has stored the auto-start setting yet.
bool AutoStartIsTheDefault()
{
    ScopedRegKey key;
    if (key.Open(settings_keys::kSettingsKey, KEY_QUERY_VALUE) != ERROR_SUCCESS)
        return false;
    return RegQueryValueExA(key.get(), settings_keys::kLaunchOnStartup, nullptr, nullptr, nullptr) ==
           ERROR_FILE_NOT_FOUND;
}

}  // namespace

bool MakeRunEntryAgree(bool launchOnStartup)
{
    ScopedRegKey runKey;
    RegStatus status = runKey.Open(settings_keys::kRunKey, KEY_READ | KEY_WRITE);
    if (status != ERROR_SUCCESS)
        return ShowSaveFailure(WithResultCode("프로그램 자동실행정보 설정에 실패하였습니다.(%d)", status));
    if (launchOnStartup) {
        status = WriteEntry(runKey.get());
        if (status != ERROR_SUCCESS)
            return ShowSaveFailure(WithResultCode("프로그램 자동실행 설정에 실패하였습니다.(%d", status));
    } else {
        status = RemoveEntry(runKey.get());
        if (status != ERROR_SUCCESS)
            return ShowSaveFailure("프로그램 자동실행 취소 설정에 실패하였습니다.(" + std::to_string(status));
    }
    return true;
}

void MakeRunEntryAgreeAtFirstStart()
{
    if (AutoStartIsTheDefault())
        MakeRunEntryAgree(true);
}

void SetRunEntryProgram(std::string program)
{
    g_program = std::move(program);
}
