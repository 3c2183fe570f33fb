#include "app/server_notices.h"

#include <cstring>

namespace {

const std::string kNetworkDialog = "환경설정의 \"Network 변경\"";

std::string AddressAndPort(const ServerSettings& s)
{
    const std::string& where = s.m_strBindAddress.empty() ? s.m_strAdapterName : s.m_strBindAddress;
    return where + ":" + std::to_string(s.m_nPort);
}

const char* StateText(ServerState state)
{
    switch (state) {
    case ServerState::Serving:
        return "대기 중";
    case ServerState::WaitingForAdapter:
        return "주소 기다리는 중";
    case ServerState::Stopped:
        break;
    }
    return "멈춤";
}

}  // namespace

std::string ServerStateToolTip(const ServerSettings& s, ServerState state)
{
    return "Orvello — " + AddressAndPort(s) + " " + StateText(state);
}

std::string StartFailureNotice(const ServerSettings& s, const StartResult& result, const std::string& programPath)
{
    const std::string port = std::to_string(s.m_nPort);
    const std::string failed = "서버를 시작하지 못했습니다: ";
    switch (result.failure) {
    case ListenFailure::PortNeedsPrivilege:
        return failed + "1024보다 작은 포트(" + port + "번)를 열 권한이 없습니다.\n" +
               "권한을 주려면 터미널에서 sudo setcap cap_net_bind_service=+ep " + programPath +
               " 를 실행하고 프로그램을 다시 시작하세요.\n" + "또는 " + kNetworkDialog +
               "에서 1024 이상의 포트를 고르세요.";
    case ListenFailure::PortInUse:
        return failed + "포트 " + port + "번을 다른 프로그램이 쓰고 있습니다.\n" +
               "그 프로그램을 끝내거나 " + kNetworkDialog + "에서 다른 포트를 고르세요.";
    case ListenFailure::AddressNotLocal:
        return failed + "이 컴퓨터의 주소가 아닙니다: " + s.m_strBindAddress + "\n" + kNetworkDialog +
               "에서 주소를 고르세요.";
    default:
        return failed + AddressAndPort(s) + " (" + std::strerror(result.error) + ")";
    }
}

std::string AdapterMissingNotice(const ServerSettings& s)
{
    return "네트워크 어댑터 " + s.m_strAdapterName + "에 주소가 없습니다. 주소가 생기면 그 주소로 서버를 " +
           "시작합니다.\n다른 어댑터를 쓰려면 " + kNetworkDialog + "에서 주소를 고르세요.";
}

std::string AdapterFoundNotice(const ServerSettings& s)
{
    return "네트워크 어댑터 " + s.m_strAdapterName + "에 주소가 생겨 서버를 시작했습니다: " + AddressAndPort(s);
}

std::string TlsFailureNotice(const TlsSettings& tls, const std::string& error)
{
    const std::string meanwhile = tls.mode == kTlsRequired
                                      ? "FTPS가 \"필수\"이므로 지금은 로그인을 모두 거절합니다.\n"
                                      : "지금은 암호화하지 않은 연결만 받습니다.\n";
    const std::string mend = tls.certFile.empty()
                                 ? "인증서 파일(" + GeneratedCertificatePath() +
                                       ")이 손상되었다면 지운 뒤 설정을 다시 저장하거나, "
                                 : "인증서 파일(" + tls.certFile + ")과 키 파일(" + tls.keyFile + ")을 확인하거나, ";
    return "보안 연결(FTPS)을 쓸 수 없습니다: 인증서를 만들거나 읽지 못했습니다 (" + error + ").\n" + meanwhile +
           mend + kNetworkDialog + "에서 보안 연결을 \"사용 안 함\"으로 바꾸세요.";
}

std::string FirstStartNotice(const ServerSettings& s)
{
    const std::string address = s.m_strBindAddress.empty() ? "이 컴퓨터의 IP 주소" : s.m_strBindAddress;
    return "스캐너(복합기)의 FTP 설정에 다음을 입력하세요. 서버 주소: " + address +
           ", 포트: " + std::to_string(s.m_nPort) + "\n" +
           "지금은 익명 로그인이 켜져 있어 누구나 보낼 수 있습니다. 사용자를 정하려면 트레이 메뉴의 " +
           "\"환경설정\"에서 Anonymous를 끄고 사용자 ID와 비밀번호를 입력한 뒤 \"설정\"을 누르세요.";
}
