#include "settings/run_entry.h"

#include "settings/save_messages.h"
#include "settings/scoped_reg_key.h"
#include "settings/settings_keys.h"

#include "platform/registry_autostart.h"

using namespace platform;

namespace {

RegStatus AddRunValue(HKEY runKey)
{
    std::string program;
    const RegStatus status = GetOwnExecutablePath(program);
    if (status != ERROR_SUCCESS)
        return status;
    return RegSetValueExA(runKey, settings_keys::kRunValue, REG_SZ, program.c_str(),
                          static_cast<std::uint32_t>(program.size() + 1));
}

}  // namespace

bool ApplyRunEntry(bool launchOnStartup)
{
    ScopedRegKey runKey;
    RegStatus status = runKey.Open(settings_keys::kRunKey, KEY_READ | KEY_WRITE);
    if (status != ERROR_SUCCESS)
        return ShowSaveFailure(WithResultCode("프로그램 자동실행정보 설정에 실패하였습니다.(%d)", status));
    if (launchOnStartup) {
        status = AddRunValue(runKey.get());
        if (status != ERROR_SUCCESS)
            return ShowSaveFailure(WithResultCode("프로그램 자동실행 설정에 실패하였습니다.(%d", status));
    } else {
        status = RegDeleteValueA(runKey.get(), settings_keys::kRunValue);
        if (status != ERROR_SUCCESS)
            return ShowSaveFailure("프로그램 자동실행 취소 설정에 실패하였습니다.(" + std::to_string(status));
    }
    return true;
}
